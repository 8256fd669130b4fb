// Deleted entries: names read from index slack on crafted nodes, the pass
// over the MFT of the fixture of deleted entries, and the placing of
// deleted records (orphans, reused parents, parent cycles).
#include "ntfs/deleted.hpp"
#include "ntfs/file_record.hpp"
#include "ntfs/index_slack.hpp"
#include "ntfs/open_volume.hpp"
#include "storage/damage.hpp"
#include "support/image_patch.hpp"
#include "support/test_paths.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

constexpr uint64_t dir = 64;
constexpr uint64_t limit = 1000;  // entries of the MFT
constexpr uint64_t node = 24;     // the node header of an INDX block

uint64_t ref(uint64_t entry, uint16_t seq) { return entry | uint64_t(seq) << 48; }

// An index entry whose key is a $FILE_NAME of `name` in `parent`.
std::vector<uint8_t> index_entry(uint64_t file_ref, uint64_t parent, std::u16string_view name, uint8_t ns = 1) {
    const size_t key = 66 + 2 * name.size();
    std::vector<uint8_t> e(16 + (key + 7) / 8 * 8, 0);
    le::put_u64(e, 0, file_ref);
    le::put_u16(e, 8, static_cast<uint16_t>(e.size()));
    le::put_u16(e, 10, static_cast<uint16_t>(key));
    le::put_u64(e, 16, ref(parent, 1));
    le::put_u64(e, 16 + 48, 4321);  // data size
    e[16 + 64] = static_cast<uint8_t>(name.size());
    e[16 + 65] = ns;
    image_patch::put_utf16(e, 16 + 66, name);
    return e;
}

// An INDX block whose node holds `live` then the end entry, with `slack`
// written after it.
struct block {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(4096, 0);
    uint64_t pos = node + 16;

    void put(const std::vector<uint8_t>& e) {
        std::copy(e.begin(), e.end(), bytes.begin() + static_cast<std::ptrdiff_t>(pos));
        pos += e.size();
    }
    block(const std::vector<std::vector<uint8_t>>& live, const std::vector<std::vector<uint8_t>>& slack) {
        std::copy_n("INDX", 4, bytes.begin());
        for (const auto& e : live) put(e);
        std::vector<uint8_t> end(16, 0);
        le::put_u16(end, 8, 16);
        le::put_u16(end, 12, 2);
        put(end);
        le::put_u32(bytes, node, 16);
        le::put_u32(bytes, node + 4, static_cast<uint32_t>(pos - node));
        le::put_u32(bytes, node + 8, 4096 - node);
        for (const auto& e : slack) put(e);
    }
};

index_slack slack_of(const block& b, bool whole) {
    index_slack s;
    s.directory = dir;
    s.entry_limit = limit;
    collect_node_slack(b.bytes, node, whole, s);
    return s;
}

std::vector<std::u16string> names_in(const block& b, bool whole) {
    const index_slack s = slack_of(b, whole);
    std::vector<std::u16string> out;
    for (const auto& e : s.entries) out.push_back(e.name.name);
    return out;
}

TEST(IndexSlack, WholeEntriesAfterTheEndEntryAndInFreeBlocks) {
    const block b({index_entry(ref(70, 1), dir, u"live.txt")},
                  {index_entry(ref(71, 1), dir, u"gone.txt"), index_entry(ref(72, 3), dir, u"Ünïcode 😀.txt", 0)});
    EXPECT_EQ(names_in(b, false), (std::vector<std::u16string>{u"gone.txt", u"Ünïcode 😀.txt"}));
    // A block the bitmap marks free is read from its first entry on.
    EXPECT_EQ(names_in(b, true), (std::vector<std::u16string>{u"live.txt", u"gone.txt", u"Ünïcode 😀.txt"}));

    const index_slack s = slack_of(b, false);
    ASSERT_EQ(s.entries.size(), 2u);
    EXPECT_EQ(s.entries[1].file_ref, ref(72, 3));
    EXPECT_EQ(s.entries[1].name.name_space, 0);
    EXPECT_EQ(s.entries[1].name.parent_ref, ref(dir, 1));
    EXPECT_EQ(le::u64(le::bytes(s.entries[1].name.head.data(), 68), 48), 4321u);
}

