// The single-stream slots: thin checks around one CMp4Writer session.
//
// No exception leaves a slot: an allocation failure inside a session step
// becomes the slot's failure result.
#include <cstdint>
#include <cstring>
#include <new>

#include "platform/host_text.h"
#include "plugin/slots.h"
#include "writer/mp4_writer.h"
#include "xqlog/xq_log.h"

namespace {

constexpr uint32_t kNoSession = 0xFFFFFFFFu;

CMp4Writer* session_of(MxSession handle) {
  return static_cast<CMp4Writer*>(handle);
}

// Pointers are logged as 32-bit integers.
int pointer_as_int(const void* p) {
  return static_cast<int>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)));
}

void log_out_of_memory(const char16_t* slot) {
  XQ_LogFormat(u"mx_mp4.dll: %ls failed: out of memory.", slot);
}

}  // namespace

WriterOptions& module_writer_options() {
  static WriterOptions options{};
  return options;
}

uint32_t SetWriterOptions(const WriterOptions* options) {
  WriterOptions& stored = module_writer_options();
  std::memset(&stored, 0, sizeof stored);
  if (options) std::memcpy(&stored, options, sizeof stored);
  return 0;
}

MxSession CreateMediaFile(const MxChar* file_name, const EncParam* params) {
  XQ_LogFormat(u"mx_mp4.dll: Creating media file[%ls]...", file_name);
  if (!file_name || !params) {
    XQ_LogFormat(u"mx_mp4.dll: wrong poiter - pFileName[%d] or pEncParam[%d]).",
                 pointer_as_int(file_name), pointer_as_int(params));
    return nullptr;
  }
  if (!find_single_stream_format(params->file_fourcc)) return nullptr;

  CMp4Writer* writer = nullptr;
  try {
    writer = new CMp4Writer();
  } catch (const std::bad_alloc&) {
    XQ_LogFormat(u"mx_mp4.dll: Create file[%ls] failed.", file_name);
    return nullptr;
  }
  bool created = false;
  try {
    created = writer->CreateMediaFile(as_utf16(file_name), params);
  } catch (const std::bad_alloc&) {
    log_out_of_memory(u"CreateMediaFile");
  }
  if (created) return writer;
  delete writer;
  XQ_LogFormat(u"mx_mp4.dll: Create file[%ls] failed.", file_name);
  return nullptr;
}

uint32_t WriteAudioFrame(MxSession session, const MxAudioFrame* frame, const int32_t* frame_info) {
  if (!session || !frame) return kNoSession;
  try {
    return session_of(session)->WriteAudioFrame(frame, frame_info);
  } catch (const std::bad_alloc&) {
    log_out_of_memory(u"WriteAudioFrame");
    return 0;
  }
}

uint32_t WriteVideoFrame(MxSession session, const MxVideoFrame* frame) {
  if (!session || !frame) return kNoSession;
  try {
    return session_of(session)->WriteVideoFrame(frame);
  } catch (const std::bad_alloc&) {
    log_out_of_memory(u"WriteVideoFrame");
    return 0;
  }
}

void CloseMediaFile(MxSession session) {
  if (CMp4Writer* writer = session_of(session)) {
    try {
      writer->WriteTrail();
    } catch (const std::bad_alloc&) {
      log_out_of_memory(u"CloseMediaFile");
    }
    writer->CloseFile();
    delete writer;
  }
  XQ_LogMessage(u"mx_mp4.dll: media file closed.");
}

void WriteAudioExtraData(MxSession session, const uint8_t* data, uint32_t size) {
  if (!session) return;
  try {
    session_of(session)->WriteAudioExtraData(data, size);
  } catch (const std::bad_alloc&) {
    log_out_of_memory(u"WriteAudioExtraData");
  }
}

void WriteVideoExtraData(MxSession session, const uint8_t* data1, uint32_t size1,
                         const uint8_t* data2, uint32_t size2) {
  if (!session) return;
  try {
    session_of(session)->WriteVideoExtraData(data1, size1, data2, size2);
  } catch (const std::bad_alloc&) {
    log_out_of_memory(u"WriteVideoExtraData");
  }
}
