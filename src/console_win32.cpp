// Console text on Windows. The program's texts are CP932 bytes. On a console
// each print is converted to UTF-16 and written with WriteConsoleW at once, so
// the Japanese shows whatever the console's code page is. Anywhere else the
// CP932 bytes go out through the runtime's text-mode standard output ("\n"
// becomes CR LF): redirected to a file or a pipe in 4096-byte blocks. The
// catalogue's messages speak the user's UI language.
#include "console.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
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
// that is not CP932 becomes a substitute character: nothing is dropped.
void WriteToConsole(HANDLE console, const std::string& text) {
    const int bytes = static_cast<int>(text.size());
    int units = MultiByteToWideChar(kCodePage, 0, text.data(), bytes, nullptr, 0);
    if (units <= 0) return;
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(kCodePage, 0, text.data(), bytes, &wide[0], units);
    const wchar_t* next = wide.data();
    DWORD left = static_cast<DWORD>(wide.size());
    while (left > 0) {
        DWORD written = 0;
        if (!WriteConsoleW(console, next, left, &written, nullptr) || written == 0) return;
        next += written;
        left -= written;
    }
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
        WriteToConsole(consoleOut, FormatText(format, args));
    else
        std::vfprintf(stdout, format, args);
}

void ConsoleErrorV(const char* format, va_list args) {
    if (consoleErr)
        WriteToConsole(consoleErr, FormatText(format, args));
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
