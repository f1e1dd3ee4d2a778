// The operating-system and runtime calls the plug-in makes.
//
// platform_windows.cpp makes the Windows calls (_wfopen, _fseeki64,
// _ftelli64, WideCharToMultiByte, GetTempPathW, LoadLibraryW, GetProcAddress,
// FreeLibrary, _time64); platform.cpp is the POSIX side with the same
// behaviour. Paths and texts come in as UTF-16.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// Opens a file named by UTF-16 text for binary writing, truncating it ("wb").
// Null on failure, with errno set.
FILE* platform_open_write(const char16_t* file_name);

// One piece of a gathered write.
struct WriteSpan {
  const uint8_t* data;
  size_t size;
};

// Writes the pieces one after the other at the stream's position. POSIX: the
// stream's own buffer is flushed first; then the pieces go to the system in
// one gathered write (repeated for whatever a short write leaves), so their
// bytes are not copied on the way; a stream without a file descriptor (a
// custom stream) receives one fwrite per piece instead. Windows: one fwrite
// per piece. Returns 0, or the errno value of the failure (EIO when the
// system gave none).
int platform_write_spans(FILE* file, const WriteSpan* spans, size_t count);

// Writes n bytes at offset pos, where the stream has written before, and
// leaves the stream's position at its end. POSIX: the stream's own buffer is
// flushed first; then the bytes go to the system in positioned writes
// (pwrite), so the position never moves and no seek is made; a stream without
// a file descriptor (a custom stream) seeks to pos, writes, and seeks back to
// its end instead, as Windows does. A failed seek to pos writes nothing (the
// bytes never land at the end). Returns 0, or the errno value of the first
// failure (EIO when the system gave none).
int platform_write_at(FILE* file, const uint8_t* data, size_t n, int64_t pos);

// Whether platform_cut_back can shorten the stream's file: a regular file
// (on Windows a disk file) with a descriptor.
bool platform_can_cut_back(FILE* file);

// Cuts the file back to its first `length` bytes (the stream's own buffer is
// flushed first) and leaves the stream's position at the new end. Returns 0,
// or the errno value of the failure.
int platform_cut_back(FILE* file, int64_t length);

// 64-bit seek and tell; seek returns 0 on success, tell -1 on failure.
int platform_seek(FILE* file, int64_t offset, int whence);
int64_t platform_tell(FILE* file);

// Checks, on the open stream, that the file still holds what was written to
// it: 0 when it does; ENOENT when the file has no name left (another process
// unlinked it, or put another file in its place); EIO when it is shorter than
// the `written` bytes (cut short); another errno value when the check itself
// failed. Only a regular file's size is compared; devices and pipes have none.
// (Windows reads the link count and size with GetFileInformationByHandle.)
int platform_check_written(FILE* file, int64_t written);

// Hands the stream's buffered bytes to the system and waits until the system
// has them on the storage device (fsync; FlushFileBuffers on Windows), so that
// a later write is never stored ahead of them. Returns 0, or the errno value
// of the failure. Streams without a file descriptor are only flushed; devices,
// pipes and file systems that cannot sync count as synced.
int platform_sync(FILE* file);

// Converts zero-terminated UTF-16 text, terminator included, to UTF-8 (the
// form of metadata texts). Unpaired surrogates become U+FFFD. Returns the
// bytes written including the terminator, or 0 when the result does not fit in
// dst_size bytes, in which case nothing is written. A null source converts as
// an empty text.
int32_t wide_to_multibyte(const char16_t* source, char* dst, int32_t dst_size);

// The same conversion into a string (no size limit).
std::string wide_to_string(const char16_t* source);

// The 8-bit text handed to other libraries and to the system (paths, the trace
// text, language codes): the ANSI code page on Windows, where characters it
// lacks become '?', and UTF-8 elsewhere. Otherwise as wide_to_multibyte.
int32_t wide_to_ansi(const char16_t* source, char* dst, int32_t dst_size);
std::string wide_to_ansi_string(const char16_t* source);

// The reverse: 8-bit text (UTF-8) to UTF-16; malformed bytes become U+FFFD.
// A null source converts as an empty text.
std::u16string multibyte_to_wide(const char* source);

// Length of zero-terminated UTF-16 text, reading at most max_units (0 for null).
inline size_t wide_length(const char16_t* text, size_t max_units = SIZE_MAX) {
  if (text == nullptr) return 0;
  size_t n = 0;
  while (n < max_units && text[n] != 0) ++n;
  return n;
}

// The user's directory for temporary files, with a trailing separator, as
// UTF-16 (GetTempPathW on Windows; $TMPDIR, else /tmp, elsewhere); empty when
// it cannot be found.
std::u16string platform_temp_directory();

// The path of a file of that name in the temporary directory (on Windows
// GetTempPathW, then lstrcatW). Empty when the directory is unknown or when
// the path with its terminator needs more than `limit` units: it is never
// shortened.
std::u16string platform_temp_file_path(const char16_t* name, size_t limit);

// Dynamic libraries, by path.
void* platform_load_library(const char16_t* path);
void* platform_find_symbol(void* library, const char* name);
void platform_free_library(void* library);

// Loads a library found in a folder other users may write to (the temporary
// folder) only when nobody but the current user or the system can have put
// or changed it there; null otherwise. POSIX: a regular file owned by the user
// or root and writable by nobody else (a symbolic link must itself be owned by
// the user or root); the check is made on the opened file and that very file
// is loaded. Windows: the temporary folder is the user's own; the file must be
// a plain file, not a link or other reparse point, owned by the user, the
// administrators or the system, and it is held open against changes from the
// check until it is loaded.
void* platform_load_private_library(const char16_t* path);
bool platform_library_is_trusted(const char16_t* path);

// The directory of the module (program or library) that contains code_address,
// as an absolute path without a trailing separator; empty when unknown.
std::u16string platform_module_directory(const void* code_address);

// Opens a file named by UTF-8 text for appending bytes as they are ("ab");
// null on failure.
FILE* platform_open_append(const char* file_name);

// Seconds since 1970-01-01.
int64_t platform_time();

// The runtime's pseudo-random numbers (never seeded by the plug-in).
int platform_rand();

// 32 bits from the system's random source (unpredictable, different in every process).
uint32_t platform_random32();
