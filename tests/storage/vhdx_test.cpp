// VHDX: CRC-32C, headers, region table and metadata on crafted bytes, the
// block allocation table's layout and entry states, crafted dynamic and
// differencing files read block by block, and the fixtures read as their
// raw disks.
#include "storage/crc32c.hpp"
#include "storage/le.hpp"
#include "storage/vhdx.hpp"
#include "storage/vhdx_header.hpp"
#include "storage/vhdx_metadata.hpp"
#include "storage/container_files.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string_view>

using namespace container_files;

namespace {

using bytes = std::vector<uint8_t>;
constexpr uint64_t mib = 1u << 20;

void put_guid(bytes& d, uint64_t at, const vhdx_guid& g) { std::copy(g.begin(), g.end(), d.begin() + at); }

void put_text(bytes& d, uint64_t at, std::string_view s) { std::copy(s.begin(), s.end(), d.begin() + at); }

void seal(bytes& d, uint64_t at, uint64_t n) {
    le::put_u32(d, at + 4, 0);
    le::put_u32(d, at + 4, crc32c(std::span<const uint8_t>(d).subspan(at, n)));
}

bytes header(uint64_t sequence, uint8_t data_write, uint8_t log = 0) {
    bytes h(4096);
    put_text(h, 0, "head");
    le::put_u64(h, 8, sequence);
    std::fill(h.begin() + 32, h.begin() + 48, data_write);
    std::fill(h.begin() + 48, h.begin() + 64, log);
    le::put_u16(h, 66, 1);
    seal(h, 0, 4096);
    return h;
}

void region_entry(bytes& t, uint32_t i, const vhdx_guid& g, uint64_t at, uint32_t length, uint32_t required) {
    const uint64_t e = 16 + 32 * uint64_t(i);
    put_guid(t, e, g);
    le::put_u64(t, e + 16, at);
    le::put_u32(t, e + 24, length);
    le::put_u32(t, e + 28, required);
}

bytes region_table(uint64_t bat_at, uint32_t bat_len, uint64_t meta_at) {
    bytes t(64 * 1024);
    put_text(t, 0, "regi");
    le::put_u32(t, 8, 2);
    region_entry(t, 0, vhdx_bat_region, bat_at, bat_len, 1);
    region_entry(t, 1, vhdx_metadata_region, meta_at, mib, 1);
    seal(t, 0, t.size());
    return t;
}

struct item {
    vhdx_guid id;
    bytes value;
    uint32_t flags = 4;
};

bytes metadata(const std::vector<item>& items) {
    bytes r(mib);
    put_text(r, 0, "metadata");
    le::put_u16(r, 10, static_cast<uint16_t>(items.size()));
    uint32_t at = 64 * 1024;
    for (size_t i = 0; i < items.size(); ++i) {
        const uint64_t e = 32 + 32 * i;
        put_guid(r, e, items[i].id);
        le::put_u32(r, e + 16, at);
        le::put_u32(r, e + 20, static_cast<uint32_t>(items[i].value.size()));
        le::put_u32(r, e + 24, items[i].flags);
        std::copy(items[i].value.begin(), items[i].value.end(), r.begin() + at);
        at += static_cast<uint32_t>(items[i].value.size() + 7) / 8 * 8;
    }
    return r;
}

bytes u32_value(uint32_t v) { bytes b(4); le::put_u32(b, 0, v); return b; }
bytes u64_pair(uint64_t a, uint64_t b) { bytes v(8); le::put_u32(v, 0, uint32_t(a)); le::put_u32(v, 4, uint32_t(b)); return v; }
bytes u64_value(uint64_t v) { bytes b(8); le::put_u64(b, 0, v); return b; }

bytes locator(const std::vector<std::pair<std::u16string, std::u16string>>& pairs) {
    bytes l(20 + 12 * pairs.size());
    put_guid(l, 0, vhdx_locator_type);
    le::put_u16(l, 18, static_cast<uint16_t>(pairs.size()));
    for (size_t i = 0; i < pairs.size(); ++i) {
        const auto add = [&l](const std::u16string& s) {
            const uint32_t at = static_cast<uint32_t>(l.size());
            for (const char16_t c : s) l.push_back(uint8_t(c)), l.push_back(uint8_t(c >> 8));
            return at;
        };
        const uint32_t k = add(pairs[i].first), v = add(pairs[i].second);
        le::put_u32(l, 20 + 12 * i, k);
        le::put_u32(l, 24 + 12 * i, v);
        le::put_u16(l, 28 + 12 * i, static_cast<uint16_t>(pairs[i].first.size() * 2));
        le::put_u16(l, 30 + 12 * i, static_cast<uint16_t>(pairs[i].second.size() * 2));
    }
    return l;
}

std::vector<item> items(uint32_t block, uint64_t size, uint32_t sector, bool parent, const bytes& loc = {}) {
    std::vector<item> v{{vhdx_file_parameters, u64_pair(block, parent ? 2 : 0)},
                        {vhdx_disk_size_item, u64_value(size), 6},
                        {vhdx_logical_sector_item, u32_value(sector), 6}};
    if (parent) v.push_back({vhdx_parent_locator_item, loc});
    return v;
}

struct vhdx_plan {
    uint64_t size = 8 * mib;
    uint32_t block = static_cast<uint32_t>(mib);
    uint32_t sector = 512;
    uint8_t data_write = 1;
    bool has_parent = false;
    std::vector<std::pair<std::u16string, std::u16string>> locator;
    // Payload block -> (state, fill): sector i of a stored block holds fill + i.
    std::map<uint64_t, std::pair<uint32_t, uint8_t>> blocks;
    std::map<uint64_t, std::vector<uint64_t>> bitmaps;  // chunk -> bits set
    std::map<uint64_t, uint64_t> raw_entries;            // table index -> entry as written
    uint8_t log = 0;
};

// Identifier, headers, region tables, metadata at 1 MiB, the table at
// 2 MiB, then the stored blocks and bitmaps, one after another.
bytes make_vhdx(const vhdx_plan& s) {
    const vhdx_metadata m{s.block, false, s.has_parent, s.size, s.sector, 512, false, {}};
    const vhdx_layout l = vhdx_layout_of(m);
    bytes d(3 * mib);
    put_text(d, 0, "vhdxfile");
    for (int i = 0; i < 2; ++i) {
        const bytes h = header(i + 1, s.data_write, s.log);
        std::copy(h.begin(), h.end(), d.begin() + vhdx_header_offsets[i]);
        const bytes t = region_table(2 * mib, static_cast<uint32_t>(mib), mib);
        std::copy(t.begin(), t.end(), d.begin() + vhdx_region_table_offsets[i]);
    }
    const bytes meta = metadata(items(s.block, s.size, s.sector, s.has_parent, locator(s.locator)));
    std::copy(meta.begin(), meta.end(), d.begin() + mib);
    for (const auto& [b, state_fill] : s.blocks) {
        const auto [state, fill] = state_fill;
        uint64_t entry = state;
        if (state == vhdx_block_fully_present || state == vhdx_block_partially_present) {
            entry |= d.size();
            for (uint32_t i = 0; i < s.block; ++i) d.push_back(static_cast<uint8_t>(fill + i / s.sector));
        }
        le::put_u64(d, 2 * mib + 8 * vhdx_payload_index(b, l.chunk_ratio), entry);
    }
    for (const auto& [c, bits] : s.bitmaps) {
        le::put_u64(d, 2 * mib + 8 * vhdx_bitmap_index(c, l.chunk_ratio), vhdx_bitmap_present | d.size());
        bytes map(mib);
        for (const uint64_t bit : bits) map[bit / 8] |= uint8_t(1u << (bit % 8));
        d.insert(d.end(), map.begin(), map.end());
    }
    for (const auto& [i, e] : s.raw_entries) le::put_u64(d, 2 * mib + 8 * i, e);
    return d;
}

}  // namespace

