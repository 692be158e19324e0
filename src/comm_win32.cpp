// comm, Win32 back end: the serial link over a COM port with overlapped I/O,
// and the console control handler that turns Ctrl+C, Ctrl+Break and the
// other console events into an abort. The handler never touches the port:
// it sets the flag and signals the abort event, and the main thread, which
// waits on its own I/O and that event together, cancels its own I/O. Every
// overlapped record is reused or freed only once the system has let go of
// it. Output keeps the drain window of output_pacing.h. A call on the port
// that fails once it is open means the device has gone (an unplugged USB
// adapter): the link stops at once and says why. The line settings found at
// open are put back at close. A port on a network serial server
// (rfc2217://, socket://) is the network link's: every operation goes there.
#include "comm.h"
#include "net_link.h"
#include "output_pacing.h"
#include "port_list.h"
#include "win32_shared.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <memory>

static_assert(sizeof(DCB) == 28, "DCB layout");

namespace {

// One overlapped write. On a USB adapter a write stays pending until the
// USB transfer carrying it completes, about a millisecond later; the bytes
// the window lets go meanwhile gather in the other record, and go in one
// write once the first has completed. Never two writes pending at once:
// Wine may put a new write on the line before one that waits (held by
// XOFF), and the bytes would arrive out of order. One write for the bytes
// that go together is also one round trip to Wine's server, and on Windows
// one request and one USB transfer instead of one a byte.
struct WriteRecord {
    OVERLAPPED overlapped = {};
    BYTE data[OutputPacing::kFifo] = {};  // the system reads them after WriteFile has returned
    DWORD count = 0;
    bool inFlight = false;
};
constexpr int kWriteRecords = 2;  // used in turn

}  // namespace

struct CommLink::Native {
    HANDLE handle = nullptr;
    char device[16] = {};  // "COM3", for what is said when the line is lost
    WriteRecord writes[kWriteRecords];
    int nextWrite = 0;  // the record the next bytes gather in
    int gathered = 0;   // bytes in it not yet handed to the driver
    int credit = 1;     // how many may gather before they are handed over
    OVERLAPPED readOverlapped = {};
    OVERLAPPED waitOverlapped = {};
    HANDLE timer = nullptr;    // paces the waits for the output queue
    bool fineTick = false;     // the system tick was raised for a plain timer
    DCB savedState = {};       // the driver's settings found at open
    bool haveSavedState = false;
    DWORD inputQueue = kReceiveBufferSize;  // the driver's own input queue
    DWORD characterUs = 1042;               // one character's time on the line
    OutputPacing pacing;
    // The system fills the mask of an overlapped wait after the call has
    // returned: it cannot live on the stack.
    DWORD eventMask = 0;
    bool readInFlight = false;
    bool waitInFlight = false;
    bool wroteAny = false;
    bool lineLost = false;  // a call on the open port failed: the device is gone
    bool outputHeld = false;  // the last status read: the device held the transmitter
    std::unique_ptr<NetLink> net;  // set for a network serial server: each operation goes there
};

// The handler given to SetConsoleCtrlHandler; it runs on a thread of its own.
BOOL WINAPI OnConsoleControl(DWORD controlType);

namespace {

// Made once with the link and never closed: the handler may run at any time
// up to the end of the process.
HANDLE abortEvent = nullptr;   // set by the handler
HANDLE closedEvent = nullptr;  // set once the file is closed and the last text is out
std::atomic<HANDLE> handlerThread{nullptr};
// When a close, logoff or shutdown event came (GetTickCount64), 0 before.
std::atomic<ULONGLONG> sessionEndAt{0};

constexpr DWORD kWaitSliceMs = 100;
// Bound on the wait for cancelled operations to let go of their records.
constexpr ULONGLONG kCancelBoundMs = 2000;
// After a session-end event every cancel together gets this long, counted
// from the event, so that the file is closed and the abort shown well within
// the system's grace whatever the driver does with cancels.
constexpr ULONGLONG kSessionCancelMs = 1000;
// Windows ends the process about 5 s after a close, logoff or shutdown
// event; the handler holds it back until the main thread has finished.
constexpr DWORD kCloseGraceMs = 4000;
// Bounds on a read that should return at once, and on the exit's wait for
// the handler's thread.
constexpr DWORD kReadBoundMs = 1000;
constexpr DWORD kHandlerExitMs = 1000;
// A 16550A-type transmit FIFO, the shift register and one character to spare:
// what may still be leaving after the driver's queue reads empty.
constexpr long long kFifoCharacters = 16 + 2;

bool IsSessionEnd(DWORD controlType) {
    return controlType == CTRL_CLOSE_EVENT || controlType == CTRL_LOGOFF_EVENT ||
           controlType == CTRL_SHUTDOWN_EVENT;
}

// Remembers the handler's thread so that the exit can let it finish first.
void RecordHandlerThread() {
    HANDLE self = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, SYNCHRONIZE,
                         FALSE, 0))
        return;
    HANDLE before = handlerThread.exchange(self);
    if (before) CloseHandle(before);
}

