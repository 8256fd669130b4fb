// The mount table parser: escapes, fields, malformed lines, and the choice
// of the mount that holds a path with the volume path it gives.
#include "storage/mountinfo.hpp"

#include <gtest/gtest.h>

namespace {

const char* const table =
    "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
    "25 22 0:21 / /mnt rw shared:5 master:2 - tmpfs tmpfs rw\n"
    "40 25 8:17 / /mnt/evidence ro,relatime - ntfs3 /dev/sdb1 ro,iocharset=utf8\n"
    "41 25 0:40 / /mnt/evidence\\040two rw - fuse /srv/my\\040disk.img rw,user_id=0\n"
    "42 25 8:17 /Users/Public /mnt/public ro - ntfs3 /dev/sdb1 ro\n"
    "bad line\n"
    "43 25 7:0 / /mnt/evidencex ro - fuseblk /dev/loop0 ro\n";

std::vector<mount_entry> mounts() { return parse_mount_table(table); }

size_t pick(const std::vector<mount_entry>& m, const char* path, const mount_device* dev = nullptr) {
    size_t i = 99;
    EXPECT_TRUE(find_mount(m, path, dev, i)) << path;
    return i;
}

TEST(MountInfo, EscapesDecodeThreeOctalDigitsOnly) {
    EXPECT_EQ(decode_mount_field("a\\040b\\011c\\012d\\134e"), "a b\tc\nd\\e");
    EXPECT_EQ(decode_mount_field("\\303\\251"), "\xC3\xA9");           // UTF-8 bytes of é
    EXPECT_EQ(decode_mount_field("x\\04"), "x\\04");                      // cut short at the end
    EXPECT_EQ(decode_mount_field("x\\08y\\"), "x\\08y\\");                // not octal, lone backslash
    EXPECT_EQ(decode_mount_field("\\477"), "\\477");                      // above a byte
    EXPECT_EQ(decode_mount_field("\\1341"), "\\1");                       // an escaped backslash, then text
}

TEST(MountInfo, LinesWithAndWithoutOptionalFields) {
    const auto m = mounts();
    ASSERT_EQ(m.size(), 6u);  // the bad line is skipped, the rest kept in order
    EXPECT_EQ(m[1].mount_point, "/mnt");
    EXPECT_EQ(m[1].fs_type, "tmpfs");  // two optional fields before "-"
    EXPECT_EQ(m[2].device.major, 8u);
    EXPECT_EQ(m[2].device.minor, 17u);
    EXPECT_EQ(m[2].source, "/dev/sdb1");  // no optional field
    EXPECT_EQ(m[3].mount_point, "/mnt/evidence two");
    EXPECT_EQ(m[3].source, "/srv/my disk.img");
    EXPECT_EQ(m[4].root, "/Users/Public");
}

TEST(MountInfo, MalformedLinesAreRefused) {
    mount_entry e;
    for (const char* line : {
             "",
             "22 1 8:2 / / rw",                               // ends before "-"
             "22 1 8:2 / / rw shared:1 ext4 /dev/sda2 rw",     // no "-"
             "22 1 8:2 / / rw -",                             // no type
             "22 1 8:2 / / rw - ext4",                        // no source
             "22 1 82 / / rw - ext4 /dev/sda2 rw",            // no major:minor
             "22 1 8:x / / rw - ext4 /dev/sda2 rw",
             "22 1 99999999999:2 / / rw - ext4 /dev/sda2 rw", // above 32 bits
             "22 1 8:2 / relative rw - ext4 /dev/sda2 rw",    // mount point not absolute
             "22  1 8:2 / / rw - ext4 /dev/sda2 rw",          // empty field
         })
        EXPECT_FALSE(parse_mount_line(line, e)) << '"' << line << '"';
    EXPECT_TRUE(parse_mount_line("22 1 8:2 / / rw - ext4 /dev/sda2 rw\r", e));
    EXPECT_EQ(e.source, "/dev/sda2");
    EXPECT_TRUE(parse_mount_table(std::string("\n\n\0\n", 4)).empty());
}

TEST(MountInfo, LongestMountPointHoldingThePathWins) {
    const auto m = mounts();
    EXPECT_EQ(pick(m, "/"), 0u);
    EXPECT_EQ(pick(m, "/etc/passwd"), 0u);
    EXPECT_EQ(pick(m, "/mnt"), 1u);
    EXPECT_EQ(pick(m, "/mnt/evidence"), 2u);
    EXPECT_EQ(pick(m, "/mnt/evidence/Users/x"), 2u);
    EXPECT_EQ(pick(m, "/mnt/evidencex/a"), 5u);  // a name that only begins with the point's
    EXPECT_EQ(pick(m, "/mnt/evidence two/a"), 3u);
    EXPECT_EQ(pick(m, "/mntx"), 0u);
    size_t i = 0;
    EXPECT_FALSE(find_mount({}, "/x", nullptr, i));
    EXPECT_FALSE(find_mount(m, "relative", nullptr, i));
}

TEST(MountInfo, StackedAndHiddenMounts) {
    auto m = mounts();
    // A second mount on the same point lies on top of the first.
    mount_entry top;
    ASSERT_TRUE(parse_mount_line("50 40 0:55 / /mnt/evidence rw - tmpfs tmpfs rw", top));
    m.push_back(top);
    EXPECT_EQ(pick(m, "/mnt/evidence/Users"), 6u);
    // A path on /mnt's own device is not on the NTFS mount below it, which
    // a later mount of /mnt would hide.
    const mount_device tmpfs{0, 21};
    EXPECT_EQ(pick(m, "/mnt/evidence/Users", &tmpfs), 1u);
    const mount_device ntfs{8, 17};
    EXPECT_EQ(pick(m, "/mnt/evidence/Users", &ntfs), 2u);
    // No mount on the device (btrfs subvolumes report others): the longest.
    const mount_device other{9, 9};
    EXPECT_EQ(pick(m, "/mnt/evidence/Users", &other), 6u);
}

TEST(MountInfo, VolumePathsFollowBindRoots) {
    const auto m = mounts();
    std::string v;
    ASSERT_TRUE(volume_path_of(m[2], "/mnt/evidence/Users/Default", v));
    EXPECT_EQ(v, "\\Users\\Default");
    ASSERT_TRUE(volume_path_of(m[2], "/mnt/evidence", v));
    EXPECT_EQ(v, "\\");
    ASSERT_TRUE(volume_path_of(m[4], "/mnt/public", v));  // a bind mount of a subfolder
    EXPECT_EQ(v, "\\Users\\Public");
    ASSERT_TRUE(volume_path_of(m[4], "/mnt/public/Documents/a b", v));
    EXPECT_EQ(v, "\\Users\\Public\\Documents\\a b");
    ASSERT_TRUE(volume_path_of(m[0], "/Windows", v));  // mounted at /
    EXPECT_EQ(v, "\\Windows");
    EXPECT_FALSE(volume_path_of(m[2], "/mnt/other", v));
    mount_entry ns = m[2];
    ns.root = "net:[4026531840]";  // namespace files show a root that is no folder
    EXPECT_FALSE(volume_path_of(ns, "/mnt/evidence/x", v));
}

TEST(MountInfo, NtfsMountTypes) {
    for (const char* t : {"ntfs3", "ntfs", "fuseblk", "fuse", "fuseblk.ntfs-3g", "fuse.lowntfs-3g"})
        EXPECT_TRUE(is_ntfs_mount_type(t)) << t;
    for (const char* t : {"tmpfs", "ext4", "vfat", "exfat", "fuse.sshfs", "NTFS3", "ntfs3 ", ""})
        EXPECT_FALSE(is_ntfs_mount_type(t)) << t;
}

}  // namespace
