// Windows meanings of the platform layer: the real device, file, console,
// rights and event calls.
//
// Text crosses this layer as UTF-16 (std::u16string); the wide Windows calls
// take wchar_t, which is two bytes here, so conversion is a plain per-unit
// copy into a null-terminated std::wstring.
#include "platform/platform.hpp"
#include "platform/unicode.hpp"

#include <windows.h>
#include <winioctl.h>
#include <winver.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstring>
#include <vector>

static_assert(sizeof(wchar_t) == 2, "the wide Windows calls take UTF-16 code units");
static_assert(sizeof(intptr_t) >= sizeof(HANDLE), "a device keeps its HANDLE in an intptr_t");

namespace platform {

namespace {

thread_local uint32_t g_last_error = 0;

void note_win32_error() { g_last_error = static_cast<uint32_t>(::GetLastError()); }

// The C runtime keeps the system error of its last failed call beside errno.
void note_crt_error() {
    unsigned long e = _doserrno;
    if (e == 0) e = ::GetLastError();
    g_last_error = static_cast<uint32_t>(e);
}

std::wstring wide(std::u16string_view s) {
    std::wstring w;
    w.reserve(s.size());
    for (const char16_t c : s) w.push_back(static_cast<wchar_t>(c));
    return w;
}

std::u16string narrow16(const wchar_t* s, size_t n) {
    std::u16string out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) out.push_back(static_cast<char16_t>(s[i]));
    return out;
}

HANDLE handle_of(const device& dev) { return reinterpret_cast<HANDLE>(dev.raw()); }

// A kernel handle closed when it goes out of scope.
struct scoped_handle {
    HANDLE h = INVALID_HANDLE_VALUE;
    scoped_handle() = default;
    explicit scoped_handle(HANDLE v) : h(v) {}
    scoped_handle(const scoped_handle&) = delete;
    scoped_handle& operator=(const scoped_handle&) = delete;
    ~scoped_handle() {
        if (valid()) ::CloseHandle(h);
    }
    bool valid() const { return h != nullptr && h != INVALID_HANDLE_VALUE; }
};

// A DeviceIoControl query without input; true when the call succeeded.
bool ioctl_query(const device& dev, DWORD code, void* out, DWORD out_size) {
    if (!dev.valid()) return false;
    DWORD returned = 0;
    if (!::DeviceIoControl(handle_of(dev), code, nullptr, 0, out, out_size, &returned, nullptr)) {
        note_win32_error();
        return false;
    }
    return true;
}

// Exported functions found at run time. GetProcAddress hands back a generic
// function pointer; it is passed through the type GCC treats as "any
// function" before taking its real signature.
template <typename F>
F proc_as(HMODULE module, LPCSTR name) {
    if (!module) return nullptr;
    const FARPROC p = ::GetProcAddress(module, name);
    if (!p) return nullptr;
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(p));
}

using wow64_disable_fn = BOOL(WINAPI*)(PVOID*);
using wow64_revert_fn = BOOL(WINAPI*)(PVOID);
using wow64_enable_fn = BOOLEAN(WINAPI*)(BOOLEAN);
using is_user_an_admin_fn = BOOL(WINAPI*)();

// The Wow64 redirection calls of kernel32, looked up once.
struct wow64_calls {
    wow64_disable_fn disable = nullptr;
    wow64_revert_fn revert = nullptr;
    wow64_enable_fn enable = nullptr;
};

const wow64_calls& wow64() {
    static const wow64_calls calls = [] {
        wow64_calls c;
        const HMODULE k32 = ::LoadLibraryA("kernel32.dll");
        c.disable = proc_as<wow64_disable_fn>(k32, "Wow64DisableWow64FsRedirection");
        c.revert = proc_as<wow64_revert_fn>(k32, "Wow64RevertWow64FsRedirection");
        c.enable = proc_as<wow64_enable_fn>(k32, "Wow64EnableWow64FsRedirection");
        return c;
    }();
    return calls;
}

