// The planes of a frame and its size. Every size is worked out in 64 bits from numbers below
// 2^31 and checked against the 32-bit frame limit, so no product can overflow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/format.h"

// Sample (x, y) of a plane starts at byte offset + y * rowStride + x * step of a frame.
struct Plane {
    char name;
    int32_t width;
    int32_t height;
    size_t offset;
    size_t rowStride;
    size_t step;
    // How many luma columns and rows one sample covers, 1 or 2: pictures need them.
    int32_t coverX;
    int32_t coverY;
};

struct FrameLayout {
    int32_t width;
    int32_t height;
    size_t sampleBytes;
    int planeCount;
    Plane planes[3];
    size_t frameSize; // bytes of the samples side by side, as a trace carries the frame
    // The file frame: the bytes from one frame's start in the file to the next, and the
    // fewest of them that hold every line (a file's last frame may end there).
    size_t fileFrameSize;
    size_t linesEnd;
    // The bytes from one line's start to the next as the file holds them, luma (0) and
    // chroma (1): the planes' rowStride where each sample has its own bytes; where words pack
    // the samples, the stride their lines are read at.
    size_t lineBytes[2];
};

// Where a buffer puts a frame's lines, planes and frames, as hardware writes them: a field
// left 0 (chromaOffset -1) keeps the tight place. Each given value is from 1 (the offset
// from 0) to 2147483647.
struct BufferGeometry {
    int64_t stride[2];    // bytes from one line's start to the next: luma, chroma
    int64_t planeRows;    // rows allocated to the luma plane; the chroma's scaled down
    int64_t chromaOffset; // bytes from the frame's start to its first chroma plane
    int64_t frameBytes;   // bytes from one frame's start to the next
};

// Odd sizes round a chroma plane up, as common players do: 4:2:0 of 5x3 has 3x2 chroma.
int32_t coveringCount(int32_t lumaCount, int32_t cover);

// Whether a frame of `format` at width x height fits the 32-bit frame limit: at most
// 2147483647 bytes. The luma plane, which no frame is smaller than, is checked first: below
// 2^31 bytes it bounds every other size and sum here well inside 64 bits.
bool frameFits(const Format& format, int32_t width, int32_t height);

// The planes of a frame of `format` at width x height, or a failure for a size no frame of
// 32 bits holds (frameFits). A `words` layout gets the planes of its working frame: the
// planar layout of its sampling, 16-bit containers.
FrameLayout makeFrameLayout(const Format& format, int32_t width, int32_t height);

// A tight layout of `format` (makeFrameLayout) placed in a buffer of `geometry`: the
// planes' rows at its strides, the chroma after the plane rows or at its offset, frames at
// its pitch. A failure, naming the option as optionPrefix ("--" or "--expected-") and the
// option's name, for a geometry that cannot hold the frame's lines or whose frame is over
// the 32-bit frame limit; `file` names the file in that last message.
FrameLayout placeInBuffer(const FrameLayout& tight, const Format& format, const BufferGeometry& geometry,
                          const std::string& optionPrefix, const std::string& file);

// The samples of a trace's frame, as traceframes counts them: the luma samples times the
// sampling's factor, halved and rounded down (3x3 at 4:2:0 is 9 * 3 / 2 = 13). Planar frame
// files (makeFrameLayout) round each chroma plane up instead: 9 + 2 * 4 = 17.
int64_t traceFrameSamples(int64_t lumaSamples, int32_t sampling);

// Why traceframes would refuse a trace of this geometry (status 8 or 13), or "" when it
// reads it. Its frame, doubled, must fit a signed 32-bit integer, so a frame is at most
// 1073741823 bytes, and the luma plane and the frame must be whole bus words. traceframes
// decides the same in setSizes and refuseMisalignedGeometry; it shares no code, so a test
// holds the two to agree.
std::string traceGeometryFault(int32_t width, int32_t height, int32_t sampling, int32_t busBytes, int32_t sampleBytes);
