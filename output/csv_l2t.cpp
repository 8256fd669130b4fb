// The log2timeline CSV of -csvl2t: a header once per run, then one line per
// distinct time of each row's $STANDARD_INFORMATION and, with -alldates,
// of each shown $FILE_NAME. Times equal to the second share a line, their
// MACB letters combined; a time that cannot be shown (0, before 1970) makes
// no line, as timeline tools leave a body file's 0 out.
#include "output/timeline.hpp"

#include "ntfs/attribute_header.hpp"
#include "output/datetime.hpp"
#include "output/line_text.hpp"
#include "output/number_text.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <iostream>

namespace {

constexpr const char* l2t_header =
    "date,time,timezone,MACB,source,sourcetype,type,user,host,short,desc,version,filename,inode,notes,format,extra";

// True when CSV writes `text` as it is: it holds no comma, quote or line
// break. One table look-up a character, the results gathered without a
// branch.
bool csv_plain(std::string_view text) {
    static constexpr auto special = [] {
        std::array<uint8_t, 256> t{};
        for (unsigned char c : {',', '"', '\r', '\n'}) t[c] = 1;
        return t;
    }();
    uint8_t any = 0;
    for (const char c : text) any |= special[static_cast<unsigned char>(c)];
    return any == 0;
}

// `text` quoted, with its quotes doubled.
void append_quoted(std::string& out, std::string_view text) {
    out += '"';
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

// A field as CSV writes it: quoted when it is not plain.
void append_csv_field(std::string& out, std::string_view text) {
    if (csv_plain(text)) out += text;
    else append_quoted(out, text);
}

std::string csv_field(std::string_view text) {
    std::string out;
    append_csv_field(out, text);
    return out;
}

// The times of one attribute, in the order M, A, C, B.
struct one_time {
    int position;  // in "MACB"
    const char* meaning;
};
constexpr one_time macb_times[] = {{0, "Content Modification Time"},
                                   {1, "Last Access Time"},
                                   {2, "Metadata Modification Time"},
                                   {3, "Creation Time"}};

// The times of one attribute that fall on one second: a bit for each of
// macb_times.
struct time_group {
    int64_t seconds = 0;
    unsigned members = 0;
};

// The attribute's times grouped by second, earliest first; times that
// cannot be shown are left out. Returns how many groups there are.
size_t group_times(const four_times& t, time_group (&groups)[4]) {
    const uint64_t values[] = {t.modified, t.accessed, t.mft_changed, t.created};
    size_t count = 0;
    for (unsigned i = 0; i < 4; ++i) {
        const int64_t s = timeline_seconds(values[i]);
        if (s == 0) continue;
        size_t g = 0;
        while (g < count && groups[g].seconds != s) ++g;
        if (g == count) groups[count++] = {s, 0};
        groups[g].members |= 1u << i;
    }
    std::stable_sort(groups, groups + count,
                     [](const time_group& a, const time_group& b) { return a.seconds < b.seconds; });
    return count;
}

// What every line of one row shares.
struct row_facts {
    std::string user;
    std::string host;
    std::string inode;
    std::string notes;
    std::string extra;
};

// The layout of a line's date and time: mm/dd/yyyy and hh:mm:ss.
uint32_t l2t_time_word() {
    static const uint32_t word = compile_formats("mm/dd/yyyy", "hh:mm:ss", false);
    return word;
}

// The lines of one attribute, one for each second its times fall on.
// What follows the times' meanings is the same on each of them: it is
// written on the first line, and the later ones copy it from there.
void append_lines(line_text& out, const four_times& times, std::string_view attribute, std::string_view path,
                  std::string_view desc, const row_facts& f, date_time_memo& memo) {
    time_group groups[4];
    const size_t count = group_times(times, groups);
    size_t tail_at = 0, tail_size = 0;
    for (size_t k = 0; k < count; ++k) {
        const time_group& g = groups[k];
        // "%02u/%02u/%04u,%02u:%02u:%02u": a shown time's year has four
        // digits, so the date and time layouts give exactly that.
        const date_time_chars& t =
            format_date_time(filetime_unix_epoch + uint64_t(g.seconds) * 10000000ULL, l2t_time_word(), memo);
        // The date, the time, the zone and MACB, put in place with copies
        // of sizes known here: the date's and the time's buffers whole.
        constexpr size_t text = sizeof t.date;
        static_assert(sizeof t.time == text);
        char* const start = out.room(2 * text + 16);
        char* p = put_fixed<text>(start, t.date, t.date_length);
        *p++ = ',';
        p = put_fixed<text>(p, t.time, t.time_length);
        std::memcpy(p, ",UTC,", 5);
        p += 5;
        char* const macb = p;
        std::memcpy(macb, "....", 4);
        for (unsigned i = 0; i < 4; ++i)
            if (g.members & (1u << i)) macb[macb_times[i].position] = "MACB"[macb_times[i].position];
        std::memcpy(p + 4, ",FILE,", 6);
        p += 10;
        out.added(static_cast<size_t>(p - start));
        out += attribute;
        out += ',';
        bool first = true;
        for (unsigned i = 0; i < 4; ++i) {
            if (!(g.members & (1u << i))) continue;
            if (!first) out += "; ";
            out += macb_times[i].meaning;
            first = false;
        }
        if (k == 0) {
            tail_at = out.size();
            for (const std::string_view piece : {std::string_view(f.user), std::string_view(f.host), path, desc}) {
                out += ',';
                out += piece;
            }
            out += ",2,";
            out += path;
            out += ',';
            out += f.inode;
            out += ',';
            out += f.notes;
            out += ",NTFS,";
            out += f.extra;
            out += '\n';
            tail_size = out.size() - tail_at;
        } else {
            // Room first: it may move the text, the first line's tail with it.
            char* const to = out.room(tail_size);
            std::memcpy(to, out.data() + tail_at, tail_size);
            out.added(tail_size);
        }
    }
}

}  // namespace

bool write_csv_l2t(std::ostream& out, listing_rows& queue, brelvik_opts& opts, const std::u16string& path,
                   uint64_t entry) {
    taken_rows taken(opts);
    listing_rows& rows = taken.rows;
    if (!take_rows(std::cerr, queue, opts, rows)) return static_cast<bool>(out);
    if (writer_headers().csv_l2t) {
        out << l2t_header << '\n';
        writer_headers().csv_l2t = false;
        opts.header_pending = 0;
    }

    row_facts f;
    f.user = opts.has_username ? csv_field(opts.username) : "-";
    f.host = opts.has_hostname ? csv_field(opts.hostname) : "-";
    line_text lines;                                                    // reused from row to row
    std::string extra, field, desc, quoted_desc, row_path, other_path;
    std::vector<const row_name*> names;
    date_time_memo memo;                                 // the last second formatted
    for_each_printed_row(rows, queue, opts, path, entry, {}, [&](const listing_row& row, const row_location& loc,
                                                                 const std::string& name) {
        lines.clear();
        f.inode.clear();
        append_decimal(f.inode, row.entry);
        if (row.link_target.empty()) f.notes.assign("-");
        else f.notes = csv_field(uni::to_shown_utf8(row.link_target));
        extra.assign("size: ");
        append_decimal(extra, row.attr_size);
        extra += "; sequence: ";
        append_decimal(extra, row.seq);
        extra += "; flags: 0x";
        append_hex(extra, row.record_flags, 4);
        // Its parts hold no comma or quote: the field is the text itself.
        f.extra = extra;
        // A row -deleted found says so in its description, as the body
        // file's name does; the filename field stays the path. What the
        // path adds to the description holds nothing CSV quotes, so both
        // are quoted when the path is.
        const std::string_view gone = deleted_suffix(row.deleted);
        const auto add_lines = [&](std::string_view path_text, std::string_view desc_tail, const four_times& times,
                                   const char* attribute) {
            desc.assign(path_text);
            desc += desc_tail;
            desc += gone;
            if (csv_plain(path_text)) {
                append_lines(lines, times, attribute, path_text, desc, f, memo);
                return;
            }
            field.clear();
            append_quoted(field, path_text);
            quoted_desc.clear();
            append_quoted(quoted_desc, desc);
            append_lines(lines, times, attribute, field, quoted_desc, f, memo);
        };
        timeline_path(loc, row, name, row_path);
        // The row of a name whose record now holds another file carries the
        // times of the name's own $FILE_NAME copy, not of a
        // $STANDARD_INFORMATION.
        const char* row_attribute = row.attr_type == attr_file_name ? "$FILE_NAME" : "$STANDARD_INFORMATION";
        add_lines(row_path, "", standard_information_times(row), row_attribute);
        if (opts.all_dates) {
            shown_names(row, names);
            for (const row_name* n : names)
                add_lines(name_path(loc, row, row_path, *n, other_path), " ($FILE_NAME)", file_name_times(*n),
                          "$FILE_NAME");
        }
        write_row_text(out, lines.view());
    });
    return static_cast<bool>(out);
}
