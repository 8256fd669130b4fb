#include "storage/damage.hpp"

#include <set>

namespace {

struct damage_state {
    damage_sink sink = nullptr;
    std::set<std::string> seen;   // file + place of the places reported so far
    std::set<std::string> notes;  // notes shown so far
    uint64_t count = 0;
    uint64_t not_shown = 0;
    std::set<std::string> gaps;  // listing gaps reported so far
    uint64_t gap_count = 0;
    uint64_t gaps_not_shown = 0;
};

damage_state& state() {
    static damage_state s;
    return s;
}

}  // namespace

void set_damage_sink(damage_sink sink) { state().sink = sink; }

void report_damage(const std::string& file, const std::string& place, const std::string& why) {
    damage_state& s = state();
    std::string key = file;
    key += '\n';
    key += place;
    if (s.seen.count(key)) return;
    if (s.seen.size() < damage_places_remembered) s.seen.insert(std::move(key));
    ++s.count;
    if (s.count > damage_lines_shown) {
        ++s.not_shown;
        return;
    }
    if (s.sink) s.sink(file + ": " + place + " unreadable (" + why + "), read as zeros");
}

void report_container_note(const std::string& text) {
    damage_state& s = state();
    if (!s.notes.insert(text).second) return;
    if (s.sink) s.sink(text);
}

void report_listing_gap(const std::string& text) {
    damage_state& s = state();
    if (s.gaps.count(text)) return;
    if (s.gaps.size() < damage_places_remembered) s.gaps.insert(text);
    if (++s.gap_count > damage_lines_shown) {
        ++s.gaps_not_shown;
        return;
    }
    if (s.sink) s.sink(text);
}

uint64_t listing_gaps_not_shown() { return state().gaps_not_shown; }

uint64_t damage_not_shown() { return state().not_shown; }
uint64_t damage_count() { return state().count; }

void reset_damage_reports() {
    damage_state& s = state();
    s.seen.clear();
    s.notes.clear();
    s.count = 0;
    s.not_shown = 0;
    s.gaps.clear();
    s.gap_count = 0;
    s.gaps_not_shown = 0;
}
