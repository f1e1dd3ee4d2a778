#include "support/tools.h"

#include <cstdlib>

bool tool_installed(const std::string& name) {
  for (char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == '.';
    if (!plain) return false;  // the name goes into a shell command line
  }
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::string missing_tools(std::initializer_list<const char*> names) {
  std::string missing;
  for (const char* name : names) {
    if (tool_installed(name)) continue;
    if (!missing.empty()) missing += ' ';
    missing += name;
  }
  return missing;
}

bool running_in_ci() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && *ci != '\0';
}
