// Split raw images: which names form a set, which pieces it has, and that
// the set reads as the one disk it was cut from.
#include "platform/unicode.hpp"
#include "storage/container.hpp"
#include "storage/damage.hpp"
#include "storage/sector_source.hpp"
#include "storage/split_raw.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct temp_dir {
    fs::path path;
    temp_dir() {
        char tmpl[] = "/tmp/brelvik-split-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~temp_dir() { fs::remove_all(path); }
    std::u16string file(const std::string& name, const std::vector<uint8_t>& bytes) const {
        std::ofstream f(path / name, std::ios::binary);
        f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return uni::to_utf16((path / name).string());
    }
    std::u16string file(const std::string& name) const { return file(name, {1}); }
};

std::vector<std::string> leaf_names(const std::vector<std::u16string>& pieces) {
    std::vector<std::string> out;
    for (const auto& p : pieces) out.push_back(fs::path(uni::to_utf8(p)).filename().string());
    return out;
}

TEST(SplitRawNames, ANumberOfThreeToNineDigitsEndsAPieceName) {
    split_name n;
    ASSERT_TRUE(parse_split_name(u"/ev/disk.dd.001", n));
    EXPECT_EQ(n.folder, u"/ev/");
    EXPECT_EQ(n.stem, u"disk.dd.");
    EXPECT_EQ(n.digits, 3u);
    EXPECT_EQ(n.number, 1u);
    ASSERT_TRUE(parse_split_name(u"img_0042", n));
    EXPECT_EQ(n.folder, u"");
    EXPECT_EQ(n.stem, u"img_");
    EXPECT_EQ(n.number, 42u);
    EXPECT_EQ(split_piece_name(n, 7), u"img_0007");
    EXPECT_EQ(split_piece_name(n, 12345), u"img_12345");
    EXPECT_FALSE(parse_split_name(u"/ev/disk.01", n));        // two digits
    EXPECT_FALSE(parse_split_name(u"/ev/disk.1234567890", n)); // ten digits
    EXPECT_FALSE(parse_split_name(u"/ev/001/disk", n));        // digits in the folder only
    EXPECT_FALSE(parse_split_name(u"", n));
}

TEST(SplitRawNames, PiecesOfASetInNumberOrderAndGapsNamed) {
    temp_dir d;
    for (const char* n : {"disk.003", "disk.001", "disk.002", "other.004", "disk.01", "disk.x001"}) d.file(n);
    std::vector<std::u16string> pieces;
    std::string message;
    // Any piece of the set names the whole set, from its first piece.
    ASSERT_TRUE(find_split_pieces(d.file("disk.002"), pieces, message)) << message;
    EXPECT_EQ(leaf_names(pieces), (std::vector<std::string>{"disk.001", "disk.002", "disk.003"}));

    d.file("disk.005");
    EXPECT_FALSE(find_split_pieces(d.file("disk.001"), pieces, message));
    EXPECT_EQ(message, "split image piece missing: " + (d.path / "disk.004").string());

    // A lone numbered file is a plain image.
    EXPECT_FALSE(find_split_pieces(d.file("other.004"), pieces, message));
    EXPECT_EQ(message, "");

    // Sets may count from zero; numbers may outgrow the digits of the first.
    temp_dir z;
    for (int i = 0; i <= 1001; ++i) {
        std::string digits = std::to_string(i);
        digits.insert(0, digits.size() < 3 ? 3 - digits.size() : 0, '0');
        z.file("p_" + digits);
    }
    ASSERT_TRUE(find_split_pieces(z.file("p_000"), pieces, message)) << message;
    ASSERT_EQ(pieces.size(), 1002u);
    EXPECT_EQ(leaf_names(pieces).back(), "p_1001");
    // A piece past the padding names the same set, from its first piece.
    ASSERT_TRUE(find_split_pieces(z.file("p_1000"), pieces, message)) << message;
    ASSERT_EQ(pieces.size(), 1002u);
    EXPECT_EQ(leaf_names(pieces).front(), "p_000");
    fs::remove(z.path / "p_1001");
    ASSERT_TRUE(find_split_pieces(z.file("p_1000"), pieces, message)) << message;
    EXPECT_EQ(pieces.size(), 1001u);
    fs::remove(z.path / "p_500");
    EXPECT_FALSE(find_split_pieces(z.file("p_1000"), pieces, message));
    EXPECT_EQ(message, "split image piece missing: " + (z.path / "p_500").string());

    // A set whose first piece is gone says so.
    temp_dir late;
    late.file("x.002");
    late.file("x.003");
    EXPECT_FALSE(find_split_pieces(late.file("x.003"), pieces, message));
    EXPECT_EQ(message, "split image piece missing: " + (late.path / "x.001").string());
}

