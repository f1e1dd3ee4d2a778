// H.264 frames through the plug-in's slots, as a host hands them over, against
// plain fwrite of the same bytes: what a whole session costs per byte at 200 B,
// 64 KiB, 1 MiB and 8 MiB frames.
//
// Every iteration is one whole file of about 256 MiB of frames: session
// creation, the frames, and the close (the last flush and the movie box) are
// all timed, as a host waits for them; the fwrite run is timed from fopen to
// fclose. The frames' bytes are the same in both; the plug-in's file also holds
// its header and movie box (counter moov_bytes).
//
// BM_SlotFramesVsFwrite runs the two in pairs, one after the other, and gives
// the median of the per-pair ratios (counter speed_vs_yardstick: fwrite's time
// over the session's; the goal is at least 1): on a shared machine the two
// separate benchmarks drift apart by more than the difference between them.
// Give the files a tmpfs (MX_BENCH_DIR=/dev/shm) so that a disk's write-back
// does not decide the figures.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "mx_mp4/host.h"

namespace {

constexpr int64_t kFileBytes = 256ll << 20;
constexpr int64_t kFrameTime = 400000;  // 100 ns units, 25 frames per second
constexpr uint32_t kKeyInterval = 30;

const uint8_t kSps[] = {0x67, 0x64, 0x00, 0x1F, 0xAC, 0xD9, 0x40, 0x50, 0x05, 0xBB, 0x01, 0x10};
const uint8_t kPps[] = {0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0};

// One access unit of exactly `size` bytes: one slice behind a 4-byte start
// code, whose payload holds no zero byte (so no start code either). The
// plug-in stores all of it, with the length in place of the start code.
struct Frame {
  std::vector<uint8_t> bytes;

