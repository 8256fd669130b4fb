#include "cli/report.hpp"
#include "output/sinks.hpp"
#include "platform/platform.hpp"

#include <cstdarg>
#include <cstdio>
#include <vector>

void clear_progress_on_terminal() {
    // Only a terminal can show a progress line; a log file or a pipe gets
    // no control sequence.
    if (platform::stderr_is_terminal()) std::fputs(clear_progress_line, stderr);
}

void report_error(const char* format, ...) {
    drain_stdout_before_stderr();
    clear_progress_on_terminal();
    if (!format) return;
    va_list ap;
    va_start(ap, format);
    va_list again;
    va_copy(again, ap);
    const int n = std::vsnprintf(nullptr, 0, format, ap);
    va_end(ap);
    // Every message is written whole, however long: a path that does not
    // resolve or a file that cannot be made may have a name of thousands
    // of characters, and a run that fails must say why.
    if (n >= 0) {
        std::vector<char> buf(static_cast<size_t>(n) + 1);
        std::vsnprintf(buf.data(), buf.size(), format, again);
        std::fwrite(buf.data(), 1, static_cast<size_t>(n), stderr);
    }
    va_end(again);
    std::fflush(stderr);
}

void report_line(std::string_view line) {
    drain_stdout_before_stderr();
    clear_progress_on_terminal();
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}
