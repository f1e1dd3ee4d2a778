// What mxmux says on standard error, and the exit statuses it returns.
#pragma once

#include <cstdint>
#include <string>

namespace mxmux {

// 1 when reading, muxing or writing fails; 2 when the command line asks for
// something mxmux cannot do.
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// "mxmux: text" on a line of its own.
void say(const std::string& text);
// Says why the run failed; returns kExitFailed.
int fail(const std::string& text);
// Says why the command line cannot be done; returns kExitUsage.
int refuse_command(const std::string& text);

// A byte count for people: bytes, KiB, MiB or GiB.
std::string human_size(uint64_t bytes);

}  // namespace mxmux
