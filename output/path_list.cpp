// The path list of -filepath_only: one full path per row, or the link
// target for a symbolic link, and never a header.
#include "output/writers.hpp"

#include "platform/unicode.hpp"

bool write_path_list(std::ostream& out, listing_rows& queue, brelvik_opts& opts, const std::u16string& path,
                     uint64_t entry) {
    taken_rows taken(opts);
    listing_rows& rows = taken.rows;
    if (!take_rows(out, queue, opts, rows)) return static_cast<bool>(out);

    std::string line;  // reused from row to row
    for_each_printed_row(rows, queue, opts, path, entry, {}, [&](const listing_row& row, const row_location& loc,
                                                                 const std::string& name) {
        // Index-stream rows take the same location as data-stream rows, so
        // that -indx never yields an empty line.
        line.clear();
        if (!row.link_target.empty()) line += uni::to_shown_utf8(row.link_target);
        else append_location_text(line, loc, row, name);
        line += deleted_suffix(row.deleted);
        line += '\n';
        write_row_text(out, line);
    });
    return static_cast<bool>(out);
}
