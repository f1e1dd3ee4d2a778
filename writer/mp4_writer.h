// One writer session: one output file from creation to close.
//
// The create slot constructs a CMp4Writer and calls CreateMediaFile, which
// opens the file, turns the host's EncParam into track slots, creates the
// MuxContext and configures its tracks. Frames then arrive through the frame
// intake (frame_intake.cpp); the close slot calls WriteTrail, CloseFile and
// the destructor.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "boxes/fragments.h"
#include "mx_mp4/host.h"
#include "output/mux.h"

// The trace hook's signature: a UTF-16 printf-style message.
using TraceFn = void (*)(const char16_t* format, ...);

// What a session takes from the module when it is created: its own copy of the
// module-wide writer options, so that options set for another session never
// reach it while it is set up, and the trace hook (null: nothing is traced).
struct SessionSettings {
  WriterOptions options{};
  TraceFn trace = nullptr;
  // Files written as fragments (MX_WRITE_RESILIENT): when fragments close, and
  // how many of the finalising steps close takes (the tests stop in between).
  FragmentLimits fragment_limits{};
  int finalising_steps = kFinalisingSteps;
};

// Time scale and sample duration of a video track, chosen from its frame rate.
struct VideoTiming {
  uint32_t timescale;
  int32_t sample_duration;
  float frame_rate;  // the rate the track is told about
  bool fallback;     // the host's rate was unusable (0, negative, NaN, infinite, extreme)
  bool trace;        // the rate is reported through the trace hook (23.976)
};

// Frame rate used when the host's rate is unusable: 90000 / 3000, i.e. 30 fps.
constexpr uint32_t kFallbackTimescale = 90000;
constexpr int32_t kFallbackSampleDuration = 3000;

VideoTiming choose_video_timing(double frame_rate);

// Output mode for a host file code.
uint32_t output_mode_for(uint32_t file_fourcc);
// Internal codec number for a host video code (0 when not recognised).
uint32_t video_codec_for(uint32_t video_fourcc);
// Samples per audio frame of a codec at a sample rate.
int32_t audio_samples_per_frame(uint32_t codec_id, uint32_t sample_rate);

// The still picture's path beside the movie: the movie's 8-bit path with its
// extension replaced by ".jpg". Only a dot inside the last path component,
// not at its first position, starts an extension.
std::string live_photo_still_path(const std::string& movie_path);
// Whether two 8-bit paths name the same file where names are compared without
// regard to case, as on Windows. Letters are folded in the ASCII range only; a
// still path differs from its movie's path only in the (ASCII) extension.
bool same_path_ignoring_case(const std::string& a, const std::string& b);

class CMp4Writer {
 public:
  CMp4Writer();
  explicit CMp4Writer(const SessionSettings& settings);
  ~CMp4Writer();
  CMp4Writer(const CMp4Writer&) = delete;
  CMp4Writer& operator=(const CMp4Writer&) = delete;

  bool CreateMediaFile(const char16_t* file_name, const EncParam* p);
  bool Init(const char16_t* file_name, const EncParam* p);
  int32_t WriteTrail();
  void CloseFile();

  // Frame intake.
  uint32_t WriteAudioFrame(const MxAudioFrame* frame, const int32_t* frame_info);
  uint32_t WriteVideoFrame(const MxVideoFrame* frame);
  void WriteAudioExtraData(const uint8_t* data, uint32_t size);
  void WriteVideoExtraData(const uint8_t* data1, uint32_t size1, const uint8_t* data2,
                           uint32_t size2);

  // Read access for tests and the slots.
  MuxContext* mux_context() const { return mux; }
  const TrackSpec* specs() const { return track_specs.data(); }
  int32_t spec_count() const { return track_spec_count; }
  uint32_t mode_value() const { return mode; }
  uint32_t video_codec_value() const { return video_codec; }
  uint32_t audio_codec_value() const { return audio_codec; }
  uint32_t video_timescale_value() const { return video_timescale; }
  const std::string& content_id_value() const { return content_id; }
  const std::vector<uint8_t>& video_config1_value() const { return video_config1; }
  const std::vector<uint8_t>& video_config2_value() const { return video_config2; }
  const std::vector<uint8_t>& audio_config_value() const { return audio_config; }
  bool output_failed() const { return io_failure_logged; }
  // The session's copy of the writer options. When they ask for the stored
  // display size and hold none, CreateMediaFile fills in the video's size,
  // which the module keeps for later files.
  const WriterOptions& writer_options() const { return settings.options; }

