// EWF chunks: a chunk is stored either as its bytes followed by their
// Adler-32, or as a zlib stream (deflate data ending in the Adler-32 of the
// inflated bytes, which zlib checks). Decoded chunks are kept in a bounded
// cache, so that reads of neighbouring pieces of one chunk inflate it once.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

enum class ewf_chunk_fault {
    none,
    checksum,     // the stored or the inflated bytes fail their Adler-32
    bad_stream,   // the zlib stream is not valid deflate data
    too_long,     // the stream inflates to more than a chunk
    too_short,    // fewer bytes stored or inflated than the chunk holds
};

// What the damage report says about a fault.
const char* ewf_chunk_fault_text(ewf_chunk_fault f);

// One zlib inflate state reused for every chunk of an image, ended when
// its owner goes.
struct ewf_inflater {
    ewf_inflater();
    ~ewf_inflater();
    ewf_inflater(const ewf_inflater&) = delete;
    ewf_inflater& operator=(const ewf_inflater&) = delete;
    struct state;
    std::unique_ptr<state> z;
};

// The most bytes a chunk of `chunk_bytes` can take stored: its bytes and
// checksum, or the longest zlib stream that deflate makes of them.
uint64_t ewf_max_stored_bytes(uint64_t chunk_bytes, bool compressed);

// Decodes the stored bytes of one chunk into `out`, whose size is the
// chunk size; `needed` (at most out.size()) of them must come out.
// Bytes of `out` beyond what the chunk delivers are zeros.
ewf_chunk_fault decode_ewf_chunk(ewf_inflater& inflater, std::span<const uint8_t> stored, bool compressed,
                                 uint32_t needed, std::span<uint8_t> out);

// Decoded chunks kept, least recently used dropped first: 8 MiB, 256
// chunks of the usual 32 KiB, so that the records and index blocks a
// folder's listing reads stay decoded while they are read piece by piece.
constexpr uint64_t ewf_chunk_cache_bytes = uint64_t(8) << 20;
// Never fewer chunks than this, however large they are: two being decoded
// (by the reading thread and by the one decoding ahead) and two read from.
constexpr uint32_t ewf_min_cached_chunks = 4;

// Not thread-safe: its owner guards it. A slot being filled is its
// filler's alone until `release`, so the decoding runs unguarded.
struct ewf_chunk_cache {
    struct slot {
        uint64_t chunk = 0;
        bool full = false;     // holds `chunk` decoded
        bool filling = false;  // reserved for `chunk`, being decoded
        bool unread = false;   // decoded ahead of its read, not read yet
        uint32_t lent = 0;     // lends of its bytes not given back: it is not refilled meanwhile
        uint64_t last_use = 0;
        std::vector<uint8_t> bytes;
    };
    std::vector<slot> slots;
    std::unordered_map<uint64_t, size_t> where;  // chunk -> its full slot
    uint32_t chunk_bytes = 0;
    uint64_t clock = 0;
    size_t unread = 0;  // slots decoded ahead and not read yet
    size_t lent = 0;    // slots lent out

    // Sets the chunk size and the number of slots (within the bounds above).
    void init(uint32_t bytes_per_chunk);
    // The decoded bytes of `chunk` when they are kept (the chunk counts as
    // read from then on), else nullptr.
    const uint8_t* find(uint64_t chunk);
    // find, and the slot lent until give_back(index) (`index` its place);
    // nullptr when the chunk is not kept, or when a quarter of the slots
    // is lent already, so that decoding always finds room.
    const uint8_t* lend(uint64_t chunk, size_t& index);
    void give_back(size_t index);
    bool has(uint64_t chunk) const;
    // A slot to decode `chunk` into, free or least recently used, its
    // bytes chunk_bytes long; nullptr when every slot is being filled or
    // lent.
    slot* reserve(uint64_t chunk);
    // Ends the filling: the slot keeps the chunk when `decoded`, counted
    // as unread when it was decoded `ahead` of its read.
    void release(slot& s, bool decoded, bool ahead);
};
