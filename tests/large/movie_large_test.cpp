// One real file of about 4.3 GB through the muxer and the movie tree: the
// 64-bit mdat size, co64 for the track that ends beyond 4 GiB (its small
// offsets too), stco for the track that ends below, and every chunk where the
// tables say.
#include <gtest/gtest.h>

#include <string>

#include "boxes/boxes.h"
#include "support/box_reader.h"
#include "support/mux_file.h"
#include "support/track_samples.h"

namespace {

// Small frames and audio first, then 64 MiB frames until the data passes
// 4 GiB, then a few small frames that start beyond it. Returns the bytes
// written and the video frames.
struct Written {
  uint64_t payload;
  int frame;
};

Written write_past_4gib(MuxFile& f) {
  constexpr uint32_t kBig = 64u << 20;
  constexpr int64_t kFrame = 333667;
  uint64_t payload = 0;
  int frame = 0;
  auto video = [&](uint32_t size) {
    f.video(0, size, frame * kFrame, frame * kFrame, frame % 30 == 0);
    payload += size;
    ++frame;
  };
  for (int i = 0; i < 10; ++i) {
    video(1000 + i);
    f.audio(1, {200, 201}, i * 464399ll, i * 464399ll, 2048);
    payload += 401;
  }
  while (payload < 0x100000000ull + kBig) video(kBig);
  for (int i = 0; i < 3; ++i) video(500);
  return {payload, frame};
}

TEST(MovieLarge, FileBeyond4GiB) {
  MuxFile f("movie_large.mp4", kModeMp4,
            {track_spec(0, kKindVideo, kCodecH264), track_spec(1, kKindAudio, kCodecAac)});
  const auto [payload, frame] = write_past_4gib(f);

  const iso::Tree& tree = f.finish();
  SCOPED_TRACE(tree.dump());
  EXPECT_EQ(tree.types(), (std::vector<std::string>{"ftyp", "free", "mdat", "moov"}));

  // mdat: size field 1, the whole box size (header included) in the large-size field.
  const iso::Box& mdat = tree.at("mdat");
  EXPECT_TRUE(mdat.large_size);
  EXPECT_FALSE(mdat.loaded);  // stays on disk
  EXPECT_EQ(mdat.offset, 32u);
  EXPECT_EQ(mdat.size, 16 + payload);
  EXPECT_EQ(iso::hex(f.read(32, 8)), "00 00 00 01 6d 64 61 74");
  EXPECT_EQ(tree.at("moov").offset, 32 + 16 + payload);
  EXPECT_EQ(tree.input_size, tree.at("moov").offset + tree.at("moov").size);

  // The video track ends beyond 4 GiB: all of its offsets are 64-bit, the
  // first one (48, right behind the mdat header) included.
  const iso::Box& video_stbl = tree.at("moov/trak[0]/mdia/minf/stbl");
  EXPECT_EQ(video_stbl.find("stco"), nullptr);
  const iso::Box& co64 = video_stbl.at("co64");
  EXPECT_EQ(co64.u32(4), static_cast<uint32_t>(frame));
  EXPECT_EQ(co64.u64(8), 48u);
  EXPECT_GT(co64.u64(8 + (frame - 1) * 8ull), 0xFFFFFFFFull);
  EXPECT_EQ(co64.u64(8 + (frame - 1) * 8ull), 32 + 16 + payload - 500);
  EXPECT_EQ(video_stbl.at("stsz").u32(8), static_cast<uint32_t>(frame));

  // The audio track ends early and keeps 32-bit offsets.
  const iso::Box& audio_stbl = tree.at("moov/trak[1]/mdia/minf/stbl");
  EXPECT_EQ(audio_stbl.find("co64"), nullptr);
  EXPECT_EQ(audio_stbl.at("stco").u32(4), 10u);

  EXPECT_EQ(f.check_chunks(0, 0), "");
  EXPECT_EQ(f.check_chunks(1, 1), "");
}

// The same file written as fragments (resilient writing): every fragment's
// media data stays below 4 GiB (fragments close at 32 MiB), the moofs count
// from their own start, and the finished file's tables give the video track
// co64 and the audio track stco, with every chunk where they say.
TEST(MovieLarge, ResilientFileBeyond4GiB) {
  MuxFile f("movie_large_resilient.mp4", kModeMp4,
            {track_spec(0, kKindVideo, kCodecH264), track_spec(1, kKindAudio, kCodecAac)});
  f.write_as_fragments();
  const auto [payload, frame] = write_past_4gib(f);

  const iso::Tree& tree = f.finish();
  SCOPED_TRACE(tree.dump());
  const std::vector<std::string> types = tree.types();
  ASSERT_GE(types.size(), 4u);
  EXPECT_EQ(types.front(), "ftyp");
  EXPECT_EQ(types.back(), "moov");
  size_t mdats = 0;
  for (const iso::Box& box : tree.boxes) {
    if (box.type != "mdat") continue;
    ++mdats;
    EXPECT_FALSE(box.large_size) << box.offset;
  }
  EXPECT_GE(mdats, 60u);
  EXPECT_EQ(tree.find("moof"), nullptr);

  const iso::Box& video_stbl = tree.at("moov/trak[0]/mdia/minf/stbl");
  EXPECT_EQ(video_stbl.find("stco"), nullptr);
  const iso::Box& co64 = video_stbl.at("co64");
  EXPECT_GT(co64.u64(8 + (co64.u32(4) - 1) * 8ull), 0xFFFFFFFFull);
  EXPECT_EQ(video_stbl.at("stsz").u32(8), static_cast<uint32_t>(frame));
  const iso::Box& audio_stbl = tree.at("moov/trak[1]/mdia/minf/stbl");
  EXPECT_EQ(audio_stbl.find("co64"), nullptr);
  EXPECT_NE(audio_stbl.find("stco"), nullptr);

  // A chunk is a run of samples here: each sample is checked where the
  // tables put it, by the first bytes of its packet's pattern.
  const TrackSamples video_samples = read_track_samples(tree.at("moov/trak[0]"));
  ASSERT_EQ(video_samples.samples.size(), static_cast<size_t>(frame));
  for (size_t i = 0; i < video_samples.samples.size(); ++i) {
    const TrackSample& sample = video_samples.samples[i];
    const std::vector<uint8_t> head = f.read(sample.offset, 8);
    for (uint64_t k = 0; k < head.size(); ++k)
      ASSERT_EQ(head[k], sample_byte(0, i, k)) << "video sample " << i;
  }
  const TrackSamples audio_samples = read_track_samples(tree.at("moov/trak[1]"));
  ASSERT_EQ(audio_samples.samples.size(), 20u);
  for (size_t i = 0; i < audio_samples.samples.size(); ++i) {
    const TrackSample& sample = audio_samples.samples[i];
    const uint64_t in_packet = i % 2 == 0 ? 0 : 200;
    const std::vector<uint8_t> head = f.read(sample.offset, 8);
    for (uint64_t k = 0; k < head.size(); ++k)
      ASSERT_EQ(head[k], sample_byte(1, i / 2, in_packet + k)) << "audio sample " << i;
  }
}

}  // namespace
