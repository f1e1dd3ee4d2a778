#include "mxmux/run/command_line.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <string_view>

#include "mxmux/files/movie_times.h"
#include "mxmux/readers/reader.h"

namespace mxmux {

namespace {

// ------------------------------------------------------------ option values

bool parse_fps(const std::string& text, uint32_t& num, uint32_t& den) {
  auto slash = text.find('/');
  char* end = nullptr;
  if (slash != std::string::npos) {
    unsigned long n = std::strtoul(text.c_str(), &end, 10);
    if (end != text.c_str() + slash) return false;
    unsigned long d = std::strtoul(text.c_str() + slash + 1, &end, 10);
    if (*end || n == 0 || d == 0 || n > 0xFFFFFFFFul || d > 0xFFFFFFFFul) return false;
    num = static_cast<uint32_t>(n);
    den = static_cast<uint32_t>(d);
  } else {
    double f = std::strtod(text.c_str(), &end);
    if (*end || !(f > 0.0) || f > 1000.0) return false;
    // Common NTSC rates as exact fractions.
    for (double base : {24.0, 30.0, 60.0, 120.0}) {
      if (std::abs(f - base * 1000.0 / 1001.0) < 0.005) {
        num = static_cast<uint32_t>(base * 1000);
        den = 1001;
        return true;
      }
    }
    num = static_cast<uint32_t>(f * 1000.0 + 0.5);
    den = 1000;
  }
  uint32_t g = std::gcd(num, den);
  num /= g;
  den /= g;
  return num / den <= 1000;
}

bool parse_int(const std::string& text, int lo, int hi, int& out) {
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end || v < lo || v > hi) return false;
  out = static_cast<int>(v);
  return true;
}

// HH:MM:SS:FF, one or two digits a field. The frames are checked against the
// video's rate once it is known.
bool parse_timecode(const std::string& text, Timecode& tc, std::string& error) {
  int fields[4] = {};
  size_t pos = 0;
  bool drop_frame = false;
  for (int i = 0; i < 4; ++i) {
    size_t digits = 0;
    while (pos < text.size() && digits < 3 && std::isdigit(static_cast<unsigned char>(text[pos]))) {
      fields[i] = fields[i] * 10 + (text[pos++] - '0');
      ++digits;
    }
    bool separator_ok = i == 3 ? pos == text.size() : pos < text.size() && text[pos] == ':';
    if (i == 2 && pos < text.size() && text[pos] == ';') {
      drop_frame = true;
      separator_ok = true;
    }
    if (digits == 0 || digits > 2 || !separator_ok) {
      error = "bad --timecode '" + text + "' (HH:MM:SS:FF, for example 01:00:00:00)";
      return false;
    }
    ++pos;
  }
  if (drop_frame) {
    error = "--timecode " + text +
            " is drop-frame timecode (';' before the frames), which cannot be written: the "
            "plug-in's timecode track counts every frame (HH:MM:SS:FF)";
    return false;
  }
  tc = Timecode{fields[0], fields[1], fields[2], fields[3]};
  if (tc.hours > 23 || tc.minutes > 59 || tc.seconds > 59) {
    error = "bad --timecode '" + text + "' (hours 00-23, minutes and seconds 00-59)";
    return false;
  }
  return true;
}

// ------------------------------------------------------ what options set

// Stores an option's value; false with the message when the value is refused.
using Setter = bool (*)(Options& options, const std::string& value, std::string& error);

template <std::string Options::*field>
bool set_text(Options& o, const std::string& value, std::string&) {
  o.*field = value;
  return true;
}

template <bool Options::*field>
bool set_flag(Options& o, const std::string&, std::string&) {
  o.*field = true;
  return true;
}

bool set_video(Options& o, const std::string& value, std::string& error) {
  if (!o.video.empty()) {
    error = "only one --video input is possible";
    return false;
  }
  o.video = value;
  return true;
}

bool add_audio(Options& o, const std::string& value, std::string& error) {
  if (o.audio.size() == 2) {
    error = "at most two --audio inputs are possible (AAC + AC-3)";
    return false;
  }
  o.audio.push_back(value);
  return true;
}

bool set_fps(Options& o, const std::string& value, std::string& error) {
  if (parse_fps(value, o.fps_num, o.fps_den)) return true;
  error = "bad frame rate '" + value + "' (examples: 25, 29.97, 30000/1001)";
  return false;
}

bool set_language(Options& o, const std::string& value, std::string& error) {
  if (value.size() != 3 ||
      !std::all_of(value.begin(), value.end(), [](char c) { return c >= 'a' && c <= 'z'; })) {
    error = "bad language '" + value + "' (a three-letter ISO 639-2 code such as eng)";
    return false;
  }
  o.language = value;
  return true;
}

bool set_rating(Options& o, const std::string& value, std::string& error) {
  if (parse_int(value, 0, 255, o.rating)) return true;
  error = "bad rating '" + value + "' (a number from 0 to 255)";
  return false;
}

bool set_media_kind(Options& o, const std::string& value, std::string& error) {
  if (parse_int(value, 0, 255, o.media_kind)) return true;
  error = "bad media kind '" + value + "' (a number from 0 to 255)";
  return false;
}

bool set_timecode(Options& o, const std::string& value, std::string& error) {
  if (!parse_timecode(value, o.start_timecode, error)) return false;
  o.timecode = value;
  return true;
}

bool set_spherical(Options& o, const std::string& value, std::string& error) {
  if (value != "mono" && value != "left-right" && value != "top-bottom") {
    error = "bad --spherical '" + value + "' (mono, left-right or top-bottom)";
    return false;
  }
  o.spherical = value;
  return true;
}

bool set_creation_time(Options& o, const std::string& value, std::string& error) {
  char* end = nullptr;
  long long seconds = std::strtoll(value.c_str(), &end, 10);
  // The file holds seconds since 1904 in 32 bits (until 2040).
  if (value.empty() || *end || seconds < 0 || seconds > 0xFFFFFFFFll - kSeconds1904To1970) {
    error = "bad --creation-time '" + value + "' (seconds since 1970, up to 2040)";
    return false;
  }
  o.creation_time = seconds;
  return true;
}

// ------------------------------------------------------------ option table

struct OptionRow {
  const char* section;     // the help's heading over it
  const char* short_name;  // or null
  const char* name;
  const char* value;  // what the help calls its value; null for an option without one
  Setter set;
  // Its help, lines after the first indented under it. kWithNext: named on
  // one help line with the rows after it, the last of which gives the value.
  const char* help;
};

constexpr const char* kWithNext = nullptr;

// The options in the order of the help text.
// clang-format off
constexpr OptionRow kOptions[] = {
    {"Output", "-o", "--output", "FILE", set_text<&Options::output>,
     "the file to write (.mp4 .mov .m4a .m4b .m4v .3gp .3g2 .f4v)"},
    {"Output", nullptr, "--format", "CODE", set_text<&Options::format>,
     "the plug-in's format code, e.g. \"MP4 \", MOV, 3GP (default:\n"
     "from the output's extension; see --list-formats)"},
    {"Output", nullptr, "--video", "FILE", set_video, "the video stream"},
    {"Output", nullptr, "--audio", "FILE", add_audio,
     "an audio stream; twice for AAC + AC-3 in one file"},
    {"Output", nullptr, "--fps", "RATE", set_fps,
     "the video's frame rate (25, 29.97, 30000/1001); replaces the\n"
     "stream's own rate (with a warning); default: the stream's,\n"
     "else 25"},
    {"Output", nullptr, "--language", "CODE", set_language,
     "audio language, ISO 639-2 (eng, deu, ...)"},
    {"Output", nullptr, "--resilient", nullptr, set_flag<&Options::resilient>,
     "write the output in place as fragments of about a second,\n"
     "each complete on disk before the next: a crash, a kill or\n"
     "a power cut loses at most the last second, and the file\n"
     "left plays (finish it with --recover); a normal end makes\n"
     "it a plain file. For recordings and long encodes. An\n"
     "existing output is replaced when the run starts; not with\n"
     "--faststart, nor into a device or a pipe"},
    {"Metadata", nullptr, "--title", "TEXT", set_text<&Options::title>, kWithNext},
    {"Metadata", nullptr, "--artist", "TEXT", set_text<&Options::artist>, kWithNext},
    {"Metadata", nullptr, "--album", "TEXT", set_text<&Options::album>, kWithNext},
    {"Metadata", nullptr, "--genre", "TEXT", set_text<&Options::genre>, kWithNext},
    {"Metadata", nullptr, "--date", "TEXT", set_text<&Options::date>, kWithNext},
    {"Metadata", nullptr, "--comment", "TEXT", set_text<&Options::comment>, kWithNext},
    {"Metadata", nullptr, "--description", "TEXT", set_text<&Options::description>, ""},
    {"Metadata", nullptr, "--cover", "IMAGE", set_text<&Options::cover>,
     "cover art (JPEG, PNG or BMP)"},
    {"Metadata", nullptr, "--rating", "N", set_rating, "content rating number"},
    {"Metadata", nullptr, "--media-kind", "N", set_media_kind,
     "iTunes media kind (1 music, 2 audiobook, 9 movie, 10 TV show, ...)"},
    {"Metadata", nullptr, "--timecode", "HH:MM:SS:FF", set_timecode,
     "start timecode (adds a timecode track; non-drop-frame)"},
    {"Metadata", nullptr, "--spherical", "MODE", set_spherical,
     "360-degree video: mono, left-right or top-bottom (H.264)"},
    {"Metadata", nullptr, "--live-photo", "STILL.jpg", set_text<&Options::live_photo>,
     "write a Live Photo movie with this still"},
    {"Metadata", nullptr, "--faststart", nullptr, set_flag<&Options::faststart>,
     "put the movie box ahead of the media data, so that players\n"
     "streaming the file over HTTP can start before it has all\n"
     "arrived (the finished file is rewritten once)"},
    {"Program", nullptr, "--plugin", "PATH", set_text<&Options::plugin>,
     "the plug-in library (default: mx_mp4.so beside mxmux)"},
    {"Program", nullptr, "--log", "FILE", set_text<&Options::log_file>,
     "write the plug-in's log lines to FILE"},
    {"Program", nullptr, "--creation-time", "SECONDS", set_creation_time,
     "record this creation time (seconds since 1970) in the\n"
     "movie, track and media headers instead of the current\n"
     "time, for reproducible files"},
    {"Program", "-v", "--verbose", nullptr, set_flag<&Options::verbose>,
     "the plug-in's log lines on standard error"},
    {"Program", "-q", "--quiet", nullptr, set_flag<&Options::quiet>,
     "no progress line and no summary"},
    {"Program", nullptr, "--progress", nullptr, set_flag<&Options::progress>,
     "show the progress line even when standard error is no terminal"},
    {"Program", nullptr, "--list-formats", nullptr, set_flag<&Options::list_formats>,
     "print the plug-in's format catalogue"},
    {"Program", nullptr, "--dump", "FILE", set_text<&Options::dump>,
     "list the boxes of an MP4-family file: offset, size and\n"
     "main fields of each (no muxing)"},
    {"Program", nullptr, "--recover", "FILE", set_text<&Options::recover>,
     "after a crash: turn the file a --resilient run (or a host\n"
     "writing resilient files) left unfinished into the plain\n"
     "file a normal end writes, in place; what follows its last\n"
     "complete fragment is cut off (no muxing)"},
    {"Program", "-h", "--help", nullptr, set_flag<&Options::help>, "this text"},
    {"Program", nullptr, "--version", nullptr, set_flag<&Options::version>,
     "the program's version"},
};
// clang-format on

const OptionRow* find_option(const std::string& name) {
  for (const OptionRow& row : kOptions) {
    if (name == row.name || (row.short_name && name == row.short_name)) return &row;
  }
  return nullptr;
}

// The help's option lines: a heading over each section, then one entry per
// row, its description from kHelpColumn on.
std::string options_help() {
  constexpr size_t kHelpColumn = 25;
  std::string out, head;
  std::string_view section;
  for (const OptionRow& row : kOptions) {
    if (section != row.section) {
      section = row.section;
      out += "\n";
      out += row.section;
      out += ":\n";
    }
    head += head.empty() ? "  " : " ";
    if (row.short_name) {
      head += row.short_name;
      head += ", ";
    }
    head += row.name;
    if (row.help == kWithNext) continue;
    if (row.value) {
      head += ' ';
      head += row.value;
    }
    out += head;
    head.clear();
    std::string_view help = row.help;
    if (!help.empty()) {
      // A head too long for the column keeps two spaces before its help.
      size_t written = out.size() - out.rfind('\n') - 1;
      out.append(written < kHelpColumn ? kHelpColumn - written : 2, ' ');
      for (size_t line_end; (line_end = help.find('\n')) != std::string_view::npos;) {
        out.append(help.substr(0, line_end + 1));
        out.append(kHelpColumn, ' ');
        help.remove_prefix(line_end + 1);
      }
      out.append(help);
    }
    out += '\n';
  }
  return out;
}

Command command_of(const Options& o) {
  if (o.help) return Command::kHelp;
  if (o.version) return Command::kVersion;
  if (!o.dump.empty()) return Command::kDump;
  if (!o.recover.empty()) return Command::kRecover;
  if (o.list_formats) return Command::kListFormats;
  return Command::kMux;
}

}  // namespace

