#include "support/test_files.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

std::string test_temp_path(const std::string& name) {
  return std::string(MX_TEST_TMP_DIR) + "/" + std::to_string(getpid()) + "-" + name;
}

namespace {

// Paths are UTF-8; on Windows the streams open them through the wide calls.
std::filesystem::path path_of(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

}  // namespace

std::vector<uint8_t> read_whole_file(const std::string& path) {
  std::ifstream in(path_of(path), std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void write_whole_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path_of(path), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<uint8_t> hex_bytes(const std::string& text) {
  std::vector<uint8_t> out;
  int pending = -1;
  bool comment = false;
  for (char ch : text) {
    if (comment) {
      if (ch == '\n') comment = false;
      continue;
    }
    if (ch == '#') {
      comment = true;
      continue;
    }
    int v;
    if (ch >= '0' && ch <= '9')
      v = ch - '0';
    else if (ch >= 'a' && ch <= 'f')
      v = ch - 'a' + 10;
    else if (ch >= 'A' && ch <= 'F')
      v = ch - 'A' + 10;
    else
      continue;
    if (pending < 0) {
      pending = v;
    } else {
      out.push_back(static_cast<uint8_t>(pending << 4 | v));
      pending = -1;
    }
  }
  if (pending >= 0) throw std::runtime_error("odd number of hex digits");
  return out;
}

std::u16string u16(const std::string& text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    uint32_t c = static_cast<uint8_t>(text[i]);
    int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    if (extra) c &= 0x3F >> extra;
    for (int k = 1; k <= extra && i + k < text.size(); ++k) c = c << 6 | (text[i + k] & 0x3F);
    i += 1 + extra;
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 | c >> 10));
      out.push_back(static_cast<char16_t>(0xDC00 | (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}
