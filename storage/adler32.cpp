#include "storage/adler32.hpp"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define BRELVIK_ADLER_AVX2 1
#endif

namespace {

constexpr uint32_t modulus = 65521;  // the largest prime below 2^16
// The most bytes summed before the sums must be reduced: the largest n
// for which 255 n (n + 1) / 2 + (n + 1) (modulus - 1) stays below 2^32.
constexpr size_t max_unreduced = 5552;

void sum_bytes(uint32_t& a, uint32_t& b, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        a += p[i];
        b += a;
    }
}

#if defined(__SSE2__)
// Sums whole 16-byte blocks, at most max_unreduced bytes of them. Over a
// block b0..b15, a grows by the bytes' sum and b by 16 a plus
// 16 b0 + 15 b1 + ... + 1 b15; the 16 a terms are gathered as the running
// sum of the block sums before each block.
void sum_blocks(uint32_t& a, uint32_t& b, const uint8_t* p, size_t blocks) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i weights_low = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
    const __m128i weights_high = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
    __m128i sums = zero, before = zero, weighted = zero;
    for (size_t i = 0; i < blocks; ++i, p += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        before = _mm_add_epi32(before, sums);
        sums = _mm_add_epi32(sums, _mm_sad_epu8(v, zero));
        weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(v, zero), weights_low));
        weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(v, zero), weights_high));
    }
    alignas(16) uint32_t s[4], f[4], w[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(s), sums);
    _mm_store_si128(reinterpret_cast<__m128i*>(f), before);
    _mm_store_si128(reinterpret_cast<__m128i*>(w), weighted);
    const uint64_t block_sums = uint64_t(s[0]) + s[2];
    const uint64_t running = uint64_t(f[0]) + f[2];
    const uint64_t new_b = uint64_t(b) + uint64_t(a) * 16 * blocks + 16 * running + uint64_t(w[0]) + w[1] + w[2] + w[3];
    a = static_cast<uint32_t>((a + block_sums) % modulus);
    b = static_cast<uint32_t>(new_b % modulus);
}
#endif

#if defined(BRELVIK_ADLER_AVX2)
// The same over 32-byte blocks with AVX2, where the processor has it. Its
// byte unpacking works within each 16-byte half, so the weights follow
// the halves: bytes 0-7 and 16-23 are the low unpacked words, 8-15 and
// 24-31 the high ones; byte i of the block weighs 32 - i.
__attribute__((target("avx2"))) void sum_blocks_avx2(uint32_t& a, uint32_t& b, const uint8_t* p, size_t blocks) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i weights_low = _mm256_setr_epi16(32, 31, 30, 29, 28, 27, 26, 25, 16, 15, 14, 13, 12, 11, 10, 9);
    const __m256i weights_high = _mm256_setr_epi16(24, 23, 22, 21, 20, 19, 18, 17, 8, 7, 6, 5, 4, 3, 2, 1);
    __m256i sums = zero, before = zero, weighted = zero;
    for (size_t i = 0; i < blocks; ++i, p += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        before = _mm256_add_epi32(before, sums);
        sums = _mm256_add_epi32(sums, _mm256_sad_epu8(v, zero));
        weighted = _mm256_add_epi32(weighted, _mm256_madd_epi16(_mm256_unpacklo_epi8(v, zero), weights_low));
        weighted = _mm256_add_epi32(weighted, _mm256_madd_epi16(_mm256_unpackhi_epi8(v, zero), weights_high));
    }
    alignas(32) uint32_t s[8], f[8], w[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(s), sums);
    _mm256_store_si256(reinterpret_cast<__m256i*>(f), before);
    _mm256_store_si256(reinterpret_cast<__m256i*>(w), weighted);
    uint64_t block_sums = 0, running = 0, weights = 0;
    for (int k = 0; k < 8; ++k) {
        block_sums += s[k];  // the odd ones are the zero tops of 64-bit sums
        running += f[k];
        weights += w[k];
    }
    const uint64_t new_b = uint64_t(b) + uint64_t(a) * 32 * blocks + 32 * running + weights;
    a = static_cast<uint32_t>((a + block_sums) % modulus);
    b = static_cast<uint32_t>(new_b % modulus);
}

bool has_avx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

// The checksum with 32-byte blocks when `wide` (and AVX2 is built in).
uint32_t update(uint32_t adler, std::span<const uint8_t> bytes, bool wide) {
    (void)wide;
    uint32_t a = adler & 0xffff, b = adler >> 16;
    const uint8_t* p = bytes.data();
    size_t left = bytes.size();
    while (left) {
        const size_t n = std::min(left, max_unreduced);
#if defined(__SSE2__)
        size_t done = 0;
#if defined(BRELVIK_ADLER_AVX2)
        if (wide) {
            sum_blocks_avx2(a, b, p, n / 32);
            done = n / 32 * 32;
        }
#endif
        const size_t blocks = (n - done) / 16;
        sum_blocks(a, b, p + done, blocks);
        done += 16 * blocks;
        sum_bytes(a, b, p + done, n - done);
#else
        sum_bytes(a, b, p, n);
#endif
        a %= modulus;
        b %= modulus;
        p += n;
        left -= n;
    }
    return b << 16 | a;
}

}  // namespace

uint32_t adler32_update(uint32_t adler, std::span<const uint8_t> bytes) {
#if defined(BRELVIK_ADLER_AVX2)
    return update(adler, bytes, has_avx2());
#else
    return update(adler, bytes, false);
#endif
}

uint32_t adler32_update_baseline(uint32_t adler, std::span<const uint8_t> bytes) { return update(adler, bytes, false); }
