#include "storage/file_handle.hpp"

#include "platform/platform.hpp"
#include "platform/unicode.hpp"

#include <algorithm>
#include <cstdint>
#include <new>

owned_fd::~owned_fd() { reset(); }

void owned_fd::reset(int value) {
    if (fd >= 0) platform::close_file(fd);
    fd = value;
}

bool open_read_only(const std::u16string& path, owned_fd& out, uint64_t& size) {
    size = 0;
    out.reset(platform::open_file(path, platform::open_mode::read, false));
    if (out.fd < 0) return false;
    const int64_t end = platform::seek_file(out.fd, 0, 2);
    platform::seek_file(out.fd, 0, 0);
    if (end < 0) {
        out.reset();
        return false;
    }
    size = static_cast<uint64_t>(end);
    return true;
}

bool read_exact(const owned_fd& file, uint64_t offset, std::span<uint8_t> out) {
    std::fill(out.begin(), out.end(), uint8_t(0));
    if (file.fd < 0 || offset > uint64_t(INT64_MAX) - out.size()) return false;
    size_t done = 0;
    while (done < out.size()) {
        const size_t want = std::min<size_t>(out.size() - done, size_t(1) << 30);
        const int64_t n = platform::pread_file(file.fd, out.data() + done, static_cast<uint32_t>(want),
                                               static_cast<int64_t>(offset + done));
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

size_t leaf_start(const std::u16string& path) {
    size_t leaf = path.size();
    while (leaf > 0 && path[leaf - 1] != u'/' && !(platform::host_separator == u'\\' && path[leaf - 1] == u'\\')) --leaf;
    return leaf;
}

bool same_host_name(std::u16string_view a, std::u16string_view b) {
    if (platform::host_separator != u'\\') return a == b;
    return a.size() == b.size() && uni::wide_lower(a) == uni::wide_lower(b);
}

const owned_fd* file_pool::get(size_t index) try {
    if (index >= paths.size()) return nullptr;
    auto it = open.find(index);
    if (it == open.end()) {
        if (!open.empty() && open.size() >= limit) {
            auto oldest = std::min_element(open.begin(), open.end(), [](const auto& a, const auto& b) {
                return a.second.second < b.second.second;
            });
            open.erase(oldest);
        }
        owned_fd f;
        uint64_t size = 0;
        if (!open_read_only(paths[index], f, size)) return nullptr;
        it = open.emplace(index, std::make_pair(std::move(f), uint64_t(0))).first;
    }
    it->second.second = ++uses;
    return &it->second.first;
} catch (const std::bad_alloc&) {
    return nullptr;
}
