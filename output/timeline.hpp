// What the two timeline layouts (-bodyfile, -csvl2t) share: the path a row
// is shown under, the $FILE_NAME names whose times they show, and times as
// whole Unix seconds.
#pragma once

#include "output/listing.hpp"
#include "output/writers.hpp"

#include <cstdint>
#include <string>
#include <vector>

// The four times of an attribute, in their on-disk order.
struct four_times {
    uint64_t created = 0;
    uint64_t modified = 0;
    uint64_t mft_changed = 0;
    uint64_t accessed = 0;
};
four_times standard_information_times(const listing_row& row);
four_times file_name_times(const row_name& n);

// Whole seconds since 1970-01-01 00:00:00 UTC; 0 for a time the listing
// cannot show (0, before 1970-01-01 00:00:01 UTC, after 3001).
int64_t timeline_seconds(uint64_t filetime);

// The row's full path as the other layouts print it, without the trailing
// backslash of a folder; a volume root keeps its own ("\", "C:\"). The
// listed entry's own streams, which the other layouts show after the
// directory line alone, are named by the entry's path, ':' and the stream
// name ("\d\a.txt:s" for a file listed by its path, "\:s" on the root).
// Written into `out` (emptied first), which the writers keep from row to
// row.
void timeline_path(const row_location& loc, const listing_row& row, const std::string& name, std::string& out);

// True for the row of an entry itself (a file or a folder), false for its
// stream rows and for a folder's unnamed data.
bool is_entry_row(const listing_row& row);

// The $FILE_NAME names of an entry row that the timelines show, in the
// row's order: those that are not DOS-only, or the entry's one name when it
// has no other. None for stream rows.
// Filled into `out` (emptied first).
void shown_names(const listing_row& row, std::vector<const row_name*>& out);

// The path of one of the row's names: the row's path (`row_path`) when the
// name is the one the row is listed under, else the written directory's
// prefix and that name (another hard link in the same folder), which is
// written into `room`. The result lies in `row_path` or in `room`.
std::string_view name_path(const row_location& loc, const listing_row& row, const std::string& row_path,
                           const row_name& n, std::string& room);
