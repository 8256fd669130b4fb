// Partition scan and volume detection on small disks built in memory.
#include "storage/boot_sectors.hpp"
#include "storage/gpt.hpp"
#include "storage/partitions.hpp"
#include "storage/sector_source.hpp"
#include "storage/disk_builder.hpp"
#include "support/test_paths.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <unistd.h>

namespace {

constexpr uint64_t MiB = 1 << 20;

struct outcome {
    bool ok = false;
    bool ntfs_found = false;
    uint64_t offset = 0;
    std::string text;
};

outcome find(const disk::image& d, uint64_t offset, bool ignore_size = false) {
    SectorSource src;
    open_memory(src, d);
    outcome o;
    o.offset = offset;
    std::ostringstream msg;
    o.ok = find_volume(msg, o.ntfs_found, o.offset, src, ignore_size);
    o.text = msg.str();
    return o;
}

PartitionList scan(const disk::image& d, bool lenient = false) {
    SectorSource src;
    open_memory(src, d);
    PartitionList list;
    scan_partitions(src, list, lenient);
    return list;
}

uint64_t offset_of(const Partition& p) {
    uint64_t off = 0;
    EXPECT_TRUE(partition_offset(p, off));
    return off;
}

// NTFS at 1 MiB, FAT32 at 2 MiB, NTFS at 3 MiB, each 1 MiB long.
disk::image three_primaries() {
    disk::image d(4 * MiB);
    disk::entry(d, 0, 0, 7, 2048, 2048);
    disk::entry(d, 0, 1, 12, 4096, 2048);
    disk::entry(d, 0, 2, 7, 6144, 2048);
    disk::ntfs(d, 1 * MiB, 2047);
    disk::fat32(d, 2 * MiB, 2048);
    disk::ntfs(d, 3 * MiB, 2047);
    return d;
}

const char* const three_primaries_list =
    "\n"
    "volume offset [ 0x100000 ] : ntfs or exfat\n"
    "volume offset [ 0x200000 ] : fat32\n"
    "volume offset [ 0x300000 ] : ntfs or exfat\n"
    "\n";

}  // namespace

TEST(BareVolume, NtfsAtZeroIsAcceptedAndCheckedForSize) {
    disk::image d(1 * MiB);
    disk::ntfs(d, 0, 2048);
    auto o = find(d, 0);
    EXPECT_TRUE(o.ok && o.ntfs_found && o.text.empty());

    disk::ntfs(d, 0, 4096);  // claims more sectors than the image holds
    o = find(d, 0);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.text, "volume offset 0x0 is a NTFS partition, however image size does not encapsulate entire volume\n");
    EXPECT_TRUE(find(d, 0, true).ok);

    // A bare ext volume: no signature anywhere, superblock at 1024.
    disk::image e(64 * 1024);
    disk::ext(e, 0, "", "");
    const auto list = scan(e);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].fs_name, "ext2/3");
    EXPECT_EQ(list[0].cluster_sectors, 8u);
}

TEST(FindVolume, MessagesWordForWord) {
    const auto d = three_primaries();
    const auto list = scan(d);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[1].fs_name, "fat32");
    EXPECT_EQ(list[2].sector_count, 2048u);  // the table's count stands

    auto o = find(d, 0);
    EXPECT_FALSE(o.ok);
    EXPECT_TRUE(o.ntfs_found);
    EXPECT_EQ(o.offset, 3 * MiB);  // the last NTFS partition
    EXPECT_EQ(o.text, std::string(three_primaries_list) + "use option [-offset 0x300000]\n");

    EXPECT_TRUE(find(d, 1 * MiB).ok);

    // Only NTFS partitions before the selected one are suggested.
    o = find(d, 2 * MiB);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.text, "volume offset selected 0x200000 is not a NTFS partition, but [fat32]\n" +
                          std::string(three_primaries_list) + "use option [-offset 0x100000]\n");

    o = find(d, 0x10000000);
    EXPECT_EQ(o.text, "volume offset 0x10000000 is not within image bounds\n");

    disk::image cut(d.begin(), d.begin() + 3 * MiB + 4096);
    o = find(cut, 3 * MiB);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.text,
              "volume offset 0x300000 is a NTFS partition, however image size does not encapsulate entire volume\n");
    EXPECT_TRUE(find(cut, 3 * MiB, true).ok);
}

