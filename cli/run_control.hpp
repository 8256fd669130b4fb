// What the run finishes on every exit path: the console mode, the progress
// line, the elapsed time and the named event of -signal.
#pragma once

#include "cli/params.hpp"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

struct run_control {
    uint32_t saved_console_mode = 0;  // 0: nothing to restore
    bool clear_progress = false;
    double start_time = 0;            // monotonic seconds; 0: no timing
    bool print_elapsed = false;
    std::string diag_log_path;        // the open -diags log; gets the elapsed time
    std::string done_event_name;
    std::function<bool(std::string_view)> signal_done;
};

// Turns on processed output, wrapping and escape sequences for standard
// error, keeping the mode it had.
void begin_run_control(run_control& control);

// Takes the finishing work the options ask for.
void configure_run_control(run_control& control, const cmd_params& params);

// "->", the seconds, " secs".
std::string elapsed_text(double seconds);

// Restores the console, clears the progress line, reports the elapsed time
// and signals the event, as configured.
void finish_run_control(run_control& control);
