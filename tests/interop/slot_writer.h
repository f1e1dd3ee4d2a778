// Writes a file of the interoperability group through the plug-in's slots, as a
// host does: the parameter record, the codec configuration, then the packets of
// both streams in decoding order.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "interop_media.h"
#include "mx_mp4/host.h"
#include "writer/mp4_writer.h"

namespace interop {

struct SlotFile {
  uint32_t file_code = 0;
  const SourceTrack* video = nullptr;
  const SourceTrack* audio = nullptr;
  uint32_t video_code = 0;  // the host's codes; 0 takes the source's
  uint32_t audio_code = 0;
  // Changes to the parameter record beyond the streams (stereo mode, media kind, ...).
  std::function<void(EncParam&)> adjust;
  // A timecode sample written ahead of the first picture, lasting timecode_duration (100 ns).
  std::vector<uint8_t> timecode;
  int64_t timecode_duration = 0;
  // The module's writer options while the file is written (MX_WRITE_RESILIENT).
  uint32_t writer_flags = 0;
  // Called after every packet with the video and audio packets written so far.
  std::function<void(size_t video, size_t audio)> after_packet;
  // False: after the last packet the process ends at once, as a host that
  // dies, leaving the session open (for child processes only).
  bool close = true;
};

// How hosts time stamp reordered video (D is the reorder depth in frames).
enum class TimingStyle {
  kDelayed,    // decode times from 0, presentation times delayed by D
  kUndelayed,  // decode times start at the first presentation time: B-frames present early
  kNegative,   // presentation times from 0, decode times start D frames before
  // As kNegative, from a host that asks for durations taken from the time stamps.
  kNegativeTimed,
};

// A time of `frames` frames at the rate in 100 ns units, rounded to the
// nearest unit as a host computes it: llround(frames × 10^7 × den / num).
int64_t host_time(int64_t frames, Rate rate);

// The source's video packets with the host time stamps of a style, in decoding order.
SourceTrack with_host_times(const SourceTrack& source, TimingStyle style);

// Writes `file` to `path`; every slot call that should succeed is checked.
void write_through_slots(const SlotFile& file, const std::string& path);
// The same through an in-process session with these settings (the writer
// flags of `file` are not read: the settings' options are the session's).
void write_in_process(const SlotFile& file, const std::string& path,
                      const SessionSettings& settings);

}  // namespace interop
