#include "support/browser_play.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "support/test_files.h"
#include "support/tools.h"

namespace {

std::string quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string harness_folder() {
  return std::string(MX_SOURCE_DIR) + "/tests/browser";
}

// The value of "key": in one line of flat JSON, as its raw text: a string
// without its quotes (escapes resolved for \" and \\), or a number, true,
// false, null, or an array's text.
std::string json_field(const std::string& line, const std::string& key) {
  const std::string marker = "\"" + key + "\":";
  size_t at = line.find(marker);
  if (at == std::string::npos) return {};
  at += marker.size();
  if (at >= line.size()) return {};
  if (line[at] == '"') {
    std::string value;
    for (size_t i = at + 1; i < line.size() && line[i] != '"'; ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) ++i;
      value += line[i];
    }
    return value;
  }
  if (line[at] == '[') {
    size_t end = line.find(']', at);
    return line.substr(at, end == std::string::npos ? std::string::npos : end - at + 1);
  }
  size_t end = line.find_first_of(",}", at);
  return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

double number_or(const std::string& text, double fallback) {
  if (text.empty() || text == "null") return fallback;
  return std::strtod(text.c_str(), nullptr);
}

}  // namespace

std::string browser_missing(Browser browser) {
  if (browser == Browser::kFirefox) return missing_tools({"node", "firefox-esr"});
  std::string missing = missing_tools({"node", "chromium"});
  FILE* f =
      std::fopen((harness_folder() + "/node_modules/playwright-core/package.json").c_str(), "r");
  if (f != nullptr) {
    std::fclose(f);
  } else {
    if (!missing.empty()) missing += ' ';
    missing += "playwright-core (tests/browser/node_modules)";
  }
  return missing;
}

std::vector<Playback> play_in_browser(const std::vector<std::string>& files, double rate,
                                      std::string* failure, Browser browser) {
  const char* harness = browser == Browser::kFirefox ? "firefox_play.mjs" : "play.mjs";
  std::ostringstream command;
  command << "node " << quote(harness_folder() + "/" + harness) << " --rate " << rate;
  for (const std::string& f : files) command << ' ' << quote(f);
  const std::string err_path = test_temp_path("browser.err");
  command << " 2>" << quote(err_path) << " </dev/null";

  std::vector<Playback> results;
  FILE* pipe = popen(command.str().c_str(), "r");
  std::string out;
  if (pipe != nullptr) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    const int status = pclose(pipe);
    if (failure != nullptr && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
      std::vector<uint8_t> err = read_whole_file(err_path);
      *failure = std::string(harness) + " failed: " + std::string(err.begin(), err.end());
    }
  } else if (failure != nullptr) {
    *failure = "cannot run node";
  }
  std::remove(err_path.c_str());

  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] != '{') continue;
    Playback p;
    p.file = json_field(line, "file");
    p.ended = json_field(line, "ended") == "true";
    p.current_time = number_or(json_field(line, "currentTime"), -1);
    p.duration = number_or(json_field(line, "duration"), -1);
    const std::string error = json_field(line, "error");
    p.error = error == "null" ? std::string() : error;
    p.video_width = static_cast<int>(number_or(json_field(line, "videoWidth"), 0));
    p.video_height = static_cast<int>(number_or(json_field(line, "videoHeight"), 0));
    p.decoded_frames = static_cast<int>(number_or(json_field(line, "decodedFrames"), 0));
    p.dropped_frames = static_cast<int>(number_or(json_field(line, "droppedFrames"), 0));
    const std::string has_audio = json_field(line, "hasAudio");
    if (has_audio == "true" || has_audio == "false") p.has_audio = has_audio == "true";
    p.events = json_field(line, "events");
    results.push_back(p);
  }
  return results;
}

std::vector<Playback> play_counting_pictures(const std::vector<std::string>& files,
                                             const std::vector<std::optional<int>>& pictures,
                                             double rate, std::string* failure, Browser browser) {
  constexpr double kRecountRate = 2.0;
  std::vector<Playback> played = play_in_browser(files, rate, failure, browser);
  for (size_t i = 0; i < played.size() && i < pictures.size(); ++i) {
    if (!pictures[i] || played[i].decoded_frames == *pictures[i] || !played[i].error.empty())
      continue;
    std::vector<Playback> again = play_in_browser({files[i]}, kRecountRate, failure, browser);
    if (again.size() != 1) continue;
    again[0].events += " (played again at twice normal speed: the first play counted " +
                       std::to_string(played[i].decoded_frames) + " pictures and dropped " +
                       std::to_string(played[i].dropped_frames) + ")";
    played[i] = again[0];
  }
  return played;
}
