// VMDK sparse extents and chains: hand-made extents for exact layouts and
// hostile headers, and qemu-img-made disks for real files.
#include "storage/partitions.hpp"
#include "storage/sector_source.hpp"
#include "storage/vmdk.hpp"
#include "storage/disk_builder.hpp"
#include "storage/container_files.hpp"
#include "support/tools.hpp"
#include "platform/unicode.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// A temporary folder removed with its files at the end of a test.
struct temp_dir {
    fs::path path;
    temp_dir() {
        std::string tmpl = (fs::temp_directory_path() / "brelvik-vmdk-XXXXXX").string();
        if (mkdtemp(tmpl.data())) path = tmpl;
    }
    ~temp_dir() {
        std::error_code ec;
        if (!path.empty()) fs::remove_all(path, ec);
    }
    std::string file(const std::string& name) const { return (path / name).string(); }
};

struct extent_layout {
    uint64_t capacity = 128;  // sectors
    uint64_t grain = 8;       // sectors
    uint32_t gtes = 4;        // entries per grain table
    uint32_t flags = 3;
    std::string cid = "0000abcd";
    std::string parent_cid = "ffffffff";
    std::string hint;
    std::map<uint64_t, uint8_t> grains;  // grain number -> fill byte
};

// Lays out a hosted sparse extent: header, descriptor at sector 1, grain
// directory, grain tables, then the grains the layout names.
disk::image make_extent(const extent_layout& s) {
    const uint64_t tables = (s.capacity + s.grain * s.gtes - 1) / (s.grain * s.gtes);
    const uint64_t desc_at = 1, desc_sectors = 2, gd_at = desc_at + desc_sectors;
    const uint64_t gd_sectors = (tables * 4 + 511) / 512;
    const uint64_t gt_sectors = (uint64_t(s.gtes) * 4 + 511) / 512;
    const uint64_t gt_at = gd_at + gd_sectors;
    const uint64_t overhead = gt_at + tables * gt_sectors;
    disk::image d((overhead + s.grains.size() * s.grain) * 512);

    le::put_u32(d, 0, vmdk_magic);
    le::put_u32(d, 4, 1);
    le::put_u32(d, 8, s.flags);
    le::put_u64(d, 12, s.capacity);
    le::put_u64(d, 20, s.grain);
    le::put_u64(d, 28, desc_at);
    le::put_u64(d, 36, desc_sectors);
    le::put_u32(d, 44, s.gtes);
    le::put_u64(d, 56, gd_at);
    le::put_u64(d, 64, overhead);

    std::string text = "# Disk DescriptorFile\nversion=1\nencoding=\"UTF-8\"\nCID=" + s.cid + "\nparentCID=" + s.parent_cid +
                       "\ncreateType=\"monolithicSparse\"\n";
    if (!s.hint.empty()) text += "parentFileNameHint=\"" + s.hint + "\"\n";
    disk::put(d, desc_at * 512, text);

    for (uint64_t t = 0; t < tables; ++t) le::put_u32(d, gd_at * 512 + 4 * t, static_cast<uint32_t>(gt_at + t * gt_sectors));
    uint64_t next = overhead;
    for (const auto& [g, fill] : s.grains) {
        const uint64_t t = g / s.gtes, e = g % s.gtes;
        le::put_u32(d, (gt_at + t * gt_sectors) * 512 + 4 * e, static_cast<uint32_t>(next));
        std::fill_n(d.begin() + next * 512, s.grain * 512, fill);
        next += s.grain;
    }
    return d;
}

void write_file(const std::string& path, const disk::image& d) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(d.data()), static_cast<std::streamsize>(d.size()));
}

std::u16string u16(const std::string& s) { return uni::to_utf16(s); }


bool run(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

}  // namespace

