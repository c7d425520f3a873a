#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "framecmp/report/plotpoints.h"

namespace framecmp {

// The lower of two values, the earlier of equal ones; NaN is no value.
static PlotValue lowerValue(const PlotValue& a, const PlotValue& b)
{
    return std::isnan(b.value) || (!std::isnan(a.value) && a.value <= b.value) ? a : b;
}

// One point for the frames of two, `a` the earlier.
PlotPoint mergePoints(const PlotPoint& a, const PlotPoint& b)
{
    PlotPoint merged{{}, {}, a.failingAt >= 0 ? a.failingAt : b.failingAt};
    for (int p = 0; p < 3; ++p) {
        merged.psnr[p] = lowerValue(a.psnr[p], b.psnr[p]);
        merged.ssim[p] = lowerValue(a.ssim[p], b.ssim[p]);
    }
    return merged;
}

} // namespace framecmp
