#include "plugin_host.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "library.h"
#include "test_files.h"
#include "xqlog/xq_log.h"

namespace host {

namespace {

void* plugin_library() {
  static void* library = [] {
    void* loaded = open_library(MX_PLUGIN_PATH);
    if (!loaded) throw std::runtime_error("cannot load the plug-in: " + library_error());
    return loaded;
  }();
  return library;
}

}  // namespace

const FormatDescriptor* single_stream_table() {
  static const FormatDescriptor* table = [] {
    auto get =
        reinterpret_cast<GetFileFormatsFn>(library_symbol(plugin_library(), "GetFileFormats"));
    if (!get) throw std::runtime_error("the plug-in has no GetFileFormats");
    return static_cast<const FormatDescriptor*>(get());
  }();
  return table;
}

const FormatDescriptor* multi_stream_table() {
  static const FormatDescriptor* table = [] {
    auto get = reinterpret_cast<GetFileMultiStreamFormatsFn>(
        library_symbol(plugin_library(), "GetFileMultiStreamFormats"));
    if (!get) throw std::runtime_error("the plug-in has no GetFileMultiStreamFormats");
    return static_cast<const FormatDescriptor*>(get());
  }();
  return table;
}

const MultiStreamSlots& multi_slots_for(uint32_t file_fourcc) {
  for (const FormatDescriptor* d = multi_stream_table(); d->fourcc != 0; ++d)
    if (d->fourcc == file_fourcc) return d->slots.multi;
  throw std::runtime_error("no multi-stream format with that code");
}

const SingleStreamSlots& slots_for(uint32_t file_fourcc) {
  for (const FormatDescriptor* d = single_stream_table(); d->fourcc != 0; ++d)
    if (d->fourcc == file_fourcc) return d->slots.single;
  throw std::runtime_error("no single-stream format with that code");
}

std::unique_ptr<EncParam> blank_params(uint32_t file_fourcc) {
  auto p = std::make_unique<EncParam>();
  std::memset(p.get(), 0, sizeof(EncParam));
  p->no_video = 1;
  p->no_audio = 1;
  p->no_subpicture = 1;
  p->no_timecode = 1;
  p->file_fourcc = file_fourcc;
  return p;
}

void set_video(EncParam& p, uint32_t codec, uint32_t width, uint32_t height, double frame_rate) {
  p.no_video = 0;
  p.video.fourcc = codec;
  p.video.width = width;
  p.video.height = height;
  p.video.frame_rate = frame_rate;
  p.video.bit_rate = 1000000;
}

void set_audio(EncParam& p, uint32_t codec, uint32_t sample_rate, uint32_t channels,
               uint32_t bits_per_sample, const char* language) {
  p.no_audio = 0;
  p.audio.fourcc = codec;
  p.audio.sample_rate = sample_rate;
  p.audio.channels = channels;
  p.audio.bits_per_sample = bits_per_sample;
  p.audio.bit_rate = 128000;
  for (size_t i = 0; language[i] && i < 3; ++i) p.audio.language[i] = language[i];
}

std::vector<uint8_t> annex_b(const std::vector<std::vector<uint8_t>>& units) {
  std::vector<uint8_t> out;
  for (const auto& u : units) {
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), u.begin(), u.end());
  }
  return out;
}

std::vector<uint8_t> length_prefixed(const std::vector<std::vector<uint8_t>>& units) {
  std::vector<uint8_t> out;
  for (const auto& u : units) {
    uint32_t n = static_cast<uint32_t>(u.size());
    out.insert(out.end(), {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
                           static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
    out.insert(out.end(), u.begin(), u.end());
  }
  return out;
}

MxVideoFrame video_frame(uint8_t* data, uint32_t size, int64_t pts, int64_t dts,
                         uint32_t picture_flag) {
  MxVideoFrame f;
  std::memset(&f, 0, sizeof f);
  f.data = data;
  f.size = size;
  f.pts = pts;
  f.dts = dts;
  f.picture_flag = picture_flag;
  return f;
}

MxAudioFrame audio_frame(const uint8_t* data, int32_t size, int64_t pts, uint32_t channels) {
  MxAudioFrame f;
  std::memset(&f, 0, sizeof f);
  f.data = data;
  f.size = size;
  f.pts = pts;
  f.dts = pts;
  f.channels = channels;
  return f;
}

Session::Session(const EncParam& params, const std::string& path)
    : slots_(slots_for(params.file_fourcc)) {
  std::u16string name = u16(path);
  handle_ = slots_.CreateMediaFile(host_text(name.c_str()), &params);
}

Session::~Session() {
  close();
}

uint32_t Session::video(const MxVideoFrame& frame) {
  return slots_.WriteVideoFrame(handle_, &frame);
}

uint32_t Session::audio(const MxAudioFrame& frame, const int32_t* frame_info) {
  return slots_.WriteAudioFrame(handle_, &frame, frame_info);
}

void Session::video_config(const std::vector<uint8_t>& first, const std::vector<uint8_t>& second) {
  slots_.WriteVideoExtraData(
      handle_, first.empty() ? nullptr : first.data(), static_cast<uint32_t>(first.size()),
      second.empty() ? nullptr : second.data(), static_cast<uint32_t>(second.size()));
}

void Session::audio_config(const std::vector<uint8_t>& bytes) {
  slots_.WriteAudioExtraData(handle_, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

void Session::close() {
  if (handle_) slots_.CloseMediaFile(handle_);
  handle_ = nullptr;
}

LogCapture::LogCapture() {
  static int serial = 0;
  path_ = test_temp_path("log-" + std::to_string(++serial) + ".txt");
  std::remove(path_.c_str());
  if (XQ_SetLogSink(XQ_LOG_FILE, path_.c_str()) != 0)
    throw std::runtime_error("cannot open the log file");
}

LogCapture::~LogCapture() {
  XQ_SetLogSink(XQ_LOG_NONE, nullptr);
}

std::vector<std::string> LogCapture::lines() const {
  std::vector<std::string> out;
  std::ifstream in(path_);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

bool LogCapture::contains(const std::string& line) const {
  for (const std::string& l : lines())
    if (l == line) return true;
  return false;
}

size_t LogCapture::count_prefix(const std::string& prefix) const {
  size_t n = 0;
  for (const std::string& l : lines())
    if (l.compare(0, prefix.size(), prefix) == 0) ++n;
  return n;
}

}  // namespace host
