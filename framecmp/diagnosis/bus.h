#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"
#include "framecmp/compare/coding.h"
#include "framecmp/input.h"

namespace framecmp {

bool wordsFail(uint32_t expected, uint32_t actual, uint32_t valueMask, int32_t tolerance);

bool wordExplained(uint32_t actual, uint32_t displaced, uint32_t valueMask, int32_t tolerance);

const uint8_t* busOrder(const FrameLayout& layout, const Coding& coding, const uint8_t* frame,
                        std::vector<uint8_t>& bus);

// The frame pair in bus order, as the search reads it.
struct Bus {
    const uint8_t* expected;
    const uint8_t* actual;
    size_t bytes;       // of each
    size_t sampleBytes; // 1 or 2
    uint32_t valueMask;
    int32_t tolerance;
};

bool busFails(const Bus& bus, size_t sample);

// Where bus sample `sample` stands: its plane and position in it.
struct BusPlace {
    int plane;
    int32_t x;
    int32_t y;
};

BusPlace busPlace(const FrameLayout& layout, size_t sample);

size_t busSampleOf(const FrameLayout& layout, int planeIndex, int32_t x, int32_t y);

// A frame pair where the files hold it, read a sample at a time in bus order: no copy of the
// frames is made until a displacement looks likely.
struct PairOnBus {
    const Geometry* geometry;
    const Buffers* buffers;
    size_t samples;
    int32_t tolerance;
};

uint32_t wordOnBus(const FrameLayout& layout, const Coding& coding, const uint8_t* frame, size_t sample);

bool failsOnBus(const PairOnBus& pair, size_t sample);

} // namespace framecmp
