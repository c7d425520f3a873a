#include "common/framelayout.h"

#include <algorithm>
#include <climits>

#include "common/messages.h"
#include "common/samplings.h"

int32_t coveringCount(int32_t lumaCount, int32_t cover)
{
    return lumaCount / cover + lumaCount % cover;
}

bool frameFits(const Format& format, int32_t width, int32_t height)
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
    case Chroma::interleaved:
    case Chroma::words: return w * h * bytes + 2 * chromaSize <= INT32_MAX;
    case Chroma::packed: return 2 * w * bytes * h <= INT32_MAX;
    case Chroma::pixel: return static_cast<size_t>(layout.pixelSamples) * w * bytes * h <= INT32_MAX;
    }
    return false;
}

FrameLayout makeFrameLayout(const Format& format, int32_t width, int32_t height)
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
    FrameLayout frame{width, height, bytes, 1, {}, w * h * bytes, 0, 0, {}};
    frame.planes[0] = Plane{layout.planeNames[0], width, height, 0, w * bytes, bytes, 1, 1};
    switch (layout.chroma) {
    case Chroma::none: break;
    case Chroma::planar:
    case Chroma::words:
        frame.planes[1] = Plane{layout.planeNames[1],
                                chromaWidth,
                                chromaHeight,
                                frame.frameSize,
                                static_cast<size_t>(chromaWidth) * bytes,
                                bytes,
                                layout.coverX,
                                layout.coverY};
        frame.planes[2] = frame.planes[1];
        frame.planes[2].name = layout.planeNames[2];
        frame.planes[2].offset += chromaSize;
        frame.planeCount = 3;
        frame.frameSize += 2 * chromaSize;
        break;
    case Chroma::interleaved:
        frame.planes[1] = Plane{layout.planeNames[1],
                                chromaWidth,
                                chromaHeight,
                                frame.frameSize + at(layout.uAt),
                                2 * static_cast<size_t>(chromaWidth) * bytes,
                                2 * bytes,
                                layout.coverX,
                                layout.coverY};
        frame.planes[2] = frame.planes[1];
        frame.planes[2].name = layout.planeNames[2];
        frame.planes[2].offset = frame.frameSize + at(layout.vAt);
        frame.planeCount = 3;
        frame.frameSize += 2 * chromaSize;
        break;
    case Chroma::packed: {
        const size_t rowStride = 2 * w * bytes;
        frame.planes[0] = Plane{layout.planeNames[0], width, height, at(layout.lumaAt), rowStride, 2 * bytes, 1, 1};
        frame.planes[1] = Plane{layout.planeNames[1], width / 2, height, at(layout.uAt), rowStride, 4 * bytes, 2, 1};
        frame.planes[2] = Plane{layout.planeNames[2], width / 2, height, at(layout.vAt), rowStride, 4 * bytes, 2, 1};
        frame.planeCount = 3;
        frame.frameSize = rowStride * h;
        break;
    }
    case Chroma::pixel: {
        const size_t step = static_cast<size_t>(layout.pixelSamples) * bytes;
        const int32_t places[3] = {layout.lumaAt, layout.uAt, layout.vAt};
        for (int p = 0; p < 3; ++p) {
            frame.planes[p] = Plane{layout.planeNames[p], width, height, at(places[p]), step * w, step, 1, 1};
        }
        frame.planeCount = 3;
        frame.frameSize = step * w * h;
        break;
    }
    }
    frame.fileFrameSize = frame.frameSize;
    frame.linesEnd = frame.frameSize;
    frame.lineBytes[0] = frame.planes[0].rowStride;
    frame.lineBytes[1] = frame.planeCount == 3 ? frame.planes[1].rowStride : frame.planes[0].rowStride;
    return frame;
}

namespace {

// Every number here is below 2^31 or a product of two such, and every sum of at most three
// such products stays below 2^64: each is checked against the 32-bit limit before any use.
constexpr size_t largestFrame = INT32_MAX;

std::string optionText(const std::string& optionPrefix, const char* name, int64_t value)
{
    return optionPrefix + name + "=" + std::to_string(value);
}

// The byte after the last sample of a plane.
size_t planeEnd(const Plane& plane, size_t sampleBytes)
{
    return plane.offset + static_cast<size_t>(plane.height - 1) * plane.rowStride +
           static_cast<size_t>(plane.width - 1) * plane.step + sampleBytes;
}

// The chroma's line stride: given, else the luma's (scaled down by the horizontal
// subsampling, rounded up, where each chroma plane is a plane of its own), else tight.
size_t chromaStride(const FrameLayout& tight, const Layout& layout, const BufferGeometry& geometry)
{
    if (geometry.stride[1] != 0) {
        return static_cast<size_t>(geometry.stride[1]);
    }
    if (geometry.stride[0] == 0) {
        return tight.lineBytes[1];
    }
    const auto luma = static_cast<size_t>(geometry.stride[0]);
    if (layout.chroma != Chroma::planar) {
        return luma;
    }
    const auto cover = static_cast<size_t>(layout.coverX);
    return (luma + cover - 1) / cover;
}

// The strides against the lines they must hold.
void checkStrides(const FrameLayout& tight, const Format& format, const BufferGeometry& geometry,
                  const std::string& optionPrefix, const size_t strides[2])
{
    const Layout& layout = *format.layout;
    const bool chromaLines = layout.chroma == Chroma::planar || layout.chroma == Chroma::interleaved;
    std::string text = optionText(optionPrefix, "stride", geometry.stride[0]);
    if (geometry.stride[1] != 0) {
        text += "," + std::to_string(geometry.stride[1]);
    }
    if (!chromaLines && geometry.stride[1] != 0 && geometry.stride[1] != geometry.stride[0]) {
        fail(text, formatName(format) + " has no chroma lines of their own: give one stride");
    }
    if (strides[0] < tight.lineBytes[0]) {
        fail(text, "shorter than a line of " + std::to_string(tight.lineBytes[0]) + " bytes");
    }
    if (chromaLines && strides[1] < tight.lineBytes[1]) {
        fail(text, "shorter than a chroma line of " + std::to_string(tight.lineBytes[1]) + " bytes");
    }
}

} // namespace

