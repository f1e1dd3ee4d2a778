// Not written yet: the foundation issue replaces this file.
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "xqlog/xq_log.h"
void XQ_LogMessage(const char16_t* message) {}
void XQ_LogFormat(const char16_t* format, ...) {}
void XQ_GetBaseDirectory(char16_t* buffer, uint32_t limit) { if (buffer) buffer[0] = 0; }
int XQ_SetLogSink(int sink, const char* path) { return -1; }
void XQ_SetBaseDirectory(const char16_t* directory) {}
