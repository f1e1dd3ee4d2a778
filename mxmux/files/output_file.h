// Where a run's result goes, and what it must never touch.
//
// The plug-in writes under a temporary name in the target's folder; the file
// is renamed over the target only once it is complete, so a failed or
// interrupted run leaves the previous file as it was. The plug-in names the
// Live Photo still after the movie path it is given, so the still is made
// beside the temporary movie and renamed beside the final one with it.
//
// A resilient file is written in place instead: under the target's own name
// from the start, so that a crash leaves it where the user looks for it. A
// previous file of that name is replaced when the run starts.
#pragma once

#include <string>
#include <vector>

#include "mxmux/system.h"

namespace mxmux {

// The still the plug-in writes for a Live Photo movie: the movie's path with
// the extension of its last component replaced by ".jpg" (added when there is
// none; a leading dot does not start an extension).
std::string still_path_for(const std::string& movie);

// The file an output path replaces: the path itself, or where it points
// when it is a symbolic link to a file that exists.
std::string output_target(const std::string& path);

// A file named on the command line, with the option that named it.
struct NamedFile {
  std::string option;
  std::string path;
};

// The first file of `outputs` that is also one of `inputs` or an earlier
// output: the same device and inode after following links for files that
// exist, the same folder and name for files that do not exist yet. Returns
// the message for the user, empty when every output is a file of its own.
std::string find_overwrite(const std::vector<NamedFile>& outputs,
                           const std::vector<NamedFile>& inputs);

// The system's words for an error number, as the rest of a sentence.
std::string system_reason(int error);

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();  // removes the temporary files unless committed
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Makes the temporary movie (and, with_still, reserves the temporary still)
  // for `target`. False with a message when the target cannot be written.
  bool create(const std::string& target, bool with_still, std::string& error);
  // Writing in place: the plug-in is given the target itself (a regular file
  // or none yet), and the still goes straight beside it. False with a message
  // when the target cannot be written.
  bool create_in_place(const std::string& target, bool with_still, std::string& error);
  bool in_place() const { return in_place_; }

  // What the plug-in is given, and where it will then write the still.
  const std::string& path() const { return temp_; }
  const std::string& still_path() const { return still_temp_; }
  // Where the still ends up.
  const std::string& still_target() const { return still_target_; }
  bool target_existed() const { return target_existed_; }
  // A device or a pipe: the finished file is copied into it.
  bool into_device() const { return copy_into_target_; }
  // True when the plug-in wrote a still.
  bool still_written() const;

  // Puts the finished movie (and its still) in place. False with a message
  // when that fails; the previous files are then unchanged. A file written in
  // place is synced to the storage.
  bool commit(std::string& error);
  // Removes the temporary files; a file written in place is kept unless it
  // is empty (what a failed run had written plays).
  void discard();

  // After a failed run: why writing fails, in the system's words, found by
  // trying to add to the temporary file. Empty when more can be written, so
  // the cause lies elsewhere.
  std::string write_failure() const;

 private:
  // Syncs the finished file's data (and its mode) to the storage and closes
  // it: false with the message when the sync failed.
  bool sync_and_close(int fd, std::string& error);
  // Resolves the target and looks at what is there: false with the message
  // when that cannot be told; a missing target gets the mode of new files.
  bool examine_target(const std::string& target, sys::FileInfo& info, std::string& error);
  // Why adding to the file at `path` fails; empty when it does not.
  static std::string probe_writing(const std::string& path);

  std::string target_;  // the file that is replaced: symbolic links followed
  std::string temp_, still_target_, still_temp_;
  bool target_existed_ = false;
  bool copy_into_target_ = false;  // a device or a pipe: it cannot be renamed over
  bool in_place_ = false;          // the plug-in writes the target itself
  unsigned target_mode_ = 0;
  bool done_ = false;
};

}  // namespace mxmux