// The shell's answer to whether the user is an administrator. The shell
// exports IsUserAnAdmin by ordinal 680.
// Where the shell does not export it, the answer is whether the token is
// a member of the built-in Administrators group.
bool shell_says_admin() {
    static const is_user_an_admin_fn fn = [] {
        const HMODULE shell = ::LoadLibraryA("shell32.dll");
        return proc_as<is_user_an_admin_fn>(shell, MAKEINTRESOURCEA(680));
    }();
    if (fn) return fn() != FALSE;
    alignas(8) BYTE sid[SECURITY_MAX_SID_SIZE] = {};
    DWORD size = sizeof(sid);
    if (!::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size)) return false;
    BOOL member = FALSE;
    return ::CheckTokenMembership(nullptr, sid, &member) && member;
}

// Tests one version field alone against a minimum.
bool version_field_at_least(DWORD type_mask, DWORD major, DWORD minor) {
    OSVERSIONINFOEXA vi{};
    vi.dwOSVersionInfoSize = sizeof(vi);
    vi.dwMajorVersion = major;
    vi.dwMinorVersion = minor;
    const ULONGLONG condition = ::VerSetConditionMask(0, type_mask, VER_GREATER_EQUAL);
    return ::VerifyVersionInfoA(&vi, type_mask, condition) != FALSE;
}

// Major file version of kernel32.dll; 0 when it cannot be read.
uint32_t kernel32_file_major() {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(L"kernel32.dll", &ignored);
    if (size == 0) return 0;
    std::vector<uint8_t> block(size);
    if (!::GetFileVersionInfoW(L"kernel32.dll", 0, size, block.data())) return 0;
    void* value = nullptr;
    UINT value_size = 0;
    if (!::VerQueryValueW(block.data(), L"\\", &value, &value_size) || !value ||
        value_size < sizeof(VS_FIXEDFILEINFO))
        return 0;
    VS_FIXEDFILEINFO info{};
    std::memcpy(&info, value, sizeof(info));
    return HIWORD(info.dwFileVersionMS);
}

// Console code pages saved by console_utf8_begin.
UINT g_saved_output_cp = 0;
UINT g_saved_input_cp = 0;

}  // namespace

// ---------------------------------------------------------------- devices

void device::close() {
    if (h_ != invalid) ::CloseHandle(reinterpret_cast<HANDLE>(h_));
    h_ = invalid;
}

bool open_device(std::u16string_view path, bool random_access, device& out) {
    if (path.empty()) {
        g_last_error = error_path_not_found;
        return false;
    }
    const std::wstring name = wide(path);
    const DWORD flags = random_access ? FILE_FLAG_RANDOM_ACCESS : FILE_ATTRIBUTE_NORMAL;
    const HANDLE h = ::CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        note_win32_error();
        return false;
    }
    out = device(reinterpret_cast<intptr_t>(h));
    return true;
}

bool read_device(const device& dev, int64_t offset, uint8_t* buffer, uint32_t length) {
    if (!dev.valid() || offset < 0 || !buffer) return false;
    // The handle is synchronous; the OVERLAPPED only carries the position.
    OVERLAPPED ov{};
    const auto pos = static_cast<uint64_t>(offset);
    ov.Offset = static_cast<DWORD>(pos & 0xFFFFFFFFu);
    ov.OffsetHigh = static_cast<DWORD>(pos >> 32);
    DWORD got = 0;
    if (!::ReadFile(handle_of(dev), buffer, length, &got, &ov)) {
        note_win32_error();
        return false;
    }
    // A read cut short at the end of the device leaves no stale bytes.
    if (got < length) std::memset(buffer + got, 0, length - got);
    return true;
}

