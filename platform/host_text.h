// Host text as the library's UTF-16 text.
//
// The host hands text over in MxChar units (include/mx_mp4/host.h): wchar_t on
// Windows, char16_t elsewhere, 16-bit UTF-16 units on both. The library works
// in char16_t and reads host text through the same pointer: no copy and no
// conversion on the way in.
#pragma once

template <typename Unit>
inline const char16_t* as_utf16(const Unit* text) {
  static_assert(sizeof(Unit) == sizeof(char16_t), "UTF-16 units");
  return reinterpret_cast<const char16_t*>(text);
}