// What the program has printed reaches the system before the handler may
// let the process end.
void SignalClosed() {
    std::fflush(stdout);
    if (closedEvent) SetEvent(closedEvent);
}

HANDLE NewEvent() {
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

long long NowNs() {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart / frequency * 1000000000LL + now.QuadPart % frequency * 1000000000LL / frequency;
}

bool Aborted() {
    return abortRequested.load() != 0;
}

// Waits up to ms for object; WAIT_OBJECT_0 + 1 when the abort came first.
DWORD WaitOrAbort(HANDLE object, DWORD ms) {
    HANDLE both[2] = {object, abortEvent};
    return WaitForMultipleObjects(2, both, FALSE, ms);
}

// A sleep that no event ends (NtDelayExecution). Under Wine it sleeps about
// as long as asked, where a waitable timer wakes a millisecond or more late
// (the server's clock); on Windows it wakes on the system tick, where a
// high-resolution timer does not.
void Delay(long long ns) {
    using DelayExecution = LONG(NTAPI*)(BOOLEAN, PLARGE_INTEGER);
    static const auto delay = reinterpret_cast<DelayExecution>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtDelayExecution")));
    LARGE_INTEGER due;
    due.QuadPart = -std::max(ns / 100, 1LL);  // relative, in 100 ns units
    if (delay) delay(FALSE, &due);
}

// Sleeps about ns nanoseconds on the timer, or until the abort.
DWORD TimerSleep(const CommLink::Native& n, long long ns) {
    LARGE_INTEGER due;
    due.QuadPart = -std::max(ns / 100, 1LL);
    const DWORD ms = static_cast<DWORD>(ns / 1000000);
    if (!n.timer || !SetWaitableTimer(n.timer, &due, 0, nullptr, nullptr, FALSE))
        return WaitForSingleObject(abortEvent, ms + 1) == WAIT_OBJECT_0 ? WAIT_OBJECT_0 + 1 : WAIT_TIMEOUT;
    return WaitOrAbort(n.timer, ms + kWaitSliceMs);
}

// Pauses shorter than this may go to Delay, which an abort does not end:
// the abort is then seen this much later at most.
constexpr long long kShortPauseNs = 2000000;

// Whether Delay keeps short pauses better than the timer here: a few of
// each, once, the first time the output queue is waited for.
bool DelayIsFiner(const CommLink::Native& n) {
    constexpr long long kTrialNs = 200000;
    long long timerLate = 0, delayLate = 0;
    for (int i = 0; i < 3; ++i) {
        long long at = NowNs();
        TimerSleep(n, kTrialNs);
        timerLate += NowNs() - at;
        at = NowNs();
        Delay(kTrialNs);
        delayLate += NowNs() - at;
    }
    return delayLate < timerLate;
}

// Sleeps about ns nanoseconds; false when an abort came meanwhile.
bool Pause(const CommLink::Native& n, long long ns) {
    static const bool delayIsFiner = DelayIsFiner(n);
    if (ns <= kShortPauseNs && delayIsFiner)
        Delay(ns);
    else if (TimerSleep(n, ns) == WAIT_OBJECT_0 + 1)
        return false;
    return !Aborted();
}

// The device has gone or refuses the port's own calls: the link stops, and
// the reason (the failed call's) is told once.
bool LineLost(CommLink::Native& n, DWORD error) {
    if (!n.lineLost && !Aborted()) ExplainLineLost(n.device, static_cast<int>(error));
    n.lineLost = true;
    return false;
}

// The driver's queues. After an unplugged adapter ClearCommError fails and
// leaves the COMSTAT as it was: an empty queue that would never fill.
bool ReadPortStatus(CommLink::Native& n, COMSTAT* status) {
    DWORD errors = 0;  // line errors are cleared and ignored
    *status = {};
    return ClearCommError(n.handle, &errors, status);
}

// The same, where a failure means the device has gone.
bool PortStatus(CommLink::Native& n, COMSTAT* status) {
    return ReadPortStatus(n, status) || LineLost(n, GetLastError());
}

bool InFlight(const OVERLAPPED& record) {
    return !HasOverlappedIoCompleted(&record);
}

// How long cancels started at `start` may still be waited for.
DWORD CancelTimeLeft(ULONGLONG start) {
    ULONGLONG end = start + kCancelBoundMs;
    const ULONGLONG sessionEnd = sessionEndAt.load();
    if (sessionEnd) end = std::min(end, sessionEnd + kSessionCancelMs);
    const ULONGLONG now = GetTickCount64();
    return now < end ? static_cast<DWORD>(end - now) : 0;
}

// Cancels the requests of the given records that are still pending and
// waits, within the bound, until the system has let go of them all. False
// when one has not: that record is still the driver's, and the link cannot
// go on with it.
template <size_t N>
bool CancelAndWait(HANDLE port, OVERLAPPED* const (&records)[N]) {
    for (OVERLAPPED* record : records)
        if (record && InFlight(*record)) CancelIoEx(port, record);
    const ULONGLONG start = GetTickCount64();
    for (OVERLAPPED* record : records) {
        while (record && InFlight(*record)) {
            const DWORD left = CancelTimeLeft(start);
            if (left == 0) return false;
            WaitForSingleObject(record->hEvent, std::min(left, kWaitSliceMs));
        }
    }
    return true;
}

// Collects the writes that have completed. A write the driver failed (not
// one cancelled here) means the line is gone. The bytes of the writes still
// pending, or -1 when the line is lost.
long ReapWrites(CommLink::Native& n) {
    long pending = 0, completed = 0;
    for (WriteRecord& record : n.writes) {
        if (!record.inFlight) continue;
        if (InFlight(record.overlapped)) {
            pending += static_cast<long>(record.count);
            continue;
        }
        record.inFlight = false;
        completed += static_cast<long>(record.count);
        DWORD written = 0;
        if (!GetOverlappedResult(n.handle, &record.overlapped, &written, FALSE)) {
            const DWORD error = GetLastError();
            if (error != ERROR_OPERATION_ABORTED) LineLost(n, error);
        }
    }
    if (completed) n.pacing.Completed(NowNs(), completed);
    return n.lineLost ? -1 : pending;
}

// A chip that does CTS or XON/XOFF itself holds bytes that cbOutQue never
// counts; these flags are the only sign of them.
bool TransmitterHeld(const COMSTAT& status) { return status.fCtsHold || status.fXoffHold || status.fDsrHold; }

// Bytes handed over and not yet gone, as far as the driver tells: its queue,
// and the writes it has not completed (which some drivers do not count).
// Once every write has completed and the line was moving, the driver has
// delivered all it was given: a device that then leaves (one that starts
// the program it has just loaded may drop off the bus, and a
// pseudo-terminal's other end may close) has the bytes, and the next write,
// if one comes, finds the line lost. A device that goes while it holds the
// line has not had them.
bool QueuedOutput(CommLink::Native& n, long* queued, COMSTAT* status) {
    const long pending = ReapWrites(n);
    if (pending < 0) return false;
    if (ReadPortStatus(n, status))
        n.outputHeld = TransmitterHeld(*status);
    else if (pending > 0 || n.outputHeld)
        return LineLost(n, GetLastError());
    *queued = std::max(static_cast<long>(status->cbOutQue), pending);
    return true;
}

// Ends a pending wait for serial events. An empty event mask ends it on
// every driver; the cancel makes sure.
bool EndWait(CommLink::Native& n) {
    SetCommMask(n.handle, 0);
    OVERLAPPED* const records[] = {&n.waitOverlapped};
    if (!CancelAndWait(n.handle, records)) return false;
    n.waitInFlight = false;
    SetCommMask(n.handle, EV_RXCHAR);
    return true;
}

// Waits for a pending WaitCommEvent. 1 once it reports a character, 0 when
// it ended empty, the abort came first, the line was lost, the deadline
// (a GetTickCount64 time, 0 for none) passed first, which sets *timedOut,
// or the wait could not be ended. Bytes found queued at the end of any
// slice count as an arrival too: Wine can finish the wait before it marks
// the record pending and then leave it pending for good with the event set,
// so neither the record nor the event can be trusted to end the wait. The
// look at the queue every slice also finds a device that has gone while its
// driver leaves the wait pending.
int WaitForCharacter(CommLink::Native& n, ULONGLONG deadline, bool* timedOut) {
    while (InFlight(n.waitOverlapped)) {
        if (deadline && GetTickCount64() >= deadline) {
            *timedOut = true;
            EndWait(n);
            return 0;
        }
        if (Aborted()) {
            EndWait(n);
            return 0;
        }
        const DWORD woken = WaitOrAbort(n.waitOverlapped.hEvent, kWaitSliceMs);
        if (!InFlight(n.waitOverlapped)) break;
        if (woken == WAIT_OBJECT_0 + 1) continue;
        COMSTAT status;
        if (!PortStatus(n, &status)) {
            EndWait(n);
            return 0;
        }
        if (status.cbInQue > 0) return EndWait(n) ? 1 : 0;
        // A set event on a pending record announces nothing; cleared, it
        // makes the next slice a real wait instead of a spin.
        if (woken == WAIT_OBJECT_0) ResetEvent(n.waitOverlapped.hEvent);
    }
    n.waitInFlight = false;
    DWORD unused = 0;
    if (!GetOverlappedResult(n.handle, &n.waitOverlapped, &unused, FALSE))
        return Aborted() ? 0 : LineLost(n, GetLastError());
    return n.eventMask != 0 ? 1 : 0;
}

// Drops what is queued for output and cancels the writes that flow control
// holds back; false when one could not be cancelled.
bool DiscardOutput(CommLink::Native& n) {
    PurgeComm(n.handle, PURGE_TXABORT | PURGE_TXCLEAR);
    OVERLAPPED* records[kWriteRecords] = {};
    for (int i = 0; i < kWriteRecords; ++i)
        if (n.writes[i].inFlight) records[i] = &n.writes[i].overlapped;
    const bool released = CancelAndWait(n.handle, records);
    for (WriteRecord& record : n.writes)
        if (!InFlight(record.overlapped)) record.inFlight = false;
    return released;
}

// After a write: returns once the drain rule leaves room for the next byte,
// sleeping meanwhile as it says, with the credit of bytes that may then go
// together. False on an abort or a lost line.
bool AwaitRoom(CommLink::Native& n) {
    RoomWait wait(n.pacing);
    for (;;) {
        if (Aborted()) return false;
        long queued = 0;
        COMSTAT status;
        if (!QueuedOutput(n, &queued, &status)) return false;
        const long long now = NowNs();
        const long long sleepNs = wait.Next(n.pacing, queued, now);
        if (sleepNs == 0) {
            n.credit = wait.Credit(n.pacing, queued, now);
            return true;
        }
        if (!Pause(n, sleepNs)) return false;
    }
}

// Waits until a write record is the program's again: its write has
// completed. False on an abort or a lost line.
bool Reclaim(CommLink::Native& n, WriteRecord& record) {
    while (record.inFlight) {
        if (Aborted() || ReapWrites(n) < 0) return false;
        if (record.inFlight) WaitOrAbort(record.overlapped.hEvent, kWaitSliceMs);
    }
    return true;
}

// Before a write of the bytes gathered: waits until at least one more fits
// within the window ahead of the line, and says how many do; 0 on an abort.
int AwaitBatchRoom(CommLink::Native& n) {
    const long long charNs = n.pacing.charNs;
    const int window = n.pacing.Window();
    for (;;) {
        if (Aborted()) return 0;
        const long long ahead = std::max(n.pacing.lineFree - NowNs(), 0LL);
        // Rounded as RoomWait's credit is, so that a batch it allowed fits whole.
        const int room = window == 1 ? 1 : window - static_cast<int>(ahead / charNs);
        if (room >= 1) return room;
        if (!Pause(n, std::max((1 - room) * charNs, RoomWait::kMinSleepNs))) return 0;
    }
}

// Hands the bytes gathered to the driver in one write and waits for room as
// the drain rule says. False on an abort or a lost line, and when the
// driver refused the write; after a refusal the queue is still waited for.
bool HandOver(CommLink::Native& n) {
    WriteRecord& record = n.writes[n.nextWrite];
    WriteRecord& next = n.writes[(n.nextWrite + 1) % kWriteRecords];
    // The write before, in the other record, completes first; then as many
    // of the bytes gathered go as the window has room for, and the rest
    // gather on in the other record.
    const int room = Reclaim(n, next) ? AwaitBatchRoom(n) : 0;
    if (room == 0) {
        n.gathered = 0;
        DiscardOutput(n);
        return false;
    }
    const DWORD count = record.count = static_cast<DWORD>(std::min(n.gathered, room));
    n.gathered -= static_cast<int>(count);
    std::copy(record.data + count, record.data + count + n.gathered, next.data);
    n.nextWrite = (n.nextWrite + 1) % kWriteRecords;
    bool accepted = WriteFile(n.handle, record.data, count, nullptr, &record.overlapped) != 0;
    if (!accepted) {
        const DWORD error = GetLastError();
        accepted = record.inFlight = error == ERROR_IO_PENDING;
        if (!accepted) LineLost(n, error);
    }
    const long long now = NowNs();
    for (DWORD i = 0; accepted && i < count; ++i) n.pacing.Written(now);
    // Flow control may hold the write back; an abort still ends the wait at
    // once, and what was held is dropped.
    if (!AwaitRoom(n)) {
        DiscardOutput(n);
        return false;
    }
    return accepted;
}

// After the last byte of a send: waits until it has left the line, so that
// dropping DTR cannot cut it off: every write completed, the driver's queue
// empty and the transmitter not held, then the time a FIFO takes to empty.
// False when the bytes stopped leaving for the bound, on an abort, or when
// the line was lost.
bool DrainTail(CommLink::Native& n) {
    const long long charNs = std::max(n.pacing.charNs, 1LL);
    TailWait tail;
    long long pauseNs = charNs;
    long lastQueued = -1;
    for (;;) {
        if (Aborted()) return false;
        long queued = 0;
        COMSTAT status;
        if (!QueuedOutput(n, &queued, &status)) return false;
        switch (tail.Observe(std::max<long>(queued, TransmitterHeld(status) ? 1 : 0), NowNs())) {
            case TailWait::State::kEmpty: return Pause(n, kFifoCharacters * charNs);
            case TailWait::State::kHeld: return false;
            case TailWait::State::kMoving: break;
        }
        pauseNs = queued != lastQueued ? queued * charNs : pauseNs * 2;
        pauseNs = std::min(std::max(pauseNs, charNs), RoomWait::kMaxSleepNs);
        lastQueued = queued;
        if (!Pause(n, pauseNs)) return false;
    }
}

// Reads what is queued. Reads are set to return at once; one that a driver
// leaves pending for a second means the device has gone.
bool ReadQueued(CommLink::Native& n, uint8_t* buffer, DWORD count, DWORD* got) {
    *got = 0;
    if (ReadFile(n.handle, buffer, count, got, &n.readOverlapped)) return true;
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) return LineLost(n, error);
    n.readInFlight = true;
    const ULONGLONG start = GetTickCount64();
    while (InFlight(n.readOverlapped) && !Aborted() && GetTickCount64() - start < kReadBoundMs)
        WaitOrAbort(n.readOverlapped.hEvent, kWaitSliceMs);
    if (InFlight(n.readOverlapped)) {
        OVERLAPPED* const records[] = {&n.readOverlapped};
        n.readInFlight = !CancelAndWait(n.handle, records);
        return Aborted() ? false : LineLost(n, ERROR_TIMEOUT);
    }
    n.readInFlight = false;
    return GetOverlappedResult(n.handle, &n.readOverlapped, got, FALSE) || LineLost(n, GetLastError());
}

