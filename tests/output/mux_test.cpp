#include "output/mux.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/box_reader.h"
#include "support/mem_stream.h"
#include "support/test_files.h"

namespace {

using Bytes = std::vector<uint8_t>;

TrackSpec track_spec(int32_t index, int32_t kind, uint32_t codec = 0, uint32_t enable_hint = 0) {
  TrackSpec s;
  s.index = index;
  s.kind = kind;
  s.codec_id = codec;
  s.enable_hint = enable_hint;
  return s;
}

// A context over a recording memory stream.
struct Mux {
  MemStream mem;
  FILE* file = nullptr;
  std::vector<TrackSpec> specs;
  MuxContext* c = nullptr;

  explicit Mux(std::vector<TrackSpec> s, uint32_t mode = kModeMp4) : specs(std::move(s)) {
    file = mem.open();
    c = mux_create(specs.data(), static_cast<int32_t>(specs.size()), mode, file);
  }
  ~Mux() {
    if (c != nullptr) destroy();
    fclose(file);
  }
  void destroy() {
    mux_destroy(specs.data(), static_cast<int32_t>(specs.size()), c);
    c = nullptr;
    fflush(file);
  }
  MuxTrack& track(int i) { return c->tracks[i]; }
  int64_t tell() { return writer_tell(c->writer); }
};

int32_t add_video(Mux& m, int track, const Bytes& data, int64_t dts, int64_t pts,
                  uint32_t flags = 0, const int32_t* cts = nullptr) {
  return mux_add_sample(track, m.c, data.data(), static_cast<uint32_t>(data.size()), flags,
                        kKindVideo, cts, dts, pts, 0);
}

// The frame info of an audio packet: n, then n values.
std::vector<int32_t> frame_info(std::vector<uint32_t> values, int32_t n) {
  std::vector<int32_t> info{n};
  for (uint32_t v : values) info.push_back(static_cast<int32_t>(v));
  return info;
}

TEST(MuxContext, CreationAppliesPerKindDefaults) {
  Mux m(
      {track_spec(0, kKindVideo, kCodecH264), track_spec(1, kKindAudio, kCodecAac, 1),
       track_spec(2, kKindTimecode, kCodecTimecode, 1), track_spec(3, kKindTimedMetadata, 104, 1)},
      kModeMov);
  ASSERT_NE(m.c, nullptr);
  EXPECT_EQ(m.c->mode, kModeMov);
  EXPECT_EQ(m.c->track_count, 4);
  EXPECT_EQ(m.c->mdat_started, 0u);
  EXPECT_EQ(m.c->metadata.cover_art, nullptr);
  EXPECT_EQ(m.tell(), 0);  // nothing written before the first sample

  struct Expect {
    int slot;
    uint32_t kind, timescale, sample_duration, codec, channels, bits, bit_rate, width, height;
    float frame_rate;
    uint32_t enable_hint;
  };
  const Expect expects[] = {
      {0, kKindVideo, 30000, 1001, 0, 0, 0, 0, 320, 240, 29.97f, 0},
      {1, kKindAudio, 44100, 1024, 0, 2, 16, 64000, 0, 0, 0.0f, 1},
      {2, kKindTimecode, 600, 40, 2, 0, 0, 0, 0, 0, 0.0f, 1},
      {3, kKindTimedMetadata, 600, 40, 2, 0, 0, 0, 0, 0, 0.0f, 1},
  };
  for (const Expect& e : expects) {
    SCOPED_TRACE(e.slot);
    const MuxTrack& t = m.track(e.slot);
    EXPECT_EQ(t.track_id, static_cast<uint32_t>(e.slot) + 1);
    EXPECT_EQ(t.kind, e.kind);
    EXPECT_EQ(t.kind_copy, e.kind);
    EXPECT_EQ(t.timescale, e.timescale);
    EXPECT_EQ(t.sample_duration, e.sample_duration);
    EXPECT_EQ(t.codec_id, e.codec);  // the session sets the real codec later
    EXPECT_EQ(t.channels, e.channels);
    EXPECT_EQ(t.bits_per_sample, e.bits);
    EXPECT_EQ(t.bit_rate, e.bit_rate);
    EXPECT_EQ(t.width, e.width);
    EXPECT_EQ(t.height, e.height);
    EXPECT_FLOAT_EQ(t.frame_rate, e.frame_rate);
    EXPECT_EQ(t.enable_hint, e.enable_hint);
    EXPECT_EQ(t.first_pts, -1);
    EXPECT_EQ(t.first_cts_offset, -1);
    EXPECT_EQ(t.entry_count, 0u);
    EXPECT_EQ(t.entry_capacity, kSampleBlockRecords);
    ASSERT_NE(t.block_first, nullptr);
    EXPECT_EQ(t.block_first, t.block_last);
    EXPECT_EQ(t.block_first->next, nullptr);
    EXPECT_EQ(t.duration, 0u);
    EXPECT_EQ(t.sample_count, 0u);
    EXPECT_EQ(t.timestamp_durations, 0u);
    EXPECT_EQ(t.language, nullptr);
  }
  // Only video gets the scratch buffer (with the shared bit writer on it) and a composition table.
  const MuxTrack& v = m.track(0);
  ASSERT_NE(v.audio_config, nullptr);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(m.c->bits.buf), v.audio_config);
  EXPECT_EQ(m.c->bits.end, v.audio_config + kVideoScratchSize);
  EXPECT_EQ(m.c->bits.bit_count, 0);
  ASSERT_NE(v.ctts_table, nullptr);
  EXPECT_EQ(v.ctts_table->capacity, 1024u);
  EXPECT_EQ(v.ctts_table->count, 0u);
  EXPECT_EQ(v.extradata, nullptr);
  EXPECT_EQ(v.extradata2, nullptr);
  for (int slot : {1, 2, 3}) {
    EXPECT_EQ(m.track(slot).audio_config, nullptr);
    EXPECT_EQ(m.track(slot).ctts_table, nullptr);
  }
  // Unused slots stay zeroed.
  EXPECT_EQ(m.track(4).block_first, nullptr);
  EXPECT_EQ(m.track(4).track_id, 0u);
  // The display transformation starts as the identity: a, b, c, d, tx, ty.
  EXPECT_EQ(std::vector<int32_t>(m.c->display_params, m.c->display_params + 6),
            (std::vector<int32_t>{1, 0, 0, 1, 0, 0}));
}

