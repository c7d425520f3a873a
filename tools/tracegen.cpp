// tracegen: writes a bus trace, as traceframes reads it, from a raw planar frame file or
// from a synthetic picture (colour bars with a square that moves from frame to frame).
// The luma plane goes out first, then the two chroma planes interleaved, U then V, as a
// bus carries them. With -r the planar frames themselves are written instead, which is
// what traceframes -P turns the trace back into.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

static const char usageText[] =
    "usage: tracegen [-s 420|422|440|400] [-b 32|64] [-n frames] [-c comments] [-S shape] [-i raw] [-r]\n"
    "                width height output\n"
    "  -s  chroma sampling (420)        -b  bus width in bits (32)\n"
    "  -n  synthetic frames (1)         -c  comment lines at the top (2)\n"
    "  -S  row shape (spaced): spaced \"4a 4a\", packed \"4a4a\", crlf \"4a 4a\" CR LF,\n"
    "      trailing \"4a 4a \", tabs \"4a<TAB>4a\", upper \"4A 4A\", mixed (row by row all of\n"
    "      these, in mixed case, some with leading blanks, a comment line now and then)\n"
    "  -i  take the frames from a raw planar file instead of the synthetic picture\n"
    "  -r  write the raw planar frames instead of a trace\n";

struct Picture {
    int width;
    int height;
    int sampling;
    int busBytes;
    size_t lumaPlaneSize;
    size_t frameSize;
    size_t chromaPlaneSize;
    int chromaWidth;
    int chromaHeight;
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
    long frames;
    long comments;
    RowShape shape;
    const char* rawInput;
    bool writeRaw;
    const char* outputPath;
};

[[noreturn]] static void die(const char* message)
{
    std::fprintf(stderr, "tracegen: %s\n", message);
    std::exit(2);
}

static long readNumber(const char* text, long low, long high)
{
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < low || value > high) {
        std::fputs(usageText, stderr);
        std::exit(2);
    }
    return value;
}

static RowShape readShape(const char* text)
{
    for (const ShapeName& entry : shapeNames) {
        if (std::strcmp(text, entry.name) == 0) {
            return entry.shape;
        }
    }
    std::fputs(usageText, stderr);
    std::exit(2);
}

static Picture makePicture(int width, int height, int sampling, int busBits)
{
    Picture picture{width, height, sampling, busBits / 8, 0, 0, 0, 0, 0};
    const int doubleFrame = sampling == 420 ? 3 : sampling == 400 ? 2 : 4;
    picture.lumaPlaneSize = size_t(width) * size_t(height);
    picture.frameSize = picture.lumaPlaneSize * size_t(doubleFrame) / 2;
    picture.chromaPlaneSize = (picture.frameSize - picture.lumaPlaneSize) / 2;
    picture.chromaWidth = sampling == 440 ? width : width / 2;
    picture.chromaHeight = sampling == 422 ? height : height / 2;
    if (picture.lumaPlaneSize % size_t(picture.busBytes) != 0 || picture.frameSize % size_t(picture.busBytes) != 0) {
        die("the luma plane and the frame must be whole bus words");
    }
    return picture;
}

static Options readOptions(int argc, char** argv)
{
    Options options{};
    options.frames = 1;
    options.comments = 2;
    int sampling = 420;
    int busBits = 32;
    int opt;
    while ((opt = getopt(argc, argv, "s:b:n:c:S:i:r")) != -1) {
        switch (opt) {
        case 's': sampling = int(readNumber(optarg, 400, 440)); break;
        case 'b': busBits = int(readNumber(optarg, 32, 64)); break;
        case 'n': options.frames = readNumber(optarg, 0, 1L << 30); break;
        case 'c': options.comments = readNumber(optarg, 0, 1L << 30); break;
        case 'S': options.shape = readShape(optarg); break;
        case 'i': options.rawInput = optarg; break;
        case 'r': options.writeRaw = true; break;
        default: std::fputs(usageText, stderr); std::exit(2);
        }
    }
    if (argc - optind != 3 || (sampling != 420 && sampling != 422 && sampling != 440 && sampling != 400) ||
        (busBits != 32 && busBits != 64)) {
        std::fputs(usageText, stderr);
        std::exit(2);
    }
    const int width = int(readNumber(argv[optind], 1, 1 << 15));
    const int height = int(readNumber(argv[optind + 1], 1, 1 << 15));
    options.picture = makePicture(width, height, sampling, busBits);
    options.outputPath = argv[optind + 2];
    return options;
}

// 75% colour bars: white, yellow, cyan, green, magenta, red, blue, black.
static const uint8_t barY[8] = {180, 162, 131, 112, 84, 65, 35, 16};
static const uint8_t barU[8] = {128, 44, 156, 72, 184, 100, 212, 128};
static const uint8_t barV[8] = {128, 142, 44, 58, 198, 212, 114, 128};

