// velta-sim: loading. Bytes are read from the line as soon as they arrive
// (what the PC has written is on the wire and must not sit in the kernel,
// where closing the line could drop it) and then taken at the line rate,
// through a small buffer worked off slower than the line when XON/XOFF is
// on, into the Loader, which knows what a transfer looks like.
#include "sim_load.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "sim_format.h"

namespace sim {

namespace {

constexpr size_t kFifoSize = 32;
constexpr size_t kXoffAt = 24;
constexpr size_t kXonAt = 8;

// The device's memory and its reading of one transfer, byte by byte.
class Loader {
public:
    Loader(bool text, uint16_t textLoad) : text_(text), load_(textLoad) {}

    void Feed(uint8_t byte);
    bool Complete() const { return complete_; }
    int Rejection() const { return rejection_; }
    bool Started() const { return header_.size() + data_.size() + ignored_ > 0; }
    const std::vector<uint8_t>& Data() const { return data_; }
    // The one result line and the exit status it stands for.
    int Report(const std::string& why) const;

private:
    void Store(uint8_t byte);
    void HeaderDone();

    const bool text_;
    std::vector<uint8_t> header_;
    std::vector<uint8_t> data_;
    std::array<uint8_t, kImageSize> image_{};
    Crc32 crc_;
    uint16_t load_;
    uint16_t run_ = 0;
    uint32_t expected_ = 0;
    uint32_t dropped_ = 0;  // bytes past the end of the image
    uint32_t ignored_ = 0;  // bytes after a rejected header
    int rejection_ = kComplete;
    bool complete_ = false;
};

void Loader::Feed(uint8_t byte) {
    if (complete_) return;
    if (rejection_ != kComplete) {
        ++ignored_;
        return;
    }
    if (text_) {
        Store(byte);
        complete_ = byte == kEndOfText;
        return;
    }
    if (header_.size() < kHeaderSize) {
        header_.push_back(byte);
        if (header_.size() == 3 && !HasMagic(header_.data())) rejection_ = kWrongMagic;
        if (header_.size() == kHeaderSize) HeaderDone();
        return;
    }
    Store(byte);
    complete_ = data_.size() == expected_;
}

void Loader::HeaderDone() {
    const uint32_t total = HeaderTotalSize(header_.data());
    load_ = HeaderLoad(header_.data());
    run_ = HeaderRun(header_.data());
    if (total < kHeaderSize) {
        rejection_ = kBadSize;
        return;
    }
    expected_ = total - kHeaderSize;
    complete_ = expected_ == 0;
}

void Loader::Store(uint8_t byte) {
    const uint32_t address = load_ + static_cast<uint32_t>(data_.size());
    if (address < kImageSize) image_[address] = byte;
    else ++dropped_;
    data_.push_back(byte);
    crc_.Add(byte);
}

int Loader::Report(const std::string& why) const {
    if (rejection_ == kWrongMagic) {
        Say("wrong magic: %02X %02X %02X instead of FF FE 4D; %u further bytes ignored", header_[0], header_[1],
            header_[2], static_cast<unsigned>(header_.size() - 3 + ignored_));
        return kWrongMagic;
    }
    if (rejection_ == kBadSize) {
        Say("bad size: totalSize %06X is below 16; %u further bytes ignored", HeaderTotalSize(header_.data()),
            ignored_);
        return kBadSize;
    }
    if (!text_ && header_.size() < kHeaderSize) {
        Say("incomplete: %zu of 16 header bytes%s%s", header_.size(), why.empty() ? "" : "; ", why.c_str());
        return kIncomplete;
    }
    const unsigned got = static_cast<unsigned>(data_.size());
    const char* verdict = !complete_ ? "incomplete" : dropped_ ? "overrun" : "complete";
    std::string count = text_ ? "text of " + std::to_string(got) + " bytes"
                      : std::to_string(got) + (complete_ ? "" : " of " + std::to_string(expected_)) + " bytes";
    char addresses[64];
    if (text_) std::snprintf(addresses, sizeof addresses, "load %04X", load_);
    else std::snprintf(addresses, sizeof addresses, "load %04X, run %04X", load_, run_);
    std::string tail = why;
    if (complete_ && dropped_)
        tail = "the last " + std::to_string(dropped_) + " bytes ran past the end of the 64 KiB image";
    Say("%s: %s, %s, crc32 %08X%s%s", verdict, count.c_str(), addresses, crc_.Value(), tail.empty() ? "" : "; ",
        tail.c_str());
    return !complete_ ? kIncomplete : dropped_ ? kOverrun : kComplete;
}

// One transfer: the line, the pace, the buffer and XON/XOFF around a Loader.
class Session {
public:
    // With faults, the ones asked for are played in this transfer.
    Session(const Options& options, Line& line, bool faults, bool* xoffOutstanding)
        : options_(options), line_(line), xoff_(*xoffOutstanding),
          hangAfter_(faults ? options.hangAfter : -1),
          loader_(options.text, options.load),
          linePace_(options.baud / 10.0, Clock::now()),
          workPace_(options.baud / 15.0, Clock::now()) {}

