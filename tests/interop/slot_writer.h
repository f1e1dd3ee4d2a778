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
};

// Writes `file` to `path`; every slot call that should succeed is checked.
void write_through_slots(const SlotFile& file, const std::string& path);

}  // namespace interop
