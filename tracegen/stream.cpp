// Streams of beats (-A): the layouts, the frames they are made from, the synthetic picture
// in those frames, and each frame's beats as rows.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>

#include "common/cli.h"
#include "tracegen.h"

namespace tracegen {
namespace {

constexpr int32_t largestPixelsPerBeat = 8;

// Components by plane: 0 the first (Y or G), 1 the second (U or B), 2 the third (V or R).
const StreamLayout streamLayouts[] = {
    {"yuv422", 422, 2, {0, 1, 0}, {0, 2, 0}, false}, {"uyvy422", 422, 2, {1, 0, 0}, {2, 0, 0}, false},
    {"yuv444", 444, 3, {0, 1, 2}, {0, 1, 2}, false}, {"uyv444", 444, 3, {1, 0, 2}, {1, 0, 2}, false},
    {"rgb", 444, 3, {0, 1, 2}, {0, 1, 2}, true},     {"yuv420", 420, 2, {0, 1, 0}, {0, 2, 0}, false},
    {"mono", 400, 1, {0, 0, 0}, {0, 0, 0}, false},
};

const char layoutList[] = "yuv422 uyvy422 yuv444 uyv444 rgb yuv420 mono";

const StreamLayout* findStreamLayout(const std::string& name)
{
    const StreamLayout* found = std::find_if(std::begin(streamLayouts), std::end(streamLayouts),
                                             [&](const StreamLayout& layout) { return name == layout.name; });
    return found == std::end(streamLayouts) ? nullptr : found;
}

// The planar format a layout's frames are written in when no -f names another.
Format planarFormatOfLayout(const StreamLayout& layout, int32_t bits)
{
    const char* name = layout.rgb               ? "gbrp"
                       : layout.sampling == 444 ? "yuv444p"
                                                : planarFormatOf(layout.sampling).layout->name;
    return Format{findLayout(name), bits, false};
}

// "yuv422:10:2" or "yuv422:10:2:byte", as the comments and messages name the stream.
std::string streamName(const Stream& stream)
{
    return std::string(stream.layout->name) + ":" + std::to_string(stream.bits) + ":" +
           std::to_string(stream.pixelsPerBeat) + (stream.byteSlots ? ":byte" : "");
}

// 75% colour bars as in the bus trace's picture, and in RGB for the rgb layout (planes G, B,
// R); the square is white.
const uint8_t barValues[2][3][8] = {
    {{180, 162, 131, 112, 84, 65, 35, 16},
     {128, 44, 156, 72, 184, 100, 212, 128},
     {128, 142, 44, 58, 198, 212, 114, 128}},
    {{191, 191, 191, 191, 0, 0, 0, 0}, {191, 0, 191, 0, 191, 0, 191, 0}, {191, 191, 0, 0, 191, 191, 0, 0}},
};
const uint8_t squareValues[2][3] = {{235, 128, 128}, {255, 255, 255}};

// The 8-bit value of plane `p` at luma position (x, y) of frame `index`.
int pictureValue(const Stream& stream, int p, int64_t index, int64_t x, int64_t y)
{
    const int64_t width = stream.frame.width;
    const int64_t height = stream.frame.height;
    const int64_t side = std::max<int64_t>(1, std::min(width, height) / 4);
    const int64_t left = (index * 4) % std::max<int64_t>(1, width - side);
    const int64_t top = (index * 2) % std::max<int64_t>(1, height - side);
    const int rgb = stream.layout->rgb ? 1 : 0;
    if (x >= left && x < left + side && y >= top && y < top + side) {
        return squareValues[rgb][p];
    }
    return barValues[rgb][p][x * 8 / width];
}

// Sample (x, y) of a plane, the bits of a component: an MSB-aligned container is shifted
// down, and bits above the depth are not part of the sample.
uint32_t sampleAt(const Stream& stream, const Plane& plane, const uint8_t* frame, int32_t x, int32_t y)
{
    const uint8_t* at =
        frame + plane.offset + static_cast<size_t>(y) * plane.rowStride + static_cast<size_t>(x) * plane.step;
    if (stream.frame.sampleBytes == 1) {
        return at[0];
    }
    uint32_t value = at[0] | uint32_t{at[1]} << 8;
    if (stream.format.msbAligned) {
        value >>= 16 - stream.bits;
    }
    return value & ((uint32_t{1} << stream.bits) - 1);
}

// Lays `bits` bits of `value` into a little-endian word from bit `position`.
void putBits(uint8_t* word, int32_t position, uint32_t value, int32_t bits)
{
    while (bits > 0) {
        const int32_t shift = position % 8;
        const int32_t taken = std::min(bits, 8 - shift);
        word[position / 8] = static_cast<uint8_t>(word[position / 8] | ((value & ((1U << taken) - 1)) << shift));
        value >>= taken;
        bits -= taken;
        position += taken;
    }
}

// Pixel (x, y)'s components into its slot. A 4:2:0 stream's odd lines carry no chroma: their
// chroma slots stay zero.
void putPixel(const Stream& stream, const uint8_t* frame, int32_t x, int32_t y, uint8_t* word, int32_t slot)
{
    const StreamLayout& layout = *stream.layout;
    const int32_t* planes = x % 2 == 0 ? layout.even : layout.odd;
    for (int32_t c = 0; c < layout.components; ++c) {
        const Plane& plane = stream.frame.planes[planes[c]];
        if (planes[c] != 0 && layout.sampling == 420 && y % 2 != 0) {
            continue;
        }
        const uint32_t value = sampleAt(stream, plane, frame, x / plane.coverX, y / plane.coverY);
        putBits(word, slot * stream.slotBits + c * stream.bits, value, stream.bits);
    }
}

} // namespace

Stream readStream(const char* text)
{
    const std::string what = std::string("-A ") + text;
    std::string parts[5];
    int count = 0;
    for (const char* at = text; count < 5; ++count) {
        const char* colon = std::strchr(at, ':');
        parts[count] = colon == nullptr ? std::string(at) : std::string(at, colon);
        if (colon == nullptr) {
            ++count;
            break;
        }
        at = colon + 1;
    }
    if (count < 3 || count > 4 || (count == 4 && parts[3] != "byte")) {
        failUsage(what, "the stream is LAYOUT:BITS:PPC or LAYOUT:BITS:PPC:byte");
    }
    Stream stream{};
    stream.layout = findStreamLayout(parts[0]);
    if (stream.layout == nullptr) {
        failUsage(what, std::string("unknown layout; the layouts are ") + layoutList);
    }
    const int64_t bits = readDecimal(parts[1].c_str(), 8, 16);
    if (bits != 8 && bits != 10 && bits != 12 && bits != 16) {
        failUsage(what, "the bits of a component are 8, 10, 12 or 16");
    }
    const int64_t pixels = readDecimal(parts[2].c_str(), 1, largestPixelsPerBeat);
    if (pixels != 1 && pixels != 2 && pixels != 4 && pixels != 8) {
        failUsage(what, "the pixels a beat are 1, 2, 4 or 8");
    }
    stream.bits = static_cast<int32_t>(bits);
    stream.pixelsPerBeat = static_cast<int32_t>(pixels);
    stream.byteSlots = count == 4;
    const int32_t slotBits = stream.layout->components * stream.bits;
    stream.slotBits = stream.byteSlots ? (slotBits + 7) / 8 * 8 : slotBits;
    return stream;
}

void settleStream(Stream& stream, const Format& input, int32_t width, int32_t height, int32_t busBits)
{
    const StreamLayout& layout = *stream.layout;
    const std::string name = streamName(stream);
    if (input.layout != nullptr) {
        const std::string what = "-f " + formatName(input);
        const bool rgb = std::strcmp(input.layout->planeNames, "GBR") == 0;
        if (!planarOrSemiPlanar(*input.layout)) {
            failUsage(what, "-A takes planar or semi-planar frames");
        }
        if (input.layout->sampling != layout.sampling || rgb != layout.rgb || input.depth != stream.bits) {
            failUsage(what, "not the frames of " + name + ", which are " +
                                formatName(planarFormatOfLayout(layout, stream.bits)) + " or alike");
        }
        stream.format = input;
    } else {
        stream.format = planarFormatOfLayout(layout, stream.bits);
    }
    if (!frameFits(stream.format, width, height)) {
        fail("geometry", std::to_string(width) + "x" + std::to_string(height) + " " + formatName(stream.format) +
                             ": a frame over " + std::to_string(INT32_MAX) + " bytes, the largest framecmp reads");
    }
    stream.frame = makeFrameLayout(stream.format, width, height);
    const int32_t needed = (stream.pixelsPerBeat * stream.slotBits + 7) / 8 * 8;
    if (busBits != 0 && busBits < needed) {
        failUsage("-b " + std::to_string(busBits),
                  "narrower than the " + std::to_string(needed) + " bits " + name + " needs");
    }
}

void drawStreamFrame(const Stream& stream, int64_t index, uint8_t* frame)
{
    const int shift = stream.bits - 8;
    for (int p = 0; p < stream.frame.planeCount; ++p) {
        const Plane& plane = stream.frame.planes[p];
        for (int32_t y = 0; y < plane.height; ++y) {
            for (int32_t x = 0; x < plane.width; ++x) {
                // A faint ramp keeps neighbouring samples apart, so misplaced bits show; the
                // low bits below the eight get one of their own. Positions are summed in 64
                // bits: a row may be near 2^31 samples wide.
                const int64_t position = int64_t{x} + y + p;
                const int value =
                    std::min(255, pictureValue(stream, p, index, int64_t{x} * plane.coverX, int64_t{y} * plane.coverY) +
                                      static_cast<int>(position & 3));
                const auto low = static_cast<uint32_t>((position + 2 * int64_t{x}) & ((1 << shift) - 1));
                const auto sample = static_cast<uint32_t>(value << shift) | low;
                uint8_t* at = frame + plane.offset + static_cast<size_t>(y) * plane.rowStride +
                              static_cast<size_t>(x) * plane.step;
                at[0] = static_cast<uint8_t>(sample);
                if (stream.frame.sampleBytes == 2) {
                    at[1] = static_cast<uint8_t>(sample >> 8);
                }
            }
        }
    }
    // At an odd width the last V of a 4:2:2 or 4:2:0 row has no pixel to carry it: it is
    // drawn as 0, which is what a stream gives back.
    const Plane& v = stream.frame.planes[2];
    if (stream.frame.planeCount == 3 && v.coverX == 2 && stream.frame.width % 2 != 0) {
        for (int32_t y = 0; y < v.height; ++y) {
            std::memset(frame + v.offset + static_cast<size_t>(y) * v.rowStride +
                            static_cast<size_t>(v.width - 1) * v.step,
                        0, stream.frame.sampleBytes);
        }
    }
}

// Each line is its beats, the last one's unused slots zero; TUSER on the frame's first beat,
// TLAST on each line's last.
void writeStreamFrame(const Settings& settings, const uint8_t* frame, TraceText& trace, Output& output)
{
    const Stream& stream = settings.stream;
    const int32_t width = stream.frame.width;
    const int32_t beats = (width - 1) / stream.pixelsPerBeat + 1;
    for (int32_t y = 0; y < stream.frame.height; ++y) {
        for (int32_t beat = 0; beat < beats; ++beat) {
            uint8_t word[largestBusBytes] = {};
            // The line's last beat may hold fewer pixels: its other slots stay zero.
            const int32_t first = beat * stream.pixelsPerBeat;
            const int32_t count = std::min(stream.pixelsPerBeat, width - first);
            for (int32_t slot = 0; slot < count; ++slot) {
                putPixel(stream, frame, first + slot, y, word, slot);
            }
            appendBeatRow(settings, trace, word, SideBand{stream.sideBand, y == 0 && beat == 0, beat == beats - 1},
                          output);
        }
    }
    writeOut(output, trace.text.data(), trace.text.size());
    trace.text.clear();
}

std::string streamComment(const Settings& settings, int64_t line)
{
    const Stream& stream = settings.stream;
    if (line == 0) {
        return "# tracegen " + std::to_string(stream.frame.width) + "x" + std::to_string(stream.frame.height) + " " +
               streamName(stream) + " on a " + std::to_string(settings.sizes.busBytes * 8) + "-bit TDATA, frames " +
               formatName(stream.format) + "\n";
    }
    return std::string("# rows: one beat each, pixel 0 in the low bits") +
           (settings.mostSignificantFirst ? ", most significant byte first" : "") +
           (stream.sideBand ? "; then TUSER and TLAST" : "") + "\n";
}

} // namespace tracegen