TEST(IndexSlack, GarbageAndDamagedEntriesAreLeftOut) {
    std::vector<std::vector<uint8_t>> slack;
    auto bad = [&](auto edit) {
        auto e = index_entry(ref(80, 1), dir, u"damaged.txt");
        edit(e);
        slack.push_back(e);
    };
    bad([](auto& e) { le::put_u16(e, 16 + 66 + 4, 0xD800); });   // a high surrogate without its low one
    bad([](auto& e) { le::put_u16(e, 16 + 66, 0xDC00); });       // a low surrogate alone
    bad([](auto& e) { le::put_u16(e, 16 + 66 + 2, 0); });        // a NUL inside the name
    bad([](auto& e) { le::put_u64(e, 16, ref(65, 1)); });        // another folder's name
    bad([](auto& e) { le::put_u64(e, 0, ref(limit, 1)); });      // an entry past the MFT
    bad([](auto& e) { le::put_u64(e, 0, 0); });                  // no reference
    bad([](auto& e) { e[16 + 65] = 4; });                        // no such namespace
    bad([](auto& e) { e[16 + 64] = 0; });                        // no name
    bad([](auto& e) { le::put_u16(e, 10, 66); });                // a key too short for its name
    bad([](auto& e) { le::put_u16(e, 8, static_cast<uint16_t>(le::u16(e, 8) + 4)); });  // a length off the alignment
    bad([](auto& e) { le::put_u16(e, 8, 800); });                // longer than any entry
    std::vector<uint8_t> garbage(1024);
    std::mt19937 rng(16);
    for (auto& b : garbage) b = static_cast<uint8_t>(rng());
    slack.push_back(garbage);
    // After all of it, a whole entry is still found.
    slack.push_back(index_entry(ref(81, 1), dir, u"found after the garbage.txt"));
    const block b({}, slack);
    EXPECT_EQ(names_in(b, false), (std::vector<std::u16string>{u"found after the garbage.txt"}));
}

TEST(IndexSlack, AnEndEntryWrittenOverAnOlderEntryGivesNoRecordNumber) {
    // A node that shrank: its end entry (with the VCN of its subnode) now
    // stands over the first bytes of an entry it used to hold, so the
    // VCN is where that entry's file reference was; the lengths, the key and
    // the name after it are still whole. The VCN is no record of the file.
    std::vector<uint8_t> overlap(16, 0);
    le::put_u16(overlap, 8, 24);
    le::put_u16(overlap, 12, 3);  // a subnode, the last entry
    auto older = index_entry(ref(200, 2), dir, u"overwritten reference.txt");
    le::put_u64(older, 0, 120);   // VCN 120 of the subnode, no sequence number
    overlap.insert(overlap.end(), older.begin(), older.end());
    const block b({}, {overlap, index_entry(ref(201, 1), dir, u"whole.txt")});
    const index_slack s = slack_of(b, false);
    ASSERT_EQ(s.entries.size(), 1u);
    EXPECT_EQ(s.entries[0].file_ref, ref(201, 1));
    EXPECT_EQ(s.entries[0].name.name, u"whole.txt");
    // The same entry with its reference whole is read.
    const block kept({}, {index_entry(ref(200, 2), dir, u"overwritten reference.txt")});
    EXPECT_EQ(names_in(kept, false), (std::vector<std::u16string>{u"overwritten reference.txt"}));
}

