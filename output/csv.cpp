// The CSV layout: one header line per run and one delimited line per row.
// No field is quoted; the configured field escape replaces the separator's
// character inside paths, names and link targets instead.
#include "output/writers.hpp"

#include "output/line_text.hpp"
#include "output/number_text.hpp"

#include "platform/unicode.hpp"

#include <iterator>
#include <vector>

namespace {

// The settings of one call, read from the option record.
struct csv_layout {
    std::string sep;
    std::string ws;
    bool paired = false;
    bool split = false;
    bool all_dates = false;
    bool objid = false;
    bool deleted = false;
    bool hex = true;
    name_escape escape;
    uint32_t format_word = 0;
    mutable date_time_memo memo;  // the last time formatted: a row's times are often equal
};

csv_layout layout_of(const brelvik_opts& opts) {
    csv_layout l;
    l.sep = opts.separator;
    l.ws = opts.pad_fields ? " " : "";
    l.paired = opts.pair_datetime != 0;
    l.split = opts.split_pathfile != 0;
    l.all_dates = opts.all_dates != 0;
    l.objid = opts.show_objid != 0;
    l.deleted = opts.show_deleted != 0;
    l.hex = opts.base16 != 0;
    l.escape = {opts.field_escape[0], opts.field_escape[1], {}};
    // A separator the option rules give no escape of its own (a ';', a
    // tab, a quote, a character of several bytes, a longer text) is
    // replaced wholly inside names, paths and link targets, as '|' and ','
    // are, so that no value holds it and shifts the later columns. Its
    // stand-in is the first of these characters that it does not hold.
    if (l.escape.with == 0 && !l.sep.empty()) {
        for (const char c : std::string_view(" _.-~#")) {
            if (l.sep.find(c) != std::string::npos) continue;
            l.escape = {0, c, l.sep};
            break;
        }
    }
    l.format_word = opts.format_word;
    return l;
}

void write_header(std::ostream& out, const csv_layout& l) {
    std::vector<const char*> names = {"type"};
    if (l.split) {
        names.push_back("filename");
        names.push_back("path");
    } else {
        names.push_back("filename");
    }
    for (const char* n : {"symbolic link", "size", "attributes", "MFT entry", "sequence #", "flags"}) names.push_back(n);
    static const char* const si_paired[] = {"cdate (stdinfo)", "mdate (stdinfo)", "MFT date (stdinfo)", "adate (stdinfo)"};
    static const char* const si_split[] = {"cdate (stdinfo)", "ctime (stdinfo)", "mdate (stdinfo)",
                                           "mtime (stdinfo)", "MFT date (stdinfo)", "MFT time (stdinfo)",
                                           "adate (stdinfo)", "atime (stdinfo)"};
    static const char* const fn_paired[] = {"cdate (fn)", "mdate (fn)", "MFT date (fn)", "adate (fn)",
                                            "cdate (short fn)", "mdate (short fn)", "MFT date (short fn)",
                                            "adate (short fn)"};
    static const char* const fn_split[] = {
        "cdate (fn)",       "ctime (fn)",       "mdate (fn)",          "mtime (fn)",
        "MFT date (fn)",    "MFT time (fn)",    "adate (fn)",          "atime (fn)",
        "cdate (short fn)", "ctime (short fn)", "mdate (short fn)",    "mtime (short fn)",
        "MFT date (short fn)", "MFT time (short fn)", "adate (short fn)", "atime (short fn)"};
    if (l.paired) names.insert(names.end(), std::begin(si_paired), std::end(si_paired));
    else names.insert(names.end(), std::begin(si_split), std::end(si_split));
    if (l.all_dates) {
        if (l.paired) names.insert(names.end(), std::begin(fn_paired), std::end(fn_paired));
        else names.insert(names.end(), std::begin(fn_split), std::end(fn_split));
    }
    names.push_back("time discrepancy");
    if (l.objid) names.push_back("object ID");
    if (l.deleted) names.push_back("deleted");

    std::string line;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i) line += l.sep;
        line += names[i];
    }
    out << line << '\n';
}

const char* type_word(int32_t kind) {
    switch (kind) {
    case row_kind_file: return "file";
    case row_kind_directory: return "dir";
    case row_kind_index_stream: return "indx";
    case row_kind_data_stream: return "ads";
    default: return "-";
    }
}

