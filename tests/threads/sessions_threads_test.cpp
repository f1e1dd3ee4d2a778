// Writer sessions on several threads at once, single- and multi-stream, driven
// through the plug-in's slots as a host does. Every file must come out as if it
// had been written alone. scripts/test also runs these tests in a
// ThreadSanitizer build, which must report nothing.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "support/box_reader.h"
#include "support/plugin_host.h"
#include "support/test_files.h"
#include "support/track_samples.h"

using host::fourcc;

namespace {

constexpr int kFilesPerThread = 24;
constexpr int kVideoFrames = 3;
constexpr int kAudioFrames = 4;

struct Size {
  uint32_t width = 0;
  uint32_t height = 0;
  bool operator==(const Size& o) const { return width == o.width && height == o.height; }
  bool operator<(const Size& o) const {
    return width != o.width ? width < o.width : height < o.height;
  }
};

std::ostream& operator<<(std::ostream& out, const Size& s) {
  return out << s.width << "x" << s.height;
}

// One file a thread writes, and what it should hold.
struct Job {
  std::string file;
  Size picture;
  Size display;       // what the host asked for (multi-stream), 0x0 for none
  double frame_rate;  // 23.976 goes through the trace hook
  bool opened = false;
};

// Sizes that differ between every two jobs of a run.
std::vector<Job> make_jobs(const std::string& name, int threads) {
  std::vector<Job> jobs;
  for (int t = 0; t < threads; ++t) {
    for (int i = 0; i < kFilesPerThread; ++i) {
      Job j;
      j.file = test_temp_path(name + "-" + std::to_string(threads) + "-" + std::to_string(t) + "-" +
                              std::to_string(i) + ".mp4");
      j.picture = {320 + 16u * t, 240 + 2u * i};
      j.display = {640 + 16u * t, 360 + 2u * i};
      j.frame_rate = i % 2 ? 23.976023976023978 : 25.0;
      jobs.push_back(j);
    }
  }
  return jobs;
}

// Runs each thread's share of the jobs on its own thread, all at once.
template <typename Write>
void run_on_threads(std::vector<Job>& jobs, int threads, Write write) {
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&jobs, t, write] {
      for (int i = 0; i < kFilesPerThread; ++i) write(jobs[t * kFilesPerThread + i]);
    });
  }
  for (std::thread& thread : pool) thread.join();
}

const std::vector<uint8_t> kVideoBytes(64, 0x5A);
const std::vector<uint8_t> kAudioBytes(24, 0x21);
const int32_t kAudioInfo[2] = {1, 24};

MxVideoFrame video_frame(int i) {
  auto* data = const_cast<uint8_t*>(kVideoBytes.data());  // never written for Xvid frames
  return host::video_frame(data, static_cast<uint32_t>(kVideoBytes.size()), i * 400000, i * 400000,
                           i == 0);
}

MxAudioFrame audio_frame(int i) {
  return host::audio_frame(kAudioBytes.data(), static_cast<int32_t>(kAudioBytes.size()),
                           i * 213333);
}

std::unique_ptr<EncParam> record_of(const Job& j) {
  auto p = host::blank_params(fourcc("MP4 "));
  host::set_video(*p, fourcc("Xvid"), j.picture.width, j.picture.height, j.frame_rate);
  host::set_audio(*p, fourcc("AAC "), 48000, 2);
  p->video.display_width = j.display.width;
  p->video.display_height = j.display.height;
  return p;
}

void write_single_stream(Job& j) {
  const SingleStreamSlots& slots = host::slots_for(fourcc("MP4 "));
  auto p = record_of(j);
  MxSession s = slots.CreateMediaFile(host_text(u16(j.file).c_str()), p.get());
  j.opened = s != nullptr;
  for (int i = 0; i < kVideoFrames; ++i) {
    MxVideoFrame v = video_frame(i);
    slots.WriteVideoFrame(s, &v);
  }
  for (int i = 0; i < kAudioFrames; ++i) {
    MxAudioFrame a = audio_frame(i);
    slots.WriteAudioFrame(s, &a, kAudioInfo);
  }
  slots.CloseMediaFile(s);
}

// A video stream (out index 1) with its own display size and an audio stream (2).
void write_multi_stream(Job& j) {
  const MultiStreamSlots& slots = host::multi_slots_for(fourcc("MP4 "));
  auto p = record_of(j);
  MxSession s = slots.CreateMediaFileMultiStream();
  slots.AddStreamInfoMultiStream(s, MX_STREAM_VIDEO, 0, 0, 1, p.get());
  slots.AddStreamInfoMultiStream(s, MX_STREAM_AUDIO, 0, 1, 2, p.get());
  j.opened = slots.InitMediaFileMultiStream(s, fourcc("MP4 "), host_text(u16(j.file).c_str())) == 1;
  for (int i = 0; i < kVideoFrames; ++i) {
    MxVideoFrame v = video_frame(i);
    slots.WriteFrameMultiStream(s, 1, &v, nullptr);
  }
  for (int i = 0; i < kAudioFrames; ++i) {
    MxAudioFrame a = audio_frame(i);
    slots.WriteFrameMultiStream(s, 2, &a, kAudioInfo);
  }
  slots.CloseMediaFileMultiStream(s);
}

