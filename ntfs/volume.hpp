// One opened NTFS volume: boot sector, geometry, the MFT's runs and record
// reads with update-sequence fixups. Every other part of the engine reads
// records through it.
#pragma once

#include "ntfs/runlist.hpp"
#include "storage/block_cache.hpp"
#include "storage/sector_source.hpp"

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

// The set of a directory's child entry numbers, in entry order, each once
// (the value is unused; of an entry added twice the first stays). An index
// gives its entries in name order, so they are gathered by appending and
// sorted once, when the set is first read: no node per child.
struct record_window;

class child_entry_set {
public:
    using value_type = std::pair<uint64_t, uint8_t>;
    using const_iterator = std::vector<value_type>::const_iterator;

    void emplace(uint64_t entry, uint8_t value) {
        // Room for a small folder at once, rather than growing by doubling.
        if (items_.capacity() == 0) items_.reserve(first_room);
        items_.emplace_back(entry, value);
        settled_ = items_.size() < 2;
        // A damaged index may name one entry over and over: the gathered
        // entries are folded whenever they have doubled since the last
        // fold, so they never hold more than twice the distinct ones.
        if (items_.size() >= fold_at_least && items_.size() >= 2 * folded_size_) settled();
    }
    const_iterator begin() const { return settled().begin(); }
    const_iterator end() const { return settled().end(); }
    size_t size() const { return settled().size(); }
    bool empty() const { return items_.empty(); }
    // Empties the set and keeps its room, for the next folder's children.
    void clear() {
        items_.clear();
        settled_ = true;
        folded_size_ = 0;
    }
    size_t count(uint64_t entry) const {
        const auto& v = settled();
        const auto at = std::lower_bound(v.begin(), v.end(), entry,
                                         [](const value_type& x, uint64_t e) { return x.first < e; });
        return at != v.end() && at->first == entry ? 1 : 0;
    }

private:
    const std::vector<value_type>& settled() const {
        if (!settled_) {
            const auto less = [](const value_type& a, const value_type& b) { return a.first < b.first; };
            // A small folder's children are put in place one by one (stable,
            // and with no buffer to allocate as the merge sort has).
            if (items_.size() <= insertion_sort_entries) {
                for (size_t i = 1; i < items_.size(); ++i) {
                    const value_type x = items_[i];
                    size_t j = i;
                    for (; j > 0 && less(x, items_[j - 1]); --j) items_[j] = items_[j - 1];
                    items_[j] = x;
                }
            } else {
                std::stable_sort(items_.begin(), items_.end(), less);
            }
            items_.erase(std::unique(items_.begin(), items_.end(),
                                     [](const value_type& a, const value_type& b) { return a.first == b.first; }),
                         items_.end());
            settled_ = true;
            folded_size_ = items_.size();
        }
        return items_;
    }
    static constexpr size_t fold_at_least = 65536;
    static constexpr size_t insertion_sort_entries = 32;
    static constexpr size_t first_room = 16;
    // Sorting on first read changes no content, only the order of it.
    mutable std::vector<value_type> items_;
    mutable bool settled_ = true;
    mutable size_t folded_size_ = 0;
};

// What path resolution remembers of one directory.
struct directory_cache_node {
    child_entry_set children;
    std::map<std::string, uint64_t> names;  // lower-cased UTF-8 name -> entry
    // UTF-8 name as stored in this folder -> entry; filled only for lookups
    // by exact name.
    std::map<std::string, uint64_t> exact_names;
    // Whether two entries of this folder share a lower-cased name (names of
    // the POSIX namespace differing only in case): a lookup then prefers
    // the one spelled as typed.
    bool case_twins = false;
};

// Result of walking MFT record 0 (and, through its attribute list, the
// extension records holding more of the MFT's $DATA).
struct mft_walk_result {
    std::vector<run> data_runs;
    uint64_t data_size = 0;
    bool data_size_set = false;
    std::vector<uint8_t> attribute_list;   // the $ATTRIBUTE_LIST attribute, when present
};

struct ntfs_volume {
    ntfs_volume();
    ~ntfs_volume();
    ntfs_volume(const ntfs_volume&) = delete;
    ntfs_volume& operator=(const ntfs_volume&) = delete;

    uint8_t boot[512] = {};
    std::unique_ptr<SectorSource> source;
    bool initialized = false;
    std::vector<uint8_t> record0;
    mft_walk_result mft_info;
    int32_t record_stride = 0;
    int64_t entry_count = 0;
    uint32_t bytes_per_cluster = 0;
    uint64_t total_clusters = 0;
    int32_t clusters_per_record = 0;
    uint64_t mft_offset = 0;
    uint32_t sectors_per_cluster = 0;
    int64_t volume_offset = 0;
    uint32_t record_size = 0;
    uint16_t bytes_per_sector = 0;
    std::map<uint64_t, directory_cache_node> directory_cache;
    // Records kept for a later listing of the same entry (keep_record).
    std::map<uint64_t, std::vector<uint8_t>> kept_records;
    size_t kept_record_bytes = 0;
    block_cache cache;  // every read of the volume goes through it
    // The stretch of records a directory's children are read from
    // (record_window.hpp), kept from directory to directory so that its
    // buffer is not allocated, and its pages faulted in, for each.
    std::unique_ptr<record_window> children_window;
    // The index blocks of the directory being read, kept likewise.
    std::vector<uint8_t> index_blocks;
    // Index blocks that could not be read (a cut image, an unreadable
    // device) or that the index bitmap marks in use yet hold no index: the
    // listing compares the count before and after it reads a directory's
    // index, to say that entries are missing.
    uint64_t index_gaps = 0;
    // Index nodes in use (the root, or a block the bitmap marks in use)
    // whose walk stopped on a damaged header or entry before the node's
    // end entry: the entries after the damage are missing, and the listing
    // says so as it does for gaps.
    uint64_t damaged_index_nodes = 0;
};

