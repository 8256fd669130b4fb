// Row handling shared by the writers: the queueing of subdirectory rows,
// the directory prefix and directory line, the location of a row, the
// object-ID text and the long/short name times.
#include "output/writers.hpp"
#include "output/line_text.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ostream>

namespace {

bool ends_with_separator(std::string_view s) { return !s.empty() && (s.back() == '\\' || s.back() == '/'); }

bool ends_with_separator(std::u16string_view s) { return !s.empty() && (s.back() == u'\\' || s.back() == u'/'); }

// One day in 100 ns ticks.
constexpr uint64_t one_day = 864000000000ULL;

// The byte of `name` (the row's display name in UTF-8, escaped) where the
// ':' before its stream name stands, from the row's own record of it: the
// entry's name and the stream name may hold ':' themselves. npos for a row
// that does not record it, or whose escaping replaced that ':'.
size_t recorded_stream_colon(const row_location& loc, const std::string& name) {
    const size_t at = loc.stream_colon;
    return at < name.size() && name[at] == ':' ? at : std::string::npos;
}

}  // namespace

size_t stream_colon_offset(const listing_row& row) {
    if (row.stream_at >= row.display_name.size() || row.display_name[row.stream_at] != u':') return std::string::npos;
    // Counted on the UTF-16 prefix: the split falls on a ':', never inside
    // a surrogate pair, so the prefix converts to the name's first bytes.
    return uni::shown_utf8_size(std::u16string_view(row.display_name).substr(0, row.stream_at));
}

pending_headers& writer_headers() {
    static pending_headers headers;
    return headers;
}

void reset_writer_headers() { writer_headers() = pending_headers{}; }

std::string guid_text(const uint8_t (&id)[16]) {
    const uint32_t data1 = uint32_t(id[0]) | uint32_t(id[1]) << 8 | uint32_t(id[2]) << 16 | uint32_t(id[3]) << 24;
    const unsigned data2 = unsigned(id[4]) | unsigned(id[5]) << 8;
    const unsigned data3 = unsigned(id[6]) | unsigned(id[7]) << 8;
    char text[40];
    std::snprintf(text, sizeof text, "%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", static_cast<unsigned long>(data1),
                  data2, data3, id[8], id[9], id[10], id[11], id[12], id[13], id[14], id[15]);
    return text;
}

bool guid_present(const uint8_t (&id)[16]) {
    uint64_t a = 0, b = 0;
    std::memcpy(&a, id, 8);
    std::memcpy(&b, id + 8, 8);
    return (a | b) != 0;
}

void write_row_text(std::ostream& out, std::string_view text) {
    const auto n = static_cast<std::streamsize>(text.size());
    std::streambuf* buf = out.rdbuf();
    if (!buf || !out.good() || out.tie()) {
        out.write(text.data(), n);
        out.flush();
        return;
    }
    try {
        if (buf->sputn(text.data(), n) != n || buf->pubsync() == -1) out.setstate(std::ios::badbit);
    } catch (...) {
        out.setstate(std::ios::badbit);
    }
}

std::string directory_prefix(std::string_view dir_utf8) {
    std::string prefix(dir_utf8);
    if (!ends_with_separator(prefix)) prefix.push_back('\\');
    return prefix;
}

bool queue_subdirectory_row(const listing_row& row, const brelvik_opts& opts, uint64_t entry, listing_rows& queue) {
    if (!(row.record_flags & record_flag_directory) || row.entry == entry || opts.last_level != 0) return false;
    // A name whose record now holds another file has no folder to list.
    if (row.deleted == row_realloc) return false;
    listing_row copy = row;
    if (!ends_with_separator(copy.dir_path)) copy.dir_path.push_back(u'\\');
    copy.dir_path += row.display_name;
    queue.insert(std::move(copy));
    return true;
}

