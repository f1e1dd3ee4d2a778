#include "support/mux_file.h"

#include <cstring>
#include <stdexcept>

#include "boxes/boxes.h"
#include "boxes/fragments.h"
#include "support/test_files.h"

TrackSpec track_spec(int32_t index, int32_t kind, uint32_t codec_id, uint32_t enable_hint) {
  TrackSpec track_spec;
  track_spec.index = index;
  track_spec.kind = kind;
  track_spec.codec_id = codec_id;
  track_spec.enable_hint = enable_hint;
  return track_spec;
}

uint8_t sample_byte(int32_t slot, uint64_t index, uint64_t k) {
  if (k == 0) return static_cast<uint8_t>(0x80 | slot);
  if (k < 4) return static_cast<uint8_t>(index >> (8 * (3 - k)));
  return static_cast<uint8_t>(slot * 0x35 + k + (k >> 8));
}

MuxFile::MuxFile(const std::string& name, uint32_t mode, std::vector<TrackSpec> specs)
    : path(test_temp_path(name)), specs_(std::move(specs)), next_index_(kMaxTracks, 0) {
  file_ = std::fopen(path.c_str(), "wb");
  if (!file_) throw std::runtime_error("cannot create " + path);
  c = mux_create(specs_.data(), static_cast<int32_t>(specs_.size()), mode, file_);
  if (!c) throw std::runtime_error("mux_create failed");
  for (const TrackSpec& track_spec : specs_)
    mux_set_codec(track_spec.index, c, track_spec.codec_id);
  write_ftyp(c);
}

MuxFile::~MuxFile() {
  if (c) mux_destroy(specs_.data(), static_cast<int32_t>(specs_.size()), c);
  if (file_) std::fclose(file_);
  if (!keep_) std::remove(path.c_str());
}

const std::vector<uint8_t>& MuxFile::pattern(int32_t slot, uint32_t size) {
  uint64_t index = next_index_[slot]++;
  // Only the header depends on the index: packets of the same slot and size
  // (the big ones of the large tests) reuse the filled buffer.
  if (slot != pattern_slot_ || buffer_.size() != size) {
    buffer_.resize(size);
    for (uint32_t k = 0; k < size; ++k) buffer_[k] = sample_byte(slot, index, k);
    pattern_slot_ = slot;
  }
  for (uint32_t k = 0; k < size && k < 4; ++k) buffer_[k] = sample_byte(slot, index, k);
  return buffer_;
}

void MuxFile::video(int32_t slot, uint32_t size, int64_t dts, int64_t pts, bool key,
                    int32_t cts_offset) {
  const std::vector<uint8_t>& bytes = pattern(slot, size);
  raw(slot, kKindVideo, bytes.data(), size, key ? 1 : 0, &cts_offset, dts, pts, 0);
}

void MuxFile::audio(int32_t slot, const std::vector<uint32_t>& frame_sizes, int64_t dts,
                    int64_t pts, int64_t duration, uint32_t empty_size) {
  uint32_t total = empty_size;
  for (uint32_t s : frame_sizes) total += s;
  std::vector<uint32_t> info;
  info.push_back(static_cast<uint32_t>(frame_sizes.size()));
  info.insert(info.end(), frame_sizes.begin(), frame_sizes.end());
  const std::vector<uint8_t>& bytes = pattern(slot, total);
  raw(slot, kKindAudio, bytes.data(), total, 0, info.data(), dts, pts, duration);
}

void MuxFile::pcm(int32_t slot, uint32_t bytes, int32_t frames, int64_t dts) {
  // The session passes word 0 = frames, word 1 = the packet size, and the
  // frame count as the duration.
  uint32_t info[2] = {static_cast<uint32_t>(frames), bytes};
  const std::vector<uint8_t>& data = pattern(slot, bytes);
  raw(slot, kKindAudio, data.data(), bytes, 0, info, dts, dts, frames);
}

void MuxFile::other(int32_t slot, uint32_t kind, uint32_t size, int64_t dts, int64_t duration) {
  const std::vector<uint8_t>& bytes = pattern(slot, size);
  raw(slot, kind, bytes.data(), size, 1, nullptr, dts, dts, duration);
}

