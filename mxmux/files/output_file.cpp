#include "mxmux/files/output_file.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "mxmux/system.h"

namespace mxmux {

namespace {

// A path with symbolic links followed where the file exists.
std::string followed_path(const std::string& path) {
  return sys::real_path(path);
}

// mkstemps keeps this suffix after the random part, so the still named after
// the temporary movie is as unique as the movie's name.
constexpr const char kTempSuffix[] = ".part";
constexpr int kTempSuffixLength = sizeof kTempSuffix - 1;
// Room for ".NAME.mxmux-XXXXXX.part" within a 255-byte file name.
constexpr size_t kTempNameKeep = 200;
constexpr int kTempAttempts = 100;
constexpr size_t kCopyChunk = size_t{1} << 20;
// A failed run's cause is looked for by adding up to this much to the file.
constexpr size_t kProbeBlock = size_t{64} << 10;
constexpr int kProbeBlocks = 16;

std::string folder_of(const std::string& path) {
  auto slash = path.find_last_of(sys::kSeparators);
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string& path) {
  auto slash = path.find_last_of(sys::kSeparators);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Where a file that may not exist yet would be: its folder resolved.
std::string place_of(const std::string& path) {
  std::string folder = followed_path(folder_of(path));
  return (folder == "/" ? "" : folder) + "/" + name_of(path);
}

struct Identity {
  enum Kind { kRegular, kMissing, kOther } kind = kOther;
  uint64_t volume = 0, index = 0;
  std::string place;  // for missing files
};

Identity identify(const std::string& path) {
  Identity id;
  sys::FileInfo info = sys::file_info(path);
  // Devices and pipes are not overwritten the way files are (a terminal
  // can be both read and written), so only regular files are compared.
  if (info.kind == sys::FileKind::kRegular) {
    id.kind = Identity::kRegular;
    id.volume = info.volume;
    id.index = info.index;
  } else if (info.kind == sys::FileKind::kMissing) {
    id.kind = Identity::kMissing;
    id.place = place_of(path);
  }
  return id;
}

bool same(const Identity& a, const Identity& b) {
  if (a.kind != b.kind) return false;
  if (a.kind == Identity::kRegular) return a.volume == b.volume && a.index == b.index;
  return a.kind == Identity::kMissing && sys::same_name(a.place, b.place);
}

bool write_all(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    int64_t n = sys::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string output_target(const std::string& path) {
  if (sys::is_symbolic_link(path)) return followed_path(path);
  return path;
}

std::string still_path_for(const std::string& movie) {
  size_t name_start = movie.find_last_of("/\\");
  name_start = name_start == std::string::npos ? 0 : name_start + 1;
  size_t dot = movie.rfind('.');
  std::string path = movie;
  if (dot != std::string::npos && dot > name_start) path.resize(dot);
  return path + ".jpg";
}

std::string find_overwrite(const std::vector<NamedFile>& outputs,
                           const std::vector<NamedFile>& inputs) {
  std::vector<Identity> input_ids, output_ids;
  for (const auto& f : inputs) input_ids.push_back(identify(f.path));
  for (size_t i = 0; i < outputs.size(); ++i) {
    Identity id = identify(outputs[i].path);
    auto clash = [&](const NamedFile& other) {
      return outputs[i].option + " (" + outputs[i].path + ") is the same file as " + other.option +
             " (" + other.path + "); nothing was written (choose another name)";
    };
    for (size_t k = 0; k < inputs.size(); ++k) {
      if (same(id, input_ids[k])) return clash(inputs[k]);
    }
    for (size_t k = 0; k < i; ++k) {
      if (same(id, output_ids[k])) return clash(outputs[k]);
    }
    output_ids.push_back(id);
  }
  return "";
}

std::string system_reason(int error) {
  std::string text = std::strerror(error);
  // "No space left on device" reads as the end of a sentence; acronyms stay.
  if (text.size() > 1 && std::isupper(static_cast<unsigned char>(text[0])) &&
      std::islower(static_cast<unsigned char>(text[1])))
    text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

OutputFile::~OutputFile() {
  discard();
}

bool OutputFile::examine_target(const std::string& target, sys::FileInfo& info,
                                std::string& error) {
  target_ = output_target(target);
  info = sys::file_info(target_);
  if (info.kind == sys::FileKind::kMissing) {
    target_mode_ = sys::new_file_mode();
  } else if (info.error != 0) {
    error = target + ": " + system_reason(info.error);
    return false;
  }
  return true;
}

bool OutputFile::create(const std::string& target, bool with_still, std::string& error) {
  sys::FileInfo info;
  if (!examine_target(target, info, error)) return false;
  if (info.kind != sys::FileKind::kMissing) {
    target_existed_ = true;
    if (info.kind == sys::FileKind::kDirectory) {
      error = target + ": is a directory";
      return false;
    }
    copy_into_target_ = info.kind != sys::FileKind::kRegular;
    target_mode_ = info.mode;
    if (!sys::writable(target_)) {
      error = target + ": cannot write: " + system_reason(errno);
      return false;
    }
  }
  if (with_still && copy_into_target_) {
    error = target + ": a Live Photo movie must go to a file (its still is written beside it)";
    return false;
  }
  // A device or a pipe gets the finished file copied into it; the file is
  // made where temporary files go.
  std::string folder = folder_of(target_), name = name_of(target_).substr(0, kTempNameKeep);
  if (copy_into_target_) {
    folder = sys::temp_folder();
    name = "mxmux";
  }
  for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
    std::string pattern = folder + "/." + name + ".mxmux-XXXXXX" + kTempSuffix;
    int fd = sys::create_unique(pattern, kTempSuffixLength);
    if (fd < 0) {
      error = (copy_into_target_ ? folder : target) + ": cannot write: " + system_reason(errno);
      return false;
    }
    sys::close(fd);
    temp_ = pattern;
    if (!with_still) return true;
    // The still's temporary name is reserved so that nothing else is overwritten.
    still_temp_ = still_path_for(temp_);
    int still_fd = sys::create_new(still_temp_);
    if (still_fd >= 0) {
      sys::close(still_fd);
      still_target_ = still_path_for(target_);
      return true;
    }
    int cause = errno;
    sys::remove_file(temp_);
    temp_.clear();
    still_temp_.clear();
    if (cause != EEXIST) {
      error = target + ": cannot write its still: " + system_reason(cause);
      return false;
    }
  }
  error = target + ": no free temporary name in " + folder;
  return false;
}

bool OutputFile::create_in_place(const std::string& target, bool with_still, std::string& error) {
  sys::FileInfo info;
  if (!examine_target(target, info, error)) return false;
  if (info.kind != sys::FileKind::kMissing) {
    if (info.kind != sys::FileKind::kRegular) {
      error = target + (info.kind == sys::FileKind::kDirectory
                            ? ": is a directory"
                            : ": a resilient file must be a file (it is rewritten in place)");
      return false;
    }
    target_existed_ = true;
    target_mode_ = info.mode;
  }
  if (!sys::touch_writable(target_)) {
    error = target + ": cannot write: " + system_reason(errno);
    return false;
  }
  in_place_ = true;
  temp_ = target_;
  if (with_still) {
    // A still left by an earlier run must not pass for this run's.
    still_target_ = still_path_for(target_);
    sys::remove_regular_file(still_target_);
    still_temp_ = still_target_;
  }
  return true;
}

bool OutputFile::still_written() const {
  return !still_temp_.empty() && sys::file_size(still_temp_) > 0;
}

bool OutputFile::sync_and_close(int fd, std::string& error) {
  const bool ok = sys::sync_file(fd, target_mode_);
  const int cause = errno;
  sys::close(fd);
  if (!ok) error = target_ + ": cannot write: " + system_reason(cause);
  return ok;
}

bool OutputFile::commit(std::string& error) {
  // Opened for writing too: Windows flushes a file to disk only through a
  // handle that may write it.
  int fd = sys::open_update(temp_);
  if (fd < 0) {
    error = target_ + ": cannot reopen the finished file: " + system_reason(errno);
    return false;
  }
  if (in_place_) {
    if (!sync_and_close(fd, error)) return false;
    temp_.clear();
    still_temp_.clear();
    done_ = true;
    return true;
  }
  if (copy_into_target_) {
    int out = sys::open_write(target_);
    bool ok = out >= 0;
    std::vector<uint8_t> chunk(kCopyChunk);
    while (ok) {
      int64_t n = sys::read(fd, chunk.data(), chunk.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ok = n == 0;
        break;
      }
      ok = write_all(out, chunk.data(), static_cast<size_t>(n));
    }
    int cause = errno;
    if (out >= 0 && !sys::close_checked(out) && ok) {
      ok = false;
      cause = errno;
    }
    sys::close(fd);
    if (!ok) {
      error = target_ + ": cannot write: " + system_reason(cause);
      return false;
    }
    discard();
    done_ = true;
    return true;
  }
  // The data reaches the disk before the name does, so that a crash right
  // after the rename cannot leave an empty file where the old one was.
  if (!sync_and_close(fd, error)) return false;
  if (!still_temp_.empty()) {
    if (still_written()) {
      if (!sys::replace_file(still_temp_, still_target_)) {
        error = still_target_ + ": cannot put the still in place: " + system_reason(errno);
        return false;
      }
    } else {
      sys::remove_file(still_temp_);
    }
    still_temp_.clear();
  }
  if (!sys::replace_file(temp_, target_)) {
    error = target_ + ": cannot put the file in place: " + system_reason(errno);
    return false;
  }
  temp_.clear();
  done_ = true;
  return true;
}

void OutputFile::discard() {
  if (in_place_) {
    if (!temp_.empty() && sys::file_size(temp_) == 0) sys::remove_regular_file(temp_);
    temp_.clear();
    still_temp_.clear();
    return;
  }
  if (!temp_.empty()) sys::remove_file(temp_);
  if (!still_temp_.empty()) sys::remove_file(still_temp_);
  temp_.clear();
  still_temp_.clear();
}

std::string OutputFile::write_failure() const {
  if (temp_.empty()) return "";
  // The probe adds to a file of its own when the plug-in writes the target.
  std::string probe = temp_;
  if (in_place_) {
    probe = folder_of(target_) + "/." + name_of(target_).substr(0, kTempNameKeep) +
            ".mxmux-XXXXXX" + kTempSuffix;
    int fd = sys::create_unique(probe, kTempSuffixLength);
    if (fd < 0) return system_reason(errno);
    sys::close(fd);
  }
  std::string reason = probe_writing(probe);
  if (in_place_) sys::remove_file(probe);
  return reason;
}

std::string OutputFile::probe_writing(const std::string& path) {
  int fd = sys::open_append(path);
  if (fd < 0) return system_reason(errno);
  static const uint8_t kZeros[kProbeBlock] = {};
  std::string reason;
  for (int i = 0; i < kProbeBlocks && reason.empty(); ++i) {
    if (!write_all(fd, kZeros, sizeof kZeros)) reason = system_reason(errno);
  }
  if (reason.empty() && !sys::sync_file(fd)) reason = system_reason(errno);
  sys::close(fd);
  return reason;
}

}  // namespace mxmux
