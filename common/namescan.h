// The geometry a file's name carries: _wWIDTH_HEIGHT_SAMPLING in its last component.
#pragma once

#include <cstdint>
#include <string>

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