TEST(FindVolume, SuggestsTheLastPartitionThatHoldsAnNtfsVolume) {
    // Type 7 is exFAT's and BitLocker's as well: an exFAT, a BitLocker and
    // an empty type-7 partition after the NTFS one must not be suggested
    // in its place, nor chosen when no offset is given.
    disk::image d(6 * MiB);
    disk::entry(d, 0, 0, 7, 2048, 2048);
    disk::entry(d, 0, 1, 7, 4096, 2048);
    disk::entry(d, 0, 2, 7, 6144, 2048);
    disk::entry(d, 0, 3, 7, 8192, 2048);
    disk::ntfs(d, 1 * MiB, 2047);
    disk::exfat(d, 2 * MiB, 2048);
    disk::put(d, 3 * MiB + 3, "-FVE-FS-");
    const char* const list =
        "\n"
        "volume offset [ 0x100000 ] : ntfs or exfat\n"
        "volume offset [ 0x200000 ] : ntfs or exfat\n"
        "volume offset [ 0x300000 ] : ntfs or exfat\n"
        "volume offset [ 0x400000 ] : ntfs or exfat\n"
        "\n";
    auto o = find(d, 0);
    EXPECT_FALSE(o.ok);
    EXPECT_TRUE(o.ntfs_found);
    EXPECT_EQ(o.offset, 1 * MiB);
    EXPECT_EQ(o.text, std::string(list) + "use option [-offset 0x100000]\n");

    // With no NTFS volume read at all, the last partition of an NTFS type
    // is still offered.
    disk::image e(3 * MiB);
    disk::entry(e, 0, 0, 7, 2048, 2048);
    disk::entry(e, 0, 1, 7, 4096, 2048);
    disk::exfat(e, 1 * MiB, 2048);
    o = find(e, 0);
    EXPECT_EQ(o.offset, 2 * MiB);
    EXPECT_TRUE(o.text.ends_with("use option [-offset 0x200000]\n")) << o.text;
}

TEST(FindVolume, NoNtfsNoPartitionsNoImage) {
    disk::image d(2 * MiB);
    disk::entry(d, 0, 0, 12, 2048, 2048);
    disk::fat32(d, 1 * MiB, 2048);
    auto o = find(d, 0);
    EXPECT_FALSE(o.ok || o.ntfs_found);
    EXPECT_EQ(o.text, "\nvolume offset [ 0x100000 ] : fat32\n\nprob detecting ntfs partition\n");

    EXPECT_EQ(find(disk::image(2 * MiB), 0).text, "couldn't find any partitions on disk\n");

    std::ostringstream msg;
    bool found = false;
    uint64_t off = 0;
    EXPECT_FALSE(open_image_and_find_volume(msg, u"/nonexistent/disk.dd", off, found, false));
    EXPECT_EQ(msg.str(), "invalid image: /nonexistent/disk.dd\n");
}

TEST(Mbr, ExtendedChainPlacesLogicalsAndSurvivesLoops) {
    // FAT16 primary at 63; extended at 2048 holding one logical partition
    // per extended boot record.
    disk::image d(4 * MiB);
    disk::entry(d, 0, 0, 6, 63, 1985);
    disk::entry(d, 0, 1, 5, 2048, 6144);
    disk::entry(d, 0, 2, 6, 6200, 100);  // after the extended entry: listed after the logicals
    disk::fat16(d, 63 * 512, 1985);
    const uint64_t ebr1 = 2048 * 512, ebr2 = 4096 * 512;
    disk::entry(d, ebr1, 0, 7, 63, 1985);
    disk::entry(d, ebr1, 1, 5, 2048, 4096);  // link: relative to the extended start
    disk::ntfs(d, ebr1 + 63 * 512, 1985);
    disk::entry(d, ebr2, 0, 6, 63, 1000);  // logical: relative to its own record
    disk::fat16(d, ebr2 + 63 * 512, 1000);

    auto list = scan(d);
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(list[0].fs_name, "fat16");
    EXPECT_EQ(type_name(list[1].type), "exten");
    EXPECT_EQ(list[2].start_lba, 2111u);
    EXPECT_EQ(list[2].fs_name, "ntfs");
    EXPECT_EQ(list[3].start_lba, 4159u);
    EXPECT_EQ(list[4].start_lba, 6200u);
    EXPECT_EQ(find(d, 0).offset, 2111u * 512);

    disk::entry(d, ebr2, 1, 5, 0, 4096);  // links back to the first record
    EXPECT_EQ(scan(d).size(), 5u);
}

