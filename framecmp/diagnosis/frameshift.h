// The search for a dropped, inserted or repeated frame: from a failing frame on, ACTUAL's
// frames are EXPECTED's one or two frames early or late.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <sys/types.h>

#include "framecmp/compare/coding.h"
#include "framecmp/compare/result.h"
#include "framecmp/compare/ssim.h"
#include "framecmp/input.h"
#include "framecmp/options.h"

namespace framecmp {

// A frame shift claimed holds for at least this many frame pairs compared in full, unless
// a file ends first.
constexpr int shiftLeast = 3;

// The largest shift looked for, in frames.
constexpr int32_t shiftReach = 2;

// Where a frame pair read from two regular files starts in each, to be read again.
struct FramePlace {
    Input files[2];
    off_t at[2];
};

// The search's memory: a probe (a luma row piece) of each file's last two frames; the run
// of failing frames and its frame pair before the current one; and the candidate shift,
// with, for a shift of two frames, the frame before that of the file it is checked against.
// With the frame pair compared, at most five frames.
struct ShiftSearch {
    std::vector<int32_t> probes[2][shiftReach]; // [file][age]: age 0 is the frame before
    bool previousFailed;
    int64_t streakStart;  // the first failing frame of the latest run of them
    bool repeatedAtStart; // ACTUAL's first failing frame probed alike to the frame before
    // The frame pair before, when it failed: the loop's own frame buffers, taken in turn
    // (the next frames are read into the ones these held), so that keeping costs no copy.
    uint8_t* previous[2];
    size_t previousCapacity[2];
    // Or, where it came from regular files, kept by its place and read into `previous`
    // only when a check needs it: a run of failing frames unlike their neighbours, the
    // most common, then touches no memory for them (at 8K, 100 MB a frame pair).
    FramePlace previousPlace;
    bool previousUnread;
    uint8_t* previousWords[2];  // a word-packed file's frame read again, to be unpacked
    int64_t previousFrame;      // its number; -1 when none is kept
    std::vector<uint8_t> older; // the frame before that, of the candidate's file
    int64_t olderFrame;         // its number; -1 when none is kept
    int32_t shift;              // the candidate's frames, positive when ACTUAL is late; 0 when none
    int64_t start;              // the candidate's first frame
    int64_t last;               // its last frame pair found alike in full
    int confirmed;              // frame pairs found alike in full
    std::vector<FrameShift> claimed;
    std::vector<FrameShift> unsaid; // claimed, their line not yet said
};

ShiftSearch makeShiftSearch();

// The row of the first plane a frame's probe is taken from.
int32_t probeRow(const Plane& plane);

// Follows frame `frame`, compared and found failing or not: checks the candidate against
// it, and on a failing frame with no candidate probes for one.
void followFrame(ShiftSearch& search, const Criteria& criteria, const PairLayout& pair, Buffers& buffers, int64_t frame,
                 bool fails, SsimBuffers& ssimBuffers);

// After frame `frame` is done with (compared, searched, reported and drawn): keeps its frame
// pair while frames fail, for the next frames' checks: by its place in the files where
// `place` gives one, else by taking the loop's frame buffers and giving it the ones the
// pair before held.
void keepFramePair(ShiftSearch& search, const PairLayout& pair, Buffers& buffers, int64_t frame, bool fails,
                   const FramePlace* place);

// Frees the frames kept.
void releaseShiftSearch(ShiftSearch& search);

// After the last frame: a candidate still open is claimed when it held for shiftLeast frame
// pairs, or for one when a file ended (`ended`).
void finishShiftSearch(ShiftSearch& search, bool ended);

} // namespace framecmp
