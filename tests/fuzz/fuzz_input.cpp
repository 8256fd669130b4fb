#include "fuzz_input.hpp"

#include "ntfs/index.hpp"
#include "ntfs/open_volume.hpp"
#include "platform/unicode.hpp"
#include "storage/container.hpp"
#include "storage/le.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <unistd.h>

namespace fuzz {

image_input decode_image(const uint8_t* data, size_t size) {
    image_input out;
    const le::bytes in(data, size);
    // First pass: the image's length, so that it is allocated once.
    uint64_t end = 0;
    for (size_t pos = 0; pos + chunk_head_bytes <= size;) {
        const uint32_t at = le::u32(in, pos);
        const size_t len = std::min<size_t>(le::u16(in, pos + 4), size - pos - chunk_head_bytes);
        if (at != param_chunk_offset) end = std::max<uint64_t>(end, std::min<uint64_t>(uint64_t(at) + len, max_image_bytes));
        pos += chunk_head_bytes + len;
    }
    out.image.assign(static_cast<size_t>(end), 0);
    for (size_t pos = 0; pos + chunk_head_bytes <= size;) {
        const uint32_t at = le::u32(in, pos);
        const size_t len = std::min<size_t>(le::u16(in, pos + 4), size - pos - chunk_head_bytes);
        const uint8_t* bytes = data + pos + chunk_head_bytes;
        if (at == param_chunk_offset) {
            out.param.assign(reinterpret_cast<const char*>(bytes), len);
        } else if (at < end) {
            std::memcpy(out.image.data() + at, bytes, std::min<size_t>(len, static_cast<size_t>(end - at)));
        }
        pos += chunk_head_bytes + len;
    }
    return out;
}

}  // namespace fuzz

// ---------------------------------------------------------------- files

namespace fuzz {

scratch_folder::scratch_folder(const char* tag) {
    // Memory-backed where there is one: every input is written out.
    const char* env = std::getenv("TMPDIR");
    std::string base = env && *env ? env : std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string tmpl = base + "/brelvik-fuzz-" + tag + "-XXXXXX";
    if (mkdtemp(tmpl.data())) path = tmpl + "/";
}

scratch_folder::~scratch_folder() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
}

std::string scratch_folder::write(const std::string& name, const std::vector<uint8_t>& bytes) const {
    if (path.empty()) return {};
    const std::string file = path + name;
    FILE* f = std::fopen(file.c_str(), "wb");
    if (!f) return {};
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok ? file : std::string();
}

void scratch_folder::remove(const std::string& name) const {
    if (!path.empty()) ::unlink((path + name).c_str());
}

void run_container(const scratch_folder& folder, const uint8_t* data, size_t size, const std::string& child,
                   const std::string& parent) {
    const image_input in = decode_image(data, size);
    const std::string path = folder.write(child, in.image);
    if (path.empty()) return;
    if (in.param.empty()) {
        folder.remove(parent);
    } else {
        const image_input p = decode_image(reinterpret_cast<const uint8_t*>(in.param.data()), in.param.size());
        folder.write(parent, p.image);
    }
    const std::u16string name = uni::to_utf16(path);
    std::unique_ptr<disk_container> disk;
    std::string message;
    const bool vhdx = child.size() > 4 && child.compare(child.size() - 4, 4, "vhdx") == 0;
    if (!(vhdx ? open_vhdx(name, disk, message) : open_vhd(name, disk, message))) return;
    std::vector<uint8_t> buf(64 * 1024);
    const uint64_t end = disk->disk_size;
    for (const uint64_t at : {uint64_t(0), end / 2 + 511, end > buf.size() ? end - buf.size() : 0}) {
        if (at >= end) continue;
        disk->read(buf.data(), at, static_cast<uint32_t>(std::min<uint64_t>(buf.size(), end - at)));
    }
    disk.reset();
    std::unique_ptr<ntfs_volume> v;
    if (open_volume_by_path(name, 0, v)) {
        child_entry_set s;
        collect_directory_children(*v, 5, s);
    }
}

}  // namespace fuzz
