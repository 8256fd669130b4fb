// The partitions found on real disk images agree with The Sleuth Kit's
// mmls. mmls also lists the partition tables, unallocated gaps and the
// extended containers as "Meta" entries; only real partitions are compared,
// and the primary extended container this scan lists is left out.
#include "storage/partitions.hpp"
#include "storage/sector_source.hpp"
#include "support/test_paths.hpp"
#include "support/tools.hpp"
#include "platform/unicode.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using span_list = std::vector<std::pair<uint64_t, uint64_t>>;  // start, length in 512-byte sectors


// Runs mmls and returns its partition rows; `table` is false when mmls
// finds no partition table (a bare volume).
span_list run_mmls(const std::string& image, bool& table) {
    span_list rows;
    const std::string cmd = "mmls '" + image + "' 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> p(popen(cmd.c_str(), "r"), pclose);
    table = false;
    if (!p) return rows;
    char line[512];
    while (std::fgets(line, sizeof line, p.get())) {
        std::istringstream in(line);
        std::string index, slot;
        uint64_t start = 0, end = 0, length = 0;
        if (!(in >> index >> slot >> start >> end >> length)) continue;
        table = true;
        if (slot == "Meta" || slot == "-------") continue;
        rows.emplace_back(start, length);
    }
    return rows;
}

span_list scan_image(const std::string& image, PartitionList& list) {
    SectorSource src;
    span_list rows;
    if (!open_image(src, uni::to_utf16(image))) return rows;
    scan_partitions(src, list, false);
    for (const auto& p : list) {
        if (type_name(p.type) == "exten") continue;
        const uint64_t unit = p.sector_size / 512;
        rows.emplace_back(p.start_lba * unit, p.sector_count * unit);
    }
    return rows;
}

struct expectation {
    const char* image;
    uint64_t suggested;  // offset find_volume accepts or suggests
    bool accepted_at_zero;
    bool fixture = false;  // one of the project's own disks
};

}  // namespace

TEST(RealDisks, PartitionsAgreeWithMmls) {
    BRELVIK_NEED_TOOL("mmls");
    const expectation cases[] = {
        {"10-ntfs-autodetect/10-ntfs-disk.dd", 96390ull * 512, false},
        {"1-extend-part/ext-part-test-2.dd", 0, false},
        {"ntfs_index.raw", 128ull * 512, false},
        {"gpt-512-3p.raw", 0, false},
        {"mbr-win-512.raw", 0, false},
        {"vss_1_vol.raw", 67584ull * 512, false},
        {"vss_3_volstor.raw", 4196352ull * 512, false},
        {"7-undel-ntfs/7-ntfs-undel.dd", 0, true},
        {"ntfs3.raw", 0, true},
        {"ntfs3_attrlist.raw", 0, true},
        {"10-ntfs-autodetect/10-ntfs-part1.dd", 0, true},
        {"mbr.img", 0x4500000, false, true},
        {"gpt.img", 0x900000, false, true},
        {"vdisk.img", 0x100000, false, true},
        {"cut.img", 0x100000, false, true},
    };
    int compared = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        const std::string path = c.fixture ? test_paths::fixture(c.image) : test_paths::testdata(c.image);
        if (path.empty()) continue;
        bool table = false;
        const span_list theirs = run_mmls(path, table);
        PartitionList list;
        const span_list ours = scan_image(path, list);
        if (table) {
            EXPECT_EQ(ours, theirs);
        } else {
            // No partition table: one bare volume at 0.
            ASSERT_EQ(list.size(), 1u);
            EXPECT_EQ(list[0].start_lba, 0u);
            EXPECT_EQ(list[0].fs_name, "ntfs");
        }

        uint64_t offset = 0;
        bool ntfs_found = false;
        std::ostringstream msg;
        const bool ok = open_image_and_find_volume(msg, uni::to_utf16(path), offset, ntfs_found, false);
        EXPECT_EQ(ok, c.accepted_at_zero) << msg.str();
        EXPECT_EQ(ntfs_found, c.accepted_at_zero || c.suggested != 0);
        if (ntfs_found) {
            EXPECT_EQ(offset, c.suggested);
        }
        if (c.suggested && std::string(c.image) != "cut.img") {
            offset = c.suggested;
            msg.str("");
            EXPECT_TRUE(open_image_and_find_volume(msg, uni::to_utf16(path), offset, ntfs_found, false)) << msg.str();
        }
        ++compared;
    }
    if (compared == 0) GTEST_SKIP() << "no shared test images unpacked";
}

TEST(RealDisks, NamesOfTheWindowsDisks) {
    const std::string path = test_paths::testdata("vss_1_vol.raw");
    if (path.empty()) GTEST_SKIP() << "image not unpacked";
    SectorSource src;
    ASSERT_TRUE(open_image(src, uni::to_utf16(path)));
    PartitionList list;
    ASSERT_EQ(scan_partitions(src, list, false), 2u);
    EXPECT_EQ(list[0].label, "Microsoft reserved partition");
    EXPECT_EQ(type_name(list[0].type), "gpt");
    EXPECT_EQ(list[1].label, "Basic data partition");
    EXPECT_EQ(list[1].fs_name, "ntfs");

    const std::string mbr = test_paths::testdata("mbr-win-512.raw");
    if (mbr.empty()) return;
    ASSERT_TRUE(open_image(src, uni::to_utf16(mbr)));
    ASSERT_EQ(scan_partitions(src, list, false), 8u);
    // The partitions were never formatted: the table's types name them,
    // and no boot sector moves the reading to 4096-byte sectors.
    for (const auto& p : list) {
        EXPECT_EQ(p.sector_size, 512u);
        EXPECT_TRUE(type_name(p.type) == "exten" || type_name(p.type) == "fat");
    }
}
