#include "storage/ewf_chunk.hpp"

#include "storage/ewf_section.hpp"
#include "storage/inflate.hpp"
#include "storage/le.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <zlib.h>

struct ewf_inflater::state {
    z_stream s{};
    bool ready = false;
};

ewf_inflater::ewf_inflater() : z(std::make_unique<state>()) { z->ready = inflateInit(&z->s) == Z_OK; }

ewf_inflater::~ewf_inflater() {
    if (z && z->ready) inflateEnd(&z->s);
}

const char* ewf_chunk_fault_text(ewf_chunk_fault f) {
    switch (f) {
    case ewf_chunk_fault::checksum: return "Adler-32 checksum mismatch";
    case ewf_chunk_fault::bad_stream: return "bad deflate stream";
    case ewf_chunk_fault::too_long: return "deflate stream longer than a chunk";
    case ewf_chunk_fault::too_short: return "chunk data cut short";
    case ewf_chunk_fault::none: break;
    }
    return "no fault";
}

namespace {

ewf_chunk_fault inflate_chunk(ewf_inflater& inflater, std::span<const uint8_t> stored, uint32_t needed,
                              std::span<uint8_t> out) {
    // The fast decoder takes only streams zlib takes, decoding them to the
    // same bytes; everything else goes to zlib, which says what is wrong.
    size_t made = 0;
    if (inflate_zlib(stored, out, made)) {
        std::memset(out.data() + made, 0, out.size() - made);
        return made >= needed ? ewf_chunk_fault::none : ewf_chunk_fault::too_short;
    }
    if (!inflater.z || !inflater.z->ready || stored.size() > UINT32_MAX || out.size() > UINT32_MAX)
        return ewf_chunk_fault::bad_stream;
    z_stream& s = inflater.z->s;
    if (inflateReset(&s) != Z_OK) return ewf_chunk_fault::bad_stream;
    // zlib takes non-const input pointers but does not write through them.
    s.next_in = const_cast<Bytef*>(stored.data());
    s.avail_in = static_cast<uInt>(stored.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    const int r = inflate(&s, Z_FINISH);
    const size_t produced = out.size() - s.avail_out;
    std::memset(out.data() + produced, 0, out.size() - produced);
    if (r == Z_STREAM_END) return produced >= needed ? ewf_chunk_fault::none : ewf_chunk_fault::too_short;
    if (r == Z_DATA_ERROR && s.msg && std::strcmp(s.msg, "incorrect data check") == 0) return ewf_chunk_fault::checksum;
    if (r == Z_BUF_ERROR) return s.avail_out == 0 ? ewf_chunk_fault::too_long : ewf_chunk_fault::too_short;
    return ewf_chunk_fault::bad_stream;
}

// A stored chunk is its bytes and their checksum. The last chunk of an
// image may hold more than the media needs (libewf keeps the bytes of a
// partial last sector), so the checksum is looked for right after the
// needed bytes and at the end of what is stored.
ewf_chunk_fault copy_stored_chunk(std::span<const uint8_t> stored, uint32_t needed, std::span<uint8_t> out) {
    // Only the bytes past what is copied are zeroed: a whole chunk is
    // copied over every byte of the buffer.
    const auto zero_from = [out](size_t at) { std::fill(out.begin() + static_cast<ptrdiff_t>(at), out.end(), uint8_t(0)); };
    if (stored.size() < uint64_t(needed) + 4) {
        zero_from(0);
        return ewf_chunk_fault::too_short;
    }
    for (const size_t length : {size_t(needed), stored.size() - 4}) {
        if (length > out.size()) continue;
        if (ewf_adler32(stored.first(length)) != le::u32(stored, length)) continue;
        std::copy_n(stored.begin(), length, out.begin());
        zero_from(length);
        return ewf_chunk_fault::none;
    }
    zero_from(0);
    return ewf_chunk_fault::checksum;
}

}  // namespace

uint64_t ewf_max_stored_bytes(uint64_t chunk_bytes, bool compressed) {
    return compressed ? compressBound(static_cast<uLong>(chunk_bytes)) : chunk_bytes + 4;
}

ewf_chunk_fault decode_ewf_chunk(ewf_inflater& inflater, std::span<const uint8_t> stored, bool compressed,
                                 uint32_t needed, std::span<uint8_t> out) {
    if (needed > out.size()) return ewf_chunk_fault::too_short;
    return compressed ? inflate_chunk(inflater, stored, needed, out) : copy_stored_chunk(stored, needed, out);
}

namespace {

void unlink(ewf_chunk_cache& c, size_t i) {
    ewf_chunk_cache::slot& s = c.slots[i];
    (s.older == ewf_no_slot ? c.oldest : c.slots[s.older].newer) = s.newer;
    (s.newer == ewf_no_slot ? c.newest : c.slots[s.newer].older) = s.older;
    s.older = s.newer = ewf_no_slot;
}

// One end of the use order: its slot's link toward that end and the one
// away from it, the end itself and the other.
using cache_slot = ewf_chunk_cache::slot;
struct order_end {
    size_t cache_slot::*toward;
    size_t cache_slot::*away;
    size_t ewf_chunk_cache::*end;
    size_t ewf_chunk_cache::*other;
};
constexpr order_end newest_end{&cache_slot::newer, &cache_slot::older, &ewf_chunk_cache::newest,
                               &ewf_chunk_cache::oldest};
constexpr order_end oldest_end{&cache_slot::older, &cache_slot::newer, &ewf_chunk_cache::oldest,
                               &ewf_chunk_cache::newest};

// Puts slot `i`, not in the order, at end `e` of it.
void link_at(ewf_chunk_cache& c, size_t i, const order_end& e) {
    cache_slot& s = c.slots[i];
    s.*e.away = c.*e.end;
    s.*e.toward = ewf_no_slot;
    (c.*e.end == ewf_no_slot ? c.*e.other : c.slots[c.*e.end].*e.toward) = i;
    c.*e.end = i;
}

}  // namespace

void ewf_chunk_cache::init(uint32_t bytes_per_chunk) {
    chunk_bytes = bytes_per_chunk;
    const uint64_t count = bytes_per_chunk ? ewf_chunk_cache_bytes / bytes_per_chunk : 0;
    slots.assign(static_cast<size_t>(std::max<uint64_t>(count, ewf_min_cached_chunks)), slot{});
    where.clear();
    oldest = newest = ewf_no_slot;
    for (size_t i = 0; i < slots.size(); ++i) link_at(*this, i, newest_end);
    unread = 0;
    lent = 0;
    unread_limit = std::max<size_t>(1, slots.size() / 4);
}

const uint8_t* ewf_chunk_cache::find(uint64_t chunk) {
    const auto it = where.find(chunk);
    if (it == where.end()) return nullptr;
    slot& s = slots[it->second];
    unlink(*this, it->second);
    link_at(*this, it->second, newest_end);
    if (s.unread) {
        s.unread = false;
        --unread;
    }
    return s.bytes.data();
}

const uint8_t* ewf_chunk_cache::lend(uint64_t chunk, size_t& index) {
    const auto it = where.find(chunk);
    if (it == where.end()) return nullptr;
    slot& s = slots[it->second];
    if (s.lent == 0 && lent >= slots.size() / 4) return nullptr;
    const uint8_t* bytes = find(chunk);
    if (s.lent++ == 0) ++lent;
    index = it->second;
    return bytes;
}

void ewf_chunk_cache::give_back(size_t index) {
    if (index >= slots.size() || slots[index].lent == 0) return;
    if (--slots[index].lent == 0) --lent;
}

bool ewf_chunk_cache::has(uint64_t chunk) const { return where.count(chunk) != 0; }

ewf_chunk_cache::slot* ewf_chunk_cache::reserve(uint64_t chunk) {
    if (slots.empty()) init(chunk_bytes);
    size_t i = oldest;
    while (i != ewf_no_slot && slots[i].lent) i = slots[i].newer;
    if (i == ewf_no_slot) return nullptr;
    slot& pick = slots[i];
    // The one step that may fail comes first, so that a failure leaves the
    // slot as it was.
    pick.bytes.resize(chunk_bytes);
    if (pick.full) where.erase(pick.chunk);
    if (pick.unread) --unread;
    pick.full = pick.unread = false;
    pick.filling = true;
    pick.chunk = chunk;
    unlink(*this, i);
    return &pick;
}

void ewf_chunk_cache::release(slot& s, bool decoded, bool ahead) {
    const size_t i = static_cast<size_t>(&s - slots.data());
    s.filling = false;
    bool kept = decoded && !has(s.chunk);
    if (kept) {
        try {
            where[s.chunk] = i;
        } catch (const std::bad_alloc&) {
            kept = false;  // the chunk is decoded again when it is next read
        }
    }
    if (!kept) {
        link_at(*this, i, oldest_end);  // empty: the next to be filled
        return;
    }
    s.full = true;
    s.unread = ahead;
    if (ahead) ++unread;
    link_at(*this, i, newest_end);
}
