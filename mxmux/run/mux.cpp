#include "mxmux/run/mux.h"

#include <string>

#include "mxmux/host/dual_audio.h"
#include "mxmux/run/abandon.h"
#include "mxmux/run/audio_packets.h"
#include "mxmux/run/messages.h"
#include "mxmux/run/progress.h"
#include "mxmux/run/stop_request.h"
#include "mxmux/system.h"

namespace mxmux {

namespace {

class Muxer {
 public:
  Muxer(Plan& plan, MuxedFile& muxed)
      : plan_(plan), muxed_(muxed), target_(plan.request.target), packets_(plan.audio.size()) {}

  int run();

 private:
  int create_session();
  void write_configuration();
  int write_frames();
  int read_first_frames();
  // -1 when every input has ended, 0 for the video, 1 + i for audio input i.
  int next_stream() const;
  int write_video_frame();
  int write_audio_packet(size_t i);
  void write_timecode();
  void summarize();
  uint64_t bytes_read() const;

  // After the session was created: it is closed first (the plug-in finishes
  // what it wrote), then the temporary files go.
  int close_and_abandon(const std::string& text);
  // The plug-in refused a frame: a failed write is the likelier cause.
  int refused(const std::string& text);

  Plan& plan_;
  MuxedFile& muxed_;
  const std::string& target_;

