#include <algorithm>
#include <cstdint>
#include <string>

#include "framecmp/crop.h"

namespace framecmp {

// The coarsest subsampling of the planes across (0) or down (1): a region's edges fall on
// whole chroma samples.
static int32_t coarsest(const FrameLayout& layout, int axis)
{
    int32_t cover = 1;
    for (int p = 0; p < layout.planeCount; ++p) {
        cover = std::max(cover, axis == 0 ? layout.planes[p].coverX : layout.planes[p].coverY);
    }
    return cover;
}

static std::string regionText(const Options& options)
{
    const Region& r = options.crop;
    return options.border >= 0 ? "--border=" + std::to_string(options.border)
                               : "--crop=" + std::to_string(r.x) + "," + std::to_string(r.y) + "," +
                                     std::to_string(r.width) + "," + std::to_string(r.height);
}

// A region inside the frame whose edges fall on whole chroma samples; an edge on the
// frame's own right or bottom edge may be odd, as the frame is.
static void checkRegion(const Options& options, const FrameLayout& layout)
{
    const Region& r = options.crop;
    const std::string what = regionText(options);
    const int64_t ends[2] = {int64_t{r.x} + r.width, int64_t{r.y} + r.height};
    if (r.width < 1 || r.height < 1 || ends[0] > layout.width || ends[1] > layout.height) {
        fail(what, "the region is not inside the frame of " + std::to_string(layout.width) + "x" +
                       std::to_string(layout.height));
    }
    const char* names[2][2] = {{"X", "W"}, {"Y", "H"}};
    const int32_t starts[2] = {r.x, r.y};
    const int32_t sizes[2] = {r.width, r.height};
    const int32_t frameSizes[2] = {layout.width, layout.height};
    for (int axis = 0; axis < 2; ++axis) {
        const int32_t cover = coarsest(layout, axis);
        const std::string why = " is not a multiple of " + std::to_string(cover) + ", the chroma's subsampling " +
                                (axis == 0 ? "across" : "down");
        const bool border = options.border >= 0;
        if (starts[axis] % cover != 0) {
            fail(what, std::string(border ? "N" : names[axis][0]) + " " + std::to_string(starts[axis]) + why);
        }
        if (sizes[axis] % cover != 0 && ends[axis] != frameSizes[axis]) {
            fail(what, std::string(names[axis][1]) + " " + std::to_string(sizes[axis]) + why);
        }
    }
}

static FrameLayout narrowed(FrameLayout layout, const Region& r)
{
    for (int p = 0; p < layout.planeCount; ++p) {
        Plane& plane = layout.planes[p];
        plane.offset += static_cast<size_t>(r.y / plane.coverY) * plane.rowStride +
                        static_cast<size_t>(r.x / plane.coverX) * plane.step;
        plane.width = coveringCount(r.width, plane.coverX);
        plane.height = coveringCount(r.height, plane.coverY);
    }
    layout.width = r.width;
    layout.height = r.height;
    return layout;
}

PairLayout cropPair(const PairLayout& whole, Options& options)
{
    if (options.border >= 0) {
        const int64_t twice = int64_t{2} * options.border;
        options.crop = Region{options.border, options.border,
                              static_cast<int32_t>(std::max<int64_t>(whole.expected.width - twice, 0)),
                              static_cast<int32_t>(std::max<int64_t>(whole.expected.height - twice, 0))};
    }
    if (!cropped(options.crop) && options.border < 0) {
        return whole;
    }
    checkRegion(options, whole.expected);
    PairLayout pair = whole;
    pair.expected = narrowed(whole.expected, options.crop);
    pair.actual = narrowed(whole.actual, options.crop);
    return pair;
}

void toFrameCoordinates(FrameResult& result, const PairLayout& pair, const Region& region)
{
    for (int p = 0; p < pair.expected.planeCount; ++p) {
        const Plane& plane = pair.expected.planes[p];
        PlaneResult& found = result.planes[p];
        const int32_t dx = region.x / plane.coverX;
        const int32_t dy = region.y / plane.coverY;
        if (found.firstX >= 0) {
            found.firstX += dx;
            found.firstY += dy;
        }
        if (found.firstUnknownX >= 0) {
            found.firstUnknownX += dx;
            found.firstUnknownY += dy;
        }
    }
}

FailingSample toFrameCoordinates(const FailingSample& sample, const PairLayout& pair, const Region& region)
{
    FailingSample moved = sample;
    for (int p = 0; p < pair.expected.planeCount; ++p) {
        const Plane& plane = pair.expected.planes[p];
        if (plane.name == sample.plane) {
            moved.x += region.x / plane.coverX;
            moved.y += region.y / plane.coverY;
            break;
        }
    }
    return moved;
}

} // namespace framecmp
