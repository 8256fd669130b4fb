#include "storage/boot_sectors.hpp"

#include "storage/le.hpp"

#include <string>

namespace {

// Largest shift accepted for exFAT's bytes-per-sector and sectors-per-cluster
// fields: the format allows 2^12-byte sectors and 2^25-byte clusters, so
// anything at or past 32 is damage and would overflow a 32-bit field.
constexpr unsigned max_exfat_shift = 31;
// Largest ext block-size exponent: blocks are 1024 << n bytes and the format
// stops at 64 KiB (n = 6); larger values are damage.
constexpr uint32_t max_ext_block_shift = 6;

// Text of a fixed-size on-disk field up to its first NUL.
std::string fixed_text(le::bytes b, uint64_t off, uint64_t n) {
    const le::bytes f = le::sub(b, off, n);
    std::string s;
    for (uint8_t c : f) {
        if (c == 0) break;
        s.push_back(static_cast<char>(c));
    }
    return s;
}

// Sets the partition's length from a count of file-system sectors, but only
// when the partition table gave none (a bare volume). The count is turned
// into units of the partition's own sector size.
void set_count_if_unknown(Partition& p, uint64_t fs_count, uint32_t fs_sector) {
    if (p.sector_count != 0) return;
    if (fs_sector == 0 || p.sector_size == 0 || fs_sector == p.sector_size) {
        p.sector_count = fs_count;
        return;
    }
    if (fs_count > UINT64_MAX / fs_sector) return;
    p.sector_count = fs_count * fs_sector / p.sector_size;
}

// Keeps the guess mark of an entry the scan invented when the file system
// gives it its real type.
void set_type(Partition& p, uint16_t type) {
    p.type = static_cast<uint16_t>(type | (p.type & partition_guess_bit));
}

bool all_zero(le::bytes b, uint64_t off, uint64_t n) {
    const le::bytes f = le::sub(b, off, n);
    if (f.size() != n) return false;
    for (uint8_t c : f)
        if (c) return false;
    return true;
}

}  // namespace

bool looks_like_volume_boot_sector(std::span<const uint8_t> sector) {
    return le::has(sector, 3, "EXFA") || le::has(sector, 3, "MSDO") || le::has(sector, 3, "NTFS");
}

bool identify_fs(Partition& p, std::span<const uint8_t> b) {
    if (b.size() < 512) return false;

    const bool ntfs = le::has(b, 3, "NTFS    ");
    if (ntfs || le::has(b, 3, "-FVE-FS-")) {
        set_type(p, 7);
        p.fs_known = 1;
        p.fs_name = ntfs ? "ntfs" : "bitlocker container";
        p.cluster_sectors = le::u8(b, 13);
        p.fs_sector_size = le::u16(b, 11);
        p.volume_id = le::u32(b, 72);
        set_count_if_unknown(p, le::u64(b, 40), p.fs_sector_size);
        return true;
    }
    if (le::has(b, 3, "EXFAT   ")) {
        set_type(p, 7);
        p.fs_name = "exfat";
        const unsigned cluster_shift = le::u8(b, 109);
        const unsigned sector_shift = le::u8(b, 108);
        p.cluster_sectors = cluster_shift <= max_exfat_shift ? uint32_t(1) << cluster_shift : 0;
        p.fs_sector_size = sector_shift <= max_exfat_shift ? uint32_t(1) << sector_shift : 0;
        p.volume_id = le::u32(b, 100);
        p.fs_known = 1;
        set_count_if_unknown(p, le::u64(b, 72), p.fs_sector_size);
        return true;
    }
    if (all_zero(b, 3, 8)) {
        // An empty boot area: ext and HFS+ keep their headers at byte 1024.
        if (b.size() < 2048) return false;
        if (le::u16(b, 1080) == 0xEF53) {
            set_type(p, 131);
            p.fs_known = 1;
            p.fs_name = "ext";
            p.label = fixed_text(b, 1144, 16);
            p.mount_path = fixed_text(b, 1160, 64);
            return true;
        }
        if (le::has(b, 1024, "H+") || le::has(b, 1024, "HX")) {
            set_type(p, 175);
            p.fs_known = 1;
            p.fs_name = le::has(b, 1024, "H+") ? "hfs+" : "hfsx";
            return true;
        }
        return false;
    }
    if (le::has(b, 82, "FAT32") && le::has(b, 86, "2")) {
        set_type(p, 12);
        p.fs_known = 1;
        p.fs_name = "fat32";
        p.cluster_sectors = le::u8(b, 13);
        p.fs_sector_size = le::u16(b, 11);
        p.volume_id = le::u32(b, 67);
        p.attributes = le::u16(b, 40);
        // FAT32 states its own length; it replaces the table's.
        p.sector_count = 0;
        set_count_if_unknown(p, le::u32(b, 32), p.fs_sector_size);
        return true;
    }
    if (le::has(b, 54, "FAT16") && le::has(b, 58, "6")) {
        set_type(p, 4);
        p.fs_known = 1;
        p.fs_name = "fat16";
        p.cluster_sectors = le::u8(b, 13);
        p.fs_sector_size = le::u16(b, 11);
        p.volume_id = le::u32(b, 39);
        set_count_if_unknown(p, le::u32(b, 32), p.fs_sector_size);
        return true;
    }
    if (le::u16(b, 56) == 0xEF53) {
        // An ext superblock handed over directly (a bare ext volume).
        set_type(p, 131);
        p.fs_known = 1;
        p.fs_name = "ext2/3";
        p.fs_sector_size = 512;
        const uint32_t shift = le::u32(b, 24);
        p.cluster_sectors = shift <= max_ext_block_shift ? (uint32_t(1024) << shift) / 512 : 0;
        return true;
    }
    return false;
}
