// How each file's samples are read: the two layouts and codings, and a sample's value and
// padding from its container.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"
#include "framecmp/compare/unpack.h"
#include "framecmp/options.h"

namespace framecmp {

// How one file's samples are read: the value is (container >> shift) & valueMask, and the
// bits of paddingMask must be zero.
struct SampleCoding {
    uint32_t shift;
    uint32_t valueMask;
    uint32_t paddingMask;
    int32_t depth;
};

// The row kernels a run uses: SSE2's (the plain ones where the compiler does not target
// SSE2), or AVX2's, twice as wide, where the processor has AVX2; chosen once, before the
// first frame.
enum class RowKernel { sse2, avx2 };

// The two files' frames: their layouts (the same planes, the samples possibly elsewhere, a
// words layout's in its working frame, the file frames of different sizes) and codings;
// sameFormat: one format, its samples and frames at the same bytes; the frames as the files
// hold them; and whether the search for a lost bus word applies (it walks YUV frames of
// samples the file addresses one by one).
struct PairLayout {
    FrameLayout expected;
    FrameLayout actual;
    SampleCoding expectedCoding;
    SampleCoding actualCoding;
    bool sameFormat;
    FileFrame files[2];
    bool busDiagnosis;
    // The frames compared (working frames for word-packed files) are laid out and coded
    // alike, so that equal bytes are equal samples.
    bool sameFrames;
    // The bytes from a compared frame's start that hold all its samples: a working frame's
    // all, a frame compared in place up to its last line's end.
    size_t comparedBytes[2];
    RowKernel rowKernel; // chosen once, for the processor
};

PairLayout makePairLayout(const Options& options);

inline uint32_t containerAt(const uint8_t* row, size_t i, size_t sampleBytes)
{
    if (sampleBytes == 1) {
        return row[i];
    }
    return uint32_t{row[2 * i]} | uint32_t{row[2 * i + 1]} << 8U;
}

inline int32_t valueOf(uint32_t container, const SampleCoding& coding)
{
    return static_cast<int32_t>((container >> coding.shift) & coding.valueMask);
}

inline bool paddingSet(uint32_t container, const SampleCoding& coding)
{
    return (container & coding.paddingMask) != 0;
}

inline bool sampleFails(uint32_t expected, uint32_t actual, const SampleCoding codings[2], int32_t tolerance)
{
    const int32_t difference = valueOf(expected, codings[0]) - valueOf(actual, codings[1]);
    return std::abs(difference) > tolerance || paddingSet(expected, codings[0]) || paddingSet(actual, codings[1]);
}

void gatherRow(const uint8_t* from, size_t step, size_t sampleBytes, size_t length, uint8_t* to);

// The layout of a file (0 EXPECTED, 1 ACTUAL) as compared.
inline const FrameLayout& layoutOf(const PairLayout& pair, size_t file)
{
    return file == 0 ? pair.expected : pair.actual;
}

inline size_t sampleOffset(const Plane& plane, int32_t x, int32_t y)
{
    return plane.offset + static_cast<size_t>(y) * plane.rowStride + static_cast<size_t>(x) * plane.step;
}

} // namespace framecmp