void MuxFile::raw(int32_t slot, uint32_t kind, const uint8_t* data, uint32_t size, uint32_t flags,
                  const void* extra, int64_t dts, int64_t pts, int64_t duration) {
  if (!c) throw std::logic_error("sample after finish");
  mux_add_sample(slot, c, data, size, flags, kind, extra, dts, pts, duration);
}

void MuxFile::write_as_fragments() {
  if (!fragments_begin(c, nullptr, nullptr)) throw std::runtime_error("fragments_begin failed");
  fragments_ = true;
}

const iso::Tree& MuxFile::finish() {
  if (fragments_) {
    fragments_finish(c);
  } else {
    finish_file(c);
  }
  mux_destroy(specs_.data(), static_cast<int32_t>(specs_.size()), c);
  c = nullptr;
  std::fclose(file_);
  file_ = nullptr;
  tree_ = iso::read_file(path);
  return tree_;
}

std::vector<uint8_t> MuxFile::read(uint64_t offset, uint64_t n) const {
  std::vector<uint8_t> out(n);
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw std::runtime_error("cannot open " + path);
  fseeko(f, static_cast<off_t>(offset), SEEK_SET);
  out.resize(std::fread(out.data(), 1, n, f));
  std::fclose(f);
  return out;
}

std::string MuxFile::check_chunks(size_t trak_index, int32_t slot) const {
  const iso::Box* stbl = tree_.find("moov/trak[" + std::to_string(trak_index) + "]/mdia/minf/stbl");
  if (!stbl) return "no stbl";
  const iso::Box* stsc = stbl->find("stsc");
  const iso::Box* stsz = stbl->find("stsz");
  const iso::Box* stco = stbl->find("stco");
  const iso::Box* co64 = stbl->find("co64");
  if (!stsc || !stsz || (!stco == !co64)) return "tables missing";
  const iso::Box& offsets = stco ? *stco : *co64;
  uint32_t chunks = offsets.u32(4);
  uint32_t runs = stsc->u32(4);
  uint32_t constant = stsz->u32(4);
  uint32_t sample = 0;
  uint32_t run = 0;
  // Chunk j is the j-th packet of the slot that carried samples; the pattern
  // index counts every packet, so empty packets are skipped over here.
  uint64_t record = 0;
  for (uint32_t j = 0; j < chunks; ++j) {
    while (run + 1 < runs && stsc->u32(8 + (run + 1) * 12) <= j + 1) ++run;
    uint32_t per_chunk = stsc->u32(8 + run * 12 + 4);
    uint64_t size = 0;
    for (uint32_t k = 0; k < per_chunk; ++k, ++sample) {
      size += constant ? constant : stsz->u32(12 + sample * 4ull);
    }
    uint64_t pos = stco ? offsets.u32(8 + j * 4ull) : offsets.u64(8 + j * 8ull);
    // The packet's header names its slot and index; packets of 0 frames hold
    // bytes too, so indexes may skip but never go back.
    uint64_t shown = size < 64 ? size : 64;
    std::vector<uint8_t> head = read(pos, shown);
    bool found = head.size() == shown;
    if (found && size >= 4) {
      uint64_t index = uint64_t{head[1]} << 16 | uint64_t{head[2]} << 8 | head[3];
      found = head[0] == sample_byte(slot, 0, 0) && index >= record;
      record = index;
    }
    for (uint64_t k = 0; found && k < head.size(); ++k) {
      found = head[k] == sample_byte(slot, record, k);
    }
    if (found && size > 64) {
      std::vector<uint8_t> tail = read(pos + size - 64, 64);
      for (uint64_t k = 0; found && k < 64; ++k) {
        found = tail.size() == 64 && tail[k] == sample_byte(slot, record, size - 64 + k);
      }
    }
    if (!found) {
      return "chunk " + std::to_string(j) + " at " + std::to_string(pos) + " (" +
             std::to_string(size) + " bytes) does not hold the next packet of slot " +
             std::to_string(slot);
    }
    ++record;
  }
  uint32_t count = stsz->u32(8);
  if (sample != count) {
    return "chunks cover " + std::to_string(sample) + " samples, stsz lists " +
           std::to_string(count);
  }
  return "";
}
