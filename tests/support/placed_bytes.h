// Test bytes placed where a search that reads past them is caught.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

// Bytes copied to `shift` bytes past a 256-byte boundary, ending where their
// allocation ends: the vector loads meet the data at every alignment, and a
// read past either end of it is one the address sanitizer reports (before it,
// when shift is 0).
class PlacedBytes {
 public:
  PlacedBytes(const std::vector<uint8_t>& bytes, size_t shift)
      : storage_(static_cast<uint8_t*>(
            ::operator new(shift + bytes.size() + (bytes.empty() ? 1 : 0), kAlignment))),
        data_(storage_ + shift),
        size_(bytes.size()) {
    if (size_ > 0) std::memcpy(data_, bytes.data(), size_);
  }
  ~PlacedBytes() { ::operator delete(storage_, kAlignment); }
  PlacedBytes(const PlacedBytes&) = delete;
  PlacedBytes& operator=(const PlacedBytes&) = delete;

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  static constexpr std::align_val_t kAlignment{256};
  uint8_t* storage_;
  uint8_t* data_;
  size_t size_;
};
