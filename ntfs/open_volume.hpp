// Opening an NTFS volume over a new sector source: by source code, by path
// classification, a live volume, a physical drive, a VMDK chain, or bytes in
// memory. Each opener checks the boot sector and reads the MFT's runs; on
// any failure no volume is returned.
#pragma once

#include "ntfs/volume.hpp"

#include <memory>
#include <string>
#include <vector>

enum source_code : int {
    source_live_volume = 32,     // a drive letter's volume device
    source_image = 33,           // an image file
    source_physical_drive = 34,  // \\.\PhysicalDriveN
    source_device_path = 35,     // a device path used unchanged
    source_none = 36,            // opens nothing
    source_invalid = 255,
};

bool attach_source(int code, const std::u16string& path, int drive, int64_t volume_offset,
                   std::unique_ptr<ntfs_volume>& out);
// Two leading backslashes: a device path, except on Windows a regular file
// named in a file-path form (\\?\X:\..., \\?\UNC\..., \\server\share\...),
// which is an image file; "X:" or "X:\": the live volume of that letter;
// anything else: an image file.
int classify_path(const std::u16string& path);
bool open_volume_by_path(const std::u16string& path, int64_t volume_offset, std::unique_ptr<ntfs_volume>& out);
bool open_live_volume(const std::u16string& path, int code, std::unique_ptr<ntfs_volume>& out);
bool open_drive_volume(int drive, int64_t volume_offset, std::unique_ptr<ntfs_volume>& out);
bool open_vmdk_volume(const std::vector<std::u16string>& files, int64_t volume_offset, std::unique_ptr<ntfs_volume>& out);
bool open_memory_volume(std::vector<uint8_t> bytes, int64_t volume_offset, std::unique_ptr<ntfs_volume>& out);
