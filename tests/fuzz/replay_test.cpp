// Replays every fuzz target over its committed corpus and crash
// reproducers, so that the normal and the sanitizer builds run what the
// fuzzer found without needing clang. Each input must also finish in
// bounded time: a reproducer of a hang fails here, not just in ctest's
// timeout.
#include "fuzz_input.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace {

struct target {
    const char* name;
    int (*run)(const uint8_t*, size_t);
};

constexpr target targets[] = {
    {"volume", fuzz::fuzz_volume},         {"entry", fuzz::fuzz_entry},
    {"attribute", fuzz::fuzz_attribute},   {"runlist", fuzz::fuzz_runlist},
    {"index_node", fuzz::fuzz_index_node}, {"directory", fuzz::fuzz_directory},
    {"paths", fuzz::fuzz_paths},           {"listing", fuzz::fuzz_listing},
    {"partitions", fuzz::fuzz_partitions}, {"vmdk", fuzz::fuzz_vmdk},
    {"vhd", fuzz::fuzz_vhd},               {"vhdx", fuzz::fuzz_vhdx},
    {"ewf", fuzz::fuzz_ewf},               {"inflate", fuzz::fuzz_inflate},
};

void PrintTo(const target& t, std::ostream* os) { *os << t.name; }

// One input may take this long; the fuzzer's own limit is far lower, so
// more is a hang. A debug build with sanitizers runs about ten times slower.
#if defined(__SANITIZE_ADDRESS__)
constexpr auto max_input_time = std::chrono::seconds(90);
#else
constexpr auto max_input_time = std::chrono::seconds(20);
#endif

std::vector<fs::path> inputs_of(const std::string& name) {
    std::vector<fs::path> out;
    for (const char* kind : {"corpus", "crashes"}) {
        const fs::path dir = fs::path(BRELVIK_FUZZ_DIR) / kind / name;
        if (!fs::is_directory(dir)) continue;
        for (const auto& e : fs::directory_iterator(dir))
            if (e.is_regular_file() && e.path().filename().string()[0] != '.') out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

class FuzzReplay : public testing::TestWithParam<target> {};

TEST_P(FuzzReplay, EveryCorpusInputAndReproducerRunsCleanly) {
    const target t = GetParam();
    const auto files = inputs_of(t.name);
    ASSERT_FALSE(files.empty()) << "no corpus for " << t.name;
    for (const auto& f : files) {
        SCOPED_TRACE(f.string());
        std::ifstream in(f, std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(t.run(bytes.data(), bytes.size()), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, max_input_time);
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, testing::ValuesIn(targets),
                         [](const testing::TestParamInfo<target>& i) { return std::string(i.param.name); });

}  // namespace