// The location as one field, or as file and path fields.
void append_location_fields(line_text& line, std::string_view text, const csv_layout& l) {
    if (!l.split) {
        line += text;
    } else if (!text.empty() && text.back() == '\\') {
        line += '.';
        line += l.sep;
        line += text.substr(0, text.size() - 1);
    } else if (const size_t slash = text.rfind('\\'); slash == std::string_view::npos) {
        line += text;
        line += l.sep;
    } else {
        line += text.substr(slash + 1);
        line += l.sep;
        line += text.substr(0, slash);
    }
}

// A number field and its separator: "0x" and at least `hex_digits`
// hexadecimal digits, or decimal.
void append_number_field(line_text& line, uint64_t value, int hex_digits, const csv_layout& l) {
    if (l.hex) {
        line += "0x";
        append_hex(line, value, hex_digits);
    } else {
        append_decimal(line, value);
    }
    line += l.sep;
}

// One timestamp as two fields (date, time) or, paired, as one.
void append_time_fields(line_text& line, uint64_t filetime, const csv_layout& l) {
    const date_time_chars& t = format_date_time(filetime, l.format_word, l.memo);
    constexpr size_t text = sizeof t.date;  // the date's and the time's buffers are copied whole
    static_assert(sizeof t.time == text);
    // Room for both buffers whole, both separators, the padding and a space.
    char* const start = line.room(2 * text + 2 * l.sep.size() + l.ws.size() + 1);
    char* p = start;
    if (l.paired) {
        p = put_short(p, l.ws);
        p = put_fixed<text>(p, t.date, t.date_length);
        *p++ = ' ';
        p = put_fixed<text>(p, t.time, t.time_length);
    } else {
        p = put_fixed<text>(p, t.date, t.date_length);
        p = put_short(p, l.sep);
        p = put_short(p, l.ws);
        p = put_fixed<text>(p, t.time, t.time_length);
    }
    p = put_short(p, l.sep);
    line.added(static_cast<size_t>(p - start));
}

void append_four_times(line_text& line, const row_name* n, const csv_layout& l) {
    append_time_fields(line, n ? n->name_created : 0, l);
    append_time_fields(line, n ? n->name_modified : 0, l);
    append_time_fields(line, n ? n->name_mft_changed : 0, l);
    append_time_fields(line, n ? n->name_accessed : 0, l);
}

}  // namespace

bool write_csv(std::ostream& out, listing_rows& queue, brelvik_opts& opts, const std::u16string& path,
               uint64_t entry) {
    taken_rows taken(opts);
    listing_rows& rows = taken.rows;
    if (!take_rows(out, queue, opts, rows)) return static_cast<bool>(out);

    const csv_layout l = layout_of(opts);
    if (writer_headers().csv) {
        write_header(out, l);
        writer_headers().csv = false;
        opts.header_pending = 0;
    }

    line_text line;        // reused from row to row
    std::string location;
    for_each_printed_row(rows, queue, opts, path, entry, l.escape, [&](const listing_row& row, const row_location& loc,
                                                                       const std::string& name) {
        line.clear();
        line += type_word(row.kind);
        line += l.sep;
        location.clear();
        append_location_text(location, loc, row, name);
        append_location_fields(line, location, l);
        line += l.sep;
        // The target is escaped like a name so that a separator inside it
        // cannot shift the later columns.
        if (!row.link_target.empty()) line += escaped(uni::to_shown_utf8(row.link_target), l.escape);
        line += l.sep;
        append_number_field(line, row.size, 8, l);
        append_number_field(line, row.si_attributes, 8, l);
        append_number_field(line, row.entry, 8, l);
        append_number_field(line, row.seq, 4, l);
        append_number_field(line, row.record_flags, 4, l);
        append_time_fields(line, row.si_created, l);
        append_time_fields(line, row.si_modified, l);
        append_time_fields(line, row.si_mft_changed, l);
        append_time_fields(line, row.si_accessed, l);
        bool discrepancy = false;
        if (l.all_dates && !row.names.empty()) {
            append_four_times(line, long_name_of(row), l);
            if (const row_name* short_name = short_name_of(row)) append_four_times(line, short_name, l);
            else for (int i = 0; i < (l.paired ? 4 : 8); ++i) line += l.sep;
            discrepancy = time_discrepancy(row);
        }
        if (discrepancy) line += "true";
        line += l.sep;
        if (l.objid && guid_present(row.object_id)) line += guid_text(row.object_id);
        // The deleted column comes last: after the separator that closes the
        // discrepancy field, or after the object ID's own.
        if (l.deleted) {
            if (l.objid) line += l.sep;
            line += deleted_word(row.deleted);
        }
        line += '\n';
        write_row_text(out, line.view());
    });
    return static_cast<bool>(out);
}
