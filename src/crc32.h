// The CRC-32 that names the bytes of a transfer: IEEE 802.3, the zlib and
// PNG one (reflected polynomial 0xEDB88320, all ones in and out). velta
// prints it for what went over the line and velta-sim for what it loaded or
// sent, so that the two can be compared; both use this one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Running CRC-32: start from Crc32{}, Add bytes, read Value().
class Crc32 {
public:
    void Add(uint8_t byte) { state_ = Table()[(state_ ^ byte) & 0xFF] ^ (state_ >> 8); }
    void Add(const uint8_t* data, size_t n) {
        for (size_t i = 0; i < n; ++i) Add(data[i]);
    }
    uint32_t Value() const { return ~state_; }

private:
    static const std::array<uint32_t, 256>& Table() {
        static const std::array<uint32_t, 256> table = [] {
            std::array<uint32_t, 256> t{};
            for (uint32_t i = 0; i < 256; ++i) {
                uint32_t c = i;
                for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
                t[i] = c;
            }
            return t;
        }();
        return table;
    }
    uint32_t state_ = 0xFFFFFFFFu;
};