TEST(Vhdx, Crc32cAndGuids) {
    const std::string_view digits = "123456789";
    EXPECT_EQ(crc32c(std::span(reinterpret_cast<const uint8_t*>(digits.data()), digits.size())), 0xe3069283u);
    EXPECT_EQ(crc32c(bytes(32, 0)), 0x8a9136aau);
    EXPECT_EQ(crc32c(bytes(32, 0xFF)), 0x62a8ab43u);
    EXPECT_EQ(crc32c(bytes()), 0u);
    // The first three groups are stored little-endian.
    const vhdx_guid g = vhdx_bat_region;
    EXPECT_EQ(g[0], 0x66);
    EXPECT_EQ(g[3], 0x2d);
    EXPECT_EQ(g[4], 0x23);
    EXPECT_EQ(g[8], 0x9d);
    EXPECT_EQ(g[15], 0x08);
    EXPECT_EQ(vhdx_guid_text(g), "2dc27766-f623-4200-9d64-115e9bfd4a08");
}

TEST(Vhdx, HeadersChecksumVersionAndTheCurrentOne) {
    vhdx_header h[2];
    std::string why;
    bytes raw = header(7, 0xAB, 0x11);
    ASSERT_TRUE(parse_vhdx_header(raw, h[0], why)) << why;
    EXPECT_EQ(h[0].sequence, 7u);
    EXPECT_EQ(h[0].data_write[5], 0xAB);
    EXPECT_EQ(h[0].log[0], 0x11);
    raw[3000] ^= 1;
    EXPECT_FALSE(parse_vhdx_header(raw, h[0], why));
    EXPECT_EQ(why, "checksum wrong");
    raw = header(7, 1);
    le::put_u16(raw, 66, 2);
    seal(raw, 0, 4096);
    EXPECT_FALSE(parse_vhdx_header(raw, h[0], why));
    EXPECT_EQ(why, "version 2 not known");
    EXPECT_FALSE(parse_vhdx_header(std::span<const uint8_t>(header(1, 1)).first(4095), h[0], why));

    h[0].sequence = 9;
    h[1].sequence = 10;
    EXPECT_EQ(current_vhdx_header({true, true}, h), 1);
    h[0].sequence = 11;
    EXPECT_EQ(current_vhdx_header({true, true}, h), 0);
    EXPECT_EQ(current_vhdx_header({false, true}, h), 1);  // the older one, when the newer is damaged
    EXPECT_EQ(current_vhdx_header({false, false}, h), -1);
}

