// Thin stand-ins for the operating-system and runtime calls the plug-in makes.
// A Windows build swaps this file's implementation for the real calls
// (_wfopen, _fseeki64, _ftelli64, WideCharToMultiByte, GetTempPathW,
// LoadLibraryW/GetProcAddress/FreeLibrary, _time64, rand).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// Opens a file named by UTF-16 text for binary writing, truncating it ("wb").
// Null on failure, with errno set.
FILE* platform_open_write(const char16_t* file_name);

// 64-bit seek and tell; seek returns 0 on success, tell -1 on failure.
int platform_seek(FILE* file, int64_t offset, int whence);
int64_t platform_tell(FILE* file);

// Checks, on the open stream, that the file still holds what was written to
// it: 0 when it does; ENOENT when the file has no name left (another process
// unlinked it, or put another file in its place); EIO when it is shorter than
// the `written` bytes (cut short); another errno value when the check itself
// failed. Only a regular file's size is compared; devices and pipes have none.
// (A Windows build reads the link count and size with GetFileInformationByHandle.)
int platform_check_written(FILE* file, int64_t written);

// Converts zero-terminated UTF-16 text, terminator included, to the 8-bit form
// this platform hands to other libraries (UTF-8 here; it stands for both the
// ANSI code page and UTF-8). Unpaired surrogates become U+FFFD. Returns the
// bytes written including the terminator, or 0 when the result does not fit in
// dst_size bytes, in which case nothing is written. A null source converts as
// an empty text.
int32_t wide_to_multibyte(const char16_t* source, char* dst, int32_t dst_size);

// The same conversion into a string (no size limit).
std::string wide_to_string(const char16_t* source);

// The reverse: 8-bit text (UTF-8) to UTF-16; malformed bytes become U+FFFD.
// A null source converts as an empty text.
std::u16string multibyte_to_wide(const char* source);

// Length of zero-terminated UTF-16 text, reading at most max_units (0 for null).
size_t wide_length(const char16_t* text, size_t max_units = SIZE_MAX);

// The directory for temporary files, with a trailing '/', as UTF-16; empty
// when it cannot be found.
std::u16string platform_temp_directory();

// Dynamic libraries.
void* platform_load_library(const char* path);
void* platform_find_symbol(void* library, const char* name);
void platform_free_library(void* library);

// Seconds since 1970-01-01.
int64_t platform_time();

// The runtime's pseudo-random numbers (never seeded by the plug-in).
int platform_rand();

// 32 bits from the system's random source (unpredictable, different in every process).
uint32_t platform_random32();
