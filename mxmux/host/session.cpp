#include "mxmux/host/session.h"

#include "mxmux/host/plugin_host.h"

namespace mxmux {

namespace {

// The slots return 0, or all ones, for a frame they refuse.
bool accepted(uint32_t result) {
  return result != 0 && result != 0xFFFFFFFFu;
}

}  // namespace

bool Session::create(const std::string& path, const EncParam& params, bool resilient) {
  if (options_) {
    WriterOptions options{};
    if (resilient) options.flags = MX_WRITE_RESILIENT;
    options_(&options);
  } else if (resilient) {
    return false;
  }
  std::basic_string<MxChar> wide_path(path.size() + 1, 0);
  utf8_to_u16(path, wide_path.data(), wide_path.size());
  handle_ = slots_.CreateMediaFile(wide_path.c_str(), &params);
  return handle_ != nullptr;
}

void Session::write_video_config(const std::vector<uint8_t>& first,
                                 const std::vector<uint8_t>& second) {
  slots_.WriteVideoExtraData(handle_, first.data(), static_cast<uint32_t>(first.size()),
                             second.data(), static_cast<uint32_t>(second.size()));
}

void Session::write_audio_config(const std::vector<uint8_t>& config) {
  slots_.WriteAudioExtraData(handle_, config.data(), static_cast<uint32_t>(config.size()));
}

bool Session::write_video(const MxVideoFrame& frame) {
  return accepted(slots_.WriteVideoFrame(handle_, &frame));
}

bool Session::write_audio(const MxAudioFrame& frame, const int32_t* frame_info) {
  return accepted(slots_.WriteAudioFrame(handle_, &frame, frame_info));
}

void Session::close() {
  if (handle_) slots_.CloseMediaFile(handle_);
  handle_ = nullptr;
}

}  // namespace mxmux