TEST(Mbr, PrimaryEntriesAfterTheExtendedOneAreVolumes) {
    // The extended partition in the first slot, as some tools make it, and
    // an NTFS primary in the second: both volumes are offered and open.
    disk::image d(6 * MiB);
    disk::entry(d, 0, 0, 5, 2048, 4096);
    disk::entry(d, 0, 1, 7, 6144, 4096);
    disk::entry(d, 0, 2, 5, 8192, 2048);  // a second extended entry: not followed
    disk::entry(d, 2048 * 512, 0, 7, 2048, 2048);
    disk::ntfs(d, 2 * MiB, 2047);
    disk::ntfs(d, 3 * MiB, 2047);
    disk::entry(d, 8192 * 512, 0, 7, 1, 100);

    const auto list = scan(d);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(type_name(list[0].type), "exten");
    EXPECT_EQ(offset_of(list[1]), 2 * MiB);
    EXPECT_EQ(offset_of(list[2]), 3 * MiB);
    EXPECT_EQ(list[2].fs_name, "ntfs");
    EXPECT_TRUE(find(d, 2 * MiB).ok);
    EXPECT_TRUE(find(d, 3 * MiB).ok);
    EXPECT_EQ(find(d, 0).offset, 3 * MiB);
}

TEST(Mbr, LinuxExtendedChainsHoldLogicalVolumes) {
    // An extended partition of type 0x85, its chain linked by 0x85 entries
    // too: the NTFS logical partitions in it are offered and open.
    disk::image d(6 * MiB);
    disk::entry(d, 0, 0, 0x85, 2048, 8192);
    disk::entry(d, 2048 * 512, 0, 7, 2048, 2048);
    disk::entry(d, 2048 * 512, 1, 0x85, 4096, 4096);
    disk::entry(d, 6144 * 512, 0, 7, 2048, 2047);
    disk::ntfs(d, 2 * MiB, 2047);
    disk::ntfs(d, 4 * MiB, 2047);

    const auto list = scan(d);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(offset_of(list[1]), 2 * MiB);
    EXPECT_EQ(offset_of(list[2]), 4 * MiB);
    EXPECT_TRUE(find(d, 2 * MiB).ok);
    EXPECT_TRUE(find(d, 4 * MiB).ok);
    EXPECT_EQ(find(d, 0).offset, 4 * MiB);
}

TEST(Mbr, HybridTableOfADiskWhoseGptTablesAreGone) {
    // A protective entry beside an NTFS entry, as hybrid tables have them,
    // and no GPT header at either end: the NTFS entry is still a volume.
    disk::image d(4 * MiB);
    disk::entry(d, 0, 0, 0xEE, 1, 2047);
    disk::entry(d, 0, 1, 7, 2048, 4096);
    disk::ntfs(d, 1 * MiB, 4095);
    const auto list = scan(d);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(offset_of(list[0]), 1 * MiB);
    EXPECT_EQ(list[0].fs_name, "ntfs");
    EXPECT_TRUE(find(d, 1 * MiB).ok);
    // A protective entry alone still finds nothing.
    disk::image p(4 * MiB);
    disk::entry(p, 0, 0, 0xEE, 1, 8191);
    EXPECT_TRUE(scan(p).empty());
}

TEST(Mbr, HiddenNtfsPartitionsAreListed) {
    // Type 0x17 marks an NTFS partition hidden from the system, as a primary
    // and in the extended chain; both are volumes to be offered.
    disk::image d(4 * MiB);
    disk::entry(d, 0, 0, 0x17, 2048, 2048);
    disk::entry(d, 0, 1, 5, 4096, 4096);
    disk::ntfs(d, 1 * MiB, 2047);
    disk::entry(d, 4096 * 512, 0, 0x17, 2048, 2048);
    disk::ntfs(d, 3 * MiB, 2047);

    const auto list = scan(d);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(offset_of(list[0]), 1 * MiB);
    EXPECT_EQ(list[0].fs_name, "ntfs");
    EXPECT_EQ(offset_of(list[2]), 3 * MiB);
    EXPECT_EQ(list[2].fs_name, "ntfs");
    EXPECT_EQ(find(d, 0).offset, 3 * MiB);
    EXPECT_TRUE(find(d, 1 * MiB).ok);
    EXPECT_TRUE(find(d, 3 * MiB).ok);
    // A hidden entry whose file system is not recognised keeps its name.
    disk::image e(2 * MiB);
    disk::entry(e, 0, 0, 0x17, 2048, 2048);
    EXPECT_EQ(find(e, 0).text, "\nvolume offset [ 0x100000 ] : hidden ntfs\n\nuse option [-offset 0x100000]\n");
}

