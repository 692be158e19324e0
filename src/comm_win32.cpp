// comm, Win32 back end: the serial link over a COM port with overlapped I/O,
// and the console control handler that turns Ctrl+C, Ctrl+Break and the
// other console events into an abort. The handler never touches the port:
// it sets the flag and signals the abort event, and the main thread, which
// waits on its own I/O and that event together, cancels its own I/O. Every
// overlapped record is reused or freed only once the system has let go of
// it. The line settings found at open are put back at close.
#include "comm.h"

#include <windows.h>

#include <cstdio>
#include <initializer_list>

static_assert(sizeof(DCB) == 28, "DCB layout");

// Debian 12's mingw-w64 headers lack it; Windows 10 1803 and later know it.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x2
#endif

struct CommLink::Native {
    HANDLE handle = nullptr;
    OVERLAPPED writeOverlapped = {};
    OVERLAPPED readOverlapped = {};
    OVERLAPPED waitOverlapped = {};
    HANDLE timer = nullptr;  // paces the waits for the output queue
    DCB savedState = {};     // the driver's settings found at open
    bool haveSavedState = false;
    DWORD inputQueue = kReceiveBufferSize;  // the driver's own input queue
    DWORD characterUs = 1042;               // one character's time on the line
    // The system reads the byte of an overlapped write, and fills the mask of
    // an overlapped wait, after the call has returned: they cannot live on
    // the stack.
    BYTE writeData = 0;
    DWORD eventMask = 0;
    bool writeInFlight = false;
    bool waitInFlight = false;
    bool wroteAny = false;
};

// The handler given to SetConsoleCtrlHandler; it runs on a thread of its own.
BOOL WINAPI OnConsoleControl(DWORD controlType);

namespace {

// Made once with the link and never closed: the handler may run at any time
// up to the end of the process.
HANDLE abortEvent = nullptr;   // set by the handler
HANDLE closedEvent = nullptr;  // set once the file is closed and the last text is out
std::atomic<HANDLE> handlerThread{nullptr};

constexpr DWORD kWaitSliceMs = 100;
// Bound on the wait for a cancelled operation to let go of its record.
constexpr int kCancelSlices = 20;
// Windows ends the process about 5 s after a close, logoff or shutdown
// event; the handler holds it back until the main thread has finished.
constexpr DWORD kCloseGraceMs = 4000;
// Bounds on the wait for the output queue to empty at close, and on the
// exit's wait for the handler's thread.
constexpr DWORD kTailBoundMs = 3000;
constexpr DWORD kHandlerExitMs = 1000;
// A 16550A-type transmit FIFO, the shift register and one character to spare:
// what may still be leaving after the driver's queue reads empty.
constexpr DWORD kFifoCharacters = 16 + 2;
constexpr DWORD kMaxPauseUs = 20000;

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

HANDLE NewTimer() {
    HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    // Before Windows 10 1803 the flag is refused: a plain timer then.
    return timer ? timer : CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
}

bool Aborted() {
    return abortRequested.load() != 0;
}

// Waits up to ms for object; WAIT_OBJECT_0 + 1 when the abort came first.
DWORD WaitOrAbort(HANDLE object, DWORD ms) {
    HANDLE both[2] = {object, abortEvent};
    return WaitForMultipleObjects(2, both, FALSE, ms);
}

// Sleeps about us microseconds; false when an abort came meanwhile.
bool Pause(HANDLE timer, DWORD us) {
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(us) * 10;  // relative, in 100 ns units
    const DWORD boundMs = us / 1000 + kWaitSliceMs;
    const bool timed = timer && SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE);
    const DWORD woken = timed ? WaitOrAbort(timer, boundMs) : WaitForSingleObject(abortEvent, us / 1000 + 1);
    return !Aborted() && woken != WAIT_OBJECT_0 + (timed ? 1 : 0);
}

