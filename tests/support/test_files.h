// Small helpers for tests that write and read files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mx_mp4/host.h"

// A fresh path in the build's test scratch folder, unique per process and name.
std::string test_temp_path(const std::string& name);
std::vector<uint8_t> read_whole_file(const std::string& path);
void write_whole_file(const std::string& path, const std::vector<uint8_t>& bytes);
// Parses readable hex ("00 0a FF", spaces and newlines ignored, '#' starts a comment).
std::vector<uint8_t> hex_bytes(const std::string& text);
// UTF-16 copy of ASCII/UTF-8 text.
std::u16string u16(const std::string& text);

// UTF-16 text as the host passes it (MxChar: wchar_t on Windows), and a host
// text field read back as UTF-16: the same units, reinterpreted.
inline const MxChar* host_text(const char16_t* text) {
  return reinterpret_cast<const MxChar*>(text);
}
inline std::u16string field_text(const MxChar* field) {
  return std::u16string(reinterpret_cast<const char16_t*>(field));
}
