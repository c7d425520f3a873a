// tracegen's command line: the options, the geometry the output's reader would take, and
// the sizes of a frame.

#include <cstdint>
#include <cstring>
#include <string>

#include <getopt.h>

#include "common/cli.h"
#include "common/formats.h"
#include "tracegen.h"

#ifndef YUVTOOLS_VERSION
#define YUVTOOLS_VERSION "unknown"
#endif

namespace tracegen {
namespace {

const char usageText[] =
    "usage: tracegen [-rEK] [-s 420|422|440|400] [-b BITS] [-D BITS] [-A LAYOUT:BITS:PPC[:byte]]\n"
    "                [-n FRAMES] [-c COMMENTS] [-S SHAPE] [-i RAW [-f FORMAT]] WIDTH HEIGHT OUTPUT\n"
    "  -s  chroma sampling (420)\n"
    "  -b  bus width in bits, a multiple of 8 from 8 to 512 (32); a row holds one number a byte\n"
    "  -D  bits a sample (8); from 9 to 16 a sample takes two bytes, little-endian\n"
    "  -E  each row one bus word most significant byte first, as Verilog's %h prints it\n"
    "  -n  synthetic frames (1)         -c  comment lines at the top (2; 0 for none)\n"
    "  -S  row shape (spaced): spaced \"4a 4a\", packed \"4a4a\", crlf \"4a 4a\" CR LF,\n"
    "      trailing \"4a 4a \", tabs \"4a<TAB>4a\", upper \"4A 4A\", mixed (row by row all of\n"
    "      these, in mixed case, some with leading blanks, a comment line now and then)\n"
    "  -i  take the frames from a raw planar file (- for standard input) instead of the\n"
    "      synthetic picture\n"
    "  -f  the raw input's format, planar or semi-planar (yuv420p, nv12, p010le, yuv420p:10, ...;\n"
    "      see framecmp --help); it gives the sampling and the depth\n"
    "  -r  write the raw planar frames instead of a trace\n"
    "  -A  a stream of beats: each row one TDATA word of PPC (1, 2, 4, 8) pixels, pixel 0 in the\n"
    "      low bits, components of BITS (8, 10, 12, 16) packed from bit 0 (:byte: each pixel in\n"
    "      whole bytes); LAYOUT yuv422 uyvy422 yuv444 uyv444 rgb yuv420 mono\n"
    "  -K  with -A: TUSER (first beat of a frame) and TLAST (last beat of a line) after TDATA\n"
    "  OUTPUT - is standard output.   --help, --version\n";

struct ShapeName {
    const char* name;
    RowShape shape;
};

const ShapeName shapeNames[] = {
    {"spaced", RowShape::spaced},     {"packed", RowShape::packed}, {"crlf", RowShape::crlf},
    {"trailing", RowShape::trailing}, {"tabs", RowShape::tabs},     {"upper", RowShape::upper},
    {"mixed", RowShape::mixed},
};

int32_t readNumber(const char* what, const char* text, int64_t low, int64_t high)
{
    const int64_t value = readDecimal(text, low, high);
    if (value < 0) {
        failUsage(std::string(what) + " " + text,
                  "not a number from " + std::to_string(low) + " to " + std::to_string(high));
    }
    return static_cast<int32_t>(value);
}

RowShape readShape(const char* text)
{
    for (const ShapeName& entry : shapeNames) {
        if (std::strcmp(text, entry.name) == 0) {
            return entry.shape;
        }
    }
    failUsage(std::string("-S ") + text, "unknown row shape");
}

int32_t readSampling(const char* text)
{
    const int64_t sampling = readDecimal(text, 400, 440);
    if (findSampling(sampling) == nullptr) {
        failUsage(std::string("-s ") + text, "the sampling is one of 420, 422, 440, 400");
    }
    return static_cast<int32_t>(sampling);
}

int32_t readBusBits(const char* text)
{
    const int64_t bits = readDecimal(text, lowestBusBits, highestBusBits);
    if (bits < 0 || bits % 8 != 0) {
        failUsage(std::string("-b ") + text, "the bus width is a multiple of 8 from 8 to 512");
    }
    return static_cast<int32_t>(bits);
}

// Any format name framecmp takes; a stream's frames are checked against its layout later.
Format readAnyFormat(const char* text)
{
    Format format{};
    if (!parseFormat(text, format)) {
        failUsage(std::string("-f ") + text, "unknown format; the formats are " + knownFormatNames());
    }
    return format;
}

// The raw input's format: it must be planar or semi-planar, of a sampling a bus trace carries.
Format readInputFormat(const char* text)
{
    const Format format = readAnyFormat(text);
    if (!planarOrSemiPlanar(*format.layout) || findSampling(format.layout->sampling) == nullptr) {
        failUsage(std::string("-f ") + text, "not a planar or semi-planar format of 4:2:0, 4:2:2, 4:4:0 or 4:0:0");
    }
    return format;
}

// Refuses what the output's reader would: a trace whose geometry traceframes -G refuses, or
// raw frames over framecmp's frame limit.
void refuseGeometry(int32_t width, int32_t height, int32_t sampling, int32_t busBits, int32_t depth, bool writeRaw)
{
    std::string geometry = std::to_string(width) + "x" + std::to_string(height) + " YUV" + std::to_string(sampling);
    if (depth > 8) {
        geometry += " of " + std::to_string(depth) + "-bit samples";
    }
    if (writeRaw) {
        const Format raw{planarFormatOf(sampling).layout, depth, false};
        if (!frameFits(raw, width, height)) {
            fail("geometry",
                 geometry + ": a frame over " + std::to_string(INT32_MAX) + " bytes, the largest framecmp reads");
        }
        return;
    }
    const std::string fault = traceGeometryFault(width, height, sampling, busBits / 8, depth > 8 ? 2 : 1);
    if (!fault.empty()) {
        fail("geometry", geometry + " on " + busName(busBits) + ": " + fault);
    }
}

// The sizes by traceframes' rule, as its -D reads them: the frame is the luma plane times the
// sampling's factor, rounded down, each chroma plane half of the rest, and two-byte samples
// double every plane. framecmp's makeFrameLayout rounds an odd chroma size up instead (a 3x8
// 4:2:0 frame is 40 bytes there, 36 here), so the two agree on even sizes only. The
// geometry has been checked (refuseGeometry), so each size fits a signed 32-bit integer.
FrameSizes makeFrameSizes(int32_t width, int32_t height, int32_t sampling, int32_t busBits, int32_t depth)
{
    const int64_t sampleBytes = depth > 8 ? 2 : 1;
    const int64_t lumaSamples = int64_t{width} * height;
    const Sampling& chroma = *findSampling(sampling);
    const int64_t frameSamples = traceFrameSamples(lumaSamples, sampling);
    return FrameSizes{width,
                      height,
                      sampling,
                      busBits / 8,
                      depth,
                      static_cast<int32_t>(sampleBytes),
                      static_cast<int32_t>(lumaSamples * sampleBytes),
                      static_cast<int32_t>(frameSamples * sampleBytes),
                      static_cast<int32_t>((frameSamples - lumaSamples) / 2 * sampleBytes),
                      sampling == 400 ? 0 : width / chroma.coverX,
                      sampling == 400 ? 0 : height / chroma.coverY};
}

// The synthetic picture draws every chroma sample of its planes: their sizes must be whole.
void refuseOddSynthetic(const FrameSizes& sizes)
{
    if (sizes.chromaPlaneSize != 0 &&
        int64_t{sizes.chromaWidth} * sizes.chromaHeight * sizes.sampleBytes != sizes.chromaPlaneSize) {
        fail(std::to_string(sizes.width) + "x" + std::to_string(sizes.height),
             "the synthetic picture needs an even width and height for its chroma");
    }
}

// The stream's sizes: the frame as its format lays it out, TDATA the fewest whole bytes of
// the pixel slots unless -b gives a wider one.
FrameSizes streamSizes(const Stream& stream, int32_t busBits)
{
    const int32_t needed = (stream.pixelsPerBeat * stream.slotBits + 7) / 8 * 8;
    const FrameLayout& frame = stream.frame;
    return FrameSizes{frame.width,
                      frame.height,
                      stream.layout->sampling,
                      (busBits != 0 ? busBits : needed) / 8,
                      stream.bits,
                      static_cast<int32_t>(frame.sampleBytes),
                      0,
                      static_cast<int32_t>(frame.frameSize),
                      0,
                      0,
                      0};
}

// What a stream (-A) takes of the other options: the sampling and depth come from its layout.
void refuseStreamOptions(const Settings& settings, int32_t sampling, int32_t depth)
{
    const StreamLayout& layout = *settings.stream.layout;
    if (depth != 0) {
        failUsage("-D", "-A gives the bits of a component");
    }
    if (sampling != 0 && sampling != layout.sampling) {
        failUsage("-s " + std::to_string(sampling),
                  std::string("the layout ") + layout.name + " is " + std::to_string(layout.sampling));
    }
}

} // namespace

Settings readArguments(int argc, char** argv)
{
    static const option longOptions[] = {
        {"help", no_argument, nullptr, 'h'}, {"version", no_argument, nullptr, 'V'}, {nullptr, 0, nullptr, 0}};
    Settings settings{};
    settings.frames = 1;
    settings.comments = 2;
    int32_t sampling = 0; // 0 until -s or -f gives it
    int32_t depth = 0;
    int32_t busBits = 0; // 0 until -b gives it
    const char* formatText = nullptr;
    bool sideBand = false;
    opterr = 0;
    int opt = 0;
    while ((opt = getopt_long(argc, argv, ":s:b:D:n:c:S:i:f:A:rEKh", longOptions, nullptr)) != -1) {
        switch (opt) {
        case 's': sampling = readSampling(optarg); break;
        case 'b': busBits = readBusBits(optarg); break;
        case 'D': depth = readNumber("-D", optarg, 8, 16); break;
        case 'f': formatText = optarg; break;
        case 'A': settings.stream = readStream(optarg); break;
        case 'K': sideBand = true; break;
        case 'E': settings.mostSignificantFirst = true; break;
        case 'n': settings.frames = readNumber("-n", optarg, 0, INT32_MAX); break;
        case 'c': settings.comments = readNumber("-c", optarg, 0, INT32_MAX); break;
        case 'S': settings.shape = readShape(optarg); break;
        case 'i': settings.rawInput = optarg; break;
        case 'r': settings.writeRaw = true; break;
        case 'h': printAndExit(usageText);
        case 'V': printAndExit("tracegen (yuvtools) " YUVTOOLS_VERSION "\n");
        case ':': failUsage(argv[optind - 1], "needs a value");
        default: failUsage(optopt != 0 ? std::string("-") + char(optopt) : argv[optind - 1], "unknown option");
        }
    }
    if (argc - optind != 3) {
        failUsage("arguments", "WIDTH, HEIGHT and OUTPUT are needed");
    }
    const int32_t width = readNumber("width", argv[optind], 1, INT32_MAX);
    const int32_t height = readNumber("height", argv[optind + 1], 1, INT32_MAX);
    const bool streamed = settings.stream.layout != nullptr;
    if (sideBand && !streamed) {
        failUsage("-K", "TUSER and TLAST go with a stream, which -A gives");
    }
    settings.stream.sideBand = sideBand;
    if (formatText != nullptr && settings.rawInput == nullptr) {
        failUsage("-f", "describes the raw input, which -i names");
    }
    const Format inputFormat = formatText == nullptr ? Format{nullptr, 0}
                               : streamed            ? readAnyFormat(formatText)
                                                     : readInputFormat(formatText);
    settings.outputPath = argv[optind + 2];
    if (streamed) {
        refuseStreamOptions(settings, sampling, depth);
        settleStream(settings.stream, inputFormat, width, height, busBits);
        settings.sizes = streamSizes(settings.stream, busBits);
        return settings;
    }
    if (inputFormat.layout != nullptr) {
        if ((sampling != 0 && sampling != inputFormat.layout->sampling) || (depth != 0 && depth != inputFormat.depth)) {
            failUsage("-f", "the format's sampling and depth disagree with -s or -D");
        }
        sampling = inputFormat.layout->sampling;
        depth = inputFormat.depth;
        settings.inputLayout = inputFormat.layout;
    }
    sampling = sampling != 0 ? sampling : 420;
    depth = depth != 0 ? depth : 8;
    busBits = busBits != 0 ? busBits : 32;
    refuseGeometry(width, height, sampling, busBits, depth, settings.writeRaw);
    settings.sizes = makeFrameSizes(width, height, sampling, busBits, depth);
    if (settings.rawInput == nullptr) {
        refuseOddSynthetic(settings.sizes);
    }
    return settings;
}

} // namespace tracegen