// The record size the rest of the engine works with: the volume's, or 1024
// when the volume reports none.
uint32_t working_record_size(const ntfs_volume& v);

// Reads the boot sector and MFT record 0 and learns the MFT's runs. Once
// done, later calls return true at once.
bool initialize(ntfs_volume& v, uint64_t& mft_offset);

// Byte position of an entry relative to the volume (0 when it cannot be
// mapped) and, through `length`, how many bytes its record takes.
uint64_t entry_offset(const ntfs_volume& v, uint64_t entry, uint32_t* length = nullptr);

// Reads `length` bytes at volume position `position` straight from the
// source, past the cache, in one read: for long stretches that the cache's
// small chunks would only copy twice. Only image files and memory are read
// so; devices and containers keep their reads (and their handling of
// unreadable pieces) as they are. False when the source is not one of
// those or did not deliver every byte: the caller then reads as usual.
bool read_volume_stretch(ntfs_volume& v, uint64_t position, uint8_t* buffer, uint64_t length);
// True when the volume's source is read so at all.
bool reads_stretches(const ntfs_volume& v);

// How many entries from `entry` on (not entry 0) have their records back
// to back on the volume, in one run of the MFT: at least 1 when `entry`
// can be mapped, else 0.
uint64_t entries_back_to_back(const ntfs_volume& v, uint64_t entry);

// Reads MFT record `entry` with the plain fixup into `out`, resized to the
// record's length. `position` receives its byte position.
bool read_file_record(ntfs_volume& v, uint64_t entry, std::vector<uint8_t>& out, uint64_t* position = nullptr);
// The same into a caller's buffer, which must hold the whole record;
// `length` receives the record's length.
bool read_file_record(ntfs_volume& v, uint64_t entry, std::span<uint8_t> buffer, uint32_t& length);

// A file with names in several folders is listed once from each of them,
// so its record is read again when the next of those folders is listed:
// by then the piece of the source that holds it has long left every cache,
// and a container decodes that piece anew. The record read first is kept
// for the next reading, up to this many bytes of such records (some
// thousands); past it records are read again.
constexpr size_t max_kept_record_bytes = 4 * 1024 * 1024;

// Keeps the (fixed-up) record of `entry` for the next take_kept_record.
void keep_record(ntfs_volume& v, uint64_t entry, std::span<const uint8_t> record);
// Moves the record kept for `entry` into `out` and forgets it; false (and
// `out` untouched) when none is kept.
bool take_kept_record(ntfs_volume& v, uint64_t entry, std::vector<uint8_t>& out);
// Forgets every kept record.
void drop_kept_records(ntfs_volume& v);

// Tells the source that the records of these entries are read next, in
// entry order, so that a container can decode them ahead.
void prefetch_records(ntfs_volume& v, const child_entry_set& entries);

// The same for the clusters of these runs (an index allocation about to be
// read whole), up to `max_bytes` of them.
void prefetch_runs(ntfs_volume& v, const std::vector<extent>& runs, uint64_t max_bytes);
// True when the volume's source does anything with such hints (a container
// that decodes ahead), so that working them out is worth it.
bool takes_hints(const ntfs_volume& v);

// Reads the first `length` bytes of entry `entry`'s record as they lie on
// the volume, no fixups applied: where a run of the MFT ends inside the
// record, the rest comes from where the next run puts it, as for
// read_file_record. A read cut short by the end of the source leaves
// zeros. False when the record's first bytes cannot be read.
bool read_record_bytes(ntfs_volume& v, uint64_t entry, uint8_t* buffer, uint32_t length);

// Whether the start of entry `entry`'s record can be read from the volume
// at all: tells a record that is unreadable (past the end of a cut image,
// a read error) from one that was read but is damaged, after a failed
// read_file_record.
bool record_start_readable(ntfs_volume& v, uint64_t entry);

// Reads `record_size` bytes (1024 when unknown) of entry `entry` with the
// checked fixup; `kind` is 1 FILE, 2 INDX, 3 BAAD, 0 otherwise.
bool read_record_checked(ntfs_volume& v, uint64_t entry, std::vector<uint8_t>& out, int& kind);

// Reads whole clusters at `lcn`; `length` must be a multiple of the
// cluster size.
bool read_clusters(ntfs_volume& v, uint64_t lcn, uint8_t* buffer, uint32_t& length);

// Reads bytes relative to the start of the volume.
bool read_volume_bytes(ntfs_volume& v, uint64_t position, uint8_t* buffer, uint32_t& length);

// The volume-level attribute walk of an MFT record (record 0 and its
// extension records): collects the $DATA runs. `remaining` bounds the walk;
// `reset` empties the result first; `first_only` stops after one attribute.
// `walk_start` is the offset of the first attribute to look at.
bool walk_volume_attributes(ntfs_volume& v, le::bytes record, size_t walk_start, int64_t remaining,
                            mft_walk_result& result, bool reset, bool first_only);
