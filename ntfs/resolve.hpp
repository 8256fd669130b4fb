// Path to MFT entry: walks the volume's own directory indexes from the root
// one segment at a time, following reparse points by rewriting the path.
#pragma once

#include "cli/params.hpp"
#include "ntfs/names.hpp"
#include "ntfs/volume.hpp"

#include <memory>
#include <string>
#include <vector>

struct resolve_result {
    uint64_t found = 0;
    uint64_t parent = ~uint64_t(0);
    std::u16string display;
};

// How a path segment is matched against the names of a folder.
enum class name_match {
    // Windows spelling: ASCII case ignored, the text from a ':' on (a
    // stream) and blanks around the segment dropped.
    windows,
    // A name as a host shows it (a path on a mounted volume): first the
    // whole segment as stored in that folder, case and ':' included, so
    // that "a" and "A", or "x" and "x:y", of one folder are told apart, and
    // a hard link's name in another folder does not stand for one of this
    // folder; then the whole segment with ASCII case ignored (a mount that
    // ignores case); then the Windows spelling (a stream named after a ':').
    exact_first,
};

// Resolves `path` on an open volume. `log` receives the diagnostic lines
// when it has an open -diags log (it may be null).
bool resolve_path(ntfs_volume& v, std::u16string path, bool follow_links, const cmd_params* log, resolve_result& out,
                  name_match match = name_match::windows);

// The four entry points: open the source's volume and resolve `path` on
// it. The opened volume is handed back for the listing.
bool resolve_on_drive(int drive, int64_t offset, const std::u16string& path, bool follow_links, const cmd_params* log,
                      std::unique_ptr<ntfs_volume>& volume, resolve_result& out);
bool resolve_on_vmdk(const std::vector<std::u16string>& files, int64_t offset, const std::u16string& path,
                     bool follow_links, const cmd_params* log, std::unique_ptr<ntfs_volume>& volume,
                     resolve_result& out);
bool resolve_on_image(const std::u16string& image, int64_t offset, const std::u16string& path, bool follow_links,
                      const cmd_params* log, std::unique_ptr<ntfs_volume>& volume, resolve_result& out,
                      name_match match = name_match::windows);
bool resolve_on_live(const std::u16string& path, bool follow_links, const cmd_params* log,
                     std::unique_ptr<ntfs_volume>& volume, resolve_result& out);

// The shadow-copy device prefix: \\?\GLOBALROOT\Device\HarddiskVolumeShadowCopy
std::u16string shadow_copy_device_prefix();

// A reparse point rewriting the path more often than this is a loop.
constexpr int max_link_restarts = 32;
