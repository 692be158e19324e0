// Fuzzing: the serial back end's members over the StandInLine instead of a
// termios device. Only what the portable code calls is here; opening and
// closing merely mark the link open or closed.
#include "stand_in_link.h"

#include <algorithm>
#include <cstring>

#include "abort_wait.h"
#include "comm.h"
#include "settings.h"

StandInLine standInLine;

struct CommLink::Native {};

CommLink::Native* CommLink::NewNative() { return new Native; }

void CommLink::DeleteNative(Native* state) { delete state; }

int CommLink::OpenConnection(int portNumber, uint32_t rate, uint8_t size, uint8_t stop, uint8_t parityCode,
                             uint8_t flow, const char*) {
    StoreLineSettings(portNumber, rate, size, stop, parityCode, flow);
    receiveCount = receiveIndex = 0;
    isOpen = 1;
    return 1;
}

int CommLink::ApplyPortSettings(uint32_t rate, uint8_t size, uint8_t stop, uint8_t parityCode, uint8_t flow) {
    UpdateLineSettings(rate, size, stop, parityCode, flow);
    return 1;
}

int CommLink::CloseConnection() {
    isOpen = 0;
    return 1;
}

int CommLink::AdoptStandardStreams(uint32_t, uint8_t) { return 0; }

// Every byte written has left the line at once, unless Ctrl+C came.
int CommLink::FinishSending() { return abortRequested.load() ? 0 : 1; }

// Ctrl+C comes at the refill the input chose, before it delivers anything.
static bool AbortsAtThisFill(const StandInLine& line) {
    if (line.fills != line.abortAtFill) return false;
    abortRequested.store(1);
    return true;
}

int CommLink::FillReceiveBuffer() {
    receiveCount = 0;
    receiveIndex = 0;
    StandInLine& line = standInLine;
    if (!isOpen || abortRequested.load() || AbortsAtThisFill(line)) return 0;
    if (line.delivered == line.incoming.size()) return 0;  // hung up
    uint32_t size = line.fillSizes[line.fills % line.fillSizes.size()];
    ++line.fills;
    if (size == 0 && line.lastFillEmpty) size = 1;
    line.lastFillEmpty = size == 0;
    size = static_cast<uint32_t>(std::min<size_t>({size, kReceiveBufferSize, line.incoming.size() - line.delivered}));
    std::memcpy(receiveBuffer, line.incoming.data() + line.delivered, size);
    line.delivered += size;
    receiveCount = size;
    return 1;
}

int CommLink::WaitForData() {
    if (receiveCount > 0) return 1;
    const StandInLine& line = standInLine;
    if (!isOpen || abortRequested.load() || AbortsAtThisFill(line)) return 0;
    return line.delivered < line.incoming.size() ? 1 : 0;
}

int CommLink::WriteByte(int byte) {
    StandInLine& line = standInLine;
    if (!isOpen || abortRequested.load()) return 0;
    if (line.sent.size() == line.failAtWrite) {
        if (line.abortOnWrite) abortRequested.store(1);
        return 0;
    }
    line.sent.push_back(static_cast<char>(byte));
    return 1;
}

// The file waits of the POSIX back end: nothing here ever has to wait.
bool WaitUnlessAborted(int, short) { return !abortRequested.load(); }

bool NapUnlessAborted(long) { return !abortRequested.load(); }

// The network link is linked in but never opened here: no pipe to watch.
int AbortWaitFd() { return -1; }

void StandInLine::Reset() {
    *this = StandInLine();
    abortRequested.store(0);
    // Closed and opened again: nothing left in the receive buffer.
    commLink.CloseConnection();
    commLink.OpenConnection(1, 9600, 8, 0, 0, 0);
}

void StartTransfer(int mode, bool binary, bool withHeader) {
    standInLine.Reset();
    settings = TransferSettings();
    settings.mode = mode;
    settings.fileName = "fuzz.bin";
    settings.binaryMode = binary ? 1 : 0;
    settings.sendHeader = withHeader ? 1 : 0;
}
