#include <gtest/gtest.h>

#include <cstring>

#include "resilient_session.h"
#include "support/parameter_sets.h"
#include "support/plugin_host.h"
#include "support/test_files.h"

namespace resilient {

namespace {

using parameter_sets::kPps264;
using parameter_sets::kPps265;
using parameter_sets::kSps264;
using parameter_sets::kSps265;
using parameter_sets::kVps265;

uint32_t code(const char* s) {
  return MX_FOURCC(s[0], s[1], s[2], s[3]);
}

// The writer options are the module's: any entry that has the slot sets them
// for every format (some entries, M4A's among them, have none).
void set_module_options(const WriterOptions* options) {
  host::slots_for(code("MP4 ")).SetWriterOptions(options);
}

bool is(const char* a, const char* b) {
  return a != nullptr && std::strcmp(a, b) == 0;
}

void append(Bytes& out, const Bytes& part) {
  out.insert(out.end(), part.begin(), part.end());
}

// Payload bytes without zeros, so that no start code appears where the test
// did not put one.
class Noise {
 public:
  explicit Noise(uint32_t seed) : state_(seed) {}
  Bytes bytes(size_t n) {
    Bytes out(n);
    for (uint8_t& b : out) {
      state_ = state_ * 1664525u + 1013904223u;
      b = static_cast<uint8_t>(state_ >> 24) | 1;
    }
    return out;
  }