// What one finished file holds.
struct Written {
  Size display;
  size_t video_samples = 0;
  size_t audio_samples = 0;
};

Written read_back(const std::string& file) {
  iso::Tree tree = iso::read_file(file);
  const iso::Box& tkhd = tree.at("moov/trak[0]/tkhd");
  const uint64_t at = tkhd.version() == 1 ? 88 : 76;
  Written w;
  w.display = {tkhd.u32(at) >> 16, tkhd.u32(at + 4) >> 16};
  w.video_samples = read_track_samples(tree.at("moov/trak[0]")).samples.size();
  w.audio_samples = read_track_samples(tree.at("moov/trak[1]")).samples.size();
  return w;
}

void remove_files(const std::vector<Job>& jobs) {
  for (const Job& j : jobs) std::remove(j.file.c_str());
}

class SessionThreads : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override { host::slots_for(fourcc("MP4 ")).SetWriterOptions(nullptr); }
  void TearDown() override { host::slots_for(fourcc("MP4 ")).SetWriterOptions(nullptr); }
};

// Without stored options every file shows its own picture size.
TEST_P(SessionThreads, SingleStreamFilesAreWrittenAsIfAlone) {
  const int threads = GetParam();
  std::vector<Job> jobs = make_jobs("threads-single", threads);
  run_on_threads(jobs, threads, write_single_stream);
  for (const Job& j : jobs) {
    SCOPED_TRACE(j.file);
    ASSERT_TRUE(j.opened);
    Written w = read_back(j.file);
    EXPECT_EQ(w.display, j.picture);
    EXPECT_EQ(w.video_samples, size_t{kVideoFrames});
    EXPECT_EQ(w.audio_samples, size_t{kAudioFrames});
  }
  remove_files(jobs);
}

// Each multi-stream file carries the display size of its own video stream,
// never that of a file being set up on another thread.
TEST_P(SessionThreads, MultiStreamFilesKeepTheirOwnDisplaySize) {
  const int threads = GetParam();
  std::vector<Job> jobs = make_jobs("threads-multi", threads);
  run_on_threads(jobs, threads, write_multi_stream);
  int foreign = 0;
  for (const Job& j : jobs) {
    SCOPED_TRACE(j.file);
    ASSERT_TRUE(j.opened);
    Written w = read_back(j.file);
    if (!(w.display == j.display)) ++foreign;
    EXPECT_EQ(w.display, j.display);
    EXPECT_EQ(w.video_samples, size_t{kVideoFrames});
    EXPECT_EQ(w.audio_samples, size_t{kAudioFrames});
  }
  EXPECT_EQ(foreign, 0) << "of " << jobs.size() << " files";
  remove_files(jobs);
}

// Options that ask for the stored display size while none is stored: the
// first session to finish its setup stores its picture size, and every later
// session shows that one. Sessions set up at the same time may still show
// their own. No file may show a size no session had, and once all are done
// the stored size is the one the later sessions showed.
TEST_P(SessionThreads, StoredDisplaySizeIsFilledOnce) {
  const int threads = GetParam();
  const SingleStreamSlots& slots = host::slots_for(fourcc("MP4 "));
  const WriterOptions fill_once = {0, 1, 0, 0, 0, 0};
  slots.SetWriterOptions(&fill_once);
  std::vector<Job> jobs = make_jobs("threads-fill", threads);
  for (Job& j : jobs) j.display = {};
  run_on_threads(jobs, threads, write_single_stream);

  std::map<Size, int> pictures;
  for (const Job& j : jobs) ++pictures[j.picture];
  std::map<Size, int> borrowed;  // sizes shown by files other than their own
  for (const Job& j : jobs) {
    SCOPED_TRACE(j.file);
    ASSERT_TRUE(j.opened);
    Size shown = read_back(j.file).display;
    EXPECT_EQ(pictures.count(shown), 1u) << shown << " is no session's size";
    if (!(shown == j.picture)) ++borrowed[shown];
  }
  EXPECT_LE(borrowed.size(), 1u);

  Job last;
  last.file = test_temp_path("threads-fill-last.mp4");
  last.picture = {100, 100};
  last.frame_rate = 25.0;
  write_single_stream(last);
  ASSERT_TRUE(last.opened);
  Size stored = read_back(last.file).display;
  EXPECT_EQ(pictures.count(stored), 1u) << stored;
  if (!borrowed.empty()) {
    EXPECT_EQ(stored, borrowed.begin()->first);
  }
  std::remove(last.file.c_str());
  remove_files(jobs);
}

INSTANTIATE_TEST_SUITE_P(Threads, SessionThreads, ::testing::Values(2, 4),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::to_string(info.param) + "Threads";
                         });

}  // namespace
