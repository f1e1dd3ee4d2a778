#include "mxmux/run/plan.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "mxmux/files/output_file.h"
#include "mxmux/run/messages.h"
#include "mxmux/system.h"

namespace mxmux {

namespace {

// ---------------------------------------------------------- named files

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

// An output and an input, none of them a file another one overwrites.
// Checked before anything is written (the log file is opened next).
int check_named_files(const Options& o) {
  if (o.output.empty()) return refuse_command("no output file given (-o OUTPUT); see mxmux --help");
  if (o.video.empty() && o.audio.empty())
    return refuse_command("no input given (--video FILE and/or --audio FILE)");
  if (sys::file_kind(o.output) == sys::FileKind::kDirectory)
    return refuse_command(o.output + ": is a directory (-o names the file to write)");
  std::string clash = find_overwrite(files_written(o), files_read(o));
  if (!clash.empty()) return refuse_command(clash);
  return 0;
}

// A resilient file is written in place and rewritten where it lies when it
// closes: a device or a pipe cannot take that, and moving the movie box ahead
// afterwards would rewrite the whole file, which a crash could then lose.
int check_resilient(const Options& o) {
  if (!o.resilient) return 0;
  if (o.faststart)
    return refuse_command(
        "--faststart and --resilient cannot be combined: --faststart rewrites the whole "
        "finished file, and a crash during that rewrite would lose what --resilient keeps");
  sys::FileKind kind = sys::file_kind(output_target(o.output));
  if (kind != sys::FileKind::kRegular && kind != sys::FileKind::kMissing)
    return refuse_command(o.output +
                          ": --resilient writes a file in place and rewrites parts of it when "
                          "it closes, which a device or a pipe cannot take (write to a file)");
  return 0;
}

// ---------------------------------------------------------------- format

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

// The file code --format names, in any letter case when that is unambiguous.
int format_from_code(const Options& o, const Plugin& plugin, uint32_t& file_code) {
  file_code = fourcc_from_text(o.format);
  if (plugin.find(file_code)) return 0;
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
  return 0;
}

int format_from_extension(const Options& o, uint32_t& file_code) {
  std::string ext = lower_extension(o.output);
  for (const auto& f : kOutputFormats) {
    if (ext == f.extension) file_code = fourcc_from_text(f.code);
  }
  if (file_code) return 0;
  return refuse_command(o.output + ": cannot tell the format from the extension '" + ext +
                        "' (use .mp4 .mov .m4a .m4b .m4v .3gp .3g2 .f4v, or --format CODE)");
}

int choose_format(const Options& o, Plan& plan) {
  uint32_t file_code = 0;
  int status = o.format.empty() ? format_from_extension(o, file_code)
                                : format_from_code(o, plan.plugin, file_code);
  if (status) return status;
  plan.format = plan.plugin.find(file_code);
  if (!plan.format)
    return refuse_command("the plug-in does not offer the format \"" + fourcc_text(file_code) +
                          "\"");
  plan.file_code = file_code;
  return 0;
}

// ---------------------------------------------------------------- inputs

// 0 when the input is open, else the exit status.
int open_input(const std::string& path, bool want_video, const ReaderOptions& reader_options,
               std::unique_ptr<Input>& in) {
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
}

int open_inputs(const Options& o, Plan& plan) {
  ReaderOptions reader_options;
  reader_options.fps_num = o.fps_num;
  reader_options.fps_den = o.fps_den;
  if (!o.video.empty()) {
    if (int status = open_input(o.video, true, reader_options, plan.video)) return status;
  }
  for (const auto& path : o.audio) {
    plan.audio.emplace_back();
    if (int status = open_input(path, false, reader_options, plan.audio.back())) return status;
  }
  return 0;
}

// ----------------------------------------------------------- codec codes

// The codes the format takes for the inputs' codecs.
struct CodecCodes {
  uint32_t video = 0, audio = 0;
};

int refuse_codec(const Options& o, const Plan& plan, const std::string& what) {
  std::string format_name =
      u16_to_utf8(plan.format->short_name, 64) + " (\"" + fourcc_text(plan.file_code) + "\")";
  return refuse_command(
      o.output + ": the " + format_name + " format does not accept " + what +
      "; it takes video: " + accepted_codecs_text(plan.format->video_codecs, true) +
      "; audio: " + accepted_codecs_text(plan.format->audio_codecs, false));
}

// Two audio inputs are AAC + AC-3 dual audio, AAC first.
int choose_dual_audio_code(const Options& o, Plan& plan, CodecCodes& codes) {
  Codec a = plan.audio[0]->reader->params().codec, b = plan.audio[1]->reader->params().codec;
  if (a == Codec::kAc3 && b == Codec::kAac) std::swap(plan.audio[0], plan.audio[1]);
  a = plan.audio[0]->reader->params().codec;
  b = plan.audio[1]->reader->params().codec;
  if (a != Codec::kAac || b != Codec::kAc3) {
    return refuse_command("two audio inputs must be one AAC and one AC-3 stream (got " +
                          std::string(codec_name(a)) + " and " + codec_name(b) + ")");
  }
  codes.audio = kDualAudioCode;
  bool listed = false;
  for (const CodecListEntry* e = plan.format->audio_codecs; e && e->fourcc; ++e)
    listed |= e->fourcc == codes.audio;
  if (!listed) return refuse_codec(o, plan, "AAC + AC-3 dual audio (\"EAAC\")");
  return 0;
}

int choose_codec_codes(const Options& o, Plan& plan, CodecCodes& codes) {
  if (plan.video) {
    if (!plan.format->video_codecs || !plan.format->slots.single.WriteVideoFrame)
      return refuse_codec(o, plan, "video");
    Codec codec = plan.video->reader->params().codec;
    codes.video = choose_code(plan.format->video_codecs, codec);
    if (!codes.video) return refuse_codec(o, plan, std::string(codec_name(codec)) + " video");
  }
  if (plan.dual_audio()) return choose_dual_audio_code(o, plan, codes);
  if (!plan.audio.empty()) {
    Codec codec = plan.audio[0]->reader->params().codec;
    codes.audio = choose_code(plan.format->audio_codecs, codec);
    if (!codes.audio) return refuse_codec(o, plan, std::string(codec_name(codec)) + " audio");
  }
  return 0;
}

// ------------------------------------------------------- further requests

// The start timecode as a frame number, counted at the rounded rate (30 at
// 30000/1001), which its frames field must stay below.
int check_timecode(const Options& o, Plan& plan) {
  if (o.timecode.empty()) return 0;
  if (!plan.video) return refuse_command("--timecode needs a video stream");
  const StreamParams& v = plan.video->reader->params();
  int64_t nominal_rate = std::max<int64_t>(1, (int64_t{v.fps_num} + v.fps_den / 2) / v.fps_den);
  const Timecode& tc = o.start_timecode;
  if (tc.frames >= nominal_rate) {
    return refuse_command("--timecode " + o.timecode + ": the video runs at " +
                          std::to_string(nominal_rate) + " frames a second, so the frames go " +
                          "from 00 to " + std::to_string(nominal_rate - 1));
  }
  plan.timecode_frame =
      ((int64_t{tc.hours} * 60 + tc.minutes) * 60 + tc.seconds) * nominal_rate + tc.frames;
  return 0;
}

int check_spherical(const Options& o, const Plan& plan) {
  if (o.spherical.empty() || (plan.video && plan.video->reader->params().codec == Codec::kH264))
    return 0;
  return refuse_command(
      "--spherical needs H.264 video (the plug-in writes 360-degree metadata for H.264 only)");
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

// The picture kinds of the parameter record: 0 JPEG, 1 BMP, 2 PNG; -1 for none.
int picture_kind(const std::vector<uint8_t>& bytes) {
  if (bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF) return 0;
  if (bytes.size() >= 8 && std::memcmp(bytes.data(), "\x89PNG\r\n\x1a\n", 8) == 0) return 2;
  if (bytes.size() >= 2 && bytes[0] == 'B' && bytes[1] == 'M') return 1;
  return -1;
}

// The cover art, or the Live Photo's still (a JPEG).
int read_picture(const Options& o, Plan& plan) {
  if (!o.cover.empty() && !o.live_photo.empty())
    return refuse_command("--cover and --live-photo cannot be combined");
  if (!o.live_photo.empty() && !plan.video)
    return refuse_command("--live-photo needs a video stream");
  if (o.cover.empty() && o.live_photo.empty()) return 0;
  const std::string& path = o.cover.empty() ? o.live_photo : o.cover;
  std::string why;
  if (!read_small_file(path, plan.picture_bytes, why)) return fail(why);
  int kind = picture_kind(plan.picture_bytes);
  if (kind < 0) return fail(path + ": not a JPEG, PNG or BMP image");
  if (!o.live_photo.empty() && kind != 0)
    return fail(path + ": a Live Photo still must be a JPEG image");
  plan.picture.picture_kind = static_cast<uint32_t>(kind);
  plan.picture.data = plan.picture_bytes.data();
  plan.picture.size = static_cast<uint32_t>(plan.picture_bytes.size());
  return 0;
}

std::string rate_text(uint32_t num, uint32_t den) {
  char buf[64];
  if (den == 1)
    std::snprintf(buf, sizeof buf, "%u", num);
  else
    std::snprintf(buf, sizeof buf, "%u/%u (%.5g)", num, den, static_cast<double>(num) / den);
  return buf;
}

// Says when --fps replaces the rate the stream states, or when the stream
// states none.
void warn_about_frame_rate(const Options& o, const Plan& plan) {
  if (!plan.video) return;
  const StreamParams& v = plan.video->reader->params();
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

// ------------------------------------------------------ parameter record

void describe_video(const Options& o, const StreamParams& v, uint32_t code, EncParam& p) {
  p.video.fourcc = code;
  p.video.width = v.width;
  p.video.height = v.height;
  p.video.frame_rate = static_cast<double>(v.fps_num) / v.fps_den;
  if (!o.spherical.empty()) {
    p.video.field_of_view = 360;
    p.video.stereo_mode = o.spherical == "mono" ? 0 : o.spherical == "left-right" ? 1 : 2;
  }
}

void describe_audio(const Options& o, const StreamParams& a, uint32_t code, EncParam& p) {
  p.audio.fourcc = code;
  p.audio.sample_rate = a.sample_rate;
  p.audio.channels = a.channels;
  p.audio.bits_per_sample = a.bits_per_sample;
  utf8_to_u16(o.language, p.audio.language, 4);
}

void describe_metadata(const Options& o, const MxPicture& picture, MxMovieMetadata& md) {
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
}

void build_params(const Options& o, const CodecCodes& codes, Plan& plan) {
  plan.params = std::make_unique<EncParam>();
  std::memset(plan.params.get(), 0, sizeof(EncParam));
  EncParam& p = *plan.params;
  p.file_fourcc = plan.file_code;
  p.no_subpicture = 1;
  p.no_timecode = o.timecode.empty() ? 1 : 0;
  p.no_video = plan.video ? 0 : 1;
  p.no_audio = plan.audio.empty() ? 1 : 0;
  if (plan.video) describe_video(o, plan.video->reader->params(), codes.video, p);
  if (!plan.audio.empty()) describe_audio(o, plan.audio[0]->reader->params(), codes.audio, p);
  describe_metadata(o, plan.picture, p.metadata);
}

OutputRequest output_request(const Options& o) {
  OutputRequest r;
  r.target = o.output;
  r.live_photo = !o.live_photo.empty();
  r.faststart = o.faststart;
  r.resilient = o.resilient;
  r.creation_time = o.creation_time;
  r.verbose = o.verbose;
  r.quiet = o.quiet;
  r.progress = o.progress;
  r.timecode = o.timecode;
  return r;
}

}  // namespace

int make_plan(const Options& o, Plan& plan) {
  plan.request = output_request(o);
  if (int status = check_named_files(o)) return status;
  if (int status = check_resilient(o)) return status;
  std::string why;
  if (!open_plugin(plan.plugin, plugin_path(o.plugin), o.log_file, o.verbose, why))
    return fail(why);
  CodecCodes codes;
  if (int status = choose_format(o, plan)) return status;
  if (int status = open_inputs(o, plan)) return status;
  if (int status = choose_codec_codes(o, plan, codes)) return status;
  if (int status = check_timecode(o, plan)) return status;
  if (int status = check_spherical(o, plan)) return status;
  if (int status = read_picture(o, plan)) return status;
  warn_about_frame_rate(o, plan);
  build_params(o, codes, plan);
  return 0;
}

}  // namespace mxmux