TEST(Mbr, NtfsAtSector63WithoutEntryIsGuessed) {
    disk::image d(4 * MiB);
    disk::entry(d, 0, 0, 5, 2048, 4096);
    disk::ntfs(d, 63 * 512, 1985);
    disk::entry(d, 2048 * 512, 0, 6, 63, 1000);
    disk::fat16(d, 2111 * 512, 1000);

    const auto list = scan(d);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].start_lba, 63u);
    EXPECT_EQ(list[0].sector_count, 2048u - 63);
    EXPECT_EQ(type_name(list[0].type), "ntfs or exfat [guess]");
    const auto o = find(d, 0);
    EXPECT_EQ(o.offset, 63u * 512);
    EXPECT_NE(o.text.find("volume offset [ 0x7e00 ] : ntfs or exfat [guess]\n"), std::string::npos);
}

TEST(Mbr, LenientScanFindsStrayExtendedRecord) {
    // The MBR is gone; an extended boot record survives at sector 128 and
    // names an NTFS partition 128 sectors after itself.
    disk::image d(2 * MiB);
    disk::put(d, 3, "XXXXXXXX");
    disk::entry(d, 128 * 512, 0, 7, 128, 1024);
    disk::ntfs(d, 256 * 512, 1024);

    EXPECT_TRUE(scan(d, false).empty());
    EXPECT_EQ(find(d, 0).text,
              "disk is corrupted, partition info questionable\n\n"
              "volume offset [ 0x20000 ] : ntfs or exfat\n\n"
              "use option [-offset 0x20000]\n");
    EXPECT_TRUE(find(d, 0x20000).ok);
}

TEST(Gpt, EntriesWith512And4096ByteSectors) {
    for (uint32_t b : {512u, 4096u}) {
        SCOPED_TRACE(b);
        disk::image d(6144ull * b);
        disk::gpt(d, b, {{2048, 4095, u"Basic data"}, {4096, 6143, u"linux"}, {7000, 6000, u"backwards"}});
        disk::ntfs(d, 2048ull * b, 2048, static_cast<uint16_t>(b));
        disk::ext(d, 4096ull * b, "root", "/");

        const auto list = scan(d);
        ASSERT_EQ(list.size(), 2u);  // the entry that ends before it starts is skipped
        EXPECT_EQ(list[0].sector_size, b);
        EXPECT_EQ(offset_of(list[0]), 2048ull * b);
        EXPECT_EQ(list[0].sector_count, 2048u);
        EXPECT_EQ(list[0].label, "Basic data");
        EXPECT_EQ(list[0].fs_name, "ntfs");
        EXPECT_EQ(list[0].attributes, 1u);
        EXPECT_EQ(list[1].label, "root");  // the ext volume name replaces the GPT name
        EXPECT_EQ(list[1].mount_path, "/");
        EXPECT_EQ(type_name(list[1].type), "linux");
        EXPECT_EQ(find(d, 0).offset, 2048ull * b);
        EXPECT_TRUE(find(d, 2048ull * b).ok);
    }

    // The signature at the end of a 2048-byte sector, with the header there.
    disk::image e(1 * MiB);
    disk::gpt(e, 2048, {{16, 31, u"x"}});
    le::put_u16(e, 510, 0);
    le::put_u16(e, 2046, 0xAA55);
    const auto list = scan(e);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].sector_size, 2048u);
    EXPECT_EQ(type_name(list[0].type), "gpt");  // no file system recognised
}

TEST(Gpt, AnEntryOverEveryAddressableSectorIsStillIdentified) {
    // From LBA 0 to the last sector a 64-bit byte offset can reach: 2^64
    // bytes, whose size must not wrap to nothing. (An NTFS boot sector in
    // sector 0 makes a bare volume of the disk, so the table is read alone.)
    disk::image d(1 * MiB);
    disk::gpt(d, 512, {{0, UINT64_MAX / 512, u"all"}});
    disk::ntfs(d, 0, 2048);
    SectorSource src;
    open_memory(src, d);
    PartitionList list;
    ASSERT_TRUE(scan_gpt(src, list));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].fs_name, "ntfs");
}

