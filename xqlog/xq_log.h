// Stand-in for the host's logging library.
//
// The plug-in calls three of its functions:
//   ordinal 1   -> XQ_LogMessage       a plain UTF-16 message
//   ordinal 2   -> XQ_LogFormat        a UTF-16 printf-style message
//   ordinal 341 -> XQ_GetBaseDirectory the host's base directory
// On Windows XQ_Log.dll exports them by ordinal only (XQ_Log.def) and callers
// import them by ordinal; elsewhere they are named functions.
// The host chooses where messages go (nowhere by default) and may set the base
// directory; otherwise it is the directory this library was loaded from, which
// is the plug-in's directory: the plug-in finds the library beside itself.
#ifndef XQ_LOG_H
#define XQ_LOG_H

#include <stdint.h>
#ifndef __cplusplus
#include <uchar.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

#if !defined(_WIN32)
#define XQ_EXPORT __attribute__((visibility("default")))
#elif defined(XQ_LOG_BUILDING)
#define XQ_EXPORT /* exported through XQ_Log.def */
#else
// Without dllimport the address of a function would be its import thunk.
#define XQ_EXPORT __declspec(dllimport)
#endif

enum XqLogSink { XQ_LOG_NONE = 0, XQ_LOG_STDERR = 1, XQ_LOG_FILE = 2 };

XQ_EXPORT void XQ_LogMessage(const char16_t* message);
XQ_EXPORT void XQ_LogFormat(const char16_t* format, ...);
// Fills buffer with the base directory, zero-terminated, at most limit units
// before the terminator (the buffer holds limit + 1 units).
XQ_EXPORT void XQ_GetBaseDirectory(char16_t* buffer, uint32_t limit);

// Host configuration. XQ_SetLogSink returns 0 on success, -1 when the file
// cannot be opened (the sink is then unchanged).
XQ_EXPORT int XQ_SetLogSink(int sink, const char* path);
// Null restores the default (the plug-in's directory).
XQ_EXPORT void XQ_SetBaseDirectory(const char16_t* directory);

#ifdef __cplusplus
}
#endif

#endif
