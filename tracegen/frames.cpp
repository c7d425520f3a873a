// What a frame becomes: the synthetic picture drawn into it when there is no input, and its
// rows of bus words as trace text.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>

#include "tracegen.h"

namespace tracegen {
namespace {

// Text is handed to the output in blocks of about this size, whatever the frame size.
constexpr size_t textBlockSize = size_t{1} << 20;

// ---- Synthetic picture ----

// 75% colour bars: white, yellow, cyan, green, magenta, red, blue, black.
const uint8_t barY[8] = {180, 162, 131, 112, 84, 65, 35, 16};
const uint8_t barU[8] = {128, 44, 156, 72, 184, 100, 212, 128};
const uint8_t barV[8] = {128, 142, 44, 58, 198, 212, 114, 128};

// The colour of pixel (x, y) in frame `index`: a bar, or the white square (-1).
int colourAt(const FrameSizes& sizes, int64_t index, int64_t x, int64_t y)
{
    const int64_t squareSide = std::max(1, std::min(sizes.width, sizes.height) / 4);
    const int64_t travelX = std::max<int64_t>(1, sizes.width - squareSide);
    const int64_t travelY = std::max<int64_t>(1, sizes.height - squareSide);
    const int64_t left = (index * 4) % travelX;
    const int64_t top = (index * 2) % travelY;
    if (x >= left && x < left + squareSide && y >= top && y < top + squareSide) {
        return -1;
    }
    return static_cast<int>(x * 8 / sizes.width);
}

// Stores sample `at` of a plane: an 8-bit value scaled to the depth, with `low` in the bits
// below the eight (a ramp, so that misplaced bytes show), little-endian in two bytes.
void putSample(const FrameSizes& sizes, uint8_t* plane, size_t at, int value, int low)
{
    if (sizes.sampleBytes == 1) {
        plane[at] = static_cast<uint8_t>(value);
        return;
    }
    const int shift = sizes.depth - 8;
    const auto sample = static_cast<uint32_t>((value << shift) | (low & ((1 << shift) - 1)));
    plane[2 * at] = static_cast<uint8_t>(sample);
    plane[2 * at + 1] = static_cast<uint8_t>(sample >> 8);
}

// ---- Trace text ----

// The shape of row `row`: the one asked for, or with `mixed` each in turn (not `mixed`).
RowShape shapeOfRow(RowShape shape, size_t row)
{
    return shape == RowShape::mixed ? RowShape(row % size_t(RowShape::mixed)) : shape;
}

// Appends one row of two-digit numbers in the given shape, then the side band's digits;
// `row` varies the case and the blank runs of mixed rows.
void appendRow(std::string& text, const uint8_t* bytes, int busBytes, RowShape shape, bool mixed, size_t row,
               SideBand sideBand)
{
    static const char lower[] = "0123456789abcdef";
    static const char upper[] = "0123456789ABCDEF";
    if (mixed && row % 7 == 3) {
        text += ' ';
    }
    for (int i = 0; i < busBytes; ++i) {
        const bool upperCase = shape == RowShape::upper || (mixed && (row + size_t(i)) % 3 == 0);
        const char* digits = upperCase ? upper : lower;
        if (i > 0) {
            if (shape == RowShape::tabs) {
                text += '\t';
            } else if (shape != RowShape::packed) {
                text.append(mixed && (row + size_t(i)) % 4 == 0 ? 2 : 1, ' ');
            }
        }
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    if (sideBand.present) {
        const char separator = shape == RowShape::tabs ? '\t' : ' ';
        text += separator;
        text += sideBand.startOfFrame ? '1' : '0';
        text += separator;
        text += sideBand.endOfLine ? '1' : '0';
    }
    if (shape == RowShape::trailing) {
        text += ' ';
    }
    text += shape == RowShape::crlf ? "\r\n" : "\n";
}

// How rows are written: the bus width, the shape, and the byte order of a row.
struct RowStyle {
    int32_t busBytes;
    RowShape shape;
    bool mostSignificantFirst;
};

// Appends a row of bus words and hands full blocks of text to the output.
void appendTraceRow(TraceText& trace, const uint8_t* bytes, const RowStyle& style, Output& output,
                    SideBand sideBand = SideBand{false, false, false})
{
    const bool mixed = style.shape == RowShape::mixed;
    if (mixed && trace.row % 1000 == 999) {
        trace.text += "# a comment between rows\n";
    }
    uint8_t reversed[largestBusBytes];
    if (style.mostSignificantFirst) {
        std::reverse_copy(bytes, bytes + style.busBytes, reversed);
        bytes = reversed;
    }
    appendRow(trace.text, bytes, style.busBytes, shapeOfRow(style.shape, trace.row), mixed, trace.row, sideBand);
    ++trace.row;
    if (trace.text.size() >= textBlockSize) {
        writeOut(output, trace.text.data(), trace.text.size());
        trace.text.clear();
    }
}

// A bus word being filled a byte at a time; a full word goes out as a row.
struct WordFill {
    uint8_t bytes[largestBusBytes];
    size_t count;
};

void appendByte(WordFill& word, uint8_t byte, TraceText& trace, const RowStyle& style, Output& output)
{
    word.bytes[word.count++] = byte;
    if (word.count == static_cast<size_t>(style.busBytes)) {
        appendTraceRow(trace, word.bytes, style, output);
        word.count = 0;
    }
}

// The chroma interleaved a sample at a time, U then V, from two planes or, for semi-planar
// input, from the pairs (V first in NV21), as one stream of bytes: where the bus is not a
// whole number of pairs, a pair is split across two rows. The frame is whole bus words, so
// the last row is full.
void appendChromaRows(const Settings& settings, const uint8_t* frame, const RowStyle& style, TraceText& trace,
                      Output& output)
{
    const FrameSizes& sizes = settings.sizes;
    const auto lumaBytes = static_cast<size_t>(sizes.lumaPlaneSize);
    const auto sampleBytes = static_cast<size_t>(sizes.sampleBytes);
    const Layout* layout = settings.inputLayout;
    const bool pairs = layout != nullptr && layout->chroma == Chroma::interleaved;
    const uint8_t* u = frame + lumaBytes + (pairs ? static_cast<size_t>(layout->uAt) * sampleBytes : 0);
    const uint8_t* v =
        pairs ? frame + lumaBytes + static_cast<size_t>(layout->vAt) * sampleBytes : u + sizes.chromaPlaneSize;
    const size_t step = pairs ? 2 * sampleBytes : sampleBytes; // from one sample of a plane to the next
    WordFill word{{}, 0};
    const size_t chromaSamples = static_cast<size_t>(sizes.chromaPlaneSize) / sampleBytes;
    for (size_t k = 0; k < chromaSamples; ++k) {
        for (const uint8_t* sample : {u + k * step, v + k * step}) {
            for (size_t b = 0; b < sampleBytes; ++b) {
                appendByte(word, sample[b], trace, style, output);
            }
        }
    }
    // A frame of an odd number of chroma samples ends in one that no plane holds: its bytes
    // as they stand at the frame's end.
    for (size_t at = lumaBytes + 2 * static_cast<size_t>(sizes.chromaPlaneSize);
         at < static_cast<size_t>(sizes.frameSize); ++at) {
        appendByte(word, frame[at], trace, style, output);
    }
}

} // namespace

std::string busName(int32_t busBits)
{
    // Said with a vowel: 8, 80 to 89.
    const bool vowel = busBits == 8 || (busBits >= 80 && busBits <= 89);
    return (vowel ? "an " : "a ") + std::to_string(busBits) + "-bit bus";
}

void drawFrame(const FrameSizes& sizes, int64_t index, uint8_t* frame)
{
    for (int32_t y = 0; y < sizes.height; ++y) {
        const size_t rowStart = static_cast<size_t>(y) * static_cast<size_t>(sizes.width);
        for (int32_t x = 0; x < sizes.width; ++x) {
            const int colour = colourAt(sizes, index, x, y);
            // A faint ramp keeps neighbouring samples apart, so misplaced bytes show.
            const int ramp = (x + y) & 7;
            putSample(sizes, frame, rowStart + size_t(x), colour < 0 ? 235 : barY[colour] + ramp, x * 3 + y);
        }
    }
    uint8_t* u = frame + sizes.lumaPlaneSize;
    uint8_t* v = u + sizes.chromaPlaneSize;
    for (int32_t cy = 0; cy < sizes.chromaHeight; ++cy) {
        for (int32_t cx = 0; cx < sizes.chromaWidth; ++cx) {
            const int colour = colourAt(sizes, index, static_cast<int64_t>(cx) * sizes.width / sizes.chromaWidth,
                                        static_cast<int64_t>(cy) * sizes.height / sizes.chromaHeight);
            const size_t at = static_cast<size_t>(cy) * static_cast<size_t>(sizes.chromaWidth) + size_t(cx);
            putSample(sizes, u, at, colour < 0 ? 128 : barU[colour], cx + cy);
            putSample(sizes, v, at, colour < 0 ? 128 : barV[colour], cx + 2 * cy);
        }
    }
}

// The text of a trace: room for a block and the row or comment that passes it, taken at
// once, so that nothing is allocated after the output is opened.
TraceText makeTraceText()
{
    constexpr size_t capacity = textBlockSize + 256;
    TraceText trace{std::string(), 0};
    try {
        trace.text.reserve(capacity);
    } catch (const std::bad_alloc&) {
        failAllocating(capacity);
    }
    return trace;
}

void appendBeatRow(const Settings& settings, TraceText& trace, const uint8_t* bytes, SideBand sideBand, Output& output)
{
    const RowStyle style{settings.sizes.busBytes, settings.shape, settings.mostSignificantFirst};
    appendTraceRow(trace, bytes, style, output, sideBand);
}

void writeComments(const Settings& settings, Output& output)
{
    if (settings.stream.layout != nullptr) {
        for (int64_t i = 0; i < settings.comments; ++i) {
            const std::string line = streamComment(settings, i);
            writeOut(output, line.data(), line.size());
        }
        return;
    }
    const FrameSizes& sizes = settings.sizes;
    const std::string bus = busName(sizes.busBytes * 8);
    for (int64_t i = 0; i < settings.comments; ++i) {
        char line[128];
        if (i == 0 && sizes.depth == 8) {
            std::snprintf(line, sizeof line, "# tracegen %dx%d YUV%d on %s\n", sizes.width, sizes.height,
                          sizes.sampling, bus.c_str());
        } else if (i == 0) {
            std::snprintf(line, sizeof line, "# tracegen %dx%d YUV%d of %d-bit samples on %s\n", sizes.width,
                          sizes.height, sizes.sampling, sizes.depth, bus.c_str());
        } else {
            std::snprintf(line, sizeof line, "# rows: luma plane, then chroma interleaved U V%s\n",
                          settings.mostSignificantFirst ? ", most significant byte first" : "");
        }
        writeOut(output, line, std::strlen(line));
    }
}

// The luma plane row after row, then the chroma rows (appendChromaRows).
void writeTraceFrame(const Settings& settings, const uint8_t* frame, TraceText& trace, Output& output)
{
    const FrameSizes& sizes = settings.sizes;
    const RowStyle style{sizes.busBytes, settings.shape, settings.mostSignificantFirst};
    const auto busBytes = static_cast<size_t>(sizes.busBytes);
    for (size_t at = 0; at < static_cast<size_t>(sizes.lumaPlaneSize); at += busBytes) {
        appendTraceRow(trace, frame + at, style, output);
    }
    appendChromaRows(settings, frame, style, trace, output);
    // A frame's text is out before the next frame is read, whatever happens to that one.
    writeOut(output, trace.text.data(), trace.text.size());
    trace.text.clear();
}

} // namespace tracegen
