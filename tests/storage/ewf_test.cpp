// EWF images: the parsers on crafted bytes, the chunk order around gaps,
// and the ewfacquire-made fixtures read back as the raw images they hold.
#include "platform/unicode.hpp"
#include "container_files.hpp"
#include "storage/block_cache.hpp"
#include "storage/ewf.hpp"
#include "storage/ewf_chunk.hpp"
#include "storage/ewf_section.hpp"
#include "storage/ewf_table.hpp"
#include "storage/le.hpp"
#include "storage/sector_source.hpp"
#include "support/test_paths.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

namespace {

using bytes = std::vector<uint8_t>;

// `n` bytes whose last 4 hold the Adler-32 of the ones before.
bytes checked(bytes b) {
    le::put_u32(b, b.size() - 4, ewf_adler32(std::span<const uint8_t>(b).first(b.size() - 4)));
    return b;
}

bytes descriptor(const std::string& type, uint64_t next, uint64_t size) {
    bytes d(ewf_descriptor_bytes);
    std::copy(type.begin(), type.end(), d.begin());
    le::put_u64(d, 16, next);
    le::put_u64(d, 24, size);
    return checked(d);
}

bytes table_header(uint32_t entries, uint64_t base) {
    bytes h(ewf_table_header_bytes);
    le::put_u32(h, 0, entries);
    le::put_u64(h, 8, base);
    return checked(h);
}

bytes entries(std::initializer_list<uint32_t> values) {
    bytes b;
    for (uint32_t v : values)
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return b;
}

}  // namespace

TEST(EwfStructures, FileHeaderAndSectionDescriptors) {
    bytes head = {'E', 'V', 'F', 9, 13, 10, 0xff, 0, 1, 3, 0, 0, 0};
    EXPECT_TRUE(read_ewf_file_header(head).valid);
    EXPECT_EQ(read_ewf_file_header(head).segment, 3);
    head[9] = 0;  // segment 0
    EXPECT_FALSE(read_ewf_file_header(head).valid);

    const ewf_section t = read_ewf_section(descriptor("table2", 5000, 300), 1000);
    EXPECT_TRUE(t.checksum_ok);
    EXPECT_EQ(t.type, ewf_section_type::table2);
    EXPECT_EQ(ewf_section_length(t), 300u);
    // Writers that leave the size 0 ("next", "done", the oldest ones): the
    // distance to the next section, or the descriptor alone.
    EXPECT_EQ(ewf_section_length(read_ewf_section(descriptor("sectors", 1900, 0), 1000)), 900u);
    const ewf_section done = read_ewf_section(descriptor("done", 1000, 0), 1000);
    EXPECT_TRUE(ends_segment(done));
    EXPECT_EQ(ewf_section_length(done), ewf_descriptor_bytes);
    EXPECT_EQ(read_ewf_section(descriptor("xheader", 0, 0), 0).type, ewf_section_type::other);
    bytes broken = descriptor("volume", 2000, 1128);
    broken[40] = 1;  // padding is covered by the checksum too
    EXPECT_FALSE(read_ewf_section(broken, 0).checksum_ok);
}

TEST(EwfStructures, MediaInBothLayoutsWithinLimits) {
    bytes v(ewf_volume_bytes);
    le::put_u32(v, 8, 64);
    le::put_u32(v, 12, 512);
    le::put_u64(v, 16, (uint64_t(1) << 33) + 1);  // 64 bits: above 4 TiB of sectors
    v[64] = 0xab;
    ewf_media m;
    ASSERT_TRUE(read_ewf_media(checked(v), m));
    EXPECT_EQ(m.sector_count, (uint64_t(1) << 33) + 1);
    EXPECT_EQ(m.set_id[0], 0xab);
    EXPECT_TRUE(ewf_media_sane(m));
    EXPECT_EQ(ewf_chunks_needed(m), (uint64_t(1) << 27) + 1);  // the partial chunk counts
    EXPECT_TRUE(read_ewf_media(v, m));  // a checksum of 0: not computed by some hardware
    bytes wrong = checked(v);
    wrong[100] = 1;
    EXPECT_FALSE(read_ewf_media(wrong, m));

    bytes s(ewf_volume_short_bytes);  // the original layout: 32-bit sector count
    le::put_u32(s, 8, 64);
    le::put_u32(s, 12, 4096);
    le::put_u64(s, 16, 0x100000005ull);
    ASSERT_TRUE(read_ewf_media(checked(s), m));
    EXPECT_EQ(m.sector_count, 5u);
    EXPECT_EQ(m.bytes_per_sector, 4096u);
    EXPECT_FALSE(read_ewf_media(bytes(ewf_volume_short_bytes - 1), m));

    // A sector size that is no power of two, no sectors per chunk, a
    // chunk of 128 MiB, no sectors, a medium of 128 PiB.
    const ewf_media bad[] = {{0, 64, 520, 1000, 1, {}}, {0, 0, 512, 1000, 1, {}}, {0, 32768, 4096, 1000, 1, {}},
                             {0, 64, 512, 0, 1, {}}, {0, 64, 4096, uint64_t(1) << 45, 1, {}}};
    for (const ewf_media& b : bad) EXPECT_FALSE(ewf_media_sane(b)) << b.sectors_per_chunk << " " << b.bytes_per_sector;
}

TEST(EwfStructures, TablesWithAndWithoutBaseOffsets) {
    const ewf_table_header h = read_ewf_table_header(table_header(3, 1785));
    EXPECT_TRUE(h.checksum_ok);
    EXPECT_EQ(h.base, 1785u);
    EXPECT_TRUE(ewf_table_usable(h, 76 + 24 + 12));
    EXPECT_FALSE(ewf_table_usable(h, 76 + 24 + 11));  // entries past the section
    EXPECT_FALSE(ewf_table_usable(read_ewf_table_header(table_header(ewf_max_table_entries + 1, 0)), UINT64_MAX));

    // The top bit flags a compressed chunk; the other 31 count from the base.
    std::vector<uint64_t> out;
    decode_ewf_table(entries({0x8000004c, 0x0000060d}), 1785, 1u << 20, out);
    EXPECT_EQ(out, (std::vector<uint64_t>{(1785 + 0x4c) | ewf_compressed_bit, 1785 + 0x60d}));
    bytes raw = entries({0x8000004c, 0x0000060d});
    bytes footer = raw;
    auto sum = entries({ewf_adler32(raw)});
    footer.insert(footer.end(), sum.begin(), sum.end());
    EXPECT_TRUE(ewf_table_entries_ok(footer));
    footer[0] ^= 1;
    EXPECT_FALSE(ewf_table_entries_ok(footer));

    // EnCase 6.7.1 past 2 GiB: the full 32 bits are the offset of a stored
    // chunk, from the entry whose 31-bit offset falls back on.
    const auto overflowing = entries({0x7fff7ffc, 0x80000000, 0x80008004});
    decode_ewf_table(overflowing, 0, uint64_t(3) << 30, out);
    EXPECT_EQ(out, (std::vector<uint64_t>{0x7fff7ffc, 0x80000000, 0x80008004}));
    // The same entries in a file too short to hold them: compressed chunks
    // (damage for the reads to find), not an overflow.
    decode_ewf_table(overflowing, 0, 1u << 20, out);
    EXPECT_EQ(out[1], ewf_compressed_bit);
    decode_ewf_table(overflowing, uint64_t(1) << 63, uint64_t(3) << 30, out);
    EXPECT_EQ(out, std::vector<uint64_t>(3, ewf_nowhere));  // a base no file reaches
}

TEST(EwfNames, SegmentExtensionsInTheFirstSegmentsCase) {
    std::u16string ext;
    const std::pair<uint32_t, std::u16string> names[] = {
        {1, u"E01"}, {99, u"E99"}, {100, u"EAA"}, {125, u"EAZ"}, {126, u"EBA"}, {775, u"EZZ"}, {776, u"FAA"}};
    for (const auto& [n, e] : names) {
        ASSERT_TRUE(ewf_segment_extension(u'E', n, ext));
        EXPECT_EQ(ext, e);
    }
    EXPECT_EQ(ewf_last_segment(u'E'), 99u + 22 * 676);
    ASSERT_TRUE(ewf_segment_extension(u'E', ewf_last_segment(u'E'), ext));
    EXPECT_EQ(ext, u"ZZZ");
    EXPECT_FALSE(ewf_segment_extension(u'E', ewf_last_segment(u'E') + 1, ext));
    ASSERT_TRUE(ewf_segment_extension(u'e', 101, ext));
    EXPECT_EQ(ext, u"eab");
    ASSERT_TRUE(ewf_segment_extension(u's', 100, ext));
    EXPECT_EQ(ext, u"saa");
    for (char16_t family : {u'E', u's'})
        for (uint32_t n = 1; n <= ewf_last_segment(family); ++n) {
            uint32_t back = 0;
            ASSERT_TRUE(ewf_segment_extension(family, n, ext));
            ASSERT_TRUE(parse_ewf_extension(uni::ascii_lower(ext), family, back));
            ASSERT_EQ(back, n);
        }
    uint32_t n = 0;
    for (const char16_t* bad : {u"E00", u"EA1", u"X01", u"DAA", u"E1", u"E001"})
        EXPECT_FALSE(parse_ewf_extension(bad, u'E', n)) << uni::to_utf8(bad);
}

TEST(EwfChunkOrder, TablesPlacedAroundMissingSegments) {
    const auto table = [](uint32_t segment, uint32_t entries) {
        ewf_run r;
        r.known = true;
        r.table.segment = segment;
        r.table.entries = entries;
        return r;
    };
    const auto unknown = [](const std::string& file) { return ewf_run{false, {}, file, "segment missing"}; };
    std::vector<ewf_table_ref> placed;
    std::vector<ewf_gap> gaps;

    place_ewf_runs({table(0, 10), table(1, 10), table(2, 5)}, 25, placed, gaps);
    ASSERT_EQ(placed.size(), 3u);
    EXPECT_EQ(placed[2].first_chunk, 20u);
    EXPECT_TRUE(gaps.empty());

    // One missing segment costs its own chunks only: the tables after it
    // count back from the end.
    place_ewf_runs({table(0, 10), unknown("x.E02"), table(2, 10), table(3, 5)}, 40, placed, gaps);
    ASSERT_EQ(placed.size(), 3u);
    EXPECT_EQ(placed[1].first_chunk, 25u);
    EXPECT_EQ(placed[2].first_chunk, 35u);
    ASSERT_EQ(gaps.size(), 1u);
    EXPECT_EQ(gaps[0].first, 10u);
    EXPECT_EQ(gaps[0].end, 25u);
    EXPECT_EQ(gaps[0].file, "x.E02");

    // Between two gaps nothing can be placed; the report says so.
    place_ewf_runs({table(0, 10), unknown("x.E02"), table(2, 10), unknown("x.E04"), table(4, 5)}, 40, placed, gaps);
    ASSERT_EQ(placed.size(), 2u);
    EXPECT_EQ(placed[1].first_chunk, 35u);
    ASSERT_EQ(gaps.size(), 1u);
    EXPECT_EQ(gaps[0].end, 35u);
    EXPECT_NE(gaps[0].why.find("x.E04"), std::string::npos);

    // Tables that claim more chunks than the media has are not trusted
    // from the end; a set short of chunks has them in a gap.
    place_ewf_runs({unknown("x.E01"), table(1, 50)}, 40, placed, gaps);
    EXPECT_TRUE(placed.empty());
    place_ewf_runs({table(0, 10)}, 12, placed, gaps);
    ASSERT_EQ(gaps.size(), 1u);
    EXPECT_EQ(gaps[0].first, 10u);
}

namespace {

bytes file_bytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(f), {});
}

}  // namespace

TEST(EwfImage, FixturesReadAsTheRawImagesTheyHold) {
    const std::pair<const char*, const char*> sets[] = {
        {"main_e6_best.E01", "main.img"},   {"main_e5_none.E07", "main.img"},
        {"main_ftk_empty.E01", "main.img"}, {"mbr_e6_fast.E01", "mbr.img"},
        {"gpt4k_e6_best.E01", "gpt4k.img"}, {"mftfrag_ftk_best.E01", "mftfrag.img"},
    };
    for (const auto& [ewf, raw] : sets) {
        SCOPED_TRACE(ewf);
        const std::string e = test_paths::fixture(ewf), r = test_paths::fixture(raw);
        ASSERT_FALSE(e.empty() || r.empty()) << "fixtures not unpacked";
        const bytes expected = file_bytes(r);
        SectorSource src;
        std::string message;
        ASSERT_TRUE(open_image(src, uni::to_utf16(e), message)) << message;
        ASSERT_EQ(src.kind, SourceKind::Ewf);
        ASSERT_EQ(static_cast<uint64_t>(src.size), expected.size());
        EXPECT_EQ(src.sector_size, std::string(raw) == "gpt4k.img" ? 4096u : 512u);
        // Pieces that straddle chunk boundaries, of every chunk size used.
        bytes got(expected.size());
        constexpr uint32_t piece = 100000;
        for (uint64_t at = 0; at < got.size(); at += piece) {
            uint32_t length = piece;
            ASSERT_TRUE(read(src, got.data() + at, length, static_cast<int64_t>(at)));
        }
        EXPECT_TRUE(got == expected);
        const auto* img = dynamic_cast<const ewf_image*>(src.container.get());
        ASSERT_NE(img, nullptr);
        EXPECT_EQ(img->chunks_decoded(), img->chunk_count);  // each chunk once
    }
}

