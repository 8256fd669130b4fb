#include "cli/params.hpp"
#include "platform/platform.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

cmd_params::cmd_params() : start_stamp(platform::now_unix_ms()) {}
cmd_params::~cmd_params() = default;

void diag_log(const cmd_params& params, const char* format, ...) {
    if (!params.diag_enabled || !params.diag_stream || !format) return;
    // The line is cut at the format's length plus 256 characters.
    std::vector<char> buf(std::strlen(format) + 256 + 1);
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf.data(), buf.size(), format, ap);
    va_end(ap);
    std::ostream& log = *params.diag_stream;
    log << "->" << buf.data() << '\n';
    log.flush();
}
