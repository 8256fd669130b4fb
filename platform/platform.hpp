// The operating-system layer: the only interface through which the program
// touches devices, files, the console, rights and events.
//
// Two implementations are chosen at build time: win32.cpp makes the real
// Windows calls; posix.cpp gives each call its nearest POSIX meaning (device
// names map to files in the folder named by BRELVIK_DEVICE_DIR, rights are
// the effective user id, console calls do nothing). Nothing above this layer
// includes an operating-system header.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// ---------------------------------------------------------------- devices

// An open device (Win32 HANDLE, POSIX descriptor). Owned: closes on
// destruction; movable, not copyable.
class device {
public:
    device() = default;
    explicit device(intptr_t h) : h_(h) {}
    device(const device&) = delete;
    device& operator=(const device&) = delete;
    device(device&& o) noexcept : h_(o.h_) { o.h_ = invalid; }
    device& operator=(device&& o) noexcept {
        if (this != &o) { close(); h_ = o.h_; o.h_ = invalid; }
        return *this;
    }
    ~device() { close(); }
    bool valid() const { return h_ != invalid; }
    intptr_t raw() const { return h_; }
    void close();

    static constexpr intptr_t invalid = -1;

private:
    intptr_t h_ = invalid;
};

// Opens a device name for reading with read and write sharing
// (\\.\C:, \\.\PhysicalDrive0, \\?\GLOBALROOT\Device\...).
// `random_access` asks the system for random-access caching (physical drives).
bool open_device(std::u16string_view path, bool random_access, device& out);

// Reads `length` bytes at absolute byte `offset` (synchronous, positioned).
// The caller aligns offset and length to the sector size where the device
// demands it. True when the system call succeeded.
bool read_device(const device& dev, int64_t offset, uint8_t* buffer, uint32_t length);

struct disk_geometry {
    int64_t cylinders = 0;
    uint32_t media_type = 0;
    uint32_t tracks_per_cylinder = 0;
    uint32_t sectors_per_track = 0;
    uint32_t bytes_per_sector = 0;
    int64_t disk_size = 0;  // bytes; only from the extended query
};

// IOCTL_DISK_GET_DRIVE_GEOMETRY_EX (with DiskSize) and IOCTL_DISK_GET_DRIVE_GEOMETRY.
bool drive_geometry_ex(const device& dev, disk_geometry& g);
bool drive_geometry(const device& dev, disk_geometry& g);
// IOCTL_DISK_GET_PARTITION_INFO and its _EX form: partition length and number.
bool partition_info(const device& dev, int64_t& length, int32_t& number);
bool partition_info_ex(const device& dev, int64_t& length, int32_t& number);
// IOCTL_STORAGE_GET_DEVICE_NUMBER.
bool device_number(const device& dev, int32_t& number);

// ---------------------------------------------------------------- files

// Low-level file descriptors of the C runtime (wide names on Windows).
enum class open_mode {
    read,             // read-only, untranslated
    read_write,       // read-write, untranslated
    text_write,       // read-write, newline translation on Windows (CRLF)
};
// Returns a descriptor or -1. `create_truncate` adds create-and-truncate.
// On Windows a path the system refuses as not found or too long is tried
// once more in its long_path_form.
int open_file(std::u16string_view path, open_mode mode, bool create_truncate);
int64_t seek_file(int fd, int64_t offset, int whence);  // whence: 0 set, 1 cur, 2 end
int64_t read_file(int fd, void* buffer, uint32_t length);
int64_t write_file(int fd, const void* buffer, uint32_t length);
void close_file(int fd);
// Positioned read that does not move the file position; -1 on failure.
int64_t pread_file(int fd, void* buffer, uint32_t length, int64_t offset);

// The system error of the last failed call; the two values the output sink
// retries on have the Windows numbers on every platform.
constexpr uint32_t error_path_not_found = 3;
constexpr uint32_t error_access_denied = 5;
constexpr uint32_t error_filename_exceeds_range = 206;
uint32_t last_error();

// Resets a file's attributes to normal (so a read-only file can be replaced).
void set_attributes_normal(std::u16string_view path);
// True when the system can report the attributes of `path`.
bool has_attributes(std::u16string_view path);
// The system's absolute form of a path (GetFullPathNameW), "" on failure.
std::u16string full_path_name(std::u16string_view path);
// Windows: the "\\?\" form of `path` (absolute, "\\?\UNC\" for a share),
// which the system takes past 260 characters; "" for a path already in
// that or the "\\.\" device form. Elsewhere always "".
std::u16string long_path_form(std::u16string_view path);
std::u16string current_directory();
// The native path separator of host paths.
constexpr char16_t host_separator =
#ifdef _WIN32
    u'\\';
#else
    u'/';
