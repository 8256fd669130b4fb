#include "storage/vmdk_header.hpp"

#include "platform/unicode.hpp"
#include "storage/le.hpp"

#include <string_view>

vmdk_sparse_header read_sparse_header(std::span<const uint8_t> s) {
    vmdk_sparse_header h;
    h.magic = le::u32(s, 0);
    h.version = le::u32(s, 4);
    h.flags = le::u32(s, 8);
    h.capacity = le::u64(s, 12);
    h.grain_size = le::u64(s, 20);
    h.descriptor_offset = le::u64(s, 28);
    h.descriptor_size = le::u64(s, 36) & 0xFFFFFFFFu;
    h.num_gtes_per_gt = le::u32(s, 44);
    h.rgd_offset = le::u64(s, 48);
    h.gd_offset = le::u64(s, 56);
    h.overhead = le::u64(s, 64);
    h.compress_algorithm = le::u16(s, 77);
    return h;
}

uint64_t grain_directory_entries(const vmdk_sparse_header& h) {
    // Checked here too, not only by sparse_header_sane: a header straight
    // from the file could otherwise wrap the product to zero and divide by it.
    if (h.grain_size == 0 || h.grain_size > max_vmdk_grain_sectors || h.num_gtes_per_gt == 0 ||
        h.num_gtes_per_gt > max_vmdk_gtes_per_gt)
        return 0;
    const uint64_t per_table = h.grain_size * h.num_gtes_per_gt;  // both bounded: no overflow
    return h.capacity / per_table + (h.capacity % per_table != 0);
}

// True when `sectors` sectors at sector `at` lie inside the file.
static bool inside_file(uint64_t at, uint64_t sectors, uint64_t file_length) {
    const uint64_t max_sector = file_length / vmdk_sector;
    return at <= max_sector && sectors <= max_sector - at;
}

bool sparse_header_sane(const vmdk_sparse_header& h, uint64_t file_length) {
    if (h.magic != vmdk_magic) return false;
    if ((h.flags & vmdk_flag_compressed) || h.compress_algorithm != 0) return false;
    if (h.capacity == 0 || h.capacity > max_vmdk_capacity_sectors) return false;
    if (h.grain_size == 0 || h.grain_size > max_vmdk_grain_sectors) return false;
    if (h.num_gtes_per_gt == 0 || h.num_gtes_per_gt > max_vmdk_gtes_per_gt) return false;
    if (h.descriptor_offset == 0 || h.descriptor_size == 0 || h.descriptor_size > max_vmdk_descriptor_sectors)
        return false;
    if (!inside_file(h.descriptor_offset, h.descriptor_size, file_length)) return false;

    // The directory and every table it can name are stored in the file:
    // their total can be no larger than the file, nor than the memory limit.
    const uint64_t gd_entries = grain_directory_entries(h);
    const uint64_t gd_bytes = gd_entries * 4;
    if (h.gd_offset == 0 || h.gd_offset > file_length / vmdk_sector) return false;
    if (gd_bytes > file_length - h.gd_offset * vmdk_sector) return false;
    const uint64_t table_bytes = gd_entries * h.num_gtes_per_gt * 4;
    return table_bytes <= file_length && table_bytes <= max_vmdk_table_bytes;
}

// True when `line` (already lower-cased) begins with `key`; `value` is then
// the rest of the original line.
static bool take_key(std::string_view lower, std::string_view line, std::string_view key, std::string& value) {
    if (lower.substr(0, key.size()) != key) return false;
    value = std::string(line.substr(key.size()));
    return true;
}

void parse_descriptor(std::span<const uint8_t> text, vmdk_descriptor& d) {
    std::string_view all(reinterpret_cast<const char*>(text.data()), text.size());
    const size_t nul = all.find('\0');
    if (nul != std::string_view::npos) all = all.substr(0, nul);
    while (!all.empty()) {
        const size_t eol = all.find('\n');
        std::string_view line = all.substr(0, eol);
        all = eol == std::string_view::npos ? std::string_view() : all.substr(eol + 1);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        if (line.empty()) continue;
        d.lines.push_back(uni::to_utf16(line));
        const std::string lower = uni::ascii_lower(line);
        // "parentcid=" before "cid=", which it does not begin with anyway.
        if (take_key(lower, line, "parentcid=", d.parent_cid)) continue;
        if (take_key(lower, line, "cid=", d.cid)) continue;
        if (take_key(lower, line, "encoding=", d.encoding)) continue;
        take_key(lower, line, "parentfilenamehint=", d.parent_hint);
    }
}
