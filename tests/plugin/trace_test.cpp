// The trace hook: which files are trusted, and what a trusted trace library
// receives. The hook looks its library up once per process, so every case that
// calls Trace runs in a child process with its own TMPDIR.
#include "plugin/trace.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "platform/platform.h"
#include "support/test_files.h"

namespace {

namespace fs = std::filesystem;

// A fresh, empty folder for one case.
std::string fresh_folder(const std::string& name) {
  std::string folder = test_temp_path(name);
  fs::remove_all(folder);
  fs::create_directories(folder);
  return folder;
}

void install_copy(const std::string& from, const std::string& to, mode_t mode) {
  write_whole_file(to, read_whole_file(from));
  ASSERT_EQ(chmod(to.c_str(), mode), 0);
}

std::string read_text_or_empty(const std::string& path) {
  if (!fs::exists(path)) return {};
  std::vector<uint8_t> bytes = read_whole_file(path);
  return std::string(bytes.begin(), bytes.end());
}

TEST(Trace, OnlyFilesNobodyElseCouldHaveWrittenAreTrusted) {
  std::string folder = fresh_folder("trace-trust");
  install_copy(MX_TEST_PROBE_PATH, folder + "/good.so", 0644);
  install_copy(MX_TEST_PROBE_PATH, folder + "/private.so", 0700);
  install_copy(MX_TEST_PROBE_PATH, folder + "/group-writable.so", 0664);
  install_copy(MX_TEST_PROBE_PATH, folder + "/world-writable.so", 0646);
  fs::create_directory(folder + "/directory.so");
  ASSERT_EQ(mkfifo((folder + "/fifo.so").c_str(), 0600), 0);
  fs::create_symlink(folder + "/good.so", folder + "/link-to-good.so");
  fs::create_symlink(folder + "/world-writable.so", folder + "/link-to-bad.so");
  fs::create_symlink(folder + "/fifo.so", folder + "/link-to-fifo.so");
  fs::create_symlink(folder + "/missing.so", folder + "/dangling.so");
  struct Case {
    const char* file;
    bool trusted;
  };
  const Case cases[] = {
      {"good.so", true},
      {"private.so", true},
      {"link-to-good.so", true},
      {"group-writable.so", false},
      {"world-writable.so", false},
      {"directory.so", false},
      {"fifo.so", false},
      {"link-to-bad.so", false},
      {"link-to-fifo.so", false},
      {"dangling.so", false},
      {"missing.so", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform_library_is_trusted(u16(folder + "/" + c.file).c_str()), c.trusted) << c.file;
  }
  EXPECT_FALSE(platform_library_is_trusted(nullptr));

  // Another user's file, or another user's link to a good file, is refused.
  // Only root can make them.
  if (geteuid() == 0) {
    install_copy(MX_TEST_PROBE_PATH, folder + "/foreign.so", 0644);
    ASSERT_EQ(chown((folder + "/foreign.so").c_str(), 12345, 12345), 0);
    fs::create_symlink(folder + "/good.so", folder + "/foreign-link.so");
    ASSERT_EQ(lchown((folder + "/foreign-link.so").c_str(), 12345, 12345), 0);
    EXPECT_FALSE(platform_library_is_trusted(u16(folder + "/foreign.so").c_str()));
    EXPECT_FALSE(platform_library_is_trusted(u16(folder + "/foreign-link.so").c_str()));
  }
  fs::remove_all(folder);
}

// Runs calls in a child process whose TMPDIR is tmpdir; returns what the
// probe library recorded (empty when it was never called).
std::string trace_in_child(const std::string& tmpdir, const std::function<void()>& calls) {
  std::string log = test_temp_path("trace-probe.log");
  std::remove(log.c_str());
  std::fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    setenv("TMPDIR", tmpdir.c_str(), 1);
    setenv("MX_PROBE_LOG", log.c_str(), 1);
    calls();
    _exit(0);
  }
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  std::string text = read_text_or_empty(log);
  std::remove(log.c_str());
  return text;
}

void typical_calls() {
  Trace(u"\r\nFrameRate[%fHz].\r\n", 23.976);
  Trace(u"%ls %d", u"second", 2);
  Trace(u"");  // nothing formatted: no call
  Trace(nullptr);
  std::u16string long_message(1000, u'a');
  Trace(u"%ls", long_message.c_str());
  Trace(u"caf\u00e9");
}

const std::string kTypicalRecord =
    "1 0 0 0 [\r\nFrameRate[23.976000Hz].\r\n]\n"
    "1 0 0 0 [second 2]\n"
    "1 0 0 0 [" +
    std::string(511, 'a') +
    "]\n"
    "1 0 0 0 [caf\xc3\xa9]\n";

TEST(Trace, TrustedLibraryReceivesEachMessageAsUtf8) {
  std::string folder = fresh_folder("trace-trusted");
  install_copy(MX_TEST_PROBE_PATH, folder + "/zPROBE.so", 0644);
  EXPECT_EQ(trace_in_child(folder, typical_calls), kTypicalRecord);
  // TMPDIR with a trailing slash names the same folder.
  EXPECT_EQ(trace_in_child(folder + "/", typical_calls), kTypicalRecord);
  fs::remove_all(folder);
}

TEST(Trace, MessagesAreDroppedWithoutATrustedLibrary) {
  std::string folder = fresh_folder("trace-untrusted");
  // Writable by others: refused.
  install_copy(MX_TEST_PROBE_PATH, folder + "/zPROBE.so", 0666);
  EXPECT_EQ(trace_in_child(folder, typical_calls), "");
  // A link to an untrusted file: refused.
  fs::remove(folder + "/zPROBE.so");
  install_copy(MX_TEST_PROBE_PATH, folder + "/elsewhere.so", 0646);
  fs::create_symlink(folder + "/elsewhere.so", folder + "/zPROBE.so");
  EXPECT_EQ(trace_in_child(folder, typical_calls), "");
  // No library at all.
  fs::remove(folder + "/zPROBE.so");
  EXPECT_EQ(trace_in_child(folder, typical_calls), "");
  // A trusted library without the entry point.
  install_copy(MX_BIN_DIR "/libXQ_Log.so", folder + "/zPROBE.so", 0644);
  EXPECT_EQ(trace_in_child(folder, typical_calls), "");
  fs::remove_all(folder);
}

TEST(Trace, PathTooLongForItsBufferIsNotLoaded) {
  std::string folder = fresh_folder("trace-long");
  // The folder path alone leaves no room for the library name in 260 units.
  std::string deep = folder + "/" + std::string(200, 'd');
  while (deep.size() + 1 + 9 < 260) deep += "/" + std::string(40, 'e');
  fs::create_directories(deep);
  install_copy(MX_TEST_PROBE_PATH, deep + "/zPROBE.so", 0644);
  EXPECT_EQ(trace_in_child(deep, typical_calls), "");
  // The same library one level up, with a path that fits, is loaded.
  std::string shallow = folder + "/" + std::string(20, 's');
  fs::create_directories(shallow);
  install_copy(MX_TEST_PROBE_PATH, shallow + "/zPROBE.so", 0644);
  EXPECT_EQ(trace_in_child(shallow, typical_calls), kTypicalRecord);
  fs::remove_all(folder);
}

}  // namespace
