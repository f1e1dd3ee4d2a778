#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "slot_writer.h"
#include "support/plugin_host.h"
#include "support/test_files.h"
#include "writer/mp4_writer.h"

namespace interop {

namespace {

bool is_pcm(Media m) {
  return m == Media::kPcm16 || m == Media::kPcm32Float;
}

}  // namespace

int64_t host_time(int64_t frames, Rate rate) {
  return std::llround(static_cast<long double>(frames) * 10000000.0L * rate.den / rate.num);
}

SourceTrack with_host_times(const SourceTrack& source, TimingStyle style) {
  SourceTrack s = source;
  int64_t depth = 0;  // k is the decode index, order the presentation index
  for (size_t k = 0; k < s.packets.size(); ++k) {
    depth = std::max(depth, static_cast<int64_t>(k) - s.packets[k].order);
  }
  for (size_t k = 0; k < s.packets.size(); ++k) {
    HostPacket& p = s.packets[k];
    const int64_t decode = static_cast<int64_t>(k);
    switch (style) {
      case TimingStyle::kDelayed:
        p.dts = host_time(decode, s.rate);
        p.pts = host_time(p.order + depth, s.rate);
        break;
      case TimingStyle::kUndelayed:
        p.dts = host_time(decode, s.rate);
        p.pts = host_time(p.order, s.rate);
        break;
      case TimingStyle::kNegative:
      case TimingStyle::kNegativeTimed:
        p.dts = host_time(decode - depth, s.rate);
        p.pts = host_time(p.order, s.rate);
        break;
    }
  }
  return s;
}

namespace {

std::unique_ptr<EncParam> params_of(const SlotFile& file) {
  const SourceTrack* video = file.video;
  const SourceTrack* audio = file.audio;
  auto params = host::blank_params(file.file_code);
  if (video) {
    uint32_t code = file.video_code ? file.video_code : video->host_codec;
    host::set_video(*params, code, video->width, video->height, video->frame_rate);
  }
  if (audio) {
    uint32_t code = file.audio_code ? file.audio_code : audio->host_codec;
    uint32_t bits = audio->bits ? audio->bits : 16;
    host::set_audio(*params, code, audio->sample_rate, audio->channels, bits, "eng");
  }
  if (!file.timecode.empty()) params->no_timecode = 0;  // the block's first word stays 0
  if (file.adjust) file.adjust(*params);
  return params;
}

// The session's calls, as a host makes them: configuration, then the packets
// of both streams in decoding order, then close (unless the file says not to).
template <typename Session>
void drive(const SlotFile& file, Session& s) {
  const SourceTrack* video = file.video;
  const SourceTrack* audio = file.audio;
  ASSERT_TRUE(s.open());
  if (video && (!video->config1.empty() || !video->config2.empty())) {
    s.video_config(video->config1, video->config2);
  }
  if (audio && !audio->config1.empty()) s.audio_config(audio->config1);
  if (!file.timecode.empty()) {
    MxVideoFrame t = host::video_frame(nullptr, 0, 0, 0);
    t.frame_type = MX_FRAME_TYPE_TIMECODE;
    t.tc_data = file.timecode.data();
    t.tc_size = static_cast<uint32_t>(file.timecode.size());
    t.frame_duration = file.timecode_duration;
    s.video(t);
  }

  size_t vi = 0, ai = 0;
  const size_t vn = video ? video->packets.size() : 0, an = audio ? audio->packets.size() : 0;
  while (vi < vn || ai < an) {
    bool take_video = vi < vn && (ai >= an || video->packets[vi].dts <= audio->packets[ai].dts);
    if (take_video) {
      const HostPacket& p = video->packets[vi++];
      std::vector<uint8_t> data = p.data;  // the plug-in may rewrite Annex-B data in place
      MxVideoFrame f = host::video_frame(data.data(), static_cast<uint32_t>(data.size()), p.pts,
                                         p.dts, p.key ? 1 : 0);
      EXPECT_GT(s.video(f), 0u) << "video packet " << vi - 1;
    } else {
      const HostPacket& p = audio->packets[ai++];
      MxAudioFrame f = host::audio_frame(p.data.data(), static_cast<int32_t>(p.data.size()), p.pts,
                                         audio->channels);
      f.dts = p.dts;
      const int32_t info[2] = {p.frames, static_cast<int32_t>(p.data.size())};
      EXPECT_GT(s.audio(f, is_pcm(audio->media) ? nullptr : info), 0u)
          << "audio packet " << ai - 1 << " of " << p.data.size() << " bytes";
    }
    if (file.after_packet) file.after_packet(vi, ai);
  }
  // A host that dies leaves the session as it is: no close, no destructor.
  if (!file.close) std::_Exit(0);
  s.close();
}

// An in-process session with the calls of host::Session.
class InProcess {
 public:
  InProcess(const EncParam& params, const std::string& path, const SessionSettings& settings)
      : writer_(settings) {
    open_ = writer_.CreateMediaFile(u16(path).c_str(), &params);
  }
  bool open() const { return open_; }
  uint32_t video(const MxVideoFrame& f) { return writer_.WriteVideoFrame(&f); }
  uint32_t audio(const MxAudioFrame& f, const int32_t* info) {
    return writer_.WriteAudioFrame(&f, info);
  }
  void video_config(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    writer_.WriteVideoExtraData(a.data(), static_cast<uint32_t>(a.size()), b.data(),
                                static_cast<uint32_t>(b.size()));
  }
  void audio_config(const std::vector<uint8_t>& bytes) {
    writer_.WriteAudioExtraData(bytes.data(), static_cast<uint32_t>(bytes.size()));
  }
  void close() {
    writer_.WriteTrail();
    writer_.CloseFile();
  }

 private:
  CMp4Writer writer_;
  bool open_ = false;
};

}  // namespace

void write_through_slots(const SlotFile& file, const std::string& path) {
  auto params = params_of(file);
  // The options are the module's: the MP4 entry's slot sets them for all.
  const SingleStreamSlots& options_slots = host::slots_for(host::fourcc("MP4 "));
  WriterOptions options{};
  options.flags = file.writer_flags;
  options_slots.SetWriterOptions(&options);
  struct Restore {
    const SingleStreamSlots& slots;
    ~Restore() { slots.SetWriterOptions(nullptr); }
  } restore{options_slots};
  host::Session s(*params, path);
  drive(file, s);
}

void write_in_process(const SlotFile& file, const std::string& path,
                      const SessionSettings& settings) {
  auto params = params_of(file);
  InProcess s(*params, path, settings);
  drive(file, s);
}

}  // namespace interop
