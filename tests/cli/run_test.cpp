#include "cli/report.hpp"
#include "cli/run.hpp"
#include "cli/run_control.hpp"
#include "cli/usage.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

namespace fs = std::filesystem;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

const calendar_time example = to_calendar(133500000000000000ULL);  // 2024-01-17 21:20:00 UTC

TEST(RunHeader, Lines) {
    const std::string h = build_run_header({"brelvik", "c:\\my dir", "-csv"}, example);
    EXPECT_EQ(h, banner_line() + "\nrun time: 01/17/2024 21:20:00.000\n\"cmd line: brelvik 'c:\\my dir' -csv\"\n");

    const std::string piped = build_run_header({"brelvik", "-PIPE", "-dateformat", "yyyy-mm-dd"}, example);
    EXPECT_NE(piped.find("run time: 2024-01-17 21:20:00.000\n"), std::string::npos);
    EXPECT_NE(piped.find("\"cmd line: <filelist> ... | brelvik -PIPE"), std::string::npos);
}

TEST(ReportError, NoControlBytesOffTerminalAndLongMessagesWrittenWhole) {
    CaptureStderr();
    report_error("problem accessing path %s\n", "x");
    report_error("%s", std::string(70000, 'a').c_str());
    report_error("%s", std::string(4096, 'b').c_str());
    const std::string err = GetCapturedStderr();
    // Captured standard error is a file, never a terminal: no clearing sequence.
    EXPECT_EQ(err, "problem accessing path x\n" + std::string(70000, 'a') + std::string(4096, 'b'));
}

TEST(RunControl, FinishReportsElapsedAndSignals) {
    const fs::path dir = fs::temp_directory_path() / "brelvik_run_control_test";
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path log = dir / "diag.log";
    {
        std::ofstream(log) << "->cmd\n";
    }
    ::setenv("BRELVIK_EVENT_DIR", dir.string().c_str(), 1);

    cmd_params params;
    params.profile = 1;
    params.progress = 0;
    params.diag_enabled = 1;
    params.diag_stream = std::make_unique<std::ostringstream>();
    params.diag_log_path = log.string();
    params.done_event_name = "run_done";
    run_control control;
    configure_run_control(control, params);
    EXPECT_NE(control.start_time, 0);
    CaptureStderr();
    finish_run_control(control);
    const std::string err = GetCapturedStderr();
    ::unsetenv("BRELVIK_EVENT_DIR");

    EXPECT_EQ(err.rfind("->", 0), 0u);
    EXPECT_EQ(err.substr(err.size() - 6), " secs\n");
    std::ifstream in(log);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(text.rfind("->cmd\n->", 0), 0u);
    EXPECT_EQ(text.substr(text.size() - 5), " secs");
    EXPECT_TRUE(fs::exists(dir / "run_done"));

    // Nothing configured: nothing written.
    run_control quiet;
    CaptureStderr();
    finish_run_control(quiet);
    EXPECT_EQ(GetCapturedStderr(), "");
    fs::remove_all(dir);
}

}  // namespace
