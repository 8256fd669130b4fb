#include "storage/ewf_section.hpp"

#include "storage/adler32.hpp"
#include "storage/le.hpp"

#include <algorithm>
#include <string_view>

namespace {

constexpr std::string_view evf_signature{"EVF\x09\x0d\x0a\xff\x00", 8};
// Bytes of the descriptor its checksum covers, and where the checksum is.
constexpr uint32_t descriptor_checked_bytes = 72;
constexpr uint32_t type_bytes = 16;

struct type_name {
    std::string_view text;
    ewf_section_type type;
};

constexpr type_name known_types[] = {
    {"header", ewf_section_type::header},   {"header2", ewf_section_type::header2},
    {"volume", ewf_section_type::volume},   {"disk", ewf_section_type::disk},
    {"data", ewf_section_type::data},       {"sectors", ewf_section_type::sectors},
    {"table", ewf_section_type::table},     {"table2", ewf_section_type::table2},
    {"error2", ewf_section_type::error2},   {"next", ewf_section_type::next},
    {"done", ewf_section_type::done},
};

}  // namespace

ewf_file_header read_ewf_file_header(std::span<const uint8_t> b) {
    ewf_file_header h;
    h.segment = le::u16(b, 9);
    h.valid = le::has(b, 0, evf_signature) && le::u8(b, 8) == 1 && le::u16(b, 11) == 0 && h.segment != 0;
    return h;
}

ewf_section read_ewf_section(std::span<const uint8_t> b, uint64_t offset) {
    ewf_section s;
    s.offset = offset;
    if (!le::fits(b, 0, ewf_descriptor_bytes)) return s;
    const auto type_field = b.first(type_bytes);
    const auto nul = std::find(type_field.begin(), type_field.end(), uint8_t(0));
    s.name.assign(type_field.begin(), nul);
    for (const auto& t : known_types)
        if (s.name == t.text) s.type = t.type;
    s.next = le::u64(b, 16);
    s.size = le::u64(b, 24);
    s.checksum_ok = ewf_adler32(b.first(descriptor_checked_bytes)) == le::u32(b, descriptor_checked_bytes);
    return s;
}

uint64_t ewf_section_length(const ewf_section& s) {
    if (s.size >= ewf_descriptor_bytes) return s.size;
    if (s.next > s.offset && s.next - s.offset >= ewf_descriptor_bytes) return s.next - s.offset;
    return ewf_descriptor_bytes;
}

bool ends_segment(const ewf_section& s) {
    return s.type == ewf_section_type::next || s.type == ewf_section_type::done;
}

uint32_t ewf_adler32(std::span<const uint8_t> bytes) { return adler32_of(bytes); }

bool read_ewf_error2(std::span<const uint8_t> b, std::vector<ewf_read_error>& out) {
    out.clear();
    if (!le::fits(b, 0, ewf_error2_header_bytes)) return false;
    if (ewf_adler32(b.first(ewf_error2_header_bytes - 4)) != le::u32(b, ewf_error2_header_bytes - 4)) return false;
    const uint32_t count = le::u32(b, 0);
    if (count > ewf_max_error2_entries) return false;
    const uint64_t bytes = uint64_t(count) * ewf_error2_entry_bytes;
    if (!le::fits(b, ewf_error2_header_bytes, bytes + 4)) return false;
    const auto entries = b.subspan(ewf_error2_header_bytes, static_cast<size_t>(bytes));
    if (ewf_adler32(entries) != le::u32(b, ewf_error2_header_bytes + bytes)) return false;
    out.reserve(count);
    for (uint32_t i = 0; i < count; ++i)
        out.push_back({le::u32(entries, uint64_t(i) * ewf_error2_entry_bytes),
                       le::u32(entries, uint64_t(i) * ewf_error2_entry_bytes + 4)});
    return true;
}
