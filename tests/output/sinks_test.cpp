#include "output/sinks.hpp"

#include "platform/unicode.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

namespace fs = std::filesystem;

struct SinkFiles : ::testing::Test {
    fs::path dir;
    void SetUp() override {
        dir = fs::temp_directory_path() / ("brelvik_sinks_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::u16string wide(const char* leaf) const { return uni::to_utf16((dir / leaf).string()); }
    std::string contents(const char* leaf) const {
        std::ifstream in(dir / leaf, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

TEST(FileIoMemory, WritesAppendAndCloseEmpties) {
    FileIo f;
    EXPECT_FALSE(f.usable());
    EXPECT_FALSE(f.write("x", 1));
    f.open_memory();
    EXPECT_TRUE(f.write("abc", 3));
    EXPECT_TRUE(f.write("de", 2));
    EXPECT_TRUE(f.write("zz", 0));
    EXPECT_FALSE(f.write(nullptr, 1));
    EXPECT_EQ(f.size(), 5u);
    uint8_t two[2];
    EXPECT_TRUE(f.read_at(3, two));
    EXPECT_EQ(two[0], 'd');
    EXPECT_FALSE(f.read_at(4, two));  // past the end
    f.close();
    EXPECT_FALSE(f.usable());
    EXPECT_TRUE(f.memory.empty());
}

TEST_F(SinkFiles, TextFileTruncatesAndReplacesReadOnly) {
    {
        std::ofstream(dir / "r.txt") << "old contents that are long";
    }
    fs::permissions(dir / "r.txt", fs::perms::owner_read | fs::perms::group_read, fs::perm_options::replace);
    FileIo f;
    ASSERT_TRUE(f.open_text_write(wide("r.txt"), true));
    EXPECT_NE(fs::status(dir / "r.txt").permissions() & fs::perms::owner_write, fs::perms::none);
    EXPECT_TRUE(f.write("line\n", 5));
    EXPECT_EQ(f.length, 5);
    f.close();
    EXPECT_EQ(contents("r.txt"), "line\n");  // LF on POSIX

    // Without truncation a missing file is not created; existing text stays.
    FileIo g;
    EXPECT_FALSE(g.open_text_write(wide("missing.txt"), false));
    ASSERT_TRUE(g.open_untranslated(wide("r.txt"), true, false));
    EXPECT_TRUE(g.write("more", 4));
    g.close();
    EXPECT_EQ(contents("r.txt"), "line\nmore");
    EXPECT_FALSE(g.open_text_write(uni::to_utf16((dir / "no" / "such.txt").string()), true));
}

TEST_F(SinkFiles, StreamPassesLargeOutputIntact) {
    FileIo f;
    ASSERT_TRUE(f.open_text_write(wide("big.txt"), true));
    std::ostream* out = make_file_stream(f);
    ASSERT_NE(out, nullptr);
    std::string expected;
    for (int i = 0; i < 200000; ++i) expected += std::to_string(i % 10) + "xyz" + (i % 7 == 0 ? "\n" : "");
    ASSERT_GT(expected.size(), uni::streambuf_generic_output<char>::buffer_size * 2);
    for (size_t i = 0; i < expected.size(); i += 1000) *out << expected.substr(i, 1000);
    *out << 'E';
    EXPECT_TRUE(out->good());
    f.close();  // flushes and destroys the attached stream
    EXPECT_EQ(contents("big.txt"), expected + "E");

    FileIo closed;
    EXPECT_EQ(make_file_stream(closed), nullptr);
}

struct failing_buffer : uni::streambuf_generic_output<char> {
    std::streamsize write(const char*, std::streamsize) override { return -1; }
};

TEST(OutputStreams, FailingWriteMakesStreamBad) {
    failing_buffer buf;
    std::ostream out(&buf);
    out << "text";
    EXPECT_TRUE(out.good());  // still in the put area
    out.flush();
    EXPECT_TRUE(out.bad());
}

TEST(OutputStreams, NullStreamSwallowsEverything) {
    std::ostream& n = null_output();
    n << std::string(1 << 20, 'q') << 42 << std::endl;
    EXPECT_TRUE(n.good());
    EXPECT_EQ(&n, &null_output());
}

TEST_F(SinkFiles, OwnedTextOutput) {
    {
        auto log = open_text_output((dir / "log.txt").string(), true);
        ASSERT_TRUE(log);
        *log << "->a\n";
    }
    EXPECT_EQ(contents("log.txt"), "->a\n");
    EXPECT_FALSE(open_text_output((dir / "no" / "log.txt").string(), true));
}

}  // namespace
