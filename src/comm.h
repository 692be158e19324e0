// comm: the serial link. One CommLink owns one port from OpenConnection to
// CloseConnection, a 4096-byte receive buffer, and the process-wide abort
// flag that console interrupts set. The class is declared once here; each
// platform supplies its own back end (comm_posix.cpp, comm_win32.cpp) behind
// the opaque Native record, so nothing above this header sees <windows.h>
// or <termios.h>.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "crc32.h"

// One byte of handshaking flags. The command line only ever produces
// 0, kFlowCtsRts, kFlowXonXoffIn or kFlowXonXoffOut; DSR/DTR handshaking has
// its bit in the byte but nothing asks for it, so no back end acts on it.
enum FlowControlFlags : uint8_t {
    kFlowDsrDtr = 1,      // output would wait for DSR, DTR a handshake line
    kFlowCtsRts = 2,      // output waits for CTS; RTS driven as a handshake line
    kFlowXonXoffIn = 4,   // we send XOFF/XON to the other side while receiving
    kFlowXonXoffOut = 8,  // we stop on XOFF and resume on XON while sending
};

constexpr uint32_t kReceiveBufferSize = 4096;

// What the link does with DTR or RTS: raise it at open and drop it at close
// (kOn), never raise it (kOff), or raise it and leave it raised (kKeep).
enum class ModemLine : uint8_t { kOn, kOff, kKeep };

// Set from 0 to 1 by the console interrupt handling, never cleared. It is
// read afresh at every test; lock-free so a signal handler may store it.
extern std::atomic<int> abortRequested;
static_assert(std::atomic<int>::is_always_lock_free, "abort flag must be lock-free");

class CommLink {
public:
    CommLink();
    ~CommLink();
    CommLink(const CommLink&) = delete;
    CommLink& operator=(const CommLink&) = delete;

    // Opens COM<port> (only the low 8 bits of port count) or, when devicePath
    // is given, that device, and configures the line. Nonzero on success.
    int OpenConnection(int port, uint32_t baudRate, uint8_t byteSize, uint8_t stopBits,
                       uint8_t parity, uint8_t flowControl, const char* devicePath = nullptr);
    // Stores the line configuration and writes it to the port. Nonzero on success.
    int ApplyPortSettings(uint32_t baudRate, uint8_t byteSize, uint8_t stopBits, uint8_t parity,
                          uint8_t flowControl);
    // After the last byte of a send: waits until everything sent has left the
    // line, for as long as the output queue keeps moving. 1 when it has left;
    // 0 after an abort, or when the queue stood still for the bound (the
    // device holds flow control); -1 when the line was lost meanwhile, its
    // reason already on the error stream.
    int FinishSending();
    // Waits as FinishSending does for what is still on its way, or drops
    // what an abort (or a held tail) left queued; then puts back the line
    // settings found at open, drops DTR and releases the port. Always 1.
    int CloseConnection();
    // POSIX: takes the port that a terminal program holds open on standard
    // input (read) and output (write) instead of opening one; nothing is
    // locked, set or closed and the modem lines are left alone. The rate is
    // the line's own (assumedRate when it is none of the usual ones). 0 when
    // either stream is not a terminal, or (OpenStep::kCooked) when the line
    // is not raw: it would change or take bytes on their way. XON/XOFF
    // handling is raw enough where flow asks for it (FlowControlFlags); on a
    // line without it, a send obeys the device's XOFF itself.
    int AdoptStandardStreams(uint32_t assumedRate, uint8_t flow);
    uint32_t LineRate() const { return baudRate; }

    // Next received byte 0..255, or -1 (aborted or the link failed).
    int ReadByte();
    // Refills the receive buffer from the driver, waiting for the first byte
    // when none is queued. Nonzero on success (possibly with nothing read).
    int FillReceiveBuffer();
    // Nonzero once a character has arrived or bytes are already buffered;
    // 0 when the wait failed or was cancelled by an abort.
    int WaitForData();
    // Sends the low 8 bits of byte and waits until the output queue is empty
    // (POSIX: until it has room, where a USB adapter's queue needs a window).
    // Nonzero on success, 0 on abort or failure.
    int WriteByte(int byte);

