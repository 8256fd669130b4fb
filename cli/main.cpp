// Process entry points: the arguments arrive as UTF-16 on Windows (wmain)
// and as UTF-8 elsewhere; both end in the same UTF-8 argument list. The
// console shows UTF-8 for the whole run.
#include "cli/run.hpp"
#include "output/sinks.hpp"
#include "platform/platform.hpp"
#include "platform/unicode.hpp"

#include <string>
#include <vector>

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        // wchar_t holds UTF-16 code units on Windows; copy them one by one.
        static_assert(sizeof(wchar_t) == sizeof(char16_t));
        std::u16string wide;
        for (const wchar_t* a = argv[i] ? argv[i] : L""; *a; ++a) wide.push_back(static_cast<char16_t>(*a));
        args.push_back(uni::to_utf8(wide));
    }
    platform::keep_freed_memory();
    console_utf8_scope console;
    return run_brelvik(std::move(args));
}
#else
int main(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) args.emplace_back(argv[i] ? argv[i] : "");
    platform::keep_freed_memory();
    console_utf8_scope console;
    return run_brelvik(std::move(args));
}
#endif
