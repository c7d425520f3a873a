// traceframes: rebuilds raw YUV frames from a text trace of a data bus of 8 to 512 bits.
//
// A trace holds one bus word a row as hexadecimal bytes; lines that begin with '#' are
// comments. The picture geometry is read from the file name (clip_w176_144_420_32.txt).
// Rows fill a frame buffer, luma plane first, then chroma, which -P splits into two planes.
// Digits a simulator could not know (x and z) are refused, or with -X read as 0 and their
// bits written to a mask file of the frames' layout; -V reads Verilog memory files.

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The vector decoders are x86-64's (their bit moves take 64-bit registers); elsewhere the
// plain one runs.
#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define TRACEFRAMES_X86 1
#endif

// One way to fail: a fixed message on standard error and a status.
struct Failure {
    const char* message;
    int status;
};

constexpr Failure unrecognizedOption{"unrecognized option: ", 1};
constexpr Failure multipleInputs{"multiple input files specified", 2};
constexpr Failure noInputFile{"no input file specified!", 3};
constexpr Failure inputNotOpened{"error opening input file!", 4};
constexpr Failure outputNotOpened{"error opening output file!", 5};
constexpr Failure allocationFailed{"error allocating memory!", 6};
constexpr Failure inputNotRead{"error reading input file!", 7};
constexpr Failure malformedName{"malformed input trace file name, cannot decipher", 8};
constexpr Failure malformedRow{"malformed row: ", 9};
constexpr Failure invalidArguments{"invalid arguments", 10};
constexpr Failure outputNotWritten{"error writing output file!", 11};
constexpr Failure outputIsInput{"output file is the input file!", 12};
constexpr Failure misalignedFrame{"frame size is not a multiple of the bus width!", 13};
constexpr Failure standardOutputNotWritten{"error writing standard output!", 14};
constexpr Failure malformedGeometry{"malformed geometry, cannot decipher", 8};
constexpr Failure maskIsInputOrOutput{"mask file is the input or output file!", 12};
constexpr Failure maskNotOpened{"error opening mask file!", 5};
constexpr Failure maskNotWritten{"error writing mask file!", 11};
constexpr Failure unknownValues{"unknown values in the trace!", 15};
constexpr Failure streamErrors{"stream errors in the trace!", 16};

// Frame size as a multiple of the luma plane size, times two, by sampling index. 4:4:4
// comes only from an AXI4-Stream video layout (-A).
constexpr int32_t picSizeMulDiv2[5] = {3, 4, 4, 2, 6};
constexpr int32_t samplingValues[5] = {420, 422, 440, 400, 444};
constexpr int32_t streamOnlySamplingIndex = 4;

// A row holds up to 64 bytes (a 512-bit bus); one number more is read to find rows that
// hold too many.
constexpr int32_t maxBusBytes = 64;
constexpr int maxRowNumbers = maxBusBytes + 1;
// On a 64-bit bus the numbers after the eighth are ignored; on others a row must not hold more.
constexpr int32_t busBytesIgnoringMore = 8;
// 128 KiB of text stays in the L2 cache while it is decoded, with room to spare on
// processors with 256 KiB; the whole run is 4-6% faster than with 1 MiB (bench/run). The
// in-process tests and the fuzz driver set a block of 61 bytes before they run the program,
// so that small inputs reach every refill and long line.
static size_t inputBlockSize = size_t{1} << 17;
// A row needs at most 65 numbers of two characters, each after one collapsed blank.
constexpr size_t compactRowCapacity = size_t{3} * maxRowNumbers;
// The fast row decoder looks at 64 characters at a time and may read that far past the text
// it is given and write 80 bytes past the rows it decodes; the buffers carry this slack.
constexpr size_t windowSize = 64;
constexpr size_t bufferSlack = 128;
// With the chroma split, rows are decoded here before their bytes go to the two planes.
constexpr size_t stagingSize = 4096;

// Character classes of the row parser: 0 to 15 are hexadecimal digit values; x and z are
// the digits a four-state simulator prints for bits it does not know.
constexpr uint8_t whiteSpaceClass = 16;
constexpr uint8_t otherClass = 17;
constexpr uint8_t unknownDigitClass = 18;

struct CharClasses {
    uint8_t of[256];
};

constexpr CharClasses makeCharClasses()
{
    CharClasses classes{};
    for (int c = 0; c < 256; ++c) {
        classes.of[c] = otherClass;
    }
    for (int c = '0'; c <= '9'; ++c) {
        classes.of[c] = static_cast<uint8_t>(c - '0');
    }
    for (int c = 0; c < 6; ++c) {
        classes.of['a' + c] = static_cast<uint8_t>(10 + c);
        classes.of['A' + c] = static_cast<uint8_t>(10 + c);
    }
    for (const char c : {'x', 'X', 'z', 'Z'}) {
        classes.of[static_cast<unsigned char>(c)] = unknownDigitClass;
    }
    // The C library's white space: blank, tab, line feed, vertical tab, form feed, return.
    for (const char c : {' ', '\t', '\n', '\v', '\f', '\r'}) {
        classes.of[static_cast<unsigned char>(c)] = whiteSpaceClass;
    }
    return classes;
}

constexpr CharClasses charClasses = makeCharClasses();

// The picture a trace carries; the three sizes are in bytes, each sample taking
// sampleBytes of them (two from a depth of 9 bits on).
struct TraceGeometry {
    int32_t width;
    int32_t height;
    int32_t sampling;
    int32_t samplingIndex;
    int32_t busBytes;
    int32_t sampleBytes;
    int32_t lumaPlaneSize;
    int32_t frameSize;
    int32_t chromaPlaneSize;
    int32_t chromaWidth; // in samples; 0 but for -A, whose odd widths round chroma up
};

// AXI4-Stream video (-A): each beat carries pixelsPerBeat slots, pixel 0 in the lowest bits;
// a slot holds the pixel's components from bit 0 up, `bits` each, with no gaps.
enum class StreamLayoutKind { yuv422, uyvy422, yuv444, uyv444, rgb, yuv420, mono };

struct StreamLayoutInfo {
    const char* name;
    int32_t sampling;
    int32_t components;
    const char* format; // the 8-bit planar format of the frames written
};

constexpr StreamLayoutInfo streamLayouts[7] = {
    {"yuv422", 422, 2, "yuv422p"}, {"uyvy422", 422, 2, "yuv422p"}, {"yuv444", 444, 3, "yuv444p"},
    {"uyv444", 444, 3, "yuv444p"}, {"rgb", 444, 3, "gbrp"},        {"yuv420", 420, 2, "yuv420p"},
    {"mono", 400, 1, "gray"},
};

struct StreamLayout {
    StreamLayoutKind kind;
    int32_t bits;
    int32_t pixelsPerBeat;
    bool byteAligned; // :byte, each slot rounded up to whole bytes; its padding is not checked
    int32_t slotBits;
};

struct RunSettings {
    std::string inputPath;
    std::string outputPath;
    bool inputGiven;
    bool outputGiven;
    bool splitChroma;
    bool mostSignificantFirst; // -E: each row is a word printed most significant byte first
    int32_t depth;             // -D, 0 when not given (8 bits)
    bool geometryGiven;        // -G: the geometry below, not the name's
    TraceGeometry geometry;
    bool verilog;   // -V: Verilog memory-file syntax
    bool maskGiven; // -X: unknown digits read as 0, their bits written to maskPath
    std::string maskPath;
    bool stream; // -A: rows are beats of AXI4-Stream video in `layout`
    StreamLayout layout;
    bool sideBand; // -K: each beat is followed by its TUSER and TLAST digits
};

// A fixed block of input text; lines are found in [begin, end).
struct InputBlock {
    int fd;
    char* data;
    size_t begin;
    size_t end;
    bool atEnd;
};

// A row with each run of white space collapsed to one blank, cut after what the
// conversion can look at: it converts exactly as the row it came from.
struct CompactRow {
    char text[compactRowCapacity + 1];
    size_t length;
    bool complete;
};

// The fast row decoders, one for each instruction set, chosen once before the first row.
// The plain one is the reference the tests hold the others to.
enum class RowKernel { plain, sse2, avx2, avx512 };

// Where the characters of 64 text positions belong, one bit a position.
struct TextMasks {
    uint64_t digits;    // hexadecimal digits
    uint64_t lineFeeds; // line feeds
    uint64_t blanks;    // blanks, tabs and carriage returns
};

// The decoded digits as a stream of half bytes: the bits not yet stored wait in `pending`,
// and every store writes eight bytes, the first digit of each pair in the high half.
struct HalfByteStream {
    uint8_t* out;
    uint64_t pending;
    unsigned pendingBits;
};

// The reading side: the decoder, when it is tried next, and the index of the last line.
struct RowReader {
    RowKernel kernel;
    int64_t rowIndex;
    int32_t fastMisses;         // tries of the fast decoder in a row that took nothing
    int32_t linesBeforeFastTry; // lines the exact conversion takes before the next try
    bool fastDecoderUsable;     // the bus width has a fast decoder and rows are not -V words
    bool readUnknowns;          // -X: x and z digits read as 0 rather than refused
};

// The bytes of one bus word in bus order, and the bits of each that came from x or z digits.
struct RowValues {
    uint8_t bytes[maxRowNumbers];
    uint8_t unknown[maxRowNumbers];
    bool anyUnknown;
};

// Unknown samples of the frames written: how many, in how many frames, and the first one,
// by the row it came from and its byte in its frame.
struct UnknownTally {
    int64_t samples;
    int64_t frames;
    bool found;
    int64_t firstRow;
    int64_t firstFrame;
    int32_t firstOffset;
};

// The writing side: the frame being filled and the output that takes every full frame;
// with -X the mask frame beside it, which takes the unknown bits of each byte.
// The mask is kept in chunks of 4 KiB: only those holding unknown bits are counted, cleared
// and written, so that a frame with a few unknown rows costs a few chunks, not the frame.
constexpr int32_t maskChunkSize = 4096;

struct StreamState;

struct FrameWriter {
    const TraceGeometry* geometry;
    bool splitChroma;
    bool reverseRows; // -E
    int outputFd;
    uint8_t* frame;
    uint8_t* staging; // stagingSize bytes and the slack, for the chroma split
    int32_t fillCount;
    int64_t framesWritten;
    int maskFd;               // -1 without -X
    uint8_t* mask;            // null without -X; zero but where the frame has unknown bits
    bool maskSeeks;           // a regular mask file: a frame of zeros is a hole, not written
    uint8_t* maskChunkDirty;  // a flag a chunk of the mask: it holds unknown bits
    int32_t* dirtyMaskChunks; // the chunks flagged, in the order first flagged
    int32_t dirtyMaskChunkCount;
    int64_t frameUnknownSamples; // samples of this frame with an unknown bit
    bool frameHasUnknowns;
    int64_t frameFirstUnknownRow;
    int32_t frameFirstUnknownOffset;
    UnknownTally unknowns;
    StreamState* stream; // null but for -A
};

[[noreturn]] static void fail(const Failure& failure, const std::string& detail = std::string())
{
    // Keep the order of a combined log: what went to standard output comes first.
    std::fflush(stdout);
    std::fprintf(stderr, "%s%s\n", failure.message, detail.c_str());
    std::exit(failure.status);
}

static void writeStandardOutput(const char* text, size_t length)
{
    std::fwrite(text, 1, length, stdout);
}

// ---- Geometry ----

static bool decodeSampling(int32_t value, TraceGeometry& geometry, bool allowStreamOnly)
{
    for (int32_t index = 0; index < (allowStreamOnly ? 5 : 4); ++index) {
        if (value == samplingValues[index]) {
            geometry.sampling = value;
            geometry.samplingIndex = index;
            return true;
        }
    }
    return false;
}

// The sizes in bytes. Every size must fit a signed 32-bit integer, the frame doubled too;
// each product is checked as it is formed, so no size can wrap. Two-byte samples double
// the luma plane and the frame (4:2:0 of 4x2: 8 and 12 bytes, 16 and 24 at 10 bits).
static bool setSizes(TraceGeometry& geometry)
{
    int32_t lumaSamples = 0;
    int32_t doubleFrameSamples = 0;
    int32_t frameSize = 0;
    int32_t doubleFrameSize = 0;
    if (__builtin_mul_overflow(geometry.width, geometry.height, &lumaSamples) ||
        __builtin_mul_overflow(lumaSamples, geometry.sampleBytes, &geometry.lumaPlaneSize) ||
        __builtin_mul_overflow(lumaSamples, picSizeMulDiv2[geometry.samplingIndex], &doubleFrameSamples) ||
        __builtin_mul_overflow(doubleFrameSamples / 2, geometry.sampleBytes, &frameSize) ||
        __builtin_mul_overflow(frameSize, 2, &doubleFrameSize)) {
        return false;
    }
    geometry.frameSize = frameSize;
    geometry.chromaPlaneSize = (geometry.frameSize - geometry.lumaPlaneSize) / 2;
    return true;
}

// -A: planar frames of the layout's sampling, chroma rounded up where the width or height is
// odd (a 5x3 frame of 4:2:0 has chroma planes of 3x2), each size checked as it is formed.
static bool setStreamSizes(TraceGeometry& geometry)
{
    const bool halfWidth = geometry.sampling == 422 || geometry.sampling == 420;
    const bool halfHeight = geometry.sampling == 420;
    const int32_t chromaWidth = geometry.sampling == 400 ? 0
                                : halfWidth              ? geometry.width / 2 + geometry.width % 2
                                                         : geometry.width;
    const int32_t chromaHeight = halfHeight ? geometry.height / 2 + geometry.height % 2 : geometry.height;
    int32_t lumaSamples = 0;
    int32_t chromaSamples = 0;
    int32_t lumaSize = 0;
    int32_t chromaSize = 0;
    int32_t bothChroma = 0;
    int32_t frameSize = 0;
    int32_t doubleFrameSize = 0;
    if (__builtin_mul_overflow(geometry.width, geometry.height, &lumaSamples) ||
        __builtin_mul_overflow(chromaWidth, chromaHeight, &chromaSamples) ||
        __builtin_mul_overflow(lumaSamples, geometry.sampleBytes, &lumaSize) ||
        __builtin_mul_overflow(chromaSamples, geometry.sampleBytes, &chromaSize) ||
        __builtin_mul_overflow(chromaSize, 2, &bothChroma) ||
        __builtin_add_overflow(lumaSize, bothChroma, &frameSize) ||
        __builtin_mul_overflow(frameSize, 2, &doubleFrameSize)) {
        return false;
    }
    geometry.lumaPlaneSize = lumaSize;
    geometry.chromaPlaneSize = chromaSize;
    geometry.frameSize = frameSize;
    geometry.chromaWidth = chromaWidth;
    return true;
}

// -A: the geometry must have the layout's sampling and a bus that holds a beat's slots.
static bool fitsStreamLayout(const TraceGeometry& geometry, const StreamLayout& layout)
{
    return geometry.sampling == streamLayouts[static_cast<int>(layout.kind)].sampling &&
           layout.slotBits * layout.pixelsPerBeat <= geometry.busBytes * 8;
}

// Rows must fill the luma plane and the frame exactly, or they would straddle their ends.
static void refuseMisalignedGeometry(const TraceGeometry& geometry)
{
    if (geometry.lumaPlaneSize % geometry.busBytes != 0 || geometry.frameSize % geometry.busBytes != 0) {
        fail(misalignedFrame);
    }
}

// ---- Command line ----

static bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The value of an option that takes one: the rest of the argument (-Oout.yuv), or the next
// argument whatever it looks like; an option that ends the command line has none.
static const char* optionValue(int argc, char** argv, int& i)
{
    const char* argument = argv[i];
    if (argument[2] != '\0') {
        return argument + 2;
    }
    if (i + 1 >= argc) {
        fail(invalidArguments);
    }
    return argv[++i];
}

// Reads a number of decimal digits only, up to `high`, from `text`; moves `text` past it.
static bool readDecimal(const char*& text, int32_t high, int32_t& value)
{
    int64_t number = 0;
    const char* start = text;
    for (; isDigit(*text); ++text) {
        number = number * 10 + (*text - '0');
        if (number > high) {
            return false;
        }
    }
    value = static_cast<int32_t>(number);
    return text != start;
}

// -D: 8 to 16 bits a sample, in decimal digits only.
static int32_t readDepth(const char* text)
{
    int32_t depth = 0;
    if (!readDecimal(text, 16, depth) || *text != '\0' || depth < 8) {
        fail(invalidArguments);
    }
    return depth;
}

