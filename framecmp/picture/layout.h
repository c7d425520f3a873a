// Where the picture's panels, labels and zoom stand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"
#include "framecmp/compare/coding.h"
#include "framecmp/compare/result.h"

namespace framecmp {

constexpr int32_t labelMargin = 2; // above and below the text, in text pixels

// Where the picture's parts stand: four panels side by side under a band of labels (the
// three frames and the zoom), the zoom's window on the frame, and a band under the panels
// with the legend of the colours.
struct PictureLayout {
    int32_t scale; // text pixels and zoom cells grow with it on tall frames
    int32_t band;  // rows of the labels
    int32_t zoom;  // picture pixels a zoomed pixel takes across
    int32_t windowX;
    int32_t windowY;
    int32_t windowWidth;
    int32_t windowHeight;
    int32_t centreX; // the pixel the zoom is centred on, -1 when no sample fails
    int32_t centreY;
    char centrePlane; // the sample there, in its plane
    int32_t sampleX;
    int32_t sampleY;
    int32_t panelX[4];
    int32_t panelWidth[4];
    std::string labels[4];
    std::string legend;
    int64_t legendY; // the first row of the legend's band
    bool masked;     // unknown samples drawn (--unknown)
    Region region;   // --crop's region, outlined on the frames; width 0 without
    int64_t width;
    int64_t height;
};

PictureLayout makePictureLayout(const PairLayout& pair, const FrameResult& drawn, bool masked, const Region& region);

} // namespace framecmp
