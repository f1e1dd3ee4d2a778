// Bounded printf-style formatting of UTF-16 text.
//
// Integers, strings and characters are rendered here; floating-point numbers
// are rendered by the C library's snprintf (without the width, which is
// applied here like for every other conversion). Formatting stops as soon as
// the output is full, so a huge width or a huge string costs no more than the
// capacity.
#include "platform/wformat.h"

#include <climits>
#include <cmath>
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

struct Directive {
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
void emit_padded(Output& o, const Directive& directive, const char* prefix, size_t prefix_length,
                 const char* body, size_t body_length, bool zero_pad) {
  size_t length = prefix_length + body_length;
  size_t pad = directive.width > length ? directive.width - length : 0;
  if (!directive.left && !zero_pad && !o.repeat(u' ', pad)) return;
  if (!o.put_ascii(prefix, prefix_length)) return;
  if (!directive.left && zero_pad && !o.repeat(u'0', pad)) return;
  if (!o.put_ascii(body, body_length)) return;
  if (directive.left) o.repeat(u' ', pad);
}

void format_integer(Output& o, const Directive& directive, uintmax_t magnitude, bool negative,
                    bool is_signed, unsigned base, bool upper, bool hex_prefix) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char reversed[64];
  size_t count = 0;
  for (uintmax_t v = magnitude; v != 0; v /= base) reversed[count++] = digits[v % base];
  // Precision is the minimum digit count; ".0" with the value 0 prints no digit.
  size_t min_digits = directive.precision < 0 ? 1 : static_cast<size_t>(directive.precision);
  char prefix[3];
  size_t prefix_length = 0;
  if (is_signed) {
    if (negative)
      prefix[prefix_length++] = '-';
    else if (directive.plus)
      prefix[prefix_length++] = '+';
    else if (directive.space)
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
  bool zero_pad = directive.zero && !directive.left && directive.precision < 0;
  size_t pad = directive.width > length ? directive.width - length : 0;
  if (!directive.left && !zero_pad && !o.repeat(u' ', pad)) return;
  if (!o.put_ascii(prefix, prefix_length)) return;
  if (!directive.left && zero_pad && !o.repeat(u'0', pad)) return;
  if (!o.repeat(u'0', leading_zeros)) return;
  for (size_t i = count; i > 0; --i) {
    if (!o.put(static_cast<char16_t>(reversed[i - 1]))) return;
  }
  if (directive.left) o.repeat(u' ', pad);
}

void format_float(Output& o, const Directive& directive, char conversion, long double value,
                  bool long_double) {
  char format[16];
  size_t f = 0;
  format[f++] = '%';
  if (directive.plus) format[f++] = '+';
  if (directive.space) format[f++] = ' ';
  if (directive.alt) format[f++] = '#';
  format[f++] = '.';
  format[f++] = '*';
  if (long_double) format[f++] = 'L';
  format[f++] = conversion;
  format[f] = 0;
  int precision = directive.precision < 0 ? 6 : directive.precision;
  if (precision > kMaxFloatPrecision) precision = kMaxFloatPrecision;
  // A NaN prints without a sign, as the Windows runtime prints it.
  if (std::isnan(value)) value = std::fabs(value);
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
  bool zero_pad = directive.zero && !directive.left && finite;
  emit_padded(o, directive, text, prefix_length, text + prefix_length, n - prefix_length, zero_pad);
}

void format_wide_string(Output& o, const Directive& directive, const char16_t* text) {
  if (text == nullptr) text = u"(null)";
  size_t max_units = directive.precision < 0 ? SIZE_MAX : static_cast<size_t>(directive.precision);
  size_t length = wide_length(text, max_units);
  size_t pad = directive.width > length ? directive.width - length : 0;
  if (!directive.left && !o.repeat(u' ', pad)) return;
  for (size_t i = 0; i < length; ++i) {
    if (!o.put(text[i])) return;
  }
  if (directive.left) o.repeat(u' ', pad);
}

void format_narrow_string(Output& o, const Directive& directive, const char* text) {
  if (text == nullptr) text = "(null)";
  // The precision limits the bytes read; the width counts UTF-16 units.
  size_t max_bytes = directive.precision < 0 ? SIZE_MAX : static_cast<size_t>(directive.precision);
  size_t bytes = 0;
  while (bytes < max_bytes && text[bytes] != 0) ++bytes;
  std::string cut(text, bytes);
  std::u16string wide = multibyte_to_wide(cut.c_str());
  size_t pad = directive.width > wide.size() ? directive.width - wide.size() : 0;
  if (!directive.left && !o.repeat(u' ', pad)) return;
  for (char16_t unit : wide) {
    if (!o.put(unit)) return;
  }
  if (directive.left) o.repeat(u' ', pad);
}

void format_char(Output& o, const Directive& directive, char16_t unit) {
  size_t pad = directive.width > 1 ? directive.width - 1 : 0;
  if (!directive.left && !o.repeat(u' ', pad)) return;
  if (!o.put(unit)) return;
  if (directive.left) o.repeat(u' ', pad);
}

intmax_t read_signed(va_list& args, Directive::Length length) {
  switch (length) {
    case Directive::kChar:
      return static_cast<signed char>(va_arg(args, int));
    case Directive::kShort:
      return static_cast<short>(va_arg(args, int));
    case Directive::kLong:
      return va_arg(args, long);
    case Directive::kLongLong:
      return va_arg(args, long long);
    case Directive::kSize:
      return va_arg(args, ptrdiff_t);
    case Directive::kMax:
      return va_arg(args, intmax_t);
    case Directive::kPtrDiff:
      return va_arg(args, ptrdiff_t);
    default:
      return va_arg(args, int);
  }
}

uintmax_t read_unsigned(va_list& args, Directive::Length length) {
  switch (length) {
    case Directive::kChar:
      return static_cast<unsigned char>(va_arg(args, unsigned));
    case Directive::kShort:
      return static_cast<unsigned short>(va_arg(args, unsigned));
    case Directive::kLong:
      return va_arg(args, unsigned long);
    case Directive::kLongLong:
      return va_arg(args, unsigned long long);
    case Directive::kSize:
      return va_arg(args, size_t);
    case Directive::kMax:
      return va_arg(args, uintmax_t);
    case Directive::kPtrDiff:
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
  Directive directive;
  for (;; ++p) {
    if (*p == u'-')
      directive.left = true;
    else if (*p == u'+')
      directive.plus = true;
    else if (*p == u' ')
      directive.space = true;
    else if (*p == u'#')
      directive.alt = true;
    else if (*p == u'0')
      directive.zero = true;
    else
      break;
  }
  if (*p == u'*') {
    int width = va_arg(args, int);
    if (width < 0) {
      directive.left = true;
      directive.width =
          width == INT_MIN ? static_cast<size_t>(INT_MAX) + 1 : static_cast<size_t>(-width);
    } else {
      directive.width = static_cast<size_t>(width);
    }
    ++p;
  } else {
    int width = 0;
    while (is_digit(*p)) width = accumulate(width, *p++);
    directive.width = static_cast<size_t>(width);
  }
  if (*p == u'.') {
    ++p;
    if (*p == u'*') {
      int precision = va_arg(args, int);
      directive.precision = precision < 0 ? -1 : precision;
      ++p;
    } else {
      int precision = 0;
      while (is_digit(*p)) precision = accumulate(precision, *p++);
      directive.precision = precision;
    }
  }
  switch (*p) {
    case u'h':
      ++p;
      if (*p == u'h')
        ++p, directive.length = Directive::kChar;
      else
        directive.length = Directive::kShort;
      break;
    case u'l':
      ++p;
      if (*p == u'l')
        ++p, directive.length = Directive::kLongLong;
      else
        directive.length = Directive::kLong;
      break;
    case u'z':
      ++p, directive.length = Directive::kSize;
      break;
    case u'j':
      ++p, directive.length = Directive::kMax;
      break;
    case u't':
      ++p, directive.length = Directive::kPtrDiff;
      break;
    case u'L':
      ++p, directive.length = Directive::kLongDouble;
      break;
    default:
      break;
  }
  char16_t conversion = *p;
  switch (conversion) {
    case u'd':
    case u'i': {
      intmax_t v = read_signed(args, directive.length);
      uintmax_t magnitude = v < 0 ? uintmax_t(0) - static_cast<uintmax_t>(v) : uintmax_t(v);
      format_integer(o, directive, magnitude, v < 0, true, 10, false, false);
      break;
    }
    case u'u':
      format_integer(o, directive, read_unsigned(args, directive.length), false, false, 10, false,
                     false);
      break;
    case u'o': {
      uintmax_t v = read_unsigned(args, directive.length);
      // '#' makes the first digit a zero.
      if (directive.alt && v != 0) {
        int digits = 0;
        for (uintmax_t t = v; t != 0; t /= 8) ++digits;
        if (directive.precision <= digits) directive.precision = digits + 1;
      } else if (directive.alt && directive.precision == 0) {
        directive.precision = 1;
      }
      format_integer(o, directive, v, false, false, 8, false, false);
      break;
    }
    case u'x':
    case u'X':
      format_integer(o, directive, read_unsigned(args, directive.length), false, false, 16,
                     conversion == u'X', directive.alt);
      break;
    case u'p': {
      auto v = reinterpret_cast<uintptr_t>(va_arg(args, void*));
      Directive pointer = directive;
      pointer.precision = -1;
      pointer.zero = false;
      if (v == 0) {
        emit_padded(o, pointer, "", 0, "(nil)", 5, false);
      } else {
        format_integer(o, pointer, v, false, false, 16, false, true);
      }
      break;
    }
    case u'c': {
      // As in C99: %lc is a wide character; %c converts its int to an
      // unsigned char, read here as that byte's code point (the Windows
      // runtime's wide printf renders it the same way).
      int unit = va_arg(args, int);
      format_char(o, directive,
                  directive.length == Directive::kLong
                      ? static_cast<char16_t>(unit)
                      : static_cast<char16_t>(static_cast<unsigned char>(unit)));
      break;
    }
    case u's':
      if (directive.length == Directive::kLong)
        format_wide_string(o, directive, va_arg(args, const char16_t*));
      else
        format_narrow_string(o, directive, va_arg(args, const char*));
      break;
    case u'f':
    case u'F':
    case u'e':
    case u'E':
    case u'g':
    case u'G': {
      bool long_double = directive.length == Directive::kLongDouble;
      long double v = long_double ? va_arg(args, long double) : va_arg(args, double);
      format_float(o, directive, static_cast<char>(conversion), v, long_double);
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