// -G WIDTHxHEIGHT:SAMPLING:BUS, strictly: 1920x1080:420:32 (or 1920X1080), the sampling one
// of 420, 422, 440 and 400, the bus any multiple of 8 bits from 8 to 512.
static TraceGeometry readGeometry(const char* text)
{
    TraceGeometry geometry{};
    int32_t sampling = 0;
    int32_t busBits = 0;
    const bool read = readDecimal(text, INT32_MAX, geometry.width) && (*text == 'x' || *text == 'X') &&
                      readDecimal(++text, INT32_MAX, geometry.height) && *text == ':' &&
                      readDecimal(++text, INT32_MAX, sampling) && *text == ':' &&
                      readDecimal(++text, INT32_MAX, busBits) && *text == '\0';
    geometry.busBytes = busBits / 8;
    if (!read || geometry.width == 0 || geometry.height == 0 || !decodeSampling(sampling, geometry, true) ||
        busBits % 8 != 0 || geometry.busBytes < 1 || geometry.busBytes > maxBusBytes) {
        fail(malformedGeometry);
    }
    return geometry;
}

// -A LAYOUT:BITS:PPC[:byte]: yuv422:10:2, uyv444:8:1:byte.
static StreamLayout readStreamLayout(const char* text)
{
    StreamLayout layout{};
    const char* colon = std::strchr(text, ':');
    int32_t kind = -1;
    for (int32_t k = 0; k < 7 && colon != nullptr; ++k) {
        const size_t length = std::strlen(streamLayouts[k].name);
        if (static_cast<size_t>(colon - text) == length && std::strncmp(text, streamLayouts[k].name, length) == 0) {
            kind = k;
        }
    }
    const char* at = colon != nullptr ? colon + 1 : text;
    const bool read = kind >= 0 && readDecimal(at, 16, layout.bits) && *at == ':' &&
                      readDecimal(++at, 8, layout.pixelsPerBeat) && (*at == '\0' || std::strcmp(at, ":byte") == 0);
    const int32_t ppc = layout.pixelsPerBeat;
    if (!read || (layout.bits != 8 && layout.bits != 10 && layout.bits != 12 && layout.bits != 16) ||
        (ppc != 1 && ppc != 2 && ppc != 4 && ppc != 8)) {
        fail(invalidArguments);
    }
    layout.kind = static_cast<StreamLayoutKind>(kind);
    layout.byteAligned = *at != '\0';
    layout.slotBits = streamLayouts[kind].components * layout.bits;
    if (layout.byteAligned) {
        layout.slotBits = (layout.slotBits + 7) / 8 * 8;
    }
    return layout;
}

static RunSettings readArguments(int argc, char** argv)
{
    RunSettings settings{};
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (argument[0] != '-') {
            if (settings.inputGiven) {
                fail(multipleInputs);
            }
            settings.inputPath = argument;
            settings.inputGiven = true;
        } else if (argument[1] == 'O') {
            settings.outputPath = optionValue(argc, argv, i);
            settings.outputGiven = true;
        } else if (argument[1] == 'P' && argument[2] != 'E') {
            settings.splitChroma = true;
        } else if (argument[1] == 'E' && argument[2] == '\0') {
            settings.mostSignificantFirst = true;
        } else if (argument[1] == 'D') {
            settings.depth = readDepth(optionValue(argc, argv, i));
        } else if (argument[1] == 'G') {
            settings.geometry = readGeometry(optionValue(argc, argv, i));
            settings.geometryGiven = true;
        } else if (argument[1] == 'X') {
            settings.maskPath = optionValue(argc, argv, i);
            settings.maskGiven = true;
        } else if (argument[1] == 'V' && argument[2] == '\0') {
            settings.verilog = true;
        } else if (argument[1] == 'A') {
            settings.layout = readStreamLayout(optionValue(argc, argv, i));
            settings.stream = true;
        } else if (argument[1] == 'K' && argument[2] == '\0') {
            settings.sideBand = true;
        } else {
            fail(unrecognizedOption, argument);
        }
    }
    // A stream's samples take the layout's depth, not -D's; -K reads the stream's side band.
    if ((settings.stream && settings.depth != 0) || (settings.sideBand && (!settings.stream || settings.verilog))) {
        fail(invalidArguments);
    }
    // A geometry given here is settled before any file is opened: its sizes and whether
    // rows fill its frames too (a stream's beats need not: they fill lines).
    settings.geometry.sampleBytes = settings.depth > 8 || settings.layout.bits > 8 ? 2 : 1;
    if (settings.stream) {
        settings.splitChroma = true;
        if (settings.geometryGiven &&
            (!fitsStreamLayout(settings.geometry, settings.layout) || !setStreamSizes(settings.geometry))) {
            fail(malformedGeometry);
        }
    } else if (settings.geometryGiven &&
               (settings.geometry.samplingIndex == streamOnlySamplingIndex || !setSizes(settings.geometry))) {
        fail(malformedGeometry);
    }
    if (settings.geometryGiven && !settings.stream) {
        refuseMisalignedGeometry(settings.geometry);
    }
    if (!settings.inputGiven) {
        fail(noInputFile);
    }
    return settings;
}

// The input path with its last four characters replaced by ".yuv"; a path of three
// characters or fewer stays as it is.
static std::string deriveOutputPath(const std::string& inputPath)
{
    if (inputPath.size() <= 3) {
        return inputPath;
    }
    return inputPath.substr(0, inputPath.size() - 4) + ".yuv";
}

// ---- Files ----

// Opens whichever of descriptors 0 to 2 the caller left closed, so that no file of ours is
// ever given one of them. Each is opened for the direction it is not used in, so that
// writing the report to a standard output that was closed fails as it should.
static void openStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY) != fd) {
            std::_Exit(standardOutputNotWritten.status);
        }
    }
}

// A directory opens for reading but cannot be read: it is refused here, before the output
// is created or emptied.
static int openInput(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat input {};
    if (fd < 0 || (fstat(fd, &input) == 0 && S_ISDIR(input.st_mode))) {
        fail(inputNotOpened);
    }
    return fd;
}

// Refuses an output path that names the open input (same path, another spelling of it,
// or a link to it) before the output is opened, since opening truncates it.
static void refuseInputAsOutput(int inputFd, const std::string& outputPath)
{
    struct stat input {};
    struct stat output {};
    if (fstat(inputFd, &input) == 0 && stat(outputPath.c_str(), &output) == 0 && input.st_dev == output.st_dev &&
        input.st_ino == output.st_ino) {
        fail(outputIsInput);
    }
}

// Refuses a standard output that is the input file (`traceframes t.txt >> t.txt`): the
// comment lines copied there would feed the trace being read without end.
static void refuseInputAsStandardOutput(int inputFd)
{
    struct stat input {};
    struct stat output {};
    if (fstat(inputFd, &input) == 0 && fstat(STDOUT_FILENO, &output) == 0 && S_ISREG(output.st_mode) &&
        input.st_dev == output.st_dev && input.st_ino == output.st_ino) {
        fail(outputIsInput);
    }
}

static bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Refuses a mask path that names the input or the output, either of which the mask would
// overwrite: before the output is opened, by the paths as they stand (the output may not
// exist yet; then a same spelling is the same file) ...
static void refuseMaskPath(int inputFd, const std::string& outputPath, const std::string& maskPath)
{
    struct stat input {};
    struct stat output {};
    struct stat mask {};
    const bool maskExists = stat(maskPath.c_str(), &mask) == 0;
    if (maskPath == outputPath || (maskExists && fstat(inputFd, &input) == 0 && sameFile(input, mask)) ||
        (maskExists && stat(outputPath.c_str(), &output) == 0 && sameFile(output, mask))) {
        fail(maskIsInputOrOutput);
    }
}

// ... and once the output is open, by what it is: another spelling of an output file that
// did not exist before (one that did was refused above), which goes again.
static void refuseMaskAsOpenOutput(int outputFd, const std::string& outputPath, const std::string& maskPath)
{
    struct stat output {};
    struct stat mask {};
    if (stat(maskPath.c_str(), &mask) == 0 && fstat(outputFd, &output) == 0 && sameFile(output, mask)) {
        unlink(outputPath.c_str());
        fail(maskIsInputOrOutput);
    }
}

static int openMask(const std::string& path, int inputFd, int outputFd)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        close(inputFd);
        close(outputFd);
        fail(maskNotOpened);
    }
    return fd;
}

static int openOutput(const std::string& path, int inputFd)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        close(inputFd);
        fail(outputNotOpened);
    }
    return fd;
}

// The output block, writeAll to closeOutput, is kept identical in traceframes and planepack.
// Returns false when the output took fewer bytes than given (a full disk, an I/O error).
static bool writeAll(int fd, const uint8_t* data, size_t length)
{
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

// Cuts a regular file back to `completedBytes`; should the cut fail, the write error that
// led here is still what is reported.
static void cutBack(int fd, int64_t completedBytes)
{
    struct stat output {};
    if (fd >= 0 && fstat(fd, &output) == 0 && S_ISREG(output.st_mode)) {
        while (ftruncate(fd, static_cast<off_t>(completedBytes)) != 0 && errno == EINTR) {
        }
    }
}

static void closeOutput(int fd)
{
    if (close(fd) != 0) {
        fail(outputNotWritten);
    }
}

// A write failed part way through a frame: the output, and the mask beside it, are cut back
// to the frames completed in both, so that neither ends with a torn frame.
[[noreturn]] static void failWritingFrame(int outputFd, int maskFd, int64_t completedBytes, const Failure& failure)
{
    cutBack(outputFd, completedBytes);
    cutBack(maskFd, completedBytes);
    fail(failure);
}

// Moves the unread text to the front of the block and reads more behind it.
// Returns false when the input has ended and nothing new was read.
static bool refillInput(InputBlock& in)
{
    if (in.begin > 0) {
        std::memmove(in.data, in.data + in.begin, in.end - in.begin);
        in.end -= in.begin;
        in.begin = 0;
    }
    for (;;) {
        const ssize_t got = read(in.fd, in.data + in.end, inputBlockSize - in.end);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            fail(inputNotRead);
        }
        if (got == 0) {
            in.atEnd = true;
            return false;
        }
        in.end += static_cast<size_t>(got);
        return true;
    }
}

// ---- Geometry from the file name ----

// The rightmost "_w" directly followed by a digit, or npos.
static size_t findGeometryMarker(const std::string& path)
{
    for (size_t p = path.size(); p >= 3; --p) {
        const size_t at = p - 3;
        if (path[at] == '_' && path[at + 1] == 'w' && isDigit(path[at + 2])) {
            return at;
        }
    }
    return std::string::npos;
}

// Reads the first four runs of decimal digits from the marker on; every other character
// separates them. Returns false when fewer than four are there or one exceeds 32 bits.
static bool readMarkerNumbers(const std::string& path, size_t from, int32_t numbers[4])
{
    int found = 0;
    size_t i = from;
    while (found < 4 && i < path.size()) {
        if (!isDigit(path[i])) {
            ++i;
            continue;
        }
        int64_t value = 0;
        for (; i < path.size() && isDigit(path[i]); ++i) {
            value = value * 10 + (path[i] - '0');
            if (value > INT32_MAX) {
                return false;
            }
        }
        numbers[found++] = static_cast<int32_t>(value);
    }
    return found == 4;
}

static bool decodeGeometry(const std::string& path, int32_t sampleBytes, TraceGeometry& geometry)
{
    const size_t marker = findGeometryMarker(path);
    int32_t numbers[4] = {0, 0, 0, 0};
    if (marker == std::string::npos || !readMarkerNumbers(path, marker, numbers)) {
        return false;
    }
    geometry = TraceGeometry{};
    geometry.width = numbers[0];
    geometry.height = numbers[1];
    geometry.sampleBytes = sampleBytes;
    const int32_t busBytes = numbers[3] >> 3;
    geometry.busBytes = (busBytes == 4 || busBytes == 8) ? busBytes : 0;
    if (geometry.width == 0 || geometry.height == 0 || !decodeSampling(numbers[2], geometry, false) ||
        geometry.busBytes == 0) {
        return false;
    }
    return setSizes(geometry);
}

// The name of the frames a stream writes, as framecmp takes it: yuv422p10le.
static std::string streamFormatName(const StreamLayout& layout)
{
    const std::string base = streamLayouts[static_cast<int>(layout.kind)].format;
    return layout.bits == 8 ? base : base + std::to_string(layout.bits) + "le";
}

static void reportStreamLayout(const StreamLayout& layout)
{
    std::printf("layout    = %s:%d:%d%s\n", streamLayouts[static_cast<int>(layout.kind)].name, layout.bits,
                layout.pixelsPerBeat, layout.byteAligned ? ":byte" : "");
    std::printf("format    = %s\n", streamFormatName(layout).c_str());
}

// The depth line only when -D was given, so that a report without it stays as it was.
static void reportGeometry(const TraceGeometry& geometry, int32_t depth)
{
    std::printf("width     = %d\n", geometry.width);
    std::printf("height    = %d\n", geometry.height);
    std::printf("sampling  = YUV%d\n", geometry.sampling);
    std::printf("bus width = %d\n", geometry.busBytes * 8);
    if (depth != 0) {
        std::printf("depth     = %d\n", depth);
    }
}

// ---- Row conversion ----

// Appends text to a compact row up to the first NUL, which ends what a C string shows.
static void compactRow(const char* text, const char* end, CompactRow& row)
{
    for (const char* p = text; p < end && !row.complete; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\0') {
            row.complete = true;
        } else if (charClasses.of[c] != whiteSpaceClass) {
            row.text[row.length++] = static_cast<char>(c);
        } else if (row.length == 0 || row.text[row.length - 1] != ' ') {
            row.text[row.length++] = ' ';
        }
        if (row.length == compactRowCapacity) {
            row.complete = true;
        }
    }
    row.text[row.length] = '\0';
}

// How many numbers a row of `busBytes` is read for: on a 64-bit bus eight, the rest ignored;
// on any other one more than the bus holds, which makes the row malformed.
static int rowNumberLimit(int32_t busBytes)
{
    return busBytes == busBytesIgnoringMore ? busBytesIgnoringMore : busBytes + 1;
}

// Rows with signs, "0x" prefixes or other characters: the C library decides, one "%2x" at a
// time as a run of them would read.
static int convertRowWithLibc(const char* text, const char* end, int limit, uint8_t bytes[maxRowNumbers])
{
    CompactRow row{};
    compactRow(text, end, row);
    const char* at = row.text;
    int count = 0;
    while (count < limit) {
        unsigned value = 0;
        int length = 0;
        // NOLINTNEXTLINE(cert-err34-c): the C library's own reading of the row is the point here
        const int read = std::sscanf(at, "%2x%n", &value, &length);
        if (read != 1) {
            return count == 0 ? read : count;
        }
        bytes[count++] = static_cast<uint8_t>(value);
        at += length;
    }
    return count;
}

// Whether "%x" might read more at a character that is neither a hexadecimal digit nor white
// space: a sign or the x of a prefix, and NUL, where the C string ends.
static bool mayBeReadByLibc(unsigned char c)
{
    return c == '+' || c == '-' || c == 'x' || c == 'X' || c == '\0';
}

// Converts a row as "%2x" `limit` times would: numbers of at most two hexadecimal digits,
// white space skipped before each. Returns how many were converted, or -1 when the row
// ends before the first. A number that starts with another character ends the conversion,
// as it ends "%x", unless the C library might read it; then the C library converts the row.
static int convertRow(const char* text, const char* end, int limit, uint8_t bytes[maxRowNumbers])
{
    const char* p = text;
    int count = 0;
    while (count < limit) {
        while (p < end && charClasses.of[static_cast<unsigned char>(*p)] == whiteSpaceClass) {
            ++p;
        }
        if (p == end) {
            return count == 0 ? -1 : count;
        }
        const unsigned char first = static_cast<unsigned char>(*p++);
        const uint8_t high = charClasses.of[first];
        if (high > 15) {
            return mayBeReadByLibc(first) ? convertRowWithLibc(text, end, limit, bytes) : count;
        }
        uint8_t value = high;
        if (p < end && charClasses.of[static_cast<unsigned char>(*p)] <= 15) {
            value = static_cast<uint8_t>(high << 4 | charClasses.of[static_cast<unsigned char>(*p++)]);
        }
        bytes[count++] = value;
    }
    return count;
}

static bool isDigitClass(uint8_t charClass)
{
    return charClass <= 15 || charClass == unknownDigitClass;
}

// Whether the row holds an x or a z anywhere before its end or a NUL.
static bool holdsUnknownDigit(const char* text, const char* end)
{
    for (const char* p = text; p < end && *p != '\0'; ++p) {
        if (charClasses.of[static_cast<unsigned char>(*p)] == unknownDigitClass) {
            return true;
        }
    }
    return false;
}

// Whether "%2x" would read one more number at `p`: a digit, or a sign before one.
static bool numberFollows(const char* p, const char* end)
{
    while (p < end && charClasses.of[static_cast<unsigned char>(*p)] == whiteSpaceClass) {
        ++p;
    }
    if (p < end && (*p == '+' || *p == '-')) {
        ++p;
    }
    return p < end && charClasses.of[static_cast<unsigned char>(*p)] <= 15;
}

