// The progress line: its text, how often counting draws it, and the
// clearing sequence at its end.
#include "output/progress.hpp"
#include "cli/report.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

// Everything written to a temporary stream so far.
std::string contents(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string s;
    for (int c; (c = std::fgetc(f)) != EOF;) s.push_back(static_cast<char>(c));
    return s;
}

TEST(Progress, TextShowsCountAndTheEndOfLongFolders) {
    EXPECT_EQ(progress_text(42, u"\\Users\\x"), "42 entries  \\Users\\x");
    const std::u16string deep = u"\\" + std::u16string(100, u'a') + u"\\last folder";
    const std::string text = progress_text(7, deep);
    EXPECT_EQ(text.rfind("7 entries  ...", 0), 0u);
    EXPECT_EQ(text.size(), std::string("7 entries  ").size() + progress_folder_chars);
    EXPECT_EQ(text.substr(text.size() - 12), "\\last folder");
    // A cut that would fall inside a surrogate pair moves past it.
    std::u16string pairs;
    for (int i = 0; i < 40; ++i) pairs += u"\U0001F600";
    const std::string cut = progress_text(1, pairs);
    EXPECT_EQ(cut.substr(cut.size() - 4), "\xF0\x9F\x98\x80");
    EXPECT_EQ((cut.size() - std::string("1 entries  ...").size()) % 4, 0u);
}

TEST(Progress, DrawsEveryCheckWhenEnabledAndClearsAtTheEnd) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    listing_progress p;
    begin_progress(p, true);
    p.stream = f;
    p.last_draw = -1e9;  // long ago: the first check draws
    for (uint64_t i = 0; i < progress_entries_per_check - 1; ++i) count_entry(p, u"\\dir");
    EXPECT_EQ(contents(f), "");  // not yet a check
    count_entry(p, u"\\dir");
    const std::string first = "\033[2K\r" + std::to_string(progress_entries_per_check) + " entries  \\dir";
    EXPECT_EQ(contents(f), first);
    // The next check comes within the redraw interval: nothing new.
    for (uint64_t i = 0; i < progress_entries_per_check; ++i) count_entry(p, u"\\dir");
    EXPECT_EQ(contents(f), first);
    end_progress(p);
    EXPECT_EQ(contents(f), first + clear_progress_line);
    std::fclose(f);
}

TEST(Progress, DisabledWritesNothing) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    listing_progress p;
    begin_progress(p, false);
    p.stream = f;
    p.last_draw = -1e9;
    for (uint64_t i = 0; i < 10 * progress_entries_per_check; ++i) count_entry(p, u"\\dir");
    end_progress(p);
    EXPECT_EQ(contents(f), "");
    EXPECT_EQ(p.entries, 10 * progress_entries_per_check);
    std::fclose(f);
}

}  // namespace
