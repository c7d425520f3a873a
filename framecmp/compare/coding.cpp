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
#include "framecmp/compare/rowkernels.h"
#include "framecmp/options.h"

namespace framecmp {

static SampleCoding sampleCodingOf(const Format& format)
{
    const uint32_t valueMask = (uint32_t{1} << format.depth) - 1;
    if (format.depth == lowestDepth) {
        return SampleCoding{0, valueMask, 0, format.depth};
    }
    const auto spare = static_cast<uint32_t>(highestDepth - format.depth);
    if (format.msbAligned) {
        return SampleCoding{spare, valueMask, (uint32_t{1} << spare) - 1, format.depth};
    }
    return SampleCoding{0, valueMask, 0xffffU & ~valueMask, format.depth};
}

// Whether two layouts of one format put every sample and frame at the same bytes.
static bool samePlaces(const FrameLayout& a, const FrameLayout& b)
{
    for (int p = 0; p < a.planeCount; ++p) {
        if (a.planes[p].offset != b.planes[p].offset || a.planes[p].rowStride != b.planes[p].rowStride) {
            return false;
        }
    }
    return a.fileFrameSize == b.fileFrameSize;
}

// ACTUAL's planes put in the order of EXPECTED's names: R, G, B against gbrp's G, B, R.
static void orderPlanesAs(const FrameLayout& expected, FrameLayout& actual)
{
    const FrameLayout given = actual;
    for (int p = 0; p < expected.planeCount; ++p) {
        for (int q = 0; q < given.planeCount; ++q) {
            if (given.planes[q].name == expected.planes[p].name) {
                actual.planes[p] = given.planes[q];
            }
        }
    }
}

static bool alike(const FrameLayout& a, const FrameLayout& b)
{
    if (a.frameSize != b.frameSize || a.planeCount != b.planeCount || a.sampleBytes != b.sampleBytes) {
        return false;
    }
    for (int p = 0; p < a.planeCount; ++p) {
        const Plane& x = a.planes[p];
        const Plane& y = b.planes[p];
        if (x.offset != y.offset || x.rowStride != y.rowStride || x.step != y.step || x.width != y.width ||
            x.height != y.height) {
            return false;
        }
    }
    return true;
}

static bool alike(const SampleCoding& a, const SampleCoding& b)
{
    return a.shift == b.shift && a.valueMask == b.valueMask && a.paddingMask == b.paddingMask;
}

// The two layouts and codings. ACTUAL's format, when -F gives one, must have EXPECTED's
// sampling and depth: then its planes are the same (a words layout's in its working frame).
PairLayout makePairLayout(const Options& options)
{
    const Format& actualFormat = options.actualFormatGiven ? options.actualFormat : options.format;
    // RGB against YUV would compare G with Y: no two such frames are alike.
    const bool rgb[2] = {isRgb(*options.format.layout), isRgb(*actualFormat.layout)};
    if (rgb[0] != rgb[1]) {
        fail("-F " + formatName(actualFormat), std::string("EXPECTED is ") + (rgb[0] ? "RGB" : "YUV") + ", ACTUAL is " +
                                                   (rgb[1] ? "RGB" : "YUV") + ": convert one first");
    }
    if (actualFormat.layout->sampling != options.format.layout->sampling ||
        actualFormat.depth != options.format.depth) {
        fail("-F " + formatName(actualFormat),
             "ACTUAL's format must have the sampling and depth of EXPECTED's, " + formatName(options.format));
    }
    FrameLayout layouts[2] = {makeFrameLayout(options.format, options.width, options.height),
                              makeFrameLayout(actualFormat, options.width, options.height)};
    const Format* formats[2] = {&options.format, &actualFormat};
    FileFrame files[2] = {};
    for (size_t f = 0; f < 2; ++f) {
        const char* prefix = f == 0 ? "--expected-" : "--";
        const char* who = f == 0 ? "EXPECTED" : "ACTUAL";
        files[f] = fileFrameOf(*formats[f], layouts[f]);
        if (files[f].packing == Packing::none) {
            layouts[f] = placeInBuffer(layouts[f], *formats[f], options.geometry[f], prefix, who);
            files[f].bytes = layouts[f].fileFrameSize;
        } else {
            placeWords(files[f], layouts[f], options.geometry[f], prefix, who);
            files[f].working = layouts[f];
        }
    }
    // Placed and unpacked in its own plane order, ACTUAL is then compared in EXPECTED's.
    orderPlanesAs(layouts[0], layouts[1]);
    const bool unpacked = files[0].packing != Packing::none || files[1].packing != Packing::none;
    // Two files of one format hold alike bytes where their samples are alike; a working
    // frame's bytes are not the file's, so that shortcut is not taken for them.
    const bool sameFormat = !unpacked && actualFormat.layout == options.format.layout &&
                            actualFormat.msbAligned == options.format.msbAligned && samePlaces(layouts[0], layouts[1]);
    // The search walks a frame's samples in bus order, each its own: not through alpha
    // (ayuv64le's pixels) nor words.
    const bool pixelLayouts =
        options.format.layout->chroma == Chroma::pixel || actualFormat.layout->chroma == Chroma::pixel;
    const bool busDiagnosis = !unpacked && !rgb[0] && !pixelLayouts;
    const SampleCoding codings[2] = {sampleCodingOf(options.format), sampleCodingOf(actualFormat)};
    const bool sameFrames = sameFormat || (alike(layouts[0], layouts[1]) && alike(codings[0], codings[1]));
    const size_t comparedBytes[2] = {files[0].packing != Packing::none ? layouts[0].frameSize : layouts[0].linesEnd,
                                     files[1].packing != Packing::none ? layouts[1].frameSize : layouts[1].linesEnd};
    return PairLayout{layouts[0],
                      layouts[1],
                      codings[0],
                      codings[1],
                      sameFormat,
                      {files[0], files[1]},
                      busDiagnosis,
                      sameFrames,
                      {comparedBytes[0], comparedBytes[1]},
                      rowKernelForProcessor()};
}

// Copies every step-th sample side by side, so the row kernels see one plane only.
void gatherRow(const uint8_t* from, size_t step, size_t sampleBytes, size_t length, uint8_t* to)
{
    if (sampleBytes == 1) {
        for (size_t i = 0; i < length; ++i) {
            to[i] = from[i * step];
        }
        return;
    }
    for (size_t i = 0; i < length; ++i) {
        std::memcpy(to + 2 * i, from + i * step, 2);
    }
}

} // namespace framecmp