bool AnyInFlight(const CommLink::Native& n) {
    if (n.readInFlight || n.waitInFlight) return true;
    for (const WriteRecord& record : n.writes)
        if (record.inFlight) return true;
    return false;
}

// Closes the link's events and timer.
void ReleaseNative(CommLink::Native& n) {
    for (WriteRecord& record : n.writes) {
        if (record.overlapped.hEvent) CloseHandle(record.overlapped.hEvent);
        record.overlapped.hEvent = nullptr;
    }
    for (HANDLE* h : {&n.readOverlapped.hEvent, &n.waitOverlapped.hEvent, &n.timer}) {
        if (*h) CloseHandle(*h);
        *h = nullptr;
    }
    if (n.fineTick) SetFineTick(false);
    n.fineTick = false;
}

// Fresh records and events for an open; the error of the event that could
// not be made, or 0.
DWORD PrepareNative(CommLink::Native& n) {
    n.handle = nullptr;
    n.nextWrite = n.gathered = 0;
    n.credit = 1;
    n.readInFlight = n.waitInFlight = n.wroteAny = n.haveSavedState = n.lineLost = n.outputHeld = false;
    n.inputQueue = kReceiveBufferSize;
    n.pacing = OutputPacing();
    DWORD error = abortEvent && closedEvent ? 0 : ERROR_INVALID_HANDLE;
    const auto made = [&error](HANDLE event) {
        if (!event && !error) error = GetLastError();
        return event;
    };
    for (WriteRecord& record : n.writes) {
        record = WriteRecord();
        record.overlapped.hEvent = made(NewEvent());
    }
    for (OVERLAPPED* record : {&n.readOverlapped, &n.waitOverlapped}) {
        *record = {};
        record->hEvent = made(NewEvent());
    }
    n.timer = NewPreciseTimer(&n.fineTick);
    return error;
}

