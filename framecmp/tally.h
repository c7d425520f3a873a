// What a run keeps of the frames it compared: counts and each plane's worst.
#pragma once

#include <cstdint>

#include "framecmp/compare/result.h"

namespace framecmp {

// A plane's worst over the clip: its highest MSE (lowest PSNR), its largest difference, and
// the sum of its MSEs for the average; with --ssim, its lowest SSIM and the sum and count of
// the SSIMs for their mean (none for a plane smaller than 8x8).
struct PlaneWorst {
    double highestMse;
    int64_t highestMseFrame;
    int32_t largest;
    int64_t largestFrame;
    double mseSum;
    double lowestSsim;
    int64_t lowestSsimFrame; // -1 while the plane has no SSIM
    double ssimSum;
    int64_t ssimFrames;
};

struct RunTally {
    int64_t framesCompared;
    int64_t framesDiffering; // with any difference, failing or not
    int64_t framesFailing;
    int64_t firstFailing;
    bool stopped;
    bool pictureWritten;
    PlaneWorst worst[3];
    int64_t lastFailing;
    int64_t framesUnknown; // with an unknown sample
};

// A tally before the first frame.
RunTally emptyTally();

// A compared frame into the tally: its planes' worst, and whether it differs. The caller
// counts it compared and failing.
void noteFrame(RunTally& tally, int planeCount, const FrameResult& result);

} // namespace framecmp
