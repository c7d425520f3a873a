// One frame pair compared: every plane by its samples, PSNR and SSIM, and the pass/fail
// rule that judges it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"
#include "framecmp/compare/coding.h"
#include "framecmp/compare/result.h"
#include "framecmp/compare/ssim.h"
#include "framecmp/input.h"
#include "framecmp/options.h"

#include "framecmp/compare/plane.h"
namespace framecmp {

// Compares one frame pair: what each plane shows, and whether it fails under the criteria.
// A frame whose bytes are the same in both files, and whose padding is clear, passes
// without a look at its planes. Failing samples go to `listing` when there is one.
FrameResult compareFrame(const Criteria& criteria, const PairLayout& pair, const Buffers& buffers, int64_t frame,
                         SsimBuffers& ssimBuffers, const SampleListing* listing);

} // namespace framecmp