// The input queue the driver keeps; it may keep any size it likes.
DWORD DriverInputQueue(HANDLE port) {
    COMMPROP properties = {};
    properties.wPacketLength = sizeof properties;
    properties.dwProvSpec1 = COMMPROP_INITIALIZED;
    if (GetCommProperties(port, &properties) && properties.dwCurrentRxQueue > 0) return properties.dwCurrentRxQueue;
    return kReceiveBufferSize;
}

}  // namespace

BOOL WINAPI OnConsoleControl(DWORD controlType) {
    RecordHandlerThread();
    if (IsSessionEnd(controlType)) {
        ULONGLONG none = 0;
        sessionEndAt.compare_exchange_strong(none, GetTickCount64());
    }
    abortRequested.store(1);
    SetEvent(abortEvent);
    // After a close, logoff or shutdown event Windows ends the process as
    // soon as this returns: not before the file is closed and the abort shown.
    if (IsSessionEnd(controlType)) WaitForSingleObject(closedEvent, kCloseGraceMs);
    return TRUE;
}

HANDLE AbortEvent() {
    return abortEvent;
}

// Before Windows 10 1803 the high-resolution flag is refused and a plain
// timer wakes on the system tick, 15.6 ms by default: a byte per tick for a
// driver that completes writes into its own queue. The tick is then asked
// to be 1 ms while the port is open, through NtSetTimerResolution, which
// timeBeginPeriod calls: winmm would bring user32 in, and with it the loss
// of logoff and shutdown events. (Read from the documentation of both;
// Wine has the high-resolution timer, so this path is untested here.)
void SetFineTick(bool on) {
    using SetTimerResolution = LONG(NTAPI*)(ULONG, BOOLEAN, PULONG);
    static const auto set = reinterpret_cast<SetTimerResolution>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtSetTimerResolution")));
    ULONG current = 0;
    if (set) set(10000, on ? TRUE : FALSE, &current);  // 100 ns units
}

