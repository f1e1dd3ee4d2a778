// Bounded printf-style formatting of UTF-16 text.
//
// Integers, strings and characters are rendered here; floating-point numbers
// are rendered by the C library's snprintf (without the width, which is
// applied here like for every other conversion). Formatting stops as soon as
// the output is full, so a huge width or a huge string costs no more than the
// capacity.
#include "platform/wformat.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

// Float precision beyond this is clamped: no double has more significant
// decimal digits, and the clamp keeps the C library's work buffer small.
constexpr int kMaxFloatPrecision = 1100;

struct Output {
  char16_t* out;
  size_t capacity;  // units, terminator included
  size_t written = 0;
  bool full = false;

  // Appends one unit; false once the output is full.
  bool put(char16_t unit) {
    if (written + 1 >= capacity) {
      full = true;
      return false;
    }
    out[written++] = unit;
    return true;
  }
  bool repeat(char16_t unit, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      if (!put(unit)) return false;
    }
    return true;
  }
  bool put_ascii(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
      if (!put(static_cast<unsigned char>(text[i]))) return false;
    }
    return true;
  }
};

struct Spec {
  bool left = false;   // '-'
  bool plus = false;   // '+'
  bool space = false;  // ' '
  bool alt = false;    // '#'
  bool zero = false;   // '0'
  size_t width = 0;
  int precision = -1;  // -1: not given
  enum Length { kNone, kChar, kShort, kLong, kLongLong, kSize, kMax, kPtrDiff, kLongDouble };
  Length length = kNone;
};

// Adds one decimal digit to a field value, saturating instead of overflowing.
int accumulate(int value, char16_t digit) {
  int d = digit - u'0';
  if (value > (INT_MAX - d) / 10) return INT_MAX;
  return value * 10 + d;
}

bool is_digit(char16_t c) {
  return c >= u'0' && c <= u'9';
}

// Writes prefix (sign or "0x") and body padded to the field width. Zero
// padding goes between the prefix and the body.
void emit_padded(Output& o, const Spec& spec, const char* prefix, size_t prefix_length,
                 const char* body, size_t body_length, bool zero_pad) {
  size_t length = prefix_length + body_length;
  size_t pad = spec.width > length ? spec.width - length : 0;
  if (!spec.left && !zero_pad && !o.repeat(u' ', pad)) return;
  if (!o.put_ascii(prefix, prefix_length)) return;
  if (!spec.left && zero_pad && !o.repeat(u'0', pad)) return;
  if (!o.put_ascii(body, body_length)) return;
  if (spec.left) o.repeat(u' ', pad);
}

void format_integer(Output& o, const Spec& spec, uintmax_t magnitude, bool negative, bool is_signed,
                    unsigned base, bool upper, bool hex_prefix) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char reversed[64];
  size_t count = 0;
  for (uintmax_t v = magnitude; v != 0; v /= base) reversed[count++] = digits[v % base];
  // Precision is the minimum digit count; ".0" with the value 0 prints no digit.
  size_t min_digits = spec.precision < 0 ? 1 : static_cast<size_t>(spec.precision);
  char prefix[3];
  size_t prefix_length = 0;
  if (is_signed) {
    if (negative)
      prefix[prefix_length++] = '-';
    else if (spec.plus)
      prefix[prefix_length++] = '+';
    else if (spec.space)
      prefix[prefix_length++] = ' ';
  }
  if (hex_prefix && magnitude != 0) {
    prefix[prefix_length++] = '0';
    prefix[prefix_length++] = upper ? 'X' : 'x';
  }
  // Zero padding from the precision counts as part of the body.
  size_t leading_zeros = min_digits > count ? min_digits - count : 0;
  size_t body_length = leading_zeros + count;
  size_t length = prefix_length + body_length;
  bool zero_pad = spec.zero && !spec.left && spec.precision < 0;
  size_t pad = spec.width > length ? spec.width - length : 0;
  if (!spec.left && !zero_pad && !o.repeat(u' ', pad)) return;
  if (!o.put_ascii(prefix, prefix_length)) return;
  if (!spec.left && zero_pad && !o.repeat(u'0', pad)) return;
  if (!o.repeat(u'0', leading_zeros)) return;
  for (size_t i = count; i > 0; --i) {
    if (!o.put(static_cast<char16_t>(reversed[i - 1]))) return;
  }
  if (spec.left) o.repeat(u' ', pad);
}

