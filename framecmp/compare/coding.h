#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"
#include "framecmp/options.h"

namespace framecmp {

// How one file's samples are read: the value is (container >> shift) & valueMask, and the
// bits of paddingMask must be zero.
struct Coding {
    uint32_t shift;
    uint32_t valueMask;
    uint32_t paddingMask;
    int32_t depth;
};

// The two files' frames: their layouts (same planes and frame size, the samples possibly
// elsewhere) and codings.
struct Geometry {
    FrameLayout expected;
    FrameLayout actual;
    Coding expectedCoding;
    Coding actualCoding;
    bool sameFormat;
};

Geometry makeGeometry(const Options& options);

uint32_t containerAt(const uint8_t* row, size_t i, size_t sampleBytes);

int32_t valueOf(uint32_t container, const Coding& coding);

bool paddingSet(uint32_t container, const Coding& coding);

bool sampleFails(uint32_t expected, uint32_t actual, const Coding codings[2], int32_t tolerance);

void gatherRow(const uint8_t* from, size_t step, size_t sampleBytes, size_t length, uint8_t* to);

size_t sampleOffset(const Plane& plane, int32_t x, int32_t y);

} // namespace framecmp
