// Sessions of every codec written for the resilient-writing tests: synthetic
// frames of each kind a host hands over, through the slots of the built
// plug-in or through an in-process session whose fragment limits and
// finalising steps a test chooses.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mx_mp4/host.h"
#include "writer/mp4_writer.h"

namespace resilient {

using Bytes = std::vector<uint8_t>;

struct Case {
  const char* name;
  const char* file_code;
  const char* video_code;  // null: no video
  const char* audio_code;  // null: no audio
  uint32_t bits = 16;      // PCM and FLAC sample depth
  bool reordered = false;  // B-frames: composition offsets
  bool timecode = false;
  bool live_photo = false;
  double seconds = 3.5;  // of video (or audio when there is none)
};

// Where a session's calls go.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual bool open() const = 0;
  virtual uint32_t video(const MxVideoFrame& frame) = 0;
  virtual uint32_t audio(const MxAudioFrame& frame, const int32_t* info) = 0;
  virtual void video_config(const Bytes& first, const Bytes& second) = 0;
  virtual void audio_config(const Bytes& bytes) = 0;
  virtual void close() = 0;
};

// Through the slots of the built plug-in, with the module's writer options
// set to `flags` (restored to none when the sink goes).
std::unique_ptr<Sink> slot_sink(const EncParam& params, const std::string& path, uint32_t flags);
// The same through the multi-stream slots: video and audio as two streams.
std::unique_ptr<Sink> multi_stream_sink(const EncParam& params, const std::string& path,
                                        uint32_t flags);
// In process, resilient, with these settings.
std::unique_ptr<Sink> session_sink(const EncParam& params, const std::string& path,
                                   const SessionSettings& settings);

// The parameter record of a case.
std::unique_ptr<EncParam> params_of(const Case& c);

// Writes the case's configuration and frames (video and audio interleaved by
// time, a timecode sample first), not closing. A frame the session refuses is
// a test failure, or with until_refused the end of the frames.
void write_frames(const Case& c, Sink& sink, bool until_refused = false);

// Writes the whole case to path, plain (flags 0) or as the flags say.
void write_case(const Case& c, const std::string& path, uint32_t flags);

}  // namespace resilient
