// The writers of a directory's rows: text table, path list, CSV and XML,
// and the pieces of row handling they share.
//
// Every writer is called once per listed directory with `path` and `entry`
// naming that directory. It empties `queue`, takes the rows out of
// `opts.rows` (leaving it empty), prints them in order and, while more
// levels follow (`opts.last_level` == 0), moves the rows of subdirectories
// into `queue` instead of printing them. The result is false only when the
// output stream has failed.
#pragma once

#include "cli/options.hpp"
#include "output/datetime.hpp"
#include "output/listing.hpp"
#include "platform/unicode.hpp"

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

bool write_text_table(std::ostream& out, listing_rows& queue, brelvik_opts& opts, const std::u16string& path,
                      uint64_t entry, bool show_objid);
bool write_path_list(std::ostream& out, listing_rows& queue, brelvik_opts& opts, const std::u16string& path,
                     uint64_t entry);
bool write_csv(std::ostream& out, listing_rows& queue, brelvik_opts& opts, const std::u16string& path,
               uint64_t entry);
bool write_xml(std::ostream& out, listing_rows& queue, brelvik_opts& opts, const std::u16string& path,
               uint64_t entry);
// The timeline layouts of -bodyfile and -csvl2t (bodyfile.cpp, csv_l2t.cpp).
bool write_bodyfile(std::ostream& out, listing_rows& queue, brelvik_opts& opts, const std::u16string& path,
                    uint64_t entry);
bool write_csv_l2t(std::ostream& out, listing_rows& queue, brelvik_opts& opts, const std::u16string& path,
                   uint64_t entry);

// The text of the directory and filename elements: '<', '>' and '&' as
// entities, line feed and carriage return kept, every other byte outside
// printable ASCII as '%' and two lower-case hex digits.
std::string xml_escape(std::string_view utf8);
void append_xml_escaped(std::string& out, std::string_view utf8);

// The XML declaration, an empty line and the opening logdata element with
// the image path, the starting path and the current UTC date and time.
void write_xml_head(std::ostream& out, const brelvik_opts& opts, const std::u16string& starting_path);
// The same with the moment to show given by the caller.
void write_xml_head(std::ostream& out, const brelvik_opts& opts, const std::u16string& starting_path,
                    const calendar_time& now);
void write_xml_tail(std::ostream& out);

// Marks the text-table and CSV headers as not yet printed, as at start.
void reset_writer_headers();

// The process-wide flags of the headers still to print; each header is
// printed once per run however many directories are listed.
struct pending_headers {
    bool text_table = true;
    bool csv = true;
    bool csv_l2t = true;
};
pending_headers& writer_headers();

// ---- shared by the writers ----

// The 16 bytes of an object ID read as a Windows GUID, lower-case, no braces.
std::string guid_text(const uint8_t (&id)[16]);
bool guid_present(const uint8_t (&id)[16]);

// Writes one row's text to `out` and flushes it, as out.write and
// out.flush do (a failure sets badbit), straight to the stream's buffer
// when the stream is good and nothing is tied to it: the two calls' checks
// would then change nothing and cost a good part of a short row.
void write_row_text(std::ostream& out, std::string_view text);

// The directory path in UTF-8 with '\' appended unless it already ends in
// '\' or '/'.
std::string directory_prefix(std::string_view dir_utf8);

// Starts a writer's walk: empties `queue` and moves the directory's rows
// into `rows`. With no rows it prints "no items in directory" to `note`
// and returns false.
bool take_rows(std::ostream& note, listing_rows& queue, brelvik_opts& opts, listing_rows& rows);

// The rows a writer takes for one directory (take_rows). When the writer is
// done they are dropped, and their room goes back to the option record,
// where the next directory's rows are gathered: no directory allocates the
// room for its rows anew.
struct taken_rows {
    explicit taken_rows(brelvik_opts& o) : opts(o) {}
    ~taken_rows() {
        rows.clear();
        if (opts.rows.empty()) opts.rows.swap(rows);
    }
    taken_rows(const taken_rows&) = delete;
    taken_rows& operator=(const taken_rows&) = delete;
    brelvik_opts& opts;
    listing_rows rows;
};