namespace {

// The offsets of the sections of `type` in the segment `seg`, its chain of
// descriptors followed from the file header.
std::vector<size_t> section_offsets(const bytes& seg, const std::string& type) {
    std::vector<size_t> found;
    for (uint64_t off = ewf_file_header_bytes; off + ewf_descriptor_bytes <= seg.size();) {
        const ewf_section s = read_ewf_section(std::span<const uint8_t>(seg).subspan(off), off);
        if (s.name == type) found.push_back(static_cast<size_t>(off));
        if (ends_segment(s) || s.next <= off) break;
        off = s.next;
    }
    return found;
}

// Writes the 25 segments of the main_e5_none set into `dir`, the first
// changed by `patch`.
template <typename patch_first>
void copy_e5_set(const container_files::temp_dir& dir, patch_first patch) {
    for (int i = 1; i <= 25; ++i) {
        const std::string name = "main_e5_none.E" + std::string(i < 10 ? "0" : "") + std::to_string(i);
        bytes seg = file_bytes(test_paths::fixture(name));
        if (i == 1) patch(seg);
        container_files::write_file(dir.file(name), seg);
    }
}

}  // namespace

// Entries that fail their checksum in both copies of a table are still
// read, but an entry that does not lie between its neighbours' may be one
// pointing at another chunk, whose bytes pass their own checks. Neither it
// nor the chunk whose span it breaks is read as data; both are reported.
// With one copy sound, that copy is read and nothing is reported.
TEST(EwfDamage, TableEntriesThatNoChecksumConfirms) {
    const std::string e = test_paths::fixture("main_e6_best.E01"), r = test_paths::fixture("main.img");
    ASSERT_FALSE(e.empty() || r.empty()) << "fixtures not unpacked";
    const bytes sound = file_bytes(e), raw = file_bytes(r);
    const auto tables = section_offsets(sound, "table"), mirrors = section_offsets(sound, "table2");
    ASSERT_EQ(tables.size(), 1u);
    ASSERT_EQ(mirrors.size(), 1u);
    constexpr uint64_t chunk = 32768;
    const auto entry_at = [](size_t table, size_t i) {
        return table + ewf_descriptor_bytes + ewf_table_header_bytes + 4 * i;
    };
    struct damage {
        const char* what;
        size_t entry, copied_from;
        bool both_copies;
        std::vector<uint64_t> unread;  // the chunks reported, read as zeros
    };
    const damage cases[] = {
        {"entry 5 made entry 6", 5, 6, true, {5, 6}},
        {"entry 5 made entry 3", 5, 3, true, {4, 5}},
        {"entry 5 made entry 3 in the table only", 5, 3, false, {}},
    };
    container_files::temp_dir dir;
    for (const damage& d : cases) {
        SCOPED_TRACE(d.what);
        bytes seg = sound;
        for (const size_t t : {tables[0], mirrors[0]}) {
            if (t == mirrors[0] && !d.both_copies) continue;
            std::copy_n(sound.begin() + static_cast<ptrdiff_t>(entry_at(t, d.copied_from)), 4,
                        seg.begin() + static_cast<ptrdiff_t>(entry_at(t, d.entry)));
        }
        const std::string path = dir.file("main.E01");
        container_files::write_file(path, seg);
        container_files::damage_lines lines;
        SectorSource src;
        ASSERT_TRUE(open_image(src, uni::to_utf16(path)));
        bytes got(8 * chunk);
        uint32_t n = static_cast<uint32_t>(got.size());
        ASSERT_TRUE(read(src, got.data(), n, 0));
        for (uint64_t c = 0; c < 8; ++c) {
            const bool unread = std::find(d.unread.begin(), d.unread.end(), c) != d.unread.end();
            const auto from = got.begin() + static_cast<ptrdiff_t>(c * chunk);
            if (unread)
                EXPECT_TRUE(std::all_of(from, from + chunk, [](uint8_t b) { return b == 0; })) << "chunk " << c;
            else
                EXPECT_TRUE(std::equal(from, from + chunk, raw.begin() + static_cast<ptrdiff_t>(c * chunk)))
                    << "chunk " << c;
        }
        ASSERT_EQ(lines.get().size(), d.unread.size());
        for (size_t i = 0; i < d.unread.size(); ++i) {
            EXPECT_NE(lines.get()[i].find("chunk " + std::to_string(d.unread[i]) + " "), std::string::npos);
            EXPECT_NE(lines.get()[i].find("table entry out of order"), std::string::npos) << lines.get()[i];
        }
        close(src);
    }
}

