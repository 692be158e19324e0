// Fuzz target: the receiver over the stand-in link. The device sends any
// bytes, the driver hands them over in refills of any size, and the line
// hangs up or Ctrl+C comes at any refill; the file and the result must be
// what a small model of the reception says.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>

#include "fuzz_support.h"
#include "settings.h"
#include "stand_in_link.h"
#include "transfer.h"

namespace {

struct Expected {
    std::string file;
    int result;
};

// The bytes the receiver can have: everything the device sent, or what the
// refills before Ctrl+C delivered (the stand-in's own refill rule, replayed).
std::string Available(const StandInLine& line) {
    if (line.abortAtFill == kNever) return line.incoming;
    size_t delivered = 0;
    bool lastEmpty = false;
    for (size_t fill = 0; fill < line.abortAtFill && delivered < line.incoming.size(); ++fill) {
        size_t size = line.fillSizes[fill % line.fillSizes.size()];
        if (size == 0 && lastEmpty) size = 1;
        lastEmpty = size == 0;
        delivered += std::min<size_t>({size, 4096, line.incoming.size() - delivered});
    }
    return line.incoming.substr(0, delivered);
}

// Binary: a 16-byte header, then exactly the data it announces; with -N the
// file holds the data alone. Text: everything up to the first 0x1A after
// the first byte. Whatever arrived before the line ended is kept.
Expected Model(const std::string& in, bool binary, bool keepHeader) {
    if (in.empty()) return {"", -1};
    if (!binary) {
        const size_t end = in.find('\x1A', 1);
        return end == std::string::npos ? Expected{in, -1} : Expected{in.substr(0, end + 1), 0};
    }
    const std::string header = keepHeader ? in.substr(0, 16) : "";
    if (in.size() < 16) return {header, -1};
    const auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(in[i])); };
    const uint32_t total = byte(3) | byte(4) << 8 | byte(5) << 16;
    if (total < 16) return {header, -1};
    const size_t wanted = total - 16;
    const size_t got = std::min(wanted, in.size() - 16);
    return {header + in.substr(16, got), got == wanted ? 0 : -1};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const bool binary = input.ConsumeBool();
    StartTransfer(2, binary, input.ConsumeBool());
    StandInLine& line = standInLine;
    if (input.ConsumeBool()) line.abortAtFill = input.ConsumeIntegralInRange<size_t>(0, 40);
    line.fillSizes.clear();
    for (int n = input.ConsumeIntegralInRange(1, 4); n > 0; --n)
        line.fillSizes.push_back(input.ConsumeIntegralInRange<uint32_t>(0, 5000));
    // Repeated, so that a short input still makes a stream that fills blocks.
    const int repeat = input.ConsumeIntegralInRange(1, 12);
    const std::string unit = input.ConsumeRemainingBytesAsString();
    for (int i = 0; i < repeat; ++i) line.incoming += unit;

    const Expected expected = Model(Available(line), settings.binaryMode != 0, settings.sendHeader != 0);
    MemoryFile file;
    FILE* stream = file.Open("wb");
    const int result = ReceiveFile(stream);
    std::fclose(stream);
    const std::string got = file.Content();
    FUZZ_EXPECT(result == expected.result, "result %d, model %d", result, expected.result);
    FUZZ_EXPECT(got == expected.file, "file of %zu bytes, model %zu", got.size(), expected.file.size());
    FUZZ_EXPECT(blockFill == 0, "blockFill %u after the reception", blockFill);
    return 0;
}
