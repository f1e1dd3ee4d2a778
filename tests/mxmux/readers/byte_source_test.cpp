// The input side of mxmux: a file, a pipe and a memory
// block must hand the readers the same bytes, the plug-in's writes into lent
// frames must stay in the process, and the emulation-prevention removal the
// readers lean on must match a plain loop.
#include "mxmux/readers/byte_source.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "mxmux/readers/bits.h"
#include "mxmux/readers/reader.h"
#include "mxmux/system.h"
#include "mxmux_test_util.h"
#include "support/test_files.h"
#include "support/tools.h"

using mxmux_test::run_command;
using mxmux_test::sample_path;

namespace {

using Bytes = std::vector<uint8_t>;

struct ReadFrame {
  Bytes bytes;
  int64_t pts, dts;
  uint64_t offset;
};

// Reads every frame, keeping a copy of its bytes; then writes over the lent
// bytes as the plug-in does (a length over each start code), so that a later
// frame that still depended on them would show it.
std::vector<ReadFrame> read_all(mxmux::ByteSource& src, mxmux::Codec codec, std::string& error) {
  std::vector<ReadFrame> frames;
  auto reader = mxmux::make_reader_for(codec, src);
  mxmux::Error e;
  if (!reader->open({}, e)) {
    error = e.text();
    return frames;
  }
  mxmux::Frame f;
  int r;
  while ((r = reader->next(f, e)) > 0) {
    frames.push_back({Bytes(f.data, f.data + f.size), f.pts, f.dts, f.offset});
    if (codec == mxmux::Codec::kH264 || codec == mxmux::Codec::kHevc) {
      for (size_t i = 0; i + 4 <= f.size; i += 4) std::memset(f.data + i, 0x5A, 4);
    }
  }
  if (r < 0) error = e.text();
  return frames;
}

// The read end of a pipe that another process fills with the file.
int pipe_of_file(const std::string& path) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    Bytes bytes = read_whole_file(path);
    size_t done = 0;
    while (done < bytes.size()) {
      // Small, uneven writes: the reader sees the input arrive in pieces.
      size_t n = std::min<size_t>(bytes.size() - done, 1000 + done % 7777);
      ssize_t w = write(fds[1], bytes.data() + done, n);
      if (w <= 0) _exit(1);
      done += static_cast<size_t>(w);
    }
    _exit(0);
  }
  close(fds[1]);
  return fds[0];
}

// The stream with a 4-byte start code in front of every unit: its pictures
// are then lent from the input instead of being rebuilt.
std::string with_long_start_codes(const std::string& path) {
  const Bytes in = read_whole_file(path);
  Bytes out;
  for (size_t i = 0; i < in.size(); ++i) {
    if (i + 2 < in.size() && in[i] == 0 && in[i + 1] == 0 && in[i + 2] == 1 &&
        (i == 0 || in[i - 1] != 0))
      out.push_back(0);
    out.push_back(in[i]);
  }
  const std::string copy = test_temp_path("long-codes-" + path.substr(path.rfind('/') + 1));
  write_whole_file(copy, out);
  return copy;
}

// How a file or pipe is read: the default ring, and small windows (a few
// frames, so that the window runs around the ring or moves to the front of a
// plain buffer again and again, and grows for the largest frames).
struct SourceKind {
  const char* name;
  size_t window;
  bool ring;
};
const SourceKind kSourceKinds[] = {
    {"default ring", mxmux::ByteSource::kWindow, true},
    {"4 KiB ring", 4096, true},
    {"16 KiB ring", 16384, true},
    {"4 KiB plain buffer", 4096, false},
    {"20000-byte plain buffer", 20000, false},
};

