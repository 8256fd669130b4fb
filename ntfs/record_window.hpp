// The records of a directory's children read a stretch at a time. The
// children are read in entry order and most of them lie next to each
// other in the MFT: one read of the stretch replaces a read (and a copy
// out of the cache) for each record, brings in only the records wanted
// and the few between them, and leaves the records where they were read
// so that they are parsed in place.
#pragma once

#include "ntfs/volume.hpp"

#include <cstdint>
#include <memory>
#include <span>

// At most this many records are read at once (128 KiB of 1 KiB records):
// most folders in one or two reads, into a buffer small enough to stay in
// the processor's cache while its records are parsed.
constexpr uint32_t max_window_records = 128;
// Up to this many records in a row that nobody asked for are read along
// between two that were: copying a few KiB costs less than another read.
constexpr uint32_t max_window_gap = 8;

struct record_window {
    // Not cleared when it grows: every byte handed out was read first.
    std::unique_ptr<uint8_t[]> bytes;
    uint64_t capacity = 0;
    uint64_t first = 0;   // the entry of the first record held
    uint64_t count = 0;   // records held
    uint32_t stride = 0;  // bytes a record
};

// The volume's window for a directory's children, emptied: what it held
// was handed out for another directory, fixups applied. Null when it
// cannot be made (the records are then read one by one).
record_window* children_window(ntfs_volume& v);

// What the window gives for an entry.
enum class window_read {
    taken,       // `record` is the entry's record, fixups applied
    unreadable,  // read, but its fixups fail: as a failed read_file_record
    not_held,    // not read through a window: read the record as usual
};

// The record of `entries[at]`. `entries` are the entries still to be read,
// ascending; the window is filled, when it does not hold the one asked
// for, with the stretch from it up to the last of the next ones that fits.
// Only image files and memory are read so: devices and containers keep
// their reads (and their handling of unreadable pieces) as they are. A
// record is handed out once: its fixups are applied in the window.
window_read window_record(ntfs_volume& v, record_window& w, std::span<const uint64_t> entries, size_t at,
                          std::span<const uint8_t>& record);