bool drive_geometry_ex(const device& dev, disk_geometry& g) {
    // Drivers append partition and detection data after DiskSize, so the
    // buffer is larger than the fixed part.
    alignas(8) uint8_t buf[120] = {};
    static_assert(sizeof(DISK_GEOMETRY_EX) <= sizeof(buf));
    if (!ioctl_query(dev, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, buf, sizeof(buf))) return false;
    DISK_GEOMETRY_EX ex{};
    std::memcpy(&ex, buf, sizeof(ex));
    g.cylinders = ex.Geometry.Cylinders.QuadPart;
    g.media_type = static_cast<uint32_t>(ex.Geometry.MediaType);
    g.tracks_per_cylinder = ex.Geometry.TracksPerCylinder;
    g.sectors_per_track = ex.Geometry.SectorsPerTrack;
    g.bytes_per_sector = ex.Geometry.BytesPerSector;
    g.disk_size = ex.DiskSize.QuadPart;
    return true;
}

bool drive_geometry(const device& dev, disk_geometry& g) {
    alignas(8) uint8_t buf[120] = {};
    if (!ioctl_query(dev, IOCTL_DISK_GET_DRIVE_GEOMETRY, buf, sizeof(buf))) return false;
    DISK_GEOMETRY dg{};
    std::memcpy(&dg, buf, sizeof(dg));
    g.cylinders = dg.Cylinders.QuadPart;
    g.media_type = static_cast<uint32_t>(dg.MediaType);
    g.tracks_per_cylinder = dg.TracksPerCylinder;
    g.sectors_per_track = dg.SectorsPerTrack;
    g.bytes_per_sector = dg.BytesPerSector;
    g.disk_size = 0;  // the plain query has no size; the caller multiplies
    return true;
}

bool partition_info(const device& dev, int64_t& length, int32_t& number) {
    static_assert(sizeof(PARTITION_INFORMATION) == 32);
    PARTITION_INFORMATION pi{};
    if (!ioctl_query(dev, IOCTL_DISK_GET_PARTITION_INFO, &pi, sizeof(pi))) return false;
    length = pi.PartitionLength.QuadPart;
    number = static_cast<int32_t>(pi.PartitionNumber);
    return true;
}

bool partition_info_ex(const device& dev, int64_t& length, int32_t& number) {
    static_assert(sizeof(PARTITION_INFORMATION_EX) == 144);
    PARTITION_INFORMATION_EX pi{};
    if (!ioctl_query(dev, IOCTL_DISK_GET_PARTITION_INFO_EX, &pi, sizeof(pi))) return false;
    length = pi.PartitionLength.QuadPart;
    number = static_cast<int32_t>(pi.PartitionNumber);
    return true;
}

bool device_number(const device& dev, int32_t& number) {
    static_assert(sizeof(STORAGE_DEVICE_NUMBER) == 12);
    STORAGE_DEVICE_NUMBER dn{};
    if (!ioctl_query(dev, IOCTL_STORAGE_GET_DEVICE_NUMBER, &dn, sizeof(dn))) return false;
    number = static_cast<int32_t>(dn.DeviceNumber);
    return true;
}

// ---------------------------------------------------------------- files

namespace {

int open_file_once(std::u16string_view path, open_mode mode, bool create_truncate) {
    int flags = _O_NOINHERIT;
    switch (mode) {
    case open_mode::read: flags |= _O_RDONLY | _O_BINARY; break;
    case open_mode::read_write: flags |= _O_RDWR | _O_BINARY; break;
    case open_mode::text_write: flags |= _O_RDWR | _O_TEXT; break;
    }
    if (create_truncate && mode != open_mode::read) flags |= _O_CREAT | _O_TRUNC;
    const std::wstring name = wide(path);
    int fd = -1;
    _doserrno = 0;
    if (::_wsopen_s(&fd, name.c_str(), flags, _SH_DENYNO, _S_IREAD | _S_IWRITE) != 0 || fd < 0) {
        note_crt_error();
        return -1;
    }
    return fd;
}

// Runs `call` on `path`, and once more on its long_path_form when the
// system refused the path as not found or too long: without the prefix
// the system refuses paths past 260 characters (evidence kept deep in a
// case folder, say), and says so as one of these two errors. The error of
// the first try is the one kept when both fail.
template <class Call>
bool with_long_path(std::u16string_view path, Call call) {
    if (call(path)) return true;
    const uint32_t first = g_last_error;
    if (first != error_path_not_found && first != error_filename_exceeds_range) return false;
    const std::u16string other = long_path_form(path);
    if (!other.empty() && call(std::u16string_view(other))) return true;
    g_last_error = first;
    return false;
}

}  // namespace