 private:
  uint32_t state_;
};

constexpr int64_t kSecond = 10000000;  // host time stamps: 100 ns
constexpr double kFrameRate = 25.0;
constexpr int64_t kFrameTime = kSecond / 25;
constexpr int kKeyInterval = 12;
constexpr uint32_t kSampleRate = 48000;

const Bytes kStartCode = {0, 0, 0, 1};
const Bytes kAacConfig = {0x11, 0x90};
const Bytes kAc3Config = {0x0B, 0x77, 0x12, 0x34, 0x14, 0x40, 0xE1};
const Bytes kFlacStreamInfo = hex_bytes(
    "10 00 10 00 00 00 0E 00 2A 1C 0B B8 01 70 00 00 BB 80"
    "11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF 00");
const Bytes kAlacConfig =
    hex_bytes("00 00 10 00 00 10 28 0A 0E 02 00 FF 00 00 00 00 00 00 00 00 00 00 BB 80");
const Bytes kAv1Config = hex_bytes("81 00 0C 00 0A 0B 00 00 00 24 CE 7F FF FE 80");

Bytes annex_b(std::initializer_list<Bytes> units) {
  Bytes out;
  for (const Bytes& u : units) {
    append(out, kStartCode);
    append(out, u);
  }
  return out;
}

Bytes nal(std::initializer_list<uint8_t> header, size_t payload, Noise& noise) {
  Bytes unit(header);
  append(unit, noise.bytes(payload));
  return unit;
}

// Frame i of a video codec: parameter sets and a key picture every
// kKeyInterval frames for H.264 and HEVC, plain bytes for the others.
Bytes video_frame(const char* codec, int i, Noise& noise) {
  const bool key = i % kKeyInterval == 0;
  const size_t size = 200 + static_cast<size_t>(i * 37 % 900) + (key ? 2000 : 0);
  if (is(codec, "H264") || is(codec, "VT64")) {
    if (key) return annex_b({{0x09, 0xF0}, kSps264, kPps264, nal({0x65, 0x88}, size, noise)});
    return annex_b({{0x09, 0xF0}, nal({0x41, 0x9A}, size, noise)});
  }
  if (is(codec, "HEVC")) {
    if (key) return annex_b({kVps265, kSps265, kPps265, nal({0x26, 0x01, 0xAF}, size, noise)});
    return annex_b({nal({0x02, 0x01, 0xD0}, size, noise)});
  }
  return noise.bytes(size);
}

// Presentation order of a stream with B-frames: I P B P B ..., P shown after
// the B that follows it in decoding order.
int64_t presentation_index(int i) {
  if (i == 0) return 0;
  return i % 2 == 1 ? i + 1 : i - 1;
}

struct AudioPacket {
  Bytes bytes;
  std::vector<int32_t> info;  // frame count, then the frame sizes
  int64_t samples;            // per channel
};

int64_t samples_per_frame(const char* codec) {
  if (is(codec, "AMRN")) return 160;
  if (is(codec, "AC3 ")) return 1536;
  if (is(codec, "ALAC")) return 4096;
  if (is(codec, "flac")) return 4608;
  return 1024;
}

uint32_t sample_rate_of(const char* codec) {
  return is(codec, "AMRN") ? 8000 : kSampleRate;
}

uint32_t channels_of(const char* codec) {
  return is(codec, "AMRN") ? 1 : 2;
}

// Packet i of an audio codec. PCM packets hold 1024 frames; AAC packets now
// and then two or three frames; AMR packets five frames of one size.
AudioPacket audio_packet(const Case& c, int i, Noise& noise) {
  AudioPacket p;
  const char* codec = c.audio_code;
  if (is(codec, "PCM ")) {
    p.bytes = noise.bytes(1024 * 2 * c.bits / 8);
    p.samples = 1024;
    return p;
  }
  int frames = 1;
  size_t size = 150 + static_cast<size_t>(i * 53 % 300);
  if (is(codec, "AAC ") || is(codec, "EAAC")) frames = i % 7 == 3 ? 3 : i % 5 == 1 ? 2 : 1;
  if (is(codec, "AMRN")) {
    frames = 5;
    size = 32;
  }
  if (is(codec, "AC3 ")) size = 768;
  p.info.push_back(frames);
  for (int k = 0; k < frames; ++k) {
    Bytes frame = noise.bytes(size + (is(codec, "AMRN") ? 0 : static_cast<size_t>(k) * 11));
    if (is(codec, "AC3 ")) frame[0] = 0x0B;
    p.info.push_back(static_cast<int32_t>(frame.size()));
    append(p.bytes, frame);
  }
  p.samples = frames * samples_per_frame(codec);
  return p;
}

// Dual audio packs an AAC and an AC-3 part into one packet.
AudioPacket dual_packet(int i, Noise& noise) {
  Case aac_case{};
  aac_case.audio_code = "AAC ";
  AudioPacket aac = audio_packet(aac_case, i, noise);
  Case ac3_case{};
  ac3_case.audio_code = "AC3 ";
  AudioPacket ac3 = audio_packet(ac3_case, i, noise);
  auto le32 = [](Bytes& out, size_t n) {
    append(out, {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                 static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 24)});
  };
  AudioPacket p;
  le32(p.bytes, aac.bytes.size());
  append(p.bytes, aac.bytes);
  le32(p.bytes, ac3.bytes.size());
  append(p.bytes, ac3.bytes);
  p.info = {aac.info[0]};
  p.info.insert(p.info.end(), aac.info.begin(), aac.info.end());
  p.info.insert(p.info.end(), ac3.info.begin(), ac3.info.end());
  p.samples = aac.samples;
  return p;
}

Bytes audio_config_of(const char* codec) {
  if (is(codec, "AAC ")) return kAacConfig;
  if (is(codec, "AC3 ")) return kAc3Config;
  if (is(codec, "ALAC")) return kAlacConfig;
  if (is(codec, "flac")) return kFlacStreamInfo;
  if (is(codec, "EAAC")) {
    Bytes config = {static_cast<uint8_t>(kAacConfig.size()), 0, 0, 0};
    append(config, kAacConfig);
    append(config, {static_cast<uint8_t>(kAc3Config.size()), 0, 0, 0});
    append(config, kAc3Config);
    return config;
  }
  return {};
}

class SlotSink : public Sink {
 public:
  SlotSink(const EncParam& params, const std::string& path, uint32_t flags) {
    WriterOptions options{};
    options.flags = flags;
    set_module_options(&options);
    session_ = std::make_unique<host::Session>(params, path);
  }
  ~SlotSink() override {
    session_.reset();
    set_module_options(nullptr);
  }
  bool open() const override { return session_->open(); }
  uint32_t video(const MxVideoFrame& f) override { return session_->video(f); }
  uint32_t audio(const MxAudioFrame& f, const int32_t* info) override {
    return session_->audio(f, info);
  }
  void video_config(const Bytes& a, const Bytes& b) override { session_->video_config(a, b); }
  void audio_config(const Bytes& bytes) override { session_->audio_config(bytes); }
  void close() override { session_->close(); }