// A table and its table2 that disagree on the number of chunks, their
// headers both sound: every chunk placed after the table depends on that
// count. The copy whose entries pass their checksum is taken; when both
// pass, the table's chunks are reported and the others read as they are.
TEST(EwfDamage, TableAndTable2DisagreeingOnTheirChunkCount) {
    const std::string r = test_paths::fixture("main.img");
    ASSERT_FALSE(r.empty() || test_paths::fixture("main_e5_none.E01").empty()) << "fixtures not unpacked";
    const bytes raw = file_bytes(r);
    constexpr uint64_t chunk = 32768;
    // One entry fewer in `type`, its header's checksum mended, and that of
    // its entries too when `entries_sum`.
    const auto one_fewer = [](bytes& seg, const std::string& type, bool entries_sum) {
        const size_t t = section_offsets(seg, type).at(0);
        const size_t h = t + ewf_descriptor_bytes, e = h + ewf_table_header_bytes;
        const uint32_t n = le::u32(seg, h) - 1;
        le::put_u32(seg, h, n);
        le::put_u32(seg, h + 20, ewf_adler32(std::span<const uint8_t>(seg).subspan(h, 20)));
        if (entries_sum) le::put_u32(seg, e + 4 * n, ewf_adler32(std::span<const uint8_t>(seg).subspan(e, 4 * n)));
    };
    struct damage {
        const char* what;
        const char* type;
        bool entries_sum;
        uint64_t unread;  // the chunks of E01 reported when both copies pass
    };
    const damage cases[] = {
        {"the table one entry short", "table", false, 0},
        {"the table2 one entry short", "table2", false, 0},
        {"the table one entry short, its entries' checksum mended", "table", true, 31},
    };
    for (const damage& d : cases) {
        SCOPED_TRACE(d.what);
        container_files::temp_dir dir;
        copy_e5_set(dir, [&](bytes& seg) { one_fewer(seg, d.type, d.entries_sum); });
        container_files::damage_lines lines;
        SectorSource src;
        ASSERT_TRUE(open_image(src, uni::to_utf16(dir.file("main_e5_none.E01"))));
        bytes got(raw.size());
        for (uint64_t at = 0; at < got.size(); at += chunk) {
            uint32_t n = static_cast<uint32_t>(chunk);
            ASSERT_TRUE(read(src, got.data() + at, n, static_cast<int64_t>(at)));
        }
        const auto split = got.begin() + static_cast<ptrdiff_t>(d.unread * chunk);
        EXPECT_TRUE(std::all_of(got.begin(), split, [](uint8_t b) { return b == 0; }));
        EXPECT_TRUE(std::equal(split, got.end(), raw.begin() + static_cast<ptrdiff_t>(d.unread * chunk)));
        EXPECT_EQ(damage_count(), d.unread);
        if (d.unread) {
            EXPECT_NE(lines.get().at(0).find("disagree on its chunk count"), std::string::npos);
        }
        close(src);
    }
}

// The volume section of the first segment giving another sector count
// than the data sections of the others, all of them sound: the disk is
// read as the first says, and the disagreement is reported.
TEST(EwfDamage, SegmentsDisagreeingOnTheMediaSize) {
    ASSERT_FALSE(test_paths::fixture("main_e5_none.E01").empty()) << "fixtures not unpacked";
    for (const int64_t change : {-640, 64}) {
        SCOPED_TRACE(change);
        container_files::temp_dir dir;
        uint64_t sectors = 0;
        copy_e5_set(dir, [&](bytes& seg) {
            const size_t v = section_offsets(seg, "volume").at(0) + ewf_descriptor_bytes;
            sectors = le::u64(seg, v + 16) + static_cast<uint64_t>(change);
            le::put_u64(seg, v + 16, sectors);
            le::put_u32(seg, v + ewf_volume_bytes - 4,
                        ewf_adler32(std::span<const uint8_t>(seg).subspan(v, ewf_volume_bytes - 4)));
        });
        container_files::damage_lines lines;
        SectorSource src;
        ASSERT_TRUE(open_image(src, uni::to_utf16(dir.file("main_e5_none.E01"))));
        EXPECT_EQ(static_cast<uint64_t>(src.size), sectors * 512);
        ASSERT_EQ(lines.get().size(), 1u);
        EXPECT_NE(lines.get()[0].find("main_e5_none.E02: its media sizes (49152 sectors of 512 bytes, 64 to a chunk) "
                                      "disagree with those of"),
                  std::string::npos)
            << lines.get()[0];
        close(src);
    }
}

// The main fixture's E01 (chunks of 32 KiB), and reads of a KiB from it.
struct main_ewf {
    SectorSource src;
    const ewf_image* img = nullptr;
    bytes b = bytes(1024);
    bytes raw;  // main.img, which the set holds, once open_with_raw loaded it