bool parse_command_line(const std::vector<std::string>& arguments, CommandLine& line,
                        std::string& error) {
  Options& o = line.options;
  const size_t count = arguments.size();
  for (size_t i = 1; i < count; ++i) {
    std::string arg = arguments[i];
    std::string value;
    bool has_inline = false;
    if (arg.rfind("--", 0) == 0) {
      auto eq = arg.find('=');
      if (eq != std::string::npos) {
        value = arg.substr(eq + 1);
        arg = arg.substr(0, eq);
        has_inline = true;
      }
    }
    const OptionRow* row = find_option(arg);
    if (!row) {
      error = arg[0] == '-'
                  ? "unknown option " + arg + " (see mxmux --help)"
                  : "unexpected argument '" + arg + "' (inputs go after --video or --audio)";
      return false;
    }
    bool takes_value = row->value != nullptr;
    if (takes_value && !has_inline) {
      if (i + 1 >= count) {
        error = "option " + arg + " needs a value";
        return false;
      }
      value = arguments[++i];
    } else if (!takes_value && has_inline) {
      error = "option " + arg + " takes no value";
      return false;
    }
    if (!row->set(o, value, error)) return false;
  }
  line.command = count <= 1 ? Command::kUsage : command_of(o);
  return true;
}

std::string help_text() {
  return std::string(
             "Usage: mxmux [options] -o OUTPUT [--video FILE] [--audio FILE [--audio FILE]]\n"
             "\n"
             "Puts already-encoded elementary streams into an MP4-family file through the\n"
             "mx_mp4 plug-in.\n"
             "\n"
             "Inputs (by extension): ") +
         reader_extensions_text() + ".\n" + options_help() +
         "\n"
         "Examples:\n"
         "  mxmux -o movie.mp4 --video clip.h264 --audio sound.aac\n"
         "  mxmux -o movie.mov --video clip.hevc --audio sound.ac3 --language eng\n"
         "  mxmux -o song.m4a --audio song.aac --title \"Song\" --artist \"Band\" --cover "
         "cover.jpg\n"
         "  mxmux -o phone.3gp --video clip.263 --audio voice.amr\n"
         "  mxmux -o dual.mp4 --video clip.h264 --audio stereo.aac --audio surround.ac3\n"
         "  mxmux --list-formats\n"
         "  mxmux -o web.mp4 --video clip.h264 --audio sound.aac --faststart\n"
         "  mxmux --dump movie.mp4\n"
         "  mxmux -o show.mov --video live.h264 --audio live.aac --resilient\n"
         "  mxmux --recover show.mov\n"
         "\n"
         "The output is written under a temporary name beside it and takes its name only\n"
         "when complete: after a failure or an interruption a previous file of that name is\n"
         "left as it was. With --resilient it is written under its own name from the start,\n"
         "so that whatever stops the run leaves it playable up to its last second; after a\n"
         "crash, mxmux --recover FILE makes it the plain file a normal end would have made.\n"
         "\n"
         "Exit status: 0 when the output file is complete; 2 when the command line asks for\n"
         "something mxmux cannot do (a bad option or value, a codec or combination the format\n"
         "does not take, an output that is one of the inputs); 1 when reading, muxing or\n"
         "writing fails.\n";
}

}  // namespace mxmux
