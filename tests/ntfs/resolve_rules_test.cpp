// The resolver's own rules on main.img (spellings, prefixes, links), and
// links and parent references damaged so that they loop.
#include "ntfs/names.hpp"
#include "ntfs/open_volume.hpp"
#include "ntfs/resolve.hpp"
#include "platform/unicode.hpp"
#include "support/image_patch.hpp"
#include "support/test_paths.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <utility>

namespace {

struct case_row {
    const char16_t* path;
    bool ok;
    uint64_t found;
    const char16_t* display;  // null: not checked
};

void check(ntfs_volume& v, const case_row& c) {
    const std::string p = uni::to_utf8(c.path);
    resolve_result r;
    ASSERT_EQ(resolve_path(v, c.path, true, nullptr, r), c.ok) << p;
    if (!c.ok) return;
    EXPECT_EQ(r.found, c.found) << p;
    if (c.display) {
        EXPECT_EQ(uni::to_utf8(r.display), uni::to_utf8(c.display)) << p;
    }
}

TEST(ResolveRules, SpellingsPrefixesAndLinks) {
    const std::string path = test_paths::fixture("main.img");
    if (path.empty()) GTEST_SKIP() << "fixture missing";
    std::unique_ptr<ntfs_volume> v;
    ASSERT_TRUE(open_volume_by_path(uni::to_utf16(path), 0, v));
    const case_row rows[] = {
        {u"\\", true, 5, u"\\"},
        {u"/", true, 5, u"\\"},
        {u"C:\\", true, 5, u"C:"},
        {u"", false, 0, nullptr},
        {u"C:\\docs", true, 64, u"C:\\docs"},
        {u"\\DOCS\\Reports\\2023\\Q4\\SUMMARY.TXT", true, 69, nullptr},
        {u"/docs/reports/2023", true, 66, u"\\docs\\reports\\2023"},
        {u"docs/reports\\2023", false, 0, nullptr},  // split on '/' only
        {u"\\names\\CAF\u00c9.txt", false, 0, nullptr},  // only ASCII letters fold
        {u"\\names\\caf\u00e9.TXT", true, 85, nullptr},
        {u"\\names\\\u043f\u0440\u0438\u0432\u0435\u0442.txt", false, 0, nullptr},
        {u"\\names\\\u041f\u0440\u0438\u0432\u0435\u0442.TXT", true, 86, nullptr},
        {u"\\streams\\with_ads.txt:Zone.Identifier", true, 76, u"\\streams\\with_ads.txt:Zone.Identifier"},
        {u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy3\\docs", true, 64, u"\\docs"},
        {u"\\\\?\\globalroot\\device\\harddiskvolumeshadowcopy12\\docs\\readme.txt", true, 71, nullptr},
        {u"\\  docs  \\\treadme.txt  ", true, 71, nullptr},  // blanks and tabs around segments
        {u"\\names\\  two  spaces .txt", true, 97, nullptr},
        {u"\\names\\two  spaces .txt", false, 0, nullptr},  // on-disk blanks are part of the name
        {u"\\names\\posix\\CASE.TXT", true, 99, nullptr},  // Case.txt (99) and case.txt (100): lower wins
        {u"\\x\\x", true, 102, nullptr},
        {u"\\links\\same_dir_link.txt", true, 81, nullptr},
        {u"\\links\\other\\other_dir_link.txt", true, 81, nullptr},
        {u"\\links\\other_dir_link.txt", true, 81, nullptr},  // a link's names go under every parent
        {u"\\reparse\\junction\\deeper\\found.txt", true, 1734, nullptr},
        {u"\\reparse\\symlink_abs\\2023", true, 66, nullptr},
        {u"\\reparse\\file_link.txt", true, 72, nullptr},
        {u"\\reparse\\symlink_rel\\reports", false, 0, nullptr},  // ".." is no child of the root
        {u"\\docs\\nope", false, 0, nullptr},
        {u"\\docs\\readme.txt\\deeper", false, 0, nullptr},
        {u"\\empty_dir\\a", false, 0, nullptr},
    };
    // Twice: the second pass answers from the directory cache.
    for (int pass = 0; pass < 2; ++pass)
        for (const auto& c : rows) check(*v, c);
}

// Names from a host path on a mounted volume are spelled as stored: of two
// names that differ in case only, each finds its own entry; other spellings
// still resolve as on Windows (a mount that ignores case, a stream). A
// Windows path prefers the spelled twin as well.
TEST(ResolveRules, HostNamesMatchAsStoredFirst) {
    const std::string path = test_paths::fixture("main.img");
    if (path.empty()) GTEST_SKIP() << "fixture missing";
    std::unique_ptr<ntfs_volume> v;
    ASSERT_TRUE(open_volume_by_path(uni::to_utf16(path), 0, v));
    const std::pair<const char16_t*, uint64_t> rows[] = {
        {u"\\names\\posix\\case.txt", 100},
        {u"\\names\\posix\\Case.txt", 99},
        {u"\\DOCS\\readme.txt", 71},
        {u"\\streams\\with_ads.txt:Zone.Identifier", 76},
    };
    for (int pass = 0; pass < 2; ++pass)
        for (const auto& [p, want] : rows) {
            resolve_result r;
            ASSERT_TRUE(resolve_path(*v, p, false, nullptr, r, name_match::exact_first)) << uni::to_utf8(p);
            EXPECT_EQ(r.found, want) << uni::to_utf8(p);
        }
    // Windows paths too: of the twins the one spelled as typed, a stream
    // named after it; any other spelling finds the lower entry, as before.
    const std::pair<const char16_t*, uint64_t> windows_rows[] = {
        {u"\\names\\posix\\case.txt", 100},
        {u"\\names\\posix\\case.txt:x", 100},
        {u"\\names\\posix\\Case.txt", 99},
        {u"\\NAMES\\POSIX\\CASE.TXT", 99},
        {u"\\names\\posix\\cASE.txt", 99},
    };
    for (const auto& [p, want] : windows_rows) {
        resolve_result r;
        ASSERT_TRUE(resolve_path(*v, p, false, nullptr, r)) << uni::to_utf8(p);
        EXPECT_EQ(r.found, want) << uni::to_utf8(p);
    }
}

// A copy of main.img with `edit` applied to record `entry`, opened from memory.
std::unique_ptr<ntfs_volume> patched(const std::vector<uint8_t>& img, uint64_t entry,
                                     const std::function<void(std::span<uint8_t>)>& edit,
                                     std::vector<uint8_t>* keep = nullptr) {
    std::unique_ptr<ntfs_volume> v;
    if (!open_memory_volume(img, 0, v)) return nullptr;
    auto copy = img;
    image_patch::record(copy, *v, entry, edit);
    if (keep) *keep = copy;
    std::unique_ptr<ntfs_volume> out;
    return open_memory_volume(std::move(copy), 0, out) ? std::move(out) : nullptr;
}

// Renames the `nth` $FILE_NAME of a record to a name no longer than its own.
std::function<void(std::span<uint8_t>)> rename(int nth, std::u16string_view to) {
    return [=](std::span<uint8_t> r) {
        const uint64_t val = image_patch::value_at(r, image_patch::find_attr(r, 0x30, nth));
        ASSERT_LE(to.size(), r[val + 0x40]);
        r[val + 0x40] = static_cast<uint8_t>(to.size());
        image_patch::put_utf16(r, val + 66, to);
    };
}

TEST(ResolveRules, DamagedNamesAndLinks) {
    const std::string path = test_paths::fixture("main.img");
    if (path.empty()) GTEST_SKIP() << "fixture missing";
    const auto img = image_patch::load(path);

    // A hard link of 81 in links\ renamed "other", like folder 80: the
    // lower entry wins, and the folder still resolves below.
    auto v = patched(img, 81, rename(1, u"other"));
    ASSERT_TRUE(v);
    check(*v, {u"\\links\\other", true, 80, nullptr});
    check(*v, {u"\\links\\OTHER\\other_dir_link.txt", true, 81, nullptr});
    // README.TXT (84) renamed like café.txt (85): the lower entry wins,
    // whichever name was there first.
    v = patched(img, 84, rename(0, u"caf\u00e9.txt"));
    ASSERT_TRUE(v);
    check(*v, {u"\\names\\caf\u00e9.txt", true, 84, nullptr});

    // The junction given its own target again, then pointing at itself:
    // that loop ends, and fails.
    for (const std::u16string_view to : {u"C:\\reparse\\target", u"\\reparse\\junction"}) {
        const bool loops = to[0] == u'\\';
        v = patched(img, 1731, [to](std::span<uint8_t> r) {
            const uint64_t val = image_patch::value_at(r, image_patch::find_attr(r, 0xC0));
            ASSERT_EQ(le::u16(r, val + 14), 2 * to.size());
            image_patch::put_utf16(r, val + 16 + le::u16(r, val + 12), to);
        });
        ASSERT_TRUE(v);
        check(*v, {u"\\reparse\\junction\\deeper", !loops, 1730, nullptr});
        check(*v, {u"\\reparse\\junction", !loops, 1729, nullptr});
        check(*v, {u"\\reparse\\target\\deeper\\found.txt", true, 1734, nullptr});
    }
}

// Names whose UTF-16 holds a surrogate without its partner, as the paths
// that -mft climbs to hold them: each finds its own entry, not the first
// other such name of the folder.
TEST(ResolveRules, NamesWithUnpairedSurrogatesFindTheirOwnEntries) {
    const std::string path = test_paths::fixture("main.img");
    if (path.empty()) GTEST_SKIP() << "fixture missing";
    const std::u16string docs = std::u16string(u"d") + char16_t(0xD800) + u"cs";
    const std::u16string empty = std::u16string(u"e") + char16_t(0xDC00);
    std::vector<uint8_t> img;
    ASSERT_TRUE(patched(image_patch::load(path), 64, rename(0, docs), &img));
    auto v = patched(img, 68, rename(0, empty));
    ASSERT_TRUE(v);
    const std::u16string paths[] = {u"\\" + empty, u"\\" + docs + u"\\readme.txt", u"\\" + docs + u"\\reports\\2023",
                                    u"\\e" + std::u16string(1, char16_t(0xDC01))};
    check(*v, {paths[0].c_str(), true, 68, nullptr});
    check(*v, {paths[1].c_str(), true, 71, nullptr});
    check(*v, {paths[2].c_str(), true, 66, nullptr});
    check(*v, {paths[3].c_str(), false, 0, nullptr});  // another lone unit is another name
}

TEST(ResolveRules, ParentCycleEndsEntryToPaths) {
    const std::string path = test_paths::fixture("main.img");
    if (path.empty()) GTEST_SKIP() << "fixture missing";
    // docs (64) names reports (65) as its parent, and reports names docs.
    std::vector<uint8_t> img;
    auto v = patched(image_patch::load(path), 64, [](std::span<uint8_t> r) {
        const uint64_t val = image_patch::value_at(r, image_patch::find_attr(r, 0x30));
        le::put_u64(r, val, le::u64(r, val) - 5 + 65);
    }, &img);
    ASSERT_TRUE(v);
    const std::string file = testing::TempDir() + "brelvik_parent_cycle.img";
    {
        std::ofstream f(file, std::ios::binary);
        f.write(reinterpret_cast<const char*>(img.data()), static_cast<std::streamsize>(img.size()));
    }
    volume_source src;
    src.image = uni::to_utf16(file);
    struct row {
        uint64_t entry;
        std::vector<std::u16string> paths;
    };
    const row rows[] = {
        {69, {}},  // every way up runs into the cycle
        {64, {}},
        {65, {}},
        {1734, {u"C:\\reparse\\target\\deeper\\found.txt"}},
        {102, {u"C:\\x\\x"}},
        {5, {u"C:\\"}},
    };
    for (const auto& r : rows) {
        std::vector<std::u16string> paths;
        EXPECT_TRUE(entry_to_paths(src, u"C:\\", r.entry, paths)) << r.entry;
        EXPECT_EQ(paths, r.paths) << r.entry;
    }
    // Downwards the index still leads to the files.
    check(*v, {u"\\docs\\reports\\2023\\q4\\summary.txt", true, 69, nullptr});
    std::remove(file.c_str());
}

}  // namespace