TEST(MuxContext, CreationSkipsUnusableSpecs) {
  Mux m({track_spec(2, kKindAudio), track_spec(-1, kKindVideo), track_spec(16, kKindVideo),
         track_spec(5, 7), track_spec(6, kKindUnused), track_spec(2, kKindVideo)});
  ASSERT_NE(m.c, nullptr);
  EXPECT_EQ(m.c->track_count, 6);
  EXPECT_EQ(m.track(2).kind,
            static_cast<uint32_t>(kKindAudio));  // the first track_spec of slot 2 wins
  EXPECT_EQ(m.track(2).ctts_table, nullptr);
  for (int slot : {0, 1, 3, 4, 5, 6, 15}) EXPECT_EQ(m.track(slot).block_first, nullptr);

  std::vector<TrackSpec> many(20, track_spec(0, kKindUnused));
  MemStream mem;
  FILE* f = mem.open();
  MuxContext* c = mux_create(many.data(), 20, kModeMp4, f);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->track_count, kMaxTracks);
  mux_destroy(many.data(), 20, c);
  c = mux_create(nullptr, 3, kModeMp4, f);
  ASSERT_NE(c, nullptr);
  mux_destroy(nullptr, 3, c);
  fclose(f);
}

TEST(MuxContext, FirstSampleOpensTheMediaData) {
  struct Case {
    uint32_t mode;
    const char* filler;
  };
  const Case cases[] = {
      {kModeMp4, "free"}, {kModeMov, "wide"}, {kMode3gp, "free"}, {kModeM4a, "free"}, {42, "free"}};
  for (const Case& cs : cases) {
    SCOPED_TRACE(cs.mode);
    std::string path = test_temp_path("mux_first_sample.mp4");
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::vector<TrackSpec> specs{track_spec(0, kKindVideo, kCodecH264),
                                 track_spec(1, kKindAudio, kCodecAac)};
    MuxContext* c = mux_create(specs.data(), 2, cs.mode, file);
    // Something ahead of the media data, as the file-type box is.
    int64_t ftyp = open_box(c->writer, "ftyp");
    put_tag(c->writer, "isom");
    patch_box_size(c->writer, ftyp);

    Bytes audio(50, 0xaa), video(70, 0x77);
    auto info = frame_info({50}, 1);
    ASSERT_EQ(mux_add_sample(1, c, audio.data(), 50, 0, kKindAudio, info.data(), 0, 0, 1024), 0);
    EXPECT_EQ(c->mdat_started, 1u);
    EXPECT_EQ(c->mdat_pos, 12u + 8u);
    SampleRecord* first = mux_record(&c->tracks[1], 0);
    EXPECT_EQ(first->pos, c->mdat_pos + 16);
    ASSERT_EQ(mux_add_sample(0, c, video.data(), 70, 1, kKindVideo, nullptr, 0, 0, 0), 0);
    EXPECT_EQ(mux_record(&c->tracks[0], 0)->pos, c->mdat_pos + 16 + 50);  // no second header
    EXPECT_EQ(patch_box_size(c->writer, static_cast<int64_t>(c->mdat_pos)), 16 + 50 + 70);
    mux_destroy(specs.data(), 2, c);
    fclose(file);

    iso::Tree tree = iso::read_file(path);
    ASSERT_EQ(tree.types(), (std::vector<std::string>{"ftyp", cs.filler, "mdat"})) << tree.dump();
    const iso::Box& mdat = tree.at("mdat");
    EXPECT_EQ(mdat.offset, 20u);
    EXPECT_EQ(mdat.size, 136u);
    EXPECT_FALSE(mdat.large_size);
    Bytes file_bytes = read_whole_file(path);
    Bytes head(file_bytes.begin() + 12, file_bytes.begin() + 36);
    Bytes expect = hex_bytes("00 00 00 08");
    for (int i = 0; i < 4; ++i) expect.push_back(static_cast<uint8_t>(cs.filler[i]));
    Bytes rest = hex_bytes(R"(
      00 00 00 88 6d 64 61 74   # mdat, size patched above
      00 00 00 00 00 00 00 00   # room for a 64-bit size, left as payload
    )");
    expect.insert(expect.end(), rest.begin(), rest.end());
    EXPECT_EQ(head, expect);
    EXPECT_EQ(file_bytes[36], 0xaa);
    EXPECT_EQ(file_bytes[36 + 50], 0x77);
    remove(path.c_str());
  }
}

TEST(MuxContext, NoSampleNoMediaData) {
  Mux m({track_spec(0, kKindVideo)});
  m.destroy();
  EXPECT_EQ(m.mem.length, 0);
}

