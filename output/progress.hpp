// The progress line of a listing: on standard error, the count of entries
// listed so far and the folder being read, redrawn in place a few times a
// second. It is drawn only where someone watches it: standard error is a
// terminal and the listing itself is not being written to that terminal.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

// The clock is looked at once every this many entries, so counting costs
// an increment and a comparison per entry.
constexpr uint64_t progress_entries_per_check = 256;
// The line is redrawn at most once in this many seconds.
constexpr double progress_redraw_seconds = 0.25;
// Of a long folder path, at most this many characters of its end are
// shown, so that the line stays on one terminal line.
constexpr size_t progress_folder_chars = 50;

struct listing_progress {
    bool enabled = false;
    uint64_t entries = 0;
    uint64_t next_check = progress_entries_per_check;
    double last_draw = 0;
    bool drawn = false;
    std::FILE* stream = stderr;
};

// Turns the line on when `enabled`, starting the clock.
void begin_progress(listing_progress& p, bool enabled);

// The text of the line (without the leading clearing sequence): the count
// and the end of the folder path.
std::string progress_text(uint64_t entries, std::u16string_view folder);

// Draws the line now with `folder` as the folder being read.
void draw_progress(listing_progress& p, std::u16string_view folder);

// Counts one listed entry of `folder`; now and then redraws the line.
inline void count_entry(listing_progress& p, std::u16string_view folder) {
    if (++p.entries < p.next_check) return;
    p.next_check = p.entries + progress_entries_per_check;
    if (p.enabled) draw_progress(p, folder);
}

// Clears the line when it was drawn, with the run's clearing sequence.
void end_progress(listing_progress& p);
