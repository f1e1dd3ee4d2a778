// Elementary-stream readers: each splits one input into frames, finds the
// codec configuration the container needs and the stream's parameters, and
// gives every frame real decode and presentation times.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mxmux/readers/byte_source.h"

namespace mxmux {

enum class Codec {
  kNone,
  kH264,
  kHevc,
  kAv1,
  kMpeg4Visual,
  kH263,
  kAac,
  kAc3,
  kFlac,
  kPcm16,
  kPcmFloat32,
  kAmrNb,
};

const char* codec_name(Codec codec);
bool codec_is_video(Codec codec);

// Timestamps are in 100-nanosecond units, as the plug-in takes them.
constexpr int64_t kTicksPerSecond = 10'000'000;

struct StreamParams {
  Codec codec = Codec::kNone;
  uint32_t width = 0, height = 0;
  // The frame rate the frames are timed at, as a fraction.
  uint32_t fps_num = 0, fps_den = 0;
  // The rate the stream itself states; 0/0 when it states none.
  uint32_t stream_fps_num = 0, stream_fps_den = 0;
  uint32_t sample_rate = 0, channels = 0, bits_per_sample = 0;
  uint32_t samples_per_frame = 0;  // audio: fixed frame length, 0 when it varies
  int profile = 0;                 // H.264 profile_idc, HEVC general_profile_idc
  int reorder_depth = 0;           // frames a B-frame stream delays presentation
  // Configuration for WriteVideoExtraData (config1, config2) or
  // WriteAudioExtraData (config1).
  std::vector<uint8_t> config1, config2;
  std::string detail;  // profile text for the summary
};

struct Frame {
  uint8_t* data = nullptr;  // valid until the reader's next call
  size_t size = 0;
  int64_t pts = 0, dts = 0;
  bool key = false;
  uint32_t samples = 0;  // audio: samples per channel in this frame
  uint64_t offset = 0;   // where the frame starts in the input
};

struct ReaderOptions {
  // Frame rate the user forces (0/0: take the stream's, else 25).
  uint32_t fps_num = 0, fps_den = 0;
};

class Reader {
 public:
  explicit Reader(ByteSource& src) : src_(src) {}
  virtual ~Reader() = default;
  // Reads the stream's headers up to the first frame and fills params().
  virtual bool open(const ReaderOptions& options, Error& error) = 0;
  // 1: a frame; 0: end of stream; -1: error.
  virtual int next(Frame& frame, Error& error) = 0;
  const StreamParams& params() const { return params_; }
  ByteSource& source() { return src_; }

 protected:
  ByteSource& src_;
  StreamParams params_;
};

// Picks a reader from the file name's extension; null with an error when the
// extension is not one mxmux reads.
std::unique_ptr<Reader> make_reader(const std::string& path, ByteSource& src, Error& error);
// The same by codec, for tests and the fuzzer.
std::unique_ptr<Reader> make_reader_for(Codec codec, ByteSource& src);
// Readers for the file extensions mxmux knows, for --help.
const char* reader_extensions_text();

std::unique_ptr<Reader> make_h264_reader(ByteSource& src);
std::unique_ptr<Reader> make_hevc_reader(ByteSource& src);
std::unique_ptr<Reader> make_av1_ivf_reader(ByteSource& src);
std::unique_ptr<Reader> make_mpeg4_visual_reader(ByteSource& src);
std::unique_ptr<Reader> make_h263_reader(ByteSource& src);
std::unique_ptr<Reader> make_adts_reader(ByteSource& src);
std::unique_ptr<Reader> make_ac3_reader(ByteSource& src);
std::unique_ptr<Reader> make_flac_reader(ByteSource& src);
std::unique_ptr<Reader> make_wav_reader(ByteSource& src);
std::unique_ptr<Reader> make_amr_reader(ByteSource& src);

// Frame rate helpers: ticks(n) is the time of frame n, rounded down.
struct FrameClock {
  uint32_t num = 25, den = 1;
  int64_t ticks(int64_t frame) const {
    return static_cast<int64_t>((static_cast<__int128>(frame) * kTicksPerSecond * den) / num);
  }
  // A span of n frames rounded up, so that a track converting it back with
  // truncation gets exactly n frame durations.
  int64_t span_up(int64_t frames) const {
    __int128 t = static_cast<__int128>(frames) * kTicksPerSecond * den;
    return static_cast<int64_t>((t + num - 1) / num);
  }
};

// Chooses the frame clock (the user's rate, else the stream's, else 25/1) and
// records it in `params` with the rate the stream states (0/0 for none).
FrameClock settle_frame_rate(const ReaderOptions& options, uint32_t stream_num, uint32_t stream_den,
                             StreamParams& params);

}  // namespace mxmux
