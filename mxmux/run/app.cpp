#include "mxmux/run/app.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numeric>

#include "mx_mp4/host.h"
#include "mxmux/byte_order.h"
#include "mxmux/files/dump.h"
#include "mxmux/files/faststart.h"
#include "mxmux/files/movie_times.h"
#include "mxmux/files/output_file.h"
#include "mxmux/host/plugin_host.h"
#include "mxmux/readers/reader.h"
#include "mxmux/system.h"

namespace mxmux {

namespace {

constexpr const char* kVersion = "1.0.0";

volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) {
  g_stop = 1;
}

void say(const std::string& text) {
  std::fprintf(stderr, "mxmux: %s\n", text.c_str());
}

}  // namespace

namespace {

// ------------------------------------------------------------------ outputs

struct ExtensionFormat {
  const char* extension;
  const char* code;
};

constexpr ExtensionFormat kOutputFormats[] = {
    {".mp4", "MP4 "}, {".mov", "MOV "}, {".m4a", "M4A "}, {".m4b", "M4B "},
    {".m4v", "M4V "}, {".3gp", "3GP "}, {".3g2", "3GP2"}, {".f4v", "NF4V"},
};

std::string lower_extension(const std::string& path) {
  auto dot = path.find_last_of('.');
  auto slash = path.find_last_of(sys::kSeparators);
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = path.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return ext;
}

// What a finished file says about itself, for the summary.
struct FileFacts {
  std::string brand;  // ftyp's major brand
  int tracks = 0;     // trak boxes in moov
  uint64_t size = 0;
};

// Reads one box header at `pos` of a file of `size` bytes; false when it is
// cut off or does not fit.
bool box_at(int fd, uint64_t pos, uint64_t end, uint64_t& box, std::string& type,
            uint8_t (&h)[16]) {
  int64_t got = sys::read_at(fd, h, sizeof h, pos);
  if (got < 8) return false;
  box = be32(h);
  if (box == 1 && got >= 16) box = (uint64_t{be32(h + 8)} << 32) | be32(h + 12);
  type.assign(reinterpret_cast<const char*>(h + 4), 4);
  return box >= 8 && box <= end - pos;
}

// Checks what a finished file's top-level boxes say: they must tile the
// file exactly, start with ftyp and include moov.
bool inspect_output(const std::string& path, bool expect_media, FileFacts& facts,
                    std::string& problem) {
  int fd = sys::open_read(path);
  if (fd < 0) {
    problem = "cannot reopen it: " + system_reason(errno);
    return false;
  }
  sys::FileKind kind = sys::FileKind::kOther;
  uint64_t size = 0, pos = 0;
  sys::file_info(fd, kind, size);
  facts.size = size;
  bool ftyp = false, moov = false, mdat = false;
  int index = 0;
  while (pos < size) {
    uint8_t h[16];
    uint64_t box = 0;
    std::string type;
    if (!box_at(fd, pos, size, box, type, h)) {
      problem = "the box at byte " + std::to_string(pos) + " does not fit the file";
      sys::close(fd);
      return false;
    }
    if (index == 0 && type != "ftyp") break;
    if (type == "ftyp" && box >= 12) facts.brand.assign(reinterpret_cast<const char*>(h + 8), 4);
    if (type == "moov") {
      uint64_t header = be32(h) == 1 ? 16 : 8;
      for (uint64_t child = pos + header, end = pos + box, child_size = 0; child < end;
           child += child_size) {
        std::string child_type;
        uint8_t ch[16];
        if (!box_at(fd, child, end, child_size, child_type, ch)) break;
        facts.tracks += child_type == "trak";
      }
    }
    ftyp |= type == "ftyp";
    moov |= type == "moov";
    mdat |= type == "mdat";
    pos += box;
    ++index;
  }
  sys::close(fd);
  if (!ftyp || !moov || (expect_media && !mdat)) {
    problem = !ftyp   ? "it does not start with a file-type box"
              : !moov ? "it has no movie box"
                      : "it has no media data";
    return false;
  }
  return true;
}

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

std::string human_size(uint64_t bytes) {
  char buf[64];
  if (bytes >= (uint64_t{1} << 30))
    std::snprintf(buf, sizeof buf, "%.2f GiB", bytes / 1073741824.0);
  else if (bytes >= (1u << 20))
    std::snprintf(buf, sizeof buf, "%.1f MiB", bytes / 1048576.0);
  else if (bytes >= 1024)
    std::snprintf(buf, sizeof buf, "%.1f KiB", bytes / 1024.0);
  else
    std::snprintf(buf, sizeof buf, "%llu bytes", static_cast<unsigned long long>(bytes));
  return buf;
}

bool read_small_file(const std::string& path, std::vector<uint8_t>& out, std::string& error) {
  ByteSource src;
  Error e;
  if (!src.open_file(path, e)) {
    error = e.text();
    return false;
  }
  constexpr size_t kLimit = size_t{64} << 20;
  if (src.size() > kLimit) {
    error = path + ": larger than 64 MiB";
    return false;
  }
  src.ensure(static_cast<size_t>(src.size()) + 1);
  if (src.error().set()) {
    error = src.error().text();
    return false;
  }
  out.assign(src.data(), src.data() + src.avail());
  return true;
}

// ------------------------------------------------------------------ inputs

struct Input {
  std::string path;
  ByteSource src;
  std::unique_ptr<Reader> reader;
  uint32_t code = 0;
  uint64_t frames = 0;
  uint64_t samples = 0;
};

// Audio frames travel in packets of up to about half a second, one chunk each.
struct AudioPacket {
  std::vector<uint8_t> bytes;
  std::vector<int32_t> info;  // frame count, then one size per frame
  int64_t dts = 0, pts = 0;
  uint32_t frames = 0;
  bool ready = false;
};

constexpr uint32_t kMaxFramesPerPacket = 64;
constexpr size_t kMaxPacketBytes = size_t{1} << 20;

int fill_packet(Input& in, AudioPacket& packet, Error& error) {
  packet.bytes.clear();
  packet.info.assign(1, 0);
  packet.frames = 0;
  packet.ready = false;
  const StreamParams& p = in.reader->params();
  uint64_t samples = 0;
  uint64_t target = p.sample_rate / 2;
  Frame frame;
  while (samples < target && packet.frames < kMaxFramesPerPacket &&
         packet.bytes.size() < kMaxPacketBytes) {
    int r = in.reader->next(frame, error);
    if (r < 0) return -1;
    if (r == 0) break;
    if (frame.size > 0x7FFFFFFF) {
      error = in.src.fail(frame.offset, "audio frame too large");
      return -1;
    }
    if (packet.frames == 0) {
      packet.dts = frame.dts;
      packet.pts = frame.pts;
    }
    packet.bytes.insert(packet.bytes.end(), frame.data, frame.data + frame.size);
    packet.info.push_back(static_cast<int32_t>(frame.size));
    ++packet.frames;
    samples += frame.samples;
    ++in.frames;
    in.samples += frame.samples;
  }
  packet.info[0] = static_cast<int32_t>(packet.frames);
  packet.ready = packet.frames > 0;
  return packet.ready ? 1 : 0;
}

// --------------------------------------------------------------- progress

class Progress {
 public:
  Progress(bool enabled, uint64_t total) : enabled_(enabled), total_(total) {
    start_ = last_ = std::chrono::steady_clock::now();
  }
  void update(uint64_t done) {
    if (!enabled_ || (++calls_ & 63) != 0) return;
    auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(250)) return;
    last_ = now;
    double seconds = std::chrono::duration<double>(now - start_).count();
    double speed = seconds > 0 ? done / seconds : 0;
    char line[160];
    if (total_ > 0) {
      std::snprintf(line, sizeof line, "\rmxmux: %s of %s (%3.0f%%)  %s/s   ",
                    human_size(done).c_str(), human_size(total_).c_str(),
                    100.0 * static_cast<double>(done) / static_cast<double>(total_),
                    human_size(static_cast<uint64_t>(speed)).c_str());
    } else {
      std::snprintf(line, sizeof line, "\rmxmux: %s read  %s/s   ", human_size(done).c_str(),
                    human_size(static_cast<uint64_t>(speed)).c_str());
    }
    std::fputs(line, stderr);
    shown_ = true;
  }
  void clear() {
    if (shown_) std::fputs("\r\033[K", stderr);
    shown_ = false;
  }

