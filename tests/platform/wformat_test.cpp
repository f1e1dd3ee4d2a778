// The bounded UTF-16 formatter: conversions, flags, bounds and cut output.
#include "platform/wformat.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/platform.h"

namespace {

struct FormatCase {
  const char* name;
  std::function<int(char16_t*, size_t)> run;
  std::u16string expected;
};

std::string narrow(const std::u16string& text) {
  return wide_to_string(text.c_str());
}

const char16_t kPair[] = {u'a', 0xD83D, 0xDE00, u'b', 0};  // a U+1F600 b
const char16_t kLone[] = {u'x', 0xDC00, u'y', 0};

// Each case formats into a roomy buffer; the expected text is what the
// conversion must produce.
const FormatCase kCases[] = {
    {"plain text", [](char16_t* b, size_t n) { return format_utf16(b, n, u"hello"); }, u"hello"},
    {"percent", [](char16_t* b, size_t n) { return format_utf16(b, n, u"100%%"); }, u"100%"},
    {"decimal", [](char16_t* b, size_t n) { return format_utf16(b, n, u"%d|%i", 42, -7); },
     u"42|-7"},
    {"int extremes",
     [](char16_t* b, size_t n) { return format_utf16(b, n, u"%d %d", INT_MIN, INT_MAX); },
     u"-2147483648 2147483647"},
    {"width and left",
     [](char16_t* b, size_t n) { return format_utf16(b, n, u"[%5d][%-5d][%05d]", 42, 42, -42); },
     u"[   42][42   ][-0042]"},
    {"sign flags",
     [](char16_t* b, size_t n) { return format_utf16(b, n, u"%+d % d %+d", 5, 5, -5); },
     u"+5  5 -5"},
    {"precision on integers",
     [](char16_t* b, size_t n) { return format_utf16(b, n, u"[%.3d][%8.3d][%.0d]", 7, -7, 0); },
     u"[007][    -007][]"},
    {"zero flag ignored with precision",
     [](char16_t* b, size_t n) { return format_utf16(b, n, u"[%08.3d]", 7); }, u"[     007]"},
    {"unsigned and hex",
     [](char16_t* b, size_t n) {
       return format_utf16(b, n, u"%u %x %X %#x %#X %#x", 4294967295u, 0xbeefu, 0xbeefu, 255u, 255u,
                           0u);
     },
     u"4294967295 beef BEEF 0xff 0XFF 0"},
    {"octal", [](char16_t* b, size_t n) { return format_utf16(b, n, u"%o %#o %#o", 8u, 8u, 0u); },
     u"10 010 0"},
    {"length modifiers",
     [](char16_t* b, size_t n) {
       return format_utf16(b, n, u"%ld %lld %llu %hd %hhu %zu %zd %lx", -1L, LLONG_MIN, ULLONG_MAX,
                           70000, 300, size_t{12}, ptrdiff_t{-3}, ULONG_MAX);
     },
     // long is 64-bit on Linux, 32-bit on Windows.
     std::u16string(u"-1 -9223372036854775808 18446744073709551615 4464 44 12 -3 ") +
         (sizeof(long) == 8 ? u"ffffffffffffffff" : u"ffffffff")},
    {"star width and precision",
     [](char16_t* b, size_t n) {
       return format_utf16(b, n, u"[%*d][%-*d][%.*d]", 4, 1, -4, 2, 3, 5);
     },
     u"[   1][2   ][005]"},
    {"negative star precision means none",
     [](char16_t* b, size_t n) { return format_utf16(b, n, u"[%.*ls]", -1, u"abc"); }, u"[abc]"},
    {"wide string", [](char16_t* b, size_t n) { return format_utf16(b, n, u"<%ls>", u"mp4"); },
     u"<mp4>"},
    {"wide string width precision",
     [](char16_t* b, size_t n) {
       return format_utf16(b, n, u"[%6ls][%-6ls][%.2ls]", u"ab", u"ab", u"xyz");
     },
     u"[    ab][ab    ][xy]"},
    {"wide string keeps surrogate pairs",
     [](char16_t* b, size_t n) { return format_utf16(b, n, u"%ls", kPair); },
     std::u16string(kPair)},
// The portable formatter reads %s as UTF-8; the Windows runtime widens its
// bytes one by one, which is why messages pass text as %ls.
#ifndef _WIN32
    {"8-bit string is UTF-8",
     [](char16_t* b, size_t n) {
       return format_utf16(b, n, u"%s/%s", "caf\xc3\xa9", "\xf0\x9f\x98\x80");
     },
     u"caf\u00e9/\U0001F600"},
    {"8-bit string precision counts bytes",
     [](char16_t* b, size_t n) { return format_utf16(b, n, u"[%.3s][%4s]", "abcdef", "\xc3\xa9"); },
     u"[abc][   \u00e9]"},
#endif
    {"null strings",
     [](char16_t* b, size_t n) {
       return format_utf16(b, n, u"%ls %s", static_cast<const char16_t*>(nullptr),
                           static_cast<const char*>(nullptr));
     },
     u"(null) (null)"},
    {"characters",
     [](char16_t* b, size_t n) {
       return format_utf16(b, n, u"%c%c%c%c|%3c|%-3c|", 'M', 'P', '4', ' ', 'x', 'y');
     },
     u"MP4 |  x|y  |"},
    {"wide character", [](char16_t* b, size_t n) { return format_utf16(b, n, u"%lc", 0x263A); },
     u"\u263A"},
    {"signed character renders as its byte",
     [](char16_t* b, size_t n) {
       return format_utf16(b, n, u"%c", static_cast<signed char>(0xE9));
     },
     u"\u00e9"},
    {"fixed point",
     [](char16_t* b, size_t n) {
       return format_utf16(b, n, u"%f %0.6f %.2f %.0f", 23.976, 29.97, -1.005, 2.5);
     },
     u"23.976000 29.970000 -1.00 2"},
    {"float width and flags",
     [](char16_t* b, size_t n) {
       return format_utf16(b, n, u"[%8.2f][%-8.2f][%08.2f][%+.1f]", 3.14159, 3.14159, -3.14159,
                           1.0);
     },
     u"[    3.14][3.14    ][-0003.14][+1.0]"},
    {"exponent and general",
     [](char16_t* b, size_t n) {
       return format_utf16(b, n, u"%e %E %g %G %g", 12345.678, 0.00012, 0.0001, 1e20, 100.0);
     },
     u"1.234568e+04 1.200000E-04 0.0001 1E+20 100"},
    {"infinity is not zero padded",
     [](char16_t* b, size_t n) { return format_utf16(b, n, u"[%06f][%f]", INFINITY, -NAN); },
     u"[   inf][nan]"},
    {"long double", [](char16_t* b, size_t n) { return format_utf16(b, n, u"%.3Lf", 1.5L); },
     u"1.500"},
// How pointers and unknown conversions print is the runtime's own affair.
#ifndef _WIN32
    {"pointer",
     [](char16_t* b, size_t n) {
       return format_utf16(b, n, u"%p %p", reinterpret_cast<void*>(0x1234),
                           static_cast<void*>(nullptr));
     },
     u"0x1234 (nil)"},
    {"unknown conversion stops argument use",
     [](char16_t* b, size_t n) { return format_utf16(b, n, u"%d %q %d %ls", 1, 2, 3); },
     u"1 %q %d %ls"},
#endif
    {"lone surrogates pass through the formatter",
     [](char16_t* b, size_t n) { return format_utf16(b, n, u"%ls", kLone); },
     std::u16string(kLone)},
    {"null format prints nothing",
     [](char16_t* b, size_t n) { return format_utf16(b, n, nullptr, 1); }, u""},
#ifndef _WIN32
    {"trailing percent", [](char16_t* b, size_t n) { return format_utf16(b, n, u"50%"); }, u"50%"},
#endif
};

TEST(Wformat, ConversionsMatchTheirExpectedText) {
  for (const FormatCase& c : kCases) {
    char16_t buffer[512];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    int n = c.run(buffer, 512);
    EXPECT_EQ(narrow(buffer), narrow(c.expected)) << c.name;
    EXPECT_EQ(std::u16string(buffer), c.expected) << c.name;
    EXPECT_EQ(n, static_cast<int>(c.expected.size())) << c.name;
  }
}

TEST(Wformat, OutputIsCutToCapacityAndAlwaysTerminated) {
  struct CutCase {
    const char* name;
    size_t capacity;
    std::function<int(char16_t*, size_t)> run;
    std::u16string expected;
  };
  const CutCase cases[] = {
      {"fourcc into five units", 5,
       [](char16_t* b, size_t n) { return format_utf16(b, n, u"%c%c%c%c", 'K', 'M', 'P', '4'); },
       u"KMP4"},
      {"text longer than the buffer", 4,
       [](char16_t* b, size_t n) { return format_utf16(b, n, u"abcdef"); }, u"abc"},
      {"number cut inside its digits", 4,
       [](char16_t* b, size_t n) { return format_utf16(b, n, u"%d", 123456); }, u"123"},
  // Only the portable formatter stops working once its buffer is full.
#ifndef _WIN32
      {"huge width costs only the capacity", 8,
       [](char16_t* b, size_t n) { return format_utf16(b, n, u"%999999999d", 1); }, u"       "},
      {"huge left width", 8,
       [](char16_t* b, size_t n) { return format_utf16(b, n, u"%-2147483647dX", 1); }, u"1      "},
#endif
      {"huge float precision is clamped, output cut", 6,
       [](char16_t* b, size_t n) { return format_utf16(b, n, u"%.999999999f", 1.0); }, u"1.000"},
      {"capacity one holds only the terminator", 1,
       [](char16_t* b, size_t n) { return format_utf16(b, n, u"%ls", u"abc"); }, u""},
      {"cut never leaves half a surrogate pair", 3,
       [](char16_t* b, size_t n) { return format_utf16(b, n, u"%ls", kPair); }, u"a"},
  };
  for (const CutCase& c : cases) {
    char16_t buffer[64];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    int n = c.run(buffer, c.capacity);
    EXPECT_EQ(std::u16string(buffer), c.expected) << c.name;
    EXPECT_EQ(n, static_cast<int>(c.expected.size())) << c.name;
    EXPECT_LT(static_cast<size_t>(n), c.capacity) << c.name;
    // Nothing written past the capacity.
    for (size_t i = c.capacity; i < 64; ++i) ASSERT_EQ(buffer[i], u'#') << c.name << " at " << i;
  }
}

TEST(Wformat, NullOrEmptyOutputIsLeftAlone) {
  EXPECT_EQ(format_utf16(nullptr, 10, u"%d", 5), 0);
  char16_t one = u'#';
  EXPECT_EQ(format_utf16(&one, 0, u"%d", 5), 0);
  EXPECT_EQ(one, u'#');
}

TEST(Wformat, LongWideStringArgumentIsReadOnlyAsFarAsNeededWithPrecision) {
  // An unterminated array is safe with a precision: no unit past it is read.
  const char16_t unterminated[3] = {u'a', u'b', u'c'};
  char16_t buffer[16];
  EXPECT_EQ(format_utf16(buffer, 16, u"%.3ls!", unterminated), 4);
  EXPECT_EQ(std::u16string(buffer), u"abc!");
}

}  // namespace
