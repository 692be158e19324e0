// comm: the drain window, shared by the serial back ends. How many bytes
// may be handed to the driver ahead of the line, from what the driver's
// output queue is seen to do; portable arithmetic only, each back end reads
// its own queue and clock.
#pragma once

#include <algorithm>

// How many bytes may wait in the driver's output queue after a write. A
// UART's queue empties within a character time of a byte (its FIFO takes
// the rest), so there every byte is drained before the next. A USB
// adapter's queue empties only when the USB transfer carrying the byte
// completes, about a millisecond later at any rate; draining every byte
// there leaves the line idle most of the time. So the time the queue takes
// to empty after a byte is measured while bytes are drained one at a time,
// and where it is longer than two character times, enough bytes are kept
// ahead of the line to cover it (the reach), topped up to twice that between
// wake-ups. Bytes ahead of the line are counted by the line rate from the
// writes, because an adapter's own FIFO is counted nowhere; the window stays
// small enough that those plus the bytes in flight are no more than a
// 16550's FIFO and one queued byte, what a sender on a UART has out after an
// XOFF. A queue that reads empty right after a write (a UART with room in its
// FIFO, a pseudo-terminal) measures as no wait, which wears a long measure down.
//
// Some drivers' queue is no count of bytes at all: cdc-acm answers with its
// whole write-buffer capacity (10240) while any write is in flight, for one
// byte as for thousands. A queue that reads more than the bytes handed over
// since it last read empty cannot be counting bytes; from then on the line
// clock alone paces, and the queue is trusted only when it reads empty. The
// bytes of a USB frame are then in flight besides those ahead of the line,
// so the window leaves room for them, and half of it is the reach.
//
// Where the sender obeys the device's XOFF itself, no more than a FIFO may
// reach the device after it: so then the bytes are never more than a FIFO
// ahead of the line clock, also where the queue reads empty at once (an
// adapter that takes bytes as fast as they come).
struct OutputPacing {
    static constexpr int kFifo = 16;
    static constexpr long long kUsbFrameNs = 1125000;  // a transfer's latency and the 1 ms frame
    long long charNs = 1;
    long long drainNs = 0;   // the longest recent drain time, decaying
    long long writtenAt = 0;
    long long lineFree = 0;  // when the bytes written could have left at the line rate
    long long sinceEmpty = 0;  // bytes handed over since the queue last read empty
    bool queueCountsBytes = true;
    bool obeysXoff = false;  // the sender stops on the device's XOFF itself

    void Reset(long long characterNs, bool xoff = false) {
        *this = OutputPacing();
        charNs = characterNs;
        obeysXoff = xoff;
    }
    // Bytes that cover one drain time; 1 where the hardware's FIFO does it.
    int Reach() const {
        if (!queueCountsBytes) return Window() / 2;
        if (drainNs <= 2 * charNs) return 1;
        return static_cast<int>(std::min<long long>((drainNs + charNs - 1) / charNs, kFifo / 2));
    }
    int Window() const {
        if (!queueCountsBytes)
            return static_cast<int>(std::max<long long>(kFifo - (kUsbFrameNs + charNs - 1) / charNs, 2));
        const int reach = Reach();
        return reach == 1 ? 1 : std::max(reach + 1, std::min(2 * reach, kFifo + 1 - reach));
    }
    // Characters of line time that the bytes written may be ahead of the line
    // for another byte to go at once (0: no bound, the queue alone paces),
    // and how far they must fall after a wait before writing again.
    int AheadBound(int window) const { return window > 1 ? window : obeysXoff ? kFifo : 0; }
    int RefillPoint(int window) const { return window > 1 ? Reach() : kFifo / 2; }
    // busySince: since when the driver had no room for this byte (-1: it had
    // room). Where the queue is no count of bytes, a driver without room is a
    // busy line, not an idle one, so the line clock keeps the time waited.
    void Written(long long now, long long busySince = -1) {
        writtenAt = now;
        const long long start = !queueCountsBytes && busySince >= 0 ? busySince : now;
        lineFree = std::max(lineFree, start) + charNs;
        ++sinceEmpty;
    }
    void Measured(long long ns) { drainNs = std::max(ns, drainNs - drainNs / 64); }
    // What the driver's output queue read after a write.
    void Queued(long long queued) {
        if (queued <= 0)
            sinceEmpty = 0;
        else if (queued > sinceEmpty)
            queueCountsBytes = false;
    }
    // Whether the queue holds the writer back: never where it is no count of
    // bytes, as the line clock paces there.
    bool Held(long long queued, int window) const {
        return queueCountsBytes && (window == 1 ? queued > 0 : queued >= window);
    }
    // Writes the driver kept pending (flow control held them, or a USB
    // transfer) and completed only now: their bytes were counted from the
    // hand-over, but leave the line from now on.
    void Completed(long long now, long long bytes) { lineFree = std::max(lineFree, now + bytes * charNs); }
};

