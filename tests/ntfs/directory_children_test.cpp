// The children of every directory of every test volume, against the
// allocated children The Sleuth Kit lists.
#include "ntfs/attr_desc.hpp"
#include "ntfs/attributes.hpp"
#include "ntfs/deleted.hpp"
#include "ntfs/file_record.hpp"
#include "ntfs/index.hpp"
#include "ntfs/index_node.hpp"
#include "ntfs/index_slack.hpp"
#include "ntfs/open_volume.hpp"
#include "platform/unicode.hpp"
#include "storage/ewf.hpp"
#include "support/fls_tree.hpp"
#include "support/image_patch.hpp"
#include "support/test_paths.hpp"
#include "support/tools.hpp"
#include "support/tsk.hpp"
#include "support/volumes.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

// True when `child` is in use and one of its names has `dir` as parent:
// index blocks no longer in use may still name entries that live elsewhere.
bool lives_in(ntfs_volume& v, uint64_t child, uint64_t dir) {
    std::vector<attr_desc> items;
    if (!collect_entry_attrs(v, child, items) || items.empty()) return false;
    if (items[0].rec_flags & rec_flag_not_in_use) return false;
    for (const auto& d : items)
        if (d.type == 0x30 && (d.parent_ref & entry_number_mask) == dir) return true;
    return false;
}

// What fls finds on test volume `tv`, and the volume opened.
void read_tree_and_open(const test_volumes::volume& tv, fls_tree::tree& t, std::unique_ptr<ntfs_volume>& v) {
    ASSERT_TRUE(fls_tree::read(tv.path, tv.offset, t));
    ASSERT_TRUE(open_volume_by_path(uni::to_utf16(tv.path), static_cast<int64_t>(tv.offset), v));
}

TEST(DirectoryChildren, MatchTheSleuthKitOnEveryVolume) {
    BRELVIK_NEED_TOOL("fls");
    BRELVIK_NEED_TOOL("fsstat");
    for (const auto& tv : test_volumes::all()) {
        SCOPED_TRACE(tv.label);
        fls_tree::tree t;
        std::unique_ptr<ntfs_volume> v;
        ASSERT_NO_FATAL_FAILURE(read_tree_and_open(tv, t, v));
        int dirs = 0;
        for (const auto& [dir, expected] : t.children) {
            child_entry_set s;
            collect_directory_children(*v, dir, s);
            std::set<uint64_t> ours;
            for (const auto& [c, flag] : s)
                if (c != dir && lives_in(*v, c, dir)) ours.insert(c);
            // Every child fls read from the index, and nothing but what fls
            // knows as living in this directory.
            const auto& maybe = t.maybe_children[dir];
            for (uint64_t c : expected) EXPECT_TRUE(ours.count(c)) << "directory " << dir << " lacks " << c;
            for (uint64_t c : ours)
                EXPECT_TRUE(expected.count(c) || maybe.count(c)) << "directory " << dir << " has extra " << c;
            ++dirs;
        }
        EXPECT_GT(dirs, 0);
    }
}

// Entries arrive in name order, some twice; the set reads them in entry
// order, each once, and takes more after it was read.
TEST(DirectoryChildren, SetReadsInEntryOrderEachOnce) {
    child_entry_set s;
    EXPECT_TRUE(s.empty());
    for (uint64_t e : {90u, 12u, 64u, 12u, 7u, 90u}) s.emplace(e, 0);
    EXPECT_EQ(s.size(), 4u);
    EXPECT_EQ(s.count(64), 1u);
    EXPECT_EQ(s.count(65), 0u);
    s.emplace(3, 0);
    s.emplace(64, 0);
    std::vector<uint64_t> got;
    for (const auto& [e, flag] : s) got.push_back(e);
    EXPECT_EQ(got, (std::vector<uint64_t>{3, 7, 12, 64, 90}));
    // An index naming a few entries a million times over holds them once.
    child_entry_set many;
    for (uint64_t i = 0; i < 1000000; ++i) many.emplace(1000 - i % 5, 0);
    EXPECT_EQ(many.size(), 5u);
    EXPECT_EQ(many.begin()->first, 996u);
}

// The buffer of index blocks is kept from directory to directory: read
// into one that held other bytes, blocks come out as they do into a fresh
// one, also where the reads fail part way (past the volume's end) or an
// extent is sparse, and nothing of the bytes before is left.
// The first `n` blocks of two buffers are there in both and equal.
bool same_blocks(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, uint32_t n) {
    const size_t length = size_t(n) * index_block_size;
    return a.size() >= length && b.size() >= length && std::equal(a.begin(), a.begin() + length, b.begin());
}

