#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "framecmp/compare/coding.h"
#include "framecmp/diagnosis/bus.h"

namespace framecmp {

// A sample as the bus carries it: the value in the low bits and, at 9 to 15 bits, the
// padding above it, as at 16 (an LSB-aligned container as it is), so that bytes displaced by
// an odd count still match.
static uint32_t busWord(uint32_t container, const SampleCoding& coding)
{
    return ((container >> coding.shift) | (container << (16U - coding.shift))) & 0xffffU;
}

// A frame's values in bus order, as a trace carries them: the luma plane, then the chroma
// samples interleaved U, V, each value in one byte or, above 8 bits, two little-endian.
static void fillBus(const FrameLayout& layout, const SampleCoding& coding, const uint8_t* frame,
                    std::vector<uint8_t>& bus)
{
    bus.resize(layout.frameSize);
    size_t at = 0;
    const auto append = [&](const Plane& plane, int32_t x, int32_t y) {
        const uint32_t value = busWord(containerAt(frame + sampleOffset(plane, x, y), 0, layout.sampleBytes), coding);
        bus[at++] = static_cast<uint8_t>(value);
        if (layout.sampleBytes == 2) {
            bus[at++] = static_cast<uint8_t>(value >> 8U);
        }
    };
    const Plane& luma = layout.planes[0];
    for (int32_t y = 0; y < luma.height; ++y) {
        for (int32_t x = 0; x < luma.width; ++x) {
            append(luma, x, y);
        }
    }
    if (layout.planeCount == 3) {
        for (int32_t y = 0; y < layout.planes[1].height; ++y) {
            for (int32_t x = 0; x < layout.planes[1].width; ++x) {
                append(layout.planes[1], x, y);
                append(layout.planes[2], x, y);
            }
        }
    }
}

// Whether a frame's bytes are its values in bus order already: 8-bit samples, the luma
// plane's rows one after another, then the chroma's U, V pairs (gray, nv12, nv16, nv24).
static bool holdsBusOrder(const FrameLayout& layout)
{
    const Plane& luma = layout.planes[0];
    const size_t lumaBytes = static_cast<size_t>(luma.width) * static_cast<size_t>(luma.height);
    if (layout.sampleBytes != 1 || luma.offset != 0 || luma.step != 1 ||
        luma.rowStride != static_cast<size_t>(luma.width)) {
        return false;
    }
    if (layout.planeCount == 1) {
        return layout.frameSize == lumaBytes;
    }
    const Plane& u = layout.planes[1];
    const Plane& v = layout.planes[2];
    const size_t rowBytes = 2 * static_cast<size_t>(u.width);
    return u.offset == lumaBytes && v.offset == lumaBytes + 1 && u.step == 2 && v.step == 2 &&
           u.rowStride == rowBytes && v.rowStride == rowBytes &&
           layout.frameSize == lumaBytes + rowBytes * static_cast<size_t>(u.height);
}

// A frame in bus order: the frame itself when it holds that order, else a copy in `bus`.
static const uint8_t* busOrder(const FrameLayout& layout, const SampleCoding& coding, const uint8_t* frame,
                               std::vector<uint8_t>& bus)
{
    if (holdsBusOrder(layout)) {
        return frame;
    }
    fillBus(layout, coding, frame, bus);
    return bus.data();
}

BusPlace busPlace(const FrameLayout& layout, size_t sample)
{
    const auto lumaWidth = static_cast<size_t>(layout.planes[0].width);
    const size_t lumaSamples = lumaWidth * static_cast<size_t>(layout.planes[0].height);
    if (sample < lumaSamples) {
        return BusPlace{0, static_cast<int32_t>(sample % lumaWidth), static_cast<int32_t>(sample / lumaWidth)};
    }
    const size_t chroma = sample - lumaSamples;
    const auto width = static_cast<size_t>(layout.planes[1].width);
    return BusPlace{1 + static_cast<int>(chroma % 2), static_cast<int32_t>(chroma / 2 % width),
                    static_cast<int32_t>(chroma / 2 / width)};
}

// The bus sample of (x, y) of a plane: the inverse of busPlace.
size_t busSampleOf(const FrameLayout& layout, int planeIndex, int32_t x, int32_t y)
{
    const Plane& plane = layout.planes[planeIndex];
    const size_t inPlane = static_cast<size_t>(y) * static_cast<size_t>(plane.width) + static_cast<size_t>(x);
    if (planeIndex == 0) {
        return inPlane;
    }
    const size_t lumaSamples =
        static_cast<size_t>(layout.planes[0].width) * static_cast<size_t>(layout.planes[0].height);
    return lumaSamples + 2 * inPlane + static_cast<size_t>(planeIndex - 1);
}

uint32_t wordOnBus(const FrameLayout& layout, const SampleCoding& coding, const uint8_t* frame, size_t sample)
{
    const BusPlace place = busPlace(layout, sample);
    const uint8_t* at = frame + sampleOffset(layout.planes[place.plane], place.x, place.y);
    return busWord(containerAt(at, 0, layout.sampleBytes), coding);
}

BusView busView(const PairLayout& pair, const Buffers& buffers, int32_t tolerance)
{
    const size_t sampleBytes = pair.expected.sampleBytes;
    return BusView{&pair,
                   &buffers,
                   {nullptr, nullptr},
                   pair.expected.frameSize / sampleBytes,
                   sampleBytes,
                   pair.expectedCoding.valueMask,
                   tolerance};
}

void orderBus(BusView& view, std::vector<uint8_t> copies[2])
{
    const PairLayout& g = *view.pair;
    view.ordered[0] = busOrder(g.expected, g.expectedCoding, view.buffers->expected, copies[0]);
    view.ordered[1] = busOrder(g.actual, g.actualCoding, view.buffers->actual, copies[1]);
}

} // namespace framecmp
