// The platform stand-ins: text conversion, files, temporary directory, libraries.
#include "platform/platform.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/library.h"
#include "support/mem_stream.h"
#include "support/test_files.h"

namespace {

struct ConversionCase {
  const char* name;
  std::u16string source;
  std::string expected;
};

const ConversionCase kConversions[] = {
    {"empty", u"", ""},
    {"ASCII", u"mx_mp4.dll: media file closed.", "mx_mp4.dll: media file closed."},
    {"two-byte form", u"caf\u00e9", "caf\xc3\xa9"},
    {"three-byte form", u"\u20ac\u65e5", "\xe2\x82\xac\xe6\x97\xa5"},
    {"surrogate pair", std::u16string{0xD83D, 0xDE00}, "\xf0\x9f\x98\x80"},
    {"lone high surrogate at the end", std::u16string{u'a', 0xD800}, "a\xef\xbf\xbd"},
    {"lone high surrogate before text", std::u16string{0xDBFF, u'b'},
     "\xef\xbf\xbd"
     "b"},
    {"lone low surrogate", std::u16string{0xDC00, u'c'},
     "\xef\xbf\xbd"
     "c"},
    {"reversed pair", std::u16string{0xDE00, 0xD83D}, "\xef\xbf\xbd\xef\xbf\xbd"},
    {"last BMP unit", std::u16string{0xFFFF}, "\xef\xbf\xbf"},
};

TEST(Platform, WideToMultibyteConvertsToUtf8WithReplacement) {
  for (const ConversionCase& c : kConversions) {
    EXPECT_EQ(wide_to_string(c.source.c_str()), c.expected) << c.name;
    char buffer[64];
    int32_t n = wide_to_multibyte(c.source.c_str(), buffer, sizeof buffer);
    EXPECT_EQ(n, static_cast<int32_t>(c.expected.size() + 1)) << c.name;
    EXPECT_EQ(std::string(buffer), c.expected) << c.name;
    // Exactly enough room works; one byte less writes nothing.
    std::string exact(c.expected.size() + 1, '#');
    EXPECT_EQ(wide_to_multibyte(c.source.c_str(), exact.data(), static_cast<int32_t>(exact.size())),
              n)
        << c.name;
    EXPECT_EQ(std::string(exact.c_str()), c.expected) << c.name;
    if (!c.expected.empty()) {
      std::string small(c.expected.size(), '#');
      EXPECT_EQ(
          wide_to_multibyte(c.source.c_str(), small.data(), static_cast<int32_t>(small.size())), 0)
          << c.name;
      EXPECT_EQ(small, std::string(c.expected.size(), '#')) << c.name << ": nothing written";
    }
  }
}

TEST(Platform, WideToMultibyteEdgeArguments) {
  char buffer[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(wide_to_multibyte(nullptr, buffer, 4), 1);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(wide_to_multibyte(u"abc", nullptr, 4), 0);
  EXPECT_EQ(wide_to_multibyte(u"abc", buffer, 0), 0);
  EXPECT_EQ(wide_to_multibyte(u"abc", buffer, -5), 0);
  EXPECT_EQ(wide_to_string(nullptr), "");
}

TEST(Platform, MultibyteToWideRoundTripsAndReplacesMalformedBytes) {
  for (const ConversionCase& c : kConversions) {
    if (c.expected.find("\xef\xbf\xbd") != std::string::npos) continue;  // replaced units
    EXPECT_EQ(multibyte_to_wide(c.expected.c_str()), c.source) << c.name;
  }
  EXPECT_EQ(multibyte_to_wide("a\xff"
                              "b"),
            (std::u16string{u'a', 0xFFFD, u'b'}));
  EXPECT_EQ(multibyte_to_wide("\xc3"), (std::u16string{0xFFFD}));              // cut short
  EXPECT_EQ(multibyte_to_wide("\xc0\xaf"), (std::u16string{0xFFFD, 0xFFFD}));  // overlong
  EXPECT_EQ(multibyte_to_wide("\xed\xa0\x80"), (std::u16string{0xFFFD, 0xFFFD, 0xFFFD}));
  EXPECT_EQ(multibyte_to_wide(nullptr), u"");
}

TEST(Platform, WideLengthIsBounded) {
  EXPECT_EQ(wide_length(nullptr), 0u);
  EXPECT_EQ(wide_length(u"abcd"), 4u);
  EXPECT_EQ(wide_length(u"abcd", 2), 2u);
  EXPECT_EQ(wide_length(u"", 2), 0u);
}

TEST(Platform, OpenWriteSeekTell) {
  std::string path = test_temp_path("platform-\xc3\xa9.bin");
  FILE* file = platform_open_write(multibyte_to_wide(path.c_str()).c_str());
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(std::fwrite("0123456789", 1, 10, file), 10u);
  EXPECT_EQ(platform_tell(file), 10);
  EXPECT_EQ(platform_seek(file, 2, SEEK_SET), 0);
  EXPECT_EQ(platform_tell(file), 2);
  std::fputc('x', file);
  // Past 4 GiB: the offsets are 64-bit (a sparse seek writes nothing).
  const int64_t past_4gib = int64_t{5} << 30;
  EXPECT_EQ(platform_seek(file, past_4gib, SEEK_SET), 0);
  EXPECT_EQ(platform_tell(file), past_4gib);
  EXPECT_EQ(platform_seek(file, 0, SEEK_END), 0);
  EXPECT_EQ(platform_tell(file), 10);
  EXPECT_EQ(platform_seek(file, -100, SEEK_SET), -1);
  std::fclose(file);
  std::vector<uint8_t> bytes = read_whole_file(path);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "01x3456789");

  // "wb" truncates an existing file.
  file = platform_open_write(multibyte_to_wide(path.c_str()).c_str());
  ASSERT_NE(file, nullptr);
  std::fclose(file);
  EXPECT_TRUE(read_whole_file(path).empty());
  std::remove(path.c_str());
}

std::vector<uint8_t> filled(size_t n, uint8_t seed) {
  std::vector<uint8_t> b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 13);
  return b;
}