// A folder of more entries than are listed may hold pieces that are not
// among those listed: none is left out, and a gap is still named.
TEST(SplitRawNames, PiecesOfAFolderTooLargeToListAreLookedUpByName) {
    temp_dir d;
    for (const char* n : {"a", "b", "c", "disk.001", "disk.002", "disk.003", "disk.004", "other.007"}) d.file(n);
    std::vector<std::u16string> pieces;
    std::string message;
    for (const char* given : {"disk.001", "disk.003"}) {
        ASSERT_TRUE(find_split_pieces(d.file(given), pieces, message, 2)) << given << " " << message;
        EXPECT_EQ(leaf_names(pieces), (std::vector<std::string>{"disk.001", "disk.002", "disk.003", "disk.004"}));
    }
    EXPECT_FALSE(find_split_pieces(d.file("other.007"), pieces, message, 2));
    EXPECT_EQ(message, "");
    fs::remove(d.path / "disk.003");
    EXPECT_FALSE(find_split_pieces(d.file("disk.004"), pieces, message, 2));
    EXPECT_EQ(message, "split image piece missing: " + (d.path / "disk.003").string());
}

TEST(SplitRawImage, ReadsAcrossPiecesAsTheWholeDisk) {
    std::vector<uint8_t> disk(10000);
    for (size_t i = 0; i < disk.size(); ++i) disk[i] = static_cast<uint8_t>(i * 7 + i / 251);
    temp_dir d;
    // Uneven pieces, one of them empty, as a cut that went wrong can leave.
    const size_t cuts[] = {0, 3000, 3000, 3001, 8192, 10000};
    for (size_t i = 0; i + 1 < std::size(cuts); ++i)
        d.file("disk.00" + std::to_string(i + 1),
               std::vector<uint8_t>(disk.begin() + static_cast<long>(cuts[i]), disk.begin() + static_cast<long>(cuts[i + 1])));
    image_format format;
    ASSERT_TRUE(identify_image_file(uni::to_utf16((d.path / "disk.001").string()), format));
    EXPECT_EQ(format, image_format::split_raw);

    SectorSource s;
    std::string message;
    ASSERT_TRUE(open_image(s, uni::to_utf16((d.path / "disk.001").string()), message)) << message;
    EXPECT_EQ(s.kind, SourceKind::SplitRaw);
    EXPECT_EQ(total_size(s), disk.size());
    for (const auto& [offset, length] : std::vector<std::pair<int64_t, uint32_t>>{
             {0, 10000}, {2990, 20}, {2999, 3}, {3000, 1}, {8000, 500}, {9990, 100}}) {
        std::vector<uint8_t> got(length, 0xEE);
        uint32_t n = length;
        ASSERT_TRUE(read(s, got.data(), n, offset)) << offset;
        const uint32_t expected = static_cast<uint32_t>(std::min<int64_t>(length, 10000 - offset));
        EXPECT_EQ(n, expected);
        EXPECT_TRUE(std::equal(got.begin(), got.begin() + n, disk.begin() + offset)) << offset;
    }

    // Without its middle piece the set does not open, and says which piece.
    fs::remove(d.path / "disk.003");
    EXPECT_FALSE(open_image(s, uni::to_utf16((d.path / "disk.001").string()), message));
    EXPECT_EQ(message, "split image piece missing: " + (d.path / "disk.003").string());
}

