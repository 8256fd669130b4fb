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
#include <vector>

// At most this many records are read at once (128 KiB of 1 KiB records):
// most folders in one or two reads, into a buffer small enough to stay in
// the processor's cache while its records are parsed.
constexpr uint32_t max_window_records = 128;
// Up to this many records in a row that nobody asked for are read along
// between two that were: copying a few KiB costs less than another read.
constexpr uint32_t max_window_gap = 8;

// A short stretch (a lone folder, say) is read with the records after it,
// up to this many bytes, and those are kept and handed out where they
// lie, each fixed up the first time it is handed out: on trees of small
// folders a folder's record is followed by its children's, which are
// wanted as soon as the folder is listed, so one read serves the folders
// of a parent and all their children.
constexpr uint64_t lookahead_bytes = 128 * 1024;
// Stretches read ahead kept at once, the one used longest ago replaced.
constexpr size_t lookahead_stretches = 4;
// A stretch is short when it holds at most this share of a read ahead.
constexpr uint64_t lookahead_short_share = 4;

// What a record read ahead has been through: windows hand the records out
// in place, each fixed up the first time it is handed out, so that it may
// serve any number of windows.
enum class lookahead_record : uint8_t { as_read, fixed, unfixable };

// Records read ahead, as on disk until they are handed out.
struct record_lookahead {
    std::unique_ptr<uint8_t[]> bytes;  // lookahead_bytes long once made
    std::vector<lookahead_record> state;  // one per record held
    uint64_t first = 0;
    uint64_t count = 0;  // 0: holds nothing
    uint32_t stride = 0;
    uint64_t last_use = 0;
};

struct record_window {
    // Not cleared when it grows: every byte handed out was read first.
    std::unique_ptr<uint8_t[]> bytes;
    uint64_t capacity = 0;
    // Where the window's records are: in `bytes`, or in place in a stretch
    // read ahead (`from`, from its record `from_index` on).
    uint8_t* data = nullptr;
    record_lookahead* from = nullptr;
    uint64_t from_index = 0;
    uint64_t first = 0;   // the entry of the first record held
    uint64_t count = 0;   // records held
    uint32_t stride = 0;  // bytes a record

    record_lookahead ahead[lookahead_stretches];
    uint64_t clock = 0;
    // Whether reading ahead pays: the records it read and those of them
    // later copied into a window, both halved as they grow so that a
    // change in the tree's shape is followed; and the short stretches
    // read without it since it last tried.
    uint64_t ahead_read = 0;
    uint64_t ahead_served = 0;
    uint64_t short_without = 0;
};

// The volume's window for a directory's children, emptied: what it held
// was handed out for another directory, fixups applied. What was read
// ahead stays. Null when it
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
