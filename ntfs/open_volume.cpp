#include "ntfs/open_volume.hpp"
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

int classify_path(const std::u16string& path) {
    if (path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\') return source_device_path;
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
