// Console text on POSIX. The program's texts are CP932 bytes. A terminal in a
// UTF-8 locale would show them as garbage, so there the fixed text of each
// format is converted to UTF-8 before printing; in any other locale (C, POSIX,
// a Shift_JIS locale) the bytes go out unchanged. Arguments are not converted:
// a file name is already in the user's own encoding.
#include "console.h"

#include <iconv.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

iconv_t toLocale = reinterpret_cast<iconv_t>(-1);
FILE* consoleStream = stdout;

bool IsAscii(const char* text) {
    for (; *text; ++text)
        if (static_cast<unsigned char>(*text) >= 0x80) return false;
    return true;
}

// Converts CP932 text to the locale's UTF-8; bytes that do not convert are
// passed through so that nothing (a bell, a carriage return) is ever lost.
std::string ToLocale(const char* text) {
    std::string out;
    size_t inLeft = std::strlen(text);
    char* in = const_cast<char*>(text);
    char chunk[256];
    while (inLeft > 0) {
        char* outPtr = chunk;
        size_t outLeft = sizeof chunk;
        size_t r = iconv(toLocale, &in, &inLeft, &outPtr, &outLeft);
        out.append(chunk, outPtr - chunk);
        if (r == static_cast<size_t>(-1) && errno != E2BIG && inLeft > 0) {
            out.push_back(*in++);
            --inLeft;
        }
    }
    iconv(toLocale, nullptr, nullptr, nullptr, nullptr);
    return out;
}

}  // namespace

void ConsoleInit() {
    // A console that goes away (`velta ... | head`) must not end the run or
    // change its status: the write fails and the transfer goes on in order.
    std::signal(SIGPIPE, SIG_IGN);
    std::setlocale(LC_CTYPE, "");
    if (std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0)
        toLocale = iconv_open("UTF-8", "CP932");
    // A terminal sees each print at once (the progress marks and the "\r"
    // overwrites are the user's only sign of life); a file or pipe gets blocks.
    if (isatty(STDOUT_FILENO))
        std::setvbuf(stdout, nullptr, _IONBF, 0);
    else
        std::setvbuf(stdout, nullptr, _IOFBF, 4096);
}

namespace {

void PrintTo(FILE* stream, const char* format, va_list args) {
    if (toLocale == reinterpret_cast<iconv_t>(-1) || IsAscii(format)) {
        std::vfprintf(stream, format, args);
        return;
    }
    std::string converted = ToLocale(format);
    std::vfprintf(stream, converted.c_str(), args);
}

}  // namespace

void ConsoleVPrint(const char* format, va_list args) { PrintTo(consoleStream, format, args); }

void ConsoleToErrorStream() { consoleStream = stderr; }

void ConsoleErrorV(const char* format, va_list args) { PrintTo(stderr, format, args); }

bool ConsoleSharedLine() {
    if (consoleStream == stderr) return true;  // --stdio: the console texts are on the error stream
    struct stat out, err;
    return isatty(STDOUT_FILENO) && isatty(STDERR_FILENO) && fstat(STDOUT_FILENO, &out) == 0 &&
           fstat(STDERR_FILENO, &err) == 0 && out.st_rdev == err.st_rdev;
}
