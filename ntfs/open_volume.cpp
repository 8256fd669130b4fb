#include "ntfs/open_volume.hpp"
#include "platform/platform.hpp"
#include "platform/unicode.hpp"
#include "storage/vmdk.hpp"

// Attaches an opened source, stores the offset and initializes the volume.
static bool finish_open(std::unique_ptr<SectorSource> src, int64_t volume_offset, std::unique_ptr<ntfs_volume>& out) {
    auto v = std::make_unique<ntfs_volume>();
    v->source = std::move(src);
    v->volume_offset = volume_offset;
    uint64_t mft = 0;
    if (!initialize(*v, mft)) return false;
    out = std::move(v);
    return true;
}

bool attach_source(int code, const std::u16string& path, int drive, int64_t volume_offset,
                   std::unique_ptr<ntfs_volume>& out) {
    out.reset();
    if (code < source_live_volume || code > source_none) code = source_invalid;
    if (path.empty() && (code == source_live_volume || code == source_image || code == source_device_path)) return false;
    auto src = std::make_unique<SectorSource>();
    bool opened = false;
    switch (code) {
    case source_live_volume: opened = open_device(*src, path, SourceKind::Volume, true); break;
    case source_image: opened = open_image(*src, path); break;
    case source_physical_drive: opened = open_physical_drive(*src, drive); break;
    case source_device_path: opened = open_device(*src, path, SourceKind::DevicePath, false); break;
    default: return false;
    }
    if (!opened) return false;
    return finish_open(std::move(src), volume_offset, out);
}

namespace {

bool is_drive_letter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

// Whether a path that starts with two backslashes is written in one of the
// Windows forms of a file path rather than a device name: "\\?\X:\name"
// or "\\.\X:\name" (a name below a drive's root, the form that lifts the
// 260-character limit), "\\?\UNC\server\share\name", or a share
// "\\server\share\name". Devices ("\\.\C:", "\\.\PhysicalDrive0",
// "\\?\GLOBALROOT\...", "\\?\Volume{...}") have none of these forms.
bool file_path_form(const std::u16string& path) {
    if (path.size() < 3 || path[0] != u'\\' || path[1] != u'\\') return false;
    if (path[2] != u'?' && path[2] != u'.') return path.find(u'\\', 2) != std::u16string::npos;
    if (path.size() < 4 || path[3] != u'\\') return false;
    const std::u16string_view rest = std::u16string_view(path).substr(4);
    if (rest.size() > 3 && is_drive_letter(rest[0]) && rest[1] == u':' && rest[2] == u'\\') return true;
    return path[2] == u'?' && rest.size() > 4 && uni::ascii_lower(rest.substr(0, 4)) == u"unc\\";
}

}  // namespace

int classify_path(const std::u16string& path) {
    if (path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\') {
        // Windows opens an image file named in a file-path form as it opens
        // any other file; only a device is read through the device calls
        // (whose geometry query a file does not answer).
        if (platform::host_separator == u'\\' && file_path_form(path) && platform::is_regular_file(path))
            return source_image;
        return source_device_path;
    }
    if ((path.size() == 3 && path[1] == u':' && path[2] == u'\\') || (path.size() == 2 && path[1] == u':'))
        return source_live_volume;
    return source_image;
}

bool open_volume_by_path(const std::u16string& path, int64_t volume_offset, std::unique_ptr<ntfs_volume>& out) {
    return attach_source(classify_path(path), path, -1, volume_offset, out);
}

bool open_live_volume(const std::u16string& path, int code, std::unique_ptr<ntfs_volume>& out) {
    if (code == source_image) return attach_source(code, path, -1, 0, out);
    if (code == source_live_volume) {
        if (path.empty()) return false;
        return attach_source(code, std::u16string(1, path[0]) + u":", -1, 0, out);
    }
    return attach_source(code, path, -1, 0, out);
}

bool open_drive_volume(int drive, int64_t volume_offset, std::unique_ptr<ntfs_volume>& out) {
    return attach_source(source_physical_drive, u"", drive, volume_offset, out);
}

bool open_vmdk_volume(const std::vector<std::u16string>& files, int64_t volume_offset, std::unique_ptr<ntfs_volume>& out) {
    out.reset();
    auto src = std::make_unique<SectorSource>();
    if (!open_vmdk(*src, files)) return false;
    // Without an offset, the first partition of the base disk is the volume.
    if (volume_offset <= 0) {
        const auto& offsets = src->vmdk->partition_offsets();
        volume_offset = offsets.empty() ? 0 : static_cast<int64_t>(offsets.front());
    }
    return finish_open(std::move(src), volume_offset, out);
}

bool open_memory_volume(std::vector<uint8_t> bytes, int64_t volume_offset, std::unique_ptr<ntfs_volume>& out) {
    out.reset();
    auto src = std::make_unique<SectorSource>();
    if (!open_memory(*src, std::move(bytes))) return false;
    return finish_open(std::move(src), volume_offset, out);
}