TEST(DirectoryChildren, IndexBlocksReadIntoAUsedBufferAsIntoAFreshOne) {
    for (const auto& tv : test_volumes::all()) {
        SCOPED_TRACE(tv.label);
        std::unique_ptr<ntfs_volume> v;
        ASSERT_TRUE(open_volume_by_path(uni::to_utf16(tv.path), static_cast<int64_t>(tv.offset), v));
        const uint64_t end = v->total_clusters;
        ASSERT_GT(end, 16u);
        const std::vector<std::vector<extent>> cases = {
            {{0, 0, 0, 8}},
            {{end - 2, 0, 0, 6}},
            {{0, 0, 1, 2}, {4, 2, 0, 4}},
            {{end - 1, 0, 0, 1}, {0, 1, 0, 12}},
        };
        for (const auto& runs : cases) {
            std::vector<uint8_t> fresh;
            std::vector<uint8_t> used(256 * 1024, 0xAB);
            uint32_t n_fresh = 0xFFFFFFFF, n_used = 0xFFFFFFFF;
            const bool a = load_index_blocks(*v, fresh, n_fresh, runs);
            const bool b = load_index_blocks(*v, used, n_used, runs);
            EXPECT_EQ(a, b);
            EXPECT_EQ(n_fresh, n_used);
            if (a) {
                EXPECT_TRUE(same_blocks(fresh, used, n_fresh)) << "first extent at " << runs.front().lcn;
            }
            // A used buffer shorter than the blocks grows to hold them.
            std::vector<uint8_t> short_used(index_block_size, 0xCD);
            uint32_t n_short = 0xFFFFFFFF;
            EXPECT_EQ(load_index_blocks(*v, short_used, n_short, runs), a);
            EXPECT_EQ(n_short, n_fresh);
            if (a) {
                EXPECT_TRUE(same_blocks(fresh, short_used, n_short));
            }
        }
    }
    // An image cut inside a cluster: that cluster reads short.
    const std::string path = test_paths::fixture("main.img");
    if (path.empty()) return;
    std::vector<uint8_t> img = image_patch::load(path);
    std::unique_ptr<ntfs_volume> v;
    ASSERT_TRUE(open_memory_volume(img, 0, v));
    const uint64_t c = v->bytes_per_cluster;
    const uint64_t cut_cluster = std::min<uint64_t>(v->total_clusters, img.size() / c) - 3;
    img.resize(static_cast<size_t>(cut_cluster * c + c / 2));
    ASSERT_TRUE(open_memory_volume(img, 0, v));
    for (uint64_t first : {cut_cluster - 1, cut_cluster}) {
        const std::vector<extent> runs = {{first, 0, 0, 4}};
        std::vector<uint8_t> fresh;
        std::vector<uint8_t> used(256 * 1024, 0xAB);
        uint32_t n_fresh = 0xFFFFFFFF, n_used = 0xFFFFFFFF;
        EXPECT_EQ(load_index_blocks(*v, fresh, n_fresh, runs), load_index_blocks(*v, used, n_used, runs));
        EXPECT_EQ(n_fresh, n_used);
        EXPECT_TRUE(same_blocks(fresh, used, n_fresh)) << "cluster " << first;
    }
}

// A directory's children and index slack are the same whether its index
// is read into the volume's buffer just after the largest index there is
// (whose blocks then lie in the buffer past this one's) or into an empty
// buffer.
TEST(DirectoryChildren, AnIndexReadAfterALargerOneGivesWhatItGivesAlone) {
    BRELVIK_NEED_TOOL("fls");
    BRELVIK_NEED_TOOL("fsstat");
    const auto read = [](ntfs_volume& v, uint64_t dir, std::vector<std::pair<uint64_t, uint8_t>>& children,
                         std::vector<std::pair<uint64_t, std::u16string>>& slack) {
        child_entry_set s;
        index_slack found;
        found.directory = dir;
        found.entry_limit = UINT64_MAX;
        collect_directory_children(v, dir, s, &found);
        children.assign(s.begin(), s.end());
        slack.clear();
        for (const slack_entry& e : found.entries) slack.emplace_back(e.file_ref, e.name.name);
    };
    for (const auto& tv : test_volumes::all()) {
        SCOPED_TRACE(tv.label);
        fls_tree::tree t;
        std::unique_ptr<ntfs_volume> v;
        ASSERT_NO_FATAL_FAILURE(read_tree_and_open(tv, t, v));
        uint64_t largest = 5;
        size_t most = 0;
        for (const auto& [dir, expected] : t.children)
            if (expected.size() > most) {
                most = expected.size();
                largest = dir;
            }
        std::vector<std::pair<uint64_t, uint8_t>> after, alone;
        std::vector<std::pair<uint64_t, std::u16string>> slack_after, slack_alone;
        for (const auto& [dir, expected] : t.children) {
            read(*v, largest, after, slack_after);
            read(*v, dir, after, slack_after);
            v->index_blocks = {};
            read(*v, dir, alone, slack_alone);
            EXPECT_EQ(after, alone) << "directory " << dir;
            EXPECT_EQ(slack_after, slack_alone) << "directory " << dir;
        }
    }
}

