// The optional trace hook: a trace library looked for in the temporary directory.
#pragma once

// Formats a UTF-16 printf-style message and hands it, converted to 8-bit text,
// to the trace library's entry point; does nothing when there is none.
void Trace(const char16_t* format, ...);

// File name of the trace library inside the temporary directory.
inline constexpr char16_t kTraceLibraryName[] = u"zPROBE.so";

// True when the file at path may be loaded as the trace library: a regular
// file (or a symbolic link owned by the current user or root to one) owned by
// the current user or root and writable by nobody else.
bool trace_library_is_trusted(const char* path);