// Applies the queueing rule to one row: a row of a directory other than the
// written one goes into `queue`, its dir_path extended by its display name,
// while more levels follow. True when the row was queued (not to be
// printed).
bool queue_subdirectory_row(const listing_row& row, const brelvik_opts& opts, uint64_t entry, listing_rows& queue);

// A character replaced in paths and names so that it cannot be taken for a
// field separator; none when `with` is 0. With `whole` set (a separator
// other than '|' or ','), every occurrence of that text has each of its
// bytes replaced by `with` instead: the name keeps its length, and
// `with`, which `whole` does not hold, cannot make a new occurrence.
struct name_escape {
    char find = 0;
    char with = 0;
    std::string whole;
};
std::string escaped(std::string text, const name_escape& escape);
void escape_in_place(std::string& text, const name_escape& escape);

// The location state of one writer call: the directory prefix and the
// current directory line that directory rows set.
class line_text;

struct row_location {
    std::string prefix;
    std::string dir_line;
    uint64_t entry = 0;
    // The byte of the current row's name where the ':' before its stream
    // name stands (listing_row::stream_at counted in UTF-8), npos when the
    // row does not record one.
    size_t stream_colon = std::string::npos;
};

// The byte offset in the shown UTF-8 name of `row` where the ':' before
// its stream name stands, npos when the row records none.
size_t stream_colon_offset(const listing_row& row);

// Sets the current directory line from a row of a directory: the prefix for
// the written directory's own rows, prefix + name + '\' for a subdirectory
// printed at the last level. Rows of files leave it alone.
void update_dir_line(row_location& loc, const listing_row& row, const std::string& name);

// The walk every writer makes over a directory's rows, `path` and `entry`
// naming the directory: the rows of subdirectories go to `queue` while more
// levels follow, and every other row is handed in order to
// `visit(row, location, name)`, the name being the display name in UTF-8.
// `escape` applies to the directory path and the names.
template <class Visit>
void for_each_printed_row(const listing_rows& rows, listing_rows& queue, const brelvik_opts& opts,
                          const std::u16string& path, uint64_t entry, const name_escape& escape, Visit&& visit) {
    row_location loc;
    loc.prefix = directory_prefix(escaped(uni::to_shown_utf8(path), escape));
    loc.entry = entry;
    std::string name;  // reused from row to row, with room for most names at once
    name.reserve(256);
    for (const listing_row& row : rows) {
        if (queue_subdirectory_row(row, opts, entry, queue)) continue;
        uni::to_shown_utf8(row.display_name, name);
        loc.stream_colon = stream_colon_offset(row);
        escape_in_place(name, escape);
        update_dir_line(loc, row, name);
        visit(row, static_cast<const row_location&>(loc), name);
    }
}

// The full location printed for a row: prefix + name for a file, the
// directory line for a directory, and for stream rows either the directory
// line (trailing backslashes removed) + ':' + stream of the written entry's
// own streams, or prefix + name. Empty for any other kind.
std::string location_text(const row_location& loc, const listing_row& row, const std::string& name);
// The same appended to `out`.
void append_location_text(std::string& out, const row_location& loc, const listing_row& row, const std::string& name);
void append_location_text(line_text& out, const row_location& loc, const listing_row& row, const std::string& name);

// How -deleted marks a row in the CSV column and the XML element of their
// own: empty for a live row, "true" for a deleted one, "realloc" where the
// name's record now holds another file, "virtual" for the orphan folder.
std::string_view deleted_word(uint8_t deleted);
// What follows a deleted row's path where a path stands alone (the path
// list; the body file's name): " (deleted)", " (deleted-realloc)", or
// nothing.
std::string_view deleted_suffix(uint8_t deleted);

// The first long (non-DOS) name and the first DOS-only name of a row.
const row_name* long_name_of(const listing_row& row);
const row_name* short_name_of(const listing_row& row);

// True when both the creation and the MFT-change time of
// $STANDARD_INFORMATION are more than a day older than those of the long
// name (all four non-zero).
bool time_discrepancy(const listing_row& row);
