// Records read a stretch at a time must be exactly the records read one by
// one: the same bytes, the same failures, on every volume, across gaps,
// across the end of an MFT run, around a damaged record and at the end of
// a cut image.
#include "ntfs/attribute_header.hpp"
#include "ntfs/entry.hpp"
#include "ntfs/file_record.hpp"
#include "ntfs/open_volume.hpp"
#include "ntfs/record_window.hpp"
#include "platform/unicode.hpp"
#include "support/image_patch.hpp"
#include "support/test_paths.hpp"
#include "support/volumes.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

namespace {

// The bytes of the main fixture; empty when it is missing.
std::vector<uint8_t> main_image() {
    const std::string path = test_paths::fixture("main.img");
    return path.empty() ? std::vector<uint8_t>{} : image_patch::load(path);
}

// Reads `entries` through the volume's window and one by one, and checks
// that both give the same record or both fail. Returns how many came from
// the window.
size_t expect_window_matches(ntfs_volume& v, const std::vector<uint64_t>& entries) {
    record_window* w = children_window(v);
    EXPECT_NE(w, nullptr);
    if (!w) return 0;
    size_t windowed = 0;
    std::vector<uint8_t> single;
    for (size_t i = 0; i < entries.size(); ++i) {
        std::span<const uint8_t> rec;
        const window_read got = window_record(v, *w, entries, i, rec);
        const bool read_alone = read_file_record(v, entries[i], single);
        if (got == window_read::not_held) continue;
        ++windowed;
        if (got == window_read::unreadable) {
            EXPECT_FALSE(read_alone) << "entry " << entries[i];
            continue;
        }
        EXPECT_TRUE(read_alone) << "entry " << entries[i];
        EXPECT_TRUE(std::equal(rec.begin(), rec.end(), single.begin(), single.end())) << "entry " << entries[i];
    }
    return windowed;
}

// Moves the clusters of the MFT's first run (`first`) after its first
// `split` past the end of the image, zeroes where they were, and opens the
// image again with the run split in two to match.
bool split_first_mft_run(std::vector<uint8_t>& img, const run& first, uint64_t split, std::unique_ptr<ntfs_volume>& v) {
    const uint64_t c = v->bytes_per_cluster;
    img.resize((img.size() + c - 1) / c * c);
    const uint64_t moved_to = img.size() / c;
    const uint64_t from = (static_cast<uint64_t>(first.lcn) + split) * c;
    const uint64_t bytes = (first.length - split) * c;
    img.insert(img.end(), img.begin() + static_cast<long>(from), img.begin() + static_cast<long>(from + bytes));
    std::fill_n(img.begin() + static_cast<long>(from), bytes, uint8_t(0));
    if (!open_memory_volume(img, 0, v)) return false;
    auto& runs = v->mft_info.data_runs;
    run second = runs.front();
    runs.front().length = static_cast<uint32_t>(split);
    second.lcn = static_cast<int64_t>(moved_to);
    second.vcn = split;
    second.length = static_cast<uint32_t>(first.length - split);
    runs.insert(runs.begin() + 1, second);
    return true;
}

std::vector<uint64_t> every(uint64_t from, uint64_t to, uint64_t step) {
    std::vector<uint64_t> out;
    for (uint64_t e = from; e < to; e += step) out.push_back(e);
    return out;
}

TEST(RecordWindow, GivesWhatSingleReadsGiveOnEveryVolume) {
    std::mt19937 rng(3);
    for (const auto& tv : test_volumes::all()) {
        SCOPED_TRACE(tv.label);
        std::unique_ptr<ntfs_volume> v;
        ASSERT_TRUE(open_volume_by_path(uni::to_utf16(tv.path), static_cast<int64_t>(tv.offset), v));
        const uint64_t count = static_cast<uint64_t>(std::max<int64_t>(v->entry_count, 64));
        // Every entry; every few (gaps the window reads along, and gaps too
        // wide to); random choices; past the last entry.
        EXPECT_GT(expect_window_matches(*v, every(0, count + 40, 1)), 0u);
        for (uint64_t step : {2, 5, 9, 10, 11, 200}) expect_window_matches(*v, every(1, count, step));
        for (int round = 0; round < 20; ++round) {
            std::vector<uint64_t> some;
            for (uint64_t e = 0; e < count; ++e)
                if (rng() % 4 == 0) some.push_back(e);
            expect_window_matches(*v, some);
        }
    }
}

// A record read alone brings the records after it along, kept as read;
// the windows of the next folders' children are copied from them, as often
// as they are asked for, each copy with its own fixups: folders of ten,
// lone records eleven apart and the ten after each, twice over.
TEST(RecordWindow, ReadsAheadAndServesLaterWindowsFromIt) {
    for (const auto& tv : test_volumes::all()) {
        SCOPED_TRACE(tv.label);
        std::unique_ptr<ntfs_volume> v;
        ASSERT_TRUE(open_volume_by_path(uni::to_utf16(tv.path), static_cast<int64_t>(tv.offset), v));
        const uint64_t count = static_cast<uint64_t>(std::max<int64_t>(v->entry_count, 64));
        for (int pass = 0; pass < 2; ++pass) {
            expect_window_matches(*v, every(16, count, 11));
            for (uint64_t f = 16; f + 11 < count && f < 16 + 11 * 30; f += 11)
                expect_window_matches(*v, every(f + 1, f + 11, 1));
        }
        if (reads_stretches(*v)) {
            ASSERT_NE(v->children_window, nullptr);
            EXPECT_GT(v->children_window->ahead_served, 0u);
        }
    }
}

// The MFT of main.img split in two runs, its second half moved past the
// end of the volume and the clusters it left zeroed: a stretch read past
// the end of the first run would read zeros where single reads find the
// moved records.
TEST(RecordWindow, StopsAtTheEndOfAnMftRun) {
    std::vector<uint8_t> img = main_image();
    ASSERT_FALSE(img.empty());
    std::unique_ptr<ntfs_volume> v;
    ASSERT_TRUE(open_memory_volume(img, 0, v));
    ASSERT_FALSE(v->mft_info.data_runs.empty());
    const run first = v->mft_info.data_runs.front();
    const uint64_t c = v->bytes_per_cluster;
    const uint64_t stride = static_cast<uint64_t>(v->record_stride);
    ASSERT_GT(first.lcn, 0);
    ASSERT_GE(first.length, 16u);
    // Split where the user files' records lie, past the system files.
    const uint64_t split = first.length / 2;
    ASSERT_GT(split * c / stride, 64u);
    ASSERT_TRUE(split_first_mft_run(img, first, split, v));

    const uint64_t boundary = split * c / stride;
    std::vector<uint8_t> rec;
    size_t moved_readable = 0;
    for (uint64_t e = boundary; e < boundary + 40; ++e) moved_readable += read_file_record(*v, e, rec) ? 1 : 0;
    ASSERT_GT(moved_readable, 0u) << "the moved records should read one by one";
    EXPECT_EQ(entries_back_to_back(*v, boundary - 3), 3u);
    for (uint64_t start : {boundary - 40, boundary - 1, boundary - 2 * max_window_records})
        EXPECT_GT(expect_window_matches(*v, every(start, boundary + 60, 1)), 0u);
    expect_window_matches(*v, every(boundary - 7, boundary + 60, 3));
    // Lone records on both sides: what is read ahead stops at the run's end.
    expect_window_matches(*v, every(boundary - 30, boundary + 60, 12));
    for (uint64_t start : {boundary - 29, boundary - 5, boundary + 7}) expect_window_matches(*v, every(start, start + 10, 1));
}

// On c512.img (clusters of 512 bytes, records of 1024), the record a split
// of the MFT's first run goes through and the cluster the split comes
// after: a record past the system files that uses more than its first half.
void find_record_to_split(ntfs_volume& v, uint64_t& across, uint64_t& split) {
    const run first = v.mft_info.data_runs.front();
    const uint64_t c = v.bytes_per_cluster;
    const uint64_t stride = static_cast<uint64_t>(v.record_stride);
    ASSERT_EQ(c, 512u);
    ASSERT_EQ(stride, 1024u);
    std::vector<uint8_t> rec;
    across = 24;
    while (across * stride / c + 1 < first.length &&
           !(read_file_record(v, across, rec) && le::u32(rec, file_header::bytes_in_use) > stride / 2 + 64))
        ++across;
    split = across * stride / c + 1;
    ASSERT_LT(split, first.length);
}

// With clusters of 512 bytes and records of 1024, a run of the MFT may end
// inside a record: c512.img's MFT split after an odd count of clusters, its
// second part moved past the volume's end and the clusters it left zeroed.
// The record across the split reads whole from both runs, alone and in
// stretches, as it did before the move.
TEST(RecordWindow, ARecordSplitBetweenTwoRunsReadsWhole) {
    const std::string path = test_paths::fixture("c512.img");
    ASSERT_FALSE(path.empty());
    std::vector<uint8_t> img = image_patch::load(path);
    std::unique_ptr<ntfs_volume> v;
    ASSERT_TRUE(open_memory_volume(img, 0, v));
    const run first = v->mft_info.data_runs.front();
    uint64_t across = 0, split = 0;
    ASSERT_NO_FATAL_FAILURE(find_record_to_split(*v, across, split));
    std::vector<uint8_t> rec;
    std::vector<std::vector<uint8_t>> before;
    for (uint64_t e = across - 2; e <= across + 2; ++e) {
        before.emplace_back();
        ASSERT_TRUE(read_file_record(*v, e, before.back())) << e;
    }

    ASSERT_TRUE(split_first_mft_run(img, first, split, v));

    EXPECT_EQ(entries_back_to_back(*v, across - 2), 2u);
    for (uint64_t e = across - 2; e <= across + 2; ++e) {
        ASSERT_TRUE(read_file_record(*v, e, rec)) << e;
        EXPECT_EQ(rec, before[e - (across - 2)]) << e;
    }
    expect_window_matches(*v, every(across - 20, across + 20, 1));
}

// The same split for an extension record: c512.img's record across the
// split made an extension record of another entry, and every attribute of
// it named by that entry's attribute list. The entry load reads it whole
// from both runs, as the entry's own record is read, and takes from it
// what it took before the move (its last attributes lie past the split).
TEST(RecordWindow, AnExtensionRecordSplitBetweenTwoRunsLoadsWhole) {
    const std::string path = test_paths::fixture("c512.img");
    ASSERT_FALSE(path.empty());
    std::vector<uint8_t> img = image_patch::load(path);
    std::unique_ptr<ntfs_volume> v;
    ASSERT_TRUE(open_memory_volume(img, 0, v));
    const run first = v->mft_info.data_runs.front();
    const uint64_t c = v->bytes_per_cluster;
    uint64_t across = 0, split = 0;
    ASSERT_NO_FATAL_FAILURE(find_record_to_split(*v, across, split));
    std::vector<uint8_t> rec;

    // The record names entry 5 as its base (the field lies before the split).
    constexpr uint64_t base = 5;
    const uint64_t at = entry_offset(*v, across);
    ASSERT_NE(at, 0u);
    for (int i = 0; i < 8; ++i) img[at + file_header::base_reference + i] = i == 0 ? uint8_t(base) : 0;
    ASSERT_TRUE(open_memory_volume(img, 0, v));
    ASSERT_TRUE(read_file_record(*v, across, rec));
    const uint16_t sequence = le::u16(rec, file_header::sequence);

    // One list entry for every attribute of the record.
    std::vector<uint8_t> list;
    size_t past_split = 0;
    for (uint64_t off = le::u16(rec, file_header::first_attribute);
         le::fits(rec, off, 8) && le::u32(rec, off) != attr_end && le::u32(rec, off + 4) != 0;
         off += le::u32(rec, off + 4)) {
        uint8_t e[32] = {};
        const uint32_t type = le::u32(rec, off);
        const uint64_t ref = across | uint64_t(sequence) << 48;
        const uint16_t id = le::u16(rec, off + attr_header::id);
        std::memcpy(e, &type, 4);
        e[4] = sizeof e;
        e[7] = 26;
        std::memcpy(e + 16, &ref, 8);
        std::memcpy(e + 24, &id, 2);
        list.insert(list.end(), e, e + sizeof e);
        if (off + le::u32(rec, off + 4) > c) ++past_split;
    }
    ASSERT_GT(past_split, 0u);

    const auto load = [&](ntfs_volume& vol, parsed_entry& pe) {
        mft_entries_ctx ctx(&vol);
        walk_list_entries(pe, ctx, base, list);
        bool bad = true;
        std::vector<uint8_t> raw;
        EXPECT_TRUE(ctx.read_entry_record(across, raw, bad));
        EXPECT_FALSE(bad);
        return raw;
    };
    parsed_entry before;
    EXPECT_EQ(load(*v, before), rec);
    ASSERT_FALSE(before.attributes.empty());

    ASSERT_TRUE(split_first_mft_run(img, first, split, v));
    parsed_entry after;
    EXPECT_EQ(load(*v, after), rec);
    ASSERT_EQ(after.attributes.size(), before.attributes.size());
    for (const auto& [key, item] : before.attributes) {
        const auto it = after.attributes.find(key);
        ASSERT_NE(it, after.attributes.end()) << std::hex << key;
        EXPECT_EQ(it->second.bytes, item.bytes) << std::hex << key;
    }
    ASSERT_EQ(after.file_names.size(), before.file_names.size());
    for (const auto& [key, name] : before.file_names) {
        ASSERT_TRUE(after.file_names.count(key)) << key;
        EXPECT_EQ(after.file_names.at(key).name, name.name);
    }
    EXPECT_EQ(after.std_info.size(), before.std_info.size());
}

// A record that fails its fixups in the middle of a stretch is unreadable, as
// on its own; its neighbours are not; a stretch past the end of a cut
// image falls back to single reads.
TEST(RecordWindow, DamagedRecordsAndCutImages) {
    std::vector<uint8_t> img = main_image();
    ASSERT_FALSE(img.empty());
    std::unique_ptr<ntfs_volume> v;
    ASSERT_TRUE(open_memory_volume(img, 0, v));
    const uint64_t damaged = 40;
    const uint64_t at = entry_offset(*v, damaged);
    ASSERT_NE(at, 0u);
    std::vector<uint8_t> rec;
    ASSERT_TRUE(read_file_record(*v, damaged, rec));
    // Its signature broken; and in the record after the next, the end of
    // the first sector no longer matches the update sequence number, which
    // the plain fixup lets pass in both ways of reading.
    img[at] = 'X';
    img[entry_offset(*v, damaged + 2) + 510] ^= 0xFF;
    ASSERT_TRUE(open_memory_volume(img, 0, v));
    EXPECT_FALSE(read_file_record(*v, damaged, rec));
    EXPECT_GT(expect_window_matches(*v, every(damaged - 5, damaged + 5, 1)), 8u);

    // Cut in the middle of a record some way into the MFT.
    const uint64_t cut_entry = 60;
    std::vector<uint8_t> cut(img.begin(), img.begin() + static_cast<long>(entry_offset(*v, cut_entry) + 300));
    ASSERT_TRUE(open_memory_volume(cut, 0, v));
    expect_window_matches(*v, every(cut_entry - 20, cut_entry + 20, 1));
    expect_window_matches(*v, every(cut_entry - 2, cut_entry + 20, 1));
}

}  // namespace