 private:
  bool enabled_;
  uint64_t total_;
  uint64_t calls_ = 0;
  bool shown_ = false;
  std::chrono::steady_clock::time_point start_, last_;
};

// Exit statuses: 1 when reading, muxing or writing fails; 2 when the command
// line asks for something mxmux cannot do.
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int fail(const std::string& text) {
  say(text);
  return kExitFailed;
}

int refuse_command(const std::string& text) {
  say(text);
  return kExitUsage;
}

// The files a run reads, and those it writes, for the overwrite check.
std::vector<NamedFile> files_read(const Options& o) {
  std::vector<NamedFile> files;
  if (!o.video.empty()) files.push_back({"the --video input", o.video});
  for (const auto& a : o.audio) files.push_back({"the --audio input", a});
  if (!o.cover.empty()) files.push_back({"the --cover image", o.cover});
  if (!o.live_photo.empty()) files.push_back({"the --live-photo still", o.live_photo});
  return files;
}

std::vector<NamedFile> files_written(const Options& o) {
  std::vector<NamedFile> files = {{"the output", o.output}};
  if (!o.live_photo.empty())
    files.push_back(
        {"the Live Photo still written beside it", still_path_for(output_target(o.output))});
  if (!o.log_file.empty()) files.push_back({"the --log file", o.log_file});
  return files;
}

