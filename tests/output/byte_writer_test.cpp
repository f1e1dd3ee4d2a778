#include "output/byte_writer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "support/mem_stream.h"
#include "support/test_files.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A writer over a recording memory stream; closes both on destruction unless
// the test closed the writer itself.
struct Fixture {
  MemStream mem;
  FILE* file = nullptr;
  ByteWriter* w = nullptr;

  explicit Fixture(int32_t capacity) {
    file = mem.open();
    w = writer_create(capacity, file);
  }
  ~Fixture() {
    if (w != nullptr) writer_close(w);
    if (file != nullptr) fclose(file);
  }
  void close_writer() {
    writer_close(w);
    w = nullptr;
  }
  // The whole file as the reader would see it after the final flush.
  Bytes finish() {
    close_writer();
    fflush(file);
    return mem.data;
  }
  std::vector<size_t> write_sizes() const {
    std::vector<size_t> sizes;
    for (const auto& wr : mem.writes) sizes.push_back(wr.size);
    return sizes;
  }
};

Bytes pattern(size_t n, uint8_t seed = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

TEST(ByteWriter, PrimitivesAreBigEndian) {
  Fixture f(kMuxWriterCapacity);
  put_u8(f.w, 0x1ab);
  put_be16(f.w, 0xa1b2c3);
  put_be24(f.w, 0x11223344);
  put_be32(f.w, 0xdeadbeef);
  put_be64(f.w, 0x0102030405060708ull);
  put_tag(f.w, "moov");
  put_cstring(f.w, "ab");
  EXPECT_EQ(writer_tell(f.w), 1 + 2 + 3 + 4 + 8 + 4 + 3);
  EXPECT_TRUE(f.mem.writes.empty());
  EXPECT_EQ(f.finish(), hex_bytes(R"(
    ab                        # u8: low 8 bits
    b2 c3                     # be16: low 16 bits
    22 33 44                  # be24: low 24 bits
    de ad be ef               # be32
    01 02 03 04 05 06 07 08   # be64
    6d 6f 6f 76               # tag without terminator
    61 62 00                  # cstring with terminator
  )"));
}

TEST(ByteWriter, CstringOfEmptyOrNullWritesOneZero) {
  Fixture f(64);
  put_cstring(f.w, "");
  EXPECT_EQ(writer_tell(f.w), 1);
  put_cstring(f.w, nullptr);
  EXPECT_EQ(writer_tell(f.w), 2);
  EXPECT_EQ(f.finish(), hex_bytes("00 00"));
}

TEST(ByteWriter, NullWriterAndNullDataAreIgnored) {
  put_u8(nullptr, 1);
  put_be16(nullptr, 1);
  put_be24(nullptr, 1);
  put_be32(nullptr, 1);
  put_be64(nullptr, 1);
  put_tag(nullptr, "free");
  put_cstring(nullptr, nullptr);
  put_cstring(nullptr, "x");
  const uint8_t one = 1;
  EXPECT_EQ(put_bytes(nullptr, &one, 1), 0);
  EXPECT_EQ(put_bytes64(nullptr, &one, 1), 0);
  EXPECT_EQ(put_bytes_at(&one, 1, 0, nullptr), 0);
  EXPECT_EQ(put_be32_at(nullptr, 1, 0), 0);
  EXPECT_EQ(patch_box_size(nullptr, 0), 0);
  EXPECT_EQ(writer_tell(nullptr), 0);
  EXPECT_EQ(writer_error(nullptr), 0);
  EXPECT_EQ(writer_flush(nullptr), 0);
  writer_close(nullptr);

  Fixture f(16);
  EXPECT_EQ(put_bytes(f.w, nullptr, 5), 0);
  EXPECT_EQ(put_bytes(f.w, &one, -3), 0);
  EXPECT_EQ(put_bytes(f.w, &one, 0), 0);
  put_tag(f.w, nullptr);
  EXPECT_EQ(writer_tell(f.w), 0);
}

TEST(ByteWriter, EightByteBoxGetsSizeEight) {
  Fixture f(kMuxWriterCapacity);
  int64_t start = open_box(f.w, "free");
  EXPECT_EQ(start, 0);
  EXPECT_EQ(patch_box_size(f.w, start), 8);
  EXPECT_TRUE(f.mem.writes.empty());
  EXPECT_EQ(f.mem.seeks, 0);  // a wholly buffered box is patched in memory
  EXPECT_EQ(f.finish(), hex_bytes("00 00 00 08  66 72 65 65"));
}

TEST(ByteWriter, NestedFullBoxes) {
  Fixture f(kMuxWriterCapacity);
  int64_t outer = open_box(f.w, "moov");
  int64_t inner = open_full_box(f.w, "mvhd", 1, 0x000203);
  put_be32(f.w, 7);
  EXPECT_EQ(patch_box_size(f.w, inner), 16);
  EXPECT_EQ(patch_box_size(f.w, outer), 24);
  EXPECT_EQ(f.finish(), hex_bytes(R"(
    00 00 00 18 6d 6f 6f 76
      00 00 00 10 6d 76 68 64  01 00 02 03  00 00 00 07
  )"));
}

TEST(ByteWriter, BoxStartInFileEndInBuffer) {
  Fixture f(16);
  put_bytes(f.w, pattern(4).data(), 4);
  int64_t start = open_box(f.w, "mdat");       // positions 4..11
  put_bytes(f.w, pattern(10, 50).data(), 10);  // does not fit: flushes 12 bytes
  ASSERT_EQ(f.write_sizes(), (std::vector<size_t>{12}));
  EXPECT_EQ(patch_box_size(f.w, start), 18);
  // The size went to the file at the box start, and the stream is back at its end.
  ASSERT_EQ(f.mem.writes.size(), 2u);
  EXPECT_EQ(f.mem.writes[1].pos, 4);
  EXPECT_EQ(f.mem.writes[1].size, 4u);
  EXPECT_EQ(f.mem.pos, 12);
  EXPECT_EQ(writer_tell(f.w), 22);
  // Later appends continue where they were.
  put_be16(f.w, 0xbeef);
  Bytes expect = pattern(4);
  Bytes header = hex_bytes("00 00 00 12 6d 64 61 74");
  expect.insert(expect.end(), header.begin(), header.end());
  Bytes body = pattern(10, 50);
  expect.insert(expect.end(), body.begin(), body.end());
  expect.push_back(0xbe);
  expect.push_back(0xef);
  EXPECT_EQ(f.finish(), expect);
  EXPECT_EQ(f.mem.writes.back().pos, 12);
}

TEST(ByteWriter, SizeFieldStraddlingTheFlushedLength) {
  Fixture f(8);
  put_bytes(f.w, pattern(6).data(), 6);
  // Integer primitives append byte by byte: two bytes of the placeholder fill
  // the buffer, the third flushes it, so the field straddles the boundary.
  int64_t start = open_box(f.w, "abcd");
  EXPECT_EQ(start, 6);
  ASSERT_EQ(f.write_sizes(), (std::vector<size_t>{8}));
  put_bytes(f.w, pattern(1, 9).data(), 1);
  EXPECT_EQ(patch_box_size(f.w, start), 9);
  // Leading two bytes of the size to the file at 6, the rest to the buffer start.
  ASSERT_EQ(f.mem.writes.size(), 2u);
  EXPECT_EQ(f.mem.writes[1].pos, 6);
  EXPECT_EQ(f.mem.writes[1].size, 2u);
  EXPECT_EQ(f.w->buf_start[0], 0x00);
  EXPECT_EQ(f.w->buf_start[1], 0x09);
  EXPECT_EQ(f.mem.pos, 8);
  Bytes expect = pattern(6);
  Bytes box = hex_bytes("00 00 00 09 61 62 63 64");
  expect.insert(expect.end(), box.begin(), box.end());
  expect.push_back(pattern(1, 9)[0]);
  EXPECT_EQ(f.finish(), expect);
}

TEST(ByteWriter, SmallAppendsFlushOnlyWhenTheyDoNotFit) {
  struct Case {
    const char* name;
    int32_t first, second;
    std::vector<size_t> writes;  // stream writes after both appends
    int64_t buffered;
  };
  const Case cases[] = {
      {"exactly the free space", 10, 6, {}, 16},
      {"one byte more", 10, 7, {10}, 7},
      {"whole capacity into empty buffer", 16, 0, {}, 16},
      {"capacity plus one bypasses", 0, 17, {17}, 0},
      {"large append behind buffered bytes", 3, 20, {3, 20}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f(16);
    Bytes a = pattern(c.first, 1), b = pattern(c.second, 100);
    put_bytes(f.w, a.data(), c.first);
    put_bytes(f.w, b.data(), c.second);
    EXPECT_EQ(f.write_sizes(), c.writes);
    EXPECT_EQ(f.w->buf_ptr - f.w->buf_start, c.buffered);
    EXPECT_EQ(writer_tell(f.w), c.first + c.second);
    Bytes expect = a;
    expect.insert(expect.end(), b.begin(), b.end());
    EXPECT_EQ(f.finish(), expect);
  }
}

// Appends of 64 KiB and more, and any larger than the buffer, are not copied:
// the buffered bytes are flushed and the append goes to the stream in one
// call. Smaller ones stay in the buffer.
TEST(ByteWriter, LargeAppendsGoStraightToTheStream) {
  constexpr int64_t kMiB = 1 << 20;
  struct Case {
    const char* name;
    int32_t buffered_before;
    int64_t n;
    std::vector<size_t> writes;
    int64_t buffered_after;
  };
  const Case cases[] = {
      {"just below 64 KiB stays buffered", 3, kDirectWriteMin - 1, {}, 3 + kDirectWriteMin - 1},
      {"64 KiB on an empty buffer", 0, kDirectWriteMin, {kDirectWriteMin}, 0},
      {"64 KiB behind buffered bytes", 3, kDirectWriteMin, {3, kDirectWriteMin}, 0},
      {"8 MiB, the whole capacity", 0, 8 * kMiB, {8 * kMiB}, 0},
      {"8 MiB + 1 behind buffered bytes", 3, 8 * kMiB + 1, {3, 8 * kMiB + 1}, 0},
      {"12 MiB", 0, 12 * kMiB, {12 * kMiB}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f(kMuxWriterCapacity);
    Bytes head = pattern(c.buffered_before, 3);
    Bytes big = pattern(static_cast<size_t>(c.n), 11);
    put_bytes(f.w, head.data(), c.buffered_before);
    EXPECT_EQ(put_bytes64(f.w, big.data(), c.n), c.n);
    EXPECT_EQ(f.write_sizes(), c.writes);
    EXPECT_EQ(f.w->buf_ptr - f.w->buf_start, c.buffered_after);
    EXPECT_EQ(writer_tell(f.w), c.buffered_before + c.n);
    Bytes expect = head;
    expect.insert(expect.end(), big.begin(), big.end());
    EXPECT_TRUE(f.finish() == expect);
  }
}

// Pieces are one append of their total: below 64 KiB all are copied into the
// buffer; from 64 KiB the buffer is flushed and the pieces follow, each in one
// stream call on a stream without a descriptor.
TEST(ByteWriter, SpansAppendAsOneSample) {
  struct Case {
    const char* name;
    int32_t buffered_before;
    std::vector<size_t> pieces;
    std::vector<size_t> writes;
    int64_t buffered_after;
  };
  const Case cases[] = {
      {"small pieces are copied", 5, {4, 0, 100, 16}, {}, 125},
      {"small pieces that do not fit flush first", 20, {4, 16}, {20}, 20},
      {"a large total goes to the stream", 5, {16, 70000, 0, 4}, {5, 16, 70000, 4}, 0},
      {"no pieces", 5, {}, {}, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f(c.buffered_before == 20 ? 32 : kMuxWriterCapacity);
    Bytes expect = pattern(c.buffered_before, 1);
    put_bytes(f.w, expect.data(), c.buffered_before);
    std::vector<Bytes> pieces;
    std::vector<WriteSpan> spans;
    int64_t total = 0;
    for (size_t size : c.pieces) {
      pieces.push_back(pattern(size, static_cast<uint8_t>(pieces.size() * 40)));
      total += static_cast<int64_t>(size);
    }
    for (const Bytes& p : pieces) {
      spans.push_back({p.empty() ? nullptr : p.data(), p.size()});
      expect.insert(expect.end(), p.begin(), p.end());
    }
    EXPECT_EQ(put_spans(f.w, spans.data(), spans.size()), total);
    EXPECT_EQ(f.write_sizes(), c.writes);
    EXPECT_EQ(f.w->buf_ptr - f.w->buf_start, c.buffered_after);
    EXPECT_EQ(writer_tell(f.w), static_cast<int64_t>(expect.size()));
    EXPECT_EQ(f.finish(), expect);
  }
}

// On a real file the pieces go out in one gathered write through the file's
// descriptor; the stream's own later writes, seeks and patches must still land
// where the writer's positions say.
TEST(ByteWriter, GatheredWritesKeepTheStreamInStep) {
  std::string path = test_temp_path("byte_writer_gathered.bin");
  FILE* file = fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  ByteWriter* w = writer_create(64, file);
  int64_t box = open_box(w, "mdat");
  const Bytes a = pattern(100000, 1), b = pattern(7, 2), c = pattern(200000, 3);
  const WriteSpan spans[] = {{a.data(), a.size()}, {b.data(), b.size()}, {c.data(), c.size()}};
  EXPECT_EQ(put_spans(w, spans, 3), 300007);
  put_be32(w, 0xAABBCCDD);                            // buffered behind the direct bytes
  EXPECT_EQ(patch_box_size(w, box), 8 + 300007 + 4);  // patches bytes already in the file
  put_spans(w, spans, 1);
  EXPECT_EQ(writer_tell(w), 8 + 300007 + 4 + 100000);
  EXPECT_EQ(writer_flush(w), 0);
  writer_close(w);
  fclose(file);
  Bytes expect = hex_bytes("00 04 93 f3 6d 64 61 74");
  for (const Bytes* part : {&a, &b, &c}) expect.insert(expect.end(), part->begin(), part->end());
  Bytes tail = hex_bytes("AA BB CC DD");
  expect.insert(expect.end(), tail.begin(), tail.end());
  expect.insert(expect.end(), a.begin(), a.end());
  EXPECT_TRUE(read_whole_file(path) == expect);
  remove(path.c_str());
}

// Appends of every kind mixed with patches of earlier bytes and flushes, on a
// real file, where gathered writes reach the descriptor behind the stream's
// back while patches seek through the stream: the file must hold what a plain
// model of the same calls holds. Patches land in bytes written directly, in
// buffered ones and across the two; a small buffer makes the buffered and
// direct paths alternate often, the full-size one keeps most appends buffered.
TEST(ByteWriter, GatheredWritesPatchesAndFlushesMatchAModel) {
  const Bytes source = pattern(400000, 11);  // appended bytes are taken from here
  for (int32_t capacity : {4096, kMuxWriterCapacity}) {
    SCOPED_TRACE(capacity);
    std::string path = test_temp_path("byte_writer_model.bin");
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ByteWriter* w = writer_create(capacity, file);
    Bytes model;
    uint32_t state = 2024;
    auto below = [&](size_t n) {
      state = state * 1664525u + 1013904223u;
      return static_cast<size_t>(state >> 8) % n;
    };
    // A size from one of the classes the append rule tells apart.
    auto any_size = [&]() -> size_t {
      switch (below(4)) {
        case 0:
          return below(3);  // empty or tiny
        case 1:
          return 1 + below(300);  // small
        case 2:
          return 1000 + below(40000);  // below the direct limit
        default:
          return kDirectWriteMin + below(150000);  // direct
      }
    };
    auto source_piece = [&](size_t n) { return source.data() + below(source.size() - n + 1); };
    for (int step = 0; step < 300; ++step) {
      SCOPED_TRACE(step);
      switch (below(5)) {
        case 0: {  // one append
          const size_t n = any_size();
          const uint8_t* from = source_piece(n);
          put_bytes64(w, from, static_cast<int64_t>(n));
          model.insert(model.end(), from, from + n);
          break;
        }
        case 1: {  // pieces of one sample
          std::vector<WriteSpan> spans(1 + below(6));
          for (WriteSpan& span : spans) {
            span.size = any_size();
            span.data = source_piece(span.size);
            model.insert(model.end(), span.data, span.data + span.size);
          }
          put_spans(w, spans.data(), spans.size());
          break;
        }
        case 2: {  // an integer field
          const auto v = static_cast<uint32_t>(below(1u << 24) * 131);
          put_be32(w, v);
          for (int shift = 24; shift >= 0; shift -= 8)
            model.push_back(static_cast<uint8_t>(v >> shift));
          break;
        }
        case 3: {  // a patch: anywhere, or near the end, where the buffer starts
          if (model.size() < 64) break;
          const size_t n = 1 + below(64);
          const size_t near_end =
              model.size() - n - below(std::min<size_t>(model.size() - n, 6000));
          const size_t pos = below(2) == 0 ? below(model.size() - n + 1) : near_end;
          const uint8_t* from = source_piece(n);
          ASSERT_EQ(put_bytes_at(from, static_cast<int32_t>(n), static_cast<int64_t>(pos), w),
                    static_cast<int32_t>(n));
          std::copy(from, from + n, model.begin() + static_cast<std::ptrdiff_t>(pos));
          break;
        }
        default:
          if (below(4) == 0) {
            EXPECT_EQ(writer_flush(w), 0);
          }
          break;
      }
      ASSERT_EQ(writer_tell(w), static_cast<int64_t>(model.size()));
    }
    EXPECT_EQ(writer_flush(w), 0);
    writer_close(w);
    fclose(file);
    EXPECT_TRUE(read_whole_file(path) == model) << "the file differs from the model";
    remove(path.c_str());
  }
}

// A gathered write that fails part-way (here at the file size limit, in a
// child process): the first failure is kept and reported by the flush, the
// positions still count every byte asked for, a later patch of bytes that did
// reach the file lands, and the file holds exactly the accepted bytes in order.
TEST(ByteWriter, GatheredWriteFailingPartWay) {
  constexpr int64_t kLimit = 100000;
  std::string path = test_temp_path("byte_writer_gather_limit.bin");
  const Bytes head = pattern(1000, 1), a = pattern(60000, 2), b = pattern(60000, 3),
              c = pattern(60000, 4);
  struct Outcome {
    int error_after_spans;
    int64_t returned;
    int64_t tell_after_spans;
    int64_t tell_at_end;
    int flush_result;
  } outcome{};
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(report[0]);
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {kLimit, kLimit};
    setrlimit(RLIMIT_FSIZE, &limit);
    FILE* file = fopen(path.c_str(), "wb");
    ByteWriter* w = writer_create(4096, file);
    put_bytes(w, head.data(), static_cast<int32_t>(head.size()));  // buffered
    const WriteSpan spans[] = {{a.data(), a.size()}, {b.data(), b.size()}, {c.data(), c.size()}};
    outcome.returned = put_spans(w, spans, 3);
    outcome.error_after_spans = writer_error(w);
    outcome.tell_after_spans = writer_tell(w);
    put_be32(w, 0x01020304);          // buffered behind the failed bytes
    put_be32_at(w, 0xA1B2C3D4, 500);  // in the file, below the limit
    outcome.tell_at_end = writer_tell(w);
    outcome.flush_result = writer_flush(w);
    writer_close(w);
    fclose(file);
    _exit(write(report[1], &outcome, sizeof outcome) == sizeof outcome ? 0 : 1);
  }
  close(report[1]);
  ASSERT_EQ(read(report[0], &outcome, sizeof outcome), static_cast<ssize_t>(sizeof outcome));
  close(report[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(outcome.returned, 180000);
  EXPECT_EQ(outcome.error_after_spans, EFBIG);
  EXPECT_EQ(outcome.tell_after_spans, 181000);
  EXPECT_EQ(outcome.tell_at_end, 181004);
  EXPECT_EQ(outcome.flush_result, EFBIG);
  Bytes expect = head;
  expect.insert(expect.end(), a.begin(), a.end());
  expect.insert(expect.end(), b.begin(), b.begin() + (kLimit - 61000));
  const Bytes patch = hex_bytes("A1 B2 C3 D4");
  std::copy(patch.begin(), patch.end(), expect.begin() + 500);
  EXPECT_TRUE(read_whole_file(path) == expect);
  remove(path.c_str());
}

// The same on a stream without a descriptor, where the pieces go through the
// stream one by one: the piece that fails ends the sample (the one behind it
// is not tried), the file holds exactly the accepted bytes in order, and the
// first failure stays even when the stream accepts writes again.
TEST(ByteWriter, PiecewiseWriteFailingPartWay) {
  Fixture f(64);
  f.mem.fail_writes_after = 100000;
  f.mem.write_errno = ENOSPC;
  // b does not fit below the limit, c would.
  const Bytes head = pattern(10, 1), a = pattern(70000, 2), b = pattern(40000, 3),
              c = pattern(5000, 4);
  put_bytes(f.w, head.data(), 10);
  const WriteSpan spans[] = {{a.data(), a.size()}, {b.data(), b.size()}, {c.data(), c.size()}};
  EXPECT_EQ(put_spans(f.w, spans, 3), 115000);
  EXPECT_EQ(writer_error(f.w), ENOSPC);
  EXPECT_EQ(writer_tell(f.w), 115010);
  EXPECT_EQ(f.write_sizes(), (std::vector<size_t>{10, 70000}));
  Bytes expect = head;
  expect.insert(expect.end(), a.begin(), a.end());
  EXPECT_TRUE(f.mem.data == expect);
  f.mem.fail_writes_after = -1;
  put_spans(f.w, spans, 1);
  EXPECT_EQ(writer_tell(f.w), 185010);
  EXPECT_EQ(writer_flush(f.w), ENOSPC);
}

TEST(ByteWriter, CloseWithEmptyBufferMakesNoStreamCall) {
  Fixture f(16);
  int before = f.mem.total_calls();
  f.close_writer();
  EXPECT_EQ(f.mem.total_calls(), before);

  Fixture g(16);
  put_bytes(g.w, pattern(17).data(), 17);  // bypasses the buffer, leaves it empty
  before = g.mem.total_calls();
  g.close_writer();
  EXPECT_EQ(g.mem.total_calls(), before);

  Fixture h(16);
  put_be32(h.w, 5);
  h.close_writer();
  ASSERT_EQ(h.mem.writes.size(), 1u);  // the final flush
  EXPECT_EQ(h.mem.writes[0].size, 4u);
}

TEST(ByteWriter, PutBytesAtInFileStraddlingAndBuffered) {
  struct Case {
    const char* name;
    int64_t pos;
    int32_t n;
    std::vector<MemStream::Write> patch_writes;  // writes the patch itself made
    int patch_seeks;
  };
  // 12 bytes in the file (one flush), 6 buffered: flushed length 12.
  const Case cases[] = {
      {"wholly in the file", 2, 5, {{2, 5}}, 2},
      {"ends exactly at the flushed length", 7, 5, {{7, 5}}, 2},
      {"straddling", 9, 6, {{9, 3}}, 2},
      {"wholly buffered", 13, 4, {}, 0},
      {"starts at the flushed length", 12, 6, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f(16);
    Bytes original = pattern(18, 1);
    put_bytes(f.w, original.data(), 12);
    put_bytes(f.w, original.data() + 12, 6);
    ASSERT_EQ(f.write_sizes(), (std::vector<size_t>{12}));
    size_t writes_before = f.mem.writes.size();
    int seeks_before = f.mem.seeks;
    Bytes patch = pattern(c.n, 200);
    EXPECT_EQ(put_bytes_at(patch.data(), c.n, c.pos, f.w), c.n);
    ASSERT_EQ(f.mem.writes.size() - writes_before, c.patch_writes.size());
    for (size_t i = 0; i < c.patch_writes.size(); ++i) {
      EXPECT_EQ(f.mem.writes[writes_before + i].pos, c.patch_writes[i].pos);
      EXPECT_EQ(f.mem.writes[writes_before + i].size, c.patch_writes[i].size);
    }
    EXPECT_EQ(f.mem.seeks - seeks_before, c.patch_seeks);
    EXPECT_EQ(f.mem.pos, 12);  // back at the end
    EXPECT_EQ(writer_tell(f.w), 18);
    Bytes expect = original;
    std::copy(patch.begin(), patch.end(), expect.begin() + c.pos);
    EXPECT_EQ(f.finish(), expect);
  }
}

TEST(ByteWriter, PutBytesAtOutsideTheWrittenRegionWritesNothing) {
  Fixture f(16);
  put_bytes(f.w, pattern(20).data(), 20);
  put_bytes(f.w, pattern(4).data(), 4);  // flushed 20, buffered 4
  const uint8_t b[4] = {1, 2, 3, 4};
  int calls = f.mem.total_calls();
  EXPECT_EQ(put_bytes_at(b, 4, 21, f.w), 0);  // would run past the end
  EXPECT_EQ(put_bytes_at(b, 4, -1, f.w), 0);
  EXPECT_EQ(put_bytes_at(b, -4, 0, f.w), 0);
  EXPECT_EQ(put_bytes_at(nullptr, 4, 0, f.w), 0);
  EXPECT_EQ(put_be32_at(f.w, 1, 22), 0);
  EXPECT_EQ(f.mem.total_calls(), calls);
  EXPECT_EQ(put_be32_at(f.w, 0x01020304, 20), 4);
  EXPECT_EQ(writer_tell(f.w), 24);
}

// A stream that keeps only its first bytes lets the 64-bit form be checked
// without writing 4 GiB anywhere: large appends bypass the small buffer.
TEST(ByteWriter, PatchUsesTheLargeFormAbove32Bits) {
  struct Case {
    int64_t payload;  // bytes behind the 16-byte header
    Bytes head;
  };
  const Case cases[] = {
      {0xFFFFFFFFll - 16, hex_bytes("ff ff ff ff 6d 64 61 74  00 00 00 00 00 00 00 00")},
      {0xFFFFFFFFll - 15, hex_bytes("00 00 00 01 6d 64 61 74  00 00 00 01 00 00 00 00")},
      {0x123456789ll, hex_bytes("00 00 00 01 6d 64 61 74  00 00 00 01 23 45 67 99")},
  };
  constexpr int64_t kChunk = 4 << 20;
  Bytes chunk(kChunk, 0x5a);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.payload);
    Fixture f(64);
    f.mem.keep_limit = 4096;
    put_bytes(f.w, pattern(8).data(), 8);  // something ahead of the box
    int64_t start = open_box(f.w, "mdat");
    put_be64(f.w, 0);
    for (int64_t left = c.payload; left > 0;) {
      int64_t n = left < kChunk ? left : kChunk;
      put_bytes64(f.w, chunk.data(), n);
      left -= n;
    }
    EXPECT_EQ(patch_box_size(f.w, start), c.payload + 16);
    EXPECT_EQ(writer_error(f.w), 0);
    Bytes file = f.finish();
    EXPECT_EQ(f.mem.length, 8 + 16 + c.payload);
    ASSERT_GE(file.size(), 24u);
    EXPECT_EQ(Bytes(file.begin() + 8, file.begin() + 24), c.head);
  }
}

TEST(ByteWriter, FirstWriteFailureIsRecordedAndSticky) {
  Fixture f(16);
  f.mem.fail_writes_after = 10;
  f.mem.write_errno = EDQUOT;
  put_bytes(f.w, pattern(8).data(), 8);
  EXPECT_EQ(writer_error(f.w), 0);
  put_bytes(f.w, pattern(12).data(), 12);  // flushes 8: fine
  EXPECT_EQ(writer_error(f.w), 0);
  put_bytes(f.w, pattern(30).data(), 30);  // flushes 12 then writes 30: fails
  EXPECT_EQ(writer_error(f.w), EDQUOT);
  // Positions stay consistent with what was asked for.
  EXPECT_EQ(writer_tell(f.w), 50);
  // A later seek failure does not replace the first cause.
  f.mem.fail_seeks = true;
  f.mem.seek_errno = ESPIPE;
  put_be32_at(f.w, 1, 0);
  EXPECT_EQ(writer_error(f.w), EDQUOT);
  EXPECT_EQ(writer_flush(f.w), EDQUOT);
}

TEST(ByteWriter, FailedSeekDoesNotWriteAtTheEnd) {
  Fixture f(16);
  int64_t start = open_box(f.w, "mdat");
  put_bytes(f.w, pattern(20).data(), 20);  // flushes the header, bypasses
  int64_t length = f.mem.length;
  size_t writes = f.mem.writes.size();
  f.mem.fail_seeks = true;
  f.mem.seek_errno = ESPIPE;
  EXPECT_EQ(patch_box_size(f.w, start), 28);
  EXPECT_EQ(writer_error(f.w), ESPIPE);
  EXPECT_EQ(f.mem.writes.size(), writes);
  EXPECT_EQ(f.mem.length, length);
}

TEST(ByteWriter, TellFailureAtCreationIsRecorded) {
  cookie_io_functions_t io{};
  io.write = [](void*, const char*, size_t n) -> ssize_t { return static_cast<ssize_t>(n); };
  FILE* file = fopencookie(nullptr, "w", io);  // no seek: tell fails
  ASSERT_NE(file, nullptr);
  ByteWriter* w = writer_create(16, file);
  ASSERT_NE(w, nullptr);
  EXPECT_NE(writer_error(w), 0);
  EXPECT_EQ(writer_tell(w), 0);
  writer_close(w);
  fclose(file);

  ByteWriter* no_file = writer_create(16, nullptr);
  ASSERT_NE(no_file, nullptr);
  EXPECT_EQ(writer_error(no_file), EBADF);
  put_be32(no_file, 1);
  writer_close(no_file);  // nothing to write to, no crash
}

TEST(ByteWriter, DevFullReportsNoSpace) {
  FILE* file = fopen("/dev/full", "wb");
  if (file == nullptr) GTEST_SKIP() << "/dev/full not available";
  ByteWriter* w = writer_create(kMuxWriterCapacity, file);
  ASSERT_NE(w, nullptr);
  Bytes big = pattern(kMuxWriterCapacity + 1);
  put_bytes(w, big.data(), kMuxWriterCapacity + 1);
  EXPECT_EQ(writer_error(w), ENOSPC);
  put_be32(w, 1);
  EXPECT_EQ(writer_flush(w), ENOSPC);
  writer_close(w);
  fclose(file);

  // Small files fail only when the bytes leave the buffers: writer_flush says so.
  file = fopen("/dev/full", "wb");
  ASSERT_NE(file, nullptr);
  w = writer_create(kMuxWriterCapacity, file);
  put_tag(w, "ftyp");
  EXPECT_EQ(writer_error(w), 0);
  EXPECT_EQ(writer_flush(w), ENOSPC);
  writer_close(w);
  fclose(file);
}

// A stream whose file cannot be cut back (here one without a descriptor):
// bytes still in the buffer are taken back as anywhere, bytes already handed
// to the stream cannot be, and the writer says so (EINVAL).
TEST(ByteWriter, CutBackIntoAStreamThatCannotBeCutNotesAnError) {
  Fixture f(16);
  EXPECT_FALSE(writer_can_cut_back(f.w));
  Bytes first = pattern(20, 1);
  put_bytes(f.w, first.data(), 20);  // straight to the stream
  Bytes second = pattern(6, 9);
  put_bytes(f.w, second.data(), 6);  // buffered
  writer_cut_back(f.w, 22);
  EXPECT_EQ(writer_tell(f.w), 22);
  EXPECT_EQ(writer_error(f.w), 0);
  writer_cut_back(f.w, 10);
  EXPECT_EQ(writer_error(f.w), EINVAL);
}

TEST(ByteWriter, RealFileRoundTrip) {
  std::string path = test_temp_path("byte_writer_roundtrip.bin");
  FILE* file = fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  ByteWriter* w = writer_create(32, file);
  int64_t start = open_box(w, "mdat");
  Bytes body = pattern(100);
  put_bytes(w, body.data(), 100);
  EXPECT_EQ(patch_box_size(w, start), 108);
  EXPECT_EQ(writer_flush(w), 0);
  writer_close(w);
  fclose(file);
  Bytes got = read_whole_file(path);
  Bytes expect = hex_bytes("00 00 00 6c 6d 64 61 74");
  expect.insert(expect.end(), body.begin(), body.end());
  EXPECT_EQ(got, expect);
  remove(path.c_str());
}

}  // namespace
