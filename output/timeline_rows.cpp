// Row handling shared by the body file and the log2timeline CSV.
#include "output/timeline.hpp"

#include "ntfs/attribute_header.hpp"
#include "output/datetime.hpp"
#include "platform/unicode.hpp"

#include <cstring>

four_times standard_information_times(const listing_row& row) {
    return {row.si_created, row.si_modified, row.si_mft_changed, row.si_accessed};
}

four_times file_name_times(const row_name& n) {
    return {n.name_created, n.name_modified, n.name_mft_changed, n.name_accessed};
}

int64_t timeline_seconds(uint64_t filetime) {
    // What to_calendar takes for valid, without the calendar fields.
    if (filetime == 0 || (filetime >> 63) != 0) return 0;
    const int64_t seconds =
        (static_cast<int64_t>(filetime) - static_cast<int64_t>(filetime_unix_epoch)) / int64_t(10000000);
    return seconds <= 0 || seconds > latest_unix_seconds ? 0 : seconds;
}

namespace {

// Where the ':' before the stream name stands in `name`, npos when the
// name is the stream name alone (an index stream of the root).
size_t stream_colon(const row_location& loc, const std::string& name) {
    if (loc.stream_colon < name.size() && name[loc.stream_colon] == ':') return loc.stream_colon;
    return name.rfind(':');
}

}  // namespace

void timeline_path(const row_location& loc, const listing_row& row, const std::string& name, std::string& path) {
    path.clear();
    const bool own_stream =
        (row.kind == row_kind_data_stream || row.kind == row_kind_index_stream) && row.entry == loc.entry;
    if (own_stream) {
        // The other layouts write the listed entry's own streams after the
        // directory line alone, which is empty for a file listed by its
        // path (or -mft) and bare for a volume root: a timeline line names
        // its stream by the entry's full path, ':' and the stream name.
        if (!(row.record_flags & record_flag_directory)) {
            path = loc.prefix;
            path += name;
            return;
        }
        path = loc.dir_line;
        while (!path.empty() && path.back() == '\\') path.pop_back();
        if (path.empty() || path.back() == ':') path += '\\';
        const size_t colon = stream_colon(loc, name);
        if (colon == std::string::npos) {
            path += ':';
            path += name;
        } else {
            path.append(name, colon, std::string::npos);
        }
        return;
    }
    append_location_text(path, loc, row, name);
    if (path.size() > 1 && path.back() == '\\' && path[path.size() - 2] != ':') path.pop_back();
}

bool is_entry_row(const listing_row& row) {
    return row.kind == row_kind_file || (row.kind == row_kind_directory && row.attr_type != attr_data);
}

void shown_names(const listing_row& row, std::vector<const row_name*>& names) {
    names.clear();
    if (!is_entry_row(row)) return;
    for (const row_name& n : row.names)
        if (!n.dos_only || row.names.size() == 1) names.push_back(&n);
}

std::string_view name_path(const row_location& loc, const listing_row& row, const std::string& row_path,
                           const row_name& n, std::string& room) {
    // A folder has one name in its parent; only a file's other hard links
    // in the same folder differ from the name the row shows.
    // Compared as bytes: the string's own comparison goes unit by unit.
    const bool same = n.name.size() == row.display_name.size() &&
                      std::memcmp(n.name.data(), row.display_name.data(), n.name.size() * sizeof(char16_t)) == 0;
    if (same || row.kind != row_kind_file) return row_path;
    room = loc.prefix + uni::to_shown_utf8(n.name);
    return room;
}