    bool open() {
        const std::string e = test_paths::fixture("main_e6_best.E01");
        if (e.empty() || !open_image(src, uni::to_utf16(e))) return false;
        img = dynamic_cast<const ewf_image*>(src.container.get());
        return img != nullptr;
    }
    bool open_with_raw() {
        const std::string r = test_paths::fixture("main.img");
        if (r.empty()) return false;
        raw = file_bytes(r);
        return open();
    }
    void read_at(uint64_t at) {
        uint32_t n = static_cast<uint32_t>(b.size());
        read(src, b.data(), n, static_cast<int64_t>(at));
    }
    void read_chunks(uint64_t from, uint64_t to) {
        for (uint64_t c = from; c < to; ++c) read_at(c * 32768);
    }
};

TEST(EwfImage, ChunksDecodedOnceWhileKeptAndAheadWhenAsked) {
    main_ewf m;
    ASSERT_TRUE(m.open());
    SectorSource& src = m.src;
    const ewf_image& img = *m.img;
    const auto read_at = [&](uint64_t at) { m.read_at(at); };
    for (uint64_t at = 0; at < 32768; at += 1024) read_at(3 * 32768 + at);
    EXPECT_EQ(img.chunks_decoded(), 1u);
    // The least recently used chunk goes first: after 300 others, chunk 3
    // is decoded again, the last of them is not.
    for (uint64_t c = 100; c < 400; ++c) read_at(c * 32768);
    read_at(399 * 32768);
    EXPECT_EQ(img.chunks_decoded(), 301u);
    read_at(3 * 32768);
    EXPECT_EQ(img.chunks_decoded(), 302u);

    // Chunks asked for ahead are decoded by the second thread and then
    // read from the cache.
    std::vector<uint64_t> ahead;
    for (uint64_t c = 500; c < 520; ++c) ahead.push_back(c * 32768 + 100);
    prefetch(src, ahead);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (img.chunks_decoded() < 322 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(img.chunks_decoded(), 322u);
    for (uint64_t at : ahead) read_at(at);
    EXPECT_EQ(img.chunks_decoded(), 322u);
    // Closing with chunks still queued does not wait for them.
    prefetch(src, std::vector<uint64_t>(1, 600 * 32768));
    close(src);
}

// Decoding ahead stops once the limit of chunks waiting unread is reached,
// and goes on as they are read: each read that makes room must wake the
// worker again, or the reads would decode the rest themselves.
TEST(EwfImage, DecodingAheadWaitsAtTheUnreadLimitAndGoesOnAsChunksAreRead) {
    main_ewf m;
    ASSERT_TRUE(m.open());
    SectorSource& src = m.src;
    const ewf_image& img = *m.img;
    // The count once no chunk has been decoded for a while.
    const auto settled = [&] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        uint64_t last = img.chunks_decoded();
        for (int quiet = 0; quiet < 20 && std::chrono::steady_clock::now() < until;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            const uint64_t now = img.chunks_decoded();
            quiet = now == last ? quiet + 1 : 0;
            last = now;
        }
        return last;
    };
    const uint64_t limit = ewf_chunk_cache_bytes / 32768 / 4;  // a quarter of the fixture's cache
    const uint64_t first = 600, count = limit + 40;
    std::vector<uint64_t> ahead;
    for (uint64_t c = first; c < first + count; ++c) ahead.push_back(c * 32768);
    prefetch(src, ahead);
    EXPECT_EQ(settled(), limit);
    m.read_chunks(first, first + 10);
    EXPECT_EQ(settled(), limit + 10);
    m.read_chunks(first + 10, first + count);
    EXPECT_EQ(settled(), count);  // each chunk once
    close(src);
}

