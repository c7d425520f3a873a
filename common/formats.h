// The frame formats framecmp and tracegen know, one table of them, and the sizes they give.
// A format is a layout (where each plane's samples stand) and a depth; every size is worked
// out in 64 bits from numbers below 2^31 and checked against the 32-bit frame limit, so no
// product can overflow.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "cli.h"

// A chroma sampling as the trace names give it: how many luma columns and rows one chroma
// sample covers, and the frame as a multiple of the luma plane, doubled.
struct Sampling {
    int32_t value; // 420, 422, 440, 400
    int32_t coverX;
    int32_t coverY;
    int32_t doubledFrameFactor;
};

constexpr Sampling samplings[] = {{420, 2, 2, 3}, {422, 2, 1, 4}, {440, 1, 2, 4}, {400, 1, 1, 2}};

// How the chroma of a layout is stored: none, two planes one after the other, one plane of
// U V pairs, or packed with the luma, two pixels in four samples.
enum class Chroma { none, planar, interleaved, packed };

struct Layout {
    const char* name;
    int32_t sampling;
    Chroma chroma;
    // Packed layouts: where Y0, U and V stand in a group of four samples (Y1 is Y0 + 2).
    int32_t lumaAt;
    int32_t uAt;
    int32_t vAt;
};

constexpr Layout layouts[] = {
    {"yuv420p", 420, Chroma::planar, 0, 0, 0}, {"nv12", 420, Chroma::interleaved, 0, 0, 0},
    {"yuv422p", 422, Chroma::planar, 0, 0, 0}, {"nv16", 422, Chroma::interleaved, 0, 0, 0},
    {"yuv440p", 440, Chroma::planar, 0, 0, 0}, {"gray", 400, Chroma::none, 0, 0, 0},
    {"yuyv422", 422, Chroma::packed, 0, 1, 3}, {"yvyu422", 422, Chroma::packed, 0, 3, 1},
    {"uyvy422", 422, Chroma::packed, 1, 0, 2}, {"vyuy422", 422, Chroma::packed, 1, 2, 0},
};

// A format: a layout and the bits of a sample. Samples of 8 bits take one byte.
struct Format {
    const Layout* layout;
    int32_t depth;
};

// The names -f takes, each a layout at a depth.
struct FormatName {
    const char* name;
    const char* layout;
    int32_t depth;
};

constexpr FormatName formatNames[] = {
    {"i420", "yuv420p", 8}, {"nv12", "nv12", 8},    {"422p", "yuv422p", 8}, {"nv16", "nv16", 8},
    {"440p", "yuv440p", 8}, {"gray", "gray", 8},    {"yuyv", "yuyv422", 8}, {"yvyu", "yvyu422", 8},
    {"uyvy", "uyvy422", 8}, {"vyuy", "vyuy422", 8},
};

inline const Layout* findLayout(const char* name)
{
    for (const Layout& layout : layouts) {
        if (std::strcmp(layout.name, name) == 0) {
            return &layout;
        }
    }
    return nullptr;
}

// The format a name gives, or one with no layout when the name is unknown.
inline Format findFormat(const char* name)
{
    for (const FormatName& entry : formatNames) {
        if (std::strcmp(entry.name, name) == 0) {
            return Format{findLayout(entry.layout), entry.depth};
        }
    }
    return Format{nullptr, 0};
}

inline const Sampling* findSampling(int64_t value)
{
    for (const Sampling& sampling : samplings) {
        if (sampling.value == value) {
            return &sampling;
        }
    }
    return nullptr;
}

// The planar format of a sampling: what a name's sampling means without -f.
inline Format planarFormatOf(int32_t sampling)
{
    for (const Layout& layout : layouts) {
        if (layout.sampling == sampling && (layout.chroma == Chroma::planar || layout.chroma == Chroma::none)) {
            return Format{&layout, 8};
        }
    }
    return Format{&layouts[0], 8};
}

// ---- The geometry in a file name ----

// Width, height and sampling as a geometry marker in a file name gives them.
struct NameGeometry {
    bool found;
    int32_t width;
    int32_t height;
    int32_t sampling;
};

