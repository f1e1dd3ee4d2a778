#include <glob.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>

#include "interop_media.h"
#include "support/box_reader.h"
#include "support/test_files.h"
#include "support/tools.h"
#include "vlc_remux.h"

namespace interop {

namespace {

constexpr char kUnprivilegedUser[] = "nobody";

bool mp4_plugin_installed() {
  glob_t found{};
  const bool any = glob("/usr/lib/*/vlc/plugins/demux/libmp4_plugin.so", 0, nullptr, &found) == 0 &&
                   found.gl_pathc > 0;
  globfree(&found);
  return any;
}

// The packets of the first stream of a Matroska file, or -1 without one. They
// are copied, not decoded: ffprobe cannot open VLC's Matroska ALAC stream, whose
// configuration it finds wanting, but its packets read well. Packets before
// the first key frame count too (VLC marks none in FFV1 and CineForm).
int packets_in(const std::string& path) {
  if (!std::filesystem::exists(path) || std::filesystem::file_size(path) == 0) return -1;
  CommandResult r = run_command("ffmpeg -nostdin -v quiet -i " + shell_quote(path) +
                                " -map 0:0 -c copy -copyinkf -f framecrc -");
  if (r.status != 0) return -1;
  int packets = 0;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != '#') ++packets;
  }
  return packets;
}

// VLC's lines about the file: its MP4 demuxer's and stream reader's warnings
// and errors, and its input's errors, each without the "[address] " in front
// and with the folder VLC worked in written as $WORK.
std::vector<std::string> complaints_in(const std::string& log, const std::string& folder) {
  static const std::regex kLine(
      R"(^\[[0-9a-f]+\] ((mp4 (demux|stream) (warning|error)|main input error): .*)$)");
  std::vector<std::string> out;
  std::istringstream in(log);
  std::smatch m;
  for (std::string line; std::getline(in, line);) {
    if (!std::regex_match(line, m, kLine)) continue;
    std::string complaint = m[1];
    for (size_t at; (at = complaint.find(folder)) != std::string::npos;) {
      complaint.replace(at, folder.size(), "$WORK");
    }
    out.push_back(complaint);
  }
  return out;
}

// A fresh folder only VLC's user works in: the file is copied in, so that
// the user can read it wherever the test keeps it.
class Workspace {
 public:
  Workspace() {
    std::string pattern = std::filesystem::temp_directory_path() / "mx-vlc-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~Workspace() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  bool give_to(uid_t uid, gid_t gid) const { return chown(path_.c_str(), uid, gid) == 0; }

 private:
  std::string path_;
};

// Whether the file's last box is a media-data box left open (size 0: to the
// end of the file), as a host killed while a fragment's samples came in
// leaves it.
bool ends_in_open_mdat(const std::string& path) {
  const iso::Tree tree = iso::read_file(path);
  return !tree.boxes.empty() && tree.boxes.back().type == "mdat" && tree.boxes.back().to_end;
}

// A remux of a short file takes well under a second: a run this long has
// stopped for good.
constexpr int kVlcStuckSeconds = 20;

// Whether VLC stops, never to finish, on ffmpeg's own fragmented file of the
// control with an open media-data box behind its last fragment (false, with
// the failure noted, when ffmpeg cannot make the file).
bool vlc_stops_on_open_tail_of_ffmpegs_file(const std::string& control,
                                            const std::string& extension, std::string& failure) {
  const std::string path = test_temp_path("vlc-open-tail" + extension);
  const CommandResult made =
      run_command("ffmpeg -nostdin -v error -y " + control +
                  " -movflags frag_keyframe+empty_moov+default_base_moof -frag_duration 1000000 " +
                  shell_quote(path));
  if (made.status != 0) {
    failure = "ffmpeg could not make the control: " + made.err;
    return false;
  }
  std::vector<uint8_t> bytes = read_whole_file(path);
  const std::vector<uint8_t> tail(bytes.end() - std::min<size_t>(bytes.size(), 4096), bytes.end());
  const std::vector<uint8_t> open_mdat = {0, 0, 0, 0, 'm', 'd', 'a', 't'};
  bytes.insert(bytes.end(), open_mdat.begin(), open_mdat.end());
  bytes.insert(bytes.end(), tail.begin(), tail.end());  // as if samples had come in
  write_whole_file(path, bytes);
  const bool stops = vlc_timed_out(vlc_remux(path, kVlcStuckSeconds));
  std::remove(path.c_str());
  return stops;
}

}  // namespace

