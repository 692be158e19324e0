// Fuzz target: header detection and the sender over the stand-in link. Any
// file, with or without a stored header, any -N/-T/-S, and a write that
// fails or is aborted anywhere; the bytes on the line and the result must
// be what a small model of the transmission says.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>

#include "fuzz_support.h"
#include "settings.h"
#include "stand_in_link.h"
#include "transfer.h"

namespace {

struct Expected {
    std::string line;
    int result;
};

uint32_t Byte(const std::string& s, size_t i) { return static_cast<uint8_t>(s[i]); }

std::string MadeHeader(uint32_t total, uint32_t load) {
    const char bytes[16] = {'\xFF', '\xFE', 'M', char(total), char(total >> 8), char(total >> 16), 0, 0,
                            char(load), char(load >> 8), 0, 0, 0, 0, 0, 0};
    return std::string(bytes, 16);
}

// Binary: a file that starts FF FE 4D and is 16 bytes or more carries its
// own header and sends what it announces (refused when the file is shorter
// or the size is below 16); any other file gets a made header. -N sends no
// header: the whole file, or the data the stored header announces. -S
// replaces a stored load address. Text: up to the first 0x1A,
// one added when there is none.
Expected Model(const std::string& file, const TransferSettings& s) {
    if (!s.binaryMode) {
        const size_t end = file.find('\x1A');
        return {end == std::string::npos ? file + '\x1A' : file.substr(0, end + 1), 0};
    }
    const bool stored = file.size() >= 16 && file.compare(0, 3, "\xFF\xFE" "M") == 0;
    if (!stored) return {(s.sendHeader ? MadeHeader(uint32_t(file.size()) + 16, s.loadAddress) : "") + file, 0};
    const uint32_t total = Byte(file, 3) | Byte(file, 4) << 8 | Byte(file, 5) << 16;
    if (total < 16 || file.size() < total) return {"", -1};
    std::string header = file.substr(0, 16);
    if (s.loadAddressGiven) {
        header[8] = char(s.loadAddress);
        header[9] = char(s.loadAddress >> 8);
    }
    return {(s.sendHeader ? header : "") + file.substr(16, total - 16), 0};
}

// A stored header whose size is near the file's (delta), so that the fuzzer
// meets the short, exact and long cases without having to find them.
std::string StoredHeader(size_t dataLength, int delta, uint16_t load, const std::string& reserved) {
    const long total = std::max(0L, long(dataLength) + 16 + delta);
    std::string header = MadeHeader(uint32_t(total), load);
    size_t next = 0;
    for (size_t i : {6, 7, 10, 11, 12, 13, 14, 15})
        if (next < reserved.size()) header[i] = reserved[next++];
    return header;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const bool binary = input.ConsumeBool();
    StartTransfer(1, binary, input.ConsumeBool());
    StandInLine& line = standInLine;
    settings.loadAddressGiven = input.ConsumeBool() ? 1 : 0;
    settings.loadAddress = input.ConsumeIntegral<uint32_t>();
    if (input.ConsumeBool()) {
        line.failAtWrite = input.ConsumeIntegralInRange<size_t>(0, 5000);
        line.abortOnWrite = input.ConsumeBool();
    }
    const bool withHeader = input.ConsumeBool();
    const int delta = input.ConsumeIntegralInRange(-24, 24);
    const uint16_t load = input.ConsumeIntegral<uint16_t>();
    const std::string reserved = input.ConsumeBytesAsString(8);
    std::string content = input.ConsumeRemainingBytesAsString();
    if (withHeader) content = StoredHeader(content.size(), delta, load, reserved) + content;

    Expected expected = Model(content, settings);
    if (expected.line.size() > line.failAtWrite) {
        expected.line.resize(line.failAtWrite);
        expected.result = -1;
    }
    MemoryFile file(content);
    FILE* stream = file.Open("rb");
    SendPlan plan;
    const int result = PlanSend(stream, &plan) ? SendFile(stream, plan) : -1;
    std::fclose(stream);
    FUZZ_EXPECT(result == expected.result, "result %d, model %d", result, expected.result);
    FUZZ_EXPECT(line.sent == expected.line, "%zu bytes on the line, model %zu", line.sent.size(),
                expected.line.size());
    return 0;
}
