// A frame pair in bus order, as a trace carries it: the one view the search for a lost or
// extra bus word reads, and where a bus sample stands in the planes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"
#include "framecmp/compare/coding.h"
#include "framecmp/input.h"

namespace framecmp {

// Whether two bus words fail against each other: values beyond the tolerance, or padding.
inline bool wordsFail(uint32_t expected, uint32_t actual, uint32_t valueMask, int32_t tolerance)
{
    return ((expected | actual) & ~valueMask) != 0 ||
           std::abs(static_cast<int32_t>(expected) - static_cast<int32_t>(actual)) > tolerance;
}

// Whether ACTUAL's bus word is the displaced one of EXPECTED: the same bytes, padding and
// all, or values within the tolerance with no padding in either.
inline bool wordExplained(uint32_t actual, uint32_t displaced, uint32_t valueMask, int32_t tolerance)
{
    return actual == displaced || !wordsFail(displaced, actual, valueMask, tolerance);
}

// A frame pair as a trace carries it, a sample a time: read where the files hold the frames,
// or, once orderBus has made them for the search, from copies in bus order. Both give the
// same words, and busFails the one answer to "does this sample fail".
struct BusView {
    const PairLayout* pair;
    const Buffers* buffers;
    const uint8_t* ordered[2]; // EXPECTED and ACTUAL in bus order; null until orderBus
    size_t samples;            // of each frame
    size_t sampleBytes;        // 1 or 2
    uint32_t valueMask;
    int32_t tolerance;
};

BusView busView(const PairLayout& pair, const Buffers& buffers, int32_t tolerance);

// The frames in bus order: the frames themselves when they hold that order, else copies
// made in `copies`, which must outlive the view's use of them.
void orderBus(BusView& view, std::vector<uint8_t> copies[2]);

// The bus word of sample `sample` of a frame where the file holds it.
uint32_t wordOnBus(const FrameLayout& layout, const SampleCoding& coding, const uint8_t* frame, size_t sample);

// The bus word of sample `sample` of EXPECTED (file 0) or ACTUAL (file 1).
inline uint32_t busWordAt(const BusView& view, size_t file, size_t sample)
{
    if (view.ordered[file] != nullptr) {
        return containerAt(view.ordered[file], sample, view.sampleBytes);
    }
    const PairLayout& g = *view.pair;
    return file == 0 ? wordOnBus(g.expected, g.expectedCoding, view.buffers->expected, sample)
                     : wordOnBus(g.actual, g.actualCoding, view.buffers->actual, sample);
}

// Whether sample `sample` fails on the bus: values beyond the tolerance, or padding.
inline bool busFails(const BusView& view, size_t sample)
{
    return wordsFail(busWordAt(view, 0, sample), busWordAt(view, 1, sample), view.valueMask, view.tolerance);
}

// Where bus sample `sample` stands: its plane and position in it.
struct BusPlace {
    int plane;
    int32_t x;
    int32_t y;
};

BusPlace busPlace(const FrameLayout& layout, size_t sample);

size_t busSampleOf(const FrameLayout& layout, int planeIndex, int32_t x, int32_t y);

} // namespace framecmp
