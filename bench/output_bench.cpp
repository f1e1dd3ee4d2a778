// Output core: sample appends against a plain fwrite loop, the per-sample cost
// of mux_add_sample for instruction counting, and the index's memory per sample.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "boxes/boxes.h"
#include "output/mux.h"

namespace {

// Every iteration writes one whole file of this many sample bytes, flush
// included, so the buffered tail is paid for as well.
constexpr int64_t kFileBytes = 256ll << 20;
constexpr int64_t kFrameTime = 333667;  // 100 ns units, 29.97 frames per second

TrackSpec video_spec() {
  TrackSpec track_spec;
  track_spec.index = 0;
  track_spec.kind = kKindVideo;
  track_spec.codec_id = kCodecH264;
  return track_spec;
}

// Samples as the session passes them for H.264: key frame every 30th, a
// composition offset with every frame.
void add_video_samples(MuxContext* c, const uint8_t* data, uint32_t size, int64_t count) {
  for (int64_t i = 0; i < count; ++i) {
    int32_t cts = static_cast<int32_t>(i % 3) * 1001;
    mux_add_sample(0, c, data, size, i % 30 == 0, kKindVideo, &cts, i * kFrameTime,
                   i * kFrameTime + cts, 0);
  }
}

void BM_MuxAddSampleToFile(benchmark::State& state) {
  const auto size = static_cast<uint32_t>(state.range(0));
  const int64_t per_file = kFileBytes / size;
  std::vector<uint8_t> sample(size, 0x5a);
  std::string path = bench_path("mux_add_sample.bin");
  TrackSpec track_spec = video_spec();
  for (auto _ : state) {
    state.PauseTiming();
    FILE* file = fopen(path.c_str(), "wb");
    MuxContext* c = mux_create(&track_spec, 1, kModeMp4, file);
    mux_set_codec(0, c, kCodecH264);
    state.ResumeTiming();
    add_video_samples(c, sample.data(), size, per_file);
    if (writer_flush(c->writer) != 0) state.SkipWithError("write failed");
    state.PauseTiming();
    mux_destroy(&track_spec, 1, c);
    fclose(file);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * per_file * size);
  state.SetItemsProcessed(state.iterations() * per_file);
  remove(path.c_str());
}

void BM_PlainFwriteToFile(benchmark::State& state) {
  const auto size = static_cast<size_t>(state.range(0));
  const int64_t per_file = kFileBytes / static_cast<int64_t>(size);
  std::vector<uint8_t> sample(size, 0x5a);
  std::string path = bench_path("plain_fwrite.bin");
  for (auto _ : state) {
    state.PauseTiming();
    FILE* file = fopen(path.c_str(), "wb");
    state.ResumeTiming();
    for (int64_t i = 0; i < per_file; ++i) {
      if (fwrite(sample.data(), 1, size, file) != size) state.SkipWithError("write failed");
    }
    fflush(file);
    state.PauseTiming();
    fclose(file);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * per_file * static_cast<int64_t>(size));
  state.SetItemsProcessed(state.iterations() * per_file);
  remove(path.c_str());
}

// One file of count samples through mux_add_sample, and one of the same bytes
// by fwrite: the seconds of the appends and the final flush (negative when a
// write failed). Opening, tearing down and removing are not timed.
double mux_file_seconds(const std::string& path, const std::vector<uint8_t>& sample,
                        int64_t count) {
  TrackSpec track_spec = video_spec();
  FILE* file = fopen(path.c_str(), "wb");
  MuxContext* c = mux_create(&track_spec, 1, kModeMp4, file);
  mux_set_codec(0, c, kCodecH264);
  bool ok = false;
  const double s = seconds_of([&] {
    add_video_samples(c, sample.data(), static_cast<uint32_t>(sample.size()), count);
    ok = writer_flush(c->writer) == 0;
  });
  mux_destroy(&track_spec, 1, c);
  fclose(file);
  remove(path.c_str());
  return ok ? s : -1;
}

double fwrite_file_seconds(const std::string& path, const std::vector<uint8_t>& sample,
                           int64_t count) {
  FILE* file = fopen(path.c_str(), "wb");
  bool ok = true;
  const double s = seconds_of([&] {
    for (int64_t i = 0; i < count; ++i)
      ok &= fwrite(sample.data(), 1, sample.size(), file) == sample.size();
    ok &= fflush(file) == 0;
  });
  fclose(file);
  remove(path.c_str());
  return ok ? s : -1;
}

// The two above in pairs (see run_paired): counter speed_vs_yardstick is the
// median of fwrite's time over the appends' time, per pair; the goal is at
// least 1 at every size.
void BM_MuxAppendsVsFwrite(benchmark::State& state) {
  const auto size = static_cast<size_t>(state.range(0));
  const int64_t per_file = kFileBytes / static_cast<int64_t>(size);
  const std::vector<uint8_t> sample(size, 0x5a);
  const std::string ours = bench_path("paired_mux.bin"), theirs = bench_path("paired_fwrite.bin");
  run_paired(
      state, [&] { return mux_file_seconds(ours, sample, per_file); },
      [&] { return fwrite_file_seconds(theirs, sample, per_file); });
  state.SetBytesProcessed(state.iterations() * per_file * static_cast<int64_t>(size));
}
BENCHMARK(BM_MuxAppendsVsFwrite)
    ->Arg(200)
    ->Arg(64 << 10)
    ->Arg(1 << 20)
    ->Arg(8 << 20)
    ->UseManualTime()
    ->Iterations(15)
    ->Unit(benchmark::kMillisecond);

// Compare the pairs with --benchmark_repetitions and the medians: the goal is
// at least fwrite's bytes per second at every size.
void append_sizes(benchmark::internal::Benchmark* b) {
  b->Arg(200)->Arg(64 << 10)->Arg(1 << 20)->Arg(8 << 20)->UseRealTime()->Unit(
      benchmark::kMillisecond);
  add_spread(b);
}
BENCHMARK(BM_MuxAddSampleToFile)->Apply(append_sizes);
BENCHMARK(BM_PlainFwriteToFile)->Apply(append_sizes);

// For instruction counting under callgrind: one run of range(0) samples of
// 200 bytes into a file. Collect only inside mux_add_sample:
//   valgrind --tool=callgrind --toggle-collect='mux_add_sample*'
//     mx_bench --benchmark_filter=BM_CallgrindAddSample
// then per sample = (total Ir - Ir of the memcpy/memmove function) / samples.
void BM_CallgrindAddSample(benchmark::State& state) {
  const int64_t count = state.range(0);
  std::vector<uint8_t> sample(200, 0x5a);
  std::string path = bench_path("callgrind.bin");
  TrackSpec track_spec = video_spec();
  for (auto _ : state) {
    FILE* file = fopen(path.c_str(), "wb");
    MuxContext* c = mux_create(&track_spec, 1, kModeMp4, file);
    mux_set_codec(0, c, kCodecH264);
    add_video_samples(c, sample.data(), 200, count);
    mux_destroy(&track_spec, 1, c);
    fclose(file);
  }
  state.SetItemsProcessed(state.iterations() * count);
  remove(path.c_str());
}
BENCHMARK(BM_CallgrindAddSample)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond);

