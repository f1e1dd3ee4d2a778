// The mxmux program: command line, the muxing run, progress and summary.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mxmux {

struct Options {
  std::string output;
  std::string format;  // four-character code, empty: from the output's extension
  std::string video;
  std::vector<std::string> audio;
  std::string plugin;
  uint32_t fps_num = 0, fps_den = 0;
  std::string language;
  std::string title, artist, album, genre, date, comment, description;
  std::string cover;
  int rating = -1, media_kind = -1;
  std::string timecode;
  std::string spherical;
  std::string live_photo;
  std::string log_file;
  int64_t creation_time = -1;  // seconds since 1970; -1: as the plug-in wrote it
  std::string dump;            // a file to list box by box instead of muxing
  bool faststart = false;      // movie box moved ahead of the media data when done
  bool verbose = false;
  bool quiet = false;
  bool progress = false;  // forced even when standard error is no terminal
  bool list_formats = false;
  bool help = false;
  bool version = false;
};

// Parses argv; false with a message on a bad command line.
bool parse_options(int argc, char** argv, Options& options, std::string& error);
std::string help_text();

// Runs the whole program; returns the exit status.
int run(const Options& options);
int main_entry(int argc, char** argv);

}  // namespace mxmux
