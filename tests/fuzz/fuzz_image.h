// Fuzz targets of the three image readers: whatever the bytes, a reader
// gives an image that the 16-bit header can carry, or a fault and no image.
#pragma once

#include <cstdlib>

#include "image.h"

inline void CheckImage(const ImageResult& r) {
    const LoadImage& image = r.image;
    if (!r.ok()) {
        if (!image.bytes.empty()) std::abort();
        return;
    }
    if (image.bytes.empty() || image.base + image.bytes.size() > kImageLimit) std::abort();
    if (image.gapBytes >= image.bytes.size()) std::abort();  // the first and last bytes are data
}
