#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"

namespace framecmp {

// One plane of one frame as the reports give it.
struct PlaneResult {
    uint64_t failing;
    int32_t largest;
    double mse;
    double ssim;    // NaN without --ssim, or for a plane smaller than one 8x8 window
    int32_t firstX; // -1 when no sample fails
    int32_t firstY;
    bool fails; // under every criterion
};

struct FrameResult {
    int64_t frame;
    bool fails;
    PlaneResult planes[3];
};

} // namespace framecmp