// A seeded mix of what a listing does to an image, on both threads: hints
// of scattered and neighbouring chunks, reads through a block cache and
// straight, lends held and given back out of order. Every byte is the raw
// image's, lent bytes stay so until given back, and nothing stays lent once
// the cache is cleared.
TEST(EwfImage, AMixOfHintsReadsAndLendsGivesTheRawBytes) {
    main_ewf m;
    ASSERT_TRUE(m.open_with_raw());
    const bytes& expected = m.raw;
    SectorSource& src = m.src;
    const uint64_t size = expected.size(), chunks = size / 32768;
    std::mt19937_64 g(17);
    block_cache cache;
    struct held {
        uint64_t token, at;
        uint32_t n;
        const uint8_t* data;
    };
    std::vector<held> lends;
    size_t wrong = 0;
    const auto still_right = [&](const held& h) {
        return std::equal(h.data, h.data + h.n, expected.begin() + static_cast<std::ptrdiff_t>(h.at));
    };
    for (int step = 0; step < 6000; ++step) {
        const uint64_t at = g() % size;
        const uint32_t len = static_cast<uint32_t>(std::min<uint64_t>(1 + g() % 40000, size - at));
        bytes got(len);
        uint32_t n = len;
        const uint8_t* data = nullptr;
        uint64_t token = 0;
        switch (g() % 8) {
        case 0: {
            std::vector<uint64_t> hint;
            const uint64_t from = g() % chunks;
            for (uint64_t k = 0, count = g() % 150; k < count; ++k)
                hint.push_back(((g() % 3 ? from + k : g()) % chunks) * 32768 + g() % 32768);
            prefetch(src, hint);
            break;
        }
        case 1: case 2: case 3:
            ASSERT_TRUE(cached_read(cache, src, got.data(), n, static_cast<int64_t>(at)));
            wrong += n != len || !std::equal(got.begin(), got.end(), expected.begin() + static_cast<std::ptrdiff_t>(at));
            break;
        case 4:
            ASSERT_TRUE(read(src, got.data(), n, static_cast<int64_t>(at)));
            wrong += n != len || !std::equal(got.begin(), got.end(), expected.begin() + static_cast<std::ptrdiff_t>(at));
            break;
        case 5: case 6:
            n = std::min<uint32_t>(len, 4096);
            if (lend(src, at, n, data, token)) {
                lends.push_back({token, at, n, data});
                wrong += !still_right(lends.back());
            }
            break;
        default:
            if (!lends.empty()) {
                const size_t k = g() % lends.size();
                wrong += !still_right(lends[k]);
                give_back(src, lends[k].token);
                lends.erase(lends.begin() + static_cast<std::ptrdiff_t>(k));
            }
        }
    }
    EXPECT_EQ(wrong, 0u);
    for (const held& h : lends) {
        EXPECT_TRUE(still_right(h));
        give_back(src, h.token);
    }
    clear(cache);
    EXPECT_EQ(m.img->chunks_lent(), 0u);
    close(src);
}

// The chunk cache on its own, for chunks from the usual 32 KiB up to sizes
// where it holds only a few: chunks decoded ahead up to the limit are all
// still there when read (none pushed out by the others), however large the
// chunks; a quarter lent and two being filled still leave a slot; and the
// slot refilled is the one used longest ago, lent ones passed over.
TEST(EwfChunkCache, DecodedAheadStaysAndTheLeastRecentlyUsedGoes) {
    for (const uint32_t size : {32768u, 262144u, 2097152u, 16777216u}) {
        SCOPED_TRACE(size);
        ewf_chunk_cache c;
        c.init(size);
        const size_t slots = c.slots.size();
        ASSERT_GE(slots, ewf_min_cached_chunks);
        EXPECT_GE(c.unread_limit, 1u);
        EXPECT_LE(c.unread_limit, std::max<size_t>(1, slots / 4));
        // A reader decodes chunk 0 and reads it; a worker then decodes
        // ahead as far as the limit lets it, while the reader decodes
        // chunks of its own.
        c.release(*c.reserve(0), true, false);
        uint64_t next = 100;
        while (c.unread < c.unread_limit) {
            ewf_chunk_cache::slot* s = c.reserve(next++);
            ASSERT_NE(s, nullptr);
            c.release(*s, true, true);
        }
        for (uint64_t own = 1000; own < 1000 + slots - c.unread_limit - 1; ++own) c.release(*c.reserve(own), true, false);
        for (uint64_t k = 100; k < next; ++k) EXPECT_NE(c.find(k), nullptr) << k;
        EXPECT_EQ(c.unread, 0u);
        EXPECT_EQ(c.where.size(), slots);

        // A quarter lent, two being filled: a slot is still free.
        std::vector<size_t> lent;
        size_t index = 0;
        for (uint64_t k = 1000; lent.size() < slots / 4 && k < 1000 + slots; ++k)
            if (c.lend(k, index)) lent.push_back(index);
        EXPECT_EQ(lent.size(), slots / 4);
        ewf_chunk_cache::slot* a = c.reserve(5000);
        ewf_chunk_cache::slot* b = c.reserve(5001);
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        ASSERT_NE(c.reserve(5002), nullptr);
        for (const size_t i : lent) c.give_back(i);
        EXPECT_EQ(c.lent, 0u);
    }

    // Least recently used first, lent slots passed over, a failed decode
    // leaving its slot the next to be filled.
    ewf_chunk_cache c;
    c.init(uint32_t(ewf_chunk_cache_bytes / ewf_min_cached_chunks));
    ASSERT_EQ(c.slots.size(), ewf_min_cached_chunks);
    for (uint64_t k = 1; k <= 4; ++k) c.release(*c.reserve(k), true, false);
    size_t index = 0;
    ASSERT_NE(c.lend(1, index), nullptr);
    for (uint64_t k = 2; k <= 4; ++k) ASSERT_NE(c.find(k), nullptr);  // 1, lent, is now the oldest
    ewf_chunk_cache::slot* s = c.reserve(5);
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(c.has(1));
    EXPECT_FALSE(c.has(2));
    c.release(*s, false, false);
    EXPECT_EQ(c.reserve(6), s);  // the slot left empty is filled next
    c.release(*s, true, false);
    EXPECT_TRUE(c.has(1) && c.has(3) && c.has(4) && c.has(6));
    c.give_back(index);
    c.release(*c.reserve(7), true, false);
    EXPECT_FALSE(c.has(1));  // given back, and the oldest
}

