// Damaging copies of an image in memory: FILE records are edited as they
// read after fixups and protected again with their update sequence, so a
// test can change one field of one record and nothing else.
#pragma once

#include "ntfs/attribute_header.hpp"
#include "ntfs/file_record.hpp"
#include "ntfs/volume.hpp"

#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace image_patch {

inline std::vector<uint8_t> load(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// Edits record `entry` of `img` (a bare volume that `v` was opened from).
inline void record(std::vector<uint8_t>& img, const ntfs_volume& v, uint64_t entry,
                   const std::function<void(std::span<uint8_t>)>& edit) {
    uint32_t len = 0;
    const uint64_t off = entry_offset(v, entry, &len);
    const std::span<uint8_t> rec(img.data() + off, len);
    const uint16_t usa = le::u16(rec, file_header::usa_offset), count = le::u16(rec, file_header::usa_count);
    apply_fixups(rec, len, usa, count);
    edit(rec);
    for (uint32_t i = 1; i < count && i * fixup_stride <= len; ++i) {
        le::put_u16(rec, usa + 2 * i, le::u16(rec, i * fixup_stride - 2));
        le::put_u16(rec, i * fixup_stride - 2, le::u16(rec, usa));
    }
}

// Offset of the `nth` attribute of `type` in a record; 0 when there is none.
inline uint64_t find_attr(le::bytes rec, uint32_t type, int nth = 0) {
    for (uint64_t off = le::u16(rec, file_header::first_attribute); le::fits(rec, off, 8);) {
        const uint32_t t = le::u32(rec, off), len = le::u32(rec, off + attr_header::length);
        if (t == attr_end || len == 0) break;
        if (t == type && nth-- == 0) return off;
        off += len;
    }
    return 0;
}

// Offset in `rec` of the resident value of the attribute at `attr`.
inline uint64_t value_at(le::bytes rec, uint64_t attr) { return attr + le::u16(rec, attr + attr_header::value_offset); }

inline void put_utf16(std::span<uint8_t> b, uint64_t off, std::u16string_view s) {
    for (size_t i = 0; i < s.size(); ++i) le::put_u16(b, off + 2 * i, s[i]);
}

}  // namespace image_patch