TEST(ByteSource, FilePipeAndMemoryGiveTheSameFrames) {
  struct Input {
    const char* file;
    mxmux::Codec codec;
  };
  const Input inputs[] = {
      {"testsrc.h264", mxmux::Codec::kH264}, {"testsrc.hevc", mxmux::Codec::kHevc},
      {"testsrc.263", mxmux::Codec::kH263},  {"tone.aac", mxmux::Codec::kAac},
      {"tone.ac3", mxmux::Codec::kAc3},      {"tone.flac", mxmux::Codec::kFlac},
  };
  for (const Input& in : inputs) {
    SCOPED_TRACE(in.file);
    const bool annex_b = in.codec == mxmux::Codec::kH264 || in.codec == mxmux::Codec::kHevc;
    const std::string path =
        annex_b ? with_long_start_codes(sample_path(in.file)) : sample_path(in.file);
    const Bytes original = read_whole_file(path);
    std::string error;

    Bytes copy = original;
    mxmux::ByteSource memory;
    memory.open_memory(copy.data(), copy.size(), "memory");
    std::vector<ReadFrame> from_memory = read_all(memory, in.codec, error);
    ASSERT_EQ(error, "");
    ASSERT_GT(from_memory.size(), 10u);
    EXPECT_TRUE(copy == original) << "the memory block was written to";

    for (const SourceKind& kind : kSourceKinds) {
      SCOPED_TRACE(kind.name);
      mxmux::ByteSource file(kind.window, kind.ring);
      mxmux::Error e;
      ASSERT_TRUE(file.open_file(path, e)) << e.text();
      EXPECT_EQ(file.mirrored(), kind.ring);
      std::vector<ReadFrame> from_file = read_all(file, in.codec, error);
      ASSERT_EQ(error, "");

      int fd = pipe_of_file(path);
      ASSERT_GE(fd, 0);
      mxmux::ByteSource piped(kind.window, kind.ring);
      ASSERT_TRUE(piped.open_file("/proc/self/fd/" + std::to_string(fd), e)) << e.text();
      std::vector<ReadFrame> from_pipe = read_all(piped, in.codec, error);
      close(fd);
      int status = 0;
      wait(&status);
      ASSERT_EQ(error, "");

      for (const std::vector<ReadFrame>* other : {&from_file, &from_pipe}) {
        ASSERT_EQ(other->size(), from_memory.size());
        for (size_t i = 0; i < from_memory.size(); ++i) {
          ASSERT_TRUE((*other)[i].bytes == from_memory[i].bytes) << "frame " << i;
          EXPECT_EQ((*other)[i].pts, from_memory[i].pts);
          EXPECT_EQ((*other)[i].dts, from_memory[i].dts);
          EXPECT_EQ((*other)[i].offset, from_memory[i].offset);
        }
      }
    }
    // The frames are the file's bytes, and the writes into them never reach it.
    for (const ReadFrame& f : from_memory) {
      ASSERT_LE(f.offset + f.bytes.size(), original.size());
      if (in.codec != mxmux::Codec::kAac) {  // ADTS frames are handed without their header
        EXPECT_TRUE(std::equal(f.bytes.begin(), f.bytes.end(), original.begin() + f.offset));
      }
    }
    EXPECT_TRUE(read_whole_file(path) == original);
    if (annex_b) std::remove(path.c_str());
  }
}

// Pictures whose units have 3-byte start codes are rebuilt, in the window's
// free bytes in front of them, or in a buffer of the reader's own when those
// are too few: whatever the source, every frame is the frame of the same
// stream written with 4-byte start codes throughout, which is lent as it is.
TEST(ByteSource, RebuiltPicturesAreTheirLongCodedTwins) {
  MX_REQUIRE_TOOLS("ffmpeg");
  // One slice per macroblock: 8160 units with 3-byte start codes in each
  // picture, more than the bytes free in front of one.
  const std::string slices = test_temp_path("slice-per-macroblock.h264");
  const auto made = run_command(
      "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=1920x1080:rate=25 "
      "-frames:v 2 -c:v libx264 -preset ultrafast -x264-params slice-max-mbs=1 -f h264 " +
      slices);
  ASSERT_EQ(made.status, 0) << made.err;
  struct Input {
    std::string path;
    mxmux::Codec codec;
  };
  const Input inputs[] = {
      {sample_path("testsrc.h264"), mxmux::Codec::kH264},
      {sample_path("testsrc.hevc"), mxmux::Codec::kHevc},
      {slices, mxmux::Codec::kH264},
  };
  for (const Input& in : inputs) {
    SCOPED_TRACE(in.path);
    const std::string twin = with_long_start_codes(in.path);
    std::string error;
    mxmux::ByteSource twin_source;
    mxmux::Error e;
    ASSERT_TRUE(twin_source.open_file(twin, e)) << e.text();
    const std::vector<ReadFrame> expected = read_all(twin_source, in.codec, error);
    ASSERT_EQ(error, "");
    ASSERT_GE(expected.size(), 2u);

    const Bytes original = read_whole_file(in.path);
    std::vector<std::vector<ReadFrame>> read;
    mxmux::ByteSource memory;
    memory.open_memory(original.data(), original.size(), "memory");
    read.push_back(read_all(memory, in.codec, error));
    for (const SourceKind& kind : kSourceKinds) {
      mxmux::ByteSource file(kind.window, kind.ring);
      ASSERT_TRUE(file.open_file(in.path, e)) << e.text();
      read.push_back(read_all(file, in.codec, error));
      ASSERT_EQ(error, "") << kind.name;
    }
    for (size_t k = 0; k < read.size(); ++k) {
      SCOPED_TRACE(k == 0 ? "memory" : kSourceKinds[k - 1].name);
      ASSERT_EQ(read[k].size(), expected.size());
      for (size_t i = 0; i < expected.size(); ++i) {
        ASSERT_TRUE(read[k][i].bytes == expected[i].bytes) << "frame " << i;
        EXPECT_EQ(read[k][i].pts, expected[i].pts);
        EXPECT_EQ(read[k][i].dts, expected[i].dts);
      }
    }
    std::remove(twin.c_str());
  }
  std::remove(slices.c_str());
}

