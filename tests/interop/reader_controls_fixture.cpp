#include <cstdint>
#include <stdexcept>
#include <vector>

#include "reader_controls.h"
#include "support/test_files.h"

namespace interop {

namespace {

// The bytes of all packets in order, with a digest that names them.
struct Elementary {
  std::vector<uint8_t> bytes;
  std::string digest;
};

Elementary elementary(const SourceTrack& s, const std::vector<uint8_t>& header) {
  Elementary e{header, {}};
  for (const HostPacket& p : s.packets) e.bytes.insert(e.bytes.end(), p.data.begin(), p.data.end());
  uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (uint8_t b : e.bytes) h = (h ^ b) * 1099511628211ull;
  e.digest = std::to_string(h);
  return e;
}

// ffmpeg's input options for a stream: its source container, or its packets
// written out as raw PCM or as an AMR file.
std::string input_of(const SourceTrack& s) {
  if (!s.source_path.empty()) return "-i " + shell_quote(s.source_path);
  if (s.media == Media::kAmrNb) {
    static const std::vector<uint8_t> kAmrHeader = {'#', '!', 'A', 'M', 'R', '\n'};
    const Elementary e = elementary(s, kAmrHeader);
    const std::string path =
        made_once("control-amrnb", e.digest, ".amr", [&e](const std::string& tmp) {
          write_whole_file(tmp, e.bytes);
          return true;
        });
    return "-f amr -i " + shell_quote(path);
  }
  const bool pcm16 = s.media == Media::kPcm16;
  if (!pcm16 && s.media != Media::kPcm32Float) {
    throw std::runtime_error(std::string("no input for ") + media_name(s.media));
  }
  const Elementary e = elementary(s, {});
  const std::string path = made_once(std::string("control-") + media_name(s.media), e.digest,
                                     ".raw", [&e](const std::string& tmp) {
                                       write_whole_file(tmp, e.bytes);
                                       return true;
                                     });
  return std::string(pcm16 ? "-f s16le" : "-f f32le") + " -ar " + std::to_string(s.sample_rate) +
         " -ac " + std::to_string(s.channels) + " -i " + shell_quote(path);
}

// Runs ffmpeg to copy the inputs' packets into `muxer`; its words on failure.
std::string remux(const std::string& inputs, const std::string& maps, const std::string& muxer,
                  const std::string& out) {
  CommandResult r = run_command("ffmpeg -nostdin -v error -y " + inputs + maps + " -c copy -f " +
                                muxer + " " + shell_quote(out));
  if (r.status == 0 && r.err.empty()) return {};
  return r.err.empty() ? "ffmpeg exited with " + std::to_string(r.status) : r.err;
}

// ffmpeg's muxer for a container code: what ffmpeg writes for that kind of file.
std::string muxer_for(const char* file_code) {
  struct Row {
    const char* file_code;
    const char* muxer;
  };
  static const Row kRows[] = {
      {"MOV ", "mov"}, {"M4A ", "ipod"}, {"M4B ", "ipod"}, {"M4V ", "ipod"},
      {"3GP ", "3gp"}, {"3GP2", "3g2"},  {"KDDI", "3g2"},  {"NF4V", "f4v"},
  };
  for (const Row& r : kRows) {
    if (std::string(r.file_code) == file_code) return r.muxer;
  }
  return "mp4";  // MP4, and F4V, which the plug-in writes as MP4
}

}  // namespace

std::string stream_control(const SourceTrack& s) {
  if (!s.source_path.empty()) return s.source_path;
  const bool amr = s.media == Media::kAmrNb;
  const std::string inputs = input_of(s);
  return made_once(
      std::string("control-") + media_name(s.media), inputs, amr ? ".3gp" : ".mov",
      [&](const std::string& tmp) { return remux(inputs, "", amr ? "3gp" : "mov", tmp).empty(); });
}

Control file_control(const FileCase& c) {
  std::string inputs, maps;
  int index = 0;
  for (const SourceTrack* s : {video_source(c), audio_source(c)}) {
    if (s == nullptr) continue;
    inputs += input_of(*s) + " ";
    maps += " -map " + std::to_string(index++) + (s->video ? ":v:0" : ":a:0");
  }
  const std::string muxer = muxer_for(c.file_code);
  Control control;
  try {
    control.path = made_once("control-" + case_name(c), inputs + maps + muxer,
                             extension_for(c.file_code), [&](const std::string& tmp) {
                               control.refusal = remux(inputs, maps, muxer, tmp);
                               return control.refusal.empty();
                             });
  } catch (const std::runtime_error&) {
    control.path.clear();
  }
  return control;
}

}  // namespace interop
