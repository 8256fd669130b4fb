// VHD: the footer and dynamic header on crafted bytes, the sector bitmap,
// where a parent is looked for, crafted dynamic and differencing files
// read sector by sector, and the fixtures read as their raw disks.
#include "storage/be.hpp"
#include "storage/container.hpp"
#include "storage/disk_chain.hpp"
#include "storage/vhd_footer.hpp"
#include "storage/vhd_header.hpp"
#include "storage/container_files.hpp"

#include <gtest/gtest.h>

#include <map>

using namespace container_files;

namespace {

using bytes = std::vector<uint8_t>;

bytes footer(uint32_t type, uint64_t size, uint64_t data_offset, uint8_t id) {
    bytes f(512);
    le::put_u64(f, 0, 0x78697463656e6f63ull);  // "conectix"
    be::put_u32(f, 12, 0x00010000);
    be::put_u64(f, 16, data_offset);
    be::put_u64(f, 40, size);
    be::put_u64(f, 48, size);
    be::put_u32(f, 60, type);
    std::fill(f.begin() + 68, f.begin() + 84, id);
    be::put_u32(f, 64, vhd_checksum(f, 64));
    return f;
}

struct block_plan {
    std::vector<bool> present;  // bitmap bits of the first sectors
    uint8_t fill = 0;           // sector i of the block's data holds fill + i
};

struct vhd_plan {
    uint32_t type = 3;
    uint64_t size = 4 * 4096;
    uint32_t block = 4096;
    uint32_t entries = 4;
    uint8_t id = 1, parent_id = 0;
    std::string relative;                  // W2ru locator, ASCII
    std::map<uint32_t, block_plan> blocks;  // block number -> contents
    std::map<uint32_t, uint32_t> raw_entries;  // table entries written as they are
};

// Footer copy, header, table, locator, blocks, footer.
bytes make_vhd(const vhd_plan& s) {
    const uint32_t bitmap = vhd_bitmap_bytes(s.block);
    bytes d(512 + 1024 + 512 + 512);
    bytes h(1024);
    le::put_u64(h, 0, 0x6573726170737863ull);  // "cxsparse"
    be::put_u64(h, 8, ~uint64_t(0));
    be::put_u64(h, 16, 1536);
    be::put_u32(h, 28, s.entries);
    be::put_u32(h, 32, s.block);
    std::fill(h.begin() + 40, h.begin() + 56, s.parent_id);
    if (!s.relative.empty()) {
        be::put_u32(h, 576, vhd_locator_relative);
        be::put_u32(h, 576 + 8, static_cast<uint32_t>(s.relative.size() * 2));
        be::put_u64(h, 576 + 16, 2048);
        for (size_t i = 0; i < s.relative.size(); ++i) d[2048 + 2 * i] = static_cast<uint8_t>(s.relative[i]);
    }
    be::put_u32(h, 36, vhd_checksum(h, 36));
    std::copy(h.begin(), h.end(), d.begin() + 512);
    for (uint32_t b = 0; b < s.entries; ++b) be::put_u32(d, 1536 + 4 * uint64_t(b), 0xFFFFFFFFu);
    for (const auto& [b, plan] : s.blocks) {
        be::put_u32(d, 1536 + 4 * uint64_t(b), static_cast<uint32_t>(d.size() / 512));
        bytes block(bitmap + s.block);
        for (size_t i = 0; i < plan.present.size(); ++i)
            if (plan.present[i]) block[i / 8] |= uint8_t(0x80 >> (i % 8));
        for (uint32_t i = 0; i < s.block; ++i) block[bitmap + i] = static_cast<uint8_t>(plan.fill + i / 512);
        d.insert(d.end(), block.begin(), block.end());
    }
    for (const auto& [b, e] : s.raw_entries) be::put_u32(d, 1536 + 4 * uint64_t(b), e);
    const bytes f = footer(s.type, s.size, 512, s.id);
    std::copy(f.begin(), f.end(), d.begin());
    d.insert(d.end(), f.begin(), f.end());
    return d;
}

bool open_file(const std::string& path, std::unique_ptr<disk_container>& disk, std::string& message) {
    return open_vhd(uni::to_utf16(path), disk, message);
}

}  // namespace