TEST(MuxContext, RecordFieldsByKind) {
  Mux m({track_spec(0, kKindVideo, kCodecH264), track_spec(1, kKindAudio),
         track_spec(2, kKindTimedMetadata), track_spec(3, kKindTimecode)});
  mux_set_codec(0, m.c, kCodecH264);
  mux_set_codec(1, m.c, kCodecAac);
  mux_set_codec(3, m.c, kCodecTimecode);
  Bytes v(100, 1), a(30, 2), md(9, 3), tc(4, 4);
  const int32_t cts = 2002;
  ASSERT_EQ(add_video(m, 0, v, 1000, 3002, 1, &cts), 0);
  auto info = frame_info({10, 12, 8}, 3);
  ASSERT_EQ(mux_add_sample(1, m.c, a.data(), 30, 1, kKindAudio, info.data(), 500, 600, 3072), 0);
  ASSERT_EQ(mux_add_sample(2, m.c, md.data(), 9, 1, kKindTimedMetadata, nullptr, 7, 8, 0), 0);
  ASSERT_EQ(mux_add_sample(3, m.c, tc.data(), 4, 1, kKindTimecode, nullptr, 9, 10, 1001), 0);

  SampleRecord* rv = mux_record(&m.track(0), 0);
  EXPECT_EQ(rv->pts, 3002);
  EXPECT_EQ(rv->dts, 1000);
  EXPECT_EQ(rv->pos, 24u);
  EXPECT_EQ(rv->size, 100u);
  EXPECT_EQ(rv->samples, 1u);
  EXPECT_EQ(rv->flags, 1u);
  EXPECT_EQ(rv->sub_sizes, nullptr);
  EXPECT_EQ(m.track(0).duration, 1001u);
  EXPECT_EQ(m.track(0).sample_count, 1u);
  EXPECT_EQ(m.track(0).ctts_table->count, 1u);

  SampleRecord* ra = mux_record(&m.track(1), 0);
  EXPECT_EQ(ra->pts, 600);
  EXPECT_EQ(ra->dts, 500);
  EXPECT_EQ(ra->pos, 124u);
  EXPECT_EQ(ra->size, 30u);
  EXPECT_EQ(ra->samples, 3u);
  EXPECT_EQ(ra->flags, 0u);  // audio records leave it clear
  ASSERT_NE(ra->sub_sizes, nullptr);
  EXPECT_EQ(std::vector<uint32_t>(ra->sub_sizes, ra->sub_sizes + 3),
            (std::vector<uint32_t>{10, 12, 8}));
  EXPECT_EQ(m.track(1).sample_count, 3u);
  EXPECT_EQ(m.track(1).duration, 3072u);

  SampleRecord* rm = mux_record(&m.track(2), 0);
  EXPECT_EQ(rm->pos, 154u);
  EXPECT_EQ(rm->samples, 1u);
  EXPECT_EQ(rm->flags, 1u);
  EXPECT_EQ(m.track(2).duration, 40u);  // its sample_duration, not the given one

  SampleRecord* rt = mux_record(&m.track(3), 0);
  EXPECT_EQ(rt->pos, 163u);
  EXPECT_EQ(rt->size, 4u);
  EXPECT_EQ(m.track(3).duration, 1001u);  // the given duration
  EXPECT_EQ(m.tell(), 167);

  // A null data pointer appends nothing; the record says so.
  ASSERT_EQ(mux_add_sample(3, m.c, nullptr, 50, 1, kKindTimecode, nullptr, 11, 11, 1001), 0);
  EXPECT_EQ(m.track(3).entry_count, 2u);
  EXPECT_EQ(mux_record(&m.track(3), 1)->pos, 167u);
  EXPECT_EQ(mux_record(&m.track(3), 1)->size, 0u);
  EXPECT_EQ(m.tell(), 167);

  for (int t = 0; t < 4; ++t) EXPECT_EQ(mux_record(&m.track(t), 5), nullptr);
}

// A sample in pieces is one record of their total size at the position of
// its first byte, its bytes one after the other in the file; no pieces record
// an empty sample; a total a record's 32-bit size cannot hold is refused and
// leaves no trace (nothing recorded, nothing written).
TEST(MuxContext, SampleInPieces) {
  Mux m({track_spec(0, kKindVideo, kCodecH264)});
  const Bytes a(5, 0xa1), b(70000, 0xb2), c(3, 0xc3);
  const int32_t cts = 0;
  const WriteSpan small[] = {{a.data(), a.size()}, {nullptr, 0}, {c.data(), c.size()}};
  const WriteSpan large[] = {{c.data(), c.size()}, {b.data(), b.size()}};
  ASSERT_EQ(mux_add_sample_spans(0, m.c, small, 3, 1, kKindVideo, &cts, 0, 0, 0), 0);
  ASSERT_EQ(mux_add_sample_spans(0, m.c, large, 2, 0, kKindVideo, &cts, 10, 10, 0), 0);
  ASSERT_EQ(mux_add_sample_spans(0, m.c, nullptr, 0, 0, kKindVideo, &cts, 20, 20, 0), 0);
  const WriteSpan huge[] = {{b.data(), 0xFFFFFFFFu}, {c.data(), 1}};
  EXPECT_EQ(mux_add_sample_spans(0, m.c, huge, 2, 0, kKindVideo, &cts, 30, 30, 0), -1);

  ASSERT_EQ(m.track(0).entry_count, 3u);
  struct Expect {
    uint64_t pos;
    uint32_t size, flags;
  };
  const Expect expect[] = {{24, 8, 1}, {32, 70003, 0}, {70035, 0, 0}};
  for (uint32_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const SampleRecord* r = mux_record(&m.track(0), i);
    EXPECT_EQ(r->pos, expect[i].pos);
    EXPECT_EQ(r->size, expect[i].size);
    EXPECT_EQ(r->flags, expect[i].flags);
  }
  EXPECT_EQ(m.track(0).sample_count, 3u);
  EXPECT_EQ(m.tell(), 70035);
  m.destroy();
  Bytes media;
  for (const Bytes* part : {&a, &c, &c, &b}) media.insert(media.end(), part->begin(), part->end());
  ASSERT_GE(m.mem.data.size(), 24 + media.size());
  EXPECT_TRUE(Bytes(m.mem.data.begin() + 24, m.mem.data.begin() + 24 + media.size()) == media);
}