// Converts a row as "%2x" would if x and z were digits, read as 0 with their four bits
// marked unknown ("0x" is the byte 00 with its low half unknown). Only the first bus bytes
// numbers take them; after those the row is looked at as "%2x" looks at it, for one more.
static int convertRowWithUnknowns(const char* text, const char* end, int32_t busBytes, RowValues& row)
{
    const auto ended = [&](const char* p) { return p == end || *p == '\0'; };
    const char* p = text;
    int count = 0;
    while (count < busBytes) {
        while (!ended(p) && charClasses.of[static_cast<unsigned char>(*p)] == whiteSpaceClass) {
            ++p;
        }
        if (ended(p)) {
            return count == 0 ? -1 : count;
        }
        int width = 2;
        const bool negative = *p == '-';
        if (*p == '+' || *p == '-') {
            ++p;
            --width;
        }
        unsigned value = 0;
        unsigned unknown = 0;
        int digits = 0;
        for (; width > 0 && !ended(p) && isDigitClass(charClasses.of[static_cast<unsigned char>(*p)]); --width, ++p) {
            const uint8_t charClass = charClasses.of[static_cast<unsigned char>(*p)];
            value = value << 4 | (charClass <= 15 ? charClass : 0);
            unknown = unknown << 4 | (charClass <= 15 ? 0 : 15);
            ++digits;
        }
        if (digits == 0) {
            return count;
        }
        // A negated number with an unknown digit is unknown in every bit.
        row.bytes[count] = static_cast<uint8_t>(negative ? 0 - value : value);
        row.unknown[count] = static_cast<uint8_t>(negative && unknown != 0 ? 0xff : unknown);
        row.anyUnknown = row.anyUnknown || unknown != 0;
        ++count;
    }
    return busBytes != busBytesIgnoringMore && numberFollows(p, end) ? busBytes + 1 : count;
}

// A row of separate numbers, or of digit pairs. Rows without x and z digits among their
// numbers are read exactly as the C library reads them.
static int convertNumbers(const char* text, const char* end, int32_t busBytes, RowValues& row)
{
    if (holdsUnknownDigit(text, end)) {
        const int count = convertRowWithUnknowns(text, end, busBytes, row);
        if (row.anyUnknown) {
            return count;
        }
    }
    return convertRow(text, end, rowNumberLimit(busBytes), row.bytes);
}

// -E: a row that is, white space aside, one run of hexadecimal digits is one word, as %h
// prints it without its leading zeros (3ff0040 is 03ff0040); x and z count as digits of the
// run. A NUL ends the row, as it ends a C string. Returns the number of bytes, most
// significant first: bus bytes, -1 for a run longer than a word, or 0 for a row that is no
// such run, which is read as any other row.
static int convertWord(const char* text, const char* end, int32_t busBytes, RowValues& row)
{
    const auto classAt = [&](const char* p) { return charClasses.of[static_cast<unsigned char>(*p)]; };
    const auto ended = [&](const char* p) { return p == end || *p == '\0'; };
    const char* p = text;
    while (!ended(p) && classAt(p) == whiteSpaceClass) {
        ++p;
    }
    const char* first = p;
    while (!ended(p) && isDigitClass(classAt(p))) {
        ++p;
    }
    const char* last = p;
    while (!ended(p) && classAt(p) == whiteSpaceClass) {
        ++p;
    }
    if (first == last || !ended(p)) {
        return 0;
    }
    if (last - first > std::ptrdiff_t{2} * busBytes) {
        return -1;
    }
    int32_t digit = 2 * busBytes - 1; // digit positions, the most significant first
    for (const char* q = last; q > first; --q, --digit) {
        const uint8_t charClass = classAt(q - 1);
        const int shift = digit % 2 == 0 ? 4 : 0;
        row.bytes[digit / 2] = static_cast<uint8_t>(row.bytes[digit / 2] | (charClass <= 15 ? charClass : 0) << shift);
        row.unknown[digit / 2] = static_cast<uint8_t>(row.unknown[digit / 2] | (charClass <= 15 ? 0 : 15) << shift);
        row.anyUnknown = row.anyUnknown || charClass > 15;
    }
    return busBytes;
}

// ---- Fast row decoder ----

constexpr uint64_t evenPositions = 0x5555555555555555;

// The lowest `count` bits, for count from 0 to 64.
static uint64_t lowBits(size_t count)
{
    return count >= 64 ? ~uint64_t{0} : (uint64_t{1} << count) - 1;
}

// The bits of `value` under `mask`, packed to the low end, without branches (the parallel
// suffix method of Hacker's Delight, section 7-4).
static uint64_t extractBitsPlainly(uint64_t value, uint64_t mask)
{
    value &= mask;
    uint64_t zerosBelow = ~mask << 1;
    for (unsigned step = 0; step < 6; ++step) {
        uint64_t moving = zerosBelow ^ (zerosBelow << 1);
        for (unsigned shift = 2; shift < 64; shift <<= 1) {
            moving ^= moving << shift;
        }
        const uint64_t moved = moving & mask;
        mask = (mask ^ moved) | (moved >> (1U << step));
        const uint64_t bits = value & moved;
        value = (value ^ bits) | (bits >> (1U << step));
        zerosBelow &= ~moving;
    }
    return value;
}

static uint64_t depositBitsPlainly(uint64_t value, uint64_t mask)
{
    uint64_t result = 0;
    for (; mask != 0 && value != 0; mask &= mask - 1, value >>= 1) {
        result |= (value & 1) != 0 ? mask & (~mask + 1) : 0;
    }
    return result;
}

static void storeHalfBytes(uint8_t* out, uint64_t halves)
{
    const uint64_t swapped = (halves & 0x0f0f0f0f0f0f0f0f) << 4 | ((halves >> 4) & 0x0f0f0f0f0f0f0f0f);
    std::memcpy(out, &swapped, sizeof swapped);
}

static uint8_t digitValueAt(const char* text, uint64_t digits)
{
    return charClasses.of[static_cast<unsigned char>(text[__builtin_ctzll(digits)])];
}

// The plain decoder: one character at a time.
static inline TextMasks classifyPlainly(const char* text)
{
    TextMasks masks{};
    for (size_t i = 0; i < windowSize; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const uint64_t bit = uint64_t{1} << i;
        masks.digits |= charClasses.of[c] <= 15 ? bit : 0;
        masks.lineFeeds |= c == '\n' ? bit : 0;
        masks.blanks |= c == ' ' || c == '\t' || c == '\r' ? bit : 0;
    }
    return masks;
}

// Decodes the digits two at a time; a digit left over waits in the stream for the next
// window. (The plain and SSE2 decoders hold at most that one digit pending.)
static void decodeDigitsPlainly(const char* text, uint64_t digits, HalfByteStream& stream)
{
    if (stream.pendingBits != 0 && digits != 0) {
        *stream.out++ = static_cast<uint8_t>(stream.pending << 4 | digitValueAt(text, digits));
        digits &= digits - 1;
        stream.pendingBits = 0;
    }
    while (digits != 0) {
        const uint8_t high = digitValueAt(text, digits);
        digits &= digits - 1;
        if (digits == 0) {
            stream.pending = high;
            stream.pendingBits = 4;
            break;
        }
        *stream.out++ = static_cast<uint8_t>(high << 4 | digitValueAt(text, digits));
        digits &= digits - 1;
    }
}

#ifdef TRACEFRAMES_X86

// The SSE2 decoder: the plain one, with the characters classified 16 at a time.
static inline TextMasks classifyWithSse2(const char* text)
{
    TextMasks masks{};
    for (size_t part = 0; part < 4; ++part) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + 16 * part));
        const __m128i digit = _mm_sub_epi8(c, _mm_set1_epi8('0'));
        const __m128i letter = _mm_sub_epi8(_mm_or_si128(c, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
        const __m128i hexDigit = _mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(digit, _mm_set1_epi8(9)), digit),
                                              _mm_cmpeq_epi8(_mm_min_epu8(letter, _mm_set1_epi8(5)), letter));
        const __m128i isBlank =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(c, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(c, _mm_set1_epi8('\t'))),
                         _mm_cmpeq_epi8(c, _mm_set1_epi8('\r')));
        const unsigned shift = 16 * static_cast<unsigned>(part);
        masks.digits |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(hexDigit))} << shift;
        masks.lineFeeds |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(c, _mm_set1_epi8('\n'))))}
                           << shift;
        masks.blanks |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(isBlank))} << shift;
    }
    return masks;
}

// The AVX2 decoder: characters classified 32 at a time, bits moved with pext and pdep.
__attribute__((target("avx2"))) static inline uint64_t movemaskAvx2(__m256i lanes)
{
    return static_cast<uint32_t>(_mm256_movemask_epi8(lanes));
}

__attribute__((target("avx2"))) static inline TextMasks classifyWithAvx2(const char* text)
{
    TextMasks masks{};
    for (size_t part = 0; part < 2; ++part) {
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + 32 * part));
        const __m256i digit = _mm256_sub_epi8(c, _mm256_set1_epi8('0'));
        const __m256i letter = _mm256_sub_epi8(_mm256_or_si256(c, _mm256_set1_epi8(0x20)), _mm256_set1_epi8('a'));
        const __m256i hexDigit =
            _mm256_or_si256(_mm256_cmpeq_epi8(_mm256_min_epu8(digit, _mm256_set1_epi8(9)), digit),
                            _mm256_cmpeq_epi8(_mm256_min_epu8(letter, _mm256_set1_epi8(5)), letter));
        const __m256i isBlank = _mm256_or_si256(
            _mm256_or_si256(_mm256_cmpeq_epi8(c, _mm256_set1_epi8(' ')), _mm256_cmpeq_epi8(c, _mm256_set1_epi8('\t'))),
            _mm256_cmpeq_epi8(c, _mm256_set1_epi8('\r')));
        const unsigned shift = 32 * static_cast<unsigned>(part);
        masks.digits |= movemaskAvx2(hexDigit) << shift;
        masks.lineFeeds |= movemaskAvx2(_mm256_cmpeq_epi8(c, _mm256_set1_epi8('\n'))) << shift;
        masks.blanks |= movemaskAvx2(isBlank) << shift;
    }
    return masks;
}

__attribute__((target("bmi2"))) static inline uint64_t extractBitsWithBmi2(uint64_t value, uint64_t mask)
{
    return _pext_u64(value, mask);
}

__attribute__((target("bmi2"))) static inline uint64_t depositBitsWithBmi2(uint64_t value, uint64_t mask)
{
    return _pdep_u64(value, mask);
}

// Appends `count` half bytes (up to 16); stores eight bytes whenever that many are pending.
static void appendHalfBytes(HalfByteStream& stream, uint64_t halves, unsigned count)
{
    stream.pending |= halves << stream.pendingBits;
    const uint64_t overflow = (halves >> 1) >> (63 - stream.pendingBits);
    storeHalfBytes(stream.out, stream.pending);
    stream.pendingBits += 4 * count;
    const bool full = stream.pendingBits >= 64;
    stream.out += full ? 8 : 0;
    stream.pending = full ? overflow : stream.pending;
    stream.pendingBits &= 63;
}

// Digit values of 32 characters, two to a byte, the first in the low half.
__attribute__((target("avx2"))) static inline __m256i digitValuePairsAvx2(const char* text)
{
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text));
    const __m256i isLetter = _mm256_cmpeq_epi8(_mm256_and_si256(c, _mm256_set1_epi8(0x40)), _mm256_set1_epi8(0x40));
    const __m256i value =
        _mm256_add_epi8(_mm256_and_si256(c, _mm256_set1_epi8(0x0f)), _mm256_and_si256(isLetter, _mm256_set1_epi8(9)));
    return _mm256_maddubs_epi16(value, _mm256_set1_epi16(0x1001));
}

// Gathers the digit values into the stream 16 characters at a time.
__attribute__((target("avx2,bmi2"))) static inline void decodeDigitsWithAvx2(const char* text, uint64_t digits,
                                                                             HalfByteStream& stream)
{
    // Halves: characters 0-15, 32-47, 16-31, 48-63.
    const __m256i packed = _mm256_packus_epi16(digitValuePairsAvx2(text), digitValuePairsAvx2(text + 32));
    const uint64_t parts[4] = {
        static_cast<uint64_t>(_mm256_extract_epi64(packed, 0)), static_cast<uint64_t>(_mm256_extract_epi64(packed, 2)),
        static_cast<uint64_t>(_mm256_extract_epi64(packed, 1)), static_cast<uint64_t>(_mm256_extract_epi64(packed, 3))};
    for (unsigned part = 0; part < 4; ++part) {
        const uint64_t partDigits = (digits >> (16 * part)) & 0xffff;
        const uint64_t halves = _pext_u64(parts[part], _pdep_u64(partDigits, 0x1111111111111111) * 15);
        appendHalfBytes(stream, halves, static_cast<unsigned>(__builtin_popcountll(partDigits)));
    }
}

// The AVX-512 decoder: characters classified 64 at a time, digit pairs packed by byte
// compression, bits moved with pext and pdep.
__attribute__((target("avx512f,avx512bw"))) static inline TextMasks classifyWithAvx512(const char* text)
{
    const __m512i c = _mm512_loadu_si512(text);
    const __m512i digit = _mm512_sub_epi8(c, _mm512_set1_epi8('0'));
    const __m512i letter = _mm512_sub_epi8(_mm512_or_si512(c, _mm512_set1_epi8(0x20)), _mm512_set1_epi8('a'));
    TextMasks masks{};
    masks.digits =
        _mm512_cmple_epu8_mask(digit, _mm512_set1_epi8(9)) | _mm512_cmple_epu8_mask(letter, _mm512_set1_epi8(5));
    masks.lineFeeds = _mm512_cmpeq_epi8_mask(c, _mm512_set1_epi8('\n'));
    masks.blanks = _mm512_cmpeq_epi8_mask(c, _mm512_set1_epi8(' ')) |
                   _mm512_cmpeq_epi8_mask(c, _mm512_set1_epi8('\t')) |
                   _mm512_cmpeq_epi8_mask(c, _mm512_set1_epi8('\r'));
    return masks;
}

// Digit values of 64 characters.
__attribute__((target("avx512f,avx512bw"))) static inline __m512i digitValuesAvx512(const char* text)
{
    const __m512i c = _mm512_loadu_si512(text);
    const __mmask64 letters = _mm512_test_epi8_mask(c, _mm512_set1_epi8(0x40));
    return _mm512_mask_add_epi8(_mm512_and_si512(c, _mm512_set1_epi8(0x0f)), letters,
                                _mm512_and_si512(c, _mm512_set1_epi8(0x0f)), _mm512_set1_epi8(9));
}

// Each digit of even index in its line, with the one after it (which may be the first of
// the next window), makes a byte; the bytes are packed together and stored.
__attribute__((target("avx512f,avx512bw,avx512vbmi2,bmi2"))) static inline void
decodeDigitsWithAvx512(const char* text, uint64_t digits, uint64_t oddDigitAt, HalfByteStream& stream)
{
    const uint64_t highDigits = _pdep_u64(~oddDigitAt, digits);
    const __m512i pairs = _mm512_or_si512(_mm512_slli_epi16(digitValuesAvx512(text), 4), digitValuesAvx512(text + 1));
    const __m512i bytes = _mm512_maskz_compress_epi8(highDigits, pairs);
    const unsigned count = static_cast<unsigned>(__builtin_popcountll(highDigits));
    // A window holds at most 32 pairs: a store of 32 bytes whatever the count (a store
    // masked to the count costs more), and the buffers carry the slack.
    _mm512_mask_storeu_epi8(stream.out, 0xffffffff, bytes);
    stream.out += count;
}

#endif

// The steps of the decoder that `kernel` names.
template <RowKernel kernel> static inline __attribute__((always_inline)) TextMasks classifyWith(const char* text)
{
#ifdef TRACEFRAMES_X86
    if constexpr (kernel == RowKernel::avx512) {
        return classifyWithAvx512(text);
    }
    if constexpr (kernel == RowKernel::avx2) {
        return classifyWithAvx2(text);
    }
    if constexpr (kernel == RowKernel::sse2) {
        return classifyWithSse2(text);
    }
#endif
    return classifyPlainly(text);
}

template <RowKernel kernel>
static inline __attribute__((always_inline)) uint64_t extractBitsWith(uint64_t value, uint64_t mask)
{
#ifdef TRACEFRAMES_X86
    if constexpr (kernel == RowKernel::avx512 || kernel == RowKernel::avx2) {
        return extractBitsWithBmi2(value, mask);
    }
#endif
    return extractBitsPlainly(value, mask);
}

template <RowKernel kernel>
static inline __attribute__((always_inline)) uint64_t depositBitsWith(uint64_t value, uint64_t mask)
{
#ifdef TRACEFRAMES_X86
    if constexpr (kernel == RowKernel::avx512 || kernel == RowKernel::avx2) {
        return depositBitsWithBmi2(value, mask);
    }
#endif
    return depositBitsPlainly(value, mask);
}

