#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "interop_media.h"
#include "support/test_files.h"

namespace interop {

namespace {

std::string read_text_file(const std::string& path) {
  std::vector<uint8_t> bytes = read_whole_file(path);
  return std::string(bytes.begin(), bytes.end());
}

std::string quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One line of ffprobe's hex dump: "00000010: b796 2cd8 ...  ascii". Returns false
// when the line is not one.
bool parse_hexdump_line(const std::string& line, std::vector<uint8_t>* out) {
  if (line.size() < 10 || line[8] != ':' || line[9] != ' ') return false;
  for (int i = 0; i < 8; ++i) {
    if (hex_value(line[i]) < 0) return false;
  }
  // Eight groups of four digits separated by single spaces: 39 characters.
  std::string hex = line.substr(10, 39);
  int pending = -1;
  for (char c : hex) {
    int v = hex_value(c);
    if (v < 0) continue;
    if (pending < 0) {
      pending = v;
    } else {
      out->push_back(static_cast<uint8_t>(pending << 4 | v));
      pending = -1;
    }
  }
  return true;
}

int64_t to_int(const std::string& s, int64_t fallback) {
  if (s.empty()) return fallback;
  char* end = nullptr;
  long long v = std::strtoll(s.c_str(), &end, 10);
  return end != nullptr && *end == '\0' ? v : fallback;
}

// Time stamps in 100 ns units from a stream time base "num/den".
int64_t to_100ns(int64_t t, const std::string& time_base) {
  size_t slash = time_base.find('/');
  if (slash == std::string::npos) throw std::runtime_error("bad time base " + time_base);
  __int128 num = std::stoll(time_base.substr(0, slash));
  __int128 den = std::stoll(time_base.substr(slash + 1));
  return static_cast<int64_t>(static_cast<__int128>(t) * 10000000 * num / den);
}

std::vector<std::vector<uint8_t>> split_length_prefixed(const std::vector<uint8_t>& p) {
  std::vector<std::vector<uint8_t>> units;
  size_t pos = 0;
  while (pos + 4 <= p.size()) {
    size_t n = static_cast<size_t>(p[pos]) << 24 | static_cast<size_t>(p[pos + 1]) << 16 |
               static_cast<size_t>(p[pos + 2]) << 8 | p[pos + 3];
    pos += 4;
    if (n > p.size() - pos) throw std::runtime_error("NAL unit runs past its packet");
    units.emplace_back(p.begin() + pos, p.begin() + pos + n);
    pos += n;
  }
  return units;
}

void append_be32(std::vector<uint8_t>* out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out->push_back(static_cast<uint8_t>(v >> s));
}

std::string scratch(const std::string& name) {
  return std::string(MX_TEST_TMP_DIR) + "/interop-" + name;
}

bool file_exists(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f != nullptr) std::fclose(f);
  return f != nullptr;
}

// Sources are shared by every test process of a build (ctest runs each case in
// its own process): each is made once under a name that carries a digest of its
// recipe, written under a temporary name and renamed into place.
std::string recipe_digest(const std::string& text) {
  uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (unsigned char ch : text) h = (h ^ ch) * 1099511628211ull;
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
  return buf;
}

std::string temporary_name(const std::string& path, const std::string& extension) {
  return path + ".tmp" + std::to_string(getpid()) + extension;
}

void publish(const std::string& tmp, const std::string& path) {
  if (std::rename(tmp.c_str(), path.c_str()) != 0) throw std::runtime_error("cannot rename " + tmp);
}

// The output of a command that must succeed without a word on stderr, kept in a file.
std::string cached_output(const std::string& path, const std::string& command) {
  if (!file_exists(path)) {
    CommandResult r = run_command(command);
    if (r.status != 0 || !r.err.empty()) throw std::runtime_error(command + " failed: " + r.err);
    std::string tmp = temporary_name(path, "");
    write_whole_file(tmp, std::vector<uint8_t>(r.out.begin(), r.out.end()));
    publish(tmp, path);
  }
  return read_text_file(path);
}

void ffmpeg_or_throw(const std::string& args) {
  CommandResult r = run_command("ffmpeg -nostdin -v error -y " + args);
  if (r.status != 0 || !r.err.empty()) {
    throw std::runtime_error("ffmpeg " + args + " failed: " + r.err);
  }
}

struct Recipe {
  Media media;
  const char* name;
  const char* encoder;  // checked with have_encoder; null for synthesized media
  bool video;
  const char* host_code;
  const char* codec_name;
  const char* container;
  const char* args;  // ffmpeg arguments between the input and the output
};

const Recipe kRecipes[] = {
    {Media::kH264, "h264", "libx264", true, "H264", "h264", "mp4",
     "-c:v libx264 -preset veryfast -bf 2 -g 12 -pix_fmt yuv420p"},
    {Media::kHevc, "hevc", "libx265", true, "HEVC", "hevc", "mp4",
     "-c:v libx265 -preset ultrafast -x265-params log-level=error:bframes=2:keyint=12 "
     "-pix_fmt yuv420p"},
    {Media::kH264Pyramid, "h264-pyramid", "libx264", true, "H264", "h264", "mp4",
     "-c:v libx264 -preset veryfast -pix_fmt yuv420p "
     "-x264-params bframes=3:b-pyramid=normal:b-adapt=0:keyint=24:min-keyint=24:scenecut=0"},
    {Media::kHevcPyramid, "hevc-pyramid", "libx265", true, "HEVC", "hevc", "mp4",
     "-c:v libx265 -preset veryfast -pix_fmt yuv420p -x265-params "
     "log-level=error:bframes=3:b-pyramid=1:b-adapt=0:keyint=24:min-keyint=24:scenecut=0"},
    // Noise keeps the frames large (about 0.4 to 0.7 MB).
    {Media::kH264Large, "h264-large", "libx264", true, "H264", "h264", "mp4",
     "-vf noise=alls=14:allf=t -c:v libx264 -preset ultrafast -qp 18 -bf 2 -g 6 "
     "-x264-params slices=3 -pix_fmt yuv420p"},
    {Media::kHevcLarge, "hevc-large", "libx265", true, "HEVC", "hevc", "mp4",
     "-vf noise=alls=14:allf=t -c:v libx265 -preset ultrafast "
     "-x265-params log-level=error:bframes=2:keyint=6:qp=18:slices=2 -pix_fmt yuv420p"},
    {Media::kAv1, "av1", "libaom-av1", true, "AV1 ", "av1", "mp4",
     "-c:v libaom-av1 -cpu-used 8 -usage realtime -g 12"},
    // Without a global header the VOS and VOL headers stand in the first key frame.
    {Media::kMpeg4Visual, "mpeg4", "mpeg4", true, "Xvid", "mpeg4", "mov",
     "-c:v mpeg4 -flags -global_header -g 12 -q:v 4"},
    {Media::kH263, "h263", "h263", true, "H263", "h263", "mov", "-c:v h263 -g 12 -q:v 4"},
    {Media::kDnxhd, "dnxhd", "dnxhd", true, "AVHD", "dnxhd", "mov",
     "-c:v dnxhd -b:v 36M -pix_fmt yuv422p"},
    {Media::kDnxhr, "dnxhr", "dnxhd", true, "AVHD", "dnxhd", "mov",
     "-c:v dnxhd -profile:v dnxhr_lb -pix_fmt yuv422p"},
    {Media::kCineform, "cfhd", "cfhd", true, "CFHD", "cfhd", "mov", "-c:v cfhd -pix_fmt yuv422p10"},
    {Media::kFfv1, "ffv1", "ffv1", true, "FFV1", "ffv1", "mov", "-c:v ffv1 -level 3 -g 12"},
    {Media::kAac, "aac", "aac", false, "AAC ", "aac", "mp4", "-c:a aac -ac 2 -b:a 128k"},
    {Media::kAc3Stereo, "ac3", "ac3", false, "AC3 ", "ac3", "mp4", "-c:a ac3 -ac 2"},
    {Media::kAc3Surround, "ac3-51", "ac3", false, "AC3 ", "ac3", "mp4", "-c:a ac3 -ac 6"},
    {Media::kAlac, "alac", "alac", false, "ALAC", "alac", "mp4", "-c:a alac -ac 2"},
    {Media::kFlac16, "flac16", "flac", false, "flac", "flac", "mp4", "-c:a flac -ac 2 -strict -2"},
    {Media::kFlac24, "flac24", "flac", false, "flac", "flac", "mp4",
     "-c:a flac -ac 2 -sample_fmt s32 -bits_per_raw_sample 24 -strict -2"},
    {Media::kPcm16, "pcm16", nullptr, false, "PCM ", "pcm_s16le", "raw", "-ac 2 -f s16le"},
    {Media::kPcm32Float, "pcm32", nullptr, false, "PCM ", "pcm_f32le", "raw", "-ac 2 -f f32le"},
    {Media::kAmrNb, "amrnb", nullptr, false, "AMRN", "amr_nb", "", ""},
};

const Recipe& recipe(Media m) {
  for (const Recipe& r : kRecipes) {
    if (r.media == m) return r;
  }
  throw std::runtime_error("no recipe");
}

uint32_t host_fourcc(const char* s) {
  return static_cast<uint32_t>(static_cast<uint8_t>(s[0])) |
         static_cast<uint32_t>(static_cast<uint8_t>(s[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[3])) << 24;
}

uint32_t audio_rate(Media m) {
  switch (m) {
    case Media::kAac:
    case Media::kAlac:
    case Media::kFlac16:
      return 44100;
    case Media::kAmrNb:
      return 8000;
    default:
      return 48000;
  }
}

std::string video_size(Media m) {
  switch (m) {
    case Media::kH263:
      return "176x144";
    case Media::kDnxhd:
      return "1920x1080";
    case Media::kDnxhr:
      return "640x360";
    case Media::kH264Large:
    case Media::kHevcLarge:
      return "1280x720";
    default:
      return "320x240";
  }
}

// Media per source: enough for a few GOPs, small enough to keep the group quick
// (DNxHD frames are large). The pyramid sources of the timing group have the
// same number of frames at every rate.
const char* source_length(Media m) {
  switch (m) {
    case Media::kDnxhd:
      return "-t 0.12";
    case Media::kDnxhr:
    case Media::kCineform:
    case Media::kH264Large:
    case Media::kHevcLarge:
      return "-t 0.4";
    case Media::kH264Pyramid:
    case Media::kHevcPyramid:
      return "-frames:v 48";
    default:
      return "-t 1";
  }
}

// Packets and configuration from an encoded source container.
void load_from_container(const Recipe& r, SourceTrack* s) {
  Probe p = parse_probe(
      cached_output(s->source_path + ".probe",
                    "ffprobe -v error -show_streams -show_format -show_packets -show_data " +
                        quote(s->source_path)),
      "");
  if (p.streams.empty()) throw std::runtime_error("source without streams");
  const ProbedStream& st = p.streams[0];
  const std::string tb = st.get("time_base");
  const size_t slash = tb.find('/');
  if (slash == std::string::npos) throw std::runtime_error("bad time base " + tb);
  const int64_t tb_num = std::stoll(tb.substr(0, slash)), tb_den = std::stoll(tb.substr(slash + 1));
  if (s->video) {
    s->width = static_cast<uint32_t>(st.get_int("width"));
    s->height = static_cast<uint32_t>(st.get_int("height"));
    s->frame_rate = s->rate.fps();
  } else {
    s->sample_rate = static_cast<uint32_t>(st.get_int("sample_rate"));
    s->channels = static_cast<uint32_t>(st.get_int("channels"));
  }
  int64_t base = INT64_MAX;
  int64_t first_pts = INT64_MAX;
  for (const ProbedPacket& pk : p.packets) {
    base = std::min(base, s->video ? pk.dts : pk.pts);
    first_pts = std::min(first_pts, pk.pts);
  }

  std::vector<uint8_t> sps, pps;
  const bool avc =
      r.media == Media::kH264 || r.media == Media::kH264Pyramid || r.media == Media::kH264Large;
  const bool hevc =
      r.media == Media::kHevc || r.media == Media::kHevcPyramid || r.media == Media::kHevcLarge;
  if (avc) {
    // avcC: 5 header bytes, then counted SPS and PPS lists with 16-bit lengths.
    const std::vector<uint8_t>& x = st.extradata;
    if (x.size() < 8 || (x[5] & 0x1F) != 1) throw std::runtime_error("unexpected avcC");
    size_t n = static_cast<size_t>(x[6]) << 8 | x[7];
    sps.assign(x.begin() + 8, x.begin() + 8 + n);
    size_t at = 8 + n;
    if (x[at] != 1) throw std::runtime_error("unexpected PPS count");
    size_t m = static_cast<size_t>(x[at + 1]) << 8 | x[at + 2];
    pps.assign(x.begin() + at + 3, x.begin() + at + 3 + m);
    s->config1 = pps;  // WriteVideoExtraData(data1 = PPS, data2 = SPS)
    s->config2 = sps;
  }

  std::vector<std::vector<uint8_t>> hevc_parameter_sets;
  if (hevc) {
    // hvcC: 22 fixed bytes (4-byte lengths expected), then arrays of NAL units.
    const std::vector<uint8_t>& x = st.extradata;
    if (x.size() < 23 || (x[21] & 3) != 3) throw std::runtime_error("unexpected hvcC");
    size_t at = 23;
    for (int a = 0; a < x[22]; ++a) {
      if (at + 3 > x.size()) throw std::runtime_error("short hvcC");
      size_t count = static_cast<size_t>(x[at + 1]) << 8 | x[at + 2];
      at += 3;
      for (size_t k = 0; k < count; ++k) {
        if (at + 2 > x.size()) throw std::runtime_error("short hvcC");
        size_t n = static_cast<size_t>(x[at]) << 8 | x[at + 1];
        if (at + 2 + n > x.size()) throw std::runtime_error("short hvcC");
        hevc_parameter_sets.emplace_back(x.begin() + at + 2, x.begin() + at + 2 + n);
        at += 2 + n;
      }
    }
    for (const auto& u : hevc_parameter_sets) {  // VPS, SPS, PPS as one Annex-B buffer
      s->config2.insert(s->config2.end(), {0, 0, 0, 1});
      s->config2.insert(s->config2.end(), u.begin(), u.end());
    }
  }

  for (const ProbedPacket& pk : p.packets) {
    HostPacket hp;
    hp.pts = to_100ns(pk.pts - base, tb);
    hp.dts = to_100ns((s->video ? pk.dts : pk.pts) - base, tb);
    hp.key = pk.key;
    if (s->video) {
      // The place in presentation order: the frame's time in whole frames.
      const int64_t seconds_num = (pk.pts - first_pts) * tb_num * s->rate.num;
      const int64_t seconds_den = tb_den * s->rate.den;
      if (seconds_num % seconds_den != 0)
        throw std::runtime_error("source time off the frame grid");
      hp.order = seconds_num / seconds_den;
    }
    std::vector<uint8_t> stored = pk.data;
    if (avc || hevc) {
      // As an encoder hands it over: Annex-B with 4-byte start codes, parameter
      // sets in front of key frames. The file keeps the other units: for H.264
      // slices, SEI and filler; for HEVC all but VPS, SPS and PPS.
      std::vector<std::vector<uint8_t>> units = split_length_prefixed(pk.data);
      if (pk.key) {
        if (avc) {
          units.insert(units.begin(), {sps, pps});
        } else {
          units.insert(units.begin(), hevc_parameter_sets.begin(), hevc_parameter_sets.end());
        }
      }
      stored.clear();
      for (const auto& u : units) {
        hp.data.insert(hp.data.end(), {0, 0, 0, 1});
        hp.data.insert(hp.data.end(), u.begin(), u.end());
        bool kept;
        if (avc) {
          uint8_t type = u.empty() ? 0 : u[0] & 0x1F;
          kept = type == 1 || type == 5 || type == 6 || type == 12;
        } else {
          uint8_t type = u.empty() ? 0 : (u[0] >> 1) & 0x3F;
          kept = type < 32 || type > 34;
        }
        if (kept) {
          append_be32(&stored, static_cast<uint32_t>(u.size()));
          stored.insert(stored.end(), u.begin(), u.end());
        }
      }
    } else {
      hp.data = pk.data;
    }
    s->packets.push_back(std::move(hp));
    s->stored.push_back(std::move(stored));
    s->seconds += static_cast<double>(to_100ns(pk.duration, tb)) / 1e7;
  }
  if (s->packets.empty()) throw std::runtime_error("source without packets");
  int64_t longest = 0;
  for (const ProbedPacket& pk : p.packets) longest = std::max(longest, pk.duration);
  s->nominal_seconds = static_cast<double>(to_100ns(longest, tb)) / 1e7 * s->packets.size();

  switch (r.media) {
    case Media::kDnxhd:
    case Media::kDnxhr: {
      // The frame header of the first frame stands for the configuration.
      const std::vector<uint8_t>& first = s->packets[0].data;
      s->config2.assign(first.begin(), first.begin() + std::min<size_t>(first.size(), 640));
      break;
    }
    case Media::kFfv1:
      s->config2 = st.extradata;
      break;
    case Media::kAv1:
      // The OBUs of av1C (behind its 4-byte fixed part): the sequence header.
      if (st.extradata.size() > 4) s->config2.assign(st.extradata.begin() + 4, st.extradata.end());
      break;
    case Media::kAc3Stereo:
    case Media::kAc3Surround: {
      // The start of a sync frame: what dac3 is taken from.
      const std::vector<uint8_t>& first = s->packets[0].data;
      s->config1.assign(first.begin(), first.begin() + std::min<size_t>(first.size(), 16));
      break;
    }
    case Media::kAac:
    case Media::kAlac:
    case Media::kFlac16:
    case Media::kFlac24:
      s->config1 = st.extradata;
      break;
    default:
      break;
  }
}

// Raw PCM cut into packets of 1024 frames.
void load_raw_pcm(const std::string& path, SourceTrack* s) {
  std::vector<uint8_t> raw = read_whole_file(path);
  const size_t frame_bytes = s->channels * (s->bits / 8);
  const size_t packet_bytes = 1024 * frame_bytes;
  int64_t frames_before = 0;
  for (size_t pos = 0; pos < raw.size(); pos += packet_bytes) {
    size_t n = std::min(packet_bytes, raw.size() - pos);
    HostPacket hp;
    hp.data.assign(raw.begin() + pos, raw.begin() + pos + n);
    hp.pts = hp.dts = frames_before * 10000000 / s->sample_rate;
    hp.frames = static_cast<int32_t>(n / frame_bytes);
    frames_before += hp.frames;
    s->seconds = s->nominal_seconds = static_cast<double>(frames_before) / s->sample_rate;
    s->stored.push_back(hp.data);
    s->packets.push_back(std::move(hp));
  }
}

// AMR narrow-band speech frames at 12.2 kbit/s (mode 7): a header byte (frame
// type 7, quality bit) and 31 bytes of codec bits. Any bits decode; these are a
// fixed pseudo-random pattern. No Debian ffmpeg encoder makes AMR-NB.
void synthesize_amr(SourceTrack* s) {
  uint32_t state = 12345;
  for (int i = 0; i < 50; ++i) {
    HostPacket hp;
    hp.data.push_back(0x3C);
    for (int k = 0; k < 31; ++k) {
      state = state * 1103515245 + 12345;
      hp.data.push_back(static_cast<uint8_t>(state >> 16));
    }
    hp.data.back() &= 0xF0;  // 244 bits: the last four bits are padding
    hp.pts = hp.dts = static_cast<int64_t>(i) * 200000;
    s->seconds += 0.02;
    s->nominal_seconds = s->seconds;
    s->stored.push_back(hp.data);
    s->packets.push_back(std::move(hp));
  }
}

SourceTrack make_source(Media m, Rate rate) {
  const Recipe& r = recipe(m);
  SourceTrack s;
  s.media = m;
  s.rate = rate;
  s.video = r.video;
  s.host_codec = host_fourcc(r.host_code);
  s.codec_name = r.codec_name;
  if (r.encoder != nullptr && !have_encoder(r.encoder)) {
    s.missing = std::string("ffmpeg has no ") + r.encoder + " encoder";
    return s;
  }
  if (m == Media::kAmrNb) {
    s.sample_rate = 8000;
    s.channels = 1;
    s.bits = 16;
    synthesize_amr(&s);
    return s;
  }
  std::string input;
  if (r.video) {
    input = "-f lavfi -i testsrc2=size=" + video_size(m) + ":rate=" + std::to_string(rate.num) +
            "/" + std::to_string(rate.den) + " " + source_length(m) + " ";
  } else {
    input =
        "-f lavfi -i sine=frequency=440:sample_rate=" + std::to_string(audio_rate(m)) + " -t 1 ";
  }
  const std::string args = input + r.args;
  const std::string extension = std::string(".") + r.container;
  const std::string out = scratch(std::string(r.name) + "-" + recipe_digest(args) + extension);
  if (!file_exists(out)) {
    std::string tmp = temporary_name(out, extension);
    ffmpeg_or_throw(args + " " + quote(tmp));
    publish(tmp, out);
  }
  if (m == Media::kPcm16 || m == Media::kPcm32Float) {
    s.sample_rate = audio_rate(m);
    s.channels = 2;
    s.bits = m == Media::kPcm16 ? 16 : 32;
    load_raw_pcm(out, &s);
    return s;
  }
  s.source_path = out;
  if (m == Media::kFlac24) s.bits = 24;
  if (m == Media::kFlac16 || m == Media::kAlac) s.bits = 16;
  load_from_container(r, &s);
  return s;
}

}  // namespace

std::string shell_quote(const std::string& s) {
  return quote(s);
}

std::string ProbedStream::get(const std::string& key) const {
  auto it = fields.find(key);
  return it == fields.end() ? std::string() : it->second;
}

int64_t ProbedStream::get_int(const std::string& key) const {
  return to_int(get(key), -1);
}

CommandResult run_command(const std::string& command) {
  static int serial = 0;
  std::string err_path = test_temp_path("cmd-" + std::to_string(++serial) + ".err");
  CommandResult result;
  FILE* pipe = popen((command + " 2>" + quote(err_path)).c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run " + command);
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) result.out.append(buf, n);
  int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.err = read_text_file(err_path);
  std::remove(err_path.c_str());
  return result;
}

bool have_encoder(const std::string& name) {
  static const std::string list = run_command("ffmpeg -hide_banner -encoders").out;
  std::istringstream in(list);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string flags, encoder;
    if (words >> flags >> encoder && encoder == name) return true;
  }
  return false;
}

