// The frame loop: each frame pair read, compared, searched, reported and drawn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"
#include "framecmp/bands.h"
#include "framecmp/compare/coding.h"
#include "framecmp/compare/frame.h"
#include "framecmp/compare/ssim.h"
#include "framecmp/diagnosis/displacement.h"
#include "framecmp/diagnosis/frameshift.h"
#include "framecmp/input.h"
#include "framecmp/options.h"
#include "framecmp/report/files.h"
#include "framecmp/report/junit.h"

#include "framecmp/tally.h"
namespace framecmp {

// What the frame loop carries from one frame to the next: SSIM's sums, the latest frame's
// result, the displacements found; with --junit, the first failing frame's line and, with
// --junit-frames, those of the first failing frames and how many more fail; and the whole
// frame's layout, which the picture draws when --crop narrows the one compared.
struct LoopState {
    SsimBuffers ssimBuffers;
    FrameResult result;
    Diagnosis diagnosis;
    std::string firstFailingLine;
    std::vector<JunitFrame> failingLines;
    int64_t moreFailing;
    const PairLayout* wholePair;
    ShiftSearch shifts;
};

// `inputs` are EXPECTED, ACTUAL and the mask (fd -1 without --unknown).
RunTally compareFiles(const Options& options, const PairLayout& pair, const Input inputs[3], Readahead& readahead,
                      Buffers& buffers, int64_t firstFrame, Remainder rest[2], Reports& reports, LoopState& state);

} // namespace framecmp
