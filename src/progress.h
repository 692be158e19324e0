// The ten-step progress bar that sender and receiver draw: a frame of ten
// dashes, then an "o" each time another tenth (n / 10, rounded down) of the
// n bytes has moved. Below 10 bytes there is no mark; from 10 to 99 the marks
// may run past the frame, which users have always seen.
#pragma once

#include <cstdint>

class ProgressBar {
public:
    ProgressBar(const char* frame, uint32_t total);
    void Advance();

private:
    uint32_t step;
    uint32_t count = 0;
};