#endif
// The names of the entries of folder `path` ("" for the current folder),
// without "." and "..", in no particular order; at most `limit` of them.
// False when the folder cannot be read.
bool list_folder(std::u16string_view path, size_t limit, std::vector<std::u16string>& names);
// True when `path` names a regular file (not a folder, device or pipe):
// what is checked before opening a file named by another file's contents,
// since opening a pipe or a terminal would wait for input.
bool is_regular_file(std::u16string_view path);
// True when `path` itself is a regular file: not a link to one (the link
// is not followed), nor a device, pipe or folder.
bool is_plain_file(std::u16string_view path);
// True when `a` and `b` both name one existing file, through whatever
// names, links or relative forms: the system's own identity of the file
// is compared, not the texts.
bool same_file(std::u16string_view a, std::u16string_view b);
// Removes a file; true when it is gone.
bool remove_file(std::u16string_view path);

// Environment variable as UTF-8; false when it is not set.
bool get_env(std::string_view name, std::string& value);

// ---------------------------------------------------------------- memory

// Asks the C library to keep the memory the listing frees for its next
// directory instead of handing it back to the system each time: a folder
// of a thousand entries frees some MiB of rows and index blocks, and
// taking them back costs a system call and a fault for every page.
// Nothing on Windows, whose heap keeps freed blocks by itself.
void keep_freed_memory();

// ---------------------------------------------------------------- time

// Current wall-clock time in milliseconds since 1970-01-01 UTC.
uint64_t now_unix_ms();
// A monotonic clock in seconds, for elapsed times.
double monotonic_seconds();

// ---------------------------------------------------------------- rights

// True when the process runs as an elevated administrator (POSIX: effective
// user id 0).
bool is_elevated_admin();

// ---------------------------------------------------------------- console

// Standard-error console mode; 0 when standard error is not a console.
uint32_t stderr_console_mode();
void set_stderr_console_mode(uint32_t mode);
// Saves the console code pages and sets the output code page to UTF-8;
// restore puts the saved pages back.
void console_utf8_begin();
void console_utf8_end();
// True when standard error is an interactive terminal.
bool stderr_is_terminal();
// True when standard output is an interactive terminal.
bool stdout_is_terminal();
// True when standard output and standard error may be the same file or
// device (as after 2>&1), so that the order of their writes shows; also
// when it cannot be told.
bool stdout_shares_stderr();

// ---------------------------------------------------------------- live files

struct live_file_info {
    uint64_t file_index = 0;   // top 16 bits cleared: the MFT entry on NTFS
    uint64_t size = 0;
    uint64_t created = 0;      // FILETIME values
    uint64_t modified = 0;
    uint64_t accessed = 0;
    uint8_t is_directory = 0;
    uint32_t time_kind = 0;    // 1: FILETIME
};
// Facts about a live file by path (see the run flow's time window).
bool query_live_file(std::u16string_view path, live_file_info& info);

// ---------------------------------------------------------------- events, Wow64

// Creates (or opens) a manual-reset event, initially not signalled, sets it
// and closes it. POSIX: touches a marker file named after the event in the
// folder BRELVIK_EVENT_DIR when that variable is set; otherwise does nothing.
bool signal_named_event(std::string_view name);

// Turns Wow64 file-system redirection off and back on (no-op where there is
// none). `token` carries the system's saved state between the two calls.
// False when the system refuses (a 64-bit process may have nothing to turn
// off); the revert after a refused disable does nothing.
bool disable_fs_redirection(void*& token);
void revert_fs_redirection(void* token);

// ---------------------------------------------------------------- mounts

// True where the system keeps a mount table that a host path can be looked
// up in (Linux: /proc/self/mountinfo); the Windows build has none and its
// calls below fail.
constexpr bool has_mount_table =
#ifdef _WIN32
    false;
#else
    true;
#endif
// The real location of `path`: absolute, symbolic links, "." and ".."
// resolved. False when it does not exist or cannot be reached.
bool real_path(std::u16string_view path, std::u16string& out);
// The device number of the file system that holds `path`.
bool path_device(std::u16string_view path, uint32_t& major, uint32_t& minor);
// The text of this process's mount table.
bool read_mount_table(std::string& text);
// What `path` names. A raw read takes regular files and block devices;
// folders, pipes and character devices are `other`. `missing` when the
// system cannot say, last_error() telling why.
enum class file_kind { missing, regular, block_device, other };
file_kind kind_of_file(std::u16string_view path);
// The size of the file system mounted at `path` as the driver reports it
// (statvfs): its block size and number of blocks.
bool mounted_size(std::u16string_view path, uint64_t& block_size, uint64_t& blocks);
// The device number that the block-device file `path` stands for.
bool block_device_number(std::u16string_view path, uint32_t& major, uint32_t& minor);
// For a loop device, or a partition of one: the file the loop reads and the
// byte offset in that file of the device's first byte.
bool loop_backing_file(std::u16string_view device, std::u16string& file, int64_t& offset);

// ---------------------------------------------------------------- process

// Whole disks of the machine, in the order the system lists them (POSIX:
// /sys/block), used for -drivenum without a device folder.
bool whole_disk_path(int number, std::u16string& path);

}  // namespace platform