TEST(IndexSlack, TheNodeAndTheBufferBoundTheScan) {
    // A name that runs past the end of the block is not read.
    block cut({}, {});
    const auto e = index_entry(ref(90, 1), dir, u"a name running past the block.txt");
    cut.pos = 4096 - 96;
    std::copy_n(e.begin(), 96, cut.bytes.begin() + 4096 - 96);
    EXPECT_TRUE(names_in(cut, false).empty());

    // The allocated size ends the node: an entry beyond it is not slack.
    block small({}, {index_entry(ref(91, 1), dir, u"beyond.txt")});
    le::put_u32(small.bytes, node + 8, le::u32(small.bytes, node + 4) + 8);
    EXPECT_TRUE(names_in(small, false).empty());
    // An allocated size past the buffer leaves the buffer as the bound.
    block huge({}, {index_entry(ref(92, 1), dir, u"inside.txt")});
    le::put_u32(huge.bytes, node + 8, 0xFFFFFFF0);
    EXPECT_EQ(names_in(huge, false), (std::vector<std::u16string>{u"inside.txt"}));
    // Bytes in use beyond the node: nobody can tell where its slack starts.
    block lost({}, {index_entry(ref(93, 1), dir, u"lost.txt")});
    le::put_u32(lost.bytes, node + 4, 5000);
    EXPECT_TRUE(names_in(lost, false).empty());
    EXPECT_EQ(names_in(lost, true), (std::vector<std::u16string>{u"lost.txt"}));
    // A buffer too short for a node header.
    index_slack s;
    collect_node_slack(le::bytes(lost.bytes.data(), 30), node, true, s);
    EXPECT_TRUE(s.entries.empty());
}

bool has(const std::vector<uint64_t>& v, uint64_t e) { return std::find(v.begin(), v.end(), e) != v.end(); }

const deleted_record* place_of(const deleted_map& m, uint64_t e) {
    for (const auto& r : m.records)
        if (r.entry == e) return &r;
    return nullptr;
}

// The fixture: big/ (64) lost gone_dir/ (571) with inner_1..5 (573-577),
// nested/ (572) with deep.txt (578), and orphan.txt (579), whose folder's
// record (65) now holds big/fresh/.
TEST(DeletedMap, ThePassOverTheFixture) {
    const std::string path = test_paths::fixture("deleted.img");
    ASSERT_FALSE(path.empty());
    std::vector<uint8_t> img = image_patch::load(path);
    std::unique_ptr<ntfs_volume> v;
    ASSERT_TRUE(open_memory_volume(img, 0, v));
    deleted_map m;
    ASSERT_TRUE(build_deleted_map(*v, m));
    EXPECT_TRUE(std::is_sorted(m.links.begin(), m.links.end(), [](const deleted_link& a, const deleted_link& b) {
        return a.parent != b.parent ? a.parent < b.parent : a.entry < b.entry;
    }));
    std::vector<uint8_t> rec;
    for (const auto& l : m.links) {
        ASSERT_TRUE(read_file_record(*v, l.entry, rec));
        EXPECT_FALSE(le::u16(rec, file_header::flags) & record_in_use) << l.entry;
    }
    EXPECT_TRUE(has(deleted_children(*v, m, 64), 571));
    EXPECT_EQ(deleted_children(*v, m, 571), (std::vector<uint64_t>{572, 573, 574, 575, 576, 577}));
    EXPECT_EQ(deleted_children(*v, m, 572), (std::vector<uint64_t>{578}));
    EXPECT_TRUE(deleted_children(*v, m, 65).empty());  // reused: fresh/ is not orphan_parent/
    EXPECT_EQ(m.orphans, (std::vector<uint64_t>{579}));
    uint64_t folder = 0;
    std::vector<std::u16string> names;
    ASSERT_TRUE(deleted_entry_place(*v, m, 578, folder, names));
    EXPECT_EQ(folder, 64u);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"gone_dir", u"nested", u"deep.txt"}));
    ASSERT_TRUE(deleted_entry_place(*v, m, 579, folder, names));
    EXPECT_EQ(folder, orphan_folder_entry(*v));
    EXPECT_EQ(names, (std::vector<std::u16string>{u"orphan.txt"}));
    EXPECT_FALSE(deleted_entry_place(*v, m, 64, folder, names));  // in use: not in the map

    // gone_dir/ made to name its own subfolder nested/ as parent: a cycle.
    // One of the two heads an orphan tree, the other hangs below it, and
    // neither is listed twice.
    image_patch::record(img, *v, 571, [](std::span<uint8_t> r) {
        const uint64_t fn = image_patch::find_attr(r, attr_file_name);
        le::put_u64(r, image_patch::value_at(r, fn), ref(572, 1));
    });
    ASSERT_TRUE(open_memory_volume(img, 0, v));
    ASSERT_TRUE(build_deleted_map(*v, m));
    classify_deleted(*v, m);
    EXPECT_EQ(m.orphans, (std::vector<uint64_t>{572, 579}));
    EXPECT_EQ(place_of(m, 571)->place, deleted_place::orphan_tree);
    EXPECT_EQ(place_of(m, 573)->place, deleted_place::orphan_tree);
    EXPECT_EQ(deleted_children(*v, m, 572), (std::vector<uint64_t>{571, 578}));
    EXPECT_FALSE(has(deleted_children(*v, m, 571), 572));
    ASSERT_TRUE(deleted_entry_place(*v, m, 573, folder, names));
    EXPECT_EQ(folder, orphan_folder_entry(*v));
    EXPECT_EQ(names, (std::vector<std::u16string>{u"nested", u"gone_dir", u"inner_1.txt"}));
}