TEST(MuxContext, FirstTimesAreTakenFromTheFirstSample) {
  struct Case {
    int64_t dts, pts, cts_offset;
  };
  for (const Case& cs : {Case{0, 0, 0}, Case{1000, 3002, 2002}, Case{5000, 5000, 0}}) {
    Mux m({track_spec(0, kKindVideo, kCodecH264)});
    Bytes v(10, 0);
    add_video(m, 0, v, cs.dts, cs.pts);
    add_video(m, 0, v, cs.dts + 333667, cs.pts + 999999);
    EXPECT_EQ(m.track(0).first_cts_offset, cs.cts_offset);
    EXPECT_EQ(m.track(0).first_dts, cs.dts);
    EXPECT_EQ(m.track(0).first_pts, cs.pts);
  }
}

TEST(MuxContext, VideoDuration) {
  Bytes v(10, 0);
  {
    Mux m({track_spec(0, kKindVideo)});
    mux_set_frame_rate(0, m.c, 29.97f, 1);
    for (int64_t dts : {0, 333667, 667334}) add_video(m, 0, v, dts, dts);
    EXPECT_EQ(m.track(0).duration, 3003u);
  }
  {
    Mux m({track_spec(0, kKindVideo)});  // constant rate: one sample_duration per frame
    for (int64_t dts : {0, 400000, 900000}) add_video(m, 0, v, dts, dts);
    EXPECT_EQ(m.track(0).duration, 3003u);
  }
  {
    Mux m({track_spec(0, kKindVideo)});  // time stamps far apart and out of order
    mux_set_frame_rate(0, m.c, 25.0f, 1);
    mux_set_timescale(0, m.c, 90000);
    mux_set_sample_duration(0, m.c, 3600);
    add_video(m, 0, v, 10000000, 10000000);
    add_video(m, 0, v, 30000000, 30000000);
    EXPECT_EQ(m.track(0).duration, 2 * 90000u + 3600u);
  }
  {
    // A decode time that goes back leaves the duration at the latest frame's end.
    Mux m({track_spec(0, kKindVideo)});
    mux_set_frame_rate(0, m.c, 29.97f, 1);
    for (int64_t dts : {0, 333667, 667334, 333667}) add_video(m, 0, v, dts, dts);
    EXPECT_EQ(m.track(0).duration, 3003u);
  }
  {
    Mux m({track_spec(0, kKindVideo)});  // hostile time stamps saturate instead of overflowing
    mux_set_frame_rate(0, m.c, 25.0f, 1);
    mux_set_timescale(0, m.c, 0xFFFFFFFF);
    add_video(m, 0, v, 0, 0);
    add_video(m, 0, v, INT64_MIN, 0);
    EXPECT_EQ(m.track(0).duration, 1001u);  // going back does not shorten the track
    add_video(m, 0, v, INT64_MAX, 0);
    EXPECT_EQ(static_cast<int64_t>(m.track(0).duration), INT64_MAX);
  }
  {
    Mux m(
        {track_spec(0, kKindVideo), track_spec(1, kKindVideo)});  // the first offset saturates too
    add_video(m, 0, v, INT64_MIN, INT64_MAX);
    add_video(m, 1, v, INT64_MAX, INT64_MIN);
    EXPECT_EQ(m.track(0).first_cts_offset, INT64_MAX);
    EXPECT_EQ(m.track(1).first_cts_offset, INT64_MIN);
  }
}

TEST(MuxContext, AudioFrameSizes) {
  struct Case {
    const char* name;
    uint32_t codec;
    std::vector<uint32_t> values;
    int32_t n;
    int64_t duration;
    uint32_t size;
    std::vector<uint32_t> frame_sizes;  // empty: none
    bool listed;                        // one size per frame kept apart from the record
  };
  const Case cases[] = {
      {"16-bit stereo PCM",
       kCodecPcm16,
       {4096},
       1024,
       1024,
       4096,
       std::vector<uint32_t>(1024, 4),
       false},
      {"float PCM", kCodecPcm32Float, {3200}, 400, 400, 3200, std::vector<uint32_t>(400, 8), false},
      {"PCM without a duration", kCodecPcm16, {40}, 10, 0, 40, std::vector<uint32_t>(10, 4), false},
      {"PCM negative duration", kCodecPcm16, {40}, 10, -5, 40, std::vector<uint32_t>(10, 4), false},
      {"PCM size per duration", kCodecPcm16, {40}, 10, 4, 40, std::vector<uint32_t>(10, 10), false},
      {"AAC sizes", kCodecAac, {7, 9}, 2, 2048, 16, {7, 9}, true},
      {"AAC one frame", kCodecAac, {16}, 1, 1024, 16, {16}, false},
      {"no frames", kCodecAac, {}, 0, 1024, 16, {}, false},
      {"negative frame count", kCodecAac, {}, -3, 1024, 16, {}, false},
  };
  for (const Case& cs : cases) {
    SCOPED_TRACE(cs.name);
    Mux m({track_spec(0, kKindAudio)});
    mux_set_codec(0, m.c, cs.codec);
    Bytes data(cs.size, 0x42);
    auto info = frame_info(cs.values, cs.n);
    ASSERT_EQ(
        mux_add_sample(0, m.c, data.data(), cs.size, 0, kKindAudio, info.data(), 0, 0, cs.duration),
        0);
    const MuxTrack& t = m.track(0);
    SampleRecord* r = mux_record(&m.track(0), 0);
    uint64_t frames = cs.n > 0 ? static_cast<uint64_t>(cs.n) : 0;
    EXPECT_EQ(r->samples, frames);
    EXPECT_EQ(t.sample_count, frames);
    EXPECT_EQ(t.duration, static_cast<uint64_t>(cs.duration));
    EXPECT_EQ(r->size, cs.size);
    EXPECT_EQ(m.tell(), 24 + static_cast<int64_t>(cs.size));  // bytes written in every case
    std::vector<uint32_t> sizes;
    for (uint64_t k = 0; k < r->samples; ++k) sizes.push_back(record_frame_size(*r, k));
    EXPECT_EQ(sizes, cs.frame_sizes);
    EXPECT_EQ(r->sub_sizes != nullptr, cs.listed);
    EXPECT_EQ(t.frame_sizes != nullptr, cs.listed);  // the store is made when first needed
  }
  // No frame info at all: like n = 0.
  Mux m({track_spec(0, kKindAudio)});
  Bytes data(8, 1);
  ASSERT_EQ(mux_add_sample(0, m.c, data.data(), 8, 0, kKindAudio, nullptr, 0, 0, 1024), 0);
  EXPECT_EQ(mux_record(&m.track(0), 0)->samples, 0u);
  EXPECT_EQ(m.track(0).duration, 1024u);
}

