// The frame formats framecmp and tracegen know, one table of them, and the sizes they give.
// A format is a layout (where each plane's samples stand) and a depth; every size is worked
// out in 64 bits from numbers below 2^31 and checked against the 32-bit frame limit, so no
// product can overflow.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
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

inline constexpr Sampling samplings[] = {{420, 2, 2, 3}, {422, 2, 1, 4}, {440, 1, 2, 4}, {400, 1, 1, 2}};

// How the chroma of a layout is stored: none, two planes one after the other, one plane of
// U V pairs, or packed with the luma, two pixels in four samples.
enum class Chroma { none, planar, interleaved, packed };

// Where each sample of a frame stands. `sampling` names the chroma sampling (444 as well as
// the four of the trace names) and coverX, coverY say how many luma columns and rows one
// chroma sample covers.
struct Layout {
    const char* name;
    int32_t sampling;
    int32_t coverX;
    int32_t coverY;
    Chroma chroma;
    // Packed layouts: where Y0, U and V stand in a group of four samples (Y1 is Y0 + 2).
    // Interleaved layouts: where U and V stand in a pair (nv12: U first, nv21: V first).
    int32_t lumaAt;
    int32_t uAt;
    int32_t vAt;
};

inline constexpr Layout layouts[] = {
    {"yuv420p", 420, 2, 2, Chroma::planar, 0, 0, 0},   {"nv12", 420, 2, 2, Chroma::interleaved, 0, 0, 1},
    {"nv21", 420, 2, 2, Chroma::interleaved, 0, 1, 0}, {"yuv422p", 422, 2, 1, Chroma::planar, 0, 0, 0},
    {"nv16", 422, 2, 1, Chroma::interleaved, 0, 0, 1}, {"yuv440p", 440, 1, 2, Chroma::planar, 0, 0, 0},
    {"yuv444p", 444, 1, 1, Chroma::planar, 0, 0, 0},   {"nv24", 444, 1, 1, Chroma::interleaved, 0, 0, 1},
    {"gray", 400, 1, 1, Chroma::none, 0, 0, 0},        {"yuyv422", 422, 2, 1, Chroma::packed, 0, 1, 3},
    {"yvyu422", 422, 2, 1, Chroma::packed, 0, 3, 1},   {"uyvy422", 422, 2, 1, Chroma::packed, 1, 0, 2},
    {"vyuy422", 422, 2, 1, Chroma::packed, 1, 2, 0},
};

// The bits of a sample and, above 8, where its value sits in the 16-bit little-endian
// container: in the low bits (LSB-aligned) or the high bits (MSB-aligned). The other bits
// of the container are padding. Samples of 8 bits take one byte; of 16 bits, no padding:
// both take msbAligned false.
constexpr int32_t lowestDepth = 8;
constexpr int32_t highestDepth = 16;

struct Format {
    const Layout* layout;
    int32_t depth;
    bool msbAligned = false;
};

// The names -f takes besides the layouts themselves (which are the 8-bit formats): ffmpeg's
// pixel-format names and the names framecmp took before, each a layout at a depth. The
// first name of a format is its canonical name.
struct FormatName {
    const char* name;
    const char* layout;
    int32_t depth;
    bool msbAligned;
};

