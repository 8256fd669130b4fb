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
// distance below twice the widest copy, in short matches and in long
// ones), text, and the MFT of a real volume.
std::vector<bytes> samples() {
    std::mt19937 rng(17);
    std::vector<bytes> out;
    bytes noise(40000);
    for (uint8_t& b : noise) b = static_cast<uint8_t>(rng());
    out.push_back(noise);
    out.push_back(bytes(32768, 0));
    out.push_back(bytes(1, 'x'));
    out.push_back({});
    for (size_t period = 1; period <= 40; ++period) {
        bytes r(5000 + period);
        for (size_t i = 0; i < r.size(); ++i) r[i] = static_cast<uint8_t>(i % period == 0 ? rng() : 'a' + i % period);
        out.push_back(r);
        // The same pattern over and over: matches of the longest length.
        bytes seed(period);
        for (uint8_t& b : seed) b = static_cast<uint8_t>(rng());
        for (size_t i = 0; i < r.size(); ++i) r[i] = seed[i % period];
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
    for (size_t at = 0, pieces = 0; at + 65536 <= disk.size() && pieces < 24; at += disk.size() / 24, ++pieces)
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

namespace {

// Deflate bits as the format sends them: values from their low bit, Huffman
// codes from their top bit.
struct bit_writer {
    bytes out;
    uint64_t buf = 0;
    unsigned n = 0;
    void put(uint32_t value, unsigned bits) {
        buf |= uint64_t(value) << n;
        for (n += bits; n >= 8; n -= 8, buf >>= 8) out.push_back(static_cast<uint8_t>(buf));
    }
    void put_code(uint32_t code, unsigned length) {
        for (unsigned i = length; i-- > 0;) put((code >> i) & 1, 1);
    }
    bytes finish() {
        if (n) out.push_back(static_cast<uint8_t>(buf));
        return out;
    }
};

// The canonical codes of `lengths`.
std::vector<uint32_t> canonical_codes(const std::vector<uint8_t>& lengths) {
    std::vector<uint32_t> count(16, 0), next(16, 0), codes(lengths.size(), 0);
    for (uint8_t l : lengths) ++count[l];
    count[0] = 0;
    for (unsigned len = 1, code = 0; len < 16; ++len) next[len] = code = (code + count[len - 1]) << 1;
    for (size_t s = 0; s < lengths.size(); ++s)
        if (lengths[s]) codes[s] = next[lengths[s]]++;
    return codes;
}

// Gives `symbols` the lengths 1, 2, ..., 14, 15 and 15: a complete code
// whose every length is used once, the longest twice.
void staircase(std::vector<uint8_t>& lengths, const std::vector<unsigned>& symbols) {
    for (size_t i = 0; i < symbols.size(); ++i) lengths[symbols[i]] = static_cast<uint8_t>(std::min<size_t>(i + 1, 15));
}

// A zlib stream of one dynamic block whose codes have every length from 1
// to 15 bits, literals and lengths and distances among them, with the
// longest extra bits; its symbols are drawn at random. `expected` gets the
// bytes it stands for.
bytes staircase_stream(std::mt19937& rng, size_t symbols, bytes& expected) {
    const std::vector<unsigned> lit_symbols = {'a', 'b', 257, 'c', 'd', 256, 'e', 265, 'f', 'g', 'h', 274, 'i', 281, 284, 'j'};
    const std::vector<unsigned> dist_symbols = {0, 4, 10, 1, 2, 3, 5, 6, 7, 8, 9, 11, 12, 13, 28, 29};
    std::vector<uint8_t> lit_lengths(286, 0), dist_lengths(30, 0);
    staircase(lit_lengths, lit_symbols);
    staircase(dist_lengths, dist_symbols);
    const std::vector<uint32_t> lit_codes = canonical_codes(lit_lengths), dist_codes = canonical_codes(dist_lengths);
    const uint16_t length_base[] = {3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    const uint8_t length_extra[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    const uint16_t dist_base[] = {1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
    const uint8_t dist_extra[] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

    bit_writer w;
    w.put(0x78, 8);
    w.put(0x01, 8);
    w.put(1, 1);  // the last block
    w.put(2, 2);  // dynamic codes
    w.put(286 - 257, 5);
    w.put(30 - 1, 5);
    w.put(19 - 4, 4);
    // The code-length code: 4 bits for each of the lengths 0 to 15, whose
    // codes are then their own values.
    const unsigned order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    for (unsigned s : order) w.put(s < 16 ? 4 : 0, 3);
    for (uint8_t l : lit_lengths) w.put_code(l, 4);
    for (uint8_t l : dist_lengths) w.put_code(l, 4);

    expected.clear();
    for (size_t k = 0; k < symbols; ++k) {
        const unsigned s = lit_symbols[rng() % lit_symbols.size()];
        if (s == 256) continue;
        if (s < 256) {
            w.put_code(lit_codes[s], lit_lengths[s]);
            expected.push_back(static_cast<uint8_t>(s));
            continue;
        }
        // A match: at the farthest distance its code reaches that the
        // bytes so far allow, its extra bits at random.
        std::vector<unsigned> reachable;
        for (unsigned d : dist_symbols)
            if (dist_base[d] <= expected.size()) reachable.push_back(d);
        if (reachable.empty()) continue;
        const unsigned d = reachable[rng() % reachable.size()];
        const uint32_t dmax = std::min<uint32_t>((1u << dist_extra[d]) - 1, static_cast<uint32_t>(expected.size() - dist_base[d]));
        const uint32_t dx = rng() % (dmax + 1);
        const uint32_t lx = rng() % (1u << length_extra[s - 257]);
        const size_t length = length_base[s - 257] + lx, distance = dist_base[d] + dx;
        w.put_code(lit_codes[s], lit_lengths[s]);
        w.put(lx, length_extra[s - 257]);
        w.put_code(dist_codes[d], dist_lengths[d]);
        w.put(dx, dist_extra[d]);
        for (size_t i = 0; i < length; ++i) expected.push_back(expected[expected.size() - distance]);
    }
    w.put_code(lit_codes[256], lit_lengths[256]);
    bytes z = w.finish();
    const uint32_t sum = adler32_of(expected);
    for (int i = 0; i < 4; ++i) z.push_back(static_cast<uint8_t>(sum >> (24 - 8 * i)));
    return z;
}

}  // namespace

// Streams zlib's deflate does not make: codes of every length up to 15
// bits, long codes for literals, lengths and distances, and matches that
// take up to 48 bits at once, so that the direct tables, the codes past
// them and the bit accounting around each match are all used, and the
// switch to the careful loop falls at every place.
TEST(Inflate, DecodesCodesOfEveryLength) {
    std::mt19937 rng(31);
    for (size_t symbols : {size_t(0), size_t(1), size_t(5), size_t(40), size_t(300), size_t(4000), size_t(60000)}) {
        for (int round = 0; round < 12; ++round) {
            bytes expected;
            const bytes z = staircase_stream(rng, symbols + static_cast<size_t>(round), expected);
            ASSERT_EQ(zlib_inflated(z, expected.size() + 1), expected) << "the test's own stream is wrong";
            ASSERT_EQ(fast_inflated(z, expected.size()), expected) << symbols << " symbols, round " << round;
            if (!expected.empty()) {
                EXPECT_FALSE(fast_inflated(z, expected.size() - 1).has_value());
            }
        }
    }
}

TEST(Adler32, AgreesWithZlib) {
    std::mt19937 rng(99);
    bytes data(200000);
    for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
    // All 0xff: the sums at their largest before each reduction.
    const bytes full(100008, 0xff);
    for (const bytes* d : std::initializer_list<const bytes*>{&data, &full}) {
        for (size_t length : {0, 1, 15, 16, 17, 31, 32, 33, 47, 48, 63, 5551, 5552, 5553, 5552 * 16 + 7, 100000}) {
            for (size_t start : {0, 1, 7}) {
                const std::span<const uint8_t> piece(d->data() + start, length);
                const uLong want = adler32(1, piece.data(), static_cast<uInt>(piece.size()));
                EXPECT_EQ(adler32_of(piece), want) << length << " at " << start;
                EXPECT_EQ(adler32_update_baseline(1, piece), want) << length << " at " << start;
                // Carried on from a partial sum, split anywhere.
                const size_t split = length / 3;
                EXPECT_EQ(adler32_update(adler32_of(piece.first(split)), piece.subspan(split)), want);
            }
        }
    }
}