// Chunks lent in place (to a volume's block cache) are not refilled while
// lent, however many other chunks are read; given back, they may be. Only
// bytes within one chunk are lent, and never from more than a quarter of
// the cache at once; a block cache over the image reads it as it is.
TEST(EwfImage, LentChunksStayUntilGivenBack) {
    main_ewf m;
    ASSERT_TRUE(m.open_with_raw());
    const bytes& expected = m.raw;
    SectorSource& src = m.src;
    const ewf_image& img = *m.img;
    const auto same = [&](const uint8_t* data, uint64_t at, uint32_t n) {
        return std::equal(data, data + n, expected.begin() + static_cast<std::ptrdiff_t>(at));
    };
    const auto read_chunks = [&](uint64_t from, uint64_t to) { m.read_chunks(from, to); };
    const uint8_t* data = nullptr;
    uint64_t token = 0;
    ASSERT_TRUE(lend(src, 5 * 32768 + 16384, 16384, data, token));
    EXPECT_TRUE(same(data, 5 * 32768 + 16384, 16384));
    read_chunks(100, 400);  // more than the cache holds
    EXPECT_TRUE(same(data, 5 * 32768 + 16384, 16384));
    const uint64_t decoded = img.chunks_decoded();
    const uint8_t* again = nullptr;
    uint64_t token2 = 0;
    ASSERT_TRUE(lend(src, 5 * 32768, 100, again, token2));  // still kept: not decoded again
    EXPECT_EQ(img.chunks_decoded(), decoded);
    EXPECT_EQ(img.chunks_lent(), 1u);
    give_back(src, token);
    give_back(src, token2);
    EXPECT_EQ(img.chunks_lent(), 0u);
    read_chunks(400, 700);
    ASSERT_TRUE(lend(src, 5 * 32768, 100, again, token2));
    EXPECT_EQ(img.chunks_decoded(), decoded + 301);  // pushed out once given back
    give_back(src, token2);

    EXPECT_FALSE(lend(src, 32768 - 100, 200, data, token));  // across two chunks
    EXPECT_FALSE(lend(src, src.size - 100, 200, data, token));
    const size_t most = ewf_chunk_cache_bytes / 32768 / 4;
    std::vector<uint64_t> tokens;
    for (uint64_t c = 0; c < 2 * most && lend(src, c * 32768, 512, data, token); ++c) tokens.push_back(token);
    EXPECT_EQ(tokens.size(), most);
    // Reads go on, lent or not.
    block_cache cache;
    bytes got(expected.size());
    for (uint64_t at = 0; at < got.size(); at += 1000) {
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(1000, got.size() - at));
        ASSERT_TRUE(cached_read(cache, src, got.data() + at, n, static_cast<int64_t>(at)));
    }
    EXPECT_TRUE(got == expected);
    for (const uint64_t t : tokens) give_back(src, t);
    clear(cache);
    EXPECT_EQ(img.chunks_lent(), 0u);  // the cache could borrow nothing
    got.assign(got.size(), 0);
    for (uint64_t at = 0; at < got.size(); at += 1000) {
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(1000, got.size() - at));
        ASSERT_TRUE(cached_read(cache, src, got.data() + at, n, static_cast<int64_t>(at)));
    }
    EXPECT_TRUE(got == expected);
    EXPECT_GT(img.chunks_lent(), 0u);
    EXPECT_LE(img.chunks_lent(), size_t(cache.max_chunks));
    clear(cache);
    EXPECT_EQ(img.chunks_lent(), 0u);
    close(src);
}
