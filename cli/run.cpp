#include "cli/run.hpp"

#include "cli/report.hpp"
#include "cli/run_control.hpp"
#include "cli/usage.hpp"
#include "output/datetime.hpp"
#include "output/sinks.hpp"
#include "platform/platform.hpp"
#include "platform/unicode.hpp"
#include "storage/damage.hpp"

#include <iostream>
#include <optional>

namespace {

bool help_asked(arg_list& args) {
    for (const char* name : {"-h", "-help", "/?", "--help"})
        if (take_flag(args, name)) return true;
    return args.size() <= 1;
}

void print_header_to_stdout(const run_state& state) {
    std::cout << state.run_header << '\n';
    std::cout.flush();
}

// Rows are flushed one by one; where nobody watches standard output live
// those flushes are gathered into large writes. Where standard error goes
// to the same place, what is written to it drains standard output first,
// so that the two keep their order.
bool defer_stdout_flushes() { return !platform::stdout_is_terminal(); }

// True when nothing written to `stream` has failed, once it is flushed.
bool written_whole(std::ostream& stream) {
    stream.flush();
    return !stream.fail();
}

// Damage in a container (a chunk or block read as zeros), notes about it
// and the gaps it leaves in the listing go to standard error as they are
// met.
void show_damage_line(const std::string& line) { report_line(line); }

void show_damage_summary() {
    const uint64_t more = damage_not_shown();
    if (more != 0)
        report_error("... and %llu more unreadable chunks or blocks, read as zeros\n",
                     static_cast<unsigned long long>(more));
    const uint64_t gaps = listing_gaps_not_shown();
    if (gaps != 0)
        report_error("... and %llu more entries or indexes that could not be read, not listed\n",
                     static_cast<unsigned long long>(gaps));
}

// Steps before the listing: options, the finishing work, the output stream.
int run_flow(arg_list& args, run_control& control) {
    brelvik_opts opts;
    run_state state;
    std::optional<deferred_flush_scope> stdout_flushes;
    if (defer_stdout_flushes()) stdout_flushes.emplace(std::cout, platform::stdout_shares_stderr());
    // File-system redirection of 32-bit processes on 64-bit Windows is
    // switched off around the banner step and back on after it.
    void* redirection = nullptr;
    const bool redirected = platform::disable_fs_redirection(redirection);
    state.run_header = build_run_header(args, current_time());
    if (redirected) platform::revert_fs_redirection(redirection);

    if (help_asked(args)) {
        usage();
        return 0;
    }

    if (take_value(args, "-xml", state.xml_name)) {
        opts.xml = 1;
    } else if (take_flag(args, "-xml")) {
        print_header_to_stdout(state);
        std::cout << "Error: option requires an output file: -xml <output file>\n";
        std::cout.flush();
        return -1;
    }

    if (!outputs_spare_inputs(args, state.xml_name) || !parse_common_options(opts, args) ||
        !take_vmdk_option(opts, args)) {
        print_header_to_stdout(state);
        return -1;
    }

    configure_run_control(control, opts);
    reset_damage_reports();
    set_damage_sink(show_damage_line);

    std::ostream* out = &std::cout;
    if (!opts.out_path.empty()) {
        const std::u16string wide = uni::to_utf16(opts.out_path);
        std::ostream* file_stream = nullptr;
        if (!wide.empty() && state.results.open_text_write(wide, true)) file_stream = make_file_stream(state.results);
        if (!file_stream) {
            report_error("prob opening results file: %s for writing\n", opts.out_path.c_str());
            return -1;
        }
        out = file_stream;
    }
    // A results file is never watched as a console is.
    std::optional<deferred_flush_scope> file_flushes;
    if (out != &std::cout) file_flushes.emplace(*out);
    opts.out = out;

    // The timeline layouts are read by importers that a header line
    // breaks, so their run header goes to standard error.
    if (take_flag(args, "-filepath_only")) opts.path_only = 1;
    else if (opts.bodyfile || opts.csvl2t) std::cerr << state.run_header << '\n';
    else *out << state.run_header << '\n';

    // ---- the listing: source options, paths and the directory walk ----
    const int rc = run_listing(opts, args, state);
    show_damage_summary();
    set_damage_sink(nullptr);

    // Everything held is passed on before the streams are judged: a write
    // that failed (a full disk, a closed pipe) leaves the listing
    // incomplete, which the run must not report as a success.
    if (opts.out) opts.out->flush();
    file_flushes.reset();
    std::cout.flush();
    stdout_flushes.reset();
    if (!written_whole(*out) || !written_whole(std::cout)) {
        report_error("prob writing the output, the listing is incomplete\n");
        return -1;
    }
    return rc;
}

}  // namespace

std::string build_run_header(const arg_list& args, const calendar_time& now) {
    std::string date_template = "mm/dd/yyyy";
    std::string given;
    if (peek_value(args, "-dateformat", given)) date_template = uni::ascii_lower(given);
    const date_time_text when = format_date_time(now, compile_formats(date_template, "hh:mm:ss.xxx", false));

    std::string command;
    if (has_arg(args, "-pipe")) command = "<filelist> ... | ";
    for (size_t i = 0; i < args.size(); ++i) {
        if (i) command += ' ';
        const bool quote = args[i].find(' ') != std::string::npos;
        if (quote) command.push_back('\'');
        command.append(args[i]);
        if (quote) command.push_back('\'');
    }

    std::string header = banner_line();
    header += '\n';
    header += "run time: " + when.date + ' ' + when.time + '\n';
    header += "\"cmd line: " + command + "\"\n";
    return header;
}

int run_brelvik(std::vector<std::string> args) {
    run_control control;
    begin_run_control(control);
    const int rc = run_flow(args, control);
    finish_run_control(control);
    return rc;
}
