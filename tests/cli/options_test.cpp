#include "cli/options.hpp"
#include "cli/usage.hpp"
#include "output/datetime.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

namespace fs = std::filesystem;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;


// Parses `args` (program path added) and keeps what stderr received.
struct parsed {
    brelvik_opts opts;
    arg_list left;
    bool ok = false;
    std::string err;
};

void parse(parsed& p, arg_list args) {
    args.insert(args.begin(), "prog");
    CaptureStderr();
    p.ok = parse_common_options(p.opts, args) && take_vmdk_option(p.opts, args);
    p.err = GetCapturedStderr();
    p.left = args;
}

fs::path scratch(const char* leaf) {
    const fs::path dir = fs::temp_directory_path() / "brelvik_options_test";
    fs::create_directories(dir);
    return dir / leaf;
}

TEST(Usage, TextByteForByte) {
    const std::string expected = std::string(77, '-') + "\n\n" + banner_line() + "\n\n" +
        "Usage:\n"
        "\n"
        "  brelvik <directory>    = enumerate a live volume\n"
        "  brelvik <directory> -drivenum <num> -offset <volume offset>\n"
        "  brelvik <directory> -image <disk image> [-offset <volume offset>] \n"
        "  brelvik <volume> -mft <entry>\n"
        "  brelvik -image <disk image> [-offset <volume offset>] -mft <entry>\n"
        "  brelvik <directory> -vmdk \"<file1> | <file2> | ...\"\n"
        "  brelvik <directory> -vss <#>\n"
        "  brelvik -?             = this help msg\n"
        "\n"
        " Basic options\n"
        "  -csv                   = output data in csv format\n"
        "  -xml <xml file>        = output data in xml format\n"
        "  -alldates              = output all the date/timestamps\n"
        "  -bodyfile              = output data in body file format (mactime)\n"
        "  -csvl2t                = output data in log2timeline csv format\n"
        "\n"
        " Additional options\n"
        "  -level <levels>        = [-recurse] down to the specified levels\n"
        "  -base10                = output in base10 vice hex for csv or xml\n"
        "  -indx                  = show INDX type records\n"
        "  -objid                 = show object ID, if it exists\n"
        "  -deleted               = also show deleted entries (index slack, MFT)\n"
        "  -filepath_only         = show just the path/file [only w/ -recurse]\n"
        "  -dateformat mm/dd/yyyy = \"yyyy-mm-dd\" is the default\n"
        "  -timeformat hh:mm:ss   = \"hh:mm:ss.xxx\" is the default\n"
        "  -pair_datetime         = combine date/time into 1 field for csv\n"
        "  -split_pathfile        = path and file in separate fields for csv\n"
        "  -no_whitespace         = remove whitespace between csv delimiter\n"
        "  -csv_separator \"|\"     = use a pipe char for csv separator\n"
        "\n";
    EXPECT_EQ(usage_text(), expected);
    EXPECT_NE(banner_line().find("brelvik"), std::string::npos);
    EXPECT_NE(banner_line().find("1.45"), std::string::npos);
}

