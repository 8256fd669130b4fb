// The block cache returns what the source holds: random reads through the
// cache against direct reads of the same source, across chunk boundaries,
// at the end of the source and past it, with chunks evicted on the way.
#include "storage/block_cache.hpp"
#include "platform/unicode.hpp"
#include "support/volumes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Random bytes of a size that is no multiple of any chunk or sector.
std::vector<uint8_t> random_bytes(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> b(size);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
}

struct temp_file {
    std::string dir;
    std::string path;
    temp_file(const std::string& name, const std::vector<uint8_t>& bytes) {
        char tmpl[] = "/tmp/brelvik-cache-XXXXXX";
        dir = ::mkdtemp(tmpl);
        path = dir + "/" + name;
        std::ofstream f(path, std::ios::binary);
        f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    ~temp_file() {
        std::remove(path.c_str());
        ::rmdir(dir.c_str());
    }
};

// One read both ways: same answer, same length, same bytes.
void expect_same_read(block_cache& cache, SectorSource& src, int64_t offset, uint32_t length) {
    std::vector<uint8_t> direct(length ? length : 1, 0xAA), cached(length ? length : 1, 0x55);
    uint32_t direct_len = length, cached_len = length;
    const bool direct_ok = read(src, direct.data(), direct_len, offset);
    const bool cached_ok = cached_read(cache, src, cached.data(), cached_len, offset);
    ASSERT_EQ(cached_ok, direct_ok) << "offset " << offset << " length " << length;
    if (!direct_ok) return;
    ASSERT_EQ(cached_len, direct_len) << "offset " << offset << " length " << length;
    if (std::equal(direct.begin(), direct.begin() + direct_len, cached.begin())) return;
    for (uint32_t i = 0; i < direct_len; ++i)
        ASSERT_EQ(cached[i], direct[i]) << "offset " << offset << " length " << length << " byte " << i;
}

// Reads that straddle every interesting place of a source whose chunks are
// `chunk` bytes, then many random ones.
void compare_everywhere(block_cache& cache, SectorSource& src, uint32_t chunk, uint32_t seed, int random_reads) {
    const int64_t size = src.size;
    const int64_t last_chunk = (size - 1) / chunk * chunk;
    for (int64_t at : {int64_t(0), int64_t(chunk) - 1, int64_t(chunk) - 512, int64_t(chunk), 2 * int64_t(chunk) - 3,
                       last_chunk - 1, last_chunk, size - 1024, size - 1, size, size + 1})
        for (uint32_t len : {1u, 2u, 512u, 1024u, chunk - 1, chunk, chunk + 1, 3 * chunk})
            if (at >= 0) expect_same_read(cache, src, at, len);
    std::mt19937 rng(seed);
    for (int i = 0; i < random_reads; ++i) {
        const int64_t at = static_cast<int64_t>(rng() % static_cast<uint64_t>(size + 64));
        uint32_t len = rng() % (2 * chunk + 2);
        if (rng() % 4 == 0) len = rng() % 64;  // many small reads, as records are read
        expect_same_read(cache, src, at, len);
    }
    EXPECT_LE(cache.chunks.size(), cache.max_chunks);
}

TEST(BlockCache, MemorySourceMatchesDirectReads) {
    SectorSource src;
    ASSERT_TRUE(open_memory(src, random_bytes(7 * 4096 + 333, 1)));
    block_cache cache;
    cache.chunk_bytes = 4096;
    cache.max_chunks = 3;  // fewer than the source's chunks: evictions happen
    compare_everywhere(cache, src, cache.chunk_bytes, 2, 20000);
    EXPECT_GT(cache.hits, 0u);
    EXPECT_GT(cache.fetches, cache.max_chunks);
}

TEST(BlockCache, ImageFileMatchesDirectReads) {
    const std::vector<uint8_t> bytes = random_bytes(5 * 65536 + 4097, 3);
    temp_file f("disk.img", bytes);
    SectorSource src;
    ASSERT_TRUE(open_image(src, uni::to_utf16(f.path)));
    block_cache cache;
    cache.chunk_bytes = 65536;
    cache.max_chunks = 2;
    compare_everywhere(cache, src, cache.chunk_bytes, 4, 5000);
    // The last bytes come back from the cache, shortened like the source's.
    std::vector<uint8_t> tail(100);
    uint32_t len = 100;
    ASSERT_TRUE(cached_read(cache, src, tail.data(), len, static_cast<int64_t>(bytes.size()) - 10));
    EXPECT_EQ(len, 10u);
    for (uint32_t i = 0; i < len; ++i) EXPECT_EQ(tail[i], bytes[bytes.size() - 10 + i]);
}

TEST(BlockCache, DeviceStandInMatchesDirectReads) {
    temp_file f("D:", random_bytes(3 * 8192 + 1536, 5));
    ::setenv("BRELVIK_DEVICE_DIR", f.dir.c_str(), 1);
    SectorSource src;
    ASSERT_TRUE(open_device(src, u"d:\\", SourceKind::Volume, true));
    block_cache cache;
    cache.chunk_bytes = 8192;
    cache.max_chunks = 2;
    compare_everywhere(cache, src, cache.chunk_bytes, 6, 3000);
    ::unsetenv("BRELVIK_DEVICE_DIR");
}

TEST(BlockCache, DefaultChunksOverRealImages) {
    int checked = 0;
    for (const auto& vol : test_volumes::all()) {
        SectorSource src;
        ASSERT_TRUE(open_image(src, uni::to_utf16(vol.path))) << vol.label;
        block_cache cache;
        compare_everywhere(cache, src, cache.chunk_bytes, 7, 400);
        ++checked;
    }
    if (checked == 0) GTEST_SKIP() << "no test images";
}

TEST(BlockCache, ReadsAcrossChunksComeFromTheCache) {
    const std::vector<uint8_t> bytes = random_bytes(4 * 4096 + 100, 12);
    SectorSource src;
    ASSERT_TRUE(open_memory(src, bytes));
    block_cache cache;
    cache.chunk_bytes = 4096;
    cache.max_chunks = 4;
    std::vector<uint8_t> buf(4096);
    // A record straddling the first boundary, then the end of the source.
    for (int64_t at : {int64_t(4096 - 512), int64_t(4 * 4096 + 50)}) {
        uint32_t len = 1024;
        ASSERT_TRUE(cached_read(cache, src, buf.data(), len, at));
        const uint32_t want = static_cast<uint32_t>(std::min<int64_t>(1024, static_cast<int64_t>(bytes.size()) - at));
        ASSERT_EQ(len, want);
        EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + len, bytes.begin() + at));
    }
    EXPECT_EQ(cache.passed_through, 0u);
    EXPECT_EQ(cache.fetches, 3u);
}

