#include "support/box_capture.h"

#include <stdexcept>

#include "support/test_files.h"

BoxCapture::BoxCapture(uint32_t mode) : context_(new MuxContext()) {
  file_ = std::tmpfile();
  if (file_ == nullptr) throw std::runtime_error("no temporary file");
  context_->mode = mode;
  context_->writer = writer_create(1 << 16, file_);
}

BoxCapture::~BoxCapture() {
  writer_close(context_->writer);
  std::fclose(file_);
}

std::vector<uint8_t> BoxCapture::bytes() {
  writer_flush(context_->writer);
  std::vector<uint8_t> out(static_cast<size_t>(writer_tell(context_->writer)));
  std::rewind(file_);
  if (!out.empty() && std::fread(out.data(), 1, out.size(), file_) != out.size()) {
    throw std::runtime_error("short read of captured bytes");
  }
  std::fseek(file_, 0, SEEK_END);
  return out;
}

void set_text(MxChar* field, size_t capacity, const std::u16string& text) {
  if (text.size() > capacity) throw std::length_error("text longer than its field");
  std::copy(text.begin(), text.end(), field);
  if (text.size() < capacity) field[text.size()] = 0;
}