TEST(VhdFooter, FieldsChecksumAndLimits) {
    vhd_footer f;
    std::string why;
    bytes raw = footer(2, 0x12345600, ~uint64_t(0), 7);
    ASSERT_TRUE(parse_vhd_footer(raw, f, why)) << why;
    EXPECT_EQ(f.current_size, 0x12345600u);
    EXPECT_EQ(f.disk_type, 2u);
    EXPECT_EQ(f.data_offset, ~uint64_t(0));
    EXPECT_EQ(f.unique_id[0], 7);
    // The oldest writers' 511-byte footer: the same without its last byte.
    EXPECT_TRUE(parse_vhd_footer(std::span<const uint8_t>(raw).first(511), f, why));
    EXPECT_FALSE(parse_vhd_footer(std::span<const uint8_t>(raw).first(510), f, why));

    raw[100] ^= 1;
    EXPECT_FALSE(parse_vhd_footer(raw, f, why));
    EXPECT_EQ(why, "VHD footer checksum wrong");
    raw = footer(5, 4096, 512, 1);
    EXPECT_FALSE(parse_vhd_footer(raw, f, why));
    EXPECT_EQ(why, "VHD disk type 5 not known");
    raw = footer(3, max_vhd_disk_bytes + 512, 512, 1);
    EXPECT_FALSE(parse_vhd_footer(raw, f, why));
    raw[0] = 'C';
    EXPECT_FALSE(parse_vhd_footer(raw, f, why));
    EXPECT_EQ(why, "no VHD footer");

    // The big-endian reader: most significant byte first, zero past the end.
    const uint8_t b[] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(be::u32(b, 0), 0x12345678u);
    EXPECT_EQ(be::u16(b, 2), 0x5678u);
    EXPECT_EQ(be::u32(b, 1), 0u);
}

TEST(VhdHeader, FieldsParentAndBlockSizes) {
    vhd_plan s;
    s.type = 4;
    s.parent_id = 0x5A;
    s.relative = ".\\p.vhd";
    bytes d = make_vhd(s);
    std::span<uint8_t> h(d.data() + 512, 1024);
    // A parent name of "pé" (UTF-16BE).
    be::put_u16(h, 64, u'p');
    be::put_u16(h, 66, 0xE9);
    be::put_u32(h, 36, vhd_checksum(h, 36));
    vhd_dynamic_header hd;
    std::string why;
    ASSERT_TRUE(parse_vhd_header(h, hd, why)) << why;
    EXPECT_EQ(hd.table_offset, 1536u);
    EXPECT_EQ(hd.max_entries, 4u);
    EXPECT_EQ(hd.block_size, 4096u);
    EXPECT_EQ(hd.parent_id[15], 0x5A);
    EXPECT_EQ(hd.parent_name, u"p\u00e9");
    EXPECT_EQ(hd.locators[0].code, vhd_locator_relative);
    EXPECT_EQ(hd.locators[0].length, 14u);
    EXPECT_EQ(hd.locators[0].offset, 2048u);
    EXPECT_EQ(vhd_locator_path(std::span<const uint8_t>(d).subspan(2048, 14)), u".\\p.vhd");

    h[900] ^= 1;
    EXPECT_FALSE(parse_vhd_header(h, hd, why));
    EXPECT_EQ(why, "VHD dynamic header checksum wrong");
    for (const uint32_t size : {0u, 256u, 3u << 20, 512u << 20}) {
        be::put_u32(h, 32, size);
        be::put_u32(h, 36, vhd_checksum(h, 36));
        EXPECT_FALSE(parse_vhd_header(h, hd, why)) << size;
    }
}

