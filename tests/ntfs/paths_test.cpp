// Entry-to-path and path-to-entry on every test volume, against the paths
// The Sleuth Kit lists; and the resolver's own rules on the fixtures.
#include "ntfs/names.hpp"
#include "ntfs/open_volume.hpp"
#include "ntfs/resolve.hpp"
#include "platform/unicode.hpp"
#include "support/fls_tree.hpp"
#include "support/tools.hpp"
#include "support/tsk.hpp"
#include "support/volumes.hpp"

#include <gtest/gtest.h>

#include <set>

namespace {

TEST(EntryPaths, MatchTheSleuthKitOnEveryVolume) {
    BRELVIK_NEED_TOOL("fls");
    BRELVIK_NEED_TOOL("fsstat");
    for (const auto& tv : test_volumes::all()) {
        SCOPED_TRACE(tv.label);
        fls_tree::tree t;
        ASSERT_TRUE(fls_tree::read(tv.path, tv.offset, t));
        volume_source src;
        src.image = uni::to_utf16(tv.path);
        src.offset = static_cast<int64_t>(tv.offset);
        std::unique_ptr<ntfs_volume> v;
        ASSERT_TRUE(open_source_volume(src, v));
        size_t checked = 0;
        std::set<uint64_t> entries;
        for (const auto& [entry, p] : t.paths) entries.insert(entry);
        for (const auto& [entry, p] : t.maybe_paths) entries.insert(entry);
        for (uint64_t entry : entries) {
            const auto& expected = t.paths[entry];
            const auto& maybe = t.maybe_paths[entry];
            std::vector<std::u16string> texts;
            ASSERT_TRUE(collect_entry_paths(*v, entry, {}, texts)) << entry;
            std::set<std::string> ours;
            for (auto p : texts) {
                while (!p.empty() && p.back() == u'\\') p.pop_back();
                ours.insert("\\" + uni::to_utf8(p));
            }
            // fls lists a file under every index entry naming it; ours
            // come from its names. Both must agree.
            for (const auto& p : expected) EXPECT_TRUE(ours.count(p)) << "entry " << entry << " lacks " << p;
            for (const auto& p : ours)
                EXPECT_TRUE(expected.count(p) || maybe.count(p)) << "entry " << entry << " has extra " << p;
            ++checked;
        }
        EXPECT_GT(checked, 10u);
    }
}

TEST(ResolvePath, EveryListedPathResolvesToItsEntry) {
    BRELVIK_NEED_TOOL("fls");
    BRELVIK_NEED_TOOL("fsstat");
    for (const auto& tv : test_volumes::all()) {
        SCOPED_TRACE(tv.label);
        fls_tree::tree t;
        ASSERT_TRUE(fls_tree::read(tv.path, tv.offset, t));
        // Spelled as listed, even names that differ from another only in
        // case find their own entry.
        std::unique_ptr<ntfs_volume> v;
        ASSERT_TRUE(open_volume_by_path(uni::to_utf16(tv.path), static_cast<int64_t>(tv.offset), v));
        for (const auto& [entry, paths] : t.paths) {
            for (const auto& p : paths) {
                resolve_result r;
                ASSERT_TRUE(resolve_path(*v, uni::to_utf16(p), false, nullptr, r)) << p;
                EXPECT_EQ(r.found, entry) << p;
            }
        }
    }
}

}  // namespace
