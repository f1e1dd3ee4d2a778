// libFuzzer target: whole writer sessions driven through the slot functions of
// the exported format tables, as a host would call them, from a script of
// operations in the fuzzed bytes.
//
// The script fills an EncParam field by field (file code, codecs, sizes,
// rates, texts, pictures), sets the module's writer options, creates and
// closes single-stream sessions, registers streams of multi-stream sessions
// with their blobs, and hands over configuration bytes and frames with their
// records and time stamps. Two sessions can be open at once; an operation on
// a slot that holds no session reaches the plug-in with a null handle. The
// driver keeps the host's side of the contract (every record and buffer it
// passes is as long as it says, a multi-stream frame comes in the record of
// its stream's type, a closed session is never used again, every session is
// closed by the end of the input); everything else is the fuzzer's choice.
//
// Besides the sanitizers' checks, every file whose session was created and
// closed is read back: its boxes must tile the file and each parent (inside an
// ALAC entry, which holds the host's bytes as given, excepted), and every
// track's sample tables must expand consistently into samples that lie inside
// the media data. A file written as fragments (resilient writing) is also
// read just before its close: its shown fragments must expand into samples
// inside their media data, and nothing but padding or open media data may be
// left unfinished at its end. Files go to a private folder under /dev/shm (TMPDIR when
// /dev/shm is missing) and are removed after each input. At exit the target
// prints its counts of slot calls, inputs and files checked.
//
// Script format: a sequence of operations, each an opcode byte followed by its
// operands (little-endian integers); reads past the end give zeros. See Op.
// MX_SESSION_FUZZ_KEEP=DIR keeps every closed file in DIR, named after the
// input's position in the run (for comparing outputs of two builds).
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "mx_mp4/host.h"
#include "support/box_reader.h"
#include "support/fragment_samples.h"
#include "support/track_samples.h"
#include "xqlog/xq_log.h"

