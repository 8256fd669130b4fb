// Output rows of a directory listing and their ordered set.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// One $FILE_NAME of a listed entry whose parent is the listed directory.
struct row_name {
    uint64_t parent_ref = 0;
    uint64_t name_created = 0;
    uint64_t name_modified = 0;
    uint64_t name_mft_changed = 0;
    uint64_t name_accessed = 0;
    uint64_t name_alloc_size = 0;
    uint64_t name_data_size = 0;
    uint32_t name_attributes = 0;
    uint32_t name_reparse = 0;
    uint8_t name_length = 0;
    uint8_t name_space = 0;
    uint16_t first_char = 0;
    std::u16string name;
    uint8_t dos_only = 0;
    uint16_t attr_id = 0;
    uint64_t record_number = 0;
};

// Row kinds are bit values; writers compare for equality.
constexpr int32_t row_kind_file = 1;
constexpr int32_t row_kind_directory = 16;
constexpr int32_t row_kind_index_stream = 256;
constexpr int32_t row_kind_data_stream = 4096;

// Record-header flag bits carried on every row.
constexpr uint16_t record_flag_in_use = 0x0001;
constexpr uint16_t record_flag_directory = 0x0002;

struct listing_row {
    std::vector<row_name> names;
    std::u16string dir_path;
    int32_t kind = 0;
    uint8_t object_id[16] = {};
    uint64_t size = 0;
    std::u16string link_target;
    uint64_t entry = 0;
    uint16_t seq = 0;
    uint16_t record_flags = 0;
    uint64_t parent_entry = 0;
    std::u16string display_name;
    std::u16string sort_key;
    uint64_t si_created = 0;
    uint64_t si_modified = 0;
    uint64_t si_mft_changed = 0;
    uint64_t si_accessed = 0;
    uint32_t si_attributes = 0;
    // The attribute the row stands for: $DATA for files and streams,
    // $INDEX_ROOT for a folder, $INDEX_ALLOCATION for an index stream, and
    // $STANDARD_INFORMATION for a file without unnamed data. `attr_size` is
    // its content length: a stream's data size (not the allocated size that
    // `size` holds), the value length of a folder's $INDEX_ROOT, 0 for a
    // file without data.
    uint32_t attr_type = 0;
    uint16_t attr_id = 0;
    uint64_t attr_size = 0;
};

// a < b as unsigned 16-bit code units, a prefix first: the order of
// std::u16string's operator<. The keys of one directory share its path, so
// the equal leading units are skipped four at a time.
inline bool sort_key_less(std::u16string_view a, std::u16string_view b) {
    const size_t n = std::min(a.size(), b.size());
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        uint64_t x = 0, y = 0;
        std::memcpy(&x, a.data() + i, sizeof x);
        std::memcpy(&y, b.data() + i, sizeof y);
        if (x != y) break;
    }
    for (; i < n; ++i)
        if (a[i] != b[i]) return a[i] < b[i];
    return a.size() < b.size();
}

// Orders rows by sort key as unsigned 16-bit code units, a prefix first;
// std::multiset keeps equal keys in insertion order.
struct row_order {
    bool operator()(const listing_row& a, const listing_row& b) const { return sort_key_less(a.sort_key, b.sort_key); }
};
using listing_rows = std::multiset<listing_row, row_order>;
