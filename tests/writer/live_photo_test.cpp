// Live Photo hand-off: content identifiers and the sibling image plug-in.
#include "writer/live_photo.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <string>

#include "platform/platform.h"
#include "support/child_process.h"
#include "support/library.h"
#include "support/test_files.h"
#include "xqlog/xq_log.h"

namespace {

// Writes the process's first identifier to the file named by MX_CONTENT_ID_FILE.
const ChildAction kWriteFirstId("write-first-content-id", [] {
  const char* path = std::getenv("MX_CONTENT_ID_FILE");
  FILE* f = path ? std::fopen(path, "w") : nullptr;
  if (f == nullptr) return 1;
  std::fputs(make_content_id().c_str(), f);
  return std::fclose(f) == 0 ? 0 : 1;
});

// The first identifier of a fresh process, as that process prints it.
std::string first_id_of_a_new_process() {
  const std::string out = test_temp_path("content-id.txt");
  EXPECT_EQ(run_child("write-first-content-id", {{"MX_CONTENT_ID_FILE", out}}), 0);
  auto bytes = read_whole_file(out);
  std::remove(out.c_str());
  return std::string(bytes.begin(), bytes.end());
}

// A movie and its still are paired by the identifier alone, so identifiers made
// by separate host runs, or after the host seeded the C library's generator the
// same way, must differ.
TEST(ContentId, IndependentOfTheProcessAndOfTheCLibrarySeed) {
  const std::string a = first_id_of_a_new_process();
  const std::string b = first_id_of_a_new_process();
  ASSERT_EQ(a.size(), 36u);
  EXPECT_NE(a, b);
  std::srand(7);
  const std::string c = make_content_id();
  std::srand(7);
  EXPECT_NE(c, make_content_id());
}

TEST(ContentId, FormatAndUniqueness) {
  const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  std::set<std::string> seen;
  std::string previous;
  for (int i = 0; i < 2000; ++i) {
    const std::string id = make_content_id();
    ASSERT_EQ(id.size(), 36u);
    EXPECT_TRUE(std::regex_match(id, form)) << id;
    EXPECT_NE(id, previous);
    previous = id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 2000u);
}

class StillPicture : public ::testing::Test {
 protected:
  void TearDown() override {
    XQ_SetBaseDirectory(nullptr);
    XQ_SetLogSink(XQ_LOG_NONE, nullptr);
  }
};

const uint8_t kJpeg[] = {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0x11, 0xFF, 0xD9};
constexpr char kId[] = "11111111-2222-4333-8444-555555555555";

TEST_F(StillPicture, WrittenThroughThePlugInBesideTheModules) {
  const std::string log = test_temp_path("still.log");
  std::remove(log.c_str());
  ASSERT_EQ(XQ_SetLogSink(XQ_LOG_FILE, log.c_str()), 0);
  const std::string still = test_temp_path("hand-off.jpg");
  std::remove(still.c_str());
  XQ_SetBaseDirectory(u16(MX_BIN_DIR).c_str());

  EXPECT_EQ(add_still_picture(still.c_str(), kJpeg, sizeof kJpeg, kId), 0u);
  const std::vector<uint8_t> written = read_whole_file(still);
  ASSERT_GT(written.size(), sizeof kJpeg);
  const std::string text(written.begin(), written.end());
  EXPECT_NE(text.find(kId), std::string::npos);
  EXPECT_EQ(std::vector<uint8_t>(written.end() - 7, written.end()),
            std::vector<uint8_t>(kJpeg + 2, kJpeg + sizeof kJpeg));

  XQ_SetLogSink(XQ_LOG_NONE, nullptr);
  const std::vector<uint8_t> log_bytes = read_whole_file(log);
  const std::string expected =
      std::string("XQ_EncMgr:: FindFileFormat LoadLibrary:") + MX_BIN_DIR + "/PlugIns/";
  EXPECT_NE(std::string(log_bytes.begin(), log_bytes.end()).find(expected), std::string::npos)
      << std::string(log_bytes.begin(), log_bytes.end());
  std::remove(still.c_str());
  std::remove(log.c_str());
}

TEST_F(StillPicture, MissingPlugInOrEntryPoint) {
  namespace fs = std::filesystem;
  const fs::path empty = test_temp_path("no-plugins");
  const fs::path wrong = test_temp_path("wrong-plugin");
  fs::create_directories(empty);
  fs::create_directories(wrong / "PlugIns");
  // A loadable library without the entry point.
  // Removed first: overwrite_existing fails with mingw-w64's library.
  fs::remove(wrong / "PlugIns" / library_file("mx_ImageEnc"));
  fs::copy_file(fs::path(MX_BIN_DIR) / library_file("XQ_Log"),
                wrong / "PlugIns" / library_file("mx_ImageEnc"));
  const std::string still = test_temp_path("never.jpg");
  for (const fs::path& base : {empty, wrong}) {
    XQ_SetBaseDirectory(u16(base.string()).c_str());
    EXPECT_EQ(add_still_picture(still.c_str(), kJpeg, sizeof kJpeg, kId), 0xFFFFFFFFu) << base;
    EXPECT_FALSE(fs::exists(still)) << base;
  }
  fs::remove_all(empty);
  fs::remove_all(wrong);
}

}  // namespace
