// tracegen: writes a bus trace, as traceframes reads it, from a raw planar frame file or
// from a synthetic picture (colour bars with a square that moves from frame to frame).
// The luma plane goes out first, then the two chroma planes interleaved, U then V, as a
// bus carries them. With -r the planar frames themselves are written instead, which is
// what traceframes -P turns the trace back into. Exit status: 0 done, 2 trouble.

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include <csignal>

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../common/cli.h"
#include "../common/formats.h"

#ifndef YUVTOOLS_VERSION
#define YUVTOOLS_VERSION "unknown"
#endif

const char programName[] = "tracegen";

constexpr int statusDone = 0;

static const char usageText[] =
    "usage: tracegen [-rE] [-s 420|422|440|400] [-b 32|64] [-D BITS] [-n FRAMES] [-c COMMENTS] [-S SHAPE]\n"
    "                [-i RAW [-f FORMAT]] WIDTH HEIGHT OUTPUT\n"
    "  -s  chroma sampling (420)        -b  bus width in bits (32)\n"
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
    "  OUTPUT - is standard output.   --help, --version\n";

// Text is handed to the output in blocks of about this size, whatever the frame size.
constexpr size_t textBlockSize = size_t{1} << 20;

// Sizes of one frame in bytes, all within a signed 32-bit integer by construction; the
// chroma width and height count samples.
struct Picture {
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

struct ShapeName {
    const char* name;
    RowShape shape;
};

static const ShapeName shapeNames[] = {
    {"spaced", RowShape::spaced},     {"packed", RowShape::packed}, {"crlf", RowShape::crlf},
    {"trailing", RowShape::trailing}, {"tabs", RowShape::tabs},     {"upper", RowShape::upper},
    {"mixed", RowShape::mixed},
};

struct Options {
    Picture picture;
    int64_t frames;
    int64_t comments;
    RowShape shape;
    const char* rawInput;
    const Layout* inputLayout; // the raw input's, where -f gives it: planar otherwise
    bool writeRaw;
    bool mostSignificantFirst;
    const char* outputPath;
};

struct Stream {
    const char* path;
    FILE* file;
};

// The output, written with write(2) so that what reached the file is known: `kept` counts
// the bytes of the comment lines and the whole frames, which a failed write cuts back to.
struct Output {
    const char* path;
    int fd;
    int64_t written;
    int64_t kept;
};

// The trace text of the frames so far, and the rows written, which `mixed` varies on.
struct TraceText {
    std::string text;
    size_t row;
};

// ---- Command line ----

static int32_t readNumber(const char* what, const char* text, int64_t low, int64_t high)
{
    const int64_t value = readDecimal(text, low, high);
    if (value < 0) {
        failUsage(std::string(what) + " " + text,
                  "not a number from " + std::to_string(low) + " to " + std::to_string(high));
    }
    return static_cast<int32_t>(value);
}

static RowShape readShape(const char* text)
{
    for (const ShapeName& entry : shapeNames) {
        if (std::strcmp(text, entry.name) == 0) {
            return entry.shape;
        }
    }
    failUsage(std::string("-S ") + text, "unknown row shape");
}

static int32_t readSampling(const char* text)
{
    const int64_t sampling = readDecimal(text, 400, 440);
    if (findSampling(sampling) == nullptr) {
        failUsage(std::string("-s ") + text, "the sampling is one of 420, 422, 440, 400");
    }
    return static_cast<int32_t>(sampling);
}

static int32_t readBusBits(const char* text)
{
    const int64_t bits = readDecimal(text, 32, 64);
    if (bits != 32 && bits != 64) {
        failUsage(std::string("-b ") + text, "the bus width is 32 or 64");
    }
    return static_cast<int32_t>(bits);
}

// Refuses what the output's reader would: a trace whose geometry traceframes -G refuses, or
// raw frames over framecmp's frame limit.
static void refuseGeometry(int32_t width, int32_t height, int32_t sampling, int32_t busBits, int32_t depth,
                           bool writeRaw)
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
        fail("geometry", geometry + " on a " + std::to_string(busBits) + "-bit bus: " + fault);
    }
}

