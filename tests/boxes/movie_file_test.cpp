// Whole files through the muxer: box order per track kind and mode, the
// tables against what was added, and the movie-level decisions.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "boxes/boxes.h"
#include "support/box_reader.h"
#include "support/mux_file.h"
#include "support/test_files.h"

namespace {

using Types = std::vector<std::string>;
using Words = std::vector<uint32_t>;

constexpr int64_t kFrame30 = 333667;  // 1001/30000 s in 100 ns, rounded up

// The children of a box without the movie-level boxes other families write
// (meta, udta), whose presence does not depend on this family.
Types own_children(const iso::Box& box) {
  Types out;
  for (const std::string& type : box.child_types()) {
    if (type != "meta" && type != "udta") out.push_back(type);
  }
  return out;
}

Words words(const iso::Box& box, uint64_t from) {
  Words out;
  for (uint64_t off = from; off + 4 <= box.payload_size(); off += 4) out.push_back(box.u32(off));
  return out;
}

// A video track (slot 0, H.264) and an AAC track (slot 1).
void add_video_and_audio(MuxFile& f, int frames, int packets) {
  mux_set_timescale(0, f.c, 30000);
  mux_set_sample_duration(0, f.c, 1001);
  mux_set_display_size(0, f.c, 1280, 720);
  mux_set_timescale(1, f.c, 44100);
  mux_set_sample_duration(1, f.c, 1024);
  for (int i = 0; i < std::max(frames, packets); ++i) {
    if (i < frames) f.video(0, 100 + i % 7, i * kFrame30, i * kFrame30, i % 10 == 0);
    if (i < packets) f.audio(1, {20u + i % 3}, i * 232200ll, i * 232200ll, 1024);
  }
}

TEST(MovieFile, Mp4VideoAndAudioLayout) {
  MuxFile f("layout.mp4", kModeMp4,
            {track_spec(0, kKindVideo, kCodecH264), track_spec(1, kKindAudio, kCodecAac)});
  add_video_and_audio(f, 30, 43);
  const iso::Tree& tree = f.finish();
  SCOPED_TRACE(tree.dump());
  EXPECT_EQ(tree.types(), (Types{"ftyp", "free", "mdat", "moov"}));
  EXPECT_EQ(tree.at("ftyp").size, 24u);
  EXPECT_EQ(tree.at("free").size, 8u);
  const iso::Box& moov = tree.at("moov");
  EXPECT_EQ(own_children(moov), (Types{"mvhd", "trak", "trak"}));
  EXPECT_EQ(moov.at("mvhd").u32(96), 3u);  // next track ID

  const iso::Box& video = moov.at("trak[0]");
  EXPECT_EQ(video.child_types(), (Types{"tkhd", "mdia"}));  // no reordering: no edts
  EXPECT_EQ(video.at("tkhd").u32(12), 1u);                  // track ID
  EXPECT_EQ(video.at("tkhd").u32(76), 1280u << 16);
  EXPECT_EQ(video.at("mdia").child_types(), (Types{"mdhd", "hdlr", "minf"}));
  EXPECT_EQ(video.at("mdia/minf").child_types(), (Types{"vmhd", "dinf", "stbl"}));
  EXPECT_EQ(video.at("mdia/minf/stbl").child_types(),
            (Types{"stsd", "stts", "stss", "stsc", "stsz", "stco"}));
  EXPECT_EQ(video.at("mdia/hdlr").fourcc(8), "vide");
  EXPECT_EQ(video.at("mdia/mdhd").u32(12), 30000u);
  EXPECT_EQ(video.at("mdia/mdhd").u32(16), 30030u);

  const iso::Box& audio = moov.at("trak[1]");
  EXPECT_EQ(audio.child_types(), (Types{"tkhd", "edts", "mdia", "udta"}));
  EXPECT_EQ(audio.at("tkhd").u32(12), 2u);
  EXPECT_EQ(audio.at("edts/elst").u32(12), 1600u);
  EXPECT_EQ(audio.at("udta/name").str(0, 6), "Stereo");
  EXPECT_EQ(audio.at("mdia/minf").child_types(), (Types{"smhd", "dinf", "stbl"}));
  EXPECT_EQ(audio.at("mdia/minf/stbl").child_types(),
            (Types{"stsd", "stts", "stsc", "stsz", "stco"}));
  EXPECT_EQ(audio.at("mdia/mdhd").u32(16), 43u * 1024);

  // The movie lasts as long as the longer of the first two tracks.
  EXPECT_EQ(moov.at("mvhd").u32(16), 1001u);  // 43 × 1024 / 44100 s = 998 ms; video 1001 ms

  EXPECT_EQ(f.check_chunks(0, 0), "");
  EXPECT_EQ(f.check_chunks(1, 1), "");
  EXPECT_NE(f.check_chunks(0, 1), "");  // the checker tells the tracks apart
}

TEST(MovieFile, MovWithTimecodeAndReferences) {
  MuxFile f("timecode.mov", kModeMov,
            {track_spec(0, kKindVideo, kCodecH264), track_spec(1, kKindAudio, kCodecAac),
             track_spec(2, kKindTimecode, kCodecTimecode)});
  mux_set_timescale(2, f.c, 30000);
  mux_set_sample_duration(2, f.c, 1001);
  add_video_and_audio(f, 10, 10);
  f.other(2, kKindTimecode, 4, 0, 10010);
  const iso::Tree& tree = f.finish();
  SCOPED_TRACE(tree.dump());
  EXPECT_EQ(tree.types(), (Types{"ftyp", "wide", "mdat", "moov"}));
  EXPECT_EQ(tree.at("ftyp").size, 20u);
  EXPECT_EQ(tree.at("ftyp").fourcc(0), "qt  ");
  const iso::Box& moov = tree.at("moov");
  EXPECT_EQ(own_children(moov), (Types{"mvhd", "trak", "trak", "trak"}));
  EXPECT_EQ(moov.at("mvhd").u32(96), 4u);

  // Every other track refers to the timecode track (ID 3); the timecode track does not.
  for (const char* path : {"trak[0]", "trak[1]"}) {
    const iso::Box& trak = moov.at(path);
    EXPECT_EQ(trak.child_types()[1], "tref") << path;
    EXPECT_EQ(trak.at("tref/tmcd").u32(0), 3u) << path;
    EXPECT_EQ(trak.at("tref").size, 20u);
  }
  EXPECT_EQ(moov.at("trak[0]").child_types(), (Types{"tkhd", "tref", "mdia"}));
  EXPECT_EQ(moov.at("trak[1]").child_types(), (Types{"tkhd", "tref", "edts", "mdia", "udta"}));

  const iso::Box& tc = moov.at("trak[2]");
  EXPECT_EQ(tc.child_types(), (Types{"tkhd", "mdia"}));
  EXPECT_EQ(tc.at("tkhd").flags(), 15u);
  EXPECT_EQ(tc.at("mdia/hdlr").fourcc(4), "mhlr");
  EXPECT_EQ(tc.at("mdia/hdlr").fourcc(8), "tmcd");
  EXPECT_EQ(tc.at("mdia/minf").child_types(), (Types{"gmhd", "hdlr", "dinf", "stbl"}));
  EXPECT_EQ(tc.at("mdia/minf/gmhd").child_types(), (Types{"gmin", "tmcd"}));
  EXPECT_EQ(tc.at("mdia/minf/gmhd/tmcd/tcmi").size, 42u);
  EXPECT_EQ(tc.at("mdia/minf/dinf/dref").fourcc(12), "alis");
  EXPECT_EQ(tc.at("mdia/minf/stbl").child_types(), (Types{"stsd", "stts", "stsc", "stsz", "stco"}));
  const iso::Box& entry = tc.at("mdia/minf/stbl/stsd/tmcd");
  EXPECT_EQ(entry.u8(24), 30);  // 30000 / 1001: the nominal 30 frames
  // One 4-byte sample: tables in their table forms.
  EXPECT_EQ(words(tc.at("mdia/minf/stbl/stts"), 4), (Words{1, 1, 10010}));
  EXPECT_EQ(words(tc.at("mdia/minf/stbl/stsz"), 4), (Words{0, 1, 4}));
  EXPECT_EQ(f.check_chunks(2, 2), "");

  // MOV media boxes: the data handler between the media header and dinf.
  EXPECT_EQ(moov.at("trak[0]/mdia/minf").child_types(), (Types{"vmhd", "hdlr", "dinf", "stbl"}));
  EXPECT_EQ(moov.at("trak[0]/mdia/minf/hdlr").fourcc(4), "dhlr");
  EXPECT_EQ(moov.at("trak[0]/mdia/hdlr").fourcc(4), "mhlr");
}

TEST(MovieFile, TimecodeHandlerSaysMhlrInMp4) {
  MuxFile f("timecode.mp4", kModeMp4,
            {track_spec(0, kKindVideo, kCodecH264), track_spec(1, kKindTimecode, kCodecTimecode)});
  f.video(0, 50, 0, 0, true);
  f.other(1, kKindTimecode, 4, 0, 40);
  const iso::Tree& tree = f.finish();
  SCOPED_TRACE(tree.dump());
  EXPECT_EQ(tree.at("moov/trak[1]/mdia/hdlr").fourcc(4), "mhlr");
  EXPECT_EQ(tree.at("moov/trak[1]/mdia/minf").child_types(), (Types{"gmhd", "dinf", "stbl"}));
  EXPECT_EQ(tree.at("moov/trak[1]/mdia/minf/stbl/stsd/tmcd").u8(24), 15);  // 600 / 40
  EXPECT_EQ(tree.at("moov/trak[0]/tref/tmcd").u32(0), 2u);
  EXPECT_EQ(tree.at("moov/trak[0]/mdia/hdlr").u32(4), 0u);  // no component type in MP4
}

TEST(MovieFile, TimedMetadataTrack) {
  MuxFile f("meta.mov", kModeMov,
            {track_spec(0, kKindVideo, kCodecH264),
             track_spec(1, kKindTimedMetadata, kCodecTimedMetadata)});
  f.video(0, 50, 0, 0, true);
  f.other(1, kKindTimedMetadata, 9, 0, 0);
  f.video(0, 50, kFrame30, kFrame30, false);
  const iso::Tree& tree = f.finish();
  SCOPED_TRACE(tree.dump());
  const iso::Box& trak = tree.at("moov/trak[1]");
  EXPECT_EQ(trak.child_types(), (Types{"tkhd", "mdia"}));
  EXPECT_EQ(trak.at("mdia/hdlr").fourcc(8), "meta");
  EXPECT_EQ(trak.at("mdia/hdlr").u32(16), 1u);  // component flags
  // No media header box at all.
  EXPECT_EQ(trak.at("mdia/minf").child_types(), (Types{"hdlr", "dinf", "stbl"}));
  EXPECT_EQ(trak.at("mdia/minf/dinf/dref").fourcc(12), "alis");
  EXPECT_EQ(trak.at("mdia/minf/stbl").child_types(),
            (Types{"stsd", "stts", "stsc", "stsz", "stco"}));
  EXPECT_EQ(f.check_chunks(1, 1), "");
  EXPECT_EQ(f.check_chunks(0, 0), "");
}

TEST(MovieFile, TracksWithoutSamplesOrCodecAreSkipped) {
  MuxFile f("skipped.mp4", kModeMp4,
            {track_spec(0, kKindVideo, kCodecH264), track_spec(1, kKindAudio, kCodecNone),
             track_spec(2, kKindAudio, kCodecAac), track_spec(3, kKindTimecode, kCodecTimecode)});
  f.video(0, 50, 0, 0, true);
  f.audio(1, {10}, 0, 0, 1024);  // unrecognised codec: no trak
  // slot 2 gets nothing; the timecode slot neither, so nothing may refer to it.
  const iso::Tree& tree = f.finish();
  SCOPED_TRACE(tree.dump());
  EXPECT_EQ(own_children(tree.at("moov")), (Types{"mvhd", "trak"}));
  EXPECT_EQ(tree.at("moov/mvhd").u32(96), 5u);  // track count + 1, skipped tracks too
  EXPECT_EQ(tree.at("moov/trak/tkhd").u32(12), 1u);
  EXPECT_EQ(tree.find("moov/trak/tref"), nullptr);
}

TEST(MovieFile, FileWithoutSamples) {
  MuxFile f("empty.mp4", kModeMp4, {track_spec(0, kKindVideo, kCodecH264)});
  const iso::Tree& tree = f.finish();
  SCOPED_TRACE(tree.dump());
  EXPECT_EQ(tree.types(), (Types{"ftyp", "moov"}));
  EXPECT_EQ(own_children(tree.at("moov")), (Types{"mvhd"}));
  EXPECT_EQ(tree.at("moov/mvhd").u32(16), 0u);
}

TEST(MovieFile, MediaDataSizeIn32Bits) {
  MuxFile f("mdat.mp4", kModeMp4, {track_spec(0, kKindVideo, kCodecH264)});
  f.video(0, 1000, 0, 0, true);
  f.video(0, 2000, kFrame30, kFrame30, false);
  const iso::Tree& tree = f.finish();
  const iso::Box& mdat = tree.at("mdat");
  EXPECT_EQ(mdat.offset, 32u);
  EXPECT_FALSE(mdat.large_size);
  EXPECT_EQ(mdat.size, 16u + 3000);
  EXPECT_EQ(mdat.u64(0), 0u);  // the unused large-size field stays as payload
  EXPECT_EQ(tree.at("moov").offset, 32u + 16 + 3000);
  // The first sample lies right behind the 16-byte header.
  EXPECT_EQ(tree.at("moov/trak/mdia/minf/stbl/stco").u32(8), 48u);
}

TEST(MovieFile, MovieDurationFromTheFirstTwoSlots) {
  MuxFile f("duration.mp4", kModeMp4,
            {track_spec(0, kKindVideo, kCodecH264), track_spec(1, kKindAudio, kCodecAac),
             track_spec(2, kKindAudio, kCodecAlac)});
  mux_set_timescale(1, f.c, 44100);
  mux_set_timescale(2, f.c, 1000);
  for (int i = 0; i < 300; ++i) f.video(0, 10, i * kFrame30, i * kFrame30, i == 0);  // 10.01 s
  f.audio(1, {10}, 0, 0, 463050);  // 10.5 s at 44100
  f.audio(2, {10}, 0, 0, 20000);   // 20 s in slot 2 does not count
  const iso::Tree& tree = f.finish();
  EXPECT_EQ(tree.at("moov/mvhd").u32(16), 10500u);
  EXPECT_EQ(tree.at("moov/trak[2]/tkhd").u32(20), 20000u);
}

TEST(MovieFile, EditListsByTrack) {
  MuxFile f("edits.mov", kModeMov,
            {track_spec(0, kKindVideo, kCodecH264), track_spec(1, kKindAudio, kCodecFlac, 1),
             track_spec(2, kKindVideo, kCodecHevc)});
  mux_set_timescale(1, f.c, 44100);
  // Slot 0: reordered frames, the first presented 2002 units after its decoding.
  f.video(0, 10, 0, 667334, true, 2002);
  f.video(0, 10, kFrame30, 2 * kFrame30, false, 1001);
  // Slot 1: FLAC whose first packet is presented 0.1 s after its decoding time.
  f.audio(1, {30}, 0, 1000000, 4608);
  // Slot 2: no reordering.
  f.video(2, 10, 0, 0, true, 0);
  const iso::Tree& tree = f.finish();
  SCOPED_TRACE(tree.dump());
  // The edit starts at the first frame's composition time.
  EXPECT_EQ(tree.at("moov/trak[0]/edts/elst").u32(12), 2002u);
  EXPECT_EQ(tree.at("moov/trak[0]/edts/elst").u32(8), 66u);  // 2002 / 30000 s
  EXPECT_EQ(tree.at("moov/trak[1]/edts/elst").u32(12), 4410u);
  EXPECT_EQ(tree.find("moov/trak[2]/edts"), nullptr);
  EXPECT_EQ(tree.at("moov/trak[1]/tkhd").flags(), 3u);
  EXPECT_EQ(tree.at("moov/trak[1]/udta").size, 8u);
  // The composition offsets of slot 0.
  EXPECT_EQ(words(tree.at("moov/trak[0]/mdia/minf/stbl/ctts"), 4), (Words{2, 1, 2002, 1, 1001}));
  EXPECT_EQ(tree.find("moov/trak[2]/mdia/minf/stbl/ctts"), nullptr);
}

TEST(MovieFile, PcmSizesAndChunkRuns) {
  MuxFile f("pcm.mov", kModeMov, {track_spec(0, kKindAudio, kCodecPcm16, 1)});
  mux_set_timescale(0, f.c, 48000);
  mux_set_sample_duration(0, f.c, 1);
  int32_t frames[] = {1024, 1024, 1024, 512, 512, 1024};
  int64_t dts = 0;
  for (int32_t n : frames) {
    f.pcm(0, static_cast<uint32_t>(n) * 4, n, dts);
    dts += n * 10000000ll / 48000;
  }
  const iso::Tree& tree = f.finish();
  SCOPED_TRACE(tree.dump());
  const iso::Box& stbl = tree.at("moov/trak/mdia/minf/stbl");
  EXPECT_EQ(stbl.at("stsz").size, 20u);
  EXPECT_EQ(words(stbl.at("stsz"), 4), (Words{4, 5120}));
  EXPECT_EQ(words(stbl.at("stsc"), 4), (Words{3, 1, 1024, 1, 4, 512, 1, 6, 1024, 1}));
  EXPECT_EQ(words(stbl.at("stts"), 4), (Words{1, 5120, 1}));
  EXPECT_EQ(tree.at("moov/trak/tkhd").flags(), 3u);
  EXPECT_EQ(tree.at("moov/trak/edts/elst").u32(12), 0u);
  EXPECT_EQ(f.check_chunks(0, 0), "");
}

TEST(MovieFile, AudioPacketOfZeroFramesIsNoChunk) {
  MuxFile f("zero.mp4", kModeMp4, {track_spec(0, kKindAudio, kCodecAac)});
  f.audio(0, {10, 12}, 0, 0, 2048);
  f.audio(0, {}, 0, 0, 0, 7);  // 7 bytes, no frame: its bytes stay in mdat
  f.audio(0, {11}, 0, 0, 1024);
  f.audio(0, {11}, 0, 0, 1024);
  const iso::Tree& tree = f.finish();
  SCOPED_TRACE(tree.dump());
  const iso::Box& stbl = tree.at("moov/trak/mdia/minf/stbl");
  EXPECT_EQ(words(stbl.at("stts"), 4), (Words{1, 4, 1024}));
  EXPECT_EQ(words(stbl.at("stsc"), 4), (Words{2, 1, 2, 1, 2, 1, 1}));
  EXPECT_EQ(words(stbl.at("stsz"), 4), (Words{0, 4, 10, 12, 11, 11}));
  const iso::Box& stco = stbl.at("stco");
  EXPECT_EQ(stco.u32(4), 3u);
  EXPECT_EQ(stco.u32(12) - stco.u32(8), 22u + 7);  // behind the 7 bytes of the empty packet
  EXPECT_EQ(stco.u32(16) - stco.u32(12), 11u);
  EXPECT_EQ(f.check_chunks(0, 0), "");
}

TEST(MovieFile, TimestampDurationsGiveTheTableForm) {
  MuxFile f("stamps.mp4", kModeMp4, {track_spec(0, kKindVideo, kCodecH264)});
  mux_set_frame_rate(0, f.c, 29.97f, 1);
  f.video(0, 10, 0, 0, true);
  f.video(0, 10, 333667, 333667, false);
  f.video(0, 10, 667334, 667334, false);
  f.video(0, 10, 1334668, 1334668, false);  // a dropped frame before this one
  const iso::Tree& tree = f.finish();
  SCOPED_TRACE(tree.dump());
  // duration = T(1334668) + 1001 = 4004 + 1001; the last sample lasts 1001.
  EXPECT_EQ(tree.at("moov/trak/mdia/mdhd").u32(16), 5005u);
  EXPECT_EQ(words(tree.at("moov/trak/mdia/minf/stbl/stts"), 4),
            (Words{3, 2, 1001, 1, 2002, 1, 1001}));
}

TEST(MovieFile, LanguageFromTheSetter) {
  MuxFile f("lang.mp4", kModeMp4,
            {track_spec(0, kKindVideo, kCodecH264), track_spec(1, kKindAudio, kCodecAc3, 1)});
  mux_set_language(1, f.c, "fra");
  f.video(0, 10, 0, 0, true);
  f.audio(1, {40}, 0, 0, 1536);
  const iso::Tree& tree = f.finish();
  EXPECT_EQ(tree.at("moov/trak[1]/mdia/mdhd").u16(20), 0x1A41);
  EXPECT_EQ(tree.at("moov/trak[0]/mdia/mdhd").u16(20), 0x55C4);
  EXPECT_EQ(tree.at("moov/trak[1]/tkhd").flags(), 2u);
  EXPECT_EQ(tree.at("moov/trak[1]/udta/name").str(0, 8), "Surround");
  EXPECT_EQ(tree.find("moov/trak[1]/edts"), nullptr);  // AC-3 gets no edit list
}

TEST(MovieFile, SecondBlockOfRecords) {
  MuxFile f("blocks.mp4", kModeMp4, {track_spec(0, kKindVideo, kCodecH264)});
  mux_set_timescale(0, f.c, 25000);
  mux_set_sample_duration(0, f.c, 1000);
  constexpr uint32_t kCount = kSampleBlockRecords + 1;
  for (uint32_t i = 0; i < kCount; ++i)
    f.video(0, 4 + i % 5, i * 400000ll, i * 400000ll, i % 250 == 0);
  EXPECT_EQ(f.track(0).entry_capacity, 2 * kSampleBlockRecords);
  const iso::Tree& tree = f.finish();
  const iso::Box& stbl = tree.at("moov/trak/mdia/minf/stbl");
  EXPECT_EQ(stbl.at("stsz").u32(8), kCount);
  EXPECT_EQ(stbl.at("stco").u32(4), kCount);
  EXPECT_EQ(stbl.at("stss").u32(4), 41u);  // 0, 250, ..., 10000
  EXPECT_EQ(stbl.at("stss").u32(8 + 40 * 4), 10001u);
  EXPECT_EQ(words(stbl.at("stts"), 4), (Words{1, kCount, 1000}));
  EXPECT_EQ(f.check_chunks(0, 0), "");
}

TEST(MovieFile, LongAudioGetsVersionOneMediaHeaderOnly) {
  MuxFile f("long.mp4", kModeMp4, {track_spec(0, kKindAudio, kCodecAac)});
  mux_set_timescale(0, f.c, 48000);
  // About 25 hours at 48 kHz: beyond 2^32 units, well within 2^32 ms.
  f.audio(0, {10}, 0, 0, 0x100000000ll + 5);
  const iso::Tree& tree = f.finish();
  SCOPED_TRACE(tree.dump());
  const iso::Box& mdhd = tree.at("moov/trak/mdia/mdhd");
  EXPECT_EQ(mdhd.version(), 1);
  EXPECT_EQ(mdhd.size, 44u);
  EXPECT_EQ(mdhd.u64(24), 0x100000005ull);
  EXPECT_EQ(tree.at("moov/trak/tkhd").version(), 0);
  EXPECT_EQ(tree.at("moov/trak/tkhd").u32(20), 89478485u);  // (2^32 + 5) / 48 ms
  EXPECT_EQ(tree.at("moov/trak/edts/elst").version(), 0);
  EXPECT_EQ(tree.at("moov/mvhd").version(), 0);
}

}  // namespace

