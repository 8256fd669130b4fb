// Output rows of a directory listing and their ordered set.
#pragma once

#include "platform/unicode.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
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

// Whether a row's entry is still there, on every row (`deleted`): live; a
// record no longer in use that still holds the entry; a name whose record
// now holds another file (the row shows the name's own $FILE_NAME copy);
// the virtual folder of the orphans.
constexpr uint8_t row_live = 0;
constexpr uint8_t row_deleted = 1;
constexpr uint8_t row_realloc = 2;
constexpr uint8_t row_virtual = 3;

// Record-header flag bits carried on every row.
constexpr uint16_t record_flag_in_use = 0x0001;
constexpr uint16_t record_flag_directory = 0x0002;

constexpr uint32_t no_stream_colon = ~uint32_t(0);

struct listing_row {
    // The entry's names in the listed folder; filled only for the layouts
    // that read them (the body file and -alldates), to save a copy a row.
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
    // On a stream row, where in `display_name` the ':' before the stream
    // name stands: the length of the entry's name, which may itself hold a
    // ':' (a POSIX name), as may the stream name. `no_stream_colon` on
    // other rows, and where the name is the stream name alone.
    uint32_t stream_at = no_stream_colon;
    // What the rows of one listing are ordered by: the lower-cased path
    // after the listed directory's own lower-cased path, which every row of
    // the listing shares and so leaves out ("" for the directory's own
    // rows, "\\name" and "\\name:stream" for its children's).
    std::u16string sort_key;
    // Set when the key is not held in `sort_key` but is '\\' and the
    // lower-cased display name, as for the main row of most children: it is
    // then read from the name as rows are compared, and no string is made.
    bool key_from_name = false;
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
    uint8_t deleted = row_live;  // row_live unless -deleted found the row
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

// One unit lower-cased as the sort keys are: ASCII at once, the rest by
// the table.
inline char16_t key_lower(char16_t c) {
    if (c < 0x80) return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
    return uni::wide_lower(c);
}

// `n` units lower-cased as key_lower does each, into `out`. Names are
// ASCII almost always: four ASCII units are lowered at once in a 64-bit
// word, a lane of 'A' to 'Z' gaining 0x20; any other four go unit by unit.
inline void lower_key_units(const char16_t* in, size_t n, char16_t* out) {
    constexpr uint64_t lanes = 0x0001000100010001ull;
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        uint64_t x = 0;
        std::memcpy(&x, in + i, sizeof x);
        if ((x & (0xFF80 * lanes)) == 0) {
            // Every lane is below 0x80, so adding 0x3F (or 0x25) sets its bit
            // 0x80 exactly when it is at least 'A' (or above 'Z'), with no
            // carry into the next lane.
            const uint64_t at_least_a = x + (0x80 - u'A') * lanes;
            const uint64_t above_z = x + (0x80 - u'Z' - 1) * lanes;
            x |= ((at_least_a & ~above_z) & (0x80 * lanes)) >> 2;
            std::memcpy(out + i, &x, sizeof x);
        } else {
            for (size_t k = i; k < i + 4; ++k) out[k] = key_lower(in[k]);
        }
    }
    for (; i < n; ++i) out[i] = key_lower(in[i]);
}

// The units of a row's sort key, held in `sort_key` or made from the
// display name (`key_from_name`).
class row_key {
public:
    explicit row_key(const listing_row& r)
        : text_(r.key_from_name ? r.display_name : r.sort_key), from_name_(r.key_from_name) {}
    size_t size() const { return from_name_ ? text_.size() + 1 : text_.size(); }
    char16_t operator[](size_t i) const {
        if (!from_name_) return text_[i];
        return i == 0 ? u'\\' : key_lower(text_[i - 1]);
    }
    bool held() const { return !from_name_; }
    std::u16string_view text() const { return text_; }

private:
    std::u16string_view text_;
    bool from_name_;
};

