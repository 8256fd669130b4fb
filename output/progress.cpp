#include "output/progress.hpp"

#include "cli/report.hpp"
#include "platform/platform.hpp"
#include "platform/unicode.hpp"

void begin_progress(listing_progress& p, bool enabled) {
    p = listing_progress{};
    p.enabled = enabled;
    if (enabled) p.last_draw = platform::monotonic_seconds();
}

std::string progress_text(uint64_t entries, std::u16string_view folder) {
    if (folder.size() > progress_folder_chars) {
        size_t cut = folder.size() - (progress_folder_chars - 3);
        // Never start inside a surrogate pair.
        if (folder[cut] >= 0xDC00 && folder[cut] <= 0xDFFF) ++cut;
        std::string text = std::to_string(entries) + " entries  ..." + uni::to_shown_utf8(folder.substr(cut));
        return text;
    }
    return std::to_string(entries) + " entries  " + uni::to_shown_utf8(folder);
}

void draw_progress(listing_progress& p, std::u16string_view folder) {
    const double now = platform::monotonic_seconds();
    if (now - p.last_draw < progress_redraw_seconds) return;
    p.last_draw = now;
    const std::string text = "\033[2K\r" + progress_text(p.entries, folder);
    std::fwrite(text.data(), 1, text.size(), p.stream);
    std::fflush(p.stream);
    p.drawn = true;
}

void end_progress(listing_progress& p) {
    if (p.drawn) {
        std::fputs(clear_progress_line, p.stream);
        std::fflush(p.stream);
    }
    p.drawn = false;
}
