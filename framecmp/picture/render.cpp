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

static uint8_t clampByte(int32_t value)
{
    return static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value);
}

// Luma and the chroma covering (x, y) at the full depth; mid-grey chroma for a luma-only
// layout.
static void samplesAt(const FrameLayout& layout, const SampleCoding& coding, const uint8_t* frame, int32_t x, int32_t y,
                      int32_t yuv[3])
{
    const int32_t grey = 1 << (coding.depth - 1);
    yuv[0] = 0;
    yuv[1] = grey;
    yuv[2] = grey;
    for (int p = 0; p < layout.planeCount; ++p) {
        const Plane& plane = layout.planes[p];
        yuv[p] =
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

// BT.601 studio range to RGB, from samples shifted down to 8 bits.
static void putColour(const int32_t yuv[3], int32_t shift, uint8_t* rgb)
{
    const int32_t c = 298 * ((yuv[0] >> shift) - 16);
    const int32_t d = (yuv[1] >> shift) - 128;
    const int32_t e = (yuv[2] >> shift) - 128;
    rgb[0] = clampByte((c + 409 * e + 128) >> 8);
    rgb[1] = clampByte((c - 100 * d - 208 * e + 128) >> 8);
    rgb[2] = clampByte((c + 516 * d + 128) >> 8);
}

// The map: white where luma differs, magenta where only the chroma covering a pixel does,
// over a dim copy of the expected luma.
static void putDifference(const int32_t expected[3], const int32_t actual[3], int32_t shift, uint8_t* rgb)
{
    const bool lumaDiffers = expected[0] != actual[0];
    const bool chromaDiffers = expected[1] != actual[1] || expected[2] != actual[2];
    const auto dim = static_cast<uint8_t>((expected[0] >> shift) / 5);
    rgb[0] = lumaDiffers || chromaDiffers ? 255 : dim;
    rgb[1] = lumaDiffers ? 255 : chromaDiffers ? 0 : dim;
    rgb[2] = lumaDiffers || chromaDiffers ? 255 : dim;
}

// One row of the labels' band: each label's glyph row in white on the gap's grey.
static void labelRow(const PictureLayout& picture, int32_t y, uint8_t* row)
{
    const int32_t textRow = y / picture.scale - labelMargin;
    if (textRow < 0 || textRow >= glyphHeight) {
        return;
    }
    for (int i = 0; i < 4; ++i) {
        const std::string& label = picture.labels[i];
        for (size_t c = 0; c < label.size(); ++c) {
            const Glyph* glyph =
                std::find_if(std::begin(glyphs), std::end(glyphs), [&](const Glyph& g) { return g.c == label[c]; });
            if (glyph == std::end(glyphs)) {
                continue;
            }
            for (int32_t gx = 0; gx < glyphWidth * picture.scale; ++gx) {
                if ((glyph->rows[textRow] >> (glyphWidth - 1 - gx / picture.scale) & 1U) == 0) {
                    continue;
                }
                const int64_t x =
                    int64_t{picture.panelX[i]} + (static_cast<int64_t>(c) * glyphAdvance) * picture.scale + gx;
                std::memset(row + 3 * x, textWhite, 3);
            }
        }
    }
}

static const uint8_t* outlineFor(const uint8_t rgb[3])
{
    const auto distance = [&](const uint8_t* to) {
        int32_t sum = 0;
        for (int i = 0; i < 3; ++i) {
            sum += (rgb[i] - to[i]) * (rgb[i] - to[i]);
        }
        return sum;
    };
    return distance(outlineRed) >= distance(outlineCyan) ? outlineRed : outlineCyan;
}

// Row y of the zoom: ACTUAL's pixels enlarged, each failing one outlined.
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
        putColour(actual, shift, colour);
        const bool fails = pixelFails(pair, buffers, frameX, frameY, tolerance);
        for (int32_t inX = 0; inX < picture.zoom; ++inX) {
            const bool edge = edgeRow || inX < picture.scale || inX >= picture.zoom - picture.scale;
            std::memcpy(
                row + 3 * (static_cast<size_t>(cell) * static_cast<size_t>(picture.zoom) + static_cast<size_t>(inX)),
                fails && edge ? outlineFor(colour) : colour, 3);
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
        putColour(expected, shift, row + 3 * static_cast<size_t>(picture.panelX[0]) + at);
        putColour(actual, shift, row + 3 * static_cast<size_t>(picture.panelX[1]) + at);
        putDifference(expected, actual, shift, row + 3 * static_cast<size_t>(picture.panelX[2]) + at);
    }
}

void pictureRow(const PairLayout& pair, const PictureLayout& picture, const Buffers& buffers, int32_t tolerance,
                int64_t y, uint8_t* row, size_t rowBytes)
{
    std::memset(row, gapGrey, rowBytes);
    if (y < picture.band) {
        labelRow(picture, static_cast<int32_t>(y), row);
        return;
    }
    const int64_t inside = y - picture.band;
    if (inside < pair.expected.height) {
        frameRow(pair, picture, buffers, static_cast<int32_t>(inside), row);
    }
    if (inside < int64_t{picture.windowHeight} * picture.zoom) {
        zoomRow(pair, picture, buffers, tolerance, static_cast<int32_t>(inside),
                row + 3 * static_cast<size_t>(picture.panelX[3]));
    }
}

} // namespace framecmp