// Frame sizes of multi-frame packets share chunks that never move: a packet
// that does not fit into the rest of a chunk starts the next one, a packet
// larger than a chunk gets a chunk of its own, and every record still reads
// its own sizes afterwards.
TEST(MuxContext, FrameSizeStoreSpansChunks) {
  Mux m({track_spec(0, kKindAudio)});
  mux_set_codec(0, m.c, kCodecAac);
  std::vector<uint32_t> frame_counts;
  for (int i = 0; i < 6000; ++i) frame_counts.push_back(2 + i % 3);  // 18000 sizes: two chunks
  frame_counts.push_back(kFrameSizeChunkSizes + 5);                  // a chunk of its own
  frame_counts.push_back(7);
  Bytes data(kFrameSizeChunkSizes + 5, 0x11);
  uint32_t value = 1;
  for (uint32_t n : frame_counts) {
    std::vector<uint32_t> sizes;
    for (uint32_t k = 0; k < n; ++k) sizes.push_back(value++);
    auto info = frame_info(sizes, static_cast<int32_t>(n));
    ASSERT_EQ(mux_add_sample(0, m.c, data.data(), n, 0, kKindAudio, info.data(), 0, 0, 1024), 0);
  }
  const MuxTrack& t = m.track(0);
  int chunks = 0;
  for (const FrameSizeChunk* c = t.frame_sizes; c != nullptr; c = c->older) ++chunks;
  EXPECT_EQ(chunks, 4);
  value = 1;
  bool all_equal = true;
  mux_for_each_record(&t, [&](const SampleRecord& r, uint64_t i) {
    EXPECT_EQ(r.samples, frame_counts[i]);
    for (uint64_t k = 0; k < r.samples; ++k) all_equal &= record_frame_size(r, k) == value++;
  });
  EXPECT_TRUE(all_equal);
  EXPECT_EQ(value - 1, t.sample_count);
}

TEST(MuxContext, IndexGrowsInBlocksWithoutCopying) {
  Mux m({track_spec(0, kKindVideo), track_spec(1, kKindAudio)});
  MuxTrack& v = m.track(0);
  Bytes one(1, 0);
  SampleBlock* first_block = v.block_first;
  for (uint32_t i = 0; i < kSampleBlockRecords; ++i) add_video(m, 0, one, i, i, i % 3 == 0);
  EXPECT_EQ(v.entry_count, 10240u);
  EXPECT_EQ(v.entry_capacity, 10240u);
  EXPECT_EQ(v.block_last, first_block);
  EXPECT_EQ(v.block_first->next, nullptr);
  add_video(m, 0, one, 10240, 10240);
  EXPECT_EQ(v.entry_count, 10241u);
  EXPECT_EQ(v.entry_capacity, 20480u);
  EXPECT_EQ(v.block_first, first_block);
  ASSERT_NE(v.block_first->next, nullptr);
  EXPECT_EQ(v.block_first->next, v.block_last);
  EXPECT_EQ(v.block_last->records[0].dts, 10240);
  EXPECT_EQ(v.block_first->records[10239].dts, 10239);

  // Audio packets across a block boundary, interleaved: positions follow file order.
  auto info = frame_info({1}, 1);
  for (uint32_t i = 0; i < 2 * kSampleBlockRecords + 5; ++i) {
    mux_add_sample(1, m.c, one.data(), 1, 0, kKindAudio, info.data(), i, i, 1024);
    if (i % 1000 == 0) add_video(m, 0, one, 20000 + i, 20000 + i);
  }
  MuxTrack& a = m.track(1);
  EXPECT_EQ(a.entry_capacity, 3 * kSampleBlockRecords);

  // Random access, sequential access and the block walk agree.
  uint64_t previous_pos = 0;
  uint64_t visited = 0;
  mux_for_each_record(&a, [&](const SampleRecord& r, uint64_t i) {
    EXPECT_EQ(r.dts, static_cast<int64_t>(i));
    EXPECT_EQ(&r, mux_record(&a, i));
    if (i > 0) {
      EXPECT_GT(r.pos, previous_pos);
    }
    previous_pos = r.pos;
    ++visited;
  });
  EXPECT_EQ(visited, a.entry_count);
  for (uint64_t i : {20000ull, 5ull, 10240ull, 10239ull, 20484ull, 0ull}) {
    ASSERT_NE(mux_record(&a, i), nullptr);
    EXPECT_EQ(mux_record(&a, i)->dts, static_cast<int64_t>(i));
  }
  EXPECT_EQ(mux_record(&a, a.entry_count), nullptr);
  EXPECT_EQ(mux_last_record(&a), mux_record(&a, a.entry_count - 1));
  EXPECT_EQ(mux_last_record(&v)->dts, 20000 + 20000);
  EXPECT_EQ(mux_last_record(&m.track(5)), nullptr);
  // Exactly a multiple of the block size: the last record is entry 10239 of the last block.
  Mux exact({track_spec(0, kKindTimecode)});
  for (uint32_t i = 0; i < kSampleBlockRecords; ++i) {
    mux_add_sample(0, exact.c, one.data(), 1, 1, kKindTimecode, nullptr, i, i, 1);
  }
  EXPECT_EQ(mux_last_record(&exact.track(0)), &exact.track(0).block_last->records[10239]);
}

