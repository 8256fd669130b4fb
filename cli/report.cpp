#include "cli/report.hpp"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace {
constexpr int longest_message = 4096;
}

void report_error(const char* format, ...) {
    std::fputs(clear_progress_line, stderr);
    if (!format) return;
    va_list ap;
    va_start(ap, format);
    va_list again;
    va_copy(again, ap);
    const int n = std::vsnprintf(nullptr, 0, format, ap);
    va_end(ap);
    if (n >= 0 && n <= longest_message) {
        std::vector<char> buf(static_cast<size_t>(n) + 1);
        std::vsnprintf(buf.data(), buf.size(), format, again);
        std::fwrite(buf.data(), 1, static_cast<size_t>(n), stderr);
    }
    va_end(again);
    std::fflush(stderr);
}
