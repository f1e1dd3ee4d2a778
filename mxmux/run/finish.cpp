#include "mxmux/run/finish.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "mxmux/files/faststart.h"
#include "mxmux/files/finished_file.h"
#include "mxmux/files/movie_times.h"
#include "mxmux/host/plugin_host.h"
#include "mxmux/run/abandon.h"
#include "mxmux/run/messages.h"
#include "mxmux/run/stop_request.h"
#include "mxmux/system.h"

namespace mxmux {

namespace {

// What a major brand makes of a file, for the summary.
struct BrandName {
  const char* brand;
  const char* name;
};

constexpr BrandName kBrandNames[] = {
    {"qt  ", "QuickTime movie"},
    {"mp42", "MP4"},
    {"isom", "MP4"},
    {"M4A ", "M4A"},
    {"M4V ", "M4V"},
    {"3gp4", "3GP"},
    {"kddi", "3G2"},
    {"f4v ", "F4V"},
};

std::string brand_name(const std::string& brand) {
  for (const auto& b : kBrandNames) {
    if (brand == b.brand) return b.name;
  }
  return "\"" + brand + "\" file";
}

// The file as the plug-in closed it, then rewritten as the command line asks;
// checked again after the movie box moved (its size may have grown).
int complete_file(MuxedFile& muxed, FileFacts& facts) {
  OutputFile& output = muxed.output;
  const OutputRequest& r = muxed.request;
  std::string problem;
  if (!inspect_finished_file(output.path(), facts, problem)) {
    std::string cause = write_failure_text(output, r.target);
    return abandon(output, r.target,
                   !cause.empty()
                       ? cause
                       : r.target + ": the plug-in wrote an incomplete file (" + problem + ")");
  }
  if (r.faststart) {
    facts = FileFacts{};
    if (!faststart::rewrite_file(output.path(), stop_requested, problem) ||
        !inspect_finished_file(output.path(), facts, problem)) {
      return abandon(
          output, r.target,
          r.target + ": cannot move the movie box ahead of the media data (" + problem + ")");
    }
  }
  if (r.creation_time >= 0 && !set_movie_times(output.path(), r.creation_time, problem)) {
    return abandon(output, r.target, r.target + ": cannot set the creation time (" + problem + ")");
  }
  return 0;
}

void print_notes(const MuxedFile& muxed, bool still_written, const FileFacts& facts) {
  const OutputRequest& r = muxed.request;
  if (r.live_photo && !still_written)
    say(r.target + ": the plug-in wrote no Live Photo still (run with --verbose for its log)");
  bool pcm_float = std::any_of(muxed.audio.begin(), muxed.audio.end(),
                               [](const auto& a) { return a.params.codec == Codec::kPcmFloat32; });
  if (pcm_float && facts.brand != "qt  ") {
    say(r.target + ": note: 32-bit float PCM in an MP4 file (\"fpcm\") needs a recent " +
        "reader (Debian 12's ffmpeg 5.1 cannot decode it); a .mov file (\"fl32\") is read " +
        "more widely");
  }
}

// The streams of the summary and the longest one's duration in seconds.
std::string streams_text(const MuxedFile& muxed, bool still_written, double& duration) {
  std::string parts;
  duration = 0;
  if (muxed.video) {
    const StreamParams& v = muxed.video->params;
    char buf[160];
    std::snprintf(buf, sizeof buf, "%s%s%s %ux%u %.5g fps, %llu frames", codec_name(v.codec),
                  v.detail.empty() ? "" : " ", v.detail.c_str(), v.width, v.height,
                  static_cast<double>(v.fps_num) / v.fps_den,
                  static_cast<unsigned long long>(muxed.video->frames));
    parts += buf;
    duration = static_cast<double>(muxed.video->frames) * v.fps_den / v.fps_num;
  }
  for (const StreamSummary& a : muxed.audio) {
    const StreamParams& ap = a.params;
    char buf[160];
    std::snprintf(buf, sizeof buf, "%s%s%s %u Hz %u ch, %llu frames", codec_name(ap.codec),
                  ap.detail.empty() ? "" : " ", ap.detail.c_str(), ap.sample_rate, ap.channels,
                  static_cast<unsigned long long>(a.frames));
    if (!parts.empty()) parts += "; ";
    parts += buf;
    duration = std::max(duration, static_cast<double>(a.samples) / ap.sample_rate);
  }
  const OutputRequest& r = muxed.request;
  if (!r.timecode.empty()) parts += "; timecode " + r.timecode;
  if (r.live_photo) {
    parts += "; Live Photo still-image time";
    if (still_written) parts += "; still " + muxed.output.still_target();
  }
  return parts;
}

void print_summary(const MuxedFile& muxed, bool still_written, const FileFacts& facts) {
  const OutputRequest& r = muxed.request;
  std::string line = r.target + ": " + brand_name(facts.brand) + " (format \"" +
                     fourcc_text(muxed.file_code) + "\", brand \"" + facts.brand + "\"), ";
  line += std::to_string(facts.tracks) + (facts.tracks == 1 ? " track: " : " tracks: ");
  double duration = 0;
  std::string parts = streams_text(muxed, still_written, duration);
  char tail[96];
  std::snprintf(tail, sizeof tail, "; %.2f s; %s", duration, human_size(facts.size).c_str());
  // When the file itself went to standard output, the summary must not follow it there.
  bool file_on_stdout = muxed.output.into_device() && sys::is_standard_output(r.target);
  std::fprintf(file_on_stdout ? stderr : stdout, "%s%s%s\n", line.c_str(), parts.c_str(), tail);
}

}  // namespace

int finish(MuxedFile& muxed) {
  muxed.session.close();
  const OutputRequest& r = muxed.request;
  if (stop_requested()) return abandon(muxed.output, r.target, r.target + ": interrupted");
  FileFacts facts;
  if (int status = complete_file(muxed, facts)) return status;
  bool still_written = muxed.output.still_written();
  std::string why;
  if (!muxed.output.commit(why)) return abandon(muxed.output, r.target, why);
  print_notes(muxed, still_written, facts);
  if (!r.quiet) print_summary(muxed, still_written, facts);
  return 0;
}

}  // namespace mxmux
