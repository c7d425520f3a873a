#include "framecmp/tally.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace framecmp {

RunTally emptyTally()
{
    RunTally tally{0, 0, 0, -1, false, false, {}, -1, 0};
    std::fill(std::begin(tally.worst), std::end(tally.worst), PlaneWorst{0, -1, 0, -1, 0, 0, -1, 0, 0});
    return tally;
}

static void noteWorst(PlaneWorst& worst, int64_t frame, double mse, int32_t largest)
{
    if (worst.highestMseFrame < 0 || mse > worst.highestMse) {
        worst.highestMse = mse;
        worst.highestMseFrame = frame;
    }
    if (worst.largestFrame < 0 || largest > worst.largest) {
        worst.largest = largest;
        worst.largestFrame = frame;
    }
    worst.mseSum += mse;
}

// A plane's SSIM into its worst; a plane without one leaves it.
static void noteSsim(PlaneWorst& worst, int64_t frame, double ssim)
{
    if (std::isnan(ssim)) {
        return;
    }
    if (worst.lowestSsimFrame < 0 || ssim < worst.lowestSsim) {
        worst.lowestSsim = ssim;
        worst.lowestSsimFrame = frame;
    }
    worst.ssimSum += ssim;
    ++worst.ssimFrames;
}

void noteFrame(RunTally& tally, int planeCount, const FrameResult& result)
{
    for (int p = 0; p < planeCount; ++p) {
        const PlaneResult& plane = result.planes[p];
        noteWorst(tally.worst[p], result.frame, plane.mse, plane.largest);
        noteSsim(tally.worst[p], result.frame, plane.ssim);
    }
    tally.framesDiffering += result.differs ? 1 : 0;
    tally.framesUnknown += result.unknown ? 1 : 0;
}

} // namespace framecmp
