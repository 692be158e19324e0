// transfer: the 16-byte transfer header, the sender and the receiver.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr uint32_t kHeaderSize = 16;
// totalSize has 24 bits: header and data together can be no longer.
constexpr uint32_t kMaxTotalSize = 0xFFFFFF;
constexpr uint32_t kBlockSize = 16384;

// Layout, little-endian: FF FE 4D, totalSize (3 bytes: header + data), 2
// reserved, load address (2), 2 reserved, run address (2), 2 reserved.
struct TransferHeader {
    uint8_t bytes[kHeaderSize];

    static TransferHeader Build(uint32_t dataLength, uint32_t loadAddress, uint32_t runAddress);
    uint32_t TotalSize() const { return bytes[3] | bytes[4] << 8 | uint32_t(bytes[5]) << 16; }
    uint32_t LoadAddress() const { return bytes[8] | bytes[9] << 8; }
    uint32_t RunAddress() const { return bytes[12] | bytes[13] << 8; }
    void SetLoadAddress(uint32_t address);
};

// 0 if the file (positioned at its start, `length` bytes long) begins with a
// header's magic, -1 otherwise. Reads at most three bytes.
int DetectHeader(FILE* file, uint32_t length);

// What a send puts on the line, settled from the file before the port is
// opened, so that a file that cannot be sent never touches the port.
struct SendPlan {
    uint64_t length = 0;    // the file's length
    bool stored = false;    // binary: the file begins with a header of its own
    TransferHeader header{};  // binary: the header shown, and sent unless -N
    uint32_t size = 0;      // binary: the count of bytes to send, header included
};

// Checks that the open file may be sent and reads what its send needs; false,
// with the refusal printed and recorded, when it may not.
bool PlanSend(FILE* file, SendPlan* plan);

// Sends the planned file; 0 when complete (every byte has left the line),
// -1 when aborted or failed.
int SendFile(FILE* file, const SendPlan& plan);

// Receives into the open file; 0 when complete, -1 when aborted or failed.
int ReceiveFile(FILE* file);

// Received bytes collect here and go to the file a whole block at a time.
extern uint8_t BlockBuffer[kBlockSize];
extern uint32_t blockFill;

// Next byte from the link, appended to BlockBuffer; -1 on failure.
int ReceiveByte(FILE* file);
