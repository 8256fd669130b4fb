// POSIX meanings of the platform layer.
//
// Device names that the Windows build would open are looked up by their last
// name component in the folder named by BRELVIK_DEVICE_DIR, so an image file
// can stand in for a volume, a physical drive or a shadow copy. Without that
// variable, \\.\PhysicalDriveN opens the N-th whole disk in /sys/block order.
#include "platform/platform.hpp"
#include "platform/unicode.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <malloc.h>
#include <memory>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

thread_local uint32_t g_last_error = 0;

std::string host(std::u16string_view p) { return uni::to_utf8(p); }

void note_errno() {
    g_last_error = (errno == ENOENT || errno == ENOTDIR) ? error_path_not_found
                   : (errno == ENAMETOOLONG)             ? error_filename_exceeds_range
                   : (errno == EACCES || errno == EPERM) ? error_access_denied
                                                         : static_cast<uint32_t>(errno);
}

// The whole of a small file such as a /proc or /sys entry, whose stated
// size is 0: read to its end, at most `limit` bytes.
bool read_small_file(const std::string& path, std::string& text, size_t limit) {
    text.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[4096];
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || text.size() + static_cast<size_t>(n) > limit) {
            ok = n == 0;
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return ok;
}

// A /sys number: decimal digits and a line end, at most 18 digits.
bool parse_sys_number(std::string text, int64_t& out) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (text.empty() || text.size() > 18) return false;
    if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
    out = std::stoll(text);
    return true;
}

// Last component of a Windows device name: the text after its last backslash.
std::u16string device_leaf(std::u16string_view path) {
    const auto pos = path.find_last_of(u'\\');
    return std::u16string(pos == std::u16string_view::npos ? path : path.substr(pos + 1));
}

bool starts_with_ci(std::u16string_view s, std::u16string_view prefix) {
    if (s.size() < prefix.size()) return false;
    return uni::ascii_lower(s.substr(0, prefix.size())) == uni::ascii_lower(prefix);
}

// Maps a Windows device name to a host path; false when there is none.
bool map_device(std::u16string_view path, std::string& out) {
    const std::u16string leaf = device_leaf(path);
    if (leaf.empty()) return false;
    std::string dir;
    if (get_env("BRELVIK_DEVICE_DIR", dir) && !dir.empty()) {
        // Windows device names ignore case: take an exact match, else the
        // first entry whose name matches without regard to ASCII case.
        out = dir + "/" + host(leaf);
        struct stat st {};
        if (::stat(out.c_str(), &st) == 0) return true;
        if (DIR* d = ::opendir(dir.c_str())) {
            const std::string want = uni::ascii_lower(host(leaf));
            while (dirent* e = ::readdir(d)) {
                if (uni::ascii_lower(std::string(e->d_name)) == want) {
                    out = dir + "/" + e->d_name;
                    break;
                }
            }
            ::closedir(d);
        }
        return true;
    }
    if (starts_with_ci(leaf, u"PhysicalDrive")) {
        const std::string digits = host(leaf.substr(13));
        if (digits.empty() || !std::all_of(digits.begin(), digits.end(), ::isdigit) || digits.size() > 4) return false;
        std::u16string disk;
        if (!whole_disk_path(std::atoi(digits.c_str()), disk)) return false;
        out = host(disk);
        return true;
    }
    return false;
}

bool fd_size(int fd, int64_t& size, uint32_t& sector) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return false;
    if (S_ISBLK(st.st_mode)) {
        uint64_t bytes = 0;
        int ssz = 0;
        if (ioctl(fd, BLKGETSIZE64, &bytes) != 0) return false;
        if (ioctl(fd, BLKSSZGET, &ssz) != 0 || ssz <= 0) ssz = 512;
        size = static_cast<int64_t>(bytes);
        sector = static_cast<uint32_t>(ssz);
        return true;
    }
    size = st.st_size;
    sector = 512;
    return true;
}

}  // namespace

void device::close() {
    if (h_ != invalid) ::close(static_cast<int>(h_));
    h_ = invalid;
}

bool open_device(std::u16string_view path, bool, device& out) {
    std::string target;
    if (!map_device(path, target)) {
        g_last_error = error_path_not_found;
        return false;
    }
    const int fd = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        note_errno();
        return false;
    }
    out = device(fd);
    return true;
}

