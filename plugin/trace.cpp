// The trace hook. The library is looked up once per process; until the
// process exits its entry point receives every traced message as UTF-8.
//
// The temporary directory is usually writable by every user, so a library
// found there is loaded only when nobody but its owner (the current user or
// root) could have put or changed it: see trace_library_is_trusted. The check
// is made on the opened file and the library is loaded through that same open
// file, so the file cannot be swapped between the check and the load.
#include "plugin/trace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool owner_is_trusted(const struct stat& st) {
  return st.st_uid == geteuid() || st.st_uid == 0;
}

bool file_is_trusted(const struct stat& st) {
  return S_ISREG(st.st_mode) && owner_is_trusted(st) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Opens path when it names a trusted library file; -1 otherwise.
int open_trusted(const char* path) {
  struct stat link;
  if (path == nullptr || lstat(path, &link) != 0) return -1;
  if (S_ISLNK(link.st_mode) ? !owner_is_trusted(link) : !S_ISREG(link.st_mode)) return -1;
  // Non-blocking, so that a link to a FIFO cannot stall the open.
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat file;
  if (fstat(fd, &file) != 0 || !file_is_trusted(file)) {
    close(fd);
    return -1;
  }
  return fd;
}

void* load_trusted_library(const char* path) {
  int fd = open_trusted(path);
  if (fd < 0) return nullptr;
  // Load the very file that was checked.
  std::string checked = "/proc/self/fd/" + std::to_string(fd);
  void* library = nullptr;
  if (access(checked.c_str(), R_OK) == 0) library = platform_load_library(checked.c_str());
  close(fd);
  return library;
}

void load_trace_library() {
  std::u16string path = platform_temp_directory();
  if (path.empty()) return;
  path += kTraceLibraryName;
  // A path that does not fit is not loaded; it is never shortened.
  if (path.size() + 1 > kPathUnits) return;
  g_hook.library = load_trusted_library(wide_to_string(path.c_str()).c_str());
  if (g_hook.library != nullptr) std::atexit(release_trace_library);
}

}  // namespace

bool trace_library_is_trusted(const char* path) {
  int fd = open_trusted(path);
  if (fd < 0) return false;
  close(fd);
  return true;
}

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
  if (wide_to_multibyte(message, text, kTextBytes) == 0) return;
  g_hook.entry(1, 0, text, 0, 0);
}
