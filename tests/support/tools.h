// The outside programs some tests run (ffmpeg, exiftool, xmllint, ...), and the
// rule for a test whose program is missing: on a developer's machine it is
// skipped with the reason; in CI (the CI environment variable set) it fails,
// because there a skip would hide the very fault the test exists to catch.
// scripts/install-deps --with-readers installs every one of them.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

// Whether a command of this name is on the PATH.
bool tool_installed(const std::string& name);
// The names of the missing ones, separated by spaces; empty when all are there.
std::string missing_tools(std::initializer_list<const char*> names);
// Whether the environment variable CI is set (to anything but an empty text).
bool running_in_ci();

// Fails (CI) or skips (elsewhere) the current test, from a test body or SetUp,
// when `present` is false; `what` says what is missing.
#define MX_REQUIRE(present, what)                                                        \
  do {                                                                                   \
    if (!(present)) {                                                                    \
      if (running_in_ci()) GTEST_FAIL() << "missing in CI: " << (what);                  \
      GTEST_SKIP() << "missing: " << (what) << " (scripts/install-deps --with-readers)"; \
    }                                                                                    \
  } while (0)

// MX_REQUIRE_TOOLS("ffmpeg", "exiftool"): the named programs must be installed.
#define MX_REQUIRE_TOOLS(...)                                     \
  do {                                                            \
    const std::string mx_missing_ = missing_tools({__VA_ARGS__}); \
    MX_REQUIRE(mx_missing_.empty(), mx_missing_);                 \
  } while (0)