  explicit Frame(size_t size) : bytes(size) {
    uint32_t state = 12345;
    for (uint8_t& b : bytes) {
      state = state * 1664525u + 1013904223u;
      b = static_cast<uint8_t>(state >> 24) | 1;
    }
    restore(true);
  }
  // The conversion writes the unit's length over its start code in the host's
  // buffer; a host hands over fresh bytes every time.
  void restore(bool key) {
    const uint8_t start[] = {0, 0, 0, 1};
    std::memcpy(bytes.data(), start, 4);
    bytes[4] = key ? 0x65 : 0x41;
  }
};

const SingleStreamSlots& mp4_slots() {
  for (const FormatDescriptor* d = GetFileFormats(); d->fourcc != 0; ++d)
    if (d->fourcc == MX_FOURCC('M', 'P', '4', ' ')) return d->slots.single;
  std::abort();
}

EncParam* video_params() {
  auto* p = static_cast<EncParam*>(calloc(1, sizeof(EncParam)));
  p->no_audio = 1;
  p->no_subpicture = 1;
  p->no_timecode = 1;
  p->file_fourcc = MX_FOURCC('M', 'P', '4', ' ');
  p->video.fourcc = MX_FOURCC('H', '2', '6', '4');
  p->video.width = 1920;
  p->video.height = 1080;
  p->video.frame_rate = 25.0;
  p->video.bit_rate = 1000000;
  return p;
}

std::u16string wide(const std::string& s) {
  return std::u16string(s.begin(), s.end());
}

int64_t file_size(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

// One session of count frames of the given size through the slots: the wall
// seconds from CreateMediaFile to the end of CloseMediaFile (negative when a
// frame was refused), and the file's size.
struct SessionRun {
  double seconds;
  int64_t file_bytes;
};

SessionRun slot_session(const std::string& path, Frame& frame, int64_t count) {
  static EncParam* params = video_params();
  const SingleStreamSlots& slots = mp4_slots();
  slots.SetWriterOptions(nullptr);
  const std::u16string name = wide(path);
  MxVideoFrame v;
  std::memset(&v, 0, sizeof v);
  v.data = frame.bytes.data();
  v.size = static_cast<uint32_t>(frame.bytes.size());
  bool ok = true;
  const double s = seconds_of([&] {
    MxSession session = slots.CreateMediaFile(name.c_str(), params);
    if (session == nullptr) {
      ok = false;
      return;
    }
    slots.WriteVideoExtraData(session, kPps, sizeof kPps, kSps, sizeof kSps);
    for (int64_t i = 0; i < count; ++i) {
      const bool key = i % kKeyInterval == 0;
      frame.restore(key);
      v.picture_flag = key;
      v.dts = v.pts = i * kFrameTime;
      ok &= slots.WriteVideoFrame(session, &v) == v.size;
    }
    slots.CloseMediaFile(session);
  });
  const int64_t bytes = file_size(path);
  remove(path.c_str());
  return {ok ? s : -1, bytes};
}

// fopen to fclose of the same frames' bytes.
double fwrite_frames_seconds(const std::string& path, const Frame& frame, int64_t count) {
  bool ok = true;
  const double s = seconds_of([&] {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) {
      ok = false;
      return;
    }
    for (int64_t i = 0; i < count; ++i)
      ok &= fwrite(frame.bytes.data(), 1, frame.bytes.size(), file) == frame.bytes.size();
    ok &= fclose(file) == 0;
  });
  remove(path.c_str());
  return ok ? s : -1;
}

void BM_SlotH264Frames(benchmark::State& state) {
  const auto size = static_cast<size_t>(state.range(0));
  const int64_t per_file = kFileBytes / static_cast<int64_t>(size);
  Frame frame(size);
  const std::string path = bench_path("slot_h264.mp4");
  int64_t file_bytes = 0;
  for (auto _ : state) {
    const SessionRun run = slot_session(path, frame, per_file);
    if (run.seconds < 0) {
      state.SkipWithError("a frame was refused");
      break;
    }
    state.SetIterationTime(run.seconds);
    file_bytes = run.file_bytes;
  }
  state.SetBytesProcessed(state.iterations() * per_file * static_cast<int64_t>(size));
  state.SetItemsProcessed(state.iterations() * per_file);
  state.counters["moov_bytes"] =
      static_cast<double>(file_bytes - per_file * static_cast<int64_t>(size));
}

void BM_FwriteSameFrames(benchmark::State& state) {
  const auto size = static_cast<size_t>(state.range(0));
  const int64_t per_file = kFileBytes / static_cast<int64_t>(size);
  const Frame frame(size);
  const std::string path = bench_path("fwrite_frames.bin");
  for (auto _ : state) {
    const double s = fwrite_frames_seconds(path, frame, per_file);
    if (s < 0) {
      state.SkipWithError("write failed");
      break;
    }
    state.SetIterationTime(s);
  }
  state.SetBytesProcessed(state.iterations() * per_file * static_cast<int64_t>(size));
  state.SetItemsProcessed(state.iterations() * per_file);
}

// The two above in pairs (see run_paired): counter speed_vs_yardstick is the
// median of fwrite's time over the session's time, per pair.
void BM_SlotFramesVsFwrite(benchmark::State& state) {
  const auto size = static_cast<size_t>(state.range(0));
  const int64_t per_file = kFileBytes / static_cast<int64_t>(size);
  Frame frame(size);
  const std::string ours = bench_path("paired_slot.mp4"), theirs = bench_path("paired_frames.bin");
  run_paired(
      state, [&] { return slot_session(ours, frame, per_file).seconds; },
      [&] { return fwrite_frames_seconds(theirs, frame, per_file); });
  state.SetBytesProcessed(state.iterations() * per_file * static_cast<int64_t>(size));
}

void frame_sizes(benchmark::internal::Benchmark* b) {
  b->Arg(200)->Arg(64 << 10)->Arg(1 << 20)->Arg(8 << 20)->UseManualTime()->Unit(
      benchmark::kMillisecond);
}
BENCHMARK(BM_SlotH264Frames)->Apply(frame_sizes)->Apply(add_spread);

// ------------------------------------------------------------ resilient writing

// The workloads of bench/mxmux_vs.sh as a host hands them over: BIG, 1.4 MB
// pictures at 30 fps, a key picture every 60, with AAC packets between them;
// MANY, 200-byte pictures alone, a key picture every 250.
struct Workload {
  size_t frame_size;
  int64_t frames;
  bool audio;
  int64_t key_interval;
};
constexpr Workload kBig = {1400000, 180, true, 60};    // about 250 MB
constexpr Workload kMany = {200, 200000, false, 250};  // 40 MB

EncParam* av_params() {
  EncParam* p = video_params();
  p->video.frame_rate = 30.0;
  p->no_audio = 0;
  p->audio.fourcc = MX_FOURCC('A', 'A', 'C', ' ');
  p->audio.sample_rate = 48000;
  p->audio.channels = 2;
  p->audio.bits_per_sample = 16;
  return p;
}

// One session of the workload, plain (flags 0) or resilient: wall seconds
// from create to the end of close, and the largest heap in use seen after
// any frame.
struct WorkloadRun {
  double seconds;
  size_t peak_heap;
};

size_t heap_in_use() {
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

WorkloadRun workload_session(const std::string& path, const Workload& w, uint32_t flags,
                             bool watch_heap) {
  static EncParam* params = av_params();
  static EncParam* video_only = video_params();
  static Frame big(kBig.frame_size), small(kMany.frame_size);
  Frame& frame = w.frame_size == kBig.frame_size ? big : small;
  const SingleStreamSlots& slots = mp4_slots();
  WriterOptions options{};
  options.flags = flags;
  slots.SetWriterOptions(&options);
  const std::u16string name = wide(path);
  std::vector<uint8_t> aac(380, 0x21);
  const int32_t info[2] = {1, static_cast<int32_t>(aac.size())};
  MxAudioFrame a;
  std::memset(&a, 0, sizeof a);
  a.data = aac.data();
  a.size = static_cast<int32_t>(aac.size());
  a.channels = 2;
  MxVideoFrame v;
  std::memset(&v, 0, sizeof v);
  v.data = frame.bytes.data();
  v.size = static_cast<uint32_t>(frame.bytes.size());
  const int64_t frame_time = w.audio ? 333333 : kFrameTime;
  constexpr int64_t kAacTime = 213333;  // 1024 samples at 48 kHz
  size_t peak = 0;
  bool ok = true;
  const double s = seconds_of([&] {
    MxSession session = slots.CreateMediaFile(name.c_str(), w.audio ? params : video_only);
    if (session == nullptr) {
      ok = false;
      return;
    }
    slots.WriteVideoExtraData(session, kPps, sizeof kPps, kSps, sizeof kSps);
    int64_t audio_time = 0;
    for (int64_t i = 0; i < w.frames; ++i) {
      for (; w.audio && audio_time <= i * frame_time; audio_time += kAacTime) {
        a.pts = a.dts = audio_time;
        ok &= slots.WriteAudioFrame(session, &a, info) == aac.size();
      }
      const bool key = i % w.key_interval == 0;
      frame.restore(key);
      v.picture_flag = key;
      v.dts = v.pts = i * frame_time;
      ok &= slots.WriteVideoFrame(session, &v) == v.size;
      if (watch_heap) peak = std::max(peak, heap_in_use());
    }
    slots.CloseMediaFile(session);
  });
  slots.SetWriterOptions(nullptr);
  remove(path.c_str());
  return {ok ? s : -1, peak};
}

const Workload& workload_of(const benchmark::State& state) {
  return state.range(0) == 0 ? kBig : kMany;
}

// Resilient against plain, in pairs (see run_paired): speed_vs_yardstick is
// the median of plain's time over resilient's (the goal: at least 1 / 1.05).
void BM_ResilientVsPlain(benchmark::State& state) {
  const Workload& w = workload_of(state);
  const std::string ours = bench_path("resilient.mp4"), theirs = bench_path("plain.mp4");
  run_paired(
      state, [&] { return workload_session(ours, w, MX_WRITE_RESILIENT, false).seconds; },
      [&] { return workload_session(theirs, w, 0, false).seconds; });
  state.SetBytesProcessed(state.iterations() * w.frames * static_cast<int64_t>(w.frame_size));
}
BENCHMARK(BM_ResilientVsPlain)
    ->ArgName("big0_many1")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Iterations(15)
    ->Unit(benchmark::kMillisecond);

// The largest heap in use during a session, plain and resilient (the goal:
// resilient at most plain plus two fragments' data).
void BM_ResilientPeakHeap(benchmark::State& state) {
  const Workload& w = workload_of(state);
  const std::string path = bench_path("peak.mp4");
  size_t plain = 0, resilient = 0;
  for (auto _ : state) {
    plain = workload_session(path, w, 0, true).peak_heap;
    resilient = workload_session(path, w, MX_WRITE_RESILIENT, true).peak_heap;
  }
  state.counters["plain_peak_MiB"] = static_cast<double>(plain) / (1 << 20);
  state.counters["resilient_peak_MiB"] = static_cast<double>(resilient) / (1 << 20);
}
BENCHMARK(BM_ResilientPeakHeap)->ArgName("big0_many1")->Arg(0)->Arg(1)->Iterations(1);

// For instruction counts under callgrind (bench/resilient_cost.sh): one
// session of the workload, range(1) 0 plain, 1 resilient.
void BM_CallgrindSession(benchmark::State& state) {
  const Workload& w = workload_of(state);
  const std::string path = bench_path("callgrind-session.mp4");
  for (auto _ : state) workload_session(path, w, state.range(1) ? MX_WRITE_RESILIENT : 0, false);
}
BENCHMARK(BM_CallgrindSession)
    ->ArgNames({"big0_many1", "resilient"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FwriteSameFrames)->Apply(frame_sizes)->Apply(add_spread);
BENCHMARK(BM_SlotFramesVsFwrite)->Apply(frame_sizes)->Iterations(15);

}  // namespace
