// A real file beyond 4 GiB: the media-data box gets the 64-bit size form and
// positions past 32 bits come out right.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "output/mux.h"
#include "support/box_reader.h"
#include "support/test_files.h"

namespace {

TEST(OutputLarge, MediaDataBeyond4GiBUsesTheLargeSize) {
  std::string path = test_temp_path("output_large.mp4");
  FILE* file = fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  TrackSpec track_spec;
  track_spec.index = 0;
  track_spec.kind = kKindVideo;
  MuxContext* c = mux_create(&track_spec, 1, kModeMp4, file);
  ASSERT_NE(c, nullptr);
  int64_t ftyp = open_box(c->writer, "ftyp");
  put_tag(c->writer, "isom");
  patch_box_size(c->writer, ftyp);

  // 75 samples, most of 64 MiB + 3 (each bypasses the 8 MiB buffer), a small one
  // between them now and then so that buffered and direct writes alternate.
  constexpr uint32_t kBig = (64u << 20) + 3;
  std::vector<uint8_t> big(kBig), small(1000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 13 + 1);
  for (size_t i = 0; i < small.size(); ++i) small[i] = static_cast<uint8_t>(0xA0 + i % 7);
  uint64_t payload = 0;
  int64_t dts = 0;
  for (int i = 0; i < 75; ++i) {
    const std::vector<uint8_t>& sample = i % 8 == 7 ? small : big;
    ASSERT_EQ(mux_add_sample(0, c, sample.data(), static_cast<uint32_t>(sample.size()), 1,
                             kKindVideo, nullptr, dts, dts, 0),
              0);
    payload += sample.size();
    dts += 333667;
  }
  ASSERT_EQ(mux_add_sample(0, c, small.data(), 1000, 0, kKindVideo, nullptr, dts, dts, 0), 0);
  payload += 1000;
  ASSERT_GT(payload, 0x100000000ull);
  MuxTrack* t = &c->tracks[0];
  SampleRecord* last = mux_last_record(t);
  EXPECT_EQ(last->pos, c->mdat_pos + 16 + payload - 1000);
  EXPECT_GT(last->pos, 0xFFFFFFFFull);

  int64_t mdat_size = patch_box_size(c->writer, static_cast<int64_t>(c->mdat_pos));
  EXPECT_EQ(static_cast<uint64_t>(mdat_size), 16 + payload);
  EXPECT_EQ(writer_flush(c->writer), 0);
  uint64_t last_pos = last->pos;
  EXPECT_GT(mux_record(t, 74)->pos, 0xFFFFFFFFull);
  uint64_t big_pos = mux_record(t, 74)->pos;  // a large sample beyond 4 GiB
  mux_destroy(&track_spec, 1, c);
  fclose(file);

  iso::Tree tree = iso::read_file(path);
  ASSERT_EQ(tree.types(), (std::vector<std::string>{"ftyp", "free", "mdat"})) << tree.dump();
  const iso::Box& mdat = tree.at("mdat");
  EXPECT_TRUE(mdat.large_size);
  EXPECT_EQ(mdat.header_size, 16u);
  EXPECT_EQ(mdat.offset, 20u);
  EXPECT_EQ(mdat.size, 16 + payload);
  EXPECT_EQ(tree.input_size, 36 + payload);

  FILE* in = fopen(path.c_str(), "rb");
  ASSERT_NE(in, nullptr);
  std::vector<uint8_t> got(1000);
  ASSERT_EQ(fseeko(in, static_cast<off_t>(last_pos), SEEK_SET), 0);
  ASSERT_EQ(fread(got.data(), 1, 1000, in), 1000u);
  EXPECT_EQ(got, small);
  ASSERT_EQ(fseeko(in, static_cast<off_t>(big_pos + kBig - 1000), SEEK_SET), 0);
  ASSERT_EQ(fread(got.data(), 1, 1000, in), 1000u);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), big.end() - 1000));
  fclose(in);
  remove(path.c_str());
}

}  // namespace