TEST(VmdkChain, SnapshotGrainsOverrideTheBaseAcrossAGrainBoundary) {
    temp_dir dir;
    extent_layout base, snap;
    base.grains = {{0, 0xAA}, {1, 0xBB}, {5, 0xDD}};
    snap.cid = "0000beef";
    snap.parent_cid = "0000abcd";
    snap.hint = "base.vmdk";
    snap.grains = {{1, 0xCC}};
    write_file(dir.file("base.vmdk"), make_extent(base));
    write_file(dir.file("snap.vmdk"), make_extent(snap));

    // The order the files are given in does not matter: CIDs decide.
    SectorSource src;
    ASSERT_TRUE(open_vmdk(src, {u16(dir.file("snap.vmdk")), u16(dir.file("base.vmdk"))}));
    EXPECT_EQ(total_size(src), 128u * 512);
    std::vector<uint8_t> buf(8192, 0x11);
    uint32_t n = 1024;
    ASSERT_TRUE(read(src, buf.data(), n, 4096 - 512));
    EXPECT_EQ(n, 1024u);
    EXPECT_EQ(buf[511], 0xAA);
    EXPECT_EQ(buf[512], 0xCC);  // grain 1 comes from the snapshot
    // Grain 2 is in no file; grain 5 lies in the base's second grain table.
    n = 8192;
    ASSERT_TRUE(read(src, buf.data(), n, 2 * 4096));
    EXPECT_EQ(buf[0] | buf[4095], 0);
    n = 16;
    ASSERT_TRUE(read(src, buf.data(), n, 5 * 4096));
    EXPECT_EQ(buf[0], 0xDD);
    n = 16;
    EXPECT_FALSE(read(src, buf.data(), n, 128 * 512));
}

TEST(VmdkChain, ReadsStopAtTheCapacity) {
    temp_dir dir;
    // 100 sectors in tables that cover 128: grain 12 (sectors 96 to 103)
    // lies across the end of the disk.
    extent_layout s;
    s.capacity = 100;
    s.grains = {{12, 0x77}};
    write_file(dir.file("end.vmdk"), make_extent(s));
    SectorSource src;
    ASSERT_TRUE(open_vmdk(src, {u16(dir.file("end.vmdk"))}));
    ASSERT_EQ(total_size(src), 100u * 512);
    std::vector<uint8_t> buf(2048, 0x11);
    uint32_t n = 2048;
    ASSERT_TRUE(read(src, buf.data(), n, 99 * 512));
    // Shortened like a raw image's read: the grain's sectors past the
    // capacity are not handed out as disk bytes.
    EXPECT_EQ(n, 512u);
    EXPECT_EQ(buf[0], 0x77);
    EXPECT_EQ(buf[511], 0x77);
    EXPECT_EQ(buf[512], 0x11);
}

TEST(VmdkChain, MissingParentAndCidErrors) {
    temp_dir dir;
    extent_layout snap;
    snap.cid = "0000beef";
    snap.parent_cid = "0000abcd";
    snap.hint = "base.vmdk";
    snap.grains = {{0, 1}};
    const std::string snap_path = dir.file("snap.vmdk");
    write_file(snap_path, make_extent(snap));

    uint64_t offset = 0;
    vmdk_probe probe;
    EXPECT_FALSE(probe_vmdk_volume({u16(snap_path)}, offset, false, probe));
    EXPECT_FALSE(probe.chain_opened);
    EXPECT_EQ(probe.messages, "=> vmdk file: " + snap_path + "\n depends on parent vmdk \"base.vmdk\"\n"
                              "Child VMDK points to a parent VMDK that doesn't exist, aborting\n");
    ASSERT_EQ(probe.suggested.size(), 1u);
    EXPECT_EQ(probe.suggested[0], u16(dir.file("base.vmdk")));
    EXPECT_EQ(suggested_array_line(probe.suggested), "suggested array:-vmdk \"" + dir.file("base.vmdk") + "\"\n");

    // A hint that names a file elsewhere that does not exist is replaced by
    // the same file name in the folder of the files given.
    snap.hint = "/elsewhere/old/base.vmdk";
    write_file(snap_path, make_extent(snap));
    EXPECT_FALSE(probe_vmdk_volume({u16(snap_path)}, offset, false, probe));
    EXPECT_NE(probe.messages.find(" depends on parent vmdk \"" + dir.file("base.vmdk") + "\"\n"), std::string::npos);
    ASSERT_EQ(probe.suggested.size(), 1u);
    EXPECT_EQ(probe.suggested[0], u16(dir.file("base.vmdk")));

    // The sector source opens nothing without the parent.
    std::ostringstream msg;
    bool found = false;
    EXPECT_FALSE(open_vmdk_and_find_volume(msg, {u16(snap_path)}, offset, found, false));
    EXPECT_EQ(msg.str(), "invalid disk collection of snaps \n");

    extent_layout self;
    self.cid = self.parent_cid = "12345678";
    write_file(dir.file("self.vmdk"), make_extent(self));
    EXPECT_FALSE(probe_vmdk_volume({u16(dir.file("self.vmdk"))}, offset, false, probe));
    EXPECT_EQ(probe.messages, "Child VMDK CID errors, aborting\n");

    EXPECT_FALSE(probe_vmdk_volume({u16(dir.file("none.vmdk"))}, offset, false, probe));
    EXPECT_EQ(probe.messages, dir.file("none.vmdk") + " can't be opened\n");
}

