// A muxer context over a memory stream for tests that call single box writers.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "output/byte_writer.h"
#include "output/mux.h"
#include "support/box_reader.h"
#include "support/mem_stream.h"
#include "support/test_files.h"

struct BoxContext {
  MemStream mem;
  FILE* file = nullptr;
  std::unique_ptr<MuxContext> ctx;
  MuxContext* c = nullptr;
  uint32_t time_before = 0;  // creation times written meanwhile lie in [before, now]
  std::deque<std::vector<uint32_t>> frame_sizes;
  std::deque<std::vector<CompositionOffsetEntry>> offset_tables;
  std::deque<CompositionOffsetTable> tables;

  explicit BoxContext(uint32_t mode) : ctx(new MuxContext()) {
    c = ctx.get();
    c->mode = mode;
    file = mem.open();
    c->writer = writer_create(1 << 20, file);
    time_before = static_cast<uint32_t>(std::time(nullptr) + 2082844800);
  }
  ~BoxContext() {
    if (c->writer) writer_close(c->writer);
    fclose(file);
    for (MuxTrack& t : c->tracks) {
      for (SampleBlock* b = t.block_first; b;) {
        SampleBlock* next = b->next;
        delete[] b->records;
        delete b;
        b = next;
      }
    }
  }

  // A track in slot `slot` as the muxer's initialisers would leave it, without samples.
  MuxTrack& track(int slot, uint32_t kind, uint32_t codec_id, uint32_t timescale,
                  uint64_t duration) {
    MuxTrack& t = c->tracks[slot];
    t.track_id = static_cast<uint32_t>(slot) + 1;
    t.kind = kind;
    t.kind_copy = kind;
    t.codec_id = codec_id;
    t.timescale = timescale;
    t.duration = duration;
    t.first_cts_offset = -1;
    t.first_pts = -1;
    if (c->track_count <= slot) c->track_count = slot + 1;
    return t;
  }

  // Appends a record the way the muxer stores it: blocks of 10240, linked.
  SampleRecord& add_record(MuxTrack& t, const SampleRecord& r) {
    if (t.entry_count + 1 > t.entry_capacity) {
      SampleBlock* block = new SampleBlock{new SampleRecord[kSampleBlockRecords](), nullptr};
      if (t.block_last) {
        t.block_last->next = block;
      } else {
        t.block_first = block;
      }
      t.block_last = block;
      t.entry_capacity += kSampleBlockRecords;
    }
    SampleRecord& slot = t.block_last->records[t.entry_count % kSampleBlockRecords];
    slot = r;
    ++t.entry_count;
    return slot;
  }

  // A record of one sample.
  SampleRecord& add(MuxTrack& t, int64_t dts, uint64_t pos, uint64_t size, uint32_t flags = 0) {
    t.sample_count += 1;
    return add_record(
        t, SampleRecord{dts, dts, pos, static_cast<uint32_t>(size), 1, flags, 0, nullptr});
  }

  // An audio record holding the given frame sizes (none: a record of 0 samples).
  SampleRecord& add_frames(MuxTrack& t, uint64_t pos, const std::vector<uint32_t>& sizes) {
    uint64_t total = 0;
    for (uint32_t s : sizes) total += s;
    uint32_t* sub = nullptr;
    if (!sizes.empty()) sub = frame_sizes.emplace_back(sizes).data();
    t.sample_count += sizes.size();
    return add_record(t, SampleRecord{0, 0, pos, static_cast<uint32_t>(total),
                                      static_cast<uint32_t>(sizes.size()), 0, 0, sub});
  }

  // Composition offsets as the muxer records them (count 1 each).
  void set_offsets(MuxTrack& t, const std::vector<int32_t>& offsets) {
    auto& entries = offset_tables.emplace_back();
    for (int32_t o : offsets) {
      entries.push_back(CompositionOffsetEntry{1, o});
      if (o > 0) t.ctts_sign = 1;
      if (o < 0) t.ctts_sign = -1;
    }
    tables.push_back(CompositionOffsetTable{entries.data(), static_cast<uint32_t>(entries.size()),
                                            static_cast<uint32_t>(entries.size())});
    t.ctts_table = &tables.back();
  }

  // Everything written so far.
  std::vector<uint8_t> bytes() {
    writer_close(c->writer);
    c->writer = nullptr;
    fflush(file);
    return mem.contents(file);
  }
};

// Checks the 32-bit creation/modification times at the given offsets of a box
// (from its first byte) against the clock, then blanks them, so that the rest
// can be compared with fixed expected bytes.
inline std::vector<uint8_t> blank_times(std::vector<uint8_t> box, uint32_t before,
                                        std::initializer_list<size_t> offsets, int width = 4) {
  uint32_t after = static_cast<uint32_t>(std::time(nullptr) + 2082844800);
  for (size_t off : offsets) {
    if (off + width > box.size()) {
      ADD_FAILURE() << "time field at " << off << " outside the box";
      continue;
    }
    uint64_t v = 0;
    for (int i = 0; i < width; ++i) v = v << 8 | box[off + i];
    EXPECT_GE(v, before) << "time at " << off;
    EXPECT_LE(v, after) << "time at " << off;
    for (int i = 0; i < width; ++i) box[off + i] = 0;
  }
  return box;
}

// Compares bytes as readable hex so that a failure shows both sides.
#define EXPECT_BYTES(actual, expected_hex) \
  EXPECT_EQ(iso::hex(actual), iso::hex(hex_bytes(expected_hex)))