 private:
  std::unique_ptr<host::Session> session_;
};

// Through the multi-stream slots: the case's video and audio registered as two
// streams; the resilient flag is the module's writer option, set through the
// single-stream table.
class MultiStreamSink : public Sink {
 public:
  MultiStreamSink(const EncParam& params, const std::string& path, uint32_t flags)
      : slots_(host::multi_slots_for(params.file_fourcc)) {
    WriterOptions options{};
    options.flags = flags;
    set_module_options(&options);
    session_ = slots_.CreateMediaFileMultiStream();
    auto video = std::make_unique<EncParam>(params);
    video->no_audio = 1;
    auto audio = std::make_unique<EncParam>(params);
    audio->no_video = 1;
    if (params.no_video == 0)
      slots_.AddStreamInfoMultiStream(session_, MX_STREAM_VIDEO, 1, 0, kVideo, video.get());
    if (params.no_audio == 0)
      slots_.AddStreamInfoMultiStream(session_, MX_STREAM_AUDIO, 1, 1, kAudio, audio.get());
    const std::u16string name = u16(path);
    open_ =
        slots_.InitMediaFileMultiStream(session_, params.file_fourcc, host_text(name.c_str())) == 1;
  }
  ~MultiStreamSink() override {
    close();
    set_module_options(nullptr);
  }
  bool open() const override { return open_; }
  uint32_t video(const MxVideoFrame& f) override {
    return slots_.WriteFrameMultiStream(session_, kVideo, &f, nullptr);
  }
  uint32_t audio(const MxAudioFrame& f, const int32_t* info) override {
    return slots_.WriteFrameMultiStream(session_, kAudio, &f, info);
  }
  // The blob's second part becomes the session's first configuration.
  void video_config(const Bytes& a, const Bytes& b) override {
    Bytes blob;
    for (const Bytes* part : {&b, &a}) {
      const auto n = static_cast<uint32_t>(part->size());
      append(blob, {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                    static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 24)});
      append(blob, *part);
    }
    slots_.WriteExtraDataMultiStream(session_, kVideo, blob.data(),
                                     static_cast<int32_t>(blob.size()));
  }
  void audio_config(const Bytes& bytes) override {
    Bytes blob = {static_cast<uint8_t>(bytes.size()), 0, 0, 0};
    append(blob, bytes);
    slots_.WriteExtraDataMultiStream(session_, kAudio, blob.data(),
                                     static_cast<int32_t>(blob.size()));
  }
  void close() override {
    if (session_ == nullptr) return;
    slots_.CloseMediaFileMultiStream(session_);
    session_ = nullptr;
  }

 private:
  static constexpr uint32_t kVideo = 10, kAudio = 11;
  const MultiStreamSlots& slots_;
  MxSession session_ = nullptr;
  bool open_ = false;
};

class InProcessSink : public Sink {
 public:
  InProcessSink(const EncParam& params, const std::string& path, const SessionSettings& settings) {
    SessionSettings resilient = settings;
    resilient.options.flags |= MX_WRITE_RESILIENT;
    writer_ = std::make_unique<CMp4Writer>(resilient);
    if (!writer_->CreateMediaFile(u16(path).c_str(), &params)) writer_.reset();
  }
  ~InProcessSink() override { close(); }
  bool open() const override { return writer_ != nullptr; }
  uint32_t video(const MxVideoFrame& f) override { return writer_->WriteVideoFrame(&f); }
  uint32_t audio(const MxAudioFrame& f, const int32_t* info) override {
    return writer_->WriteAudioFrame(&f, info);
  }
  void video_config(const Bytes& a, const Bytes& b) override {
    writer_->WriteVideoExtraData(a.data(), static_cast<uint32_t>(a.size()), b.data(),
                                 static_cast<uint32_t>(b.size()));
  }
  void audio_config(const Bytes& bytes) override {
    writer_->WriteAudioExtraData(bytes.data(), static_cast<uint32_t>(bytes.size()));
  }
  void close() override {
    if (!writer_) return;
    writer_->WriteTrail();
    writer_->CloseFile();
    writer_.reset();
  }

 private:
  std::unique_ptr<CMp4Writer> writer_;
};

}  // namespace

std::unique_ptr<Sink> slot_sink(const EncParam& params, const std::string& path, uint32_t flags) {
  return std::make_unique<SlotSink>(params, path, flags);
}

std::unique_ptr<Sink> multi_stream_sink(const EncParam& params, const std::string& path,
                                        uint32_t flags) {
  return std::make_unique<MultiStreamSink>(params, path, flags);
}