// Values no session sets but a file must survive: time scales of 0, a frame
// duration of 0, a duration that went below zero, a huge first offset.
TEST(MovieFile, HostileTrackValuesGiveAValidTree) {
  MuxFile f("hostile.mov", kModeMov,
            {track_spec(0, kKindVideo, kCodecH264), track_spec(1, kKindAudio, kCodecFlac, 1),
             track_spec(2, kKindAudio, kCodecAac), track_spec(3, kKindTimecode, kCodecTimecode)});
  mux_set_timescale(0, f.c, 0);
  mux_set_frame_rate(0, f.c, 0.0f, 1);
  mux_set_timescale(1, f.c, 44100);
  mux_set_timescale(3, f.c, 0);
  mux_set_sample_duration(3, f.c, 0);
  f.video(0, 10, 0, 0, true);
  f.video(0, 10, 400000, 400000, false);
  // pts - dts = 8e18 (100 ns): far beyond 32 bits in track units.
  f.audio(1, {10}, -4000000000000000000ll, 4000000000000000000ll, 4608);
  f.audio(2, {10}, 0, 0, -5000);  // the duration goes below zero
  f.other(3, kKindTimecode, 4, 0, 0);
  const iso::Tree& tree = f.finish();
  SCOPED_TRACE(tree.dump());
  for (const iso::Box* box : tree.all("trak")) EXPECT_TRUE(box->error.empty());
  EXPECT_EQ(own_children(tree.at("moov")), (Types{"mvhd", "trak", "trak", "trak", "trak"}));
  // Slot 0 counts as no time; the FLAC packet of slot 1 lasts 4608 / 44100 s.
  EXPECT_EQ(tree.at("moov/mvhd").u32(16), 104u);
  EXPECT_EQ(tree.at("moov/trak[0]/tkhd").u32(20), 0u);
  EXPECT_EQ(tree.at("moov/trak[0]/mdia/mdhd").u32(12), 0u);  // time scale as given
  // The first offset does not fit 32 bits: the edit is written in its 64-bit form.
  const iso::Box& flac_elst = tree.at("moov/trak[1]/edts/elst");
  EXPECT_EQ(flac_elst.version(), 1);
  EXPECT_EQ(flac_elst.u64(16), 35280000000000000ull);  // 44100 × 8e18 ÷ 1e7
  // A duration below zero is written as 0, not as a count near 2^64.
  EXPECT_EQ(tree.at("moov/trak[2]/mdia/mdhd").version(), 0);
  EXPECT_EQ(tree.at("moov/trak[2]/mdia/mdhd").u32(16), 0u);
  EXPECT_EQ(tree.at("moov/trak[2]/tkhd").u32(20), 0u);
  EXPECT_EQ(tree.at("moov/trak[3]/mdia/minf/stbl/stsd/tmcd").u8(24), 0);
}
