// Plays files in a real browser over a local HTTP server that answers Range
// requests: the Debian chromium, headless, driven by playwright-core
// (tests/browser/play.mjs), or Debian's Firefox, headless, without a driver
// (tests/browser/firefox_play.mjs). scripts/install-deps --with-readers
// installs them.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct Playback {
  std::string file;
  bool ended = false;        // the media element reached its end
  double current_time = -1;  // seconds, when it stopped
  double duration = -1;      // as the browser reads it from the file
  std::string error;         // the media element's error, empty when none
  int video_width = 0, video_height = 0;
  int decoded_frames = 0;  // getVideoPlaybackQuality().totalVideoFrames
  // getVideoPlaybackQuality().droppedVideoFrames: pictures the browser fell
  // behind on and skipped.
  int dropped_frames = 0;
  // Whether the element found sound it plays (unknown for an audio element in Firefox).
  std::optional<bool> has_audio;
  std::string events;  // the element's events in order, for messages
};

enum class Browser { kChromium, kFirefox };

// What is missing to run the browser (empty when nothing is).
std::string browser_missing(Browser browser = Browser::kChromium);

// Plays each file to its end at `rate` times normal speed (muted), one after
// the other in one browser. `failure` receives the harness's own error
// output when it could not run; the result then has fewer entries.
std::vector<Playback> play_in_browser(const std::vector<std::string>& files, double rate,
                                      std::string* failure, Browser browser = Browser::kChromium);

// Plays `files` as play_in_browser does, to count their pictures. A browser
// that falls behind at a high rate skips pictures, and its count is then off
// either way (Firefox at 16 times normal speed: 201 and 166 pictures of 200,
// with 37 and 13 dropped). A file whose count is not `pictures[i]` is played
// once more, alone, at twice normal speed, and that play is its result; its
// events tell what the first play counted and dropped. A file without a
// count to meet (nullopt), or whose play ended in an error, keeps its first
// play.
std::vector<Playback> play_counting_pictures(const std::vector<std::string>& files,
                                             const std::vector<std::optional<int>>& pictures,
                                             double rate, std::string* failure, Browser browser);
