// The operating-system calls of the mxmux program, POSIX or Windows. Paths are
// UTF-8 on both; on Windows they go to the wide (UTF-16) calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace mxmux::sys {

// File names of the plug-in and of the logging library beside it.
extern const char* const kPluginFile;
extern const char* const kLogLibraryFile;

enum class FileKind { kMissing, kRegular, kDirectory, kOther };
FileKind file_kind(const std::string& path);

// What a path names: its kind (kMissing when nothing is there; kOther with
// the errno value in `error` when it cannot be looked at), and for a regular
// file an identity that is the same for every path that reaches it.
struct FileInfo {
  FileKind kind = FileKind::kOther;
  int error = 0;
  uint64_t volume = 0, index = 0;
  uint32_t mode = 0;  // permission bits (POSIX)
};
FileInfo file_info(const std::string& path);
// True when a path names the file that standard output writes to.
bool is_standard_output(const std::string& path);
// True for a symbolic link (a reparse point on Windows).
bool is_symbolic_link(const std::string& path);
// The path with links followed, when it exists; otherwise the path itself.
std::string real_path(const std::string& path);
bool writable(const std::string& path);
// The permission bits a new file gets (0666 less the umask; 0 on Windows).
uint32_t new_file_mode();
// The folder for temporary files.
std::string temp_folder();

// Descriptors of files opened for reading; -1 and errno on failure.
int open_read(const std::string& path);
// The kind and, for regular files, the size of an open file.
bool file_info(int fd, FileKind& kind, uint64_t& size);
// Reads up to n bytes at the file position, or at offset; the count, 0 at
// the end, -1 and errno on failure.
int64_t read(int fd, void* buffer, size_t n);
int64_t read_at(int fd, void* buffer, size_t n, uint64_t offset);
void close(int fd);
// close, reporting whether the last writes made it (false and errno).
bool close_checked(int fd);
// Opens an existing file for reading and writing in place.
int open_update(const std::string& path);
// Opens an existing file (or device) for writing, or for appending.
int open_write(const std::string& path);
int open_append(const std::string& path);
// Creates a file that must not exist yet; -1 and errno (EEXIST) otherwise.
int create_new(const std::string& path);
// Creates a file of a unique name: the Xs that end `pattern` before its last
// `suffix_length` characters are replaced (mkstemps). -1 and errno on failure.
int create_unique(std::string& pattern, int suffix_length);
// Writes n bytes at the file position; the count, -1 and errno on failure.
int64_t write(int fd, const void* buffer, size_t n);
// Writes n bytes at offset; false and errno on failure.
bool write_at(int fd, const void* buffer, size_t n, uint64_t offset);
// Makes the written data durable, then gives the file its permission bits
// (the bits are POSIX only). False and errno on failure.
bool sync_file(int fd, uint32_t mode);
bool sync_file(int fd);
// Gives an open file permission bits (POSIX only).
void set_mode(int fd, uint32_t mode);
// Renames a file over another (replacing it); false and errno on failure.
bool replace_file(const std::string& from, const std::string& to);
void remove_file(const std::string& path);
// Cuts the file (or extends it with zeros) to `size` bytes; false and errno.
bool truncate_file(int fd, uint64_t size);
// Hints that the file is read once, front to back.
void advise_sequential(int fd);

// Memory for an input window, not zeroed. A mirrored one maps its pages twice,
// back to back, so that byte size() + k is byte k: a window of at most size()
// bytes that starts anywhere in the first copy reads and writes as one block,
// and a reader lets it run on around the end instead of moving what it still
// needs to the front. Where the system cannot map memory twice (Windows here),
// or when not asked to, it is a plain buffer (mirrored() is false).
//
// A 16 MiB buffer in 4 KiB pages costs 4096 page faults, which on a virtual
// machine took a fifth of the time of muxing 200,000 small frames: a mirrored
// one is mapped in whole at once, and a plain one asks for huge pages where
// the system gives them on request (Linux).
class WindowMemory {
 public:
  WindowMemory() = default;
  // At least n bytes; throws std::bad_alloc when there is no memory.
  WindowMemory(size_t n, bool mirror);
  ~WindowMemory() { release(); }
  WindowMemory(WindowMemory&& other) noexcept;
  WindowMemory& operator=(WindowMemory&& other) noexcept;
  WindowMemory(const WindowMemory&) = delete;
  WindowMemory& operator=(const WindowMemory&) = delete;

  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  bool mirrored() const { return mirrored_; }

 private:
  void release();

  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  bool mirrored_ = false;
};

// Creates the file when missing (an existing one is left as it is) to show
// that it can be written; false and errno otherwise.
bool touch_writable(const std::string& path);
// Removes a regular file; devices and the like are left alone.
void remove_regular_file(const std::string& path);
// Size of a regular file, 0 when unknown.
uint64_t file_size(const std::string& path);

bool stderr_is_terminal();
// Calls handler on an interrupt or termination request.
void on_stop_request(void (*handler)(int));

// The running program's directory, with a trailing separator.
std::string program_directory();
// Directory separators of this system's paths.
extern const char* const kSeparators;
// True when two paths name the same place as this system compares names: the
// same text on POSIX; on Windows letter case does not count (as in its file
// systems) and either separator may be used.
bool same_name(const std::string& a, const std::string& b);

// Dynamic libraries.
void* load_library(const std::string& path, std::string& error);
void* find_symbol(void* library, const char* name);
void free_library(void* library);

// Seconds since 1970 as a UTC calendar time; false when out of the system's range.
bool utc_calendar_time(int64_t seconds, std::tm& out);

// The command line as UTF-8 (on Windows from the wide command line).
std::vector<std::string> utf8_arguments(int argc, char** argv);

}  // namespace mxmux::sys
