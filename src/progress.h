// The ten-step progress bar that sender and receiver draw: a frame of ten
// dashes, then an "o" each time another tenth (n / 10, rounded down) of the
// n bytes has moved. Below 10 bytes there is no mark; from 10 to 99 the marks
// may run past the frame, which users have always seen. With --progress it
// also keeps a line on the error stream up to date (percent, bytes, bit/s,
// time left) and ends with a summary line; on a terminal it shares with
// standard output, beside the bar.
#pragma once

#include <chrono>
#include <cstdint>

class ProgressBar {
public:
    // The marks count `count` bytes; --progress counts the `moving` bytes that
    // will actually move (fewer with -N, where the count keeps the 16 bytes
    // of a header that is not sent).
    ProgressBar(const char* frame, uint32_t count, uint32_t moving);
    ProgressBar(const char* frame, uint32_t count) : ProgressBar(frame, count, count) {}
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;
    void Advance();

private:
    using Clock = std::chrono::steady_clock;
    void Draw(Clock::time_point now);

    uint32_t step;
    uint32_t count = 0;
    // --progress only
    const bool detailed;
    const bool sharedLine;  // standard output draws the bar on the same terminal line
    const uint32_t total;
    uint32_t moved = 0;
    Clock::time_point start;
    Clock::time_point drawn;
};