// Pieces reach the file in order behind what the stream had buffered, and the
// stream carries on at the new end; empty pieces are skipped. More pieces than
// one system call takes are written in several.
TEST(Platform, WriteSpansGathersPiecesBehindTheStreamsBytes) {
  std::string path = test_temp_path("platform-spans.bin");
  FILE* file = platform_open_write(multibyte_to_wide(path.c_str()).c_str());
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(std::fwrite("head", 1, 4, file), 4u);  // still in the stream's buffer
  std::vector<std::vector<uint8_t>> parts;
  for (size_t i = 0; i < 150; ++i) parts.push_back(filled(i % 5 == 0 ? 0 : i * 101, uint8_t(i)));
  std::vector<WriteSpan> spans;
  std::vector<uint8_t> expect = {'h', 'e', 'a', 'd'};
  for (const auto& p : parts) {
    spans.push_back({p.data(), p.size()});
    expect.insert(expect.end(), p.begin(), p.end());
  }
  EXPECT_EQ(platform_write_spans(file, spans.data(), spans.size()), 0);
  EXPECT_EQ(platform_tell(file), static_cast<int64_t>(expect.size()));
  ASSERT_EQ(std::fwrite("tail", 1, 4, file), 4u);
  std::fclose(file);
  expect.insert(expect.end(), {'t', 'a', 'i', 'l'});
  EXPECT_TRUE(read_whole_file(path) == expect);
  std::remove(path.c_str());
}

