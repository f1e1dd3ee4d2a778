// The command line of mxmux: the option table (each option's names, its
// value, what it sets and its help line), the parser it drives, the help text
// made from it, and the command the line asks for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mxmux {

// A start timecode, HH:MM:SS:FF.
struct Timecode {
  int hours = 0, minutes = 0, seconds = 0, frames = 0;
};

struct Options {
  std::string output;
  std::string format;  // four-character code, empty: from the output's extension
  std::string video;
  std::vector<std::string> audio;
  std::string plugin;  // empty: the plug-in beside the program
  uint32_t fps_num = 0, fps_den = 0;
  std::string language;
  std::string title, artist, album, genre, date, comment, description;
  std::string cover;
  int rating = -1, media_kind = -1;
  std::string timecode;     // as given, empty for none
  Timecode start_timecode;  // its fields; the frames are checked against the video's rate later
  std::string spherical;
  std::string live_photo;
  std::string log_file;
  int64_t creation_time = -1;  // seconds since 1970; -1: as the plug-in wrote it
  std::string dump;            // a file to list box by box instead of muxing
  bool faststart = false;      // movie box moved ahead of the media data when done
  bool resilient = false;      // written as fragments, in place, so that a crash keeps it
  std::string recover;         // a file a crash left fragmented, to finish instead of muxing
  bool verbose = false;
  bool quiet = false;
  bool progress = false;  // forced even when standard error is no terminal
  bool list_formats = false;
  bool help = false;
  bool version = false;
};

// What a run does. The commands before kMux only read and print.
enum class Command {
  kUsage,  // no arguments at all: the help text, as an error
  kHelp,
  kVersion,
  kDump,
  kRecover,
  kListFormats,
  kMux,
};

struct CommandLine {
  Command command = Command::kMux;
  Options options;
};

// Reads the arguments (the program's name first, as in argv) into the
// options and picks the command; false with the message on a bad command line.
bool parse_command_line(const std::vector<std::string>& arguments, CommandLine& line,
                        std::string& error);

std::string help_text();

}  // namespace mxmux