template <RowKernel kernel>
static inline __attribute__((always_inline)) void decodeDigitsWith(const char* text, uint64_t digits,
                                                                   uint64_t oddDigitAt, HalfByteStream& stream)
{
#ifdef TRACEFRAMES_X86
    if constexpr (kernel == RowKernel::avx512) {
        decodeDigitsWithAvx512(text, digits, oddDigitAt, stream);
        return;
    }
    if constexpr (kernel == RowKernel::avx2) {
        decodeDigitsWithAvx2(text, digits, stream);
        return;
    }
#endif
    static_cast<void>(oddDigitAt);
    decodeDigitsPlainly(text, digits, stream);
}

// The fast row decoder. From `text`, which begins a line, it decodes rows while each line
// holds only hexadecimal digits, blanks, tabs and carriage returns before its line feed, has
// all its runs of digits of even length and exactly 2 x bus bytes digits; such a line
// converts as "%2x" eight times would, to its digits taken two at a time. It stops before
// the first other line, at the end of `available` or after `maxRows` rows, and never takes
// a line without its line feed. It reads 64 characters at a time, up to 64 past
// `available`, and may write 80 bytes past the rows decoded to the stream. Returns the number
// of characters taken; `rows` gets the number of rows.
//
// A window of 22 characters on a 32-bit bus, one bit a character or a rank, the first at
// the left ($ is the line feed):
//   text                        0a 1b 2c 3d$4e5f6 071$
//   digits                      1101101101101111101110
//   lineFeeds                   0000000000010000000001
//   kept (digits, line feeds)   1101101101111111101111
//   extract(lineFeeds, kept)    000000001000000001      by rank among the kept: a line feed
//   lineFeedPatterns[0]         000000001000000001      after every 8 digits, as it must be
//   runStarts                   1001001001001000001000
//   extract(runStarts, digits)  1010101010000100        by rank among the digits
//   oddDigitAt                  0101010101010101
//   oddStarts                   0000000000000100        "071" starts at digit 5 of its line
// The odd start is a fault at character 18: the decoder takes the line before it, 12
// characters and one row, and stops. The second line is left to the exact conversion, which
// reads five numbers, "4e", "5f", "6", "07", "1", where digit pairs would make four.
template <RowKernel kernel, int32_t busBytes>
static inline __attribute__((always_inline)) size_t decodeRowsWith(const char* text, size_t available, int64_t maxRows,
                                                                   HalfByteStream stream, int64_t& rows)
{
    // Among the digits and line feeds of good lines every (2 x bus bytes + 1)th is a line
    // feed; lineFeedPatterns[phase] marks them for a window that starts `phase` into a line.
    constexpr size_t period = 2 * busBytes + 1;
    uint64_t lineFeedPatterns[period] = {};
    for (size_t phase = 0; phase < period; ++phase) {
        for (size_t at = period - 1 - phase; at < windowSize; at += period) {
            lineFeedPatterns[phase] |= uint64_t{1} << at;
        }
    }
    size_t phase = 0;                     // digits since the last line feed (fewer than period)
    uint64_t oddDigitAt = ~evenPositions; // digits of odd index in the line, by rank in the window
    uint64_t digitBefore = 0;             // 1 when the window follows a digit
    size_t taken = 0;
    rows = 0;
    for (size_t at = 0; at < available; at += windowSize) {
        const char* window = text + at;
        const TextMasks masks = classifyWith<kernel>(window);
        const uint64_t inside = lowBits(available - at);
        const uint64_t digits = masks.digits & inside;
        const uint64_t lineFeeds = masks.lineFeeds & inside;
        const uint64_t others = inside & ~(masks.digits | masks.lineFeeds | masks.blanks);
        const uint64_t kept = digits | lineFeeds;
        const size_t keptCount = static_cast<size_t>(__builtin_popcountll(kept));
        const uint64_t misplaced =
            extractBitsWith<kernel>(lineFeeds, kept) ^ (lineFeedPatterns[phase] & lowBits(keptCount));
        // A run of digits that starts at an odd index leaves an odd run before it.
        const uint64_t runStarts = digits & ~(digits << 1 | digitBefore);
        const uint64_t oddStarts = extractBitsWith<kernel>(runStarts, digits) & oddDigitAt;
        const int64_t lines = __builtin_popcountll(lineFeeds);
        if ((others | misplaced | oddStarts) == 0 && lines <= maxRows - rows) {
            decodeDigitsWith<kernel>(window, digits, oddDigitAt, stream);
            rows += lines;
            taken = lineFeeds != 0 ? at + windowSize - static_cast<size_t>(__builtin_clzll(lineFeeds)) : taken;
            // What follows the last line feed sets the phase and parity; without one, this
            // window adds to them. (Their chains from window to window stay short.)
            const bool lineEnded = lineFeeds != 0;
            const uint64_t lastLineDigits =
                lineEnded ? digits & ~lowBits(64 - size_t(__builtin_clzll(lineFeeds))) : digits;
            const size_t lastLineCount = static_cast<size_t>(__builtin_popcountll(lastLineDigits));
            phase = (lineEnded ? 0 : phase) + lastLineCount;
            oddDigitAt = ((lineEnded ? ~evenPositions : oddDigitAt) ^ (lastLineCount % 2 != 0 ? ~uint64_t{0} : 0));
            digitBefore = digits >> 63;
            continue;
        }
        // Take the lines before the first fault, up to the row limit, and stop.
        const uint64_t faults =
            others | depositBitsWith<kernel>(misplaced, kept) | depositBitsWith<kernel>(oddStarts, digits);
        const uint64_t goodLineFeeds = lineFeeds & ((faults & (~faults + 1)) - 1);
        const int64_t goodLines = std::min(int64_t{__builtin_popcountll(goodLineFeeds)}, maxRows - rows);
        if (goodLines > 0) {
            const uint64_t lastLineFeed = depositBitsWith<kernel>(uint64_t{1} << (goodLines - 1), goodLineFeeds);
            const size_t length = static_cast<size_t>(__builtin_ctzll(lastLineFeed)) + 1;
            decodeDigitsWith<kernel>(window, digits & lowBits(length), oddDigitAt, stream);
            rows += goodLines;
            taken = at + length;
        }
        break;
    }
    storeHalfBytes(stream.out, stream.pending);
    return taken;
}

// The bus widths with a fast decoder: 32, 64, 128, 256 and 512 bits, and for streams 40 (a
// beat of two pixels of 10-bit 4:2:2), whose beats are unpacked whole, never split as rows.
static bool hasFastDecoder(int32_t busBytes)
{
    return busBytes == 4 || busBytes == 8 || busBytes == 16 || busBytes == 32 || busBytes == 64;
}

template <RowKernel kernel>
static inline __attribute__((always_inline)) size_t
decodeRowsOfWidth(const char* text, size_t available, int32_t busBytes, int64_t maxRows, uint8_t* out, int64_t& rows)
{
    switch (busBytes) {
    case 4: return decodeRowsWith<kernel, 4>(text, available, maxRows, {out, 0, 0}, rows);
    case 5: return decodeRowsWith<kernel, 5>(text, available, maxRows, {out, 0, 0}, rows);
    case 8: return decodeRowsWith<kernel, 8>(text, available, maxRows, {out, 0, 0}, rows);
    case 16: return decodeRowsWith<kernel, 16>(text, available, maxRows, {out, 0, 0}, rows);
    case 32: return decodeRowsWith<kernel, 32>(text, available, maxRows, {out, 0, 0}, rows);
    default: return decodeRowsWith<kernel, 64>(text, available, maxRows, {out, 0, 0}, rows);
    }
}

// The decoder of each instruction set, for the bus width of the trace.
static size_t decodeRowsPlainly(const char* text, size_t available, int32_t busBytes, int64_t maxRows, uint8_t* out,
                                int64_t& rows)
{
    return decodeRowsOfWidth<RowKernel::plain>(text, available, busBytes, maxRows, out, rows);
}

#ifdef TRACEFRAMES_X86

static size_t decodeRowsWithSse2(const char* text, size_t available, int32_t busBytes, int64_t maxRows, uint8_t* out,
                                 int64_t& rows)
{
    return decodeRowsOfWidth<RowKernel::sse2>(text, available, busBytes, maxRows, out, rows);
}

__attribute__((target("avx2,bmi2"))) static size_t
decodeRowsWithAvx2(const char* text, size_t available, int32_t busBytes, int64_t maxRows, uint8_t* out, int64_t& rows)
{
    return decodeRowsOfWidth<RowKernel::avx2>(text, available, busBytes, maxRows, out, rows);
}

__attribute__((target("avx512f,avx512bw,avx512vbmi2,bmi2"))) static size_t
decodeRowsWithAvx512(const char* text, size_t available, int32_t busBytes, int64_t maxRows, uint8_t* out, int64_t& rows)
{
    return decodeRowsOfWidth<RowKernel::avx512>(text, available, busBytes, maxRows, out, rows);
}

#endif

// ---- Processor and dispatch ----

enum class CpuVendor { other, intel, amd, hygon };

// What CPUID and XGETBV tell of the processor: all that the choice of a decoder rests on.
struct CpuFacts {
    CpuVendor vendor;
    uint32_t family; // base family, plus the extended family where the base is 15
    bool sse2;
    bool avx2;
    bool bmi2;
    bool avx512f;
    bool avx512bw;
    bool avx512vbmi2;
    bool osSavesAvx;    // XCR0: the system saves the YMM registers
    bool osSavesAvx512; // XCR0: and the opmask and ZMM registers
};

#ifdef TRACEFRAMES_X86

__attribute__((target("xsave"))) static uint64_t readXcr0()
{
    return _xgetbv(0);
}

static bool bitSet(unsigned word, unsigned bit)
{
    return ((word >> bit) & 1) != 0;
}

#endif

// The processor's vendor, family and features, and which vector registers the system saves
// on a task switch (XCR0, read only where CPUID says XGETBV may be used).
[[maybe_unused]] static CpuFacts readCpuFacts()
{
    CpuFacts cpu{};
#ifdef TRACEFRAMES_X86
    unsigned a = 0;
    unsigned b = 0;
    unsigned c = 0;
    unsigned d = 0;
    if (__get_cpuid(0, &a, &b, &c, &d) == 0) {
        return cpu;
    }
    const unsigned maxLeaf = a;
    char vendor[12];
    std::memcpy(vendor, &b, 4);
    std::memcpy(vendor + 4, &d, 4);
    std::memcpy(vendor + 8, &c, 4);
    cpu.vendor = std::memcmp(vendor, "GenuineIntel", 12) == 0   ? CpuVendor::intel
                 : std::memcmp(vendor, "AuthenticAMD", 12) == 0 ? CpuVendor::amd
                 : std::memcmp(vendor, "HygonGenuine", 12) == 0 ? CpuVendor::hygon
                                                                : CpuVendor::other;
    __get_cpuid(1, &a, &b, &c, &d);
    const unsigned baseFamily = (a >> 8) & 0xf;
    cpu.family = baseFamily == 0xf ? baseFamily + ((a >> 20) & 0xff) : baseFamily;
    cpu.sse2 = bitSet(d, 26);
    const uint64_t xcr0 = bitSet(c, 27) ? readXcr0() : 0;
    cpu.osSavesAvx = (xcr0 & 0x6) == 0x6;
    cpu.osSavesAvx512 = (xcr0 & 0xe6) == 0xe6;
    if (maxLeaf >= 7) {
        __get_cpuid_count(7, 0, &a, &b, &c, &d);
        cpu.avx2 = bitSet(b, 5);
        cpu.bmi2 = bitSet(b, 8);
        cpu.avx512f = bitSet(b, 16);
        cpu.avx512bw = bitSet(b, 30);
        cpu.avx512vbmi2 = bitSet(c, 6);
    }
#endif
    return cpu;
}

// pext and pdep take tens to hundreds of cycles, microcoded, on AMD processors before Zen 3
// (family 0x19) and on Hygon's, which are built on Zen.
static bool hasFastBitExtraction(const CpuFacts& cpu)
{
    const bool microcoded =
        (cpu.vendor == CpuVendor::amd && cpu.family <= 0x17) || (cpu.vendor == CpuVendor::hygon && cpu.family <= 0x18);
    return cpu.bmi2 && !microcoded;
}

// The fastest decoder for the processor. The vector registers count only where the system
// saves them, or the decoder would die of SIGILL.
[[maybe_unused]] static RowKernel chooseRowKernel(const CpuFacts& cpu)
{
    const bool fastBits = hasFastBitExtraction(cpu);
    if (fastBits && cpu.avx512f && cpu.avx512bw && cpu.avx512vbmi2 && cpu.osSavesAvx512) {
        return RowKernel::avx512;
    }
    if (fastBits && cpu.avx2 && cpu.osSavesAvx) {
        return RowKernel::avx2;
    }
    return cpu.sse2 ? RowKernel::sse2 : RowKernel::plain;
}

// The decoder of this run: the processor's, or the one an in-process test build or a bench
// build names (which leaves readCpuFacts and chooseRowKernel unused).
static RowKernel rowKernelOfThisRun()
{
#ifdef TRACEFRAMES_ROW_KERNEL
    return RowKernel::TRACEFRAMES_ROW_KERNEL;
#else
    return chooseRowKernel(readCpuFacts());
#endif
}

static size_t decodeRows(RowKernel kernel, const char* text, size_t available, int32_t busBytes, int64_t maxRows,
                         uint8_t* out, int64_t& rows)
{
#ifdef TRACEFRAMES_X86
    switch (kernel) {
    case RowKernel::avx512: return decodeRowsWithAvx512(text, available, busBytes, maxRows, out, rows);
    case RowKernel::avx2: return decodeRowsWithAvx2(text, available, busBytes, maxRows, out, rows);
    case RowKernel::sse2: return decodeRowsWithSse2(text, available, busBytes, maxRows, out, rows);
    case RowKernel::plain: break;
    }
#endif
    static_cast<void>(kernel);
    return decodeRowsPlainly(text, available, busBytes, maxRows, out, rows);
}

// ---- Frame assembly ----

static int32_t maskChunkCount(int32_t frameSize)
{
    return frameSize / maskChunkSize + 1;
}

static void flagMaskChunk(FrameWriter& writer, int32_t offset)
{
    const int32_t chunk = offset / maskChunkSize;
    if (writer.maskChunkDirty[chunk] == 0) {
        writer.maskChunkDirty[chunk] = 1;
        writer.dirtyMaskChunks[writer.dirtyMaskChunkCount++] = chunk;
    }
}

// The bytes [begin, end) of the frame that the dirty chunk `index` covers.
static std::pair<int32_t, int32_t> dirtyChunkBytes(const FrameWriter& writer, int32_t index)
{
    const int32_t begin = writer.dirtyMaskChunks[index] * maskChunkSize;
    return {begin, std::min(begin + maskChunkSize, writer.geometry->frameSize)};
}

// Adds the unknown samples of the frame just written to the tally and clears its mask.
static void tallyUnknowns(FrameWriter& writer)
{
    UnknownTally& tally = writer.unknowns;
    tally.samples += writer.frameUnknownSamples;
    writer.frameUnknownSamples = 0;
    for (int32_t index = 0; index < writer.dirtyMaskChunkCount; ++index) {
        const auto [begin, end] = dirtyChunkBytes(writer, index);
        std::memset(writer.mask + begin, 0, static_cast<size_t>(end - begin));
        writer.maskChunkDirty[writer.dirtyMaskChunks[index]] = 0;
    }
    writer.dirtyMaskChunkCount = 0;
    ++tally.frames;
    if (!tally.found) {
        tally.found = true;
        tally.firstRow = writer.frameFirstUnknownRow;
        tally.firstFrame = writer.framesWritten;
        tally.firstOffset = writer.frameFirstUnknownOffset;
    }
    writer.frameHasUnknowns = false;
}

