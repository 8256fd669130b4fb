// Both runlist decoders, extents, merging, VCN mapping.
#include "ntfs/attribute_header.hpp"
#include "ntfs/runlist.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A non-resident attribute header followed by `runlist`.
std::vector<uint8_t> attribute(const std::vector<uint8_t>& runlist, uint64_t first_vcn = 0) {
    std::vector<uint8_t> a((64 + runlist.size() + 7) / 8 * 8, 0);
    for (size_t i = 0; i < runlist.size(); ++i) a[64 + i] = runlist[i];
    le::put_u32(a, 0, 0x80);
    le::put_u32(a, 4, static_cast<uint32_t>(a.size()));
    a[8] = 1;
    le::put_u64(a, 16, first_vcn);
    le::put_u16(a, 32, 64);
    return a;
}

TEST(Runlist, SingleRunWithTwoByteOffset) {
    std::vector<run> runs;
    ASSERT_TRUE(decode_runlist(attribute({0x21, 0x18, 0x34, 0x56, 0x00}), runs));
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].lcn, 0x5634);
    EXPECT_EQ(runs[0].length, 0x18u);
    ASSERT_TRUE(decode_mft_runs(le::bytes(std::vector<uint8_t>{0x21, 0x18, 0x34, 0x56, 0x00}), runs, 0x80, true));
    EXPECT_EQ(runs[0].lcn, 0x5634);
}

TEST(Runlist, NegativeOffsetMovesBack) {
    std::vector<run> runs;
    ASSERT_TRUE(decode_runlist(attribute({0x21, 0x18, 0x34, 0x56, 0x11, 0x10, 0xF0, 0x00}), runs));
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[1].lcn, 0x5634 - 16);
    EXPECT_TRUE(runs[1].negative);
    EXPECT_EQ(runs[1].delta, 16u);
    EXPECT_EQ(runs[1].vcn, 0x18u);
    std::vector<run> mft;
    const std::vector<uint8_t> rl{0x21, 0x18, 0x34, 0x56, 0x11, 0x10, 0xF0, 0x00};
    ASSERT_TRUE(decode_mft_runs(le::bytes(rl), mft, 0x80, true));
    EXPECT_EQ(mft[1].lcn, 0x5634 - 16);
}

TEST(Runlist, SparseRunsAndExplicitZeroOffsets) {
    std::vector<run> runs;
    // run at 0x100, a sparse run (no offset field), a run with explicit 0 offset
    ASSERT_TRUE(decode_runlist(attribute({0x21, 0x04, 0x00, 0x01, 0x01, 0x08, 0x11, 0x02, 0x00, 0x00}), runs));
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[1].lcn, 0x100);  // the bounded decoder keeps the previous LCN
    const auto ext = runs_to_extents(runs);
    EXPECT_FALSE(ext[0].sparse);
    EXPECT_TRUE(ext[1].sparse);
    EXPECT_EQ(ext[1].lcn, 0u);
    EXPECT_TRUE(ext[2].sparse);  // a later zero offset counts as sparse
    std::vector<run> mft;
    const std::vector<uint8_t> rl{0x21, 0x04, 0x00, 0x01, 0x01, 0x08, 0x00};
    ASSERT_TRUE(decode_mft_runs(le::bytes(rl), mft, 0x80, true));
    EXPECT_EQ(mft[1].lcn, -1);
}

TEST(Runlist, FirstRunAtClusterZeroIsNotSparse) {
    std::vector<run> runs;
    ASSERT_TRUE(decode_runlist(attribute({0x31, 0x05, 0x00, 0x00, 0x00, 0x00}), runs));
    const auto ext = runs_to_extents(runs);
    ASSERT_EQ(ext.size(), 1u);
    EXPECT_FALSE(ext[0].sparse);
    EXPECT_EQ(ext[0].lcn, 0u);
}

TEST(Runlist, RunPastTheAttributeIsNotDecoded) {
    std::vector<uint8_t> a = attribute({0x21, 0x04, 0x00, 0x01});
    // Claim a run with an 8-byte offset right at the end.
    a[a.size() - 4] = 0x81;
    a[a.size() - 3] = 0x01;
    std::vector<run> runs;
    ASSERT_TRUE(decode_runlist(a, runs));
    // The first run's header is now 0x21... unless overwritten; whatever was
    // decoded lies wholly inside the attribute.
    for (const auto& r : runs) EXPECT_LT(r.position, a.size());
    EXPECT_FALSE(decode_runlist({}, runs));
}

TEST(Runlist, PiecesMergeAndRenumber) {
    std::vector<extent> a{{100, 0, 0, 100}};
    std::vector<extent> b{{500, 100, 0, 50}, {900, 0, 0, 7}};
    merge_extents(a, b);
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a[0].lcn, 100u);  // existing piece wins at VCN 0
    EXPECT_EQ(a[1].vcn, 100u);
    EXPECT_EQ(a[1].lcn, 500u);
    // A piece starting at a later VCN than its predecessor ends: renumbered.
    std::vector<extent> c{{1, 0, 0, 10}};
    merge_extents(c, {{2, 40, 0, 5}});
    EXPECT_EQ(c[1].vcn, 10u);
}

TEST(Runlist, MapVcn) {
    const std::vector<extent> e{{100, 0, 0, 10}, {0, 10, 1, 5}, {300, 15, 0, 5}};
    size_t i = 0;
    uint64_t lcn = 0;
    ASSERT_TRUE(map_vcn(e, 3, i, lcn));
    EXPECT_EQ(lcn, 103u);
    ASSERT_TRUE(map_vcn(e, 12, i, lcn));
    EXPECT_EQ(i, 1u);
    EXPECT_EQ(lcn, 0u);
    ASSERT_TRUE(map_vcn(e, 19, i, lcn));
    EXPECT_EQ(lcn, 304u);
    EXPECT_FALSE(map_vcn(e, 20, i, lcn));
}

}  // namespace
