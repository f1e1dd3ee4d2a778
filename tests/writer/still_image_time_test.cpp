// The still-image-time sample of a Live Photo movie.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "output/mux.h"
#include "writer/live_photo.h"

namespace {

struct Movie {
  TrackSpec specs[kMaxTracks];
  int32_t count = 0;
  FILE* file = std::tmpfile();
  MuxContext* c = nullptr;

  void add(int32_t kind, uint32_t codec) {
    specs[count] = {count, kind, codec, nullptr, 0, 0};
    ++count;
  }
  void create() { c = mux_create(specs, count, kModeMov, file); }
  ~Movie() {
    mux_destroy(specs, count, c);
    std::fclose(file);
  }
  std::vector<uint8_t> bytes_at(uint64_t pos, size_t n) {
    writer_flush(c->writer);
    std::vector<uint8_t> out(n);
    std::fseek(file, static_cast<long>(pos), SEEK_SET);
    EXPECT_EQ(std::fread(out.data(), 1, n, file), n);
    std::fseek(file, 0, SEEK_END);
    return out;
  }
};

MxVideoFrame frame_at(int64_t dts, int64_t pts) {
  MxVideoFrame f{};
  f.dts = dts;
  f.pts = pts;
  return f;
}

TEST(StillImageTime, OneSampleAtTheFirstFrame) {
  Movie movie;
  movie.add(kKindVideo, kCodecH264);
  movie.add(kKindAudio, kCodecAac);
  movie.add(kKindTimedMetadata, kCodecTimedMetadata);
  movie.create();
  ASSERT_NE(movie.c, nullptr);
  uint32_t written = 0;
  const MxVideoFrame first = frame_at(400000, 1200000);
  const MxVideoFrame second = frame_at(800000, 800000);
  write_still_image_time(movie.c, movie.specs, movie.count, &first, &written);
  write_still_image_time(movie.c, movie.specs, movie.count, &second, &written);
  EXPECT_EQ(written, 1u);

  MuxTrack* t = &movie.c->tracks[2];
  ASSERT_EQ(t->entry_count, 1u);
  const SampleRecord* r = mux_record(t, 0);
  EXPECT_EQ(r->dts, 400000);
  EXPECT_EQ(r->pts, 1200000);
  EXPECT_EQ(r->size, 9u);
  EXPECT_EQ(r->flags, 1u);
  EXPECT_EQ(movie.bytes_at(r->pos, 9), (std::vector<uint8_t>{0, 0, 0, 9, 0, 0, 0, 1, 0}));
  EXPECT_EQ(movie.c->tracks[0].entry_count, 0u);
  EXPECT_EQ(movie.c->tracks[1].entry_count, 0u);
}

TEST(StillImageTime, NothingWithoutAMetadataTrack) {
  Movie movie;
  movie.add(kKindVideo, kCodecH264);
  movie.create();
  ASSERT_NE(movie.c, nullptr);
  uint32_t written = 0;
  const MxVideoFrame frame = frame_at(0, 0);
  write_still_image_time(movie.c, movie.specs, movie.count, &frame, &written);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(movie.c->tracks[0].entry_count, 0u);
  EXPECT_EQ(movie.c->mdat_started, 0u);
}

}  // namespace
