// The mount table parser: escapes, malformed lines, the mount that holds a
// path, and the volume path it gives.
#include "storage/mountinfo.hpp"

#include <gtest/gtest.h>

#include <tuple>

namespace {

const std::vector<mount_entry> mounts = parse_mount_table(
    "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
    "25 22 0:21 / /mnt rw shared:5 master:2 - tmpfs tmpfs rw\n"
    "40 25 8:17 / /mnt/evidence ro - ntfs3 /dev/sdb1 ro\n"
    "41 25 0:40 / /mnt/evidence\\040two rw - fuse /srv/my\\040disk.img rw\n"
    "bad line\n"
    "42 25 8:17 /Users/Public /mnt/public ro - ntfs3 /dev/sdb1 ro\n"
    "43 25 7:0 / /mnt/evidencex ro - fuseblk /dev/loop0 ro\n"
    "44 40 0:55 / /mnt/evidence rw - tmpfs tmpfs rw\n");

size_t pick(const char* path, const mount_device* device = nullptr) {
    size_t i = 99;
    EXPECT_TRUE(find_mount(mounts, path, device, i)) << path;
    return i;
}

TEST(MountInfo, FieldsAndEscapes) {
    ASSERT_EQ(mounts.size(), 7u);  // the bad line skipped, the order kept
    EXPECT_EQ(mounts[1].fs_type, "tmpfs");  // after two optional fields
    EXPECT_EQ(mounts[2].device.minor, 17u);
    EXPECT_EQ(mounts[3].mount_point, "/mnt/evidence two");
    EXPECT_EQ(mounts[3].source, "/srv/my disk.img");
    EXPECT_EQ(decode_mount_field("a\\011b\\012c\\134\\303\\251"), "a\tb\nc\\\xC3\xA9");
    // Not three octal digits of a byte: left as it is.
    EXPECT_EQ(decode_mount_field("x\\04"), "x\\04");
    EXPECT_EQ(decode_mount_field("\\08\\477\\"), "\\08\\477\\");
}

TEST(MountInfo, MalformedLinesAreRefused) {
    mount_entry e;
    for (const char* line : {"", "22 1 8:2 / / rw", "22 1 8:2 / / rw shared:1 ext4 /dev/sda2 rw", "22 1 8:2 / / rw -",
                             "22 1 8:2 / / rw - ext4", "22 1 82 / / rw - ext4 /dev/sda2 rw",
                             "22 1 8:x / / rw - ext4 /dev/sda2 rw", "22 1 99999999999:2 / / rw - ext4 /dev/sda2 rw",
                             "22 1 8:2 / relative rw - ext4 /dev/sda2 rw", "22  1 8:2 / / rw - ext4 /dev/sda2 rw"})
        EXPECT_FALSE(parse_mount_line(line, e)) << '"' << line << '"';
    EXPECT_TRUE(parse_mount_table(std::string("\n\n\0\n", 4)).empty());
}

TEST(MountInfo, LongestMountPointOnThePathsDeviceWins) {
    EXPECT_EQ(pick("/etc/passwd"), 0u);
    EXPECT_EQ(pick("/mnt"), 1u);
    EXPECT_EQ(pick("/mntx"), 0u);
    EXPECT_EQ(pick("/mnt/evidencex/a"), 5u);  // a name that only begins with a mount point's
    EXPECT_EQ(pick("/mnt/evidence two/a"), 3u);
    EXPECT_EQ(pick("/mnt/evidence/Users"), 6u);  // two mounts on one point: the later is on top
    // The path's device decides against a longer point it does not lie on
    // (a mount hidden below a later one); no mount on it: the longest.
    const mount_device ntfs{8, 17}, tmpfs{0, 21}, other{9, 9};
    EXPECT_EQ(pick("/mnt/evidence/Users", &ntfs), 2u);
    EXPECT_EQ(pick("/mnt/evidence/Users", &tmpfs), 1u);
    EXPECT_EQ(pick("/mnt/evidence/Users", &other), 6u);
    size_t i = 0;
    EXPECT_FALSE(find_mount(mounts, "relative", nullptr, i));
}

// A folder bound over another, then the volume bound over its own mount
// point (as to make it read-only): the bound folder lies covered below.
TEST(MountInfo, CoveredMountsGiveWay) {
    const std::vector<mount_entry> stack = parse_mount_table(
        "28 1 8:2 / / rw - ext4 /dev/sda2 rw\n"
        "46 28 0:41 / /e ro - fuseblk /dev/sdb1 ro\n"
        "47 46 0:41 /docs /e/names ro - fuseblk /dev/sdb1 ro\n"
        "48 46 0:41 / /e ro - fuseblk /dev/sdb1 ro\n"
        "49 47 0:50 / /e/names/deeper rw - tmpfs tmpfs rw\n");
    ASSERT_EQ(stack.size(), 5u);
    EXPECT_EQ(covered_mounts(stack), (std::vector<bool>{false, true, true, false, true}));
    const mount_device fuse{0, 41};
    for (const mount_device* device : {&fuse, static_cast<const mount_device*>(nullptr)}) {
        size_t i = 99;
        ASSERT_TRUE(find_mount(stack, "/e/names/deeper", device, i));
        EXPECT_EQ(i, 3u);
    }
    // A path on the covered mount's device alone (a folder opened before)
    // still finds it.
    const mount_device tmpfs{0, 50};
    size_t i = 99;
    ASSERT_TRUE(find_mount(stack, "/e/names/deeper", &tmpfs, i));
    EXPECT_EQ(i, 4u);
}

TEST(MountInfo, VolumePathsFollowBindRoots) {
    std::string v;
    for (const auto& [m, path, want] : {std::tuple{2, "/mnt/evidence/Users/a b", "\\Users\\a b"},
                                        {2, "/mnt/evidence", "\\"},
                                        {0, "/Windows", "\\Windows"},
                                        {4, "/mnt/public", "\\Users\\Public"},
                                        {4, "/mnt/public/Documents", "\\Users\\Public\\Documents"}}) {
        ASSERT_TRUE(volume_path_of(mounts[m], path, v)) << path;
        EXPECT_EQ(v, want);
    }
    EXPECT_FALSE(volume_path_of(mounts[2], "/mnt/other", v));
    mount_entry ns = mounts[2];
    ns.root = "net:[4026531840]";  // namespace files show a root that is no folder
    EXPECT_FALSE(volume_path_of(ns, "/mnt/evidence/x", v));
    mount_entry gone = mounts[4];
    gone.root = "/Users/Public//deleted";  // a bind mount of a folder since removed
    EXPECT_FALSE(volume_path_of(gone, "/mnt/public", v));
    EXPECT_TRUE(is_ntfs_mount_type("fuseblk") && is_ntfs_mount_type("ntfs3") && is_ntfs_mount_type("fuse"));
    EXPECT_FALSE(is_ntfs_mount_type("tmpfs") || is_ntfs_mount_type("fuse.sshfs") || is_ntfs_mount_type("NTFS3"));
}

}  // namespace
