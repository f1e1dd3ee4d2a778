#include "boxes/item_data.h"

#include <cstring>
#include <string>

#include "platform/platform.h"

size_t item_text_utf8(const char16_t* field, size_t capacity, char (&out)[kItemTextCapacity]) {
  out[0] = 0;
  if (field == nullptr || capacity == 0) return 0;
  // A field without terminator ends at its capacity; the converter needs one.
  size_t units = wide_length(field, capacity);
  std::u16string bounded;
  const char16_t* text = field;
  if (units == capacity) {
    bounded.assign(field, units);
    text = bounded.c_str();
  }
  int32_t written = wide_to_multibyte(text, out, static_cast<int32_t>(kItemTextCapacity));
  if (written > 0) return static_cast<size_t>(written) - 1;

  // Too long for the buffer: keep the longest prefix of whole characters.
  std::string whole = wide_to_string(text);
  size_t cut = kItemTextCapacity - 1;
  if (whole.size() < cut) cut = whole.size();
  while (cut > 0 && cut < whole.size() && (static_cast<uint8_t>(whole[cut]) & 0xC0) == 0x80) --cut;
  std::memcpy(out, whole.data(), cut);
  out[cut] = 0;
  return cut;
}

void write_item_data(ByteWriter* w, uint32_t type, const void* value, uint64_t size) {
  put_be32(w, static_cast<uint32_t>(16 + size));
  put_tag(w, "data");
  put_be32(w, type);
  put_be32(w, 0);  // locale
  put_bytes64(w, value, static_cast<int64_t>(size));
}