TEST(DeletedMap, ThePassReadsNoMoreThanTheSource) {
    const std::string path = test_paths::fixture("deleted.img");
    ASSERT_FALSE(path.empty());
    std::unique_ptr<ntfs_volume> v;
    ASSERT_TRUE(open_memory_volume(image_patch::load(path), 0, v));
    deleted_map honest;
    ASSERT_TRUE(build_deleted_map(*v, honest));
    // Runs that map the MFT's clusters again and again, a hundred thousand times
    // over: the pass stops where the source's bytes are used up.
    const run first = v->mft_info.data_runs.front();
    v->mft_info.data_runs.assign(100000, first);
    v->mft_info.data_size_set = false;
    v->entry_count = INT64_MAX / 2;
    deleted_map m;
    ASSERT_TRUE(build_deleted_map(*v, m));
    const uint64_t records = total_size(*v->source) / static_cast<uint64_t>(v->record_stride);
    EXPECT_LE(m.links.size(), records);
    EXPECT_GE(m.links.size(), honest.links.size());
}

std::vector<std::string> g_gap_lines;
void collect_gap_line(const std::string& line) { g_gap_lines.push_back(line); }

// Records the pass cannot read hold deleted entries the listing lacks: each
// stretch of them is said, once. The XP volume's MFT has entries 0-15 at
// cluster 2005 and 16-38 at cluster 4247 (1 KiB clusters and records);
// cut inside entry 21, the image holds the first 21.
TEST(DeletedMap, RecordsThePassCannotReadAreSaid) {
    const std::string path = test_paths::testdata("7-undel-ntfs/7-ntfs-undel.dd");
    if (path.empty()) GTEST_SKIP() << "shared image missing";
    std::vector<uint8_t> img = image_patch::load(path);
    reset_damage_reports();
    g_gap_lines.clear();
    set_damage_sink(collect_gap_line);
    std::unique_ptr<ntfs_volume> v;
    deleted_map m;
    ASSERT_TRUE(open_memory_volume(img, 0, v));
    ASSERT_EQ(mft_entries_in_use(*v), 39u);
    ASSERT_TRUE(build_deleted_map(*v, m));
    EXPECT_EQ(g_gap_lines, std::vector<std::string>{});
    img.resize(4247 * 1024 + 5 * 1024 + 512);
    ASSERT_TRUE(open_memory_volume(img, 0, v));
    ASSERT_TRUE(build_deleted_map(*v, m));
    ASSERT_TRUE(build_deleted_map(*v, m));
    img.resize(4247 * 1024);
    ASSERT_TRUE(open_memory_volume(img, 0, v));
    ASSERT_TRUE(build_deleted_map(*v, m));
    set_damage_sink(nullptr);
    reset_damage_reports();
    EXPECT_EQ(g_gap_lines,
              (std::vector<std::string>{
                  "MFT entries 21 to 38: their records could not be read, deleted entries among them are not listed",
                  "MFT entries 16 to 38: their records could not be read, deleted entries among them are not listed"}));
}

