// A bounded cache of a source's bytes, kept in large aligned chunks that
// are each fetched with one source read and dropped least recently used
// first. Whole-volume listings read the same MFT records and index blocks
// in small pieces many times over; through the cache each piece of the
// source is read once while it stays in use.
//
// A container that keeps its disk decoded (EWF) lends whole chunks in
// place rather than have them copied; the cache gives them back when it
// drops them.
//
// A read through the cache delivers exactly what a direct read of the
// source would: the same bytes, the same shortened length at the end of an
// image, the same failures. Whenever a chunk cannot be fetched, the request
// goes straight to the source.
#pragma once

#include "storage/sector_source.hpp"

#include <cstdint>
#include <vector>

// A chunk holds this many bytes: 16 MFT records of 1 KiB or 4 index
// blocks, a multiple of every sector size. One read of a chunk replaces
// many record reads; larger chunks were measured to cost more in copying
// bytes nobody asks for than they save in reads, since most folders are
// small and the records of neighbouring folders are read far apart.
constexpr uint32_t cache_chunk_bytes = 16 * 1024;
// At most this many chunks are kept (1 MiB): enough for a directory's
// records and index blocks in reach while memory stays bounded on volumes
// of any size; more were measured to gain nothing.
constexpr uint32_t cache_max_chunks = 64;

struct cache_chunk {
    int64_t offset = -1;     // absolute source offset, a multiple of the chunk size; -1 when empty
    uint32_t valid = 0;      // bytes the source delivered
    uint64_t last_use = 0;
    std::vector<uint8_t> bytes;
    // Where a container lent the chunk's bytes in place (lend), instead of
    // `bytes`, and the token that gives them back.
    const uint8_t* lent = nullptr;
    uint64_t token = 0;
    const uint8_t* data() const { return lent ? lent : bytes.data(); }
};

struct block_cache {
    // Not copied: two copies would give back the same lent chunks twice.
    block_cache() = default;
    block_cache(const block_cache&) = delete;
    block_cache& operator=(const block_cache&) = delete;

    uint32_t chunk_bytes = cache_chunk_bytes;  // a power of two
    uint32_t max_chunks = cache_max_chunks;
    const SectorSource* source = nullptr;      // whose bytes the chunks hold
    std::vector<cache_chunk> chunks;
    size_t last = 0;                           // the chunk used most recently
    uint64_t clock = 0;
    uint64_t hits = 0;
    uint64_t fetches = 0;
    uint64_t passed_through = 0;               // requests read from the source as they are
};

// Empties the cache and frees its chunks, giving back what its source lent.
void clear(block_cache& cache);

// Reads like read(src, buffer, length, offset), through the cache. A cache
// serves one source at a time, which outlives what it lent the cache: the
// cache is cleared (or the source changed) while it is still open.
bool cached_read(block_cache& cache, SectorSource& src, uint8_t* buffer, uint32_t& length, int64_t offset);
