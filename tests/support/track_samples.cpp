#include "track_samples.h"

#include <stdexcept>

TrackSamples read_track_samples(const iso::Box& trak) {
  TrackSamples out;
  const iso::Box& mdhd = trak.at("mdia/mdhd");
  if (mdhd.version() == 1) {
    out.timescale = mdhd.u32(20);
    out.duration = mdhd.u64(24);
  } else {
    out.timescale = mdhd.u32(12);
    out.duration = mdhd.u32(16);
  }
  out.handler = trak.at("mdia/hdlr").fourcc(8);
  const iso::Box& stbl = trak.at("mdia/minf/stbl");

  const iso::Box& stsz = stbl.at("stsz");
  uint32_t uniform = stsz.u32(4);
  uint32_t count = stsz.u32(8);
  out.samples.resize(count);
  for (uint32_t i = 0; i < count; ++i)
    out.samples[i].size = uniform ? uniform : stsz.u32(12 + 4 * i);

  std::vector<uint64_t> chunks;
  if (const iso::Box* stco = stbl.find("stco")) {
    for (uint32_t i = 0, n = stco->u32(4); i < n; ++i) chunks.push_back(stco->u32(8 + 4 * i));
  } else {
    const iso::Box& co64 = stbl.at("co64");
    for (uint32_t i = 0, n = co64.u32(4); i < n; ++i) chunks.push_back(co64.u64(8 + 8 * i));
  }

  const iso::Box& stsc = stbl.at("stsc");
  uint32_t runs = stsc.u32(4);
  size_t sample = 0;
  for (uint32_t r = 0; r < runs; ++r) {
    uint32_t first = stsc.u32(8 + 12 * r);
    uint32_t per_chunk = stsc.u32(12 + 12 * r);
    uint32_t last =
        r + 1 < runs ? stsc.u32(8 + 12 * (r + 1)) - 1 : static_cast<uint32_t>(chunks.size());
    if (first < 1 || last > chunks.size()) throw std::runtime_error("stsc out of range");
    for (uint32_t c = first; c <= last; ++c) {
      out.chunk_samples.push_back(per_chunk);
      uint64_t pos = chunks[c - 1];
      for (uint32_t k = 0; k < per_chunk; ++k, ++sample) {
        if (sample >= out.samples.size()) throw std::runtime_error("stsc covers more than stsz");
        out.samples[sample].offset = pos;
        pos += out.samples[sample].size;
      }
    }
  }
  if (sample != out.samples.size()) throw std::runtime_error("stsc covers less than stsz");

  const iso::Box& stts = stbl.at("stts");
  sample = 0;
  for (uint32_t e = 0, n = stts.u32(4); e < n; ++e) {
    uint32_t run = stts.u32(8 + 8 * e);
    uint32_t delta = stts.u32(12 + 8 * e);
    for (uint32_t k = 0; k < run && sample < out.samples.size(); ++k)
      out.samples[sample++].delta = delta;
  }

  if (const iso::Box* ctts = stbl.find("ctts")) {
    out.has_ctts = true;
    sample = 0;
    for (uint32_t e = 0, n = ctts->u32(4); e < n; ++e) {
      uint32_t run = ctts->u32(8 + 8 * e);
      int32_t offset = ctts->i32(12 + 8 * e);
      for (uint32_t k = 0; k < run && sample < out.samples.size(); ++k)
        out.samples[sample++].composition = offset;
    }
  }
  if (const iso::Box* stss = stbl.find("stss")) {
    out.has_stss = true;
    for (auto& s : out.samples) s.sync = false;
    for (uint32_t e = 0, n = stss->u32(4); e < n; ++e) {
      uint32_t index = stss->u32(8 + 4 * e);
      if (index < 1 || index > out.samples.size()) throw std::runtime_error("stss out of range");
      out.samples[index - 1].sync = true;
    }
  }
  return out;
}

std::vector<uint8_t> sample_bytes(const std::vector<uint8_t>& file, const TrackSample& s) {
  if (s.offset + s.size > file.size()) throw std::runtime_error("sample beyond the file");
  return std::vector<uint8_t>(file.begin() + static_cast<std::ptrdiff_t>(s.offset),
                              file.begin() + static_cast<std::ptrdiff_t>(s.offset + s.size));
}
