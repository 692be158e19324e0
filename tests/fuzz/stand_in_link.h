// Fuzzing: a stand-in for the serial back end, so that the portable link
// code, the sender and the receiver run in process on bytes, fill sizes and
// failure points a fuzz target chooses. It replaces comm_posix.cpp in the
// fuzz builds only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr size_t kNever = static_cast<size_t>(-1);

struct StandInLine {
    // Receiving: what the device sends, and how many bytes each refill of
    // the receive buffer finds (cycled; 0 is a refill that finds nothing,
    // never twice in a row). Once everything is delivered the line hangs up.
    std::string incoming;
    std::vector<uint32_t> fillSizes = {1};
    // The refill at which Ctrl+C comes, before it delivers anything.
    size_t abortAtFill = kNever;

    // Sending: every byte written, and the write that fails (the line
    // drops, or Ctrl+C when abortOnWrite).
    std::string sent;
    size_t failAtWrite = kNever;
    bool abortOnWrite = false;

    // Bookkeeping of the stand-in.
    size_t delivered = 0;
    size_t fills = 0;
    bool lastFillEmpty = false;

    // Ready for the next run: the link open, no abort, nothing moved.
    void Reset();
};

extern StandInLine standInLine;

// Ready for one transfer: the line reset, the settings as the command line
// "fuzz.bin -MS" or "-MR" would leave them, then binary or text (-T) and
// with or without the header (-N).
void StartTransfer(int mode, bool binary, bool withHeader);
