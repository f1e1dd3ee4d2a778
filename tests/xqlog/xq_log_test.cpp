// The logging library stand-in: sinks, one line per message, bounds, base directory.
#include "xqlog/xq_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/log_capture.h"
#include "support/test_files.h"

namespace {

std::string read_text(const std::string& path) {
  std::vector<uint8_t> bytes = read_whole_file(path);
  return std::string(bytes.begin(), bytes.end());
}

// The absolute form of a directory, as the system reports a module's folder.
std::string absolute_directory(const std::string& path) {
#ifdef _WIN32
  wchar_t full[MAX_PATH];
  std::u16string wide = u16(path);
  DWORD n =
      GetFullPathNameW(reinterpret_cast<const wchar_t*>(wide.c_str()), MAX_PATH, full, nullptr);
  if (n == 0 || n >= MAX_PATH) return {};
  return wide_to_string(reinterpret_cast<const char16_t*>(full));
#else
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) ? resolved : "";
#endif
}

TEST(XqLog, EachMessageIsOneUtf8Line) {
  LogCapture log("xqlog-lines.log");
  const char16_t lone[] = {u'x', 0xD800, u'y', 0};
  XQ_LogMessage(u"mx_mp4.dll: media file closed.");
  XQ_LogFormat(u"mx_%ls: CreateMediaFileMultiStream \n", u"mp4");
  XQ_LogFormat(u"\r\nFrameRate[%fHz].\r\n", 23.976);
  XQ_LogFormat(u"first\r\nsecond\n\nthird");
  XQ_LogFormat(u"width=%d ,height =%d ,framerate=%0.6f", 1920, 1080, 29.97);
  XQ_LogMessage(u"caf\u00e9 \U0001F600");
  XQ_LogMessage(lone);
  XQ_LogMessage(nullptr);
  XQ_LogFormat(u"name=[%ls]", static_cast<const char16_t*>(nullptr));
  XQ_LogFormat(nullptr);
  XQ_LogMessage(u"\r\n");
  EXPECT_EQ(log.text(),
            "mx_mp4.dll: media file closed.\n"
            "mx_mp4: CreateMediaFileMultiStream \n"
            "FrameRate[23.976000Hz].\n"
            "first second third\n"
            "width=1920 ,height =1080 ,framerate=29.970000\n"
            "caf\xc3\xa9 \xf0\x9f\x98\x80\n"
            "x\xef\xbf\xbdy\n"
            "(null)\n"
            "name=[(null)]\n"
            "\n"
            "\n");
}

TEST(XqLog, HugeMessagesAreCut) {
  LogCapture log("xqlog-huge.log");
  std::u16string huge(100000, u'a');
  XQ_LogMessage(huge.c_str());
  XQ_LogFormat(u"%ls%ls", huge.c_str(), huge.c_str());
  XQ_LogFormat(u"%999999999d|", 5);
  std::string text = log.text();
  std::string cut(4096, 'a');
  std::string padding(4096, ' ');
  EXPECT_EQ(text, cut + "\n" + cut + "\n" + padding + "\n");
}

TEST(XqLog, SinkNoneWritesNothingAndBadSinksAreRefused) {
  std::string path = test_temp_path("xqlog-sinks.log");
  std::remove(path.c_str());
  ASSERT_EQ(XQ_SetLogSink(XQ_LOG_FILE, path.c_str()), 0);
  XQ_LogMessage(u"one");
  // A sink that cannot be opened leaves the current one in place.
  EXPECT_EQ(XQ_SetLogSink(XQ_LOG_FILE, "/nonexistent-dir/x.log"), -1);
  EXPECT_EQ(XQ_SetLogSink(XQ_LOG_FILE, nullptr), -1);
  EXPECT_EQ(XQ_SetLogSink(42, nullptr), -1);
  XQ_LogFormat(u"%ls", u"two");
  ASSERT_EQ(XQ_SetLogSink(XQ_LOG_NONE, nullptr), 0);
  XQ_LogMessage(u"three");
  XQ_LogFormat(u"%d", 4);
  EXPECT_EQ(read_text(path), "one\ntwo\n");
  // The file sink appends.
  ASSERT_EQ(XQ_SetLogSink(XQ_LOG_FILE, path.c_str()), 0);
  XQ_LogMessage(u"five");
  ASSERT_EQ(XQ_SetLogSink(XQ_LOG_NONE, nullptr), 0);
  EXPECT_EQ(read_text(path), "one\ntwo\nfive\n");
  std::remove(path.c_str());
}

TEST(XqLog, StderrSink) {
  std::string path = test_temp_path("xqlog-stderr.log");
  std::fflush(stderr);
  int saved = dup(2);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  dup2(fd, 2);
  close(fd);
  ASSERT_EQ(XQ_SetLogSink(XQ_LOG_STDERR, nullptr), 0);
  XQ_LogFormat(u"to stderr %d\n", 1);
  XQ_SetLogSink(XQ_LOG_NONE, nullptr);
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
#ifdef _WIN32
  // Standard error is a text stream on Windows: the runtime ends lines with CR LF.
  EXPECT_EQ(read_text(path), "to stderr 1\r\n");
#else
  EXPECT_EQ(read_text(path), "to stderr 1\n");
#endif
  std::remove(path.c_str());
}

TEST(XqLog, BaseDirectorySetByTheHostIsBounded) {
  XQ_SetBaseDirectory(u"/opt/host/\u00e9");
  char16_t buffer[1024] = {};
  XQ_GetBaseDirectory(buffer, 511);
  EXPECT_EQ(std::u16string(buffer), u"/opt/host/\u00e9");
  std::fill(std::begin(buffer), std::end(buffer), u'#');
  XQ_GetBaseDirectory(buffer, 4);
  EXPECT_EQ(std::u16string(buffer), u"/opt");
  EXPECT_EQ(buffer[5], u'#');
  XQ_GetBaseDirectory(nullptr, 511);
  XQ_SetBaseDirectory(nullptr);
}

TEST(XqLog, DefaultBaseDirectoryIsTheLibrarysOwnDirectory) {
  const std::string resolved = absolute_directory(MX_BIN_DIR);
  ASSERT_FALSE(resolved.empty());
  char16_t buffer[1024] = {};
  XQ_GetBaseDirectory(buffer, 511);
  EXPECT_EQ(wide_to_string(buffer), resolved);

  // A module in another folder gets the same answer.
  void* probe = platform_load_library(u16(MX_TEST_PROBE_PATH).c_str());
  ASSERT_NE(probe, nullptr);
  using AskFn = void (*)(char16_t*, uint32_t);
  auto ask = reinterpret_cast<AskFn>(platform_find_symbol(probe, "probe_base_directory"));
  ASSERT_NE(ask, nullptr);
  buffer[0] = 0;
  ask(buffer, 511);
  EXPECT_EQ(wide_to_string(buffer), resolved);
  platform_free_library(probe);
}

}  // namespace
