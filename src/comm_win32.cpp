// comm, Win32 back end: the serial link over a COM port with overlapped I/O,
// and the console control handler that turns Ctrl+C, Ctrl+Break and the
// other console events into an abort. Every wait of the link is cut into
// slices that re-test the abort flag, so an event that lands just before a
// wait starts cannot leave it blocked; an overlapped record is reused or
// closed only once the system has let go of it.
#include "comm.h"

#include <windows.h>

static_assert(sizeof(DCB) == 28, "DCB layout");

struct CommLink::Native {
    HANDLE handle = nullptr;
    OVERLAPPED writeOverlapped = {};
    OVERLAPPED readOverlapped = {};
    // The system reads the byte of an overlapped write, and fills the mask of
    // an overlapped wait, after the call has returned: they cannot live on
    // the stack.
    BYTE writeData = 0;
    DWORD eventMask = 0;
    bool writeInFlight = false;
};

namespace {

// The port opened last; the control handler cancels waits on it.
std::atomic<HANDLE> abortPortHandle{nullptr};

constexpr DWORD kWaitSliceMs = 100;
// Bound on the wait for a cancelled operation to let go of its record.
constexpr int kCancelSlices = 20;

BOOL WINAPI OnConsoleControl(DWORD) {
    abortRequested.store(1);
    // An empty event mask ends a WaitCommEvent in progress. Cancelling the
    // port's I/O also wakes a write held back by XOFF at once, instead of at
    // the end of the main thread's current wait slice.
    SetCommMask(abortPortHandle.load(), 0);
    CancelIoEx(abortPortHandle.load(), nullptr);
    return TRUE;
}

HANDLE NewEvent() {
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

// Cancels what this thread has in flight on the port and waits, within a
// bound, until the record is free again. A driver that never completes a
// cancelled request must not hang the program's way out.
void CancelAndWait(HANDLE port, OVERLAPPED& record) {
    if (HasOverlappedIoCompleted(&record)) return;
    CancelIo(port);
    for (int i = 0; i < kCancelSlices && !HasOverlappedIoCompleted(&record); ++i)
        WaitForSingleObject(record.hEvent, kWaitSliceMs);
}

DWORD InputQueued(HANDLE port) {
    DWORD errors = 0;
    COMSTAT status = {};
    ClearCommError(port, &errors, &status);
    return status.cbInQue;
}

// Waits for a pending WaitCommEvent. 1 once it reports a character, 0 when
// it ended empty (the handler cleared the mask) or the abort came first.
// Bytes found queued at the end of any slice count as an arrival too: Wine
// can finish the wait before it marks the record pending and then leave it
// pending for good with the event set, so neither the record nor the event
// can be trusted to end the wait.
int WaitForCharacter(HANDLE port, OVERLAPPED& record, const DWORD& mask) {
    while (!HasOverlappedIoCompleted(&record)) {
        if (abortRequested.load()) {
            // Wine's wait thread reads the mask when it starts: a handler that
            // cleared it before then did not end this wait, so clear it again.
            SetCommMask(port, 0);
            CancelAndWait(port, record);
            return 0;
        }
        const DWORD woken = WaitForSingleObject(record.hEvent, kWaitSliceMs);
        if (HasOverlappedIoCompleted(&record)) break;
        if (InputQueued(port) > 0) {
            CancelAndWait(port, record);
            return 1;
        }
        // A set event on a pending record announces nothing; cleared, it
        // makes the next slice a real wait instead of a spin.
        if (woken == WAIT_OBJECT_0) ResetEvent(record.hEvent);
    }
    DWORD unused = 0;
    return GetOverlappedResult(port, &record, &unused, FALSE) && mask != 0 ? 1 : 0;
}

DWORD OutputQueued(HANDLE port) {
    DWORD errors = 0;
    COMSTAT status = {};
    ClearCommError(port, &errors, &status);
    return status.cbOutQue;
}

}  // namespace

CommLink::Native* CommLink::NewNative() { return new Native; }

void CommLink::DeleteNative(Native* state) { delete state; }

int CommLink::OpenConnection(int portNumber, uint32_t rate, uint8_t size, uint8_t stop,
                             uint8_t parityCode, uint8_t flow, const char*) {
    if (isOpen) return 0;
    StoreLineSettings(portNumber, rate, size, stop, parityCode, flow);
    Native& n = *native;
    n.handle = nullptr;
    n.readOverlapped = {};
    n.writeOverlapped = {};
    n.writeInFlight = false;
    n.readOverlapped.hEvent = NewEvent();
    if (!n.readOverlapped.hEvent) return 0;
    n.writeOverlapped.hEvent = NewEvent();
    if (!n.writeOverlapped.hEvent) {
        CloseHandle(n.readOverlapped.hEvent);
        return 0;
    }
    // The \\.\ form also reaches COM10 and above, which plain "COMn" does not.
    char name[16];
    wsprintfA(name, "\\\\.\\COM%d", port);
    openFailure = {name + 4, OpenStep::kNone, 0};
    n.handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (n.handle == INVALID_HANDLE_VALUE) return OpenFailed(OpenStep::kOpen, static_cast<int>(GetLastError()));
    SetCommMask(n.handle, EV_RXCHAR);
    SetupComm(n.handle, kReceiveBufferSize, 1);
    PurgeComm(n.handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 0};  // reads return at once
    SetCommTimeouts(n.handle, &timeouts);
    abortPortHandle.store(n.handle);
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    int result = ApplyPortSettings(baudRate, byteSize, stopBits, parity, flowControl);
    if (result) {
        isOpen = 1;
        EscapeCommFunction(n.handle, SETDTR);
        return result;
    }
    isOpen = 0;
    OpenFailed(OpenStep::kSettings, static_cast<int>(GetLastError()));
    CloseHandle(n.readOverlapped.hEvent);
    CloseHandle(n.writeOverlapped.hEvent);
    CloseHandle(n.handle);
    n.handle = nullptr;
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
    const bool dsrDtr = flowControl & kFlowDsrDtr;
    const bool ctsRts = flowControl & kFlowCtsRts;
    dcb.fOutxDsrFlow = dsrDtr;
    dcb.fDtrControl = dsrDtr ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
    dcb.fOutxCtsFlow = ctsRts;
    dcb.fRtsControl = ctsRts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fInX = (flowControl & kFlowXonXoffIn) != 0;
    dcb.fOutX = (flowControl & kFlowXonXoffOut) != 0;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 100;
    dcb.XoffLim = 100;
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fDsrSensitivity = 0;
    return SetCommState(native->handle, &dcb);
}

int CommLink::CloseConnection() {
    isOpen = 0;
    Native& n = *native;
    EscapeCommFunction(n.handle, CLRDTR);
    PurgeComm(n.handle, PURGE_RXCLEAR);
    if (n.writeInFlight) {
        // Only a byte held back by flow control can still be in flight here.
        PurgeComm(n.handle, PURGE_TXABORT | PURGE_TXCLEAR);
        CancelAndWait(n.handle, n.writeOverlapped);
        n.writeInFlight = false;
    }
    CloseHandle(n.handle);
    CloseHandle(n.readOverlapped.hEvent);
    CloseHandle(n.writeOverlapped.hEvent);
    n.handle = nullptr;
    return 1;
}

int CommLink::FillReceiveBuffer() {
    receiveCount = 0;
    receiveIndex = 0;
    if (!isOpen || abortRequested.load()) return 0;
    Native& n = *native;
    DWORD errors = 0;
    COMSTAT status = {};
    ClearCommError(n.handle, &errors, &status);  // line errors are cleared and ignored
    DWORD waiting = status.cbInQue < kReceiveBufferSize ? status.cbInQue : kReceiveBufferSize;
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
    if (!isOpen || abortRequested.load()) return 0;
    Native& n = *native;
    n.eventMask = 0;
    if (WaitCommEvent(n.handle, &n.eventMask, &n.readOverlapped)) return n.eventMask != 0 ? 1 : 0;
    if (GetLastError() != ERROR_IO_PENDING) return 0;
    // The handler clears the event mask, which ends the wait; the slices
    // catch an abort whose mask change came before the wait began.
    return WaitForCharacter(n.handle, n.readOverlapped, n.eventMask);
}

int CommLink::WriteByte(int byte) {
    if (!isOpen || abortRequested.load()) return 0;
    Native& n = *native;
    n.writeData = static_cast<BYTE>(byte);
    BOOL accepted = WriteFile(n.handle, &n.writeData, 1, nullptr, &n.writeOverlapped);
    if (!accepted && GetLastError() == ERROR_IO_PENDING) {
        accepted = TRUE;
        n.writeInFlight = true;
    }
    ResetEvent(n.writeOverlapped.hEvent);
    // The byte has gone when its write is complete and the output queue is
    // empty. A driver that counts only its own queue (Wine's) reports an
    // empty queue while a write held back by XOFF is still pending.
    for (;;) {
        if (abortRequested.load()) {
            // What flow control still holds back is never to be sent now.
            PurgeComm(n.handle, PURGE_TXABORT | PURGE_TXCLEAR);
            if (n.writeInFlight) CancelAndWait(n.handle, n.writeOverlapped);
            n.writeInFlight = false;
            return 0;
        }
        if (n.writeInFlight) {
            if (!HasOverlappedIoCompleted(&n.writeOverlapped)) {
                WaitForSingleObject(n.writeOverlapped.hEvent, kWaitSliceMs);
                continue;
            }
            n.writeInFlight = false;
        }
        if (OutputQueued(n.handle) == 0) break;
    }
    return accepted ? 1 : 0;
}
