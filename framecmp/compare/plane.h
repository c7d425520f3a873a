#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"
#include "framecmp/compare/coding.h"
#include "framecmp/input.h"
#include "framecmp/options.h"

namespace framecmp {

// What one plane of one frame pair shows. The first failing sample keeps its containers.
struct PlaneTally {
    uint64_t failing;
    uint64_t padded;
    uint64_t sumOfSquares;
    int32_t largest;
    int32_t firstX;
    int32_t firstY;
    uint32_t firstExpected;
    uint32_t firstActual;
};

PlaneTally comparePlane(int planeIndex, const Geometry& geometry, const Settings& settings,
                        const uint8_t* expectedFrame, const uint8_t* actualFrame, const Buffers& buffers,
                        int64_t frame);

} // namespace framecmp