    bool IsOpen() const { return isOpen != 0; }

    // What the next OpenConnection and the CloseConnection after it do with
    // DTR and RTS. RTS as a handshake line (-F1) is the driver's, whatever
    // rts says. kKeep is for DTR only.
    void SetModemLines(ModemLine dtr, ModemLine rts) { dtrMode = dtr, rtsMode = rts; }
    // A wait for received bytes (WaitForData, FillReceiveBuffer) that hears
    // nothing for ms fails as if the line were lost, and TimedOut() then
    // says why. 0 waits for ever.
    void SetReceiveTimeout(uint32_t ms) { receiveTimeoutMs = ms; }
    bool TimedOut() const { return timedOut; }

    // Why the last OpenConnection failed: the device tried, the step that
    // failed and the system's error code (errno, or GetLastError on Windows).
    // kCooked: --stdio was handed a line that is not raw. kNetwork: a
    // network serial server could not be reached or set up (device is
    // host:port, error a NetSocket code, detail the reason's text).
    enum class OpenStep { kNone, kOpen, kLock, kSettings, kCooked, kNetwork };
    struct OpenFailure {
        std::string device;
        OpenStep step = OpenStep::kNone;
        int error = 0;
        std::string detail;  // kCooked: the flags that make the line cooked; kNetwork: the reason
    };
    const OpenFailure& LastOpenFailure() const { return openFailure; }

    // Why the line last failed a read, a write or a wait: kHungUp (the device
    // was unplugged, the other side closed), the system's error code, or 0
    // when the back end cannot tell.
    static constexpr int kHungUp = -1;
    int LineError() const { return lineError; }

    struct Native;  // platform state: handle, overlapped records, descriptors

private:
    // Each back end makes and frees its own platform state.
    static Native* NewNative();
    static void DeleteNative(Native* state);
    void StoreLineSettings(int portNumber, uint32_t rate, uint8_t size, uint8_t stop, uint8_t parityCode,
                           uint8_t flow);
    // The line's rate and format, without the port number.
    void UpdateLineSettings(uint32_t rate, uint8_t size, uint8_t stop, uint8_t parityCode, uint8_t flow);

    Native* native;
    uint8_t port = 0;
    uint8_t byteSize = 8;
    uint8_t flowControl = 0;
    uint8_t parity = 0;
    uint8_t stopBits = 0;
    uint32_t baudRate = 9600;
    int isOpen = 0;
    uint8_t* receiveBuffer;
    // Unconsumed bytes are receiveBuffer[receiveIndex .. receiveIndex+receiveCount-1],
    // oldest first: an index instead of moving the rest down after every byte.
    uint32_t receiveCount = 0;
    uint32_t receiveIndex = 0;
    OpenFailure openFailure;
    ModemLine dtrMode = ModemLine::kOn;
    ModemLine rtsMode = ModemLine::kOn;
    uint32_t receiveTimeoutMs = 0;
    bool timedOut = false;
    int OpenFailed(OpenStep step, int error);  // records why; always 0
    int lineError = 0;
    int LineFailed(int error) {  // records why; always 0
        lineError = error;
        return 0;
    }
};

// The program's one link, constructed before main and torn down at exit, so
// every way out of the process releases the port.
extern CommLink commLink;

// Adapters for the transfer code: every link failure becomes -2.
int LinkRead();          // byte 0..255 or -2
int LinkWrite(int byte); // 0 or -2
// Records why a link operation failed: the user's abort, the receive
// time-out, or the line.
void RecordLinkFailure();

// Every byte LinkRead took off the line and LinkWrite put on it: how many,
// their CRC-32, and the CRC-32 of those after the first 16 (the data that
// follows a transfer header, which is what the device simulator reports).
struct LineTally {
    uint32_t count = 0;
    Crc32 all;
    Crc32 afterHeader;
    void Add(uint8_t byte);
};
extern LineTally lineTally;