HANDLE NewPreciseTimer(bool* fineTick) {
    HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    *fineTick = !timer;
    if (!timer) timer = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    if (*fineTick) SetFineTick(true);
    return timer;
}

void InstallConsoleHandler() {
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

CommLink::Native* CommLink::NewNative() {
    if (!abortEvent) abortEvent = NewEvent();
    if (!closedEvent) closedEvent = NewEvent();
    return new Native;
}

void CommLink::DeleteNative(Native* state) {
    SignalClosed();
    // Let a handler still running finish before the process tears down.
    HANDLE thread = handlerThread.exchange(nullptr);
    if (thread) {
        WaitForSingleObject(thread, kHandlerExitMs);
        CloseHandle(thread);
    }
    // A request the driver never let go of still owns its record.
    if (!AnyInFlight(*state)) delete state;
}

int CommLink::OpenConnection(int portNumber, uint32_t rate, uint8_t size, uint8_t stop,
                             uint8_t parityCode, uint8_t flow, const char* devicePath) {
    if (isOpen) return 0;
    StoreLineSettings(portNumber, rate, size, stop, parityCode, flow);
    Native& n = *native;
    // Ctrl+C from here on is an orderly abort; the handler needs no port.
    InstallConsoleHandler();
    if (IsNetworkPort(devicePath)) {
        n.net = NetLink::Open(devicePath, rate, flow, dtrMode, rtsMode, &openFailure);
        return isOpen = n.net ? 1 : 0;
    }
    const DWORD prepareError = PrepareNative(n);
    // The \\.\ form also reaches COM10 and above, which plain "COMn" does not.
    char name[16];
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", port);
    std::snprintf(n.device, sizeof n.device, "%s", name + 4);
    openFailure = OpenFailure();
    openFailure.device = n.device;
    if (prepareError) {
        ReleaseNative(n);
        return OpenFailed(OpenStep::kOpen, static_cast<int>(prepareError));
    }
    n.handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                           nullptr);
    if (!n.handle || n.handle == INVALID_HANDLE_VALUE) {
        const int error = static_cast<int>(GetLastError());
        n.handle = nullptr;
        ReleaseNative(n);
        return OpenFailed(OpenStep::kOpen, error);
    }
    // A line that is to stay off is lowered before anything else: under Wine
    // the open of the Linux device has raised it.
    if (dtrMode == ModemLine::kOff) EscapeCommFunction(n.handle, CLRDTR);
    if (rtsMode == ModemLine::kOff) EscapeCommFunction(n.handle, CLRRTS);
    n.savedState.DCBlength = sizeof n.savedState;
    n.haveSavedState = GetCommState(n.handle, &n.savedState) != 0;
    // The sizes are a recommendation that a driver is free to ignore, and
    // some virtual COM drivers refuse a large receive size: not a reason to
    // give up the port. The flow-control limits follow the queue it reports.
    SetupComm(n.handle, kReceiveBufferSize, 1);
    n.inputQueue = DriverInputQueue(n.handle);
    SetCommMask(n.handle, EV_RXCHAR);
    // Pending data is dropped before the line is set up: a device that waits
    // for the PC's flush and then its settings (on a pseudo-terminal, where
    // there is no DTR to see) starts sending at the settings, and a purge
    // after them would drop its first bytes.
    PurgeComm(n.handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    // Reads return at once. Without that a read would wait without bound.
    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 0};
    int result = SetCommTimeouts(n.handle, &timeouts);
    DWORD error = result ? 0 : GetLastError();
    if (result) {
        result = ApplyPortSettings(baudRate, byteSize, stopBits, parity, flowControl);
        error = result ? 0 : GetLastError();
    }
    if (result) {
        isOpen = 1;
        if (dtrMode != ModemLine::kOff) EscapeCommFunction(n.handle, SETDTR);
        return result;
    }
    isOpen = 0;
    OpenFailed(OpenStep::kSettings, static_cast<int>(error));
    if (n.haveSavedState) SetCommState(n.handle, &n.savedState);
    CloseHandle(n.handle);
    n.handle = nullptr;
    ReleaseNative(n);
    return 0;
}