void format_float(Output& o, const Spec& spec, char conversion, long double value,
                  bool long_double) {
  char format[16];
  size_t f = 0;
  format[f++] = '%';
  if (spec.plus) format[f++] = '+';
  if (spec.space) format[f++] = ' ';
  if (spec.alt) format[f++] = '#';
  format[f++] = '.';
  format[f++] = '*';
  if (long_double) format[f++] = 'L';
  format[f++] = conversion;
  format[f] = 0;
  int precision = spec.precision < 0 ? 6 : spec.precision;
  if (precision > kMaxFloatPrecision) precision = kMaxFloatPrecision;
  // Largest result: sign, 4933 integer digits of a long double, point, precision.
  char text[5000 + kMaxFloatPrecision];
  int length =
      long_double ? std::snprintf(text, sizeof text, format, precision, value)
                  : std::snprintf(text, sizeof text, format, precision, static_cast<double>(value));
  if (length < 0) return;
  size_t n =
      static_cast<size_t>(length) < sizeof text ? static_cast<size_t>(length) : sizeof text - 1;
  size_t prefix_length = (n > 0 && (text[0] == '-' || text[0] == '+' || text[0] == ' ')) ? 1 : 0;
  // Infinity and NaN are never zero-padded.
  bool finite = n > prefix_length && is_digit(static_cast<unsigned char>(text[prefix_length]));
  bool zero_pad = spec.zero && !spec.left && finite;
  emit_padded(o, spec, text, prefix_length, text + prefix_length, n - prefix_length, zero_pad);
}

void format_wide_string(Output& o, const Spec& spec, const char16_t* text) {
  if (text == nullptr) text = u"(null)";
  size_t max_units = spec.precision < 0 ? SIZE_MAX : static_cast<size_t>(spec.precision);
  size_t length = wide_length(text, max_units);
  size_t pad = spec.width > length ? spec.width - length : 0;
  if (!spec.left && !o.repeat(u' ', pad)) return;
  for (size_t i = 0; i < length; ++i) {
    if (!o.put(text[i])) return;
  }
  if (spec.left) o.repeat(u' ', pad);
}

void format_narrow_string(Output& o, const Spec& spec, const char* text) {
  if (text == nullptr) text = "(null)";
  // The precision limits the bytes read; the width counts UTF-16 units.
  size_t max_bytes = spec.precision < 0 ? SIZE_MAX : static_cast<size_t>(spec.precision);
  size_t bytes = 0;
  while (bytes < max_bytes && text[bytes] != 0) ++bytes;
  std::string cut(text, bytes);
  std::u16string wide = multibyte_to_wide(cut.c_str());
  size_t pad = spec.width > wide.size() ? spec.width - wide.size() : 0;
  if (!spec.left && !o.repeat(u' ', pad)) return;
  for (char16_t unit : wide) {
    if (!o.put(unit)) return;
  }
  if (spec.left) o.repeat(u' ', pad);
}

void format_char(Output& o, const Spec& spec, char16_t unit) {
  size_t pad = spec.width > 1 ? spec.width - 1 : 0;
  if (!spec.left && !o.repeat(u' ', pad)) return;
  if (!o.put(unit)) return;
  if (spec.left) o.repeat(u' ', pad);
}

intmax_t read_signed(va_list& args, Spec::Length length) {
  switch (length) {
    case Spec::kChar:
      return static_cast<signed char>(va_arg(args, int));
    case Spec::kShort:
      return static_cast<short>(va_arg(args, int));
    case Spec::kLong:
      return va_arg(args, long);
    case Spec::kLongLong:
      return va_arg(args, long long);
    case Spec::kSize:
      return va_arg(args, ptrdiff_t);
    case Spec::kMax:
      return va_arg(args, intmax_t);
    case Spec::kPtrDiff:
      return va_arg(args, ptrdiff_t);
    default:
      return va_arg(args, int);
  }
}

uintmax_t read_unsigned(va_list& args, Spec::Length length) {
  switch (length) {
    case Spec::kChar:
      return static_cast<unsigned char>(va_arg(args, unsigned));
    case Spec::kShort:
      return static_cast<unsigned short>(va_arg(args, unsigned));
    case Spec::kLong:
      return va_arg(args, unsigned long);
    case Spec::kLongLong:
      return va_arg(args, unsigned long long);
    case Spec::kSize:
      return va_arg(args, size_t);
    case Spec::kMax:
      return va_arg(args, uintmax_t);
    case Spec::kPtrDiff:
      return static_cast<uintmax_t>(va_arg(args, ptrdiff_t));
    default:
      return va_arg(args, unsigned);
  }
}

