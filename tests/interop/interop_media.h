// Test input for the interoperability group, made at test time with ffmpeg from
// its lavfi test sources, and the black-box readers (ffprobe, ffmpeg) used to
// check what the plug-in wrote.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace interop {

struct CommandResult {
  int status = -1;
  std::string out;
  std::string err;
};
// Runs a shell command; stdout and stderr are captured apart.
CommandResult run_command(const std::string& command);
// Whether the installed ffmpeg has this encoder.
bool have_encoder(const std::string& name);

struct ProbedStream {
  std::map<std::string, std::string> fields;  // key=value lines of [STREAM]
  std::vector<uint8_t> extradata;
  std::string get(const std::string& key) const;
  int64_t get_int(const std::string& key) const;  // -1 when absent or not a number
};

struct ProbedPacket {
  int stream_index = 0;
  int64_t pts = 0;
  int64_t dts = 0;
  int64_t duration = 0;
  bool key = false;
  std::vector<uint8_t> data;
};

struct Probe {
  std::vector<ProbedStream> streams;
  std::vector<ProbedPacket> packets;
  std::map<std::string, std::string> format;
  std::string errors;  // ffprobe's stderr at -v error
};
// ffprobe -show_streams -show_format [-show_packets -show_data] of a file.
Probe probe(const std::string& path, bool packets, const std::string& input_options = "");

// mediainfo's reading of a file: for each track of the kind ("Video", "Audio"),
// the values of the named fields ("FrameCount", "Duration", ...) in order.
std::vector<std::vector<std::string>> mediainfo(const std::string& path, const std::string& kind,
                                                const std::vector<std::string>& fields);

// The parts of ffprobe's default output that the tests read.
Probe parse_probe(const std::string& text, const std::string& errors);
// The hashes of ffmpeg -f framemd5 output, in order.
std::vector<std::string> parse_framemd5(const std::string& text);
std::string shell_quote(const std::string& s);

enum class Media {
  kH264,
  kHevc,
  kH264Pyramid,  // x264 with three B-frames in a pyramid: two frames of reorder delay
  kHevcPyramid,  // x265 likewise, with open GOPs
  kH264Large,    // 720p frames of 0.5 MB in three slices: the plug-in writes them block by block
  kHevcLarge,    // likewise in two slices
  kAv1,
  kMpeg4Visual,
  kH263,
  kDnxhd,
  kDnxhr,
  kCineform,
  kFfv1,
  kAac,
  kAc3Stereo,
  kAc3Surround,
  kAlac,
  kFlac16,
  kFlac24,
  kPcm16,
  kPcm32Float,
  kAmrNb,
};
const char* media_name(Media m);

// A video frame rate as a fraction.
struct Rate {
  uint32_t num = 25, den = 1;
  double fps() const { return static_cast<double>(num) / den; }
  bool operator<(const Rate& o) const { return num * uint64_t{o.den} < o.num * uint64_t{den}; }
};

// One packet as a host hands it to the plug-in.
struct HostPacket {
  std::vector<uint8_t> data;
  int64_t pts = 0;  // 100 ns
  int64_t dts = 0;
  bool key = false;
  int32_t frames = 1;  // audio frames in the packet
  int64_t order = 0;   // video: the frame's place in presentation order, from 0
};

struct SourceTrack {
  Media media{};
  bool video = false;
  uint32_t host_codec = 0;  // the host's four-character code
  std::string codec_name;   // what ffprobe should report for our file
  uint32_t width = 0, height = 0;
  double frame_rate = 0;
  Rate rate;  // video: the frame rate the source was made at
  uint32_t sample_rate = 0, channels = 0, bits = 0;
  // Video: the two WriteVideoExtraData buffers; audio: the WriteAudioExtraData bytes.
  std::vector<uint8_t> config1, config2;
  std::vector<HostPacket> packets;
  // The bytes each packet should become as a sample of the file.
  std::vector<std::vector<uint8_t>> stored;
  // The source container, decoded for reference hashes; empty for synthesized media.
  std::string source_path;
  std::string missing;  // non-empty: the encoder is missing, the reason
  double seconds = 0;   // the media's duration
  // As a constant-rate table states it: packets times the longest packet duration
  // (a short last packet counts in full).
  double nominal_seconds = 0;
};

// Made once per build (in the test scratch folder) and kept. Video is made at
// `rate`; the host time stamps of its packets count from the first decode time.
const SourceTrack& source(Media m, Rate rate = {});
// The decoded pictures' hashes of a video source (kept with it).
std::vector<std::string> reference_hashes(const SourceTrack& s);

// A file of the test scratch folder made once per build and shared by the test
// processes, as the sources are: its name is `name`, a digest of `recipe` and
// `extension`; when it is not there yet, `make(temporary_path)` writes it and
// it is renamed into place. Returns the path, or throws when `make` failed.
std::string made_once(const std::string& name, const std::string& recipe,
                      const std::string& extension,
                      const std::function<bool(const std::string&)>& make);

}  // namespace interop
