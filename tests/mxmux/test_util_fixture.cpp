#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "mx_mp4/host.h"
#include "mxmux_test_util.h"
#include "support/box_reader.h"
#include "support/test_files.h"

namespace mxmux_test {

std::string shell_quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

pid_t start_mxmux(const std::vector<std::string>& args) {
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  int null = ::open("/dev/null", O_WRONLY);
  ::dup2(null, 1);
  ::dup2(null, 2);
  std::vector<char*> argv;
  const std::string binary = mxmux_binary();
  argv.push_back(const_cast<char*>(binary.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  ::execv(binary.c_str(), argv.data());
  ::_exit(127);
}

PipeFeeder::PipeFeeder(const std::string& fifo, const std::vector<uint8_t>& bytes, size_t limit,
                       size_t chunk, int pause_us)
    : thread_([this, fifo, &bytes, limit, chunk, pause_us] {
        int fd = ::open(fifo.c_str(), O_WRONLY);
        if (fd < 0) return;
        for (size_t at = 0; at < limit && !stop_;) {
          const size_t piece = chunk == 0 ? limit - at : std::min(chunk, limit - at);
          ssize_t n = ::write(fd, bytes.data() + at, piece);
          if (n <= 0) break;
          at += static_cast<size_t>(n);
          if (pause_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(pause_us));
        }
        while (!stop_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ::close(fd);
      }) {}

PipeFeeder::~PipeFeeder() {
  stop_ = true;
  thread_.join();
}

std::vector<std::string> framemd5_hashes(const std::string& framemd5) {
  // Fields: stream, dts, pts, duration, size, hash[, side data...].
  std::vector<std::string> hashes;
  std::istringstream lines(framemd5);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string field;
    for (int i = 0; i < 6 && std::getline(fields, field, ','); ++i) {
    }
    hashes.push_back(field);
  }
  return hashes;
}

static std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

CommandResult run_command(const std::string& command) {
  std::string out = test_temp_path("cmd.out"), err = test_temp_path("cmd.err");
  std::string line = command + " >" + shell_quote(out) + " 2>" + shell_quote(err) + " </dev/null";
  int raw = std::system(line.c_str());
  CommandResult r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  r.out = slurp(out);
  r.err = slurp(err);
  std::remove(out.c_str());
  std::remove(err.c_str());
  return r;
}

std::string sample_path(const std::string& name) {
  return std::string(MX_SOURCE_DIR) + "/samples/" + name;
}
std::string mxmux_binary() {
  return std::string(MX_BIN_DIR) + "/mxmux";
}

// Ready means: the catalogue is there and an MP4 session can be created.
bool plugin_ready() {
  static int ready = -1;
  if (ready >= 0) return ready == 1;
  ready = 0;
  void* h = dlopen(MX_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  if (!h) return false;
  auto get = reinterpret_cast<GetFileFormatsFn>(dlsym(h, "GetFileFormats"));
  const FormatDescriptor* f = get ? get() : nullptr;
  for (; f && f->fourcc && f->fourcc != MX_FOURCC('M', 'P', '4', ' '); ++f) {
  }
  if (f && f->fourcc && f->slots.single.CreateMediaFile && f->slots.single.CloseMediaFile) {
    auto params = std::make_unique<EncParam>();
    std::memset(params.get(), 0, sizeof(EncParam));
    params->file_fourcc = MX_FOURCC('M', 'P', '4', ' ');
    params->no_video = params->no_subpicture = params->no_timecode = 1;
    params->audio.fourcc = MX_FOURCC('A', 'A', 'C', ' ');
    params->audio.sample_rate = 48000;
    params->audio.channels = 2;
    std::string path = test_temp_path("probe.mp4");
    std::u16string wide(path.begin(), path.end());
    MxSession s = f->slots.single.CreateMediaFile(wide.c_str(), params.get());
    if (s) {
      f->slots.single.CloseMediaFile(s);
      ready = 1;
    }
    std::remove(path.c_str());
  }
  dlclose(h);
  return ready == 1;
}

bool file_exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

const std::vector<std::string> kMovieBoxes = {"ftyp", "mdat", "moov", "mvhd", "trak",
                                              "tkhd", "mdia", "mdhd", "hdlr", "minf",
                                              "stbl", "stsd", "stts", "stsc", "stsz"};

static void expect_listed(const iso::Box& box, int depth, const std::string& dump) {
  // Built piece by piece: GCC 12 at -O3 misreads literal + string as overlapping.
  std::string line = "\n";
  line.append(static_cast<size_t>(depth) * 2, ' ');
  line += iso::type_name(box.type);
  line += " @";
  line += std::to_string(box.offset);
  line += " size ";
  line += std::to_string(box.size);
  EXPECT_NE(dump.find(line), std::string::npos) << "missing:" << line;
  for (const iso::Box& child : box.children) expect_listed(child, depth + 1, dump);
}

void expect_dump_lists(const std::string& path, const std::vector<std::string>& types) {
  SCOPED_TRACE("mxmux --dump " + path);
  CommandResult r = run_command(shell_quote(mxmux_binary()) + " --dump " + shell_quote(path));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::string dump = "\n" + r.out;
  iso::Tree tree = iso::read_file(path);
  ASSERT_FALSE(tree.boxes.empty()) << path;
  for (const iso::Box& box : tree.boxes) expect_listed(box, 0, dump);
  for (const std::string& type : types) {
    bool named = dump.find("\n" + type + " @") != std::string::npos ||
                 dump.find(" " + type + " @") != std::string::npos;
    EXPECT_TRUE(named) << type << " not listed in:\n" << r.out;
  }
}

static void drain(mxmux::Reader& reader, ReadResult& result, size_t max_frames) {
  mxmux::Frame frame;
  while (result.frames.size() < max_frames) {
    int r = reader.next(frame, result.error);
    if (r < 0) return;
    if (r == 0) {
      result.ended = true;
      return;
    }
    frame.data = nullptr;
    result.frames.push_back(frame);
  }
}

ReadResult read_stream_file(const std::string& path, const mxmux::ReaderOptions& options) {
  ReadResult result;
  mxmux::ByteSource src;
  auto reader = mxmux::make_reader(path, src, result.error);
  if (!reader || !src.open_file(path, result.error) || !reader->open(options, result.error))
    return result;
  result.opened = true;
  result.params = reader->params();
  drain(*reader, result, 10000000);
  return result;
}

ReadResult read_stream_memory(mxmux::Codec codec, const std::vector<uint8_t>& bytes,
                              size_t max_frames) {
  ReadResult result;
  mxmux::ByteSource src;
  src.open_memory(bytes.data(), bytes.size(), "memory");
  auto reader = mxmux::make_reader_for(codec, src);
  if (!reader->open({}, result.error)) return result;
  result.opened = true;
  result.params = reader->params();
  drain(*reader, result, max_frames);
  return result;
}

}  // namespace mxmux_test
