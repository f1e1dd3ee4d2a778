// Bounded printf-style formatting of UTF-16 text.
//
// Conversions: %ls (UTF-16 text), %s (8-bit text), %d %i %u %x %X %c %f %e %g,
// %p, %%, with flags, width, precision and the l/ll/h/z length modifiers. A null
// string argument prints "(null)". The output is always zero-terminated and
// never longer than capacity - 1 units; longer output is cut, never inside a
// surrogate pair.
//
// wformat.cpp is the portable formatter (%s is UTF-8; work stops when the
// buffer is full); the logging library uses it everywhere. On Windows the
// plug-in formats with the runtime's wide printf (wformat_windows.cpp), where
// %s is 8-bit text widened byte by byte: text goes in as %ls.
#pragma once

#include <cstdarg>
#include <cstddef>

// Returns the number of units written, without the terminator.
int format_utf16v(char16_t* out, size_t capacity, const char16_t* format, va_list args);
inline int format_utf16(char16_t* out, size_t capacity, const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  int n = format_utf16v(out, capacity, format, args);
  va_end(args);
  return n;
}