// a < b from unit `from` on (at most the length of either), as
// sort_key_less orders the held keys.
inline bool row_key_less(const row_key& a, const row_key& b, size_t from = 0) {
    if (a.held() && b.held()) return sort_key_less(a.text().substr(from), b.text().substr(from));
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = from; i < n; ++i) {
        const char16_t x = a[i], y = b[i];
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

// Orders rows by sort key as unsigned 16-bit code units, a prefix first.
struct row_order {
    bool operator()(const listing_row& a, const listing_row& b) const {
        return row_key_less(row_key(a), row_key(b));
    }
};

// A row's key after the part all keys of its batch share, with its first
// four units packed first unit highest (missing units as 0): where two
// heads differ, the keys differ the same way.
struct keyed_row {
    uint64_t head;
    std::u16string_view rest;
    size_t index;
};

// Batches of at most this many rows are sorted by insertion whatever their
// order: at most some hundreds of moves.
constexpr size_t insertion_sort_rows = 24;

// The room sorted_by_key works in, kept from batch to batch so that a
// directory's sort allocates nothing once the room is large enough.
struct row_sort_room {
    std::u16string rests;
    std::vector<keyed_row> order;
};

// The rows of `batch` moved into `sorted` (emptied first) in sort-key
// order, equal keys in their order in the batch (a stable sort by
// row_order); `batch` is left empty. The keys of one directory's rows share
// its path, so what all of them have in common is left out of the
// comparisons, and the first four units after it decide most of them in
// one step.
inline void sorted_by_key(std::vector<listing_row>& batch, std::vector<listing_row>& sorted, row_sort_room& room) {
    sorted.clear();
    if (batch.empty()) return;
    const row_key first(batch.front());
    size_t shared = first.size();
    for (const listing_row& r : batch) {
        const row_key k(r);
        const size_t n = std::min(shared, k.size());
        if (first.held() && k.held()) {
            // Almost every key holds the whole shared part: one block compare.
            const std::u16string_view a = first.text(), b = k.text();
            if (n == shared && std::memcmp(a.data(), b.data(), n * sizeof(char16_t)) == 0) continue;
            shared = static_cast<size_t>(std::mismatch(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(n), b.begin()).first -
                                         a.begin());
        } else {
            size_t i = 0;
            while (i < n && first[i] == k[i]) ++i;
            shared = i;
        }
    }
    // Rows mostly arrive in order already (an index holds its names in an
    // order close to this one): then the batch is the result as it is.
    bool in_order = true;
    for (size_t i = 1; i < batch.size() && in_order; ++i)
        in_order = !row_key_less(row_key(batch[i]), row_key(batch[i - 1]), shared);
    if (in_order) {
        sorted.swap(batch);
        return;
    }
    // The rest of every key after the shared part, in one buffer made once
    // (keys read from names lower-cased on the way in), so that the sort
    // compares plain units.
    size_t total = 0;
    for (const listing_row& r : batch) total += row_key(r).size() - shared;
    std::u16string& rests = room.rests;
    rests.assign(total, u'\0');
    char16_t* out = rests.data();
    for (const listing_row& r : batch) {
        const row_key k(r);
        const std::u16string_view text = k.text();
        if (k.held()) {
            out = std::copy(text.begin() + static_cast<std::ptrdiff_t>(shared), text.end(), out);
            continue;
        }
        // '\\', then the name lowered.
        size_t from = shared;
        if (from == 0) {
            *out++ = u'\\';
            from = 1;
        }
        lower_key_units(text.data() + (from - 1), text.size() - (from - 1), out);
        out += text.size() - (from - 1);
    }
    std::vector<keyed_row>& order = room.order;
    order.clear();
    order.reserve(batch.size());
    size_t at = 0;
    for (size_t i = 0; i < batch.size(); ++i) {
        const size_t n = row_key(batch[i]).size() - shared;
        const std::u16string_view rest = std::u16string_view(rests).substr(at, n);
        at += n;
        uint64_t head = 0;
        for (size_t k = 0; k < 4; ++k) head = head << 16 | (k < rest.size() ? rest[k] : 0);
        order.push_back({head, rest, i});
    }
    const auto less = [](const keyed_row& a, const keyed_row& b) {
        if (a.head != b.head) return a.head < b.head;
        return sort_key_less(a.rest, b.rest);
    };
    // Where few rows are out of place an insertion sort (stable) does it
    // in about one pass; past a budget of moves the rest goes to the merge
    // sort, which keeps the order of equal keys the insertion left. Rows
    // out of place at many points go to the merge sort at once, unless they
    // are few: the insertion sort then costs less than the merge sort's
    // buffer.
    size_t descents = 0;
    for (size_t i = 1; i < order.size(); ++i) descents += less(order[i], order[i - 1]) ? 1 : 0;
    const size_t n = order.size();
    const size_t budget = n <= insertion_sort_rows ? n * n : 4 * n + 16;
    size_t moves = descents <= n / 16 + 1 || n <= insertion_sort_rows ? 0 : budget + 1;
    for (size_t i = 1; i < order.size() && moves <= budget; ++i) {
        const keyed_row x = order[i];
        size_t j = i;
        for (; j > 0 && moves <= budget && less(x, order[j - 1]); --j, ++moves) order[j] = order[j - 1];
        order[j] = x;
    }
    if (moves > budget) std::stable_sort(order.begin(), order.end(), less);
    sorted.reserve(batch.size());
    for (const keyed_row& k : order) sorted.push_back(std::move(batch[k.index]));
    batch.clear();
}

// A directory's rows in sort-key order, a row placed after the rows of an
// equal key that came before it. Held in one vector: rows arrive in order
// almost always (a directory's rows are sorted as a batch, subdirectories
// are queued in the order they are printed), so a row goes at the end with
// no node of its own to allocate and free.
class listing_rows {
public:
    using value_type = listing_row;
    using iterator = std::vector<listing_row>::iterator;
    using const_iterator = std::vector<listing_row>::const_iterator;

    iterator begin() { return rows_.begin(); }
    iterator end() { return rows_.end(); }
    const_iterator begin() const { return rows_.begin(); }
    const_iterator end() const { return rows_.end(); }
    bool empty() const { return rows_.empty(); }
    size_t size() const { return rows_.size(); }
    void clear() { rows_.clear(); }
    void swap(listing_rows& other) noexcept { rows_.swap(other.rows_); }
    void reserve(size_t n) { rows_.reserve(n); }

    // Places `row` after every row whose key is not greater than its own.
    iterator insert(listing_row row) {
        if (rows_.empty() || !row_order()(row, rows_.back())) {
            rows_.push_back(std::move(row));
            return rows_.end() - 1;
        }
        const auto at = std::upper_bound(rows_.begin(), rows_.end(), row, row_order());
        return rows_.insert(at, std::move(row));
    }

    // Moves `sorted` (in order, equal keys in arrival order) in after the
    // rows held, each after the held rows of an equal key; empties it.
    void merge_sorted(std::vector<listing_row>& sorted) {
        if (rows_.empty()) {
            rows_.swap(sorted);
        } else if (sorted.empty() || !row_order()(sorted.front(), rows_.back())) {
            rows_.reserve(rows_.size() + sorted.size());
            for (listing_row& r : sorted) rows_.push_back(std::move(r));
        } else {
            std::vector<listing_row> merged;
            merged.reserve(rows_.size() + sorted.size());
            std::merge(std::make_move_iterator(rows_.begin()), std::make_move_iterator(rows_.end()),
                       std::make_move_iterator(sorted.begin()), std::make_move_iterator(sorted.end()),
                       std::back_inserter(merged), row_order());
            rows_.swap(merged);
        }
        sorted.clear();
    }

private:
    std::vector<listing_row> rows_;
};
