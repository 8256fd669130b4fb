#include "storage/vhd_footer.hpp"

#include "storage/be.hpp"

#include <algorithm>

namespace {

constexpr uint32_t footer_checksum_at = 64;

}  // namespace

uint32_t vhd_checksum(std::span<const uint8_t> s, uint32_t checksum_at) {
    uint32_t sum = 0;
    for (size_t i = 0; i < s.size(); ++i)
        if (i < checksum_at || i >= uint64_t(checksum_at) + 4) sum += s[i];
    return ~sum;
}

bool parse_vhd_footer(std::span<const uint8_t> s, vhd_footer& out, std::string& why) {
    out = vhd_footer{};
    if (s.size() < vhd_short_footer_bytes || !le::has(s, 0, "conectix")) {
        why = "no VHD footer";
        return false;
    }
    // A 511-byte footer is the 512-byte one without its last reserved byte.
    std::array<uint8_t, vhd_footer_bytes> f{};
    std::copy_n(s.begin(), std::min<size_t>(s.size(), f.size()), f.begin());
    out.features = be::u32(f, 8);
    out.version = be::u32(f, 12);
    out.data_offset = be::u64(f, 16);
    out.timestamp = be::u32(f, 24);
    out.original_size = be::u64(f, 40);
    out.current_size = be::u64(f, 48);
    out.disk_type = be::u32(f, 60);
    out.checksum = be::u32(f, footer_checksum_at);
    std::copy_n(f.begin() + 68, out.unique_id.size(), out.unique_id.begin());
    if (vhd_checksum(f, footer_checksum_at) != out.checksum) {
        why = "VHD footer checksum wrong";
        return false;
    }
    if (out.disk_type != uint32_t(vhd_type::fixed) && out.disk_type != uint32_t(vhd_type::dynamic) &&
        out.disk_type != uint32_t(vhd_type::differencing)) {
        why = "VHD disk type " + std::to_string(out.disk_type) + " not known";
        return false;
    }
    if (out.current_size > max_vhd_disk_bytes) {
        why = "VHD disk size beyond 64 TiB";
        return false;
    }
    return true;
}
