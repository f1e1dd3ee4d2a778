// Hostile and broken input through the slots: refused frames return 0 with a
// log line, nothing is read out of bounds (run under the sanitizers), and the
// file stays valid.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/box_reader.h"
#include "support/plugin_host.h"
#include "support/test_files.h"
#include "support/track_samples.h"

using host::fourcc;

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kIdr = {0x65, 0x88, 0x84, 0x00, 0x33, 0xFF, 0x12, 0x34};
const Bytes kSideBySide = hex_bytes("00 00 00 0C 06 2D 07 81 81 00 00 03 00 01 20 80");

// Heap copies of exactly the given length, so that the sanitizer sees any
// read past their end.
struct Exact {
  explicit Exact(const Bytes& b) : size(b.size()), data(new uint8_t[b.size() ? b.size() : 1]) {
    if (!b.empty()) std::memcpy(data.get(), b.data(), b.size());
  }
  explicit Exact(const std::vector<int32_t>& words)
      : size(words.size() * 4), data(new uint8_t[words.empty() ? 4 : words.size() * 4]) {
    if (!words.empty()) std::memcpy(data.get(), words.data(), size);
  }
  const int32_t* words() const { return reinterpret_cast<const int32_t*>(data.get()); }
  size_t size;
  std::unique_ptr<uint8_t[]> data;
};

bool file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

TrackSamples only_track(const std::string& file, size_t index = 0) {
  iso::Tree tree = iso::read_file(file);
  return read_track_samples(tree.at("moov/trak[" + std::to_string(index) + "]"));
}

// Samples of the track whose sample entry has this type; 0 when the file has
// no such track (a track without samples is left out of the file).
size_t samples_of_entry(const std::string& file, const std::string& entry_type) {
  iso::Tree tree = iso::read_file(file);
  for (const iso::Box* trak : tree.all("trak")) {
    const iso::Box* stsd = trak->find("mdia/minf/stbl/stsd");
    if (stsd != nullptr && stsd->child(entry_type) != nullptr)
      return read_track_samples(*trak).samples.size();
  }
  return 0;
}

class SessionFaults : public ::testing::Test {
 protected:
  void SetUp() override { host::slots_for(fourcc("MP4 ")).SetWriterOptions(nullptr); }
  host::LogCapture log;
};

}  // namespace