TEST(ParentCandidates, WindowsPathsMappedToTheChildsFolder) {
    parent_hints h;
    h.relative = u".\\sub\\p.vhd";
    h.absolute = {u"C:\\vm\\p.vhd", u"\\\\?\\C:\\vm\\p.vhd", u"/srv/vm/p.vhd"};
    h.names = {u"D:\\old\\q.vhd"};
    // Relative first, then the absolute paths the host can open, then the
    // file names beside the child, each once.
    EXPECT_EQ(parent_candidates(u"/cases/7/child.vhd", h),
              (std::vector<std::u16string>{u"/cases/7/sub/p.vhd", u"/srv/vm/p.vhd", u"/cases/7/p.vhd",
                                           u"/cases/7/q.vhd"}));
    h = parent_hints{};
    h.relative = u"..\\p.vhd";
    EXPECT_EQ(parent_candidates(u"child.vhd", h), (std::vector<std::u16string>{u"../p.vhd", u"p.vhd"}));
    // A "relative" locator holding an absolute path is taken as one.
    h.relative = u"C:\\p.vhd";
    EXPECT_EQ(parent_candidates(u"a/child.vhd", h), (std::vector<std::u16string>{u"a/p.vhd"}));
    EXPECT_TRUE(parent_candidates(u"a/child.vhd", parent_hints{}).empty());
}

TEST(VhdDisk, DynamicBlocksFollowTheirBitmapAndDamageIsReportedOnce) {
    temp_dir dir;
    vhd_plan s;
    s.entries = 3;  // block 3 is not in the table
    s.blocks[0] = {{true, true, false, true, true, true, true, true}, 0x10};
    s.raw_entries[2] = 0x00FFFFFF;  // past the end of the file
    write_file(dir.file("d.vhd"), make_vhd(s));
    damage_lines damage;
    std::unique_ptr<disk_container> disk;
    std::string message;
    ASSERT_TRUE(open_file(dir.file("d.vhd"), disk, message)) << message;
    EXPECT_EQ(disk->disk_size, 4u * 4096);
    EXPECT_EQ(disk->sector_size, 512u);

    // From the middle of sector 0 to the middle of sector 4: the clear bit
    // of sector 2 reads as zeros although the file holds bytes there.
    const bytes b = read_disk(*disk, 256, 2048);
    EXPECT_EQ(b[0], 0x10);
    EXPECT_EQ(b[256], 0x11);
    EXPECT_EQ(b[768], 0);
    EXPECT_EQ(b[1279], 0);
    EXPECT_EQ(b[1280], 0x13);
    EXPECT_EQ(b[2047], 0x14);
    EXPECT_EQ(read_disk(*disk, 4096, 4096), bytes(4096, 0));  // never written
    EXPECT_TRUE(damage.get().empty());

    // Damaged blocks read as zeros, one line each however often read.
    EXPECT_EQ(read_disk(*disk, 2 * 4096 + 100, 5000), bytes(5000, 0));
    read_disk(*disk, 2 * 4096, 512);
    const std::string name = dir.file("d.vhd");
    EXPECT_EQ(damage.get(), (std::vector<std::string>{
                                name + ": block 2 unreadable (block allocation table entry points past the end of the file), read as zeros",
                                name + ": block 3 unreadable (not in the block allocation table), read as zeros"}));
}

TEST(VhdDisk, BlocksPlacedOverTheHeadersAreDamage) {
    temp_dir dir;
    vhd_plan s;
    s.blocks[0] = {std::vector<bool>(8, true), 0x10};
    s.raw_entries[1] = 0;  // its bitmap would be the footer copy, its data the header
    s.raw_entries[2] = 3;  // over the block allocation table
    const std::string path = dir.file("o.vhd");
    write_file(path, make_vhd(s));
    damage_lines damage;
    std::unique_ptr<disk_container> disk;
    std::string message;
    ASSERT_TRUE(open_file(path, disk, message)) << message;
    EXPECT_EQ(read_disk(*disk, 0, 1)[0], 0x10);
    EXPECT_EQ(read_disk(*disk, 4096, 2 * 4096), bytes(2 * 4096, 0));
    EXPECT_EQ(damage.get(), (std::vector<std::string>{
                                path + ": block 1 unreadable (block allocation table entry points into the file's headers), read as zeros",
                                path + ": block 2 unreadable (block allocation table entry points into the file's headers), read as zeros"}));
}

