// One plane of a frame pair compared row by row through the row kernels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"
#include "framecmp/compare/coding.h"
#include "framecmp/input.h"
#include "framecmp/options.h"

namespace framecmp {

// What one plane of one frame pair shows. The first failing sample keeps its containers.
// Unknown samples (a mask not zero) fail whatever their values, and are among `failing`.
struct PlaneTally {
    uint64_t failing;
    uint64_t unknown;
    int32_t firstUnknownX; // -1 when no sample is unknown
    int32_t firstUnknownY;
    uint64_t padded;
    uint64_t sumOfSquares;
    int32_t largest;
    int32_t firstX;
    int32_t firstY;
    uint32_t firstExpected;
    uint32_t firstActual;
};

// A failing sample as -l lists it, handed to the listing as it is found.
struct FailingSample {
    int64_t frame;
    char plane;
    int32_t x;
    int32_t y;
    uint32_t expected; // containers
    uint32_t actual;
    bool unknown;
};

using SampleListing = std::function<void(const FailingSample&)>;

// Whether any byte is set.
bool anySet(const uint8_t* data, size_t size);

// A plane's tally before its first row.
PlaneTally emptyPlaneTally();

// Compares row `y` of one plane, each file's from where `rowStarts` says it starts (EXPECTED,
// ACTUAL and the mask, null when none is), in pieces the row kernels take, adding what it
// shows to `tally`.
void comparePlaneRow(int planeIndex, const PairLayout& pair, int32_t tolerance, const uint8_t* const rowStarts[3],
                     const Buffers& buffers, int64_t frame, const SampleListing* listing, int32_t y, PlaneTally& tally);

// Compares rows `firstRow` to `endRow` (not included) of one plane of `frames` (EXPECTED,
// ACTUAL and the mask, null when none is), adding what they show to `tally`: a plane
// compared a few rows at a time tallies as one compared whole.
void comparePlaneRows(int planeIndex, const PairLayout& pair, int32_t tolerance, const uint8_t* const frames[3],
                      const Buffers& buffers, int64_t frame, const SampleListing* listing, int32_t firstRow,
                      int32_t endRow, PlaneTally& tally);

// Compares one plane of two frames; every failing sample goes to `listing` when there is one.
// `maskFrame`, laid out as ACTUAL, marks unknown samples; null when none is.
PlaneTally comparePlane(int planeIndex, const PairLayout& pair, int32_t tolerance, const uint8_t* expectedFrame,
                        const uint8_t* actualFrame, const uint8_t* maskFrame, const Buffers& buffers, int64_t frame,
                        const SampleListing* listing);

} // namespace framecmp
