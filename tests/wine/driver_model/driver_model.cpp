// A model of a Windows serial driver behind the calls of seam.h, for the
// driver-model test build of the program (velta_driver_model.exe). Chosen
// by VELTA_DRIVER_MODEL, a kind and options separated by commas:
//   uart       the in-box driver on a 16550A: a write completes once its
//              byte is in the 16-byte transmit FIFO; cbOutQue counts the
//              bytes of writes not yet completed.
//   usb        a full-speed USB adapter: a write completes at the next 1 ms
//              frame at least 125 us later (writes in one frame together);
//              cbOutQue counts the writes not yet completed; the bytes then
//              wait in the adapter, counted nowhere, and leave at the line rate.
//   buffered   a driver that completes every write at once into a queue of
//              its own, which cbOutQue counts until the byte leaves.
//   refuse=SetupComm | refuse=SetCommTimeouts   that call fails
//   vanish=N   the device is unplugged after N calls on the port: every
//              call after fails, and a pending wait is never ended
//   leave=B    the same once the writes of B bytes have completed: a
//              device that starts the program it loaded and leaves the bus
//   unplug=M   the same M ms after open, whatever is on its way
//   hold=K     the line stops before byte K (CTS low, or XOFF in the
//              adapter's chip for usb); holdms=M releases it after M ms
//   cancel=never   cancels are accepted and never complete
//   stale      a character arrival is on record when the open's purge runs
//   input=M    the bytes of the file VELTA_DRIVER_INPUT arrive M ms after open
//   ctrlc=M | close=M   that console event M ms after open, on a thread of
//              its own; after a close event the process ends the moment the
//              handler returns, as Windows ends it
// Each byte's times follow from the line's settings, and a worker thread
// completes each pending request when its time comes, as the kernel does:
// the status first, then the event. What the line carried goes to the file
// VELTA_DRIVER_WIRE; times and counts, one "name value" a line, to
// VELTA_DRIVER_REPORT.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// The model defines the calls the link makes and itself calls the system's.
#define DRIVER_MODEL_ITSELF
#include "line_rate.h"
#include "seam.h"

BOOL WINAPI OnConsoleControl(DWORD controlType);

namespace {

// Odd, so never a handle the system gives out.
HANDLE const kPort = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x5E41));
constexpr long long kNever = 0x7FFFFFFFFFFFFFFFLL;
constexpr long long kFrameNs = 1000000, kUsbLatencyNs = 125000;
constexpr ULONG_PTR kPendingStatus = 0x103;      // STATUS_PENDING
constexpr ULONG_PTR kFailedStatus = 0xE0000000;  // | the Win32 error
constexpr UINT kClosedByTheSystem = 0xC000013A;

enum class Kind { kUart, kUsb, kBuffered };

struct Config {
    Kind kind = Kind::kUart;
    std::string refuse;
    long vanishAfter = -1;
    size_t leaveAfterBytes = 0;  // 0: stays
    long long unplugAtNs = -1;
    long holdFrom = -1;
    long long holdNs = kNever;
    bool cancelsComplete = true;
    bool stale = false;
    long long inputAtNs = -1;
    DWORD event = 0;
    long long eventAtNs = -1;
};

struct Byte {
    uint8_t value;
    long long written, completes, start, end;
    bool discarded;
};

enum class What { kWrite, kWait };

struct Pending {
    OVERLAPPED* record;
    What what;
    long long due;
    DWORD* mask;   // a wait's, filled when it ends
    size_t byte;   // a write's, in out
};

struct Report {
    long long firstWrite = -1, lastEnd = -1, vanished = -1, closed = -1, event = -1, handler = -1;
    long mostOnTheWay = 0, tailPending = -1, dtrDrops = 0;
};

Config config;
CRITICAL_SECTION lock;
HANDLE wake = nullptr;
long long openedAt = 0;
std::vector<Byte> out;
std::vector<Pending> pending;
std::string input;
DCB state = {};
DWORD commMask = 0;
bool arrivalOnRecord = false, vanished = false, inputDelivered = false, eventFired = false;
long calls = 0;
size_t delivered = 0;  // the bytes of the writes completed, which complete in order
long long holdStart = kNever;  // when the line stopped; kNever while it runs
Report report;

long long NowNs() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart / frequency.QuadPart * 1000000000LL +
           now.QuadPart % frequency.QuadPart * 1000000000LL / frequency.QuadPart;
}

