#include "storage/container.hpp"

#include "storage/disk_chain.hpp"
#include "storage/ewf.hpp"
#include "storage/file_handle.hpp"
#include "storage/split_raw.hpp"
#include "storage/vmdk.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

bool starts_with(std::span<const uint8_t> bytes, std::string_view sig) {
    return bytes.size() >= sig.size() && std::memcmp(bytes.data(), sig.data(), sig.size()) == 0;
}

// Signatures of the file headers (first bytes of every segment or file).
constexpr std::string_view ewf_signature{"EVF\x09\x0d\x0a\xff\x00", 8};
constexpr std::string_view lef_signature{"LVF\x09\x0d\x0a\xff\x00", 8};
constexpr std::string_view ewf2_signature{"EVF2\x0d\x0a\x81\x00", 8};
constexpr std::string_view lef2_signature{"LEF2\x0d\x0a\x81\x00", 8};
constexpr std::string_view vhdx_signature{"vhdxfile", 8};
constexpr std::string_view vhd_cookie{"conectix", 8};
constexpr std::string_view vmdk_sparse_magic{"KDMV", 4};
constexpr std::string_view vmdk_descriptor_mark{"# Disk DescriptorFile"};

}  // namespace

image_format identify_image(std::span<const uint8_t> head, std::span<const uint8_t> tail) {
    if (starts_with(head, ewf_signature)) return image_format::ewf;
    if (starts_with(head, ewf2_signature)) return image_format::ewf2;
    if (starts_with(head, lef_signature) || starts_with(head, lef2_signature)) return image_format::logical_ewf;
    if (starts_with(head, vhdx_signature)) return image_format::vhdx;
    // A dynamic or differencing VHD starts with a copy of its footer; a
    // fixed one has only the footer, in its last 512 bytes (511 in files
    // of the oldest writers).
    if (starts_with(head, vhd_cookie)) return image_format::vhd;
    if (tail.size() >= 512 && starts_with(tail.subspan(tail.size() - 512), vhd_cookie)) return image_format::vhd;
    if (tail.size() >= 511 && starts_with(tail.subspan(tail.size() - 511), vhd_cookie)) return image_format::vhd;
    if (starts_with(head, vmdk_sparse_magic)) return image_format::vmdk;
    // A descriptor is text; its first line names it (a comment may precede
    // it in hand-written ones, so the whole head is searched).
    const std::string_view text(reinterpret_cast<const char*>(head.data()), head.size());
    if (text.find(vmdk_descriptor_mark) != std::string_view::npos) return image_format::vmdk;
    return image_format::raw;
}

bool identify_image_file(const std::u16string& path, image_format& format) {
    format = image_format::raw;
    owned_fd f;
    uint64_t size = 0;
    if (!open_read_only(path, f, size)) return false;
    std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(size, identify_head_bytes)));
    std::vector<uint8_t> tail(static_cast<size_t>(std::min<uint64_t>(size, identify_tail_bytes)));
    if (!head.empty() && !read_exact(f, 0, head)) head.clear();
    if (!tail.empty() && !read_exact(f, size - tail.size(), tail)) tail.clear();
    format = identify_image(head, tail);
    if (format == image_format::raw) {
        std::vector<std::u16string> pieces;
        std::string message;
        // A set with a piece missing is still a set: its open names the gap.
        if (find_split_pieces(path, pieces, message) || !message.empty()) format = image_format::split_raw;
    }
    return true;
}

std::vector<std::u16string> image_files(const std::u16string& path) {
    std::vector<std::u16string> files(1, path);
    image_format format = image_format::raw;
    if (!identify_image_file(path, format)) return files;
    if (format == image_format::ewf) {
        ewf_set_files(path, files);
    } else if (format == image_format::split_raw) {
        std::vector<std::u16string> pieces;
        std::string message;
        find_split_pieces(path, pieces, message);
        for (const auto& p : pieces)
            if (p != path) files.push_back(p);
    } else if (format == image_format::vhd || format == image_format::vhdx) {
        // The parents are found as the run finds them: by opening the chain.
        std::unique_ptr<disk_container> disk;
        std::string message;
        const bool opened = format == image_format::vhd ? open_vhd(path, disk, message)
                                                        : open_vhdx(path, disk, message);
        const auto* file = opened ? dynamic_cast<const chain_disk*>(disk.get()) : nullptr;
        for (file = file ? file->parent.get() : nullptr; file; file = file->parent.get())
            files.push_back(file->path);
    } else if (format == image_format::vmdk) {
        std::unique_ptr<VmdkChain> chain;
        std::string message;
        if (assemble_vmdk_image(path, chain, message))
            for (const auto& extent : chain->extents)
                if (extent->path != path) files.push_back(extent->path);
    }
    return files;
}