TEST(Vhdx, RegionTable) {
    vhdx_regions r;
    std::string why;
    bytes t = region_table(3 * mib, 2 * mib, mib);
    ASSERT_TRUE(parse_vhdx_region_table(t, r, why)) << why;
    EXPECT_EQ(r.bat.offset, 3 * mib);
    EXPECT_EQ(r.bat.length, 2 * mib);
    EXPECT_EQ(r.metadata.offset, mib);
    t[100] ^= 1;
    EXPECT_FALSE(parse_vhdx_region_table(t, r, why));
    EXPECT_EQ(why, "checksum wrong");

    const vhdx_guid other = vhdx_guid_of("01234567-89ab-cdef-0123-456789abcdef");
    const auto with_third = [&](const vhdx_guid& g, uint32_t required) {
        bytes x = region_table(3 * mib, 2 * mib, mib);
        le::put_u32(x, 8, 3);
        region_entry(x, 2, g, 9 * mib, static_cast<uint32_t>(mib), required);
        seal(x, 0, x.size());
        return x;
    };
    EXPECT_TRUE(parse_vhdx_region_table(with_third(other, 0), r, why));  // optional: ignored
    EXPECT_FALSE(parse_vhdx_region_table(with_third(other, 1), r, why));
    EXPECT_EQ(why, "required region 01234567-89ab-cdef-0123-456789abcdef not known");
    EXPECT_FALSE(parse_vhdx_region_table(with_third(vhdx_bat_region, 1), r, why));
    EXPECT_EQ(why, "region 2dc27766-f623-4200-9d64-115e9bfd4a08 listed twice");
    t = region_table(3 * mib, 2 * mib, mib);
    le::put_u32(t, 8, 1);
    seal(t, 0, t.size());
    EXPECT_FALSE(parse_vhdx_region_table(t, r, why));
    EXPECT_EQ(why, "no metadata region");
    le::put_u32(t, 8, 2048);
    seal(t, 0, t.size());
    EXPECT_FALSE(parse_vhdx_region_table(t, r, why));
}

