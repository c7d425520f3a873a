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
#include "framecmp/input.h"
#include "framecmp/picture/font.h"
#include "framecmp/picture/layout.h"
#include "framecmp/picture/render.h"

namespace framecmp {

constexpr uint8_t gapGrey = 96;

constexpr uint8_t textWhite = 255;

// Failing pixels are outlined in red, or in cyan where the pixel is nearer red.
const uint8_t outlineRed[3] = {255, 0, 0};

const uint8_t outlineCyan[3] = {0, 255, 255};

// Unknown samples: yellow in the map; outlined in yellow, or in blue where the pixel is
// nearer yellow.
const uint8_t unknownYellow[3] = {255, 255, 0};

const uint8_t outlineBlue[3] = {0, 0, 255};

// --crop's region: a line of green just outside it on the three frames, or on its edge
// where it meets the frame's.
const uint8_t regionGreen[3] = {0, 255, 0};

static uint8_t clampByte(int32_t value)
{
    return static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value);
}

static bool rgbPlanes(const FrameLayout& layout)
{
    return layout.planes[0].name != 'Y';
}

// Luma and the chroma covering (x, y) at the full depth, mid-grey chroma for a luma-only
// layout; or red, green and blue, whatever the order of their planes.
static void samplesAt(const FrameLayout& layout, const SampleCoding& coding, const uint8_t* frame, int32_t x, int32_t y,
                      int32_t yuv[3])
{
    const int32_t grey = 1 << (coding.depth - 1);
    yuv[0] = 0;
    yuv[1] = grey;
    yuv[2] = grey;
    for (int p = 0; p < layout.planeCount; ++p) {
        const Plane& plane = layout.planes[p];
        const char name = plane.name;
        const int at = !rgbPlanes(layout) ? p : name == 'R' ? 0 : name == 'G' ? 1 : 2;
        yuv[at] =
            valueOf(containerAt(frame + sampleOffset(plane, x / plane.coverX, y / plane.coverY), 0, layout.sampleBytes),
                    coding);
    }
}

// Whether sample (x, y) of a plane fails under the tolerance, padding included.
static bool sampleFailsAt(const PairLayout& pair, const Buffers& buffers, int planeIndex, int32_t x, int32_t y,
                          int32_t tolerance)
{
    const SampleCoding codings[2] = {pair.expectedCoding, pair.actualCoding};
    const size_t bytes = pair.expected.sampleBytes;
    const uint32_t e = containerAt(buffers.expected + sampleOffset(pair.expected.planes[planeIndex], x, y), 0, bytes);
    const uint32_t a = containerAt(buffers.actual + sampleOffset(pair.actual.planes[planeIndex], x, y), 0, bytes);
    return sampleFails(e, a, codings, tolerance);
}

// Whether pixel (x, y) fails: its luma or a chroma sample covering it.
static bool pixelFails(const PairLayout& pair, const Buffers& buffers, int32_t x, int32_t y, int32_t tolerance)
{
    for (int p = 0; p < pair.expected.planeCount; ++p) {
        const Plane& plane = pair.expected.planes[p];
        if (sampleFailsAt(pair, buffers, p, x / plane.coverX, y / plane.coverY, tolerance)) {
            return true;
        }
    }
    return false;
}

// Whether pixel (x, y) is unknown: the mask of its luma or of a chroma sample covering it
// is not zero.
static bool pixelUnknown(const PairLayout& pair, const Buffers& buffers, int32_t x, int32_t y)
{
    for (int p = 0; p < pair.actual.planeCount; ++p) {
        const Plane& plane = pair.actual.planes[p];
        const uint8_t* at = buffers.mask + sampleOffset(plane, x / plane.coverX, y / plane.coverY);
        if (containerAt(at, 0, pair.actual.sampleBytes) != 0) {
            return true;
        }
    }
    return false;
}

// BT.601 studio range to RGB, from samples shifted down to 8 bits; RGB samples as they are.
static void putColour(const int32_t yuv[3], int32_t shift, bool rgbSamples, uint8_t* rgb)
{
    if (rgbSamples) {
        for (int i = 0; i < 3; ++i) {
            rgb[i] = static_cast<uint8_t>(yuv[i] >> shift);
        }
        return;
    }
    const int32_t c = 298 * ((yuv[0] >> shift) - 16);
    const int32_t d = (yuv[1] >> shift) - 128;
    const int32_t e = (yuv[2] >> shift) - 128;
    rgb[0] = clampByte((c + 409 * e + 128) >> 8);
    rgb[1] = clampByte((c - 100 * d - 208 * e + 128) >> 8);
    rgb[2] = clampByte((c + 516 * d + 128) >> 8);
}

