// The search for a lost or extra bus word in a failing frame, and the runs of frames that
// keep one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"
#include "framecmp/compare/coding.h"
#include "framecmp/compare/result.h"
#include "framecmp/input.h"
#include "framecmp/options.h"

namespace framecmp {

// A displacement kept by the frames from its own to `last`.
struct DisplacementRun {
    Displacement first;
    int64_t last;
};

// The displacements claimed, one for each run of frames that keep one, and the probes that
// come before the search.
struct Diagnosis {
    std::vector<Displacement> displacements;
    std::vector<DisplacementRun> finishedRuns; // closed runs of more than one frame, not yet said
    int64_t runLast;                           // the last frame of the latest displacement's run; -1 when none is open
    std::vector<size_t> probes;                // bus samples
};

void closeDisplacementRun(Diagnosis& diagnosis);

void diagnoseFrame(const Criteria& criteria, const PairLayout& pair, const Buffers& buffers, FrameResult& result,
                   Diagnosis& diagnosis);

} // namespace framecmp