TEST(Options, DefaultsAndIdentity) {
    parsed p;
    parse(p, {"c:\\my dir", "-unknown"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.left, (arg_list{"prog", "c:\\my dir", "-unknown"}));
    EXPECT_EQ(p.opts.command_line, "prog \"c:\\my dir\" -unknown");
    EXPECT_EQ(p.opts.program_name, "prog");
    EXPECT_EQ(p.opts.drive_number, -1);
    EXPECT_EQ(p.opts.levels, 1);
    EXPECT_EQ(p.opts.resolve_links, 1);
    EXPECT_EQ(p.opts.separator, " | ");
    EXPECT_EQ(p.opts.format_word, compile_formats("yyyy-mm-dd", "hh:mm:ss.xxx", false));
    EXPECT_EQ(p.opts.cpu_inst, 0xFFFFFFFFu);
    EXPECT_EQ(p.opts.progress, 1);
    EXPECT_EQ(p.err, "");
    brelvik_opts o;
    arg_list none;
    EXPECT_FALSE(parse_common_options(o, none));
}

TEST(Options, OutputFormats) {
    parsed csv;
    parse(csv, {"-CSV"});
    EXPECT_EQ(csv.opts.csv, 1);
    EXPECT_EQ(csv.opts.separator, ",");
    EXPECT_EQ(csv.opts.field_escape[0], ',');
    EXPECT_EQ(csv.opts.field_escape[1], ' ');
    EXPECT_EQ(csv.opts.dates_split, 1);

    parsed paired;
    parse(paired, {"-csv", "-pair_datetime"});
    EXPECT_EQ(paired.opts.dates_split, 0);
    EXPECT_NE(paired.opts.format_word & format_pair_datetime, 0u);

    parsed both;
    parse(both, {"-csvgen", "-csv"});
    EXPECT_EQ(both.opts.csv, 1);
    EXPECT_EQ(both.opts.csvgen, 1);

    parsed xml;
    parse(xml, {"-csv", "-xml"});
    EXPECT_EQ(xml.opts.xml, 1);
    EXPECT_EQ(xml.opts.csv, 0);
    EXPECT_EQ(xml.opts.header_pending, 0);
    EXPECT_EQ(xml.opts.separator, "");

    parsed body;
    parse(body, {"-bodyfile"});
    EXPECT_EQ(body.opts.separator, "|");
    EXPECT_EQ(body.opts.field_escape[1], ';');

    parsed multi;
    parse(multi, {"-csv", "-multiline"});
    EXPECT_EQ(multi.opts.multiline, 1);
    EXPECT_EQ(multi.opts.csv, 0);
    EXPECT_EQ(multi.opts.separator, "");
    EXPECT_EQ(multi.opts.field_escape[0], 0);
}

TEST(Options, SeparatorRules) {
    struct {
        const char* value;
        const char* separator;
        char escape0, escape1;
    } cases[] = {
        {"tab", "\t", 0, 0}, {"\\t", "\t", 0, 0}, {";", ";", 0, 0}, {"|", "|", '|', ';'}, {" , ", " , ", ',', ' '},
    };
    for (const auto& c : cases) {
        parsed p;
        parse(p, {"-csv", "-csv_separator", c.value});
        EXPECT_EQ(p.opts.separator, c.separator) << c.value;
        EXPECT_EQ(p.opts.field_escape[0], c.escape0) << c.value;
        EXPECT_EQ(p.opts.field_escape[1], c.escape1) << c.value;
    }
    parsed nows;
    parse(nows, {"-no_whitespace"});
    EXPECT_EQ(nows.opts.separator, "|");
    EXPECT_EQ(nows.opts.pad_fields, 0);
    EXPECT_EQ(nows.opts.dates_split, 1);
    // -no_whitespace takes the spaces around a separator, never the whole
    // separator: fields written with none could not be told apart.
    for (const auto& [value, separator] : std::vector<std::pair<std::string, std::string>>{
             {" ", " "}, {"  ", "  "}, {", ", ","}, {" ; ", ";"}, {"tab", "\t"}}) {
        parsed p;
        parse(p, {"-csv", "-csv_separator", value, "-no_whitespace"});
        EXPECT_EQ(p.opts.separator, separator) << '"' << value << '"';
    }
}

TEST(Options, DateAndTimeTemplates) {
    parsed ok;
    parse(ok, {"-dateformat", "DD/MM/YY", "-timeformat", "hh:mm:ss"});
    EXPECT_EQ(ok.opts.date_format, "dd/mm/yy");
    EXPECT_EQ(ok.opts.time_format, "hh:mm:ss");
    EXPECT_EQ(ok.err, "");
    EXPECT_EQ(ok.opts.format_word, compile_formats("dd/mm/yy", "hh:mm:ss", false));

    parsed bad;
    parse(bad, {"-dateformat", "dd/mm/yyyyy", "-timeformat", "hhmmssxx"});
    EXPECT_TRUE(bad.ok);
    EXPECT_EQ(bad.opts.date_format, "yyyy-mm-dd");
    EXPECT_EQ(bad.opts.time_format, "hh:mm:ss.xxx");
    EXPECT_EQ(bad.err, "invalid dd/mm/yyyyy, using default format\n"
                           "invalid hhmmssxx, using default format\n");

    // Accepted by length, but no date can be written in that order.
    for (const char* dateless : {"yyyy/dd/mm", "yyyy mmmdd", "dd/mm/zz", "yyyyxxdd"}) {
        parsed empty;
        parse(empty, {"-dateformat", dateless});
        EXPECT_EQ(empty.err, std::string("date format ") + dateless +
                                 " orders its day, month and year in a way that cannot be written: dates are left empty\n");
    }
    parsed no_month;
    // No month and no fraction leave the word empty: the default layout.
    parse(no_month, {"-dateformat", "yyyyxxdd", "-timeformat", "hh:mm:ss"});
    EXPECT_EQ(no_month.err, "");

    parsed last;
    parse(last, {"c:\\x", "-dateformat"});
    EXPECT_EQ(last.left.back(), "-dateformat");
}

TEST(Options, FailuresAndTheirMessages) {
    parsed alias;
    parse(alias, {"-alias", "a|b|c"});
    EXPECT_FALSE(alias.ok);
    EXPECT_EQ(alias.err, "imbalanced alias to true pathfiles, aborting\n");

    parsed aliaspath;
    parse(aliaspath, {"-aliaspath", "C:\\X\\|\"d:\\y\\\"|z"});
    EXPECT_FALSE(aliaspath.ok);
    EXPECT_EQ(aliaspath.err, "imbalanced alias to true pathfiles, aborting\n");

    parsed sqlite;
    parse(sqlite, {"-sqlite", "db"});
    EXPECT_FALSE(sqlite.ok);
    EXPECT_EQ(sqlite.err, "This option is not offered in this build\n");

    const std::string missing = (scratch("no-folder") / "out.txt").string();
    parsed out;
    parse(out, {"-out", missing});
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.err, "prob opening file " + missing + " for output, aborting\n");

    parsed vmdk;
    parse(vmdk, {"-vmdk", "a.vmdk | b.vmdk", "-vmdk", "c.vmdk", "-offset", "0x100"});
    EXPECT_FALSE(vmdk.ok);
    EXPECT_EQ(vmdk.opts.vmdk_files, (std::vector<std::u16string>{u"a.vmdk", u"b.vmdk", u"c.vmdk"}));
    EXPECT_EQ(vmdk.opts.vmdk_offset, 0x100u);
    EXPECT_EQ(vmdk.err, "a.vmdk can't be opened\n\n");

    parsed bad_window;
    parse(bad_window, {"-cmd_start_time", "2012.01.31"});
    EXPECT_FALSE(bad_window.ok);
    EXPECT_EQ(bad_window.err, "");
}