// The sizes, as traceframes -D reads them: two-byte samples double every plane. The geometry
// has been checked (refuseGeometry), so each fits a signed 32-bit integer.
static Picture makePicture(int32_t width, int32_t height, int32_t sampling, int32_t busBits, int32_t depth)
{
    const int64_t sampleBytes = depth > 8 ? 2 : 1;
    const int64_t lumaSamples = int64_t{width} * height;
    const int64_t frameSamples = lumaSamples * findSampling(sampling)->doubledFrameFactor / 2;
    Picture picture{width,
                    height,
                    sampling,
                    busBits / 8,
                    depth,
                    static_cast<int32_t>(sampleBytes),
                    static_cast<int32_t>(lumaSamples * sampleBytes),
                    static_cast<int32_t>(frameSamples * sampleBytes),
                    static_cast<int32_t>((frameSamples - lumaSamples) / 2 * sampleBytes),
                    0,
                    0};
    const Sampling& chroma = *findSampling(sampling);
    picture.chromaWidth = sampling == 400 ? 0 : width / chroma.coverX;
    picture.chromaHeight = sampling == 400 ? 0 : height / chroma.coverY;
    return picture;
}

// The raw input's format: it must be planar or semi-planar, of a sampling a bus trace carries.
static Format readInputFormat(const char* text)
{
    Format format{};
    if (!parseFormat(text, format)) {
        failUsage(std::string("-f ") + text, "unknown format; the formats are " + knownFormatNames());
    }
    if (format.layout->chroma == Chroma::packed || findSampling(format.layout->sampling) == nullptr) {
        failUsage(std::string("-f ") + text, "not a planar or semi-planar format of 4:2:0, 4:2:2, 4:4:0 or 4:0:0");
    }
    return format;
}

static Options readOptions(int argc, char** argv)
{
    static const option longOptions[] = {
        {"help", no_argument, nullptr, 'h'}, {"version", no_argument, nullptr, 'V'}, {nullptr, 0, nullptr, 0}};
    Options options{};
    options.frames = 1;
    options.comments = 2;
    int32_t sampling = 0; // 0 until -s or -f gives it
    int32_t depth = 0;
    int32_t busBits = 32;
    Format inputFormat{nullptr, 0};
    opterr = 0;
    int opt = 0;
    while ((opt = getopt_long(argc, argv, ":s:b:D:n:c:S:i:f:rEh", longOptions, nullptr)) != -1) {
        switch (opt) {
        case 's': sampling = readSampling(optarg); break;
        case 'b': busBits = readBusBits(optarg); break;
        case 'D': depth = readNumber("-D", optarg, 8, 16); break;
        case 'f': inputFormat = readInputFormat(optarg); break;
        case 'E': options.mostSignificantFirst = true; break;
        case 'n': options.frames = readNumber("-n", optarg, 0, INT32_MAX); break;
        case 'c': options.comments = readNumber("-c", optarg, 0, INT32_MAX); break;
        case 'S': options.shape = readShape(optarg); break;
        case 'i': options.rawInput = optarg; break;
        case 'r': options.writeRaw = true; break;
        case 'h': answer(usageText);
        case 'V': answer("tracegen (yuvtools) " YUVTOOLS_VERSION "\n");
        case ':': failUsage(argv[optind - 1], "needs a value");
        default: failUsage(optopt != 0 ? std::string("-") + char(optopt) : argv[optind - 1], "unknown option");
        }
    }
    if (argc - optind != 3) {
        failUsage("arguments", "WIDTH, HEIGHT and OUTPUT are needed");
    }
    const int32_t width = readNumber("width", argv[optind], 1, INT32_MAX);
    const int32_t height = readNumber("height", argv[optind + 1], 1, INT32_MAX);
    if (inputFormat.layout != nullptr) {
        if (options.rawInput == nullptr) {
            failUsage("-f", "describes the raw input, which -i names");
        }
        if ((sampling != 0 && sampling != inputFormat.layout->sampling) || (depth != 0 && depth != inputFormat.depth)) {
            failUsage("-f", "the format's sampling and depth disagree with -s or -D");
        }
        sampling = inputFormat.layout->sampling;
        depth = inputFormat.depth;
        options.inputLayout = inputFormat.layout;
    }
    sampling = sampling != 0 ? sampling : 420;
    depth = depth != 0 ? depth : 8;
    refuseGeometry(width, height, sampling, busBits, depth, options.writeRaw);
    options.picture = makePicture(width, height, sampling, busBits, depth);
    options.outputPath = argv[optind + 2];
    const Picture& picture = options.picture;
    if (options.rawInput == nullptr && picture.chromaPlaneSize != 0 &&
        int64_t{picture.chromaWidth} * picture.chromaHeight * picture.sampleBytes != picture.chromaPlaneSize) {
        fail(std::to_string(width) + "x" + std::to_string(height),
             "the synthetic picture needs an even width and height for its chroma");
    }
    return options;
}

