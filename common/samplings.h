// The chroma samplings the trace names give.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>

// A chroma sampling as the trace names give it: how many luma columns and rows one chroma
// sample covers, and the frame as a multiple of the luma plane, doubled.
struct Sampling {
    int32_t value; // 420, 422, 440, 400
    int32_t coverX;
    int32_t coverY;
    int32_t doubledFrameFactor;
};

inline constexpr Sampling samplings[] = {{420, 2, 2, 3}, {422, 2, 1, 4}, {440, 1, 2, 4}, {400, 1, 1, 2}};

inline const Sampling* findSampling(int64_t value)
{
    const Sampling* found = std::find_if(std::begin(samplings), std::end(samplings),
                                         [&](const Sampling& sampling) { return sampling.value == value; });
    return found == std::end(samplings) ? nullptr : found;
}
