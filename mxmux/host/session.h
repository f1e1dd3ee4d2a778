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
  // `options`: the module's writer options slot (null when it has none).
  Session(const SingleStreamSlots& slots, SetWriterOptionsFn options)
      : slots_(slots), options_(options) {}
  ~Session() { close(); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Hands the module its writer options (the default ones, or resilient
  // writing), then creates the file at `path` (UTF-8). False when the plug-in
  // returns no session, or when resilient writing is asked of a plug-in
  // without writer options.
  bool create(const std::string& path, const EncParam& params, bool resilient = false);
  void write_video_config(const std::vector<uint8_t>& first, const std::vector<uint8_t>& second);
  void write_audio_config(const std::vector<uint8_t>& config);
  // False when the plug-in refuses the frame.
  bool write_video(const MxVideoFrame& frame);
  bool write_audio(const MxAudioFrame& frame, const int32_t* frame_info);
  // Closes the session, which writes the movie box; once.
  void close();

 private:
  const SingleStreamSlots& slots_;
  SetWriterOptionsFn options_;
  MxSession handle_ = nullptr;
};

}  // namespace mxmux
