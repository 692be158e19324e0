// Console text on POSIX. The program's texts are CP932 bytes. A terminal in a
// UTF-8 locale would show them as garbage, so there the fixed text of each
// format is converted to UTF-8 before printing; in any other locale (C, POSIX,
// a Shift_JIS locale) the bytes go out unchanged. Arguments are not converted:
// a file name is already in the user's own encoding. The language of the
// catalogue's messages comes from the locale's name, installed or not.
#include "console.h"

#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cp932_utf8.h"
#include "messages.h"

namespace {

bool toUtf8 = false;
FILE* consoleStream = stdout;

bool IsAscii(const char* text) {
    for (; *text; ++text)
        if (static_cast<unsigned char>(*text) >= 0x80) return false;
    return true;
}

// The locale's character set is UTF-8. A locale that is not installed (or a
// program that cannot load locales) makes setlocale fail; the name the user
// chose still says what the terminal expects.
bool LocaleIsUtf8() {
    if (std::setlocale(LC_CTYPE, "")) return std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* name = std::getenv(variable);
        if (name && *name) return LocaleNameSaysUtf8(name);
    }
    return false;
}

}  // namespace

void ConsoleInit() {
    // A console that goes away (`velta ... | head`) must not end the run or
    // change its status: the write fails and the transfer goes on in order.
    std::signal(SIGPIPE, SIG_IGN);
    toUtf8 = LocaleIsUtf8();
    SetMessageLanguage(LanguageForLocale(std::getenv("LANGUAGE"), std::getenv("LC_ALL"),
                                         std::getenv("LC_MESSAGES"), std::getenv("LANG")));
    // A terminal sees each print at once (the progress marks and the "\r"
    // overwrites are the user's only sign of life); a file or pipe gets blocks.
    if (isatty(STDOUT_FILENO))
        std::setvbuf(stdout, nullptr, _IONBF, 0);
    else
        std::setvbuf(stdout, nullptr, _IOFBF, 4096);
}

namespace {

void PrintTo(FILE* stream, const char* format, va_list args) {
    if (!toUtf8 || IsAscii(format)) {
        std::vfprintf(stream, format, args);
        return;
    }
    const std::string converted = Cp932ToUtf8(format);
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
