#include "ntfs/record_window.hpp"
#include "ntfs/boot_sector.hpp"
#include "ntfs/file_record.hpp"

#include <algorithm>
#include <new>

namespace {

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
    if (w.capacity < bytes) {
        try {
            w.bytes = std::make_unique_for_overwrite<uint8_t[]>(bytes);
        } catch (const std::bad_alloc&) {
            w.capacity = 0;
            return false;
        }
        w.capacity = bytes;
    }
    // A stretch cut short (the end of the image) is left to the reads of
    // single records, which say what a short record holds.
    if (!read_volume_stretch(v, position, w.bytes.get(), bytes)) return false;
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
    const std::span<uint8_t> slot(w.bytes.get() + (entry - w.first) * w.stride, w.stride);
    if (!fixup_plain(slot)) return window_read::unreadable;
    record = slot;
    return window_read::taken;
}
