// The plan of a muxing run: everything the command line asks for, checked
// before anything is written. The format is chosen, the inputs are open with
// their first frames read, the codes the format takes are picked, the files
// are checked against each other, and the plug-in's parameter record is
// built. Every refusal of the command line happens here.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mx_mp4/host.h"
#include "mxmux/host/plugin_host.h"
#include "mxmux/run/command_line.h"
#include "mxmux/run/input.h"

namespace mxmux {

// What the command line asks of the output file, carried to the stages that
// write and finish it.
struct OutputRequest {
  std::string target;       // the output as named on the command line
  bool live_photo = false;  // the plug-in writes a still beside it
  bool faststart = false;   // the movie box is moved ahead of the media data
  bool resilient = false;   // written in place as fragments (MX_WRITE_RESILIENT)
  int64_t creation_time = -1;
  bool verbose = false;   // the plug-in's log goes to standard error
  bool quiet = false;     // no progress line, no summary
  bool progress = false;  // the progress line even without a terminal
  std::string timecode;   // the start timecode as given, for the summary
};

struct Plan {
  OutputRequest request;
  Plugin plugin;
  const FormatDescriptor* format = nullptr;
  uint32_t file_code = 0;
  std::unique_ptr<Input> video;               // null without video
  std::vector<std::unique_ptr<Input>> audio;  // two: AAC, then AC-3 (dual audio)
  int64_t timecode_frame = -1;                // the start timecode's frame number; -1: none
  std::vector<uint8_t> picture_bytes;         // the cover or the Live Photo still
  MxPicture picture{};
  std::unique_ptr<EncParam> params;  // points at `picture`

  bool dual_audio() const { return audio.size() == 2; }
};

// Makes the plan of a muxing run. 0, or the exit status after saying why the
// run cannot be done.
int make_plan(const Options& options, Plan& plan);

}  // namespace mxmux
