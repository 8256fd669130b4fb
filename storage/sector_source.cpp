#include "storage/sector_source.hpp"
#include "platform/unicode.hpp"
#include "storage/container.hpp"
#include "storage/vmdk.hpp"

#include <algorithm>
#include <cstring>

SectorSource::SectorSource() = default;
SectorSource::~SectorSource() { close(*this); }

void reset(SectorSource& src) {
    close(src);
    src.vmdk.reset();
    src.container.reset();
    src.device_path.clear();
    src.disk_number = -1;
    src.partition_number = -1;
    src.handle = platform::device();
    src.fd = -1;
    src.cylinders = 0;
    src.media_type = 0;
    src.tracks_per_cylinder = 0;
    src.sectors_per_track = 0;
    src.sector_size = 0;
    src.kind = SourceKind::None;
    src.is_open = false;
    src.size = 0;
    src.memory.clear();
}

namespace {

bool open_raw_image(SectorSource& src, const std::u16string& path) {
    reset(src);
    src.kind = SourceKind::Image;
    src.image_path = path;
    src.image_path_utf8 = uni::to_utf8(path);
    src.fd = platform::open_file(path, platform::open_mode::read, false);
    if (src.fd < 0) {
        src.fd = -1;
        return false;
    }
    src.size = platform::seek_file(src.fd, 0, 2);
    platform::seek_file(src.fd, 0, 0);
    if (src.size < 0) src.size = 0;
    src.sector_size = 512;
    src.is_open = true;
    return true;
}

bool open_container(SectorSource& src, const std::u16string& path, image_format format, std::string& message) {
    reset(src);
    std::unique_ptr<disk_container> disk;
    bool ok = false;
    switch (format) {
    case image_format::split_raw: ok = open_split_raw(path, disk, message); src.kind = SourceKind::SplitRaw; break;
    case image_format::ewf: ok = open_ewf(path, disk, message); src.kind = SourceKind::Ewf; break;
    case image_format::vhd: ok = open_vhd(path, disk, message); src.kind = SourceKind::Vhd; break;
    case image_format::vhdx: ok = open_vhdx(path, disk, message); src.kind = SourceKind::Vhdx; break;
    default: break;
    }
    if (!ok || !disk || disk->disk_size > uint64_t(INT64_MAX)) {
        reset(src);
        return false;
    }
    src.image_path = path;
    src.image_path_utf8 = uni::to_utf8(path);
    src.size = static_cast<int64_t>(disk->disk_size);
    src.sector_size = (disk->sector_size == 4096) ? 4096 : 512;
    src.container = std::move(disk);
    src.is_open = true;
    return true;
}

// A VMDK named by -image: a descriptor or a sparse extent, with the parents
// its descriptor names found beside it.
bool open_vmdk_image(SectorSource& src, const std::u16string& path, std::string& message) {
    reset(src);
    std::unique_ptr<VmdkChain> chain;
    if (!assemble_vmdk_image(path, chain, message)) return false;
    if (!open_vmdk_chain(src, std::move(chain))) return false;
    src.image_path = path;
    src.image_path_utf8 = uni::to_utf8(path);
    return true;
}

}  // namespace

bool open_image(SectorSource& src, const std::u16string& path, std::string& message) {
    message.clear();
    image_format format = image_format::raw;
    if (!identify_image_file(path, format)) return open_raw_image(src, path);
    switch (format) {
    case image_format::raw: return open_raw_image(src, path);
    case image_format::vmdk: return open_vmdk_image(src, path, message);
    case image_format::ewf2:
        reset(src);
        message = uni::to_utf8(path) + ": EWF2 (Ex01) images are not supported";
        return false;
    case image_format::logical_ewf:
        reset(src);
        message = uni::to_utf8(path) + ": a logical evidence file (L01) holds files, not a disk image; not supported";
        return false;
    default: return open_container(src, path, format, message);
    }
}

bool open_image(SectorSource& src, const std::u16string& path) {
    std::string message;
    return open_image(src, path, message);
}