Probe probe(const std::string& path, bool packets, const std::string& input_options) {
  std::string cmd = "ffprobe -v error " + input_options + " -show_streams -show_format ";
  if (packets) cmd += "-show_packets -show_data ";
  CommandResult r = run_command(cmd + quote(path));
  if (r.status != 0 && r.err.empty()) r.err = "ffprobe exited with " + std::to_string(r.status);
  return parse_probe(r.out, r.err);
}

std::vector<std::vector<std::string>> mediainfo(const std::string& path, const std::string& kind,
                                                const std::vector<std::string>& fields) {
  std::string form = kind + ";";
  for (size_t i = 0; i < fields.size(); ++i) form += (i ? "|%" : "%") + fields[i] + "%";
  CommandResult r =
      run_command("mediainfo " + quote("--Output=" + form + "\\n") + " " + quote(path));
  if (r.status != 0 || !r.err.empty()) throw std::runtime_error("mediainfo failed: " + r.err);
  std::vector<std::vector<std::string>> tracks;
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    std::vector<std::string> values;
    size_t start = 0;
    for (size_t bar; (bar = line.find('|', start)) != std::string::npos; start = bar + 1) {
      values.push_back(line.substr(start, bar - start));
    }
    values.push_back(line.substr(start));
    tracks.push_back(std::move(values));
  }
  return tracks;
}