TEST(BlockCache, TheLeastRecentlyUsedChunkGoes) {
    SectorSource src;
    ASSERT_TRUE(open_memory(src, random_bytes(8 * 4096, 13)));
    block_cache cache;
    cache.chunk_bytes = 4096;
    cache.max_chunks = 3;
    uint8_t b = 0;
    // Chunks A B C fill the cache; A is used again, so D pushes out B and
    // a last look at A finds it held.
    for (int64_t chunk : {0, 1, 2, 0, 3, 0}) {
        uint32_t len = 1;
        ASSERT_TRUE(cached_read(cache, src, &b, len, chunk * 4096 + 7));
    }
    EXPECT_EQ(cache.fetches, 4u);
    uint32_t len = 1;
    ASSERT_TRUE(cached_read(cache, src, &b, len, 1 * 4096));  // B was the one dropped
    EXPECT_EQ(cache.fetches, 5u);
}

TEST(BlockCache, AnotherSourceEmptiesTheCache) {
    SectorSource a, b;
    ASSERT_TRUE(open_memory(a, random_bytes(10000, 8)));
    ASSERT_TRUE(open_memory(b, random_bytes(10000, 9)));
    block_cache cache;
    cache.chunk_bytes = 4096;
    expect_same_read(cache, a, 100, 50);
    expect_same_read(cache, b, 100, 50);  // not a's bytes
    EXPECT_EQ(cache.source, &b);
    clear(cache);
    EXPECT_TRUE(cache.chunks.empty());
}

}  // namespace