// Heap bytes per sample held by one track's sample index, per track kind,
// measured from the allocator's own totals while the track receives range(0)
// samples (entries of the file's size table) as the session passes them. A
// packet of several frames (PCM, multi-frame AAC) is one record of the index
// and several samples.
struct IndexCase {
  const char* name;
  int32_t kind;
  uint32_t codec_id;
  uint32_t frames_per_packet;
  uint32_t bytes_per_frame;
};
constexpr IndexCase kIndexCases[] = {
    {"H.264 with composition offsets", kKindVideo, kCodecH264, 1, 200},
    {"AV1 (no composition offsets)", kKindVideo, kCodecAv1, 1, 200},
    {"AAC", kKindAudio, kCodecAac, 1, 200},
    {"AAC, 4 frames per packet", kKindAudio, kCodecAac, 4, 200},
    {"PCM 16-bit stereo, 1 frame per packet", kKindAudio, kCodecPcm16, 1, 4},
    {"PCM 16-bit stereo, 1024 frames per packet", kKindAudio, kCodecPcm16, 1024, 4},
    {"AC-3", kKindAudio, kCodecAc3, 1, 200},
    {"ALAC", kKindAudio, kCodecAlac, 1, 200},
    {"FLAC", kKindAudio, kCodecFlac, 1, 200},
    {"timecode", kKindTimecode, kCodecTimecode, 1, 4},
};

