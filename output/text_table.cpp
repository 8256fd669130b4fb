// The fixed-width text table: last-modified time, entry and sequence
// numbers, size, a kind label and the full path of every row.
#include "output/writers.hpp"

#include "output/line_text.hpp"
#include "platform/unicode.hpp"

#include <algorithm>
#include <cstring>

namespace {

// Text right-adjusted in `width` columns; longer text is not cut.
std::string right(std::string_view text, size_t width) {
    std::string s;
    if (text.size() < width) s.assign(width - text.size(), ' ');
    s += text;
    return s;
}

// Text left-adjusted in `width` columns; longer text is not cut.
std::string left(std::string_view text, size_t width) {
    std::string s(text);
    if (s.size() < width) s.append(width - s.size(), ' ');
    return s;
}

void write_header(std::ostream& out, size_t time_width) {
    out << left("  last modified [UTC]  ", time_width) << right("MFT & seq num", 17) << right("  size ", 12)
        << right(" ", 7) << "  name" << '\n'
        << '\n';
}

// Pads `line` with spaces to `width` characters; a longer line stays.
void pad_to(line_text& line, size_t width) {
    if (line.size() >= width) return;
    const size_t n = width - line.size();
    std::memset(line.room(n), ' ', n);
    line.added(n);
}

// Appends `value` in decimal, right-adjusted in `width` columns; a longer
// number is not cut. Spaces and digits are written in place.
void append_right(line_text& line, uint64_t value, size_t width) {
    const size_t n = static_cast<size_t>(decimal_length(value));
    const size_t pad = n < width ? width - n : 0;
    char* p = line.room(pad + 20);
    std::memset(p, ' ', pad);
    put_decimal(p + pad, value);
    line.added(pad + n);
}

// The label before the name: the row's kind, a '*' in front of it on a
// deleted row (as the peer tools mark deleted names), "vdir" on the orphan
// folder.
std::string_view kind_label(const listing_row& row) {
    if (row.deleted == row_deleted || row.deleted == row_realloc) {
        switch (row.kind) {
        case row_kind_directory: return " *dir  ";
        case row_kind_index_stream: return "*indx  ";
        case row_kind_data_stream: return " *ads  ";
        default: return " *     ";
        }
    }
    if (row.deleted == row_virtual) return " vdir  ";
    switch (row.kind) {
    case row_kind_directory: return "  dir  ";
    case row_kind_index_stream: return " indx  ";
    case row_kind_data_stream: return "  ads  ";
    default: return "       ";
    }
}

}  // namespace

bool write_text_table(std::ostream& out, listing_rows& queue, brelvik_opts& opts, const std::u16string& path,
                      uint64_t entry, bool show_objid) {
    taken_rows taken(opts);
    listing_rows& rows = taken.rows;
    if (!take_rows(out, queue, opts, rows)) return static_cast<bool>(out);

    const size_t time_width = opts.date_format.size() + opts.time_format.size() + 1;
    if (writer_headers().text_table) {
        write_header(out, time_width);
        writer_headers().text_table = false;
    }

    line_text line;       // reused from row to row
    date_time_memo memo;  // the last time formatted
    for_each_printed_row(rows, queue, opts, path, entry, {}, [&](const listing_row& row, const row_location& loc,
                                                                 const std::string& name) {
        const date_time_chars& modified = format_date_time(row.si_modified, opts.format_word, memo);
        line.clear();
        line += modified.date_text();
        line += ' ';
        line += modified.time_text();
        pad_to(line, time_width);
        append_right(line, row.entry, 12);
        line += ' ';
        append_right(line, row.seq, 4);
        line += ' ';
        if (row.kind == row_kind_directory) {
            line += "             ";
        } else {
            append_right(line, row.size, 12);
            line += ' ';
        }
        line += kind_label(row);
        append_location_text(line, loc, row, name);
        if (row.deleted == row_realloc) line += " (realloc)";
        if (!row.link_target.empty()) line += " -> " + uni::to_shown_utf8(row.link_target);
        if (show_objid && guid_present(row.object_id)) line += "  [objid " + guid_text(row.object_id) + "]";
        line += '\n';
        write_row_text(out, line.view());
    });
    return static_cast<bool>(out);
}