// Cancels one request of this thread on the port and waits, within a
// bound, until the system has let go of its record. False when it has not:
// the record is then still the driver's, and the link cannot go on.
bool CancelAndWait(HANDLE port, OVERLAPPED& record) {
    if (HasOverlappedIoCompleted(&record)) return true;
    CancelIoEx(port, &record);
    for (int i = 0; i < kCancelSlices && !HasOverlappedIoCompleted(&record); ++i)
        WaitForSingleObject(record.hEvent, kWaitSliceMs);
    return HasOverlappedIoCompleted(&record);
}

COMSTAT PortStatus(HANDLE port) {
    DWORD errors = 0;
    COMSTAT status = {};
    ClearCommError(port, &errors, &status);  // line errors are cleared and ignored
    return status;
}

// Ends a pending wait for serial events. An empty event mask ends it on
// every driver; the cancel makes sure.
bool EndWait(CommLink::Native& n) {
    SetCommMask(n.handle, 0);
    if (!CancelAndWait(n.handle, n.waitOverlapped)) return false;
    n.waitInFlight = false;
    SetCommMask(n.handle, EV_RXCHAR);
    return true;
}

// Waits for a pending WaitCommEvent. 1 once it reports a character, 0 when
// it ended empty, the abort came first or the wait could not be ended.
// Bytes found queued at the end of any slice count as an arrival too: Wine
// can finish the wait before it marks the record pending and then leave it
// pending for good with the event set, so neither the record nor the event
// can be trusted to end the wait.
int WaitForCharacter(CommLink::Native& n) {
    while (!HasOverlappedIoCompleted(&n.waitOverlapped)) {
        if (Aborted()) {
            EndWait(n);
            return 0;
        }
        const DWORD woken = WaitOrAbort(n.waitOverlapped.hEvent, kWaitSliceMs);
        if (HasOverlappedIoCompleted(&n.waitOverlapped)) break;
        if (woken == WAIT_OBJECT_0 + 1) continue;
        if (PortStatus(n.handle).cbInQue > 0) return EndWait(n) ? 1 : 0;
        // A set event on a pending record announces nothing; cleared, it
        // makes the next slice a real wait instead of a spin.
        if (woken == WAIT_OBJECT_0) ResetEvent(n.waitOverlapped.hEvent);
    }
    n.waitInFlight = false;
    DWORD unused = 0;
    return GetOverlappedResult(n.handle, &n.waitOverlapped, &unused, FALSE) && n.eventMask != 0 ? 1 : 0;
}

// Drops what is queued for output and cancels a write that flow control
// holds back; false when the write could not be cancelled.
bool DiscardOutput(CommLink::Native& n) {
    PurgeComm(n.handle, PURGE_TXABORT | PURGE_TXCLEAR);
    if (!n.writeInFlight) return true;
    if (!CancelAndWait(n.handle, n.writeOverlapped)) return false;
    n.writeInFlight = false;
    return true;
}

// Waits until the driver's output queue is empty, sleeping about as long as
// the queued bytes take on the line; when the queue does not move (held by
// flow control) the sleeps back off to a few wake-ups a second. False on an
// abort, or when boundMs (if not 0) has passed first.
bool DrainOutput(CommLink::Native& n, DWORD boundMs) {
    const DWORD characterUs = n.characterUs;
    const ULONGLONG start = GetTickCount64();
    DWORD pauseUs = characterUs;
    DWORD lastQueued = 0;
    for (;;) {
        if (Aborted()) return false;
        const DWORD queued = PortStatus(n.handle).cbOutQue;
        if (queued == 0) return true;
        if (boundMs && GetTickCount64() - start >= boundMs) return false;
        const DWORD lineUs = queued < kMaxPauseUs / characterUs ? queued * characterUs : kMaxPauseUs;
        pauseUs = queued == lastQueued ? (pauseUs * 2 < kMaxPauseUs ? pauseUs * 2 : kMaxPauseUs) : lineUs;
        lastQueued = queued;
        if (!Pause(n.timer, pauseUs)) return false;
    }
}

