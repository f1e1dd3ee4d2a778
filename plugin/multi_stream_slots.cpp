// The multi-stream slots: a registry of separately described streams, merged
// at initialisation into one EncParam for the matching single-stream entry,
// whose slots then receive every frame, configuration and the close.
#include "plugin/multi_stream_slots.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "mx_mp4/host.h"
#include "platform/host_text.h"
#include "platform/platform.h"
#include "platform/wformat.h"
#include "plugin/slots.h"
#include "xqlog/xq_log.h"

namespace {

constexpr char16_t kTag[] = u"mp4";

constexpr uint32_t kVideo = MX_STREAM_VIDEO;
constexpr uint32_t kAudio = MX_STREAM_AUDIO;
constexpr uint32_t kSubpicInternal = MX_STREAM_SUBPIC_INTERNAL;
constexpr uint32_t kSubpicExternal = MX_STREAM_SUBPIC_EXTERNAL;
constexpr uint32_t kTimecode = MX_STREAM_TIMECODE;

struct MultiStreamSession {
  std::vector<StreamInfo> streams;  // in the order of registration
  FormatDescriptor* format = nullptr;
  MxSession writer = nullptr;
};

SingleStreamLookupFn g_lookup = find_single_stream_format;

MultiStreamSession* from_handle(MxSession session) {
  return static_cast<MultiStreamSession*>(session);
}

const char16_t* stream_type_name(uint32_t type) {
  switch (type) {
    case kVideo:
      return u"VIDEO";
    case kAudio:
      return u"AUDIO";
    case kSubpicInternal:
      return u"SUBPIC_Internal";
    case kSubpicExternal:
      return u"SUBPIC_External";
    default:
      return nullptr;
  }
}

// A fourcc as four characters, lowest byte first, each a signed character.
struct FourccText {
  char16_t text[5];
};
FourccText fourcc_text(uint32_t fourcc) {
  FourccText out;
  format_utf16(out.text, 5, u"%c%c%c%c", static_cast<signed char>(fourcc & 0xFF),
               static_cast<signed char>((fourcc >> 8) & 0xFF),
               static_cast<signed char>((fourcc >> 16) & 0xFF),
               static_cast<signed char>(fourcc >> 24));
  return out;
}

// A language field of a host block, read no further than the field and
// terminated; "und" when empty.
template <size_t N>
struct LanguageText {
  char16_t text[N + 1];
  explicit LanguageText(const MxChar (&field)[N]) {
    size_t length = wide_length(as_utf16(field), N);
    if (length == 0) {
      std::memcpy(text, u"und", sizeof u"und");
      return;
    }
    std::memcpy(text, field, length * sizeof(char16_t));
    text[length] = 0;
  }
};

void log_stream(uint32_t type, uint32_t program_id, uint32_t in_index, uint32_t out_index,
                const EncParam& p) {
  const char16_t* name = stream_type_name(type);
  if (name == nullptr) return;
  XQ_LogFormat(
      u"mx_%ls:AddStreamInfoMultiStream::streamtype = %ls,programid=%d ,InStreamindex =%d "
      u",OutStreamIndex=%d \n",
      kTag, name, program_id, in_index, out_index);
  if (type == kVideo) {
    XQ_LogFormat(
        u"mx_%ls:AddStreamInfoMultiStream::streamfourcc= [%ls],width=%d ,height =%d "
        u",framerate=%0.6f,bitrate=%d \n",
        kTag, fourcc_text(p.video.fourcc).text, p.video.width, p.video.height, p.video.frame_rate,
        p.video.bit_rate);
  } else if (type == kAudio) {
    XQ_LogFormat(
        u"mx_%ls:AddStreamInfoMultiStream::streamfourcc= [%ls], channel=%d ,samplerate =%d "
        u",bitrate=%d ,language=%ls \n",
        kTag, fourcc_text(p.audio.fourcc).text, p.audio.channels, p.audio.sample_rate,
        p.audio.bit_rate, LanguageText(p.audio.language).text);
  } else {
    XQ_LogFormat(u"mx_%ls:AddStreamInfoMultiStream::streamfourcc = [%ls] , language=%ls \n", kTag,
                 fourcc_text(p.subpicture.fourcc).text, LanguageText(p.subpicture.language).text);
  }
}

// The six QuickTime key texts lie back to back in the metadata block.
constexpr size_t kKeyTextsOffset = offsetof(MxMovieMetadata, location_accuracy);
constexpr size_t kKeyTextsSize =
    offsetof(MxMovieMetadata, software) + sizeof(MxMovieMetadata::software) - kKeyTextsOffset;
static_assert(kKeyTextsSize == 6 * 1000, "six texts of 500 units");

// Builds the EncParam and WriterOptions of the file from the registered
// streams. A later stream of a type overwrites an earlier one; the metadata
// comes from the last audio stream, else from the first video stream, and the
// first video stream always supplies the Live Photo still and the key texts.
void merge_streams(const std::vector<StreamInfo>& streams, EncParam& params,
                   WriterOptions& options) {
  params.no_video = params.no_audio = params.no_subpicture = params.no_timecode = 1;
  const MxMovieMetadata* first_video_metadata = nullptr;
  bool audio_seen = false;
  for (const StreamInfo& info : streams) {
    const EncParam& p = info.params;
    switch (info.stream_type) {
      case kVideo:
        params.video = p.video;
        params.no_video = p.no_video;
        options.display_width = static_cast<int32_t>(p.video.display_width);
        options.display_height = static_cast<int32_t>(p.video.display_height);
        // Set by any stream with a display size; a later one without never clears it.
        if (options.display_width > 0 && options.display_height > 0) options.flags = 1;
        if (first_video_metadata == nullptr) first_video_metadata = &p.metadata;
        break;
      case kAudio:
        params.audio = p.audio;
        params.no_audio = p.no_audio;
        params.metadata = p.metadata;
        audio_seen = true;
        break;
      case kSubpicExternal:
        params.subpicture = p.subpicture;
        params.no_subpicture = p.no_subpicture;
        break;
      case kTimecode:
        std::memcpy(params.timecode, p.timecode, sizeof params.timecode);
        params.no_timecode = p.no_timecode;
        break;
      default:  // internal subpictures and unknown types make no track
        break;
    }
  }
  if (first_video_metadata == nullptr) return;
  if (!audio_seen) params.metadata = *first_video_metadata;
  if (first_video_metadata->live_photo != 0) {
    params.metadata.cover_art = first_video_metadata->cover_art;
    params.metadata.live_photo = first_video_metadata->live_photo;
  }
  std::memcpy(reinterpret_cast<uint8_t*>(&params.metadata) + kKeyTextsOffset,
              reinterpret_cast<const uint8_t*>(first_video_metadata) + kKeyTextsOffset,
              kKeyTextsSize);
}

bool open_writer(MultiStreamSession& s, uint32_t file_fourcc, const MxChar* file_name) {
  const SingleStreamSlots& slots = s.format->slots.single;
  if (slots.CreateMediaFile == nullptr) return false;
  // Value-initialised: every unread byte is zero. Too big for a host thread's stack.
  std::unique_ptr<EncParam> params(new (std::nothrow) EncParam{});
  if (params == nullptr) return false;
  WriterOptions options{};
  merge_streams(s.streams, *params, options);
  params->file_fourcc = file_fourcc;
  // Options and create are one step: a session set up on another thread at
  // the same time must not put its options between them.
  auto options_held = hold_writer_options();
  // The host's choice of resilient writing holds for these files too.
  options.flags |= module_writer_options().flags & MX_WRITE_RESILIENT;
  if (slots.SetWriterOptions != nullptr) slots.SetWriterOptions(&options);
  s.writer = slots.CreateMediaFile(file_name, params.get());
  return s.writer != nullptr;
}

// One length-prefixed part of a configuration blob.
struct BlobPart {
  const uint8_t* data = nullptr;
  uint32_t size = 0;
};

uint32_t read_le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Reads the part whose u32 length stands at offset in a blob of total bytes.
// A length that reaches past the end makes the part absent: its bytes are
// not ours to read.
BlobPart read_blob_part(const uint8_t* blob, uint64_t total, uint64_t offset, bool& overrun) {
  uint32_t length = read_le32(blob + offset);
  if (length > total - offset - 4) {
    overrun = true;
    return {};
  }
  return {blob + offset + 4, length};
}

}  // namespace