inline constexpr FormatName formatNames[] = {
    {"yuv420p10le", "yuv420p", 10, false}, {"yuv420p12le", "yuv420p", 12, false}, {"yuv420p16le", "yuv420p", 16, false},
    {"yuv422p10le", "yuv422p", 10, false}, {"yuv422p12le", "yuv422p", 12, false}, {"yuv422p16le", "yuv422p", 16, false},
    {"yuv440p10le", "yuv440p", 10, false}, {"yuv440p12le", "yuv440p", 12, false}, {"yuv444p10le", "yuv444p", 10, false},
    {"yuv444p12le", "yuv444p", 12, false}, {"yuv444p16le", "yuv444p", 16, false}, {"gray10le", "gray", 10, false},
    {"gray12le", "gray", 12, false},       {"gray16le", "gray", 16, false},       {"nv20le", "nv16", 10, false},
    {"p010le", "nv12", 10, true},          {"p012le", "nv12", 12, true},          {"p016le", "nv12", 16, false},
    {"p210le", "nv16", 10, true},          {"p212le", "nv16", 12, true},          {"p216le", "nv16", 16, false},
    {"p410le", "nv24", 10, true},          {"p412le", "nv24", 12, true},          {"p416le", "nv24", 16, false},
    {"y210le", "yuyv422", 10, true},       {"y212le", "yuyv422", 12, true},       {"i420", "yuv420p", 8, false},
    {"422p", "yuv422p", 8, false},         {"440p", "yuv440p", 8, false},         {"yuyv", "yuyv422", 8, false},
    {"yvyu", "yvyu422", 8, false},         {"uyvy", "uyvy422", 8, false},         {"vyuy", "vyuy422", 8, false},
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

// Reads a format name: a layout (8 bits), LAYOUT:DEPTH (LSB-aligned), LAYOUT:DEPTHm
// (MSB-aligned), with DEPTH from 8 to 16 ("m" above 8 only), or one of formatNames.
// Returns false, leaving `format` alone, for anything else.
inline bool parseFormat(const char* text, Format& format)
{
    // As ffmpeg takes it, a name without its byte order means the little-endian format:
    // p010 is p010le.
    const std::string littleEndian = std::string(text) + "le";
    for (const FormatName& entry : formatNames) {
        if (std::strcmp(entry.name, text) == 0 || littleEndian == entry.name) {
            format = Format{findLayout(entry.layout), entry.depth, entry.msbAligned};
            return true;
        }
    }
    const char* colon = std::strchr(text, ':');
    const std::string layoutName = colon == nullptr ? std::string(text) : std::string(text, colon);
    const Layout* layout = findLayout(layoutName.c_str());
    if (layout == nullptr) {
        return false;
    }
    if (colon == nullptr) {
        format = Format{layout, lowestDepth, false};
        return true;
    }
    std::string depthText = colon + 1;
    const bool msbAligned = !depthText.empty() && depthText.back() == 'm';
    if (msbAligned) {
        depthText.pop_back();
    }
    const int64_t depth = readDecimal(depthText.c_str(), lowestDepth, highestDepth);
    if (depth < 0 || (msbAligned && depth == lowestDepth)) {
        return false;
    }
    // 16 bits fill the container: no alignment to tell.
    format = Format{layout, static_cast<int32_t>(depth), msbAligned && depth < highestDepth};
    return true;
}

// The name a format is best known by: ffmpeg's where it has one, else the layout for 8
// bits, else LAYOUT:DEPTH or LAYOUT:DEPTHm.
inline std::string formatName(const Format& format)
{
    for (const FormatName& entry : formatNames) {
        Format named{};
        if (parseFormat(entry.name, named) && named.layout == format.layout && named.depth == format.depth &&
            named.msbAligned == format.msbAligned) {
            return format.depth == lowestDepth ? format.layout->name : entry.name;
        }
    }
    if (format.depth == lowestDepth) {
        return format.layout->name;
    }
    return std::string(format.layout->name) + ":" + std::to_string(format.depth) + (format.msbAligned ? "m" : "");
}

// Every name parseFormat takes, for a message that lists them.
inline std::string knownFormatNames()
{
    std::string names;
    for (const Layout& layout : layouts) {
        names += std::string(names.empty() ? "" : " ") + layout.name;
    }
    for (const FormatName& entry : formatNames) {
        names += std::string(" ") + entry.name;
    }
    return names + ", or LAYOUT:DEPTH (LSB-aligned), LAYOUT:DEPTHm (MSB-aligned) with DEPTH 8 to 16, 9 to 16 for m";
}

inline const Sampling* findSampling(int64_t value)
{
    const Sampling* found = std::find_if(std::begin(samplings), std::end(samplings),
                                         [&](const Sampling& sampling) { return sampling.value == value; });
    return found == std::end(samplings) ? nullptr : found;
}

// The planar format of a sampling: what a name's sampling means without -f.
inline Format planarFormatOf(int32_t sampling)
{
    const Layout* found = std::find_if(std::begin(layouts), std::end(layouts), [&](const Layout& layout) {
        return layout.sampling == sampling && (layout.chroma == Chroma::planar || layout.chroma == Chroma::none);
    });
    return Format{found == std::end(layouts) ? &layouts[0] : found, lowestDepth, false};
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

// The geometry marker in a file's own name, never in its directories (run_w2/a.yuv has none):
// the rightmost "_w" directly followed by a digit, then width, height and sampling as the
// first three runs of digits; the bus width that follows is not needed here. A name with a
// marker that does not decode is refused.
inline NameGeometry readNameGeometry(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    size_t marker = std::string::npos;
    for (size_t p = path.size(); p >= nameStart + 3 && marker == std::string::npos; --p) {
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

// Whether a frame of `format` at width x height fits the 32-bit frame limit: at most
// 2147483647 bytes. The luma plane, which no frame is smaller than, is checked first: below
// 2^31 bytes it bounds every other size and sum here well inside 64 bits.
inline bool frameFits(const Format& format, int32_t width, int32_t height)
{
    const Layout& layout = *format.layout;
    const size_t bytes = format.depth > lowestDepth ? 2 : 1;
    const auto w = static_cast<size_t>(width);
    const auto h = static_cast<size_t>(height);
    if (w * h > INT32_MAX / bytes) {
        return false;
    }
    const size_t chromaSize = static_cast<size_t>(coveringCount(width, layout.coverX)) *
                              static_cast<size_t>(coveringCount(height, layout.coverY)) * bytes;
    switch (layout.chroma) {
    case Chroma::none: return true;
    case Chroma::planar:
    case Chroma::interleaved: return w * h * bytes + 2 * chromaSize <= INT32_MAX;
    case Chroma::packed: return 2 * w * bytes * h <= INT32_MAX;
    }
    return false;
}

// The planes of a frame of `format` at width x height, or a failure for a size no frame of
// 32 bits holds (frameFits).
inline FrameLayout makeFrameLayout(const Format& format, int32_t width, int32_t height)
{
    const Layout& layout = *format.layout;
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    if (layout.chroma == Chroma::packed && width % 2 != 0) {
        fail("-s " + size, "packed formats hold two pixels in four samples and need an even width");
    }
    if (!frameFits(format, width, height)) {
        fail(size, "a frame of that size does not fit in 32 bits");
    }
    const size_t bytes = format.depth > lowestDepth ? 2 : 1;
    const auto w = static_cast<size_t>(width);
    const auto h = static_cast<size_t>(height);
    const int32_t chromaWidth = coveringCount(width, layout.coverX);
    const int32_t chromaHeight = coveringCount(height, layout.coverY);
    const size_t chromaSize = static_cast<size_t>(chromaWidth) * static_cast<size_t>(chromaHeight) * bytes;
    const auto at = [&](int32_t position) { return static_cast<size_t>(position) * bytes; };
    FrameLayout frame{width, height, bytes, 1, {}, w * h * bytes};
    frame.planes[0] = Plane{'Y', width, height, 0, w * bytes, bytes, 1, 1};
    switch (layout.chroma) {
    case Chroma::none: break;
    case Chroma::planar:
        frame.planes[1] =
            Plane{'U',   chromaWidth,   chromaHeight, frame.frameSize, static_cast<size_t>(chromaWidth) * bytes,
                  bytes, layout.coverX, layout.coverY};
        frame.planes[2] = frame.planes[1];
        frame.planes[2].name = 'V';
        frame.planes[2].offset += chromaSize;
        frame.planeCount = 3;
        frame.frameSize += 2 * chromaSize;
        break;
    case Chroma::interleaved:
        frame.planes[1] = Plane{'U',
                                chromaWidth,
                                chromaHeight,
                                frame.frameSize + at(layout.uAt),
                                2 * static_cast<size_t>(chromaWidth) * bytes,
                                2 * bytes,
                                layout.coverX,
                                layout.coverY};
        frame.planes[2] = frame.planes[1];
        frame.planes[2].name = 'V';
        frame.planes[2].offset = frame.frameSize + at(layout.vAt);
        frame.planeCount = 3;
        frame.frameSize += 2 * chromaSize;
        break;
    case Chroma::packed: {
        const size_t rowStride = 2 * w * bytes;
        frame.planes[0] = Plane{'Y', width, height, at(layout.lumaAt), rowStride, 2 * bytes, 1, 1};
        frame.planes[1] = Plane{'U', width / 2, height, at(layout.uAt), rowStride, 4 * bytes, 2, 1};
        frame.planes[2] = Plane{'V', width / 2, height, at(layout.vAt), rowStride, 4 * bytes, 2, 1};
        frame.planeCount = 3;
        frame.frameSize = rowStride * h;
        break;
    }
    }
    return frame;
}

// ---- The geometry of a bus trace ----

// Why traceframes would refuse a trace of this geometry (status 8 or 13), or "" when it
// reads it. Its frame, doubled, must fit a signed 32-bit integer, so a frame is at most
// 1073741823 bytes, and the luma plane and the frame must be whole bus words. traceframes
// decides the same in setSizes and refuseMisalignedGeometry; it shares no code, so a test
// holds the two to agree.
inline std::string traceGeometryFault(int32_t width, int32_t height, int32_t sampling, int32_t busBytes,
                                      int32_t sampleBytes)
{
    constexpr int64_t largestTraceFrame = INT32_MAX / 2;
    const int64_t lumaSamples = int64_t{width} * height;
    // Below 2^31 samples every product here stays well inside 64 bits.
    const int64_t lumaSize = lumaSamples * sampleBytes;
    const int64_t frameSize = lumaSamples <= INT32_MAX
                                  ? lumaSamples * findSampling(sampling)->doubledFrameFactor / 2 * sampleBytes
                                  : largestTraceFrame + 1;
    if (frameSize > largestTraceFrame) {
        return "a frame over " + std::to_string(largestTraceFrame) + " bytes, the largest traceframes reads";
    }
    if (lumaSize % busBytes != 0 || frameSize % busBytes != 0) {
        return "the luma plane of " + std::to_string(lumaSize) + " bytes and the frame of " +
               std::to_string(frameSize) + " must be whole bus words of " + std::to_string(busBytes * 8) +
               " bits, as traceframes reads them";
    }
    return std::string();
}
