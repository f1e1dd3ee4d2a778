// UTF-8 encoding and decoding shared by both sides of the platform layer.
#pragma once

#include <string>

// Reads one code point from zero-terminated UTF-16 text and advances past it;
// a surrogate without its partner reads as U+FFFD.
char32_t next_code_point(const char16_t*& text);

// Encodes one code point as UTF-8 into out (room for 4 bytes); returns the byte count.
int encode_utf8(char32_t cp, char* out);

// Decodes one UTF-8 sequence from [text, end) and advances past it. A malformed
// sequence (bad lead byte, missing continuation, overlong form, surrogate or
// value above U+10FFFF) consumes one byte and reads as U+FFFD.
char32_t next_utf8_code_point(const unsigned char*& text, const unsigned char* end);

// Appends a code point to UTF-16 text.
void append_utf16(char32_t cp, std::u16string& out);
