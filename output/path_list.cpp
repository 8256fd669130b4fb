// The path list of -filepath_only: one full path per row, or the link
// target for a symbolic link, and never a header.
#include "output/writers.hpp"

#include "platform/unicode.hpp"

bool write_path_list(std::ostream& out, listing_rows& queue, brelvik_opts& opts, const std::u16string& path,
                     uint64_t entry) {
    listing_rows rows;
    if (!take_rows(out, queue, opts, rows)) return static_cast<bool>(out);

    row_location loc;
    loc.prefix = directory_prefix(uni::to_utf8(path));
    loc.entry = entry;
    std::string line;  // reused from row to row
    for (const listing_row& row : rows) {
        if (queue_subdirectory_row(row, opts, entry, queue)) continue;
        const std::string name = uni::to_utf8(row.display_name);
        update_dir_line(loc, row, name);
        // Index-stream rows take the same location as data-stream rows, so
        // that -indx never yields an empty line.
        line.clear();
        if (!row.link_target.empty()) line += uni::to_utf8(row.link_target);
        else append_location_text(line, loc, row, name);
        line += deleted_suffix(row.deleted);
        line += '\n';
        out.write(line.data(), static_cast<std::streamsize>(line.size()));
        out.flush();
    }
    return static_cast<bool>(out);
}