 private:
  // Frame intake steps.
  bool refuse_when_output_failed();
  bool note_output_failure();
  uint32_t write_dual_audio(const MxAudioFrame* frame, const int32_t* frame_info);
  uint32_t write_pcm_audio(const MxAudioFrame* frame);
  uint32_t write_other_audio(const MxAudioFrame* frame, const int32_t* frame_info);
  uint32_t convert_h264(const MxVideoFrame* frame, int32_t track, int32_t cts);
  uint32_t convert_vt64(const MxVideoFrame* frame, int32_t track, int32_t cts);
  uint32_t convert_hevc(const MxVideoFrame* frame, int32_t track, int32_t cts);
  // Units: the codec's rule for which units are kept (H264Units, HevcUnits).
  template <class Units>
  uint32_t convert_units(const MxVideoFrame* frame, int32_t track, int32_t cts, const Units& rule);
  // The kept units into nal_spans, then the sample.
  template <class Units>
  uint32_t collect_units(const MxVideoFrame* frame, int32_t track, int32_t cts, const Units& rule);
  // The kept units into the file as they are found, then the sample.
  template <class Units>
  uint32_t write_units_as_found(const MxVideoFrame* frame, int32_t track, int32_t cts,
                                const Units& rule);
  // mux_add_sample; false (logged) when the sample index could not grow.
  bool add_sample(int32_t track, const uint8_t* data, uint32_t size, uint32_t flags, uint32_t kind,
                  const void* extra, int64_t dts, int64_t pts, int64_t duration);
  // The same for a converted video frame: its kept units are in nal_spans.
  bool add_video_units(int32_t track, uint32_t key, int32_t cts, const MxVideoFrame* frame);
  size_t kept_bytes() const;
  int32_t composition_offset(const MxVideoFrame* frame) const;
  void note_decode_time(int64_t dts);
  int32_t first_spec_of_kind(int32_t kind) const;
  void set_audio_track_extradata();

  // Hands the stored codec configuration to the tracks: at close, and in a
  // file written as fragments also before its movie head is written (only
  // close logs the lengths).
  void hand_over_configuration(bool at_close);
  static void hand_over_configuration_to(void* session, MuxContext* c);
  // Closes a file written as fragments; logs what could not be shown.
  void finish_fragments();

  // Session steps of CreateMediaFile.
  void configure_audio_tracks();
  void configure_video_tracks();
  void hand_over_picture(const char16_t* file_name);

  SessionSettings settings;
  uint32_t still_time_written = 0;
  std::string content_id;
  FILE* file = nullptr;
  MuxContext* mux = nullptr;
  MxVideoParams video_params{};
  MxAudioParams audio_params{};
  uint32_t video_codec = 0;
  uint32_t audio_codec = 0;
  uint32_t mode = 0;
  std::array<TrackSpec, kMaxTracks> track_specs{};
  int32_t track_spec_count = 0;
  // Configuration bytes: each holds its bytes plus a terminating zero; the
  // stored length excludes it. Empty vector: nothing stored.
  std::vector<uint8_t> audio_config;
  uint32_t audio_config_size = 0;
  std::vector<uint8_t> video_config1;
  uint32_t video_config1_size = 0;
  std::vector<uint8_t> video_config2;
  uint32_t video_config2_size = 0;
  std::unique_ptr<EncParam> params;
  uint32_t video_timescale = 0;
  // The units a converted video frame keeps, as pieces of the host's buffer
  // (and the frame-packing bytes); reused from frame to frame.
  std::vector<WriteSpan> nal_spans;
  // Set once the byte writer has reported an I/O failure and it was logged.
  bool io_failure_logged = false;
  // The latest video decode time, to log once when decode times stop increasing.
  int64_t latest_video_dts = 0;
  bool video_dts_seen = false;
  bool decode_order_logged = false;
  bool empty_frame_logged = false;
};
