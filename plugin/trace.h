// The optional trace hook: a trace library looked for in the temporary directory.
#pragma once

// Formats a UTF-16 printf-style message and hands it, converted to the
// system's 8-bit text, to the trace library's entry point; does nothing when
// there is none.
void Trace(const char16_t* format, ...);

// File name of the trace library inside the temporary directory.
#ifdef _WIN32
inline constexpr char16_t kTraceLibraryName[] = u"zPROBE.Dll";
#else
inline constexpr char16_t kTraceLibraryName[] = u"zPROBE.so";
#endif
