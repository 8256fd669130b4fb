// The fast deflate decoder against zlib on any bytes: it must stay inside
// its buffers, and whatever it takes zlib must take, decoding it to the
// same bytes from the same stretch of input. The input is raw deflate
// data; the first byte also picks the room given (so that streams longer
// than it are met), and the whole input is tried as a zlib stream too.
#include "fuzz_input.hpp"

#include "storage/inflate.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {
// Room for the decoded bytes: at most an EWF chunk of 64 sectors and a
// half, at least one byte.
constexpr size_t max_room = 48 * 1024;

bool zlib_inflate(const uint8_t* data, size_t size, int window_bits, std::vector<uint8_t>& out, size_t& made,
                  size_t& used) {
    z_stream s{};
    if (inflateInit2(&s, window_bits) != Z_OK) return false;
    s.next_in = const_cast<Bytef*>(data);
    s.avail_in = static_cast<uInt>(size);
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    const int r = inflate(&s, Z_FINISH);
    made = s.total_out;
    used = size - s.avail_in;
    inflateEnd(&s);
    return r == Z_STREAM_END;
}
}  // namespace

int fuzz::fuzz_inflate(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t room = 1 + size_t(data[0]) * (max_room / 256);
    const std::span<const uint8_t> in(data + 1, size - 1);
    std::vector<uint8_t> mine(room), theirs(room);
    size_t made = 0, used = 0, their_made = 0, their_used = 0;
    if (inflate_raw(in, mine, made, used)) {
        if (!zlib_inflate(in.data(), in.size(), -15, theirs, their_made, their_used) || made != their_made ||
            used != their_used || !std::equal(mine.begin(), mine.begin() + static_cast<ptrdiff_t>(made), theirs.begin()))
            std::abort();
    }
    if (inflate_zlib(in, mine, made)) {
        if (!zlib_inflate(in.data(), in.size(), 15, theirs, their_made, their_used) || made != their_made ||
            !std::equal(mine.begin(), mine.begin() + static_cast<ptrdiff_t>(made), theirs.begin()))
            std::abort();
    }
    return 0;
}