// Writes all of `length` bytes at the file offset `at`; false as writeAll.
static bool writeAllAt(int fd, const uint8_t* data, size_t length, off_t at)
{
    while (length > 0) {
        const ssize_t written = pwrite(fd, data, length, at);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        at += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

// In a regular mask file only the chunks holding unknown bits are written, and the file is
// extended over the rest, which reads back as zeros; elsewhere the whole frame is written.
static bool writeMaskFrame(FrameWriter& writer)
{
    const int32_t frameSize = writer.geometry->frameSize;
    if (!writer.maskSeeks) {
        return writeAll(writer.maskFd, writer.mask, static_cast<size_t>(frameSize));
    }
    // The dirty chunks in order, each run of neighbours written at once.
    std::sort(writer.dirtyMaskChunks, writer.dirtyMaskChunks + writer.dirtyMaskChunkCount);
    const auto start = static_cast<off_t>(writer.framesWritten * frameSize);
    for (int32_t index = 0; index < writer.dirtyMaskChunkCount;) {
        int32_t last = index;
        while (last + 1 < writer.dirtyMaskChunkCount &&
               writer.dirtyMaskChunks[last + 1] == writer.dirtyMaskChunks[last] + 1) {
            ++last;
        }
        const int32_t begin = dirtyChunkBytes(writer, index).first;
        const int32_t end = dirtyChunkBytes(writer, last).second;
        if (!writeAllAt(writer.maskFd, writer.mask + begin, static_cast<size_t>(end - begin), start + begin)) {
            return false;
        }
        index = last + 1;
    }
    const off_t end = start + frameSize;
    return ftruncate(writer.maskFd, end) == 0 && lseek(writer.maskFd, end, SEEK_SET) == end;
}

static void writeFrame(FrameWriter& writer)
{
    const int32_t frameSize = writer.geometry->frameSize;
    const int64_t completed = writer.framesWritten * frameSize;
    if (!writeAll(writer.outputFd, writer.frame, static_cast<size_t>(frameSize))) {
        failWritingFrame(writer.outputFd, writer.maskFd, completed, outputNotWritten);
    }
    if (writer.mask != nullptr && !writeMaskFrame(writer)) {
        failWritingFrame(writer.outputFd, writer.maskFd, completed, maskNotWritten);
    }
    if (writer.frameHasUnknowns) {
        tallyUnknowns(writer);
    }
    writer.fillCount = 0;
    ++writer.framesWritten;
}

// Where the next bytes of the frame go: at `first`, or with the chroma split the even bytes
// at `first` in the first chroma plane and the odd ones at `second` in the second.
struct Destination {
    uint8_t* first;
    uint8_t* second; // null unless the chroma is split
};

static Destination nextDestination(const FrameWriter& writer, uint8_t* frame)
{
    const TraceGeometry& geometry = *writer.geometry;
    if (!writer.splitChroma || writer.fillCount < geometry.lumaPlaneSize) {
        return {frame + writer.fillCount, nullptr};
    }
    uint8_t* first = frame + geometry.lumaPlaneSize + (writer.fillCount - geometry.lumaPlaneSize) / 2;
    return {first, first + geometry.chromaPlaneSize};
}

// Where the byte `fill` of the frame in bus order lands: with the chroma split, chroma goes
// in bus order two samples at a time, the first to the first plane, the second to the second.
static int32_t frameOffsetOf(const FrameWriter& writer, int32_t fill)
{
    const TraceGeometry& geometry = *writer.geometry;
    if (!writer.splitChroma || fill < geometry.lumaPlaneSize) {
        return fill;
    }
    const int32_t sampleBytes = geometry.sampleBytes;
    const int32_t chromaByte = fill - geometry.lumaPlaneSize;
    const int32_t pair = chromaByte / (2 * sampleBytes);
    const int32_t within = chromaByte % (2 * sampleBytes);
    return geometry.lumaPlaneSize + pair * sampleBytes +
           (within < sampleBytes ? within : geometry.chromaPlaneSize + within - sampleBytes);
}

// Splits `length` bytes of interleaved chroma: even samples to the first plane, odd samples
// to the second, one or two bytes a sample (U0 low, U0 high, V0 low, V0 high at 10 bits).
static void splitChromaPairs(const uint8_t* bytes, size_t length, int32_t sampleBytes, const Destination& to)
{
    if (sampleBytes == 1) {
        for (size_t j = 0; j < length / 2; ++j) {
            to.first[j] = bytes[2 * j];
            to.second[j] = bytes[2 * j + 1];
        }
        return;
    }
    for (size_t j = 0; j < length / 4; ++j) {
        std::copy(bytes + 4 * j, bytes + 4 * j + 2, to.first + 2 * j);
        std::copy(bytes + 4 * j + 2, bytes + 4 * j + 4, to.second + 2 * j);
    }
}

// -E: each of `rows` rows at `bytes` is a word printed most significant byte first; puts its
// bytes back in bus order.
// Rows narrower than 8 bytes, reversed a word at a time: the 8 bytes from the row's start
// are read (the buffers have slack behind their last row), swapped, and the row's own bytes
// written back.
template <int32_t busBytes> static void reverseNarrowRows(uint8_t* bytes, int64_t rows)
{
    for (int64_t r = 0; r < rows; ++r, bytes += busBytes) {
        uint64_t word = 0;
        std::memcpy(&word, bytes, sizeof word);
        word = __builtin_bswap64(word) >> (64 - 8 * busBytes);
        std::memcpy(bytes, &word, busBytes);
    }
}

static void reverseRowBytes(uint8_t* bytes, int64_t rows, int32_t busBytes)
{
    switch (busBytes) {
    case 3: reverseNarrowRows<3>(bytes, rows); return;
    case 5: reverseNarrowRows<5>(bytes, rows); return;
    case 6: reverseNarrowRows<6>(bytes, rows); return;
    case 7: reverseNarrowRows<7>(bytes, rows); return;
    default: break;
    }
    for (int64_t r = 0; r < rows; ++r, bytes += busBytes) {
        if (busBytes == 4) {
            uint32_t word = 0;
            std::memcpy(&word, bytes, 4);
            word = __builtin_bswap32(word);
            std::memcpy(bytes, &word, 4);
        } else if (busBytes == 8) {
            uint64_t word = 0;
            std::memcpy(&word, bytes, 8);
            word = __builtin_bswap64(word);
            std::memcpy(bytes, &word, 8);
        } else {
            std::reverse(bytes, bytes + busBytes);
        }
    }
}

// Counts bytes placed into the frame and writes the frame when it is full.
static void advanceFill(FrameWriter& writer, int32_t placed)
{
    writer.fillCount += placed;
    if (writer.fillCount == writer.geometry->frameSize) {
        writeFrame(writer);
    }
}

// Lays the bytes of one row into `frame` (the frame or its mask) at the fill count. Rows of
// whole sample pairs split as the fast decoder's do; on other buses a pair of chroma
// samples may straddle two rows, and each byte goes to its place alone.
static void placeBytes(const FrameWriter& writer, uint8_t* frame, const uint8_t* bytes)
{
    const TraceGeometry& geometry = *writer.geometry;
    const int32_t busBytes = geometry.busBytes;
    const Destination to = nextDestination(writer, frame);
    if (to.second == nullptr) {
        if (busBytes == 4) {
            // Copies of a fixed size: a call to memmove would cost more than the row.
            std::copy(bytes, bytes + 4, to.first);
        } else if (busBytes == 8) {
            std::copy(bytes, bytes + 8, to.first);
        } else {
            std::copy(bytes, bytes + std::min(busBytes, maxBusBytes), to.first);
        }
    } else if (busBytes % (2 * geometry.sampleBytes) == 0) {
        // A row holds at most maxBusBytes bytes; the bound says so to the compiler too.
        splitChromaPairs(bytes, static_cast<size_t>(std::min(busBytes, maxBusBytes)), geometry.sampleBytes, to);
    } else {
        for (int32_t k = 0; k < busBytes && k < maxBusBytes; ++k) {
            frame[frameOffsetOf(writer, writer.fillCount + k)] = bytes[k];
        }
    }
}

// Marks the frame as holding unknown bits; the first row that does gives its first unknown
// byte, in bus order, as the frame's first unknown sample.
static void noteUnknownRow(FrameWriter& writer, const RowValues& row, int64_t rowIndex)
{
    if (writer.frameHasUnknowns) {
        return;
    }
    int32_t first = 0;
    while (first < writer.geometry->busBytes - 1 && row.unknown[first] == 0) {
        ++first;
    }
    writer.frameHasUnknowns = true;
    writer.frameFirstUnknownRow = rowIndex;
    writer.frameFirstUnknownOffset = frameOffsetOf(writer, writer.fillCount + first);
}

// Lays the unknown bits of a row into the mask, each byte where its sample lands, and counts
// a sample the first time one of its bytes turns unknown.
static void placeUnknownBits(FrameWriter& writer, const uint8_t* unknown)
{
    const int32_t sampleBytes = writer.geometry->sampleBytes;
    for (int32_t k = 0; k < writer.geometry->busBytes && k < maxBusBytes; ++k) {
        if (unknown[k] == 0) {
            continue;
        }
        const int32_t offset = frameOffsetOf(writer, writer.fillCount + k);
        const int32_t sampleStart = offset - offset % sampleBytes;
        if (writer.mask[sampleStart] == 0 && (sampleBytes == 1 || writer.mask[sampleStart + 1] == 0)) {
            ++writer.frameUnknownSamples;
        }
        writer.mask[offset] = unknown[k];
        flagMaskChunk(writer, offset);
    }
}

static void placeRow(FrameWriter& writer, RowValues& row, int64_t rowIndex)
{
    const int32_t busBytes = writer.geometry->busBytes;
    if (writer.reverseRows) {
        reverseRowBytes(row.bytes, 1, busBytes);
        reverseRowBytes(row.unknown, 1, busBytes);
    }
    placeBytes(writer, writer.frame, row.bytes);
    if (row.anyUnknown && writer.mask != nullptr) {
        placeUnknownBits(writer, row.unknown);
        noteUnknownRow(writer, row, rowIndex);
    }
    advanceFill(writer, busBytes);
}

// ---- AXI4-Stream video (-A) ----

// Where each component of a beat goes: the pixel it belongs to, its first bit in the beat,
// its plane (0 to 2) and its column from the beat's first column in that plane.
struct StreamSlot {
    int32_t pixel;
    int32_t bit;
    int32_t plane;
    int32_t column;
};

// The slots of a beat, in pixel order; they depend on whether the beat starts at an odd
// pixel (only with one pixel a beat) and on whether its line is odd (4:2:0).
struct StreamPlan {
    StreamSlot slots[24];
    int32_t count;
};

constexpr int32_t maxStreamErrorsShown = 20;
// A beat is copied here with room behind it, since each component is read 8 bytes at a time.
constexpr size_t beatCapacity = maxBusBytes + 16;

struct StreamState {
    const StreamLayout* layout;
    StreamPlan plans[2][2]; // [beat starts at an odd pixel][odd line]
    bool sideBand;
    int32_t beatsPerLine;
    int32_t line;
    int32_t beat; // of the line
    int64_t beatsInFrame;
    bool startMissing; // -K: beats are discarded up to the next start of frame
    int64_t errors;
    int64_t sideBandUnknowns; // -X: x or z in TUSER or TLAST, read as 0
    int64_t rowIndex;         // the row of the beat being placed
};

// The plane of component `c` of a pixel, or -1 when it is not used (the chroma slots of
// the odd lines of 4:2:0). rgb's planes are G, B, R, in the order the pixel carries them.
static int32_t componentPlane(StreamLayoutKind kind, bool oddPixel, bool oddLine, int32_t c)
{
    switch (kind) {
    case StreamLayoutKind::yuv422: return c == 0 ? 0 : oddPixel ? 2 : 1;
    case StreamLayoutKind::uyvy422: return c == 1 ? 0 : oddPixel ? 2 : 1;
    case StreamLayoutKind::yuv420: return c == 0 ? 0 : oddLine ? -1 : oddPixel ? 2 : 1;
    case StreamLayoutKind::uyv444: return c == 0 ? 1 : c == 1 ? 0 : 2;
    case StreamLayoutKind::yuv444:
    case StreamLayoutKind::rgb:
    case StreamLayoutKind::mono: break;
    }
    return c;
}

static StreamPlan makeStreamPlan(const StreamLayout& layout, bool oddStart, bool oddLine)
{
    StreamPlan plan{};
    const int32_t components = streamLayouts[static_cast<int>(layout.kind)].components;
    const bool halfChroma = streamLayouts[static_cast<int>(layout.kind)].sampling != 444;
    const int32_t first = oddStart ? 1 : 0;
    for (int32_t p = 0; p < layout.pixelsPerBeat; ++p) {
        for (int32_t c = 0; c < components; ++c) {
            const int32_t plane = componentPlane(layout.kind, (first + p) % 2 != 0, oddLine, c);
            if (plane < 0) {
                continue;
            }
            const int32_t column = plane == 0 || !halfChroma ? p : (first + p) / 2 - first / 2;
            plan.slots[plan.count++] = {p, p * layout.slotBits + c * layout.bits, plane, column};
        }
    }
    return plan;
}

// The 8 bytes at `bytes` as a little-endian number, whatever the processor's byte order.
static uint64_t littleEndianWordAt(const uint8_t* bytes)
{
    uint64_t word = 0;
    std::memcpy(&word, bytes, sizeof word);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = __builtin_bswap64(word);
#endif
    return word;
}

static uint32_t componentAt(const uint8_t* beat, int32_t bit, uint32_t mask)
{
    return static_cast<uint32_t>(littleEndianWordAt(beat + bit / 8) >> (bit % 8)) & mask;
}

// Where the line's samples of each plane start, for the beat's first pixel.
struct PlaneRows {
    uint8_t* at[3];
};

static PlaneRows planeRowsOf(const TraceGeometry& geometry, uint8_t* frame, int32_t line, int32_t firstPixel)
{
    const auto sampleBytes = static_cast<size_t>(geometry.sampleBytes);
    const bool halfHeight = geometry.sampling == 420;
    const bool halfWidth = geometry.chromaWidth != geometry.width;
    const size_t chromaRow = static_cast<size_t>(halfHeight ? line / 2 : line);
    const size_t chromaColumn = static_cast<size_t>(halfWidth ? firstPixel / 2 : firstPixel);
    uint8_t* chroma = frame + geometry.lumaPlaneSize +
                      (chromaRow * static_cast<size_t>(geometry.chromaWidth) + chromaColumn) * sampleBytes;
    const size_t lumaAt = (static_cast<size_t>(line) * static_cast<size_t>(geometry.width) + size_t(firstPixel));
    return {{frame + lumaAt * sampleBytes, chroma, chroma + geometry.chromaPlaneSize}};
}

// Lays the components of the beat's first `pixels` pixels into their planes.
static void unpackBeat(const StreamPlan& plan, const uint8_t* beat, int32_t pixels, uint32_t mask, int32_t sampleBytes,
                       const PlaneRows& rows)
{
    for (int32_t k = 0; k < plan.count && plan.slots[k].pixel < pixels; ++k) {
        const StreamSlot& slot = plan.slots[k];
        const uint32_t value = componentAt(beat, slot.bit, mask);
        if (sampleBytes == 1) {
            rows.at[slot.plane][slot.column] = static_cast<uint8_t>(value);
        } else {
            uint8_t* sample = rows.at[slot.plane] + 2 * static_cast<size_t>(slot.column);
            sample[0] = static_cast<uint8_t>(value);
            sample[1] = static_cast<uint8_t>(value >> 8);
        }
    }
}

// -X: lays the unknown bits of the beat's components into the mask, counting each sample
// the first time it turns unknown.
static void unpackUnknownBits(FrameWriter& writer, const StreamPlan& plan, const uint8_t* unknown, int32_t pixels,
                              uint32_t mask, const PlaneRows& rows)
{
    const int32_t sampleBytes = writer.geometry->sampleBytes;
    for (int32_t k = 0; k < plan.count && plan.slots[k].pixel < pixels; ++k) {
        const StreamSlot& slot = plan.slots[k];
        const uint32_t bits = componentAt(unknown, slot.bit, mask);
        if (bits == 0) {
            continue;
        }
        uint8_t* sample = rows.at[slot.plane] + static_cast<size_t>(sampleBytes) * static_cast<size_t>(slot.column);
        const auto offset = static_cast<int32_t>(sample - writer.mask);
        if (sample[0] == 0 && (sampleBytes == 1 || sample[1] == 0)) {
            ++writer.frameUnknownSamples;
        }
        if (!writer.frameHasUnknowns) {
            writer.frameHasUnknowns = true;
            writer.frameFirstUnknownRow = writer.stream->rowIndex;
            writer.frameFirstUnknownOffset = offset;
        }
        sample[0] = static_cast<uint8_t>(sample[0] | bits);
        if (sampleBytes == 2) {
            sample[1] = static_cast<uint8_t>(sample[1] | bits >> 8);
        }
        flagMaskChunk(writer, offset);
        flagMaskChunk(writer, offset + sampleBytes - 1);
    }
}

// Whether any bit of the beat from `fromBit` on is set.
static bool paddingSet(const uint8_t* beat, int32_t busBytes, int32_t fromBit)
{
    const int32_t byte = fromBit / 8;
    if (byte >= busBytes) {
        return false;
    }
    if ((beat[byte] >> (fromBit % 8)) != 0) {
        return true;
    }
    return std::any_of(beat + byte + 1, beat + busBytes, [](uint8_t b) { return b != 0; });
}

// One line on standard error for each of the first breaks of the stream; the rest are
// counted and summed up at the end.
static void reportStreamError(StreamState& stream, const std::string& text)
{
    if (++stream.errors <= maxStreamErrorsShown) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", text.c_str());
    }
}

static std::string frameAndLine(const FrameWriter& writer)
{
    return "frame " + std::to_string(writer.framesWritten) + " line " + std::to_string(writer.stream->line);
}

// Forgets the frame being filled (its samples and its unknown bits) and starts it again.
static void restartStreamFrame(FrameWriter& writer)
{
    std::memset(writer.frame, 0, static_cast<size_t>(writer.geometry->frameSize));
    if (writer.mask != nullptr) {
        for (int32_t index = 0; index < writer.dirtyMaskChunkCount; ++index) {
            const auto [begin, end] = dirtyChunkBytes(writer, index);
            std::memset(writer.mask + begin, 0, static_cast<size_t>(end - begin));
            writer.maskChunkDirty[writer.dirtyMaskChunks[index]] = 0;
        }
        writer.dirtyMaskChunkCount = 0;
    }
    writer.frameUnknownSamples = 0;
    writer.frameHasUnknowns = false;
    StreamState& stream = *writer.stream;
    stream.line = 0;
    stream.beat = 0;
    stream.beatsInFrame = 0;
}

// The line's end: the next beat starts the next line, or after the last line the next frame.
static void endStreamLine(FrameWriter& writer)
{
    StreamState& stream = *writer.stream;
    stream.beat = 0;
    if (++stream.line == writer.geometry->height) {
        writeFrame(writer);
        // Every sample of the next frame is written again, unless -K may cut a line short or
        // an odd width leaves the last V of each line unwritten: then it starts from zero.
        const TraceGeometry& geometry = *writer.geometry;
        if (stream.sideBand || (geometry.width % 2 != 0 && geometry.chromaWidth != geometry.width)) {
            std::memset(writer.frame, 0, static_cast<size_t>(geometry.frameSize));
        }
        stream.line = 0;
        stream.beatsInFrame = 0;
    }
}

// -K: whether the beat may go into the frame, by its TUSER; reports a frame that does not
// start with one, and one that another start interrupts (the interrupted frame is dropped).
static bool admitBeat(FrameWriter& writer, bool startOfFrame)
{
    StreamState& stream = *writer.stream;
    const bool atFrameStart = stream.line == 0 && stream.beat == 0;
    if (atFrameStart && !startOfFrame) {
        if (!stream.startMissing) {
            reportStreamError(stream, "frame " + std::to_string(writer.framesWritten) +
                                          ": no start of frame on its first beat");
        }
        stream.startMissing = true;
        return false;
    }
    stream.startMissing = false;
    if (startOfFrame && !atFrameStart) {
        reportStreamError(stream, frameAndLine(writer) + ": start of frame after " +
                                      std::to_string(int64_t{stream.beat} * stream.layout->pixelsPerBeat) +
                                      " pixels; frame " + std::to_string(writer.framesWritten) + " dropped");
        restartStreamFrame(writer);
    }
    return true;
}

// -K: the line ends at TLAST; one that comes early, or not on the line's last beat, is reported.
static bool lineEndsAt(FrameWriter& writer, bool lastBeat, bool endOfLine)
{
    StreamState& stream = *writer.stream;
    const int32_t width = writer.geometry->width;
    if (!stream.sideBand || lastBeat == endOfLine) {
        return lastBeat;
    }
    if (endOfLine) {
        reportStreamError(stream, frameAndLine(writer) + ": end of line after " +
                                      std::to_string(int64_t{stream.beat + 1} * stream.layout->pixelsPerBeat) +
                                      " pixels, expected " + std::to_string(width));
    } else {
        reportStreamError(stream, frameAndLine(writer) + ": no end of line after " + std::to_string(width) + " pixels");
    }
    return true;
}

// One beat, its bytes in bus order with beatCapacity readable bytes at `beat`, and its
// unknown bits (or null).
static void takeBeat(FrameWriter& writer, const uint8_t* beat, const uint8_t* unknown, bool startOfFrame,
                     bool endOfLine)
{
    StreamState& stream = *writer.stream;
    const StreamLayout& layout = *stream.layout;
    const TraceGeometry& geometry = *writer.geometry;
    if (stream.sideBand && !admitBeat(writer, startOfFrame)) {
        return;
    }
    const int32_t firstPixel = stream.beat * layout.pixelsPerBeat;
    const int32_t pixels = std::min(layout.pixelsPerBeat, geometry.width - firstPixel);
    const StreamPlan& plan = stream.plans[firstPixel % 2][stream.line % 2];
    const uint32_t mask = (uint32_t{1} << layout.bits) - 1;
    const PlaneRows rows = planeRowsOf(geometry, writer.frame, stream.line, firstPixel);
    unpackBeat(plan, beat, pixels, mask, geometry.sampleBytes, rows);
    if (unknown != nullptr && writer.mask != nullptr) {
        unpackUnknownBits(writer, plan, unknown, pixels, mask,
                          planeRowsOf(geometry, writer.mask, stream.line, firstPixel));
    }
    if (!layout.byteAligned && paddingSet(beat, geometry.busBytes, pixels * layout.slotBits)) {
        reportStreamError(stream, frameAndLine(writer) + ": padding bits set in beat " + std::to_string(stream.beat));
    }
    ++stream.beatsInFrame;
    if (lineEndsAt(writer, stream.beat == stream.beatsPerLine - 1, endOfLine)) {
        endStreamLine(writer);
    } else {
        ++stream.beat;
    }
}

// Beats inside a line, each with all its pixels, that one plan lays out: the plane pointers
// advance by a beat's columns from one to the next.
template <int32_t sampleBytes>
static void unpackBeatRun(const StreamPlan& plan, const uint8_t* beats, int32_t busBytes, int64_t count, uint32_t mask,
                          PlaneRows rows, const int32_t step[3])
{
    for (int64_t b = 0; b < count; ++b, beats += busBytes) {
        for (int32_t k = 0; k < plan.count; ++k) {
            const StreamSlot& slot = plan.slots[k];
            const uint32_t value = componentAt(beats, slot.bit, mask);
            uint8_t* sample = rows.at[slot.plane] + static_cast<size_t>(sampleBytes) * static_cast<size_t>(slot.column);
            sample[0] = static_cast<uint8_t>(value);
            if constexpr (sampleBytes == 2) {
                sample[1] = static_cast<uint8_t>(value >> 8);
            }
        }
        for (int plane = 0; plane < 3; ++plane) {
            rows.at[plane] += static_cast<size_t>(sampleBytes) * static_cast<size_t>(step[plane]);
        }
    }
}

// A beat of at most 8 bytes as one little-endian number; `reversed` (-E) when its bytes
// stand most significant first: 8 bytes are read (the buffers have slack behind their last
// row), swapped, and the beat's own bytes kept, as reverseRowBytes would put them.
static uint64_t narrowBeatWord(const uint8_t* beat, int32_t busBytes, bool reversed)
{
    const uint64_t word = littleEndianWordAt(beat);
    return reversed ? __builtin_bswap64(word) >> (64 - 8 * busBytes) : word;
}

// The same for beats of at most 8 bytes and a number of slots known when compiled: one load a
// beat, each slot's shift and place held in registers. yuv422:10:2 on a 40-bit bus, say, is
// the word V1 Y1 U0 Y0 from bit 39 down, its slots shifts 0, 10, 20 and 30.
template <int32_t sampleBytes, int32_t slotCount, bool reversed>
static void unpackNarrowBeatRun(const StreamPlan& plan, const uint8_t* beats, int32_t busBytes, int64_t count,
                                uint32_t mask, PlaneRows rows, const int32_t step[3])
{
    uint32_t shifts[slotCount];
    uint8_t* places[slotCount];
    size_t strides[slotCount];
    for (int32_t k = 0; k < slotCount; ++k) {
        const StreamSlot& slot = plan.slots[k];
        shifts[k] = static_cast<uint32_t>(slot.bit);
        places[k] = rows.at[slot.plane] + static_cast<size_t>(sampleBytes) * static_cast<size_t>(slot.column);
        strides[k] = static_cast<size_t>(sampleBytes) * static_cast<size_t>(step[slot.plane]);
    }
    for (int64_t b = 0; b < count; ++b, beats += busBytes) {
        const uint64_t word = narrowBeatWord(beats, busBytes, reversed);
        // Unrolled, so that each slot's place stays in a register.
#pragma GCC unroll 8
        for (int32_t k = 0; k < slotCount; ++k) {
            const auto value = static_cast<uint32_t>(word >> shifts[k]) & mask;
            if constexpr (sampleBytes == 2) {
                // Two bytes, low first, as the frames hold them; one store on a little-endian
                // processor.
                const uint8_t sample[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
                std::memcpy(places[k], sample, sizeof sample);
            } else {
                places[k][0] = static_cast<uint8_t>(value);
            }
            places[k] += strides[k];
        }
    }
}

template <int32_t sampleBytes, int32_t slotCount>
static void unpackNarrowBeatRun(const StreamPlan& plan, const uint8_t* beats, int32_t busBytes, int64_t count,
                                uint32_t mask, PlaneRows rows, const int32_t step[3], bool reversed)
{
    if (reversed) {
        unpackNarrowBeatRun<sampleBytes, slotCount, true>(plan, beats, busBytes, count, mask, rows, step);
    } else {
        unpackNarrowBeatRun<sampleBytes, slotCount, false>(plan, beats, busBytes, count, mask, rows, step);
    }
}

// Narrow beats of 2-byte samples whose slots fill each plane's next columns side by side:
// a beat's samples of a plane are gathered into one number and stored at once. yuv422:10:2,
// say, stores Y0 and Y1 as one 4-byte number, U0 and V0 as one 2-byte number each.
template <int32_t lumaCount, int32_t chromaCount>
static void unpackGatheredBeatRun(const uint32_t shifts[3][4], const uint8_t* beats, int32_t busBytes, int64_t count,
                                  uint32_t mask, PlaneRows rows, const int32_t step[3], bool reversed)
{
    const auto gather = [&](uint64_t word, int plane, int32_t samples) {
        uint64_t gathered = 0;
        for (int32_t i = 0; i < samples; ++i) {
            gathered |= uint64_t{static_cast<uint32_t>(word >> shifts[plane][i]) & mask} << (16 * i);
        }
        return gathered;
    };
    for (int64_t b = 0; b < count; ++b, beats += busBytes) {
        const uint64_t word = narrowBeatWord(beats, busBytes, reversed);
        const uint64_t luma = gather(word, 0, lumaCount);
        std::memcpy(rows.at[0], &luma, sizeof(uint16_t) * lumaCount);
        rows.at[0] += 2 * static_cast<size_t>(step[0]);
        if constexpr (chromaCount > 0) {
            const uint64_t u = gather(word, 1, chromaCount);
            const uint64_t v = gather(word, 2, chromaCount);
            std::memcpy(rows.at[1], &u, sizeof(uint16_t) * chromaCount);
            std::memcpy(rows.at[2], &v, sizeof(uint16_t) * chromaCount);
            rows.at[1] += 2 * static_cast<size_t>(step[1]);
            rows.at[2] += 2 * static_cast<size_t>(step[2]);
        }
    }
}

// Unpacks a run of narrow beats of 2-byte samples by gathered stores where the plan allows
// (each plane's slots its columns 0, 1, ..., the same count of U and V, and a processor that
// stores numbers little-endian, as the frames hold samples). Returns false, unpacking
// nothing, where it does not.
static bool unpackGathered(const StreamPlan& plan, const uint8_t* beats, int32_t busBytes, int64_t count, uint32_t mask,
                           PlaneRows rows, const int32_t step[3], bool reversed)
{
    if (__BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__) {
        return false;
    }
    uint32_t shifts[3][4] = {};
    int32_t samples[3] = {};
    for (int32_t k = 0; k < plan.count; ++k) {
        const StreamSlot& slot = plan.slots[k];
        if (slot.column != samples[slot.plane] || samples[slot.plane] == 4) {
            return false;
        }
        shifts[slot.plane][samples[slot.plane]++] = static_cast<uint32_t>(slot.bit);
    }
    if (samples[1] != samples[2]) {
        return false;
    }
    switch (samples[0] * 10 + samples[1]) {
    case 10: unpackGatheredBeatRun<1, 0>(shifts, beats, busBytes, count, mask, rows, step, reversed); return true;
    case 20: unpackGatheredBeatRun<2, 0>(shifts, beats, busBytes, count, mask, rows, step, reversed); return true;
    case 40: unpackGatheredBeatRun<4, 0>(shifts, beats, busBytes, count, mask, rows, step, reversed); return true;
    case 11: unpackGatheredBeatRun<1, 1>(shifts, beats, busBytes, count, mask, rows, step, reversed); return true;
    case 21: unpackGatheredBeatRun<2, 1>(shifts, beats, busBytes, count, mask, rows, step, reversed); return true;
    case 22: unpackGatheredBeatRun<2, 2>(shifts, beats, busBytes, count, mask, rows, step, reversed); return true;
    default: return false;
    }
}

// Picks the unpacker of a run: a narrow one where the beat fits a 64-bit word (every slot
// count a beat of at most 64 bits can hold has one), the plan's loop elsewhere. Only narrow
// beats may come `reversed`.
template <int32_t sampleBytes>
static void unpackAnyBeatRun(const StreamPlan& plan, const uint8_t* beats, int32_t busBytes, int64_t count,
                             uint32_t mask, PlaneRows rows, const int32_t step[3], bool reversed)
{
    if (busBytes <= 8) {
        switch (plan.count) {
        case 1: unpackNarrowBeatRun<sampleBytes, 1>(plan, beats, busBytes, count, mask, rows, step, reversed); return;
        case 2: unpackNarrowBeatRun<sampleBytes, 2>(plan, beats, busBytes, count, mask, rows, step, reversed); return;
        case 3: unpackNarrowBeatRun<sampleBytes, 3>(plan, beats, busBytes, count, mask, rows, step, reversed); return;
        case 4: unpackNarrowBeatRun<sampleBytes, 4>(plan, beats, busBytes, count, mask, rows, step, reversed); return;
        case 6: unpackNarrowBeatRun<sampleBytes, 6>(plan, beats, busBytes, count, mask, rows, step, reversed); return;
        case 8: unpackNarrowBeatRun<sampleBytes, 8>(plan, beats, busBytes, count, mask, rows, step, reversed); return;
        default: break;
        }
    }
    unpackBeatRun<sampleBytes>(plan, beats, busBytes, count, mask, rows, step);
}

// 8-bit components of beats of 1, 2, 4 or 8 bytes, 16 bytes of beats at a time: a byte
// shuffle a plane gathers that plane's samples of the 16 / busBytes beats side by side, and
// one 16-byte store puts them in place. A store reaches past the samples it holds, into
// samples of this run the next store writes, so the last beats, whose stores would reach past
// the run, are left to the caller. Returns the beats unpacked; `rows` follows them.
// yuv422:8:4 on a 64-bit bus, say, is the bytes Y0 U0 Y1 V0 Y2 U1 Y3 V1 a beat: luma gathers
// bytes 0 2 4 6 8 10 12 14 of two beats, U bytes 1 5 9 13, V bytes 3 7 11 15.
#ifdef TRACEFRAMES_X86
__attribute__((target("ssse3"))) static int64_t unpackByteBeatsWithSsse3(const StreamPlan& plan, const uint8_t* beats,
                                                                         int32_t busBytes, int64_t count,
                                                                         PlaneRows& rows, const int32_t step[3],
                                                                         bool reversed)
{
    const int32_t beatsPerBlock = 16 / busBytes;
    alignas(16) int8_t order[3][16];
    std::memset(order, -1, sizeof order); // -1: a byte the shuffle clears
    bool used[3] = {};
    int32_t narrowestStep = 16;
    for (int32_t k = 0; k < plan.count; ++k) {
        const StreamSlot& slot = plan.slots[k];
        const int32_t byte = reversed ? busBytes - 1 - slot.bit / 8 : slot.bit / 8;
        for (int32_t j = 0; j < beatsPerBlock; ++j) {
            order[slot.plane][j * step[slot.plane] + slot.column] = static_cast<int8_t>(j * busBytes + byte);
        }
        used[slot.plane] = true;
        narrowestStep = std::min(narrowestStep, step[slot.plane]);
    }
    // A plane the beats do not reach (chroma on the odd lines of 4:2:0) gets its shuffle's
    // stores too, into `spare`, so that the loop has no branch.
    alignas(16) uint8_t spare[16] = {};
    uint8_t* at[3];
    size_t advance[3];
    __m128i shuffles[3];
    for (int plane = 0; plane < 3; ++plane) {
        shuffles[plane] = _mm_load_si128(reinterpret_cast<const __m128i*>(order[plane]));
        at[plane] = used[plane] ? rows.at[plane] : spare;
        advance[plane] = used[plane] ? static_cast<size_t>(beatsPerBlock) * static_cast<size_t>(step[plane]) : 0;
    }
    int64_t done = 0;
    for (; (count - done) * narrowestStep >= 16; done += beatsPerBlock, beats += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(beats));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at[0]), _mm_shuffle_epi8(block, shuffles[0]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at[1]), _mm_shuffle_epi8(block, shuffles[1]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at[2]), _mm_shuffle_epi8(block, shuffles[2]));
        at[0] += advance[0];
        at[1] += advance[1];
        at[2] += advance[2];
    }
    for (int plane = 0; plane < 3; ++plane) {
        rows.at[plane] = used[plane] ? at[plane] : rows.at[plane];
    }
    return done;
}
#endif

