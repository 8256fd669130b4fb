#include "cli/usage.hpp"
#include "output/sinks.hpp"

#include <cstdio>

#ifndef BRELVIK_VERSION
#define BRELVIK_VERSION "1.45"
#endif

namespace {

constexpr const char* usage_lines[] = {
    "Usage:",
    "",
    "  brelvik <directory>    = enumerate a live volume",
    "  brelvik <directory> -drivenum <num> -offset <volume offset>",
    "  brelvik <directory> -image <disk image> [-offset <volume offset>] ",
    "  brelvik <volume> -mft <entry>",
    "  brelvik -image <disk image> [-offset <volume offset>] -mft <entry>",
    "  brelvik <directory> -vmdk \"<file1> | <file2> | ...\"",
    "  brelvik <directory> -vss <#>",
    "  brelvik -?             = this help msg",
    "",
    " Basic options",
    "  -csv                   = output data in csv format",
    "  -xml <xml file>        = output data in xml format",
    "  -alldates              = output all the date/timestamps",
    "  -bodyfile              = output data in body file format (mactime)",
    "  -csvl2t                = output data in log2timeline csv format",
    "",
    " Additional options",
    "  -level <levels>        = [-recurse] down to the specified levels",
    "  -base10                = output in base10 vice hex for csv or xml",
    "  -indx                  = show INDX type records",
    "  -objid                 = show object ID, if it exists",
    "  -deleted               = also show deleted entries (index slack, MFT)",
    "  -filepath_only         = show just the path/file [only w/ -recurse]",
    "  -dateformat mm/dd/yyyy = \"yyyy-mm-dd\" is the default",
    "  -timeformat hh:mm:ss   = \"hh:mm:ss.xxx\" is the default",
    "  -pair_datetime         = combine date/time into 1 field for csv",
    "  -split_pathfile        = path and file in separate fields for csv",
    "  -no_whitespace         = remove whitespace between csv delimiter",
    "  -csv_separator \"|\"     = use a pipe char for csv separator",
    "",
};

}  // namespace

std::string banner_line() { return std::string("brelvik ver ") + BRELVIK_VERSION + " - NTFS directory lister"; }

std::string usage_text() {
    std::string text(77, '-');
    text += "\n\n";
    text += banner_line();
    text += "\n\n";
    for (const char* line : usage_lines) {
        text += line;
        text += '\n';
    }
    return text;
}

void usage() {
    const std::string text = usage_text();
    drain_stdout_before_stderr();
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}
