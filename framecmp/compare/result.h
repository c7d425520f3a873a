// What the comparison of one frame pair finds: the one hand-off from compare/ and
// diagnosis/ to report/ and picture/, which alone write.
#pragma once

#include <cstdint>

namespace framecmp {

// A displacement claimed: from the sample (plane, x, y) of `frame` on, ACTUAL is EXPECTED
// `bytes` bytes of bus order early (lost) or late (extra).
struct Displacement {
    int64_t frame;
    char plane;
    int32_t x;
    int32_t y;
    int32_t bytes;
    bool lost;
};

// Why a plane fails, one bit a criterion: its samples beyond the tolerance, its PSNR, its
// SSIM, padding set, unknown samples.
enum FailReason : uint8_t {
    failSamples = 1,
    failPsnr = 2,
    failSsim = 4,
    failPadding = 8,
    failUnknown = 16,
};

// A frame displacement claimed: from `frame` to `last`, ACTUAL's frames are EXPECTED's
// `frames` frames later (positive: ACTUAL late) or earlier (negative).
struct FrameShift {
    int64_t frame;
    int64_t last;
    int32_t frames;
    const char* kind; // "dropped", "inserted" or "repeated"
};

// One plane of one frame. The first failing sample keeps its containers. Unknown samples
// (--unknown) are among the failing.
struct PlaneResult {
    uint64_t failing;
    uint64_t unknown;
    int32_t firstUnknownX; // -1 when no sample is unknown
    int32_t firstUnknownY;
    uint64_t padded; // samples with padding set in either file
    int32_t largest;
    double mse;
    double ssim;    // NaN without --ssim, or for a plane smaller than one 8x8 window
    int32_t firstX; // -1 when no sample fails
    int32_t firstY;
    uint32_t firstExpected;
    uint32_t firstActual;
    bool belowFloor;     // its PSNR, to the hundredth, under -p
    bool belowSsimMin;   // its SSIM, to the millionth, under --ssim-min
    bool fails;          // under every criterion
    uint8_t reasons = 0; // FailReason bits; none when it passes
};

struct FrameResult {
    int64_t frame;
    bool fails;
    bool differs; // any difference, failing or not, or an unknown sample
    bool unknown; // any unknown sample
    PlaneResult planes[3];
    bool displaced; // a lost or extra bus word found here starts `displacement`
    Displacement displacement;
};

} // namespace framecmp
