// Names as every layout carries them when their UTF-16 is not well formed.
#include "sample_rows.hpp"

#include <gtest/gtest.h>

namespace {

using namespace sample;

// The UTF-8 of U+FFFD, which stands for each unpaired surrogate.
const std::string replacement = "\xEF\xBF\xBD";

// A folder whose name ends in a high surrogate that has no low one after
// it, under the root, holding a file whose name has a low surrogate alone
// and, as a second hard link in the same folder, one with a high surrogate
// as its last unit.
const std::u16string odd_dir = std::u16string(u"\\dir") + char16_t(0xD83D) + u"A";
const std::u16string odd_file = std::u16string(u"lo") + char16_t(0xDE00) + u"y";
const std::u16string odd_link = std::u16string(u"end") + char16_t(0xD800);

listing_rows odd_rows() {
    listing_rows rows;
    listing_row own = row(odd_dir, odd_dir.substr(1), row_kind_directory, 70, 1, 3, 0, u"");
    own.names.push_back(name(odd_dir.substr(1), false, example));
    rows.insert(own);
    listing_row file = row(odd_dir, odd_file, row_kind_file, 71, 1, 1, 10, u"\\" + odd_file);
    file.names.push_back(name(odd_file, false, example));
    file.names.push_back(name(odd_link, false, example));
    rows.insert(file);
    return rows;
}

bool valid_utf8(const std::string& text) { return text.empty() || !uni::to_utf16(text).empty(); }

TEST(OddNames, UnpairedSurrogatesBecomeReplacementCharactersInEveryLayout) {
    const std::string dir = "\\dir" + replacement + "A";
    const std::string file = dir + "\\lo" + replacement + "y";
    listing_rows queue;
    struct layout {
        const char* name;
        std::vector<std::string> args;
        bool (*writer)(std::ostream&, listing_rows&, brelvik_opts&, const std::u16string&, uint64_t);
        std::vector<std::string> expected;
    };
    const layout layouts[] = {
        {"table", {}, [](std::ostream& o, listing_rows& q, brelvik_opts& p, const std::u16string& d, uint64_t e) {
             return write_text_table(o, q, p, d, e, false);
         },
         {"  dir  " + dir + "\\\n", "       " + file + "\n"}},
        {"path list", {}, write_path_list, {dir + "\\\n" + file + "\n"}},
        {"csv", {"-csv"}, write_csv, {"\ndir," + dir + "\\,", "\nfile," + file + ","}},
        {"xml", {"-xml"}, write_xml,
         {"<directory>\\dir%ef%bf%bdA\\</directory>\n<filename>.</filename>",
          "<filename>lo%ef%bf%bdy</filename>"}},
        {"body file", {"-bodyfile"}, write_bodyfile,
         {"0|" + dir + "|70-", "0|" + file + "|71-", "0|" + file + " ($FILE_NAME)|71-48-",
          "0|" + dir + "\\end" + replacement + " ($FILE_NAME)|71-48-"}},
        {"l2t", {"-csvl2t"}, write_csv_l2t, {"," + dir + "," + dir + ",2,", "," + file + "," + file + ",2,"}},
    };
    for (const layout& l : layouts) {
        brelvik_opts opts;
        ASSERT_TRUE(configure(opts, l.args)) << l.name;
        const std::string got = run(l.writer, opts, odd_rows(), queue, odd_dir, 70);
        EXPECT_TRUE(valid_utf8(got)) << l.name << ": " << got;
        for (const std::string& piece : l.expected) EXPECT_NE(got.find(piece), std::string::npos) << l.name << ": " << got;
    }

    // The XML head shows the starting path the same way.
    brelvik_opts opts;
    ASSERT_TRUE(configure(opts, {"-xml"}));
    std::ostringstream head;
    write_xml_head(head, opts, odd_dir, to_calendar(example));
    EXPECT_NE(head.str().find(" starting_path=\"" + dir + "\""), std::string::npos) << head.str();
}

// No byte that XML forbids in a document (control characters other than
// tab, line feed and carriage return; U+FFFE and U+FFFF) reaches the XML
// raw from a link target or the starting path, where names are not
// percent-encoded as a whole.
TEST(OddNames, XmlStaysWellFormedAroundControlCharactersInLinksAndPaths) {
    brelvik_opts opts;
    ASSERT_TRUE(configure(opts, {"-xml"}));
    listing_rows rows;
    listing_row link = row(u"\\", u"link", row_kind_file, 80, 1, 1, 0, u"\\link");
    link.link_target = std::u16string(u"C:\\a\x01" u"b\x1f&") + char16_t(0xFFFF) + u"\tz\u00e9";
    rows.insert(link);
    listing_rows queue;
    const std::string got = run(write_xml, opts, rows, queue, u"\\", 5);
    EXPECT_NE(got.find("<sym_link>C:\\a%01b%1f&amp;%ef%bf%bf\tz\u00e9</sym_link>"), std::string::npos) << got;

    std::ostringstream head;
    write_xml_head(head, opts, u"\\ctl\x01x\x7f", to_calendar(example));
    EXPECT_NE(head.str().find(" starting_path=\"\\ctl%01x\x7f\""), std::string::npos) << head.str();
}

// Names that hold ':' themselves, as POSIX names and stream names made
// outside Windows can: a stream row splits at the colon its entry's name
// ends at (`stream_at`), not at the first or the last one.
listing_row stream_row(const std::u16string& dir, const std::u16string& entry_name, const std::u16string& stream,
                       uint64_t entry) {
    listing_row r = row(dir, entry_name + u":" + stream, row_kind_data_stream, entry, 1, 3, 4, u"");
    r.stream_at = static_cast<uint32_t>(entry_name.size());
    return r;
}

TEST(OddNames, ColonsInFolderAndStreamNames) {
    // The folder "\dir:colon" written itself, with its stream "st:x".
    const std::u16string dir = u"\\dir:colon";
    const auto own_rows = [&] {
        listing_rows rows;
        rows.insert(row(dir, u"dir:colon", row_kind_directory, 90, 1, 3, 0, u""));
        rows.insert(stream_row(dir, u"dir:colon", u"st:x", 90));
        return rows;
    };
    listing_rows queue;
    const struct {
        std::vector<std::string> args;
        bool (*writer)(std::ostream&, listing_rows&, brelvik_opts&, const std::u16string&, uint64_t);
        std::string expected;
    } layouts[] = {
        {{}, write_path_list, "\\dir:colon\\\n\\dir:colon:st:x\n"},
        {{"-csv"}, write_csv, "\nads,\\dir:colon:st:x,"},
        {{"-bodyfile"}, write_bodyfile, "\n0|\\dir:colon:st:x|90-"},
    };
    for (const auto& l : layouts) {
        brelvik_opts opts;
        ASSERT_TRUE(configure(opts, l.args));
        const std::string got = run(l.writer, opts, own_rows(), queue, dir, 90);
        EXPECT_NE(got.find(l.expected), std::string::npos) << got;
    }

    // The split is found in UTF-8 bytes: a name of two-, three- and
    // four-byte characters and an unpaired surrogate before the colon.
    const std::u16string wide = std::u16string(u"\\\u00fc\u65e5") + char16_t(0xD800) + u"\U0001F600";
    listing_rows wide_rows;
    wide_rows.insert(row(wide, wide.substr(1), row_kind_directory, 92, 1, 3, 0, u""));
    wide_rows.insert(stream_row(wide, wide.substr(1), u"st:x", 92));
    {
        brelvik_opts opts;
        const std::string got = run(write_path_list, opts, std::move(wide_rows), queue, wide, 92);
        EXPECT_NE(got.find("\n\\\xC3\xBC\xE6\x97\xA5" + replacement + "\xF0\x9F\x98\x80:st:x\n"), std::string::npos) << got;
    }

    // The subfolder "d:c" printed at the last level of the root's listing:
    // its stream row's XML directory is the subfolder's own path.
    listing_rows rows;
    rows.insert(row(u"\\", u"d:c", row_kind_directory, 91, 1, 3, 0, u"\\d:c"));
    rows.insert(stream_row(u"\\", u"d:c", u"s", 91));
    brelvik_opts opts;
    ASSERT_TRUE(configure(opts, {"-xml"}));
    const std::string got = run(write_xml, opts, std::move(rows), queue, u"\\", 5);
    EXPECT_EQ(got.find("<directory>\\d\\</directory>"), std::string::npos) << got;
    size_t at = 0;
    for (int i = 0; i < 2; ++i, ++at) {
        at = got.find("<data_entry><directory>\\d:c\\</directory>\n<filename>.</filename>", at);
        ASSERT_NE(at, std::string::npos) << got;
    }
}

}  // namespace