bool read_device(const device& dev, int64_t offset, uint8_t* buffer, uint32_t length) {
    if (!dev.valid() || offset < 0) return false;
    uint32_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(static_cast<int>(dev.raw()), buffer + done, length - done, offset + done);
        if (n < 0) {
            if (errno == EINTR) continue;
            note_errno();
            return false;
        }
        if (n == 0) {
            // Past the end: a device read there fails on Windows too, but a
            // partial sector at the end is served zero-filled.
            if (done == 0) return false;
            std::fill(buffer + done, buffer + length, uint8_t{0});
            break;
        }
        done += static_cast<uint32_t>(n);
    }
    return true;
}

bool drive_geometry_ex(const device& dev, disk_geometry& g) {
    int64_t size = 0;
    uint32_t sector = 0;
    if (!dev.valid() || !fd_size(static_cast<int>(dev.raw()), size, sector)) return false;
    g.bytes_per_sector = sector;
    g.tracks_per_cylinder = 255;
    g.sectors_per_track = 63;
    g.media_type = 12;  // fixed media
    g.cylinders = size / (int64_t(sector) * 255 * 63);
    g.disk_size = size;
    return true;
}

bool drive_geometry(const device& dev, disk_geometry& g) { return drive_geometry_ex(dev, g); }

bool partition_info(const device& dev, int64_t& length, int32_t& number) {
    disk_geometry g;
    if (!drive_geometry_ex(dev, g)) return false;
    length = g.disk_size;
    number = 0;
    return true;
}

bool partition_info_ex(const device& dev, int64_t& length, int32_t& number) {
    return partition_info(dev, length, number);
}

bool device_number(const device& dev, int32_t& number) {
    struct stat st {};
    if (!dev.valid() || fstat(static_cast<int>(dev.raw()), &st) != 0) return false;
    number = S_ISBLK(st.st_mode) ? static_cast<int32_t>(major(st.st_rdev)) : 0;
    return true;
}

int open_file(std::u16string_view path, open_mode mode, bool create_truncate) {
    const std::string p = host(path);
    if (p.empty()) {
        g_last_error = error_path_not_found;
        return -1;
    }
    int flags = O_CLOEXEC;
    flags |= (mode == open_mode::read) ? O_RDONLY : O_RDWR;
    if (create_truncate && mode != open_mode::read) flags |= O_CREAT | O_TRUNC;
    const int fd = ::open(p.c_str(), flags, 0666);
    if (fd < 0) note_errno();
    return fd;
}

int64_t seek_file(int fd, int64_t offset, int whence) {
    const int w = whence == 0 ? SEEK_SET : whence == 1 ? SEEK_CUR : SEEK_END;
    return ::lseek(fd, offset, w);
}

