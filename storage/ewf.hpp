// EWF (E01) images: the segment files of a set found beside the one named,
// the tables of every segment laid out in chunk order, and reads of the
// disk through decoded chunks.
//
// The set's segments are named after the first one: .E01 to .E99, then
// .EAA to .EZZ, .FAA and on to .ZZZ (.s01... for SMART files), the case of
// the first segment's extension kept. A segment that is missing, cut
// short or damaged leaves a gap in the chunk order; chunks in a gap, and
// chunks that fail their checks, read as zeros and are reported once each.
#pragma once

#include "storage/container.hpp"
#include "storage/ewf_chunk.hpp"
#include "storage/ewf_volume.hpp"
#include "storage/file_handle.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Segment files kept open at once; the others are opened when read.
constexpr size_t ewf_open_segments = 16;
// Decoded tables kept; a table of 16375 entries takes 128 KiB decoded.
constexpr size_t ewf_tables_kept = 8;
// Sections looked at in one segment. A segment of 2 GiB has a dozen; even
// a single-segment image of 100 TiB has fewer than a million. The limit
// bounds the time a crafted chain of tiny sections can take.
constexpr uint32_t ewf_max_sections = 1u << 20;
// Folder entries looked at when the segments beside the first are sought.
constexpr size_t ewf_max_folder_entries = size_t(1) << 20;

// ---- segment names ----

// The number of the last segment of the family whose first extension
// begins with `family` (E01's 'E'): 99 numbered names, then three letters
// counted from family + "AA" up to "ZZZ". 0 when `family` is no letter.
uint32_t ewf_last_segment(char16_t family);

// The extension (without the dot) of segment `number` of `family`, its
// letters in the case of `family`; false when the family has no such name.
bool ewf_segment_extension(char16_t family, uint32_t number, std::u16string& ext);

// The segment number that `ext` stands for in `family` (letters matched
// regardless of case); false when it is none of its names.
bool parse_ewf_extension(std::u16string_view ext, char16_t family, uint32_t& number);

// The files of the EWF set that `path` belongs to, found as opening it
// finds them: `path` first, then the other segments present beside it.
// False (with `path` alone) when its file header cannot be read.
bool ewf_set_files(const std::u16string& path, std::vector<std::u16string>& files);

// ---- chunk order ----

// One table of chunks, the copies that describe it, and where its chunks'
// stored bytes end.
struct ewf_table_ref {
    uint32_t segment = 0;        // index of the segment file (segment number - 1)
    uint64_t copies[2] = {0, 0}; // offsets of its "table" and "table2" sections; 0 when absent
    uint32_t entries = 0;
    uint64_t data_end = 0;       // file offset where the last chunk's stored bytes end
    uint64_t first_chunk = 0;    // set when the table is placed
};

// One step of a set's chunk order: a table, or a stretch whose chunks
// cannot be told (a missing segment, a damaged or cut-short one) with the
// file and the reason that the damage report names.
struct ewf_run {
    bool known = false;
    ewf_table_ref table;
    std::string file;
    std::string why;
};

// Chunks no table places, with what the report says of them.
struct ewf_gap {
    uint64_t first = 0;
    uint64_t end = 0;  // one past the last
    std::string file;
    std::string why;
};

// Gives each known table its first chunk. Tables before the first unknown
// stretch count from chunk 0; tables after the last one count back from
// `total` (the chunks the media needs), so that a single missing segment
// costs only its own chunks. Tables between two unknown stretches cannot
// be placed, and are left out. Every chunk below `total` that no placed
// table holds falls in one of `gaps`.
void place_ewf_runs(const std::vector<ewf_run>& runs, uint64_t total, std::vector<ewf_table_ref>& placed,
                    std::vector<ewf_gap>& gaps);

// ---- the image ----

// What one thread needs to decode chunks: its own segment files, decoded
// tables, inflate state and buffer for stored bytes.
struct ewf_chunk_reader {
    struct loaded_table {
        size_t table = 0;
        uint64_t last_use = 0;
        std::vector<uint64_t> entries;  // decoded (ewf_table.hpp)
        // Whether a checksum of the entries confirmed them. When none did
        // (a damaged table, or a layout that keeps no checksum there), a
        // chunk is read only where its entry lies between its neighbours'.
        bool checked = false;
    };
    file_pool files{ewf_open_segments};
    std::vector<loaded_table> loaded;
    uint64_t table_clock = 0;
    ewf_inflater inflater;
    std::vector<uint8_t> stored;
};

