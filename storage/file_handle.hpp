// An open file of the platform layer, closed when its owner goes, and the
// reads that the container readers make through it.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <utility>
#include <vector>

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

// Where the last component of `path` begins: after its last separator
// ('/', and '\\' where the host uses it), 0 when there is none.
size_t leaf_start(const std::u16string& path);

// Whether the host takes `a` and `b` for one file name: Windows looks names
// up without regard to case (so a typed DISK.001 opens disk.001), a POSIX
// file system matches them exactly.
bool same_host_name(std::u16string_view a, std::u16string_view b);

// The files of a set (split pieces, EWF segments) opened when first read
// and kept open at most `limit` at a time, the least recently used closed
// first, so that a set of thousands of files does not exhaust the
// process's descriptors.
struct file_pool {
    explicit file_pool(size_t limit) : limit(limit) {}
    std::vector<std::u16string> paths;  // by index
    // The open file of paths[index], or nullptr when it does not open.
    const owned_fd* get(size_t index);

  private:
    size_t limit;
    std::map<size_t, std::pair<owned_fd, uint64_t>> open;  // index -> file, use count of its last use
    uint64_t uses = 0;
};
