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

bool anySet(const uint8_t* data, size_t size)
{
    // The kernel looks at whole 16-bit containers; an odd last byte is looked at here.
    return framePadded(data, size, 0xFFFFU) || (size % 2 == 1 && data[size - 1] != 0);
}

// A piece of row sample by sample: the first failing sample, every one handed to the
// listing when there is one, and, with a `mask`, the unknown samples counted (those the
// kernel passed among the failing).
static void noteSamples(const Plane& plane, const PairLayout& pair, int32_t tolerance, const SampleListing* listing,
                        int64_t frame, int32_t y, int32_t from, const uint8_t* const rows[3], size_t length,
                        PlaneTally& tally)
{
    const SampleCoding codings[2] = {pair.expectedCoding, pair.actualCoding};
    const size_t bytes = pair.expected.sampleBytes;
    const uint8_t* mask = rows[2];
    for (size_t i = 0; i < length; ++i) {
        const uint32_t e = containerAt(rows[0], i, bytes);
        const uint32_t a = containerAt(rows[1], i, bytes);
        const bool fails = sampleFails(e, a, codings, tolerance);
        const bool unknown = mask != nullptr && containerAt(mask, i, bytes) != 0;
        if (!fails && !unknown) {
            continue;
        }
        const int32_t x = from + static_cast<int32_t>(i);
        if (unknown) {
            tally.failing += fails ? 0 : 1;
            if (tally.unknown++ == 0) {
                tally.firstUnknownX = x;
                tally.firstUnknownY = y;
            }
        }
        if (tally.firstX < 0) {
            tally.firstX = x;
            tally.firstY = y;
            tally.firstExpected = e;
            tally.firstActual = a;
        }
        if (listing != nullptr) {
            (*listing)(FailingSample{frame, plane.name, x, y, e, a, unknown});
        } else if (mask == nullptr) {
            return;
        }
    }
}

// A row piece of one file's plane as the kernels take it, from the row's start: in place
// when its samples are side by side, else gathered into `row`.
static const uint8_t* rowPiece(const uint8_t* rowStart, const Plane& plane, size_t bytes, size_t x, size_t length,
                               uint8_t* row)
{
    const uint8_t* piece = rowStart + x * plane.step;
    if (plane.step == bytes) {
        return piece;
    }
    gatherRow(piece, plane.step, bytes, length, row);
    return row;
}

PlaneTally emptyPlaneTally()
{
    return PlaneTally{0, 0, -1, -1, 0, 0, 0, -1, -1, 0, 0};
}

void comparePlaneRow(int planeIndex, const PairLayout& pair, int32_t tolerance, const uint8_t* const rowStarts[3],
                     const Buffers& buffers, int64_t frame, const SampleListing* listing, int32_t y, PlaneTally& tally)
{
    const Plane& expectedPlane = pair.expected.planes[planeIndex];
    const Plane& actualPlane = pair.actual.planes[planeIndex];
    const size_t bytes = pair.expected.sampleBytes;
    const SampleCoding codings[2] = {pair.expectedCoding, pair.actualCoding};
    for (size_t x = 0; x < static_cast<size_t>(expectedPlane.width); x += kernelSpan) {
        const size_t length = std::min(static_cast<size_t>(expectedPlane.width) - x, kernelSpan);
        const uint8_t* rows[3] = {rowPiece(rowStarts[0], expectedPlane, bytes, x, length, buffers.expectedRow),
                                  rowPiece(rowStarts[1], actualPlane, bytes, x, length, buffers.actualRow), nullptr};
        const bool avx2 = pair.rowKernel == RowKernel::avx2;
        const RowTally row = bytes == 1 ? (avx2 ? compareRow8Avx2(rows[0], rows[1], length, tolerance)
                                                : compareRow8(rows[0], rows[1], length, tolerance))
                                        : (avx2 ? compareRow16Avx2(rows[0], rows[1], length, codings, tolerance)
                                                : compareRow16(rows[0], rows[1], length, codings, tolerance));
        tally.failing += row.failing;
        tally.padded += row.padded;
        tally.sumOfSquares += row.sumOfSquares;
        tally.largest = std::max(tally.largest, row.largest);
        if (rowStarts[2] != nullptr) {
            rows[2] = rowPiece(rowStarts[2], actualPlane, bytes, x, length, buffers.maskRow);
            rows[2] = anySet(rows[2], length * bytes) ? rows[2] : nullptr;
        }
        if (rows[2] != nullptr || (row.failing != 0 && (tally.firstX < 0 || listing != nullptr))) {
            noteSamples(expectedPlane, pair, tolerance, listing, frame, y, static_cast<int32_t>(x), rows, length,
                        tally);
        }
    }
}

// The plane loop: rows `firstRow` to `endRow` (not included), each file's samples from where
// its layout puts them, added to `tally`.
void comparePlaneRows(int planeIndex, const PairLayout& pair, int32_t tolerance, const uint8_t* const frames[3],
                      const Buffers& buffers, int64_t frame, const SampleListing* listing, int32_t firstRow,
                      int32_t endRow, PlaneTally& tally)
{
    const Plane& expectedPlane = pair.expected.planes[planeIndex];
    const Plane& actualPlane = pair.actual.planes[planeIndex];
    for (int32_t y = firstRow; y < endRow; ++y) {
        const uint8_t* const rowStarts[3] = {
            frames[0] + sampleOffset(expectedPlane, 0, y), frames[1] + sampleOffset(actualPlane, 0, y),
            frames[2] != nullptr ? frames[2] + sampleOffset(actualPlane, 0, y) : nullptr};
        comparePlaneRow(planeIndex, pair, tolerance, rowStarts, buffers, frame, listing, y, tally);
    }
}

PlaneTally comparePlane(int planeIndex, const PairLayout& pair, int32_t tolerance, const uint8_t* expectedFrame,
                        const uint8_t* actualFrame, const uint8_t* maskFrame, const Buffers& buffers, int64_t frame,
                        const SampleListing* listing)
{
    const uint8_t* const frames[3] = {expectedFrame, actualFrame, maskFrame};
    PlaneTally tally = emptyPlaneTally();
    comparePlaneRows(planeIndex, pair, tolerance, frames, buffers, frame, listing, 0,
                     pair.expected.planes[planeIndex].height, tally);
    return tally;
}

} // namespace framecmp
