// Small synthetic disks for the partition tests: MBR, extended boot
// records, GPT and the boot sectors of the file systems the scan knows.
#pragma once

#include "storage/le.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace disk {

using image = std::vector<uint8_t>;

inline void put(image& d, uint64_t at, const std::string& text) {
    if (at + text.size() <= d.size()) std::memcpy(d.data() + at, text.data(), text.size());
}

inline void sign(image& d, uint64_t record) { le::put_u16(d, record + 510, 0xAA55); }

// One 16-byte entry of the table in the MBR or EBR at byte `record`.
inline void entry(image& d, uint64_t record, int slot, uint8_t type, uint32_t start, uint32_t count) {
    const uint64_t at = record + 446 + 16 * uint64_t(slot);
    d[at + 4] = type;
    le::put_u32(d, at + 8, start);
    le::put_u32(d, at + 12, count);
    sign(d, record);
}

inline void ntfs(image& d, uint64_t at, uint64_t sectors, uint16_t bytes_per_sector = 512,
                 const char* oem = "NTFS    ") {
    put(d, at + 3, oem);
    le::put_u16(d, at + 11, bytes_per_sector);
    d[at + 13] = 8;
    le::put_u64(d, at + 40, sectors);
    le::put_u32(d, at + 72, 0x12345678);
    sign(d, at);
}

inline void exfat(image& d, uint64_t at, uint64_t sectors) {
    put(d, at + 3, "EXFAT   ");
    le::put_u64(d, at + 72, sectors);
    le::put_u32(d, at + 100, 0xCAFE);
    d[at + 108] = 9;
    d[at + 109] = 3;
    sign(d, at);
}

inline void fat32(image& d, uint64_t at, uint32_t sectors) {
    put(d, at + 3, "mkfs.fat");
    le::put_u16(d, at + 11, 512);
    d[at + 13] = 4;
    le::put_u32(d, at + 32, sectors);
    le::put_u32(d, at + 67, 0xBEEF);
    put(d, at + 82, "FAT32   ");
    sign(d, at);
}

inline void fat16(image& d, uint64_t at, uint32_t sectors) {
    put(d, at + 3, "mkfs.fat");
    le::put_u16(d, at + 11, 512);
    d[at + 13] = 2;
    le::put_u32(d, at + 32, sectors);
    le::put_u32(d, at + 39, 0xF00D);
    put(d, at + 54, "FAT16   ");
    sign(d, at);
}

// An ext superblock at byte 1024 of the volume at `at`.
inline void ext(image& d, uint64_t at, const std::string& label, const std::string& mounted) {
    le::put_u32(d, at + 1024 + 0, 2048);  // inodes
    le::put_u32(d, at + 1024 + 4, 8192);  // blocks
    le::put_u32(d, at + 1024 + 24, 2);    // 4096-byte blocks
    le::put_u16(d, at + 1080, 0xEF53);
    put(d, at + 1144, label);
    put(d, at + 1160, mounted);
}

inline void hfs(image& d, uint64_t at, const char* sig) { put(d, at + 1024, sig); }

struct gpt_part {
    uint64_t first, last;
    std::u16string name;
};

// A protective MBR, a GPT header at LBA 1 and the entries at LBA 2, all with
// sectors of `b` bytes. The protective MBR carries its signature at 510,
// as every real disk does.
inline void gpt(image& d, uint32_t b, const std::vector<gpt_part>& parts) {
    entry(d, 0, 0, 0xEE, 1, 0xFFFFFFFF);
    put(d, b, "EFI PART");
    le::put_u64(d, b + 24, 1);
    le::put_u64(d, b + 72, 2);
    le::put_u32(d, b + 80, 128);
    le::put_u32(d, b + 84, 128);
    for (size_t i = 0; i < parts.size(); ++i) {
        const uint64_t at = 2 * uint64_t(b) + 128 * i;
        for (int k = 0; k < 16; ++k) d[at + k] = uint8_t(0xA0 + i + k);
        for (int k = 0; k < 16; ++k) d[at + 16 + k] = uint8_t(0x10 + i + k);
        le::put_u64(d, at + 32, parts[i].first);
        le::put_u64(d, at + 40, parts[i].last);
        le::put_u64(d, at + 48, 0x8000000000000001ull);
        for (size_t k = 0; k < parts[i].name.size() && k < 36; ++k) le::put_u16(d, at + 56 + 2 * k, parts[i].name[k]);
    }
}

}  // namespace disk
