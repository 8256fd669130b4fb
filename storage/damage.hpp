// Damage met while reading a container: a chunk or block that could not be
// read (a checksum that fails, a bad deflate stream, a table entry that
// points past its file, a missing segment). The readers return zeros for
// such a place and report it here, as the listing reports what of the
// volume it could not read; the run decides where the lines go.
// Storage writes nothing to the console itself.
//
// Each place is reported once per run however often it is read (sources
// are opened more than once per run), the first `damage_lines_shown`
// places as a line each, the rest only counted.
#pragma once

#include <cstdint>
#include <string>

// Places reported with a line of their own; after them only a count.
constexpr uint32_t damage_lines_shown = 20;
// Distinct places remembered to keep repeats quiet; beyond this many a
// crafted image could make the memory of them grow without bound, so
// further places are counted without that check.
constexpr uint32_t damage_places_remembered = 100000;

// Receives each line to show (no trailing newline).
using damage_sink = void (*)(const std::string& line);

// Sets where lines go; nullptr drops them (the default).
void set_damage_sink(damage_sink sink);

// Reports that `place` (for example "chunk 17") of `file` could not be read
// and was read as zeros; `why` says what was wrong.
void report_damage(const std::string& file, const std::string& place, const std::string& why);

// A note about a container that is not damage (a VHDX log not replayed),
// shown once per run for each distinct text.
void report_container_note(const std::string& text);

// Something of the volume that could not be read and is therefore missing
// from the listing: index blocks a cut image does not hold, a child's
// record that fails its checks. Each distinct text is shown once, the first
// `damage_lines_shown` of them as a line each, the rest only counted, so
// that a listing with gaps does not pass for a complete one.
void report_listing_gap(const std::string& text);
// Gaps reported beyond the shown lines.
uint64_t listing_gaps_not_shown();

// Damaged places reported beyond the shown lines.
uint64_t damage_not_shown();
// Damaged places reported in all.
uint64_t damage_count();

// Forgets everything reported (tests; each run starts empty).
void reset_damage_reports();
