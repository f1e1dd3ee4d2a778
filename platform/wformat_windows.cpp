// Bounded printf-style formatting of UTF-16 text on Windows: the runtime's
// wide printf family. mingw-w64 selects the C99 forms (vsnwprintf here): %ls
// and %lc are UTF-16, while %s is 8-bit text widened byte by byte in the "C"
// locale, not read as UTF-8, so the plug-in's messages pass text as %ls.
#include <cwchar>

#include "platform/wformat.h"

int format_utf16v(char16_t* out, size_t capacity, const char16_t* format, va_list args) {
  if (out == nullptr || capacity == 0) return 0;
  out[0] = 0;
  if (format == nullptr) return 0;
  va_list ap;
  va_copy(ap, args);
  int wanted = vsnwprintf(reinterpret_cast<wchar_t*>(out), capacity,
                          reinterpret_cast<const wchar_t*>(format), ap);
  va_end(ap);
  if (wanted < 0) {
    out[0] = 0;
    return 0;
  }
  size_t written = static_cast<size_t>(wanted);
  if (written >= capacity) {
    // Cut: the runtime kept what fits. A cut inside a surrogate pair drops
    // the orphaned high half.
    written = capacity - 1;
    if (written > 0 && out[written - 1] >= 0xD800 && out[written - 1] <= 0xDBFF) --written;
  }
  out[written] = 0;
  return static_cast<int>(written);
}
