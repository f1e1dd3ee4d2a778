// Drives the built plug-in the way a host does: load it with dlopen, take the
// single-stream table from GetFileFormats, and call the slots of an entry.
// Knows only the public header.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mx_mp4/host.h"

namespace host {

constexpr uint32_t fourcc(const char (&s)[5]) {
  return MX_FOURCC(s[0], s[1], s[2], s[3]);
}

// The plug-in's single-stream table (the library stays loaded for the process).
const FormatDescriptor* single_stream_table();
// The slots of the entry with this file code; throws when there is none.
const SingleStreamSlots& slots_for(uint32_t file_fourcc);
// The plug-in's multi-stream table, and the slots of one of its entries.
const FormatDescriptor* multi_stream_table();
const MultiStreamSlots& multi_slots_for(uint32_t file_fourcc);

// A zeroed EncParam with the file code set and no streams.
std::unique_ptr<EncParam> blank_params(uint32_t file_fourcc);
// Adds a video stream.
void set_video(EncParam& p, uint32_t codec, uint32_t width, uint32_t height, double frame_rate);
// Adds an audio stream.
void set_audio(EncParam& p, uint32_t codec, uint32_t sample_rate, uint32_t channels,
               uint32_t bits_per_sample = 16, const char* language = "");

// Annex-B bytes: a 4-byte start code in front of each unit.
std::vector<uint8_t> annex_b(const std::vector<std::vector<uint8_t>>& units);
// The length-prefixed form: a big-endian u32 length in front of each unit.
std::vector<uint8_t> length_prefixed(const std::vector<std::vector<uint8_t>>& units);

MxVideoFrame video_frame(uint8_t* data, uint32_t size, int64_t pts, int64_t dts,
                         uint32_t picture_flag = 0);
MxAudioFrame audio_frame(const uint8_t* data, int32_t size, int64_t pts, uint32_t channels = 2);

// One writer session driven through the slots of the entry for the record's
// file code. The destructor closes a session that is still open.
class Session {
 public:
  Session(const EncParam& params, const std::string& path);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  bool open() const { return handle_ != nullptr; }
  MxSession handle() const { return handle_; }
  const SingleStreamSlots& slots() const { return slots_; }

  uint32_t video(const MxVideoFrame& frame);
  uint32_t audio(const MxAudioFrame& frame, const int32_t* frame_info);
  void video_config(const std::vector<uint8_t>& first, const std::vector<uint8_t>& second);
  void audio_config(const std::vector<uint8_t>& bytes);
  void close();

 private:
  const SingleStreamSlots& slots_;
  MxSession handle_ = nullptr;
};

// Sends the plug-in's (and the logging library's) messages to a file while
// alive; lines() returns what was logged so far.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::vector<std::string> lines() const;
  bool contains(const std::string& line) const;
  // Lines that start with the given text.
  size_t count_prefix(const std::string& prefix) const;

 private:
  std::string path_;
};

}  // namespace host