int CommLink::ApplyPortSettings(uint32_t rate, uint8_t size, uint8_t stop, uint8_t parityCode,
                                uint8_t flow) {
    UpdateLineSettings(rate, size, stop, parityCode, flow);
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    GetCommState(native->handle, &dcb);  // fields not set below keep the driver's values
    dcb.BaudRate = baudRate;
    dcb.ByteSize = byteSize;
    dcb.Parity = parity;
    dcb.StopBits = stopBits;
    const bool ctsRts = flowControl & kFlowCtsRts;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = dtrMode == ModemLine::kOff ? DTR_CONTROL_DISABLE : DTR_CONTROL_ENABLE;
    dcb.fOutxCtsFlow = ctsRts;
    dcb.fRtsControl = ctsRts                      ? RTS_CONTROL_HANDSHAKE
                      : rtsMode == ModemLine::kOff ? RTS_CONTROL_DISABLE
                                                   : RTS_CONTROL_ENABLE;
    dcb.fInX = (flowControl & kFlowXonXoffIn) != 0;
    dcb.fOutX = (flowControl & kFlowXonXoffOut) != 0;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    // The device is stopped with a quarter of the driver's input queue still
    // free for what it sends before it reacts, and resumed at a quarter full.
    const DWORD quarter = native->inputQueue / 4 < 0xFFFF ? native->inputQueue / 4 : 0xFFFF;
    dcb.XonLim = static_cast<WORD>(quarter);
    dcb.XoffLim = static_cast<WORD>(quarter);
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fDsrSensitivity = 0;
    // Left set by an earlier program, one line error would stop all I/O.
    dcb.fAbortOnError = 0;
    const DWORD bits = 1 + byteSize + (parity ? 1 : 0) + (stopBits ? 2 : 1);
    native->characterUs = 1000000u * bits / (baudRate ? baudRate : 1) + 1;
    return SetCommState(native->handle, &dcb);
}

