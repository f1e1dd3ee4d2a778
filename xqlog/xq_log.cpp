// The logging library stand-in: UTF-16 messages out as UTF-8 lines.
//
// Every message becomes exactly one line: line breaks at either end are
// dropped and line breaks inside are turned into single spaces. Messages are
// cut at kMaxMessageUnits. Nothing is formatted while the sink is "none".
//
// Module state has no destructors (the lock included), so that a message
// logged while the process is shutting down still finds it intact.
#include "xqlog/xq_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "platform/wformat.h"

namespace {

constexpr size_t kMaxMessageUnits = 4096;
constexpr size_t kBaseDirectoryUnits = 4096;

std::mutex g_lock;  // trivially destructible in libstdc++
int g_sink = XQ_LOG_NONE;
FILE* g_file = nullptr;
bool g_base_directory_set = false;
char16_t g_base_directory[kBaseDirectoryUnits];

struct Locked {
  Locked() { g_lock.lock(); }
  ~Locked() { g_lock.unlock(); }
};

bool is_line_break(char16_t unit) {
  return unit == u'\n' || unit == u'\r';
}

// Writes one message as one line to the current sink. Called with the lock held.
void write_line(const char16_t* message, size_t length) {
  FILE* out = g_sink == XQ_LOG_STDERR ? stderr : g_sink == XQ_LOG_FILE ? g_file : nullptr;
  if (out == nullptr) return;
  size_t begin = 0;
  size_t end = length;
  while (begin < end && is_line_break(message[begin])) ++begin;
  while (end > begin && is_line_break(message[end - 1])) --end;
  std::u16string line;
  line.reserve(end - begin);
  for (size_t i = begin; i < end; ++i) {
    if (!is_line_break(message[i])) {
      line.push_back(message[i]);
    } else if (!is_line_break(message[i - 1])) {
      line.push_back(u' ');
    }
  }
  std::string text = wide_to_string(line.c_str());
  text.push_back('\n');
  std::fwrite(text.data(), 1, text.size(), out);
  std::fflush(out);
}

void copy_bounded(char16_t* buffer, uint32_t limit, const char16_t* text) {
  size_t length = wide_length(text, limit);
  std::memcpy(buffer, text, length * sizeof(char16_t));
  buffer[length] = 0;
}

}  // namespace

void XQ_LogMessage(const char16_t* message) {
  Locked lock;
  if (g_sink == XQ_LOG_NONE) return;
  if (message == nullptr) message = u"(null)";
  write_line(message, wide_length(message, kMaxMessageUnits));
}

void XQ_LogFormat(const char16_t* format, ...) {
  Locked lock;
  if (g_sink == XQ_LOG_NONE) return;
  // One message at a time under the lock, so one static buffer does.
  static char16_t buffer[kMaxMessageUnits + 1];
  va_list args;
  va_start(args, format);
  int length = format_utf16v(buffer, sizeof buffer / sizeof buffer[0], format, args);
  va_end(args);
  write_line(buffer, static_cast<size_t>(length));
}

// Without a directory set by the host, the answer is the directory this
// library was loaded from (dladdr on one of its own functions). The plug-in
// finds this library beside itself through its run path, so that is the
// plug-in's directory. The caller's return address is not used: a tail call
// would make it point into the caller's caller.
void XQ_GetBaseDirectory(char16_t* buffer, uint32_t limit) {
  if (buffer == nullptr) return;
  Locked lock;
  if (!g_base_directory_set) {
    // Looked up on every call: cheap, and no state to keep.
    const std::u16string own =
        platform_module_directory(reinterpret_cast<const void*>(&XQ_GetBaseDirectory));
    copy_bounded(buffer, limit, own.c_str());
    return;
  }
  copy_bounded(buffer, limit, g_base_directory);
}

int XQ_SetLogSink(int sink, const char* path) {
  FILE* file = nullptr;
  if (sink == XQ_LOG_FILE) {
    if (path == nullptr) return -1;
    file = platform_open_append(path);
    if (file == nullptr) return -1;
  } else if (sink != XQ_LOG_NONE && sink != XQ_LOG_STDERR) {
    return -1;
  }
  Locked lock;
  if (g_file != nullptr) std::fclose(g_file);
  g_file = file;
  g_sink = sink;
  return 0;
}

void XQ_SetBaseDirectory(const char16_t* directory) {
  Locked lock;
  g_base_directory_set = directory != nullptr;
  if (directory != nullptr) copy_bounded(g_base_directory, kBaseDirectoryUnits - 1, directory);
}