TEST(ImageFormat, SignaturesDecideAndRefusedFormatsAreNamed) {
    auto bytes = [](std::string_view s) { return std::vector<uint8_t>(s.begin(), s.end()); };
    const std::vector<uint8_t> none(512, 0);
    EXPECT_EQ(identify_image(bytes({"EVF\x09\x0d\x0a\xff\x00\x01", 9}), none), image_format::ewf);
    EXPECT_EQ(identify_image(bytes({"EVF2\x0d\x0a\x81\x00", 8}), none), image_format::ewf2);
    EXPECT_EQ(identify_image(bytes({"LVF\x09\x0d\x0a\xff\x00", 8}), none), image_format::logical_ewf);
    EXPECT_EQ(identify_image(bytes("vhdxfile"), none), image_format::vhdx);
    EXPECT_EQ(identify_image(bytes("KDMV"), none), image_format::vmdk);
    EXPECT_EQ(identify_image(bytes("# Disk DescriptorFile\nversion=1\n"), none), image_format::vmdk);
    std::vector<uint8_t> tail(512, 0);
    std::copy_n("conectix", 8, tail.begin());
    EXPECT_EQ(identify_image(none, tail), image_format::vhd);  // a fixed disk's footer
    EXPECT_EQ(identify_image(none, none), image_format::raw);
    EXPECT_EQ(identify_image({}, {}), image_format::raw);

    temp_dir d;
    SectorSource s;
    std::string message;
    const std::u16string ex01 = d.file("case.Ex01", bytes({"EVF2\x0d\x0a\x81\x00", 8}));
    EXPECT_FALSE(open_image(s, ex01, message));
    EXPECT_NE(message.find("EWF2 (Ex01)"), std::string::npos) << message;
    const std::u16string l01 = d.file("case.L01", bytes({"LVF\x09\x0d\x0a\xff\x00\x01\x01\x00\x00\x00", 13}));
    EXPECT_FALSE(open_image(s, l01, message));
    EXPECT_NE(message.find("(L01)"), std::string::npos) << message;
    EXPECT_FALSE(open_image(s, uni::to_utf16((d.path / "missing.img").string()), message));
    EXPECT_EQ(message, "");
}

std::vector<std::string> g_lines;
void collect(const std::string& line) { g_lines.push_back(line); }

TEST(DamageReports, EachPlaceOnceAndAtMostTwentyLines) {
    reset_damage_reports();
    g_lines.clear();
    set_damage_sink(collect);
    report_damage("a.E01", "chunk 3", "checksum mismatch");
    report_damage("a.E01", "chunk 3", "checksum mismatch");  // read again: no second line
    report_damage("b.E01", "chunk 3", "checksum mismatch");
    for (int i = 0; i < 30; ++i) report_damage("a.E01", "chunk " + std::to_string(100 + i), "bad deflate stream");
    report_container_note("log not replayed");
    report_container_note("log not replayed");
    set_damage_sink(nullptr);
    ASSERT_EQ(g_lines.size(), damage_lines_shown + 1);
    EXPECT_EQ(g_lines[0], "a.E01: chunk 3 unreadable (checksum mismatch), read as zeros");
    EXPECT_EQ(g_lines[1], "b.E01: chunk 3 unreadable (checksum mismatch), read as zeros");
    EXPECT_EQ(g_lines.back(), "log not replayed");
    EXPECT_EQ(damage_count(), 32u);
    EXPECT_EQ(damage_not_shown(), 12u);
    reset_damage_reports();
    EXPECT_EQ(damage_count(), 0u);
}

}  // namespace