// Closes the link's events and timer.
void ReleaseNative(CommLink::Native& n) {
    for (HANDLE* h : {&n.readOverlapped.hEvent, &n.writeOverlapped.hEvent, &n.waitOverlapped.hEvent, &n.timer}) {
        if (*h) CloseHandle(*h);
        *h = nullptr;
    }
}

}  // namespace

BOOL WINAPI OnConsoleControl(DWORD controlType) {
    RecordHandlerThread();
    abortRequested.store(1);
    SetEvent(abortEvent);
    // After a close, logoff or shutdown event Windows ends the process as
    // soon as this returns: not before the file is closed and the abort shown.
    if (IsSessionEnd(controlType)) WaitForSingleObject(closedEvent, kCloseGraceMs);
    return TRUE;
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
    if (!state->writeInFlight && !state->waitInFlight) delete state;
}

int CommLink::OpenConnection(int portNumber, uint32_t rate, uint8_t size, uint8_t stop,
                             uint8_t parityCode, uint8_t flow, const char*) {
    if (isOpen) return 0;
    StoreLineSettings(portNumber, rate, size, stop, parityCode, flow);
    Native& n = *native;
    // Ctrl+C from here on is an orderly abort; the handler needs no port.
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    n.handle = nullptr;
    n.readOverlapped = {};
    n.writeOverlapped = {};
    n.waitOverlapped = {};
    n.writeInFlight = n.waitInFlight = n.wroteAny = n.haveSavedState = false;
    n.inputQueue = kReceiveBufferSize;
    n.readOverlapped.hEvent = NewEvent();
    n.writeOverlapped.hEvent = NewEvent();
    n.waitOverlapped.hEvent = NewEvent();
    n.timer = NewTimer();
    // The \\.\ form also reaches COM10 and above, which plain "COMn" does not.
    char name[16];
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", port);
    openFailure = {name + 4, OpenStep::kNone, 0};
    if (abortEvent && closedEvent && n.readOverlapped.hEvent && n.writeOverlapped.hEvent && n.waitOverlapped.hEvent)
        n.handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
    if (!n.handle || n.handle == INVALID_HANDLE_VALUE) {
        const int error = static_cast<int>(GetLastError());
        n.handle = nullptr;
        ReleaseNative(n);
        return OpenFailed(OpenStep::kOpen, error);
    }
    n.savedState.DCBlength = sizeof n.savedState;
    n.haveSavedState = GetCommState(n.handle, &n.savedState) != 0;
    // The driver may keep any queue size it likes: the flow-control limits
    // follow the one it reports.
    int result = SetupComm(n.handle, kReceiveBufferSize, 1);
    COMMPROP properties = {};
    properties.wPacketLength = sizeof properties;
    if (GetCommProperties(n.handle, &properties) && properties.dwCurrentRxQueue > 0)
        n.inputQueue = properties.dwCurrentRxQueue;
    SetCommMask(n.handle, EV_RXCHAR);
    // Pending data is dropped before the line is set up: a device that waits
    // for the PC's flush and then its settings (on a pseudo-terminal, where
    // there is no DTR to see) starts sending at the settings, and a purge
    // after them would drop its first bytes.
    PurgeComm(n.handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 0};  // reads return at once
    SetCommTimeouts(n.handle, &timeouts);
    if (result) result = ApplyPortSettings(baudRate, byteSize, stopBits, parity, flowControl);
    if (result) {
        isOpen = 1;
        EscapeCommFunction(n.handle, SETDTR);
        return result;
    }
    isOpen = 0;
    OpenFailed(OpenStep::kSettings, static_cast<int>(GetLastError()));
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
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fOutxCtsFlow = ctsRts;
    dcb.fRtsControl = ctsRts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
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
    if (!isOpen || Aborted()) return 0;
    if (!n.wroteAny) return 1;
    if (!Pause(n.timer, kFifoCharacters * n.characterUs)) return 0;
    n.wroteAny = false;  // nothing left for the close to wait for
    return 1;
}

