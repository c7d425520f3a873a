// The frame formats framecmp and tracegen know, one table of them: a format is a layout
// (where each plane's samples stand) and a depth.
#pragma once

#include <cstdint>
#include <string>

// How the chroma of a layout is stored: none, two planes one after the other, one plane of
// U V pairs, or packed with the luma, two pixels in four samples. `pixel` layouts hold each
// pixel's samples side by side (rgb24, ayuv64le); `words` layouts pack them into 32-bit
// words (v210, xv20) and are read through a working frame laid out as the planar layout of
// their sampling.
enum class Chroma { none, planar, interleaved, packed, pixel, words };

// How a `words` layout places samples in its little-endian 32-bit words.
enum class Packing { none, v210, v410, y410, xv30, xv, x2rgb10, x2bgr10 };

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
    // Pixel layouts: where the first, second and third plane's sample stands in a pixel.
    int32_t lumaAt;
    int32_t uAt;
    int32_t vAt;
    // The names of the three planes, in file order: planar RGB keeps G, B, R where YUV keeps
    // Y, U, V, and reports name them so.
    const char* planeNames = "YUV";
    // Pixel layouts: the samples of a pixel, alpha or padding included.
    int32_t pixelSamples = 0;
    // Layouts of one depth only (v210, ayuv64le): that depth; 0 for the others, 8 bits by
    // their name and deeper as LAYOUT:DEPTH.
    int32_t onlyDepth = 0;
    Packing packing = Packing::none;
};

inline constexpr Layout layouts[] = {
    {"yuv420p", 420, 2, 2, Chroma::planar, 0, 0, 0},
    {"nv12", 420, 2, 2, Chroma::interleaved, 0, 0, 1},
    {"nv21", 420, 2, 2, Chroma::interleaved, 0, 1, 0},
    {"yuv422p", 422, 2, 1, Chroma::planar, 0, 0, 0},
    {"nv16", 422, 2, 1, Chroma::interleaved, 0, 0, 1},
    {"yuv440p", 440, 1, 2, Chroma::planar, 0, 0, 0},
    {"yuv444p", 444, 1, 1, Chroma::planar, 0, 0, 0},
    {"nv24", 444, 1, 1, Chroma::interleaved, 0, 0, 1},
    {"gray", 400, 1, 1, Chroma::none, 0, 0, 0},
    {"yuyv422", 422, 2, 1, Chroma::packed, 0, 1, 3},
    {"yvyu422", 422, 2, 1, Chroma::packed, 0, 3, 1},
    {"uyvy422", 422, 2, 1, Chroma::packed, 1, 0, 2},
    {"vyuy422", 422, 2, 1, Chroma::packed, 1, 2, 0},
    {"gbrp", 444, 1, 1, Chroma::planar, 0, 0, 0, "GBR"},
    {"rgb24", 444, 1, 1, Chroma::pixel, 0, 1, 2, "RGB", 3},
    {"bgr24", 444, 1, 1, Chroma::pixel, 2, 1, 0, "RGB", 3},
    {"rgba", 444, 1, 1, Chroma::pixel, 0, 1, 2, "RGB", 4},
    {"bgra", 444, 1, 1, Chroma::pixel, 2, 1, 0, "RGB", 4},
    {"argb", 444, 1, 1, Chroma::pixel, 1, 2, 3, "RGB", 4},
    {"abgr", 444, 1, 1, Chroma::pixel, 3, 2, 1, "RGB", 4},
    {"0rgb", 444, 1, 1, Chroma::pixel, 1, 2, 3, "RGB", 4},
    {"rgb0", 444, 1, 1, Chroma::pixel, 0, 1, 2, "RGB", 4},
    {"0bgr", 444, 1, 1, Chroma::pixel, 3, 2, 1, "RGB", 4},
    {"bgr0", 444, 1, 1, Chroma::pixel, 2, 1, 0, "RGB", 4},
    {"ayuv64le", 444, 1, 1, Chroma::pixel, 1, 2, 3, "YUV", 4, 16},
    {"v210", 422, 2, 1, Chroma::words, 0, 0, 0, "YUV", 0, 10, Packing::v210},
    {"v410", 444, 1, 1, Chroma::words, 0, 0, 0, "YUV", 0, 10, Packing::v410},
    {"y410", 444, 1, 1, Chroma::words, 0, 0, 0, "YUV", 0, 10, Packing::y410},
    {"xv30le", 444, 1, 1, Chroma::words, 0, 0, 0, "YUV", 0, 10, Packing::xv30},
    {"xv20", 422, 2, 1, Chroma::words, 0, 0, 0, "YUV", 0, 10, Packing::xv},
    {"xv15", 420, 2, 2, Chroma::words, 0, 0, 0, "YUV", 0, 10, Packing::xv},
    {"x2rgb10le", 444, 1, 1, Chroma::words, 0, 0, 0, "RGB", 0, 10, Packing::x2rgb10},
    {"x2bgr10le", 444, 1, 1, Chroma::words, 0, 0, 0, "RGB", 0, 10, Packing::x2bgr10},
};

// Whether a layout's planes are red, green and blue rather than luma and chroma.
inline bool isRgb(const Layout& layout)
{
    return layout.planeNames[0] != 'Y';
}

// Whether a layout keeps each plane's samples apart, one plane or two interleaved: the
// frames a bus trace carries.
inline bool planarOrSemiPlanar(const Layout& layout)
{
    return layout.chroma == Chroma::none || layout.chroma == Chroma::planar || layout.chroma == Chroma::interleaved;
}

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
    {"y210le", "yuyv422", 10, true},       {"y212le", "yuyv422", 12, true},       {"gbrp10le", "gbrp", 10, false},
    {"gbrp12le", "gbrp", 12, false},       {"gbrp16le", "gbrp", 16, false},       {"i420", "yuv420p", 8, false},
    {"422p", "yuv422p", 8, false},         {"440p", "yuv440p", 8, false},         {"yuyv", "yuyv422", 8, false},
    {"yvyu", "yvyu422", 8, false},         {"uyvy", "uyvy422", 8, false},         {"vyuy", "vyuy422", 8, false},
    {"rgb48le", "rgb24", 16, false},
};

const Layout* findLayout(const char* name);

// Reads a format name: a layout (8 bits, or the one depth of a layout of one depth; "le"
// may be left off the name as ffmpeg allows), LAYOUT:DEPTH (LSB-aligned), LAYOUT:DEPTHm
// (MSB-aligned), with DEPTH from 8 to 16 ("m" above 8 only), or one of formatNames.
// Returns false, leaving `format` alone, for anything else.
bool parseFormat(const char* text, Format& format);

// The name a format is best known by: ffmpeg's where it has one, else the layout for 8
// bits, else LAYOUT:DEPTH or LAYOUT:DEPTHm.
std::string formatName(const Format& format);

// Every name parseFormat takes, for a message that lists them.
std::string knownFormatNames();

// The planar format of a sampling: what a name's sampling means without -f.
Format planarFormatOf(int32_t sampling);
