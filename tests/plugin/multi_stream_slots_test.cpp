// The multi-stream slots: registration, the merge into one EncParam, and the
// routing of frames, configuration and close to the single-stream slots. A
// fake single-stream descriptor records everything it is handed.
#include "plugin/multi_stream_slots.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "mx_mp4/host.h"
#include "plugin/slots.h"
#include "support/log_capture.h"
#include "support/test_files.h"

namespace {

constexpr uint32_t code_of(const char* c) {
  return MX_FOURCC(c[0], c[1], c[2], c[3]);
}

// ------------------------------------------------ the fake single-stream side

struct Call {
  Call(std::string name, MxSession s = nullptr, const void* r = nullptr)
      : slot(std::move(name)), session(s), record(r) {}
  std::string slot;
  MxSession session = nullptr;
  const void* record = nullptr;
  const int32_t* frame_info = nullptr;
  std::vector<uint8_t> bytes1, bytes2;
  const uint8_t* data1 = nullptr;
  const uint8_t* data2 = nullptr;
  uint32_t size1 = 0, size2 = 0;
};

struct Recorder {
  std::vector<Call> calls;
  std::unique_ptr<EncParam> created_params;
  std::u16string created_name;
  bool created_name_null = false;
  std::vector<WriterOptions> options;
  int writer_token = 0;
} g_recorder;

MxSession fake_writer() {
  return &g_recorder.writer_token;
}

MxSession fake_create(const MxChar* name, const EncParam* params) {
  g_recorder.calls.push_back({"create"});
  g_recorder.created_name_null = name == nullptr;
  g_recorder.created_name = name ? field_text(name) : u"";
  g_recorder.created_params = std::make_unique<EncParam>(*params);
  return g_recorder.created_name == u"refuse" ? nullptr : fake_writer();
}
uint32_t fake_audio_frame(MxSession s, const MxAudioFrame* frame, const int32_t* info) {
  Call c{"audio frame", s, frame};
  c.frame_info = info;
  g_recorder.calls.push_back(c);
  return 11;
}
uint32_t fake_video_frame(MxSession s, const MxVideoFrame* frame) {
  g_recorder.calls.push_back({"video frame", s, frame});
  return 22;
}
void fake_close(MxSession s) {
  g_recorder.calls.push_back({"close", s});
}
void fake_audio_extra(MxSession s, const uint8_t* data, uint32_t size) {
  Call c{"audio extra", s};
  c.data1 = data, c.size1 = size;
  if (data) c.bytes1.assign(data, data + size);
  g_recorder.calls.push_back(c);
}
void fake_video_extra(MxSession s, const uint8_t* d1, uint32_t n1, const uint8_t* d2, uint32_t n2) {
  Call c{"video extra", s};
  c.data1 = d1, c.size1 = n1, c.data2 = d2, c.size2 = n2;
  if (d1) c.bytes1.assign(d1, d1 + n1);
  if (d2) c.bytes2.assign(d2, d2 + n2);
  g_recorder.calls.push_back(c);
}
uint32_t fake_options(const WriterOptions* options) {
  g_recorder.calls.push_back({"options"});
  g_recorder.options.push_back(*options);
  return 0;
}

FormatDescriptor g_fake_full = {code_of("TEST"),
                                MX_TEXT(".tst"),
                                MX_TEXT("T"),
                                MX_TEXT("test"),
                                nullptr,
                                nullptr,
                                {{fake_create, fake_audio_frame, fake_video_frame, fake_close,
                                  fake_audio_extra, fake_video_extra, 0, fake_options}}};
FormatDescriptor g_fake_audio_only = {
    code_of("TAUD"),
    MX_TEXT(".tau"),
    MX_TEXT("A"),
    MX_TEXT("audio"),
    nullptr,
    nullptr,
    {{fake_create, fake_audio_frame, nullptr, fake_close, fake_audio_extra, nullptr, 0, nullptr}}};

FormatDescriptor* fake_lookup(uint32_t code) {
  if (code == g_fake_full.fourcc) return &g_fake_full;
  if (code == g_fake_audio_only.fourcc) return &g_fake_audio_only;
  return nullptr;
}

// ------------------------------------------------------------ stream records

void set_text(MxChar* field, size_t units, const std::u16string& text) {
  ASSERT_LT(text.size(), units);
  std::memcpy(field, text.c_str(), (text.size() + 1) * sizeof(char16_t));
}

std::unique_ptr<EncParam> zeroed_record() {
  return std::make_unique<EncParam>();
}

// A record whose every byte is pattern: fields not copied by the merge must
// not leak into the result.
std::unique_ptr<EncParam> filled_record(uint8_t pattern) {
  auto p = zeroed_record();
  std::memset(p.get(), pattern, sizeof *p);
  return p;
}

std::unique_ptr<EncParam> video_record(const char (&code)[5], uint32_t width, uint32_t display_w,
                                       uint32_t display_h, const std::u16string& title) {
  auto p = filled_record(0x5A);
  p->video.fourcc = code_of(code);
  p->video.width = width;
  p->video.height = width * 9 / 16;
  p->video.frame_rate = 23.976;
  p->video.bit_rate = 8000000;
  p->video.display_width = display_w;
  p->video.display_height = display_h;
  p->no_video = 0;
  set_text(p->metadata.title, 520, title);
  p->metadata.live_photo = 0;
  p->metadata.cover_art = nullptr;
  return p;
}

std::unique_ptr<EncParam> audio_record(const std::u16string& language,
                                       const std::u16string& title) {
  auto p = filled_record(0xA5);
  p->audio.fourcc = code_of("AAC ");
  p->audio.sample_rate = 48000;
  p->audio.channels = 2;
  p->audio.bit_rate = 192000;
  set_text(p->audio.language, 3098, language);
  p->no_audio = 0;
  set_text(p->metadata.title, 520, title);
  p->metadata.live_photo = 0;
  p->metadata.cover_art = nullptr;
  return p;
}

std::unique_ptr<EncParam> subpicture_record(const char (&code)[5], const std::u16string& language) {
  auto p = filled_record(0x3C);
  p->subpicture.fourcc = code_of(code);
  set_text(p->subpicture.language, 1034, language);
  p->no_subpicture = 0;
  return p;
}

std::unique_ptr<EncParam> timecode_record() {
  auto p = filled_record(0x7E);
  std::memset(p->timecode, 0, sizeof p->timecode);
  p->timecode[8] = 0x42;
  p->no_timecode = 0;
  return p;
}

class MultiStream : public ::testing::Test {
 protected:
  void SetUp() override {
    g_recorder = Recorder{};
    set_single_stream_lookup(fake_lookup);
  }
  void TearDown() override { set_single_stream_lookup(nullptr); }
};

// ----------------------------------------------------------------- the merge

TEST_F(MultiStream, MergesAllStreamsIntoOneRecordAndLogsEachStep) {
  static const MxPicture still = {nullptr, 0, 0};
  auto video1 = video_record("H264", 1920, 1920, 1080, u"first video");
  video1->metadata.live_photo = 1;
  video1->metadata.cover_art = &still;
  set_text(video1->metadata.location_accuracy, 500, u"accuracy from video 1");
  set_text(video1->metadata.software, 500, u"software from video 1");
  auto video2 = video_record("HEVC", 1280, 1280, 720, u"second video");
  auto audio = audio_record(u"", u"audio title");
  set_text(audio->metadata.location_accuracy, 500, u"accuracy from audio");
  auto internal = subpicture_record("SUBI", u"fra");
  auto external = subpicture_record("SUBE", u"");
  auto timecode = timecode_record();
  auto unknown = filled_record(0x99);

  LogCapture log("multi-merge.log");
  MxSession session = CreateMediaFileMultiStream();
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(AddStreamInfoMultiStream(session, MX_STREAM_VIDEO, 1, 10, 100, video1.get()), 1u);
  EXPECT_EQ(AddStreamInfoMultiStream(session, MX_STREAM_AUDIO, 1, 11, 101, audio.get()), 1u);
  EXPECT_EQ(AddStreamInfoMultiStream(session, MX_STREAM_VIDEO, 1, 12, 102, video2.get()), 1u);
  EXPECT_EQ(
      AddStreamInfoMultiStream(session, MX_STREAM_SUBPIC_INTERNAL, 2, 13, 103, internal.get()), 1u);
  EXPECT_EQ(
      AddStreamInfoMultiStream(session, MX_STREAM_SUBPIC_EXTERNAL, 2, 14, 104, external.get()), 1u);
  EXPECT_EQ(AddStreamInfoMultiStream(session, MX_STREAM_TIMECODE, 1, 15, 105, timecode.get()), 1u);
  EXPECT_EQ(AddStreamInfoMultiStream(session, 9, 1, 16, 106, unknown.get()), 1u);
  EXPECT_EQ(InitMediaFileMultiStream(session, code_of("TEST"), host_text(u"/out/movie.mp4")), 1u);

  ASSERT_NE(g_recorder.created_params, nullptr);
  const EncParam& p = *g_recorder.created_params;
  EXPECT_EQ(g_recorder.created_name, u"/out/movie.mp4");
  // Later streams of a type win.
  EXPECT_EQ(std::memcmp(&p.video, &video2->video, sizeof p.video), 0);
  EXPECT_EQ(std::memcmp(&p.audio, &audio->audio, sizeof p.audio), 0);
  EXPECT_EQ(std::memcmp(&p.subpicture, &external->subpicture, sizeof p.subpicture), 0);
  EXPECT_EQ(std::memcmp(p.timecode, timecode->timecode, sizeof p.timecode), 0);
  EXPECT_EQ(p.no_video, 0u);
  EXPECT_EQ(p.no_audio, 0u);
  EXPECT_EQ(p.no_subpicture, 0u);
  EXPECT_EQ(p.no_timecode, 0u);
  EXPECT_EQ(p.file_fourcc, code_of("TEST"));
  EXPECT_EQ(p.reserved_16036, 0u);
  EXPECT_EQ(std::memcmp(p.reserved_14556, "\0\0\0\0", 4), 0);
  // The audio stream's metadata, with the still and the key texts of the first video.
  EXPECT_EQ(field_text(p.metadata.title), u"audio title");
  EXPECT_EQ(p.metadata.live_photo, 1u);
  EXPECT_EQ(p.metadata.cover_art, &still);
  EXPECT_EQ(field_text(p.metadata.location_accuracy), u"accuracy from video 1");
  EXPECT_EQ(field_text(p.metadata.software), u"software from video 1");
  EXPECT_EQ(std::memcmp(p.metadata.make, video1->metadata.make, sizeof p.metadata.make), 0);
  EXPECT_EQ(std::memcmp(p.metadata.reserved_16312, audio->metadata.reserved_16312,
                        sizeof p.metadata.reserved_16312),
            0);
  // Options from the last video stream, handed over before the create.
  ASSERT_EQ(g_recorder.options.size(), 1u);
  EXPECT_EQ(g_recorder.options[0].display_width, 1280);
  EXPECT_EQ(g_recorder.options[0].display_height, 720);
  EXPECT_EQ(g_recorder.options[0].flags, 1u);
  EXPECT_EQ(g_recorder.options[0].reserved_0, 0u);
  ASSERT_EQ(g_recorder.calls.size(), 2u);
  EXPECT_EQ(g_recorder.calls[0].slot, "options");
  EXPECT_EQ(g_recorder.calls[1].slot, "create");

  CloseMediaFileMultiStream(session);
  ASSERT_EQ(g_recorder.calls.size(), 3u);
  EXPECT_EQ(g_recorder.calls[2].slot, "close");
  EXPECT_EQ(g_recorder.calls[2].session, fake_writer());

  EXPECT_EQ(log.text(),
            "mx_mp4: CreateMediaFileMultiStream \n"
            "mx_mp4.dll: Return file formats...\n"
            "mx_mp4:AddStreamInfoMultiStream::streamtype = VIDEO,programid=1 ,InStreamindex =10 "
            ",OutStreamIndex=100 \n"
            "mx_mp4:AddStreamInfoMultiStream::streamfourcc= [H264],width=1920 ,height =1080 "
            ",framerate=23.976000,bitrate=8000000 \n"
            "mx_mp4:AddStreamInfoMultiStream::streamtype = AUDIO,programid=1 ,InStreamindex =11 "
            ",OutStreamIndex=101 \n"
            "mx_mp4:AddStreamInfoMultiStream::streamfourcc= [AAC ], channel=2 ,samplerate =48000 "
            ",bitrate=192000 ,language=und \n"
            "mx_mp4:AddStreamInfoMultiStream::streamtype = VIDEO,programid=1 ,InStreamindex =12 "
            ",OutStreamIndex=102 \n"
            "mx_mp4:AddStreamInfoMultiStream::streamfourcc= [HEVC],width=1280 ,height =720 "
            ",framerate=23.976000,bitrate=8000000 \n"
            "mx_mp4:AddStreamInfoMultiStream::streamtype = SUBPIC_Internal,programid=2 "
            ",InStreamindex =13 ,OutStreamIndex=103 \n"
            "mx_mp4:AddStreamInfoMultiStream::streamfourcc = [SUBI] , language=fra \n"
            "mx_mp4:AddStreamInfoMultiStream::streamtype = SUBPIC_External,programid=2 "
            ",InStreamindex =14 ,OutStreamIndex=104 \n"
            "mx_mp4:AddStreamInfoMultiStream::streamfourcc = [SUBE] , language=und \n"
            "mx_mp4.dll: Return file formats...\n"
            "mx_mp4: InitMediaFileMultiStream Success,file fourcc =[TEST] ,filename "
            "=[/out/movie.mp4]\n"
            "mx_mp4: CloseMediaFileMultiStream \n");
}

TEST_F(MultiStream, AudioOnlyKeepsNoVideoAndTheAudioMetadata) {
  auto audio = audio_record(u"deu", u"only audio");
  MxSession session = CreateMediaFileMultiStream();
  AddStreamInfoMultiStream(session, MX_STREAM_AUDIO, 0, 0, 1, audio.get());
  ASSERT_EQ(InitMediaFileMultiStream(session, code_of("TEST"), host_text(u"a.m4a")), 1u);
  const EncParam& p = *g_recorder.created_params;
  EXPECT_EQ(p.no_video, 1u);
  EXPECT_EQ(p.no_audio, 0u);
  EXPECT_EQ(p.no_subpicture, 1u);
  EXPECT_EQ(p.no_timecode, 1u);
  EXPECT_EQ(std::memcmp(&p.metadata, &audio->metadata, sizeof p.metadata), 0);
  // Nothing of the video block is taken from the audio record.
  static const MxVideoParams kZeroVideo = {};
  EXPECT_EQ(std::memcmp(&p.video, &kZeroVideo, sizeof p.video), 0);
  ASSERT_EQ(g_recorder.options.size(), 1u);
  EXPECT_EQ(g_recorder.options[0].flags, 0u);
  EXPECT_EQ(g_recorder.options[0].display_width, 0);
  CloseMediaFileMultiStream(session);
}

TEST_F(MultiStream, VideoWithoutAudioTakesTheFirstVideoMetadata) {
  auto video1 = video_record("H264", 1920, 0, 0, u"first");
  auto video2 = video_record("H264", 1280, 0, 0, u"second");
  MxSession session = CreateMediaFileMultiStream();
  AddStreamInfoMultiStream(session, MX_STREAM_VIDEO, 0, 0, 1, video1.get());
  AddStreamInfoMultiStream(session, MX_STREAM_VIDEO, 0, 0, 2, video2.get());
  ASSERT_EQ(InitMediaFileMultiStream(session, code_of("TEST"), host_text(u"v.mp4")), 1u);
  const EncParam& p = *g_recorder.created_params;
  EXPECT_EQ(std::memcmp(&p.metadata, &video1->metadata, sizeof p.metadata), 0);
  EXPECT_EQ(p.video.width, 1280u);
  EXPECT_EQ(p.no_audio, 1u);
  CloseMediaFileMultiStream(session);
}

// The size comes from the last video stream; the flag is set by any video
// stream with both sizes above 0 and never cleared by a later one.
TEST_F(MultiStream, DisplaySizeFlagIsOnlyEverSet) {
  struct Case {
    const char* name;
    uint32_t w1, h1, w2, h2;
    int32_t width, height;
    uint32_t flags;
  };
  const Case cases[] = {
      {"second sized", 1920, 1080, 1280, 720, 1280, 720, 1},
      {"second unsized", 1920, 1080, 0, 0, 0, 0, 1},
      {"first unsized", 0, 0, 1280, 720, 1280, 720, 1},
      {"both unsized", 0, 0, 0, 0, 0, 0, 0},
      {"only width", 0, 0, 640, 0, 640, 0, 0},
      {"negative as i32", 0, 0, 0x80000000u, 480, INT32_MIN, 480, 0},
  };
  for (const Case& c : cases) {
    g_recorder = Recorder{};
    auto video1 = video_record("H264", 1920, c.w1, c.h1, u"");
    auto video2 = video_record("H264", 1920, c.w2, c.h2, u"");
    MxSession session = CreateMediaFileMultiStream();
    AddStreamInfoMultiStream(session, MX_STREAM_VIDEO, 0, 0, 1, video1.get());
    AddStreamInfoMultiStream(session, MX_STREAM_VIDEO, 0, 0, 2, video2.get());
    ASSERT_EQ(InitMediaFileMultiStream(session, code_of("TEST"), host_text(u"v.mp4")), 1u)
        << c.name;
    ASSERT_EQ(g_recorder.options.size(), 1u) << c.name;
    EXPECT_EQ(g_recorder.options[0].display_width, c.width) << c.name;
    EXPECT_EQ(g_recorder.options[0].display_height, c.height) << c.name;
    EXPECT_EQ(g_recorder.options[0].flags, c.flags) << c.name;
    CloseMediaFileMultiStream(session);
  }
}

TEST_F(MultiStream, EntryWithoutOptionsSlotIsNotGivenOptions) {
  auto video = video_record("H264", 1920, 1920, 1080, u"");
  MxSession session = CreateMediaFileMultiStream();
  AddStreamInfoMultiStream(session, MX_STREAM_VIDEO, 0, 0, 1, video.get());
  ASSERT_EQ(InitMediaFileMultiStream(session, code_of("TAUD"), host_text(u"a.m4a")), 1u);
  EXPECT_TRUE(g_recorder.options.empty());
  CloseMediaFileMultiStream(session);
}

// ------------------------------------------------------ initialisation fails

TEST_F(MultiStream, InitialisationFailures) {
  auto video = video_record("H264", 1920, 0, 0, u"");
  {
    // Unknown file code: no create, "Failed" line with the code as text.
    LogCapture log("multi-init-unknown.log");
    MxSession session = CreateMediaFileMultiStream();
    AddStreamInfoMultiStream(session, MX_STREAM_VIDEO, 0, 0, 1, video.get());
    EXPECT_EQ(InitMediaFileMultiStream(session, code_of("NONE"), nullptr), 0u);
    EXPECT_TRUE(g_recorder.calls.empty());
    // With no format, frames and configuration go nowhere.
    MxVideoFrame frame{};
    EXPECT_EQ(WriteFrameMultiStream(session, 1, &frame, nullptr), 0u);
    CloseMediaFileMultiStream(session);
    EXPECT_TRUE(g_recorder.calls.empty());
    std::string text = log.text();
    EXPECT_NE(text.find("mx_mp4: InitMediaFileMultiStream Failed,file fourcc =[NONE] ,filename "
                        "=[(null)]\n"),
              std::string::npos)
        << text;
  }
  {
    // No streams.
    MxSession session = CreateMediaFileMultiStream();
    EXPECT_EQ(InitMediaFileMultiStream(session, code_of("TEST"), host_text(u"x.mp4")), 0u);
    EXPECT_TRUE(g_recorder.calls.empty());
    CloseMediaFileMultiStream(session);
    ASSERT_EQ(g_recorder.calls.size(), 1u);
    EXPECT_EQ(g_recorder.calls[0].slot, "close");
    EXPECT_EQ(g_recorder.calls[0].session, nullptr);
  }
  {
    // The single-stream create refuses: frames then reach the slots with a null handle.
    g_recorder = Recorder{};
    MxSession session = CreateMediaFileMultiStream();
    AddStreamInfoMultiStream(session, MX_STREAM_VIDEO, 0, 0, 1, video.get());
    EXPECT_EQ(InitMediaFileMultiStream(session, code_of("TEST"), host_text(u"refuse")), 0u);
    MxVideoFrame frame{};
    EXPECT_EQ(WriteFrameMultiStream(session, 1, &frame, nullptr), 22u);
    EXPECT_EQ(g_recorder.calls.back().session, nullptr);
    CloseMediaFileMultiStream(session);
  }
  {
    // A second initialisation would orphan the first file: refused.
    g_recorder = Recorder{};
    MxSession session = CreateMediaFileMultiStream();
    AddStreamInfoMultiStream(session, MX_STREAM_VIDEO, 0, 0, 1, video.get());
    EXPECT_EQ(InitMediaFileMultiStream(session, code_of("TEST"), host_text(u"one.mp4")), 1u);
    EXPECT_EQ(InitMediaFileMultiStream(session, code_of("TEST"), host_text(u"two.mp4")), 0u);
    int creates = 0;
    for (const Call& c : g_recorder.calls) creates += c.slot == "create";
    EXPECT_EQ(creates, 1);
    EXPECT_EQ(g_recorder.created_name, u"one.mp4");
    CloseMediaFileMultiStream(session);
  }
  // Null session.
  EXPECT_EQ(InitMediaFileMultiStream(nullptr, code_of("TEST"), host_text(u"x.mp4")), 0u);
}

TEST_F(MultiStream, RegistrationArguments) {
  auto video = video_record("H264", 1920, 0, 0, u"");
  EXPECT_EQ(AddStreamInfoMultiStream(nullptr, MX_STREAM_VIDEO, 0, 0, 1, video.get()), 1u);
  MxSession session = CreateMediaFileMultiStream();
  // A missing record is refused and not registered.
  EXPECT_EQ(AddStreamInfoMultiStream(session, MX_STREAM_VIDEO, 0, 0, 1, nullptr), 0u);
  EXPECT_EQ(InitMediaFileMultiStream(session, code_of("TEST"), host_text(u"x.mp4")), 0u)
      << "no streams";
  CloseMediaFileMultiStream(session);

  // The record is copied at registration: later changes by the host do not count.
  session = CreateMediaFileMultiStream();
  AddStreamInfoMultiStream(session, MX_STREAM_VIDEO, 0, 0, 1, video.get());
  video->video.width = 4;
  ASSERT_EQ(InitMediaFileMultiStream(session, code_of("TEST"), host_text(u"x.mp4")), 1u);
  EXPECT_EQ(g_recorder.created_params->video.width, 1920u);
  CloseMediaFileMultiStream(session);
}

TEST_F(MultiStream, LanguageAndFourccTextsAreBounded) {
  // A language field without a terminator is read no further than the field.
  auto audio = audio_record(u"", u"");
  for (MxChar& unit : audio->audio.language) unit = u'x';
  audio->subpicture.fourcc = 0;
  auto subpicture = subpicture_record("SUB\xe9", u"");
  for (MxChar& unit : subpicture->subpicture.language) unit = u'y';
  LogCapture log("multi-bounds.log");
  MxSession session = CreateMediaFileMultiStream();
  AddStreamInfoMultiStream(session, MX_STREAM_AUDIO, 0, 0, 1, audio.get());
  AddStreamInfoMultiStream(session, MX_STREAM_SUBPIC_EXTERNAL, 0, 0, 2, subpicture.get());
  CloseMediaFileMultiStream(session);
  std::string text = log.text();
  EXPECT_NE(text.find(",language=" + std::string(3098, 'x') + " \n"), std::string::npos);
  // %c renders the byte 0xE9 as U+00E9 (C99 wide printf), on every build.
  EXPECT_NE(text.find("streamfourcc = [SUB\xc3\xa9] , language=" + std::string(1034, 'y') + " \n"),
            std::string::npos)
      << text.substr(0, 300);
}

// ------------------------------------------------------------------ routing

class MultiStreamRouting : public MultiStream {
 protected:
  void SetUp() override {
    MultiStream::SetUp();
    session_ = CreateMediaFileMultiStream();
    // Out-stream 5 first has an internal subpicture, then a video stream.
    add(MX_STREAM_VIDEO, 1, video_record("H264", 1920, 0, 0, u""));
    add(MX_STREAM_AUDIO, 2, audio_record(u"eng", u""));
    add(MX_STREAM_TIMECODE, 3, timecode_record());
    add(MX_STREAM_SUBPIC_INTERNAL, 4, subpicture_record("SUBI", u""));
    add(MX_STREAM_SUBPIC_INTERNAL, 5, subpicture_record("SUBI", u""));
    add(MX_STREAM_VIDEO, 5, video_record("H264", 1920, 0, 0, u""));
    add(MX_STREAM_SUBPIC_EXTERNAL, 6, subpicture_record("SUBE", u""));
    add(MX_STREAM_AUDIO, 2, audio_record(u"fra", u""));  // a duplicate index: the first one serves
  }
  void TearDown() override {
    CloseMediaFileMultiStream(session_);
    MultiStream::TearDown();
  }
  void add(int32_t type, uint32_t out, std::unique_ptr<EncParam> record) {
    AddStreamInfoMultiStream(session_, type, 0, 0, out, record.get());
  }
  void init(const char (&code)[5]) {
    ASSERT_EQ(InitMediaFileMultiStream(session_, code_of(code), host_text(u"r.mp4")), 1u);
    g_recorder.calls.clear();
  }
  MxSession session_ = nullptr;
};

TEST_F(MultiStreamRouting, FramesGoToTheSlotOfTheirStreamType) {
  init("TEST");
  MxVideoFrame video{};
  MxAudioFrame audio{};
  const int32_t info[] = {1, 4};
  struct Case {
    uint32_t out;
    const void* frame;
    uint32_t result;
    const char* slot;  // null: no slot called
  };
  const Case cases[] = {
      {1, &video, 22, "video frame"}, {2, &audio, 11, "audio frame"},
      {3, &video, 22, "video frame"}, {4, &video, 0, nullptr},
      {5, &video, 22, "video frame"}, {6, &video, 0, nullptr},
      {77, &video, 0, nullptr},       {1, nullptr, 0, nullptr},
  };
  for (const Case& c : cases) {
    g_recorder.calls.clear();
    EXPECT_EQ(WriteFrameMultiStream(session_, c.out, c.frame, info), c.result) << c.out;
    if (c.slot == nullptr) {
      EXPECT_TRUE(g_recorder.calls.empty()) << c.out;
      continue;
    }
    ASSERT_EQ(g_recorder.calls.size(), 1u) << c.out;
    EXPECT_EQ(g_recorder.calls[0].slot, c.slot) << c.out;
    EXPECT_EQ(g_recorder.calls[0].session, fake_writer()) << c.out;
    EXPECT_EQ(g_recorder.calls[0].record, c.frame) << c.out;
    if (std::string(c.slot) == "audio frame") {
      EXPECT_EQ(g_recorder.calls[0].frame_info, info);
    }
  }
  EXPECT_EQ(WriteFrameMultiStream(nullptr, 1, &video, nullptr), 0u);
}

TEST_F(MultiStreamRouting, AudioOnlyEntryServesNoVideoStream) {
  init("TAUD");
  MxVideoFrame video{};
  MxAudioFrame audio{};
  EXPECT_EQ(WriteFrameMultiStream(session_, 1, &video, nullptr), 0u);
  EXPECT_EQ(WriteFrameMultiStream(session_, 3, &video, nullptr), 0u);
  EXPECT_EQ(WriteFrameMultiStream(session_, 2, &audio, nullptr), 11u);
  const uint8_t blob[] = {1, 0, 0, 0, 0xAB};
  WriteExtraDataMultiStream(session_, 1, blob, sizeof blob);
  ASSERT_EQ(g_recorder.calls.size(), 1u);
  EXPECT_EQ(g_recorder.calls[0].slot, "audio frame");
}

std::vector<uint8_t> le32(uint32_t v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}
std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST_F(MultiStreamRouting, ConfigurationBlobsAreSplitWithinTheirBounds) {
  init("TEST");
  const std::vector<uint8_t> sps = {0x67, 0x64, 0x00, 0x28};
  const std::vector<uint8_t> pps = {0x68, 0xEE, 0x3C};
  struct Case {
    const char* name;
    std::vector<uint8_t> blob;
    int32_t size_adjust;  // the length passed is blob.size() + size_adjust
    std::vector<uint8_t> part1, part2;
    bool has_part1;  // the first part handed on as bytes (pointer into the blob)
  };
  const Case cases[] = {
      {"two parts", cat({le32(4), sps, le32(3), pps}), 0, sps, pps, true},
      {"one part", cat({le32(4), sps}), 0, sps, {}, true},
      {"exactly len1 + 8: no second part", cat({le32(4), sps, le32(0)}), 0, sps, {}, true},
      {"len2 field cut short", cat({le32(4), sps, {3, 0}}), 0, sps, {}, true},
      {"empty first part", cat({le32(0), le32(3), pps}), 0, {}, pps, true},
      {"len1 past the end", cat({le32(5), sps}), 0, {}, {}, false},
      {"len1 huge", cat({le32(0xFFFFFFFF), sps}), 0, {}, {}, false},
      {"len2 past the end", cat({le32(4), sps, le32(4), pps}), 0, sps, {}, true},
      {"len2 huge", cat({le32(4), sps, le32(0xFFFFFFFC), pps}), 0, sps, {}, true},
      {"length covers only the prefix", cat({le32(4), sps}), -4, {}, {}, false},
      {"four bytes", le32(0), -0, {}, {}, false},
      {"negative length", cat({le32(4), sps}), -100, {}, {}, false},
  };
  for (const Case& c : cases) {
    for (uint32_t out : {1u, 2u}) {  // video, then audio
      g_recorder.calls.clear();
      int32_t size = static_cast<int32_t>(c.blob.size()) + c.size_adjust;
      WriteExtraDataMultiStream(session_, out, c.blob.data(), size);
      ASSERT_EQ(g_recorder.calls.size(), 1u) << c.name;
      const Call& call = g_recorder.calls[0];
      EXPECT_EQ(call.session, fake_writer()) << c.name;
      if (out == 1) {
        // The second part comes first in the video slot.
        EXPECT_EQ(call.slot, "video extra") << c.name;
        EXPECT_EQ(call.bytes1, c.part2) << c.name;
        EXPECT_EQ(call.size1, c.part2.size()) << c.name;
        EXPECT_EQ(call.bytes2, c.part1) << c.name;
        EXPECT_EQ(call.size2, c.part1.size()) << c.name;
        EXPECT_EQ(call.data2, c.has_part1 ? c.blob.data() + 4 : nullptr) << c.name;
        const uint8_t* second = c.part2.empty() ? nullptr : c.blob.data() + c.part1.size() + 8;
        EXPECT_EQ(call.data1, second) << c.name;
      } else {
        EXPECT_EQ(call.slot, "audio extra") << c.name;
        EXPECT_EQ(call.bytes1, c.part1) << c.name;
        EXPECT_EQ(call.size1, c.part1.size()) << c.name;
        EXPECT_EQ(call.data1, c.has_part1 ? c.blob.data() + 4 : nullptr) << c.name;
      }
    }
  }
  // Null blob: empty configuration; timecode and subpicture streams take none.
  g_recorder.calls.clear();
  WriteExtraDataMultiStream(session_, 2, nullptr, 100);
  ASSERT_EQ(g_recorder.calls.size(), 1u);
  EXPECT_EQ(g_recorder.calls[0].size1, 0u);
  EXPECT_EQ(g_recorder.calls[0].data1, nullptr);
  g_recorder.calls.clear();
  const uint8_t blob[] = {1, 0, 0, 0, 9};
  WriteExtraDataMultiStream(session_, 3, blob, sizeof blob);
  WriteExtraDataMultiStream(session_, 4, blob, sizeof blob);
  WriteExtraDataMultiStream(session_, 6, blob, sizeof blob);
  EXPECT_TRUE(g_recorder.calls.empty());
}

TEST_F(MultiStreamRouting, ExtraDataIsLoggedEvenWithoutASession) {
  LogCapture log("multi-extra.log");
  WriteExtraDataMultiStream(nullptr, 7, nullptr, 0);
  const uint8_t blob[] = {9, 0, 0, 0, 1};
  WriteExtraDataMultiStream(session_, 2, blob, sizeof blob);
  CloseMediaFileMultiStream(nullptr);
  EXPECT_EQ(log.text(),
            "mx_mp4: WriteExtraDataMultiStream,streamidx =[7] \n"
            "mx_mp4: WriteExtraDataMultiStream,streamidx =[2] \n"
            "mx_mp4: WriteExtraDataMultiStream,length beyond the 5-byte blob ignored \n"
            "mx_mp4: CloseMediaFileMultiStream \n");
}

// ------------------------------------------------------ with the real table

TEST(MultiStreamRealTable, OptionsReachOnlyEntriesWithAnOptionsSlot) {
  set_single_stream_lookup(nullptr);
  auto video = video_record("H264", 1920, 1440, 1080, u"");
  video->no_audio = 1;
  const WriterOptions marker = {0, 0, 0, 111, 222, 0};
  struct Case {
    const char* code;
    int32_t width, height;
    uint32_t flags;
  };
  // "3GP " has no options slot: the module-wide record keeps the last value set.
  const Case cases[] = {{"3GP ", 111, 222, 0}, {"MP4 ", 1440, 1080, 1}, {"KMP4", 1440, 1080, 1}};
  for (const Case& c : cases) {
    SetWriterOptions(&marker);
    MxSession session = CreateMediaFileMultiStream();
    AddStreamInfoMultiStream(session, MX_STREAM_VIDEO, 0, 0, 1, video.get());
    std::string name = test_temp_path(std::string("real-table-") + c.code + ".mp4");
    // Whether the session opens depends on the single-stream slots; the
    // options are handed over before the create in any case.
    InitMediaFileMultiStream(session, code_of(c.code), host_text(u16(name).c_str()));
    EXPECT_EQ(module_writer_options().display_width, c.width) << c.code;
    EXPECT_EQ(module_writer_options().display_height, c.height) << c.code;
    EXPECT_EQ(module_writer_options().flags, c.flags) << c.code;
    CloseMediaFileMultiStream(session);
    std::remove(name.c_str());
  }
  SetWriterOptions(nullptr);
}

}  // namespace
