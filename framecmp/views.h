// Frames of regular files compared where the system already holds them: each frame pair is
// mapped from the files' pages instead of copied into the frame buffers, which are then
// never touched (at 8K, two 100 MB buffers the system would first clear).
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "framecmp/compare/coding.h"
#include "framecmp/input.h"

namespace framecmp {

// The frame pair mapped now: where each mapping starts and its length, and the frame
// buffer each stands in for while it lasts (null when nothing is mapped).
struct FrameViews {
    void* start[2];
    size_t length[2];
    uint8_t* owned[2];
};

// Maps the next frame of both files, which stand at `at`, in place of their frame buffers,
// and moves both past it; `got` says a whole frame of each. False, with nothing changed,
// when either cannot be: a frame held by --align or not whole in its file, or a system that
// cannot map it.
bool viewFrames(const Input inputs[2], const PairLayout& pair, const Readahead& readahead, const off_t at[2],
                Buffers& buffers, FrameViews& views, size_t got[2]);

// The file (0 EXPECTED, 1 ACTUAL) whose mapped pages were lost under the run since the
// views were made (it shrank), or -1. The comparison read zeros in their place.
int lostView(const FrameViews& views);

// Ends the views: the frame buffers back in place, the mappings gone; a view lost is
// trouble.
void endViews(const Input inputs[2], Buffers& buffers, FrameViews& views);

// Lets a view of a file that shrinks under the run read as zeros, and say so to lostView,
// instead of ending the run with SIGBUS. Once, before the first view.
void catchLostViews();

} // namespace framecmp
