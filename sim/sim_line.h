// velta-sim: the line to the PC and the waiting around it. A Line is either
// a pseudo-terminal of our own (the PC opens its slave by path) or a serial
// device. Every wait goes through Wait, which sleeps in pselect until the line,
// standard input, a signal or a deadline needs us, so an idle simulator uses
// no processor.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace sim {

using Clock = std::chrono::steady_clock;
using Duration = std::chrono::duration<double>;

inline Clock::time_point After(double seconds) {
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(Duration(seconds));
}

class Line {
public:
    Line() = default;
    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    // A pseudo-terminal; with a link path, also a symbolic link there to its
    // slave, removed again when the Line goes.
    bool OpenPty(const std::string& link, std::string* error);
    bool OpenDevice(const std::string& path, unsigned baud, std::string* error);

    const std::string& Path() const { return path_; }
    int Fd() const { return fd_; }
    bool IsPty() const { return ptySlave_ >= 0; }

    // Appends up to `max` bytes that have arrived (none if nothing has);
    // false when the line has failed or hung up.
    bool Read(std::deque<uint8_t>* out, size_t max);
    // Writes what the line takes now of data[0..n); -1 when it failed.
    long Write(const uint8_t* data, size_t n);
    // XON or XOFF, ahead of anything else we have to say.
    bool SendControl(uint8_t byte);
    // Bytes written by us that the PC has not read yet (as far as we can see).
    long PendingForPc() const;
    // Times the PC has opened the line: a pseudo-terminal sees the PC discard
    // what it had not sent yet (which closing does not do) and then set the
    // line up; a device sees DSR or DCD rise.
    unsigned OpenEvents();
    // Pseudo-terminal only: while on, the PC setting the line up is seen,
    // which OpenEvents needs.
    void WatchOpenings(bool on);
    // Pseudo-terminal only: makes an XOFF sent now hold the PC's output
    // before it has even opened the line, as long as it asks for XON/XOFF.
    void HoldBeforeOpen();

private:
    void NoteStatus(uint8_t status);

    int fd_ = -1;
    int ptySlave_ = -1;  // kept open: the master never sees a hang-up between runs
    std::string path_;
    std::string link_;
    unsigned openEvents_ = 0;
    bool opening_ = false;  // the PC has flushed, its settings are to come
    Clock::time_point flushedAt_{};
    bool ownChange_ = false;  // a settings notice now is of our own change
    bool modemWasUp_ = false;
};

// One byte per character time (10 bits at 8N1), taken in small bursts so
// that a fast line wakes us about a hundred times a second, not per byte.
class Pacer {
public:
    // burst 0: what 10 ms of the line brings, at least one byte.
    Pacer(double bytesPerSecond, Clock::time_point start, size_t burst = 0);
    size_t Due(Clock::time_point now) const;
    void Take(size_t n, Clock::time_point now);
    // When a full burst will be due.
    Clock::time_point NextDue() const;
    void Restart(Clock::time_point now) { clock_ = now; }

private:
    Clock::duration perByte_;
    size_t burst_;
    Clock::time_point clock_;
};

struct WaitFor {
    bool lineIn = false;
    bool lineOut = false;
    Clock::time_point deadline = Clock::time_point::max();
};

// Blocks SIGINT, SIGTERM, SIGHUP and SIGUSR1 outside Wait; call once first.
void InstallSignalHandling();
bool Interrupted();

// Standard input is read only when asked for; its end just stops that.
void WatchStdin(bool on);
// True once for each line on standard input and each SIGUSR1: the
// operator's "go on".
bool TakeGo();

// Sleeps until one of the wanted things, a signal, a "go" or the deadline.
void Wait(const Line& line, const WaitFor& what);

// Keeps the line open for this long, dropping what comes; a signal ends it.
void Linger(Line& line, double seconds);

// Prints one line of output and flushes it, so scripts can read as we go.
void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace sim
