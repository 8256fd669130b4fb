// Reads through the sector source: images, device stand-ins with sector
// alignment, bounds and zero-filling.
#include "storage/sector_source.hpp"
#include "platform/unicode.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// A temporary folder holding one file of patterned bytes (byte i = i % 251).
struct temp_file {
    std::string dir;
    std::string path;
    explicit temp_file(const std::string& name, size_t size) {
        char tmpl[] = "/tmp/brelvik-src-XXXXXX";
        dir = ::mkdtemp(tmpl);
        path = dir + "/" + name;
        std::ofstream f(path, std::ios::binary);
        for (size_t i = 0; i < size; ++i) f.put(static_cast<char>(i % 251));
    }
    ~temp_file() {
        std::remove(path.c_str());
        ::rmdir(dir.c_str());
    }
};

TEST(SectorSource, ImageReadsAreBoundedAndShortenedAtTheEnd) {
    temp_file t("disk.img", 4096);
    SectorSource s;
    ASSERT_TRUE(open_image(s, uni::to_utf16(t.path)));
    EXPECT_EQ(total_size(s), 4096u);
    EXPECT_EQ(s.sector_size, 512u);
    std::vector<uint8_t> buf(1024, 0xEE);
    uint32_t len = 1024;
    ASSERT_TRUE(read(s, buf.data(), len, 3584));
    EXPECT_EQ(len, 512u);  // shortened to what the image holds
    EXPECT_EQ(buf[0], 3584 % 251);
    len = 16;
    EXPECT_FALSE(read(s, buf.data(), len, 4096));  // at the end
    len = 0;
    EXPECT_FALSE(read(s, buf.data(), len, 0));  // nothing asked
    len = 16;
    EXPECT_FALSE(read(s, nullptr, len, 0));
    close(s);
    len = 16;
    EXPECT_FALSE(read(s, buf.data(), len, 0));  // closed
}

TEST(SectorSource, MisalignedDeviceReadsGoThroughWholeSectors) {
    temp_file t("C:", 8192);
    ::setenv("BRELVIK_DEVICE_DIR", t.dir.c_str(), 1);
    SectorSource s;
    ASSERT_TRUE(open_device(s, u"c:\\whatever", SourceKind::Volume, true));
    EXPECT_EQ(s.device_path, u"\\\\.\\c:");
    EXPECT_EQ(s.sector_size, 512u);
    // 100 bytes at 1000: bytes 488..587 of the sectors read from 512.
    std::vector<uint8_t> buf(100);
    uint32_t len = 100;
    ASSERT_TRUE(read(s, buf.data(), len, 1000));
    EXPECT_EQ(len, 100u);
    for (size_t i = 0; i < buf.size(); ++i) ASSERT_EQ(buf[i], (1000 + i) % 251) << i;
    // Aligned reads go straight through.
    std::vector<uint8_t> whole(1024);
    len = 1024;
    ASSERT_TRUE(read(s, whole.data(), len, 2048));
    EXPECT_EQ(whole[0], 2048 % 251);
    ::unsetenv("BRELVIK_DEVICE_DIR");
}

TEST(SectorSource, DeviceNamesMapToStandInFiles) {
    temp_file drive("PhysicalDrive3", 4096);
    ::setenv("BRELVIK_DEVICE_DIR", drive.dir.c_str(), 1);
    SectorSource s;
    EXPECT_TRUE(open_physical_drive(s, 3));
    EXPECT_EQ(s.kind, SourceKind::PhysicalDrive);
    EXPECT_EQ(total_size(s), 4096u);
    EXPECT_FALSE(open_physical_drive(s, 25));  // refused without trying
    SectorSource shadow;
    EXPECT_FALSE(open_device(shadow, u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy9", SourceKind::DevicePath,
                             false));
    ::unsetenv("BRELVIK_DEVICE_DIR");
}

TEST(SectorSource, ReadAtAddsTheVolumeOffset) {
    std::vector<uint8_t> bytes(4096);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i / 512);
    SectorSource s;
    ASSERT_TRUE(open_memory(s, bytes));
    uint8_t b = 0;
    uint32_t len = 1;
    ASSERT_TRUE(read_at(s, 512, 1024, &b, len));
    EXPECT_EQ(b, 3);
    len = 1;
    EXPECT_FALSE(read_at(s, 4000, 1024, &b, len));
    len = 1;
    EXPECT_FALSE(read_at(s, -1, 0, &b, len));
}

}  // namespace
