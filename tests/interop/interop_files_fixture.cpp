#include <cctype>
#include <cmath>

#include "interop_files.h"
#include "slot_writer.h"

namespace interop {

const std::vector<FileCase>& interop_files() {
  static const std::vector<FileCase> files = {
      // MP4
      {"MP4 ", Media::kH264, Media::kAac},
      {"MP4 ", Media::kMpeg4Visual, Media::kAc3Stereo},
      {"MP4 ", Media::kH264, Media::kAc3Surround},
      {"MP4 ", Media::kCineform, Media::kAlac},
      {"MP4 ", Media::kH264, Media::kFlac16},
      {"MP4 ", Media::kH264, Media::kFlac24},
      {"MP4 ", Media::kH264, Media::kPcm16},
      {"MP4 ", Media::kH264, Media::kPcm32Float},
      {"MP4 ", Media::kFfv1, Media::kAac},
      {"MP4 ", Media::kHevc, Media::kAac},
      {"MP4 ", Media::kAv1, Media::kAac},
      {"MP4 ", Media::kH264Large, Media::kAac},
      {"MP4 ", Media::kHevcLarge, Media::kAac},
      // QuickTime
      {"MOV ", Media::kH264, Media::kAac},
      {"MOV ", Media::kMpeg4Visual, Media::kPcm16},
      {"MOV ", Media::kDnxhd, Media::kPcm32Float},
      {"MOV ", Media::kDnxhr, Media::kAc3Stereo},
      {"MOV ", Media::kH264, Media::kAc3Surround},
      {"MOV ", Media::kCineform, Media::kAlac},
      {"MOV ", Media::kFfv1, Media::kAac},
      {"MOV ", Media::kH263, Media::kAac},
      {"MOV ", Media::kHevc, Media::kPcm16},
      {"MOV ", Media::kH264Large, Media::kPcm16},
      // Audio only
      {"M4A ", std::nullopt, Media::kAac},
      {"M4A ", std::nullopt, Media::kAc3Surround},
      {"M4A ", std::nullopt, Media::kAlac},
      {"M4A ", std::nullopt, Media::kFlac16},
      {"M4A ", std::nullopt, Media::kFlac24},
      {"M4A ", std::nullopt, Media::kPcm16},
      {"M4A ", std::nullopt, Media::kPcm32Float},
      // 3GPP and 3GPP2
      {"3GP ", Media::kH263, Media::kAmrNb},
      {"3GP ", Media::kMpeg4Visual, Media::kAac},
      {"3GP2", Media::kH264, Media::kAmrNb},
      {"3GP2", Media::kMpeg4Visual, Media::kAac},
      {"KDDI", Media::kMpeg4Visual, Media::kAac},
      // F4V ("F4V " is written as MP4, "NF4V" in the F4V flavour)
      {"F4V ", Media::kH264, Media::kAac, "FAVC", "MAAC"},
      {"F4V ", Media::kH264, Media::kAc3Stereo, "FAVC"},
      {"F4V ", Media::kH264, Media::kFlac16, "FAVC"},
      {"F4V ", Media::kH264, Media::kPcm16, "FAVC"},
      {"NF4V", Media::kH264, Media::kAac, "A264"},
      {"NF4V", Media::kH264, Media::kPcm32Float, "A264"},
      // M4V
      {"M4V ", Media::kH264, Media::kAac},
      {"M4V ", Media::kMpeg4Visual, Media::kAlac},
      {"M4V ", Media::kH264, Media::kPcm16},
  };
  return files;
}

const std::vector<FileCase>& feature_files() {
  static const std::vector<FileCase> files = {
      {"MOV ", Media::kH264Pyramid, std::nullopt, nullptr, nullptr, Feature::kTimecode},
      {"MOV ", Media::kH264, Media::kAac, nullptr, nullptr, Feature::kLivePhoto},
  };
  return files;
}

std::vector<FileCase> every_file() {
  std::vector<FileCase> files = interop_files();
  const std::vector<FileCase>& more = feature_files();
  files.insert(files.end(), more.begin(), more.end());
  return files;
}

std::string case_name(const FileCase& c) {
  std::string name = c.file_code;
  while (!name.empty() && name.back() == ' ') name.pop_back();
  if (c.video) name += std::string("_") + media_name(*c.video);
  if (c.audio) name += std::string("_") + media_name(*c.audio);
  if (c.feature == Feature::kTimecode) name += "_timecode";
  if (c.feature == Feature::kLivePhoto) name += "_live_photo";
  for (char& ch : name) {
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  }
  return name;
}

void PrintTo(const FileCase& c, std::ostream* os) {
  *os << case_name(c);
}

uint32_t code_of(const char* s) {
  return MX_FOURCC(s[0], s[1], s[2], s[3]);
}

const SourceTrack* video_source(const FileCase& c) {
  return c.video ? &source(*c.video) : nullptr;
}

const SourceTrack* audio_source(const FileCase& c) {
  return c.audio ? &source(*c.audio) : nullptr;
}

void write_case(const FileCase& c, const std::string& path, uint32_t writer_flags) {
  // The smallest picture a reader takes for a JPEG: start of image, a scan, end.
  static const uint8_t kJpeg[] = {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0x11, 0xFF, 0xD9};
  static const MxPicture kStill = {kJpeg, sizeof kJpeg, 0};
  SlotFile file;
  file.writer_flags = writer_flags;
  file.file_code = code_of(c.file_code);
  file.video = video_source(c);
  file.audio = audio_source(c);
  if (c.video_code) file.video_code = code_of(c.video_code);
  if (c.audio_code) file.audio_code = code_of(c.audio_code);
  if (c.feature == Feature::kTimecode && file.video) {
    // 01:00:00:00 counted in the whole frames per second of the video.
    const auto nominal = static_cast<uint32_t>(std::lround(file.video->frame_rate));
    const uint32_t counter = 3600 * nominal;
    file.timecode = {static_cast<uint8_t>(counter >> 24), static_cast<uint8_t>(counter >> 16),
                     static_cast<uint8_t>(counter >> 8), static_cast<uint8_t>(counter)};
    file.timecode_duration =
        std::llround(file.video->packets.size() * 1e7 / file.video->frame_rate);
  }
  if (c.feature == Feature::kLivePhoto) {
    file.adjust = [](EncParam& p) {
      p.metadata.live_photo = 1;
      p.metadata.cover_art = &kStill;
    };
  }
  write_through_slots(file, path);
}

std::string extension_for(const char* file_code) {
  struct Row {
    const char* file_code;
    const char* extension;
  };
  static const Row kRows[] = {
      {"MOV ", ".mov"}, {"M4A ", ".m4a"}, {"M4B ", ".m4b"}, {"M4V ", ".m4v"}, {"3GP ", ".3gp"},
      {"3GP2", ".3g2"}, {"KDDI", ".3g2"}, {"F4V ", ".f4v"}, {"NF4V", ".f4v"},
  };
  for (const Row& r : kRows) {
    if (std::string(r.file_code) == file_code) return r.extension;
  }
  return ".mp4";
}

}  // namespace interop
