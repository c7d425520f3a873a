// --crop and --border: the planes narrowed to the region compared, and positions found in
// it given back in frame coordinates.
#pragma once

#include <cstdint>

#include "framecmp/compare/coding.h"
#include "framecmp/compare/plane.h"
#include "framecmp/compare/result.h"
#include "framecmp/options.h"

namespace framecmp {

// Whether a region narrows the comparison.
inline bool cropped(const Region& region)
{
    return region.width != 0;
}

// Sets --border's region from the frame's size, checks the region against the frame and the
// chroma's subsampling (trouble naming the value that fails), and narrows both layouts'
// planes to it: every criterion, SSIM window and --align score then sees the region alone.
PairLayout cropPair(const PairLayout& whole, Options& options);

// The positions of a result found in the region, in frame coordinates.
void toFrameCoordinates(FrameResult& result, const PairLayout& pair, const Region& region);

// A failing sample found in the region, in frame coordinates.
FailingSample toFrameCoordinates(const FailingSample& sample, const PairLayout& pair, const Region& region);

} // namespace framecmp