void update_dir_line(row_location& loc, const listing_row& row, const std::string& name) {
    if (!(row.record_flags & record_flag_directory)) return;
    if (row.entry == loc.entry) {
        loc.dir_line = loc.prefix;
    } else if (row.kind == row_kind_data_stream || row.kind == row_kind_index_stream) {
        // A subdirectory's stream row stands for the subdirectory itself:
        // its line is the subdirectory's path, without the stream name.
        size_t colon = recorded_stream_colon(loc, name);
        if (colon == std::string::npos) colon = name.find(':');
        loc.dir_line = loc.prefix + name.substr(0, colon) + '\\';
    } else {
        loc.dir_line = loc.prefix + name + '\\';
    }
}

std::string location_text(const row_location& loc, const listing_row& row, const std::string& name) {
    std::string text;
    append_location_text(text, loc, row, name);
    return text;
}

namespace {

template <class Out>
void append_location_to(Out& out, const row_location& loc, const listing_row& row, const std::string& name) {
    switch (row.kind) {
    case row_kind_file:
        out += loc.prefix;
        out += name;
        return;
    case row_kind_directory:
        out += loc.dir_line;
        return;
    case row_kind_index_stream:
    case row_kind_data_stream:
        if (row.entry == loc.entry) {
            size_t keep = loc.dir_line.size();
            while (keep > 0 && loc.dir_line[keep - 1] == '\\') --keep;
            out += std::string_view(loc.dir_line).substr(0, keep);
            size_t colon = recorded_stream_colon(loc, name);
            if (colon == std::string::npos) colon = name.rfind(':');
            if (colon == std::string::npos) out += name;
            else out += std::string_view(name).substr(colon);
            return;
        }
        if (name.empty()) {
            out += loc.dir_line;
            return;
        }
        out += loc.prefix;
        out += name;
        return;
    default:
        return;
    }
}

}  // namespace

void append_location_text(std::string& out, const row_location& loc, const listing_row& row, const std::string& name) {
    append_location_to(out, loc, row, name);
}

void append_location_text(line_text& out, const row_location& loc, const listing_row& row, const std::string& name) {
    append_location_to(out, loc, row, name);
}

std::string_view deleted_word(uint8_t deleted) {
    switch (deleted) {
    case row_deleted: return "true";
    case row_realloc: return "realloc";
    case row_virtual: return "virtual";
    default: return "";
    }
}

std::string_view deleted_suffix(uint8_t deleted) {
    switch (deleted) {
    case row_deleted: return " (deleted)";
    case row_realloc: return " (deleted-realloc)";
    default: return "";
    }
}

const row_name* long_name_of(const listing_row& row) {
    for (const row_name& n : row.names)
        if (!n.dos_only) return &n;
    return nullptr;
}

const row_name* short_name_of(const listing_row& row) {
    for (const row_name& n : row.names)
        if (n.dos_only) return &n;
    return nullptr;
}

bool time_discrepancy(const listing_row& row) {
    const row_name* name = long_name_of(row);
    if (!name) return false;
    if (!name->name_created || !name->name_mft_changed || !row.si_created || !row.si_mft_changed) return false;
    return row.si_created + one_day < name->name_created && row.si_mft_changed + one_day < name->name_mft_changed;
}

bool take_rows(std::ostream& note, listing_rows& queue, brelvik_opts& opts, listing_rows& rows) {
    queue.clear();
    rows.clear();
    rows.swap(opts.rows);
    if (!rows.empty()) return true;
    note << "no items in directory\n";
    note.flush();
    return false;
}

std::string escaped(std::string text, const name_escape& escape) {
    escape_in_place(text, escape);
    return text;
}

void escape_in_place(std::string& text, const name_escape& escape) {
    if (escape.with == 0) return;
    if (!escape.whole.empty()) {
        for (size_t at = text.find(escape.whole); at != std::string::npos; at = text.find(escape.whole, at)) {
            std::fill_n(text.begin() + static_cast<std::ptrdiff_t>(at), escape.whole.size(), escape.with);
            at += escape.whole.size();
        }
        return;
    }
    for (char& c : text)
        if (c == escape.find) c = escape.with;
}