// A sparse extent in a folder's index allocation (a damaged runlist) moves
// the blocks after it on by its length; the index bitmap counts blocks by
// that place. The slack the blocks give is the same as without the hole
// when the bitmap's bits move on with them: here the second block is free,
// so its entries are read as slack whole, before and after the hole.
TEST(DirectoryChildren, BlocksAfterASparseExtentTakeTheirBitmapBitsByPlace) {
    using found = std::pair<std::set<uint64_t>, std::vector<std::pair<uint64_t, std::u16string>>>;
    const auto read = [](ntfs_volume& v, uint64_t dir, const std::vector<extent>& runs, const std::vector<uint8_t>& bits) {
        child_entry_set s;
        index_slack slack;
        slack.directory = dir;
        slack.entry_limit = UINT64_MAX;
        read_index_allocation(s, v, runs, 1, false, &slack, bits);
        found f;
        for (const auto& [c, flag] : s) f.first.insert(c);
        for (const slack_entry& e : slack.entries) f.second.emplace_back(e.file_ref, e.name.name);
        return f;
    };
    int tried = 0;
    for (const auto& tv : test_volumes::all()) {
        SCOPED_TRACE(tv.label);
        std::unique_ptr<ntfs_volume> v;
        ASSERT_TRUE(open_volume_by_path(uni::to_utf16(tv.path), static_cast<int64_t>(tv.offset), v));
        const uint64_t a = v->bytes_per_cluster;
        if (a == 0 || a > index_block_size) continue;
        const uint64_t k = index_block_size / a;  // clusters a block
        for (uint64_t dir = 5; dir < 256; ++dir) {
            std::vector<attr_desc> items;
            if (!collect_entry_attrs(*v, dir, items)) continue;
            const auto alloc = std::find_if(items.begin(), items.end(), [](const attr_desc& d) {
                return d.type == attr_index_allocation && d.non_resident && d.name == "$I30";
            });
            if (alloc == items.end() || total_clusters(alloc->extents, false) < 3 * k) continue;
            const std::vector<extent>& runs = alloc->extents;
            if (std::any_of(runs.begin(), runs.end(), [](const extent& e) { return e.sparse != 0; })) continue;
            // The same runs with a hole of two blocks after the first block.
            std::vector<extent> holed;
            for (const extent& e : runs) {
                const uint64_t vcn = holed.empty() ? 0 : holed.back().vcn + holed.back().length;
                if (e.vcn < k && e.vcn + e.length > k) {
                    const uint32_t before = static_cast<uint32_t>(k - e.vcn);
                    holed.push_back({e.lcn, vcn, 0, before});
                    holed.push_back({0, vcn + before, 1, static_cast<uint32_t>(2 * k)});
                    holed.push_back({e.lcn + before, vcn + before + 2 * k, 0, e.length - before});
                } else {
                    holed.push_back({e.lcn, vcn, 0, e.length});
                    if (e.vcn + e.length == k) holed.push_back({0, vcn + e.length, 1, static_cast<uint32_t>(2 * k)});
                }
            }
            // Block 1 free: in the holed allocation it is block 3.
            const std::vector<uint8_t> all_bits(64, 0xFF);
            std::vector<uint8_t> bits = all_bits, holed_bits = all_bits;
            bits[0] = 0xFD;
            holed_bits[0] = 0xF7;
            const found plain = read(*v, dir, runs, bits);
            if (plain == read(*v, dir, runs, all_bits)) continue;  // block 1 gives no more slack when free
            SCOPED_TRACE("directory " + std::to_string(dir));
            EXPECT_EQ(read(*v, dir, holed, holed_bits), plain);
            EXPECT_EQ(read(*v, dir, holed, all_bits), read(*v, dir, runs, all_bits));
            ++tried;
            break;
        }
    }
    EXPECT_GT(tried, 0);
}

