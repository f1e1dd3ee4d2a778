// The boxes a recovery writes into the movie box it rebuilds from a file that
// a crash left as fragments: the sample tables, the headers whose durations
// it states, and the edit. One function per box, its fields in order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mxmux::recover {

// One sample as the fragments state it.
struct Sample {
  uint64_t offset = 0;  // in the file
  uint32_t size = 0;
  uint32_t duration = 0;
  int64_t composition_offset = 0;
  bool sync = false;
};

// A run of samples that lie back to back in the file.
struct Chunk {
  uint64_t offset = 0;
  uint32_t samples = 0;
};

// Bytes of boxes under construction, big-endian.
class BoxBytes {
 public:
  void u8(uint8_t v) { bytes_.push_back(v); }
  void u16(uint16_t v);
  void u24(uint32_t v);
  void u32(uint32_t v);
  void u64(uint64_t v);
  // 64 bits when `wide`, else the low 32.
  void time(bool wide, uint64_t v);
  void tag(const char* type);
  void append(const std::vector<uint8_t>& bytes);
  // A box header whose size close() patches; returns where the box starts.
  size_t open(const char* type);
  size_t open_full(const char* type, uint8_t version, uint32_t flags);
  void close(size_t start);

  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// The fields of a movie, track or media header the movie box keeps from the
// head: all but the duration, whose width follows the value.
struct HeaderFields {
  uint32_t flags = 0;
  uint64_t creation = 0, modification = 0;
  std::vector<uint8_t> before_duration;  // mvhd/mdhd: time scale; tkhd: track ID, reserved
  std::vector<uint8_t> rest;             // everything behind the duration
};

// One edit: how long it plays (movie units) and where in the media it starts.
struct Edit {
  uint64_t segment = 0;
  int64_t media_time = 0;
  uint32_t rate = 0x00010000;  // integer and fraction, 16 bits each
};

bool needs_64_bits(uint64_t v);

void write_mvhd(BoxBytes& out, const HeaderFields& h, uint64_t duration);
void write_tkhd(BoxBytes& out, const HeaderFields& h, uint64_t duration);
void write_mdhd(BoxBytes& out, const HeaderFields& h, uint64_t duration);
void write_edts(BoxBytes& out, const Edit& edit);
void write_elst(BoxBytes& out, const Edit& edit);
void write_stts(BoxBytes& out, const std::vector<Sample>& samples);
void write_ctts(BoxBytes& out, const std::vector<Sample>& samples, uint8_t version);
void write_stss(BoxBytes& out, const std::vector<Sample>& samples);
void write_stsc(BoxBytes& out, const std::vector<Chunk>& chunks);
// One size for every sample when `constant`, else each sample's.
void write_stsz(BoxBytes& out, const std::vector<Sample>& samples, bool constant);
// stco, or co64 when the last chunk begins above 32 bits.
void write_stco(BoxBytes& out, const std::vector<Chunk>& chunks);

}  // namespace mxmux::recover