// A deleted file may keep its names in extension records only: entry 1716
// of main.img, deleted here with its extension records 1717-1727 (each freed
// once) and its own three names made attributes of another type, still
// stands in its folder by the names of those records. Freed extension
// records of a file still in use, or of a base record now holding another
// file, place nothing.
TEST(DeletedMap, NamesOfExtensionRecordsPlaceTheirDeletedBaseRecord) {
    const std::string path = test_paths::fixture("main.img");
    if (path.empty()) GTEST_SKIP() << "fixture missing";
    std::vector<uint8_t> img = image_patch::load(path);
    std::unique_ptr<ntfs_volume> v;
    ASSERT_TRUE(open_memory_volume(img, 0, v));
    std::vector<uint8_t> ext;
    ASSERT_TRUE(read_file_record(*v, 1717, ext));
    const uint64_t fn = image_patch::find_attr(ext, attr_file_name);
    ASSERT_NE(fn, 0u);
    const uint64_t folder = le::u64(ext, image_patch::value_at(ext, fn)) & entry_number_mask;
    const auto free_record = [](std::span<uint8_t> r) {
        le::put_u16(r, file_header::flags, le::u16(r, file_header::flags) & ~record_in_use);
        le::put_u16(r, file_header::sequence, le::u16(r, file_header::sequence) + 1);
    };
    for (uint64_t e = 1717; e <= 1727; ++e) image_patch::record(img, *v, e, free_record);
    const auto deleted_and_unnamed = [&](std::vector<uint8_t>& copy, bool free_base, uint16_t seq_step) {
        image_patch::record(copy, *v, 1716, [&](std::span<uint8_t> r) {
            if (free_base) le::put_u16(r, file_header::flags, le::u16(r, file_header::flags) & ~record_in_use);
            le::put_u16(r, file_header::sequence, le::u16(r, file_header::sequence) + seq_step);
            while (const uint64_t at = image_patch::find_attr(r, attr_file_name)) le::put_u32(r, at, 0x100);
        });
    };
    struct want {
        bool free_base;
        uint16_t seq_step;
        bool placed;
    };
    // Deleted and freed once; still in use; deleted, but its record served
    // other files since.
    for (const want w : {want{true, 1, true}, want{false, 0, false}, want{true, 3, false}}) {
        SCOPED_TRACE(w.seq_step);
        std::vector<uint8_t> copy = img;
        deleted_and_unnamed(copy, w.free_base, w.seq_step);
        std::unique_ptr<ntfs_volume> pv;
        ASSERT_TRUE(open_memory_volume(std::move(copy), 0, pv));
        deleted_map m;
        ASSERT_TRUE(build_deleted_map(*pv, m));
        EXPECT_EQ(has(deleted_children(*pv, m, folder), 1716), w.placed);
        EXPECT_EQ(std::count_if(m.links.begin(), m.links.end(), [](const deleted_link& l) { return l.entry == 1716; }),
                  w.placed ? 1 : 0);
        for (const deleted_link& l : m.links) EXPECT_FALSE(l.entry >= 1717 && l.entry <= 1727) << l.entry;
    }
}

