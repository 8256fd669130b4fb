#include "sample_rows.hpp"

#include <gtest/gtest.h>

namespace {

using namespace sample;

::testing::AssertionResult starts(const std::string& line, const std::string& prefix) {
    if (line.rfind(prefix, 0) == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << '"' << line << "\" does not start with \"" << prefix << '"';
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

const std::string head_default =
    "type,filename,symbolic link,size,attributes,MFT entry,sequence #,flags,"
    "cdate (stdinfo),ctime (stdinfo),mdate (stdinfo),mtime (stdinfo),"
    "MFT date (stdinfo),MFT time (stdinfo),adate (stdinfo),atime (stdinfo),time discrepancy";

// The four $STANDARD_INFORMATION times of every sample row.
const std::string si_times =
    "2024-01-17, 21:20:00.000,2024-01-17, 21:20:01.000,2024-01-17, 21:20:02.000,2024-01-17, 21:20:03.000,";

TEST(Csv, DefaultLayout) {
    brelvik_opts opts;
    ASSERT_TRUE(configure(opts, {"-csv"}));
    listing_rows queue;
    const std::string got = run(write_csv, opts, docs_rows(), queue);
    const std::string expected = head_default + "\n" +
        "dir,C:\\docs\\,,0x00000000,0x00000010,0x00000028,0x0002,0x0003," + si_times + ",\n" +
        "ads,C:\\docs:notes,,0x0000000c,0x00000010,0x00000028,0x0002,0x0003," + si_times + ",\n" +
        "file,C:\\docs\\a b.txt,,0x00000400,0x00000020,0x00000029,0x0001,0x0001," + si_times + ",\n" +
        "ads,C:\\docs\\a b.txt:zone,,0x0000001a,0x00000020,0x00000029,0x0001,0x0001," + si_times + ",\n" +
        "file,C:\\docs\\café.txt,,0x00000005,0x00000020,0x0000002a,0x0003,0x0001," + si_times + ",\n" +
        "file,C:\\docs\\link,D:\\café & <x>|y z,0x00000000,0x00000020,0x0000002b,0x0001,0x0001," + si_times + ",\n" +
        "dir,C:\\docs\\sub\\,,0x00000000,0x00000010,0x0000002c,0x0001,0x0003," + si_times + ",\n" +
        "ads,C:\\docs\\sub:ads,,0x00000007,0x00000010,0x0000002c,0x0001,0x0003," + si_times + ",\n";
    EXPECT_EQ(got, expected);
    EXPECT_EQ(opts.header_pending, 0);

    // The header is printed once per run; more levels queue the subdirectory.
    opts.last_level = 0;
    const std::vector<std::string> again = lines_of(run(write_csv, opts, docs_rows(), queue));
    ASSERT_EQ(again.size(), 6u);
    EXPECT_EQ(again[0].rfind("dir,C:\\docs\\,", 0), 0u);
    EXPECT_EQ(queue.size(), 2u);
    EXPECT_EQ(queue.begin()->dir_path, u"C:\\docs\\sub");
}

TEST(Csv, SeparatorsAndFieldEscape) {
    {
        // '|' in names and link targets becomes ';', commas stay.
        brelvik_opts opts;
        ASSERT_TRUE(configure(opts, {"-csv", "-csv_separator", "|"}));
        listing_rows queue;
        const std::vector<std::string> lines = lines_of(run(write_csv, opts, docs_rows(), queue));
        ASSERT_EQ(lines.size(), 9u);
        EXPECT_TRUE(starts(lines[0], "type|filename|symbolic link|si"));
        EXPECT_EQ(lines[3], "file|C:\\docs\\a,b.txt||0x00000400|0x00000020|0x00000029|0x0001|0x0001|"
                            "2024-01-17| 21:20:00.000|2024-01-17| 21:20:01.000|"
                            "2024-01-17| 21:20:02.000|2024-01-17| 21:20:03.000||");
        EXPECT_TRUE(starts(lines[6], "file|C:\\docs\\link|D:\\café & <x>;y,z|"));
    }
    {
        // A TAB is escaped only where a value holds one; -no_whitespace
        // drops the space before each time.
        brelvik_opts opts;
        ASSERT_TRUE(configure(opts, {"-csv", "-csv_separator", "tab", "-no_whitespace"}));
        listing_rows queue;
        const std::vector<std::string> lines = lines_of(run(write_csv, opts, docs_rows(), queue));
        ASSERT_EQ(lines.size(), 9u);
        EXPECT_TRUE(starts(lines[0], "type\tfilename\tsymbolic link\t"));
        EXPECT_EQ(lines[3], "file\tC:\\docs\\a,b.txt\t\t0x00000400\t0x00000020\t0x00000029\t0x0001\t0x0001\t"
                            "2024-01-17\t21:20:00.000\t2024-01-17\t21:20:01.000\t"
                            "2024-01-17\t21:20:02.000\t2024-01-17\t21:20:03.000\t\t");
        EXPECT_TRUE(starts(lines[6], "file\tC:\\docs\\link\tD:\\café & <x>|y,z\t"));
    }
    {
        brelvik_opts opts;
        ASSERT_TRUE(configure(opts, {"-csv", "-no_whitespace"}));
        listing_rows queue;
        const std::vector<std::string> lines = lines_of(run(write_csv, opts, docs_rows(), queue));
        ASSERT_EQ(lines.size(), 9u);
        EXPECT_EQ(lines[5], "file,C:\\docs\\café.txt,,0x00000005,0x00000020,0x0000002a,0x0003,0x0001,"
                            "2024-01-17,21:20:00.000,2024-01-17,21:20:01.000,"
                            "2024-01-17,21:20:02.000,2024-01-17,21:20:03.000,,");
    }
}

// Splits `line` at every `sep`.
std::vector<std::string> fields_of(const std::string& line, const std::string& sep) {
    std::vector<std::string> fields;
    size_t from = 0;
    for (size_t at = line.find(sep); at != std::string::npos; at = line.find(sep, from)) {
        fields.push_back(line.substr(from, at - from));
        from = at + sep.size();
    }
    fields.push_back(line.substr(from));
    return fields;
}

// A separator without an escape of its own ('|' and ',' have theirs) is
// replaced in a folder's path, a name and a link target that hold it, so
// that every row splits into the fields of the header.
TEST(Csv, EverySeparatorKeptOutOfValues) {
    struct {
        const char* option;
        std::string sep;
        std::string file_field;  // the path and name as written
    } cases[] = {
        {";", ";", "C:\\d ir\\x y.txt"},
        {"tab", "\t", "C:\\d ir\\x y.txt"},
        {"\"", "\"", "C:\\d ir\\x y.txt"},
        {"é", "é", "C:\\d  ir\\x  y.txt"},  // each byte of it
        {"::", "::", "C:\\d  ir\\x  y.txt"},
        {" ; ", " ; ", "C:\\d___ir\\x___y.txt"},  // it holds a space
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.option);
        const std::u16string sep16 = uni::to_utf16(c.sep);
        const std::u16string dir = u"C:\\d" + sep16 + u"ir";
        listing_rows rows;
        listing_row own = row(dir, u"d" + sep16 + u"ir", row_kind_directory, 40, 1, 3, 0, dir);
        rows.insert(own);
        listing_row file = row(dir, u"x" + sep16 + u"y.txt", row_kind_file, 41, 1, 1, 5, dir + u"\\x" + sep16 + u"y.txt");
        file.link_target = u"t" + sep16 + u"u";
        rows.insert(file);
        brelvik_opts opts;
        ASSERT_TRUE(configure(opts, {"-csv", "-csv_separator", c.option}));
        listing_rows queue;
        const std::vector<std::string> lines = lines_of(run(write_csv, opts, rows, queue, dir));
        ASSERT_EQ(lines.size(), 3u);
        const size_t columns = fields_of(lines[0], c.sep).size();
        EXPECT_EQ(columns, 17u);
        // A row ends in a separator after its last field.
        for (size_t i = 1; i < lines.size(); ++i) EXPECT_EQ(fields_of(lines[i], c.sep).size(), columns + 1) << lines[i];
        const std::vector<std::string> f = fields_of(lines[2], c.sep);
        ASSERT_GE(f.size(), 3u);
        EXPECT_EQ(f[1], c.file_field);
        EXPECT_EQ(f[2].size(), 2 + c.sep.size());
    }
}

TEST(Csv, DecimalNumbersAndPairedTimes) {
    {
        brelvik_opts opts;
        ASSERT_TRUE(configure(opts, {"-csv", "-base10"}));
        listing_rows queue;
        const std::vector<std::string> lines = lines_of(run(write_csv, opts, docs_rows(), queue));
        ASSERT_EQ(lines.size(), 9u);
        EXPECT_EQ(lines[3], "file,C:\\docs\\a b.txt,,1024,32,41,1,1," + si_times + ",");
        EXPECT_EQ(lines[1], "dir,C:\\docs\\,,0,16,40,2,3," + si_times + ",");
    }
    {
        brelvik_opts opts;
        ASSERT_TRUE(configure(opts, {"-pair_datetime", "-csv"}));
        listing_rows rows = docs_rows();
        const listing_row& first = *rows.begin();
        listing_row unset = first;  // times that cannot be shown
        unset.si_created = unset.si_modified = unset.si_mft_changed = unset.si_accessed = 0;
        unset.sort_key = u"c:\\docs\\zz";
        unset.kind = row_kind_file;
        unset.record_flags = 1;
        unset.entry = 50;
        unset.display_name = u"zz";
        rows.insert(unset);
        listing_rows queue;
        const std::vector<std::string> lines = lines_of(run(write_csv, opts, std::move(rows), queue));
        ASSERT_EQ(lines.size(), 10u);
        EXPECT_EQ(lines[0], "type,filename,symbolic link,size,attributes,MFT entry,sequence #,flags,"
                            "cdate (stdinfo),mdate (stdinfo),MFT date (stdinfo),adate (stdinfo),time discrepancy");
        EXPECT_EQ(lines[3], "file,C:\\docs\\a b.txt,,0x00000400,0x00000020,0x00000029,0x0001,0x0001,"
                            " 2024-01-17 21:20:00.000, 2024-01-17 21:20:01.000,"
                            " 2024-01-17 21:20:02.000, 2024-01-17 21:20:03.000,,");
        EXPECT_EQ(lines[9], "file,C:\\docs\\zz,,0x00000000,0x00000010,0x00000032,0x0002,0x0001,  ,  ,  ,  ,,");
    }
}

TEST(Csv, SplitPathAndFile) {
    brelvik_opts opts;
    ASSERT_TRUE(configure(opts, {"-csv", "-split_pathfile"}));
    listing_rows queue;
    const std::vector<std::string> lines = lines_of(run(write_csv, opts, docs_rows(), queue));
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_TRUE(starts(lines[0], "type,filename,path,symbolic link,siz"));
    EXPECT_EQ(lines[1], "dir,.,C:\\docs,,0x00000000,0x00000010,0x00000028,0x0002,0x0003," + si_times + ",");
    EXPECT_TRUE(starts(lines[2], "ads,docs:notes,C:,,0x"));
    EXPECT_TRUE(starts(lines[3], "file,a b.txt,C:\\docs,,0x"));
    EXPECT_TRUE(starts(lines[7], "dir,.,C:\\docs\\sub,,0x00"));

    // The volume root, and a starting file's own stream, which has no '\'.
    listing_rows root;
    root.insert(row(u"C:\\", u".", row_kind_directory, 5, 5, 3, 0, u"C:\\"));
    EXPECT_TRUE(starts(lines_of(run(write_csv, opts, std::move(root), queue, u"C:\\", 5))[0], "dir,.,C:,,0x"));
    listing_rows rows;
    rows.insert(row(u"C:\\docs", u"a.txt:zone", row_kind_data_stream, 41, 1, 1, 26, u"C:\\docs\\a.txt:zone"));
    EXPECT_TRUE(starts(lines_of(run(write_csv, opts, std::move(rows), queue, u"C:\\docs", 41))[0], "ads,:zone,,,0x"));
}

TEST(Csv, AllDatesWithLongAndShortNames) {
    brelvik_opts opts;
    ASSERT_TRUE(configure(opts, {"-csv"}));
    opts.all_dates = 1;
    listing_rows queue;
    const std::vector<std::string> lines = lines_of(run(write_csv, opts, docs_rows(), queue));
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[0], head_default.substr(0, head_default.size() - 16) +
                            "cdate (fn),ctime (fn),mdate (fn),mtime (fn),MFT date (fn),MFT time (fn),"
                            "adate (fn),atime (fn),cdate (short fn),ctime (short fn),mdate (short fn),"
                            "mtime (short fn),MFT date (short fn),MFT time (short fn),adate (short fn),"
                            "atime (short fn),time discrepancy");
    // Long name two days and short name one day after the stdinfo times.
    EXPECT_EQ(lines[3], "file,C:\\docs\\a b.txt,,0x00000400,0x00000020,0x00000029,0x0001,0x0001," + si_times +
                            "2024-01-19, 21:20:00.000,2024-01-19, 21:20:01.000,"
                            "2024-01-19, 21:20:02.000,2024-01-19, 21:20:03.000,"
                            "2024-01-18, 21:20:00.000,2024-01-18, 21:20:01.000,"
                            "2024-01-18, 21:20:02.000,2024-01-18, 21:20:03.000,true,");
    // No 8.3 name: eight empty fields; no discrepancy.
    EXPECT_EQ(lines[5], "file,C:\\docs\\café.txt,,0x00000005,0x00000020,0x0000002a,0x0003,0x0001," + si_times +
                            si_times + ",,,,,,,,,");
    // No names at all: the file-name fields are left out.
    EXPECT_EQ(lines[6], "file,C:\\docs\\link,D:\\café & <x>|y z,0x00000000,0x00000020,0x0000002b,0x0001,0x0001," +
                            si_times + ",");

    brelvik_opts paired;
    ASSERT_TRUE(configure(paired, {"-pair_datetime", "-csv"}));
    paired.all_dates = 1;
    const std::vector<std::string> p = lines_of(run(write_csv, paired, docs_rows(), queue));
    ASSERT_EQ(p.size(), 9u);
    EXPECT_EQ(p[0].substr(p[0].find("adate (stdinfo)")),
              "adate (stdinfo),cdate (fn),mdate (fn),MFT date (fn),adate (fn),cdate (short fn),mdate (short fn),"
              "MFT date (short fn),adate (short fn),time discrepancy");
    const std::string pt = " 2024-01-17 21:20:00.000, 2024-01-17 21:20:01.000,"
                           " 2024-01-17 21:20:02.000, 2024-01-17 21:20:03.000,";
    EXPECT_EQ(p[5], "file,C:\\docs\\café.txt,,0x00000005,0x00000020,0x0000002a,0x0003,0x0001," + pt + pt + ",,,,,");
}

TEST(Csv, TimeDiscrepancyNeedsBothTimesMoreThanADayOlder) {
    listing_row r;
    r.si_created = example;
    r.si_mft_changed = example;
    EXPECT_FALSE(time_discrepancy(r));  // no names
    r.names.push_back(name(u"short", true, example + 2 * day));
    EXPECT_FALSE(time_discrepancy(r));  // only a DOS name
    r.names.push_back(name(u"long", false, example + day + 1));
    r.names.back().name_mft_changed = example + day + 1;
    EXPECT_TRUE(time_discrepancy(r));
    r.names.back().name_created = example + day;  // exactly one day: not more
    EXPECT_FALSE(time_discrepancy(r));
    r.names.back().name_created = example + 2 * day;
    r.names.back().name_mft_changed = example;  // only the creation time differs
    EXPECT_FALSE(time_discrepancy(r));
    r.names.back().name_mft_changed = example + 2 * day;
    r.si_mft_changed = 0;  // a zero time never counts
    EXPECT_FALSE(time_discrepancy(r));
}

TEST(Csv, ObjectIdColumn) {
    brelvik_opts opts;
    ASSERT_TRUE(configure(opts, {"-csv"}));
    opts.show_objid = 1;
    listing_rows queue;
    const std::vector<std::string> lines = lines_of(run(write_csv, opts, docs_rows(), queue));
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[0], head_default + ",object ID");
    EXPECT_EQ(lines[1], "dir,C:\\docs\\,,0x00000000,0x00000010,0x00000028,0x0002,0x0003," + si_times +
                            ",33221100-5544-7766-8899-aabbccddeeff");
    EXPECT_EQ(lines[3], "file,C:\\docs\\a b.txt,,0x00000400,0x00000020,0x00000029,0x0001,0x0001," + si_times + ",");
}

}  // namespace