std::u16string long_path_form(std::u16string_view path) {
    if (path.empty() || path.substr(0, 4) == u"\\\\?\\" || path.substr(0, 4) == u"\\\\.\\") return {};
    // The prefix turns off the system's own clean-up of the path, so the
    // path is first made absolute, with ".." resolved and forward slashes
    // turned into backslashes.
    const std::u16string full = full_path_name(path);
    if (full.size() < 3) return {};
    if (full[0] == u'\\' && full[1] == u'\\') return u"\\\\?\\UNC\\" + full.substr(2);
    return u"\\\\?\\" + full;
}

int open_file(std::u16string_view path, open_mode mode, bool create_truncate) {
    if (path.empty()) {
        g_last_error = error_path_not_found;
        return -1;
    }
    int fd = -1;
    with_long_path(path, [&](std::u16string_view p) { return (fd = open_file_once(p, mode, create_truncate)) >= 0; });
    return fd;
}

int64_t seek_file(int fd, int64_t offset, int whence) {
    const int w = whence == 0 ? SEEK_SET : whence == 1 ? SEEK_CUR : SEEK_END;
    const int64_t r = ::_lseeki64(fd, offset, w);
    if (r < 0) note_crt_error();
    return r;
}

int64_t read_file(int fd, void* buffer, uint32_t length) {
    // _read takes an unsigned int count and reports an int.
    const unsigned int n = length > 0x7FFFFFFFu ? 0x7FFFFFFFu : length;
    const int r = ::_read(fd, buffer, n);
    if (r < 0) note_crt_error();
    return r;
}

int64_t pread_file(int fd, void* buffer, uint32_t length, int64_t offset) {
    // A seek followed by reads stands in for a positioned read: every open
    // file is read by one thread only (a thread that decodes ahead opens
    // files of its own), so nothing moves the position in between.
    if (::_lseeki64(fd, offset, SEEK_SET) < 0) {
        note_crt_error();
        return -1;
    }
    uint32_t done = 0;
    auto* p = static_cast<uint8_t*>(buffer);
    while (done < length) {
        const int64_t n = read_file(fd, p + done, length - done);
        if (n < 0) return done ? int64_t(done) : -1;
        if (n == 0) break;
        done += static_cast<uint32_t>(n);
    }
    return done;
}

int64_t write_file(int fd, const void* buffer, uint32_t length) {
    uint32_t done = 0;
    const auto* p = static_cast<const uint8_t*>(buffer);
    while (done < length) {
        const uint32_t left = length - done;
        const unsigned int chunk = left > 0x7FFFFFFFu ? 0x7FFFFFFFu : left;
        // In text mode _write counts the caller's bytes, not the CRLFs it adds.
        const int n = ::_write(fd, p + done, chunk);
        if (n <= 0) {
            note_crt_error();
            return -1;
        }
        done += static_cast<uint32_t>(n);
    }
    return done;
}

void close_file(int fd) {
    if (fd >= 0) ::_close(fd);
}

uint32_t last_error() { return g_last_error; }

void set_attributes_normal(std::u16string_view path) {
    with_long_path(path, [](std::u16string_view p) {
        const std::wstring name = wide(p);
        if (::SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_NORMAL)) return true;
        note_win32_error();
        return false;
    });
}