void set_single_stream_lookup(SingleStreamLookupFn lookup) {
  g_lookup = lookup != nullptr ? lookup : find_single_stream_format;
}

MxSession CreateMediaFileMultiStream() {
  XQ_LogFormat(u"mx_%ls: CreateMediaFileMultiStream \n", kTag);
  auto* s = new (std::nothrow) MultiStreamSession();
  if (s == nullptr) return nullptr;
  s->format = GetFileFormats();
  return s;
}

uint32_t AddStreamInfoMultiStream(MxSession session, int32_t stream_type, uint32_t program_id,
                                  uint32_t in_stream_index, uint32_t out_stream_index,
                                  const EncParam* record) {
  MultiStreamSession* s = from_handle(session);
  if (s == nullptr) return 1;
  if (record == nullptr) {
    XQ_LogFormat(u"mx_%ls:AddStreamInfoMultiStream::no stream record, stream not added \n", kTag);
    return 0;
  }
  const auto type = static_cast<uint32_t>(stream_type);
  log_stream(type, program_id, in_stream_index, out_stream_index, *record);
  try {
    s->streams.emplace_back();
  } catch (const std::bad_alloc&) {
    XQ_LogFormat(u"mx_%ls:AddStreamInfoMultiStream::out of memory, stream not added \n", kTag);
    return 0;
  }
  StreamInfo& info = s->streams.back();
  std::memcpy(&info.params, record, sizeof info.params);
  info.stream_type = type;
  info.program_id = program_id;
  info.in_stream_index = in_stream_index;
  info.out_stream_index = out_stream_index;
  return 1;
}