TEST(VmdkChain, FilesOffTheLineFromTheBaseAreRefused) {
    temp_dir dir;
    const auto extent = [&](const std::string& name, const std::string& cid, const std::string& parent, uint8_t fill) {
        extent_layout s;
        s.cid = cid;
        s.parent_cid = parent;
        s.grains = {{0, fill}};
        write_file(dir.file(name), make_extent(s));
        return u16(dir.file(name));
    };
    const std::u16string base = extent("base.vmdk", "0000abcd", "ffffffff", 0xA1);
    const std::u16string snap = extent("snap.vmdk", "0000beef", "0000abcd", 0xB2);
    const std::u16string other_base = extent("other.vmdk", "7777aaaa", "ffffffff", 0xC3);
    const std::u16string sibling = extent("sibling.vmdk", "0000cafe", "0000abcd", 0xD4);
    const std::u16string ring1 = extent("ring1.vmdk", "11111111", "22222222", 0xE5);
    const std::u16string ring2 = extent("ring2.vmdk", "22222222", "11111111", 0xF6);

    // The base and its snapshot alone make one disk.
    SectorSource src;
    ASSERT_TRUE(open_vmdk(src, {base, snap}));
    std::vector<uint8_t> buf(512);
    uint32_t n = 512;
    ASSERT_TRUE(read(src, buf.data(), n, 0));
    EXPECT_EQ(buf[0], 0xB2);
    close(src);

    // A second base, a second snapshot of the same base, and two files
    // naming each other as parent: each leaves files off the chain, and
    // reading only part of what was given is refused rather than done.
    const std::vector<std::vector<std::u16string>> sets = {
        {base, snap, other_base}, {base, snap, sibling}, {base, ring1, ring2}, {ring1, ring2}};
    for (const auto& files : sets) {
        SCOPED_TRACE(uni::to_utf8(files.back()));
        EXPECT_FALSE(open_vmdk(src, files));
        uint64_t offset = 0;
        vmdk_probe probe;
        EXPECT_FALSE(probe_vmdk_volume(files, offset, false, probe));
        EXPECT_FALSE(probe.chain_opened);
        EXPECT_EQ(probe.messages, "Child VMDK CID errors, aborting\n");
    }
}

TEST(VmdkExtent, HostileHeadersAreRefused) {
    temp_dir dir;
    extent_layout s;
    s.grains = {{0, 7}};
    const disk::image good = make_extent(s);
    const std::string path = dir.file("x.vmdk");
    auto opens = [&](const disk::image& d) {
        write_file(path, d);
        VmdkExtent e;
        const bool ok = e.open(u16(path));
        EXPECT_EQ(ok, e.valid);
        return ok;
    };
    ASSERT_TRUE(opens(good));

    struct patch {
        const char* what;
        uint64_t at;
        uint64_t value;
        unsigned width;
    };
    const patch patches[] = {
        {"magic", 0, 0x12345678, 4},
        {"grain size 0", 20, 0, 8},
        {"huge grain size", 20, uint64_t(1) << 40, 8},
        {"capacity 0", 12, 0, 8},
        {"huge capacity", 12, UINT64_MAX, 8},
        {"no grain-table entries", 44, 0, 4},
        {"huge grain-table count", 44, 0xFFFFFFFF, 4},
        {"descriptor past the file", 28, 1000, 8},
        {"descriptor larger than the file", 36, 0xFFFFFFF, 8},
        {"directory past the file", 56, UINT64_MAX / 512, 8},
        {"compressed grains", 8, 3 | (1u << 16), 4},
        {"tables larger than the file", 12, uint64_t(1) << 30, 8},
    };
    for (const auto& p : patches) {
        SCOPED_TRACE(p.what);
        disk::image d = good;
        if (p.width == 4)
            le::put_u32(d, p.at, static_cast<uint32_t>(p.value));
        else
            le::put_u64(d, p.at, p.value);
        EXPECT_FALSE(opens(d));
    }

    // A grain table that points past the end of the file.
    disk::image d = good;
    le::put_u32(d, 3 * 512, 0x00FFFFFF);
    EXPECT_FALSE(opens(d));
    // A file shorter than its header.
    EXPECT_FALSE(opens(disk::image(100)));

    // A grain entry past the end of the file reads as zeros, not garbage.
    d = good;
    le::put_u32(d, 4 * 512, 0x00FFFFFF);
    write_file(path, d);
    VmdkChain chain;
    ASSERT_TRUE(chain.add_file(u16(path)));
    ASSERT_TRUE(chain.link());
    std::vector<uint8_t> buf(512, 0x55);
    uint32_t n = 512;
    ASSERT_TRUE(chain.read(buf.data(), 0, n));
    EXPECT_EQ(buf[0], 0);
}

