// Console text on Windows. The program's texts are CP932 bytes; what %s puts
// into them is the user's (a file name from the command line, a system
// message) and is in the ANSI code page. On a console each print is
// converted to UTF-16, each part from its own code page, and written with
// WriteConsoleW at once, so the Japanese and "Grüße.bin" both show whatever
// the console's code page is. Anywhere else the bytes go out unchanged
// through the runtime's text-mode standard output ("\n" becomes CR LF):
// redirected to a file or a pipe in 4096-byte blocks. The catalogue's
// messages speak the user's UI language.
#include "console.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "messages.h"

namespace {

constexpr UINT kCodePage = 932;

HANDLE consoleOut = nullptr;  // set when standard output is a console
HANDLE consoleErr = nullptr;  // set when the error stream is a console

HANDLE ConsoleHandle(DWORD which) {
    HANDLE h = GetStdHandle(which);
    DWORD mode = 0;
    return h && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) ? h : nullptr;
}

// Control characters ("\a", "\r", "\n") convert to themselves, and a byte
// that is not in the code page becomes a substitute character: nothing is
// dropped.
void AppendWide(std::wstring* wide, const std::string& text, UINT codePage) {
    const int bytes = static_cast<int>(text.size());
    const int units = bytes ? MultiByteToWideChar(codePage, 0, text.data(), bytes, nullptr, 0) : 0;
    if (units <= 0) return;
    const size_t at = wide->size();
    wide->resize(at + static_cast<size_t>(units));
    MultiByteToWideChar(codePage, 0, text.data(), bytes, &(*wide)[at], units);
}

// One conversion of the program's formats (%s, %d, %lu, %06lX, %%, ...),
// formatted alone with its argument.
template <typename T>
std::string FormatOne(const std::string& spec, T value) {
    const int length = std::snprintf(nullptr, 0, spec.c_str(), value);
    if (length <= 0) return "";
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::snprintf(&text[0], text.size(), spec.c_str(), value);
    text.resize(static_cast<size_t>(length));
    return text;
}

// The print as UTF-16: the format's own text (and the numbers) from CP932,
// the strings that %s puts in from the ANSI code page.
std::wstring FormatWide(const char* format, va_list args) {
    std::wstring wide;
    std::string fixed;
    for (const char* p = format; *p;) {
        if (*p != '%') {
            fixed += *p++;
            continue;
        }
        const char* start = p++;
        while (*p && std::strchr("-+ #0123456789.", *p)) ++p;
        int longs = 0;
        for (; *p == 'l'; ++p) ++longs;
        const char conversion = *p;
        if (conversion) ++p;
        const std::string spec(start, p);
        switch (conversion) {
            case 's':
                AppendWide(&wide, fixed, kCodePage);
                fixed.clear();
                AppendWide(&wide, FormatOne(spec, va_arg(args, const char*)), CP_ACP);
                break;
            case 'd':
            case 'i':
            case 'c':
                fixed += longs ? FormatOne(spec, va_arg(args, long)) : FormatOne(spec, va_arg(args, int));
                break;
            case 'u':
            case 'x':
            case 'X':
            case 'o':
                fixed += longs ? FormatOne(spec, va_arg(args, unsigned long)) : FormatOne(spec, va_arg(args, unsigned));
                break;
            case '%':
                fixed += '%';
                break;
            default:  // none of the program's formats has another
                fixed += spec;
                break;
        }
    }
    AppendWide(&wide, fixed, kCodePage);
    return wide;
}

void WriteWide(HANDLE console, const std::wstring& wide) {
    const wchar_t* next = wide.data();
    DWORD left = static_cast<DWORD>(wide.size());
    while (left > 0) {
        DWORD written = 0;
        if (!WriteConsoleW(console, next, left, &written, nullptr) || written == 0) return;
        next += written;
        left -= written;
    }
}

void WriteToConsole(HANDLE console, const char* format, va_list args) { WriteWide(console, FormatWide(format, args)); }

// Text already formatted (the progress line): the program's own, CP932.
void WriteToConsole(HANDLE console, const std::string& text) {
    std::wstring wide;
    AppendWide(&wide, text, kCodePage);
    WriteWide(console, wide);
}

// The language Windows shows its own texts in for this user (under Wine,
// the one its locale variables name).
Language UserLanguage() {
    return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_JAPANESE ? Language::kJapanese : Language::kEnglish;
}

}  // namespace

void ConsoleInit() {
    SetMessageLanguage(UserLanguage());
    consoleErr = ConsoleHandle(STD_ERROR_HANDLE);
    consoleOut = ConsoleHandle(STD_OUTPUT_HANDLE);
    if (consoleOut) return;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    // With no standard output at all there is nothing to set up; an MSVC
    // runtime would end the process on _setmode of a missing descriptor.
    if (!out || out == INVALID_HANDLE_VALUE || _fileno(stdout) < 0) return;
    _setmode(_fileno(stdout), _O_TEXT);
    // Another character device (NUL, a serial line, a terminal under Wine)
    // gets each print at once too; files and pipes get 4096-byte blocks.
    if (GetFileType(out) == FILE_TYPE_CHAR)
        std::setvbuf(stdout, nullptr, _IONBF, 0);
    else
        std::setvbuf(stdout, nullptr, _IOFBF, 4096);
}

void ConsoleVPrint(const char* format, va_list args) {
    if (consoleOut)
        WriteToConsole(consoleOut, format, args);
    else
        std::vfprintf(stdout, format, args);
}

void ConsoleErrorV(const char* format, va_list args) {
    if (consoleErr)
        WriteToConsole(consoleErr, format, args);
    else
        std::vfprintf(stderr, format, args);
}

// A process has one console: both handles being console handles means it.
bool ConsoleSharedLine() { return consoleOut && consoleErr; }

// The progress line is written like any other text here.
bool ConsoleErrorIfReady(const std::string& text) {
    if (consoleErr)
        WriteToConsole(consoleErr, text);
    else
        std::fputs(text.c_str(), stderr);
    return true;
}
