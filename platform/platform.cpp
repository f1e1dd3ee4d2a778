// POSIX implementation of the platform stand-ins.
#include "platform/platform.h"

#include <dlfcn.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool is_high_surrogate(char16_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool is_low_surrogate(char16_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Reads one code point from zero-terminated UTF-16 text and advances past it;
// a surrogate without its partner reads as U+FFFD.
char32_t next_code_point(const char16_t*& text) {
  char16_t unit = *text++;
  if (is_high_surrogate(unit)) {
    if (is_low_surrogate(*text)) {
      char16_t low = *text++;
      return 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (char32_t(low) - 0xDC00);
    }
    return kReplacement;
  }
  if (is_low_surrogate(unit)) return kReplacement;
  return unit;
}

// Encodes one code point as UTF-8 into out (room for 4 bytes); returns the byte count.
int encode_utf8(char32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

// Decodes one UTF-8 sequence from [text, end) and advances past it. A malformed
// sequence (bad lead byte, missing continuation, overlong form, surrogate or
// value above U+10FFFF) consumes one byte and reads as U+FFFD.
char32_t next_utf8_code_point(const unsigned char*& text, const unsigned char* end) {
  unsigned char lead = *text++;
  if (lead < 0x80) return lead;
  int extra;
  char32_t cp;
  char32_t minimum;
  if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1, cp = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2, cp = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3, cp = lead & 0x07, minimum = 0x10000;
  } else {
    return kReplacement;
  }
  if (end - text < extra) return kReplacement;
  for (int i = 0; i < extra; ++i) {
    if ((text[i] & 0xC0) != 0x80) return kReplacement;
    cp = (cp << 6) | (text[i] & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kReplacement;
  text += extra;
  return cp;
}

void append_utf16(char32_t cp, std::u16string& out) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(cp));
  }
}

}  // namespace

FILE* platform_open_write(const char16_t* file_name) {
  if (file_name == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  return std::fopen(wide_to_string(file_name).c_str(), "wb");
}

int platform_seek(FILE* file, int64_t offset, int whence) {
  return fseeko(file, static_cast<off_t>(offset), whence) == 0 ? 0 : -1;
}

int64_t platform_tell(FILE* file) {
  return static_cast<int64_t>(ftello(file));
}

int platform_check_written(FILE* file, int64_t written) {
  if (file == nullptr) return EBADF;
  struct stat st;
  if (fstat(fileno(file), &st) != 0) return errno != 0 ? errno : EIO;
  if (st.st_nlink == 0) return ENOENT;
  if (S_ISREG(st.st_mode) && static_cast<int64_t>(st.st_size) < written) return EIO;
  return 0;
}

int32_t wide_to_multibyte(const char16_t* source, char* dst, int32_t dst_size) {
  if (dst == nullptr || dst_size <= 0) return 0;
  static constexpr char16_t kEmpty[] = u"";
  if (source == nullptr) source = kEmpty;
  // First measure, so that nothing is written when the result does not fit.
  int64_t needed = 1;
  char bytes[4];
  for (const char16_t* p = source; *p != 0;) {
    needed += encode_utf8(next_code_point(p), bytes);
    if (needed > dst_size) return 0;
  }
  char* out = dst;
  for (const char16_t* p = source; *p != 0;) out += encode_utf8(next_code_point(p), out);
  *out = 0;
  return static_cast<int32_t>(needed);
}

std::string wide_to_string(const char16_t* source) {
  std::string out;
  if (source == nullptr) return out;
  char bytes[4];
  for (const char16_t* p = source; *p != 0;) {
    out.append(bytes, static_cast<size_t>(encode_utf8(next_code_point(p), bytes)));
  }
  return out;
}

std::u16string multibyte_to_wide(const char* source) {
  std::u16string out;
  if (source == nullptr) return out;
  const auto* p = reinterpret_cast<const unsigned char*>(source);
  const auto* end = p + std::strlen(source);
  while (p < end) append_utf16(next_utf8_code_point(p, end), out);
  return out;
}

size_t wide_length(const char16_t* text, size_t max_units) {
  if (text == nullptr) return 0;
  size_t n = 0;
  while (n < max_units && text[n] != 0) ++n;
  return n;
}

std::u16string platform_temp_directory() {
  const char* dir = std::getenv("TMPDIR");
  if (dir == nullptr || dir[0] == 0) dir = "/tmp";
  std::u16string out = multibyte_to_wide(dir);
  if (out.back() != u'/') out.push_back(u'/');
  return out;
}

void* platform_load_library(const char* path) {
  if (path == nullptr) return nullptr;
  return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

void* platform_find_symbol(void* library, const char* name) {
  if (library == nullptr || name == nullptr) return nullptr;
  return dlsym(library, name);
}

void platform_free_library(void* library) {
  if (library != nullptr) dlclose(library);
}

int64_t platform_time() {
  return static_cast<int64_t>(std::time(nullptr));
}

int platform_rand() {
  return std::rand();
}

uint32_t platform_random32() {
  uint32_t value = 0;
  if (getrandom(&value, sizeof value, 0) == static_cast<ssize_t>(sizeof value)) return value;
  static std::random_device device;  // only when the system call is unavailable
  return device();
}