Probe parse_probe(const std::string& text, const std::string& errors) {
  Probe p;
  p.errors = errors;
  enum { kNone, kStream, kPacket, kFormat } section = kNone;
  std::vector<uint8_t>* hexdump = nullptr;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (hexdump != nullptr && parse_hexdump_line(line, hexdump)) continue;
    hexdump = nullptr;
    if (line == "[STREAM]") {
      section = kStream;
      p.streams.emplace_back();
      continue;
    }
    if (line == "[PACKET]") {
      section = kPacket;
      p.packets.emplace_back();
      continue;
    }
    if (line == "[FORMAT]") {
      section = kFormat;
      continue;
    }
    if (line == "[/STREAM]" || line == "[/PACKET]" || line == "[/FORMAT]") {
      section = kNone;
      continue;
    }
    if (!line.empty() && line[0] == '[') continue;  // nested side data and the like
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (section == kStream) {
      ProbedStream& s = p.streams.back();
      if (key == "extradata" && value.empty()) {
        hexdump = &s.extradata;
      } else {
        s.fields[key] = value;
      }
    } else if (section == kPacket) {
      ProbedPacket& pk = p.packets.back();
      if (key == "data" && value.empty()) {
        hexdump = &pk.data;
      } else if (key == "stream_index") {
        pk.stream_index = static_cast<int>(to_int(value, 0));
      } else if (key == "pts") {
        pk.pts = to_int(value, 0);
      } else if (key == "dts") {
        pk.dts = to_int(value, 0);
      } else if (key == "duration") {
        pk.duration = to_int(value, 0);
      } else if (key == "flags") {
        pk.key = !value.empty() && value[0] == 'K';
      }
    } else if (section == kFormat) {
      p.format[key] = value;
    }
  }
  return p;
}

