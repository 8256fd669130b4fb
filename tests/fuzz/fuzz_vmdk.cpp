// VMDK hosted sparse extents: the header checks, the descriptor, the grain
// directory and tables of a fuzzed extent file, reads through it, and the
// NTFS volume found inside it.
#include "fuzz_input.hpp"

#include "ntfs/index.hpp"
#include "ntfs/open_volume.hpp"
#include "platform/unicode.hpp"
#include "storage/vmdk.hpp"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

// One temporary file per process, rewritten for every input and removed
// at exit: the extent reader works on files only.
struct temp_extent {
    std::string path;
    int fd = -1;
    temp_extent() {
        const char* dir = std::getenv("TMPDIR");
        path = std::string(dir && *dir ? dir : "/tmp") + "/brelvik-fuzz-vmdk-XXXXXX";
        fd = mkstemp(path.data());
    }
    ~temp_extent() {
        if (fd >= 0) {
            ::close(fd);
            unlink(path.c_str());
        }
    }
    bool write(const uint8_t* data, size_t size) {
        if (fd < 0 || ftruncate(fd, 0) != 0) return false;
        size_t done = 0;
        while (done < size) {
            const ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
};

}  // namespace

int fuzz::fuzz_vmdk(const uint8_t* data, size_t size) {
    static temp_extent file;
    const std::span<const uint8_t> in(data, size);
    const vmdk_sparse_header h = read_sparse_header(in);
    grain_directory_entries(h);
    sparse_header_sane(h, size);
    vmdk_descriptor d;
    parse_descriptor(in, d);

    if (!file.write(data, size)) return 0;
    const std::u16string path = uni::to_utf16(file.path);
    VmdkChain chain;
    if (!chain.add_file(path) || !chain.link()) return 0;
    std::vector<uint8_t> buf(64 * 1024);
    const uint64_t disk = chain.capacity_sectors() * vmdk_sector;
    for (uint64_t at : {uint64_t(0), disk / 2, disk - 4096, disk, ~uint64_t(0) - 100}) {
        uint32_t length = static_cast<uint32_t>(buf.size());
        chain.read(buf.data(), at, length);
    }
    std::unique_ptr<ntfs_volume> v;
    if (open_vmdk_volume({path}, 0, v)) {
        child_entry_set s;
        collect_directory_children(*v, 5, s);
    }
    return 0;
}
