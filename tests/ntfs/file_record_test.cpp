// Update-sequence fixups in their three variants, on hand-built records.
#include "ntfs/file_record.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A FILE record of `size` bytes whose stride tails hold the sequence number
// 0x1234 and whose array saves 0xAA00 + i for stride i.
std::vector<uint8_t> file_record(size_t size, uint16_t usa_count, uint16_t first_attr = 72) {
    std::vector<uint8_t> r(size, 0);
    r[0] = 'F'; r[1] = 'I'; r[2] = 'L'; r[3] = 'E';
    le::put_u16(r, 4, 48);
    le::put_u16(r, 6, usa_count);
    le::put_u16(r, 20, first_attr);
    le::put_u16(r, 48, 0x1234);
    for (uint16_t i = 1; i < usa_count; ++i) {
        le::put_u16(r, 48 + 2 * i, static_cast<uint16_t>(0xAA00 + i));
        if (size_t(i) * 512 <= size) le::put_u16(r, i * 512 - 2, 0x1234);
    }
    return r;
}

TEST(Fixups, PatchEvery512ByteStrideWhateverTheSectorSize) {
    // A 4096-byte record (as on volumes with 4096-byte sectors) has nine
    // array words: all eight strides are patched.
    auto r = file_record(4096, 9);
    ASSERT_TRUE(fixup_plain(r));
    for (int i = 1; i < 9; ++i) EXPECT_EQ(le::u16(r, i * 512 - 2), 0xAA00 + i) << i;
    // A 1024-byte record: exactly two strides.
    auto s = file_record(1024, 3);
    ASSERT_TRUE(fixup_plain(s));
    EXPECT_EQ(le::u16(s, 510), 0xAA01);
    EXPECT_EQ(le::u16(s, 1022), 0xAA02);
}

TEST(Fixups, OnlyStridesInsideTheBytesReadArePatched) {
    auto r = file_record(1024, 3);
    ASSERT_TRUE(apply_fixups(r, 600, 48, 3));
    EXPECT_EQ(le::u16(r, 510), 0xAA01);
    EXPECT_EQ(le::u16(r, 1022), 0x1234);
}

TEST(Fixups, CountOfOneOrZeroChangesNothing) {
    for (uint16_t count : {0, 1}) {
        auto r = file_record(1024, count);
        le::put_u16(r, 510, 0x5555);
        const auto before = r;
        EXPECT_TRUE(fixup_plain(r));
        EXPECT_EQ(r, before);
    }
}

TEST(Fixups, MismatchingTailsAreStillPatched) {
    auto r = file_record(1024, 3);
    le::put_u16(r, 510, 0x9999);  // torn stride
    ASSERT_TRUE(fixup_plain(r));
    EXPECT_EQ(le::u16(r, 510), 0xAA01);
}

TEST(FileHeader, ValidityLimits) {
    EXPECT_TRUE(valid_file_header(file_record(1024, 3, 0x38)));
    EXPECT_FALSE(valid_file_header(file_record(1024, 3, 0x50)));  // first attribute too far
    EXPECT_FALSE(valid_file_header(file_record(1024, 10)));        // array too long
    auto old = file_record(1024, 3);
    le::put_u16(old, 4, 42);  // older layout: accepted, its array at 42
    EXPECT_TRUE(valid_file_header(old));
    le::put_u16(old, 20, 44);  // first attribute inside the array
    EXPECT_FALSE(valid_file_header(old));
    le::put_u16(old, 4, 40);   // anywhere else
    le::put_u16(old, 20, 56);
    EXPECT_FALSE(valid_file_header(old));
}

TEST(Fixups, VariantsAcceptDifferentSignatures) {
    auto baad = file_record(1024, 3);
    baad[0] = 'B'; baad[1] = 'A'; baad[2] = 'A'; baad[3] = 'D';
    auto copy = baad;
    EXPECT_FALSE(fixup_plain(copy));
    copy = baad;
    EXPECT_EQ(fixup_checked(copy), kind_baad);
    EXPECT_EQ(le::u16(copy, 510), 0xAA01);  // checked variant fixes BAAD records
    copy = baad;
    bool bad = false;
    EXPECT_TRUE(fixup_entry(copy, bad));
    EXPECT_TRUE(bad);
    EXPECT_EQ(le::u16(copy, 510), 0x1234);  // entry variant leaves BAAD unfixed

    auto junk = file_record(1024, 3);
    junk[0] = 'X';
    copy = junk;
    EXPECT_FALSE(fixup_plain(copy));
    EXPECT_EQ(fixup_checked(copy), kind_none);
    EXPECT_FALSE(fixup_entry(copy, bad));

    auto small = file_record(512, 2);
    EXPECT_EQ(fixup_checked(small), kind_none);  // checked read needs 1024 bytes
}

TEST(Fixups, ArrayOutsideTheBufferIsRefused) {
    std::vector<uint8_t> r(1024, 0);
    r[0] = 'I'; r[1] = 'N'; r[2] = 'D'; r[3] = 'X';
    le::put_u16(r, 4, 1020);
    le::put_u16(r, 6, 9);  // 18 bytes of array from 1020: past the end
    EXPECT_FALSE(fixup_plain(r));
}

}  // namespace
