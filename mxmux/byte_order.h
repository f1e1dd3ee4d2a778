// Big- and little-endian integers read from bytes, for the stream readers and
// the file tools.
#pragma once

#include <cstdint>

namespace mxmux {

inline uint32_t be16(const uint8_t* p) {
  return (uint32_t{p[0]} << 8) | p[1];
}
inline uint32_t be24(const uint8_t* p) {
  return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
}
inline uint32_t be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline uint32_t le16(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8);
}
inline uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline uint64_t le64(const uint8_t* p) {
  return le32(p) | (uint64_t{le32(p + 4)} << 32);
}

}  // namespace mxmux