// `bytes` of the disk the extent at `path` makes, from `at` on, through
// the source as a listing reads it; unwritten bytes show as 0x11.
std::vector<uint8_t> read_disk(const std::string& path, uint64_t at, size_t bytes) {
    SectorSource src;
    EXPECT_TRUE(open_vmdk(src, {u16(path)}));
    std::vector<uint8_t> buf(bytes, 0x11);
    uint32_t n = static_cast<uint32_t>(buf.size());
    EXPECT_TRUE(read(src, buf.data(), n, at));
    return buf;
}

TEST(VmdkExtent, GrainsOverTheHeaderOrTablesAreDamage) {
    temp_dir dir;
    extent_layout s;  // descriptor at sectors 1-2, directory at 3, tables at 4-7, grain 3 at 8-15
    s.grains = {{3, 0x33}};
    disk::image d = make_extent(s);
    le::put_u32(d, 4 * 512 + 0, 1);  // grain 0 over the descriptor (no zeroed-grain flag)
    le::put_u32(d, 4 * 512 + 4, 3);  // grain 1 over the directory and the tables
    le::put_u32(d, 4 * 512 + 8, 0);  // grain 2 in no file
    le::put_u32(d, 5 * 512 + 0, 7);  // grain 4 over the last table only
    // A redundant directory at sector 16 naming its tables at 17-20 (copies
    // of the primary ones, as a writer keeps them), then a grain's worth of
    // sectors.
    d.resize(32 * 512, 0x5A);
    le::put_u64(d, 48, 16);
    for (uint32_t t = 0; t < 4; ++t) le::put_u32(d, 16 * 512 + 4 * t, 17 + t);
    le::put_u32(d, 5 * 512 + 4, 16);   // grain 5 over the redundant directory
    le::put_u32(d, 5 * 512 + 8, 20);   // grain 6 over the last redundant table
    le::put_u32(d, 5 * 512 + 12, 24);  // grain 7 after them: disk bytes
    std::copy(d.begin() + 4 * 512, d.begin() + 8 * 512, d.begin() + 17 * 512);
    const std::string path = dir.file("m.vmdk");
    write_file(path, d);

    container_files::damage_lines damage;
    const std::vector<uint8_t> buf = read_disk(path, 0, 8 * 4096);
    // The descriptor's text, the directories and the tables are not disk bytes.
    EXPECT_EQ(std::count(buf.begin(), buf.begin() + 3 * 4096, 0), 3 * 4096);
    EXPECT_EQ(buf[3 * 4096], 0x33);
    EXPECT_EQ(std::count(buf.begin() + 4 * 4096, buf.begin() + 7 * 4096, 0), 3 * 4096);
    EXPECT_EQ(std::count(buf.begin() + 7 * 4096, buf.end(), 0x5A), 4096);
    const std::string why = " unreadable (its grain table entry points into the extent's header or tables), read as zeros";
    std::vector<std::string> expected;
    for (const char* g : {"0", "1", "4", "5", "6"}) expected.push_back(path + ": grain " + g + why);
    EXPECT_EQ(damage.get(), expected);

    // A redundant directory entry naming a place that holds no copy of its
    // table (stale or damaged, here grain 7's data) refuses no grain there.
    le::put_u32(d, 16 * 512 + 12, 24);
    const std::string stale = dir.file("stale.vmdk");
    write_file(stale, d);
    container_files::damage_lines stale_damage;
    const std::vector<uint8_t> again = read_disk(stale, 7 * 4096, 4096);
    EXPECT_EQ(std::count(again.begin(), again.end(), 0x5A), 4096);
    for (const std::string& line : stale_damage.get()) EXPECT_EQ(line.find(": grain 7 "), std::string::npos) << line;

    // A redundant offset none of whose tables holds a copy is no directory:
    // grain 5, where it points, is read as it is.
    for (uint32_t t = 0; t < 4; ++t) le::put_u32(d, 16 * 512 + 4 * t, 24);
    write_file(stale, d);
    container_files::damage_lines none;
    const std::vector<uint8_t> grain5 = read_disk(stale, 5 * 4096, 4096);
    EXPECT_TRUE(std::equal(grain5.begin(), grain5.end(), d.begin() + 16 * 512));
    for (const std::string& line : none.get()) EXPECT_EQ(line.find(": grain 5 "), std::string::npos) << line;
}

