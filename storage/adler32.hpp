// The Adler-32 checksum (RFC 1950) that EWF stores after its structures
// and chunks, and that ends every zlib stream. On x86-64 thirty-two bytes
// are summed at a time with AVX2 where the processor has it, else sixteen
// with SSE2, which every such processor has; elsewhere the bytes are
// summed one by one.
#pragma once

#include <cstdint>
#include <span>

// The checksum of `bytes` continuing from `adler` (1 for a fresh start).
uint32_t adler32_update(uint32_t adler, std::span<const uint8_t> bytes);
// The same without the instructions chosen at run time: what a processor
// without AVX2 runs, callable on any so that both ways are tested.
uint32_t adler32_update_baseline(uint32_t adler, std::span<const uint8_t> bytes);

inline uint32_t adler32_of(std::span<const uint8_t> bytes) { return adler32_update(1, bytes); }
