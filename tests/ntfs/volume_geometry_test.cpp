// Geometry and the MFT's runs, read from every test volume, against The
// Sleuth Kit's reading of the same image.
#include "ntfs/open_volume.hpp"
#include "platform/unicode.hpp"
#include "support/tools.hpp"
#include "support/tsk.hpp"
#include "support/volumes.hpp"

#include <gtest/gtest.h>

namespace {

std::unique_ptr<ntfs_volume> open(const test_volumes::volume& tv) {
    std::unique_ptr<ntfs_volume> v;
    EXPECT_TRUE(attach_source(source_image, uni::to_utf16(tv.path), -1, static_cast<int64_t>(tv.offset), v)) << tv.label;
    return v;
}

TEST(VolumeGeometry, AgreesWithFsstatOnEveryVolume) {
    BRELVIK_NEED_TOOL("fls");
    BRELVIK_NEED_TOOL("fsstat");
    const auto vols = test_volumes::all();
    if (vols.empty()) GTEST_SKIP() << "no test volumes";
    for (const auto& tv : vols) {
        SCOPED_TRACE(tv.label);
        tsk::fs_facts f;
        ASSERT_TRUE(tsk::fsstat(tv.path, tv.offset / 512, f));
        auto v = open(tv);
        ASSERT_TRUE(v);
        EXPECT_EQ(v->bytes_per_cluster, f.cluster_size);
        EXPECT_EQ(v->bytes_per_sector, f.sector_size);
        EXPECT_EQ(v->record_size, f.record_size);
        EXPECT_EQ(v->mft_offset, f.mft_first_cluster * f.cluster_size);
        // fsstat's range ends one past the entries the MFT's data size holds
        // (its orphan folder); the entry count covers every allocated
        // cluster of the MFT, which may be more.
        EXPECT_EQ(v->mft_info.data_size / static_cast<uint64_t>(v->record_stride), f.last_entry);
        EXPECT_GE(static_cast<uint64_t>(v->entry_count), f.last_entry);
    }
}

TEST(VolumeGeometry, MftRunsAgreeWithIstatOfEntryZero) {
    BRELVIK_NEED_TOOL("fls");
    BRELVIK_NEED_TOOL("fsstat");
    for (const auto& tv : test_volumes::all()) {
        SCOPED_TRACE(tv.label);
        std::vector<uint64_t> expected;
        ASSERT_TRUE(tsk::istat_data_clusters(tv.path, tv.offset / 512, 0, expected));
        auto v = open(tv);
        ASSERT_TRUE(v);
        std::vector<uint64_t> ours;
        for (const run& r : v->mft_info.data_runs)
            for (uint32_t i = 0; i < r.length; ++i) ours.push_back(static_cast<uint64_t>(r.lcn) + i);
        // istat lists zeros for allocated clusters past the data size.
        while (!expected.empty() && expected.back() == 0) expected.pop_back();
        ASSERT_FALSE(expected.empty());
        ASSERT_GE(ours.size(), expected.size());
        ours.resize(expected.size());
        EXPECT_EQ(ours, expected);
    }
}

TEST(VolumeGeometry, EveryEntryOfTheMftMapsToARecord) {
    for (const auto& tv : test_volumes::all()) {
        SCOPED_TRACE(tv.label);
        auto v = open(tv);
        ASSERT_TRUE(v);
        // Every entry inside the MFT reads with a FILE, BAAD or empty
        // signature; none maps outside the volume.
        std::vector<uint8_t> rec;
        int readable = 0;
        for (int64_t e = 0; e < v->entry_count; ++e) {
            if (read_file_record(*v, static_cast<uint64_t>(e), rec)) ++readable;
        }
        EXPECT_GT(readable, 16);
        EXPECT_FALSE(read_file_record(*v, static_cast<uint64_t>(v->entry_count) + 100000, rec));
    }
}

}  // namespace