size_t heap_in_use() {
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

void add_index_records(MuxContext* c, const IndexCase& k, const uint8_t* data, int64_t count) {
  const uint32_t size = k.frames_per_packet * k.bytes_per_frame;
  std::vector<int32_t> info(1 + k.frames_per_packet, static_cast<int32_t>(k.bytes_per_frame));
  info[0] = static_cast<int32_t>(k.frames_per_packet);
  if (k.codec_id == kCodecPcm16) info[1] = static_cast<int32_t>(size);  // PCM: the packet size
  for (int64_t i = 0; i < count; ++i) {
    const int64_t t = i * kFrameTime;
    if (k.kind == kKindVideo) {
      int32_t cts = static_cast<int32_t>(i % 3) * 1001;
      mux_add_sample(0, c, data, size, i % 30 == 0, kKindVideo, &cts, t, t + cts, 0);
    } else if (k.kind == kKindAudio) {
      mux_add_sample(0, c, data, size, 0, kKindAudio, info.data(), t, t, k.frames_per_packet);
    } else {
      mux_add_sample(0, c, data, size, 1, kKindTimecode, nullptr, t, t, 1001);
    }
  }
}

void BM_IndexMemoryPerSample(benchmark::State& state) {
  const IndexCase& k = kIndexCases[state.range(1)];
  const int64_t records = state.range(0) / k.frames_per_packet;
  std::vector<uint8_t> data(k.frames_per_packet * k.bytes_per_frame, 0x5a);
  TrackSpec track_spec;
  track_spec.index = 0;
  track_spec.kind = k.kind;
  track_spec.codec_id = k.codec_id;
  double heap = 0;
  uint64_t samples = 0;
  for (auto _ : state) {
    FILE* file = fopen("/dev/null", "wb");
    // What creation allocates for the index (the first record block, the
    // composition table) is part of it: measured as creation's heap growth
    // less the context and its writer buffer, which belong to the file.
    size_t start = heap_in_use();
    MuxContext* c = mux_create(&track_spec, 1, kModeMp4, file);
    mux_set_codec(0, c, k.codec_id);
    size_t created = heap_in_use();
    size_t per_file =
        sizeof(MuxContext) + kMuxWriterCapacity + (k.kind == kKindVideo ? kVideoScratchSize : 0);
    add_index_records(c, k, data.data(), records);
    heap = static_cast<double>(heap_in_use() - created) + static_cast<double>(created - start) -
           static_cast<double>(per_file);
    samples = c->tracks[0].sample_count;
    mux_destroy(&track_spec, 1, c);
    fclose(file);
  }
  state.SetLabel(k.name);
  state.counters["B_per_sample"] = heap / static_cast<double>(samples);
  state.counters["records"] = static_cast<double>(records);
}
BENCHMARK(BM_IndexMemoryPerSample)
    ->ArgsProduct({{1000000}, benchmark::CreateDenseRange(0, std::size(kIndexCases) - 1, 1)})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// Time to write the movie box (finish_file: the mdat size patch and the whole
// moov) for one H.264 track of range(0) samples with time-stamp durations and
// composition offsets, and an AAC track with one packet per 1.5 video frames.
void BM_FinishFile(benchmark::State& state) {
  const int64_t count = state.range(0);
  const uint8_t byte = 0x5a;
  std::string path = bench_path("finish_file.mp4");
  TrackSpec specs[2] = {video_spec(), {}};
  specs[1].index = 1;
  specs[1].kind = kKindAudio;
  specs[1].codec_id = kCodecAac;
  const uint8_t sps[] = {0x67, 0x64, 0x00, 0x1f, 0xac, 0xd9};
  const uint8_t pps[] = {0x68, 0xeb, 0xe3, 0xcb};
  const uint8_t asc[] = {0x12, 0x10};
  int64_t moov_bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    FILE* file = fopen(path.c_str(), "wb");
    MuxContext* c = mux_create(specs, 2, kModeMp4, file);
    mux_set_codec(0, c, kCodecH264);
    mux_set_picture_size(0, c, 1920, 1080);
    mux_set_display_size(0, c, 1920, 1080);
    mux_set_frame_rate(0, c, 29.97f, 1);
    mux_set_avc_config(0, c, 1, 100, 0, 41);
    mux_set_extradata(0, c, sps, sizeof(sps));
    mux_set_extradata2(0, c, pps, sizeof(pps));
    mux_set_codec(1, c, kCodecAac);
    mux_set_timescale(1, c, 48000);
    mux_set_audio_config(1, c, asc, sizeof(asc));
    const uint32_t one_frame[2] = {1, 1};
    for (int64_t i = 0; i < count; ++i) {
      int32_t cts = static_cast<int32_t>(i % 3) * 1001;
      mux_add_sample(0, c, &byte, 1, i % 30 == 0, kKindVideo, &cts, i * kFrameTime,
                     i * kFrameTime + cts, 0);
      if (i % 3 != 2) {
        mux_add_sample(1, c, &byte, 1, 0, kKindAudio, one_frame, i * 213333, i * 213333, 1024);
      }
    }
    state.ResumeTiming();
    finish_file(c);
    if (writer_flush(c->writer) != 0) state.SkipWithError("write failed");
    state.PauseTiming();
    moov_bytes = writer_tell(c->writer) - static_cast<int64_t>(c->moov_pos);
    mux_destroy(specs, 2, c);
    fclose(file);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * count);
  state.SetBytesProcessed(state.iterations() * moov_bytes);
  state.counters["moov_bytes"] = static_cast<double>(moov_bytes);
  remove(path.c_str());
}
BENCHMARK(BM_FinishFile)->Arg(100000)->Arg(1000000)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
