// Fuzz target: the S-record reader on any bytes.
#include <cstddef>
#include <cstdint>

#include "fuzz_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CheckImage(ReadSRecord(data, size));
    return 0;
}
