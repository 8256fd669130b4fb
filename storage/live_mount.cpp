#include "storage/live_mount.hpp"
#include "platform/platform.hpp"
#include "platform/unicode.hpp"
#include "storage/le.hpp"
#include "storage/partitions.hpp"
#include "storage/sector_source.hpp"

#include <array>

namespace {

bool fail(live_mount_failure reason, live_mount_failure& why) {
    why = reason;
    return false;
}

// The cluster size and cluster count the boot sector at `offset` gives.
bool volume_clusters(SectorSource& src, uint64_t offset, uint64_t& cluster_size, uint64_t& clusters) {
    std::array<uint8_t, 512> boot{};
    if (!read_into(src, offset, boot)) return false;
    const uint64_t bytes_per_sector = le::u16(boot, 11);
    const uint8_t code = le::u8(boot, 13);
    // Above 0x80 the byte is the large-cluster form 2^(256 - value).
    const uint64_t per_cluster = code > 0x80 ? (256u - code < 32 ? uint64_t(1) << (256u - code) : 0) : code;
    if (bytes_per_sector == 0 || per_cluster == 0) return false;
    cluster_size = bytes_per_sector * per_cluster;
    clusters = le::u64(boot, 40) / per_cluster;
    return true;
}

}  // namespace

bool find_live_mount(std::u16string_view path, live_mount& out, live_mount_failure& why) {
    out = live_mount{};
    why = live_mount_failure::none;
    std::u16string real;
    if (!platform::real_path(path, real)) return fail(live_mount_failure::no_such_path, why);
    out.real_path = uni::to_utf8(real);

    std::string table;
    if (!platform::read_mount_table(table)) return fail(live_mount_failure::no_mount_table, why);
    const std::vector<mount_entry> mounts = parse_mount_table(table);
    mount_device device;
    const bool known_device = platform::path_device(real, device.major, device.minor);
    size_t index = 0;
    if (!find_mount(mounts, out.real_path, known_device ? &device : nullptr, index))
        return fail(live_mount_failure::no_mount, why);
    out.mount = mounts[index];
    if (!is_ntfs_mount_type(out.mount.fs_type)) return fail(live_mount_failure::not_ntfs, why);
    std::string inside;
    if (!volume_path_of(out.mount, out.real_path, inside)) return fail(live_mount_failure::no_volume_path, why);
    // ntfs-3g keeps names holding a backslash, which the path inside the
    // volume would take for a separator, naming another folder.
    if (out.mount.root.find('\\') != std::string::npos ||
        out.real_path.find('\\', out.mount.mount_point.size()) != std::string::npos)
        return fail(live_mount_failure::name_backslash, why);
    out.volume_path = uni::to_utf16(inside);

    // Pipes and character devices (a FUSE mount may name /dev/fuse) would
    // block or mean nothing to a raw read: only files and block devices.
    const std::u16string source = uni::to_utf16(out.mount.source);
    if (source.empty() || source[0] != u'/') return fail(live_mount_failure::source_not_file, why);
    const platform::file_kind kind = platform::kind_of_file(source);
    if (kind == platform::file_kind::other) return fail(live_mount_failure::source_not_file, why);
    // A mount over a block device carries that device's number (FUSE mounts
    // of files have an unnamed one, of major 0). A source whose name now
    // stands for another device (a disk gone and another given its name)
    // would be read in place of the mounted volume.
    uint32_t major = 0, minor = 0;
    if (kind == platform::file_kind::block_device && out.mount.device.major != 0 &&
        platform::block_device_number(source, major, minor) &&
        (major != out.mount.device.major || minor != out.mount.device.minor))
        return fail(live_mount_failure::other_device, why);
    SectorSource probe;
    if (kind != platform::file_kind::missing && open_image(probe, source)) {
        out.source = source;
    } else {
        const bool denied = platform::last_error() == platform::error_access_denied;
        std::u16string backing;
        int64_t offset = 0;
        if (!platform::loop_backing_file(source, backing, offset) || !open_image(probe, backing))
            return fail(denied ? live_mount_failure::no_access : live_mount_failure::cannot_open, why);
        out.source = backing;
        out.offset = offset;
    }
    if (!has_ntfs_at(probe, static_cast<uint64_t>(out.offset))) return fail(live_mount_failure::no_ntfs_boot, why);
    // A FUSE mount of a file keeps only the name it was given, and ntfs-3g
    // cuts that name at a comma: the file of that name may be another one.
    // ntfs-3g reports the volume's clusters as the file system's blocks;
    // a file whose volume has another cluster size or count is not the one
    // mounted.
    uint64_t block_size = 0, blocks = 0;
    if (kind == platform::file_kind::regular && platform::mounted_size(real, block_size, blocks)) {
        uint64_t cluster_size = 0, clusters = 0;
        if (volume_clusters(probe, static_cast<uint64_t>(out.offset), cluster_size, clusters) &&
            (cluster_size != block_size || clusters != blocks))
            return fail(live_mount_failure::other_size, why);
    }
    return true;
}
