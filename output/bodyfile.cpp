// The body file of -bodyfile, the layout that mactime and the common
// timeline tools read: one line per row and one per shown $FILE_NAME,
//   MD5|name|inode|mode|UID|GID|size|atime|mtime|ctime|crtime
// with times as whole Unix seconds. There is no header.
#include "output/timeline.hpp"

#include "ntfs/attribute_header.hpp"
#include "output/line_text.hpp"
#include "output/number_text.hpp"

#include <cstring>
#include <iostream>

namespace {

// The value of a $FILE_NAME holds 66 bytes before its name.
constexpr uint64_t file_name_fixed = 66;

// One line: the inode field names the entry and the attribute (type and
// id) the line stands for. Its name field is the path, with
// " ($FILE_NAME)" on the line of a $FILE_NAME, then " (deleted)" (or
// " (deleted-realloc)") on the lines of a row -deleted found, as TSK's own
// body files write them. The line's fields are split at '|', so a '|' in a
// path is written as ';' (as the CSV layouts do with a '|' separator), and
// a line break in a name as a space.
struct body_line {
    std::string_view path;
    bool file_name_line = false;
    uint8_t deleted = 0;
    uint64_t entry = 0;
    uint32_t attr_type = 0;
    uint16_t attr_id = 0;
    bool folder = false;
    uint64_t size = 0;
    four_times times;
};

// The texts of the last times written: the times of a row, and of its
// names, mostly repeat two or three values. A new value takes the slot
// after the one filled last.
struct seconds_texts {
    static constexpr size_t slots = 4;
    static constexpr size_t text_room = 24;  // a sign and 19 digits fit
    uint64_t filetime[slots] = {};
    char text[slots][text_room] = {};
    uint8_t length[slots] = {};
    bool held[slots] = {};
    size_t next = 0;
};

// The whole Unix seconds of `filetime` at the end of `out`.
void append_seconds(line_text& out, uint64_t filetime, seconds_texts& memo) {
    size_t k = 0;
    while (k < seconds_texts::slots && !(memo.held[k] && memo.filetime[k] == filetime)) ++k;
    if (k == seconds_texts::slots) {
        k = memo.next;
        memo.next = (memo.next + 1) % seconds_texts::slots;
        const int64_t seconds = timeline_seconds(filetime);
        char* p = memo.text[k];
        if (seconds < 0) *p++ = '-';
        p = put_decimal(p, seconds < 0 ? 0 - static_cast<uint64_t>(seconds) : static_cast<uint64_t>(seconds));
        memo.length[k] = static_cast<uint8_t>(p - memo.text[k]);
        memo.filetime[k] = filetime;
        memo.held[k] = true;
    }
    char* at = out.room(seconds_texts::text_room);
    out.added(static_cast<size_t>(put_fixed<seconds_texts::text_room>(at, memo.text[k], memo.length[k]) - at));
}

void append_line(line_text& out, const body_line& b, seconds_texts& memo) {
    out += "0|";
    const size_t name_at = out.size();
    out += b.path;
    // Few paths hold any of the three: a search for each (done in blocks by
    // the library) spares the walk over every character.
    const auto holds = [&](char c) { return std::memchr(b.path.data(), c, b.path.size()) != nullptr; };
    if (holds('|') || holds('\n') || holds('\r')) {
        for (size_t i = name_at; i < out.size(); ++i) {
            char& c = out.data()[i];
            if (c == '|') c = ';';
            else if (c == '\n' || c == '\r') c = ' ';
        }
    }
    if (b.file_name_line) out += " ($FILE_NAME)";
    out += deleted_suffix(b.deleted);
    out += '|';
    append_decimal(out, b.entry);
    out += '-';
    append_decimal(out, b.attr_type);
    out += '-';
    append_decimal(out, b.attr_id);
    out += b.folder ? "|d/drwxrwxrwx|0|0|" : "|r/rrwxrwxrwx|0|0|";
    append_decimal(out, b.size);
    for (uint64_t t : {b.times.accessed, b.times.modified, b.times.mft_changed, b.times.created}) {
        out += '|';
        append_seconds(out, t, memo);
    }
    out += '\n';
}

}  // namespace

bool write_bodyfile(std::ostream& out, listing_rows& queue, brelvik_opts& opts, const std::u16string& path,
                    uint64_t entry) {
    taken_rows taken(opts);
    listing_rows& rows = taken.rows;
    if (!take_rows(std::cerr, queue, opts, rows)) return static_cast<bool>(out);
    opts.header_pending = 0;

    line_text lines;                     // reused from row to row
    seconds_texts memo;
    std::string row_path, other_path;
    std::vector<const row_name*> names;
    for_each_printed_row(rows, queue, opts, path, entry, {}, [&](const listing_row& row, const row_location& loc,
                                                                 const std::string& name) {
        lines.clear();
        body_line b;
        b.entry = row.entry;
        b.folder = row.kind == row_kind_directory;
        b.deleted = row.deleted;
        timeline_path(loc, row, name, row_path);
        b.path = row_path;
        b.attr_type = row.attr_type;
        b.attr_id = row.attr_id;
        b.size = row.attr_size;
        b.times = standard_information_times(row);
        append_line(lines, b, memo);
        shown_names(row, names);
        for (const row_name* n : names) {
            b.path = name_path(loc, row, row_path, *n, other_path);
            b.file_name_line = true;
            b.attr_type = attr_file_name;
            b.attr_id = n->attr_id;
            b.size = file_name_fixed + 2 * n->name.size();
            b.times = file_name_times(*n);
            append_line(lines, b, memo);
        }
        write_row_text(out, lines.view());
    });
    return static_cast<bool>(out);
}
