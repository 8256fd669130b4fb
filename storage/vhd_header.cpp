#include "storage/vhd_header.hpp"

#include "storage/be.hpp"
#include "storage/vhd_footer.hpp"

#include <algorithm>
#include <bit>

namespace {

constexpr uint32_t header_checksum_at = 36;
constexpr uint32_t parent_name_at = 64;
constexpr uint32_t parent_name_bytes = 512;
constexpr uint32_t locators_at = 576;
constexpr uint32_t locator_bytes = 24;

}  // namespace

bool parse_vhd_header(std::span<const uint8_t> s, vhd_dynamic_header& out, std::string& why) {
    out = vhd_dynamic_header{};
    if (s.size() < vhd_header_bytes || !le::has(s, 0, "cxsparse")) {
        why = "no VHD dynamic header";
        return false;
    }
    s = s.first(vhd_header_bytes);
    out.table_offset = be::u64(s, 16);
    out.max_entries = be::u32(s, 28);
    out.block_size = be::u32(s, 32);
    out.checksum = be::u32(s, header_checksum_at);
    std::copy_n(s.begin() + 40, out.parent_id.size(), out.parent_id.begin());
    out.parent_time = be::u32(s, 56);
    for (uint32_t i = 0; i < parent_name_bytes; i += 2) {
        const char16_t c = static_cast<char16_t>(be::u16(s, parent_name_at + i));
        if (c == 0) break;
        out.parent_name.push_back(c);
    }
    for (uint32_t i = 0; i < vhd_locator_count; ++i) {
        const uint64_t at = locators_at + uint64_t(i) * locator_bytes;
        vhd_locator& l = out.locators[i];
        l.code = be::u32(s, at);
        l.space = be::u32(s, at + 4);
        l.length = be::u32(s, at + 8);
        l.offset = be::u64(s, at + 16);
    }
    if (vhd_checksum(s, header_checksum_at) != out.checksum) {
        why = "VHD dynamic header checksum wrong";
        return false;
    }
    if (!std::has_single_bit(out.block_size) || out.block_size < min_vhd_block_bytes || out.block_size > max_vhd_block_bytes) {
        why = "VHD block size " + std::to_string(out.block_size) + " not accepted";
        return false;
    }
    return true;
}

uint32_t vhd_bitmap_bytes(uint32_t block_size) {
    const uint64_t bits = block_size / vhd_sector;
    const uint64_t bytes = (bits + 7) / 8;
    return static_cast<uint32_t>((bytes + vhd_sector - 1) / vhd_sector * vhd_sector);
}

bool vhd_sector_present(std::span<const uint8_t> bitmap, uint64_t sector) {
    const uint64_t byte = sector / 8;
    return byte < bitmap.size() && (bitmap[byte] & (0x80u >> (sector % 8))) != 0;
}

std::u16string vhd_locator_path(std::span<const uint8_t> data) {
    std::u16string p;
    for (uint64_t i = 0; i + 1 < data.size(); i += 2) {
        const char16_t c = static_cast<char16_t>(le::u16(data, i));
        if (c == 0) break;
        p.push_back(c);
    }
    return p;
}
