// One real file of about 4.3 GB through the muxer and the movie tree: the
// 64-bit mdat size, co64 for the track that ends beyond 4 GiB (its small
// offsets too), stco for the track that ends below, and every chunk where the
// tables say.
#include <gtest/gtest.h>

#include <string>

#include "boxes/boxes.h"
#include "support/box_reader.h"
#include "support/mux_file.h"

namespace {

TEST(MovieLarge, FileBeyond4GiB) {
  MuxFile f("movie_large.mp4", kModeMp4,
            {track_spec(0, kKindVideo, kCodecH264), track_spec(1, kKindAudio, kCodecAac)});
  constexpr uint32_t kBig = 64u << 20;
  constexpr int64_t kFrame = 333667;
  uint64_t payload = 0;
  int frame = 0;
  auto video = [&](uint32_t size) {
    f.video(0, size, frame * kFrame, frame * kFrame, frame % 30 == 0);
    payload += size;
    ++frame;
  };
  // Small frames and audio first, then big frames until the data passes
  // 4 GiB, then a few small frames that start beyond it.
  for (int i = 0; i < 10; ++i) {
    video(1000 + i);
    f.audio(1, {200, 201}, i * 464399ll, i * 464399ll, 2048);
    payload += 401;
  }
  while (payload < 0x100000000ull + kBig) video(kBig);
  for (int i = 0; i < 3; ++i) video(500);

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

}  // namespace