// Unpacks a run of beats with the processor's fastest unpacker: 8-bit beats of 1 to 8 bytes
// by whole shuffles first where the row kernel says the processor has them (AVX2 and
// AVX-512 processors all do), the rest one beat at a time.
static void unpackBeatRunWith(RowKernel kernel, const StreamPlan& plan, const uint8_t* beats, int32_t busBytes,
                              int64_t count, uint32_t mask, int32_t sampleBytes, PlaneRows rows, const int32_t step[3],
                              bool reversed)
{
    if (sampleBytes == 2) {
        if (busBytes > 8 || !unpackGathered(plan, beats, busBytes, count, mask, rows, step, reversed)) {
            unpackAnyBeatRun<2>(plan, beats, busBytes, count, mask, rows, step, reversed);
        }
        return;
    }
#ifdef TRACEFRAMES_X86
    const bool shuffles = kernel == RowKernel::avx2 || kernel == RowKernel::avx512;
    if (shuffles && (busBytes == 1 || busBytes == 2 || busBytes == 4 || busBytes == 8)) {
        const int64_t done = unpackByteBeatsWithSsse3(plan, beats, busBytes, count, rows, step, reversed);
        beats += done * busBytes;
        count -= done;
    }
#endif
    static_cast<void>(kernel);
    unpackAnyBeatRun<1>(plan, beats, busBytes, count, mask, rows, step, reversed);
}

