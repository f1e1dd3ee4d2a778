// The single-stream slots: thin checks around one CMp4Writer session.
//
// No exception leaves a slot: an allocation failure inside a session step
// becomes the slot's failure result.
#include <cstdint>
#include <cstring>
#include <new>

#include "platform/host_text.h"
#include "plugin/slots.h"
#include "plugin/trace.h"
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

// Sessions may be created on several threads at once: each takes its own copy
// of the options under the lock and never touches the record while it works.
std::recursive_mutex g_options_lock;
WriterOptions g_options{};

bool asks_for_stored_size_and_has_none(const WriterOptions& o) {
  return (o.flags & 1) != 0 && !(o.display_width > 0 && o.display_height > 0);
}

// A session whose options asked for the stored display size while none was
// stored has filled in its video's size; the module keeps it for later files,
// unless another session or SetWriterOptions stored a size in the meantime.
void keep_filled_display_size(const WriterOptions& taken, const WriterOptions& filled) {
  if (!asks_for_stored_size_and_has_none(taken) || asks_for_stored_size_and_has_none(filled))
    return;
  std::lock_guard<std::recursive_mutex> lock(g_options_lock);
  if (!asks_for_stored_size_and_has_none(g_options)) return;
  g_options.display_width = filled.display_width;
  g_options.display_height = filled.display_height;
}

}  // namespace

WriterOptions module_writer_options() {
  std::lock_guard<std::recursive_mutex> lock(g_options_lock);
  return g_options;
}

std::unique_lock<std::recursive_mutex> hold_writer_options() {
  return std::unique_lock<std::recursive_mutex>(g_options_lock);
}

uint32_t SetWriterOptions(const WriterOptions* options) {
  std::lock_guard<std::recursive_mutex> lock(g_options_lock);
  std::memset(&g_options, 0, sizeof g_options);
  if (options) std::memcpy(&g_options, options, sizeof g_options);
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

  const SessionSettings settings{module_writer_options(), Trace};
  CMp4Writer* writer = nullptr;
  try {
    writer = new CMp4Writer(settings);
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
  keep_filled_display_size(settings.options, writer->writer_options());
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
