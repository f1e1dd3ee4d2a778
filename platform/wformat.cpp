// Not written yet: the foundation issue replaces this file.
#include "platform/wformat.h"
int format_utf16v(char16_t* out, size_t capacity, const char16_t*, va_list) {
  if (out && capacity) out[0] = 0;
  return 0;
}
int format_utf16(char16_t* out, size_t capacity, const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  int n = format_utf16v(out, capacity, format, args);
  va_end(args);
  return n;
}
