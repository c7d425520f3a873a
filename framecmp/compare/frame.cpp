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
#include "framecmp/diagnosis/displacement.h"
#include "framecmp/input.h"
#include "framecmp/options.h"
#include "framecmp/report/text.h"

namespace framecmp {

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

// A frame's SSIMs into the worst of each plane.
void noteSsim(RunTally& run, int planeCount, const FrameResult& result)
{
    for (int p = 0; p < planeCount; ++p) {
        PlaneWorst& worst = run.worst[p];
        const double ssim = result.planes[p].ssim;
        if (std::isnan(ssim)) {
            continue;
        }
        if (worst.lowestSsimFrame < 0 || ssim < worst.lowestSsim) {
            worst.lowestSsim = ssim;
            worst.lowestSsimFrame = result.frame;
        }
        worst.ssimSum += ssim;
        ++worst.ssimFrames;
    }
}

// Compares one frame pair into the run's tally; returns whether it fails, after reporting
// it. A frame whose bytes are the same in both files, and whose padding is clear, passes
// without a look at its planes.
bool compareFrame(const Settings& settings, const Geometry& geometry, const Buffers& buffers, int64_t frame,
                  RunTally& run, FrameWork& work)
{
    const FrameLayout& layout = geometry.expected;
    work.result.frame = frame;
    work.result.fails = false;
    if (geometry.sameFormat && std::memcmp(buffers.expected, buffers.actual, layout.frameSize) == 0 &&
        (geometry.expectedCoding.paddingMask == 0 ||
         !framePadded(buffers.expected, layout.frameSize, geometry.expectedCoding.paddingMask))) {
        for (int p = 0; p < layout.planeCount; ++p) {
            noteWorst(run.worst[p], frame, 0, 0);
            const double ssim = settings.ssim ? equalPlaneSsim(layout.planes[p]) : std::nan("");
            work.result.planes[p] = PlaneResult{0, 0, 0, ssim, -1, -1, false};
        }
        return false;
    }
    // Without -t, -p or --ssim-min alone decide: failing samples are counted but only
    // padding fails.
    const bool samplesDecide = settings.toleranceGiven || (settings.floor < 0 && settings.ssimMin < 0);
    bool differs = false;
    bool fails = false;
    std::string line = "frame " + std::to_string(frame) + ":";
    for (int p = 0; p < layout.planeCount; ++p) {
        const PlaneTally tally = comparePlane(p, geometry, settings, buffers.expected, buffers.actual, buffers, frame);
        const double mse = meanSquare(tally, layout.planes[p]);
        noteWorst(run.worst[p], frame, mse, tally.largest);
        differs = differs || tally.largest != 0 || tally.padded != 0;
        bool planeFails = tally.padded != 0 || (samplesDecide && tally.failing != 0) ||
                          belowFloor(mse, geometry.expectedCoding.depth, settings.floor);
        line += (p == 0 ? " " : "; ") + planeReport(layout.planes[p], tally, mse, geometry, settings);
        const double ssim =
            settings.ssim ? planeSsim(p, geometry, buffers.expected, buffers.actual, work.ssimBuffers) : std::nan("");
        // Under --ssim-min, a plane too small for SSIM is held to the tolerance instead.
        const bool judgedBySamples = settings.ssimMin >= 0 && underSsimWindow(layout.planes[p]);
        planeFails = planeFails || belowSsimMin(ssim, settings) || (judgedBySamples && tally.failing != 0);
        fails = fails || planeFails;
        line += ssimReport(ssim, settings);
        work.result.planes[p] =
            PlaneResult{tally.failing, tally.largest, mse, ssim, tally.firstX, tally.firstY, planeFails};
    }
    if (fails) {
        line += diagnoseFrame(settings, geometry, buffers, work.result, work.diagnosis);
    }
    work.result.fails = fails;
    run.framesDiffering += differs ? 1 : 0;
    if (fails && !settings.quiet && !settings.listSamples) {
        say(line + "\n");
    }
    return fails;
}

} // namespace framecmp
