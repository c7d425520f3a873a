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

#include "framecmp/compare/coding.h"
#include "framecmp/compare/ssim.h"
#include "framecmp/compare/ssimsums.h"
#include "framecmp/options.h"

namespace framecmp {

// The block sums of block row `z` of a plane: straight from the frames when the samples are
// bytes side by side, else from four gathered rows of values.
static void blockRowSums(int planeIndex, const PairLayout& pair, const uint8_t* expectedFrame,
                         const uint8_t* actualFrame, int32_t z, SsimBuffers& ssim, BlockSums* sums)
{
    const Plane& expectedPlane = pair.expected.planes[planeIndex];
    const Plane& actualPlane = pair.actual.planes[planeIndex];
    const size_t blocks = static_cast<size_t>(expectedPlane.width / ssimBlock);
    const size_t width = blocks * ssimBlock;
    const size_t bytes = pair.expected.sampleBytes;
    const uint8_t* expected = expectedFrame + sampleOffset(expectedPlane, 0, z * ssimBlock);
    const uint8_t* actual = actualFrame + sampleOffset(actualPlane, 0, z * ssimBlock);
    if (bytes == 1 && expectedPlane.step == 1 && actualPlane.step == 1) {
        blockSums8(expected, expectedPlane.rowStride, actual, actualPlane.rowStride, blocks, sums);
        return;
    }
    if (bytes == 1) {
        for (size_t y = 0; y < ssimBlock; ++y) {
            gatherRow(expected + y * expectedPlane.rowStride, expectedPlane.step, 1, width,
                      ssim.bytes[0].data() + y * width);
            gatherRow(actual + y * actualPlane.rowStride, actualPlane.step, 1, width, ssim.bytes[1].data() + y * width);
        }
        blockSums8(ssim.bytes[0].data(), width, ssim.bytes[1].data(), width, blocks, sums);
        return;
    }
    for (size_t y = 0; y < ssimBlock; ++y) {
        for (size_t x = 0; x < width; ++x) {
            const uint32_t e = containerAt(expected + y * expectedPlane.rowStride + x * expectedPlane.step, 0, 2);
            const uint32_t a = containerAt(actual + y * actualPlane.rowStride + x * actualPlane.step, 0, 2);
            ssim.values[0][y * width + x] = static_cast<uint16_t>(valueOf(e, pair.expectedCoding));
            ssim.values[1][y * width + x] = static_cast<uint16_t>(valueOf(a, pair.actualCoding));
        }
    }
    blockSumsPlain(ssim.values[0].data(), width, ssim.values[1].data(), width, blocks, sums);
}

// The SSIM of one 8x8 window from its sums, with x264's constants scaled to the peak.
static double windowSsim(const BlockSums& w, int64_t c1, int64_t c2)
{
    const int64_t vars = w.ss * 64 - w.s1 * w.s1 - w.s2 * w.s2;
    const int64_t covar = w.s12 * 64 - w.s1 * w.s2;
    return double(2 * w.s1 * w.s2 + c1) * double(2 * covar + c2) /
           (double(w.s1 * w.s1 + w.s2 * w.s2 + c1) * double(vars + c2));
}

// The sum of the SSIM of the windows of two rows of blocks.
static double rowSsim(const BlockSums* above, const BlockSums* below, size_t blocks, int64_t c1, int64_t c2)
{
    double sum = 0;
    for (size_t x = 0; x + 1 < blocks; ++x) {
        const BlockSums w{above[x].s1 + above[x + 1].s1 + below[x].s1 + below[x + 1].s1,
                          above[x].s2 + above[x + 1].s2 + below[x].s2 + below[x + 1].s2,
                          above[x].ss + above[x + 1].ss + below[x].ss + below[x + 1].ss,
                          above[x].s12 + above[x + 1].s12 + below[x].s12 + below[x + 1].s12};
        sum += windowSsim(w, c1, c2);
    }
    return sum;
}

// A plane's SSIM, or NaN for a plane smaller than one 8x8 window.
double planeSsim(int planeIndex, const PairLayout& pair, const uint8_t* expectedFrame, const uint8_t* actualFrame,
                 SsimBuffers& ssim)
{
    const Plane& plane = pair.expected.planes[planeIndex];
    const int32_t blocksX = plane.width / ssimBlock;
    const int32_t blocksY = plane.height / ssimBlock;
    if (blocksX < 2 || blocksY < 2) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    const double peak = std::ldexp(1.0, pair.expectedCoding.depth) - 1;
    const int64_t c1 = std::llround(.01 * .01 * peak * peak * 64);
    const int64_t c2 = std::llround(.03 * .03 * peak * peak * 64 * 63);
    const auto blocks = static_cast<size_t>(blocksX);
    double sum = 0;
    for (int32_t z = 0; z < blocksY; ++z) {
        BlockSums* row = ssim.sums[static_cast<size_t>(z % 2)].data();
        blockRowSums(planeIndex, pair, expectedFrame, actualFrame, z, ssim, row);
        if (z > 0) {
            sum += rowSsim(ssim.sums[static_cast<size_t>((z + 1) % 2)].data(), row, blocks, c1, c2);
        }
    }
    return sum / (double(blocksX - 1) * double(blocksY - 1));
}

bool underSsimWindow(const Plane& plane)
{
    return plane.width < 2 * ssimBlock || plane.height < 2 * ssimBlock;
}

// The SSIM of a plane equal in both files: 1, or NaN when it is too small for a window.
double equalPlaneSsim(const Plane& plane)
{
    return underSsimWindow(plane) ? std::numeric_limits<double>::quiet_NaN() : 1.0;
}

SsimBuffers makeSsimBuffers(const FrameLayout& layout)
{
    const size_t width = static_cast<size_t>(layout.width) + ssimBlock;
    SsimBuffers ssim;
    for (size_t s = 0; s < 2; ++s) {
        ssim.sums[s].resize(width / ssimBlock + 1);
        ssim.bytes[s].resize(layout.sampleBytes == 1 ? ssimBlock * width : 0);
        ssim.values[s].resize(layout.sampleBytes == 2 ? ssimBlock * width : 0);
    }
    return ssim;
}

// Whether an SSIM, to six decimals, is below --ssim-min.
bool belowSsimMin(double ssim, const Criteria& criteria)
{
    return criteria.ssimMin >= 0 && !std::isnan(ssim) && std::llround(ssim * ssimUnits) < criteria.ssimMin;
}

} // namespace framecmp
