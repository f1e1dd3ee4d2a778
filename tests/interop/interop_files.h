// The files of the interoperability group: a container and the streams in it,
// written through the slots. Every reader the group checks reads these files.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "interop_media.h"

namespace interop {

// What a movie carries besides its streams.
enum class Feature {
  kNone,
  kTimecode,   // a timecode track starting at 01:00:00:00
  kLivePhoto,  // a Live Photo: the still-image-time track and keys, a still beside it
};

struct FileCase {
  const char* file_code;
  std::optional<Media> video;
  std::optional<Media> audio;
  const char* video_code = nullptr;  // the host's video code when not the codec's usual one
  const char* audio_code = nullptr;
  Feature feature = Feature::kNone;
};

// Every file of the group: MP4, QuickTime, audio-only M4A, 3GPP and 3GPP2, F4V, M4V.
const std::vector<FileCase>& interop_files();
// QuickTime movies with a timecode track and as a Live Photo.
const std::vector<FileCase>& feature_files();
// Both lists.
std::vector<FileCase> every_file();

// "MOV_h264_aac": the container's code and the streams, usable as a test name.
std::string case_name(const FileCase& c);
void PrintTo(const FileCase& c, std::ostream* os);

// The host's four-character code of a text such as "MOV ".
uint32_t code_of(const char* s);

// The sources of the case's streams; a missing encoder shows in their `missing`.
const SourceTrack* video_source(const FileCase& c);
const SourceTrack* audio_source(const FileCase& c);

// Writes the case's file to `path` through the slots, as a host does, with
// the module's writer options set to `writer_flags` (MX_WRITE_RESILIENT). A
// Live Photo's still is written beside it (the path with the extension ".jpg").
void write_case(const FileCase& c, const std::string& path, uint32_t writer_flags = 0);

// The extension a file of the container code has: ".mp4", ".mov", ".m4a", ...
std::string extension_for(const char* file_code);

}  // namespace interop