TEST(MuxContext, CompositionOffsets) {
  Mux m({track_spec(0, kKindVideo)});
  mux_set_codec(0, m.c, kCodecH264);
  MuxTrack& t = m.track(0);
  Bytes v(4, 0);
  const std::vector<int32_t> offsets{3003, 0, -1001, 1001};
  std::vector<int> signs;
  for (int32_t off : offsets) {
    add_video(m, 0, v, 0, 0, 0, &off);
    signs.push_back(t.ctts_sign);
  }
  EXPECT_EQ(signs, (std::vector<int>{1, 1, -1, 1}));
  ASSERT_EQ(t.ctts_table->count, 4u);
  for (size_t i = 0; i < offsets.size(); ++i) {
    EXPECT_EQ(t.ctts_table->entries[i].count, 1u);
    EXPECT_EQ(t.ctts_table->entries[i].offset, offsets[i]);
  }
  add_video(m, 0, v, 0, 0);  // no offset given: no entry
  EXPECT_EQ(t.ctts_table->count, 4u);

  // Growth by 1024 entries once the table is one short of full; nothing is lost.
  for (int32_t i = 4; i < 1023; ++i) add_video(m, 0, v, 0, 0, 0, &i);
  EXPECT_EQ(t.ctts_table->count, 1023u);
  EXPECT_EQ(t.ctts_table->capacity, 1024u);
  int32_t next = 1023;
  add_video(m, 0, v, 0, 0, 0, &next);
  EXPECT_EQ(t.ctts_table->capacity, 2048u);
  for (int32_t i = 1024; i < 3000; ++i) add_video(m, 0, v, 0, 0, 0, &i);
  EXPECT_EQ(t.ctts_table->count, 3000u);
  EXPECT_EQ(t.ctts_table->capacity, 3072u);
  for (uint32_t i = 4; i < 3000; ++i) ASSERT_EQ(t.ctts_table->entries[i].offset, (int32_t)i);
  EXPECT_EQ(t.ctts_table->entries[3000].count, 0u);  // the grown part is zeroed

  // Only MPEG-4 Visual, H.264 and HEVC keep offsets.
  for (uint32_t codec : {kCodecMpeg4Visual, kCodecHevc, kCodecAv1, kCodecH263, kCodecNone}) {
    Mux n({track_spec(0, kKindVideo)});
    mux_set_codec(0, n.c, codec);
    int32_t off = -5;
    add_video(n, 0, v, 0, 0, 0, &off);
    bool keeps = codec == kCodecMpeg4Visual || codec == kCodecHevc;
    EXPECT_EQ(n.track(0).ctts_table->count, keeps ? 1u : 0u) << codec;
    EXPECT_EQ(n.track(0).ctts_sign, keeps ? -1 : 0) << codec;
  }
  // ctts_append itself ignores tracks without a table and bad indices.
  Mux a({track_spec(0, kKindAudio)});
  int32_t off = 1;
  ctts_append(a.c, &off, 0);
  ctts_append(a.c, &off, -1);
  ctts_append(a.c, &off, 16);
  ctts_append(a.c, nullptr, 0);
  ctts_append(nullptr, &off, 0);
  EXPECT_EQ(a.track(0).ctts_sign, 0);
}

TEST(MuxContext, BadTrackOrKindIsIgnored) {
  Mux m({track_spec(0, kKindVideo), track_spec(1, kKindAudio)});
  Bytes v(10, 0);
  struct Case {
    int32_t track;
    uint32_t kind;
  };
  for (const Case& cs :
       {Case{-1, kKindVideo}, Case{16, kKindVideo}, Case{3, kKindVideo}, Case{0, 4},
        Case{0, 0xFFFFFFFF}, Case{0, kKindAudio}, Case{1, kKindVideo}}) {
    EXPECT_EQ(mux_add_sample(cs.track, m.c, v.data(), 10, 1, cs.kind, nullptr, 0, 0, 0), 0);
  }
  EXPECT_EQ(mux_add_sample(0, nullptr, v.data(), 10, 1, kKindVideo, nullptr, 0, 0, 0), 0);
  EXPECT_EQ(m.c->mdat_started, 0u);
  EXPECT_EQ(m.tell(), 0);
  EXPECT_EQ(m.track(0).entry_count, 0u);
  EXPECT_EQ(m.track(1).entry_count, 0u);
  EXPECT_EQ(m.track(0).first_pts, -1);
  EXPECT_EQ(write_media_data_header(nullptr), 0);
  mux_destroy(nullptr, 0, nullptr);
}

TEST(MuxContext, CountsStayConsistentAfterAWriteError) {
  Mux m({track_spec(0, kKindVideo)});
  m.mem.fail_writes_after = 0;
  m.mem.write_errno = ENOSPC;
  Bytes big(kMuxWriterCapacity + 100, 0x11);
  add_video(m, 0, big, 0, 0);  // flushes the header, fails
  EXPECT_EQ(writer_error(m.c->writer), ENOSPC);
  Bytes v(10, 0);
  add_video(m, 0, v, 1, 1);
  EXPECT_EQ(m.track(0).entry_count, 2u);
  EXPECT_EQ(m.track(0).sample_count, 2u);
  EXPECT_EQ(mux_record(&m.track(0), 1)->pos, 24u + big.size());
  EXPECT_EQ(m.tell(), static_cast<int64_t>(24 + big.size() + 10));
  EXPECT_EQ(writer_error(m.c->writer), ENOSPC);
}