std::string rate_text(uint32_t num, uint32_t den) {
  char buf[64];
  if (den == 1)
    std::snprintf(buf, sizeof buf, "%u", num);
  else
    std::snprintf(buf, sizeof buf, "%u/%u (%.5g)", num, den, static_cast<double>(num) / den);
  return buf;
}

}  // namespace

// ------------------------------------------------------------------- run

int run(const Options& o) {
  if (o.help) {
    std::fputs(help_text().c_str(), stdout);
    return 0;
  }
  std::string plugin_path = o.plugin.empty() ? default_plugin_path() : o.plugin;
  if (o.version) {
    std::printf("mxmux %s (plug-in: %s)\n", kVersion, plugin_path.c_str());
    return 0;
  }
  if (!o.dump.empty()) return dump_file(o.dump, stdout);
  // A run that only prints needs no output and no input.
  bool muxes = !o.list_formats;
  if (muxes) {
    // Checked before anything is written (the log file is opened next).
    if (o.output.empty())
      return refuse_command("no output file given (-o OUTPUT); see mxmux --help");
    if (o.video.empty() && o.audio.empty())
      return refuse_command("no input given (--video FILE and/or --audio FILE)");
    if (sys::file_kind(o.output) == sys::FileKind::kDirectory)
      return refuse_command(o.output + ": is a directory (-o names the file to write)");
    std::string clash = find_overwrite(files_written(o), files_read(o));
    if (!clash.empty()) return refuse_command(clash);
  }
  Plugin plugin;
  std::string why;
  if (!plugin.load(plugin_path, why)) return fail(why);
  if (o.verbose || !o.log_file.empty()) {
    if (!plugin.set_log(o.log_file, o.log_file.empty(), why)) return fail(why);
  }

  if (o.list_formats) {
    std::printf("%-6s  %-5s  %-16s  %-40s\n", "code", "ext", "name", "description");
    for (const FormatDescriptor* f = plugin.formats(); f->fourcc; ++f) {
      std::printf("\"%s\"  %-5s  %-16s  %s\n", fourcc_text(f->fourcc).c_str(),
                  u16_to_utf8(f->extension, 10).c_str(), u16_to_utf8(f->short_name, 64).c_str(),
                  u16_to_utf8(f->description, 128).c_str());
      std::printf("        audio: %s\n", codes_text(f->audio_codecs).c_str());
      std::printf("        video: %s\n",
                  f->video_codecs ? codes_text(f->video_codecs).c_str() : "none (audio only)");
    }
    return 0;
  }

  // The file code.
  uint32_t file_code = 0;
  if (!o.format.empty()) {
    file_code = fourcc_from_text(o.format);
    if (!plugin.find(file_code)) {
      // Accept the code in any letter case when that is unambiguous.
      uint32_t match = 0;
      int matches = 0;
      for (const FormatDescriptor* f = plugin.formats(); f->fourcc; ++f) {
        std::string a = fourcc_text(f->fourcc), b = fourcc_text(file_code);
        if (std::equal(a.begin(), a.end(), b.begin(),
                       [](char x, char y) { return std::tolower(x) == std::tolower(y); })) {
          match = f->fourcc;
          ++matches;
        }
      }
      if (matches != 1)
        return refuse_command("unknown format code \"" + fourcc_text(file_code) +
                              "\" (see mxmux --list-formats)");
      file_code = match;
    }
  } else {
    std::string ext = lower_extension(o.output);
    for (const auto& f : kOutputFormats) {
      if (ext == f.extension) file_code = fourcc_from_text(f.code);
    }
    if (!file_code) {
      return refuse_command(o.output + ": cannot tell the format from the extension '" + ext +
                            "' (use .mp4 .mov .m4a .m4b .m4v .3gp .3g2 .f4v, or --format CODE)");
    }
  }
  const FormatDescriptor* format = plugin.find(file_code);
  if (!format)
    return refuse_command("the plug-in does not offer the format \"" + fourcc_text(file_code) +
                          "\"");
  std::string format_name =
      u16_to_utf8(format->short_name, 64) + " (\"" + fourcc_text(file_code) + "\")";

  // Inputs.
  ReaderOptions reader_options;
  reader_options.fps_num = o.fps_num;
  reader_options.fps_den = o.fps_den;
  std::unique_ptr<Input> video;
  std::vector<std::unique_ptr<Input>> audio;
  // 0 when the input is open, else the exit status.
  auto open_input = [&](const std::string& path, bool want_video,
                        std::unique_ptr<Input>& in) -> int {
    in = std::make_unique<Input>();
    in->path = path;
    Error e;
    in->reader = make_reader(path, in->src, e);
    if (!in->reader) return refuse_command(e.text());
    if (!in->src.open_file(path, e)) return fail(e.text());
    if (sys::file_kind(path) == sys::FileKind::kRegular && sys::file_size(path) == 0)
      return fail(path + ": the file is empty");
    if (!in->reader->open(reader_options, e)) return fail(e.text());
    Codec c = in->reader->params().codec;
    if (codec_is_video(c) != want_video) {
      return refuse_command(
          path + ": " + codec_name(c) + " is " +
          (want_video ? "audio; give it with --audio" : "video; give it with --video"));
    }
    return 0;
  };
  if (!o.video.empty()) {
    if (int status = open_input(o.video, true, video)) return status;
  }
  for (const auto& path : o.audio) {
    audio.emplace_back();
    if (int status = open_input(path, false, audio.back())) return status;
  }

  // Codes the format accepts.
  bool dual = audio.size() == 2;
  uint32_t audio_code = 0, video_code = 0;
  auto refuse = [&](const std::string& what) {
    return refuse_command(o.output + ": the " + format_name + " format does not accept " + what +
                          "; it takes video: " + accepted_codecs_text(format->video_codecs, true) +
                          "; audio: " + accepted_codecs_text(format->audio_codecs, false));
  };
  if (video) {
    if (!format->video_codecs || !format->slots.single.WriteVideoFrame) return refuse("video");
    video_code = choose_code(format->video_codecs, video->reader->params().codec);
    if (!video_code)
      return refuse(std::string(codec_name(video->reader->params().codec)) + " video");
  }
  if (dual) {
    Codec a = audio[0]->reader->params().codec, b = audio[1]->reader->params().codec;
    if (a == Codec::kAc3 && b == Codec::kAac) std::swap(audio[0], audio[1]);
    a = audio[0]->reader->params().codec;
    b = audio[1]->reader->params().codec;
    if (a != Codec::kAac || b != Codec::kAc3) {
      return refuse_command("two audio inputs must be one AAC and one AC-3 stream (got " +
                            std::string(codec_name(a)) + " and " + codec_name(b) + ")");
    }
    audio_code = kDualAudioCode;
    bool listed = false;
    for (const CodecListEntry* e = format->audio_codecs; e && e->fourcc; ++e)
      listed |= e->fourcc == audio_code;
    if (!listed) return refuse("AAC + AC-3 dual audio (\"EAAC\")");
  } else if (!audio.empty()) {
    audio_code = choose_code(format->audio_codecs, audio[0]->reader->params().codec);
    if (!audio_code)
      return refuse(std::string(codec_name(audio[0]->reader->params().codec)) + " audio");
  }

  // Everything else the command line asks for.
  const Timecode& timecode = o.start_timecode;
  // The timecode counts frames at the rounded rate: 30 at 30000/1001.
  int64_t nominal_rate = 1;
  if (!o.timecode.empty()) {
    if (!video) return refuse_command("--timecode needs a video stream");
    const StreamParams& v = video->reader->params();
    nominal_rate = std::max<int64_t>(1, (int64_t{v.fps_num} + v.fps_den / 2) / v.fps_den);
    if (timecode.frames >= nominal_rate) {
      return refuse_command("--timecode " + o.timecode + ": the video runs at " +
                            std::to_string(nominal_rate) + " frames a second, so the frames go " +
                            "from 00 to " + std::to_string(nominal_rate - 1));
    }
  }
  if (!o.spherical.empty() && (!video || video->reader->params().codec != Codec::kH264)) {
    return refuse_command(
        "--spherical needs H.264 video (the plug-in writes 360-degree metadata for H.264 only)");
  }
  std::vector<uint8_t> cover, still;
  MxPicture picture{};
  if (!o.cover.empty() && !o.live_photo.empty())
    return refuse_command("--cover and --live-photo cannot be combined");
  if (!o.live_photo.empty() && !video) return refuse_command("--live-photo needs a video stream");
  if (!o.cover.empty() || !o.live_photo.empty()) {
    const std::string& path = o.cover.empty() ? o.live_photo : o.cover;
    std::vector<uint8_t>& bytes = o.cover.empty() ? still : cover;
    if (!read_small_file(path, bytes, why)) return fail(why);
    if (bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF)
      picture.picture_kind = 0;
    else if (bytes.size() >= 8 && std::memcmp(bytes.data(), "\x89PNG\r\n\x1a\n", 8) == 0)
      picture.picture_kind = 2;
    else if (bytes.size() >= 2 && bytes[0] == 'B' && bytes[1] == 'M')
      picture.picture_kind = 1;
    else
      return fail(path + ": not a JPEG, PNG or BMP image");
    if (!o.live_photo.empty() && picture.picture_kind != 0)
      return fail(path + ": a Live Photo still must be a JPEG image");
    picture.data = bytes.data();
    picture.size = static_cast<uint32_t>(bytes.size());
  }
  if (video) {
    const StreamParams& v = video->reader->params();
    if (o.fps_num && v.stream_fps_num &&
        uint64_t{v.stream_fps_num} * o.fps_den != uint64_t{o.fps_num} * v.stream_fps_den) {
      say(o.video + ": --fps " + rate_text(o.fps_num, o.fps_den) +
          " replaces the rate the stream states (" + rate_text(v.stream_fps_num, v.stream_fps_den) +
          " fps)");
    } else if (!o.fps_num && !v.stream_fps_num) {
      say(o.video + ": the stream states no frame rate; timing it at " +
          rate_text(v.fps_num, v.fps_den) + " fps (set the rate with --fps)");
    }
  }

  // Signals only stop the run from here on, so that the temporary files go.
  sys::on_stop_request(on_signal);
  OutputFile output;
  if (!output.create(o.output, !o.live_photo.empty(), why)) return fail(why);

  // The encode parameters.
  auto params = std::make_unique<EncParam>();
  std::memset(params.get(), 0, sizeof(EncParam));
  EncParam& p = *params;
  p.file_fourcc = file_code;
  p.no_subpicture = 1;
  p.no_timecode = o.timecode.empty() ? 1 : 0;
  p.no_video = video ? 0 : 1;
  p.no_audio = audio.empty() ? 1 : 0;
  if (video) {
    const StreamParams& v = video->reader->params();
    p.video.fourcc = video_code;
    p.video.width = v.width;
    p.video.height = v.height;
    p.video.frame_rate = static_cast<double>(v.fps_num) / v.fps_den;
    if (!o.spherical.empty()) {
      p.video.field_of_view = 360;
      p.video.stereo_mode = o.spherical == "mono" ? 0 : o.spherical == "left-right" ? 1 : 2;
    }
  }
  if (!audio.empty()) {
    const StreamParams& a = audio[0]->reader->params();
    p.audio.fourcc = audio_code;
    p.audio.sample_rate = a.sample_rate;
    p.audio.channels = a.channels;
    p.audio.bits_per_sample = a.bits_per_sample;
    utf8_to_u16(o.language, p.audio.language, 4);
  }
  MxMovieMetadata& md = p.metadata;
  utf8_to_u16(o.title, md.title, 520);
  utf8_to_u16(o.artist, md.artist, 260);
  utf8_to_u16(o.album, md.album, 520);
  utf8_to_u16(o.genre, md.genre, 520);
  utf8_to_u16(o.date, md.date, 260);
  utf8_to_u16(o.comment, md.comment, 500);
  utf8_to_u16(o.description, md.description, 260);
  if (o.rating >= 0) md.rating = static_cast<uint32_t>(o.rating);
  if (o.media_kind >= 0) md.media_kind = o.media_kind;
  if (picture.data) md.cover_art = &picture;
  if (!o.live_photo.empty()) md.live_photo = 1;
  std::basic_string<MxChar> wide_output(output.path().size() + 1, 0);
  utf8_to_u16(output.path(), wide_output.data(), wide_output.size());

  // Drive the session.
  const SingleStreamSlots& slots = format->slots.single;
  if (slots.SetWriterOptions) {
    WriterOptions options{};
    slots.SetWriterOptions(&options);
  }
  MxSession session = slots.CreateMediaFile(wide_output.c_str(), &p);
  // A failed run leaves what was there before.
  std::string kept = output.into_device()      ? ""
                     : output.target_existed() ? "; the previous " + o.output + " is kept"
                                               : "; " + o.output + " was not written";
  auto abandon = [&](const std::string& text) {
    output.discard();
    return fail(text + kept);
  };
  // A failure to write shows in the temporary file, in the system's words.
  auto output_failure = [&]() {
    std::string reason = output.write_failure();
    return reason.empty() ? reason : o.output + ": cannot write: " + reason;
  };
  if (!session) {
    std::string cause = output_failure();
    return abandon(!cause.empty() ? cause
                                  : o.output + ": the plug-in could not create the file" +
                                        (o.verbose ? "" : " (run with --verbose for its log)"));
  }
  auto close_and_abandon = [&](const std::string& text) {
    slots.CloseMediaFile(session);
    return abandon(text);
  };
  auto refused = [&](const std::string& text) {
    slots.CloseMediaFile(session);
    std::string cause = output_failure();
    return abandon(cause.empty() ? text : cause);
  };

  if (video) {
    const StreamParams& v = video->reader->params();
    slots.WriteVideoExtraData(session, v.config1.data(), static_cast<uint32_t>(v.config1.size()),
                              v.config2.data(), static_cast<uint32_t>(v.config2.size()));
  }
  std::vector<uint8_t> dual_buffer;
  if (dual) {
    auto append = [&](const std::vector<uint8_t>& bytes) {
      uint32_t n = static_cast<uint32_t>(bytes.size());
      uint8_t le[4] = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                       static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 24)};
      dual_buffer.insert(dual_buffer.end(), le, le + 4);
      dual_buffer.insert(dual_buffer.end(), bytes.begin(), bytes.end());
    };
    append(audio[0]->reader->params().config1);
    append(audio[1]->reader->params().config1);
    slots.WriteAudioExtraData(session, dual_buffer.data(),
                              static_cast<uint32_t>(dual_buffer.size()));
  } else if (!audio.empty() && !audio[0]->reader->params().config1.empty()) {
    const auto& c = audio[0]->reader->params().config1;
    slots.WriteAudioExtraData(session, c.data(), static_cast<uint32_t>(c.size()));
  }

  uint64_t total_input = (video ? video->src.size() : 0);
  for (auto& a : audio) total_input += a->src.size();
  bool show_progress = !o.quiet && (o.progress || sys::stderr_is_terminal());
  Progress progress(show_progress, total_input);

  Frame vframe;
  bool have_video = false;
  Error error;
  if (video) {
    int r = video->reader->next(vframe, error);
    if (r < 0) return close_and_abandon(error.text());
    have_video = r > 0;
  }
  std::vector<AudioPacket> packets(audio.size());
  for (size_t i = 0; i < audio.size(); ++i) {
    if (fill_packet(*audio[i], packets[i], error) < 0) return close_and_abandon(error.text());
  }
  MxVideoFrame vrec{};
  MxAudioFrame arec{};
  std::vector<int32_t> dual_info;
  std::vector<uint8_t> dual_packet;
  int64_t video_end = 0;

  while (true) {
    if (g_stop) return close_and_abandon(o.output + ": interrupted");
    // The earliest decode time goes next.
    int pick = -1;
    int64_t best = 0;
    if (have_video) {
      pick = 0;
      best = vframe.dts;
    }
    for (size_t i = 0; i < packets.size(); ++i) {
      if (packets[i].ready && (pick < 0 || packets[i].dts < best)) {
        pick = static_cast<int>(i) + 1;
        best = packets[i].dts;
      }
    }
    if (pick < 0) break;
    if (pick == 0) {
      vrec.data = vframe.data;
      vrec.size = static_cast<uint32_t>(vframe.size);
      vrec.picture_flag = vframe.key ? 1 : 0;
      vrec.pts = vframe.pts;
      vrec.dts = vframe.dts;
      uint32_t r = slots.WriteVideoFrame(session, &vrec);
      if (r == 0 || r == 0xFFFFFFFFu) {
        return refused(video->path + ": at byte " + std::to_string(vframe.offset) +
                       ": the plug-in refused video frame " + std::to_string(video->frames + 1));
      }
      ++video->frames;
      const StreamParams& v = video->reader->params();
      video_end =
          std::max(video_end,
                   vframe.pts - vframe.dts +
                       FrameClock{v.fps_num, v.fps_den}.ticks(static_cast<int64_t>(video->frames)));
      int r2 = video->reader->next(vframe, error);
      if (r2 < 0) return close_and_abandon(error.text());
      have_video = r2 > 0;
    } else {
      size_t i = static_cast<size_t>(pick - 1);
      AudioPacket& pk = packets[i];
      const StreamParams& a = audio[i]->reader->params();
      arec.channels = a.channels;
      arec.pts = pk.pts;
      arec.dts = pk.dts;
      const int32_t* info = pk.info.data();
      if (dual) {
        // Each packet carries one of the two streams; the other part is empty.
        dual_packet.clear();
        dual_info.clear();
        auto put_len = [&](uint32_t n) {
          uint8_t le[4] = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                           static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 24)};
          dual_packet.insert(dual_packet.end(), le, le + 4);
        };
        dual_info.push_back(static_cast<int32_t>(pk.frames));
        if (i == 0) {
          put_len(static_cast<uint32_t>(pk.bytes.size()));
          dual_packet.insert(dual_packet.end(), pk.bytes.begin(), pk.bytes.end());
          put_len(0);
          dual_info.insert(dual_info.end(), pk.info.begin(), pk.info.end());
          dual_info.push_back(0);
        } else {
          put_len(0);
          put_len(static_cast<uint32_t>(pk.bytes.size()));
          dual_packet.insert(dual_packet.end(), pk.bytes.begin(), pk.bytes.end());
          dual_info.push_back(0);
          dual_info.insert(dual_info.end(), pk.info.begin(), pk.info.end());
        }
        arec.data = dual_packet.data();
        arec.size = static_cast<int32_t>(dual_packet.size());
        info = dual_info.data();
      } else {
        arec.data = pk.bytes.data();
        arec.size = static_cast<int32_t>(pk.bytes.size());
        // PCM packets are counted by the plug-in from the channel count.
        if (a.codec == Codec::kPcm16 || a.codec == Codec::kPcmFloat32) info = nullptr;
      }
      uint32_t r = slots.WriteAudioFrame(session, &arec, info);
      if (r == 0 || r == 0xFFFFFFFFu) {
        return refused(audio[i]->path + ": the plug-in refused an audio packet at " +
                       std::to_string(static_cast<double>(pk.dts) / kTicksPerSecond) + " s");
      }
      if (fill_packet(*audio[i], pk, error) < 0) return close_and_abandon(error.text());
    }
    uint64_t done = video ? video->src.bytes_read() : 0;
    for (auto& a : audio) done += a->src.bytes_read();
    progress.update(done);
  }
  progress.clear();
  if (video && video->frames == 0) return close_and_abandon(o.video + ": no video frame");

  if (!o.timecode.empty()) {
    // One timecode sample covering the whole video: the frame number of the
    // start time.
    const StreamParams& v = video->reader->params();
    int64_t number =
        ((int64_t{timecode.hours} * 60 + timecode.minutes) * 60 + timecode.seconds) * nominal_rate +
        timecode.frames;
    uint8_t tc[4] = {static_cast<uint8_t>(number >> 24), static_cast<uint8_t>(number >> 16),
                     static_cast<uint8_t>(number >> 8), static_cast<uint8_t>(number)};
    MxVideoFrame t{};
    t.frame_type = MX_FRAME_TYPE_TIMECODE;
    t.tc_data = tc;
    t.tc_size = 4;
    t.frame_duration = FrameClock{v.fps_num, v.fps_den}.ticks(static_cast<int64_t>(video->frames));
    slots.WriteVideoFrame(session, &t);
  }

  slots.CloseMediaFile(session);
  session = nullptr;
  if (g_stop) return abandon(o.output + ": interrupted");
  std::string problem;
  FileFacts facts;
  if (!inspect_output(output.path(), true, facts, problem)) {
    std::string cause = output_failure();
    return abandon(!cause.empty()
                       ? cause
                       : o.output + ": the plug-in wrote an incomplete file (" + problem + ")");
  }
  if (o.faststart) {
    // The rewritten file is checked like the written one; its size may have grown.
    facts = FileFacts{};
    if (!faststart::rewrite_file(
            output.path(), [] { return g_stop != 0; }, problem) ||
        !inspect_output(output.path(), true, facts, problem)) {
      return abandon(o.output + ": cannot move the movie box ahead of the media data (" + problem +
                     ")");
    }
  }
  if (o.creation_time >= 0 && !set_movie_times(output.path(), o.creation_time, problem)) {
    return abandon(o.output + ": cannot set the creation time (" + problem + ")");
  }
  bool still_written = output.still_written();
  if (!output.commit(why)) return abandon(why);

  if (!o.live_photo.empty() && !still_written)
    say(o.output + ": the plug-in wrote no Live Photo still (run with --verbose for its log)");
  bool pcm_float = std::any_of(audio.begin(), audio.end(), [](const auto& a) {
    return a->reader->params().codec == Codec::kPcmFloat32;
  });
  if (pcm_float && facts.brand != "qt  ") {
    say(o.output + ": note: 32-bit float PCM in an MP4 file (\"fpcm\") needs a recent " +
        "reader (Debian 12's ffmpeg 5.1 cannot decode it); a .mov file (\"fl32\") is read " +
        "more widely");
  }
  if (!o.quiet) {
    std::string line = o.output + ": " + brand_name(facts.brand) + " (format \"" +
                       fourcc_text(file_code) + "\", brand \"" + facts.brand + "\"), ";
    line += std::to_string(facts.tracks) + (facts.tracks == 1 ? " track: " : " tracks: ");
    double duration = 0;
    std::string parts;
    if (video) {
      const StreamParams& v = video->reader->params();
      char buf[160];
      std::snprintf(buf, sizeof buf, "%s%s%s %ux%u %.5g fps, %llu frames", codec_name(v.codec),
                    v.detail.empty() ? "" : " ", v.detail.c_str(), v.width, v.height,
                    static_cast<double>(v.fps_num) / v.fps_den,
                    static_cast<unsigned long long>(video->frames));
      parts += buf;
      duration = static_cast<double>(video->frames) * v.fps_den / v.fps_num;
    }
    for (auto& a : audio) {
      const StreamParams& ap = a->reader->params();
      char buf[160];
      std::snprintf(buf, sizeof buf, "%s%s%s %u Hz %u ch, %llu frames", codec_name(ap.codec),
                    ap.detail.empty() ? "" : " ", ap.detail.c_str(), ap.sample_rate, ap.channels,
                    static_cast<unsigned long long>(a->frames));
      if (!parts.empty()) parts += "; ";
      parts += buf;
      duration = std::max(duration, static_cast<double>(a->samples) / ap.sample_rate);
    }
    if (!o.timecode.empty()) parts += "; timecode " + o.timecode;
    if (!o.live_photo.empty()) {
      parts += "; Live Photo still-image time";
      if (still_written) parts += "; still " + output.still_target();
    }
    char tail[96];
    std::snprintf(tail, sizeof tail, "; %.2f s; %s", duration, human_size(facts.size).c_str());
    // When the file itself went to standard output, the summary must not follow it there.
    bool file_on_stdout = output.into_device() && sys::is_standard_output(o.output);
    std::fprintf(file_on_stdout ? stderr : stdout, "%s%s%s\n", line.c_str(), parts.c_str(), tail);
  }
  return 0;
}

int main_entry(int argc, char** argv) {
  std::vector<std::string> arguments = sys::utf8_arguments(argc, argv);
  std::vector<char*> pointers;
  for (std::string& argument : arguments) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  CommandLine line;
  std::string error;
  if (!parse_command_line(argc, pointers.data(), line, error)) {
    say(error);
    return 2;
  }
  if (line.command == Command::kUsage) {
    std::fputs(help_text().c_str(), stderr);
    return 2;
  }
  return run(line.options);
}

}  // namespace mxmux