std::unique_ptr<Sink> session_sink(const EncParam& params, const std::string& path,
                                   const SessionSettings& settings) {
  return std::make_unique<InProcessSink>(params, path, settings);
}

std::unique_ptr<EncParam> params_of(const Case& c) {
  auto p = host::blank_params(code(c.file_code));
  if (c.video_code) host::set_video(*p, code(c.video_code), 320, 240, kFrameRate);
  if (c.audio_code) {
    host::set_audio(*p, code(c.audio_code), sample_rate_of(c.audio_code), channels_of(c.audio_code),
                    c.bits, "eng");
  }
  if (c.timecode) p->no_timecode = 0;
  if (c.live_photo) {
    static const uint8_t kJpeg[] = {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0x11, 0xFF, 0xD9};
    static const MxPicture still = {kJpeg, sizeof kJpeg, 0};
    p->metadata.live_photo = 1;
    p->metadata.cover_art = &still;
  }
  return p;
}

void write_frames(const Case& c, Sink& sink, bool until_refused) {
  ASSERT_TRUE(sink.open());
  Noise noise(7);
  if (c.video_code) {
    if (is(c.video_code, "H264") || is(c.video_code, "VT64")) sink.video_config(kPps264, kSps264);
    if (is(c.video_code, "HEVC")) sink.video_config(annex_b({kVps265, kSps265, kPps265}), {});
    if (is(c.video_code, "AV1 ")) sink.video_config({}, kAv1Config);
    if (is(c.video_code, "AVHD") || is(c.video_code, "FFV1"))
      sink.video_config({}, noise.bytes(40));
  }
  if (c.audio_code) sink.audio_config(audio_config_of(c.audio_code));
  if (c.timecode) {
    Bytes tc = {0x00, 0x01, 0x51, 0x80};
    MxVideoFrame t = host::video_frame(nullptr, 0, 0, 0);
    t.frame_type = MX_FRAME_TYPE_TIMECODE;
    t.tc_data = tc.data();
    t.tc_size = static_cast<uint32_t>(tc.size());
    t.frame_duration = static_cast<int64_t>(c.seconds * kSecond);
    EXPECT_EQ(sink.video(t), 0u);
  }
  const int frames = c.video_code ? static_cast<int>(c.seconds * kFrameRate) : 0;
  const int64_t audio_end = static_cast<int64_t>(c.seconds * kSecond);
  const uint32_t rate = c.audio_code ? sample_rate_of(c.audio_code) : 1;
  int64_t audio_samples = 0;
  int packet = 0;
  bool refused = false;
  auto audio_time = [&] { return audio_samples * kSecond / rate; };
  // Audio up to the given time, then the next picture.
  auto audio_until = [&](int64_t until) {
    while (c.audio_code && !refused && audio_time() < until && audio_time() < audio_end) {
      AudioPacket a =
          is(c.audio_code, "EAAC") ? dual_packet(packet, noise) : audio_packet(c, packet, noise);
      ++packet;
      MxAudioFrame f = host::audio_frame(a.bytes.data(), static_cast<int32_t>(a.bytes.size()),
                                         audio_time(), channels_of(c.audio_code));
      f.dts = f.pts;
      const uint32_t taken = sink.audio(f, a.info.empty() ? nullptr : a.info.data());
      refused = until_refused && taken == 0;
      if (!until_refused) {
        ASSERT_GT(taken, 0u) << "packet " << packet;
      }
      audio_samples += a.samples;
    }
  };
  for (int i = 0; i < frames && !refused; ++i) {
    audio_until(i * kFrameTime);
    Bytes data = video_frame(c.video_code, i, noise);
    const int64_t dts = i * kFrameTime;
    const int64_t pts = c.reordered ? (presentation_index(i) + 1) * kFrameTime : dts;
    MxVideoFrame f = host::video_frame(data.data(), static_cast<uint32_t>(data.size()), pts, dts,
                                       i % kKeyInterval == 0 ? 1 : 0);
    const uint32_t taken = sink.video(f);
    refused = until_refused && taken == 0;
    if (!until_refused) {
      ASSERT_GT(taken, 0u) << "frame " << i;
    }
  }
  audio_until(audio_end);
}

void write_case(const Case& c, const std::string& path, uint32_t flags) {
  auto params = params_of(c);
  auto sink = slot_sink(*params, path, flags);
  write_frames(c, *sink);
  sink->close();
}

}  // namespace resilient