FrameLayout placeInBuffer(const FrameLayout& tight, const Format& format, const BufferGeometry& geometry,
                          const std::string& optionPrefix, const std::string& file)
{
    const Layout& layout = *format.layout;
    const size_t strides[2] = {geometry.stride[0] != 0 ? static_cast<size_t>(geometry.stride[0]) : tight.lineBytes[0],
                               chromaStride(tight, layout, geometry)};
    checkStrides(tight, format, geometry, optionPrefix, strides);
    const int64_t rows = geometry.planeRows != 0 ? geometry.planeRows : tight.height;
    if (rows < tight.height) {
        fail(optionText(optionPrefix, "plane-rows", rows),
             "fewer than the frame's " + std::to_string(tight.height) + " rows");
    }
    const int chromaPlanes = layout.chroma == Chroma::planar ? 2 : layout.chroma == Chroma::interleaved ? 1 : 0;
    FrameLayout placed = tight;
    placed.lineBytes[0] = strides[0];
    placed.lineBytes[1] = chromaPlanes != 0 ? strides[1] : strides[0];
    placed.planes[0].rowStride = strides[0];
    const size_t lumaLinesEnd = planeEnd(placed.planes[0], tight.sampleBytes);
    if (geometry.chromaOffset >= 0 && chromaPlanes == 0) {
        fail(optionText(optionPrefix, "chroma-offset", geometry.chromaOffset),
             formatName(format) + " has no chroma plane");
    }
    if (geometry.chromaOffset >= 0 && static_cast<size_t>(geometry.chromaOffset) < lumaLinesEnd) {
        fail(optionText(optionPrefix, "chroma-offset", geometry.chromaOffset),
             "inside the luma plane, whose last line ends at byte " + std::to_string(lumaLinesEnd));
    }
    const size_t lumaEnd = strides[0] * static_cast<size_t>(rows);
    const size_t chromaStart = geometry.chromaOffset >= 0 ? static_cast<size_t>(geometry.chromaOffset) : lumaEnd;
    const auto chromaRows = static_cast<size_t>(coveringCount(static_cast<int32_t>(rows), layout.coverY));
    const size_t chromaPlane = strides[1] * chromaRows;
    for (int p = 1; p < tight.planeCount; ++p) {
        Plane& plane = placed.planes[p];
        plane.rowStride = chromaPlanes != 0 ? strides[1] : strides[0];
        if (layout.chroma == Chroma::planar) {
            plane.offset = chromaStart + static_cast<size_t>(p - 1) * chromaPlane;
        } else if (layout.chroma == Chroma::interleaved) {
            // U or V first in a pair, as the tight layout, whose chroma follows the luma, has it.
            plane.offset =
                chromaStart + tight.planes[p].offset - tight.lineBytes[0] * static_cast<size_t>(tight.height);
        }
    }
    const size_t strided = std::max(lumaEnd, chromaStart + static_cast<size_t>(chromaPlanes) * chromaPlane);
    if (strided > largestFrame) {
        fail(file + "'s buffer",
             "a frame of " + std::to_string(strided) + " bytes is over the 32-bit frame limit of 2147483647 bytes");
    }
    if (geometry.frameBytes != 0 && static_cast<size_t>(geometry.frameBytes) < strided) {
        fail(optionText(optionPrefix, "frame-bytes", geometry.frameBytes),
             "shorter than the strided frame of " + std::to_string(strided) + " bytes");
    }
    placed.fileFrameSize = geometry.frameBytes != 0 ? static_cast<size_t>(geometry.frameBytes) : strided;
    placed.linesEnd = 0;
    for (int p = 0; p < placed.planeCount; ++p) {
        placed.linesEnd = std::max(placed.linesEnd, planeEnd(placed.planes[p], placed.sampleBytes));
    }
    return placed;
}

int64_t traceFrameSamples(int64_t lumaSamples, int32_t sampling)
{
    return lumaSamples * findSampling(sampling)->doubledFrameFactor / 2;
}

std::string traceGeometryFault(int32_t width, int32_t height, int32_t sampling, int32_t busBytes, int32_t sampleBytes)
{
    constexpr int64_t largestTraceFrame = INT32_MAX / 2;
    const int64_t lumaSamples = int64_t{width} * height;
    // Below 2^31 samples every product here stays well inside 64 bits.
    const int64_t lumaSize = lumaSamples * sampleBytes;
    const int64_t frameSize =
        lumaSamples <= INT32_MAX ? traceFrameSamples(lumaSamples, sampling) * sampleBytes : largestTraceFrame + 1;
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