// Parses the conversion that starts after '%' at *cursor and renders it.
// Returns false for an unknown conversion: the caller then copies the rest
// of the format as it stands, because the arguments can no longer be matched.
bool format_one(Output& o, const char16_t*& cursor, va_list& args) {
  const char16_t* p = cursor;
  Spec spec;
  for (;; ++p) {
    if (*p == u'-')
      spec.left = true;
    else if (*p == u'+')
      spec.plus = true;
    else if (*p == u' ')
      spec.space = true;
    else if (*p == u'#')
      spec.alt = true;
    else if (*p == u'0')
      spec.zero = true;
    else
      break;
  }
  if (*p == u'*') {
    int width = va_arg(args, int);
    if (width < 0) {
      spec.left = true;
      spec.width =
          width == INT_MIN ? static_cast<size_t>(INT_MAX) + 1 : static_cast<size_t>(-width);
    } else {
      spec.width = static_cast<size_t>(width);
    }
    ++p;
  } else {
    int width = 0;
    while (is_digit(*p)) width = accumulate(width, *p++);
    spec.width = static_cast<size_t>(width);
  }
  if (*p == u'.') {
    ++p;
    if (*p == u'*') {
      int precision = va_arg(args, int);
      spec.precision = precision < 0 ? -1 : precision;
      ++p;
    } else {
      int precision = 0;
      while (is_digit(*p)) precision = accumulate(precision, *p++);
      spec.precision = precision;
    }
  }
  switch (*p) {
    case u'h':
      ++p;
      if (*p == u'h')
        ++p, spec.length = Spec::kChar;
      else
        spec.length = Spec::kShort;
      break;
    case u'l':
      ++p;
      if (*p == u'l')
        ++p, spec.length = Spec::kLongLong;
      else
        spec.length = Spec::kLong;
      break;
    case u'z':
      ++p, spec.length = Spec::kSize;
      break;
    case u'j':
      ++p, spec.length = Spec::kMax;
      break;
    case u't':
      ++p, spec.length = Spec::kPtrDiff;
      break;
    case u'L':
      ++p, spec.length = Spec::kLongDouble;
      break;
    default:
      break;
  }
  char16_t conversion = *p;
  switch (conversion) {
    case u'd':
    case u'i': {
      intmax_t v = read_signed(args, spec.length);
      uintmax_t magnitude = v < 0 ? uintmax_t(0) - static_cast<uintmax_t>(v) : uintmax_t(v);
      format_integer(o, spec, magnitude, v < 0, true, 10, false, false);
      break;
    }
    case u'u':
      format_integer(o, spec, read_unsigned(args, spec.length), false, false, 10, false, false);
      break;
    case u'o': {
      uintmax_t v = read_unsigned(args, spec.length);
      // '#' makes the first digit a zero.
      if (spec.alt && v != 0) {
        int digits = 0;
        for (uintmax_t t = v; t != 0; t /= 8) ++digits;
        if (spec.precision <= digits) spec.precision = digits + 1;
      } else if (spec.alt && spec.precision == 0) {
        spec.precision = 1;
      }
      format_integer(o, spec, v, false, false, 8, false, false);
      break;
    }
    case u'x':
    case u'X':
      format_integer(o, spec, read_unsigned(args, spec.length), false, false, 16,
                     conversion == u'X', spec.alt);
      break;
    case u'p': {
      auto v = reinterpret_cast<uintptr_t>(va_arg(args, void*));
      Spec pointer = spec;
      pointer.precision = -1;
      pointer.zero = false;
      if (v == 0) {
        emit_padded(o, pointer, "", 0, "(nil)", 5, false);
      } else {
        format_integer(o, pointer, v, false, false, 16, false, true);
      }
      break;
    }
    case u'c':
      format_char(o, spec, static_cast<char16_t>(va_arg(args, int)));
      break;
    case u's':
      if (spec.length == Spec::kLong)
        format_wide_string(o, spec, va_arg(args, const char16_t*));
      else
        format_narrow_string(o, spec, va_arg(args, const char*));
      break;
    case u'f':
    case u'F':
    case u'e':
    case u'E':
    case u'g':
    case u'G': {
      bool long_double = spec.length == Spec::kLongDouble;
      long double v = long_double ? va_arg(args, long double) : va_arg(args, double);
      format_float(o, spec, static_cast<char>(conversion), v, long_double);
      break;
    }
    case u'%':
      o.put(u'%');
      break;
    default:
      return false;
  }
  cursor = p + 1;
  return true;
}

}  // namespace

int format_utf16v(char16_t* out, size_t capacity, const char16_t* format, va_list args) {
  if (out == nullptr || capacity == 0) return 0;
  Output o{out, capacity};
  if (format != nullptr) {
    va_list ap;
    va_copy(ap, args);
    const char16_t* p = format;
    while (*p != 0 && !o.full) {
      if (*p != u'%') {
        o.put(*p++);
        continue;
      }
      const char16_t* percent = p++;
      if (!format_one(o, p, ap)) {
        for (p = percent; *p != 0;) {
          if (!o.put(*p++)) break;
        }
        break;
      }
    }
    va_end(ap);
  }
  // A cut that falls inside a surrogate pair drops the orphaned high half.
  if (o.full && o.written > 0 && out[o.written - 1] >= 0xD800 && out[o.written - 1] <= 0xDBFF) {
    --o.written;
  }
  out[o.written] = 0;
  return static_cast<int>(o.written);
}

int format_utf16(char16_t* out, size_t capacity, const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  int n = format_utf16v(out, capacity, format, args);
  va_end(args);
  return n;
}