// Reads the drive geometry: the extended query first (it carries the disk
// size), then the plain one.
static bool read_geometry(SectorSource& src) {
    platform::disk_geometry g;
    if (platform::drive_geometry_ex(src.handle, g)) {
        src.size = g.disk_size;
    } else if (platform::drive_geometry(src.handle, g)) {
        src.size = int64_t(g.bytes_per_sector) * g.cylinders * g.tracks_per_cylinder * g.sectors_per_track;
    } else {
        return false;
    }
    src.cylinders = g.cylinders;
    src.media_type = g.media_type;
    src.tracks_per_cylinder = g.tracks_per_cylinder;
    src.sectors_per_track = g.sectors_per_track;
    src.sector_size = g.bytes_per_sector;
    // Alignment arithmetic needs a power-of-two sector size.
    if (src.sector_size == 0 || (src.sector_size & (src.sector_size - 1)) != 0) src.sector_size = 512;
    return true;
}

bool open_device(SectorSource& src, const std::u16string& path, SourceKind kind, bool letter_form) {
    reset(src);
    src.kind = kind;
    if (letter_form && !path.empty() && ((path[0] >= u'A' && path[0] <= u'Z') || (path[0] >= u'a' && path[0] <= u'z'))) {
        src.device_path = std::u16string(u"\\\\.\\") + path[0] + u":";
    } else {
        src.device_path = path;
    }
    if (!platform::open_device(src.device_path, false, src.handle)) return false;
    if (!read_geometry(src)) {
        src.handle.close();
        return false;
    }
    int64_t length = 0;
    int32_t number = -1;
    if (platform::partition_info(src.handle, length, number) || platform::partition_info_ex(src.handle, length, number)) {
        src.size = length;
        src.partition_number = number;
    }
    int32_t disk = -1;
    if (platform::device_number(src.handle, disk)) src.disk_number = disk;
    src.is_open = true;
    return true;
}

bool open_physical_drive(SectorSource& src, int number) {
    reset(src);
    if (number < 0 || number >= max_physical_drive) return false;
    src.kind = SourceKind::PhysicalDrive;
    src.disk_number = number;
    src.partition_number = -1;
    src.device_path = u"\\\\.\\PhysicalDrive" + uni::to_utf16(std::to_string(number));
    if (!platform::open_device(src.device_path, true, src.handle)) return false;
    src.is_open = read_geometry(src);
    return src.is_open;
}

