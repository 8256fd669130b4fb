#include "storage/vhdx_header.hpp"

#include "storage/crc32c.hpp"
#include "storage/le.hpp"

#include <vector>

namespace {

constexpr uint32_t checksum_at = 4;
constexpr uint32_t region_entries_at = 16;
constexpr uint32_t region_entry_bytes = 32;

// Checks that `s` holds `size` bytes starting with `signature` whose
// checksum is right; `s` is cut to `size`.
bool signed_and_summed(std::span<const uint8_t>& s, size_t size, std::string_view signature, std::string& why) {
    if (s.size() < size || !le::has(s, 0, signature)) {
        why = "signature missing";
        return false;
    }
    s = s.first(size);
    if (!vhdx_checksum_ok(s, checksum_at)) {
        why = "checksum wrong";
        return false;
    }
    return true;
}

}  // namespace

std::string vhdx_guid_text(const vhdx_guid& g) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
        s += digits[g[vhdx_guid_byte_order[i]] >> 4];
        s += digits[g[vhdx_guid_byte_order[i]] & 15];
    }
    return s;
}

vhdx_guid vhdx_guid_at(std::span<const uint8_t> s, uint64_t off) {
    vhdx_guid g{};
    if (le::fits(s, off, g.size()))
        for (size_t i = 0; i < g.size(); ++i) g[i] = s[off + i];
    return g;
}

bool vhdx_checksum_ok(std::span<const uint8_t> s, uint32_t at) {
    if (!le::fits(s, at, 4)) return false;
    std::vector<uint8_t> copy(s.begin(), s.end());
    le::put_u32(copy, at, 0);
    return crc32c(copy) == le::u32(s, at);
}

bool parse_vhdx_header(std::span<const uint8_t> s, vhdx_header& out, std::string& why) {
    out = vhdx_header{};
    if (!signed_and_summed(s, vhdx_header_bytes, "head", why)) return false;
    out.sequence = le::u64(s, 8);
    out.file_write = vhdx_guid_at(s, 16);
    out.data_write = vhdx_guid_at(s, 32);
    out.log = vhdx_guid_at(s, 48);
    out.log_version = le::u16(s, 64);
    out.version = le::u16(s, 66);
    out.log_length = le::u32(s, 68);
    out.log_offset = le::u64(s, 72);
    if (out.version != 1) {
        why = "version " + std::to_string(out.version) + " not known";
        return false;
    }
    return true;
}

int current_vhdx_header(const bool (&valid)[2], const vhdx_header (&h)[2]) {
    if (valid[0] && valid[1]) return h[1].sequence > h[0].sequence ? 1 : 0;
    if (valid[0]) return 0;
    if (valid[1]) return 1;
    return -1;
}

bool parse_vhdx_region_table(std::span<const uint8_t> s, vhdx_regions& out, std::string& why) {
    out = vhdx_regions{};
    if (!signed_and_summed(s, vhdx_region_table_bytes, "regi", why)) return false;
    const uint32_t count = le::u32(s, 8);
    if (count > max_vhdx_region_entries) {
        why = std::to_string(count) + " entries";
        return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t at = region_entries_at + uint64_t(i) * region_entry_bytes;
        const vhdx_guid type = vhdx_guid_at(s, at);
        vhdx_region r{le::u64(s, at + 16), le::u32(s, at + 24), true};
        const bool required = (le::u32(s, at + 28) & 1) != 0;
        vhdx_region* known = type == vhdx_bat_region ? &out.bat : type == vhdx_metadata_region ? &out.metadata : nullptr;
        if (!known) {
            if (required) {
                why = "required region " + vhdx_guid_text(type) + " not known";
                return false;
            }
            continue;
        }
        if (known->found) {
            why = "region " + vhdx_guid_text(type) + " listed twice";
            return false;
        }
        *known = r;
    }
    if (!out.bat.found || !out.metadata.found) {
        why = out.bat.found ? "no metadata region" : "no block allocation table region";
        return false;
    }
    return true;
}
