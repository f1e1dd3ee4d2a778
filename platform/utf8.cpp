// UTF-8 encoding and decoding, the same on every platform.
#include "platform/utf8.h"

#include <cstring>

#include "platform/platform.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool is_high_surrogate(char16_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool is_low_surrogate(char16_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

}  // namespace

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

std::u16string multibyte_to_wide(const char* source) {
  std::u16string out;
  if (source == nullptr) return out;
  const auto* p = reinterpret_cast<const unsigned char*>(source);
  const auto* end = p + std::strlen(source);
  while (p < end) append_utf16(next_utf8_code_point(p, end), out);
  return out;
}