long long Since(long long at) { return at < 0 || at == kNever ? -1 : (at - openedAt) / 1000; }

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

Config ParseConfig(const std::string& text) {
    Config c;
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find(',', at);
        if (end == std::string::npos) end = text.size();
        const std::string item = text.substr(at, end - at);
        const size_t equals = item.find('=');
        const std::string key = item.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
        const long long number = std::atoll(value.c_str());
        if (key == "usb") c.kind = Kind::kUsb;
        else if (key == "buffered") c.kind = Kind::kBuffered;
        else if (key == "refuse") c.refuse = value;
        else if (key == "vanish") c.vanishAfter = static_cast<long>(number);
        else if (key == "leave") c.leaveAfterBytes = static_cast<size_t>(number);
        else if (key == "unplug") c.unplugAtNs = number * 1000000;
        else if (key == "hold") c.holdFrom = static_cast<long>(number);
        else if (key == "holdms") c.holdNs = number * 1000000;
        else if (key == "cancel") c.cancelsComplete = value != "never";
        else if (key == "stale") c.stale = true;
        else if (key == "input") c.inputAtNs = number * 1000000;
        else if (key == "ctrlc" || key == "close") {
            c.event = key == "ctrlc" ? CTRL_C_EVENT : CTRL_CLOSE_EVENT;
            c.eventAtNs = number * 1000000;
        }
        at = end + 1;
    }
    return c;
}

long long CharacterNs() {
    return LineCharacterNs(state.BaudRate, state.ByteSize, state.Parity != 0, state.StopBits ? 2 : 1);
}

// Bytes written and not yet on the line.
long OnTheWay(long long now) {
    long n = 0;
    for (const Byte& b : out) n += !b.discarded && b.end > now;
    return n;
}

// Not yet handed to the hardware: what a purge drops.
bool InTheDriver(const Byte& b, long long now) {
    return config.kind == Kind::kBuffered ? b.start > now : b.completes > now;
}

// What the driver counts in cbOutQue.
DWORD Counted(long long now) {
    DWORD n = 0;
    for (const Byte& b : out) n += !b.discarded && b.written <= now && InTheDriver(b, now);
    return n;
}

bool Held(long long now) { return holdStart <= now && (config.holdNs == kNever || now < holdStart + config.holdNs); }

const Byte* LastKept() {
    for (auto b = out.rbegin(); b != out.rend(); ++b)
        if (!b->discarded) return &*b;
    return nullptr;
}

// The times of a byte written now, from the bytes before it.
Byte Schedule(uint8_t value, long long now) {
    const Byte* last = LastKept();
    const long long charNs = CharacterNs();
    const long long lineFree = last ? last->end : 0;
    Byte b = {value, now, now, 0, 0, false};
    if (config.kind == Kind::kUsb) {
        b.completes = (now + kUsbLatencyNs + kFrameNs - 1) / kFrameNs * kFrameNs;
        if (last) b.completes = std::max(b.completes, last->completes);
    } else if (config.kind == Kind::kUart) {
        // Into the FIFO once the byte 16 places ahead has left.
        long ahead = 0;
        for (auto p = out.rbegin(); p != out.rend(); ++p) {
            if (p->discarded) continue;
            if (++ahead == 16) {
                b.completes = std::max(now, p->end);
                break;
            }
        }
    }
    long long start = std::max({b.completes, lineFree, now});
    const long index = static_cast<long>(out.size());
    if (config.holdFrom >= 0 && index >= config.holdFrom) {
        if (holdStart == kNever) holdStart = start;
        start = config.holdNs == kNever ? kNever : std::max(start, holdStart + config.holdNs);
    }
    b.start = start;
    b.end = start == kNever ? kNever : start + charNs;
    // A write held in the driver completes only when its byte moves on.
    if (config.kind == Kind::kUart && b.completes > now && start == kNever) b.completes = kNever;
    return b;
}

// The file the variable names, opened with mode; null if none.
FILE* OpenNamed(const char* variable, const char* mode) {
    const std::string path = Env(variable);
    return path.empty() ? nullptr : std::fopen(path.c_str(), mode);
}