TEST(Vhdx, MetadataItemsAndParentLocator) {
    vhdx_metadata m;
    std::string why;
    const bytes loc = locator({{u"parent_linkage", u"{AB-CD}"}, {u"relative_path", u".\\p.vhdx"}});
    ASSERT_TRUE(parse_vhdx_metadata(metadata(items(32 * mib, 40 * mib, 4096, true, loc)), m, why)) << why;
    EXPECT_EQ(m.block_size, 32 * mib);
    EXPECT_EQ(m.disk_size, 40 * mib);
    EXPECT_EQ(m.logical_sector, 4096u);
    EXPECT_TRUE(m.has_parent);
    EXPECT_TRUE(m.has_locator);
    EXPECT_EQ(vhdx_locator_value(m, u"relative_path"), u".\\p.vhdx");
    EXPECT_EQ(vhdx_locator_value(m, u"parent_linkage"), u"{AB-CD}");
    EXPECT_EQ(vhdx_locator_value(m, u"volume_path"), u"");

    // A locator entry pointing outside the item leaves the parent unknown,
    // not the file unreadable.
    bytes bad = loc;
    le::put_u32(bad, 24, 5000);
    ASSERT_TRUE(parse_vhdx_metadata(metadata(items(mib, mib, 512, true, bad)), m, why));
    EXPECT_FALSE(m.has_locator);

    const auto refused = [&](std::vector<item> v, const std::string& expected) {
        vhdx_metadata x;
        std::string w;
        EXPECT_FALSE(parse_vhdx_metadata(metadata(v), x, w));
        EXPECT_EQ(w, expected);
    };
    refused(items(3 * mib, mib, 512, false), "block size 3145728 not accepted");
    refused(items(512 * mib, mib, 512, false), "block size 536870912 not accepted");
    refused(items(mib, mib, 1024, false), "logical sector size 1024 not accepted");
    refused(items(mib, uint64_t(65) << 40, 512, false), "virtual disk size beyond 64 TiB");
    std::vector<item> v = items(mib, mib, 512, false);
    v.erase(v.begin() + 1);
    refused(v, "no virtual disk size");
    v = items(mib, mib, 512, false);
    v.push_back({vhdx_guid_of("01234567-89ab-cdef-0123-456789abcdef"), bytes(8), 4});
    refused(v, "required metadata item 01234567-89ab-cdef-0123-456789abcdef not known");
    v.back().flags = 1;  // a user item, not required: ignored
    EXPECT_TRUE(parse_vhdx_metadata(metadata(v), m, why)) << why;
    // An item that runs past the region.
    bytes r = metadata(items(mib, mib, 512, false));
    le::put_u32(r, 32 + 16, static_cast<uint32_t>(mib) - 4);
    EXPECT_FALSE(parse_vhdx_metadata(r, m, why));
    EXPECT_EQ(why, "metadata item caa16737-fa36-4d43-b3b6-33f0aa44e76b outside its region");
}

TEST(Vhdx, TableLayoutEntriesAndSectorBitmap) {
    vhdx_metadata m{static_cast<uint32_t>(mib), false, false, 4097 * mib, 512, 512, false, {}};
    vhdx_layout l = vhdx_layout_of(m);
    EXPECT_EQ(l.chunk_ratio, 4096u);  // 2^23 sectors of 512 bytes in 1 MiB blocks
    EXPECT_EQ(l.data_blocks, 4097u);
    EXPECT_EQ(l.table_entries, 4098u);  // one bitmap entry between blocks 4095 and 4096
    m.has_parent = true;
    EXPECT_EQ(vhdx_layout_of(m).table_entries, 2u * 4097);
    m.logical_sector = 4096;
    m.block_size = 256u << 20;
    EXPECT_EQ(vhdx_layout_of(m).chunk_ratio, 128u);
    EXPECT_EQ(vhdx_payload_index(4095, 4096), 4095u);
    EXPECT_EQ(vhdx_payload_index(4096, 4096), 4097u);
    EXPECT_EQ(vhdx_bitmap_index(0, 4096), 4096u);
    EXPECT_EQ(vhdx_bitmap_index(1, 4096), 8193u);

    const uint64_t entry = (uint64_t(0x12345) << 20) | 0xFF000 | 6;
    EXPECT_EQ(vhdx_entry_state(entry), 6u);
    EXPECT_EQ(vhdx_entry_offset(entry), uint64_t(0x12345) << 20);  // reserved bits dropped

    const uint8_t bits[] = {0x01, 0x80};
    EXPECT_TRUE(vhdx_sector_present(bits, 0));  // least significant bit first
    EXPECT_FALSE(vhdx_sector_present(bits, 7));
    EXPECT_TRUE(vhdx_sector_present(bits, 15));
    EXPECT_FALSE(vhdx_sector_present(bits, 16));
}

