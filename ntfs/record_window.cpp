#include "ntfs/record_window.hpp"
#include "ntfs/boot_sector.hpp"
#include "ntfs/file_record.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// Reading ahead stays on while at least half of what it reads is used
// (on a tree of folders of 10 nearly all of it is; where folders hold a
// hundred records or more, next to none); off, it tries again now and then.
constexpr uint64_t lookahead_retry = 64;
constexpr uint64_t lookahead_memory = 64;  // in reads ahead, before the counts are halved

bool reads_ahead(record_window& w, uint64_t per_read) {
    if (w.ahead_read >= lookahead_memory * per_read) {
        w.ahead_read /= 2;
        w.ahead_served /= 2;
    }
    if (w.ahead_read < 4 * per_read || w.ahead_served * 2 >= w.ahead_read) return true;
    if (++w.short_without < lookahead_retry) return false;
    w.short_without = 0;
    return true;
}

// The stretch read ahead that holds the records [first, first + count), or null.
record_lookahead* held_ahead(record_window& w, uint64_t first, uint64_t count, uint32_t stride) {
    for (record_lookahead& a : w.ahead) {
        if (a.count == 0 || a.stride != stride || first < a.first || first - a.first > a.count ||
            count > a.count - (first - a.first))
            continue;
        a.last_use = ++w.clock;
        w.ahead_served += count;
        return &a;
    }
    return nullptr;
}

// Reads `count` records from entry `first` (at `position`) into the
// stretch read ahead used longest ago; null when they cannot all be read.
record_lookahead* read_ahead(ntfs_volume& v, record_window& w, uint64_t first, uint64_t position, uint64_t count,
                          uint32_t stride) {
    record_lookahead* pick = &w.ahead[0];
    for (record_lookahead& a : w.ahead)
        if (a.last_use < pick->last_use) pick = &a;
    record_lookahead& a = *pick;
    a.count = 0;
    if (!a.bytes) {
        try {
            a.bytes = std::make_unique_for_overwrite<uint8_t[]>(lookahead_bytes);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }
    if (count * stride > lookahead_bytes) return nullptr;
    try {
        a.state.assign(static_cast<size_t>(count), lookahead_record::as_read);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    if (!read_volume_stretch(v, position, a.bytes.get(), count * stride)) return nullptr;
    a.first = first;
    a.count = count;
    a.stride = stride;
    a.last_use = ++w.clock;
    w.ahead_read += count;
    return &a;
}

// Fills the window with the records from `entries[at]` on; false when the
// stretch could not be read whole. A record with no other wanted near it
// is a stretch of one: read alone it costs the read a chunk of the cache
// would, without the 15 KiB around it.
bool fill(ntfs_volume& v, record_window& w, std::span<const uint64_t> entries, size_t at) {
    w.count = 0;
    if (!reads_stretches(v)) return false;
    const uint64_t first = entries[at];
    uint32_t stride = 0;
    const uint64_t position = entry_offset(v, first, &stride);
    if (position == 0 || stride == 0 || stride > max_record_size) return false;
    const uint64_t in_place = std::min<uint64_t>(entries_back_to_back(v, first), max_window_records);
    // A record cut by the end of its run is left to the single read.
    if (in_place == 0) return false;
    uint64_t last = first;
    for (size_t i = at + 1; i < entries.size(); ++i) {
        const uint64_t e = entries[i];
        if (e <= last || e - last > uint64_t(max_window_gap) + 1 || e - first >= in_place) break;
        last = e;
    }
    const uint64_t count = last - first + 1;
    const uint64_t bytes = count * stride;
    // A short stretch is handed out from what was read ahead, or read ahead
    // itself with the records after it.
    const uint64_t per_read = lookahead_bytes / stride;
    record_lookahead* ahead = held_ahead(w, first, count, stride);
    if (!ahead && count * lookahead_short_share <= per_read && reads_ahead(w, per_read))
        ahead = read_ahead(v, w, first, position, std::min(in_place, per_read), stride);
    if (ahead) {
        w.from = ahead;
        w.from_index = first - ahead->first;
        w.data = ahead->bytes.get() + w.from_index * stride;
        w.first = first;
        w.count = count;
        w.stride = stride;
        return true;
    }
    if (w.capacity < bytes) {
        try {
            w.bytes = std::make_unique_for_overwrite<uint8_t[]>(bytes);
        } catch (const std::bad_alloc&) {
            w.capacity = 0;
            return false;
        }
        w.capacity = bytes;
    }
    if (!read_volume_stretch(v, position, w.bytes.get(), bytes)) {
        // A stretch cut short (the end of the image) is left to the reads
        // of single records, which say what a short record holds.
        return false;
    }
    w.from = nullptr;
    w.data = w.bytes.get();
    w.first = first;
    w.count = count;
    w.stride = stride;
    return true;
}

}  // namespace

record_window* children_window(ntfs_volume& v) {
    if (!v.children_window) {
        try {
            v.children_window = std::make_unique<record_window>();
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }
    v.children_window->count = 0;
    return v.children_window.get();
}

window_read window_record(ntfs_volume& v, record_window& w, std::span<const uint64_t> entries, size_t at,
                          std::span<const uint8_t>& record) {
    if (at >= entries.size()) return window_read::not_held;
    const uint64_t entry = entries[at];
    const bool held = w.count != 0 && entry >= w.first && entry - w.first < w.count;
    if (!held && !fill(v, w, entries, at)) return window_read::not_held;
    const uint64_t k = entry - w.first;
    const std::span<uint8_t> slot(w.data + k * w.stride, w.stride);
    if (w.from) {
        // Fixed up once, where it lies, for every window it serves.
        lookahead_record& s = w.from->state[static_cast<size_t>(w.from_index + k)];
        if (s == lookahead_record::as_read) s = fixup_plain(slot) ? lookahead_record::fixed : lookahead_record::unfixable;
        if (s == lookahead_record::unfixable) return window_read::unreadable;
    } else if (!fixup_plain(slot)) {
        return window_read::unreadable;
    }
    record = slot;
    return window_read::taken;
}