// WriteByte has drained the driver's queue after every byte, so only the
// UART's FIFO can still hold the tail here.
int CommLink::FinishSending() {
    Native& n = *native;
    if (n.net) return n.net->FinishSending();
    if (!isOpen || Aborted()) return 0;
    if (!n.wroteAny) return 1;
    while (n.gathered && HandOver(n)) {
    }
    if (!n.gathered && !n.lineLost && DrainTail(n)) {
        n.wroteAny = false;  // nothing left for the close to wait for
        return 1;
    }
    // What stood still is dropped now, or the close would wait for it again.
    if (!Aborted()) DiscardOutput(n);
    n.gathered = 0;
    n.wroteAny = false;
    return n.lineLost && !Aborted() ? -1 : 0;
}

int CommLink::CloseConnection() {
    isOpen = 0;
    Native& n = *native;
    if (n.net) {
        NetLink::Release(n.net);
        SignalClosed();
        return 1;
    }
    if (!n.handle) return 1;
    if (n.waitInFlight) EndWait(n);
    // What was handed over leaves the line before DTR drops; after an abort,
    // or when it stopped leaving, it is discarded instead. A port that never
    // sent is not flushed: to a device on a pseudo-terminal, a flush of the
    // PC's output followed by new settings (the restore below) looks like the
    // next open.
    while (n.gathered && !Aborted() && !n.lineLost && HandOver(n)) {
    }
    n.gathered = 0;
    if (n.wroteAny && (Aborted() || n.lineLost || !DrainTail(n))) DiscardOutput(n);
    // Restoring re-applies the saved DTR control; DTR drops after it. The
    // flush of what was received comes after the settings, so that it cannot
    // look like the next open's flush-then-settings to the device. The
    // driver keeps the DTR and RTS control for the next open, which raises a
    // line whose control says enable: one to stay off is restored disabled
    // (putting back enable would raise it now), DTR kept raised enabled.
    DCB restored = n.savedState;
    if (dtrMode != ModemLine::kOn)
        restored.fDtrControl = dtrMode == ModemLine::kKeep ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    if (rtsMode == ModemLine::kOff) restored.fRtsControl = RTS_CONTROL_DISABLE;
    if (n.haveSavedState) SetCommState(n.handle, &restored);
    PurgeComm(n.handle, PURGE_RXCLEAR);
    if (dtrMode != ModemLine::kKeep) EscapeCommFunction(n.handle, CLRDTR);
    CloseHandle(n.handle);
    n.handle = nullptr;
    if (!AnyInFlight(n)) ReleaseNative(n);
    SignalClosed();
    return 1;
}

