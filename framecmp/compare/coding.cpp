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

// The two layouts and codings. ACTUAL's format, when -F gives one, must have EXPECTED's
// sampling and depth: then its planes are the same and so is its frame size.
PairLayout makePairLayout(const Options& options)
{
    const Format& actualFormat = options.actualFormatGiven ? options.actualFormat : options.format;
    if (actualFormat.layout->sampling != options.format.layout->sampling ||
        actualFormat.depth != options.format.depth) {
        fail("-F " + formatName(actualFormat),
             "ACTUAL's format must have the sampling and depth of EXPECTED's, " + formatName(options.format));
    }
    // Planar RGB against YUV would compare G with Y: no two such frames are alike.
    if (std::strcmp(actualFormat.layout->planeNames, options.format.layout->planeNames) != 0) {
        fail("-F " + formatName(actualFormat), std::string("ACTUAL's planes are ") + actualFormat.layout->planeNames +
                                                   ", EXPECTED's " + options.format.layout->planeNames);
    }
    const FrameLayout expected = placeInBuffer(makeFrameLayout(options.format, options.width, options.height),
                                               options.format, options.geometry[0], "--expected-", "EXPECTED");
    const FrameLayout actual = placeInBuffer(makeFrameLayout(actualFormat, options.width, options.height), actualFormat,
                                             options.geometry[1], "--", "ACTUAL");
    const bool sameFormat = actualFormat.layout == options.format.layout &&
                            actualFormat.msbAligned == options.format.msbAligned && samePlaces(expected, actual);
    return PairLayout{expected, actual, sampleCodingOf(options.format), sampleCodingOf(actualFormat), sameFormat};
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
