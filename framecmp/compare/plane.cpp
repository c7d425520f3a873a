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
#include "framecmp/compare/plane.h"
#include "framecmp/compare/rowkernels.h"
#include "framecmp/input.h"
#include "framecmp/options.h"

namespace framecmp {

// Notes the first failing sample of a piece of row, and hands every one to the listing when
// there is one.
static void noteSamples(const Plane& plane, const PairLayout& pair, int32_t tolerance, const SampleListing* listing,
                        int64_t frame, int32_t y, int32_t from, const uint8_t* expected, const uint8_t* actual,
                        size_t length, PlaneTally& tally)
{
    const SampleCoding codings[2] = {pair.expectedCoding, pair.actualCoding};
    const size_t bytes = pair.expected.sampleBytes;
    for (size_t i = 0; i < length; ++i) {
        const uint32_t e = containerAt(expected, i, bytes);
        const uint32_t a = containerAt(actual, i, bytes);
        if (!sampleFails(e, a, codings, tolerance)) {
            continue;
        }
        const int32_t x = from + static_cast<int32_t>(i);
        if (tally.firstX < 0) {
            tally.firstX = x;
            tally.firstY = y;
            tally.firstExpected = e;
            tally.firstActual = a;
        }
        if (listing == nullptr) {
            return;
        }
        (*listing)(FailingSample{frame, plane.name, x, y, e, a});
    }
}

// The plane loop: every row in pieces the row kernels take, each file's samples from where
// its layout puts them.
PlaneTally comparePlane(int planeIndex, const PairLayout& pair, int32_t tolerance, const uint8_t* expectedFrame,
                        const uint8_t* actualFrame, const Buffers& buffers, int64_t frame, const SampleListing* listing)
{
    const Plane& expectedPlane = pair.expected.planes[planeIndex];
    const Plane& actualPlane = pair.actual.planes[planeIndex];
    const size_t bytes = pair.expected.sampleBytes;
    const SampleCoding codings[2] = {pair.expectedCoding, pair.actualCoding};
    PlaneTally tally{0, 0, 0, 0, -1, -1, 0, 0};
    for (int32_t y = 0; y < expectedPlane.height; ++y) {
        for (size_t x = 0; x < static_cast<size_t>(expectedPlane.width); x += kernelSpan) {
            const size_t length = std::min(static_cast<size_t>(expectedPlane.width) - x, kernelSpan);
            const uint8_t* expected = expectedFrame + sampleOffset(expectedPlane, static_cast<int32_t>(x), y);
            const uint8_t* actual = actualFrame + sampleOffset(actualPlane, static_cast<int32_t>(x), y);
            if (expectedPlane.step != bytes) {
                gatherRow(expected, expectedPlane.step, bytes, length, buffers.expectedRow);
                expected = buffers.expectedRow;
            }
            if (actualPlane.step != bytes) {
                gatherRow(actual, actualPlane.step, bytes, length, buffers.actualRow);
                actual = buffers.actualRow;
            }
            const RowTally row = bytes == 1 ? compareRow8(expected, actual, length, tolerance)
                                            : compareRow16(expected, actual, length, codings, tolerance);
            tally.failing += row.failing;
            tally.padded += row.padded;
            tally.sumOfSquares += row.sumOfSquares;
            tally.largest = std::max(tally.largest, row.largest);
            if (row.failing != 0 && (tally.firstX < 0 || listing != nullptr)) {
                noteSamples(expectedPlane, pair, tolerance, listing, frame, y, static_cast<int32_t>(x), expected,
                            actual, length, tally);
            }
        }
    }
    return tally;
}

} // namespace framecmp
