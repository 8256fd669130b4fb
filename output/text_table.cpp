// The fixed-width text table: last-modified time, entry and sequence
// numbers, size, a kind label and the full path of every row.
#include "output/writers.hpp"

#include "platform/unicode.hpp"

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

std::string size_column(const listing_row& row) {
    if (row.kind == row_kind_directory) return std::string(13, ' ');
    return right(std::to_string(row.size), 12) + ' ';
}

std::string kind_label(int32_t kind) {
    switch (kind) {
    case row_kind_directory: return "  dir  ";
    case row_kind_index_stream: return " indx  ";
    case row_kind_data_stream: return "  ads  ";
    default: return std::string(7, ' ');
    }
}

}  // namespace

bool write_text_table(std::ostream& out, listing_rows& queue, brelvik_opts& opts, const std::u16string& path,
                      uint64_t entry, bool show_objid) {
    listing_rows rows;
    if (!take_rows(out, queue, opts, rows)) return static_cast<bool>(out);

    const size_t time_width = opts.date_format.size() + opts.time_format.size() + 1;
    if (writer_headers().text_table) {
        write_header(out, time_width);
        writer_headers().text_table = false;
    }

    row_location loc;
    loc.prefix = directory_prefix(uni::to_utf8(path));
    loc.entry = entry;
    for (const listing_row& row : rows) {
        if (queue_subdirectory_row(row, opts, entry, queue)) continue;
        const std::string name = uni::to_utf8(row.display_name);
        update_dir_line(loc, row, name);

        const date_time_text modified = format_date_time(to_calendar(row.si_modified), opts.format_word);
        std::string line = left(modified.date + ' ' + modified.time, time_width);
        line += right(std::to_string(row.entry), 12) + ' ';
        line += right(std::to_string(row.seq), 4) + ' ';
        line += size_column(row);
        line += kind_label(row.kind);
        line += location_text(loc, row, name);
        if (!row.link_target.empty()) line += " -> " + uni::to_utf8(row.link_target);
        if (show_objid && guid_present(row.object_id)) line += "  [objid " + guid_text(row.object_id) + "]";
        out << line << '\n';
        out.flush();
    }
    return static_cast<bool>(out);
}