void WriteReport() {
    FILE* f = OpenNamed("VELTA_DRIVER_REPORT", "w");
    if (!f) return;
    std::fprintf(f,
                 "first_write_us %lld\nlast_end_us %lld\nmost_on_the_way %ld\ntail_pending %ld\ndtr_drops %ld\n"
                 "vanished_us %lld\nclosed_us %lld\nevent_us %lld\nhandler_us %lld\n",
                 Since(report.firstWrite), Since(report.lastEnd), report.mostOnTheWay, report.tailPending,
                 report.dtrDrops, Since(report.vanished), Since(report.closed), Since(report.event),
                 Since(report.handler));
    FILETIME created, exited, kernel, user;
    if (GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
        const auto us = [](FILETIME t) { return (static_cast<long long>(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 10; };
        std::fprintf(f, "cpu_us %lld\n", us(kernel) + us(user));
    }
    std::fclose(f);
}

void WriteWire() {
    FILE* f = OpenNamed("VELTA_DRIVER_WIRE", "wb");
    if (!f) return;
    for (const Byte& b : out)
        if (!b.discarded && b.end != kNever) std::fputc(b.value, f);
    std::fclose(f);
}

void Complete(OVERLAPPED* record, DWORD error, DWORD count) {
    record->InternalHigh = count;
    record->Internal = error ? kFailedStatus | error : 0;  // the status first,
    SetEvent(record->hEvent);                              // then the event
}

// Ends the pending wait, if there is one, with events.
bool EndWait(DWORD events) {
    for (auto p = pending.begin(); p != pending.end(); ++p) {
        if (p->what != What::kWait) continue;
        *p->mask = events;
        Complete(p->record, 0, 0);
        pending.erase(p);
        return true;
    }
    return false;
}

// An arrival ends a pending wait for it, or is put on record for the next.
void Arrival() {
    if (!EndWait(EV_RXCHAR)) arrivalOnRecord = true;
}

DWORD WINAPI Handler(void*) {
    OnConsoleControl(config.event);
    if (config.event != CTRL_CLOSE_EVENT) return 0;
    EnterCriticalSection(&lock);
    report.handler = NowNs();
    WriteReport();
    LeaveCriticalSection(&lock);
    TerminateProcess(GetCurrentProcess(), kClosedByTheSystem);
    return 0;
}

// Does what is due and says when the next thing is.
long long Step(long long now) {
    long long next = kNever;
    // True once, when what is set for `at` after the open is due; until then
    // `at` counts toward the next thing.
    const auto due = [&](long long at, bool& done) {
        if (at < 0 || done) return false;
        if (now < openedAt + at) next = std::min(next, openedAt + at);
        return done = now >= openedAt + at;
    };
    if (due(config.inputAtNs, inputDelivered)) {
        if (FILE* f = OpenNamed("VELTA_DRIVER_INPUT", "rb")) {
            for (int c; (c = std::fgetc(f)) != EOF;) input.push_back(static_cast<char>(c));
            std::fclose(f);
        }
        if (!vanished && !input.empty()) Arrival();
    }
    if (due(config.eventAtNs, eventFired)) {
        report.event = now;
        CloseHandle(CreateThread(nullptr, 0, Handler, nullptr, 0, nullptr));
    }
    for (auto p = pending.begin(); p != pending.end();) {
        if (p->what == What::kWrite && p->due <= now) {
            Complete(p->record, vanished ? ERROR_BAD_COMMAND : 0, vanished ? 0 : 1);
            if (!vanished) delivered = p->byte + 1;
            p = pending.erase(p);
            continue;
        }
        if (p->what == What::kWrite) next = std::min(next, p->due);
        ++p;
    }
    return next;
}

// Waits until `next`, or until a new request may make it sooner. Close
// ahead it sleeps without a timer: under Wine a timer wakes a millisecond
// or more late, which would put every USB frame late.
void WaitUntil(long long next, long long now) {
    using DelayExecution = LONG(NTAPI*)(BOOLEAN, PLARGE_INTEGER);
    static const auto delay = reinterpret_cast<DelayExecution>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtDelayExecution")));
    if (next == kNever) {
        WaitForSingleObject(wake, INFINITE);
    } else if (next - now <= 3 * kFrameNs && delay) {
        LARGE_INTEGER due;
        due.QuadPart = -std::max((next - now) / 100, 1LL);
        delay(FALSE, &due);
    } else {
        WaitForSingleObject(wake, static_cast<DWORD>((next - now) / 1000000 - 2));
    }
}

DWORD WINAPI Worker(void*) {
    for (;;) {
        EnterCriticalSection(&lock);
        const long long now = NowNs();
        const long long next = Step(now);
        LeaveCriticalSection(&lock);
        WaitUntil(next, now);
    }
}

// Every call on the port counts; after the last one the device is gone,
// from the moment of that last call.
bool Gone() {
    if (vanished) return true;
    if ((config.leaveAfterBytes && delivered >= config.leaveAfterBytes) ||
        (config.unplugAtNs >= 0 && NowNs() >= openedAt + config.unplugAtNs)) {
        vanished = true;
        report.vanished = NowNs();
        WriteReport();
        return true;
    }
    if (config.vanishAfter >= 0 && calls >= config.vanishAfter) {
        vanished = true;
        WriteReport();
        return true;
    }
    if (++calls == config.vanishAfter) report.vanished = NowNs();
    return false;
}

struct Locked {
    Locked() { EnterCriticalSection(&lock); }
    ~Locked() { LeaveCriticalSection(&lock); }
};

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

BOOL Refused(const char* call, DWORD error) {
    return config.refuse == call ? Fail(error) : TRUE;
}

}  // namespace

namespace driver_model {

HANDLE CreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    if (std::strncmp(name, "\\\\.\\COM", 7) != 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    config = ParseConfig(Env("VELTA_DRIVER_MODEL"));
    InitializeCriticalSection(&lock);
    wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    state.DCBlength = sizeof state;
    state.BaudRate = 9600;
    state.ByteSize = 8;
    state.fBinary = 1;
    openedAt = NowNs();
    CloseHandle(CreateThread(nullptr, 0, Worker, nullptr, 0, nullptr));
    return kPort;
}

BOOL CloseHandle(HANDLE handle) {
    if (handle != kPort) return ::CloseHandle(handle);
    Locked held;
    report.closed = NowNs();
    const Byte* last = LastKept();
    report.lastEnd = last && last->end != kNever ? last->end : -1;
    WriteReport();
    WriteWire();
    return TRUE;
}

BOOL GetCommState(HANDLE, LPDCB dcb) {
    Locked held;
    if (Gone()) return Fail(ERROR_BAD_COMMAND);
    *dcb = state;
    return TRUE;
}

BOOL SetCommState(HANDLE, LPDCB dcb) {
    Locked held;
    if (Gone()) return Fail(ERROR_BAD_COMMAND);
    state = *dcb;
    return TRUE;
}

BOOL SetupComm(HANDLE, DWORD, DWORD) {
    Locked held;
    return Gone() ? Fail(ERROR_BAD_COMMAND) : Refused("SetupComm", ERROR_INVALID_PARAMETER);
}

BOOL GetCommProperties(HANDLE, LPCOMMPROP properties) {
    Locked held;
    if (Gone()) return Fail(ERROR_BAD_COMMAND);
    // Some drivers read dwProvSpec1 to learn the caller's structure is ready.
    if (properties->dwProvSpec1 != COMMPROP_INITIALIZED) return Fail(ERROR_INVALID_PARAMETER);
    properties->dwCurrentRxQueue = 4096;
    properties->dwCurrentTxQueue = 0;
    return TRUE;
}

BOOL SetCommMask(HANDLE, DWORD mask) {
    Locked held;
    if (Gone()) return Fail(ERROR_BAD_COMMAND);
    commMask = mask;
    arrivalOnRecord = false;
    EndWait(0);
    return TRUE;
}

BOOL PurgeComm(HANDLE, DWORD flags) {
    Locked held;
    if (Gone()) return Fail(ERROR_BAD_COMMAND);
    const long long now = NowNs();
    if (flags & (PURGE_RXCLEAR | PURGE_RXABORT)) input.clear();
    if (config.stale) arrivalOnRecord = true;  // bytes came, and went with the purge
    if (!(flags & (PURGE_TXCLEAR | PURGE_TXABORT)) || !config.cancelsComplete) return TRUE;
    // What has not reached the hardware is dropped, and its writes end.
    for (Byte& b : out)
        if (!b.discarded && InTheDriver(b, now)) b.discarded = true;
    for (auto p = pending.begin(); p != pending.end();) {
        if (p->what == What::kWrite) {
            Complete(p->record, ERROR_OPERATION_ABORTED, 0);
            p = pending.erase(p);
        } else {
            ++p;
        }
    }
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE, LPCOMMTIMEOUTS) {
    Locked held;
    return Gone() ? Fail(ERROR_BAD_COMMAND) : Refused("SetCommTimeouts", ERROR_NOT_SUPPORTED);
}

BOOL EscapeCommFunction(HANDLE, DWORD function) {
    Locked held;
    if (Gone()) return Fail(ERROR_BAD_COMMAND);
    if (function == CLRDTR) {
        ++report.dtrDrops;
        report.tailPending = OnTheWay(NowNs());
        WriteReport();
    }
    return TRUE;
}

BOOL ClearCommError(HANDLE, LPDWORD errors, LPCOMSTAT status) {
    Locked held;
    if (Gone()) return Fail(ERROR_BAD_COMMAND);
    const long long now = NowNs();
    if (errors) *errors = 0;
    if (status) {
        *status = {};
        status->cbInQue = static_cast<DWORD>(input.size());
        status->cbOutQue = Counted(now);
        if (Held(now) && config.kind == Kind::kUsb) status->fXoffHold = 1;
        if (Held(now) && config.kind != Kind::kUsb) status->fCtsHold = 1;
    }
    return TRUE;
}

BOOL WriteFile(HANDLE, LPCVOID data, DWORD count, LPDWORD, LPOVERLAPPED record) {
    Locked held;
    if (Gone()) return Fail(ERROR_BAD_COMMAND);
    const long long now = NowNs();
    if (report.firstWrite < 0) report.firstWrite = now;
    long long due = now;
    for (DWORD i = 0; i < count; ++i) {
        out.push_back(Schedule(static_cast<const uint8_t*>(data)[i], now));
        due = std::max(due, out.back().completes);
    }
    report.mostOnTheWay = std::max(report.mostOnTheWay, OnTheWay(now));
    if (due <= now) {
        Complete(record, 0, count);
        delivered = out.size();
        return TRUE;
    }
    record->Internal = kPendingStatus;
    pending.push_back({record, What::kWrite, due, nullptr, out.size() - 1});
    SetEvent(wake);
    return Fail(ERROR_IO_PENDING);
}

BOOL ReadFile(HANDLE, LPVOID data, DWORD count, LPDWORD got, LPOVERLAPPED record) {
    Locked held;
    if (Gone()) return Fail(ERROR_BAD_COMMAND);
    const DWORD n = std::min<DWORD>(count, static_cast<DWORD>(input.size()));
    std::memcpy(data, input.data(), n);
    input.erase(0, n);
    if (got) *got = n;
    Complete(record, 0, n);
    return TRUE;
}

BOOL WaitCommEvent(HANDLE, LPDWORD mask, LPOVERLAPPED record) {
    Locked held;
    if (Gone()) return Fail(ERROR_BAD_COMMAND);
    if (arrivalOnRecord && (commMask & EV_RXCHAR)) {
        arrivalOnRecord = false;
        *mask = EV_RXCHAR;
        Complete(record, 0, 0);
        return TRUE;
    }
    record->Internal = kPendingStatus;
    pending.push_back({record, What::kWait, kNever, mask, 0});
    return Fail(ERROR_IO_PENDING);
}

BOOL GetOverlappedResult(HANDLE, LPOVERLAPPED record, LPDWORD count, BOOL wait) {
    while (record->Internal == kPendingStatus) {
        if (!wait) return Fail(ERROR_IO_INCOMPLETE);
        WaitForSingleObject(record->hEvent, INFINITE);
    }
    if (count) *count = static_cast<DWORD>(record->InternalHigh);
    return record->Internal ? Fail(static_cast<DWORD>(record->Internal & ~kFailedStatus)) : TRUE;
}

BOOL CancelIoEx(HANDLE, LPOVERLAPPED record) {
    Locked held;
    if (!config.cancelsComplete) return TRUE;  // accepted, and never done
    for (auto p = pending.begin(); p != pending.end(); ++p) {
        if (p->record != record) continue;
        if (p->what == What::kWrite && out[p->byte].start > NowNs()) out[p->byte].discarded = true;
        Complete(record, ERROR_OPERATION_ABORTED, 0);
        pending.erase(p);
        return TRUE;
    }
    return Fail(ERROR_NOT_FOUND);
}

}  // namespace driver_model