TEST(VhdDisk, DifferencingReadsClearBitsAndAbsentBlocksFromTheParent) {
    temp_dir dir;
    vhd_plan parent;
    parent.id = 0x5A;
    for (uint32_t b = 0; b < 4; ++b) parent.blocks[b] = {std::vector<bool>(8, true), uint8_t(0x50 + 8 * b)};
    write_file(dir.file("p.vhd"), make_vhd(parent));
    vhd_plan child;
    child.type = 4;
    child.id = 0x77;
    child.parent_id = 0x5A;
    child.relative = ".\\p.vhd";
    child.blocks[1] = {{false, true}, 0xC0};
    write_file(dir.file("c.vhd"), make_vhd(child));

    damage_lines damage;
    std::unique_ptr<disk_container> disk;
    std::string message;
    ASSERT_TRUE(open_file(dir.file("c.vhd"), disk, message)) << message;
    const bytes b = read_disk(*disk, 0, 3 * 4096);
    EXPECT_EQ(b[0], 0x50);                // block 0: not in the child
    EXPECT_EQ(b[4096], 0x58);             // block 1, sector 0: bit clear
    EXPECT_EQ(b[4096 + 512], 0xC1);       // sector 1: the child's
    EXPECT_EQ(b[4096 + 1024], 0x5A);      // sector 2: the parent's again
    EXPECT_EQ(b[2 * 4096 + 4095], 0x60 + 7);
    EXPECT_TRUE(damage.get().empty());

    // A parent that is another disk is not used: its sectors read as zeros.
    vhd_plan other = parent;
    other.id = 0x33;
    write_file(dir.file("p.vhd"), make_vhd(other));
    ASSERT_TRUE(open_file(dir.file("c.vhd"), disk, message)) << message;
    EXPECT_EQ(read_disk(*disk, 0, 512), bytes(512, 0));
    EXPECT_EQ(read_disk(*disk, 4096 + 512, 1)[0], 0xC1);
    ASSERT_EQ(damage.get().size(), 2u);
    EXPECT_NE(damage.get()[0].find("p.vhd is another disk (id 333333"), std::string::npos) << damage.get()[0];
    EXPECT_NE(damage.get()[1].find("block 0 unreadable (held by the parent disk"), std::string::npos);
}

TEST(VhdDisk, FilesThatAreRefused) {
    temp_dir dir;
    std::unique_ptr<disk_container> disk;
    std::string message;
    const std::string path = dir.file("x.vhd");
    write_file(path, bytes(100, 0));
    EXPECT_FALSE(open_file(path, disk, message));
    EXPECT_EQ(message, path + ": too short for a VHD");

    bytes d = make_vhd(vhd_plan{});
    d[512 + 40] ^= 1;  // header checksum
    write_file(path, d);
    EXPECT_FALSE(open_file(path, disk, message));
    EXPECT_EQ(message, path + ": VHD dynamic header checksum wrong");
    EXPECT_FALSE(disk);

    // A fixed disk whose footer claims more than the file holds: the rest
    // reads as zeros, reported once.
    d = bytes(8192, 0xAB);
    const bytes f = footer(2, 16384, ~uint64_t(0), 1);
    d.insert(d.end(), f.begin(), f.end());
    write_file(path, d);
    damage_lines damage;
    ASSERT_TRUE(open_file(path, disk, message)) << message;
    const bytes b = read_disk(*disk, 8000, 400);
    EXPECT_EQ(b[191], 0xAB);
    EXPECT_EQ(b[192], 0);
    EXPECT_EQ(damage.get(), std::vector<std::string>{path + ": bytes from 0x2000 unreadable (past the end of the file), read as zeros"});
}

TEST(VhdDisk, FixturesReadAsTheirRawDisks) {
    expect_reads_as(open_vhd, "main_fixed.vhd", "main.img", 512);
    expect_reads_as(open_vhd, "main_dynamic.vhd", "main.img", 512);
    expect_reads_as(open_vhd, "mbr_dynamic.vhd", "mbr.img", 512);
    expect_reads_as(open_vhd, "vdisk_child.vhd", "vdisk_changed.img", 512);
}
