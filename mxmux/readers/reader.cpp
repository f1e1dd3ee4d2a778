#include "mxmux/readers/reader.h"

#include <algorithm>
#include <cctype>
#include <numeric>

namespace mxmux {

namespace {

struct CodecText {
  Codec codec;
  const char* name;
  bool video;
};

constexpr CodecText kCodecs[] = {
    {Codec::kNone, "none", false},
    {Codec::kH264, "H.264", true},
    {Codec::kHevc, "HEVC", true},
    {Codec::kAv1, "AV1", true},
    {Codec::kMpeg4Visual, "MPEG-4 Visual", true},
    {Codec::kH263, "H.263", true},
    {Codec::kAac, "AAC", false},
    {Codec::kAc3, "AC-3", false},
    {Codec::kFlac, "FLAC", false},
    {Codec::kPcm16, "PCM", false},
    {Codec::kPcmFloat32, "PCM float", false},
    {Codec::kAmrNb, "AMR-NB", false},
};

using Factory = std::unique_ptr<Reader> (*)(ByteSource&);

struct ExtensionReader {
  const char* extension;
  Factory make;
};

constexpr ExtensionReader kExtensions[] = {
    {".h264", make_h264_reader},        {".264", make_h264_reader},
    {".avc", make_h264_reader},         {".hevc", make_hevc_reader},
    {".265", make_hevc_reader},         {".h265", make_hevc_reader},
    {".ivf", make_av1_ivf_reader},      {".m4v", make_mpeg4_visual_reader},
    {".cmp", make_mpeg4_visual_reader}, {".263", make_h263_reader},
    {".h263", make_h263_reader},        {".aac", make_adts_reader},
    {".adts", make_adts_reader},        {".ac3", make_ac3_reader},
    {".flac", make_flac_reader},        {".wav", make_wav_reader},
    {".amr", make_amr_reader},
};

struct CodecReader {
  Codec codec;
  Factory make;
};

constexpr CodecReader kCodecReaders[] = {
    {Codec::kH264, make_h264_reader},   {Codec::kHevc, make_hevc_reader},
    {Codec::kAv1, make_av1_ivf_reader}, {Codec::kMpeg4Visual, make_mpeg4_visual_reader},
    {Codec::kH263, make_h263_reader},   {Codec::kAac, make_adts_reader},
    {Codec::kAc3, make_ac3_reader},     {Codec::kFlac, make_flac_reader},
    {Codec::kPcm16, make_wav_reader},   {Codec::kPcmFloat32, make_wav_reader},
    {Codec::kAmrNb, make_amr_reader},
};

}  // namespace

const char* codec_name(Codec codec) {
  for (const auto& c : kCodecs) {
    if (c.codec == codec) return c.name;
  }
  return "?";
}

bool codec_is_video(Codec codec) {
  for (const auto& c : kCodecs) {
    if (c.codec == codec) return c.video;
  }
  return false;
}

std::unique_ptr<Reader> make_reader(const std::string& path, ByteSource& src, Error& error) {
  auto dot = path.find_last_of('.');
  auto slash = path.find_last_of('/');
  std::string ext = dot == std::string::npos || (slash != std::string::npos && dot < slash)
                        ? std::string()
                        : path.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  for (const auto& e : kExtensions) {
    if (ext == e.extension) return e.make(src);
  }
  error = Error{path, 0,
                "unknown input type '" + ext + "' (mxmux reads " + reader_extensions_text() + ")",
                false};
  return nullptr;
}

std::unique_ptr<Reader> make_reader_for(Codec codec, ByteSource& src) {
  for (const auto& c : kCodecReaders) {
    if (c.codec == codec) return c.make(src);
  }
  return nullptr;
}

const char* reader_extensions_text() {
  return ".h264 .264 .avc (H.264), .hevc .265 .h265 (HEVC), .ivf (AV1), .m4v .cmp (MPEG-4 Visual), "
         ".263 .h263 (H.263), .aac .adts (AAC), .ac3 (AC-3), .flac (FLAC), .wav (PCM), .amr "
         "(AMR-NB)";
}

FrameClock settle_frame_rate(const ReaderOptions& options, uint32_t stream_num, uint32_t stream_den,
                             StreamParams& params) {
  FrameClock clock;
  params.stream_fps_num = params.stream_fps_den = 0;
  if (stream_num && stream_den && stream_num / stream_den <= 1000 &&
      uint64_t{stream_num} * 1000 >= stream_den) {
    uint32_t g = std::gcd(stream_num, stream_den);
    params.stream_fps_num = clock.num = stream_num / g;
    params.stream_fps_den = clock.den = stream_den / g;
  }
  if (options.fps_num && options.fps_den) {
    clock.num = options.fps_num;
    clock.den = options.fps_den;
  }
  params.fps_num = clock.num;
  params.fps_den = clock.den;
  return clock;
}

}  // namespace mxmux
