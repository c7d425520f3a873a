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
#include "framecmp/compare/frame.h"
#include "framecmp/compare/plane.h"
#include "framecmp/compare/psnr.h"
#include "framecmp/compare/result.h"
#include "framecmp/compare/rowkernels.h"
#include "framecmp/compare/ssim.h"
#include "framecmp/input.h"

namespace framecmp {

// A plane equal in both files, its padding clear.
static PlaneResult equalPlane(const Plane& plane, bool ssim)
{
    const double value = ssim ? equalPlaneSsim(plane) : std::nan("");
    return PlaneResult{0, 0, -1, -1, 0, 0, 0, value, -1, -1, 0, 0, false, false, false};
}

FrameResult compareFrame(const Criteria& criteria, const PairLayout& pair, const Buffers& buffers, int64_t frame,
                         SsimBuffers& ssimBuffers, const SampleListing* listing)
{
    const FrameLayout& layout = pair.expected;
    FrameResult result{frame, false, false, false, {}, false, {}};
    // A mask all clear leaves the frame to be compared as without one.
    const uint8_t* mask =
        buffers.mask != nullptr && anySet(buffers.mask, pair.comparedBytes[1]) ? buffers.mask : nullptr;
    // Equal bytes are equal frames when both frames place and code the samples alike; the
    // padding of containers is looked for in one sweep only where lines leave no gaps.
    const size_t extent = pair.comparedBytes[0];
    if (mask == nullptr && pair.sameFrames && std::memcmp(buffers.expected, buffers.actual, extent) == 0 &&
        (pair.expectedCoding.paddingMask == 0 ||
         (extent == layout.frameSize &&
          !framePadded(buffers.expected, layout.frameSize, pair.expectedCoding.paddingMask)))) {
        for (int p = 0; p < std::min(layout.planeCount, 3); ++p) {
            result.planes[p] = equalPlane(layout.planes[p], criteria.ssim);
        }
        return result;
    }
    const int32_t depth = pair.expectedCoding.depth;
    for (int p = 0; p < layout.planeCount; ++p) {
        const Criteria judged = criteriaOf(criteria, p);
        const PlaneTally tally =
            comparePlane(p, pair, judged.tolerance, buffers.expected, buffers.actual, mask, buffers, frame, listing);
        const double mse = meanSquare(tally, layout.planes[p]);
        const double ssim =
            criteria.ssim ? planeSsim(p, pair, buffers.expected, buffers.actual, ssimBuffers) : std::nan("");
        PlaneResult plane{tally.failing,
                          tally.unknown,
                          tally.firstUnknownX,
                          tally.firstUnknownY,
                          tally.padded,
                          tally.largest,
                          mse,
                          ssim,
                          tally.firstX,
                          tally.firstY,
                          tally.firstExpected,
                          tally.firstActual,
                          belowFloor(mse, depth, judged.psnrFloor),
                          belowSsimMin(ssim, judged),
                          false};
        // Without -t, -p or --ssim-min alone decide: failing samples are counted but only
        // padding fails. Under --ssim-min, a plane too small for SSIM is held to the
        // tolerance instead.
        const bool samplesDecide = judged.toleranceGiven || (judged.psnrFloor < 0 && judged.ssimMin < 0) ||
                                   (judged.ssimMin >= 0 && underSsimWindow(layout.planes[p]));
        plane.reasons =
            static_cast<uint8_t>((samplesDecide && tally.failing != tally.unknown ? failSamples : 0) |
                                 (plane.belowFloor ? failPsnr : 0) | (plane.belowSsimMin ? failSsim : 0) |
                                 (tally.padded != 0 ? failPadding : 0) | (tally.unknown != 0 ? failUnknown : 0));
        plane.fails = plane.reasons != 0;
        result.planes[p] = plane;
        result.differs = result.differs || tally.largest != 0 || tally.padded != 0 || tally.unknown != 0;
        result.unknown = result.unknown || tally.unknown != 0;
        result.fails = result.fails || plane.fails;
    }
    return result;
}

} // namespace framecmp