// The map: white where luma differs, magenta where only the chroma covering a pixel does,
// over a dim copy of the expected luma (RGB: white where any differs, over dim red).
static void putDifference(const int32_t expected[3], const int32_t actual[3], int32_t shift, bool rgbSamples,
                          uint8_t* rgb)
{
    const bool lumaDiffers =
        expected[0] != actual[0] || (rgbSamples && (expected[1] != actual[1] || expected[2] != actual[2]));
    const bool chromaDiffers = expected[1] != actual[1] || expected[2] != actual[2];
    const auto dim = static_cast<uint8_t>((expected[0] >> shift) / 5);
    rgb[0] = lumaDiffers || chromaDiffers ? 255 : dim;
    rgb[1] = lumaDiffers ? 255 : chromaDiffers ? 0 : dim;
    rgb[2] = lumaDiffers || chromaDiffers ? 255 : dim;
}

// Glyph row `glyphRow` of `text` in white from picture column `x0`.
static void textRow(const std::string& text, int64_t x0, int32_t glyphRow, int32_t scale, uint8_t* row)
{
    for (size_t c = 0; c < text.size(); ++c) {
        const Glyph* glyph =
            std::find_if(std::begin(glyphs), std::end(glyphs), [&](const Glyph& g) { return g.c == text[c]; });
        if (glyph == std::end(glyphs)) {
            continue;
        }
        for (int32_t gx = 0; gx < glyphWidth * scale; ++gx) {
            if ((glyph->rows[glyphRow] >> (glyphWidth - 1 - gx / scale) & 1U) == 0) {
                continue;
            }
            const int64_t x = x0 + (static_cast<int64_t>(c) * glyphAdvance) * scale + gx;
            std::memset(row + 3 * x, textWhite, 3);
        }
    }
}

// Row y of a band of text (the labels' or the legend's): its glyph row on the gap's grey.
static void bandRow(const PictureLayout& picture, int32_t y, uint8_t* row, bool legend)
{
    const int32_t glyphRow = y / picture.scale - labelMargin;
    if (glyphRow < 0 || glyphRow >= glyphHeight) {
        return;
    }
    if (legend) {
        textRow(picture.legend, 0, glyphRow, picture.scale, row);
        return;
    }
    for (int i = 0; i < 4; ++i) {
        textRow(picture.labels[i], picture.panelX[i], glyphRow, picture.scale, row);
    }
}

// Of two outline colours, the one farther from the pixel's.
static const uint8_t* outlineFor(const uint8_t rgb[3], const uint8_t* first, const uint8_t* second)
{
    const auto distance = [&](const uint8_t* to) {
        int32_t sum = 0;
        for (int i = 0; i < 3; ++i) {
            sum += (rgb[i] - to[i]) * (rgb[i] - to[i]);
        }
        return sum;
    };
    return distance(first) >= distance(second) ? first : second;
}

// Whether pixel (x, y) is compared: inside --crop's region, or any without one.
static bool compared(const Region& region, int32_t x, int32_t y)
{
    return region.width == 0 ||
           (x >= region.x && x - region.x < region.width && y >= region.y && y - region.y < region.height);
}

