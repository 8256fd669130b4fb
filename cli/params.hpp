// The common parameter record shared by the option parser and the NTFS
// engine's per-entry context. It depends on nothing else in the program, so
// the engine can derive from it without reaching into the parser.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

// One pattern of -filter / -filter_path / -filter_sig.
struct filter_element {
    std::u16string raw;          // the pattern as typed, lower-cased
    std::u16string name;         // file-name part, '*' removed
    std::u16string stream;       // stream part (after ':'), '*' removed
    uint8_t path_pattern = 0;    // name begins with '\'
    uint8_t match_all = 0;
    uint8_t name_lead_star = 0;
    uint8_t name_trail_star = 0;
    uint8_t has_stream = 0;
    uint8_t stream_any = 0;
    uint8_t stream_lead_star = 0;
    uint8_t stream_trail_star = 0;
    std::u16string path_filter;  // -filter_path, lower-cased; not consulted by filter_accepts
    size_t path_filter_length = 0;
    std::vector<uint8_t> signature;  // -filter_sig only
    uint64_t sig_offset = 0;
};

// One end of the -cmd_start_time / -cmd_stop_time window.
struct time_bound {
    bool valid = false;
    uint64_t filetime = 0;      // 100 ns ticks since 1601-01-01 UTC
    int64_t unix_seconds = 0;   // the same moment in seconds since 1970
};

struct cmd_params {
    cmd_params();
    virtual ~cmd_params();
    cmd_params(const cmd_params&) = delete;
    cmd_params& operator=(const cmd_params&) = delete;

    uint64_t start_stamp = 0;
    std::string command_line;
    std::string program_name;
    std::string out_path;
    std::string outdir_path;
    std::string username;
    std::string hostname;
    std::map<std::string, std::string> alias_paths;
    std::map<std::string, std::string> aliases;
    std::string date_format = "yyyy-mm-dd";
    std::string time_format = "hh:mm:ss.xxx";
    uint32_t format_word = 0;    // packed date/time layout, built after parsing
    char field_escape[2] = {'|', ';'};
    std::string separator = " | ";
    uint8_t dates_split = 0;
    uint8_t pad_fields = 1;
    uint8_t base16 = 1;
    uint8_t has_username = 0;
    uint8_t has_hostname = 0;
    uint8_t split_pathfile = 0;
    std::vector<std::u16string> vmdk_files;
    uint64_t vmdk_offset = 0;
    uint8_t compress = 0, gzip = 0, zlib = 0, zlibex = 0;
    std::string zlibex_arg;
    int32_t threads = 0;
    uint8_t outdir_set = 0;
    uint8_t out_to_file = 0;
    uint32_t cpu_inst = 0xFFFFFFFF;
    uint32_t cpu = 0;
    uint8_t fragment_files = 0;
    uint32_t fragment_size = 0;
    uint8_t xml = 0, csv = 0, csvl2t = 0, csvgen = 0, bodyfile = 0, multiline = 0;
    uint8_t verbose = 1;
    uint8_t progress = 1;
    uint8_t pair_datetime = 0;
    uint8_t header_pending = 1;
    uint8_t diag_enabled = 0;
    int32_t diag_level = 0;
    std::unique_ptr<std::ostream> diag_stream;
    std::string diag_log_path;
    uint8_t profile = 0;
    std::string done_event_name;
    std::vector<filter_element> filters;
    uint8_t pipe = 0;
    std::string enumdir_path;
    uint32_t num_subdirs = 0;
    uint8_t enumdir_set = 0;
    time_bound time_from;
    time_bound time_to;
};

// Writes one diagnostic line ("->", the text, a newline, flush) to the
// record's -diags log when it is open; does nothing otherwise. The text is
// printf-formatted and cut at the format's length plus 256 characters.
void diag_log(const cmd_params& params, const char* format, ...)
#if defined(__MINGW32__)
    // MinGW builds use the GNU printf of its C runtime (__USE_MINGW_ANSI_STDIO).
    __attribute__((format(gnu_printf, 2, 3)))
#elif defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
