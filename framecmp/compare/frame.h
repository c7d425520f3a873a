#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"
#include "framecmp/compare/coding.h"
#include "framecmp/compare/result.h"
#include "framecmp/compare/ssim.h"
#include "framecmp/diagnosis/displacement.h"
#include "framecmp/input.h"
#include "framecmp/options.h"

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
};

// What the frame loop carries from one frame to the next: SSIM's sums, the latest frame's
// results for the reports, the displacements found.
struct FrameWork {
    SsimBuffers ssimBuffers;
    FrameResult result;
    Diagnosis diagnosis;
};

void noteSsim(RunTally& run, int planeCount, const FrameResult& result);

bool compareFrame(const Settings& settings, const Geometry& geometry, const Buffers& buffers, int64_t frame,
                  RunTally& run, FrameWork& work);

} // namespace framecmp
