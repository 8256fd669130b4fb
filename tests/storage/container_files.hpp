// What the VHD and VHDX tests share: a scratch folder, files written from
// bytes, the damage lines a read reports, and the check that a container
// fixture reads as its raw disk.
#pragma once

#include "platform/unicode.hpp"
#include "storage/container.hpp"
#include "storage/damage.hpp"
#include "support/test_paths.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace container_files {

struct temp_dir {
    std::filesystem::path path;
    temp_dir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "brelvik-container-XXXXXX").string();
        if (mkdtemp(tmpl.data())) path = tmpl;
    }
    ~temp_dir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    std::string file(const std::string& name) const { return (path / name).string(); }
};

inline void write_file(const std::string& path, const std::vector<uint8_t>& d) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(d.data()), static_cast<std::streamsize>(d.size()));
}

inline std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Collects the damage lines and notes reported while it lives.
struct damage_lines {
    static std::vector<std::string>& lines() {
        static std::vector<std::string> l;
        return l;
    }
    damage_lines() {
        reset_damage_reports();
        lines().clear();
        set_damage_sink([](const std::string& line) { lines().push_back(line); });
    }
    ~damage_lines() { set_damage_sink(nullptr); }
    const std::vector<std::string>& get() const { return lines(); }
};

// `n` bytes of `disk` at `offset`.
inline std::vector<uint8_t> read_disk(disk_container& disk, uint64_t offset, uint32_t n) {
    std::vector<uint8_t> b(n, 0xEE);
    EXPECT_TRUE(disk.read(b.data(), offset, n));
    return b;
}

using opener = bool (*)(const std::u16string&, std::unique_ptr<disk_container>&, std::string&);

// Opens `container` (a fixture) and checks that reads of several sizes,
// aligned and not, return the bytes of the raw fixture `raw`.
inline void expect_reads_as(opener open, const std::string& container, const std::string& raw,
                            uint32_t sector_size) {
    SCOPED_TRACE(container);
    const std::string path = test_paths::fixture(container);
    const std::vector<uint8_t> expected = read_file(test_paths::fixture(raw));
    ASSERT_FALSE(path.empty() || expected.empty());
    damage_lines damage;
    std::unique_ptr<disk_container> disk;
    std::string message;
    ASSERT_TRUE(open(uni::to_utf16(path), disk, message)) << message;
    ASSERT_EQ(disk->disk_size, expected.size());
    EXPECT_EQ(disk->sector_size, sector_size);
    // Whole megabytes, then pieces that straddle sectors and blocks.
    for (uint64_t at = 0; at < expected.size(); at += 1u << 20) {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(1u << 20, expected.size() - at));
        ASSERT_TRUE(read_disk(*disk, at, n) == std::vector<uint8_t>(expected.begin() + at, expected.begin() + at + n))
            << "at " << at;
    }
    for (uint64_t at = 511; at + 70000 < expected.size(); at += 1048573) {
        ASSERT_TRUE(read_disk(*disk, at, 70000) == std::vector<uint8_t>(expected.begin() + at, expected.begin() + at + 70000))
            << "at " << at;
    }
    EXPECT_TRUE(damage.get().empty());
}

}  // namespace container_files