// Chunks asked for ahead of their reads that may wait their turn. How many
// decoded ahead may wait unread is the cache's (unread_limit).
constexpr size_t ewf_max_queued_chunks = 4096;
// Chunks whose last read is remembered, so that a hint the reads overtook
// is not decoded again: a listing reads some thousands of chunks of MFT
// and indexes per 100,000 files, so this covers some millions of files in
// a few megabytes; past it the memory is started afresh.
constexpr size_t ewf_max_read_notes = size_t(1) << 17;
// How long the worker, its queue empty, watches for the next hint before
// it sleeps, in microseconds. A listing hints every few tens of
// microseconds while it walks; a hint that finds the worker asleep costs
// the reading thread a system call to wake it and the worker a switch
// back in, and the reads after it are decoded on the reading thread
// meanwhile. Watching costs at most this much processor time per pause.
constexpr uint32_t ewf_worker_watch_us = 50;

struct ewf_image : disk_container {
    ewf_image();
    ~ewf_image() override;

    ewf_media media;
    uint64_t chunk_bytes = 0;
    uint64_t chunk_count = 0;
    std::vector<std::string> names;      // segment file names (UTF-8) by index, for reports
    std::vector<std::u16string> paths;   // by index
    std::vector<uint64_t> file_sizes;    // by index; 0 for a missing segment
    std::vector<ewf_table_ref> tables;   // placed, in chunk order
    std::vector<ewf_gap> gaps;

    bool read(uint8_t* buffer, uint64_t offset, uint32_t length) override;
    void prefetch(std::span<const uint64_t> offsets) override;
    // Lends bytes that lie within one chunk from the chunk cache, decoding
    // the chunk first as a read would; a chunk that fails its checks is not
    // lent (the read that follows reports it).
    bool lend(uint64_t offset, uint32_t length, const uint8_t*& data, uint64_t& token) override;
    void give_back(uint64_t token) override;

    // Chunks decoded so far, by the reads and ahead of them (each chunk
    // once while the cache keeps it).
    uint64_t chunks_decoded() const;
    // Chunks lent out and not given back.
    size_t chunks_lent() const;

    // Sizes the buffers and the cache once the set is open.
    void start_reads();

    struct ahead;  // the decoding ahead of the reads, on a thread of its own

  private:
    ewf_chunk_reader reader;  // the reading thread's
    std::vector<uint8_t> scratch;  // where the reading thread decodes when no slot is free
    std::unique_ptr<ahead> worker;

    bool locate(uint64_t index, size_t& table) const;
    const ewf_chunk_reader::loaded_table* table_entries(ewf_chunk_reader& r, size_t table) const;
    // Decodes chunk `index` into `out` (chunk_bytes long); on failure says
    // which file to name and why.
    bool decode(ewf_chunk_reader& r, uint64_t index, std::span<uint8_t> out, std::string& file, std::string& why) const;
    void report(uint64_t index, const std::string& file, const std::string& why) const;
    // Decodes chunk `c` with `r` into a slot of the cache (into `spare`
    // when none is free), the lock of the shared state released meanwhile
    // and held on entry and exit; copies the bytes from `within` into
    // `copy` when it is not empty.
    bool fill(std::unique_lock<std::mutex>& lock, ewf_chunk_reader& r, uint64_t c, std::vector<uint8_t>& spare,
              bool ahead_of_read, std::span<uint8_t> copy, uint64_t within, std::string& file, std::string& why);
    // Decodes the next chunk queued ahead on the reading thread (the lock
    // held on entry and exit); false when none waits.
    bool steal_ahead(std::unique_lock<std::mutex>& lock);
    // With the lock held: waits while the worker decodes chunk `index`,
    // decoding the next queued chunk meanwhile; true when the cache then
    // holds it.
    bool settle(std::unique_lock<std::mutex>& lock, uint64_t index);
    // With the lock held: counts chunk `index` read, once the cache has
    // given it out, and notes whether that made room for the worker.
    void taken(uint64_t index, size_t unread_before);
    // Decodes chunk `index` on the reading thread, into the cache (or, when
    // no slot is free, `scratch`), copying `copy` out of it from `within`.
    bool decode_here(std::unique_lock<std::mutex>& lock, uint64_t index, std::span<uint8_t> copy, uint64_t within,
                     std::string& file, std::string& why);
    // Lets go of the lock, then wakes the worker when a read made room for it.
    void let_go(std::unique_lock<std::mutex>& lock);
    friend void run_ahead(ewf_image& img);
};
