// tracegen: writes a bus trace, as traceframes reads it, from a raw planar frame file or
// from a synthetic picture (colour bars with a square that moves from frame to frame).
// The luma plane goes out first, then the two chroma planes interleaved, U then V, as a
// bus carries them. With -r the planar frames themselves are written instead, which is
// what traceframes -P turns the trace back into. With -A the frames go out as a stream of
// beats instead, one pixel-interleaved data word a row. Exit status: 0 done, 2 trouble.
//
// This header is the whole contract between its files: settings.cpp reads the command line,
// frames.cpp makes each frame's bytes (the synthetic picture, the trace text), stream.cpp
// does the same for streams of beats, and run.cpp opens the files and runs the frames
// through them.
#pragma once

#include <cstdint>
#include <string>

#include "common/formats.h"
#include "common/frameoutput.h"

namespace tracegen {

// The bus widths a trace may have, in bits: any multiple of 8 in this range. A row holds one
// number a byte of the bus word.
constexpr int32_t lowestBusBits = 8;
constexpr int32_t highestBusBits = 512;
constexpr int32_t largestBusBytes = highestBusBits / 8;

// Sizes of one frame in bytes, all within a signed 32-bit integer by construction; the
// chroma width and height count samples.
struct FrameSizes {
    int32_t width;
    int32_t height;
    int32_t sampling;
    int32_t busBytes;
    int32_t depth;
    int32_t sampleBytes;
    int32_t lumaPlaneSize;
    int32_t frameSize;
    int32_t chromaPlaneSize;
    int32_t chromaWidth;
    int32_t chromaHeight;
};

// How a row is written: what goes between two numbers, before the line feed, and the digits.
enum class RowShape { spaced, packed, crlf, trailing, tabs, upper, mixed };

// A stream of beats, as video cores move pixels: each row one data word (TDATA) of
// `pixelsPerBeat` pixel slots, pixel 0 in the lowest bits, each pixel's components packed
// from bit 0 without gaps. `layout` names what each slot holds.
struct StreamLayout {
    const char* name;
    int32_t sampling; // 422, 444, 420 or 400
    int32_t components;
    // The plane each component of an even and of an odd pixel comes from, from bit 0 up:
    // 0 the first plane (Y or G), 1 the second (U or B), 2 the third (V or R).
    int32_t even[3];
    int32_t odd[3];
    bool rgb;
};

struct Stream {
    const StreamLayout* layout; // nullptr: the bus trace of planes
    int32_t bits;               // a component's
    int32_t pixelsPerBeat;
    bool byteSlots; // each pixel slot rounded up to whole bytes
    bool sideBand;  // TUSER and TLAST after TDATA on each row
    int32_t slotBits;
    Format format; // the frames' format: the input's, or the layout's planar one
    FrameLayout frame;
};

struct Settings {
    FrameSizes sizes;
    Stream stream;
    int64_t frames;
    int64_t comments;
    RowShape shape;
    const char* rawInput;
    const Layout* inputLayout; // the raw input's, where -f gives it: planar otherwise
    bool writeRaw;
    bool mostSignificantFirst;
    const char* outputPath;
};

// The output and the name its messages give it.
struct Output {
    const char* path;
    FrameOutput frames;
};

// The trace text of the frames so far, and the rows written, which `mixed` varies on.
struct TraceText {
    std::string text;
    size_t row;
};

// "a 32-bit bus", "an 8-bit bus": the bus as messages and comments name it.
std::string busName(int32_t busBits);

// stream.cpp: -A's value, the frames of a stream and their beats as trace rows.
Stream readStream(const char* text);
void settleStream(Stream& stream, const Format& input, int32_t width, int32_t height, int32_t busBits);
void drawStreamFrame(const Stream& stream, int64_t index, uint8_t* frame);
void writeStreamFrame(const Settings& settings, const uint8_t* frame, TraceText& trace, Output& output);
std::string streamComment(const Settings& settings, int64_t line);

// frames.cpp: a row of bus words, with TUSER and TLAST after them where `sideBand` says.
struct SideBand {
    bool present;
    bool startOfFrame;
    bool endOfLine;
};
void appendBeatRow(const Settings& settings, TraceText& trace, const uint8_t* bytes, SideBand sideBand, Output& output);

// settings.cpp: the command line; a bad one ends the run with its message.
Settings readArguments(int argc, char** argv);

// frames.cpp
void drawFrame(const FrameSizes& sizes, int64_t index, uint8_t* frame);
TraceText makeTraceText();
void writeComments(const Settings& settings, Output& output);
void writeTraceFrame(const Settings& settings, const uint8_t* frame, TraceText& trace, Output& output);

// run.cpp: writes all of `data` or ends the run, the output cut back to its whole frames.
void writeOut(Output& output, const void* data, size_t length);
[[noreturn]] void failAllocating(size_t bytes);

// The program: returns its exit status (a failure ends the run with status 2 and a message).
int run(int argc, char** argv);

} // namespace tracegen