// The attributes of `path`; false (with the error noted) when the system
// cannot tell them.
static bool file_attributes(std::u16string_view path, WIN32_FILE_ATTRIBUTE_DATA& data) {
    if (path.empty()) return false;
    return with_long_path(path, [&](std::u16string_view p) {
        const std::wstring name = wide(p);
        if (::GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &data)) return true;
        note_win32_error();
        return false;
    });
}

bool has_attributes(std::u16string_view path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    return file_attributes(path, data);
}

bool is_regular_file(std::u16string_view path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    return file_attributes(path, data) &&
           (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

bool is_plain_file(std::u16string_view path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    return file_attributes(path, data) &&
           (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

// The volume serial number and file index of `path`; false when it cannot
// be opened (it need not be readable: only its attributes are asked for).
static bool file_identity(std::u16string_view path, BY_HANDLE_FILE_INFORMATION& info) {
    if (path.empty()) return false;
    return with_long_path(path, [&](std::u16string_view p) {
        const std::wstring name = wide(p);
        const scoped_handle h(::CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (h.valid() && ::GetFileInformationByHandle(h.h, &info)) return true;
        note_win32_error();
        return false;
    });
}

bool same_file(std::u16string_view a, std::u16string_view b) {
    BY_HANDLE_FILE_INFORMATION x{}, y{};
    return file_identity(a, x) && file_identity(b, y) && x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

bool list_folder(std::u16string_view path, size_t limit, std::vector<std::u16string>& names) {
    names.clear();
    WIN32_FIND_DATAW data{};
    HANDLE h = INVALID_HANDLE_VALUE;
    const bool found = with_long_path(path.empty() ? std::u16string_view(u".") : path, [&](std::u16string_view p) {
        std::wstring pattern = wide(p);
        if (pattern.back() != L'\\' && pattern.back() != L'/') pattern.push_back(L'\\');
        pattern.push_back(L'*');
        h = ::FindFirstFileW(pattern.c_str(), &data);
        if (h != INVALID_HANDLE_VALUE) return true;
        note_win32_error();
        return false;
    });
    if (!found) return false;
    do {
        const std::wstring_view n(data.cFileName);
        if (n == L"." || n == L"..") continue;
        names.push_back(narrow16(data.cFileName, n.size()));
    } while (names.size() < limit && ::FindNextFileW(h, &data));
    ::FindClose(h);
    return true;
}

std::u16string full_path_name(std::u16string_view path) {
    if (path.empty()) return {};
    const std::wstring name = wide(path);
    std::vector<wchar_t> buf(MAX_PATH + 1);
    for (int tries = 0; tries < 4; ++tries) {
        const DWORD n = ::GetFullPathNameW(name.c_str(), static_cast<DWORD>(buf.size()), buf.data(), nullptr);
        if (n == 0) {
            note_win32_error();
            return {};
        }
        if (n < buf.size()) return narrow16(buf.data(), n);
        buf.resize(static_cast<size_t>(n) + 1);  // n counts the terminator here
    }
    return {};
}

std::u16string current_directory() {
    std::vector<wchar_t> buf(MAX_PATH + 1);
    for (int tries = 0; tries < 4; ++tries) {
        const DWORD n = ::GetCurrentDirectoryW(static_cast<DWORD>(buf.size()), buf.data());
        if (n == 0) {
            note_win32_error();
            return {};
        }
        if (n < buf.size()) return narrow16(buf.data(), n);
        buf.resize(static_cast<size_t>(n) + 1);
    }
    return {};
}

bool remove_file(std::u16string_view path) {
    if (path.empty()) return false;
    const std::wstring name = wide(path);
    if (!::DeleteFileW(name.c_str())) {
        note_win32_error();
        return false;
    }
    return true;
}

bool get_env(std::string_view name, std::string& value) {
    const std::u16string name16 = uni::to_utf16(name);
    if (name16.empty()) return false;
    const std::wstring wname = wide(name16);
    std::vector<wchar_t> buf(256);
    for (int tries = 0; tries < 4; ++tries) {
        ::SetLastError(ERROR_SUCCESS);
        const DWORD n = ::GetEnvironmentVariableW(wname.c_str(), buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) {
            // Zero is also the length of a variable set to the empty text.
            if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
            value.clear();
            return true;
        }
        if (n < buf.size()) {
            value = uni::to_utf8(narrow16(buf.data(), n));
            return true;
        }
        buf.resize(n);  // n counts the terminator when the buffer is too small
    }
    return false;
}

// ---------------------------------------------------------------- time

uint64_t now_unix_ms() {
    FILETIME ft{};
    ::GetSystemTimeAsFileTime(&ft);
    const uint64_t ticks = (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    constexpr uint64_t unix_epoch_ticks = 116444736000000000ULL;  // 1970-01-01 in FILETIME
    return ticks < unix_epoch_ticks ? 0 : (ticks - unix_epoch_ticks) / 10000;
}

void keep_freed_memory() {}

double monotonic_seconds() {
    LARGE_INTEGER freq{}, now{};
    if (!::QueryPerformanceFrequency(&freq) || freq.QuadPart <= 0 || !::QueryPerformanceCounter(&now))
        return static_cast<double>(::GetTickCount64()) / 1000.0;
    return static_cast<double>(now.QuadPart) / static_cast<double>(freq.QuadPart);
}

// ---------------------------------------------------------------- rights

bool is_elevated_admin() {
    // Systems before the token elevation types (and a system that fails the
    // checks) are judged by the shell alone.
    const bool version_ok = version_field_at_least(VER_MAJORVERSION, 6, 0) &&
                            version_field_at_least(VER_MINORVERSION, 0, 1) && kernel32_file_major() > 5;
    if (!version_ok) return shell_says_admin();

    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return shell_says_admin();
    const scoped_handle token(raw);
    TOKEN_ELEVATION_TYPE type{};
    DWORD returned = 0;
    if (!::GetTokenInformation(token.h, TokenElevationType, &type, sizeof(type), &returned))
        return shell_says_admin();
    if (type == TokenElevationTypeLimited) return false;
    return shell_says_admin();
}

// ---------------------------------------------------------------- console

uint32_t stderr_console_mode() {
    const HANDLE h = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (h == nullptr || h == INVALID_HANDLE_VALUE || !::GetConsoleMode(h, &mode)) return 0;
    return mode;
}

void set_stderr_console_mode(uint32_t mode) {
    const HANDLE h = ::GetStdHandle(STD_ERROR_HANDLE);
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return;
    ::SetConsoleMode(h, mode);
}

void console_utf8_begin() {
    g_saved_output_cp = ::GetConsoleOutputCP();
    g_saved_input_cp = ::GetConsoleCP();
    ::SetConsoleOutputCP(65001);
}

void console_utf8_end() {
    // Zero means there was no console to read the pages from.
    if (g_saved_output_cp != 0) ::SetConsoleOutputCP(g_saved_output_cp);
    if (g_saved_input_cp != 0) ::SetConsoleCP(g_saved_input_cp);
}

bool stderr_is_terminal() {
    const HANDLE h = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    return h != nullptr && h != INVALID_HANDLE_VALUE && ::GetConsoleMode(h, &mode) != FALSE;
}

bool stdout_is_terminal() {
    const HANDLE h = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return h != nullptr && h != INVALID_HANDLE_VALUE && ::GetConsoleMode(h, &mode) != FALSE;
}

bool stdout_shares_stderr() {
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
    if (out == err) return true;
    // A console standard error is no file standard output can be.
    if (stderr_is_terminal() && !stdout_is_terminal()) return false;
    BY_HANDLE_FILE_INFORMATION a{}, b{};
    if (::GetFileType(out) == FILE_TYPE_DISK && ::GetFileType(err) == FILE_TYPE_DISK &&
        ::GetFileInformationByHandle(out, &a) && ::GetFileInformationByHandle(err, &b))
        return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
               a.nFileIndexLow == b.nFileIndexLow;
    // Pipes and devices cannot be told apart: taken as shared.
    return true;
}

// ---------------------------------------------------------------- live files

bool query_live_file(std::u16string_view path, live_file_info& info) {
    if (path.empty()) return false;
    std::u16string name;
    if (path.find(u':') != std::u16string_view::npos) {
        name = u"\\\\?\\";
        name.append(path);
    } else if (path.substr(0, 4) == u"\\\\?\\" || path.substr(0, 4) == u"\\\\.\\") {
        name = path;
    } else {
        return false;
    }
    const std::wstring wname = wide(name);
    // Backup semantics let directories open as well as files.
    const scoped_handle h(::CreateFileW(wname.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h.valid()) {
        note_win32_error();
        return false;
    }
    BY_HANDLE_FILE_INFORMATION fi{};
    if (!::GetFileInformationByHandle(h.h, &fi)) {
        note_win32_error();
        return false;
    }
    auto join = [](DWORD high, DWORD low) { return (uint64_t(high) << 32) | low; };
    info.file_index = join(fi.nFileIndexHigh, fi.nFileIndexLow) & 0x0000FFFFFFFFFFFFULL;
    info.size = join(fi.nFileSizeHigh, fi.nFileSizeLow);
    info.created = join(fi.ftCreationTime.dwHighDateTime, fi.ftCreationTime.dwLowDateTime);
    info.modified = join(fi.ftLastWriteTime.dwHighDateTime, fi.ftLastWriteTime.dwLowDateTime);
    info.accessed = join(fi.ftLastAccessTime.dwHighDateTime, fi.ftLastAccessTime.dwLowDateTime);
    info.is_directory = (fi.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
    info.time_kind = 1;
    return true;
}

// ---------------------------------------------------------------- events, Wow64

bool signal_named_event(std::string_view name) {
    const std::string n(name);
    // Manual reset, initially not signalled; an existing event is opened.
    const scoped_handle ev(::CreateEventA(nullptr, TRUE, FALSE, n.c_str()));
    if (!ev.valid()) {
        note_win32_error();
        return false;
    }
    if (!::SetEvent(ev.h)) {
        note_win32_error();
        return false;
    }
    return true;
}

// Set while this thread has redirection turned off, so that a revert after
// a refused disable (a 64-bit process has nothing to redirect) does nothing.
static thread_local bool g_redirection_off = false;

bool disable_fs_redirection(void*& token) {
    token = nullptr;
    const wow64_calls& w = wow64();
    // Without both calls there is no redirection to turn off.
    if (!w.disable || !w.revert) return true;
    PVOID old = nullptr;
    if (!w.disable(&old)) {
        note_win32_error();
        return false;
    }
    token = old;
    g_redirection_off = true;
    return true;
}

void revert_fs_redirection(void* token) {
    const wow64_calls& w = wow64();
    if (!g_redirection_off || !w.disable || !w.revert) return;
    w.revert(token);
    g_redirection_off = false;
}

// ---------------------------------------------------------------- mounts

// Windows names its live volumes by drive letter; there is no mount table
// to look a host path up in.
bool real_path(std::u16string_view, std::u16string&) { return false; }
bool path_device(std::u16string_view, uint32_t&, uint32_t&) { return false; }
bool read_mount_table(std::string&) { return false; }
file_kind kind_of_file(std::u16string_view) { return file_kind::missing; }
bool mounted_size(std::u16string_view, uint64_t&, uint64_t&) { return false; }
bool block_device_number(std::u16string_view, uint32_t&, uint32_t&) { return false; }
bool loop_backing_file(std::u16string_view, std::u16string&, int64_t&) { return false; }

// ---------------------------------------------------------------- process

bool whole_disk_path(int number, std::u16string& path) {
    if (number < 0) return false;
    path = u"\\\\.\\PhysicalDrive" + uni::to_utf16(std::to_string(number));
    return true;
}

}  // namespace platform
