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

// No slot: the end of the use order.
constexpr size_t ewf_no_slot = SIZE_MAX;

// Not thread-safe: its owner guards it. A slot being filled is its
// filler's alone until `release`, so the decoding runs unguarded.
struct ewf_chunk_cache {
    struct slot {
        uint64_t chunk = 0;
        bool full = false;     // holds `chunk` decoded
        bool filling = false;  // reserved for `chunk`, being decoded
        bool unread = false;   // decoded ahead of its read, not read yet
        uint32_t lent = 0;     // lends of its bytes not given back: it is not refilled meanwhile
        // Its neighbours in the use order, which holds every slot not being
        // filled: empty slots first, then the full ones from the one used
        // longest ago.
        size_t older = ewf_no_slot;
        size_t newer = ewf_no_slot;
        std::vector<uint8_t> bytes;
    };
    std::vector<slot> slots;
    std::unordered_map<uint64_t, size_t> where;  // chunk -> its full slot
    uint32_t chunk_bytes = 0;
    size_t oldest = ewf_no_slot;  // the ends of the use order
    size_t newest = ewf_no_slot;
    size_t unread = 0;  // slots decoded ahead and not read yet
    size_t lent = 0;    // slots lent out
    // How many slots may wait unread, decoded ahead: a quarter of them
    // (at least one), so that what is decoded ahead never pushes out what
    // is being read, whatever the chunk size.
    size_t unread_limit = 0;

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
    // A slot to decode `chunk` into, empty or least recently used, its
    // bytes chunk_bytes long; nullptr when every slot is being filled or
    // lent. Lent slots are passed over, and there are at most a quarter of
    // them, so the search is short. When the slot's bytes cannot be
    // allocated (std::bad_alloc) the cache is left as it was.
    slot* reserve(uint64_t chunk);
    // Ends the filling: the slot keeps the chunk when `decoded`, counted
    // as unread when it was decoded `ahead` of its read.
    void release(slot& s, bool decoded, bool ahead);
};
