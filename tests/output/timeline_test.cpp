#include "ntfs/attribute_header.hpp"
#include "sample_rows.hpp"

#include <gtest/gtest.h>

namespace {

using namespace sample;

// A file in the root whose name holds '|' and a line break, with a DOS name
// and a second name; times that cannot be shown (none, before 1970, top
// bit set) and two that fall on one second.
listing_rows odd_rows(const std::u16string& shown) {
    listing_row r = row(u"\\", shown, row_kind_file, 64, 1, 1, 4096, u"\\" + shown);
    r.attr_type = attr_data;
    r.attr_id = 2;
    r.attr_size = 1000;
    for (auto [text, dos] : {std::pair{shown.c_str(), false}, {u"AB~1", true}, {u"other, \"x\"", false}})
        r.names.push_back(name(text, dos, example + day));
    r.si_created = example + 3 * second + second / 2;
    r.si_modified = 100 * second;
    r.si_mft_changed = 1ULL << 63;
    r.names[2].name_created = 0;
    r.link_target = u"D:\\x,y";
    listing_rows rows;
    rows.insert(r);
    return rows;
}

TEST(Timeline, BodyFileAndL2tLines) {
    brelvik_opts opts;
    ASSERT_TRUE(configure(opts, {"-bodyfile"}));
    listing_rows queue;
    EXPECT_EQ(run(write_bodyfile, opts, odd_rows(u"a|b\nc"), queue, u"\\", 5),
              "0|\\a;b c|64-128-2|r/rrwxrwxrwx|0|0|1000|1705526403|0|0|1705526403\n"
              "0|\\a;b c ($FILE_NAME)|64-48-0|r/rrwxrwxrwx|0|0|76|1705612803|1705612801|1705612802|1705612800\n"
              "0|\\other, \"x\" ($FILE_NAME)|64-48-0|r/rrwxrwxrwx|0|0|86|1705612803|1705612801|1705612802|0\n");

    ASSERT_TRUE(configure(opts, {"-csvl2t", "-hostname", "ws01", "-username", "me"}));
    opts.all_dates = 1;
    std::istringstream l2t(run(write_csv_l2t, opts, odd_rows(u"a,\"b\""), queue, u"\\", 5));
    std::vector<std::string> lines;
    for (std::string line; std::getline(l2t, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 9u);  // the header, one SI line, the times of the two long names
    EXPECT_EQ(lines[0], "date,time,timezone,MACB,source,sourcetype,type,user,host,short,desc,version,filename,"
                        "inode,notes,format,extra");
    const std::string path = "\"\\a,\"\"b\"\"\"";
    EXPECT_EQ(lines[1], "01/17/2024,21:20:03,UTC,.A.B,FILE,$STANDARD_INFORMATION,Last Access Time; Creation Time,"
                        "me,ws01," + path + "," + path + ",2," + path + ",64,\"D:\\x,y\",NTFS,"
                        "size: 1000; sequence: 1; flags: 0x0001");
    EXPECT_EQ(lines[8].rfind("01/18/2024,21:20:03,UTC,.A..,FILE,$FILE_NAME,Last Access Time,me,ws01,"
                             "\"\\other, \"\"x\"\"\",\"\\other, \"\"x\"\" ($FILE_NAME)\",2,", 0), 0u) << lines[8];
    // The header is written once a run.
    EXPECT_EQ(run(write_csv_l2t, opts, odd_rows(u"x"), queue, u"\\", 5).rfind("date,", 0), std::string::npos);
}

}  // namespace
