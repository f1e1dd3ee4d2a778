#include "support/box_output.h"

#include <cstring>

BoxOutput::BoxOutput(uint32_t mode) : ctx_(std::make_unique<MuxContext>()) {
  file_ = mem_.open();
  ctx_->mode = mode;
  ctx_->writer = writer_create(kMuxWriterCapacity, file_);
}

BoxOutput::~BoxOutput() {
  if (ctx_->writer != nullptr) writer_close(ctx_->writer);
  if (file_ != nullptr) fclose(file_);
}

MuxTrack* BoxOutput::track(int i, uint32_t kind) {
  MuxTrack* t = &ctx_->tracks[i];
  t->track_id = static_cast<uint32_t>(i + 1);
  t->kind = kind;
  t->kind_copy = kind;
  return t;
}

void BoxOutput::give_video_scratch(MuxTrack* t) {
  scratch_.push_back(std::make_unique<uint8_t[]>(kVideoScratchSize));
  t->audio_config = scratch_.back().get();
  std::memset(t->audio_config, 0xEE, kVideoScratchSize);  // not zeroed: writers must not rely on it
  t->audio_config_size = 0;
}

void BoxOutput::add_record(MuxTrack* t, uint32_t size, uint32_t samples, uint32_t flags) {
  if (t->block_first == nullptr || t->entry_count == t->entry_capacity) {
    record_arrays_.push_back(std::make_unique<SampleRecord[]>(kSampleBlockRecords));
    blocks_.push_back(std::make_unique<SampleBlock>());
    SampleBlock* block = blocks_.back().get();
    block->records = record_arrays_.back().get();
    block->next = nullptr;
    if (t->block_first == nullptr) {
      t->block_first = block;
    } else {
      t->block_last->next = block;
    }
    t->block_last = block;
    t->entry_capacity += kSampleBlockRecords;
  }
  SampleRecord& r = t->block_last->records[t->entry_count % kSampleBlockRecords];
  r.size = size;
  r.samples = samples;
  r.flags = flags;
  t->entry_count += 1;
}

std::vector<uint8_t> BoxOutput::bytes() const {
  fflush(file_);
  std::vector<uint8_t> out = mem_.contents(file_);
  const ByteWriter* w = ctx_->writer;
  out.insert(out.end(), w->buf_start, w->buf_ptr);
  return out;
}

std::vector<uint8_t> BoxOutput::bytes_from(int64_t from) const {
  std::vector<uint8_t> all = bytes();
  if (from >= static_cast<int64_t>(all.size())) return {};
  return std::vector<uint8_t>(all.begin() + from, all.end());
}
