#include "storage/block_cache.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

void give_back_lent(const block_cache& c, cache_chunk& ch) {
    if (!ch.lent) return;
    if (c.source) give_back(*c.source, ch.token);
    ch.lent = nullptr;
    ch.token = 0;
}

}  // namespace

void clear(block_cache& c) {
    for (cache_chunk& ch : c.chunks) give_back_lent(c, ch);
    c.chunks.clear();
    c.chunks.shrink_to_fit();
    c.source = nullptr;
    c.last = 0;
    c.clock = 0;
}

namespace {

// Sources whose reads are cut short at their end (the others fail there).
bool shortens_at_end(const SectorSource& src) { return src.kind == SourceKind::Image || src.kind == SourceKind::Memory; }

// The chunk starting at `base`, fetched when it is not held; null when the
// source cannot deliver it.
cache_chunk* chunk_at(block_cache& c, SectorSource& src, int64_t base) {
    ++c.clock;
    if (c.last < c.chunks.size() && c.chunks[c.last].offset == base) {
        c.chunks[c.last].last_use = c.clock;
        ++c.hits;
        return &c.chunks[c.last];
    }
    for (size_t i = 0; i < c.chunks.size(); ++i) {
        if (c.chunks[i].offset == base) {
            c.chunks[i].last_use = c.clock;
            c.last = i;
            ++c.hits;
            return &c.chunks[i];
        }
    }
    size_t slot = 0;
    if (c.chunks.size() < c.max_chunks) {
        try {
            c.chunks.emplace_back();
            c.chunks.back().bytes.resize(c.chunk_bytes);
        } catch (const std::bad_alloc&) {
            if (!c.chunks.empty() && c.chunks.back().bytes.size() != c.chunk_bytes) c.chunks.pop_back();
            return nullptr;
        }
        slot = c.chunks.size() - 1;
    } else {
        for (size_t i = 1; i < c.chunks.size(); ++i)
            if (c.chunks[i].last_use < c.chunks[slot].last_use) slot = i;
    }
    cache_chunk& ch = c.chunks[slot];
    give_back_lent(c, ch);
    uint32_t got = c.chunk_bytes;
    ++c.fetches;
    if (lend(src, base, got, ch.lent, ch.token)) {
        ch.offset = base;
        ch.valid = got;
        ch.last_use = c.clock;
        c.last = slot;
        return &ch;
    }
    ch.lent = nullptr;
    if (!read(src, ch.bytes.data(), got, base) || got == 0) {
        ch.offset = -1;
        ch.valid = 0;
        ch.last_use = 0;
        return nullptr;
    }
    ch.offset = base;
    ch.valid = got;
    ch.last_use = c.clock;
    c.last = slot;
    return &ch;
}

}  // namespace

bool cached_read(block_cache& c, SectorSource& src, uint8_t* buffer, uint32_t& length, int64_t offset) {
    const uint32_t chunk = c.chunk_bytes;
    // Requests the source refuses, and requests larger than a chunk (which
    // gain nothing from it), go to the source as they are.
    if (!buffer || !src.is_open || length == 0 || offset < 0 || offset >= src.size || chunk == 0 ||
        (chunk & (chunk - 1)) != 0 || c.max_chunks == 0 || length > chunk) {
        ++c.passed_through;
        return read(src, buffer, length, offset);
    }
    if (c.source != &src) {
        clear(c);
        c.source = &src;
    }
    // What a direct read delivers: images and memory stop at their end.
    uint32_t expected = length;
    if (shortens_at_end(src) && static_cast<uint64_t>(src.size - offset) < length)
        expected = static_cast<uint32_t>(src.size - offset);

    uint32_t done = 0;
    int64_t pos = offset;
    while (done < expected) {
        const int64_t base = pos & ~static_cast<int64_t>(chunk - 1);
        const cache_chunk* ch = chunk_at(c, src, base);
        if (!ch) break;
        const uint64_t in = static_cast<uint64_t>(pos - base);
        if (in >= ch->valid) break;
        const uint32_t take = static_cast<uint32_t>(std::min<uint64_t>(expected - done, ch->valid - in));
        std::memcpy(buffer + done, ch->data() + in, take);
        done += take;
        pos += take;
        if (ch->valid < chunk) break;  // the source ends inside this chunk
    }
    if (done != expected) {
        ++c.passed_through;
        return read(src, buffer, length, offset);
    }
    length = done;
    return true;
}