// The colour of pixel (x, y) in frame `index`: a bar, or the white square.
static int colourAt(const Picture& picture, long index, int x, int y)
{
    const int side = std::max(1, std::min(picture.width, picture.height) / 4);
    const long travelX = std::max(1, picture.width - side);
    const long travelY = std::max(1, picture.height - side);
    const long left = (index * 4) % travelX;
    const long top = (index * 2) % travelY;
    if (x >= left && x < left + side && y >= top && y < top + side) {
        return -1;
    }
    return x * 8 / picture.width;
}

static void drawFrame(const Picture& picture, long index, std::vector<uint8_t>& frame)
{
    uint8_t* luma = frame.data();
    for (int y = 0; y < picture.height; ++y) {
        for (int x = 0; x < picture.width; ++x) {
            const int colour = colourAt(picture, index, x, y);
            // A faint ramp keeps neighbouring samples apart, so misplaced bytes show.
            const int ramp = (x + y) & 7;
            luma[size_t(y) * size_t(picture.width) + size_t(x)] = uint8_t(colour < 0 ? 235 : barY[colour] + ramp);
        }
    }
    if (picture.chromaPlaneSize == 0) {
        return;
    }
    if (size_t(picture.chromaWidth) * size_t(picture.chromaHeight) != picture.chromaPlaneSize) {
        die("the synthetic picture needs an even width and height");
    }
    uint8_t* u = luma + picture.lumaPlaneSize;
    uint8_t* v = u + picture.chromaPlaneSize;
    for (int cy = 0; cy < picture.chromaHeight; ++cy) {
        for (int cx = 0; cx < picture.chromaWidth; ++cx) {
            const int colour = colourAt(picture, index, cx * picture.width / picture.chromaWidth,
                                        cy * picture.height / picture.chromaHeight);
            const size_t at = size_t(cy) * size_t(picture.chromaWidth) + size_t(cx);
            u[at] = colour < 0 ? 128 : barU[colour];
            v[at] = colour < 0 ? 128 : barV[colour];
        }
    }
}

static bool readFrame(FILE* input, std::vector<uint8_t>& frame)
{
    return std::fread(frame.data(), 1, frame.size(), input) == frame.size();
}

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

// Appends the bytes as rows of busBytes two-digit numbers; `row` counts rows across calls.
static void appendRows(std::string& text, const uint8_t* bytes, size_t count, int busBytes, RowShape shape, size_t& row)
{
    const bool mixed = shape == RowShape::mixed;
    for (size_t i = 0; i + size_t(busBytes) <= count; i += size_t(busBytes), ++row) {
        if (mixed && row % 1000 == 999) {
            text += "# a comment between rows\n";
        }
        appendRow(text, bytes + i, busBytes, shapeOfRow(shape, row), mixed, row);
    }
}

static void writeTraceFrame(const Picture& picture, RowShape shape, const std::vector<uint8_t>& frame,
                            std::string& text, size_t& row)
{
    text.clear();
    appendRows(text, frame.data(), picture.lumaPlaneSize, picture.busBytes, shape, row);
    std::vector<uint8_t> chroma(2 * picture.chromaPlaneSize);
    const uint8_t* u = frame.data() + picture.lumaPlaneSize;
    const uint8_t* v = u + picture.chromaPlaneSize;
    for (size_t k = 0; k < picture.chromaPlaneSize; ++k) {
        chroma[2 * k] = u[k];
        chroma[2 * k + 1] = v[k];
    }
    appendRows(text, chroma.data(), chroma.size(), picture.busBytes, shape, row);
}

int main(int argc, char** argv)
{
    const Options options = readOptions(argc, argv);
    const Picture& picture = options.picture;
    FILE* input = nullptr;
    if (options.rawInput != nullptr && (input = std::fopen(options.rawInput, "rb")) == nullptr) {
        die("cannot open the raw input");
    }
    FILE* output = std::fopen(options.outputPath, "wb");
    if (output == nullptr) {
        die("cannot open the output");
    }
    if (!options.writeRaw) {
        for (long i = 0; i < options.comments; ++i) {
            if (i == 0) {
                std::fprintf(output, "# tracegen %dx%d YUV%d on a %d-bit bus\n", picture.width, picture.height,
                             picture.sampling, picture.busBytes * 8);
            } else {
                std::fprintf(output, "# rows: luma plane, then chroma interleaved U V\n");
            }
        }
    }
    std::vector<uint8_t> frame(picture.frameSize);
    std::string text;
    size_t row = 0;
    for (long index = 0; input != nullptr ? readFrame(input, frame) : index < options.frames; ++index) {
        if (input == nullptr) {
            drawFrame(picture, index, frame);
        }
        if (options.writeRaw) {
            std::fwrite(frame.data(), 1, frame.size(), output);
        } else {
            writeTraceFrame(picture, options.shape, frame, text, row);
            std::fwrite(text.data(), 1, text.size(), output);
        }
    }
    if (std::fclose(output) != 0) {
        die("cannot write the output");
    }
    return 0;
}
