// The trace hook on Windows: zPROBE.Dll in the user's temporary folder
// (GetTempPathW, which follows TMP), which files are trusted there, and what
// the library receives: each message in the ANSI code page. The hook looks its
// library up once per process, so every case that calls Trace runs in a child
// process of its own.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "plugin/trace.h"
#include "support/child_process.h"
#include "support/library.h"
#include "support/test_files.h"

namespace {

namespace fs = std::filesystem;

std::string fresh_folder(const std::string& name) {
  std::string folder = test_temp_path(name);
  fs::remove_all(folder);
  fs::create_directories(folder);
  return folder;
}

void install_probe(const std::string& to) {
  write_whole_file(to, read_whole_file(MX_TEST_PROBE_PATH));
}

std::string read_text_or_empty(const std::string& path) {
  if (!fs::exists(path)) return {};
  std::vector<uint8_t> bytes = read_whole_file(path);
  return std::string(bytes.begin(), bytes.end());
}

const ChildAction kTypicalCalls("trace-typical-calls", [] {
  Trace(u"\r\nFrameRate[%fHz].\r\n", 23.976);
  Trace(u"%ls %d", u"second", 2);
  Trace(u"");  // nothing formatted: no call
  Trace(nullptr);
  std::u16string long_message(1000, u'a');
  Trace(u"%ls", long_message.c_str());
  Trace(u"caf\u00e9");
  return 0;
});

// What the probe records for the typical calls: the last text is in the ANSI
// code page of the process, whatever that is.
std::string typical_record() {
  char ansi[8] = {};
  WideCharToMultiByte(CP_ACP, 0, L"caf\u00e9", -1, ansi, sizeof ansi, nullptr, nullptr);
  return "1 0 0 0 [\r\nFrameRate[23.976000Hz].\r\n]\n"
         "1 0 0 0 [second 2]\n"
         "1 0 0 0 [" +
         std::string(511, 'a') + "]\n1 0 0 0 [" + ansi + "]\n";
}

// Runs the typical calls in a child whose temporary folder is tmp; returns
// what the probe recorded (empty when it was never called).
std::string trace_in_child(const std::string& tmp) {
  std::string log = test_temp_path("trace-probe.log");
  fs::remove(log);
  EXPECT_EQ(run_child("trace-typical-calls", {{"TMP", tmp}, {"MX_PROBE_LOG", log}}), 0);
  std::string text = read_text_or_empty(log);
  fs::remove(log);
  return text;
}

TEST(TraceWindows, TheTemporaryFolderFollowsTmp) {
  std::string folder = fresh_folder("trace-win-trusted");
  install_probe(folder + "/zPROBE.Dll");
  EXPECT_EQ(trace_in_child(folder), typical_record());
  // With a trailing separator it is the same folder.
  EXPECT_EQ(trace_in_child(folder + "\\"), typical_record());
  fs::remove_all(folder);
}

TEST(TraceWindows, OnlyAPlainFileNobodyIsWritingIsTrusted) {
  std::string folder = fresh_folder("trace-win-trust");
  install_probe(folder + "/plain.dll");
  fs::create_directory(folder + "/directory.dll");
  install_probe(folder + "/being-written.dll");
  // Another handle that may still write the file: it could change after the check.
  std::u16string writing = u16(folder + "/being-written.dll");
  HANDLE writer =
      CreateFileW(reinterpret_cast<const wchar_t*>(writing.c_str()), GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  struct Case {
    const char* file;
    bool trusted;
  };
  const Case cases[] = {
      {"plain.dll", true},
      {"directory.dll", false},
      {"being-written.dll", false},
      {"missing.dll", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform_library_is_trusted(u16(folder + "/" + c.file).c_str()), c.trusted) << c.file;
  }
  EXPECT_FALSE(platform_library_is_trusted(nullptr));
  CloseHandle(writer);
  EXPECT_TRUE(platform_library_is_trusted(u16(folder + "/being-written.dll").c_str()));
  fs::remove_all(folder);
}

TEST(TraceWindows, MessagesAreDroppedWithoutAUsableLibrary) {
  std::string folder = fresh_folder("trace-win-none");
  // No library at all.
  EXPECT_EQ(trace_in_child(folder), "");
  // A folder of that name.
  fs::create_directory(folder + "/zPROBE.Dll");
  EXPECT_EQ(trace_in_child(folder), "");
  fs::remove(folder + "/zPROBE.Dll");
  // A library without the entry point.
  write_whole_file(folder + "/zPROBE.Dll",
                   read_whole_file(std::string(MX_BIN_DIR "/") + library_file("XQ_Log")));
  EXPECT_EQ(trace_in_child(folder), "");
  fs::remove_all(folder);
}

TEST(TraceWindows, PathTooLongForItsBufferIsNotLoaded) {
  std::string folder = fresh_folder("trace-win-long");
  // GetTempPathW gives the full path with a trailing backslash. A folder of 250
  // units makes that 251 and leaves no room for "zPROBE.Dll" and the
  // terminator in 260, while GetTempPathW itself still succeeds.
  auto full_length = [](const std::string& path) -> size_t {
    std::u16string wide = u16(path);
    DWORD with_terminator =
        GetFullPathNameW(reinterpret_cast<const wchar_t*>(wide.c_str()), 0, nullptr, nullptr);
    return with_terminator - 1;
  };
  std::string deep = folder + "/" + std::string(100, 'd');
  while (full_length(deep) + 21 < 250) deep += "/" + std::string(20, 'e');
  deep += "/" + std::string(250 - full_length(deep) - 1, 'f');
  ASSERT_EQ(full_length(deep), 250u);
  fs::create_directories(deep);
  install_probe(deep + "/zPROBE.Dll");
  EXPECT_EQ(trace_in_child(deep), "");
  // The same library with a path that fits is loaded.
  std::string shallow = folder + "/" + std::string(20, 's');
  fs::create_directories(shallow);
  install_probe(shallow + "/zPROBE.Dll");
  EXPECT_EQ(trace_in_child(shallow), typical_record());
  fs::remove_all(folder);
}

}  // namespace
