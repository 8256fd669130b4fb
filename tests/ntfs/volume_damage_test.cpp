// Damaged volumes fail cleanly: a truncated image, a boot sector that is
// not NTFS, a zero bytes-allocated field in record 0, a bad MFT signature.
#include "ntfs/attribute_header.hpp"
#include "ntfs/file_record.hpp"
#include "ntfs/open_volume.hpp"
#include "storage/damage.hpp"
#include "support/image_patch.hpp"
#include "support/test_paths.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace {

std::vector<uint8_t> load(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// The bare 6 MB volume made by Windows XP.
std::vector<uint8_t> xp_volume() {
    const std::string p = test_paths::testdata("7-undel-ntfs/7-ntfs-undel.dd");
    return p.empty() ? std::vector<uint8_t>{} : load(p);
}

TEST(VolumeDamage, TruncatedImagesFailOrReadWhatIsThere) {
    auto img = xp_volume();
    if (img.empty()) GTEST_SKIP() << "shared image missing";
    std::unique_ptr<ntfs_volume> v;
    ASSERT_TRUE(open_memory_volume(img, 0, v));
    const uint64_t mft = v->mft_offset;
    // Cut inside the boot sector, or before the MFT.
    for (uint64_t cut : {uint64_t(100), uint64_t(4096), mft}) {
        std::vector<uint8_t> part(img.begin(), img.begin() + static_cast<long>(cut));
        EXPECT_FALSE(open_memory_volume(part, 0, v)) << cut;
    }
    // Cut inside record 0: the half that is there is read, the rest is
    // zeros; whatever opens must not read past the cut.
    std::vector<uint8_t> half(img.begin(), img.begin() + static_cast<long>(mft + 512));
    if (open_memory_volume(half, 0, v)) {
        std::vector<uint8_t> rec;
        EXPECT_FALSE(read_file_record(*v, 5, rec));
    }
    // Cut after the MFT's first records: the volume opens; entries past the
    // cut fail to read.
    std::vector<uint8_t> part(img.begin(), img.begin() + static_cast<long>(mft + 16 * 1024));
    ASSERT_TRUE(open_memory_volume(part, 0, v));
    std::vector<uint8_t> rec;
    EXPECT_TRUE(read_file_record(*v, 5, rec));
    EXPECT_FALSE(read_file_record(*v, 30, rec));
}

std::vector<std::string> g_gap_lines;
void collect_gap_line(const std::string& line) { g_gap_lines.push_back(line); }

// A record the image ends inside is read up to the cut; when it uses bytes
// past it, what they held is missing and a line says so, once.
TEST(VolumeDamage, RecordCutShortByTheEndOfTheImageIsSaid) {
    auto img = xp_volume();
    if (img.empty()) GTEST_SKIP() << "shared image missing";
    std::unique_ptr<ntfs_volume> v;
    ASSERT_TRUE(open_memory_volume(img, 0, v));
    const uint64_t mft = v->mft_offset;
    const auto in_use = [&](uint64_t entry) {
        return le::u32(std::span<const uint8_t>(img).subspan(mft + entry * 1024), file_header::bytes_in_use);
    };
    // $Secure (entry 9) uses 872 bytes of its record, entry 8 fewer than 512.
    ASSERT_EQ(in_use(9), 872u);
    ASSERT_LT(in_use(8), 512u);
    reset_damage_reports();
    g_gap_lines.clear();
    set_damage_sink(collect_gap_line);
    std::vector<uint8_t> rec;
    std::vector<uint8_t> part(img.begin(), img.begin() + static_cast<long>(mft + 9 * 1024 + 512));
    ASSERT_TRUE(open_memory_volume(part, 0, v));
    EXPECT_TRUE(read_file_record(*v, 9, rec));
    EXPECT_TRUE(read_file_record(*v, 9, rec));
    // Cut past the bytes its record uses, entry 8 loses nothing.
    std::vector<uint8_t> part8(img.begin(), img.begin() + static_cast<long>(mft + 8 * 1024 + 512));
    ASSERT_TRUE(open_memory_volume(part8, 0, v));
    EXPECT_TRUE(read_file_record(*v, 8, rec));
    set_damage_sink(nullptr);
    reset_damage_reports();
    EXPECT_EQ(g_gap_lines, (std::vector<std::string>{
                               "MFT entry 9: its record is cut short by the end of the image after byte 512 of the "
                               "872 it uses, what it holds past there is not listed"}));
}

TEST(VolumeDamage, BootSectorThatIsNotNtfs) {
    auto img = xp_volume();
    if (img.empty()) GTEST_SKIP() << "shared image missing";
    std::unique_ptr<ntfs_volume> v;
    auto fat = img;
    std::copy_n("MSDOS5.0", 8, fat.begin() + 3);
    EXPECT_FALSE(open_memory_volume(fat, 0, v));
    auto zero_cluster = img;
    zero_cluster[13] = 0;  // sectors per cluster 0 would divide by zero
    EXPECT_FALSE(open_memory_volume(zero_cluster, 0, v));
    auto odd_sector = img;
    le::put_u16(odd_sector, 11, 500);
    EXPECT_FALSE(open_memory_volume(odd_sector, 0, v));
    auto huge_record = img;
    huge_record[64] = 0x80;  // 2^128-byte records
    EXPECT_FALSE(open_memory_volume(huge_record, 0, v));
    EXPECT_FALSE(open_memory_volume({}, 0, v));
}

TEST(VolumeDamage, ZeroBytesAllocatedInRecordZeroFallsBackToTheRecordSize) {
    auto img = xp_volume();
    if (img.empty()) GTEST_SKIP() << "shared image missing";
    std::unique_ptr<ntfs_volume> v;
    ASSERT_TRUE(open_memory_volume(img, 0, v));
    const uint64_t mft = v->mft_offset;
    const int64_t count = v->entry_count;
    le::put_u32(std::span<uint8_t>(img).subspan(mft), file_header::bytes_allocated, 0);
    ASSERT_TRUE(open_memory_volume(img, 0, v));
    EXPECT_EQ(v->record_stride, 1024);
    EXPECT_EQ(v->entry_count, count);
    std::vector<uint8_t> rec;
    EXPECT_TRUE(read_file_record(*v, 5, rec));
}

TEST(VolumeDamage, BadSignatures) {
    auto img = xp_volume();
    if (img.empty()) GTEST_SKIP() << "shared image missing";
    std::unique_ptr<ntfs_volume> v;
    ASSERT_TRUE(open_memory_volume(img, 0, v));
    const uint64_t mft = v->mft_offset;
    // Record 5 with a bad signature: that read fails, the volume stays usable.
    auto bad5 = img;
    std::copy_n("JUNK", 4, bad5.begin() + static_cast<long>(mft + 5 * 1024));
    ASSERT_TRUE(open_memory_volume(bad5, 0, v));
    std::vector<uint8_t> rec;
    EXPECT_FALSE(read_file_record(*v, 5, rec));
    EXPECT_TRUE(rec.empty());
    EXPECT_TRUE(read_file_record(*v, 6, rec));
    int kind = -1;
    EXPECT_FALSE(read_record_checked(*v, 5, rec, kind));
    EXPECT_EQ(kind, kind_none);
    // A BAAD record: the plain read refuses it, the checked read names it.
    auto baad = img;
    std::copy_n("BAAD", 4, baad.begin() + static_cast<long>(mft + 7 * 1024));
    ASSERT_TRUE(open_memory_volume(baad, 0, v));
    EXPECT_FALSE(read_file_record(*v, 7, rec));
    EXPECT_TRUE(read_record_checked(*v, 7, rec, kind));
    EXPECT_EQ(kind, kind_baad);
    // Record 0 itself broken: its copy in $MFTMirr locates the MFT, and
    // entry 0 still reads as the broken record it is.
    auto bad0 = img;
    std::copy_n("JUNK", 4, bad0.begin() + static_cast<long>(mft));
    ASSERT_TRUE(open_memory_volume(bad0, 0, v));
    EXPECT_EQ(v->mft_offset, mft);
    EXPECT_TRUE(read_file_record(*v, 5, rec));
    EXPECT_FALSE(read_file_record(*v, 0, rec));
    // With the copy broken too, nothing says where the MFT lies.
    const uint64_t mirror = le::u64(img, 56) * v->bytes_per_cluster;
    std::copy_n("JUNK", 4, bad0.begin() + static_cast<long>(mirror));
    EXPECT_FALSE(open_memory_volume(bad0, 0, v));
}

// mftfrag.img keeps the MFT's later runs in an extension record, named by
// record 0's attribute list. With record 0's runlist cut short after its
// first runs, the clusters between its last run and the extension's piece
// are mapped by nothing: the entries there cannot be read, and those of
// the extension's piece are still read from their own records (each
// record past the reserved ones carries its number), not from the records
// of later entries.
TEST(VolumeDamage, EntriesAfterAMissingPieceOfTheMftKeepTheirPlace) {
    const std::string path = test_paths::fixture("mftfrag.img");
    if (path.empty()) GTEST_SKIP() << "fixture missing";
    auto img = image_patch::load(path);
    std::unique_ptr<ntfs_volume> v;
    ASSERT_TRUE(open_memory_volume(img, 0, v));
    ASSERT_FALSE(v->mft_info.attribute_list.empty());
    const uint64_t c = v->bytes_per_cluster;
    const uint64_t stride = static_cast<uint64_t>(v->record_stride);
    const int64_t entries = v->entry_count;

    constexpr int kept_runs = 3;
    uint64_t kept_vcn = 0, piece_vcn = 0;
    image_patch::record(img, *v, 0, [&](std::span<uint8_t> rec) {
        const uint64_t a = image_patch::find_attr(rec, attr_data);
        ASSERT_NE(a, 0u);
        piece_vcn = le::u64(rec, a + attr_header::last_vcn) + 1;
        uint64_t at = a + le::u16(rec, a + attr_header::runlist_offset);
        for (int i = 0; i < kept_runs; ++i) {
            const uint8_t h = rec[at];
            ASSERT_NE(h, 0);
            kept_vcn += le::uint_n(rec, at + 1, h & 0x0F);
            at += 1 + (h & 0x0F) + (h >> 4);
        }
        ASSERT_NE(rec[at], 0) << "record 0 holds more runs than are kept";
        rec[at] = 0;
        le::put_u64(rec, a + attr_header::last_vcn, kept_vcn - 1);
    });
    ASSERT_LT(kept_vcn, piece_vcn);
    const uint64_t gap_first = kept_vcn * c / stride, piece_first = piece_vcn * c / stride;
    ASSERT_LT(piece_first, static_cast<uint64_t>(entries));

    ASSERT_TRUE(open_memory_volume(img, 0, v));
    EXPECT_EQ(v->entry_count, entries);
    std::vector<uint8_t> rec;
    size_t in_gap = 0, in_piece = 0;
    for (uint64_t e = gap_first; e < piece_first; e += 7) in_gap += read_file_record(*v, e, rec) ? 1 : 0;
    EXPECT_EQ(in_gap, 0u);
    for (uint64_t e = piece_first; e < static_cast<uint64_t>(entries); ++e) {
        if (!read_file_record(*v, e, rec)) continue;
        ++in_piece;
        ASSERT_EQ(le::u32(rec, file_header::record_number), e);
    }
    EXPECT_GT(in_piece, 100u);
    for (uint64_t e = 24; e < gap_first; ++e) {
        if (read_file_record(*v, e, rec)) {
            ASSERT_EQ(le::u32(rec, file_header::record_number), e);
        }
    }
}

TEST(ReadRange, DeliversExactlyTheBytesAskedAcrossClustersAndSparseRuns) {
    auto img = xp_volume();
    if (img.empty()) GTEST_SKIP() << "shared image missing";
    std::unique_ptr<ntfs_volume> v;
    ASSERT_TRUE(open_memory_volume(img, 0, v));
    const uint32_t c = v->bytes_per_cluster;
    // Clusters 10 and 11, a sparse cluster, then cluster 20.
    const std::vector<extent> e{{10, 0, 0, 2}, {0, 2, 1, 1}, {20, 3, 0, 1}};
    // From 100 bytes into the first cluster to 100 bytes into the last.
    std::vector<uint8_t> out(3 * c + 1, 0xEE);
    uint32_t len = 3 * c, flags = 0;
    ASSERT_TRUE(read_range(*v, e, 100, out.data(), len, flags));
    EXPECT_EQ(len, 3 * c);
    EXPECT_EQ(0, std::memcmp(out.data(), img.data() + 10 * c + 100, 2 * c - 100));
    for (uint32_t i = 2 * c - 100; i < 3 * c - 100; ++i) ASSERT_EQ(out[i], 0) << i;
    EXPECT_EQ(0, std::memcmp(out.data() + 3 * c - 100, img.data() + 20 * c, 100));
    EXPECT_TRUE(flags & read_range_hit_sparse);
    EXPECT_EQ(out[3 * c], 0xEE);  // nothing written past the bytes asked for
    // Past the last extent: nothing to read.
    len = 16;
    flags = 0;
    EXPECT_FALSE(read_range(*v, e, 10 * uint64_t(c), out.data(), len, flags));
}

}  // namespace
