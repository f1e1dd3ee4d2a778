#include "mxmux/run/messages.h"

#include <cstdio>

namespace mxmux {

void say(const std::string& text) {
  std::fprintf(stderr, "mxmux: %s\n", text.c_str());
}

int fail(const std::string& text) {
  say(text);
  return kExitFailed;
}

int refuse_command(const std::string& text) {
  say(text);
  return kExitUsage;
}

std::string human_size(uint64_t bytes) {
  char buf[64];
  if (bytes >= (uint64_t{1} << 30))
    std::snprintf(buf, sizeof buf, "%.2f GiB", bytes / 1073741824.0);
  else if (bytes >= (1u << 20))
    std::snprintf(buf, sizeof buf, "%.1f MiB", bytes / 1048576.0);
  else if (bytes >= 1024)
    std::snprintf(buf, sizeof buf, "%.1f KiB", bytes / 1024.0);
  else
    std::snprintf(buf, sizeof buf, "%llu bytes", static_cast<unsigned long long>(bytes));
  return buf;
}

}  // namespace mxmux
