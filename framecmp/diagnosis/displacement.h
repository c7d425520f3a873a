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

// A displacement claimed: from the sample (plane, x, y) of `frame` on, ACTUAL is EXPECTED
// `bytes` bytes of bus order early (lost) or late (extra).
struct Displacement {
    int64_t frame;
    char plane;
    int32_t x;
    int32_t y;
    int32_t bytes;
    bool lost;
};

// The displacements claimed, one for each run of frames that keep one, and the probes that
// come before the search.
struct Diagnosis {
    std::vector<Displacement> displacements;
    int64_t runLast;            // the last frame of the latest displacement's run; -1 when none is open
    std::vector<size_t> probes; // bus samples
};

void closeDisplacementRun(const Settings& settings, Diagnosis& diagnosis);

std::string diagnoseFrame(const Settings& settings, const Geometry& geometry, const Buffers& buffers,
                          const FrameResult& result, Diagnosis& diagnosis);

} // namespace framecmp
