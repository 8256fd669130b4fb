// Error and note messages on standard error.
#pragma once

#include <string_view>

// Clears the progress line ("\033[2K\r    \r") when standard error is a
// terminal and writes the printf-formatted message to standard error,
// whole at any length.
void report_error(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Writes `line` and a line break to standard error as report_error does,
// at any length: the lines about damage and listing gaps name folders
// whose paths can be thousands of characters long, and are put together
// before they are written rather than formatted.
void report_line(std::string_view line);

// Writes the sequence that clears the progress line to standard error when
// standard error is a terminal, and nothing otherwise.
void clear_progress_on_terminal();

// The sequence that clears the progress line.
constexpr const char* clear_progress_line = "\033[2K\r    \r";
