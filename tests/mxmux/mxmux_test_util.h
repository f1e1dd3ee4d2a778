// Helpers of the mxmux tests: running commands, reading streams to the end.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "mxmux/readers/reader.h"

namespace mxmux_test {

struct CommandResult {
  int status = -1;  // exit status, or -1 when the command did not exit normally
  std::string out, err;
};

// Runs a shell command line, capturing both output streams.
CommandResult run_command(const std::string& command);
std::string shell_quote(const std::string& text);
// The hash column of ffmpeg's framemd5 output, one per packet or frame.
std::vector<std::string> framemd5_hashes(const std::string& framemd5);
std::string sample_path(const std::string& name);
std::string mxmux_binary();
// True when the built plug-in exports its catalogue and creates a session.
bool plugin_ready();
bool file_exists(const std::string& path);

// Starts mxmux with these arguments, its output streams thrown away: the
// child's process id (not above 0 when it could not be started).
pid_t start_mxmux(const std::vector<std::string>& args);

// Writes the first `limit` bytes of a stream into a named pipe from a thread
// of its own (`chunk` bytes at a time with `pause_us` microseconds between,
// or all at once when chunk is 0), then holds the pipe open, so that its
// reader waits for more, until the feeder is destroyed.
class PipeFeeder {
 public:
  PipeFeeder(const std::string& fifo, const std::vector<uint8_t>& bytes, size_t limit,
             size_t chunk = 0, int pause_us = 0);
  ~PipeFeeder();
  PipeFeeder(const PipeFeeder&) = delete;
  PipeFeeder& operator=(const PipeFeeder&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Runs mxmux --dump on a file the tests wrote: it must exit 0, list every box
// the box reader finds at its offset with its size, and name these boxes.
void expect_dump_lists(const std::string& path, const std::vector<std::string>& types);
// The boxes every finished movie has.
extern const std::vector<std::string> kMovieBoxes;

struct ReadResult {
  std::vector<mxmux::Frame> frames;  // data pointers are not kept
  mxmux::StreamParams params;
  mxmux::Error error;
  bool opened = false;
  bool ended = false;  // reached a clean end of stream
};

// Reads a whole input with the reader its extension selects.
ReadResult read_stream_file(const std::string& path, const mxmux::ReaderOptions& options = {});
// Reads an in-memory input with the reader of `codec`, at most `max_frames`.
ReadResult read_stream_memory(mxmux::Codec codec, const std::vector<uint8_t>& bytes,
                              size_t max_frames = 1000000);

}  // namespace mxmux_test