TEST(Gpt, HostileHeadersFailCleanly) {
    disk::image d(1 * MiB);
    disk::gpt(d, 512, {{34, 2047, u"a"}});
    ASSERT_EQ(scan(d).size(), 1u);
    const std::pair<uint64_t, uint64_t> patches[] = {
        {512 + 80, 0xFFFFFFFF},     // entry count
        {512 + 84, 0},              // entry size
        {512 + 84, 0x7FFFFFFF},     // entry size
        {512 + 72, UINT64_MAX / 2}, // table far past the disk
        {512 + 24, 7},              // not its own LBA 1
    };
    for (const auto& [at, value] : patches) {
        disk::image h = d;
        if (at == 512 + 72 || at == 512 + 24)
            le::put_u64(h, at, value);
        else
            le::put_u32(h, at, static_cast<uint32_t>(value));
        EXPECT_TRUE(scan(h).empty()) << at;
    }
}

TEST(Gpt, DamagedFirstSectorsAreReadThroughTheBackupTable) {
    // The project's GPT disks, as their partitioning tool wrote them: the
    // table at the start and its copy at the end, with its own header in the
    // last sector.
    int compared = 0;
    for (const char* name : {"gpt.img", "gpt4k.img"}) {
        SCOPED_TRACE(name);
        const std::string path = test_paths::fixture(name);
        if (path.empty()) continue;
        std::ifstream f(path, std::ios::binary);
        const disk::image d((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        const auto sound = scan(d);
        ASSERT_FALSE(sound.empty());
        const uint32_t b = sound[0].sector_size;
        ASSERT_EQ(std::string(reinterpret_cast<const char*>(d.data() + b), 8), "EFI PART");

        disk::image no_header = d, no_entries = d, neither = d, moved_entry = d;
        std::memset(no_header.data() + b, 0, 8);
        std::memset(no_entries.data() + 2 * b, 0, 16384);
        std::memset(neither.data() + b, 0, 8);
        std::memset(neither.data() + d.size() - b, 0, 8);
        // The first entry's start moved by a damaged byte: the entries no
        // longer match their sum, and the backup's are read instead.
        moved_entry[2 * b + 32] ^= 0x08;
        for (const disk::image* damaged : {&no_header, &no_entries, &moved_entry}) {
            const auto list = scan(*damaged);
            ASSERT_EQ(list.size(), sound.size());
            for (size_t i = 0; i < list.size(); ++i) {
                EXPECT_EQ(offset_of(list[i]), offset_of(sound[i]));
                EXPECT_EQ(list[i].sector_count, sound[i].sector_count);
                EXPECT_EQ(list[i].label, sound[i].label);
                EXPECT_EQ(list[i].fs_name, sound[i].fs_name);
            }
        }
        EXPECT_TRUE(scan(neither).empty());
        // With the backup's header damaged too, the entries at the start
        // are read as they are.
        disk::image both_damaged = moved_entry;
        both_damaged[d.size() - b + 16] ^= 1;
        const auto as_is = scan(both_damaged);
        ASSERT_EQ(as_is.size(), sound.size());
        EXPECT_NE(as_is[0].start_lba, sound[0].start_lba);
        ++compared;
    }
    if (compared == 0) GTEST_SKIP() << "fixtures missing";
}

TEST(SectorSize, FourKibMbrDisksAreReadWith4096ByteSectors) {
    // Signature at 510 as on every real disk; the boot sector is at sector
    // 256 of 4096 bytes, not of 512.
    disk::image d(4 * MiB);
    disk::entry(d, 0, 0, 7, 256, 512);
    disk::ntfs(d, 256 * 4096, 511, 4096);
    auto list = scan(d);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].sector_size, 4096u);
    EXPECT_EQ(offset_of(list[0]), 1 * MiB);
    EXPECT_TRUE(find(d, 1 * MiB).ok);

    // A disk that marks its 4096-byte sectors by the signature at 4094.
    disk::image e = d;
    le::put_u16(e, 510, 0);
    le::put_u16(e, 4094, 0xAA55);
    list = scan(e);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(offset_of(list[0]), 1 * MiB);

    // Nothing recognisable either way: the table is read with 512.
    disk::image f(4 * MiB);
    disk::entry(f, 0, 0, 131, 256, 512);
    list = scan(f);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].sector_size, 512u);

    // A physical drive states its own sector size. The POSIX platform opens
    // \\.\PhysicalDriveN as a file in BRELVIK_DEVICE_DIR, with 512-byte
    // sectors; the drive decides, not the boot sectors.
    std::string dir = "/tmp/brelvik-drive-XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    std::ofstream(dir + "/PhysicalDrive3", std::ios::binary)
        .write(reinterpret_cast<const char*>(d.data()), static_cast<std::streamsize>(d.size()));
    setenv("BRELVIK_DEVICE_DIR", dir.c_str(), 1);
    SectorSource src;
    ASSERT_TRUE(open_physical_drive(src, 3));
    ASSERT_EQ(scan_partitions(src, list, false), 1u);
    EXPECT_EQ(offset_of(list[0]), 256u * 512);
    close(src);

    std::stringstream captured;
    auto* old = std::cerr.rdbuf(captured.rdbuf());
    uint64_t off = 0;
    bool found = false;
    EXPECT_FALSE(open_drive_and_find_volume(7, off, found, false));
    std::cerr.rdbuf(old);
    EXPECT_EQ(captured.str(), "problems accessing physical disk #7, aborting \n");
    unsetenv("BRELVIK_DEVICE_DIR");
    std::remove((dir + "/PhysicalDrive3").c_str());
    rmdir(dir.c_str());
}

