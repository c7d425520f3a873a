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
#include "framecmp/compare/frame.h"
#include "framecmp/compare/plane.h"
#include "framecmp/compare/psnr.h"
#include "framecmp/compare/result.h"
#include "framecmp/compare/rowkernels.h"
#include "framecmp/compare/ssim.h"
#include "framecmp/input.h"

namespace framecmp {

// A plane equal in both files, its padding clear.
static PlaneResult equalPlane(const Plane& plane, bool ssim)
{
    const double value = ssim ? equalPlaneSsim(plane) : std::nan("");
    return PlaneResult{0, 0, -1, -1, 0, 0, 0, value, -1, -1, 0, 0, false, false, false};
}

// A plane's result from its tally and SSIM, judged by the plane's own criteria.
static PlaneResult judgePlane(const PlaneTally& tally, double ssim, const Plane& plane, const Criteria& judged,
                              int32_t depth)
{
    const double mse = meanSquare(tally, plane);
    PlaneResult result{tally.failing,
                       tally.unknown,
                       tally.firstUnknownX,
                       tally.firstUnknownY,
                       tally.padded,
                       tally.largest,
                       mse,
                       ssim,
                       tally.firstX,
                       tally.firstY,
                       tally.firstExpected,
                       tally.firstActual,
                       belowFloor(mse, depth, judged.psnrFloor),
                       belowSsimMin(ssim, judged),
                       false};
    // Without -t, -p or --ssim-min alone decide: failing samples are counted but only
    // padding fails. Under --ssim-min, a plane too small for SSIM is held to the
    // tolerance instead.
    const bool samplesDecide = judged.toleranceGiven || (judged.psnrFloor < 0 && judged.ssimMin < 0) ||
                               (judged.ssimMin >= 0 && underSsimWindow(plane));
    result.reasons =
        static_cast<uint8_t>((samplesDecide && tally.failing != tally.unknown ? failSamples : 0) |
                             (result.belowFloor ? failPsnr : 0) | (result.belowSsimMin ? failSsim : 0) |
                             (tally.padded != 0 ? failPadding : 0) | (tally.unknown != 0 ? failUnknown : 0));
    result.fails = result.reasons != 0;
    return result;
}

// A judged plane into the frame's result.
static void addPlane(FrameResult& result, int planeIndex, const PlaneResult& plane)
{
    result.planes[planeIndex] = plane;
    result.differs = result.differs || plane.largest != 0 || plane.padded != 0 || plane.unknown != 0;
    result.unknown = result.unknown || plane.unknown != 0;
    result.fails = result.fails || plane.fails;
}

FrameResult compareFrame(const Criteria& criteria, const PairLayout& pair, const Buffers& buffers, int64_t frame,
                         SsimBuffers& ssimBuffers, const SampleListing* listing)
{
    const FrameLayout& layout = pair.expected;
    FrameResult result{frame, false, false, false, {}, false, {}};
    // A mask all clear leaves the frame to be compared as without one.
    const uint8_t* mask =
        buffers.mask != nullptr && anySet(buffers.mask, pair.comparedBytes[1]) ? buffers.mask : nullptr;
    // Equal bytes are equal frames when both frames place and code the samples alike; the
    // padding of containers is looked for in one sweep only where lines leave no gaps.
    const size_t extent = pair.comparedBytes[0];
    const uint32_t paddingMask = pair.expectedCoding.paddingMask;
    if (mask == nullptr && pair.sameFrames && (paddingMask == 0 || extent == layout.frameSize) &&
        bytesAlike(buffers.expected, buffers.actual, extent, paddingMask)) {
        for (int p = 0; p < std::min(layout.planeCount, 3); ++p) {
            result.planes[p] = equalPlane(layout.planes[p], criteria.ssim);
        }
        return result;
    }
    for (int p = 0; p < layout.planeCount; ++p) {
        const Criteria judged = criteriaOf(criteria, p);
        const PlaneTally tally =
            comparePlane(p, pair, judged.tolerance, buffers.expected, buffers.actual, mask, buffers, frame, listing);
        const double ssim =
            criteria.ssim ? planeSsim(p, pair, buffers.expected, buffers.actual, ssimBuffers) : std::nan("");
        addPlane(result, p, judgePlane(tally, ssim, layout.planes[p], judged, pair.expectedCoding.depth));
    }
    return result;
}

void lookForTenBit(TenBitLook& look, const uint8_t* bytes, size_t length)
{
    for (size_t i = 0; look.highBytesSmall && i + 1 < length; i += 2) {
        look.highBytesSmall = bytes[i + 1] < 4;
        look.lowByteBig = look.lowByteBig || bytes[i] >= 4;
    }
}

FrameProgress startFrameProgress(const PairLayout& pair)
{
    const PlaneTally empty = emptyPlaneTally();
    // Two layouts of the same samples hold them in other bytes: only rows tell.
    const bool sameBytes =
        pair.sameFrames && pair.files[0].packing == Packing::none && pair.files[1].packing == Packing::none;
    return FrameProgress{0, !sameBytes, false, {true, false}, {0, 0, 0}, {empty, empty, empty}};
}

int32_t wholeRows(const Plane& plane, size_t sampleBytes, size_t bytes)
{
    if (plane.width <= 0 || plane.height <= 0) {
        return plane.height;
    }
    const size_t firstRowEnd = sampleOffset(plane, plane.width - 1, 0) + sampleBytes;
    if (bytes < firstRowEnd) {
        return 0;
    }
    if (plane.rowStride == 0) {
        return plane.height;
    }
    const size_t rows = (bytes - firstRowEnd) / plane.rowStride + 1;
    return static_cast<int32_t>(std::min(rows, static_cast<size_t>(plane.height)));
}

// Whether the bytes from progress.equalBytes to `end` are equal in both frames with their
// padding clear; if so they are counted equal.
static bool extendEqual(FrameProgress& progress, const PairLayout& pair, const Buffers& buffers, size_t end)
{
    const size_t from = progress.equalBytes;
    const bool equal =
        bytesAlike(buffers.expected + from, buffers.actual + from, end - from, pair.expectedCoding.paddingMask);
    if (equal) {
        progress.equalBytes = end;
    }
    return equal;
}

// Whether equal bytes tell equal rows: the two files code samples alike and hold each
// plane's row side by side, wherever their lines stand.
static bool bytesTellRows(const PairLayout& pair)
{
    const SampleCoding& e = pair.expectedCoding;
    const SampleCoding& a = pair.actualCoding;
    const size_t bytes = pair.expected.sampleBytes;
    if (e.shift != a.shift || e.valueMask != a.valueMask || e.paddingMask != a.paddingMask ||
        pair.actual.sampleBytes != bytes) {
        return false;
    }
    for (int p = 0; p < pair.expected.planeCount; ++p) {
        if (pair.expected.planes[p].step != bytes || pair.actual.planes[p].step != bytes) {
            return false;
        }
    }
    return true;
}

// Whether row `row` of a plane holds the same bytes in both frames, its padding clear.
static bool rowsAlike(const PairLayout& pair, const Buffers& buffers, int plane, int32_t row)
{
    const Plane& expected = pair.expected.planes[plane];
    return bytesAlike(buffers.expected + sampleOffset(expected, 0, row),
                      buffers.actual + sampleOffset(pair.actual.planes[plane], 0, row),
                      static_cast<size_t>(expected.width) * pair.expected.sampleBytes, pair.expectedCoding.paddingMask);
}

void compareArrived(FrameProgress& progress, const PairLayout& pair, const Criteria& criteria, const Buffers& buffers,
                    const size_t got[2], const int32_t* const rowsCome[2])
{
    const FrameLayout& layout = pair.expected;
    const size_t bytes = layout.sampleBytes;
    if (!progress.differs) {
        // Padding is looked at a whole container at a time.
        const size_t end = std::min(got[0], got[1]) / bytes * bytes;
        if (end <= progress.equalBytes || extendEqual(progress, pair, buffers, end)) {
            return;
        }
        // The rows that lie whole in the equal bytes show nothing: they are passed over.
        progress.differs = true;
        for (int p = 0; p < layout.planeCount; ++p) {
            progress.nextRow[p] = wholeRows(layout.planes[p], bytes, progress.equalBytes);
        }
    }
    const uint8_t* const frames[3] = {buffers.expected, buffers.actual, nullptr};
    // Rows are looked at sample by sample only where their bytes differ (or padding is set),
    // where bytes can tell.
    const bool rowsByBytes = bytesTellRows(pair);
    for (int p = 0; p < layout.planeCount; ++p) {
        const int32_t end =
            std::min(rowsCome[0] != nullptr ? rowsCome[0][p] : wholeRows(layout.planes[p], bytes, got[0]),
                     rowsCome[1] != nullptr ? rowsCome[1][p]
                                            : wholeRows(pair.actual.planes[p], pair.actual.sampleBytes, got[1]));
        const int32_t tolerance = criteriaOf(criteria, p).tolerance;
        if (!rowsByBytes && end > progress.nextRow[p]) {
            comparePlaneRows(p, pair, tolerance, frames, buffers, 0, nullptr, progress.nextRow[p], end,
                             progress.tallies[p]);
        }
        for (int32_t row = progress.nextRow[p]; rowsByBytes && row < end; ++row) {
            if (!rowsAlike(pair, buffers, p, row)) {
                comparePlaneRows(p, pair, tolerance, frames, buffers, 0, nullptr, row, row + 1, progress.tallies[p]);
            }
        }
        progress.nextRow[p] = std::max(progress.nextRow[p], end);
    }
}

FrameResult finishFrame(const FrameProgress& progress, const Criteria& criteria, const PairLayout& pair, int64_t frame)
{
    const FrameLayout& layout = pair.expected;
    FrameResult result{frame, false, false, false, {}, false, {}};
    for (int p = 0; p < std::min(layout.planeCount, 3); ++p) {
        result.planes[p] = equalPlane(layout.planes[p], criteria.ssim);
        if (progress.differs) {
            addPlane(result, p,
                     judgePlane(progress.tallies[p], std::nan(""), layout.planes[p], criteriaOf(criteria, p),
                                pair.expectedCoding.depth));
        }
    }
    return result;
}

} // namespace framecmp