std::string vlc_missing() {
  std::string missing = missing_tools({"cvlc", "ffmpeg"});
  auto add = [&missing](const char* what) {
    missing += (missing.empty() ? "" : " ") + std::string(what);
  };
  if (geteuid() == 0 && !tool_installed("runuser")) add("runuser");
  if (!mp4_plugin_installed()) add("vlc-plugin-base");
  return missing;
}

bool vlc_timed_out(const VlcRemux& r) {
  // timeout's status when it stopped VLC, or when it had to kill it.
  return r.failure.rfind("VLC exited with 124:", 0) == 0 ||
         r.failure.rfind("VLC exited with 137:", 0) == 0;
}

VlcRemux vlc_remux(const std::string& path, int time_limit_seconds) {
  VlcRemux result;
  Workspace work;
  if (work.path().empty()) {
    result.failure = "cannot make a folder for VLC";
    return result;
  }
  const std::string input =
      work.path() + "/input" + std::filesystem::path(path).extension().string();
  std::error_code error;
  std::filesystem::copy_file(path, input, error);
  if (error) {
    result.failure = "cannot copy " + path + ": " + error.message();
    return result;
  }
  std::string as_user;
  if (geteuid() == 0) {
    const passwd* user = getpwnam(kUnprivilegedUser);
    if (user == nullptr || !work.give_to(user->pw_uid, user->pw_gid)) {
      result.failure = std::string("cannot hand the folder to ") + kUnprivilegedUser;
      return result;
    }
    std::filesystem::permissions(input, std::filesystem::perms::owner_read |
                                            std::filesystem::perms::group_read |
                                            std::filesystem::perms::others_read);
    as_user = std::string("runuser -u ") + kUnprivilegedUser + " -- ";
  }
  const std::string video = work.path() + "/video.mkv";
  const std::string audio = work.path() + "/audio.mkv";
  // Video and sound go to a muxer each: one muxer holding both leaves out the
  // packets still waiting to be interleaved when the input ends.
  const std::string sout = "#duplicate{dst=std{access=file,mux=mkv,dst=" + video +
                           "},select=video,dst=std{access=file,mux=mkv,dst=" + audio +
                           "},select=audio}";
  const std::string command = as_user + "env HOME=" + shell_quote(work.path()) + " timeout -k 5 " +
                              std::to_string(time_limit_seconds) +
                              " cvlc -I dummy --verbose=1 --no-plugins-cache --demux=mp4 " +
                              shell_quote(input) + " --sout " + shell_quote(sout) + " vlc://quit";
  CommandResult r = run_command(command);
  if (r.status != 0) {
    result.failure = "VLC exited with " + std::to_string(r.status) + ":\n" + r.out + r.err;
    return result;
  }
  result.complaints = complaints_in(r.out + r.err, work.path());
  result.video_frames = packets_in(video);
  result.audio_packets = packets_in(audio);
  return result;
}

LeftFileRemux vlc_remux_left_file(const std::string& path, const std::string& control,
                                  const std::string& extension) {
  LeftFileRemux result;
  if (!ends_in_open_mdat(path)) {
    result.remux = vlc_remux(path);
    return result;
  }
  result.remux = vlc_remux(path, kVlcStuckSeconds);
  result.stopped = vlc_timed_out(result.remux);
  if (result.stopped)
    result.control_stopped =
        vlc_stops_on_open_tail_of_ffmpegs_file(control, extension, result.control_failure);
  return result;
}

std::string vlc_stop_unexplained(const LeftFileRemux& r) {
  if (!r.stopped || r.control_stopped) return {};
  if (!r.control_failure.empty()) return r.control_failure;
  return "VLC never finishes this file, which ends in an open mdat, but it finishes ffmpeg's own "
         "fragmented file ending so";
}

}  // namespace interop