// Row y of the zoom: ACTUAL's pixels enlarged, each failing or unknown one that is compared
// outlined.
static void zoomRow(const PairLayout& pair, const PictureLayout& picture, const Buffers& buffers, int32_t tolerance,
                    int32_t y, uint8_t* row)
{
    const int32_t shift = pair.expectedCoding.depth - lowestDepth;
    const int32_t frameY = picture.windowY + y / picture.zoom;
    const int32_t inY = y % picture.zoom;
    const bool edgeRow = inY < picture.scale || inY >= picture.zoom - picture.scale;
    for (int32_t cell = 0; cell < picture.windowWidth; ++cell) {
        const int32_t frameX = picture.windowX + cell;
        int32_t actual[3];
        samplesAt(pair.actual, pair.actualCoding, buffers.actual, frameX, frameY, actual);
        uint8_t colour[3];
        putColour(actual, shift, rgbPlanes(pair.actual), colour);
        const bool inside = compared(picture.region, frameX, frameY);
        const bool unknown = inside && picture.masked && pixelUnknown(pair, buffers, frameX, frameY);
        const bool fails = inside && (unknown || pixelFails(pair, buffers, frameX, frameY, tolerance));
        const uint8_t* outline =
            unknown ? outlineFor(colour, unknownYellow, outlineBlue) : outlineFor(colour, outlineRed, outlineCyan);
        for (int32_t inX = 0; inX < picture.zoom; ++inX) {
            const bool edge = edgeRow || inX < picture.scale || inX >= picture.zoom - picture.scale;
            std::memcpy(
                row + 3 * (static_cast<size_t>(cell) * static_cast<size_t>(picture.zoom) + static_cast<size_t>(inX)),
                fails && edge ? outline : colour, 3);
        }
    }
}

static void frameRow(const PairLayout& pair, const PictureLayout& picture, const Buffers& buffers, int32_t y,
                     uint8_t* row)
{
    const int32_t shift = pair.expectedCoding.depth - lowestDepth;
    for (int32_t x = 0; x < pair.expected.width; ++x) {
        int32_t expected[3];
        int32_t actual[3];
        samplesAt(pair.expected, pair.expectedCoding, buffers.expected, x, y, expected);
        samplesAt(pair.actual, pair.actualCoding, buffers.actual, x, y, actual);
        const size_t at = 3 * static_cast<size_t>(x);
        const bool rgb = rgbPlanes(pair.expected);
        putColour(expected, shift, rgb, row + 3 * static_cast<size_t>(picture.panelX[0]) + at);
        putColour(actual, shift, rgb, row + 3 * static_cast<size_t>(picture.panelX[1]) + at);
        uint8_t* difference = row + 3 * static_cast<size_t>(picture.panelX[2]) + at;
        if (picture.masked && pixelUnknown(pair, buffers, x, y)) {
            std::memcpy(difference, unknownYellow, 3);
        } else {
            putDifference(expected, actual, shift, rgb, difference);
        }
    }
}

// The green line of --crop's region on row y of the frames.
static void regionRow(const PairLayout& pair, const PictureLayout& picture, int32_t y, uint8_t* row)
{
    const Region& r = picture.region;
    const int32_t left = std::max(r.x - 1, 0);
    const int32_t right = std::min(r.x + r.width, pair.expected.width - 1);
    const int32_t top = std::max(r.y - 1, 0);
    const int32_t bottom = std::min(r.y + r.height, pair.expected.height - 1);
    if (y < top || y > bottom) {
        return;
    }
    const bool across = y == top || y == bottom;
    for (int i = 0; i < 3; ++i) {
        uint8_t* panel = row + 3 * static_cast<size_t>(picture.panelX[i]);
        for (int32_t x = left; x <= right; x += across || x == right ? 1 : right - left) {
            std::memcpy(panel + 3 * static_cast<size_t>(x), regionGreen, 3);
        }
    }
}

void pictureRow(const PairLayout& pair, const PictureLayout& picture, const Buffers& buffers, int32_t tolerance,
                int64_t y, uint8_t* row, size_t rowBytes)
{
    std::memset(row, gapGrey, rowBytes);
    if (y < picture.band) {
        bandRow(picture, static_cast<int32_t>(y), row, false);
        return;
    }
    if (y >= picture.legendY) {
        bandRow(picture, static_cast<int32_t>(y - picture.legendY), row, true);
        return;
    }
    const int64_t inside = y - picture.band;
    if (inside < pair.expected.height) {
        frameRow(pair, picture, buffers, static_cast<int32_t>(inside), row);
        if (picture.region.width != 0) {
            regionRow(pair, picture, static_cast<int32_t>(inside), row);
        }
    }
    if (inside < int64_t{picture.windowHeight} * picture.zoom) {
        zoomRow(pair, picture, buffers, tolerance, static_cast<int32_t>(inside),
                row + 3 * static_cast<size_t>(picture.panelX[3]));
    }
}

} // namespace framecmp