// A positioned write replaces bytes the stream wrote before, including bytes
// still in its buffer, and the stream carries on at its end.
TEST(Platform, WriteAtPatchesEarlierBytesAndLeavesTheStreamAtItsEnd) {
  std::string path = test_temp_path("platform-write-at.bin");
  FILE* file = platform_open_write(multibyte_to_wide(path.c_str()).c_str());
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(std::fwrite("0123456789", 1, 10, file), 10u);  // still in the stream's buffer
  const uint8_t patch[] = {'a', 'b', 'c'};
  EXPECT_EQ(platform_write_at(file, patch, 3, 4), 0);
  EXPECT_EQ(platform_tell(file), 10);
  ASSERT_EQ(std::fwrite("tail", 1, 4, file), 4u);
  EXPECT_EQ(platform_write_at(file, patch, 1, 13), 0);  // the last byte
  EXPECT_EQ(platform_write_at(nullptr, patch, 1, 0), EBADF);
  std::fclose(file);
  const std::vector<uint8_t> bytes = read_whole_file(path);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "0123abc789taia");
  std::remove(path.c_str());
}

#ifndef _WIN32
// A stream without a descriptor seeks to the place, writes, and returns to its
// end; when the seek fails nothing is written, least of all at the end.
TEST(Platform, WriteAtThroughACustomStream) {
  MemStream mem;
  FILE* file = mem.open();
  ASSERT_EQ(std::fwrite("0123456789", 1, 10, file), 10u);
  const uint8_t patch[] = {'x', 'y'};
  EXPECT_EQ(platform_write_at(file, patch, 2, 6), 0);
  ASSERT_EQ(mem.writes.size(), 2u);
  EXPECT_EQ(mem.writes[1].pos, 6);
  EXPECT_EQ(mem.writes[1].size, 2u);
  EXPECT_EQ(platform_tell(file), 10);
  mem.fail_seeks = true;
  mem.seek_errno = ESPIPE;
  EXPECT_EQ(platform_write_at(file, patch, 2, 0), ESPIPE);
  EXPECT_EQ(mem.writes.size(), 2u);
  mem.fail_seeks = false;
  const std::vector<uint8_t> bytes = mem.contents(file);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "012345xy89");
  std::fclose(file);
}

// A stream without a descriptor gets one write per non-empty piece.
TEST(Platform, WriteSpansThroughACustomStream) {
  MemStream mem;
  FILE* file = mem.open();
  const auto a = filled(10, 1), b = filled(300, 2);
  const WriteSpan spans[] = {{a.data(), a.size()}, {nullptr, 0}, {b.data(), b.size()}};
  EXPECT_EQ(platform_write_spans(file, spans, 3), 0);
  ASSERT_EQ(mem.writes.size(), 2u);
  EXPECT_EQ(mem.writes[0].size, 10u);
  EXPECT_EQ(mem.writes[1].size, 300u);
  mem.fail_writes_after = 0;
  mem.write_errno = ENOSPC;
  EXPECT_EQ(platform_write_spans(file, spans, 3), ENOSPC);
  std::fclose(file);
  EXPECT_EQ(platform_write_spans(nullptr, spans, 3), EBADF);
}

