// Console text: every message of the program goes through ConsolePrint. The
// texts are CP932 bytes; each platform decides how to show them (unchanged,
// converted to the locale's UTF-8, or as UTF-16 on a Windows console) and how
// output is buffered: at once on a terminal, in 4096-byte blocks otherwise.
// A format that names a message of the catalogue prints in the user's
// language (messages.h); any other prints as it stands.
#pragma once

#include <cstdarg>

#include "messages.h"

// Sets up conversion and buffering for standard output, and the language of
// the messages. Call once, first.
void ConsoleInit();

// printf-style output to standard output. The format's fixed text is CP932;
// arguments substituted with %s are passed through as the user gave them.
void ConsoleVPrint(const char* format, va_list args);

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
inline void ConsolePrint(const char* format, ...) {
    va_list args;
    va_start(args, format);
    ConsoleVPrint(Localized(format), args);
    va_end(args);
}

// A fixed text with no conversions in it (none of the program's texts has a
// '%'). It goes as the format, not as a %s argument, so that it is converted
// like every other text of the program.
inline void ConsoleText(const char* text) {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#endif
    ConsolePrint(text);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}

// The error stream: diagnostics that say why something failed, beside the
// fixed text on standard output. Same texts (CP932) and the same conversion
// as ConsolePrint; unbuffered, so each line shows at once.
void ConsoleErrorV(const char* format, va_list args);

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
inline void ConsoleError(const char* format, ...) {
    va_list args;
    va_start(args, format);
    ConsoleErrorV(Localized(format), args);
    va_end(args);
}

// True when standard output and the error stream reach the same terminal, so
// that a line drawn on one is overwritten by what the other writes on it.
bool ConsoleSharedLine();

// POSIX: standard output is the serial line (--stdio), so ConsolePrint
// writes to the error stream instead, converted alike and unbuffered.
void ConsoleToErrorStream();
