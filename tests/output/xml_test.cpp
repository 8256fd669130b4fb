#include "sample_rows.hpp"

#include <gtest/gtest.h>

namespace {

using namespace sample;

// Date and time elements of the same four times with the given day.
std::string times(const std::string& prefix, const std::string& date) {
    const char* what[] = {"create", "altered", "mft_changed", "accessed"};
    std::string s;
    for (int i = 0; i < 4; ++i) {
        const std::string tag = prefix + what[i];
        s += "<" + tag + "_date>" + date + "</" + tag + "_date><" + tag + "_time>21:20:0" + std::to_string(i) +
             ".000</" + tag + "_time>";
    }
    return s;
}

const std::string si =
    "<file_create_date>2024-01-17</file_create_date><file_create_time>21:20:00.000</file_create_time>"
    "<file_altered_date>2024-01-17</file_altered_date><file_altered_time>21:20:01.000</file_altered_time>"
    "<file_mft_changed_date>2024-01-17</file_mft_changed_date><file_mft_changed_time>21:20:02.000</file_mft_changed_time>"
    "<file_accessed_date>2024-01-17</file_accessed_date><file_accessed_time>21:20:03.000</file_accessed_time>";

const std::string no_discrepancy = "<time_discrepancy>false</time_discrepancy>";

TEST(Xml, EntriesOfEveryKindOfRow) {
    EXPECT_EQ(times("file_", "2024-01-17"), si);
    brelvik_opts opts;
    ASSERT_TRUE(configure(opts, {"-xml"}));
    listing_rows queue;
    const std::string dir_head = "<data_entry><directory>C:\\docs\\</directory>\n";
    const std::string expected =
        dir_head + "<filename>.</filename><dir>true</dir><size/><sym_link/>" + si + no_discrepancy +
        "<object_id>33221100-5544-7766-8899-aabbccddeeff</object_id></data_entry>\n" +
        // The directory's own stream is written like the directory itself.
        dir_head + "<filename>.</filename><dir>true</dir><size/><sym_link/>" + si + no_discrepancy +
        "<object_id/></data_entry>\n" +
        dir_head + "<filename>a,b.txt</filename><dir/><size>00000400</size><sym_link/>" + si + no_discrepancy +
        "<object_id/></data_entry>\n" +
        dir_head + "<filename>a,b.txt:zone</filename><dir/><size>0000001a</size><sym_link/>" + si + no_discrepancy +
        "<object_id/></data_entry>\n" +
        dir_head + "<filename>caf%c3%a9.txt</filename><dir/><size>00000005</size><sym_link/>" + si +
        no_discrepancy + "<object_id/></data_entry>\n" +
        dir_head + "<filename>link</filename><dir/><size>00000000</size>"
                   "<sym_link>D:\\café &amp; &lt;x&gt;|y,z</sym_link>" + si + no_discrepancy +
        "<object_id/></data_entry>\n" +
        "<data_entry><directory>C:\\docs\\sub\\</directory>\n"
        "<filename>.</filename><dir>true</dir><size/><sym_link/>" + si + no_discrepancy +
        "<object_id/></data_entry>\n" +
        "<data_entry><directory>C:\\docs\\sub\\</directory>\n"
        "<filename>.</filename><dir>true</dir><size/><sym_link/>" + si + no_discrepancy +
        "<object_id/></data_entry>\n";
    EXPECT_EQ(run(write_xml, opts, docs_rows(), queue), expected);
    EXPECT_TRUE(queue.empty());

    // With more levels to go the subdirectory's rows are queued instead.
    opts.last_level = 0;
    const std::string upper = run(write_xml, opts, docs_rows(), queue);
    EXPECT_EQ(upper, expected.substr(0, expected.find("<data_entry><directory>C:\\docs\\sub\\")));
    ASSERT_EQ(queue.size(), 2u);
    EXPECT_EQ(queue.begin()->dir_path, u"C:\\docs\\sub");
    EXPECT_EQ(queue.begin()->kind, row_kind_directory);
}

TEST(Xml, DecimalSizes) {
    brelvik_opts opts;
    ASSERT_TRUE(configure(opts, {"-xml", "-base10"}));
    listing_rows queue;
    const std::string got = run(write_xml, opts, docs_rows(), queue);
    EXPECT_NE(got.find("<filename>a,b.txt</filename><dir/><size>1024</size>"), std::string::npos);
    EXPECT_EQ(got.find("00000400"), std::string::npos);
}

TEST(Xml, EscapingOfPathsAndNames) {
    EXPECT_EQ(xml_escape(""), "");
    EXPECT_EQ(xml_escape("a&b<c>d \"q\" 'p' 50%"), "a&amp;b&lt;c&gt;d \"q\" 'p' 50%");
    EXPECT_EQ(xml_escape("caf\xc3\xa9"), "caf%c3%a9");
    EXPECT_EQ(xml_escape("x\ny\rz\tw\x01\x7f~"), "x\ny\rz%09w%01%7f~");

    brelvik_opts opts;
    ASSERT_TRUE(configure(opts, {"-xml"}));
    const std::u16string d = u"C:\\R&D";
    listing_rows rows;
    rows.insert(row(d, u"R&D", row_kind_directory, 60, 1, 3, 0, d));
    rows.insert(row(d, u"<b>.txt", row_kind_file, 61, 1, 1, 1, d + u"\\<b>.txt"));
    listing_rows queue;
    const std::string got = run(write_xml, opts, std::move(rows), queue, d, 60);
    EXPECT_EQ(got,
              "<data_entry><directory>C:\\R&amp;D\\</directory>\n"
              "<filename>.</filename><dir>true</dir><size/><sym_link/>" + si + no_discrepancy +
              "<object_id/></data_entry>\n"
              "<data_entry><directory>C:\\R&amp;D\\</directory>\n"
              "<filename>&lt;b&gt;.txt</filename><dir/><size>00000001</size><sym_link/>" + si + no_discrepancy +
              "<object_id/></data_entry>\n");
}

TEST(Xml, AllDatesLongAndShortNames) {
    brelvik_opts opts;
    ASSERT_TRUE(configure(opts, {"-xml"}));
    opts.all_dates = 1;
    listing_rows queue;
    const std::string got = run(write_xml, opts, docs_rows(), queue);
    // Long name and 8.3 name, both younger than $STANDARD_INFORMATION.
    EXPECT_NE(got.find("<filename>a,b.txt</filename><dir/><size>00000400</size><sym_link/>" + si +
                       times("name_", "2024-01-19") + times("shortname_", "2024-01-18") +
                       "<time_discrepancy>true</time_discrepancy><object_id/></data_entry>\n"),
              std::string::npos);
    // No 8.3 name: the four empty-element literals, one with a space.
    EXPECT_NE(got.find("<filename>caf%c3%a9.txt</filename><dir/><size>00000005</size><sym_link/>" + si +
                       times("name_", "2024-01-17") +
                       "<shortname_create_date/><shortname_create_time/>"
                       "<shortname_altered_date/> <shortname_altered_time/>"
                       "<shortname_mft_changed_date/><shortname_mft_changed_time/>"
                       "<shortname_accessed_date/><shortname_accessed_time/>" +
                       no_discrepancy + "<object_id/></data_entry>\n"),
              std::string::npos);
    // No names at all: nothing but the stdinfo times.
    EXPECT_NE(got.find("</sym_link>" + si + no_discrepancy + "<object_id/>"), std::string::npos);

    // A DOS name alone: empty long-name elements, filled short-name ones.
    listing_rows rows;
    listing_row dos = row(u"C:\\docs", u"DOS~1.TXT", row_kind_file, 45, 1, 1, 0, u"C:\\docs\\dos~1.txt");
    dos.names.push_back(name(u"DOS~1.TXT", true, example));
    rows.insert(dos);
    const std::string only_dos = run(write_xml, opts, std::move(rows), queue);
    EXPECT_NE(only_dos.find(si +
                            "<name_create_date></name_create_date><name_create_time></name_create_time>"
                            "<name_altered_date></name_altered_date><name_altered_time></name_altered_time>"
                            "<name_mft_changed_date></name_mft_changed_date>"
                            "<name_mft_changed_time></name_mft_changed_time>"
                            "<name_accessed_date></name_accessed_date><name_accessed_time></name_accessed_time>" +
                            times("shortname_", "2024-01-17") + no_discrepancy),
              std::string::npos);
}

TEST(Xml, DocumentHeadAndTail) {
    brelvik_opts opts;
    ASSERT_TRUE(configure(opts, {"-xml"}));
    std::ostringstream plain;
    write_xml_head(plain, opts, u"C:\\docs", to_calendar(example));
    EXPECT_EQ(plain.str(),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
              "\n"
              "<logdata  starting_path=\"C:\\docs\" date=\"2024-01-17\" time=\"21:20:00.000\">\n");

    // Markup characters in the attribute values become entities; the UTF-8
    // stays as it is.
    opts.image_path = u"E:\\cases\\a&b \"x\" <1>é.dd";
    std::ostringstream image;
    write_xml_head(image, opts, u"C:\\R&D", to_calendar(example));
    EXPECT_EQ(image.str(),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
              "\n"
              "<logdata  umounted_image=\"E:\\cases\\a&amp;b &quot;x&quot; &lt;1&gt;é.dd\""
              " starting_path=\"C:\\R&amp;D\" date=\"2024-01-17\" time=\"21:20:00.000\">\n");

    // The run's own head takes the clock and the configured templates.
    brelvik_opts custom;
    ASSERT_TRUE(configure(custom, {"-xml", "-dateformat", "mm/dd/yyyy", "-timeformat", "hh:mm:ss"}));
    std::ostringstream now;
    write_xml_head(now, custom, u"C:\\");
    const std::string text = now.str();
    const std::string start = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n\n<logdata  starting_path=\"C:\\\" date=\"";
    ASSERT_EQ(text.rfind(start, 0), 0u);
    const std::string rest = text.substr(start.size());  // mm/dd/yyyy" time="hh:mm:ss">\n
    ASSERT_EQ(rest.size(), 10u + 8u + 8u + 3u);
    EXPECT_EQ(rest[2], '/');
    EXPECT_EQ(rest.substr(10, 8), "\" time=\"");
    EXPECT_EQ(rest.substr(26), "\">\n");

    std::ostringstream tail;
    write_xml_tail(tail);
    EXPECT_EQ(tail.str(), "</logdata>\n");
}

TEST(Xml, EmptyRowSet) {
    brelvik_opts opts;
    ASSERT_TRUE(configure(opts, {"-xml"}));
    listing_rows queue;
    EXPECT_EQ(run(write_xml, opts, {}, queue), "no items in directory\n");
}

}  // namespace