TEST(VmdkExtent, ZeroedGrainEntriesReadAsZeros) {
    temp_dir dir;
    extent_layout s;
    s.flags = 3 | 4;
    s.grains = {{0, 7}};
    disk::image d = make_extent(s);
    le::put_u32(d, 4 * 512 + 4, 1);  // grain 1: "all zeros"
    write_file(dir.file("z.vmdk"), d);
    VmdkExtent e;
    ASSERT_TRUE(e.open(u16(dir.file("z.vmdk"))));
    uint64_t at = 0;
    EXPECT_EQ(e.locate(4096, at), grain_place::zeros);
    EXPECT_EQ(e.locate(8192, at), grain_place::absent);
}

TEST(VmdkQemu, BaseAndSnapshotMadeByQemuImg) {
    BRELVIK_NEED_TOOL("qemu-img");
    BRELVIK_NEED_TOOL("qemu-io");
    temp_dir dir;
    // A 4 MiB disk: MBR naming an NTFS partition at 1 MiB, and a pattern
    // that tells every 512-byte sector apart.
    disk::image raw(4 << 20);
    for (size_t i = 0; i < raw.size(); i += 512) le::put_u32(raw, i + 100, static_cast<uint32_t>(i / 512 + 1));
    disk::entry(raw, 0, 0, 7, 2048, 4096);
    disk::ntfs(raw, 1 << 20, 4095);
    std::fill(raw.begin() + (3 << 20), raw.begin() + (3 << 20) + 65536, uint8_t(0));  // a hole
    write_file(dir.file("disk.raw"), raw);
    const std::string base = dir.file("base.vmdk"), snap = dir.file("snap.vmdk");
    ASSERT_TRUE(run("qemu-img convert -f raw -O vmdk " + dir.file("disk.raw") + " " + base));

    SectorSource src;
    ASSERT_TRUE(open_vmdk(src, {u16(base)}));
    ASSERT_EQ(total_size(src), raw.size());
    std::vector<uint8_t> got(raw.size());
    for (size_t at = 0; at < raw.size(); at += 100000) {
        uint32_t n = static_cast<uint32_t>(std::min<size_t>(100000, raw.size() - at));
        ASSERT_TRUE(read(src, got.data() + at, n, static_cast<int64_t>(at)));
    }
    EXPECT_TRUE(got == raw);
    ASSERT_EQ(src.vmdk->partition_offsets().size(), 1u);
    EXPECT_EQ(src.vmdk->partition_offsets()[0], 1u << 20);
    close(src);

    // Without an offset the probe still lets parsing go on: it saw NTFS.
    uint64_t offset = 0;
    vmdk_probe probe;
    EXPECT_TRUE(probe_vmdk_volume({u16(base)}, offset, false, probe));
    EXPECT_FALSE(probe.volume_found);
    EXPECT_EQ(offset, 1u << 20);

    // A snapshot that rewrites 4 KiB straddling a 64 KiB grain boundary.
    ASSERT_TRUE(run("cd " + dir.path.string() + " && qemu-img create -f vmdk -b base.vmdk -F vmdk snap.vmdk"));
    ASSERT_TRUE(run("qemu-io -c 'write -P 0x5a 129024 4096' " + snap));
    ASSERT_TRUE(open_vmdk(src, {u16(base), u16(snap)}));
    std::vector<uint8_t> buf(16384);
    uint32_t n = 16384;
    ASSERT_TRUE(read(src, buf.data(), n, 131072 - 8192));
    for (size_t i = 0; i < buf.size(); ++i) {
        const size_t at = 131072 - 8192 + i;
        const uint8_t want = (at >= 129024 && at < 133120) ? 0x5a : raw[at];
        ASSERT_EQ(buf[i], want) << "at " << at;
    }

    // The snapshot alone names its missing parent.
    EXPECT_FALSE(probe_vmdk_volume({u16(snap)}, offset, false, probe));
    ASSERT_EQ(probe.suggested.size(), 1u);
    EXPECT_EQ(probe.suggested[0], u16(base));
    EXPECT_NE(probe.messages.find("=> vmdk file: " + snap + "\n"), std::string::npos);
}
