// Fuzz targets of the three image readers, one program each (fuzz_ihex,
// fuzz_srec, fuzz_elf) built from this file with IMAGE_READER naming its
// reader: whatever the bytes, the reader gives an image that the 16-bit
// header can carry, or a fault and no image.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ImageResult r = IMAGE_READER(data, size);
    const LoadImage& image = r.image;
    if (!r.ok()) {
        if (!image.bytes.empty()) std::abort();
        return 0;
    }
    if (image.bytes.empty() || image.base + image.bytes.size() > kImageLimit) std::abort();
    if (image.gapBytes >= image.bytes.size()) std::abort();  // the first and last bytes are data
    return 0;
}
