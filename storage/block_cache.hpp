// A bounded cache of a source's bytes, kept in large aligned chunks that
// are each fetched with one source read and dropped least recently used
// first. Whole-volume listings read the same MFT records and index blocks
// in small pieces many times over; through the cache each piece of the
// source is read once while it stays in use.
//
// A read through the cache delivers exactly what a direct read of the
// source would: the same bytes, the same shortened length at the end of an
// image, the same failures. Whenever a chunk cannot be fetched, the request
// goes straight to the source.
#pragma once

#include "storage/sector_source.hpp"

#include <cstdint>
#include <vector>

// A chunk holds this many bytes: 64 MFT records of 1 KiB or 16 index
// blocks, a multiple of every sector size. One read of a chunk replaces
// dozens of record reads; larger chunks were measured to cost more in
// copying bytes nobody asks for than they save in reads, since most
// folders are small and their records few.
constexpr uint32_t cache_chunk_bytes = 64 * 1024;
// At most this many chunks are kept (2 MiB): enough for a directory's
// records, its index and its parent's, while memory stays bounded on
// volumes of any size.
constexpr uint32_t cache_max_chunks = 32;

struct cache_chunk {
    int64_t offset = -1;     // absolute source offset, a multiple of the chunk size; -1 when empty
    uint32_t valid = 0;      // bytes the source delivered
    uint64_t last_use = 0;
    std::vector<uint8_t> bytes;
};

struct block_cache {
    uint32_t chunk_bytes = cache_chunk_bytes;  // a power of two
    uint32_t max_chunks = cache_max_chunks;
    const SectorSource* source = nullptr;      // whose bytes the chunks hold
    std::vector<cache_chunk> chunks;
    size_t last = 0;                           // the chunk used most recently
    uint64_t clock = 0;
    uint64_t hits = 0;
    uint64_t fetches = 0;
};

// Empties the cache and frees its chunks.
void clear(block_cache& cache);

// Reads like read(src, buffer, length, offset), through the cache.
bool cached_read(block_cache& cache, SectorSource& src, uint8_t* buffer, uint32_t& length, int64_t offset);
