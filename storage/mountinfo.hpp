// The mount table of a Linux process (/proc/<pid>/mountinfo): one line per
// mount, read as text. Finds the mount that holds a host path and turns
// the path into a path inside the mounted volume.
//
// A line reads
//   36 35 98:0 /sub /mnt/point rw,noatime master:1 - ntfs3 /dev/sdb1 rw,...
// mount id, parent id, device major:minor, the folder of the mounted file
// system that this mount shows (its root: "/" unless a bind mount of a
// subfolder), the mount point, options, optional fields ended by "-", the
// file-system type, the source and the super-block options. Space, tab,
// newline and backslash inside a field are written as \040, \011, \012
// and \134.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct mount_device {
    uint32_t major = 0;
    uint32_t minor = 0;
};

struct mount_entry {
    uint32_t id = 0;           // the mount's id
    uint32_t parent = 0;       // id of the mount its mount point lies in
    mount_device device;       // of the mounted file system
    std::string root;          // decoded; the folder of the file system at the mount point
    std::string mount_point;   // decoded, absolute
    std::string fs_type;
    std::string source;        // decoded; a device, an image file, or a name
};

// A field with its octal escapes (a backslash and three octal digits of a
// byte value) decoded; any other backslash stays as it is.
std::string decode_mount_field(std::string_view field);

// Parses one line; false when it is malformed (too few fields, no "-"
// separator, ids that are not numbers, a device number that is not
// major:minor, a mount point that is not absolute).
bool parse_mount_line(std::string_view line, mount_entry& out);

// Every well-formed line of the table, in its order; malformed lines are
// skipped.
std::vector<mount_entry> parse_mount_table(std::string_view text);

// True when `path` (absolute, without a trailing slash) is `mount_point` or
// lies below it.
bool path_within(std::string_view mount_point, std::string_view path);

// For each mount, true when a later mount covers it: one mounted on its own
// point (whose parent it is), or one of its siblings on its point or on a
// folder above it (the sibling, mounted later, is on top); and everything
// mounted within a covered mount.
std::vector<bool> covered_mounts(const std::vector<mount_entry>& mounts);

// The mount that holds `path`: of the mounts whose point contains it, those
// on the path's own device (when `device` is given) come
// first, since a mount point hidden under a later mount no longer holds what
// the path shows; then those no later mount covers (a path reached through
// a folder opened before may still lie in a covered one); among them the
// longest mount point wins, and of mounts on the same point the last one,
// which is on top. False when none contains the path.
bool find_mount(const std::vector<mount_entry>& mounts, std::string_view path, const mount_device* device,
                size_t& index);

// True for the file-system types an NTFS volume is mounted with: the kernel
// drivers (ntfs3, ntfs), ntfs-3g's FUSE mounts (fuseblk over a block
// device, fuse over an image file) and their subtyped names.
bool is_ntfs_mount_type(std::string_view fs_type);

// The path inside the volume that `path` names on mount `m`: the mount's
// root followed by the part of `path` below the mount point, with
// backslashes ("/mnt/evidence/Users" on a mount of "/" at /mnt/evidence is
// "\Users"). False when `path` is not within the mount or the mount's root
// is not a folder path, or is one of a removed folder ("/a//deleted").
bool volume_path_of(const mount_entry& m, std::string_view path, std::string& out);