TEST(IdentifyFs, EachFileSystem) {
    auto identified = [](void (*make)(disk::image&), uint64_t count = 0) {
        disk::image b(2048);
        make(b);
        Partition p;
        p.sector_count = count;
        EXPECT_TRUE(identify_fs(p, b));
        return p;
    };
    EXPECT_EQ(identified([](disk::image& b) { disk::put(b, 3, "-FVE-FS-"); }).fs_name, "bitlocker container");

    Partition p = identified([](disk::image& b) { disk::exfat(b, 0, 4096); });
    EXPECT_EQ(p.fs_name, "exfat");
    EXPECT_EQ(p.cluster_sectors, 8u);
    EXPECT_EQ(p.sector_count, 4096u);
    EXPECT_NE(type_name(p.type).find("ntfs"), std::string::npos);  // exFAT shares type 7
    p = identified([](disk::image& b) { disk::exfat(b, 0, 1); b[108] = 200; });  // a shift too large
    EXPECT_EQ(p.fs_sector_size, 0u);

    p = identified([](disk::image& b) { disk::fat32(b, 0, 5000); }, 99);
    EXPECT_EQ(p.sector_count, 5000u);  // FAT32 states its own length
    EXPECT_EQ(p.volume_id, 0xBEEFu);
    p = identified([](disk::image& b) { disk::fat16(b, 0, 5000); }, 99);
    EXPECT_EQ(p.fs_name, "fat16");
    EXPECT_EQ(p.sector_count, 99u);  // the table's count stands
    EXPECT_EQ(identified([](disk::image& b) { disk::hfs(b, 0, "H+"); }).fs_name, "hfs+");
    EXPECT_EQ(identified([](disk::image& b) { disk::hfs(b, 0, "HX"); }).fs_name, "hfsx");

    // An empty boot area needs the bytes at 1024 to be told apart; fewer
    // than 512 bytes are never enough.
    disk::image b(2048);
    EXPECT_FALSE(identify_fs(p, b));
    disk::ext(b, 0, "", "");
    EXPECT_FALSE(identify_fs(p, std::span<const uint8_t>(b.data(), 1024)));
    disk::ntfs(b, 0, 10);
    EXPECT_FALSE(identify_fs(p, std::span<const uint8_t>(b.data(), 511)));
}

TEST(TypeName, TableAndGuesses) {
    EXPECT_EQ(type_name(0), "empty");
    EXPECT_EQ(type_name(141), "fat12");
    EXPECT_EQ(type_name(39), "hidden ntfs");
    EXPECT_EQ(type_name(142), "linux Logical Volume Mgr");
    EXPECT_EQ(type_name(238), "gpt");
    EXPECT_EQ(type_name(255), "unk");
    EXPECT_EQ(type_name(0x0107), "unk");  // without the guess bit the whole value counts
    EXPECT_EQ(type_name(0x8000 | 0x0183), "linux [guess]");
}

TEST(Robustness, DamagedTablesNeverReadOutsideTheirBuffers) {
    // Random bytes sprayed over the tables of each kind of disk: the scan
    // may find anything but must finish without faults (the sanitizer
    // build catches them).
    disk::image g(2 * MiB), v(1 * MiB);
    disk::gpt(g, 512, {{34, 2047, u"a"}});
    disk::ntfs(v, 0, 100);
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
    for (const auto& base : {three_primaries(), g, v}) {
        for (int round = 0; round < 300; ++round) {
            disk::image d = base;
            for (int k = 0; k < 24; ++k) d[(next() >> 8) % 2048] = static_cast<uint8_t>(next() >> 16);
            find(d, (next() >> 4) % 4 * MiB);
        }
    }
}
