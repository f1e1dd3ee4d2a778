// A trace library for the tests: records every message it receives, with the
// other arguments, in the file named by MX_PROBE_LOG. It also lets a test ask
// the logging library for the base directory from a module in another folder.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "xqlog/xq_log.h"

#ifdef _WIN32
#define PROBE_EXPORT extern "C" __declspec(dllexport)
#else
#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

PROBE_EXPORT int ProbeEntryProc(int kind, int zero, const char* text, intptr_t pointer_zero,
                                int last) {
  const char* path = std::getenv("MX_PROBE_LOG");
  if (path == nullptr) return 0;
  FILE* log = std::fopen(path, "ab");
  if (log == nullptr) return 0;
  std::fprintf(log, "%d %d %lld %d [%s]\n", kind, zero, static_cast<long long>(pointer_zero), last,
               text ? text : "(null)");
  std::fclose(log);
  return 1;
}

PROBE_EXPORT void probe_base_directory(char16_t* buffer, uint32_t limit) {
  XQ_GetBaseDirectory(buffer, limit);
}
