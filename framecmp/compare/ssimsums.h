// SSIM's sums over 4x4 blocks: the plain kernel and the fast one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"

namespace framecmp {

constexpr int32_t ssimBlock = 4;

// Sums over a 4x4 block of both planes: the samples of each, the squares of both, the
// products.
struct BlockSums {
    int64_t s1;
    int64_t s2;
    int64_t ss;
    int64_t s12;
};

// As ffmpeg's ssim filter (x264's method): sums over 4x4 blocks on a 4-pixel grid, SSIM
// of every 8x8 window of 2x2 blocks, the mean over the windows. Its constants are those of
// the depth's peak.

// The plain kernel: the sums of `blocks` 4x4 blocks side by side, of 8-bit samples or of
// values above 8 bits.
template <typename Sample>
void blockSumsPlain(const Sample* a, size_t strideA, const Sample* b, size_t strideB, size_t blocks, BlockSums* sums)
{
    for (size_t z = 0; z < blocks; ++z) {
        BlockSums block{0, 0, 0, 0};
        for (size_t y = 0; y < ssimBlock; ++y) {
            for (size_t x = 0; x < ssimBlock; ++x) {
                const int64_t va = a[y * strideA + ssimBlock * z + x];
                const int64_t vb = b[y * strideB + ssimBlock * z + x];
                block.s1 += va;
                block.s2 += vb;
                block.ss += va * va + vb * vb;
                block.s12 += va * vb;
            }
        }
        sums[z] = block;
    }
}

void blockSums8(const uint8_t* a, size_t strideA, const uint8_t* b, size_t strideB, size_t blocks, BlockSums* sums);

} // namespace framecmp
