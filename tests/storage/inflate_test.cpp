// The fast zlib-stream decoder and the Adler-32, against zlib itself: every
// stream zlib's deflate makes must decode to the same bytes, and a damaged
// stream may be taken only when zlib takes it too, with the same bytes.
#include "storage/adler32.hpp"
#include "storage/inflate.hpp"
#include "support/test_paths.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <fstream>
#include <iterator>
#include <random>

namespace {

using bytes = std::vector<uint8_t>;

bytes deflated(const bytes& in, int level, int strategy, int window_bits = 15, int mem_level = 8) {
    z_stream s{};
    EXPECT_EQ(deflateInit2(&s, level, Z_DEFLATED, window_bits, mem_level, strategy), Z_OK);
    bytes out(deflateBound(&s, in.size()) + 16);
    s.next_in = const_cast<Bytef*>(in.data());
    s.avail_in = static_cast<uInt>(in.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

// What zlib makes of `stream` given `room` bytes: nullopt when it refuses.
std::optional<bytes> zlib_inflated(const bytes& stream, size_t room) {
    z_stream s{};
    if (inflateInit(&s) != Z_OK) return std::nullopt;
    bytes out(room);
    s.next_in = const_cast<Bytef*>(stream.data());
    s.avail_in = static_cast<uInt>(stream.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    const int r = inflate(&s, Z_FINISH);
    out.resize(s.total_out);
    inflateEnd(&s);
    if (r != Z_STREAM_END) return std::nullopt;
    return out;
}

std::optional<bytes> fast_inflated(const bytes& stream, size_t room) {
    bytes out(room);
    size_t made = 0;
    if (!inflate_zlib(stream, out, made)) return std::nullopt;
    out.resize(made);
    return out;
}

// Contents of the kinds deflate meets: noise, runs, short repeats (every
// distance below the copy width), text, and the MFT of a real volume.
std::vector<bytes> samples() {
    std::mt19937 rng(17);
    std::vector<bytes> out;
    bytes noise(40000);
    for (uint8_t& b : noise) b = static_cast<uint8_t>(rng());
    out.push_back(noise);
    out.push_back(bytes(32768, 0));
    out.push_back(bytes(1, 'x'));
    out.push_back({});
    for (size_t period = 1; period <= 20; ++period) {
        bytes r(5000 + period);
        for (size_t i = 0; i < r.size(); ++i) r[i] = static_cast<uint8_t>(i % period == 0 ? rng() : 'a' + i % period);
        out.push_back(r);
    }
    bytes text;
    const char* words[] = {"record ", "index ", "stream ", "volume ", "$MFT ", "\r\n", "entry "};
    while (text.size() < 60000) {
        const std::string w = words[rng() % 7];
        text.insert(text.end(), w.begin(), w.end());
    }
    out.push_back(text);
    const std::string path = test_paths::fixture("main.img");
    std::ifstream image(path, std::ios::binary);
    EXPECT_FALSE(path.empty()) << "the fixture main.img is missing";
    bytes disk((std::istreambuf_iterator<char>(image)), std::istreambuf_iterator<char>());
    for (size_t at = 0; at + 65536 <= disk.size() && out.size() < 60; at += disk.size() / 24)
        out.push_back(bytes(disk.begin() + static_cast<ptrdiff_t>(at), disk.begin() + static_cast<ptrdiff_t>(at + 65536)));
    return out;
}

}  // namespace

TEST(Inflate, DecodesWhatZlibDeflateMakes) {
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    size_t streams = 0;
    for (const bytes& data : samples()) {
        for (int level : {0, 1, 6, 9})
            for (int strategy : strategies)
                for (int window : {9, 15}) {
                    const bytes z = deflated(data, level, strategy, window, level == 1 ? 1 : 8);
                    const auto got = fast_inflated(z, data.size());
                    ASSERT_TRUE(got.has_value()) << data.size() << " bytes, level " << level << ", strategy "
                                                 << strategy << ", window " << window;
                    ASSERT_EQ(*got, data);
                    ++streams;
                    // One byte less room must be refused; more room is fine.
                    if (!data.empty()) {
                        EXPECT_FALSE(fast_inflated(z, data.size() - 1).has_value());
                    }
                    EXPECT_EQ(fast_inflated(z, data.size() + 300), data);
                    // Trailing bytes after the checksum are ignored, as zlib does.
                    bytes padded = z;
                    padded.insert(padded.end(), {1, 2, 3});
                    EXPECT_EQ(fast_inflated(padded, data.size()), data);
                }
    }
    EXPECT_GT(streams, 1000u);
}

TEST(Inflate, RefusesWhatZlibRefuses) {
    const bytes data = [] {
        bytes d(20000);
        for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<uint8_t>((i * 7) % 251 < 40 ? i : 0);
        return d;
    }();
    const bytes good = deflated(data, 9, Z_DEFAULT_STRATEGY);
    ASSERT_EQ(fast_inflated(good, data.size()), data);

    bytes bad_check = good;
    bad_check.back() ^= 1;
    EXPECT_FALSE(fast_inflated(bad_check, data.size()).has_value());
    bytes bad_header = good;
    bad_header[1] ^= 1;
    EXPECT_FALSE(fast_inflated(bad_header, data.size()).has_value());
    bytes dictionary = good;  // FDICT set, check bits mended
    dictionary[1] = static_cast<uint8_t>((dictionary[1] | 0x20) & 0xe0);
    dictionary[1] = static_cast<uint8_t>(dictionary[1] + (31 - (dictionary[0] * 256 + dictionary[1]) % 31) % 31);
    EXPECT_FALSE(fast_inflated(dictionary, data.size()).has_value());
    for (size_t cut = 0; cut < good.size(); cut += 1 + cut / 8)
        EXPECT_FALSE(fast_inflated(bytes(good.begin(), good.begin() + static_cast<ptrdiff_t>(cut)), data.size()))
            << "cut at " << cut;

    // A stored block whose length and complement disagree; a match reaching
    // before the start; a block of the reserved type.
    bytes stored = {0x78, 0x01, 0x01, 0x03, 0x00, 0xfc, 0xff, 'a', 'b', 'c', 0, 0, 0, 0};
    const uint32_t sum = adler32_of(bytes{'a', 'b', 'c'});
    for (int i = 0; i < 4; ++i) stored[10 + i] = static_cast<uint8_t>(sum >> (24 - 8 * i));
    EXPECT_EQ(fast_inflated(stored, 3), (bytes{'a', 'b', 'c'}));
    bytes mismatched = stored;
    mismatched[5] = 0xfd;
    EXPECT_FALSE(fast_inflated(mismatched, 3).has_value());
    // Fixed code: literal 'a' (0x91, 8 bits), then length 3 (code 257, 7
    // bits) at distance 1 (code 0, 5 bits), then end of block: "aaaa". At
    // distance 2 (code 1) the match reaches before the first byte.
    const uint32_t aaaa = adler32_of(bytes{'a', 'a', 'a', 'a'});
    bytes near = {0x78, 0x01, 0x4b, 0x04, 0x02, 0x00, 0, 0, 0, 0};
    for (int i = 0; i < 4; ++i) near[6 + i] = static_cast<uint8_t>(aaaa >> (24 - 8 * i));
    EXPECT_EQ(fast_inflated(near, 16), (bytes{'a', 'a', 'a', 'a'}));
    bytes far = near;
    far[4] = 0x42;
    EXPECT_FALSE(fast_inflated(far, 16).has_value());
    EXPECT_FALSE(zlib_inflated(far, 16).has_value());
    bytes reserved = {0x78, 0x01, 0x07, 0, 0, 0, 0};
    EXPECT_FALSE(fast_inflated(reserved, 16).has_value());
}

// Random damage to real streams: the decoder must stay inside its buffers
// (the sanitizer build watches) and may take a stream only when zlib takes
// it, with the same bytes.
TEST(Inflate, TakesDamagedStreamsOnlyAsZlibDoes) {
    std::mt19937 rng(4242);
    const std::vector<bytes> all = samples();
    size_t taken = 0, tried = 0;
    for (const bytes& data : all) {
        for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED, Z_RLE}) {
            const bytes z = deflated(data, 9, strategy);
            for (int round = 0; round < 60; ++round) {
                bytes m = z;
                const int edits = 1 + static_cast<int>(rng() % 3);
                for (int e = 0; e < edits && !m.empty(); ++e) {
                    const size_t at = rng() % m.size();
                    if (rng() % 4 == 0) m.resize(at);
                    else m[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
                }
                const size_t room = data.size() + rng() % 64;
                const auto want = zlib_inflated(m, room);
                const auto got = fast_inflated(m, room);
                ++tried;
                if (!got) continue;
                ++taken;
                ASSERT_TRUE(want.has_value()) << "taken by the fast decoder only";
                ASSERT_EQ(*got, *want);
            }
        }
    }
    // The raw decoder judged without a checksum: what it takes, zlib's raw
    // inflate must take, with the same bytes.
    for (const bytes& data : all) {
        const bytes z = deflated(data, 6, Z_DEFAULT_STRATEGY, -15);
        for (int round = 0; round < 80; ++round) {
            bytes m = z;
            if (!m.empty()) m[rng() % m.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
            bytes mine(data.size() + 64);
            size_t made = 0, used = 0;
            ++tried;
            if (!inflate_raw(m, mine, made, used)) continue;
            ++taken;
            z_stream s{};
            ASSERT_EQ(inflateInit2(&s, -15), Z_OK);
            bytes theirs(mine.size());
            s.next_in = m.data();
            s.avail_in = static_cast<uInt>(m.size());
            s.next_out = theirs.data();
            s.avail_out = static_cast<uInt>(theirs.size());
            const int r = inflate(&s, Z_FINISH);
            const size_t their_used = m.size() - s.avail_in;
            inflateEnd(&s);
            ASSERT_EQ(r, Z_STREAM_END) << "taken by the fast decoder only";
            ASSERT_EQ(made, s.total_out);
            ASSERT_TRUE(std::equal(mine.begin(), mine.begin() + static_cast<ptrdiff_t>(made), theirs.begin()));
            EXPECT_EQ(used, their_used);
        }
    }
    EXPECT_GT(tried, 10000u);
    EXPECT_GT(taken, 100u);
}

TEST(Adler32, AgreesWithZlib) {
    std::mt19937 rng(99);
    bytes data(200000);
    for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
    // All 0xff: the sums at their largest before each reduction.
    const bytes full(100008, 0xff);
    for (const bytes* d : std::initializer_list<const bytes*>{&data, &full}) {
        for (size_t length : {0, 1, 15, 16, 17, 31, 5551, 5552, 5553, 5552 * 16 + 7, 100000}) {
            for (size_t start : {0, 1, 7}) {
                const std::span<const uint8_t> piece(d->data() + start, length);
                const uLong want = adler32(1, piece.data(), static_cast<uInt>(piece.size()));
                EXPECT_EQ(adler32_of(piece), want) << length << " at " << start;
                // Carried on from a partial sum, split anywhere.
                const size_t split = length / 3;
                EXPECT_EQ(adler32_update(adler32_of(piece.first(split)), piece.subspan(split)), want);
            }
        }
    }
}
