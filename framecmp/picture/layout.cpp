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
#include "framecmp/compare/result.h"
#include "framecmp/picture/font.h"
#include "framecmp/picture/layout.h"

namespace framecmp {

constexpr int32_t pictureGap = 4;

// The zoom panel: a window of at most zoomCells x zoomCells pixels around the first failing
// sample, each drawn zoomFactor times the text scale across.
constexpr int32_t zoomCells = 32;

constexpr int32_t zoomFactor = 8;

// The first failing sample of the frame (Y, then U, then V), as the comparison found it and
// the frame's line reports it: its plane and the pixel it stands on.
static void placeFirstFailing(const FrameLayout& layout, const FrameResult& result, PictureLayout& picture)
{
    for (int p = 0; p < layout.planeCount; ++p) {
        const PlaneResult& plane = result.planes[p];
        if (plane.firstX >= 0) {
            picture.centrePlane = layout.planes[p].name;
            picture.sampleX = plane.firstX;
            picture.sampleY = plane.firstY;
            picture.centreX = plane.firstX * layout.planes[p].coverX;
            picture.centreY = plane.firstY * layout.planes[p].coverY;
            return;
        }
    }
}

static int32_t textWidth(const std::string& text, int32_t scale)
{
    return text.empty() ? 0 : (static_cast<int32_t>(text.size()) * glyphAdvance - 1) * scale;
}

// A window of up to zoomCells across around `centre`, inside the frame.
static int32_t windowStart(int32_t centre, int32_t cells, int32_t size)
{
    return std::clamp(centre - cells / 2, 0, size - cells);
}

// Every colour the picture uses, as the difference map and the zoom use them.
static std::string legendText(bool masked, bool rgb, bool cropped)
{
    return std::string(rgb ? "difference: white any, " : "difference: white luma, magenta chroma, ") +
           (masked ? "yellow unknown, " : "") + "dark alike; zoom outline: red or cyan fails" +
           (masked ? ", yellow or blue unknown" : "") + (cropped ? "; green line: region compared" : "");
}

PictureLayout makePictureLayout(const PairLayout& pair, const FrameResult& drawn, bool masked, const Region& region)
{
    const int32_t width = pair.expected.width;
    const int32_t height = pair.expected.height;
    PictureLayout picture{};
    picture.scale = std::clamp(height / 256, 1, 4);
    const int32_t band = (glyphHeight + 2 * labelMargin) * picture.scale;
    picture.band = band;
    picture.zoom = zoomFactor * picture.scale;
    picture.windowWidth = std::min(width, zoomCells);
    picture.windowHeight = std::min(height, zoomCells);
    picture.centreX = -1;
    picture.centreY = -1;
    placeFirstFailing(pair.expected, drawn, picture);
    const bool found = picture.centreX >= 0;
    picture.windowX = windowStart(found ? picture.centreX : width / 2, picture.windowWidth, width);
    picture.windowY = windowStart(found ? picture.centreY : height / 2, picture.windowHeight, height);
    const std::string zoomName = "zoom " + std::to_string(picture.zoom) + "x: ";
    picture.labels[0] = "frame " + std::to_string(drawn.frame) + ": expected";
    picture.labels[1] = "actual";
    picture.labels[2] = drawn.fails ? "difference" : "difference: frame passes";
    picture.labels[3] = zoomName + (found ? std::string(1, picture.centrePlane) + " " +
                                                std::to_string(picture.sampleX) + "," + std::to_string(picture.sampleY)
                                          : std::string("none fail"));
    const int32_t content[4] = {width, width, width, picture.windowWidth * picture.zoom};
    int64_t x = 0;
    for (int i = 0; i < 4; ++i) {
        picture.panelX[i] = static_cast<int32_t>(std::min<int64_t>(x, INT32_MAX));
        // A character's space after each label keeps it apart from the next.
        picture.panelWidth[i] = std::max(content[i], textWidth(picture.labels[i] + " ", picture.scale));
        x += picture.panelWidth[i] + (i < 3 ? pictureGap : 0);
    }
    picture.masked = masked;
    picture.region = region;
    picture.legend = legendText(masked, pair.expected.planes[0].name != 'Y', region.width != 0);
    picture.width = std::max<int64_t>(x, textWidth(picture.legend, picture.scale));
    const int64_t zoomHeight = int64_t{picture.windowHeight} * picture.zoom;
    picture.legendY = band + std::max<int64_t>(height, zoomHeight);
    picture.height = picture.legendY + band;
    return picture;
}

} // namespace framecmp