namespace {

// ------------------------------------------------------------ script reader

class Script {
 public:
  Script(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  bool done() const { return p_ >= end_; }
  uint8_t u8() { return done() ? 0 : *p_++; }
  uint16_t u16() { return static_cast<uint16_t>(u8() | u8() << 8); }
  uint32_t u32() { return u16() | static_cast<uint32_t>(u16()) << 16; }
  uint64_t u64() { return u32() | static_cast<uint64_t>(u32()) << 32; }
  // Up to n bytes, fewer when the script ends.
  std::vector<uint8_t> bytes(size_t n) {
    n = std::min<size_t>(n, end_ - p_);
    std::vector<uint8_t> out(p_, p_ + n);
    p_ += n;
    return out;
  }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

// ------------------------------------------------------------ record fields

constexpr uint32_t fcc(const char (&c)[5]) {
  return MX_FOURCC(c[0], c[1], c[2], c[3]);
}

// Numeric fields of EncParam the script can set, by offset and width.
struct Field {
  size_t offset;
  size_t width;
};
#define MX_FIELD(member) \
  { offsetof(EncParam, member), sizeof(EncParam::member) }
constexpr Field kFields[] = {
    MX_FIELD(video.fourcc),
    MX_FIELD(video.width),
    MX_FIELD(video.height),
    MX_FIELD(video.frame_rate),
    MX_FIELD(video.bit_rate),
    MX_FIELD(video.ext_flags),
    MX_FIELD(video.spherical_aux),
    MX_FIELD(video.field_of_view),
    MX_FIELD(video.stereo_mode),
    MX_FIELD(video.projection),
    MX_FIELD(video.dolby_vision),
    MX_FIELD(video.display_width),
    MX_FIELD(video.display_height),
    MX_FIELD(video.timestamp_durations),
    MX_FIELD(audio.fourcc),
    MX_FIELD(audio.sample_rate),
    MX_FIELD(audio.channels),
    MX_FIELD(audio.bit_rate),
    MX_FIELD(audio.bits_per_sample),
    MX_FIELD(subpicture.fourcc),
    {offsetof(EncParam, timecode), 4},  // the word that asks for a timecode track
    MX_FIELD(no_video),
    MX_FIELD(no_audio),
    MX_FIELD(no_subpicture),
    MX_FIELD(no_timecode),
    MX_FIELD(file_fourcc),
    MX_FIELD(metadata.media_kind),
    MX_FIELD(metadata.season),
    MX_FIELD(metadata.episode),
    MX_FIELD(metadata.rating),
    MX_FIELD(metadata.hd_video),
    MX_FIELD(metadata.live_photo),
};

// Text fields (UTF-16 arrays) of EncParam.
constexpr Field kTexts[] = {
    MX_FIELD(audio.language),
    MX_FIELD(subpicture.language),
    MX_FIELD(metadata.artist),
    MX_FIELD(metadata.title),
    MX_FIELD(metadata.album),
    MX_FIELD(metadata.genre),
    MX_FIELD(metadata.alt_title),
    MX_FIELD(metadata.date),
    MX_FIELD(metadata.cast),
    MX_FIELD(metadata.directors),
    MX_FIELD(metadata.producers),
    MX_FIELD(metadata.screenwriters),
    MX_FIELD(metadata.description),
    MX_FIELD(metadata.long_description),
    MX_FIELD(metadata.comment),
    MX_FIELD(metadata.tv_network),
    MX_FIELD(metadata.location_accuracy),
    MX_FIELD(metadata.location_iso6709),
    MX_FIELD(metadata.creation_date),
    MX_FIELD(metadata.make),
    MX_FIELD(metadata.model),
    MX_FIELD(metadata.software),
};
#undef MX_FIELD

// The code fields, and every code the catalogue and the session know, so that
// the fuzzer reaches each codec without guessing four characters.
constexpr size_t kCodeFields[] = {offsetof(EncParam, video.fourcc),
                                  offsetof(EncParam, audio.fourcc), offsetof(EncParam, file_fourcc),
                                  offsetof(EncParam, subpicture.fourcc)};
constexpr uint32_t kCodes[] = {
    // containers
    fcc("KMP4"), fcc("3GP "), fcc("3GP2"), fcc("KDDI"), fcc("3GPH"), fcc("MP4 "), fcc("NF4V"),
    fcc("NMP4"), fcc("M4A "), fcc("M4B "), fcc("M4V "), fcc("MOV "), fcc("AVC "), fcc("xVid"),
    fcc("PS3 "), fcc("PSP "), fcc("IPOD"), fcc("MPS3"), fcc("APTV"), fcc("MMP4"), fcc("F4V "),
    fcc("IPON"), fcc("IPAN"),
    // audio
    fcc("AAC "), fcc("MAAC"), fcc("WAAC"), fcc("KAAC"), fcc("EAAC"), fcc("AC3 "), fcc("ALAC"),
    fcc("AMRN"), fcc("flac"), fcc("PCM "),
    // video
    fcc("H264"), fcc("A264"), fcc("VT64"), fcc("AAVC"), fcc("HEVC"), fcc("V265"), fcc("AV1 "),
    fcc("AVHD"), fcc("CFHD"), fcc("FFV1"), fcc("H263"), fcc("MP4V"), fcc("Xvid"), fcc("IPON"),
    fcc("PAVC"), fcc("PS3H"), fcc("IXBX"), fcc("K265"),
    // none
    0};

// ------------------------------------------------------------ operations

enum Op : uint8_t {
  kSetField,     // u8 field, value of the field's width
  kSetCode,      // u8 code field, u8 code
  kSetText,      // u8 text, u16 units, the units (a terminator follows when it fits)
  kSetPicture,   // u8 form (0 none, 1 bytes, 2 no bytes), u32 kind, u16 size, bytes
  kSetOptions,   // u8 form (0 null record), 24 bytes
  kClearRecord,  // the record back to zeros
  kCreate,       // u8 session, u8 format, path
  kAudioExtra,   // u8 session, buffer
  kVideoExtra,   // u8 session, buffer, buffer
  kVideoFrame,   // u8 session, video frame
  kAudioFrame,   // u8 session, audio frame
  kClose,        // u8 session
  kMultiCreate,  // u8 session
  kMultiAdd,     // u8 session, u8 stream type, u8 program, u8 in, u8 out, u8 null record
  kMultiInit,    // u8 session, u8 format, path
  kMultiFrame,   // u8 session, u8 out, the frame (video or audio, by the stream's type)
  kMultiExtra,   // u8 session, u8 out, u8 declared size form, buffer
  kMultiClose,   // u8 session
  kLogging,      // u8 on (bit 0): messages are formatted and written to /dev/null
  kRepeat,       // u8 count: the last frame again, count times, 40 ms later each time
  kOpCount
};

// Buffer operand: u8 form (bit 0: null pointer), u16 size, the bytes. A null
// pointer keeps the size: hosts pass (null, n) too.
struct Buffer {
  std::vector<uint8_t> bytes;
  bool null = false;
  uint32_t size() const { return static_cast<uint32_t>(bytes.size()); }
  const uint8_t* data() const { return null ? nullptr : bytes.data(); }
};
Buffer read_buffer(Script& s) {
  Buffer b;
  b.null = s.u8() & 1;
  b.bytes = s.bytes(s.u16());
  return b;
}

// Time stamps: u8 form; 0 the next nominal step, 1 two raw values, 2 signed
// steps from the last decoding time, 3 the last values again.
struct Clock {
  int64_t dts = 0;
  int64_t pts = 0;
  void next(Script& s) {
    switch (s.u8() & 3) {
      case 0:
        dts = static_cast<int64_t>(static_cast<uint64_t>(dts) + 400000);
        pts = dts;
        break;
      case 1:
        dts = static_cast<int64_t>(s.u64());
        pts = static_cast<int64_t>(s.u64());
        break;
      case 2: {
        auto step = static_cast<int32_t>(s.u32());
        auto reorder = static_cast<int32_t>(s.u32());
        dts = static_cast<int64_t>(static_cast<uint64_t>(dts) + static_cast<uint64_t>(step));
        pts = static_cast<int64_t>(static_cast<uint64_t>(dts) + static_cast<uint64_t>(reorder));
        break;
      }
      default:
        break;
    }
  }
};

// A video frame and the bytes it points to, alive until the call returns.
// u8 form: bit 0 timecode frame, bit 1 null data; u8 picture flag, time
// stamps, u32 frame duration, u16 size, bytes.
struct VideoFrame {
  MxVideoFrame record{};
  std::vector<uint8_t> bytes;
};
std::unique_ptr<VideoFrame> read_video_frame(Script& s, Clock& clock) {
  auto f = std::make_unique<VideoFrame>();
  const uint8_t form = s.u8();
  f->record.picture_flag = s.u8();
  clock.next(s);
  f->record.dts = clock.dts;
  f->record.pts = clock.pts;
  f->record.frame_duration = static_cast<int32_t>(s.u32());
  f->bytes = s.bytes(s.u16());
  if (form & 1) {
    f->record.frame_type = MX_FRAME_TYPE_TIMECODE;
    f->record.tc_data = (form & 2) ? nullptr : f->bytes.data();
    f->record.tc_size = static_cast<uint32_t>(f->bytes.size());
  } else {
    f->record.data = (form & 2) ? nullptr : f->bytes.data();
    f->record.size = static_cast<uint32_t>(f->bytes.size());
  }
  return f;
}

// An audio frame, its bytes and its frame list. u8 channels, u8 form, time
// stamps, u16 size, bytes, then by form (bits 0-1): 0 no list; 1 a list that
// splits the bytes into u8 count frames; 2 u8 n raw i32 values; 3 a dual-audio
// packet ([u32 a][a bytes][u32 b][b bytes] from the bytes) with a matching
// list of u8 + u8 frames. Form bit 2: null data; bit 3: a negative size.
// The list is always long enough for every size its count announces.
struct AudioFrame {
  MxAudioFrame record{};
  std::vector<uint8_t> bytes;
  std::vector<int32_t> info;
  const int32_t* info_pointer() const { return info.empty() ? nullptr : info.data(); }
};

// {count, sizes} splitting total bytes into count frames (the last takes the rest).
void append_split(std::vector<int32_t>& info, int32_t count, size_t total) {
  info.push_back(count);
  if (count <= 0) return;
  const size_t each = total / static_cast<size_t>(count);
  for (int32_t i = 0; i < count; ++i) {
    size_t size = i + 1 < count ? each : total - each * static_cast<size_t>(count - 1);
    info.push_back(static_cast<int32_t>(size));
  }
}

void append_le32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

std::unique_ptr<AudioFrame> read_audio_frame(Script& s, Clock& clock) {
  auto f = std::make_unique<AudioFrame>();
  f->record.channels = s.u8();
  const uint8_t form = s.u8();
  clock.next(s);
  f->record.dts = clock.dts;
  f->record.pts = clock.pts;
  f->bytes = s.bytes(s.u16());
  switch (form & 3) {
    case 0:
      break;
    case 1:
      append_split(f->info, s.u8(), f->bytes.size());
      break;
    case 2: {
      uint8_t n = s.u8();
      for (uint8_t i = 0; i < n; ++i) f->info.push_back(static_cast<int32_t>(s.u32()));
      break;
    }
    case 3: {
      const size_t a = f->bytes.size() / 2;
      const size_t b = f->bytes.size() - a;
      std::vector<uint8_t> packet;
      append_le32(packet, static_cast<uint32_t>(a));
      packet.insert(packet.end(), f->bytes.begin(), f->bytes.begin() + a);
      append_le32(packet, static_cast<uint32_t>(b));
      packet.insert(packet.end(), f->bytes.begin() + a, f->bytes.end());
      f->bytes = std::move(packet);
      const uint8_t aac_frames = s.u8();
      const uint8_t ac3_frames = s.u8();
      f->info.push_back(std::max(aac_frames, ac3_frames));
      append_split(f->info, aac_frames, a);
      append_split(f->info, ac3_frames, b);
      break;
    }
  }
  // Room behind the list for every size a count in it could announce: a
  // count is checked against the bytes before its sizes are read.
  if (!f->info.empty()) f->info.resize(f->info.size() + f->bytes.size() + 2, 0);
  f->record.data = (form & 4) ? nullptr : f->bytes.data();
  f->record.size = (form & 8) ? -static_cast<int32_t>(f->bytes.size()) - 1
                              : static_cast<int32_t>(f->bytes.size());
  return f;
}

// The last frame handed over, kept so that kRepeat can hand it over again, as
// a host writing a long stream of like frames does.
struct LastFrame {
  size_t session = 0;
  bool multi = false;
  uint8_t out = 0;
  std::unique_ptr<VideoFrame> video;
  std::unique_ptr<AudioFrame> audio;
  std::vector<uint8_t> original;  // the bytes as given: Annex-B frames are rewritten in place

  void keep(size_t session_index, bool multi_path, uint8_t out_index, std::unique_ptr<VideoFrame> v,
            std::unique_ptr<AudioFrame> a) {
    session = session_index;
    multi = multi_path;
    out = out_index;
    video = std::move(v);
    audio = std::move(a);
    original = video ? video->bytes : audio->bytes;
  }
  bool empty() const { return !video && !audio; }
  // The next frame of the stream: the original bytes, 40 ms later.
  void advance() {
    std::vector<uint8_t>& bytes = video ? video->bytes : audio->bytes;
    std::copy(original.begin(), original.end(), bytes.begin());
    auto later = [](int64_t& t) { t = static_cast<int64_t>(static_cast<uint64_t>(t) + 400000); };
    if (video) {
      later(video->record.dts);
      later(video->record.pts);
    } else {
      later(audio->record.dts);
      later(audio->record.pts);
    }
  }
};

// ------------------------------------------------------------ the host side

// Slot calls made, reported when the process ends.
uint64_t g_slot_calls = 0;
uint64_t g_inputs = 0;

uint64_t g_files_checked = 0;

template <typename Fn, typename... Args>
auto slot(Fn fn, Args... args) {
  ++g_slot_calls;
  return fn(args...);
}

const FormatDescriptor* single_formats() {
  static const FormatDescriptor* table = GetFileFormats();
  return table;
}
const FormatDescriptor* multi_formats() {
  static const FormatDescriptor* table = GetFileMultiStreamFormats();
  return table;
}

size_t table_size(const FormatDescriptor* table) {
  size_t n = 0;
  while (table[n].fourcc != 0) ++n;
  return n;
}

const FormatDescriptor* find_entry(const FormatDescriptor* table, uint32_t fourcc) {
  for (const FormatDescriptor* f = table; f->fourcc != 0; ++f) {
    if (f->fourcc == fourcc) return f;
  }
  return nullptr;
}

// The entry a host picks for a file code; the first entry when none matches
// (its slots point to the same functions).
const FormatDescriptor& entry_for(const FormatDescriptor* table, uint32_t fourcc) {
  const FormatDescriptor* f = find_entry(table, fourcc);
  return f != nullptr ? *f : table[0];
}

// A file code: u8 index into the table, or the record's own code past its end.
uint32_t read_format(Script& s, const FormatDescriptor* table, const EncParam& params) {
  uint8_t index = s.u8();
  return index < table_size(table) ? table[index].fourcc : params.file_fourcc;
}

// Reads a closed session's file back (below); aborts when it is malformed.
void check_and_keep(const std::string& path);
void check_open_files(const std::string& folder);

using HostText = std::basic_string<MxChar>;

struct Stream {
  uint32_t type;
  uint32_t out;
};

struct Session {
  MxSession handle = nullptr;
  bool multi = false;
  bool file_open = false;  // created (single) or initialised (multi)
  bool resilient = false;  // created while the options asked for resilient writing
  const FormatDescriptor* format = nullptr;
  std::string folder;
  // Multi-stream: the registered streams and the single-stream entry whose
  // slots receive the frames (the first entry until initialisation looks one
  // up; null when that lookup failed).
  std::vector<Stream> streams;
  const FormatDescriptor* frame_entry = nullptr;

  // A host passes each stream's frames in the record of its type: the record
  // the plug-in reads for this out index is a video record when the first
  // stream it routes to is a video or timecode stream.
  bool takes_video(uint32_t out) const {
    if (frame_entry == nullptr) return false;
    for (const Stream& stream : streams) {
      if (stream.out != out) continue;
      if (stream.type == MX_STREAM_AUDIO) return false;
      if ((stream.type == MX_STREAM_VIDEO || stream.type == MX_STREAM_TIMECODE) &&
          frame_entry->slots.single.WriteVideoFrame != nullptr)
        return true;
    }
    return false;
  }
};

// The slots an operation reaches: the session's own, or those of the first
// table entry with a null handle when the slot holds no session (a host
// mistake the plug-in must refuse). None for a session of the other path.
const SingleStreamSlots* single_slots(const Session& session) {
  if (session.handle == nullptr) return &single_formats()[0].slots.single;
  return session.multi ? nullptr : &session.format->slots.single;
}
const MultiStreamSlots* multi_slots(const Session& session) {
  if (session.handle == nullptr) return &multi_formats()[0].slots.multi;
  return session.multi ? &session.format->slots.multi : nullptr;
}

class Host {
 public:
  explicit Host(const std::string& root) : root_(root), params_(std::make_unique<EncParam>()) {
    for (size_t i = 0; i < kSessions; ++i) sessions_[i].folder = root + "/" + std::to_string(i);
  }
  ~Host() {
    for (Session& session : sessions_) close(session);
  }

  void run(Script& s);

 private:
  static constexpr size_t kSessions = 2;

  size_t session_index(Script& s) { return s.u8() % kSessions; }
  Session& session(Script& s) { return sessions_[session_index(s)]; }
  void deliver();
  HostText read_path(Script& s, const Session& session, bool& null_path);
  void close(Session& session);
  void set_picture(Script& s);
  void create(Script& s, Session& session);
  void multi_init(Script& s, Session& session);

  std::string root_;
  std::unique_ptr<EncParam> params_;
  uint32_t option_flags_ = 0;  // of the module's writer options, as last set
  MxPicture picture_{};
  std::vector<uint8_t> picture_bytes_;
  Session sessions_[kSessions];
  Clock clock_;
  LastFrame last_;
};

// Hands the last frame to the slot of its session, as a host passes it: a
// multi-stream frame only in the record the plug-in reads for its stream.
void Host::deliver() {
  const Session& session = sessions_[last_.session];
  if (!last_.multi) {
    const SingleStreamSlots* slots = single_slots(session);
    if (!slots) return;
    if (last_.video && slots->WriteVideoFrame)
      slot(slots->WriteVideoFrame, session.handle, &last_.video->record);
    if (last_.audio)
      slot(slots->WriteAudioFrame, session.handle, &last_.audio->record,
           last_.audio->info_pointer());
    return;
  }
  const MultiStreamSlots* slots = multi_slots(session);
  const bool takes_video = session.multi && session.takes_video(last_.out);
  if (!slots || takes_video != (last_.video != nullptr)) return;
  if (last_.video)
    slot(slots->WriteFrameMultiStream, session.handle, last_.out, &last_.video->record, nullptr);
  else
    slot(slots->WriteFrameMultiStream, session.handle, last_.out, &last_.audio->record,
         last_.audio->info_pointer());
}

// u8 form: 0-3 fixed names, 4 a folder that does not exist, 5 null, else a
// name of u8 units (a '/' becomes '_'). Each session writes into its folder.
HostText Host::read_path(Script& s, const Session& session, bool& null_path) {
  static constexpr const char* kNames[] = {"movie.mp4", "movie.mov", "movie.jpg", "movie",
                                           "missing/movie.mp4"};
  HostText path(session.folder.begin(), session.folder.end());
  path += '/';
  const uint8_t form = s.u8();
  null_path = form == 5;
  if (form < 5) return path + HostText(kNames[form], kNames[form] + std::strlen(kNames[form]));
  for (uint8_t n = s.u8(); n > 0; --n) {
    const auto unit = static_cast<MxChar>(s.u16());
    path += unit == '/' ? MxChar('_') : unit;
  }
  return path;
}

void Host::set_picture(Script& s) {
  const uint8_t form = s.u8() % 3;
  picture_.picture_kind = s.u32();
  picture_bytes_ = s.bytes(s.u16());
  picture_.size = static_cast<uint32_t>(picture_bytes_.size());
  picture_.data = form == 1 ? picture_bytes_.data() : nullptr;
  params_->metadata.cover_art = form == 0 ? nullptr : &picture_;
}

void Host::create(Script& s, Session& session) {
  close(session);
  params_->file_fourcc = read_format(s, single_formats(), *params_);
  bool null_path = false;
  HostText path = read_path(s, session, null_path);
  session.format = &entry_for(single_formats(), params_->file_fourcc);
  session.handle = slot(session.format->slots.single.CreateMediaFile,
                        null_path ? nullptr : path.c_str(), params_.get());
  session.multi = false;
  session.file_open = session.handle != nullptr;
  session.resilient = (option_flags_ & MX_WRITE_RESILIENT) != 0;
}

void Host::multi_init(Script& s, Session& session) {
  const uint32_t fourcc = read_format(s, multi_formats(), *params_);
  bool null_path = false;
  HostText path = read_path(s, session, null_path);
  if (!session.handle) {
    slot(multi_formats()[0].slots.multi.InitMediaFileMultiStream, nullptr, fourcc,
         null_path ? nullptr : path.c_str());
    return;
  }
  if (!session.multi) return;
  if (session.file_open) {
    slot(session.format->slots.multi.InitMediaFileMultiStream, session.handle, fourcc,
         null_path ? nullptr : path.c_str());
    return;
  }
  session.frame_entry = find_entry(single_formats(), fourcc);
  session.resilient = (option_flags_ & MX_WRITE_RESILIENT) != 0;
  if (slot(session.format->slots.multi.InitMediaFileMultiStream, session.handle, fourcc,
           null_path ? nullptr : path.c_str()))
    session.file_open = true;
}

void Host::close(Session& session) {
  // A file written as fragments is read as it stands before it is closed.
  if (session.handle && session.file_open && session.resilient) check_open_files(session.folder);
  if (session.handle) {
    if (session.multi)
      slot(session.format->slots.multi.CloseMediaFileMultiStream, session.handle);
    else
      slot(session.format->slots.single.CloseMediaFile, session.handle);
  }
  // The folder holds the session's file, or what a failed creation left
  // behind: the file of a session that was created is checked (and kept when
  // asked), then everything goes.
  if (DIR* dir = opendir(session.folder.c_str())) {
    while (dirent* e = readdir(dir)) {
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      std::string path = session.folder + "/" + e->d_name;
      if (session.file_open) check_and_keep(path);
      unlink(path.c_str());
    }
    closedir(dir);
  }
  std::string folder = std::move(session.folder);
  session = Session{};
  session.folder = std::move(folder);
}

void Host::run(Script& s) {
  while (!s.done()) {
    const uint8_t op = s.u8() % kOpCount;
    switch (op) {
      case kSetField: {
        const Field& f = kFields[s.u8() % std::size(kFields)];
        std::vector<uint8_t> value = s.bytes(f.width);
        value.resize(f.width, 0);
        std::memcpy(reinterpret_cast<uint8_t*>(params_.get()) + f.offset, value.data(), f.width);
        break;
      }
      case kSetCode: {
        const size_t field = kCodeFields[s.u8() % std::size(kCodeFields)];
        const uint32_t code = kCodes[s.u8() % std::size(kCodes)];
        std::memcpy(reinterpret_cast<uint8_t*>(params_.get()) + field, &code, sizeof code);
        break;
      }
      case kSetText: {
        const Field& f = kTexts[s.u8() % std::size(kTexts)];
        auto* text =
            reinterpret_cast<MxChar*>(reinterpret_cast<uint8_t*>(params_.get()) + f.offset);
        const size_t capacity = f.width / sizeof(MxChar);
        const size_t units = std::min<size_t>(s.u16(), capacity);
        for (size_t i = 0; i < units; ++i) text[i] = s.u16();
        if (units < capacity) text[units] = 0;
        break;
      }
      case kSetPicture:
        set_picture(s);
        break;
      case kSetOptions: {
        const bool null_record = (s.u8() & 1) == 0;
        WriterOptions options{};
        std::vector<uint8_t> raw = s.bytes(sizeof options);
        raw.resize(sizeof options, 0);
        std::memcpy(&options, raw.data(), sizeof options);
        // The slot sits in the first entry of the single-stream table.
        slot(single_formats()[0].slots.single.SetWriterOptions, null_record ? nullptr : &options);
        option_flags_ = null_record ? 0 : options.flags;
        break;
      }
      case kClearRecord:
        std::memset(params_.get(), 0, sizeof(EncParam));
        break;
      case kCreate:
        create(s, session(s));
        break;
      case kAudioExtra: {
        Session& session = this->session(s);
        Buffer b = read_buffer(s);
        const SingleStreamSlots* slots = single_slots(session);
        if (slots && slots->WriteAudioExtraData)
          slot(slots->WriteAudioExtraData, session.handle, b.data(), b.size());
        break;
      }
      case kVideoExtra: {
        Session& session = this->session(s);
        Buffer first = read_buffer(s);
        Buffer second = read_buffer(s);
        const SingleStreamSlots* slots = single_slots(session);
        if (slots && slots->WriteVideoExtraData)
          slot(slots->WriteVideoExtraData, session.handle, first.data(), first.size(),
               second.data(), second.size());
        break;
      }
      case kVideoFrame: {
        const size_t index = session_index(s);
        last_.keep(index, false, 0, read_video_frame(s, clock_), nullptr);
        deliver();
        break;
      }
      case kAudioFrame: {
        const size_t index = session_index(s);
        last_.keep(index, false, 0, nullptr, read_audio_frame(s, clock_));
        deliver();
        break;
      }
      case kClose:
        close(session(s));
        break;
      case kMultiCreate: {
        Session& session = this->session(s);
        close(session);
        session.format = &multi_formats()[0];
        session.handle = slot(session.format->slots.multi.CreateMediaFileMultiStream);
        session.multi = true;
        session.frame_entry = &single_formats()[0];
        break;
      }
      case kMultiAdd: {
        Session& session = this->session(s);
        static constexpr int32_t kStreamTypes[] = {MX_STREAM_VIDEO, MX_STREAM_AUDIO,
                                                   MX_STREAM_SUBPIC_INTERNAL,
                                                   MX_STREAM_SUBPIC_EXTERNAL, MX_STREAM_TIMECODE};
        const uint8_t type = s.u8();
        const int32_t stream_type =
            type < std::size(kStreamTypes) ? kStreamTypes[type] : static_cast<int8_t>(type);
        const uint8_t program = s.u8();
        const uint8_t in = s.u8();
        const uint8_t out = s.u8();
        const bool null_record = s.u8() & 1;
        const MultiStreamSlots* slots = multi_slots(session);
        if (!slots) break;
        if (slot(slots->AddStreamInfoMultiStream, session.handle, stream_type, program, in, out,
                 null_record ? nullptr : params_.get()) != 0 &&
            session.handle && !null_record)
          session.streams.push_back({static_cast<uint32_t>(stream_type), out});
        break;
      }
      case kMultiInit:
        multi_init(s, session(s));
        break;
      case kMultiFrame: {
        const size_t index = session_index(s);
        const uint8_t out = s.u8();
        const Session& session = sessions_[index];
        if (session.multi && session.takes_video(out))
          last_.keep(index, true, out, read_video_frame(s, clock_), nullptr);
        else
          last_.keep(index, true, out, nullptr, read_audio_frame(s, clock_));
        deliver();
        break;
      }
      case kMultiExtra: {
        Session& session = this->session(s);
        const uint8_t out = s.u8();
        const uint8_t declared = s.u8() % 3;  // 0 the size, 1 fewer bytes, 2 negative
        Buffer b = read_buffer(s);
        const auto size = static_cast<int32_t>(b.size());
        const int32_t said = declared == 0 ? size : declared == 1 ? size / 2 : -size - 1;
        if (const MultiStreamSlots* slots = multi_slots(session))
          slot(slots->WriteExtraDataMultiStream, session.handle, out, b.data(), said);
        break;
      }
      case kMultiClose:
        close(session(s));
        break;
      case kLogging:
        XQ_SetLogSink((s.u8() & 1) ? XQ_LOG_FILE : XQ_LOG_NONE, "/dev/null");
        break;
      case kRepeat:
        for (uint8_t n = s.u8(); n > 0 && !last_.empty(); --n) {
          last_.advance();
          deliver();
        }
        break;
    }
  }
}

// ------------------------------------------------------------ the file check

[[noreturn]] void fail(const std::string& path, const std::string& why, const iso::Tree* tree) {
  std::fprintf(stderr, "session_fuzz: %s: %s\n", path.c_str(), why.c_str());
  if (tree) std::fprintf(stderr, "%s\n", tree->dump().c_str());
  std::abort();
}

// QuickTime may end a sample entry's list of boxes with a 32-bit zero (the
// DNxHD entry does).
bool quicktime_terminator(const iso::Box& box, const std::string& parent) {
  if (parent != "stsd" || box.trailing != 4 || !box.loaded) return false;
  return box.u32(box.payload_size() - 4) == 0;
}

void check_boxes(const std::string& path, const iso::Tree& tree, const iso::Box& box,
                 const std::string& parent) {
  // The ALAC entry holds the host's configuration bytes as they came (they
  // should be an alac atom); bytes that are none leave that entry malformed.
  if (parent == "stsd" && box.type == "alac") return;
  if (!box.error.empty()) fail(path, iso::type_name(box.type) + ": " + box.error, &tree);
  if (box.trailing != 0 && !quicktime_terminator(box, parent))
    fail(path, iso::type_name(box.type) + ": bytes after the last child", &tree);
  for (const iso::Box& child : box.children) check_boxes(path, tree, child, box.type);
}

// The payloads of a file's mdat boxes, in file order (a fragmented file has
// one per fragment), looked up by a binary search: a file can hold millions
// of samples, each checked against them.
class MediaData {
 public:
  explicit MediaData(const iso::Tree& tree) {
    for (const iso::Box& box : tree.boxes) {
      if (box.type == "mdat")
        payloads_.push_back({box.offset + box.header_size, box.offset + box.size});
    }
  }

  // Whether a sample lies inside one of the payloads.
  bool holds(uint64_t offset, uint64_t size) const {
    const auto after =
        std::upper_bound(payloads_.begin(), payloads_.end(), offset,
                         [](uint64_t at, const Payload& payload) { return at < payload.begin; });
    if (after == payloads_.begin()) return false;
    const Payload& payload = *std::prev(after);
    return offset <= payload.end && size <= payload.end - offset;
  }

 private:
  struct Payload {
    uint64_t begin, end;
  };
  std::vector<Payload> payloads_;
};

// The top-level boxes tile the file, ftyp first and one moov; each track's
// tables expand into samples inside an mdat payload.
void check_file(const std::string& path) {
  iso::Tree tree = iso::read_file(path);
  if (!tree.error.empty()) fail(path, tree.error, nullptr);
  if (tree.trailing != 0) fail(path, "bytes after the last box", &tree);
  for (const iso::Box& box : tree.boxes) check_boxes(path, tree, box, "");
  if (tree.boxes.empty() || tree.boxes[0].type != "ftyp") fail(path, "no ftyp first", &tree);
  if (tree.all("moov").size() != 1) fail(path, "not exactly one moov", &tree);
  if (tree.find("moof") != nullptr) fail(path, "a moof in a closed file", &tree);
  const iso::Box& moov = tree.at("moov");
  const MediaData media_data(tree);
  for (size_t i = 0; i < moov.count("trak"); ++i) {
    TrackSamples samples;
    try {
      samples = read_track_samples(*moov.child("trak", i));
    } catch (const std::exception& e) {
      fail(path, "track " + std::to_string(i) + ": " + e.what(), &tree);
    }
    for (const TrackSample& sample : samples.samples) {
      if (sample.size == 0) continue;
      if (!media_data.holds(sample.offset, sample.size))
        fail(path, "track " + std::to_string(i) + ": a sample outside mdat", &tree);
    }
  }
}

// A file written as fragments, before its close: what is on disk is ftyp, the
// head's room, then shown fragments (a moof and its mdat, after the first the
// movie head in front), and of the open fragment at most a room and an open
// mdat; the output buffer may have stopped anywhere in those last ones, so
// only the last box may run past the end, and only a free box or an mdat.
// Every shown fragment's samples lie inside the mdat that follows its moof.
void check_open_file(const std::string& path) {
  iso::Tree tree = iso::read_file(path);
  if (!tree.error.empty()) fail(path, tree.error, nullptr);
  if (tree.boxes.empty() || tree.boxes[0].type != "ftyp") return;  // not a movie (a still)
  for (size_t i = 0; i < tree.boxes.size(); ++i) {
    const iso::Box& box = tree.boxes[i];
    const bool last = i + 1 == tree.boxes.size();
    if (last && !box.error.empty() && (box.type == "free" || box.type == "mdat")) continue;
    check_boxes(path, tree, box, "");
  }
  if (tree.all("moov").size() > 1) fail(path, "more than one moov while writing", &tree);
  if (tree.find("moov") == nullptr) {
    if (tree.find("moof") != nullptr) fail(path, "a moof without a movie head", &tree);
    return;
  }
  if (tree.find("moov/mvex") == nullptr) fail(path, "a movie head without mvex", &tree);
  FragmentedFile fragments;
  try {
    fragments = read_fragments(tree);
  } catch (const std::exception& e) {
    fail(path, std::string("fragments: ") + e.what(), &tree);
  }
  const MediaData media_data(tree);
  for (const auto& [id, track] : fragments.tracks) {
    for (const TrackSample& sample : track.samples) {
      if (sample.size == 0) continue;
      if (!media_data.holds(sample.offset, sample.size))
        fail(path, "track " + std::to_string(id) + ": a shown sample outside mdat", &tree);
    }
  }
}

void copy_file(const std::string& from, const std::string& to) {
  std::vector<uint8_t> bytes;
  if (FILE* in = std::fopen(from.c_str(), "rb")) {
    uint8_t chunk[65536];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, in)) > 0;)
      bytes.insert(bytes.end(), chunk, chunk + n);
    std::fclose(in);
  }
  if (FILE* out = std::fopen(to.c_str(), "wb")) {
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fclose(out);
  }
}

