// The points the plot keeps: pairs merge past its limit, each keeping its lowest values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"

namespace framecmp {

// A value the plot draws and the frame it stands at, counted from the first compared. NaN
// when there is none.
struct PlotValue {
    float value;
    int64_t at;
};

// What the plot keeps of a run of frames (one frame until the plot thins): the lowest PSNR
// (infinite for an equal plane) and the lowest SSIM of each plane, and the first failing
// frame (-1 when none fails).
struct PlotPoint {
    PlotValue psnr[3];
    PlotValue ssim[3];
    int64_t failingAt;
};

PlotPoint mergePoints(const PlotPoint& a, const PlotPoint& b);

} // namespace framecmp