int64_t read_file(int fd, void* buffer, uint32_t length) {
    for (;;) {
        const ssize_t n = ::read(fd, buffer, length);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

int64_t pread_file(int fd, void* buffer, uint32_t length, int64_t offset) {
    uint32_t done = 0;
    auto* p = static_cast<uint8_t*>(buffer);
    while (done < length) {
        const ssize_t n = ::pread(fd, p + done, length - done, offset + done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return done ? int64_t(done) : -1;
        }
        if (n == 0) break;
        done += static_cast<uint32_t>(n);
    }
    return done;
}

int64_t write_file(int fd, const void* buffer, uint32_t length) {
    uint32_t done = 0;
    const auto* p = static_cast<const uint8_t*>(buffer);
    while (done < length) {
        const ssize_t n = ::write(fd, p + done, length - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        done += static_cast<uint32_t>(n);
    }
    return done;
}

void close_file(int fd) {
    if (fd >= 0) ::close(fd);
}

uint32_t last_error() { return g_last_error; }

void set_attributes_normal(std::u16string_view path) {
    // A read-only file is made writable for its owner, as Windows clears the
    // read-only attribute.
    const std::string p = host(path);
    struct stat st {};
    if (!p.empty() && ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::chmod(p.c_str(), st.st_mode | S_IWUSR);
}

bool has_attributes(std::u16string_view path) {
    const std::string p = host(path);
    struct stat st {};
    return !p.empty() && ::stat(p.c_str(), &st) == 0;
}

bool is_regular_file(std::u16string_view path) {
    const std::string p = host(path);
    struct stat st {};
    return !p.empty() && ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool is_plain_file(std::u16string_view path) {
    const std::string p = host(path);
    struct stat st {};
    return !p.empty() && ::lstat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool same_file(std::u16string_view a, std::u16string_view b) {
    const std::string pa = host(a), pb = host(b);
    struct stat sa {}, sb {};
    return !pa.empty() && !pb.empty() && ::stat(pa.c_str(), &sa) == 0 && ::stat(pb.c_str(), &sb) == 0 &&
           sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool list_folder(std::u16string_view path, size_t limit, std::vector<std::u16string>& names) {
    names.clear();
    const std::string p = path.empty() ? std::string(".") : host(path);
    DIR* d = ::opendir(p.c_str());
    if (!d) {
        note_errno();
        return false;
    }
    while (names.size() < limit) {
        const dirent* e = ::readdir(d);
        if (!e) break;
        const std::string_view n(e->d_name);
        if (n == "." || n == "..") continue;
        names.push_back(uni::to_utf16(std::string(n)));
    }
    ::closedir(d);
    return true;
}

std::u16string current_directory() {
    std::vector<char> buf(4096);
    for (;;) {
        if (::getcwd(buf.data(), buf.size())) return uni::to_utf16(buf.data());
        if (errno != ERANGE || buf.size() > (1u << 20)) return {};
        buf.resize(buf.size() * 2);
    }
}

std::u16string long_path_form(std::u16string_view) { return {}; }

std::u16string full_path_name(std::u16string_view path) {
    if (path.empty()) return {};
    std::u16string p(path);
    if (p[0] != u'/') {
        std::u16string cwd = current_directory();
        if (cwd.empty()) return {};
        if (cwd.back() != u'/') cwd.push_back(u'/');
        p = cwd + p;
    }
    // Resolve "." and ".." lexically, as the Windows call does.
    std::vector<std::u16string> parts;
    size_t i = 0;
    while (i <= p.size()) {
        size_t j = p.find(u'/', i);
        if (j == std::u16string::npos) j = p.size();
        std::u16string seg = p.substr(i, j - i);
        if (seg == u"..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!seg.empty() && seg != u".") {
            parts.push_back(seg);
        }
        i = j + 1;
    }
    std::u16string out;
    for (const auto& s : parts) {
        out.push_back(u'/');
        out.append(s);
    }
    if (out.empty()) out.push_back(u'/');
    if (p.size() > 1 && p.back() == u'/' && out != u"/") out.push_back(u'/');
    return out;
}

bool remove_file(std::u16string_view path) {
    const std::string p = host(path);
    return !p.empty() && ::unlink(p.c_str()) == 0;
}

bool get_env(std::string_view name, std::string& value) {
    const char* v = std::getenv(std::string(name).c_str());
    if (!v) return false;
    value = v;
    return true;
}

uint64_t now_unix_ms() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

void keep_freed_memory() {
#ifdef __GLIBC__
    // Freed memory at the top of the heap is handed back only past 64 MiB,
    // and blocks up to 32 MiB (the most glibc allows) come from the heap
    // rather than a mapping of their own, which a free would unmap.
    constexpr int trim_above = 64 << 20;
    constexpr int map_from = 32 << 20;
    ::mallopt(M_TRIM_THRESHOLD, trim_above);
    ::mallopt(M_MMAP_THRESHOLD, map_from);
#endif
}

double monotonic_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

bool is_elevated_admin() { return ::geteuid() == 0; }

uint32_t stderr_console_mode() { return 0; }
void set_stderr_console_mode(uint32_t) {}
void console_utf8_begin() {}
void console_utf8_end() {}
bool stderr_is_terminal() { return ::isatty(2) == 1; }
bool stdout_is_terminal() { return ::isatty(1) == 1; }

bool stdout_shares_stderr() {
    struct stat out {}, err {};
    if (::fstat(1, &out) != 0 || ::fstat(2, &err) != 0) return true;
    return out.st_dev == err.st_dev && out.st_ino == err.st_ino;
}

bool query_live_file(std::u16string_view path, live_file_info& info) {
    const std::string p = host(path);
    struct stat st {};
    if (p.empty() || ::stat(p.c_str(), &st) != 0) return false;
    auto filetime = [](const struct timespec& ts) -> uint64_t {
        if (ts.tv_sec < 0) return 0;
        return (static_cast<uint64_t>(ts.tv_sec) + 11644473600ULL) * 10000000ULL + static_cast<uint64_t>(ts.tv_nsec) / 100;
    };
    info.file_index = static_cast<uint64_t>(st.st_ino) & 0x0000FFFFFFFFFFFFULL;
    info.size = static_cast<uint64_t>(st.st_size);
    info.created = filetime(st.st_ctim);
    info.modified = filetime(st.st_mtim);
    info.accessed = filetime(st.st_atim);
    info.is_directory = S_ISDIR(st.st_mode) ? 1 : 0;
    info.time_kind = 1;
    return true;
}

bool signal_named_event(std::string_view name) {
    std::string dir;
    if (!get_env("BRELVIK_EVENT_DIR", dir) || dir.empty() || name.empty()) return true;
    std::string leaf(name);
    std::replace(leaf.begin(), leaf.end(), '/', '_');
    std::replace(leaf.begin(), leaf.end(), '\\', '_');
    const std::string p = dir + "/" + leaf;
    const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

bool disable_fs_redirection(void*& token) {
    token = nullptr;
    return true;
}
void revert_fs_redirection(void*) {}

bool real_path(std::u16string_view path, std::u16string& out) {
    const std::string p = host(path);
    if (p.empty()) return false;
    const std::unique_ptr<char, decltype(&std::free)> real(::realpath(p.c_str(), nullptr), &std::free);
    if (!real) {
        note_errno();
        return false;
    }
    out = uni::to_utf16(real.get());
    return !out.empty();
}

bool path_device(std::u16string_view path, uint32_t& major_number, uint32_t& minor_number) {
    const std::string p = host(path);
    struct stat st {};
    if (p.empty() || ::stat(p.c_str(), &st) != 0) return false;
    major_number = major(st.st_dev);
    minor_number = minor(st.st_dev);
    return true;
}

bool read_mount_table(std::string& text) { return read_small_file("/proc/self/mountinfo", text, 64u << 20); }

file_kind kind_of_file(std::u16string_view path) {
    const std::string p = host(path);
    struct stat st {};
    if (p.empty() || ::stat(p.c_str(), &st) != 0) {
        if (p.empty()) errno = ENOENT;
        note_errno();
        return file_kind::missing;
    }
    return S_ISREG(st.st_mode) ? file_kind::regular : S_ISBLK(st.st_mode) ? file_kind::block_device : file_kind::other;
}

bool mounted_size(std::u16string_view path, uint64_t& block_size, uint64_t& blocks) {
    const std::string p = host(path);
    struct statvfs st {};
    if (p.empty() || ::statvfs(p.c_str(), &st) != 0) return false;
    block_size = st.f_frsize;
    blocks = st.f_blocks;
    return true;
}

bool block_device_number(std::u16string_view path, uint32_t& major_number, uint32_t& minor_number) {
    const std::string p = host(path);
    struct stat st {};
    if (p.empty() || ::stat(p.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return false;
    major_number = major(st.st_rdev);
    minor_number = minor(st.st_rdev);
    return true;
}

bool loop_backing_file(std::u16string_view device, std::u16string& file, int64_t& offset) {
    const std::string p = host(device);
    struct stat st {};
    if (p.empty() || ::stat(p.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return false;
    std::string dir = "/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    std::string text;
    // A partition starts `start` 512-byte sectors into its disk, whose
    // folder is the partition folder's parent.
    int64_t start = 0;
    if (read_small_file(dir + "/partition", text, 64)) {
        if (!read_small_file(dir + "/start", text, 64) || !parse_sys_number(text, start) || start > (INT64_MAX >> 9))
            return false;
        dir += "/..";
    }
    std::string backing;
    if (!read_small_file(dir + "/loop/backing_file", backing, 1u << 16)) return false;
    while (!backing.empty() && backing.back() == '\n') backing.pop_back();
    int64_t loop_offset = 0;
    if (read_small_file(dir + "/loop/offset", text, 64) && !parse_sys_number(text, loop_offset)) return false;
    if (loop_offset > INT64_MAX - start * 512) return false;
    file = uni::to_utf16(backing);
    offset = loop_offset + start * 512;
    return !file.empty();
}

bool whole_disk_path(int number, std::u16string& path) {
    if (number < 0) return false;
    DIR* d = ::opendir("/sys/block");
    if (!d) return false;
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        // Whole disks only: loop, ram and device-mapper nodes are not drives.
        if (n.rfind("loop", 0) == 0 || n.rfind("ram", 0) == 0 || n.rfind("dm-", 0) == 0 || n.rfind("zram", 0) == 0) continue;
        names.push_back(n);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    if (static_cast<size_t>(number) >= names.size()) return false;
    path = uni::to_utf16("/dev/" + names[static_cast<size_t>(number)]);
    return true;
}

}  // namespace platform