std::string keep_folder() {
  const char* keep = std::getenv("MX_SESSION_FUZZ_KEEP");
  return keep != nullptr ? keep : "";
}

void check_open_files(const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return;
  while (dirent* e = readdir(dir)) {
    const std::string path = folder + "/" + e->d_name;
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) check_open_file(path);
  }
  closedir(dir);
}

void check_and_keep(const std::string& path) {
  static const std::string keep = keep_folder();
  static unsigned kept = 0;
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  check_file(path);
  ++g_files_checked;
  if (!keep.empty()) {
    char name[32];
    std::snprintf(name, sizeof name, "/%06u", kept++);
    copy_file(path, keep + name);
  }
}

std::string make_root() {
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
  std::string pattern = std::string(base ? base : "/tmp") + "/mx-session-fuzz-XXXXXX";
  if (!mkdtemp(pattern.data())) std::abort();
  for (int i = 0; i < 2; ++i) mkdir((pattern + "/" + std::to_string(i)).c_str(), 0700);
  return pattern;
}

void remove_root(const std::string& root) {
  for (int i = 0; i < 2; ++i) rmdir((root + "/" + std::to_string(i)).c_str());
  rmdir(root.c_str());
}

// Made once and kept to the end of the process (the folder is removed at exit).
const std::string& root() {
  static const std::string* folder = [] {
    auto* r = new std::string(make_root());
    // No sibling plug-ins are looked for next to the fuzzer.
    std::u16string wide(r->begin(), r->end());
    XQ_SetBaseDirectory(wide.c_str());
    return r;
  }();
  return *folder;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  root();
  std::atexit([] {
    remove_root(root());
    std::fprintf(stderr, "session_fuzz: %llu slot calls in %llu inputs, %llu files checked\n",
                 static_cast<unsigned long long>(g_slot_calls),
                 static_cast<unsigned long long>(g_inputs),
                 static_cast<unsigned long long>(g_files_checked));
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Script script(data, size);
  {
    Host host(root());
    host.run(script);
  }
  // The module-wide options and the log sink do not carry into the next input.
  single_formats()[0].slots.single.SetWriterOptions(nullptr);
  ++g_inputs;
  XQ_SetLogSink(XQ_LOG_NONE, nullptr);
  return 0;
}
