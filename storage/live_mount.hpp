// A host path on a mounted NTFS volume (Linux): the mount that holds it,
// what to read raw for that volume, and the path inside the volume.
#pragma once

#include "storage/mountinfo.hpp"

#include <cstdint>
#include <string>
#include <string_view>

enum class live_mount_failure {
    none,
    no_such_path,      // the path does not exist or cannot be reached
    no_mount_table,    // the mount table cannot be read
    no_mount,          // no mount holds the path
    not_ntfs,          // the mount's type is not one NTFS is mounted with
    no_volume_path,    // the mount's root is not a folder of the volume
    name_backslash,    // a name below the mount point holds a backslash
    source_not_file,   // the source is neither a file nor a block device
    other_device,      // the source names another block device than the one mounted
    other_size,        // the source's volume is not the size of the mounted one
    no_access,         // the source exists but may not be read
    cannot_open,       // the source cannot be opened for another reason
    no_ntfs_boot,      // the source holds no NTFS boot sector
};

struct live_mount {
    std::string real_path;       // the path with its links resolved
    mount_entry mount;           // the mount that holds it
    std::u16string source;       // what is read: the mount's source, or a loop device's backing file
    int64_t offset = 0;          // byte offset of the volume in `source`
    std::u16string volume_path;  // "\Users"
};

// Finds the mount of `path` in the mount table and checks that its source
// can be read and holds an NTFS volume. A loop device that cannot be opened
// is read through its backing file instead. On failure `why` says what
// stopped the lookup and `out` holds what was found up to there.
bool find_live_mount(std::u16string_view path, live_mount& out, live_mount_failure& why);
