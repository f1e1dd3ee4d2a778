// A MuxContext whose writer goes to memory, for tests that write single boxes or
// sample entries without a whole file around them. Tracks are zeroed records the
// test fills in; sample records can be added without the muxer's intake.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "output/mux.h"
#include "support/mem_stream.h"

class BoxOutput {
 public:
  explicit BoxOutput(uint32_t mode = kModeMp4);
  ~BoxOutput();
  BoxOutput(const BoxOutput&) = delete;
  BoxOutput& operator=(const BoxOutput&) = delete;

  MuxContext* ctx() { return ctx_.get(); }
  ByteWriter* writer() { return ctx_->writer; }
  // Track i, with track_id i + 1 and the given kind.
  MuxTrack* track(int i = 0, uint32_t kind = kKindVideo);
  // Gives the track the 1024-byte scratch buffer a video track has.
  void give_video_scratch(MuxTrack* t);
  // Appends a sample record (blocks of kSampleBlockRecords, as the muxer keeps them).
  void add_record(MuxTrack* t, uint32_t size, uint32_t samples, uint32_t flags = 0);
  // Everything written so far (flushed bytes and the writer's buffer).
  std::vector<uint8_t> bytes() const;
  // Bytes written from position `from` on.
  std::vector<uint8_t> bytes_from(int64_t from) const;

 private:
  MemStream mem_;
  FILE* file_ = nullptr;
  std::unique_ptr<MuxContext> ctx_;
  std::vector<std::unique_ptr<SampleRecord[]>> record_arrays_;
  std::vector<std::unique_ptr<SampleBlock>> blocks_;
  std::vector<std::unique_ptr<uint8_t[]>> scratch_;
};
