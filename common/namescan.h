// The geometry a file's name carries: _wWIDTH_HEIGHT_SAMPLING in its last component, or a
// WxH part and a pixel-format part as raw viewers name files.
#pragma once

#include <cstdint>
#include <string>

#include "common/format.h"

// Width, height and sampling as a geometry marker in a file name gives them.
struct NameFields {
    bool found;
    int32_t width;
    int32_t height;
    int32_t sampling;
};

bool isDecimalDigit(char c);

// The geometry marker in a file's own name, never in its directories (run_w2/a.yuv has none):
// the rightmost "_w" directly followed by a digit, then width, height and sampling as the
// first three runs of digits; the bus width that follows is not needed here. A name with a
// marker that does not decode is refused.
NameFields readNameFields(const std::string& path);

// A size and a format as raw viewers read them from a file's own name: its last component
// split at '_', '-' and '.', a part WIDTHxHEIGHT (each from 1 to 2147483647) and a part that
// names a format as ffmpeg's pixel formats do (clip_1920x1080_yuv420p10le.yuv,
// out-352x288-nv12.raw); the rightmost of each. Parts that are neither are passed over.
struct ViewerFields {
    bool sized;
    int32_t width;
    int32_t height;
    bool formatted;
    Format format;
};

ViewerFields readViewerFields(const std::string& path);
