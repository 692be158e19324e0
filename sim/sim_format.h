// velta-sim: what travels on the line — the 16-byte transfer header and the
// CRC-32 (IEEE 802.3, the zlib and PNG one) that reports name the data by.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "../src/crc32.h"

namespace sim {

constexpr size_t kHeaderSize = 16;
constexpr uint8_t kMagic[3] = {0xFF, 0xFE, 0x4D};
constexpr uint8_t kEndOfText = 0x1A;
constexpr uint8_t kXon = 0x11;
constexpr uint8_t kXoff = 0x13;
constexpr uint32_t kImageSize = 0x10000;

using Header = std::array<uint8_t, kHeaderSize>;

// Magic, totalSize (24-bit little-endian, header included) at 3, load
// address at 8, run address at 12; the reserved bytes are zero.
inline Header BuildHeader(uint32_t totalSize, uint16_t load, uint16_t run) {
    Header h{};
    h[0] = kMagic[0];
    h[1] = kMagic[1];
    h[2] = kMagic[2];
    h[3] = totalSize & 0xFF;
    h[4] = (totalSize >> 8) & 0xFF;
    h[5] = (totalSize >> 16) & 0xFF;
    h[8] = load & 0xFF;
    h[9] = load >> 8;
    h[12] = run & 0xFF;
    h[13] = run >> 8;
    return h;
}

inline uint32_t HeaderTotalSize(const uint8_t* h) { return h[3] | h[4] << 8 | uint32_t(h[5]) << 16; }
inline uint16_t HeaderLoad(const uint8_t* h) { return static_cast<uint16_t>(h[8] | h[9] << 8); }
inline uint16_t HeaderRun(const uint8_t* h) { return static_cast<uint16_t>(h[12] | h[13] << 8); }
inline bool HasMagic(const uint8_t* h) { return h[0] == kMagic[0] && h[1] == kMagic[1] && h[2] == kMagic[2]; }

// The same CRC-32 as velta's, so that the two reports can be compared.
using ::Crc32;

}  // namespace sim