// ---- Files ----

static Stream openInput(const char* path)
{
    if (std::strcmp(path, "-") == 0) {
        return Stream{"standard input", stdin};
    }
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        failSystem(path, "cannot open");
    }
    return Stream{path, file};
}

// The output is opened only when it is not the input: opening would truncate it, and
// writing to it (standard output appended to the input) would feed the input without end.
static Output openOutput(const char* path, const Stream& input)
{
    const bool standard = std::strcmp(path, "-") == 0;
    const char* name = standard ? "standard output" : path;
    struct stat in {};
    struct stat out {};
    const int known = standard ? fstat(STDOUT_FILENO, &out) : stat(path, &out);
    if (input.file != nullptr && fstat(fileno(input.file), &in) == 0 && known == 0 && S_ISREG(out.st_mode) &&
        in.st_dev == out.st_dev && in.st_ino == out.st_ino) {
        fail(name, "is the raw input; not overwritten");
    }
    if (standard) {
        return Output{name, STDOUT_FILENO, 0, 0};
    }
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        failSystem(path, "cannot open");
    }
    return Output{path, fd, 0, 0};
}

// A write failed: a regular output file is cut back to what was kept, so that it never ends
// with a torn frame. Standard output is left alone: what it held before is not ours to cut.
[[noreturn]] static void failWritingOutput(const Output& output)
{
    const int error = errno;
    struct stat file {};
    if (output.fd != STDOUT_FILENO && fstat(output.fd, &file) == 0 && S_ISREG(file.st_mode) &&
        output.written > output.kept) {
        while (ftruncate(output.fd, static_cast<off_t>(output.kept)) != 0 && errno == EINTR) {
        }
    }
    errno = error;
    failWriting(output.path);
}

static void writeBytes(Output& output, const void* data, size_t length)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (length > 0) {
        const ssize_t n = write(output.fd, bytes, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            failWritingOutput(output);
        }
        bytes += n;
        length -= static_cast<size_t>(n);
        output.written += n;
    }
}

// What is written so far is whole (comment lines, whole frames) and stays on a failure.
static void keepWritten(Output& output)
{
    output.kept = output.written;
}

// Reads one whole frame; false at the end of the input. A partial frame at the end is trouble.
static bool readFrame(const Stream& input, uint8_t* frame, size_t frameSize)
{
    const size_t got = std::fread(frame, 1, frameSize, input.file);
    if (std::ferror(input.file) != 0) {
        failSystem(input.path, "cannot read");
    }
    if (got != 0 && got != frameSize) {
        fail(input.path, "ends with a partial frame of " + std::to_string(got) + " bytes of " +
                             std::to_string(frameSize) + "; the whole frames before it are written");
    }
    return got == frameSize;
}

[[noreturn]] static void failAllocating(size_t bytes)
{
    fail("memory", "cannot allocate " + std::to_string(bytes) + " bytes");
}

static uint8_t* allocateFrame(size_t frameSize)
{
    auto* frame = static_cast<uint8_t*>(std::malloc(frameSize));
    if (frame == nullptr) {
        failAllocating(frameSize);
    }
    return frame;
}

// The text of a trace: room for a block and the row or comment that passes it, taken at
// once, so that nothing is allocated after the output is opened.
static TraceText makeTraceText()
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

// ---- Synthetic picture ----

// 75% colour bars: white, yellow, cyan, green, magenta, red, blue, black.
static const uint8_t barY[8] = {180, 162, 131, 112, 84, 65, 35, 16};
static const uint8_t barU[8] = {128, 44, 156, 72, 184, 100, 212, 128};
static const uint8_t barV[8] = {128, 142, 44, 58, 198, 212, 114, 128};

