// Loads a library the way a host of this platform does: LoadLibraryW and
// GetProcAddress on Windows, dlopen and dlsym elsewhere.
#pragma once

#include <string>

// Null on failure; library_error() then says why. The path is UTF-8.
void* open_library(const std::string& path);
void* library_symbol(void* library, const char* name);
void close_library(void* library);
std::string library_error();
// The base address of the loaded module that holds address; null when none.
const void* module_base_of(const void* address);

// File name of a library built by this project, as this platform names it:
// library_file("mx_mp4") is mx_mp4.dll or mx_mp4.so; library_file("XQ_Log")
// is XQ_Log.dll or libXQ_Log.so.
std::string library_file(const std::string& base);