TEST(Options, StoredOptionsAreTaken) {
    parsed p;
    parse(p, {"-aliaspath", "C:\\Mount\\|\"D:\\Real\\\"", "-threads", "4", "-cpuinst", "0x10", "-signal", "evt",
              "-username", "u", "-hostname", "h", "-zlibex", "9", "-fragment_files", "100", "-outdir", "od", "-pipe",
              "-base10", "-quiet", "-split_pathfile", "-l2"});
    ASSERT_TRUE(p.ok) << p.err;
    EXPECT_EQ(p.left, (arg_list{"prog", "-l2"}));  // -l2 belongs to -diags
    EXPECT_EQ(p.opts.alias_paths.at("c:\\mount"), "D:\\Real");
    EXPECT_EQ(p.opts.cpu_inst, 16u);
    EXPECT_EQ(p.opts.base16, 0);
    EXPECT_EQ(p.opts.progress, 0);
}

TEST(Options, ResultsFileProbe) {
    const fs::path path = scratch("results.txt");
    {
        std::ofstream(path) << "old";
    }
    parsed p;
    parse(p, {"-outfile", path.string(), "-append"});
    ASSERT_TRUE(p.ok) << p.err;
    EXPECT_EQ(p.opts.out_path, path.string());  // '/' kept on POSIX
    EXPECT_EQ(p.opts.out_to_file, 1);
    EXPECT_FALSE(fs::exists(path));  // the probe removes what it made
}

TEST(Options, DiagnosticsLog) {
    const fs::path path = scratch("diag.log");
    {
        parsed p;
        parse(p, {"-diags", path.string(), "-l3"});
        ASSERT_TRUE(p.ok);
        EXPECT_EQ(p.opts.diag_enabled, 1);
        EXPECT_EQ(p.opts.diag_level, 3);
        diag_log(p.opts, "entry %d", 5);
    }
    std::ifstream in(path);
    const std::string log((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(log, "->prog -diags " + path.string() + " -l3\n->entry 5\n");

    parsed missing;
    parse(missing, {"-diags", (scratch("no-folder") / "d.log").string()});
    EXPECT_TRUE(missing.ok);
    EXPECT_EQ(missing.opts.diag_enabled, 0);
    EXPECT_EQ(missing.opts.diag_log_path, "");
}

TEST(Options, TimeWindow) {
    parsed p;
    parse(p, {"-cmd_start_time", "2012/01/30 10:11:12", "-cmd_stop_time", "2012-01-31"});
    ASSERT_TRUE(p.ok);
    uint64_t from = 0, to = 0;
    ASSERT_TRUE(civil_to_filetime(2012, 1, 30, 10, 11, 12, from));
    ASSERT_TRUE(civil_to_filetime(2012, 1, 31, 23, 59, 59, to));
    EXPECT_TRUE(p.opts.time_from.valid);
    EXPECT_EQ(p.opts.time_from.filetime, from);
    EXPECT_EQ(p.opts.time_from.unix_seconds, 1327918272);
    EXPECT_TRUE(p.opts.time_to.valid);
    EXPECT_EQ(p.opts.time_to.filetime, to);

    parsed reversed;
    parse(reversed, {"-cmd_start_time", "2012/02/01", "-cmd_stop_time", "2012/01/31 00:00:00"});
    EXPECT_TRUE(reversed.ok);
    EXPECT_TRUE(reversed.opts.time_from.valid);
    EXPECT_FALSE(reversed.opts.time_to.valid);
    EXPECT_EQ(reversed.err, "invalid stop time, ignoring\n");

    parsed unreadable;
    parse(unreadable, {"-cmd_start_time", "2012/13/01 25:00:00"});
    EXPECT_TRUE(unreadable.ok);
    EXPECT_FALSE(unreadable.opts.time_from.valid);
    EXPECT_EQ(unreadable.err, "invalid start time, ignoring\n");

    parsed no_date;
    parse(no_date, {"-cmd_stop_time", " 10:00:00"});
    EXPECT_FALSE(no_date.ok);
}

}  // namespace