TEST(VhdxDisk, BlockStatesOfADynamicFile) {
    temp_dir dir;
    vhdx_plan s;
    s.blocks = {{0, {6, 0x10}}, {1, {2, 0}}, {2, {7, 0x30}}, {3, {4, 0}}};
    s.raw_entries[4] = (uint64_t(4096) << 20) | 6;  // past the end
    s.size = 6 * mib;
    s.log = 0x42;
    const std::string path = dir.file("d.vhdx");
    bytes d = make_vhdx(s);
    d[vhdx_header_offsets[0] + 2000] ^= 1;  // the older header damaged
    write_file(path, d);
    damage_lines damage;
    std::unique_ptr<disk_container> disk;
    std::string message;
    ASSERT_TRUE(open_vhdx(uni::to_utf16(path), disk, message)) << message;
    EXPECT_EQ(disk->disk_size, 6 * mib);
    const bytes b = read_disk(*disk, mib - 512, 512 + 5 * static_cast<uint32_t>(mib));
    EXPECT_EQ(b[0], uint8_t(0x10 + 2047));
    EXPECT_EQ(b[512], 0);       // block 1: zeros
    EXPECT_EQ(b[512 + mib], 0); // block 2: partially present without a parent
    EXPECT_EQ(read_disk(*disk, 5 * mib, 512), bytes(512, 0));  // not present
    EXPECT_EQ(damage.get(), (std::vector<std::string>{
                                path + ": VHDX header 1 damaged (checksum wrong); header 2 used",
                                path + ": the VHDX log is not empty and was not replayed; the file is read as it stands",
                                path + ": block 2 unreadable (block state 7 not valid here), read as zeros",
                                path + ": block 3 unreadable (block state 4 not valid here), read as zeros",
                                path + ": block 4 unreadable (block allocation table entry points past the end of the file), read as zeros"}));
}

TEST(VhdxDisk, DifferencingWith4096ByteSectors) {
    temp_dir dir;
    vhdx_plan parent;
    parent.sector = 4096;
    parent.data_write = 0xD1;
    for (uint64_t b = 0; b < 8; ++b) parent.blocks[b] = {6, uint8_t(0x40 + b)};
    write_file(dir.file("p.vhdx"), make_vhdx(parent));

    vhdx_plan child;
    child.sector = 4096;
    child.has_parent = true;
    child.locator = {{u"parent_linkage", u"{D1D1D1D1-D1D1-D1D1-D1D1-D1D1D1D1D1D1}"}, {u"relative_path", u".\\p.vhdx"}};
    child.blocks = {{0, {0, 0}}, {1, {7, 0xA0}}, {2, {2, 0}}, {3, {3, 0}}, {4, {6, 0xB0}}, {5, {1, 0}}};
    // Block 1 is sectors 256-511 of chunk 0: its sectors 1 and 255 are the child's.
    child.bitmaps[0] = {256 + 1, 256 + 255};
    write_file(dir.file("c.vhdx"), make_vhdx(child));

    damage_lines damage;
    std::unique_ptr<disk_container> disk;
    std::string message;
    ASSERT_TRUE(open_vhdx(uni::to_utf16(dir.file("c.vhdx")), disk, message)) << message;
    EXPECT_EQ(disk->sector_size, 4096u);
    const bytes b = read_disk(*disk, 0, 6 * static_cast<uint32_t>(mib));
    const auto at = [&b](uint64_t block, uint64_t sector) { return b[block * mib + sector * 4096 + 100]; };
    EXPECT_EQ(at(0, 0), 0x40);         // not present: the parent's
    EXPECT_EQ(at(1, 0), 0x41);         // bit clear
    EXPECT_EQ(at(1, 1), 0xA1);         // bit set: the child's
    EXPECT_EQ(at(1, 2), 0x41 + 2);  // the parent's sector i holds its fill + i
    EXPECT_EQ(at(1, 255), uint8_t(0xA0 + 255));
    EXPECT_EQ(at(2, 7), 0);            // zero: zeros, not the parent's
    EXPECT_EQ(at(3, 7), 0x43 + 7);     // unmapped: the parent's
    EXPECT_EQ(at(4, 3), 0xB3);
    EXPECT_EQ(at(5, 3), 0x45 + 3);     // undefined: the parent's
    EXPECT_TRUE(damage.get().empty());

    // Without its bitmap block, a partially present block is damage.
    child.bitmaps.clear();
    write_file(dir.file("c.vhdx"), make_vhdx(child));
    ASSERT_TRUE(open_vhdx(uni::to_utf16(dir.file("c.vhdx")), disk, message)) << message;
    EXPECT_EQ(read_disk(*disk, mib + 4096, 4096), bytes(4096, 0));
    EXPECT_EQ(damage.get(), std::vector<std::string>{dir.file("c.vhdx") +
                                                     ": block 1 unreadable (its sector bitmap is not in the file), read as zeros"});
}