int CommLink::CloseConnection() {
    isOpen = 0;
    Native& n = *native;
    if (n.waitInFlight) EndWait(n);
    // What was handed over leaves the line before DTR drops; after an abort
    // it is discarded instead. A port that never sent is not flushed: to a
    // device on a pseudo-terminal, a flush of the PC's output followed by new
    // settings (the restore below) looks like the next open.
    if ((n.wroteAny || n.writeInFlight) &&
        (Aborted() || n.writeInFlight || !DrainOutput(n, kTailBoundMs) ||
         !Pause(n.timer, kFifoCharacters * n.characterUs)))
        DiscardOutput(n);
    // Restoring re-applies the saved DTR control; DTR drops after it. The
    // flush of what was received comes after the settings, so that it cannot
    // look like the next open's flush-then-settings to the device.
    if (n.haveSavedState) SetCommState(n.handle, &n.savedState);
    PurgeComm(n.handle, PURGE_RXCLEAR);
    EscapeCommFunction(n.handle, CLRDTR);
    CloseHandle(n.handle);
    n.handle = nullptr;
    if (!n.writeInFlight && !n.waitInFlight) ReleaseNative(n);
    SignalClosed();
    return 1;
}

int CommLink::FillReceiveBuffer() {
    receiveCount = 0;
    receiveIndex = 0;
    if (!isOpen || Aborted()) return 0;
    Native& n = *native;
    const DWORD queued = PortStatus(n.handle).cbInQue;
    DWORD waiting = queued < kReceiveBufferSize ? queued : kReceiveBufferSize;
    // With nothing queued, wait; this pass then reads nothing and the caller
    // comes back for the bytes that have arrived.
    if (waiting == 0 && !WaitForData()) return 0;
    DWORD got = 0;
    BOOL ok = ReadFile(n.handle, receiveBuffer, waiting, &got, &n.readOverlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(n.handle, &n.readOverlapped, &got, TRUE);
    receiveCount = got;
    ResetEvent(n.readOverlapped.hEvent);
    return ok;
}

int CommLink::WaitForData() {
    if (receiveCount > 0) return 1;
    if (!isOpen || Aborted()) return 0;
    Native& n = *native;
    if (n.waitInFlight) return 0;  // an earlier wait that never let go
    n.eventMask = 0;
    if (WaitCommEvent(n.handle, &n.eventMask, &n.waitOverlapped)) return n.eventMask != 0 ? 1 : 0;
    if (GetLastError() != ERROR_IO_PENDING) return 0;
    n.waitInFlight = true;
    return WaitForCharacter(n);
}

int CommLink::WriteByte(int byte) {
    if (!isOpen || Aborted()) return 0;
    Native& n = *native;
    if (n.writeInFlight) return 0;  // an earlier write that never let go
    n.writeData = static_cast<BYTE>(byte);
    n.wroteAny = true;
    BOOL accepted = WriteFile(n.handle, &n.writeData, 1, nullptr, &n.writeOverlapped);
    if (!accepted && GetLastError() == ERROR_IO_PENDING) {
        accepted = TRUE;
        n.writeInFlight = true;
    }
    // The write's completion is the hand-over to the driver; flow control
    // holds it back, and only an abort ends the wait early.
    while (n.writeInFlight) {
        if (Aborted()) {
            DiscardOutput(n);
            return 0;
        }
        WaitOrAbort(n.writeOverlapped.hEvent, kWaitSliceMs);
        if (!HasOverlappedIoCompleted(&n.writeOverlapped)) continue;
        n.writeInFlight = false;
        DWORD written = 0;
        accepted = GetOverlappedResult(n.handle, &n.writeOverlapped, &written, FALSE) && written == 1;
    }
    ResetEvent(n.writeOverlapped.hEvent);
    // A driver that completes writes into its own buffer still holds the
    // byte: it has gone when that queue is empty.
    if (!DrainOutput(n, 0)) {
        DiscardOutput(n);
        return 0;
    }
    return accepted ? 1 : 0;
}
