// Small helpers for tests that write and read files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A fresh path in the build's test scratch folder, unique per process and name.
std::string test_temp_path(const std::string& name);
std::vector<uint8_t> read_whole_file(const std::string& path);
void write_whole_file(const std::string& path, const std::vector<uint8_t>& bytes);
// Parses readable hex ("00 0a FF", spaces and newlines ignored, '#' starts a comment).
std::vector<uint8_t> hex_bytes(const std::string& text);
// UTF-16 copy of ASCII/UTF-8 text.
std::u16string u16(const std::string& text);