inline bool isDecimalDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The geometry marker rule of traceframes: the rightmost "_w" directly followed by a digit,
// then width, height and sampling as the first three runs of digits; the bus width that
// follows is not needed here. A name with a marker that does not decode is refused.
inline NameGeometry readNameGeometry(const std::string& path)
{
    size_t marker = std::string::npos;
    for (size_t p = path.size(); p >= 3 && marker == std::string::npos; --p) {
        if (path[p - 3] == '_' && path[p - 2] == 'w' && isDecimalDigit(path[p - 1])) {
            marker = p - 3;
        }
    }
    if (marker == std::string::npos) {
        return NameGeometry{};
    }
    int64_t numbers[3] = {0, 0, 0};
    int found = 0;
    for (size_t i = marker; found < 3 && i < path.size();) {
        if (!isDecimalDigit(path[i])) {
            ++i;
            continue;
        }
        int64_t value = 0;
        for (; i < path.size() && isDecimalDigit(path[i]); ++i) {
            value = std::min<int64_t>(value * 10 + (path[i] - '0'), int64_t{INT32_MAX} + 1);
        }
        numbers[found++] = value;
    }
    const bool sizeValid = numbers[0] >= 1 && numbers[0] <= INT32_MAX && numbers[1] >= 1 && numbers[1] <= INT32_MAX;
    if (found < 3 || !sizeValid || findSampling(numbers[2]) == nullptr) {
        fail(path, "the geometry in the name (_wWIDTH_HEIGHT_SAMPLING...) cannot be read");
    }
    return NameGeometry{true, static_cast<int32_t>(numbers[0]), static_cast<int32_t>(numbers[1]),
                        static_cast<int32_t>(numbers[2])};
}

// ---- Planes and frame sizes ----

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
    size_t frameSize; // bytes
};

// Odd sizes round a chroma plane up, as common players do: 4:2:0 of 5x3 has 3x2 chroma.
inline int32_t coveringCount(int32_t lumaCount, int32_t cover)
{
    return lumaCount / cover + lumaCount % cover;
}

inline FrameLayout makeFrameLayout(const Format& format, int32_t width, int32_t height)
{
    const Layout& layout = *format.layout;
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    if (layout.chroma == Chroma::packed && width % 2 != 0) {
        fail("-s " + size, "packed formats hold two pixels in four bytes and need an even width");
    }
    const Sampling& sampling = *findSampling(layout.sampling);
    const size_t bytes = format.depth > 8 ? 2 : 1;
    const auto w = static_cast<size_t>(width);
    const auto h = static_cast<size_t>(height);
    const int32_t chromaWidth = coveringCount(width, sampling.coverX);
    const int32_t chromaHeight = coveringCount(height, sampling.coverY);
    const size_t chromaSize = static_cast<size_t>(chromaWidth) * static_cast<size_t>(chromaHeight) * bytes;
    FrameLayout frame{width, height, bytes, 1, {}, w * h * bytes};
    frame.planes[0] = Plane{'Y', width, height, 0, w * bytes, bytes, 1, 1};
    switch (layout.chroma) {
    case Chroma::none: break;
    case Chroma::planar:
        frame.planes[1] =
            Plane{'U',   chromaWidth,     chromaHeight,   frame.frameSize, static_cast<size_t>(chromaWidth) * bytes,
                  bytes, sampling.coverX, sampling.coverY};
        frame.planes[2] = frame.planes[1];
        frame.planes[2].name = 'V';
        frame.planes[2].offset += chromaSize;
        frame.planeCount = 3;
        frame.frameSize += 2 * chromaSize;
        break;
    case Chroma::interleaved:
        frame.planes[1] = Plane{
            'U',       chromaWidth,     chromaHeight,   frame.frameSize, 2 * static_cast<size_t>(chromaWidth) * bytes,
            2 * bytes, sampling.coverX, sampling.coverY};
        frame.planes[2] = frame.planes[1];
        frame.planes[2].name = 'V';
        frame.planes[2].offset += bytes;
        frame.planeCount = 3;
        frame.frameSize += 2 * chromaSize;
        break;
    case Chroma::packed: {
        const size_t rowStride = 2 * w * bytes;
        const auto at = [&](int32_t position) { return static_cast<size_t>(position) * bytes; };
        frame.planes[0] = Plane{'Y', width, height, at(layout.lumaAt), rowStride, 2 * bytes, 1, 1};
        frame.planes[1] = Plane{'U', width / 2, height, at(layout.uAt), rowStride, 4 * bytes, 2, 1};
        frame.planes[2] = Plane{'V', width / 2, height, at(layout.vAt), rowStride, 4 * bytes, 2, 1};
        frame.planeCount = 3;
        frame.frameSize = rowStride * h;
        break;
    }
    }
    // Sizes below 2^31 each make every sum above fit in 64 bits; the frame must fit in 32.
    if (frame.frameSize > INT32_MAX) {
        fail(size, "a frame of that size does not fit in 32 bits");
    }
    return frame;
}
