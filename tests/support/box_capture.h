// A MuxContext whose ByteWriter writes into a temporary file, so that a test
// can call single box writers and read back exactly the bytes they wrote.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "output/mux.h"
#include "support/test_files.h"

class BoxCapture {
 public:
  explicit BoxCapture(uint32_t mode = kModeMp4);
  ~BoxCapture();
  BoxCapture(const BoxCapture&) = delete;
  BoxCapture& operator=(const BoxCapture&) = delete;

  // The context: zeroed apart from mode and writer; tests fill what they need.
  MuxContext* context() { return context_.get(); }
  MovieMetadata& metadata() { return context_->metadata; }
  // Every byte written so far.
  std::vector<uint8_t> bytes();

 private:
  std::unique_ptr<MuxContext> context_;
  FILE* file_ = nullptr;
};

// Copies UTF-16 text into a field, with a terminator when there is room (a
// text as long as the field fills it without one).
void set_text(MxChar* field, size_t capacity, const std::u16string& text);

template <size_t N>
void set_text(MxChar (&field)[N], const std::string& utf8) {
  set_text(field, N, u16(utf8));
}
template <size_t N>
void set_text(MxChar (&field)[N], const std::u16string& text) {
  set_text(field, N, text);
}