// The colour of pixel (x, y) in frame `index`: a bar, or the white square (-1).
static int colourAt(const Picture& picture, int64_t index, int64_t x, int64_t y)
{
    const int64_t side = std::max(1, std::min(picture.width, picture.height) / 4);
    const int64_t travelX = std::max<int64_t>(1, picture.width - side);
    const int64_t travelY = std::max<int64_t>(1, picture.height - side);
    const int64_t left = (index * 4) % travelX;
    const int64_t top = (index * 2) % travelY;
    if (x >= left && x < left + side && y >= top && y < top + side) {
        return -1;
    }
    return static_cast<int>(x * 8 / picture.width);
}

// Stores sample `at` of a plane: an 8-bit value scaled to the depth, with `low` in the bits
// below the eight (a ramp, so that misplaced bytes show), little-endian in two bytes.
static void putSample(const Picture& picture, uint8_t* plane, size_t at, int value, int low)
{
    if (picture.sampleBytes == 1) {
        plane[at] = static_cast<uint8_t>(value);
        return;
    }
    const int shift = picture.depth - 8;
    const auto sample = static_cast<uint32_t>((value << shift) | (low & ((1 << shift) - 1)));
    plane[2 * at] = static_cast<uint8_t>(sample);
    plane[2 * at + 1] = static_cast<uint8_t>(sample >> 8);
}

static void drawFrame(const Picture& picture, int64_t index, uint8_t* frame)
{
    for (int32_t y = 0; y < picture.height; ++y) {
        const size_t rowStart = static_cast<size_t>(y) * static_cast<size_t>(picture.width);
        for (int32_t x = 0; x < picture.width; ++x) {
            const int colour = colourAt(picture, index, x, y);
            // A faint ramp keeps neighbouring samples apart, so misplaced bytes show.
            const int ramp = (x + y) & 7;
            putSample(picture, frame, rowStart + size_t(x), colour < 0 ? 235 : barY[colour] + ramp, x * 3 + y);
        }
    }
    uint8_t* u = frame + picture.lumaPlaneSize;
    uint8_t* v = u + picture.chromaPlaneSize;
    for (int32_t cy = 0; cy < picture.chromaHeight; ++cy) {
        for (int32_t cx = 0; cx < picture.chromaWidth; ++cx) {
            const int colour = colourAt(picture, index, static_cast<int64_t>(cx) * picture.width / picture.chromaWidth,
                                        static_cast<int64_t>(cy) * picture.height / picture.chromaHeight);
            const size_t at = static_cast<size_t>(cy) * static_cast<size_t>(picture.chromaWidth) + size_t(cx);
            putSample(picture, u, at, colour < 0 ? 128 : barU[colour], cx + cy);
            putSample(picture, v, at, colour < 0 ? 128 : barV[colour], cx + 2 * cy);
        }
    }
}

// ---- Trace text ----

// The shape of row `row`: the one asked for, or with `mixed` each in turn (not `mixed`).
static RowShape shapeOfRow(RowShape shape, size_t row)
{
    return shape == RowShape::mixed ? RowShape(row % size_t(RowShape::mixed)) : shape;
}

// Appends one row of two-digit numbers in the given shape; `row` varies the case and the
// blank runs of mixed rows.
static void appendRow(std::string& text, const uint8_t* bytes, int busBytes, RowShape shape, bool mixed, size_t row)
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
static void appendTraceRow(TraceText& trace, const uint8_t* bytes, const RowStyle& style, Output& output)
{
    const bool mixed = style.shape == RowShape::mixed;
    if (mixed && trace.row % 1000 == 999) {
        trace.text += "# a comment between rows\n";
    }
    uint8_t reversed[8];
    if (style.mostSignificantFirst) {
        std::reverse_copy(bytes, bytes + style.busBytes, reversed);
        bytes = reversed;
    }
    appendRow(trace.text, bytes, style.busBytes, shapeOfRow(style.shape, trace.row), mixed, trace.row);
    ++trace.row;
    if (trace.text.size() >= textBlockSize) {
        writeBytes(output, trace.text.data(), trace.text.size());
        trace.text.clear();
    }
}