// Clusters larger than a block hold several: a sparse cluster moves the
// blocks after it on by all of them; a block whose place overflows is put
// past any bitmap; no more numbers than blocks asked for.
TEST(DirectoryChildren, BlockNumbersFollowTheVcnsOfLargeClusters) {
    const uint64_t a = 4 * index_block_size;
    const std::vector<uint64_t> numbers = index_block_numbers({{10, 0, 0, 1}, {0, 1, 1, 2}, {20, 3, 0, 1}}, a, 100);
    EXPECT_EQ(numbers, (std::vector<uint64_t>{0, 1, 2, 3, 12, 13, 14, 15}));
    EXPECT_EQ(index_block_numbers({{10, 0, 0, 1}, {0, 1, 1, 2}, {20, 3, 0, 1}}, a, 5).size(), 5u);
    const std::vector<uint64_t> far = index_block_numbers({{10, 0, 0, 1}, {20, UINT64_MAX / 8, 0, 1}}, a, 100);
    ASSERT_EQ(far.size(), 8u);
    EXPECT_EQ(far[3], 3u);
    EXPECT_EQ(far[4], UINT64_MAX);
}

// The main fixture's volume, read from its E01 (which takes hints).
bool open_main_ewf(std::unique_ptr<ntfs_volume>& v) {
    const std::string e = test_paths::fixture("main_e6_best.E01");
    return !e.empty() && open_volume_by_path(uni::to_utf16(e), 0, v) && v->source->container;
}

// A kept folder's index is decoded ahead when hinted: reading the folder's
// children afterwards decodes no chunk of the compressed image. A folder
// whose record is not kept, and a raw image, take no hint.
TEST(DirectoryChildren, AKeptFoldersIndexIsDecodedAheadOfItsListing) {
    std::unique_ptr<ntfs_volume> v;
    ASSERT_TRUE(open_main_ewf(v));
    const auto& img = dynamic_cast<const ewf_image&>(*v->source->container);
    std::vector<uint8_t> rec;
    uint64_t folder = 0;
    for (uint64_t entry = 5; entry < 64 && folder == 0; ++entry) {
        std::vector<attr_desc> items;
        if (!collect_entry_attrs(*v, entry, items)) continue;
        for (const attr_desc& d : items)
            if (d.type == attr_index_allocation && d.non_resident) folder = entry;
    }
    ASSERT_NE(folder, 0u);
    ASSERT_TRUE(read_file_record(*v, folder, rec));
    const uint64_t before = img.chunks_decoded();
    prefetch_kept_directory_index(*v, folder);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(img.chunks_decoded(), before);  // not kept: no hint
    keep_record(*v, folder, rec);
    prefetch_kept_directory_index(*v, folder);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    // Until the worker has taken the hint and finished with it: no chunk
    // decoded for a while.
    uint64_t ahead = before;
    for (int quiet = 0; quiet < 40 && std::chrono::steady_clock::now() < until;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const uint64_t now = img.chunks_decoded();
        quiet = now == ahead && now > before ? quiet + 1 : 0;
        ahead = now;
    }
    EXPECT_GT(ahead, before);
    child_entry_set children;
    EXPECT_TRUE(collect_directory_children(*v, folder, rec, children, nullptr));
    EXPECT_FALSE(children.empty());
    EXPECT_EQ(img.chunks_decoded(), ahead);

    std::unique_ptr<ntfs_volume> raw;
    ASSERT_TRUE(open_volume_by_path(uni::to_utf16(test_paths::fixture("main.img")), 0, raw));
    keep_record(*raw, folder, rec);
    prefetch_kept_directory_index(*raw, folder);
    EXPECT_FALSE(takes_hints(*raw));
}

// A record kept for its listing is taken without a read, so a hint for it
// would decode a chunk that nothing reads; hints for the others stand.
TEST(DirectoryChildren, KeptRecordsAreNotDecodedAhead) {
    std::unique_ptr<ntfs_volume> v;
    ASSERT_TRUE(open_main_ewf(v));
    const auto& img = dynamic_cast<const ewf_image&>(*v->source->container);
    // Two entries of the MFT's end, in chunks of their own that opening
    // the volume did not read.
    const uint64_t last = mft_entries_in_use(*v);
    ASSERT_GE(last, 256u);
    const uint64_t kept = last - 1, other = last - 129;
    keep_record(*v, kept, std::vector<uint8_t>(static_cast<size_t>(v->record_stride), 0));
    const uint64_t before = img.chunks_decoded();
    child_entry_set only_kept;
    only_kept.emplace(kept, 0);
    prefetch_records(*v, only_kept);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(img.chunks_decoded(), before);
    child_entry_set both;
    both.emplace(kept, 0);
    both.emplace(other, 0);
    prefetch_records(*v, both);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (img.chunks_decoded() == before && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(img.chunks_decoded(), before + 1);
}

}  // namespace
