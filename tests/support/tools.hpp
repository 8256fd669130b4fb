// Tests that need an outside program (an independent reader of the images)
// skip where it is absent, except where the run demands every tool
// (BRELVIK_REQUIRE_TOOLS=1, set by scripts/test.sh): there an absent tool
// fails the test, so a suite never goes silently unchecked.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace test_tools {

// True when `name` is a command on PATH.
bool have(const std::string& name);
// True when the run demands every tool.
bool required();

}  // namespace test_tools

// Skips the calling test, or fails it when tools are required, unless the
// command `name` is on PATH.
#define BRELVIK_NEED_TOOL(name)                                                               \
    do {                                                                                      \
        if (!test_tools::have(name)) {                                                        \
            if (test_tools::required()) FAIL() << (name) << " is not installed (scripts/setup.sh installs it)"; \
            GTEST_SKIP() << (name) << " is not installed";                                    \
        }                                                                                     \
    } while (0)
