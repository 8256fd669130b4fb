#include "ntfs/file_record.hpp"

bool valid_file_header(le::bytes r) {
    const uint16_t usa = le::u16(r, file_header::usa_offset);
    const uint16_t count = le::u16(r, file_header::usa_count);
    const uint16_t first = le::u16(r, file_header::first_attribute);
    return le::has(r, 0, "FILE") && (usa == file_usa_offset || usa == file_usa_offset_old) &&
           count <= file_max_usa_count && first <= file_max_first_attribute &&
           (first == 0 || first >= usa + 2u * count) && le::fits(r, 0, file_header::size);
}

bool has_record_number(le::bytes r) { return le::u16(r, file_header::usa_offset) >= file_usa_offset; }

bool extends_entry(le::bytes r, uint64_t base) {
    return le::has(r, 0, "FILE") && le::u16(r, file_header::first_attribute) != 0 &&
           (le::u64(r, file_header::base_reference) & entry_number_mask) == base;
}

bool apply_fixups(std::span<uint8_t> buf, size_t bytes_read, uint32_t usa_offset, uint32_t usa_count) {
    if (usa_count <= 1) return true;
    if (!le::fits(buf, usa_offset, uint64_t(usa_count) * 2)) return false;
    if (bytes_read > buf.size()) bytes_read = buf.size();
    for (uint32_t i = 1; i < usa_count && uint64_t(i) * fixup_stride <= bytes_read; ++i) {
        const size_t tail = size_t(i) * fixup_stride - 2;
        buf[tail] = buf[usa_offset + 2 * i];
        buf[tail + 1] = buf[usa_offset + 2 * i + 1];
    }
    return true;
}

bool fixup_plain(std::span<uint8_t> buf) {
    if (valid_file_header(buf))
        return apply_fixups(buf, buf.size(), le::u16(buf, file_header::usa_offset), le::u16(buf, file_header::usa_count));
    if (le::has(buf, 0, "INDX")) return apply_fixups(buf, buf.size(), le::u16(buf, 4), le::u16(buf, 6));
    return false;
}

int fixup_checked(std::span<uint8_t> buf) {
    if (buf.size() < checked_min_bytes) return kind_none;
    int kind = kind_none;
    uint32_t offset = 0, count = 0;
    if (valid_file_header(buf)) {
        kind = kind_file;
        offset = le::u16(buf, file_header::usa_offset);
        count = le::u16(buf, file_header::usa_count);
    } else if (le::has(buf, 0, "INDX") || le::has(buf, 0, "BAAD")) {
        kind = le::has(buf, 0, "INDX") ? kind_indx : kind_baad;
        offset = le::u16(buf, 4);
        count = le::u16(buf, 6);
        if (kind == kind_baad && count > baad_max_usa_count) return kind_none;
    } else {
        return kind_none;
    }
    if (count > 1 && uint64_t(fixup_stride) * (count - 1) > buf.size()) return kind_none;
    return apply_fixups(buf, buf.size(), offset, count) ? kind : kind_none;
}

bool fixup_entry(std::span<uint8_t> buf, bool& bad) {
    bad = false;
    if (valid_file_header(buf) || le::has(buf, 0, "INDX"))
        return apply_fixups(buf, buf.size(), le::u16(buf, 4), le::u16(buf, 6));
    if (le::has(buf, 0, "BAAD")) {
        bad = true;
        return true;
    }
    return false;
}