// One wait for room after a write, the same rule on every back end: the
// caller looks at its driver's queue, hands the count here and sleeps as
// long as it is told, until there is room (one byte: the queue empty; a
// window: fewer than `window` bytes queued and ahead of the line). After a
// sleep only the reach is kept ahead, so a wake-up tops up about that many
// bytes. While the queue does not move (flow control holds it) the sleeps
// back off to a few a second.
struct RoomWait {
    static constexpr long long kMaxSleepNs = 20000000LL;
    static constexpr long long kMinSleepNs = 20000LL;
    int window;
    long long sleepNs = 0;
    long lastQueued = -1;

    explicit RoomWait(const OutputPacing& pacing) : window(pacing.Window()) {}
    // 0 when there is room for the next byte, else the nanoseconds to sleep
    // before looking again. Measures the drain time where it can. A back end
    // whose driver may answer with no count of bytes (cdc-acm) tells the
    // pacing what it read (OutputPacing::Queued) before asking.
    long long Next(OutputPacing& pacing, long queued, long long now) {
        if (!pacing.queueCountsBytes)
            window = pacing.Window();
        else if (queued <= 0 && (lastQueued < 0 || (window == 1 && lastQueued > 0)))
            pacing.Measured(lastQueued < 0 ? 0 : now - pacing.writtenAt);
        const long long ahead = pacing.lineFree - now;
        const int bound = pacing.AheadBound(window);
        const long long refillNs = pacing.RefillPoint(window) * pacing.charNs;
        const bool held = pacing.Held(queued, window);
        if (!held && (bound == 0 || ahead < (lastQueued < 0 ? bound * pacing.charNs : refillNs))) return 0;
        if (held)
            sleepNs = queued == lastQueued ? std::min(sleepNs * 2, kMaxSleepNs)
                                           : std::min((queued - window + 1) * pacing.charNs, kMaxSleepNs);
        else
            sleepNs = std::min(ahead - refillNs + pacing.charNs, kMaxSleepNs);
        lastQueued = queued;
        return std::max(sleepNs, kMinSleepNs);
    }
    // Once there is room: how many bytes may go to the driver together, in
    // one write. One where each byte is drained alone; else what tops the
    // queue and the bytes ahead of the line up to the window.
    int Credit(const OutputPacing& pacing, long queued, long long now) const {
        if (window == 1) return 1;
        const long long ahead = std::max(pacing.lineFree - now, 0LL);
        const long long byLine = (window * pacing.charNs - ahead + pacing.charNs - 1) / pacing.charNs;
        return static_cast<int>(std::max(1LL, std::min<long long>(window - queued, byLine)));
    }
};

// The tail of a completed send: the bytes still queued after the last write
// belong to the device, and closing the port throws them away. However slow
// the line, the wait goes on while the queue is seen to shrink; only a queue
// that nothing has left for kBoundNs (a device holding XOFF or CTS at the
// end) is given up, and the send is then a lost line, not a complete one.
// Each back end reads its own queue and clock and feeds them in; an abort
// ends the wait there, at once.
struct TailWait {
    static constexpr long long kBoundNs = 3000000000LL;
    enum class State { kEmpty, kMoving, kHeld };

    long long fewest = -1;  // the fewest bytes seen queued so far
    long long since = 0;    // when that count was first seen

    // queued: the bytes known still to leave (at least 1 while the driver
    // says its transmitter is busy but counts nothing); now: any clock in ns.
    State Observe(long long queued, long long now) {
        if (queued <= 0) return State::kEmpty;
        if (fewest < 0 || queued < fewest) {
            fewest = queued;
            since = now;
        }
        return now - since >= kBoundNs ? State::kHeld : State::kMoving;
    }
};