// Each dual-audio packet in a fresh file: what the slot returns and how many
// samples each half left in its track. A half whose frame info does not match
// its bytes is refused on its own; the other half is still written. Sizes are
// checked only for halves of more than one frame.
TEST_F(SessionFaults, DualAudioHalvesAreCheckedOneByOne) {
  auto p = host::blank_params(fourcc("MP4 "));
  host::set_audio(*p, fourcc("EAAC"), 48000, 2);
  struct Case {
    const char* name;
    const char* packet;
    std::vector<int32_t> info;
    uint32_t result;
    size_t aac_samples, ac3_samples;
  };
  const Case cases[] = {
      {"length A past the packet", "FF FF FF FF AA BB CC DD", {1, 1, 4, 0}, 0, 0, 0},
      {"length A leaves no room for B's word",
       "04 00 00 00 AA BB CC DD 00 00",
       {1, 1, 4, 0},
       0,
       0,
       0},
      {"length B past the packet", "01 00 00 00 AA 05 00 00 00 CC CC", {1, 1, 1, 1, 5}, 0, 0, 0},
      {"shorter than two length words", "00 00 00 00 00 00 00", {1, 0, 0}, 0, 0, 0},
      {"negative frame count", "01 00 00 00 AA 01 00 00 00 CC", {-1, 1, 1, 1, 1}, 0, 0, 0},
      // An AAC count that its bytes cannot hold also hides where the AC-3 list starts.
      {"AAC frames claimed without AAC bytes", "00 00 00 00 01 00 00 00 CC", {1, 1}, 0, 0, 0},
      {"AAC sizes do not add up",
       "02 00 00 00 AA AA 03 00 00 00 CC CC CC",
       {1, 2, 1, 2, 1, 2},
       3,
       0,
       1},
      {"negative AAC size", "02 00 00 00 AA AA 01 00 00 00 CC", {1, 2, 3, -1, 1, 1}, 1, 0, 1},
      {"AC-3 count larger than its bytes",
       "01 00 00 00 AA 01 00 00 00 CC",
       {1, 1, 1, 9, 1},
       1,
       1,
       0},
      {"AC-3 sizes do not add up", "01 00 00 00 AA 02 00 00 00 CC CC", {1, 1, 0, 2, 1, 2}, 1, 1, 0},
      {"single frames with stale size words",
       "02 00 00 00 AA AA 03 00 00 00 CC CC CC",
       {1, 1, 0, 1, 7},
       5,
       1,
       1},
      {"frame counts of 0", "01 00 00 00 AA 01 00 00 00 CC", {0, 0, 0}, 2, 0, 0},
      {"two AAC frames that add up",
       "03 00 00 00 AA AA AA 01 00 00 00 CC",
       {1, 2, 1, 2, 1, 1},
       4,
       2,
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = test_temp_path("dual-halves.mp4");
    {
      host::Session s(*p, file);
      ASSERT_TRUE(s.open());
      Exact packet(hex_bytes(c.packet));
      Exact info(c.info);
      MxAudioFrame a = host::audio_frame(packet.data.get(), static_cast<int32_t>(packet.size), 0);
      EXPECT_EQ(s.audio(a, info.words()), c.result);
      EXPECT_EQ(s.audio(a, nullptr), 0u);  // frame info is required
    }
    EXPECT_EQ(samples_of_entry(file, "mp4a"), c.aac_samples);
    EXPECT_EQ(samples_of_entry(file, "ac-3"), c.ac3_samples);
  }
  EXPECT_TRUE(log.contains(
      "CMp4Writer::WriteAudioFrame refused: frame info does not match the AAC part [2] of the "
      "dual audio packet"));
  EXPECT_TRUE(log.contains(
      "CMp4Writer::WriteAudioFrame refused: frame info does not match the AC-3 part [1] of the "
      "dual audio packet"));
}

// A packet of one frame needs no size word: {1, 0}, a stale size or no size
// word at all are all fine. A count of 0 writes the bytes and adds no sample.
TEST_F(SessionFaults, SingleFramePacketsNeedNoSizeWord) {
  auto p = host::blank_params(fourcc("MP4 "));
  host::set_audio(*p, fourcc("AAC "), 48000, 2);
  std::string file = test_temp_path("single-frame.mp4");
  const std::vector<int32_t> infos[] = {{1, 0}, {1, 9999}, {1}, {0}, {1, -5}};
  {
    host::Session s(*p, file);
    ASSERT_TRUE(s.open());
    Exact packet(Bytes(12, 0x21));
    int64_t t = 0;
    for (const std::vector<int32_t>& words : infos) {
      Exact info(words);  // exactly as long as listed: a read past it is seen
      MxAudioFrame a = host::audio_frame(packet.data.get(), 12, t);
      EXPECT_EQ(s.audio(a, info.words()), 12u) << words.size() << " words";
      t += 213333;
    }
  }
  EXPECT_EQ(log.count_prefix("CMp4Writer::WriteAudioFrame refused"), 0u);
  TrackSamples t = only_track(file);
  ASSERT_EQ(t.samples.size(), 4u);
  for (const TrackSample& sample : t.samples) EXPECT_EQ(sample.size, 12u);
}

TEST_F(SessionFaults, FrameInfoThatDoesNotDescribeThePacketIsRefused) {
  auto p = host::blank_params(fourcc("MP4 "));
  host::set_audio(*p, fourcc("AAC "), 48000, 2);
  std::string file = test_temp_path("info-bad.mp4");
  struct Case {
    const char* name;
    std::vector<int32_t> info;
  };
  const Case refused[] = {
      {"negative count", {-1}},
      {"count larger than the packet", {13, 1}},
      {"sizes fill the packet before the count is reached", {3, 12}},
      {"sizes short of the packet", {2, 4, 4}},
      {"sizes beyond the packet", {2, 8, 8}},
      {"negative size", {2, -4, 16}},
      {"zero size", {2, 0, 12}},
  };
  {
    host::Session s(*p, file);
    ASSERT_TRUE(s.open());
    Exact packet(Bytes(12, 0x21));
    for (const Case& c : refused) {
      SCOPED_TRACE(c.name);
      Exact info(c.info);
      MxAudioFrame a = host::audio_frame(packet.data.get(), 12, 0);
      EXPECT_EQ(s.audio(a, info.words()), 0u);
    }
    MxAudioFrame a = host::audio_frame(packet.data.get(), 12, 0);
    EXPECT_EQ(s.audio(a, nullptr), 0u);
    Exact good(std::vector<int32_t>{2, 5, 7});
    EXPECT_EQ(s.audio(a, good.words()), 12u);
  }
  EXPECT_EQ(log.count_prefix("CMp4Writer::WriteAudioFrame refused"), std::size(refused) + 1);
  TrackSamples t = only_track(file);
  ASSERT_EQ(t.samples.size(), 2u);
  EXPECT_EQ(t.samples[0].size, 5u);
  EXPECT_EQ(t.samples[1].size, 7u);
}

TEST_F(SessionFaults, PcmPacketsWithoutChannelsOrFramesAreRefused) {
  auto p = host::blank_params(fourcc("MOV "));
  host::set_audio(*p, fourcc("PCM "), 48000, 2, 16);
  std::string file = test_temp_path("pcm-bad.mov");
  {
    host::Session s(*p, file);
    Exact packet(Bytes(4096, 1));
    MxAudioFrame a = host::audio_frame(packet.data.get(), 4096, 0, 0);
    EXPECT_EQ(s.audio(a, nullptr), 0u);  // no channels
    Exact tiny(Bytes(3, 1));
    a = host::audio_frame(tiny.data.get(), 3, 0, 2);
    EXPECT_EQ(s.audio(a, nullptr), 0u);  // shorter than one frame
    a = host::audio_frame(packet.data.get(), 4096, 0, 0x80000000u);
    EXPECT_EQ(s.audio(a, nullptr), 0u);  // a frame larger than the packet
    a = host::audio_frame(packet.data.get(), 4096, 0, 2);
    EXPECT_EQ(s.audio(a, nullptr), 4096u);
  }
  EXPECT_EQ(log.count_prefix("CMp4Writer::WriteAudioFrame refused: PCM"), 3u);
  TrackSamples t = only_track(file);
  EXPECT_EQ(t.samples.size(), 1024u);
}

// An empty video frame is not stored, whatever the codec, and the slot says
// so: a sample of 0 bytes is no picture. Logged once per session.
TEST_F(SessionFaults, EmptyVideoFramesAreRefused) {
  const Bytes idr = host::annex_b({kIdr});
  const char* codes[] = {"H264", "HEVC", "AV1 ", "MP4V", "AVHD"};
  for (const char* code : codes) {
    SCOPED_TRACE(code);
    auto p = host::blank_params(fourcc("MP4 "));
    host::set_video(*p, MX_FOURCC(code[0], code[1], code[2], code[3]), 320, 240, 25.0);
    std::string file = test_temp_path("empty-frames.mp4");
    host::LogCapture session_log;
    {
      host::Session s(*p, file);
      ASSERT_TRUE(s.open());
      Bytes first = idr, last = idr, empty = idr;
      MxVideoFrame f =
          host::video_frame(first.data(), static_cast<uint32_t>(first.size()), 0, 0, 1);
      EXPECT_GT(s.video(f), 0u);
      MxVideoFrame e = host::video_frame(empty.data(), 0, 400000, 400000, 0);
      EXPECT_EQ(s.video(e), 0u);
      e = host::video_frame(nullptr, 0, 800000, 800000, 0);
      EXPECT_EQ(s.video(e), 0u);
      f = host::video_frame(last.data(), static_cast<uint32_t>(last.size()), 1200000, 1200000, 1);
      EXPECT_GT(s.video(f), 0u);
    }
    TrackSamples v = only_track(file);
    ASSERT_EQ(v.samples.size(), 2u);
    for (const TrackSample& sample : v.samples) EXPECT_GT(sample.size, 0u);
    EXPECT_EQ(session_log.count_prefix("CMp4Writer::WriteVideoFrame refused: empty frames"), 1u);
  }
}

TEST_F(SessionFaults, NullDataWithASizeIsNeverRead) {
  auto p = host::blank_params(fourcc("MP4 "));
  host::set_video(*p, fourcc("H264"), 320, 240, 25.0);
  host::set_audio(*p, fourcc("AAC "), 48000, 2);
  p->no_timecode = 0;
  std::string file = test_temp_path("null-data.mp4");
  {
    host::Session s(*p, file);
    MxVideoFrame v = host::video_frame(nullptr, 100, 0, 0, 1);
    EXPECT_EQ(s.video(v), 0u);
    MxVideoFrame tc = host::video_frame(nullptr, 0, 0, 0);
    tc.frame_type = MX_FRAME_TYPE_TIMECODE;
    tc.tc_size = 4;
    EXPECT_EQ(s.video(tc), 0u);
    int32_t info[2] = {1, 100};
    MxAudioFrame a = host::audio_frame(nullptr, 100, 0);
    EXPECT_EQ(s.audio(a, info), 0u);
    // Empty and negative packets: nothing to write.
    Exact some(Bytes(8, 1));
    a = host::audio_frame(some.data.get(), 0, 0);
    EXPECT_EQ(s.audio(a, info), 0u);
    a = host::audio_frame(some.data.get(), -8, 0);
    EXPECT_EQ(s.audio(a, info), 0u);
    // A real frame still makes a playable track.
    Bytes idr = host::annex_b({kIdr});
    v = host::video_frame(idr.data(), static_cast<uint32_t>(idr.size()), 0, 0, 1);
    EXPECT_EQ(s.video(v), 12u);
  }
  EXPECT_TRUE(log.contains("CMp4Writer::WriteVideoFrame refused: no data for [100] bytes"));
  EXPECT_TRUE(log.contains("CMp4Writer::WriteVideoFrame refused: timecode frame without data"));
  EXPECT_TRUE(log.contains("CMp4Writer::WriteAudioFrame refused: no data for [100] bytes"));
  EXPECT_TRUE(log.contains("CMp4Writer::WriteAudioFrame refused: negative size [-8]"));
  iso::Tree tree = iso::read_file(file);
  EXPECT_EQ(tree.at("moov").count("trak"), 1u) << tree.dump();
  EXPECT_EQ(only_track(file).samples.size(), 1u);
}

TEST_F(SessionFaults, NullPointersInEverySlot) {
  const SingleStreamSlots& slots = host::slots_for(fourcc("MP4 "));
  auto p = host::blank_params(fourcc("MP4 "));
  host::set_video(*p, fourcc("H264"), 320, 240, 25.0);
  std::u16string name = u16(test_temp_path("null-slots.mp4"));

  EXPECT_EQ(slots.CreateMediaFile(nullptr, p.get()), nullptr);
  EXPECT_EQ(slots.CreateMediaFile(host_text(name.c_str()), nullptr), nullptr);
  EXPECT_EQ(log.count_prefix("mx_mp4.dll: wrong poiter - pFileName[0] or pEncParam["), 1u);
  EXPECT_EQ(log.count_prefix("mx_mp4.dll: wrong poiter - pFileName["), 2u);

  MxVideoFrame v{};
  MxAudioFrame a{};
  EXPECT_EQ(slots.WriteVideoFrame(nullptr, &v), 0xFFFFFFFFu);
  EXPECT_EQ(slots.WriteAudioFrame(nullptr, &a, nullptr), 0xFFFFFFFFu);
  slots.WriteAudioExtraData(nullptr, nullptr, 10);
  slots.WriteVideoExtraData(nullptr, nullptr, 10, nullptr, 10);
  slots.CloseMediaFile(nullptr);
  EXPECT_TRUE(log.contains("mx_mp4.dll: media file closed."));

  MxSession h = slots.CreateMediaFile(host_text(name.c_str()), p.get());
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(slots.WriteVideoFrame(h, nullptr), 0xFFFFFFFFu);
  EXPECT_EQ(slots.WriteAudioFrame(h, nullptr, nullptr), 0xFFFFFFFFu);
  slots.WriteAudioExtraData(h, nullptr, 10);  // stored as empty configuration
  slots.WriteAudioExtraData(h, nullptr, 0);
  slots.WriteVideoExtraData(h, nullptr, 10, nullptr, 0);  // nothing stored
  EXPECT_EQ(slots.WriteAudioFrame(h, &a, nullptr), 0u);   // no audio in this file
  slots.CloseMediaFile(h);
  EXPECT_EQ(slots.SetWriterOptions(nullptr), 0u);
  iso::Tree tree = iso::read_file(test_temp_path("null-slots.mp4"));
  EXPECT_NE(tree.find("ftyp"), nullptr);
  EXPECT_NE(tree.find("moov"), nullptr);
}

TEST_F(SessionFaults, ConvertedFramesLargerThanTheScratchBufferGrowIt) {
  // Width 4 makes the initial scratch buffer 48 bytes; the frames are far larger,
  // and with stereo frame packing the output outgrows the input.
  auto p = host::blank_params(fourcc("MP4 "));
  host::set_video(*p, fourcc("H264"), 4, 4, 25.0);
  p->video.stereo_mode = 1;
  std::string file = test_temp_path("grow.mp4");
  Bytes big_idr(200000, 0x5C);
  big_idr[0] = 0x65;
  std::vector<Bytes> many;
  for (int i = 0; i < 500; ++i) many.push_back({0x65, static_cast<uint8_t>(i), 0x11});
  Bytes expected_many;
  for (const Bytes& u : many) {
    expected_many.insert(expected_many.end(), kSideBySide.begin(), kSideBySide.end());
    Bytes one = host::length_prefixed({u});
    expected_many.insert(expected_many.end(), one.begin(), one.end());
  }
  {
    host::Session s(*p, file);
    Bytes first = host::annex_b({big_idr});
    Exact exact(first);
    MxVideoFrame v =
        host::video_frame(exact.data.get(), static_cast<uint32_t>(exact.size), 0, 0, 1);
    EXPECT_EQ(s.video(v), 16u + 4 + big_idr.size());
    Exact second(host::annex_b(many));
    EXPECT_LT(second.size, expected_many.size());
    v = host::video_frame(second.data.get(), static_cast<uint32_t>(second.size), 400000, 400000, 1);
    EXPECT_EQ(s.video(v), expected_many.size());
  }
  iso::Tree tree = iso::read_file(file);
  TrackSamples t = read_track_samples(tree.at("moov/trak[0]"));
  Bytes bytes = read_whole_file(file);
  ASSERT_EQ(t.samples.size(), 2u);
  EXPECT_EQ(sample_bytes(bytes, t.samples[0]), [&] {
    Bytes e = kSideBySide;
    Bytes one = host::length_prefixed({big_idr});
    e.insert(e.end(), one.begin(), one.end());
    return e;
  }());
  EXPECT_EQ(sample_bytes(bytes, t.samples[1]), expected_many);
}

// A movie whose own name ends in .jpg (in any case, as Windows compares names)
// would get the still written to its own path and then written over by the
// movie: no still is written, and the movie comes out whole.
TEST_F(SessionFaults, LivePhotoStillNeverReplacesTheMovie) {
  const Bytes jpeg = read_whole_file(std::string(MX_SOURCE_DIR) + "/samples/cover.jpg");
  MxPicture picture{jpeg.data(), static_cast<uint32_t>(jpeg.size()), 0};
  auto p = host::blank_params(fourcc("MOV "));
  host::set_video(*p, fourcc("Xvid"), 320, 240, 30.0);
  p->metadata.live_photo = 1;
  p->metadata.cover_art = &picture;
  for (const char* name : {"named-still.jpg", "named-still.JPG", "named-still.Jpg"}) {
    SCOPED_TRACE(name);
    host::LogCapture case_log;
    std::string file = test_temp_path(name);
    Bytes frame(100, 0x42);
    {
      host::Session s(*p, file);
      ASSERT_TRUE(s.open());
      MxVideoFrame v = host::video_frame(frame.data(), 100, 0, 0, 1);
      EXPECT_EQ(s.video(v), 100u);
    }
    EXPECT_TRUE(
        case_log.contains("CMp4Writer::CreateMediaFile Live Photo still would replace the "
                          "movie [" +
                          file + "], no still written"));
    iso::Tree tree = iso::read_file(file);
    EXPECT_EQ(tree.types(), (std::vector<std::string>{"ftyp", "wide", "mdat", "moov"}))
        << tree.dump();
    EXPECT_EQ(tree.trailing, 0u);
    EXPECT_EQ(tree.boxes.back().offset + tree.boxes.back().size, tree.input_size);
    EXPECT_EQ(read_track_samples(tree.at("moov/trak[0]")).samples.size(), 1u);
    std::remove(file.c_str());
  }
}

TEST_F(SessionFaults, LivePhotoWithANonJpegPictureWritesNoStill) {
  Bytes png = hex_bytes("89 50 4E 47 0D 0A 1A 0A 00 00 00 0D 49 48 44 52");
  MxPicture picture{png.data(), static_cast<uint32_t>(png.size()), 2};
  auto p = host::blank_params(fourcc("MP4 "));
  host::set_video(*p, fourcc("H264"), 320, 240, 30.0);
  p->metadata.live_photo = 1;
  p->metadata.cover_art = &picture;
  std::string base = test_temp_path("live-png");
  std::string file = base + ".mov";
  {
    host::Session s(*p, file);
    ASSERT_TRUE(s.open());
    Bytes idr = host::annex_b({kIdr});
    MxVideoFrame v = host::video_frame(idr.data(), static_cast<uint32_t>(idr.size()), 0, 0, 1);
    EXPECT_EQ(s.video(v), 12u);
  }
  EXPECT_FALSE(file_exists(base + ".jpg"));
  EXPECT_FALSE(file_exists(base + ".png"));
  EXPECT_TRUE(log.contains(
      "CMp4Writer::CreateMediaFile Live Photo picture kind [2] is not JPEG, no still written"));
  iso::Tree tree = iso::read_file(file);
  EXPECT_EQ(tree.at("ftyp").fourcc(0), "qt  ");  // a Live Photo is always a QuickTime movie
  EXPECT_EQ(read_track_samples(tree.at("moov/trak[0]")).samples.size(), 1u);
}

TEST_F(SessionFaults, OutputFailureStopsTheFramesAndIsReported) {
  // /dev/full accepts the open and fails every write with ENOSPC. Small frames
  // reach it when the 8 MiB buffer is flushed; a frame of 64 KiB or more goes
  // to the file at once, so the first one already fails.
  struct Case {
    size_t frame_size;
    int frames;
    int stored;  // frames accepted before the failure shows
  };
  const Case cases[] = {{48 << 10, 200, (8 << 20) / (48 << 10)}, {1 << 20, 4, 0}};
  size_t sessions = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frame_size);
    ++sessions;
    auto p = host::blank_params(fourcc("MP4 "));
    host::set_video(*p, fourcc("Xvid"), 320, 240, 25.0);
    host::Session s(*p, "/dev/full");
    ASSERT_TRUE(s.open());
    Bytes frame(c.frame_size, 0x42);
    int stored = 0, refused = 0;
    for (int i = 0; i < c.frames; ++i) {
      MxVideoFrame v = host::video_frame(frame.data(), static_cast<uint32_t>(frame.size()),
                                         i * 400000, i * 400000, 1);
      uint32_t r = s.video(v);
      if (r == frame.size()) {
        EXPECT_EQ(refused, 0) << "a frame was stored after a refused one";
        ++stored;
      } else {
        EXPECT_EQ(r, 0u);
        ++refused;
      }
    }
    EXPECT_EQ(stored, c.stored);
    EXPECT_EQ(refused, c.frames - c.stored);
    s.close();
    EXPECT_EQ(log.count_prefix("CMp4Writer::WriteFrame output failed [28]"), sessions);
    EXPECT_EQ(log.count_prefix("mx_mp4.dll: writing failed [28], the file is incomplete."),
              sessions);
    EXPECT_FALSE(log.contains("mx_mp4.dll: writed trail successful."));
    EXPECT_EQ(log.count_prefix("mx_mp4.dll: media file closed."), sessions);
  }
}

