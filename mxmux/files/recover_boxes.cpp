#include "mxmux/files/recover_boxes.h"

namespace mxmux::recover {

void BoxBytes::u16(uint16_t v) {
  u8(static_cast<uint8_t>(v >> 8));
  u8(static_cast<uint8_t>(v));
}

void BoxBytes::u24(uint32_t v) {
  u8(static_cast<uint8_t>(v >> 16));
  u16(static_cast<uint16_t>(v));
}

void BoxBytes::u32(uint32_t v) {
  u16(static_cast<uint16_t>(v >> 16));
  u16(static_cast<uint16_t>(v));
}

void BoxBytes::u64(uint64_t v) {
  u32(static_cast<uint32_t>(v >> 32));
  u32(static_cast<uint32_t>(v));
}

void BoxBytes::time(bool wide, uint64_t v) {
  if (wide) {
    u64(v);
  } else {
    u32(static_cast<uint32_t>(v));
  }
}

void BoxBytes::tag(const char* type) {
  for (int i = 0; i < 4; ++i) u8(static_cast<uint8_t>(type[i]));
}

void BoxBytes::append(const std::vector<uint8_t>& bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
}

size_t BoxBytes::open(const char* type) {
  size_t start = bytes_.size();
  u32(0);  // size, patched by close
  tag(type);
  return start;
}

size_t BoxBytes::open_full(const char* type, uint8_t version, uint32_t flags) {
  size_t start = open(type);
  u8(version);
  u24(flags);
  return start;
}

void BoxBytes::close(size_t start) {
  const auto size = static_cast<uint32_t>(bytes_.size() - start);
  for (int i = 0; i < 4; ++i) bytes_[start + i] = static_cast<uint8_t>(size >> (24 - 8 * i));
}

bool needs_64_bits(uint64_t v) {
  return v > 0xFFFFFFFFull;
}

void write_mvhd(BoxBytes& out, const HeaderFields& h, uint64_t duration) {
  const bool wide = needs_64_bits(duration);
  size_t start = out.open_full("mvhd", wide ? 1 : 0, h.flags);
  out.time(wide, h.creation);      // creation time
  out.time(wide, h.modification);  // modification time
  out.append(h.before_duration);   // time scale
  out.time(wide, duration);        // duration
  out.append(h.rest);              // rate, volume, matrix, ..., next track ID
  out.close(start);
}

void write_tkhd(BoxBytes& out, const HeaderFields& h, uint64_t duration) {
  const bool wide = needs_64_bits(duration);
  size_t start = out.open_full("tkhd", wide ? 1 : 0, h.flags);
  out.time(wide, h.creation);      // creation time
  out.time(wide, h.modification);  // modification time
  out.append(h.before_duration);   // track ID, reserved
  out.time(wide, duration);        // duration
  out.append(h.rest);              // layer, group, volume, matrix, width, height
  out.close(start);
}

void write_mdhd(BoxBytes& out, const HeaderFields& h, uint64_t duration) {
  const bool wide = needs_64_bits(duration);
  size_t start = out.open_full("mdhd", wide ? 1 : 0, h.flags);
  out.time(wide, h.creation);      // creation time
  out.time(wide, h.modification);  // modification time
  out.append(h.before_duration);   // time scale
  out.time(wide, duration);        // duration
  out.append(h.rest);              // language, quality
  out.close(start);
}

void write_edts(BoxBytes& out, const Edit& edit) {
  size_t start = out.open("edts");
  write_elst(out, edit);
  out.close(start);
}

void write_elst(BoxBytes& out, const Edit& edit) {
  const bool wide = needs_64_bits(edit.segment) || edit.media_time > INT32_MAX;
  size_t start = out.open_full("elst", wide ? 1 : 0, 0);
  out.u32(1);                                              // entry count
  out.time(wide, edit.segment);                            // segment duration
  out.time(wide, static_cast<uint64_t>(edit.media_time));  // media time
  out.u32(edit.rate);                                      // media rate
  out.close(start);
}

void write_stts(BoxBytes& out, const std::vector<Sample>& samples) {
  size_t start = out.open_full("stts", 0, 0);
  size_t count_at = out.bytes().size();
  out.u32(0);  // entry count, patched below
  uint32_t entries = 0;
  for (size_t i = 0; i < samples.size();) {
    size_t run = 1;
    while (i + run < samples.size() && samples[i + run].duration == samples[i].duration) ++run;
    out.u32(static_cast<uint32_t>(run));  // sample count
    out.u32(samples[i].duration);         // sample delta
    ++entries;
    i += run;
  }
  std::vector<uint8_t>& b = out.bytes();
  for (int k = 0; k < 4; ++k) b[count_at + k] = static_cast<uint8_t>(entries >> (24 - 8 * k));
  out.close(start);
}

void write_ctts(BoxBytes& out, const std::vector<Sample>& samples, uint8_t version) {
  size_t start = out.open_full("ctts", version, 0);
  out.u32(static_cast<uint32_t>(samples.size()));  // entry count
  for (const Sample& s : samples) {
    out.u32(1);                                            // sample count
    out.u32(static_cast<uint32_t>(s.composition_offset));  // sample offset
  }
  out.close(start);
}

void write_stss(BoxBytes& out, const std::vector<Sample>& samples) {
  uint32_t count = 0;
  for (const Sample& s : samples) count += s.sync ? 1 : 0;
  size_t start = out.open_full("stss", 0, 0);
  out.u32(count);  // entry count
  for (size_t i = 0; i < samples.size(); ++i) {
    if (samples[i].sync) out.u32(static_cast<uint32_t>(i + 1));  // sample number
  }
  out.close(start);
}

void write_stsc(BoxBytes& out, const std::vector<Chunk>& chunks) {
  uint32_t entries = 0;
  for (size_t i = 0; i < chunks.size(); ++i)
    entries += i == 0 || chunks[i].samples != chunks[i - 1].samples ? 1 : 0;
  size_t start = out.open_full("stsc", 0, 0);
  out.u32(entries);  // entry count
  for (size_t i = 0; i < chunks.size(); ++i) {
    if (i > 0 && chunks[i].samples == chunks[i - 1].samples) continue;
    out.u32(static_cast<uint32_t>(i + 1));  // first chunk
    out.u32(chunks[i].samples);             // samples per chunk
    out.u32(1);                             // sample description index
  }
  out.close(start);
}

void write_stsz(BoxBytes& out, const std::vector<Sample>& samples, bool constant) {
  size_t start = out.open_full("stsz", 0, 0);
  out.u32(constant && !samples.empty() ? samples[0].size : 0);  // sample size
  out.u32(static_cast<uint32_t>(samples.size()));               // sample count
  if (!constant) {
    for (const Sample& s : samples) out.u32(s.size);  // entry size
  }
  out.close(start);
}

void write_stco(BoxBytes& out, const std::vector<Chunk>& chunks) {
  const bool wide = !chunks.empty() && needs_64_bits(chunks.back().offset);
  size_t start = out.open_full(wide ? "co64" : "stco", 0, 0);
  out.u32(static_cast<uint32_t>(chunks.size()));           // entry count
  for (const Chunk& c : chunks) out.time(wide, c.offset);  // chunk offset
  out.close(start);
}

}  // namespace mxmux::recover
