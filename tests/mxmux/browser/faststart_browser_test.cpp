// A browser plays a --faststart file after fetching only its first part:
// headless Chromium loads the file from a local server that answers Range
// requests but holds back every byte past a gate (a quarter of the file).
// The faststart file loads and plays from what arrived; the file as the
// plug-in writes it (movie box at the end) does not, and the browser asks for
// its tail; served whole, it plays, so the tail was what it lacked.
#include <gtest/gtest.h>

#include <regex>

#include "mxmux/mxmux_test_util.h"
#include "support/box_reader.h"
#include "support/test_files.h"
#include "support/tools.h"

using namespace mxmux_test;

namespace {

const std::string kBrowserDir = std::string(MX_SOURCE_DIR) + "/tests/browser";

struct Load {
  bool metadata = false;
  bool playing = false;
  std::vector<uint64_t> request_starts;  // the first byte each request asked for
  std::string json;
};

Load load_in_browser(const std::string& path, uint64_t gate, int timeout_ms) {
  std::string command = "node " + shell_quote(kBrowserDir + "/partial_fetch.mjs") +
                        " --timeout-ms " + std::to_string(timeout_ms) +
                        (gate ? " --gate " + std::to_string(gate) : "") + " " + shell_quote(path);
  auto r = run_command(command);
  EXPECT_EQ(r.status, 0) << r.err;
  Load load;
  load.json = r.out;
  load.metadata = r.out.find("\"metadata\":true") != std::string::npos;
  load.playing = r.out.find("\"playing\":true") != std::string::npos;
  std::regex first("\"first\":(\\d+)");
  for (std::sregex_iterator it(r.out.begin(), r.out.end(), first), end; it != end; ++it)
    load.request_starts.push_back(std::stoull((*it)[1].str()));
  EXPECT_FALSE(load.request_starts.empty()) << r.out << r.err;
  return load;
}

}  // namespace

TEST(FaststartBrowser, PlaysAfterFetchingOnlyTheFirstPart) {
  MX_REQUIRE_TOOLS("node", "chromium", "ffmpeg");
  MX_REQUIRE(file_exists(kBrowserDir + "/node_modules/playwright-core/package.json"),
             "playwright-core in tests/browser/node_modules");
  ASSERT_TRUE(plugin_ready());
  // A few megabytes, so that the browser reads the file in more than one go.
  std::string stream = test_temp_path("browser.h264");
  auto made = run_command(
      "ffmpeg -v error -y -f lavfi -i testsrc2=size=640x360:rate=25 -t 8 "
      "-pix_fmt yuv420p -c:v libx264 -preset ultrafast -crf 16 -f h264 " +
      shell_quote(stream));
  ASSERT_EQ(made.status, 0) << made.err;
  std::string plain = test_temp_path("browser-plain.mp4");
  std::string fast = test_temp_path("browser-fast.mp4");
  std::string inputs =
      " --video " + shell_quote(stream) + " --audio " + shell_quote(sample_path("tone.aac"));
  for (const std::string& args :
       {"-o " + shell_quote(plain), "--faststart -o " + shell_quote(fast)}) {
    auto r = run_command(shell_quote(mxmux_binary()) + " -q " + args + inputs);
    ASSERT_EQ(r.status, 0) << r.err;
  }
  iso::Tree plain_tree = iso::read_file(plain);
  uint64_t size = plain_tree.input_size;
  uint64_t plain_moov = plain_tree.at("moov").offset;
  uint64_t gate = size / 4;
  ASSERT_GT(size, uint64_t{2} << 20);
  iso::Tree fast_tree = iso::read_file(fast);
  ASSERT_LT(fast_tree.at("moov").offset + fast_tree.at("moov").size, gate);

  Load fast_load = load_in_browser(fast, gate, 30000);
  EXPECT_TRUE(fast_load.metadata) << fast_load.json;
  EXPECT_TRUE(fast_load.playing) << fast_load.json;
  for (uint64_t start : fast_load.request_starts)
    EXPECT_LT(start, gate) << "the faststart file needed bytes past the first quarter: "
                           << fast_load.json;

  Load plain_load = load_in_browser(plain, gate, 8000);
  EXPECT_FALSE(plain_load.metadata) << plain_load.json;
  bool asked_for_tail = false;
  for (uint64_t start : plain_load.request_starts) asked_for_tail |= start >= gate;
  EXPECT_TRUE(asked_for_tail) << "the browser never asked for the tail, where the movie box is (at "
                              << plain_moov << "): " << plain_load.json;

  Load whole = load_in_browser(plain, 0, 30000);
  EXPECT_TRUE(whole.metadata) << whole.json;
  EXPECT_TRUE(whole.playing) << whole.json;
}