// The luma plane row after row, then the chroma interleaved a sample at a time, U then V,
// from two planes or, for semi-planar input, from the pairs (V first in NV21).
static void writeTraceFrame(const Options& options, const uint8_t* frame, TraceText& trace, Output& output)
{
    const Picture& picture = options.picture;
    const RowStyle style{picture.busBytes, options.shape, options.mostSignificantFirst};
    const auto busBytes = static_cast<size_t>(picture.busBytes);
    const auto lumaBytes = static_cast<size_t>(picture.lumaPlaneSize);
    for (size_t at = 0; at < lumaBytes; at += busBytes) {
        appendTraceRow(trace, frame + at, style, output);
    }
    const auto sampleBytes = static_cast<size_t>(picture.sampleBytes);
    const Layout* layout = options.inputLayout;
    const bool pairs = layout != nullptr && layout->chroma == Chroma::interleaved;
    const uint8_t* u = frame + lumaBytes + (pairs ? static_cast<size_t>(layout->uAt) * sampleBytes : 0);
    const uint8_t* v =
        pairs ? frame + lumaBytes + static_cast<size_t>(layout->vAt) * sampleBytes : u + picture.chromaPlaneSize;
    const size_t step = pairs ? 2 * sampleBytes : sampleBytes; // from one sample of a plane to the next
    uint8_t word[8];
    for (size_t k = 0; k < static_cast<size_t>(picture.chromaPlaneSize) / sampleBytes;) {
        for (size_t j = 0; j < busBytes; j += 2 * sampleBytes, ++k) {
            std::copy(u + k * step, u + k * step + sampleBytes, word + j);
            std::copy(v + k * step, v + k * step + sampleBytes, word + j + sampleBytes);
        }
        appendTraceRow(trace, word, style, output);
    }
    // A frame's text is out before the next frame is read, whatever happens to that one.
    writeBytes(output, trace.text.data(), trace.text.size());
    trace.text.clear();
}

static void writeComments(const Options& options, Output& output)
{
    const Picture& picture = options.picture;
    for (int64_t i = 0; i < options.comments; ++i) {
        char line[128];
        if (i == 0 && picture.depth == 8) {
            std::snprintf(line, sizeof line, "# tracegen %dx%d YUV%d on a %d-bit bus\n", picture.width, picture.height,
                          picture.sampling, picture.busBytes * 8);
        } else if (i == 0) {
            std::snprintf(line, sizeof line, "# tracegen %dx%d YUV%d of %d-bit samples on a %d-bit bus\n",
                          picture.width, picture.height, picture.sampling, picture.depth, picture.busBytes * 8);
        } else {
            std::snprintf(line, sizeof line, "# rows: luma plane, then chroma interleaved U V%s\n",
                          options.mostSignificantFirst ? ", most significant byte first" : "");
        }
        writeBytes(output, line, std::strlen(line));
    }
}

static void closeOutput(const Output& output)
{
    if (output.fd != STDOUT_FILENO && close(output.fd) != 0) {
        failWriting(output.path);
    }
}

int main(int argc, char** argv)
{
    // Failed writes come back as errors: a reader that went away ends the run quietly, and a
    // file-size limit cuts the output back to whole frames like a full disk.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    const Options options = readOptions(argc, argv);
    const Picture& picture = options.picture;
    const Stream input = options.rawInput != nullptr ? openInput(options.rawInput) : Stream{nullptr, nullptr};
    // Memory first: a run that cannot have it leaves the output as it was.
    const auto frameSize = static_cast<size_t>(picture.frameSize);
    // Static, so that a leak checker still finds the frame when a failure in the loop below
    // ends the run.
    static uint8_t* frame = nullptr;
    frame = allocateFrame(frameSize);
    TraceText trace = options.writeRaw ? TraceText{std::string(), 0} : makeTraceText();
    Output output = openOutput(options.outputPath, input);
    if (!options.writeRaw) {
        writeComments(options, output);
    }
    keepWritten(output);
    for (int64_t index = 0; input.file != nullptr ? readFrame(input, frame, frameSize) : index < options.frames;
         ++index) {
        if (input.file == nullptr) {
            drawFrame(picture, index, frame);
        }
        if (options.writeRaw) {
            writeBytes(output, frame, frameSize);
        } else {
            writeTraceFrame(options, frame, trace, output);
        }
        keepWritten(output);
    }
    std::free(frame);
    closeOutput(output);
    return statusDone;
}
