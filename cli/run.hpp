// The run flow: everything main does once the arguments are UTF-8.
#pragma once

#include "cli/args.hpp"
#include "cli/options.hpp"
#include "output/datetime.hpp"
#include "output/sinks.hpp"

#include <string>
#include <vector>

// Values the flow carries from its set-up into the listing.
struct run_state {
    std::string run_header;   // banner, run time and command line: three lines
    std::string xml_name;     // the file named by -xml, when given
    FileIo results;           // the results file of -out / -outfile
};

// Runs the program on its arguments (element 0 is the program path) and
// returns the process exit code: 0, or -1 on an error detected before the
// listing.
int run_brelvik(std::vector<std::string> args);

// The header written above the output: the banner, the run's date and time
// (date in the -dateformat template found on the line, else mm/dd/yyyy) and
// the command line as typed.
std::string build_run_header(const arg_list& args, const calendar_time& now);

// Everything after the output stream is chosen: the options the listing
// takes itself, the source, the paths and the listing. Returns the exit code.
int run_listing(brelvik_opts& opts, arg_list& args, run_state& state);
