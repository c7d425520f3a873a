#include "common/framelayout.h"

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
    FrameLayout frame{width, height, bytes, 1, {}, w * h * bytes};
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
    return frame;
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
