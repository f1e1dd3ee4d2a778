// The trace hook. The library is looked up once per process; until the
// process exits its entry point receives every traced message as 8-bit text.
//
// The library is looked for in the temporary folder, which on many systems
// every user may write to, so it is loaded only when nobody but the current
// user or the system can have put it there (platform_load_private_library).
#include "plugin/trace.h"

#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "platform/wformat.h"

namespace {

// The entry point's arguments: an integer 1, an integer 0, the text, a
// pointer-sized 0 and a 0. Their meaning is the trace library's.
using ProbeEntryProcFn = intptr_t (*)(int32_t, int32_t, const char*, intptr_t, int32_t);

constexpr size_t kPathUnits = 260;     // room for the path, terminator included
constexpr size_t kMessageUnits = 512;  // formatted message, terminator included
constexpr int32_t kTextBytes = 4096;   // the message as 8-bit text

struct TraceHook {
  void* library;
  ProbeEntryProcFn entry;
};
TraceHook g_hook;
// Sessions on several threads may trace at once: the library is looked up once.
std::once_flag g_hook_found;

void release_trace_library() {
  platform_free_library(g_hook.library);
  g_hook.library = nullptr;
  // The entry point lived in the library: it must not be called any more.
  g_hook.entry = nullptr;
}

void load_trace_library() {
  // A path that does not fit is not loaded; it is never shortened.
  std::u16string path = platform_temp_file_path(kTraceLibraryName, kPathUnits);
  if (path.empty()) return;
  g_hook.library = platform_load_private_library(path.c_str());
  if (g_hook.library != nullptr) std::atexit(release_trace_library);
}

}  // namespace

void Trace(const char16_t* format, ...) {
  std::call_once(g_hook_found, [] {
    load_trace_library();
    g_hook.entry =
        reinterpret_cast<ProbeEntryProcFn>(platform_find_symbol(g_hook.library, "ProbeEntryProc"));
  });
  if (g_hook.entry == nullptr) return;
  char16_t message[kMessageUnits];
  va_list args;
  va_start(args, format);
  int length = format_utf16v(message, kMessageUnits, format, args);
  va_end(args);
  if (length <= 0) return;
  char text[kTextBytes];
  if (wide_to_ansi(message, text, kTextBytes) == 0) return;
  g_hook.entry(1, 0, text, 0, 0);
}