// A map made by hand: parents known without a volume to read.
struct crafted {
    ntfs_volume v;
    deleted_map m;
    void folder(uint64_t e, bool in_use, uint16_t seq, bool directory = true) {
        m.parents[e] = parent_state{true, in_use, directory, seq};
    }
    void link(uint64_t entry, uint64_t parent, uint16_t seq) { m.links.push_back({parent, entry, seq}); }
    void done() {
        std::sort(m.links.begin(), m.links.end(), [](const deleted_link& a, const deleted_link& b) {
            return a.parent != b.parent ? a.parent < b.parent : a.entry < b.entry;
        });
        classify_deleted(v, m);
    }
    deleted_place place(uint64_t e) const { return place_of(m, e)->place; }
};

TEST(DeletedMap, SequenceNumbersDecideWhereARecordStands) {
    crafted c;
    c.folder(100, true, 3);          // a folder in use
    c.folder(200, false, 2);         // a deleted folder, freed once
    c.folder(300, true, 7, false);   // a file in use
    c.link(200, 100, 3);             // the deleted folder in the live one
    c.link(201, 200, 1);             // freed once since the name was written
    c.link(202, 200, 2);             // the same number
    c.link(203, 200, 0);             // older than that: the record served another folder since
    c.link(204, 100, 2);             // the live folder's record was reused
    c.link(205, 300, 7);             // a parent that is no folder
    c.link(206, 400, 1);             // a parent that cannot be read
    c.link(207, 100, 3);             // hard links: one name in a live folder, one orphaned
    c.link(207, 400, 1);
    c.done();
    EXPECT_EQ(c.place(200), deleted_place::reached);
    EXPECT_EQ(c.place(201), deleted_place::reached);
    EXPECT_EQ(c.place(202), deleted_place::reached);
    EXPECT_EQ(c.place(207), deleted_place::reached);
    EXPECT_EQ(c.m.orphans, (std::vector<uint64_t>{203, 204, 205, 206}));
    EXPECT_EQ(deleted_children(c.v, c.m, 100), (std::vector<uint64_t>{200, 207}));
    EXPECT_EQ(deleted_children(c.v, c.m, 200), (std::vector<uint64_t>{201, 202}));
    EXPECT_TRUE(deleted_children(c.v, c.m, 300).empty());
}

TEST(DeletedMap, CyclesAndLongChainsEndInOrphans) {
    crafted c;
    c.folder(100, true, 3);
    for (uint64_t e : {210, 211, 220}) c.folder(e, false, 2);
    c.link(210, 211, 1);  // two deleted folders naming each other
    c.link(211, 210, 1);
    c.link(212, 211, 1);  // and a file in one of them
    c.link(220, 220, 1);  // a folder that is its own parent
    // A chain of deleted folders far deeper than any real tree, ending in
    // the live folder.
    constexpr uint64_t chain = 1000, depth = max_deleted_chain + 10;
    for (uint64_t i = 0; i < depth; ++i) {
        c.folder(chain + i, false, 2);
        c.link(chain + i, i + 1 < depth ? chain + i + 1 : 100, i + 1 < depth ? 1 : 3);
    }
    c.done();
    EXPECT_EQ(c.place(210), deleted_place::orphan_tree);
    EXPECT_EQ(c.place(211), deleted_place::orphan);
    EXPECT_EQ(c.place(212), deleted_place::orphan_tree);
    EXPECT_EQ(c.place(220), deleted_place::orphan);
    EXPECT_EQ(deleted_children(c.v, c.m, 211), (std::vector<uint64_t>{210, 212}));
    EXPECT_TRUE(deleted_children(c.v, c.m, 210).empty());
    EXPECT_TRUE(deleted_children(c.v, c.m, 220).empty());
    // The chain is cut where it grows too long; every record gets a place.
    size_t cut = 0;
    for (uint64_t i = 0; i < depth; ++i) {
        EXPECT_NE(c.place(chain + i), deleted_place::unknown);
        cut += c.place(chain + i) == deleted_place::orphan;
    }
    EXPECT_EQ(cut, 1u);
    EXPECT_EQ(c.place(chain + depth - 1), deleted_place::reached);
}

}  // namespace
