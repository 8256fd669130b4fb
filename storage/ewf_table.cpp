#include "storage/ewf_table.hpp"

#include "storage/ewf_section.hpp"
#include "storage/le.hpp"

namespace {

constexpr uint32_t offset_mask = 0x7FFFFFFFu;
constexpr uint32_t compressed_flag = 0x80000000u;
// Header bytes covered by the header's checksum, which follows them.
constexpr uint32_t header_checked_bytes = 20;

}  // namespace

ewf_table_header read_ewf_table_header(std::span<const uint8_t> b) {
    ewf_table_header h;
    h.entries = le::u32(b, 0);
    h.base = le::u64(b, 8);
    h.checksum_ok = le::fits(b, 0, ewf_table_header_bytes) &&
                    ewf_adler32(b.first(header_checked_bytes)) == le::u32(b, header_checked_bytes);
    return h;
}

bool ewf_table_usable(const ewf_table_header& h, uint64_t section_length) {
    if (!h.checksum_ok || h.entries == 0 || h.entries > ewf_max_table_entries) return false;
    const uint64_t needed = uint64_t(ewf_descriptor_bytes) + ewf_table_header_bytes + uint64_t(h.entries) * ewf_table_entry_bytes;
    return needed <= section_length;
}

bool ewf_table_entries_ok(std::span<const uint8_t> b) {
    if (b.size() < 4) return false;
    const size_t n = b.size() - 4;
    return ewf_adler32(b.first(n)) == le::u32(b, n);
}

void decode_ewf_table(std::span<const uint8_t> raw, uint64_t base, uint64_t file_size, std::vector<uint64_t>& out) {
    const size_t count = raw.size() / ewf_table_entry_bytes;
    out.assign(count, ewf_nowhere);
    // A base beyond this cannot be inside a file anyway; the limit keeps
    // base + offset from overflowing.
    constexpr uint64_t max_base = uint64_t(1) << 62;
    if (base > max_base) return;
    bool overflowed = false;
    uint64_t previous = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t v = le::u32(raw, i * ewf_table_entry_bytes);
        uint64_t offset = v & offset_mask;
        bool compressed = (v & compressed_flag) != 0;
        if (!overflowed && compressed && i > 0 && offset < previous && v > previous && base + v < file_size)
            overflowed = true;
        if (overflowed) {
            offset = v;
            compressed = false;
        }
        previous = offset;
        out[i] = (base + offset) | (compressed ? ewf_compressed_bit : 0);
    }
}
