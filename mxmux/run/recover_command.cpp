#include "mxmux/run/recover_command.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "mxmux/files/output_file.h"
#include "mxmux/files/recover.h"
#include "mxmux/run/messages.h"
#include "mxmux/system.h"

namespace mxmux {

namespace {

int stop_after_from_environment() {
  const char* text = std::getenv("MXMUX_RECOVER_STOP_AFTER");
  if (!text) return 0;
  const int step = std::atoi(text);
  return step >= 1 && step <= 3 ? step : 0;
}

const char* stage_text(recover::Stage stage) {
  switch (stage) {
    case recover::Stage::kFragments:
      return "";
    case recover::Stage::kMovieAppended:
      return " (its finalising had stopped after appending the movie box)";
    case recover::Stage::kRoomGrown:
      return " (its finalising had stopped after its movie box was shown)";
  }
  return "";
}

std::string plural(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

int recover_file(const std::string& path) {
  sys::FileInfo info = sys::file_info(path);
  if (info.kind == sys::FileKind::kMissing || info.error != 0)
    return fail(path + ": " + system_reason(info.error != 0 ? info.error : ENOENT));
  if (info.kind != sys::FileKind::kRegular)
    return fail(path + ": is not a file (--recover finishes a file a crash left fragmented)");
  int fd = sys::open_update(path);
  if (fd < 0) return fail(path + ": cannot open for writing: " + system_reason(errno));
  sys::FileKind kind;
  uint64_t size = 0;
  recover::Examination e;
  std::string why;
  if (!sys::file_info(fd, kind, size) || !recover::examine(fd, size, e, why)) {
    sys::close(fd);
    return fail(path + ": " + (why.empty() ? "cannot be read" : why) + "; the file is unchanged");
  }
  if (e.cut() > 0) {
    say(path + ": kept " + plural(e.fragments, "complete fragment", "complete fragments") +
        ", cut " + std::to_string(e.cut()) +
        " bytes after the last one (what the crash left unfinished)");
  }
  const bool done = recover::finish(fd, e, stop_after_from_environment(), why);
  const bool closed = sys::close_checked(fd);
  if (!done || !closed)
    return fail(path + ": " + (done ? "cannot write: " + system_reason(errno) : why));
  std::string made = e.stage == recover::Stage::kFragments
                         ? plural(e.fragments, "fragment", "fragments") + " and " +
                               plural(e.tracks, "track", "tracks") + " made one movie"
                         : "finished";
  std::printf("%s: recovered%s: %s; a plain file of %s\n", path.c_str(), stage_text(e.stage),
              made.c_str(), human_size(sys::file_size(path)).c_str());
  return 0;
}

}  // namespace mxmux
