// One writer session of a single-stream format, driven through the format's
// slots as a host drives it: create, configuration, frames, close.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mx_mp4/host.h"

namespace mxmux {

class Session {
 public:
  explicit Session(const SingleStreamSlots& slots) : slots_(slots) {}
  ~Session() { close(); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Hands the module its (default) writer options, then creates the file at
  // `path` (UTF-8). False when the plug-in returns no session.
  bool create(const std::string& path, const EncParam& params);
  void write_video_config(const std::vector<uint8_t>& first, const std::vector<uint8_t>& second);
  void write_audio_config(const std::vector<uint8_t>& config);
  // False when the plug-in refuses the frame.
  bool write_video(const MxVideoFrame& frame);
  bool write_audio(const MxAudioFrame& frame, const int32_t* frame_info);
  // Closes the session, which writes the movie box; once.
  void close();

 private:
  const SingleStreamSlots& slots_;
  MxSession handle_ = nullptr;
};

}  // namespace mxmux
