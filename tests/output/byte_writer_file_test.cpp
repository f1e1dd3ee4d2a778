// The byte writer on a real file, opened as the session opens it: flushes,
// sizes patched into bytes already in the file (seek back, write, seek to the
// end) or straddling file and buffer, writes that bypass the buffer. These go
// through the platform's own seek and tell (_fseeki64 and _ftelli64 on
// Windows), where the recording streams of byte_writer_test cannot follow.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "output/byte_writer.h"
#include "platform/platform.h"
#include "support/test_files.h"

namespace {

class FileWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = test_temp_path("byte-writer-file.bin");
    file_ = platform_open_write(u16(path_).c_str());
    ASSERT_NE(file_, nullptr);
    // A small buffer, so that flushes come early.
    w_ = writer_create(16, file_);
    ASSERT_NE(w_, nullptr);
  }
  void TearDown() override { std::remove(path_.c_str()); }

  // Closes the writer and the file; returns what the file holds.
  std::vector<uint8_t> finish() {
    writer_close(w_);
    std::fclose(file_);
    return read_whole_file(path_);
  }

  std::string path_;
  FILE* file_ = nullptr;
  ByteWriter* w_ = nullptr;
};

TEST_F(FileWriter, SizesPatchedIntoTheFileAndAcrossItsEnd) {
  int64_t outer = open_box(w_, "moov");  // 0: its size lands in the file
  put_be64(w_, 0x1111111111111111);      // 8
  put_be32(w_, 0x22222222);              // 16: the first flush comes here
  EXPECT_EQ(writer_tell(w_), 20);
  EXPECT_EQ(platform_tell(file_), 16);
  int64_t inner = open_box(w_, "trak");  // 20
  put_be32(w_, 0x33333333);              // 28
  EXPECT_EQ(patch_box_size(w_, inner), 12);
  // 32 bytes so far: 16 in the file, 16 in the buffer.
  put_be32(w_, 0x44444444);  // 32: flushes 16..31, buffers 32..35
  // A field at 30: two bytes go into the file, two into the buffer.
  EXPECT_EQ(platform_tell(file_), 32);
  EXPECT_EQ(put_be32_at(w_, 0xAABBCCDD, 30), 4);
  EXPECT_EQ(platform_tell(file_), 32);  // back at the end after the patch
  EXPECT_EQ(patch_box_size(w_, outer), 36);
  EXPECT_EQ(platform_tell(file_), 32);
  put_be32(w_, 0x55555555);  // later bytes continue where they were
  EXPECT_EQ(finish(), hex_bytes(R"(
      00000024 6d6f6f76            # moov, 36 bytes, patched in the file
      11111111 11111111
      22222222
      0000000c 7472616b 3333       # trak, 12 bytes
      aabb ccdd                    # split across the flushed end
      4444                         # (the rest of 0x44444444 after the patch)
      55555555
  )"));
}

TEST_F(FileWriter, LargeWritesBypassTheBuffer) {
  put_be32(w_, 0x01020304);
  std::vector<uint8_t> block(100);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(put_bytes(w_, block.data(), static_cast<int32_t>(block.size())), 100);
  EXPECT_EQ(platform_tell(file_), 104);  // flushed, then written straight through
  EXPECT_EQ(writer_tell(w_), 104);
  EXPECT_EQ(put_be32_at(w_, 0xFFFFFFFF, 50), 4);
  put_u8(w_, 0x77);
  std::vector<uint8_t> expected = {1, 2, 3, 4};
  expected.insert(expected.end(), block.begin(), block.end());
  for (int i = 0; i < 4; ++i) expected[50 + i] = 0xFF;
  expected.push_back(0x77);
  EXPECT_EQ(writer_error(w_), 0);
  EXPECT_EQ(finish(), expected);
}

}  // namespace

namespace {

// Bytes taken back: from the buffer alone, from the file (which is cut
// short), and across both; the next bytes land where the cut was. Checked
// against a model of the file.
TEST_F(FileWriter, CutBackTakesBytesBackFromBufferAndFile) {
  ASSERT_TRUE(writer_can_cut_back(w_));
  std::vector<uint8_t> model;
  auto put = [&](size_t n, uint8_t seed) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(seed + i);
    put_bytes(w_, bytes.data(), static_cast<int32_t>(n));
    model.insert(model.end(), bytes.begin(), bytes.end());
  };
  auto cut_back = [&](int64_t pos) {
    writer_cut_back(w_, pos);
    if (pos >= 0 && pos <= static_cast<int64_t>(model.size())) model.resize(pos);
    EXPECT_EQ(writer_tell(w_), static_cast<int64_t>(model.size()));
  };
  put(10, 1);   // buffered
  cut_back(4);  // inside the buffer
  put(2, 50);
  put(40, 60);    // larger than the buffer: straight to the file
  cut_back(20);   // inside the file
  put(3, 120);    // buffered again
  cut_back(100);  // beyond the end: nothing
  put(14, 130);   // does not fit behind the 3: they go to the file first
  cut_back(21);   // across the file and the buffer
  put(5, 200);
  EXPECT_EQ(writer_error(w_), 0);
  EXPECT_EQ(finish(), model);
}

}  // namespace