// A write the system cuts short (here at the file size limit) is continued
// from where it stopped; the failure that follows is reported, and the file
// holds exactly the bytes that were accepted, in order.
TEST(Platform, WriteSpansContinueAfterAShortWriteAndReportTheFailure) {
  std::string path = test_temp_path("platform-spans-limit.bin");
  const auto a = filled(60000, 3), b = filled(60000, 4), c = filled(60000, 5);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {100000, 100000};
    setrlimit(RLIMIT_FSIZE, &limit);
    FILE* file = std::fopen(path.c_str(), "wb");
    const WriteSpan spans[] = {{a.data(), a.size()}, {b.data(), b.size()}, {c.data(), c.size()}};
    int result = file ? platform_write_spans(file, spans, 3) : -1;
    _exit(result == EFBIG ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the failure was not reported as EFBIG";
  std::vector<uint8_t> expect = a;
  expect.insert(expect.end(), b.begin(), b.begin() + 40000);
  EXPECT_TRUE(read_whole_file(path) == expect);
  std::remove(path.c_str());
}
#endif

TEST(Platform, OpenWriteReportsErrno) {
  errno = 0;
  EXPECT_EQ(platform_open_write(nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(platform_open_write(u"/nonexistent-folder-of-the-test/x.mp4"), nullptr);
  EXPECT_EQ(errno, ENOENT);
}

#ifdef _WIN32
// On Windows the system itself keeps another process from unlinking, replacing
// or cutting a file the plug-in holds open for writing (no sharing of delete
// or write access): the file keeps every written byte and the check passes.
TEST(Platform, CheckWrittenFilesCannotBeChangedUnderneath) {
  std::string path = test_temp_path("check-written.bin");
  FILE* file = platform_open_write(multibyte_to_wide(path.c_str()).c_str());
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(std::fwrite("0123456789", 1, 10, file), 10u);
  ASSERT_EQ(std::fflush(file), 0);
  EXPECT_NE(std::remove(path.c_str()), 0);
  write_whole_file(path + ".other", {1, 2, 3, 4, 5});
  EXPECT_FALSE(MoveFileExA((path + ".other").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(platform_check_written(file, 10), 0);
  EXPECT_EQ(platform_check_written(file, 11), EIO);  // shorter than what was written
  std::fclose(file);
  std::remove(path.c_str());
  std::remove((path + ".other").c_str());
  EXPECT_EQ(platform_check_written(nullptr, 0), EBADF);
}
#else
// What another process may do to a file while it is written: the check on
// the open stream tells a file that still holds every written byte under its
// name from one that was unlinked, replaced or cut short.
TEST(Platform, CheckWrittenSeesFilesChangedUnderneath) {
  struct Case {
    const char* name;
    void (*change)(const std::string& path);
    int result;
  };
  const Case cases[] = {
      {"left alone", [](const std::string&) {}, 0},
      {"unlinked", [](const std::string& path) { std::remove(path.c_str()); }, ENOENT},
      {"replaced by another file",
       [](const std::string& path) {
         write_whole_file(path + ".other", {1, 2, 3, 4, 5});
         std::rename((path + ".other").c_str(), path.c_str());
       },
       ENOENT},
      {"truncated", [](const std::string& path) { ASSERT_EQ(truncate(path.c_str(), 5), 0); }, EIO},
      {"grown", [](const std::string& path) { ASSERT_EQ(truncate(path.c_str(), 100), 0); }, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = test_temp_path("check-written.bin");
    FILE* file = platform_open_write(multibyte_to_wide(path.c_str()).c_str());
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite("0123456789", 1, 10, file), 10u);
    ASSERT_EQ(std::fflush(file), 0);
    c.change(path);
    EXPECT_EQ(platform_check_written(file, 10), c.result);
    std::fclose(file);
    std::remove(path.c_str());
  }
  // Devices and pipes have no size to compare with.
  FILE* null_device = std::fopen("/dev/null", "wb");
  ASSERT_NE(null_device, nullptr);
  EXPECT_EQ(platform_check_written(null_device, 1000), 0);
  std::fclose(null_device);
  EXPECT_EQ(platform_check_written(nullptr, 0), EBADF);
}
#endif

#ifdef _WIN32
// GetTempPathW: the user's temporary folder, from TMP (then TEMP), with a
// trailing backslash.
TEST(Platform, TempDirectoryIsTheUsersTempPath) {
  struct Case {
    const wchar_t* tmp;
    std::u16string expected;
  };
  const Case cases[] = {
      {L"C:\\scratch", u"C:\\scratch\\"},
      {L"C:\\scratch\\", u"C:\\scratch\\"},
      {L"C:\\d\u00e9j\u00e0", u"C:\\d\u00e9j\u00e0\\"},
  };
  wchar_t saved[32768];
  DWORD saved_length = GetEnvironmentVariableW(L"TMP", saved, 32768);
  for (const Case& c : cases) {
    SetEnvironmentVariableW(L"TMP", c.tmp);
    EXPECT_EQ(platform_temp_directory(), c.expected);
  }
  SetEnvironmentVariableW(L"TMP", saved_length > 0 && saved_length < 32768 ? saved : nullptr);
}

// A file in it: GetTempPathW and lstrcatW, never past the limit.
TEST(Platform, TempFilePathFitsItsLimitOrIsEmpty) {
  wchar_t saved[32768];
  DWORD saved_length = GetEnvironmentVariableW(L"TMP", saved, 32768);
  SetEnvironmentVariableW(L"TMP", L"C:\\scratch");
  const std::u16string expected = u"C:\\scratch\\zPROBE.Dll";
  EXPECT_EQ(platform_temp_file_path(u"zPROBE.Dll", 260), expected);
  EXPECT_EQ(platform_temp_file_path(u"zPROBE.Dll", expected.size() + 1), expected);
  EXPECT_EQ(platform_temp_file_path(u"zPROBE.Dll", expected.size()), u"");
  EXPECT_EQ(platform_temp_file_path(std::u16string(300, u'n').c_str(), 100000), u"");
  EXPECT_EQ(platform_temp_file_path(nullptr, 260), u"");
  SetEnvironmentVariableW(L"TMP", saved_length > 0 && saved_length < 32768 ? saved : nullptr);
}
#else
TEST(Platform, TempDirectoryFollowsTmpdirWithTrailingSlash) {
  const char* saved = std::getenv("TMPDIR");
  std::string saved_value = saved ? saved : "";
  struct Case {
    const char* tmpdir;  // null: unset
    std::u16string expected;
  };
  const Case cases[] = {
      {nullptr, u"/tmp/"},
      {"", u"/tmp/"},
      {"/var/scratch", u"/var/scratch/"},
      {"/var/scratch/", u"/var/scratch/"},
      {"/d\xc3\xa9j\xc3\xa0", u"/d\u00e9j\u00e0/"},
  };
  for (const Case& c : cases) {
    if (c.tmpdir)
      setenv("TMPDIR", c.tmpdir, 1);
    else
      unsetenv("TMPDIR");
    EXPECT_EQ(platform_temp_directory(), c.expected) << (c.tmpdir ? c.tmpdir : "(unset)");
  }
  if (saved)
    setenv("TMPDIR", saved_value.c_str(), 1);
  else
    unsetenv("TMPDIR");
}

// A file in it, never past the limit.
TEST(Platform, TempFilePathFitsItsLimitOrIsEmpty) {
  const char* saved = std::getenv("TMPDIR");
  std::string saved_value = saved ? saved : "";
  setenv("TMPDIR", "/var/scratch", 1);
  const std::u16string expected = u"/var/scratch/zPROBE.so";
  EXPECT_EQ(platform_temp_file_path(u"zPROBE.so", 260), expected);
  EXPECT_EQ(platform_temp_file_path(u"zPROBE.so", expected.size() + 1), expected);
  EXPECT_EQ(platform_temp_file_path(u"zPROBE.so", expected.size()), u"");
  EXPECT_EQ(platform_temp_file_path(nullptr, 260), u"");
  if (saved)
    setenv("TMPDIR", saved_value.c_str(), 1);
  else
    unsetenv("TMPDIR");
}
#endif

TEST(Platform, LibrariesLoadAndResolve) {
  void* library =
      platform_load_library(u16(std::string(MX_BIN_DIR "/") + library_file("XQ_Log")).c_str());
  ASSERT_NE(library, nullptr);
  EXPECT_NE(platform_find_symbol(library, "XQ_SetLogSink"), nullptr);
  EXPECT_EQ(platform_find_symbol(library, "no_such_symbol"), nullptr);
  EXPECT_EQ(platform_find_symbol(nullptr, "XQ_SetLogSink"), nullptr);
  platform_free_library(library);
  platform_free_library(nullptr);
  EXPECT_EQ(platform_load_library(u"/nonexistent/lib.so"), nullptr);
  EXPECT_EQ(platform_load_library(nullptr), nullptr);
}

TEST(Platform, TimeAndRandom) {
  int64_t now = platform_time();
  EXPECT_GT(now, int64_t{1600000000});  // after 2020
  int first = platform_rand();
  EXPECT_GE(first, 0);
  EXPECT_LE(first, RAND_MAX);
}

}  // namespace