bool open_vmdk(SectorSource& src, const std::vector<std::u16string>& files) {
    reset(src);
    if (files.empty()) return false;
    src.kind = SourceKind::VmdkChain;
    std::unique_ptr<VmdkChain> chain;
    try {
        chain = std::make_unique<VmdkChain>();
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (const auto& f : files)
        if (!chain->add_file(f)) return false;
    if (!chain->link()) return false;
    return open_vmdk_chain(src, std::move(chain));
}

bool open_vmdk_chain(SectorSource& src, std::unique_ptr<VmdkChain> chain) {
    reset(src);
    if (!chain) return false;
    src.kind = SourceKind::VmdkChain;
    src.vmdk = std::move(chain);
    src.fd = src.vmdk->base_fd();
    src.size = src.vmdk->base_valid() ? static_cast<int64_t>(src.vmdk->capacity_sectors() * 512) : 0;
    src.sector_size = 512;
    src.is_open = true;
    return true;
}

bool open_memory(SectorSource& src, std::vector<uint8_t> bytes) {
    reset(src);
    src.kind = SourceKind::Memory;
    src.memory = std::move(bytes);
    src.size = static_cast<int64_t>(src.memory.size());
    src.sector_size = 512;
    src.is_open = true;
    return true;
}

void close(SectorSource& src) {
    src.container.reset();
    if (src.vmdk) {
        src.vmdk.reset();
        src.fd = -1;
    } else if (src.fd != -1) {
        platform::close_file(src.fd);
        src.fd = -1;
    }
    src.handle.close();
    src.is_open = false;
    src.image_path.clear();
    src.image_path_utf8.clear();
    src.device_path.clear();
}

// Device reads must start and end on sector boundaries: an aligned request
// goes straight into the caller's buffer, any other through a temporary
// buffer covering the whole sectors around it.
static bool read_device_aligned(SectorSource& src, uint8_t* buffer, uint32_t length, int64_t offset) {
    const uint64_t ss = src.sector_size ? src.sector_size : 512;
    const uint64_t r = static_cast<uint64_t>(offset) % ss;
    uint64_t span = uint64_t(length) + r;
    if (r == 0 && span % ss == 0) return platform::read_device(src.handle, offset, buffer, length);
    span = (span + ss - 1) / ss * ss;
    if (span > UINT32_MAX) return false;
    std::vector<uint8_t> tmp;
    try {
        tmp.resize(static_cast<size_t>(span));
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!platform::read_device(src.handle, offset - static_cast<int64_t>(r), tmp.data(), static_cast<uint32_t>(span))) return false;
    std::memcpy(buffer, tmp.data() + r, length);
    return true;
}

bool read(SectorSource& src, uint8_t* buffer, uint32_t& length, int64_t offset) {
    if (!buffer || !src.is_open || length == 0 || offset < 0 || offset >= src.size) return false;
    switch (src.kind) {
    case SourceKind::Image: {
        if (src.fd < 0) return false;
        if (static_cast<uint64_t>(src.size - offset) < length) length = static_cast<uint32_t>(src.size - offset);
        const int64_t n = platform::pread_file(src.fd, buffer, length, offset);
        if (n < 0) return false;
        // A short read leaves no stale bytes behind.
        if (static_cast<uint64_t>(n) < length) std::memset(buffer + n, 0, length - static_cast<size_t>(n));
        return true;
    }
    case SourceKind::Memory: {
        if (static_cast<uint64_t>(src.size - offset) < length) length = static_cast<uint32_t>(src.size - offset);
        std::memcpy(buffer, src.memory.data() + offset, length);
        return true;
    }
    case SourceKind::Volume:
    case SourceKind::DevicePath:
    case SourceKind::PhysicalDrive:
        if (!src.handle.valid()) return false;
        return read_device_aligned(src, buffer, length, offset);
    case SourceKind::VmdkChain:
        if (!src.vmdk) return false;
        // The last grain table reaches past the capacity; what it maps
        // there is no part of the disk.
        if (static_cast<uint64_t>(src.size - offset) < length) length = static_cast<uint32_t>(src.size - offset);
        return src.vmdk->read(buffer, static_cast<uint64_t>(offset), length);
    case SourceKind::SplitRaw:
    case SourceKind::Ewf:
    case SourceKind::Vhd:
    case SourceKind::Vhdx:
        if (!src.container) return false;
        if (static_cast<uint64_t>(src.size - offset) < length) length = static_cast<uint32_t>(src.size - offset);
        return src.container->read(buffer, static_cast<uint64_t>(offset), length);
    default:
        return false;
    }
}

uint64_t total_size(const SectorSource& src) {
    if (!src.is_open) return 0;
    if (src.handle.valid() && src.size == 0)
        return uint64_t(src.sector_size) * src.sectors_per_track * src.tracks_per_cylinder * static_cast<uint64_t>(src.cylinders);
    return static_cast<uint64_t>(src.size);
}

void prefetch(SectorSource& src, std::span<const uint64_t> offsets) {
    if (src.is_open && src.container) src.container->prefetch(offsets);
}

bool lend(SectorSource& src, int64_t offset, uint32_t length, const uint8_t*& data, uint64_t& token) {
    if (!src.is_open || !src.container || offset < 0 || offset >= src.size ||
        static_cast<uint64_t>(src.size - offset) < length)
        return false;
    return src.container->lend(static_cast<uint64_t>(offset), length, data, token);
}

void give_back(const SectorSource& src, uint64_t token) {
    if (src.container) src.container->give_back(token);
}

bool read_into(SectorSource& src, uint64_t offset, std::span<uint8_t> out) {
    std::fill(out.begin(), out.end(), uint8_t(0));
    if (out.empty() || out.size() > UINT32_MAX || offset > uint64_t(INT64_MAX)) return false;
    uint32_t length = static_cast<uint32_t>(out.size());
    return read(src, out.data(), length, static_cast<int64_t>(offset)) && length > 0;
}

bool read_at(SectorSource& src, int64_t relative, int64_t volume_offset, uint8_t* buffer, uint32_t& length) {
    if (relative < 0 || volume_offset < 0 || relative > INT64_MAX - volume_offset) return false;
    return read(src, buffer, length, relative + volume_offset) && length > 0;
}
