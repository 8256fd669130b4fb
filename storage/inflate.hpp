// A one-shot decoder of zlib streams (deflate data, RFC 1951, in the
// wrapper of RFC 1950) into a buffer of known size: the compressed chunks
// of EWF images. It is the fast path; zlib stays the reference. The decoder
// accepts only streams zlib accepts (it is stricter where that keeps it
// simple: an incomplete Huffman code is always refused), and it says only
// whether a stream decoded whole and checked. Callers that need the kind of
// a fault, or the bytes of a damaged stream, ask zlib.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// Decodes the raw deflate data at the start of `in` into `out`. True when
// the stream's last block ended inside `in` and its bytes fit in `out`;
// then `produced` is their count and `consumed` the bytes of `in` the
// stream took, up to the byte its last bit is in. False on any invalid
// code, distance or block, on a stream cut short and on one that wants more
// room than `out` has. `out` may be written in part either way.
bool inflate_raw(std::span<const uint8_t> in, std::span<uint8_t> out, size_t& produced, size_t& consumed);

// Decodes a whole zlib stream (header, deflate data, the big-endian
// Adler-32 of the decoded bytes) into `out`. True only when the header is
// one zlib takes without a preset dictionary, the deflate data decode and
// the checksum matches; bytes after the checksum are ignored, as zlib
// ignores them.
bool inflate_zlib(std::span<const uint8_t> in, std::span<uint8_t> out, size_t& produced);
