// Fuzz target: the Intel HEX reader on any bytes.
#include <cstddef>
#include <cstdint>

#include "fuzz_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CheckImage(ReadIntelHex(data, size));
    return 0;
}
