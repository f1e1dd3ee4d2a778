// The movie box at close: time to write moov for one video track of n samples
// (time-stamp durations, so stts is a table; composition offsets; a key frame
// every 30th; sizes that vary, so stsz is a table). The cost per sample should
// stay flat from 10k to 1M samples.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/bench_support.h"
#include "boxes/boxes.h"
#include "output/mux.h"

namespace {

constexpr int64_t kFrameTime = 333667;  // 100 ns units, 29.97 frames per second

// A context whose video track holds n records. The samples carry no bytes
// (the records are what the tables are made of); their sizes are set in the
// records afterwards so that the size table is a real one.
MuxContext* make_track(TrackSpec* track_spec, FILE* file, int64_t n) {
  MuxContext* c = mux_create(track_spec, 1, kModeMp4, file);
  mux_set_codec(0, c, kCodecH264);
  mux_set_frame_rate(0, c, 29.97f, 1);
  mux_set_display_size(0, c, 1920, 1080);
  for (int64_t i = 0; i < n; ++i) {
    int32_t cts = static_cast<int32_t>(i % 3) * 1001;
    mux_add_sample(0, c, nullptr, 0, i % 30 == 0, kKindVideo, &cts, i * kFrameTime,
                   i * kFrameTime + cts, 0);
  }
  MuxTrack* t = &c->tracks[0];
  for (int64_t i = 0; i < n; ++i) {
    SampleRecord* r = mux_record(t, static_cast<uint64_t>(i));
    r->size = 2000 + static_cast<uint64_t>(i % 97) * 13;
    r->pos = 48 + static_cast<uint64_t>(i) * 3000;
  }
  return c;
}

void BM_WriteMoov(benchmark::State& state) {
  const int64_t n = state.range(0);
  std::string path = bench_path("moov.bin");
  TrackSpec track_spec;
  track_spec.index = 0;
  track_spec.kind = kKindVideo;
  track_spec.codec_id = kCodecH264;
  FILE* file = fopen(path.c_str(), "wb");
  MuxContext* c = make_track(&track_spec, file, n);
  int64_t moov_bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    // Each iteration writes into a fresh file from its start.
    ByteWriter* old = c->writer;
    writer_close(old);
    fclose(file);
    file = fopen(path.c_str(), "wb");
    c->writer = writer_create(kMuxWriterCapacity, file);
    state.ResumeTiming();
    write_moov(c);
    if (writer_flush(c->writer) != 0) state.SkipWithError("write failed");
    moov_bytes = writer_tell(c->writer);
  }
  state.SetItemsProcessed(state.iterations() * n);
  state.counters["moov_bytes"] = static_cast<double>(moov_bytes);
  state.counters["time_per_sample"] =
      benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate |
                                                     benchmark::Counter::kInvert);
  mux_destroy(&track_spec, 1, c);
  fclose(file);
  remove(path.c_str());
}

BENCHMARK(BM_WriteMoov)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace
