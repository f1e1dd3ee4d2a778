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
#include "support/test_files.h"
#include "xqlog/xq_log.h"

namespace {

// The identifier as the algorithm defines it, from the same random sequence:
// a fresh r = 0x2000000 + rand * 0x1000000 (32-bit) whenever r < 3, then one
// 4-bit arithmetic shift per character.
std::string reference_id() {
  const std::string digits = "0123456789ABCDEF";
  std::string id;
  int64_t r = 0;
  for (int i = 0; i < 36; ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      id += '-';
      continue;
    }
    if (i == 14) {
      id += '4';
      continue;
    }
    if (r < 3) {
      uint32_t wrapped =
          static_cast<uint32_t>(0x2000000ull + uint64_t(platform_rand()) * 0x1000000ull);
      r = wrapped >= 0x80000000u ? int64_t(wrapped) - 0x100000000ll : int64_t(wrapped);
    }
    r = r >= 0 ? r / 16 : -((-r + 15) / 16);  // floor division: an arithmetic shift
    id += digits[i == 19 ? ((r & 3) | 8) : (r & 15)];
  }
  return id;
}

TEST(ContentId, FollowsTheRandomSequence) {
  for (unsigned seed : {1u, 2u, 12345u, 0xDEADBEEFu}) {
    std::srand(seed);
    const std::string id = make_content_id();
    std::srand(seed);
    EXPECT_EQ(id, reference_id()) << "seed " << seed;
  }
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
  // Neighbours always differ; over many draws a few repeats are possible with
  // this generator, but not many.
  EXPECT_GT(seen.size(), 1990u);
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
  fs::copy_file(fs::path(MX_BIN_DIR) / "libXQ_Log.so", wrong / "PlugIns" / "mx_ImageEnc.so",
                fs::copy_options::overwrite_existing);
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
