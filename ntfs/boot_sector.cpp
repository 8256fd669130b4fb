#include "ntfs/boot_sector.hpp"

bool has_ntfs_oem_id(le::bytes boot) { return le::has(boot, 3, "NTFS    "); }

static bool power_of_two(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

bool parse_boot_sector(le::bytes boot, boot_sector_fields& out) {
    if (boot.size() < boot_sector_size || !has_ntfs_oem_id(boot)) return false;
    out.bytes_per_sector = le::u16(boot, 11);
    const uint8_t spc = le::u8(boot, 13);
    out.sectors_per_cluster = spc <= 0x80 ? spc : (spc >= 0xF4 ? (1u << (256 - spc)) : 0);
    out.total_sectors = le::u64(boot, 40);
    out.mft_lcn = le::u64(boot, 48);
    out.mft_mirror_lcn = le::u64(boot, 56);
    out.clusters_per_record = static_cast<int8_t>(le::u8(boot, 64));
    if (!power_of_two(out.bytes_per_sector) || out.bytes_per_sector < min_bytes_per_sector ||
        out.bytes_per_sector > max_bytes_per_sector)
        return false;
    if (!power_of_two(out.sectors_per_cluster)) return false;
    if (uint64_t(out.bytes_per_sector) * out.sectors_per_cluster > max_bytes_per_cluster) return false;
    return true;
}

uint32_t record_size_from_boot(int8_t c, uint32_t bytes_per_cluster) {
    if (c < 0) {
        const int shift = -int(c);
        return shift < 31 ? (1u << shift) : 0;
    }
    const uint64_t size = uint64_t(uint8_t(c)) * bytes_per_cluster;
    return size <= UINT32_MAX ? static_cast<uint32_t>(size) : 0;
}
