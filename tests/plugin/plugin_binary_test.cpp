// The built plug-in as a file: its exported symbols, how it finds the logging
// library, and a host program in C that loads it from another folder.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include "support/test_files.h"

namespace {

// Runs a shell command and returns what it printed; exit_status gets its status.
std::string run(const std::string& command, int* exit_status = nullptr) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  int status = pclose(pipe);
  if (exit_status) *exit_status = status;
  return out;
}

TEST(PluginBinary, ExportsExactlyTheTwoEntryPoints) {
  int status = -1;
  std::string listing = run("nm -D --defined-only '" MX_PLUGIN_PATH "'", &status);
  ASSERT_EQ(status, 0) << listing;
  std::set<std::string> defined;
  std::istringstream lines(listing);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string address, type, name;
    fields >> address >> type >> name;
    if (!name.empty()) defined.insert(name);
  }
  EXPECT_EQ(defined, (std::set<std::string>{"GetFileFormats", "GetFileMultiStreamFormats"}))
      << listing;
}

TEST(PluginBinary, FindsTheLoggingLibraryBesideItself) {
  int status = -1;
  std::string dynamic = run("readelf -d '" MX_PLUGIN_PATH "'", &status);
  ASSERT_EQ(status, 0) << dynamic;
  EXPECT_NE(dynamic.find("(NEEDED)             Shared library: [libXQ_Log.so]"), std::string::npos)
      << dynamic;
  EXPECT_NE(dynamic.find("Library runpath: [$ORIGIN]"), std::string::npos) << dynamic;
}

TEST(PluginBinary, ExampleHostLoadsThePluginFromAnotherFolder) {
  // The example links neither the plug-in nor the logging library: the
  // plug-in must find libXQ_Log.so through its own run path.
  int status = -1;
  std::string out =
      run("cd / && env -u LD_LIBRARY_PATH '" MX_BIN_DIR "/host_example' '" MX_PLUGIN_PATH "' 2>&1",
          &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("\"KMP4\"  .mp4  MP4 - MPEG-4 Movie  [options]\n"
                     "    audio: \"AAC \" \"KAAC\" \"WAAC\" \"AC3 \" \"PCM \"* \"flac\"\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\"M4A \"  .m4a  M4A - MPEG-4 Audio\n    audio: \"AAC \" \"EAAC\" \"WAAC\" "
                     "\"AC3 \" \"ALAC\" \"PCM \"* \"flac\"\n    video: none\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("23 single-stream formats\n23 multi-stream formats\n"), std::string::npos)
      << out;
}

}  // namespace