std::vector<std::string> parse_framemd5(const std::string& text) {
  std::vector<std::string> hashes;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    size_t comma = line.rfind(',');
    if (comma == std::string::npos) continue;
    std::string h = line.substr(comma + 1);
    h.erase(0, h.find_first_not_of(' '));
    hashes.push_back(h);
  }
  return hashes;
}

std::vector<std::string> reference_hashes(const SourceTrack& s) {
  if (s.source_path.empty()) return {};
  return parse_framemd5(cached_output(
      s.source_path + ".framemd5",
      "ffmpeg -nostdin -v error -i " + quote(s.source_path) + " -map 0:v:0 -f framemd5 -"));
}

const char* media_name(Media m) {
  return recipe(m).name;
}

std::string made_once(const std::string& name, const std::string& recipe,
                      const std::string& extension,
                      const std::function<bool(const std::string&)>& make) {
  const std::string path = scratch(name + "-" + recipe_digest(recipe) + extension);
  if (!file_exists(path)) {
    const std::string tmp = temporary_name(path, extension);
    if (!make(tmp)) {
      std::remove(tmp.c_str());
      throw std::runtime_error("cannot make " + path);
    }
    publish(tmp, path);
  }
  return path;
}

const SourceTrack& source(Media m, Rate rate) {
  static std::mutex lock;
  static std::map<std::pair<Media, Rate>, SourceTrack> made;
  std::lock_guard<std::mutex> guard(lock);
  const std::pair<Media, Rate> key{m, rate};
  auto it = made.find(key);
  if (it == made.end()) it = made.emplace(key, make_source(m, rate)).first;
  return it->second;
}

}  // namespace interop