TEST(MuxContext, SettersStoreTheirValues) {
  Mux m({track_spec(0, kKindVideo), track_spec(1, kKindAudio)});
  MuxTrack& v = m.track(0);
  MuxTrack& a = m.track(1);
  mux_set_codec(0, m.c, kCodecHevc);
  mux_set_timescale(0, m.c, 90000);
  mux_set_sample_duration(0, m.c, 3750);
  mux_set_sample_duration(1, m.c, -2);
  mux_set_channels(1, m.c, 6);
  mux_set_bits_per_sample(1, m.c, 24);
  mux_set_picture_size(0, m.c, 1920, 1080);
  mux_set_display_size(0, m.c, 1440, 1080);
  mux_set_frame_rate(0, m.c, 23.976f, 1);
  mux_set_spherical(0, m.c, 2, 360, 7);
  mux_set_stereo_mode(0, m.c, 3);
  mux_set_dovi_enabled(0, m.c, 12345);
  mux_set_avc_config(0, m.c, 1, 100, 0, 41);
  mux_set_display_params(m.c, 0, 65536, -65536, 0, 100, -200);
  mux_set_format_fourcc(m.c, 0x2041344d);
  EXPECT_EQ(v.codec_id, kCodecHevc);
  EXPECT_EQ(v.timescale, 90000u);
  EXPECT_EQ(v.sample_duration, 3750u);
  EXPECT_EQ(static_cast<int64_t>(a.sample_duration), -2);  // widened with its sign
  EXPECT_EQ(a.channels, 6u);
  EXPECT_EQ(a.bits_per_sample, 24u);
  EXPECT_EQ(v.width, 1920u);
  EXPECT_EQ(v.height, 1080u);
  EXPECT_EQ(v.display_width, 1440u);
  EXPECT_EQ(v.display_height, 1080u);
  EXPECT_FLOAT_EQ(v.frame_rate, 23.976f);
  EXPECT_EQ(v.timestamp_durations, 1u);
  EXPECT_EQ(v.stereo_layout, 2u);
  EXPECT_EQ(v.field_of_view, 360u);
  EXPECT_EQ(v.spherical_aux, 7u);
  EXPECT_EQ(v.stereo_mode, 3u);
  EXPECT_EQ(v.dovi_enabled, 1u);
  EXPECT_EQ(v.avc_config_version, 1u);
  EXPECT_EQ(v.avc_profile, 100u);
  EXPECT_EQ(v.avc_compat, 0u);
  EXPECT_EQ(v.avc_level, 41u);
  EXPECT_EQ(std::vector<int32_t>(m.c->display_params, m.c->display_params + 6),
            (std::vector<int32_t>{0, 65536, -65536, 0, 100, -200}));
  EXPECT_EQ(m.c->format_fourcc, 0x2041344du);

  uint32_t record_words[10] = {2, 10, 20, 30, 1, 2, 3, 4, 5, 6};
  uint8_t record[40];
  memcpy(record, record_words, 40);
  mux_set_spherical_record(0, m.c, record);
  EXPECT_EQ(v.spherical_projection, 2u);
  EXPECT_EQ(v.spherical_yaw, 10u);
  EXPECT_EQ(v.spherical_pitch, 20u);
  EXPECT_EQ(v.spherical_roll, 30u);
  EXPECT_EQ(v.spherical_bound_left, 1u);
  EXPECT_EQ(v.spherical_bound_top, 2u);
  EXPECT_EQ(v.spherical_bound_right, 3u);
  EXPECT_EQ(v.spherical_bound_bottom, 4u);
  EXPECT_EQ(v.spherical_cubemap_layout, 5u);
  EXPECT_EQ(v.spherical_cubemap_padding, 6u);

  // Language: a copy in a zeroed buffer of its length + 1024; replaced, not leaked.
  std::string lang = "eng";
  mux_set_language(1, m.c, lang.c_str());
  mux_set_language(1, m.c, "und");
  ASSERT_NE(a.language, nullptr);
  EXPECT_STREQ(a.language, "und");
  for (size_t i = 3; i < 3 + 1024; ++i) ASSERT_EQ(a.language[i], 0) << i;
  mux_set_language(0, m.c, "");
  ASSERT_NE(v.language, nullptr);
  EXPECT_EQ(v.language[0], 0);
  mux_set_language(0, m.c, nullptr);
  EXPECT_EQ(v.language, nullptr);

  // Extradata: copies of length + 1, zero-terminated.
  const Bytes sps = hex_bytes("67 64 00 1f ac d9"), pps = hex_bytes("68 eb e3 cb");
  mux_set_extradata(0, m.c, sps.data(), static_cast<uint32_t>(sps.size()));
  mux_set_extradata2(0, m.c, pps.data(), static_cast<uint32_t>(pps.size()));
  ASSERT_NE(v.extradata, nullptr);
  EXPECT_NE(v.extradata, sps.data());
  EXPECT_EQ(Bytes(v.extradata, v.extradata + v.extradata_size), sps);
  EXPECT_EQ(v.extradata[sps.size()], 0);
  EXPECT_EQ(Bytes(v.extradata2, v.extradata2 + v.extradata2_size), pps);
  EXPECT_EQ(v.extradata2[pps.size()], 0);
  mux_set_extradata(0, m.c, nullptr, 100);  // the null source is never read
  ASSERT_NE(v.extradata, nullptr);
  EXPECT_EQ(v.extradata_size, 0u);
  EXPECT_EQ(v.extradata[0], 0);
  mux_set_extradata2(0, m.c, pps.data(), 0);
  EXPECT_EQ(v.extradata2_size, 0u);

  // HEVC: the Annex-B bytes are kept in the track; the configuration is built from them.
  const Bytes annexb = hex_bytes("00 00 00 01 40 01 0c 01  00 00 00 01 42 01 01");
  mux_set_hevc_config(0, m.c, annexb.data(), static_cast<uint32_t>(annexb.size()));
  ASSERT_NE(v.hevc_annexb, nullptr);
  EXPECT_NE(v.hevc_annexb, annexb.data());
  EXPECT_EQ(Bytes(v.hevc_annexb, v.hevc_annexb + v.hevc_annexb_size), annexb);
  mux_set_hevc_config(0, m.c, annexb.data(), static_cast<uint32_t>(annexb.size()));  // again
  mux_set_hevc_config(0, m.c, nullptr, 0);
  EXPECT_EQ(v.hevc_config, nullptr);

  // Audio configuration: the pointer, not a copy; a video track keeps its scratch buffer.
  const Bytes asc = hex_bytes("12 10");
  mux_set_audio_config(1, m.c, asc.data(), 2);
  EXPECT_EQ(a.audio_config, asc.data());
  EXPECT_EQ(a.audio_config_size, 2u);
  uint8_t* scratch = v.audio_config;
  mux_set_audio_config(0, m.c, asc.data(), 2);
  EXPECT_EQ(v.audio_config, scratch);

  // Bad indices and null contexts are ignored.
  for (int32_t bad : {-1, 16, 1000}) {
    mux_set_codec(bad, m.c, 1);
    mux_set_language(bad, m.c, "x");
    mux_set_extradata(bad, m.c, sps.data(), 2);
    mux_set_hevc_config(bad, m.c, annexb.data(), 4);
    mux_set_spherical_record(bad, m.c, record);
  }
  mux_set_codec(0, nullptr, 1);
  mux_set_display_params(nullptr, 1, 2, 3, 4, 5, 6);
  mux_set_format_fourcc(nullptr, 1);
  mux_set_spherical_record(0, m.c, nullptr);
  EXPECT_EQ(v.codec_id, kCodecHevc);
}

