// Not written yet: the session issue replaces this file.
// Until then the single-stream slots refuse every session, so that the
// plug-in links and loads and its tables can be walked.
#include "plugin/slots.h"

WriterOptions& module_writer_options() {
  static WriterOptions options;
  return options;
}

MxSession CreateMediaFile(const char16_t*, const EncParam*) {
  return nullptr;
}
uint32_t WriteAudioFrame(MxSession, const MxAudioFrame*, const int32_t*) {
  return 0xFFFFFFFFu;
}
uint32_t WriteVideoFrame(MxSession, const MxVideoFrame*) {
  return 0xFFFFFFFFu;
}
void CloseMediaFile(MxSession) {}
void WriteAudioExtraData(MxSession, const uint8_t*, uint32_t) {}
void WriteVideoExtraData(MxSession, const uint8_t*, uint32_t, const uint8_t*, uint32_t) {}

uint32_t SetWriterOptions(const WriterOptions* options) {
  module_writer_options() = options != nullptr ? *options : WriterOptions{};
  return 0;
}