int CommLink::FillReceiveBuffer() {
    receiveCount = 0;
    receiveIndex = 0;
    if (!isOpen || Aborted()) return 0;
    Native& n = *native;
    if (n.net)
        return n.net->FillReceiveBuffer(receiveBuffer, kReceiveBufferSize, receiveCount, receiveTimeoutMs, timedOut);
    COMSTAT status;
    if (n.lineLost || !PortStatus(n, &status)) return 0;
    // With nothing queued, wait; the caller then comes back for the bytes
    // that have arrived.
    if (status.cbInQue == 0) return WaitForData();
    DWORD got = 0;
    if (!ReadQueued(n, receiveBuffer, std::min<DWORD>(status.cbInQue, kReceiveBufferSize), &got)) return 0;
    receiveCount = got;
    return 1;
}

int CommLink::WaitForData() {
    if (receiveCount > 0) return 1;
    if (!isOpen || Aborted()) return 0;
    Native& n = *native;
    if (n.net) return n.net->WaitForData(receiveTimeoutMs, timedOut);
    if (n.waitInFlight || n.lineLost) return 0;  // an earlier wait that never let go
    // --timeout: one deadline for the whole wait, however many passes it takes.
    const ULONGLONG deadline = receiveTimeoutMs ? GetTickCount64() + receiveTimeoutMs : 0;
    for (;;) {
        n.eventMask = 0;
        if (!WaitCommEvent(n.handle, &n.eventMask, &n.waitOverlapped)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) return LineLost(n, error);
            n.waitInFlight = true;
            if (!WaitForCharacter(n, deadline, &timedOut)) return 0;
        } else if (n.eventMask == 0) {
            return 0;
        }
        // An arrival recorded before this wait began (bytes the open's purge
        // dropped) ends it at once with nothing queued: that is no data yet.
        COMSTAT status;
        if (!PortStatus(n, &status)) return 0;
        if (status.cbInQue > 0) return 1;
        if (Aborted()) return 0;
    }
}

int CommLink::WriteByte(int byte) {
    if (!isOpen || Aborted()) return 0;
    Native& n = *native;
    if (n.net) return n.net->WriteByte(byte);
    WriteRecord& record = n.writes[n.nextWrite];
    if (n.lineLost || (n.gathered == 0 && !Reclaim(n, record))) return 0;
    const long long charNs = n.characterUs * 1000LL;
    if (n.pacing.charNs != charNs) n.pacing.Reset(charNs);
    record.data[n.gathered++] = static_cast<BYTE>(byte);
    n.wroteAny = true;
    // Within the credit the byte joins the next ones; the last it allows
    // takes them all to the driver. While the driver still holds the write
    // before (a USB transfer waits for its frame), bytes gather up to the
    // window, to go together once it has completed.
    const WriteRecord& before = n.writes[(n.nextWrite + 1) % kWriteRecords];
    const bool driverBusy = before.inFlight && InFlight(before.overlapped);
    const int gather = driverBusy ? std::max(n.credit, n.pacing.Window()) : n.credit;
    if (n.gathered < std::min(gather, OutputPacing::kFifo)) return 1;
    return HandOver(n) ? 1 : 0;
}
