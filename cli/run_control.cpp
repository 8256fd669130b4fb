#include "cli/run_control.hpp"

#include "cli/report.hpp"
#include "output/sinks.hpp"
#include "platform/platform.hpp"
#include "platform/unicode.hpp"

#include <cstdio>

namespace {
// Processed output, wrap at end of line, virtual-terminal processing.
constexpr uint32_t console_mode_bits = 7;
}  // namespace

void begin_run_control(run_control& control) {
    const uint32_t mode = platform::stderr_console_mode();
    if (mode != 0) platform::set_stderr_console_mode(mode | console_mode_bits);
    control.saved_console_mode = mode;
}

void configure_run_control(run_control& control, const cmd_params& params) {
    control.clear_progress = params.progress != 0;
    if (params.diag_enabled && params.diag_stream) control.diag_log_path = params.diag_log_path;
    control.print_elapsed = params.profile != 0;
    if (control.print_elapsed || !control.diag_log_path.empty()) control.start_time = platform::monotonic_seconds();
    if (!params.done_event_name.empty()) {
        control.done_event_name = params.done_event_name;
        control.signal_done = platform::signal_named_event;
    }
}

std::string elapsed_text(double seconds) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "->%.3f secs", seconds);
    return buf;
}

void finish_run_control(run_control& control) {
    if (control.saved_console_mode != 0) platform::set_stderr_console_mode(control.saved_console_mode);
    if (control.clear_progress) {
        clear_progress_on_terminal();
        std::fflush(stderr);
    }
    if (control.start_time != 0) {
        double elapsed = platform::monotonic_seconds() - control.start_time;
        if (elapsed < 0) elapsed = 0;
        const std::string text = elapsed_text(elapsed);
        if (control.print_elapsed) {
            drain_stdout_before_stderr();
            std::fprintf(stderr, "%s\n", text.c_str());
            std::fflush(stderr);
        }
        if (!control.diag_log_path.empty()) {
            FileIo log;
            const std::u16string wide = uni::to_utf16(control.diag_log_path);
            if (!wide.empty() && log.open_untranslated(wide, true, false)) log.write(text.data(), text.size());
        }
    }
    if (control.signal_done) control.signal_done(control.done_event_name);
    control = run_control{};
}
