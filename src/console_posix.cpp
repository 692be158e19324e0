// Console text on POSIX. The program's texts are CP932 bytes. A terminal in a
// UTF-8 locale would show them as garbage, so there the fixed text of each
// format is converted to UTF-8 before printing; in any other locale (C, POSIX,
// a Shift_JIS locale) the bytes go out unchanged. Arguments are not converted:
// a file name is already in the user's own encoding. The language of the
// catalogue's messages comes from the locale's name, installed or not. The
// program writes the bytes itself, waiting on the abort as well, so that a
// console nobody reads (a full pipe) never holds up the end of a run that
// was interrupted.
#include "console.h"

#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "abort_wait.h"
#include "comm.h"
#include "cp932_utf8.h"
#include "messages.h"

namespace {

bool toUtf8 = false;

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

namespace {

// Where console text goes: standard output, block-buffered unless it is a
// terminal, or the error stream, unbuffered.
struct Sink {
    int fd;
    bool buffered;
    std::string pending;
};
constexpr size_t kBlock = 4096;
// After an abort a console that takes nothing for this long is given up.
constexpr int kAfterAbortMs = 1000;
Sink outSink = {STDOUT_FILENO, false, {}};
Sink errSink = {STDERR_FILENO, false, {}};
Sink* consoleSink = &outSink;

// Whether fd can take bytes: waits for it, but never past an abort; after
// one, only briefly, so that no console write outlives it. False when the
// console is gone (a closed pipe) or given up.
bool Writable(int fd) {
    if (!abortRequested.load() && WaitUnlessAborted(fd, POLLOUT)) return true;
    if (!abortRequested.load()) return false;
    pollfd p = {fd, POLLOUT, 0};
    return poll(&p, 1, kAfterAbortMs) > 0 && (p.revents & POLLOUT);
}

// Writes what the console takes. One write after a poll that said it has
// room returns with what fit, even when a signal comes meanwhile (SA_RESTART
// restarts only a write that moved nothing), so an abort is seen between
// writes. Chunks of a pipe's atomic size never wait for room at all.
void WriteOut(int fd, const char* data, size_t size) {
    while (size > 0) {
        if (!Writable(fd)) return;
        const ssize_t n = write(fd, data, std::min(size, kBlock));
        if (n > 0) {
            data += n;
            size -= static_cast<size_t>(n);
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            return;
        }
    }
}

void Emit(Sink& sink, const std::string& text) {
    if (!sink.buffered) {
        WriteOut(sink.fd, text.data(), text.size());
        return;
    }
    sink.pending += text;
    const size_t whole = sink.pending.size() / kBlock * kBlock;
    if (whole == 0) return;
    WriteOut(sink.fd, sink.pending.data(), whole);
    sink.pending.erase(0, whole);
}

void FlushConsole() {
    WriteOut(outSink.fd, outSink.pending.data(), outSink.pending.size());
    outSink.pending.clear();
}

// The CP932 text as the console shows it: converted in a UTF-8 locale.
std::string ForConsole(const char* text) { return toUtf8 && !IsAscii(text) ? Cp932ToUtf8(text) : text; }

std::string Formatted(const char* format, va_list args) { return FormatText(ForConsole(format).c_str(), args); }

// A descriptor of 0, 1 or 2 left closed by the caller would be the next one
// the program opens (the abort pipe, the port), and console text would then
// go there: each gets /dev/null first.
void OpenMissingStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
}

}  // namespace

void ConsoleInit() {
    OpenMissingStandardDescriptors();
    // A console that goes away (`velta ... | head`) must not end the run or
    // change its status: the write fails and the transfer goes on in order.
    std::signal(SIGPIPE, SIG_IGN);
    toUtf8 = LocaleIsUtf8();
    SetMessageLanguage(LanguageForLocale(std::getenv("LANGUAGE"), std::getenv("LC_ALL"),
                                         std::getenv("LC_MESSAGES"), std::getenv("LANG")));
    // A terminal sees each print at once (the progress marks and the "\r"
    // overwrites are the user's only sign of life); a file or pipe gets blocks.
    outSink.buffered = !isatty(STDOUT_FILENO);
    std::atexit(FlushConsole);
}

void ConsoleVPrint(const char* format, va_list args) { Emit(*consoleSink, Formatted(format, args)); }

void ConsoleToErrorStream() { consoleSink = &errSink; }

void ConsoleErrorV(const char* format, va_list args) { Emit(errSink, Formatted(format, args)); }

bool ConsoleErrorIfReady(const std::string& text) {
    pollfd p = {errSink.fd, POLLOUT, 0};
    if (poll(&p, 1, 0) <= 0 || !(p.revents & POLLOUT)) return false;
    Emit(errSink, ForConsole(text.c_str()));
    return true;
}

bool ConsoleSharedLine() {
    if (consoleSink == &errSink) return true;  // --stdio: the console texts are on the error stream
    struct stat out, err;
    return isatty(STDOUT_FILENO) && isatty(STDERR_FILENO) && fstat(STDOUT_FILENO, &out) == 0 &&
           fstat(STDERR_FILENO, &err) == 0 && out.st_rdev == err.st_rdev;
}
