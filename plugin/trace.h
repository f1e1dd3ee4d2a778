// The optional trace hook: a trace library looked for in the temporary directory.
#pragma once

// Formats a UTF-16 printf-style message and hands it, converted to 8-bit text,
// to the trace library's entry point; does nothing when there is none.
void Trace(const char16_t* format, ...);
