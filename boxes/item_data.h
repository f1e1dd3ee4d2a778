// Pieces shared by the two item lists of a movie: the iTunes-style `ilst` of
// the user data and the QuickTime `mdta` `ilst` of the movie-level `meta` box.
#pragma once

#include <cstddef>
#include <cstdint>

#include "output/byte_writer.h"
#include "platform/host_text.h"

// Every item text passes through a buffer of this many bytes, terminator included.
constexpr size_t kItemTextCapacity = 1024;

// Converts a host text field of `capacity` UTF-16 units (zero-terminated, or
// filling the whole field) to zero-terminated UTF-8 in `out`. A text whose
// UTF-8 form does not fit is cut after the last whole character that fits, so
// an item never carries another item's text nor half a character. Returns the
// length without the terminator.
size_t item_text_utf8(const char16_t* field, size_t capacity, char (&out)[kItemTextCapacity]);

template <typename Unit, size_t N>
size_t item_text_utf8(const Unit (&field)[N], char (&out)[kItemTextCapacity]) {
  return item_text_utf8(as_utf16(&field[0]), N, out);
}

// Well-known `data` types of item values.
enum ItemDataType : uint32_t {
  kDataUtf8 = 1,
  kDataJpeg = 13,
  kDataPng = 14,
  kDataSignedInt = 21,
  kDataUnsignedInt = 22,
  kDataFloat32 = 23,
  kDataBmp = 27,
};

// The `data` box of an item: size, "data", type, locale 0, value.
void write_item_data(ByteWriter* w, uint32_t type, const void* value, uint64_t size);
