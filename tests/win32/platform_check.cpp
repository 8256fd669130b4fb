// Checks the Windows platform layer against the real system calls (run under
// wine by scripts/test_windows.sh). Linking it also proves that every call
// the layer makes resolves in the static Windows build.
#include "platform/platform.hpp"
#include "platform/unicode.hpp"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int g_passes = 0;
int g_failures = 0;

void check(bool ok, const char* what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    ++(ok ? g_passes : g_failures);
}

std::u16string join(const std::u16string& dir, std::u16string_view leaf) {
    std::u16string p = dir;
    if (!p.empty() && p.back() != u'\\') p.push_back(u'\\');
    p.append(leaf);
    return p;
}

}  // namespace

int wmain(int, wchar_t**) {
    using namespace platform;
    const std::u16string cwd = current_directory();
    check(!cwd.empty(), "current_directory");
    check(full_path_name(u"x\\..\\t.txt") == join(cwd, u"t.txt"), "full_path_name resolves ..");

    // The long-path form that a refused open is tried again in: absolute,
    // cleaned up (the prefix turns the system's own clean-up off), shares
    // under UNC, and nothing for paths already in a prefixed form.
    check(long_path_form(u"C:\\cases\\disk.E01") == u"\\\\?\\C:\\cases\\disk.E01", "long_path_form of a drive path");
    check(long_path_form(u"C:/cases/x/../disk.E01") == u"\\\\?\\C:\\cases\\disk.E01", "long_path_form cleans up");
    check(long_path_form(u"x\\disk.E01") == u"\\\\?\\" + join(cwd, u"x\\disk.E01"), "long_path_form of a relative path");
    check(long_path_form(u"\\\\srv\\case\\disk.E01") == u"\\\\?\\UNC\\srv\\case\\disk.E01", "long_path_form of a share");
    check(long_path_form(u"\\\\?\\C:\\disk.E01").empty() && long_path_form(u"\\\\.\\PhysicalDrive0").empty(),
          "long_path_form leaves prefixed paths");

    // Text mode writes CRLF; untranslated reads see it; positioned reads.
    const std::u16string text = join(cwd, u"brelvik_check_text.txt");
    int fd = open_file(text, open_mode::text_write, true);
    check(fd >= 0, "open_file text_write");
    check(write_file(fd, "a\nb\n", 4) == 4, "write_file counts the caller's bytes");
    close_file(fd);
    fd = open_file(text, open_mode::read, false);
    char buf[16] = {};
    check(seek_file(fd, 0, 2) == 6, "text file holds CRLF line ends");
    check(pread_file(fd, buf, sizeof(buf), 0) == 6 && std::memcmp(buf, "a\r\nb\r\n", 6) == 0, "pread_file");
    check(pread_file(fd, buf, 2, 3) == 2 && buf[0] == 'b', "pread_file at an offset");
    check(pread_file(fd, buf, 2, 100) == 0, "pread_file past the end");
    close_file(fd);

    check(open_file(u"no_such_dir\\x.txt", open_mode::read, false) == -1 && last_error() == error_path_not_found,
          "missing folder gives error 3");
    check(has_attributes(text), "has_attributes");
    set_attributes_normal(text);

    // A plain file opened as a device reads by offset and has no geometry.
    {
        device dev;
        check(open_device(text, false, dev), "open_device on a file");
        uint8_t sector[512] = {};
        check(read_device(dev, 0, sector, sizeof(sector)) && sector[1] == '\r', "read_device");
        disk_geometry g;
        check(!drive_geometry_ex(dev, g) && !drive_geometry(dev, g), "a file has no drive geometry");
        device moved = std::move(dev);
        check(!dev.valid() && moved.valid(), "device moves its handle");
    }
    device none;
    check(!open_device(u"\\\\.\\no_such_device_brelvik", false, none) && last_error() != 0, "open_device failure");

    live_file_info info;
    check(query_live_file(text, info) && info.size == 6 && !info.is_directory && info.time_kind == 1 &&
              info.modified != 0,
          "query_live_file on a file");
    check(query_live_file(cwd, info) && info.is_directory == 1, "query_live_file on a folder");
    check(!query_live_file(u"relative.txt", info), "query_live_file refuses a relative name");
    check(is_plain_file(text) && !is_plain_file(cwd) && !is_plain_file(u"NUL"), "is_plain_file");
    check(remove_file(text) && !has_attributes(text), "remove_file");

    std::string value;
    check(get_env("PATH", value) && !value.empty(), "get_env finds PATH");
    check(!get_env("BRELVIK_CHECK_UNSET_VARIABLE", value), "get_env on an unset variable");
    check(now_unix_ms() > 1600000000000ULL, "now_unix_ms");
    const double t0 = monotonic_seconds();
    check(monotonic_seconds() >= t0, "monotonic_seconds");

    std::u16string disk;
    check(whole_disk_path(3, disk) && disk == u"\\\\.\\PhysicalDrive3", "whole_disk_path");
    check(signal_named_event("brelvik_platform_check"), "signal_named_event");
    void* token = nullptr;
    if (disable_fs_redirection(token)) revert_fs_redirection(token);
    revert_fs_redirection(nullptr);  // a revert without a disable does nothing
    std::printf("info elevated admin: %d, stderr console mode: %u\n", is_elevated_admin() ? 1 : 0,
                stderr_console_mode());
    console_utf8_begin();
    console_utf8_end();

    std::printf("platform checks: %d ok, %d failed\n", g_passes, g_failures);
    return g_failures == 0 ? 0 : 1;
}