uint32_t InitMediaFileMultiStream(MxSession session, uint32_t file_fourcc,
                                  const MxChar* file_name) {
  MultiStreamSession* s = from_handle(session);
  if (s == nullptr) return 0;
  uint32_t result = 0;
  // A second initialisation would orphan the open file: it is refused.
  if (s->writer == nullptr) {
    XQ_LogFormat(u"mx_mp4.dll: Return file formats...");
    s->format = g_lookup(file_fourcc);
    if (s->format != nullptr && !s->streams.empty() && open_writer(*s, file_fourcc, file_name)) {
      result = 1;
    }
  }
  FourccText fourcc = fourcc_text(file_fourcc);
  if (result != 0) {
    XQ_LogFormat(u"mx_%ls: InitMediaFileMultiStream Success,file fourcc =[%ls] ,filename =[%ls]",
                 kTag, fourcc.text, file_name);
  } else {
    XQ_LogFormat(u"mx_%ls: InitMediaFileMultiStream Failed,file fourcc =[%ls] ,filename =[%ls]",
                 kTag, fourcc.text, file_name);
  }
  return result;
}

uint32_t WriteFrameMultiStream(MxSession session, uint32_t out_stream_index, const void* frame,
                               const int32_t* frame_info) {
  MultiStreamSession* s = from_handle(session);
  if (s == nullptr || frame == nullptr || s->format == nullptr) return 0;
  const SingleStreamSlots& slots = s->format->slots.single;
  for (const StreamInfo& info : s->streams) {
    if (info.out_stream_index != out_stream_index) continue;
    if (info.stream_type == kAudio && slots.WriteAudioFrame != nullptr) {
      return slots.WriteAudioFrame(s->writer, static_cast<const MxAudioFrame*>(frame), frame_info);
    }
    // Timecode samples travel through the video slot, told apart by their frame type.
    if ((info.stream_type == kVideo || info.stream_type == kTimecode) &&
        slots.WriteVideoFrame != nullptr) {
      return slots.WriteVideoFrame(s->writer, static_cast<const MxVideoFrame*>(frame));
    }
  }
  return 0;
}

void WriteExtraDataMultiStream(MxSession session, uint32_t out_stream_index, const uint8_t* blob,
                               int32_t size) {
  XQ_LogFormat(u"mx_%ls: WriteExtraDataMultiStream,streamidx =[%d] \n", kTag, out_stream_index);
  MultiStreamSession* s = from_handle(session);
  if (s == nullptr || s->format == nullptr) return;
  const SingleStreamSlots& slots = s->format->slots.single;
  // Blob: u32 len1, len1 bytes, and for video optionally u32 len2, len2 bytes.
  const uint64_t total = blob != nullptr && size > 4 ? static_cast<uint64_t>(size) : 0;
  bool overrun = false;
  for (const StreamInfo& info : s->streams) {
    if (info.out_stream_index != out_stream_index) continue;
    if (info.stream_type == kAudio && slots.WriteAudioExtraData != nullptr) {
      BlobPart first = total != 0 ? read_blob_part(blob, total, 0, overrun) : BlobPart{};
      if (overrun) {
        XQ_LogFormat(u"mx_%ls: WriteExtraDataMultiStream,length beyond the %d-byte blob ignored \n",
                     kTag, size);
      }
      slots.WriteAudioExtraData(s->writer, first.data, first.size);
      return;
    }
    if (info.stream_type == kVideo && slots.WriteVideoExtraData != nullptr) {
      BlobPart first = total != 0 ? read_blob_part(blob, total, 0, overrun) : BlobPart{};
      BlobPart second;
      if (!overrun && total > uint64_t{first.size} + 8) {
        second = read_blob_part(blob, total, uint64_t{first.size} + 4, overrun);
      }
      if (overrun) {
        XQ_LogFormat(u"mx_%ls: WriteExtraDataMultiStream,length beyond the %d-byte blob ignored \n",
                     kTag, size);
      }
      // The second part becomes the writer's first configuration, and the reverse.
      slots.WriteVideoExtraData(s->writer, second.data, second.size, first.data, first.size);
      return;
    }
  }
}

void CloseMediaFileMultiStream(MxSession session) {
  MultiStreamSession* s = from_handle(session);
  if (s != nullptr) {
    // Also called without a writer: the single-stream close then only logs.
    if (s->format != nullptr && s->format->slots.single.CloseMediaFile != nullptr) {
      s->format->slots.single.CloseMediaFile(s->writer);
    }
    delete s;
  }
  XQ_LogFormat(u"mx_%ls: CloseMediaFileMultiStream \n", kTag);
}
