#include "mxmux/host/plugin_host.h"

#include <algorithm>
#include <cstring>

#include "mxmux/system.h"
#include "xqlog/xq_log.h"

namespace mxmux {

std::string fourcc_text(uint32_t code) {
  std::string s(4, ' ');
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((code >> (8 * i)) & 0xFF);
    s[i] = (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  return s;
}

uint32_t fourcc_from_text(const std::string& text) {
  std::string s = text.substr(0, 4);
  while (s.size() < 4) s += ' ';
  return MX_FOURCC(s[0], s[1], s[2], s[3]);
}

std::string u16_to_utf8(const MxChar* text, size_t limit) {
  std::string out;
  for (size_t i = 0; i < limit && text[i]; ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < limit && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

void utf8_to_u16(const std::string& text, MxChar* field, size_t capacity) {
  size_t out = 0;
  auto put = [&](MxChar u) {
    if (out + 1 < capacity) field[out++] = u;
  };
  for (size_t i = 0; i < text.size();) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    uint32_t c = 0xFFFD;
    int extra = b < 0x80             ? 0
                : (b & 0xE0) == 0xC0 ? 1
                : (b & 0xF0) == 0xE0 ? 2
                : (b & 0xF8) == 0xF0 ? 3
                                     : -1;
    if (extra < 0 || i + extra >= text.size() + (extra == 0 ? 1 : 0)) {
      ++i;
    } else {
      c = extra == 0 ? b : b & (0x3F >> extra);
      bool ok = true;
      for (int k = 1; k <= extra; ++k) {
        unsigned char n = static_cast<unsigned char>(text[i + k]);
        if ((n & 0xC0) != 0x80) ok = false;
        c = (c << 6) | (n & 0x3F);
      }
      i += ok ? extra + 1 : 1;
      if (!ok || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) c = 0xFFFD;
    }
    if (c >= 0x10000) {
      if (out + 2 >= capacity) break;  // never split a pair
      put(static_cast<MxChar>(0xD800 + ((c - 0x10000) >> 10)));
      put(static_cast<MxChar>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      put(static_cast<MxChar>(c));
    }
  }
  if (capacity) field[out] = 0;
}

namespace {

// Which host codes the plug-in turns into which track.
struct CodeCodec {
  const char* code;
  Codec codec;
};

constexpr CodeCodec kVideoCodes[] = {
    {"H264", Codec::kH264},
    {"A264", Codec::kH264},
    {"B264", Codec::kH264},
    {"C264", Codec::kH264},
    {"E264", Codec::kH264},
    {"I264", Codec::kH264},
    {"K264", Codec::kH264},
    {"M264", Codec::kH264},
    {"N264", Codec::kH264},
    {"S264", Codec::kH264},
    {"h264", Codec::kH264},
    {"AB24", Codec::kH264},
    {"EB24", Codec::kH264},
    {"IB24", Codec::kH264},
    {"NB24", Codec::kH264},
    {"AAVC", Codec::kH264},
    {"FAVC", Codec::kH264},
    {"HAVC", Codec::kH264},
    {"IAVC", Codec::kH264},
    {"PAVC", Codec::kH264},
    {"VAVC", Codec::kH264},
    {"APS3", Codec::kH264},
    {"EPS3", Codec::kH264},
    {"IPS3", Codec::kH264},
    {"NPS3", Codec::kH264},
    {"PS3H", Codec::kH264},
    {"APOD", Codec::kH264},
    {"EPOD", Codec::kH264},
    {"NPOD", Codec::kH264},
    {"IAPD", Codec::kH264},
    {"AATV", Codec::kH264},
    {"EATV", Codec::kH264},
    {"IATV", Codec::kH264},
    {"NATV", Codec::kH264},
    {"EPSP", Codec::kH264},
    {"IPSP", Codec::kH264},
    {"NPSP", Codec::kH264},
    {"IPAN", Codec::kH264},
    {"IPON", Codec::kH264},
    {"IXBX", Codec::kH264},
    // VT64 makes the plug-in keep slices only; used when nothing else is offered.
    {"VT64", Codec::kH264},
    {"HEVC", Codec::kHevc},
    {"A265", Codec::kHevc},
    {"E265", Codec::kHevc},
    {"I265", Codec::kHevc},
    {"K265", Codec::kHevc},
    {"V265", Codec::kHevc},
    {"AV1 ", Codec::kAv1},
    {"AAV1", Codec::kAv1},
    {"EAV1", Codec::kAv1},
    {"IAV1", Codec::kAv1},
    {"H263", Codec::kH263},
    {"Xvid", Codec::kMpeg4Visual},
    {"MP4V", Codec::kMpeg4Visual},
    {"QMP4", Codec::kMpeg4Visual},
    {"M4GP", Codec::kMpeg4Visual},
    {"MPON", Codec::kMpeg4Visual},
    {"MPAN", Codec::kMpeg4Visual},
    {"HM4V", Codec::kMpeg4Visual},
    {"IM4V", Codec::kMpeg4Visual},
    {"PM4V", Codec::kMpeg4Visual},
    {"VM4V", Codec::kMpeg4Visual},
};

constexpr CodeCodec kAudioCodes[] = {
    {"AAC ", Codec::kAac},  {"MAAC", Codec::kAac},   {"WAAC", Codec::kAac},
    {"KAAC", Codec::kAac},  {"AC3 ", Codec::kAc3},   {"AMRN", Codec::kAmrNb},
    {"flac", Codec::kFlac}, {"PCM ", Codec::kPcm16}, {"PCM ", Codec::kPcmFloat32},
};

bool list_has(const CodecListEntry* list, uint32_t code) {
  for (; list && list->fourcc; ++list) {
    if (list->fourcc == code) return true;
  }
  return false;
}

}  // namespace

Codec codec_of_code(uint32_t code, bool video) {
  if (video) {
    for (const auto& c : kVideoCodes) {
      if (fourcc_from_text(c.code) == code) return c.codec;
    }
  } else {
    for (const auto& c : kAudioCodes) {
      if (fourcc_from_text(c.code) == code) return c.codec;
    }
  }
  return Codec::kNone;
}

uint32_t choose_code(const CodecListEntry* list, Codec codec) {
  bool video = codec_is_video(codec);
  // The table lists each codec's plain code first.
  const auto& table = video
                          ? std::vector<CodeCodec>(std::begin(kVideoCodes), std::end(kVideoCodes))
                          : std::vector<CodeCodec>(std::begin(kAudioCodes), std::end(kAudioCodes));
  for (const auto& c : table) {
    if (c.codec == codec && list_has(list, fourcc_from_text(c.code)))
      return fourcc_from_text(c.code);
  }
  return 0;
}

std::string codes_text(const CodecListEntry* list) {
  std::string out;
  for (; list && list->fourcc; ++list) {
    if (!out.empty()) out += ", ";
    // Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict) about
    // "literal" + std::string temporaries.
    out += '"';
    out += fourcc_text(list->fourcc);
    out += '"';
    Codec c = codec_of_code(list->fourcc, true);
    if (c == Codec::kNone) c = codec_of_code(list->fourcc, false);
    if (c != Codec::kNone) {
      out += " (";
      out += codec_name(c);
      out += ')';
    }
  }
  return out.empty() ? "nothing" : out;
}

std::string accepted_codecs_text(const CodecListEntry* list, bool video) {
  std::vector<std::string> names;
  for (; list && list->fourcc; ++list) {
    Codec c = codec_of_code(list->fourcc, video);
    std::string name = c != Codec::kNone ? codec_name(c)
                       : !video && list->fourcc == kDualAudioCode
                           ? "AAC + AC-3 (two --audio inputs)"
                           : "";
    if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end())
      names.push_back(name);
  }
  std::string out;
  for (const auto& name : names) {
    if (!out.empty()) out += ", ";
    out += name;
  }
  return out.empty() ? "none" : out;
}

Plugin::~Plugin() {
  if (log_handle_) sys::free_library(log_handle_);
  if (handle_) sys::free_library(handle_);
}

bool Plugin::load(const std::string& path, std::string& error) {
  path_ = path;
  std::string why;
  handle_ = sys::load_library(path, why);
  if (!handle_) {
    error = "cannot load the plug-in " + path + ": " + why;
    return false;
  }
  auto get = reinterpret_cast<GetFileFormatsFn>(sys::find_symbol(handle_, "GetFileFormats"));
  if (!get) {
    error = path + " is not an mx_mp4 plug-in (no GetFileFormats)";
    return false;
  }
  formats_ = get();
  if (!formats_) {
    error = path + ": GetFileFormats returned no table";
    return false;
  }
  return true;
}

const FormatDescriptor* Plugin::find(uint32_t fourcc) const {
  for (const FormatDescriptor* f = formats_; f && f->fourcc; ++f) {
    if (f->fourcc == fourcc) return f;
  }
  return nullptr;
}

SetWriterOptionsFn Plugin::writer_options() const {
  for (const FormatDescriptor* f = formats_; f && f->fourcc; ++f) {
    if (f->slots.single.SetWriterOptions) return f->slots.single.SetWriterOptions;
  }
  return nullptr;
}

bool Plugin::set_log(const std::string& path, bool to_stderr, std::string& error) {
  // The logging library sits beside the plug-in, which has loaded it already.
  size_t separator = path_.find_last_of(sys::kSeparators);
  std::string dir = path_.substr(0, separator == std::string::npos ? 0 : separator + 1);
  std::string why;
  log_handle_ = sys::load_library(dir + sys::kLogLibraryFile, why);
  if (!log_handle_) log_handle_ = sys::load_library(sys::kLogLibraryFile, why);
  if (!log_handle_) {
    error = "cannot load the logging library beside " + path_;
    return false;
  }
  using SetSinkFn = int (*)(int, const char*);
  auto set_sink = reinterpret_cast<SetSinkFn>(sys::find_symbol(log_handle_, "XQ_SetLogSink"));
  if (!set_sink) {
    error = "the logging library has no XQ_SetLogSink";
    return false;
  }
  int r = to_stderr ? set_sink(XQ_LOG_STDERR, nullptr) : set_sink(XQ_LOG_FILE, path.c_str());
  if (r != 0) {
    error = "cannot open the log file " + path;
    return false;
  }
  return true;
}

std::string default_plugin_path() {
  return sys::program_directory() + sys::kPluginFile;
}

std::string plugin_path(const std::string& given) {
  return given.empty() ? default_plugin_path() : given;
}

bool open_plugin(Plugin& plugin, const std::string& path, const std::string& log_file, bool verbose,
                 std::string& error) {
  if (!plugin.load(path, error)) return false;
  if (!verbose && log_file.empty()) return true;
  return plugin.set_log(log_file, log_file.empty(), error);
}

}  // namespace mxmux