  Frame video_frame_;  // the next video frame, when have_video_
  bool have_video_ = false;
  std::vector<AudioPacket> packets_;  // the next packet of each audio input
  MxVideoFrame video_record_{};
  MxAudioFrame audio_record_{};
  std::vector<uint8_t> dual_packet_;
  std::vector<int32_t> dual_info_;
};

int Muxer::run() {
  muxed_.request = plan_.request;
  muxed_.file_code = plan_.file_code;
  // Signals only stop the run from here on, so that the temporary files go.
  stop_on_signals();
  std::string why;
  bool created = plan_.request.resilient
                     ? muxed_.output.create_in_place(target_, plan_.request.live_photo, why)
                     : muxed_.output.create(target_, plan_.request.live_photo, why);
  if (!created) return fail(why);
  if (plan_.request.resilient && muxed_.output.target_existed())
    say(target_ + ": replacing the existing file (--resilient writes in place)");
  if (int status = create_session()) return status;
  write_configuration();
  if (int status = write_frames()) return status;
  if (plan_.video && plan_.video->frames == 0)
    return close_and_abandon(plan_.video->path + ": no video frame");
  write_timecode();
  summarize();
  return 0;
}

int Muxer::create_session() {
  if (muxed_.session.create(muxed_.output.path(), *plan_.params, plan_.request.resilient)) return 0;
  if (plan_.request.resilient && !plan_.plugin.writer_options())
    return abandon(muxed_.output, target_,
                   plan_.plugin.path() +
                       ": this plug-in has no writer options, so it cannot "
                       "write resilient files (--resilient)");
  std::string cause = write_failure_text(muxed_.output, target_);
  return abandon(muxed_.output, target_,
                 !cause.empty()
                     ? cause
                     : target_ + ": the plug-in could not create the file" +
                           (plan_.request.verbose ? "" : " (run with --verbose for its log)"));
}

void Muxer::write_configuration() {
  if (plan_.video) {
    const StreamParams& v = plan_.video->reader->params();
    muxed_.session.write_video_config(v.config1, v.config2);
  }
  if (plan_.dual_audio()) {
    muxed_.session.write_audio_config(dual_audio_config(plan_.audio[0]->reader->params().config1,
                                                        plan_.audio[1]->reader->params().config1));
  } else if (!plan_.audio.empty() && !plan_.audio[0]->reader->params().config1.empty()) {
    muxed_.session.write_audio_config(plan_.audio[0]->reader->params().config1);
  }
}

int Muxer::write_frames() {
  uint64_t total_input = plan_.video ? plan_.video->src.size() : 0;
  for (auto& a : plan_.audio) total_input += a->src.size();
  const OutputRequest& r = plan_.request;
  Progress progress(!r.quiet && (r.progress || sys::stderr_is_terminal()), total_input);
  if (int status = read_first_frames()) return status;
  while (true) {
    if (stop_requested()) return close_and_abandon(target_ + ": interrupted");
    int next = next_stream();
    if (next < 0) break;
    int status =
        next == 0 ? write_video_frame() : write_audio_packet(static_cast<size_t>(next - 1));
    if (status) return status;
    progress.update(bytes_read());
  }
  progress.clear();
  return 0;
}

int Muxer::read_first_frames() {
  Error error;
  if (plan_.video) {
    int r = plan_.video->reader->next(video_frame_, error);
    if (r < 0) return close_and_abandon(error.text());
    have_video_ = r > 0;
  }
  for (size_t i = 0; i < plan_.audio.size(); ++i) {
    if (fill_packet(*plan_.audio[i], packets_[i], error) < 0)
      return close_and_abandon(error.text());
  }
  return 0;
}

// The earliest decode time goes next; the video first among equals.
int Muxer::next_stream() const {
  int pick = -1;
  int64_t best = 0;
  if (have_video_) {
    pick = 0;
    best = video_frame_.dts;
  }
  for (size_t i = 0; i < packets_.size(); ++i) {
    if (packets_[i].ready && (pick < 0 || packets_[i].dts < best)) {
      pick = static_cast<int>(i) + 1;
      best = packets_[i].dts;
    }
  }
  return pick;
}

int Muxer::write_video_frame() {
  Input& video = *plan_.video;
  video_record_.data = video_frame_.data;
  video_record_.size = static_cast<uint32_t>(video_frame_.size);
  video_record_.picture_flag = video_frame_.key ? 1 : 0;
  video_record_.pts = video_frame_.pts;
  video_record_.dts = video_frame_.dts;
  if (!muxed_.session.write_video(video_record_)) {
    return refused(video.path + ": at byte " + std::to_string(video_frame_.offset) +
                   ": the plug-in refused video frame " + std::to_string(video.frames + 1));
  }
  ++video.frames;
  Error error;
  int r = video.reader->next(video_frame_, error);
  if (r < 0) return close_and_abandon(error.text());
  have_video_ = r > 0;
  return 0;
}

int Muxer::write_audio_packet(size_t i) {
  Input& audio = *plan_.audio[i];
  AudioPacket& packet = packets_[i];
  const StreamParams& a = audio.reader->params();
  audio_record_.channels = a.channels;
  audio_record_.pts = packet.pts;
  audio_record_.dts = packet.dts;
  const int32_t* info = packet.info.data();
  if (plan_.dual_audio()) {
    dual_audio_packet(static_cast<int>(i), packet.frames, packet.bytes, packet.info, dual_packet_,
                      dual_info_);
    audio_record_.data = dual_packet_.data();
    audio_record_.size = static_cast<int32_t>(dual_packet_.size());
    info = dual_info_.data();
  } else {
    audio_record_.data = packet.bytes.data();
    audio_record_.size = static_cast<int32_t>(packet.bytes.size());
    // PCM packets are counted by the plug-in from the channel count.
    if (a.codec == Codec::kPcm16 || a.codec == Codec::kPcmFloat32) info = nullptr;
  }
  if (!muxed_.session.write_audio(audio_record_, info)) {
    return refused(audio.path + ": the plug-in refused an audio packet at " +
                   std::to_string(static_cast<double>(packet.dts) / kTicksPerSecond) + " s");
  }
  Error error;
  if (fill_packet(audio, packet, error) < 0) return close_and_abandon(error.text());
  return 0;
}

// One timecode sample covering the whole video: the frame number of the start time.
void Muxer::write_timecode() {
  if (plan_.timecode_frame < 0) return;
  const StreamParams& v = plan_.video->reader->params();
  int64_t number = plan_.timecode_frame;
  uint8_t tc[4] = {static_cast<uint8_t>(number >> 24), static_cast<uint8_t>(number >> 16),
                   static_cast<uint8_t>(number >> 8), static_cast<uint8_t>(number)};
  MxVideoFrame t{};
  t.frame_type = MX_FRAME_TYPE_TIMECODE;
  t.tc_data = tc;
  t.tc_size = 4;
  t.frame_duration =
      FrameClock{v.fps_num, v.fps_den}.ticks(static_cast<int64_t>(plan_.video->frames));
  muxed_.session.write_video(t);
}

void Muxer::summarize() {
  if (plan_.video)
    muxed_.video = StreamSummary{plan_.video->reader->params(), plan_.video->frames, 0};
  for (const auto& a : plan_.audio)
    muxed_.audio.push_back(StreamSummary{a->reader->params(), a->frames, a->samples});
}

uint64_t Muxer::bytes_read() const {
  uint64_t done = plan_.video ? plan_.video->src.bytes_read() : 0;
  for (const auto& a : plan_.audio) done += a->src.bytes_read();
  return done;
}

int Muxer::close_and_abandon(const std::string& text) {
  muxed_.session.close();
  return abandon(muxed_.output, target_, text);
}

int Muxer::refused(const std::string& text) {
  muxed_.session.close();
  std::string cause = write_failure_text(muxed_.output, target_);
  return abandon(muxed_.output, target_, cause.empty() ? text : cause);
}

}  // namespace

int mux(Plan& plan, MuxedFile& muxed) {
  return Muxer(plan, muxed).run();
}

}  // namespace mxmux
