// Sample tables from hand-made sample records: every table's forms and values.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "boxes/boxes.h"
#include "tests/boxes/box_context.h"

namespace {

using Pairs = std::vector<std::pair<uint32_t, uint32_t>>;
using Words = std::vector<uint32_t>;

// The u32 entries of a table box from payload offset `from`.
Words words(const iso::Box& box, uint64_t from) {
  Words out;
  for (uint64_t off = from; off + 4 <= box.payload_size(); off += 4) out.push_back(box.u32(off));
  return out;
}

Pairs stts_pairs(const iso::Box& stts) {
  Pairs out;
  uint32_t n = stts.u32(4);
  for (uint32_t i = 0; i < n; ++i) out.emplace_back(stts.u32(8 + i * 8), stts.u32(12 + i * 8));
  EXPECT_EQ(stts.payload_size(), 8 + n * 8ull) << "stts size and count disagree";
  return out;
}

TEST(TimeToSample, ConstantForm) {
  BoxContext b(kModeMp4);
  MuxTrack& t = b.track(0, kKindVideo, kCodecH264, 30000, 0);
  t.sample_duration = 1001;
  for (int i = 0; i < 300; ++i) b.add(t, i * 333667ll, 1000 + i * 10, 10);
  EXPECT_EQ(write_stts(b.c, &t), 24);
  EXPECT_BYTES(b.bytes(), R"(
      00000018 73747473 00000000 # stts, 24 bytes, version 0
      00000001                   # one entry
      0000012c 000003e9          # 300 samples of 1001
  )");
}

TEST(TimeToSample, ConstantFormTakesTheLow32Bits) {
  BoxContext b(kModeMp4);
  MuxTrack& t = b.track(0, kKindAudio, kCodecAac, 44100, 0);
  b.add(t, 0, 100, 10);
  t.sample_count = 0x100000005ull;
  t.sample_duration = 0x100000400ull;
  write_stts(b.c, &t);
  iso::Tree tree = iso::parse(b.bytes());
  EXPECT_EQ(stts_pairs(tree.at("stts")), (Pairs{{5, 1024}}));
}

// An ALAC or FLAC stream's last frame holds fewer samples than the others: the
// track's duration says so, and stts gives that frame its own entry.
TEST(TimeToSample, ConstantRateWithAShorterLastSample) {
  struct Case {
    const char* name;
    uint64_t duration;
    const char* expected;
  };
  const Case cases[] = {
      {"1 s of ALAC at 44100: ten frames and 3140 samples", 10 * 4096 + 3140, R"(
          00000020 73747473 00000000 # stts, 32 bytes, version 0
          00000002                   # two entries
          0000000a 00001000          # 10 samples of 4096
          00000001 00000c44          # 1 sample of 3140
      )"},
      {"whole frames", 11 * 4096, "00000018 73747473 00000000 00000001 0000000b 00001000"},
      // Durations that a shorter last frame cannot explain keep the one entry.
      {"longer than the frames", 11 * 4096 + 1,
       "00000018 73747473 00000000 00000001 0000000b 00001000"},
      {"a frame and more short", 9 * 4096, "00000018 73747473 00000000 00000001 0000000b 00001000"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    BoxContext b(kModeMp4);
    MuxTrack& t = b.track(0, kKindAudio, kCodecAlac, 44100, k.duration);
    t.sample_duration = 4096;
    b.add_frames(t, 100, std::vector<uint32_t>(11, 10));
    EXPECT_EQ(write_stts(b.c, &t), static_cast<int32_t>(hex_bytes(k.expected).size()));
    EXPECT_BYTES(b.bytes(), k.expected);
  }
}

TEST(TimeToSample, TableFormFromTruncatedDecodingTimes) {
  struct Case {
    const char* name;
    std::vector<int64_t> dts;  // 100 ns
    uint64_t duration;         // track units
    Pairs expected;
  };
  const Case cases[] = {
      // T = 0, 1001, 2002; the last sample runs to the track's end.
      {"ends with a frame", {0, 333667, 667334}, 3003, {{3, 1001}}},
      // Nothing left after the last start: one nominal duration (1000 here).
      {"ends at the last start", {0, 333667, 667334}, 2002, {{2, 1001}, {1, 1000}}},
      {"ends before the last start", {0, 333667, 667334}, 10, {{2, 1001}, {1, 1000}}},
      // T = 0, 999 (999.99 truncated), 2000 (2000.001): each time is truncated
      // before the difference is taken.
      {"truncation before difference", {0, 333333, 666667}, 3001, {{1, 999}, {2, 1001}}},
      {"runs restart on change",
       {0, 333667, 667334, 1334668, 1668335},
       6006,
       {{2, 1001}, {1, 2002}, {2, 1001}}},
      // The track's duration counts from the first decode time, and so does the
      // last sample's delta: the deltas add up to the duration.
      {"one sample at 0.5 s", {5000000}, 1000, {{1, 1000}}},
      {"first decode time below 0",
       {-667334, -333667, 0},
       3002,  // T(667334) + 1000
       {{2, 1001}, {1, 1000}}},
      // A decode time that goes back, or one that repeats, starts one unit
      // after the previous sample; the next sample catches up.
      {"decode time goes back",
       {0, 333667, 0, 1001001},
       4003,
       {{1, 1001}, {1, 1}, {1, 2001}, {1, 1000}}},
      {"decode time repeats",
       {0, 333667, 333667, 1001001},
       4003,
       {{1, 1001}, {1, 1}, {1, 2001}, {1, 1000}}},
      {"goes back behind several",
       {0, 333667, 667334, 333667},
       3002,
       {{2, 1001}, {1, 1}, {1, 999}}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    BoxContext b(kModeMp4);
    MuxTrack& t = b.track(0, kKindVideo, kCodecH264, 30000, k.duration);
    t.timestamp_durations = 1;
    t.sample_duration = 1000;
    for (size_t i = 0; i < k.dts.size(); ++i) b.add(t, k.dts[i], 100 + i, 1);
    int32_t size = write_stts(b.c, &t);
    iso::Tree tree = iso::parse(b.bytes());
    const iso::Box& stts = tree.at("stts");
    EXPECT_EQ(static_cast<uint64_t>(size), stts.size);
    EXPECT_EQ(stts_pairs(stts), k.expected);
    // The same durations one by one.
    Pairs expanded;
    for (size_t i = 0; i < k.dts.size(); ++i) {
      uint32_t d = static_cast<uint32_t>(sample_delta(&t, static_cast<int64_t>(i)));
      if (!expanded.empty() && expanded.back().second == d) {
        ++expanded.back().first;
      } else {
        expanded.emplace_back(1, d);
      }
    }
    EXPECT_EQ(expanded, k.expected);
    EXPECT_EQ(sample_delta(&t, static_cast<int64_t>(k.dts.size())), 0);
    EXPECT_EQ(sample_delta(&t, -1), 0);
  }
}

TEST(TimeToSample, TimecodeAlwaysUsesTheTable) {
  BoxContext b(kModeMov);
  MuxTrack& t = b.track(2, kKindTimecode, kCodecTimecode, 30000, 1001);
  t.sample_duration = 1001;
  b.add(t, 0, 500, 4, 1);
  write_stts(b.c, &t);
  EXPECT_BYTES(b.bytes(), "00000018 73747473 00000000 00000001 00000001 000003e9");
}

TEST(TimeToSample, ZeroTimeScaleDoesNotDivide) {
  BoxContext b(kModeMp4);
  MuxTrack& t = b.track(0, kKindVideo, kCodecH264, 0, 0);
  t.timestamp_durations = 1;
  t.sample_duration = 7;
  b.add(t, 0, 100, 1);
  b.add(t, 400000, 101, 1);
  write_stts(b.c, &t);
  iso::Tree tree = iso::parse(b.bytes());
  EXPECT_EQ(stts_pairs(tree.at("stts")), (Pairs{{1, 1}, {1, 7}}));
}

TEST(CompositionOffsets, WrittenWhenAnyOffsetIsNotZero) {
  struct Case {
    const char* name;
    uint32_t mode;
    uint32_t kind;
    uint32_t codec_id;
    std::vector<int32_t> offsets;
    const char* expected;  // null: no ctts
  };
  const Case cases[] = {
      {"all zero", kModeMp4, kKindVideo, kCodecH264, {0, 0, 0}, nullptr},
      {"B-frames",
       kModeMp4,
       kKindVideo,
       kCodecH264,
       {2002, 0, 1001},
       "00000028 63747473 00000000 00000003 00000001 000007d2 00000001 00000000 00000001 "
       "000003e9"},
      {"HEVC",
       kModeMp4,
       kKindVideo,
       kCodecHevc,
       {1001},
       "00000018 63747473 00000000 00000001 00000001 000003e9"},
      {"MPEG-4 Visual",
       kModeMp4,
       kKindVideo,
       kCodecMpeg4Visual,
       {1001},
       "00000018 63747473 00000000 00000001 00000001 000003e9"},
      // ISO version 0 offsets are unsigned: a table holding a negative one is version 1.
      {"positive last, negative inside",
       kModeMp4,
       kKindVideo,
       kCodecH264,
       {3003, 0, -1001, 1001},
       "00000030 63747473 01000000 00000004 00000001 00000bbb 00000001 00000000 00000001 "
       "fffffc17 00000001 000003e9"},
      // Decode times that start at the first presentation time: B-frames
      // shown before they are decoded, the last one included.
      {"last non-zero negative",
       kModeMp4,
       kKindVideo,
       kCodecH264,
       {0, 2002, -1001, -1001},
       "00000030 63747473 01000000 00000004 00000001 00000000 00000001 000007d2 00000001 "
       "fffffc17 00000001 fffffc17"},
      {"all negative, 3GP",
       kMode3gp,
       kKindVideo,
       kCodecHevc,
       {-1001, -1001},
       "00000020 63747473 01000000 00000002 00000001 fffffc17 00000001 fffffc17"},
      // QuickTime defines the version 0 offsets as signed.
      {"negative in a QuickTime movie",
       kModeMov,
       kKindVideo,
       kCodecH264,
       {0, 2002, -1001, -1001},
       "00000030 63747473 00000000 00000004 00000001 00000000 00000001 000007d2 00000001 "
       "fffffc17 00000001 fffffc17"},
      {"AV1 has no offsets", kModeMp4, kKindVideo, kCodecAv1, {1001}, nullptr},
      {"not video", kModeMp4, kKindAudio, kCodecH264, {1001}, nullptr},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    BoxContext b(k.mode);
    MuxTrack& t = b.track(0, k.kind, k.codec_id, 30000, 0);
    for (size_t i = 0; i < k.offsets.size(); ++i) b.add(t, 0, 100 + i, 1);
    b.set_offsets(t, k.offsets);
    write_ctts(b.c, &t);
    EXPECT_BYTES(b.bytes(), k.expected ? k.expected : "");
  }
  BoxContext b(kModeMp4);  // a video track without a table at all
  MuxTrack& t = b.track(0, kKindVideo, kCodecH264, 30000, 0);
  t.ctts_sign = 1;
  write_ctts(b.c, &t);
  EXPECT_TRUE(b.bytes().empty());
}

TEST(SyncSamples, VideoOnlyWithOneBasedNumbers) {
  BoxContext b(kModeMp4);
  MuxTrack& video = b.track(0, kKindVideo, kCodecH264, 30000, 0);
  uint32_t flags[] = {1, 0, 0, 1, 0, 1};
  for (uint32_t f : flags) b.add(video, 0, 100, 1, f);
  MuxTrack& none = b.track(1, kKindVideo, kCodecH264, 30000, 0);
  b.add(none, 0, 100, 1, 0);
  MuxTrack& audio = b.track(2, kKindAudio, kCodecAac, 44100, 0);
  b.add(audio, 0, 100, 1, 1);
  write_stss(b.c, &video);
  write_stss(b.c, &none);
  write_stss(b.c, &audio);
  EXPECT_BYTES(b.bytes(), R"(
      0000001c 73747373 00000000 # stss
      00000003                   # three sync samples
      00000001 00000004 00000006
      00000010 73747373 00000000 00000000  # no sync sample: an empty table
  )");
}

TEST(SampleToChunk, OneEntryPerChangeOfSamplesPerRecord) {
  struct Case {
    const char* name;
    std::vector<std::vector<uint32_t>> records;  // frame sizes per record
    Words expected;                              // first chunk, samples, description
  };
  const std::vector<uint32_t> one = {10};
  const std::vector<uint32_t> two = {10, 11};
  const std::vector<uint32_t> three = {10, 11, 12};
  const std::vector<uint32_t> zero = {};
  const Case cases[] = {
      {"all single", {one, one, one}, {1, 1, 1}},
      {"changes", {two, two, three, three, two, one}, {1, 2, 1, 3, 3, 1, 5, 2, 1, 6, 1, 1}},
      // A record of 0 samples is no chunk: the numbers of later chunks close up.
      {"empty record skipped", {two, zero, two, three}, {1, 2, 1, 3, 3, 1}},
      {"empty first record", {zero, one, one}, {1, 1, 1}},
      {"only empty records", {zero, zero}, {}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    BoxContext b(kModeMp4);
    MuxTrack& t = b.track(0, kKindAudio, kCodecAac, 44100, 0);
    for (size_t i = 0; i < k.records.size(); ++i) b.add_frames(t, 1000 + i * 100, k.records[i]);
    write_stsc(b.c, &t);
    iso::Tree tree = iso::parse(b.bytes());
    const iso::Box& stsc = tree.at("stsc");
    EXPECT_EQ(stsc.u32(4) * 3, k.expected.size());
    EXPECT_EQ(words(stsc, 8), k.expected);
  }
}

TEST(SampleSizes, ConstantAndTableForms) {
  struct Record {
    uint64_t size;
    std::vector<uint32_t> frames;  // empty: one sample of `size`
  };
  struct Case {
    const char* name;
    uint32_t kind;
    uint32_t codec_id;
    std::vector<Record> records;
    uint32_t sample_size;
    uint32_t count;
    Words table;
  };
  std::vector<uint32_t> pcm_frames(1024, 4);
  std::vector<uint32_t> pcm_short(512, 4);
  const Case cases[] = {
      {"video of one size", kKindVideo, kCodecH264, {{500, {}}, {500, {}}}, 500, 2, {}},
      {"video of several sizes",
       kKindVideo,
       kCodecH264,
       {{500, {}}, {300, {}}, {500, {}}},
       0,
       3,
       {500, 300, 500}},
      {"PCM collapses to the frame size",
       kKindAudio,
       kCodecPcm16,
       {{4096, pcm_frames}, {4096, pcm_frames}, {2048, pcm_short}},
       4,
       2560,
       {}},
      {"PCM float", kKindAudio, kCodecPcm32Float, {{4096, pcm_frames}}, 4, 1024, {}},
      {"AAC with several frames per record",
       kKindAudio,
       kCodecAac,
       {{20, {10, 10}}, {20, {10, 10}}},
       0,
       4,
       {10, 10, 10, 10}},
      {"AAC single frames of one size", kKindAudio, kCodecAac, {{10, {10}}, {10, {10}}}, 10, 2, {}},
      {"AAC frames of varying size",
       kKindAudio,
       kCodecAac,
       {{7, {3, 4}}, {9, {9}}},
       0,
       3,
       {3, 4, 9}},
      // A record of 0 samples neither breaks uniformity nor adds to the count.
      {"PCM with an empty record",
       kKindAudio,
       kCodecPcm16,
       {{4096, pcm_frames}, {100, {}}, {4096, pcm_frames}},
       4,
       2048,
       {}},
      {"AAC table skips an empty record",
       kKindAudio,
       kCodecAac,
       {{6, {6}}, {100, {}}, {7, {7}}},
       0,
       2,
       {6, 7}},
      {"timecode always lists its sizes", kKindTimecode, kCodecTimecode, {{4, {}}}, 0, 1, {4}},
      // A sample size of 0 means "a table follows": samples that all have 0
      // bytes are listed one by one, never as a constant size of 0.
      {"empty samples", kKindVideo, kCodecAv1, {{0, {}}, {0, {}}}, 0, 2, {0, 0}},
      {"one empty sample", kKindTimedMetadata, kCodecTimedMetadata, {{0, {}}}, 0, 1, {0}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    BoxContext b(kModeMov);
    MuxTrack& t = b.track(0, k.kind, k.codec_id, 48000, 0);
    uint64_t pos = 1000;
    for (const Record& r : k.records) {
      if (k.kind != kKindAudio) {
        b.add(t, 0, pos, r.size);
      } else {
        SampleRecord& rec = b.add_frames(t, pos, r.frames);
        rec.size = r.size;
      }
      pos += r.size;
    }
    write_stsz(b.c, &t);
    iso::Tree tree = iso::parse(b.bytes());
    const iso::Box& stsz = tree.at("stsz");
    EXPECT_EQ(stsz.u32(0), 0u);
    EXPECT_EQ(stsz.u32(4), k.sample_size);
    EXPECT_EQ(stsz.u32(8), k.count);
    EXPECT_EQ(words(stsz, 12), k.table);
    if (k.sample_size != 0) {
      EXPECT_EQ(stsz.size, 20u);
    }
  }
}

TEST(ChunkOffsets, SmallAndLargeForms) {
  struct Case {
    const char* name;
    std::vector<uint64_t> positions;
    const char* expected;
  };
  const Case cases[] = {
      {"below 4 GiB",
       {40, 0x1000, 0xFFFFFFFFull},
       "0000001c 7374636f 00000000 00000003 00000028 00001000 ffffffff"},
      // The last record decides: every offset becomes 64-bit, the small ones too.
      {"last beyond 4 GiB",
       {40, 0x100000000ull},
       "00000020 636f3634 00000000 00000002 0000000000000028 0000000100000000"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    BoxContext b(kModeMp4);
    MuxTrack& t = b.track(0, kKindVideo, kCodecH264, 30000, 0);
    for (uint64_t pos : k.positions) b.add(t, 0, pos, 1);
    write_stco(b.c, &t);
    EXPECT_BYTES(b.bytes(), k.expected);
  }
}

TEST(ChunkOffsets, EmptyAudioRecordsAreNoChunks) {
  BoxContext b(kModeMp4);
  MuxTrack& t = b.track(0, kKindAudio, kCodecAac, 44100, 0);
  b.add_frames(t, 100, {5});
  b.add_frames(t, 105, {});  // its bytes stay in mdat, it is no chunk
  b.add_frames(t, 110, {6, 6});
  write_stco(b.c, &t);
  EXPECT_BYTES(b.bytes(), "00000018 7374636f 00000000 00000002 00000064 0000006e");
}

// Tables across the boundary of the record blocks (10240 records each).
TEST(SampleTables, RecordsAcrossBlocks) {
  BoxContext b(kModeMp4);
  // 25 frames per second in milliseconds: every decoding time converts exactly.
  MuxTrack& t = b.track(0, kKindVideo, kCodecH264, 1000, 0);
  t.timestamp_durations = 1;
  t.sample_duration = 40;
  constexpr uint32_t kCount = 2 * kSampleBlockRecords + 5;
  for (uint32_t i = 0; i < kCount; ++i) {
    // Sample 10240 (the first of the second block) is a key frame with its own
    // size; its decoding time jumps by one extra frame.
    int64_t dts = (i + (i >= kSampleBlockRecords ? 1 : 0)) * 400000ll;
    uint32_t key = i == 0 || i == kSampleBlockRecords ? 1 : 0;
    b.add(t, dts, 1000 + i * 100ull, i == kSampleBlockRecords ? 77 : 50, key);
  }
  t.duration = (kCount + 1) * 40ull;
  EXPECT_EQ(t.entry_capacity, 3 * kSampleBlockRecords);
  write_stbl(b.c, &t);
  iso::Tree tree = iso::parse(b.bytes());
  SCOPED_TRACE(tree.dump());
  const iso::Box& stbl = tree.at("stbl");
  EXPECT_EQ(stbl.child_types(),
            (std::vector<std::string>{"stsd", "stts", "stss", "stsc", "stsz", "stco"}));
  EXPECT_EQ(stts_pairs(stbl.at("stts")),
            (Pairs{{kSampleBlockRecords - 1, 40}, {1, 80}, {kCount - kSampleBlockRecords, 40}}));
  EXPECT_EQ(words(stbl.at("stss"), 8), (Words{1, kSampleBlockRecords + 1}));
  EXPECT_EQ(words(stbl.at("stsc"), 8), (Words{1, 1, 1}));
  const iso::Box& stsz = stbl.at("stsz");
  EXPECT_EQ(stsz.u32(8), kCount);
  EXPECT_EQ(stsz.u32(12 + 4 * (kSampleBlockRecords - 1)), 50u);
  EXPECT_EQ(stsz.u32(12 + 4 * kSampleBlockRecords), 77u);
  EXPECT_EQ(stsz.u32(12 + 4 * (kSampleBlockRecords + 1)), 50u);
  const iso::Box& stco = stbl.at("stco");
  EXPECT_EQ(stco.u32(4), kCount);
  for (uint32_t i : {0u, kSampleBlockRecords - 1, kSampleBlockRecords, kCount - 1}) {
    EXPECT_EQ(stco.u32(8 + 4 * i), 1000 + i * 100) << i;
  }
  EXPECT_EQ(sample_delta(&t, kSampleBlockRecords - 1), 80);
  EXPECT_EQ(sample_delta(&t, kSampleBlockRecords), 40);
  EXPECT_EQ(sample_delta(&t, kCount - 1), 40);
}

TEST(SampleTables, OrderPerKind) {
  struct Case {
    uint32_t kind;
    uint32_t codec_id;
    std::vector<std::string> order;
  };
  const Case cases[] = {
      {kKindVideo, kCodecH264, {"stsd", "stts", "ctts", "stss", "stsc", "stsz", "stco"}},
      {kKindVideo, kCodecAv1, {"stsd", "stts", "stss", "stsc", "stsz", "stco"}},
      {kKindAudio, kCodecAac, {"stsd", "stts", "stsc", "stsz", "stco"}},
      {kKindTimecode, kCodecTimecode, {"stsd", "stts", "stsc", "stsz", "stco"}},
      {kKindTimedMetadata, kCodecTimedMetadata, {"stsd", "stts", "stsc", "stsz", "stco"}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.codec_id);
    BoxContext b(kModeMov);
    MuxTrack& t = b.track(0, k.kind, k.codec_id, 30000, 3003);
    t.sample_duration = 1001;
    for (int i = 0; i < 3; ++i) {
      if (k.kind == kKindAudio) {
        b.add_frames(t, 100 + i * 10, {10});
      } else {
        b.add(t, i * 333667, 100 + i * 10, 10, 1);
      }
    }
    b.set_offsets(t, {1001, 0, 1001});
    write_stbl(b.c, &t);
    iso::Tree tree = iso::parse(b.bytes());
    EXPECT_EQ(tree.at("stbl").child_types(), k.order) << tree.dump();
    EXPECT_EQ(tree.at("stbl/stsd").u32(4), 1u);  // one entry
  }
}

}  // namespace
