// velta-sim: sending. The bytes to send are laid out first (header, data,
// the faults asked for), then go out at the line rate once the start
// condition is met, stopping while the PC has said XOFF. Afterwards the line
// stays open until the PC has read everything and a little longer, because
// closing it is a hang-up the PC would see.
#include "sim_send.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iterator>
#include <vector>

#include "sim_format.h"

namespace sim {

namespace {

struct Plan {
    std::vector<uint8_t> bytes;  // everything, in order
    size_t dataStart = 0;        // where the data begins (after the header)
    size_t limit = 0;            // how many of bytes go out
    bool garbage = false;        // the header is noise
};

bool ReadFile(const std::string& path, std::vector<uint8_t>* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// Deterministic noise that cannot be taken for a header: no magic, and a
// totalSize in the millions.
Header Noise() {
    Header h{};
    uint32_t x = 0x9E3779B9u;
    for (uint8_t& b : h) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    if (h[0] == kMagic[0]) h[0] = 0x5A;
    h[5] |= 0x40;
    return h;
}

Plan TextPlan(const std::vector<uint8_t>& file) {
    Plan plan;
    auto end = std::find(file.begin(), file.end(), kEndOfText);
    plan.bytes.assign(file.begin(), end == file.end() ? end : end + 1);
    if (end == file.end()) plan.bytes.push_back(kEndOfText);
    return plan;
}

Plan BinaryPlan(const std::vector<uint8_t>& file, const Options& o, bool faults) {
    Plan plan;
    Header header;
    std::vector<uint8_t>::const_iterator data = file.begin(), dataEnd = file.end();
    if (file.size() >= kHeaderSize && HasMagic(file.data())) {
        std::copy(file.begin(), file.begin() + kHeaderSize, header.begin());
        uint32_t total = HeaderTotalSize(header.data());
        size_t announced = total >= kHeaderSize ? total - kHeaderSize : 0;
        data = file.begin() + kHeaderSize;
        dataEnd = data + std::min(announced, file.size() - kHeaderSize);
        if (o.loadGiven || o.runGiven) {
            Header changed = BuildHeader(total, o.loadGiven ? o.load : HeaderLoad(header.data()),
                                         o.runGiven ? o.run : HeaderRun(header.data()));
            header = changed;
        }
    } else {
        header = BuildHeader(static_cast<uint32_t>(file.size() + kHeaderSize), o.load, o.run);
    }
    if (faults && o.shortBy) {
        uint32_t total = HeaderTotalSize(header.data()) + o.shortBy;
        header = BuildHeader(total, HeaderLoad(header.data()), HeaderRun(header.data()));
    }
    if (faults && o.badSize) header = BuildHeader(8, HeaderLoad(header.data()), HeaderRun(header.data()));
    if (faults && o.garbage) header = Noise();
    plan.bytes.assign(header.begin(), header.end());
    plan.bytes.insert(plan.bytes.end(), data, dataEnd);
    plan.dataStart = kHeaderSize;
    return plan;
}

// What goes out in one transfer; faults only in the first.
Plan Lay(const std::vector<uint8_t>& file, const Options& o, bool faults) {
    Plan plan = o.text ? TextPlan(file) : BinaryPlan(file, o, faults);
    plan.limit = plan.bytes.size();
    if (faults && o.stopAfter >= 0) plan.limit = std::min(plan.limit, static_cast<size_t>(o.stopAfter));
    plan.garbage = faults && o.garbage;
    return plan;
}

void Announce(const Plan& plan, const Options& o) {
    Crc32 crc;
    crc.Add(plan.bytes.data() + plan.dataStart, plan.bytes.size() - plan.dataStart);
    const unsigned count = static_cast<unsigned>(plan.bytes.size() - plan.dataStart);
    if (o.text) {
        Say("sending: text of %u bytes, crc32 %08X", count, crc.Value());
        return;
    }
    const uint8_t* h = plan.bytes.data();
    const char* what = plan.garbage ? " (noise)" : "";
    Say("sending: header%s with load %04X, run %04X, size %06X, then %u data bytes, crc32 %08X", what,
        HeaderLoad(h), HeaderRun(h), static_cast<unsigned>((HeaderTotalSize(h) - kHeaderSize) & 0xFFFFFF), count, crc.Value());
}

// Waits for the PC to open the line once more than *opens times; false if
// a signal came first.
bool AwaitOpen(Line& line, unsigned* opens) {
    std::deque<uint8_t> ignored;
    line.WatchOpenings(true);
    Say("waiting: for the PC to open the line");
    WaitFor w;
    w.lineIn = line.IsPty();
    while (line.OpenEvents() <= *opens && !Interrupted()) {
        // A few looks a second: a device's modem lines, an opening that ends quietly.
        w.deadline = After(0.25);
        Wait(line, w);
        line.Read(&ignored, SIZE_MAX);
    }
    line.WatchOpenings(false);
    if (Interrupted()) return false;
    *opens = line.OpenEvents();
    Say("opened: the PC opened the line");
    return true;
}

// Waits for what the options say must come before a transfer; false if a
// signal came first. *opens counts the PC's openings already used.
bool AwaitStart(const Options& o, Line& line, unsigned* opens) {
    if (o.waitOpen && !AwaitOpen(line, opens)) return false;
    if (o.waitStdin) {
        Say("waiting: for a line on standard input");
        while (!TakeGo() && !Interrupted()) Wait(line, WaitFor{});
        if (Interrupted()) return false;
    }
    WaitFor pause;
    pause.deadline = After(o.delay);
    while (Clock::now() < pause.deadline && !Interrupted()) Wait(line, pause);
    return !Interrupted();
}

// Sends plan.bytes[0..limit) at the line rate; the count sent.
size_t Stream(const Plan& plan, const Options& o, Line& line, bool* failed) {
    Pacer pace(o.baud / 10.0, Clock::now(), o.burst);
    std::deque<uint8_t> incoming;
    size_t sent = 0;
    bool held = false;
    unsigned holds = 0;
    while (sent < plan.limit && !Interrupted()) {
        Clock::time_point now = Clock::now();
        if (!line.Read(&incoming, SIZE_MAX)) {
            *failed = true;
            break;
        }
        for (; !incoming.empty(); incoming.pop_front()) {
            if (!o.xonxoff) continue;
            if (incoming.front() == kXoff && !held) {
                held = true;
                ++holds;
            } else if (incoming.front() == kXon && held) {
                held = false;
                pace.Restart(now);
            }
        }
        WaitFor w;
        w.lineIn = true;
        if (!held) {
            size_t due = std::min(pace.Due(now), plan.limit - sent);
            if (due < o.burst && sent + due < plan.limit) due = 0;  // whole groups only
            long n = line.Write(plan.bytes.data() + sent, due);
            if (n < 0) {
                *failed = true;
                break;
            }
            pace.Take(static_cast<size_t>(n), now);
            sent += static_cast<size_t>(n);
            if (static_cast<size_t>(n) < due) w.lineOut = true;
            else w.deadline = pace.NextDue();
        }
        if (sent < plan.limit) Wait(line, w);
    }
    if (holds) Say("flow: the PC said XOFF %u time%s", holds, holds == 1 ? "" : "s");
    return sent;
}

// Until the PC has read what we sent (seen empty twice, as the kernel may
// still be moving the last bytes), or has read nothing of it for a while
// (it may have given up); false if a signal came first.
bool AwaitTaken(Line& line) {
    constexpr double kGiveUpSeconds = 2;
    std::deque<uint8_t> ignored;
    WaitFor tick;
    long pending = line.PendingForPc();
    Clock::time_point progress = Clock::now();
    for (int empty = 0; empty < 2 && !Interrupted();) {
        tick.deadline = After(0.02);
        Wait(line, tick);
        line.Read(&ignored, SIZE_MAX);
        long now = line.PendingForPc();
        empty = now == 0 ? empty + 1 : 0;
        if (now < pending) progress = Clock::now();
        pending = now;
        if (now > 0 && Clock::now() - progress >= std::chrono::duration<double>(kGiveUpSeconds)) {
            Say("left: the PC stopped reading with %ld bytes unread", now);
            return true;
        }
    }
    if (Interrupted()) return false;
    Say("taken: the PC has read everything");
    return true;
}

// One transfer; kComplete when everything planned went out.
int SendOnce(const Plan& plan, const Options& o, Line& line) {
    Announce(plan, o);
    bool failed = false;
    size_t sent = Stream(plan, o, line, &failed);
    if (failed) {
        Say("error: the line failed after %zu of %zu bytes", sent, plan.limit);
        return kSetupFailed;
    }
    if (sent < plan.limit) {
        Say("interrupted: after %zu of %zu bytes", sent, plan.limit);
        return kInterrupted;
    }
    if (plan.limit < plan.bytes.size()) Say("stopped: after %zu of %zu bytes, as asked", sent, plan.bytes.size());
    else Say("sent: %zu bytes", sent);
    return kComplete;
}

}  // namespace

int RunSend(const Options& o, Line& line) {
    std::vector<uint8_t> file;
    if (!ReadFile(o.sendFile, &file)) {
        Say("error: cannot read %s", o.sendFile.c_str());
        return kSetupFailed;
    }
    WatchStdin(o.waitStdin);
    unsigned opens = 0;
    for (unsigned s = 0; s < o.sessions; ++s) {
        if (!AwaitStart(o, line, &opens)) {
            Say("interrupted: nothing sent");
            return kInterrupted;
        }
        int status = SendOnce(Lay(file, o, s == 0), o, line);
        if (status != kComplete) return status;
        // Interrupted here, everything has still gone out as asked.
        if (!AwaitTaken(line)) return kComplete;
    }
    Linger(line, o.linger < 0 ? 1 : o.linger);
    return kComplete;
}

}  // namespace sim