TEST(VhdxDisk, EntriesPointingIntoTheHeadersAreDamage) {
    temp_dir dir;
    damage_lines damage;
    std::unique_ptr<disk_container> disk;
    std::string message;

    // A fully present block at file offset 0 would hand out the file
    // identifier and the headers as disk bytes.
    vhdx_plan s;
    s.blocks = {{1, {6, 0x10}}};
    s.raw_entries[0] = vhdx_block_fully_present;
    const std::string path = dir.file("d.vhdx");
    write_file(path, make_vhdx(s));
    ASSERT_TRUE(open_vhdx(uni::to_utf16(path), disk, message)) << message;
    EXPECT_EQ(read_disk(*disk, 0, 512), bytes(512, 0));
    EXPECT_EQ(read_disk(*disk, mib, 1)[0], 0x10);
    EXPECT_EQ(damage.get(), std::vector<std::string>{
                                path + ": block 0 unreadable (block allocation table entry points into the file's headers), read as zeros"});

    // A sector bitmap at file offset 0 would take its bits from the headers.
    vhdx_plan parent;
    parent.data_write = 0xD1;
    for (uint64_t b = 0; b < 8; ++b) parent.blocks[b] = {6, uint8_t(0x40 + b)};
    write_file(dir.file("p.vhdx"), make_vhdx(parent));
    vhdx_plan child;
    child.has_parent = true;
    child.locator = {{u"parent_linkage", u"{D1D1D1D1-D1D1-D1D1-D1D1-D1D1D1D1D1D1}"}, {u"relative_path", u".\\p.vhdx"}};
    child.blocks = {{1, {7, 0xA0}}};
    const vhdx_metadata m{child.block, false, true, child.size, child.sector, 512, false, {}};
    child.raw_entries[vhdx_bitmap_index(0, vhdx_layout_of(m).chunk_ratio)] = vhdx_bitmap_present;
    const std::string child_path = dir.file("c.vhdx");
    write_file(child_path, make_vhdx(child));
    reset_damage_reports();
    damage_lines child_damage;
    ASSERT_TRUE(open_vhdx(uni::to_utf16(child_path), disk, message)) << message;
    EXPECT_EQ(read_disk(*disk, mib, 512), bytes(512, 0));
    EXPECT_EQ(read_disk(*disk, 0, 1)[0], 0x40);
    EXPECT_EQ(child_damage.get(), std::vector<std::string>{
                                      child_path + ": block 1 unreadable (its sector bitmap entry points into the file's headers), read as zeros"});
}

TEST(VhdxDisk, FilesThatAreRefused) {
    temp_dir dir;
    const std::string path = dir.file("x.vhdx");
    std::unique_ptr<disk_container> disk;
    std::string message;
    const auto refused = [&](const bytes& d, const std::string& expected) {
        write_file(path, d);
        EXPECT_FALSE(open_vhdx(uni::to_utf16(path), disk, message));
        EXPECT_EQ(message, path + ": " + expected);
        EXPECT_FALSE(disk);
    };
    bytes d = make_vhdx(vhdx_plan{});
    d[0] = 'V';
    refused(d, "no VHDX file identifier");
    d = make_vhdx(vhdx_plan{});
    d.resize(200 * 1024);
    refused(d, "both VHDX region tables damaged (1: past the end of the file; 2: past the end of the file)");
    d = make_vhdx(vhdx_plan{});
    d[mib] = 'M';
    refused(d, "VHDX metadata table signature missing");
    d = make_vhdx(vhdx_plan{});
    d.resize(mib + 1000);
    refused(d, "VHDX metadata region past the end of the file");
}

TEST(VhdxDisk, FixturesReadAsTheirRawDisks) {
    expect_reads_as(open_vhdx, "main_fixed.vhdx", "main.img", 512);
    expect_reads_as(open_vhdx, "main_dynamic.vhdx", "main.img", 512);
    expect_reads_as(open_vhdx, "mbr_dynamic.vhdx", "mbr.img", 512);
    expect_reads_as(open_vhdx, "gpt4k_dynamic.vhdx", "gpt4k.img", 4096);
    expect_reads_as(open_vhdx, "gpt4k_fixed.vhdx", "gpt4k.img", 4096);
    expect_reads_as(open_vhdx, "vdisk_child.vhdx", "vdisk_changed.img", 512);
}
