// transfer: the header that leads every binary transfer, on the line and at
// the start of stored binary files.
#include "transfer.h"

#include <initializer_list>

TransferHeader TransferHeader::Build(uint32_t dataLength, uint32_t loadAddress, uint32_t runAddress) {
    TransferHeader h = {{0xFF, 0xFE, 0x4D}};
    uint32_t total = dataLength + kHeaderSize;  // only 24 bits survive
    h.bytes[3] = static_cast<uint8_t>(total);
    h.bytes[4] = static_cast<uint8_t>(total >> 8);
    h.bytes[5] = static_cast<uint8_t>(total >> 16);
    h.SetLoadAddress(loadAddress);
    h.SetRunAddress(runAddress);
    return h;
}

void TransferHeader::SetLoadAddress(uint32_t address) {
    bytes[8] = static_cast<uint8_t>(address);
    bytes[9] = static_cast<uint8_t>(address >> 8);
}

void TransferHeader::SetRunAddress(uint32_t address) {
    bytes[12] = static_cast<uint8_t>(address);
    bytes[13] = static_cast<uint8_t>(address >> 8);
}

int DetectHeader(FILE* file, uint32_t length) {
    if (length < kHeaderSize) return -1;
    for (int magic : {0xFF, 0xFE, 0x4D})
        if (std::fgetc(file) != magic) return -1;
    return 0;
}