    // Runs until the transfer ends; the exit status. *moveOn is set when a
    // line on standard input ended it (and so starts the next one).
    int Run(bool* moveOn);
    const std::vector<uint8_t>& Data() const { return loader_.Data(); }

private:
    bool Listen(Clock::time_point now);
    void Work(Clock::time_point now);
    void Flow();
    WaitFor NextWake() const;
    bool Ended(Clock::time_point now, std::string* why, bool* moveOn);
    void Hang(Clock::time_point now);

    const Options& options_;
    Line& line_;
    bool& xoff_;
    const long hangAfter_;
    Loader loader_;
    Pacer linePace_;
    Pacer workPace_;
    std::deque<uint8_t> wire_;  // arrived, not yet taken at the line rate
    std::deque<uint8_t> fifo_;  // the device's input buffer (XON/XOFF only)
    size_t heard_ = 0;
    Clock::time_point lastHeard_{};
    bool hanging_ = false;
    Clock::time_point hangSince_{};
    unsigned xoffCount_ = 0;
};

// Reads what has arrived; false when the line has failed.
bool Session::Listen(Clock::time_point now) {
    if (hanging_) return true;
    size_t max = hangAfter_ >= 0 ? static_cast<size_t>(hangAfter_) - heard_ : SIZE_MAX;
    size_t before = wire_.size();
    if (!line_.Read(&wire_, max)) return false;
    if (wire_.size() > before) {
        heard_ += wire_.size() - before;
        lastHeard_ = now;
    }
    if (hangAfter_ >= 0 && heard_ >= static_cast<size_t>(hangAfter_)) Hang(now);
    return true;
}

void Session::Hang(Clock::time_point now) {
    hanging_ = true;
    hangSince_ = now;
    if (!xoff_) xoff_ = line_.SendControl(kXoff);
    Say("hanging: XOFF sent after %zu bytes, nothing more is taken", heard_);
}

// Moves bytes from the wire at the line rate, and through the buffer at the
// device's own rate when XON/XOFF is on.
void Session::Work(Clock::time_point now) {
    if (!options_.xonxoff) {
        size_t n = std::min(linePace_.Due(now), wire_.size());
        for (size_t i = 0; i < n && !loader_.Complete(); ++i, wire_.pop_front()) loader_.Feed(wire_.front());
        linePace_.Take(n, now);
        return;
    }
    size_t in = std::min({linePace_.Due(now), wire_.size(), kFifoSize - fifo_.size()});
    for (size_t i = 0; i < in; ++i, wire_.pop_front()) fifo_.push_back(wire_.front());
    linePace_.Take(in, now);
    size_t out = std::min(workPace_.Due(now), fifo_.size());
    for (size_t i = 0; i < out && !loader_.Complete(); ++i, fifo_.pop_front()) loader_.Feed(fifo_.front());
    workPace_.Take(out, now);
    Flow();
}

void Session::Flow() {
    if (hanging_) return;
    if (!xoff_ && fifo_.size() >= kXoffAt && line_.SendControl(kXoff)) {
        xoff_ = true;
        ++xoffCount_;
    } else if (xoff_ && fifo_.size() <= kXonAt && line_.SendControl(kXon)) {
        xoff_ = false;
    }
}

WaitFor Session::NextWake() const {
    WaitFor w;
    w.lineIn = !hanging_;
    auto soon = [&w](Clock::time_point t) { w.deadline = std::min(w.deadline, t); };
    bool roomForMore = !options_.xonxoff || fifo_.size() < kFifoSize;
    if (!wire_.empty() && roomForMore) soon(linePace_.NextDue());
    if (!fifo_.empty()) soon(workPace_.NextDue());
    if (hanging_) soon(hangSince_ + std::chrono::duration_cast<Clock::duration>(Duration(options_.idle)));
    else if (loader_.Started() && wire_.empty() && fifo_.empty())
        soon(lastHeard_ + std::chrono::duration_cast<Clock::duration>(Duration(options_.idle)));
    return w;
}

// True when the transfer is over for any reason but completion; *why says it.
bool Session::Ended(Clock::time_point now, std::string* why, bool* moveOn) {
    const auto idle = std::chrono::duration_cast<Clock::duration>(Duration(options_.idle));
    if (Interrupted()) {
        *why = "interrupted";
    } else if (options_.waitStdin && TakeGo()) {
        *moveOn = true;
        *why = "ended by the operator";
    } else if (hanging_ && now - hangSince_ >= idle) {
        *why = "hung as asked";
    } else if (!hanging_ && loader_.Started() && wire_.empty() && fifo_.empty() && now - lastHeard_ >= idle) {
        // A rejected transfer ends this way as a matter of course.
        char text[64];
        std::snprintf(text, sizeof text, "the line fell silent for %g s", options_.idle);
        *why = loader_.Rejection() != kComplete ? "" : text;
    } else {
        return false;
    }
    return true;
}

int Session::Run(bool* moveOn) {
    std::string why;
    for (;;) {
        Clock::time_point now = Clock::now();
        if (!Listen(now)) {
            why = "the line failed";
            break;
        }
        Work(now);
        if (loader_.Complete() || Ended(now, &why, moveOn)) break;
        Wait(line_, NextWake());
    }
    if (xoffCount_) Say("flow: XOFF sent %u time%s", xoffCount_, xoffCount_ == 1 ? "" : "s");
    int status = loader_.Report(why);
    if (status == kIncomplete && Interrupted()) status = kInterrupted;
    return status;
}

// Before a transfer that the operator started: whatever the line holds
// belongs to an earlier one. The kernel may still be passing on a tail of
// it, so the line must have been quiet for a moment.
void DropPending(Line& line) {
    std::deque<uint8_t> junk;
    WaitFor quiet;
    quiet.lineIn = true;
    do {
        junk.clear();
        quiet.deadline = After(0.2);
        Wait(line, quiet);
        if (!line.Read(&junk, SIZE_MAX)) return;
    } while (!junk.empty() && !Interrupted());
}

bool SaveData(const std::string& path, const std::vector<uint8_t>& data) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    // An empty vector's data() may be null, and fwrite's buffer must not be.
    const bool ok = data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int RunLoad(const Options& options, Line& line) {
    WatchStdin(options.waitStdin);
    int result = kComplete;
    bool xoff = false;
    bool started = false;  // a "go" during the last transfer started this one
    for (unsigned s = 0; s < options.sessions && !Interrupted(); ++s) {
        if (s > 0 && options.waitStdin) {
            while (!started && !TakeGo() && !Interrupted()) Wait(line, WaitFor{});
            if (Interrupted()) break;
            DropPending(line);
        }
        // A transfer starts with the line free, whatever the last one left.
        if (xoff) xoff = !line.SendControl(kXon);
        const bool faults = s == 0;
        if (faults && options.hangAfter == 0) {
            line.HoldBeforeOpen();
            xoff = true;
        }
        Say("ready: waiting for the PC to send at %u bit/s", options.baud);
        Session session(options, line, faults, &xoff);
        started = false;
        int status = session.Run(&started);
        if (!options.save.empty() && !SaveData(options.save, session.Data())) {
            Say("error: cannot write %s", options.save.c_str());
            status = kSetupFailed;
        }
        if (result == kComplete) result = status;
    }
    if (xoff) line.SendControl(kXon);
    // Closing a pseudo-terminal hangs it up: a PC still waiting for its last
    // bytes to leave would see its device vanish.
    if (options.linger > 0 && !Interrupted()) Linger(line, options.linger);
    if (Interrupted() && result == kComplete) result = kInterrupted;
    return result;
}

}  // namespace sim