// How many of `rows` beats at the stream's place can go through unpackBeatRun: those with
// all their pixels up to the line's end, when every beat of the line starts at an even pixel
// or the chroma is not halved; 0 when -K checks each beat.
static int64_t beatRunLength(const FrameWriter& writer, int64_t rows)
{
    const StreamState& stream = *writer.stream;
    const int32_t ppc = stream.layout->pixelsPerBeat;
    const bool samePlan =
        ppc % 2 == 0 || writer.geometry->chromaWidth == writer.geometry->width || writer.geometry->sampling == 400;
    if (stream.sideBand || !samePlan) {
        return 0;
    }
    return std::min(rows, int64_t{writer.geometry->width / ppc - stream.beat});
}

// Takes `count` beats with all their pixels, as takeBeat would one at a time; `reversed`
// (-E) beats are narrow ones whose bytes still stand most significant first.
static void takeBeatRun(FrameWriter& writer, RowKernel kernel, const uint8_t* beats, int64_t count, bool reversed)
{
    StreamState& stream = *writer.stream;
    const StreamLayout& layout = *stream.layout;
    const TraceGeometry& geometry = *writer.geometry;
    const int32_t ppc = layout.pixelsPerBeat;
    const int32_t chromaStep = geometry.chromaWidth == geometry.width ? ppc : ppc / 2;
    const int32_t step[3] = {ppc, chromaStep, chromaStep};
    const StreamPlan& plan = stream.plans[0][stream.line % 2];
    const uint32_t mask = (uint32_t{1} << layout.bits) - 1;
    const PlaneRows rows = planeRowsOf(geometry, writer.frame, stream.line, stream.beat * ppc);
    unpackBeatRunWith(kernel, plan, beats, geometry.busBytes, count, mask, geometry.sampleBytes, rows, step, reversed);
    if (!layout.byteAligned && ppc * layout.slotBits < geometry.busBytes * 8) {
        for (int64_t b = 0; b < count; ++b) {
            const uint8_t* beat = beats + b * geometry.busBytes;
            // A narrow beat's word holds the next beat's bytes above its own: shifted out.
            const int32_t above = 64 - 8 * geometry.busBytes;
            const bool padded =
                geometry.busBytes <= 8
                    ? narrowBeatWord(beat, geometry.busBytes, reversed) << above >> (above + ppc * layout.slotBits) != 0
                    : paddingSet(beat, geometry.busBytes, ppc * layout.slotBits);
            if (padded) {
                reportStreamError(stream, frameAndLine(writer) + ": padding bits set in beat " +
                                              std::to_string(stream.beat + b));
            }
        }
    }
    stream.beat += static_cast<int32_t>(count);
    stream.beatsInFrame += count;
    if (stream.beat == stream.beatsPerLine) {
        endStreamLine(writer);
    }
}

// A beat read from one row, with its unknown bits when it has any.
static void takeRowBeat(FrameWriter& writer, const RowValues& row, bool startOfFrame, bool endOfLine)
{
    uint8_t beat[beatCapacity] = {};
    uint8_t unknown[beatCapacity] = {};
    const auto busBytes = static_cast<size_t>(writer.geometry->busBytes);
    std::copy(row.bytes, row.bytes + busBytes, beat);
    std::copy(row.unknown, row.unknown + busBytes, unknown);
    takeBeat(writer, beat, row.anyUnknown ? unknown : nullptr, startOfFrame, endOfLine);
}

// Where the side band of a -K row starts: the row ends in two fields of one character each,
// TUSER and TLAST, after white space. Returns null when it does not.
static const char* findSideBand(const char* text, const char* end)
{
    const auto blank = [](char c) { return charClasses.of[static_cast<unsigned char>(c)] == whiteSpaceClass; };
    // Read backwards: each field is one character with white space before it.
    const std::reverse_iterator<const char*> first(end);
    const std::reverse_iterator<const char*> last(text);
    auto at = first;
    for (int field = 0; field < 2; ++field) {
        at = std::find_if_not(at, last, blank);
        if (last - at < 2 || !blank(at[1])) {
            return nullptr;
        }
        ++at;
    }
    return at.base();
}

// A side-band digit: 0 or 1; x or z, with -X, is read as 0 and counted. Returns -1 for any
// other character.
static int sideBandDigit(char c, bool readUnknowns, StreamState& stream)
{
    if (c == '0' || c == '1') {
        return c - '0';
    }
    if (readUnknowns && charClasses.of[static_cast<unsigned char>(c)] == unknownDigitClass) {
        ++stream.sideBandUnknowns;
        return 0;
    }
    return -1;
}

static void placeBeat(const RowReader& reader, FrameWriter& writer, RowValues& row, int startOfFrame, int endOfLine);

// A row with x or z digits, which only -X reads: malformed, and said why.
[[noreturn]] static void failUnknownRow(int64_t rowIndex)
{
    std::fflush(stdout);
    std::fprintf(stderr, "%s%lld\nrow %lld holds x or z digits (unknown values): -X reads them\n", malformedRow.message,
                 static_cast<long long>(rowIndex), static_cast<long long>(rowIndex));
    std::exit(malformedRow.status);
}

// A row read whole, into the frame; x and z digits are refused unless -X was given.
static void placeConvertedRow(const RowReader& reader, FrameWriter& writer, RowValues& row)
{
    if (writer.stream != nullptr) {
        placeBeat(reader, writer, row, 0, 0);
        return;
    }
    if (row.anyUnknown && !reader.readUnknowns) {
        failUnknownRow(reader.rowIndex);
    }
    placeRow(writer, row, reader.rowIndex);
}

// A beat read whole, into the frame; with -K its TUSER and TLAST are the row's last two
// fields, which `end` is moved before.
static void placeBeat(const RowReader& reader, FrameWriter& writer, RowValues& row, int startOfFrame, int endOfLine)
{
    if (row.anyUnknown && !reader.readUnknowns) {
        failUnknownRow(reader.rowIndex);
    }
    if (writer.reverseRows) {
        reverseRowBytes(row.bytes, 1, writer.geometry->busBytes);
        reverseRowBytes(row.unknown, 1, writer.geometry->busBytes);
    }
    writer.stream->rowIndex = reader.rowIndex;
    takeRowBeat(writer, row, startOfFrame != 0, endOfLine != 0);
}

// -K: reads the side band at the row's end and cuts it off. An x or z there is refused
// unless -X was given.
static void readSideBand(const RowReader& reader, StreamState& stream, const char* text, const char*& end,
                         int& startOfFrame, int& endOfLine)
{
    const char* band = findSideBand(text, end);
    if (band == nullptr) {
        fail(malformedRow, std::to_string(reader.rowIndex));
    }
    const char* last = band + 1;
    while (charClasses.of[static_cast<unsigned char>(*last)] == whiteSpaceClass) {
        ++last;
    }
    const bool unknownDigit = charClasses.of[static_cast<unsigned char>(*band)] == unknownDigitClass ||
                              charClasses.of[static_cast<unsigned char>(*last)] == unknownDigitClass;
    if (unknownDigit && !reader.readUnknowns) {
        failUnknownRow(reader.rowIndex);
    }
    startOfFrame = sideBandDigit(*band, reader.readUnknowns, stream);
    endOfLine = sideBandDigit(*last, reader.readUnknowns, stream);
    if (startOfFrame < 0 || endOfLine < 0) {
        fail(malformedRow, std::to_string(reader.rowIndex));
    }
    end = band;
}

// One row through the exact conversion, into the frame.
static void convertOneRow(const RowReader& reader, FrameWriter& writer, const char* text, const char* end)
{
    RowValues row{};
    const int32_t busBytes = writer.geometry->busBytes;
    int startOfFrame = 0;
    int endOfLine = 0;
    if (writer.stream != nullptr && writer.stream->sideBand) {
        readSideBand(reader, *writer.stream, text, end, startOfFrame, endOfLine);
    }
    int count = writer.reverseRows ? convertWord(text, end, busBytes, row) : 0;
    if (count == 0) {
        count = convertNumbers(text, end, busBytes, row);
    }
    if (count != busBytes) {
        fail(malformedRow, std::to_string(reader.rowIndex));
    }
    if (writer.stream != nullptr) {
        placeBeat(reader, writer, row, startOfFrame, endOfLine);
        return;
    }
    placeConvertedRow(reader, writer, row);
}

// One line without its line feed; a comment is copied with one, also when the file's last
// line has none.
static void takeLine(RowReader& reader, FrameWriter& writer, const char* line, const char* end)
{
    ++reader.rowIndex;
    if (line < end && line[0] == '#') {
        writeStandardOutput(line, static_cast<size_t>(end - line));
        writeStandardOutput("\n", 1);
        return;
    }
    convertOneRow(reader, writer, line, end);
}

// A line longer than the input block: a comment is copied piece by piece, a row compacted
// piece by piece and converted at its end.
static void takeLongLine(RowReader& reader, FrameWriter& writer, InputBlock& in)
{
    ++reader.rowIndex;
    const bool isComment = in.data[in.begin] == '#';
    CompactRow row{};
    for (;;) {
        const char* piece = in.data + in.begin;
        const size_t length = in.end - in.begin;
        const char* lineFeed = static_cast<const char*>(std::memchr(piece, '\n', length));
        const char* pieceEnd = lineFeed != nullptr ? lineFeed : piece + length;
        if (isComment) {
            writeStandardOutput(piece, static_cast<size_t>(pieceEnd - piece));
        } else {
            compactRow(piece, pieceEnd, row);
        }
        if (lineFeed != nullptr) {
            in.begin = static_cast<size_t>(lineFeed + 1 - in.data);
            break;
        }
        in.begin = in.end;
        if (!refillInput(in)) {
            break;
        }
    }
    if (isComment) {
        writeStandardOutput("\n", 1);
    } else {
        convertOneRow(reader, writer, row.text, row.text + row.length);
    }
}

// A run of beats through the fast decoder, as many as the staging area holds, each taken
// into the frame in turn. Returns the number of characters taken.
static size_t decodeBeatRun(RowReader& reader, FrameWriter& writer, const char* text, size_t available)
{
    const int32_t busBytes = writer.geometry->busBytes;
    int64_t rows = 0;
    const size_t taken = decodeRows(reader.kernel, text, available, busBytes,
                                    static_cast<int64_t>(stagingSize) / busBytes, writer.staging, rows);
    // Narrow beats are swapped as they are unpacked, a pass over the staging area the less.
    const bool reverseWhileUnpacking = writer.reverseRows && busBytes <= 8;
    if (writer.reverseRows && !reverseWhileUnpacking) {
        reverseRowBytes(writer.staging, rows, busBytes);
    }
    for (int64_t r = 0; r < rows;) {
        uint8_t* beats = writer.staging + r * busBytes;
        const int64_t run = beatRunLength(writer, rows - r);
        if (run > 0) {
            takeBeatRun(writer, reader.kernel, beats, run, reverseWhileUnpacking);
            reader.rowIndex += run;
            r += run;
            continue;
        }
        if (reverseWhileUnpacking) {
            reverseRowBytes(beats, 1, busBytes);
        }
        writer.stream->rowIndex = ++reader.rowIndex;
        takeBeat(writer, beats, nullptr, false, false);
        ++r;
    }
    return taken;
}

// A run of rows through the fast decoder: as many rows at `text` as it takes and the current
// plane holds. Returns the number of characters taken.
static size_t decodeRowRun(RowReader& reader, FrameWriter& writer, const char* text, size_t available)
{
    if (writer.stream != nullptr) {
        return decodeBeatRun(reader, writer, text, available);
    }
    const TraceGeometry& geometry = *writer.geometry;
    const int32_t busBytes = geometry.busBytes;
    const int32_t regionEnd = writer.fillCount < geometry.lumaPlaneSize ? geometry.lumaPlaneSize : geometry.frameSize;
    int64_t maxRows = (regionEnd - writer.fillCount) / busBytes;
    const Destination to = nextDestination(writer, writer.frame);
    if (to.second != nullptr) {
        maxRows = std::min(maxRows, static_cast<int64_t>(stagingSize) / busBytes);
    }
    int64_t rows = 0;
    uint8_t* out = to.second != nullptr ? writer.staging : to.first;
    const size_t taken = decodeRows(reader.kernel, text, available, busBytes, maxRows, out, rows);
    const int32_t placed = static_cast<int32_t>(rows) * busBytes;
    if (writer.reverseRows) {
        reverseRowBytes(out, rows, busBytes);
    }
    if (to.second != nullptr) {
        splitChromaPairs(writer.staging, static_cast<size_t>(placed), writer.geometry->sampleBytes, to);
    }
    reader.rowIndex += rows;
    advanceFill(writer, placed);
    return taken;
}

// The fast decoder took nothing: the next line is not its. After a comment it tries again
// at once; in a run of other rows it tries after 1, 2, 4 ... up to 64 lines.
static void backOffFastDecoder(RowReader& reader)
{
    reader.fastMisses = std::min(reader.fastMisses + 1, 7);
    reader.linesBeforeFastTry = 1 << (reader.fastMisses - 1);
}

// Reads the whole input, converting rows into frames and writing every completed frame.
static void convertTrace(RowReader& reader, FrameWriter& writer, InputBlock& in)
{
    for (;;) {
        if (reader.fastDecoderUsable && reader.linesBeforeFastTry == 0) {
            const size_t taken = decodeRowRun(reader, writer, in.data + in.begin, in.end - in.begin);
            if (taken > 0) {
                in.begin += taken;
                reader.fastMisses = 0;
                continue;
            }
            backOffFastDecoder(reader);
        }
        const char* line = in.data + in.begin;
        const char* lineFeed = static_cast<const char*>(std::memchr(line, '\n', in.end - in.begin));
        if (lineFeed != nullptr) {
            takeLine(reader, writer, line, lineFeed);
            --reader.linesBeforeFastTry;
            in.begin = static_cast<size_t>(lineFeed + 1 - in.data);
        } else if (in.atEnd) {
            if (in.begin < in.end) {
                takeLine(reader, writer, line, in.data + in.end);
            }
            return;
        } else if (in.begin == 0 && in.end == inputBlockSize) {
            takeLongLine(reader, writer, in);
        } else {
            refillInput(in);
        }
    }
}

// ---- Verilog memory files (-V) ----

// What a Verilog memory file holds: words of 1 to 2 x bus bytes digits, left-padded with
// zeros, several to a line or one; "_" inside numbers; "//" and "/* */" comments; "@ADDR"
// for the word address of the next word.
constexpr size_t maxShownAddress = 40;

enum class VerilogToken { none, word, address };

// The reader's state between characters: a token or comment may go on in the next piece.
struct VerilogReader {
    bool atLineStart;
    bool copyingComment; // a line that is only a comment, copied to standard output
    bool inLineComment;
    bool inBlockComment;
    bool afterStar;  // in a block comment, just after a '*'
    bool afterSlash; // a '/' that must begin a comment
    VerilogToken token;
    uint8_t digits[2 * maxBusBytes]; // digit classes of the word so far, underscores left out
    int32_t digitCount;
    std::string address; // the address as written, up to maxShownAddress characters
    int64_t nextAddress; // the word address of the next word
};

// A line that holds only a comment ("#" first, or "//" after white space) is copied to
// standard output.
static bool isCommentLine(const char* line, const char* end)
{
    if (line < end && line[0] == '#') {
        return true;
    }
    const char* text = std::find_if(line, end, [](char c) {
        return c == '\n' || charClasses.of[static_cast<unsigned char>(c)] != whiteSpaceClass;
    });
    return end - text >= 2 && text[0] == '/' && text[1] == '/';
}

