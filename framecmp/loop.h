// The frame loop: each frame pair read, compared, searched, reported and drawn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"
#include "framecmp/compare/coding.h"
#include "framecmp/compare/frame.h"
#include "framecmp/compare/ssim.h"
#include "framecmp/compare/wordlines.h"
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

// Bytes of each file read at a time when a frame pair is compared as it comes: the bands of
// both stay in the processor's cache until they are compared.
extern size_t frameBandSize;

// Whether both inputs are regular files. Only these are read in bands, alternately: a pipe's
// writer may fill one before the other (a whole frame of EXPECTED, then of ACTUAL) and wait.
bool regularFiles(const Input inputs[2]);

// Whether the frames are compared in bands as they are read: not when the work wants whole
// frames in order (a mask, -l's listing, SSIM) or a frame --align held back comes next.
bool comparesInBands(const Options& options, const Readahead& readahead);

// Reads the next frame of EXPECTED and ACTUAL a band of each at a time, comparing what has
// come of both after each, the lines of word-packed files taken as `words` says; `got`
// says how much of each frame came (less than a frame where a file ended).
void readComparingBands(const Input inputs[2], Buffers& buffers, const PairLayout& pair, const Criteria& criteria,
                        size_t got[2], FrameProgress& progress, WordLines words[2]);

// `inputs` are EXPECTED, ACTUAL and the mask (fd -1 without --unknown).
RunTally compareFiles(const Options& options, const PairLayout& pair, const Input inputs[3], Readahead& readahead,
                      Buffers& buffers, int64_t firstFrame, Remainder rest[2], Reports& reports, LoopState& state);

} // namespace framecmp
