// Hand-built rows of a small directory for the writer tests, and option
// records set up through the real option parser.
#pragma once

#include "cli/options.hpp"
#include "output/listing.hpp"
#include "output/writers.hpp"
#include "platform/unicode.hpp"

#include <sstream>

namespace sample {

constexpr uint64_t second = 10000000ULL;
constexpr uint64_t day = 86400 * second;
constexpr uint64_t example = 133500000000000000ULL;  // 2024-01-17 21:20:00 UTC

// Directory "C:\docs" (entry 40) holding:
//   its own row (object ID 00 11 22 .. ff) and its data stream "notes",
//   "a,b.txt" (entry 41, 1024 bytes, long and 8.3 name) with stream "zone",
//   "café.txt" (entry 42), the symbolic link "link" (entry 43),
//   the subdirectory "sub" (entry 44) with its data stream "ads".
// Times on every row: created 21:20:00, modified :01, MFT changed :02,
// accessed :03 on 2024-01-17.
inline listing_row row(const std::u16string& dir, const std::u16string& shown, int32_t kind, uint64_t entry,
                       uint16_t seq, uint16_t flags, uint64_t size, const std::u16string& key) {
    listing_row r;
    r.dir_path = dir;
    r.display_name = shown;
    r.kind = kind;
    r.entry = entry;
    r.seq = seq;
    r.record_flags = flags;
    r.size = size;
    r.sort_key = uni::wide_lower(key);
    r.si_created = example;
    r.si_modified = example + second;
    r.si_mft_changed = example + 2 * second;
    r.si_accessed = example + 3 * second;
    r.si_attributes = flags & record_flag_directory ? 0x10 : 0x20;
    return r;
}

inline row_name name(const std::u16string& text, bool dos_only, uint64_t base) {
    row_name n;
    n.name = text;
    n.dos_only = dos_only ? 1 : 0;
    n.name_space = dos_only ? 2 : 1;
    n.name_created = base;
    n.name_modified = base + second;
    n.name_mft_changed = base + 2 * second;
    n.name_accessed = base + 3 * second;
    return n;
}

inline const std::u16string link_target = u"D:\\café & <x>|y,z";

inline listing_rows docs_rows() {
    const std::u16string d = u"C:\\docs";
    listing_rows rows;
    listing_row own = row(d, u"docs", row_kind_directory, 40, 2, 3, 0, d);
    for (int i = 0; i < 16; ++i) own.object_id[i] = static_cast<uint8_t>(i * 0x11);
    own.names.push_back(name(u"docs", false, example));
    rows.insert(own);
    rows.insert(row(d, u"docs:notes", row_kind_data_stream, 40, 2, 3, 12, d + u":notes"));

    // The long name is two days younger than $STANDARD_INFORMATION: a
    // time discrepancy.
    listing_row ab = row(d, u"a,b.txt", row_kind_file, 41, 1, 1, 1024, d + u"\\a,b.txt");
    ab.names.push_back(name(u"a,b.txt", false, example + 2 * day));
    ab.names.push_back(name(u"A_B~1.TXT", true, example + day));
    rows.insert(ab);
    listing_row zone = row(d, u"a,b.txt:zone", row_kind_data_stream, 41, 1, 1, 26, d + u"\\a,b.txt:zone");
    zone.names = ab.names;
    rows.insert(zone);

    listing_row cafe = row(d, u"café.txt", row_kind_file, 42, 3, 1, 5, d + u"\\café.txt");
    cafe.names.push_back(name(u"café.txt", false, example));
    rows.insert(cafe);

    listing_row link = row(d, u"link", row_kind_file, 43, 1, 1, 0, d + u"\\link");
    link.link_target = link_target;  // no names: the -alldates fields are left out
    rows.insert(link);

    rows.insert(row(d, u"sub", row_kind_directory, 44, 1, 3, 0, d + u"\\sub"));
    rows.insert(row(d, u"sub:ads", row_kind_data_stream, 44, 1, 3, 7, d + u"\\sub:ads"));
    return rows;
}

// The same directory with the index streams that -indx adds.
inline listing_rows docs_rows_with_indx() {
    const std::u16string d = u"C:\\docs";
    listing_rows rows = docs_rows();
    rows.insert(row(d, u"docs:$I30", row_kind_index_stream, 40, 2, 3, 4096, d + u":$I30"));
    rows.insert(row(d, u"sub:$I30", row_kind_index_stream, 44, 1, 3, 8192, d + u"\\sub:$I30"));
    return rows;
}

// Parses `args` with the common option parser; the header flags of the
// writers start pending.
inline bool configure(brelvik_opts& opts, std::vector<std::string> args) {
    args.insert(args.begin(), "brelvik");
    reset_writer_headers();
    opts.last_level = 1;
    return parse_common_options(opts, args);
}

// Runs one writer over `rows` for directory C:\docs (entry 40).
template <typename Writer>
std::string run(Writer writer, brelvik_opts& opts, listing_rows rows, listing_rows& queue,
                const std::u16string& path = u"C:\\docs", uint64_t entry = 40) {
    std::ostringstream out;
    opts.rows = std::move(rows);
    writer(out, queue, opts, path, entry);
    return out.str();
}

}  // namespace sample