// A word, left-padded with zeros, most significant byte first.
static void takeVerilogWord(VerilogReader& verilog, const RowReader& reader, FrameWriter& writer)
{
    const int32_t busBytes = writer.geometry->busBytes;
    if (verilog.digitCount > 2 * busBytes) {
        fail(malformedRow, std::to_string(reader.rowIndex));
    }
    RowValues row{};
    int32_t digit = 2 * busBytes - 1;
    for (int32_t k = verilog.digitCount; k > 0; --k, --digit) {
        const uint8_t charClass = verilog.digits[k - 1];
        const int shift = digit % 2 == 0 ? 4 : 0;
        row.bytes[digit / 2] = static_cast<uint8_t>(row.bytes[digit / 2] | (charClass <= 15 ? charClass : 0) << shift);
        row.unknown[digit / 2] = static_cast<uint8_t>(row.unknown[digit / 2] | (charClass <= 15 ? 0 : 15) << shift);
        row.anyUnknown = row.anyUnknown || charClass > 15;
    }
    placeConvertedRow(reader, writer, row);
    ++verilog.nextAddress;
}

// "@ADDR": the next word's own address, or @0 where a frame starts (dumps of one frame
// each, concatenated). Any other would misplace every sample after it.
static void takeVerilogAddress(VerilogReader& verilog, const RowReader& reader, const FrameWriter& writer)
{
    int64_t address = 0;
    int32_t digits = 0;
    bool valid = verilog.address.size() < maxShownAddress;
    for (const char c : verilog.address) {
        const uint8_t charClass = charClasses.of[static_cast<unsigned char>(c)];
        if (c == '_' && digits > 0) {
            continue;
        }
        valid = valid && charClass <= 15 && address < (int64_t{1} << 56);
        address = valid ? address << 4 | charClass : address;
        ++digits;
    }
    valid = valid && digits > 0;
    if (valid && address == 0 && writer.fillCount == 0) {
        verilog.nextAddress = 0;
        return;
    }
    if (!valid || address != verilog.nextAddress) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s%lld\nrow %lld: address @%s, expected @%llx\n", malformedRow.message,
                     static_cast<long long>(reader.rowIndex), static_cast<long long>(reader.rowIndex),
                     verilog.address.c_str(), static_cast<unsigned long long>(verilog.nextAddress));
        std::exit(malformedRow.status);
    }
}

static void endVerilogToken(VerilogReader& verilog, const RowReader& reader, FrameWriter& writer)
{
    if (verilog.token == VerilogToken::word) {
        takeVerilogWord(verilog, reader, writer);
    } else if (verilog.token == VerilogToken::address) {
        takeVerilogAddress(verilog, reader, writer);
    }
    verilog.token = VerilogToken::none;
    verilog.digitCount = 0;
    verilog.address.clear();
}

// Inside a comment: only its end, and line feeds, matter.
static void takeCommentCharacter(VerilogReader& verilog, char c)
{
    if (verilog.inLineComment) {
        verilog.inLineComment = c != '\n';
    } else {
        verilog.inBlockComment = !(verilog.afterStar && c == '/');
        verilog.afterStar = c == '*';
    }
    verilog.atLineStart = c == '\n';
}

// A character of a word or an address.
static void takeTokenCharacter(VerilogReader& verilog, const RowReader& reader, char c)
{
    const uint8_t charClass = charClasses.of[static_cast<unsigned char>(c)];
    if (verilog.token == VerilogToken::address) {
        if (verilog.address.size() < maxShownAddress) {
            verilog.address += c;
        }
        return;
    }
    if (c == '_' && verilog.token == VerilogToken::word) {
        return;
    }
    if (!isDigitClass(charClass)) {
        fail(malformedRow, std::to_string(reader.rowIndex));
    }
    verilog.token = VerilogToken::word;
    if (verilog.digitCount < 2 * maxBusBytes) {
        verilog.digits[verilog.digitCount] = charClass;
    }
    verilog.digitCount = std::min(verilog.digitCount + 1, 2 * maxBusBytes + 1);
}

static void takeVerilogCharacter(VerilogReader& verilog, const RowReader& reader, FrameWriter& writer, char c)
{
    if (verilog.inLineComment || verilog.inBlockComment) {
        takeCommentCharacter(verilog, c);
        return;
    }
    if (verilog.afterSlash) {
        verilog.afterSlash = false;
        verilog.inLineComment = c == '/';
        verilog.inBlockComment = c == '*';
        if (c != '/' && c != '*') {
            fail(malformedRow, std::to_string(reader.rowIndex));
        }
        return;
    }
    const uint8_t charClass = charClasses.of[static_cast<unsigned char>(c)];
    if (charClass == whiteSpaceClass || c == '/') {
        endVerilogToken(verilog, reader, writer);
        verilog.afterSlash = c == '/';
        verilog.atLineStart = c == '\n';
    } else if (c == '@') {
        if (verilog.token != VerilogToken::none) {
            fail(malformedRow, std::to_string(reader.rowIndex));
        }
        verilog.token = VerilogToken::address;
    } else {
        takeTokenCharacter(verilog, reader, c);
    }
}

// Reads the text [p, end), which ends with a line feed unless the line outgrew the block
// or the input ended.
// A line that is one word and its line feed, as $writememh writes them, taken without the
// character-by-character reader. Returns where the next line starts, or null for any other
// line.
static const char* takeWordLine(VerilogReader& verilog, const RowReader& reader, FrameWriter& writer, const char* p,
                                const char* end)
{
    const int32_t maxDigits = 2 * writer.geometry->busBytes;
    int32_t count = 0;
    const char* q = p;
    for (; q < end && count < maxDigits && charClasses.of[static_cast<unsigned char>(*q)] <= 15; ++q) {
        verilog.digits[count++] = charClasses.of[static_cast<unsigned char>(*q)];
    }
    if (q == end || *q != '\n' || count == 0) {
        return nullptr;
    }
    verilog.digitCount = count;
    takeVerilogWord(verilog, reader, writer);
    verilog.digitCount = 0;
    verilog.atLineStart = true;
    return q + 1;
}

static void takeVerilogText(VerilogReader& verilog, RowReader& reader, FrameWriter& writer, const char* p,
                            const char* end)
{
    while (p < end) {
        if (verilog.atLineStart) {
            verilog.atLineStart = false;
            ++reader.rowIndex;
            verilog.copyingComment = !verilog.inBlockComment && isCommentLine(p, end);
            const char* next = verilog.copyingComment || verilog.inBlockComment
                                   ? nullptr
                                   : takeWordLine(verilog, reader, writer, p, end);
            if (next != nullptr) {
                p = next;
                continue;
            }
        }
        if (verilog.copyingComment) {
            const char* lineFeed = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
            const char* stop = lineFeed != nullptr ? lineFeed : end;
            writeStandardOutput(p, static_cast<size_t>(stop - p));
            if (lineFeed != nullptr) {
                writeStandardOutput("\n", 1);
                verilog.copyingComment = false;
                verilog.atLineStart = true;
            }
            p = lineFeed != nullptr ? lineFeed + 1 : end;
            continue;
        }
        takeVerilogCharacter(verilog, reader, writer, *p++);
    }
}

// Reads the whole input as a Verilog memory file, whole lines at a time where they fit the
// block, so that a line's start is seen with the line.
static void convertVerilogTrace(RowReader& reader, FrameWriter& writer, InputBlock& in)
{
    VerilogReader verilog{};
    verilog.atLineStart = true;
    for (;;) {
        const char* text = in.data + in.begin;
        const size_t length = in.end - in.begin;
        const void* lastLineFeed = memrchr(text, '\n', length);
        size_t taken =
            lastLineFeed != nullptr ? static_cast<size_t>(static_cast<const char*>(lastLineFeed) + 1 - text) : 0;
        if (in.atEnd || (in.begin == 0 && in.end == inputBlockSize)) {
            taken = length;
        }
        takeVerilogText(verilog, reader, writer, text, text + taken);
        in.begin += taken;
        if (in.atEnd) {
            break;
        }
        refillInput(in);
    }
    if (verilog.copyingComment) {
        writeStandardOutput("\n", 1);
    }
    if (verilog.afterSlash) {
        fail(malformedRow, std::to_string(reader.rowIndex));
    }
    endVerilogToken(verilog, reader, writer);
}

// The report line of -X: how many samples of the frames written were unknown, and where
// the first was: "Y 36,5", or "U", "V", or without the split "UV", and its column and row.
static void reportUnknowns(const FrameWriter& writer)
{
    const UnknownTally& tally = writer.unknowns;
    if (!tally.found) {
        std::printf("unknown   = 0 samples\n");
        return;
    }
    const TraceGeometry& geometry = *writer.geometry;
    const int32_t chromaWidth = geometry.chromaWidth != 0  ? geometry.chromaWidth
                                : geometry.sampling == 440 ? geometry.width
                                                           : std::max(1, geometry.width / 2);
    int32_t offset = tally.firstOffset;
    const char* plane = "Y";
    int32_t planeWidth = geometry.width;
    if (offset >= geometry.lumaPlaneSize) {
        offset -= geometry.lumaPlaneSize;
        plane = writer.splitChroma ? "U" : "UV";
        planeWidth = writer.splitChroma ? chromaWidth : 2 * chromaWidth;
        if (writer.splitChroma && offset >= geometry.chromaPlaneSize) {
            offset -= geometry.chromaPlaneSize;
            plane = "V";
        }
    }
    const int32_t sample = offset / geometry.sampleBytes;
    std::printf("unknown   = %lld samples in %lld frames, first at row %lld: frame %lld, %s %d,%d\n",
                static_cast<long long>(tally.samples), static_cast<long long>(tally.frames),
                static_cast<long long>(tally.firstRow), static_cast<long long>(tally.firstFrame), plane,
                sample % planeWidth, sample / planeWidth);
}

// The side of the end report that only a stream has: the stream errors not shown, the frame
// left unfinished.
static void finishStream(const FrameWriter& writer)
{
    const StreamState& stream = *writer.stream;
    std::fflush(stdout);
    if (stream.errors > maxStreamErrorsShown) {
        std::fprintf(stderr, "and %lld more stream errors\n",
                     static_cast<long long>(stream.errors - maxStreamErrorsShown));
    }
    if (stream.beatsInFrame != 0) {
        std::fprintf(stderr, "read error, insufficient data (k=%lld)!\n",
                     static_cast<long long>(stream.beatsInFrame) * writer.geometry->busBytes);
    }
}

static StreamState makeStreamState(const RunSettings& settings, const TraceGeometry& geometry)
{
    StreamState stream{};
    stream.layout = &settings.layout;
    for (int oddStart = 0; oddStart < 2; ++oddStart) {
        for (int oddLine = 0; oddLine < 2; ++oddLine) {
            stream.plans[oddStart][oddLine] = makeStreamPlan(settings.layout, oddStart != 0, oddLine != 0);
        }
    }
    stream.sideBand = settings.sideBand;
    const int32_t ppc = settings.layout.pixelsPerBeat;
    stream.beatsPerLine = geometry.width / ppc + (geometry.width % ppc != 0 ? 1 : 0);
    return stream;
}

// What a run found that fails it once every frame is written.
struct RunFindings {
    bool unknowns;
    bool streamErrors;
};

// Converts the whole input and writes the end report.
static RunFindings assembleFrames(int inputFd, int outputFd, int maskFd, const TraceGeometry& geometry,
                                  const RunSettings& settings)
{
    // Both blocks carry the slack of the fast decoder; the staging area follows the text.
    uint8_t* frame = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(geometry.frameSize) + bufferSlack, 1));
    char* inputText = static_cast<char*>(std::calloc(inputBlockSize + bufferSlack + stagingSize + bufferSlack, 1));
    uint8_t* mask = nullptr;
    uint8_t* maskChunkDirty = nullptr;
    int32_t* dirtyMaskChunks = nullptr;
    if (settings.maskGiven) {
        const auto chunks = static_cast<size_t>(maskChunkCount(geometry.frameSize));
        mask = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(geometry.frameSize), 1));
        maskChunkDirty = static_cast<uint8_t*>(std::calloc(chunks, 1));
        dirtyMaskChunks = static_cast<int32_t*>(std::calloc(chunks, sizeof(int32_t)));
    }
    if (frame == nullptr || inputText == nullptr ||
        (settings.maskGiven && (mask == nullptr || maskChunkDirty == nullptr || dirtyMaskChunks == nullptr))) {
        close(inputFd);
        close(outputFd);
        if (maskFd >= 0) {
            close(maskFd);
        }
        fail(allocationFailed);
    }
    RowReader reader{rowKernelOfThisRun(),
                     -1,
                     0,
                     0,
                     (hasFastDecoder(geometry.busBytes) || (settings.stream && geometry.busBytes == 5)) &&
                         !settings.verilog && !settings.sideBand,
                     settings.maskGiven};
    StreamState stream = settings.stream ? makeStreamState(settings, geometry) : StreamState{};
    FrameWriter writer{};
    writer.maskFd = maskFd;
    writer.mask = mask;
    writer.maskChunkDirty = maskChunkDirty;
    writer.dirtyMaskChunks = dirtyMaskChunks;
    struct stat maskFile {};
    writer.maskSeeks = maskFd >= 0 && fstat(maskFd, &maskFile) == 0 && S_ISREG(maskFile.st_mode);
    writer.geometry = &geometry;
    writer.splitChroma = settings.splitChroma;
    writer.reverseRows = settings.mostSignificantFirst;
    writer.outputFd = outputFd;
    writer.frame = frame;
    writer.staging = reinterpret_cast<uint8_t*>(inputText + inputBlockSize + bufferSlack);
    writer.stream = settings.stream ? &stream : nullptr;
    InputBlock in{inputFd, inputText, 0, 0, false};
    if (settings.verilog) {
        convertVerilogTrace(reader, writer, in);
    } else {
        convertTrace(reader, writer, in);
    }
    if (settings.stream) {
        finishStream(writer);
    } else if (writer.fillCount != 0) {
        std::fflush(stdout);
        std::fprintf(stderr, "read error, insufficient data (k=%d)!\n", writer.fillCount);
    }
    if (settings.maskGiven) {
        reportUnknowns(writer);
    }
    if (stream.sideBandUnknowns != 0) {
        std::printf("side band = %lld unknown digits read as 0\n", static_cast<long long>(stream.sideBandUnknowns));
    }
    std::printf("Wrote %lld frames\n", static_cast<long long>(writer.framesWritten));
    std::free(dirtyMaskChunks);
    std::free(maskChunkDirty);
    std::free(mask);
    std::free(inputText);
    std::free(frame);
    return {writer.unknowns.found || stream.sideBandUnknowns != 0, stream.errors != 0};
}

// Careful tools end with an error when their report could not be written (a full disk, a
// closed standard output), rather than with success and a lost report.
static void finishStandardOutput()
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        fail(standardOutputNotWritten);
    }
}

int main(int argc, char** argv)
{
    openStandardDescriptors();
    // The frames are the run's main output and the report its side channel: a reader of
    // the report that goes away (EPIPE) or a file-size limit (EFBIG) makes a write fail,
    // which is reported, rather than killing the run half way through a frame.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    RunSettings settings = readArguments(argc, argv);
    if (!settings.outputGiven) {
        settings.outputPath = deriveOutputPath(settings.inputPath);
    }
    const int inputFd = openInput(settings.inputPath);
    refuseInputAsStandardOutput(inputFd);
    refuseInputAsOutput(inputFd, settings.outputPath);
    if (settings.maskGiven) {
        refuseMaskPath(inputFd, settings.outputPath, settings.maskPath);
    }
    const int outputFd = openOutput(settings.outputPath, inputFd);
    int maskFd = -1;
    if (settings.maskGiven) {
        refuseMaskAsOpenOutput(outputFd, settings.outputPath, settings.maskPath);
        maskFd = openMask(settings.maskPath, inputFd, outputFd);
    }
    std::printf("use input file '%s'\n", settings.inputPath.c_str());

    TraceGeometry geometry = settings.geometry;
    if (!settings.geometryGiven && !decodeGeometry(settings.inputPath, geometry.sampleBytes, geometry)) {
        fail(malformedName);
    }
    if (settings.stream && !settings.geometryGiven &&
        (!fitsStreamLayout(geometry, settings.layout) || !setStreamSizes(geometry))) {
        fail(malformedName);
    }
    reportGeometry(geometry, settings.depth);
    if (settings.stream) {
        reportStreamLayout(settings.layout);
    } else if (!settings.geometryGiven) {
        refuseMisalignedGeometry(geometry);
    }

    const RunFindings findings = assembleFrames(inputFd, outputFd, maskFd, geometry, settings);
    if (maskFd >= 0 && close(maskFd) != 0) {
        fail(maskNotWritten);
    }
    closeOutput(outputFd);
    close(inputFd);
    finishStandardOutput();
    if (findings.streamErrors && findings.unknowns) {
        std::fprintf(stderr, "%s\n", streamErrors.message);
    }
    if (findings.unknowns) {
        fail(unknownValues);
    }
    if (findings.streamErrors) {
        fail(streamErrors);
    }
    return 0;
}
