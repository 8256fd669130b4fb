// An open file of the platform layer, closed when its owner goes, and the
// reads that the container readers make through it.
#pragma once

#include <cstdint>
#include <span>
#include <string>

struct owned_fd {
    owned_fd() = default;
    explicit owned_fd(int fd) : fd(fd) {}
    owned_fd(const owned_fd&) = delete;
    owned_fd& operator=(const owned_fd&) = delete;
    owned_fd(owned_fd&& o) noexcept : fd(o.fd) { o.fd = -1; }
    owned_fd& operator=(owned_fd&& o) noexcept {
        if (this != &o) {
            reset(o.fd);
            o.fd = -1;
        }
        return *this;
    }
    ~owned_fd();
    void reset(int value = -1);
    int fd = -1;
};

// Opens `path` read-only into `out` and sets `size` to its length in
// bytes; false when it does not open or its length cannot be told.
bool open_read_only(const std::u16string& path, owned_fd& out, uint64_t& size);

// Reads exactly out.size() bytes at `offset`; false on a failed or short
// read (the bytes not read are zeros).
bool read_exact(const owned_fd& file, uint64_t offset, std::span<uint8_t> out);