// Frames are lent straight from the window, whatever their size; the
// plug-in's writes into them stay in the buffer and never reach the file.
TEST(ByteSource, FramesAreLentInPlace) {
  const std::string path = test_temp_path("byte-source-lend.bin");
  Bytes bytes(300000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 31);
  write_whole_file(path, bytes);
  mxmux::ByteSource src;
  mxmux::Error e;
  ASSERT_TRUE(src.open_file(path, e));
  ASSERT_TRUE(src.ensure(bytes.size()));
  const uint8_t* window = src.data();
  uint8_t* small = src.writable(100);
  EXPECT_EQ(small, window + 100);
  uint8_t* large = src.writable(1000);
  EXPECT_EQ(large, window + 1000);
  small[0] = 0xEE;
  large[0] = 0xEF;
  EXPECT_EQ(src.data()[100], 0xEE);
  EXPECT_EQ(src.data()[1000], 0xEF);
  EXPECT_TRUE(read_whole_file(path) == bytes);
  std::remove(path.c_str());
}

// A ring's memory shows every byte twice, one size apart, both ways; a plain
// buffer is what it was asked for.
TEST(ByteSource, RingMemoryHoldsEachByteTwice) {
  mxmux::sys::WindowMemory ring(10000, true);
  ASSERT_TRUE(ring.mirrored());
  ASSERT_GE(ring.size(), 10000u);
  uint8_t* const p = ring.data();
  const size_t n = ring.size();
  for (size_t k = 0; k < n; k += 997) p[k] = static_cast<uint8_t>(k * 7 + 1);
  p[n - 1] = 0x3C;
  p[n + 5] = 0x4D;  // through the second copy
  for (size_t k = 0; k < n; k += 997) ASSERT_EQ(p[n + k], static_cast<uint8_t>(k * 7 + 1)) << k;
  EXPECT_EQ(p[2 * n - 1], 0x3C);
  EXPECT_EQ(p[5], 0x4D);

  mxmux::sys::WindowMemory plain(10000, false);
  EXPECT_FALSE(plain.mirrored());
  EXPECT_EQ(plain.size(), 10000u);
  std::memset(plain.data(), 0x11, plain.size());
  // Moved from, the memory has one owner.
  mxmux::sys::WindowMemory moved(std::move(ring));
  EXPECT_EQ(moved.data(), p);
  EXPECT_EQ(ring.data(), nullptr);
}

// A unit larger than the window limit is refused with a message that says so.
TEST(ByteSource, WindowLimitAppliesToFiles) {
  const std::string path = test_temp_path("byte-source-limit.bin");
  write_whole_file(path, Bytes(1000, 7));
  mxmux::ByteSource src;
  mxmux::Error e;
  ASSERT_TRUE(src.open_file(path, e));
  EXPECT_FALSE(src.ensure(mxmux::ByteSource::kMaxWindow + 1));
  EXPECT_NE(src.error().message.find("a single frame is larger than 512 MiB"), std::string::npos);
  std::remove(path.c_str());
}

TEST(ByteSource, UnescapeDropsOnlyEmulationPreventionBytes) {
  struct Case {
    const char* in;
    size_t limit;
    const char* out;
  };
  const Case cases[] = {
      {"11 00 00 03 01 22", 100, "11 00 00 01 22"},
      {"00 00 03 00 00 03", 100, "00 00 00 00"},
      {"00 00 03 03", 100, "00 00 03"},                  // only the first 03 after two zeros
      {"00 00 00 03 05", 100, "00 00 00 05"},            // three zeros: still two before the 03
      {"00 03 00 03", 100, "00 03 00 03"},               // one zero is not enough
      {"00 00 03", 100, "00 00"},                        // at the very end
      {"AA BB CC DD 00 00 03 EE", 5, "AA BB CC DD 00"},  // the limit counts output bytes
      {"00 00 03 11 22 33", 3, "00 00 11"},
      {"", 100, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    const Bytes in = hex_bytes(c.in);
    Bytes out(c.limit);
    size_t n = mxmux::unescape_rbsp(in.data(), in.data() + in.size(), out.data(), c.limit);
    out.resize(n);
    EXPECT_EQ(out, hex_bytes(c.out));
    std::vector<uint8_t> vec = {9, 9};
    mxmux::unescape_rbsp(in.data(), in.data() + in.size(), c.limit, vec);
    EXPECT_EQ(vec, hex_bytes(c.out));
  }
}

}  // namespace