TEST_F(SessionFaults, OutputFailureAtTheLastFlushIsReported) {
  // Nothing reaches the stream before close: the failure shows at the end.
  auto p = host::blank_params(fourcc("MP4 "));
  host::set_video(*p, fourcc("Xvid"), 320, 240, 25.0);
  {
    host::Session s(*p, "/dev/full");
    Bytes frame(1000, 0x42);
    MxVideoFrame v = host::video_frame(frame.data(), 1000, 0, 0, 1);
    EXPECT_EQ(s.video(v), 1000u);
  }
  EXPECT_EQ(log.count_prefix("mx_mp4.dll: writing failed ["), 1u);
  EXPECT_FALSE(log.contains("mx_mp4.dll: writed trail successful."));
}

// Another process unlinks or replaces the file while it is written: no write
// fails, but the file the session wrote is gone, and the close reports it as
// it reports a failed write.
TEST_F(SessionFaults, OutputThatVanishesWhileWrittenIsReported) {
  struct Case {
    const char* name;
    void (*change)(const std::string& path);
  };
  const Case cases[] = {
      {"unlinked", [](const std::string& path) { std::remove(path.c_str()); }},
      {"replaced",
       [](const std::string& path) {
         write_whole_file(path + ".other", {1, 2, 3, 4, 5});
         std::rename((path + ".other").c_str(), path.c_str());
       }},
  };
  auto p = host::blank_params(fourcc("MP4 "));
  host::set_video(*p, fourcc("Xvid"), 320, 240, 25.0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    host::LogCapture case_log;
    std::string file = test_temp_path("vanishing.mp4");
    {
      host::Session s(*p, file);
      ASSERT_TRUE(s.open());
      Bytes frame(1000, 0x42);
      MxVideoFrame v = host::video_frame(frame.data(), 1000, 0, 0, 1);
      EXPECT_EQ(s.video(v), 1000u);
      c.change(file);
    }
#ifdef _WIN32
    // Windows refuses to unlink or replace a file that is open for writing:
    // the session's file stays whole and the close reports success.
    EXPECT_TRUE(case_log.contains("mx_mp4.dll: writed trail successful."));
    EXPECT_EQ(case_log.count_prefix("mx_mp4.dll: writing failed"), 0u);
#else
    EXPECT_TRUE(case_log.contains("mx_mp4.dll: writing failed [2], the file is incomplete."));
    EXPECT_FALSE(case_log.contains("mx_mp4.dll: writed trail successful."));
#endif
    EXPECT_TRUE(case_log.contains("mx_mp4.dll: media file closed."));
    std::remove(file.c_str());
  }
  // Left alone, the same session reports success.
  host::LogCapture case_log;
  std::string file = test_temp_path("vanishing.mp4");
  {
    host::Session s(*p, file);
    Bytes frame(1000, 0x42);
    MxVideoFrame v = host::video_frame(frame.data(), 1000, 0, 0, 1);
    EXPECT_EQ(s.video(v), 1000u);
  }
  EXPECT_TRUE(case_log.contains("mx_mp4.dll: writed trail successful."));
  EXPECT_EQ(case_log.count_prefix("mx_mp4.dll: writing failed"), 0u);
  std::remove(file.c_str());
}
