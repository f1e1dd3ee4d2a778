// The muxing stage: drives the plug-in through a writer session. The output
// is made under its temporary name, the session created with the plan's
// parameter record and the streams' configuration, and the frames of all
// inputs are handed over interleaved by decode time (audio in packets), with
// the progress line, until the inputs end or a signal asks the run to stop.
// The session is left open: closing it writes the movie box, which the
// finishing stage does.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "mxmux/files/output_file.h"
#include "mxmux/host/session.h"
#include "mxmux/readers/reader.h"
#include "mxmux/run/plan.h"

namespace mxmux {

// What was handed over of one stream.
struct StreamSummary {
  StreamParams params;
  uint64_t frames = 0;
  uint64_t samples = 0;
};

// A file whose frames the plug-in has: its session still open.
struct MuxedFile {
  explicit MuxedFile(const Plan& plan)
      : session(plan.format->slots.single, plan.plugin.writer_options()) {}

  OutputRequest request;
  uint32_t file_code = 0;
  OutputFile output;
  Session session;
  std::optional<StreamSummary> video;
  std::vector<StreamSummary> audio;
};

// 0, or the exit status after saying why muxing failed (the temporary files
// are then gone and the session closed).
int mux(Plan& plan, MuxedFile& muxed);

}  // namespace mxmux
