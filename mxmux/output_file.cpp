#include "mxmux/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace mxmux {

namespace {

// A path with symbolic links followed where the file exists.
std::string followed_path(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (!real) return path;
  std::string out(real);
  std::free(real);
  return out;
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
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string& path) {
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Where a file that may not exist yet would be: its folder resolved.
std::string place_of(const std::string& path) {
  std::string folder = followed_path(folder_of(path));
  return (folder == "/" ? "" : folder) + "/" + name_of(path);
}

struct Identity {
  enum Kind { kRegular, kMissing, kOther } kind = kOther;
  dev_t dev = 0;
  ino_t ino = 0;
  std::string place;  // for missing files
};

Identity identify(const std::string& path) {
  Identity id;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    // Devices and pipes are not overwritten the way files are (a terminal
    // can be both read and written), so only regular files are compared.
    if (S_ISREG(st.st_mode)) {
      id.kind = Identity::kRegular;
      id.dev = st.st_dev;
      id.ino = st.st_ino;
    }
  } else if (errno == ENOENT) {
    id.kind = Identity::kMissing;
    id.place = place_of(path);
  }
  return id;
}

bool same(const Identity& a, const Identity& b) {
  if (a.kind != b.kind) return false;
  if (a.kind == Identity::kRegular) return a.dev == b.dev && a.ino == b.ino;
  return a.kind == Identity::kMissing && a.place == b.place;
}

mode_t current_umask() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

bool write_all(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
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
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return followed_path(path);
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

bool OutputFile::create(const std::string& target, bool with_still, std::string& error) {
  target_ = output_target(target);
  struct stat st {};
  if (::stat(target_.c_str(), &st) == 0) {
    target_existed_ = true;
    if (S_ISDIR(st.st_mode)) {
      error = target + ": is a directory";
      return false;
    }
    copy_into_target_ = !S_ISREG(st.st_mode);
    target_mode_ = st.st_mode & 07777;
    if (::access(target_.c_str(), W_OK) != 0) {
      error = target + ": cannot write: " + system_reason(errno);
      return false;
    }
  } else if (errno != ENOENT) {
    error = target + ": " + system_reason(errno);
    return false;
  } else {
    target_mode_ = 0666 & ~current_umask();
  }
  if (with_still && copy_into_target_) {
    error = target + ": a Live Photo movie must go to a file (its still is written beside it)";
    return false;
  }
  // A device or a pipe gets the finished file copied into it; the file is
  // made where temporary files go.
  std::string folder = folder_of(target_), name = name_of(target_).substr(0, kTempNameKeep);
  if (copy_into_target_) {
    const char* tmp = std::getenv("TMPDIR");
    folder = tmp && *tmp ? tmp : "/tmp";
    name = "mxmux";
  }
  for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
    std::string pattern = folder + "/." + name + ".mxmux-XXXXXX" + kTempSuffix;
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    int fd = ::mkstemps(buffer.data(), kTempSuffixLength);
    if (fd < 0) {
      error = (copy_into_target_ ? folder : target) + ": cannot write: " + system_reason(errno);
      return false;
    }
    ::close(fd);
    temp_ = buffer.data();
    if (!with_still) return true;
    // The still's temporary name is reserved so that nothing else is overwritten.
    still_temp_ = still_path_for(temp_);
    int still_fd = ::open(still_temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (still_fd >= 0) {
      ::close(still_fd);
      still_target_ = still_path_for(target_);
      return true;
    }
    int cause = errno;
    ::unlink(temp_.c_str());
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

bool OutputFile::still_written() const {
  struct stat st {};
  return !still_temp_.empty() && ::stat(still_temp_.c_str(), &st) == 0 && st.st_size > 0;
}

bool OutputFile::commit(std::string& error) {
  int fd = ::open(temp_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = target_ + ": cannot reopen the finished file: " + system_reason(errno);
    return false;
  }
  if (copy_into_target_) {
    int out = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC);
    bool ok = out >= 0;
    std::vector<uint8_t> chunk(kCopyChunk);
    while (ok) {
      ssize_t n = ::read(fd, chunk.data(), chunk.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ok = n == 0;
        break;
      }
      ok = write_all(out, chunk.data(), static_cast<size_t>(n));
    }
    int cause = errno;
    if (out >= 0 && ::close(out) != 0 && ok) {
      ok = false;
      cause = errno;
    }
    ::close(fd);
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
  bool ok = ::fsync(fd) == 0 && ::fchmod(fd, target_mode_) == 0;
  int cause = errno;
  ::close(fd);
  if (!ok) {
    error = target_ + ": cannot write: " + system_reason(cause);
    return false;
  }
  if (!still_temp_.empty()) {
    if (still_written()) {
      if (::rename(still_temp_.c_str(), still_target_.c_str()) != 0) {
        error = still_target_ + ": cannot put the still in place: " + system_reason(errno);
        return false;
      }
    } else {
      ::unlink(still_temp_.c_str());
    }
    still_temp_.clear();
  }
  if (::rename(temp_.c_str(), target_.c_str()) != 0) {
    error = target_ + ": cannot put the file in place: " + system_reason(errno);
    return false;
  }
  temp_.clear();
  done_ = true;
  return true;
}

void OutputFile::discard() {
  if (!temp_.empty()) ::unlink(temp_.c_str());
  if (!still_temp_.empty()) ::unlink(still_temp_.c_str());
  temp_.clear();
  still_temp_.clear();
}

std::string OutputFile::write_failure() const {
  if (temp_.empty()) return "";
  int fd = ::open(temp_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) return system_reason(errno);
  static const uint8_t kZeros[kProbeBlock] = {};
  std::string reason;
  for (int i = 0; i < kProbeBlocks && reason.empty(); ++i) {
    if (!write_all(fd, kZeros, sizeof kZeros)) reason = system_reason(errno);
  }
  if (reason.empty() && ::fsync(fd) != 0) reason = system_reason(errno);
  ::close(fd);
  return reason;
}

}  // namespace mxmux
