// comm: the parts of the serial link that are the same on every platform:
// the abort flag, the global link and its lifetime, byte-at-a-time reading
// from the receive buffer, and the adapters the transfer code calls.
#include "comm.h"

#include <cstring>
#include <utility>

#include "console.h"
#include "console_text.h"
#include "outcome.h"

std::atomic<int> abortRequested{0};

CommLink commLink;

CommLink::CommLink() : native(NewNative()), receiveBuffer(new uint8_t[kReceiveBufferSize]) {
    abortRequested.store(0);
}

CommLink::~CommLink() {
    if (isOpen) CloseConnection();
    delete[] receiveBuffer;
    DeleteNative(native);
}

void CommLink::StoreLineSettings(int portNumber, uint32_t rate, uint8_t size, uint8_t stop, uint8_t parityCode,
                                 uint8_t flow) {
    port = static_cast<uint8_t>(portNumber);  // COM numbers have 8 bits
    UpdateLineSettings(rate, size, stop, parityCode, flow);
}

void CommLink::UpdateLineSettings(uint32_t rate, uint8_t size, uint8_t stop, uint8_t parityCode,
                                  uint8_t flow) {
    baudRate = rate;
    byteSize = size;
    stopBits = stop;
    parity = parityCode;
    flowControl = flow;
}

int CommLink::ReadByte() {
    if (abortRequested.load()) return -1;
    while (receiveCount == 0) {
        if (!FillReceiveBuffer()) return -1;
    }
    uint8_t byte = receiveBuffer[receiveIndex++];
    if (--receiveCount == 0) receiveIndex = 0;
    return byte;
}

int CommLink::OpenFailed(OpenStep step, int error) {
    openFailure.step = step;
    openFailure.error = error;
    return 0;
}

namespace {

// On the error stream, once: what the abort line alone does not say.
void ExplainLineFailure(int error) {
    static bool explained = false;
    if (std::exchange(explained, true)) return;
    if (error == CommLink::kHungUp)
        ConsoleError(kLineHungUp);
    else if (error != 0)
        ConsoleError(kLineError, std::strerror(error));
}

}  // namespace

void RecordLinkFailure() {
    if (abortRequested.load()) {
        RecordOutcome(Outcome::kInterrupted);
        return;
    }
    ExplainLineFailure(commLink.LineError());
    RecordOutcome(Outcome::kLineFailed);
}

int LinkRead() {
    int byte = commLink.ReadByte();
    if (byte >= 0) return byte;
    RecordLinkFailure();
    return -2;
}

int LinkWrite(int byte) {
    if (commLink.WriteByte(byte)) return 0;
    RecordLinkFailure();
    return -2;
}
