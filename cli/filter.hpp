// The entry filter of -filter / -filter_path / -filter_sig and the time
// window of -cmd_start_time / -cmd_stop_time.
#pragma once

#include "cli/params.hpp"
#include "platform/platform.hpp"

#include <string_view>
#include <vector>

// Appends the elements of one -filter value: pieces split on "|", else on
// ",". A piece that is "*" yields one match-all element and ends the value.
void parse_filter_value(std::string_view value, std::vector<filter_element>& out);

// Reads one -filter_sig value, "<hex bytes>|<offset>" (or with ","): the
// bytes as pairs of hexadecimal digits (spaces and a leading "0x" allowed),
// the offset as a number. False when it gives no byte string.
bool parse_filter_sig(std::string_view value, filter_element& out);

enum class time_bound_result {
    set,         // the bound is valid
    unreadable,  // the date or time does not read: the bound is ignored
    malformed,   // empty date or no "/" or "-" in it: the parse fails
};

// Reads "<y/m/d> [h:m:s]" (or y-m-d). A missing time is 00:00:00 for a start
// and 23:59:59 for a stop.
time_bound_result parse_time_bound(std::string_view value, bool stop, time_bound& out);

// True when the entry at `full_path` passes the time window and the filter
// elements. `info` holds the entry's times; when its modification time is
// 0 it is filled from the live file. With a null `info` the window is not
// applied.
bool filter_accepts(const cmd_params& params, std::u16string_view full_path, platform::live_file_info* info);
// True when filter_accepts takes every entry with a path: no time window
// and no filter element but one that matches all.
bool filter_accepts_all(const cmd_params& params);
