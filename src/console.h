// Console text: every message of the program goes through ConsolePrint. The
// texts are CP932 bytes; each platform decides how to show them (unchanged,
// converted to the locale's UTF-8, or as UTF-16 on a Windows console) and how
// output is buffered: at once on a terminal, in 4096-byte blocks otherwise.
// A format that names a message of the catalogue prints in the user's
// language (messages.h); any other prints as it stands.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

#include "messages.h"

// vsnprintf into a string of the right length: what each back end then
// writes its own way.
inline std::string FormatText(const char* format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length <= 0) return {};
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), format, args);
    text.resize(static_cast<size_t>(length));
    return text;
}

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

// Writes text (CP932, already formatted) on the error stream only if the
// stream can take it at once; false when it was skipped. For lines that are
// optional (--progress): a full pipe that nobody reads must not hold up a
// transfer.
bool ConsoleErrorIfReady(const std::string& text);

// True when standard output and the error stream reach the same terminal, so
// that a line drawn on one is overwritten by what the other writes on it.
bool ConsoleSharedLine();

// POSIX: standard output is the serial line (--stdio), so ConsolePrint
// writes to the error stream instead, converted alike and unbuffered.
void ConsoleToErrorStream();
