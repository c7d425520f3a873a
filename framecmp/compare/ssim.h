// A plane's SSIM as ffmpeg's ssim filter computes it, from the block sums.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"
#include "framecmp/compare/coding.h"
#include "framecmp/compare/ssimsums.h"
#include "framecmp/options.h"

namespace framecmp {

// What SSIM works in: the sums of two rows of blocks, and four rows of each plane's values
// where its samples are not bytes side by side.
struct SsimBuffers {
    std::array<std::vector<BlockSums>, 2> sums;
    std::array<std::vector<uint8_t>, 2> bytes;
    std::array<std::vector<uint16_t>, 2> values;
};

double planeSsim(int planeIndex, const PairLayout& pair, const uint8_t* expectedFrame, const uint8_t* actualFrame,
                 SsimBuffers& ssim);

bool underSsimWindow(const Plane& plane);

double equalPlaneSsim(const Plane& plane);

SsimBuffers makeSsimBuffers(const FrameLayout& layout);

bool belowSsimMin(double ssim, const Criteria& criteria);

} // namespace framecmp