TEST(MuxContext, MetadataAndCoverArt) {
  Mux m({track_spec(0, kKindVideo)});
  auto host = std::make_unique<MovieMetadata>();
  memset(host.get(), 0, sizeof(MovieMetadata));
  host->title[0] = u'T';
  host->rating = 4;
  Bytes jpeg = hex_bytes("ff d8 ff e0 00 10 4a 46 49 46");
  MxPicture picture{jpeg.data(), static_cast<uint32_t>(jpeg.size()), 0};
  host->cover_art = &picture;

  mux_set_metadata(m.c, host.get());
  EXPECT_EQ(m.c->metadata.title[0], u'T');
  EXPECT_EQ(m.c->metadata.rating, 4u);
  EXPECT_EQ(m.c->metadata.cover_art, nullptr);  // never the host's record

  mux_set_cover_art(m.c, &picture);
  const MxPicture* own = m.c->metadata.cover_art;
  ASSERT_NE(own, nullptr);
  EXPECT_NE(own, &picture);
  EXPECT_NE(own->data, jpeg.data());
  EXPECT_EQ(Bytes(own->data, own->data + own->size), jpeg);
  EXPECT_EQ(own->picture_kind, 0u);
  mux_set_metadata(m.c, host.get());  // keeps the context's own copy
  EXPECT_EQ(m.c->metadata.cover_art, own);
  mux_set_cover_art(m.c, &picture);  // replaced without a leak
  MxPicture empty{nullptr, 0, 2};
  mux_set_cover_art(m.c, &empty);
  ASSERT_NE(m.c->metadata.cover_art, nullptr);
  EXPECT_EQ(m.c->metadata.cover_art->size, 0u);
  mux_set_cover_art(m.c, &picture);
  // Teardown releases the cover with everything else (the leak checker watches).
}

TEST(MuxContext, TeardownReleasesEverythingAndFlushes) {
  Mux m({track_spec(0, kKindVideo, kCodecH264), track_spec(1, kKindAudio),
         track_spec(2, kKindTimecode), track_spec(3, kKindTimedMetadata)});
  mux_set_codec(0, m.c, kCodecH264);
  mux_set_codec(1, m.c, kCodecAac);
  mux_set_language(1, m.c, "eng");
  mux_set_language(5, m.c, "unused slot");
  mux_set_extradata(0, m.c, hex_bytes("67").data(), 1);
  mux_set_extradata(1, m.c, hex_bytes("12 10").data(), 2);  // owned even on an audio track
  mux_set_extradata2(0, m.c, hex_bytes("68").data(), 1);
  Bytes annexb = hex_bytes("00 00 01 40 01");
  mux_set_hevc_config(0, m.c, annexb.data(), 5);
  Bytes one(1, 9);
  auto info = frame_info({1, 0}, 2);
  for (uint32_t i = 0; i < kSampleBlockRecords + 10; ++i) {
    int32_t off = static_cast<int32_t>(i % 3);
    add_video(m, 0, one, i, i, 1, &off);
    mux_add_sample(1, m.c, one.data(), 1, 0, kKindAudio, info.data(), i, i, 2048);
  }
  mux_add_sample(2, m.c, one.data(), 1, 1, kKindTimecode, nullptr, 0, 0, 1);
  int64_t length = m.tell();
  m.destroy();
  EXPECT_EQ(m.mem.length, length);  // the last buffered bytes reached the stream
}

}  // namespace
