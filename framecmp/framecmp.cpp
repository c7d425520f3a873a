// framecmp: compares two raw YUV frame files and says where they differ: the frame, the plane,
// the first differing sample with its position and values, the largest difference and the
// PSNR of every plane. The exit status is that of cmp: 0 identical, 1 different, 2 trouble.
// Memory is two frames whatever the length of the files.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <csignal>

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef FRAMECMP_HAVE_PNG
#include <png.h>
#endif

#ifdef __SSE2__
#include <emmintrin.h>
#define FRAMECMP_SSE2 1
#endif

#ifndef YUVTOOLS_VERSION
#define YUVTOOLS_VERSION "unknown"
#endif

constexpr int statusIdentical = 0;
constexpr int statusDifferent = 1;
constexpr int statusTrouble = 2;

static const char usageText[] =
    "usage: framecmp [-qlh] [-s WIDTHxHEIGHT] [-f FORMAT] [-n COUNT] [-i PICTURE.png] EXPECTED ACTUAL\n"
    "  -s WxH     picture size (default: from the file names, as clip_w176_144_420...)\n"
    "  -f FORMAT  i420 nv12 422p nv16 440p gray yuyv yvyu uyvy vyuy\n"
    "             (default: from the sampling in the names, 420 i420, 422 422p, 440 440p, 400 gray)\n"
    "  -q         print nothing, exit status only\n"
    "  -l         list every differing sample: frame plane x y expected actual\n"
    "  -n COUNT   stop after COUNT differing frames\n"
    "  -i FILE    write a PNG of the first differing frame: expected, actual, where they differ\n"
    "  --help, --version\n"
    "exit status: 0 identical, 1 different, 2 trouble\n";

constexpr int32_t samplingValues[4] = {420, 422, 440, 400};

// Longest rows the row kernel takes at once: its 32-bit sum of squares cannot overflow.
constexpr size_t kernelSpan = 65536;

enum class Format { i420, nv12, yuv422p, nv16, yuv440p, gray, yuyv, yvyu, uyvy, vyuy };

struct FormatName {
    const char* name;
    Format format;
};

constexpr FormatName formatNames[] = {
    {"i420", Format::i420},    {"nv12", Format::nv12}, {"422p", Format::yuv422p}, {"nv16", Format::nv16},
    {"440p", Format::yuv440p}, {"gray", Format::gray}, {"yuyv", Format::yuyv},    {"yvyu", Format::yvyu},
    {"uyvy", Format::uyvy},    {"vyuy", Format::vyuy},
};

struct Settings {
    const char* expectedPath;
    const char* actualPath;
    const char* picturePath;
    int32_t width; // 0 until -s or a name gives it
    int32_t height;
    Format format;
    bool formatGiven;
    bool quiet;
    bool listSamples;
    int64_t stopAfter; // differing frames; 0 is no limit
};

// Width, height and sampling as a geometry marker in a file name gives them.
struct NameGeometry {
    bool found;
    int32_t width;
    int32_t height;
    int32_t sampling;
};

// Sample (x, y) of a plane is the byte at offset + y * rowStride + x * step of a frame.
struct Plane {
    char name;
    int32_t width;
    int32_t height;
    size_t offset;
    size_t rowStride;
    size_t step;
    // How many luma columns and rows one sample covers, 1 or 2: the picture needs them.
    int32_t coverX; // cppcheck-suppress unusedStructMember
    int32_t coverY; // cppcheck-suppress unusedStructMember
};

struct Layout {
    int32_t width;
    int32_t height;
    int planeCount;
    Plane planes[3];
    size_t frameSize;
};

struct Input {
    const char* path;
    int fd;
};

// What one plane of one frame pair shows.
struct PlaneTally {
    uint64_t differing;
    uint64_t sumOfSquares;
    int32_t largest;
    int32_t firstX;
    int32_t firstY;
    uint8_t firstExpected;
    uint8_t firstActual;
};

struct RowTally {
    uint32_t differing;
    uint32_t sumOfSquares;
    int32_t largest;
};

// Two frames and the gathered rows of a plane whose samples are not side by side.
struct Buffers {
    uint8_t* expected;
    uint8_t* actual;
    uint8_t* expectedRow;
    uint8_t* actualRow;
};

struct RunTally {
    int64_t framesCompared;
    int64_t framesDiffering;
    int64_t firstDiffering;
    bool stopped;
    bool pictureWritten;
};

// What is known of a file once the other has ended: the whole frames it holds beyond those
// compared and the bytes of a partial frame after them, or, when it goes on past one more
// frame, only that it has more (it may be endless).
struct Remainder {
    int64_t wholeFrames;
    size_t partialBytes;
    bool more;
};

// A file written so that a failed run leaves what its path named before untouched: a regular
// file, or none, is written under a temporary name beside it and renamed into place when
// complete; anything else (a device, a FIFO, /dev/stdout on a pipe) is written in place and
// never removed.
struct SafeOutput {
    std::string path;      // as the user named it
    std::string target;    // what the rename replaces: the path, or the file its links lead to
    std::string temporary; // empty when written in place
    FILE* file;
};

// ---- Failures ----

[[noreturn]] static void fail(const std::string& what, const std::string& why)
{
    std::fflush(stdout);
    std::fprintf(stderr, "framecmp: %s: %s\n", what.c_str(), why.c_str());
    std::exit(statusTrouble);
}

[[noreturn]] static void failUsage(const std::string& what, const std::string& why)
{
    std::fprintf(stderr, "framecmp: %s: %s\nTry 'framecmp --help' for more information.\n", what.c_str(), why.c_str());
    std::exit(statusTrouble);
}

[[noreturn]] static void failSystem(const std::string& path, const char* action)
{
    fail(path, std::string(action) + ": " + std::strerror(errno));
}

// The report is framecmp's main output: when it cannot be written the run stops at once.
// A reader that went away (`framecmp -l a b | head`) ends it quietly, as it ends cmp.
[[noreturn]] static void failStandardOutput()
{
    if (errno == EPIPE) {
        std::_Exit(statusTrouble);
    }
    const std::string why = std::strerror(errno);
    std::clearerr(stdout);
    std::fprintf(stderr, "framecmp: standard output: cannot write: %s\n", why.c_str());
    std::_Exit(statusTrouble);
}

// Hands the report's text to standard output, stopping the run when it cannot be written.
static void say(const char* text)
{
    if (std::fputs(text, stdout) == EOF) {
        failStandardOutput();
    }
}

static void say(const std::string& text)
{
    say(text.c_str());
}

static void finishStandardOutput()
{
    if (std::fflush(stdout) != 0) {
        failStandardOutput();
    }
}

// ---- Command line ----

// A decimal number of digits only, from 1 to `high`, or -1.
static int64_t readPositive(const char* text, int64_t high)
{
    int64_t value = 0;
    const char* p = text;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const int digit = *p - '0';
        if (value > (high - digit) / 10) {
            return -1;
        }
        value = value * 10 + digit;
    }
    return (p == text || *p != '\0' || value == 0) ? -1 : value;
}

static void readSize(const char* text, Settings& settings)
{
    const char* cross = std::strchr(text, 'x');
    const std::string widthText = cross == nullptr ? std::string() : std::string(text, cross);
    const int64_t width = readPositive(widthText.c_str(), INT32_MAX);
    const int64_t height = cross == nullptr ? -1 : readPositive(cross + 1, INT32_MAX);
    if (width < 0 || height < 0) {
        failUsage(std::string("-s ") + text, "not WIDTHxHEIGHT with both from 1 to 2147483647");
    }
    settings.width = static_cast<int32_t>(width);
    settings.height = static_cast<int32_t>(height);
}

static Format readFormat(const char* text)
{
    for (const FormatName& entry : formatNames) {
        if (std::strcmp(text, entry.name) == 0) {
            return entry.format;
        }
    }
    failUsage(std::string("-f ") + text, "unknown format");
}

static Settings readOptions(int argc, char** argv)
{
    static const option longOptions[] = {
        {"help", no_argument, nullptr, 'h'}, {"version", no_argument, nullptr, 'V'}, {nullptr, 0, nullptr, 0}};
    Settings settings{};
    opterr = 0;
    int opt = 0;
    while ((opt = getopt_long(argc, argv, ":s:f:qln:i:h", longOptions, nullptr)) != -1) {
        switch (opt) {
        case 's': readSize(optarg, settings); break;
        case 'f':
            settings.format = readFormat(optarg);
            settings.formatGiven = true;
            break;
        case 'q': settings.quiet = true; break;
        case 'l': settings.listSamples = true; break;
        case 'n':
            settings.stopAfter = readPositive(optarg, INT64_MAX);
            if (settings.stopAfter < 0) {
                failUsage(std::string("-n ") + optarg, "not a count from 1");
            }
            break;
        case 'i': settings.picturePath = optarg; break;
        case 'h':
            say(usageText);
            finishStandardOutput();
            std::exit(statusIdentical);
        case 'V':
            say("framecmp (yuvtools) " YUVTOOLS_VERSION "\n");
            finishStandardOutput();
            std::exit(statusIdentical);
        case ':': failUsage(argv[optind - 1], "needs a value");
        default: failUsage(optopt != 0 ? std::string("-") + char(optopt) : argv[optind - 1], "unknown option");
        }
    }
    if (argc - optind != 2) {
        failUsage("arguments", "two files, EXPECTED and ACTUAL, are needed");
    }
    settings.expectedPath = argv[optind];
    settings.actualPath = argv[optind + 1];
    return settings;
}

// ---- Geometry ----

static bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The geometry marker rule of traceframes: the rightmost "_w" directly followed by a digit,
// then width, height and sampling as the first three runs of digits; the bus width that
// follows is not needed here. A name with a marker that does not decode is refused.
static NameGeometry readNameGeometry(const std::string& path)
{
    size_t marker = std::string::npos;
    for (size_t p = path.size(); p >= 3 && marker == std::string::npos; --p) {
        if (path[p - 3] == '_' && path[p - 2] == 'w' && isDigit(path[p - 1])) {
            marker = p - 3;
        }
    }
    if (marker == std::string::npos) {
        return NameGeometry{};
    }
    int64_t numbers[3] = {0, 0, 0};
    int found = 0;
    for (size_t i = marker; found < 3 && i < path.size();) {
        if (!isDigit(path[i])) {
            ++i;
            continue;
        }
        int64_t value = 0;
        for (; i < path.size() && isDigit(path[i]); ++i) {
            value = std::min<int64_t>(value * 10 + (path[i] - '0'), int64_t{INT32_MAX} + 1);
        }
        numbers[found++] = value;
    }
    const bool sizeValid = numbers[0] >= 1 && numbers[0] <= INT32_MAX && numbers[1] >= 1 && numbers[1] <= INT32_MAX;
    bool samplingValid = false;
    for (const int32_t sampling : samplingValues) {
        samplingValid = samplingValid || numbers[2] == sampling;
    }
    if (found < 3 || !sizeValid || !samplingValid) {
        fail(path, "the geometry in the name (_wWIDTH_HEIGHT_SAMPLING...) cannot be read");
    }
    return NameGeometry{true, static_cast<int32_t>(numbers[0]), static_cast<int32_t>(numbers[1]),
                        static_cast<int32_t>(numbers[2])};
}

static Format formatOfSampling(int32_t sampling)
{
    switch (sampling) {
    case 422: return Format::yuv422p;
    case 440: return Format::yuv440p;
    case 400: return Format::gray;
    default: return Format::i420;
    }
}

// Fills in what -s and -f left open from the names, which must agree where both tell.
static void completeFromNames(Settings& settings)
{
    if (settings.width != 0 && settings.formatGiven) {
        return;
    }
    const NameGeometry expected = readNameGeometry(settings.expectedPath);
    const NameGeometry actual = readNameGeometry(settings.actualPath);
    if (expected.found && actual.found &&
        (expected.width != actual.width || expected.height != actual.height || expected.sampling != actual.sampling)) {
        fail(settings.actualPath,
             std::string("the geometry in the name disagrees with that of ") + settings.expectedPath);
    }
    const NameGeometry& named = expected.found ? expected : actual;
    if (settings.width == 0) {
        if (!named.found) {
            failUsage("geometry", "give -s WIDTHxHEIGHT, or names with _wWIDTH_HEIGHT_SAMPLING in them");
        }
        settings.width = named.width;
        settings.height = named.height;
    }
    if (!settings.formatGiven) {
        settings.format = named.found ? formatOfSampling(named.sampling) : Format::i420;
    }
}

static Plane planarPlane(char name, int32_t width, int32_t height, size_t offset, int32_t coverX, int32_t coverY)
{
    return Plane{name, width, height, offset, static_cast<size_t>(width), 1, coverX, coverY};
}

// Chroma as two planes one after the other; odd sizes round the chroma plane up.
static void setPlanarChroma(Layout& layout, int32_t coverX, int32_t coverY)
{
    const int32_t chromaWidth = layout.width / coverX + layout.width % coverX;
    const int32_t chromaHeight = layout.height / coverY + layout.height % coverY;
    const size_t lumaSize = layout.planes[0].rowStride * static_cast<size_t>(layout.height);
    const size_t chromaSize = static_cast<size_t>(chromaWidth) * static_cast<size_t>(chromaHeight);
    layout.planes[1] = planarPlane('U', chromaWidth, chromaHeight, lumaSize, coverX, coverY);
    layout.planes[2] = planarPlane('V', chromaWidth, chromaHeight, lumaSize + chromaSize, coverX, coverY);
    layout.planeCount = 3;
    layout.frameSize = lumaSize + 2 * chromaSize;
}

// Chroma as one plane of U V pairs, as a bus carries it.
static void setInterleavedChroma(Layout& layout, int32_t coverY)
{
    const int32_t chromaWidth = layout.width / 2 + layout.width % 2;
    const int32_t chromaHeight = layout.height / coverY + layout.height % coverY;
    const size_t lumaSize = static_cast<size_t>(layout.width) * static_cast<size_t>(layout.height);
    const size_t rowStride = 2 * static_cast<size_t>(chromaWidth);
    layout.planes[1] = Plane{'U', chromaWidth, chromaHeight, lumaSize, rowStride, 2, 2, coverY};
    layout.planes[2] = Plane{'V', chromaWidth, chromaHeight, lumaSize + 1, rowStride, 2, 2, coverY};
    layout.planeCount = 3;
    layout.frameSize = lumaSize + rowStride * static_cast<size_t>(chromaHeight);
}

// Two pixels in four bytes; `lumaAt` is where Y0 stands in a group, `uAt` and `vAt` U and V.
static void setPacked(Layout& layout, size_t lumaAt, size_t uAt, size_t vAt)
{
    const size_t rowStride = 4 * static_cast<size_t>(layout.width / 2);
    layout.planes[0] = Plane{'Y', layout.width, layout.height, lumaAt, rowStride, 2, 1, 1};
    layout.planes[1] = Plane{'U', layout.width / 2, layout.height, uAt, rowStride, 4, 2, 1};
    layout.planes[2] = Plane{'V', layout.width / 2, layout.height, vAt, rowStride, 4, 2, 1};
    layout.planeCount = 3;
    layout.frameSize = rowStride * static_cast<size_t>(layout.height);
}

static Layout makeLayout(const Settings& settings)
{
    const bool packed = settings.format == Format::yuyv || settings.format == Format::yvyu ||
                        settings.format == Format::uyvy || settings.format == Format::vyuy;
    if (packed && settings.width % 2 != 0) {
        fail("-s " + std::to_string(settings.width) + "x" + std::to_string(settings.height),
             "packed formats hold two pixels in four bytes and need an even width");
    }
    Layout layout{};
    layout.width = settings.width;
    layout.height = settings.height;
    layout.planeCount = 1;
    layout.planes[0] = planarPlane('Y', settings.width, settings.height, 0, 1, 1);
    layout.frameSize = static_cast<size_t>(settings.width) * static_cast<size_t>(settings.height);
    switch (settings.format) {
    case Format::i420: setPlanarChroma(layout, 2, 2); break;
    case Format::yuv422p: setPlanarChroma(layout, 2, 1); break;
    case Format::yuv440p: setPlanarChroma(layout, 1, 2); break;
    case Format::nv12: setInterleavedChroma(layout, 2); break;
    case Format::nv16: setInterleavedChroma(layout, 1); break;
    case Format::gray: break;
    case Format::yuyv: setPacked(layout, 0, 1, 3); break;
    case Format::yvyu: setPacked(layout, 0, 3, 1); break;
    case Format::uyvy: setPacked(layout, 1, 0, 2); break;
    case Format::vyuy: setPacked(layout, 1, 2, 0); break;
    }
    // Sizes below 2^31 each make every sum above fit in 64 bits; the frame must fit in 32.
    if (layout.frameSize > INT32_MAX) {
        fail(std::to_string(settings.width) + "x" + std::to_string(settings.height),
             "a frame of that size does not fit in 32 bits");
    }
    return layout;
}

// ---- Files ----

static Input openInput(const char* path)
{
    if (std::strcmp(path, "-") == 0) {
        return Input{"standard input", STDIN_FILENO};
    }
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        failSystem(path, "cannot open");
    }
    return Input{path, fd};
}

// Reads until `length` bytes are in or the input ends; returns the bytes read.
static size_t readFrame(const Input& input, uint8_t* data, size_t length)
{
    size_t got = 0;
    while (got < length) {
        const ssize_t n = read(input.fd, data + got, length - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            failSystem(input.path, "cannot read");
        }
        if (n == 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    return got;
}

static uint8_t* allocate(size_t size)
{
    // One byte more, so that a frame of no chroma still gets a block of its own.
    auto* block = static_cast<uint8_t*>(std::malloc(size + 1));
    if (block == nullptr) {
        fail("memory", "cannot allocate " + std::to_string(size) + " bytes");
    }
    return block;
}

static Buffers allocateBuffers(const Layout& layout)
{
    const size_t rowLength = std::min(static_cast<size_t>(layout.width), kernelSpan);
    return Buffers{allocate(layout.frameSize), allocate(layout.frameSize), allocate(rowLength), allocate(rowLength)};
}

static void releaseBuffers(const Buffers& buffers)
{
    std::free(buffers.expected);
    std::free(buffers.actual);
    std::free(buffers.expectedRow);
    std::free(buffers.actualRow);
}

// Opens `path` for writing as a SafeOutput: a regular file or none through a temporary file
// beside the one its links lead to, with the mode it has or a new file would get.
static SafeOutput openSafeOutput(const char* path)
{
    SafeOutput out{path, path, std::string(), nullptr};
    struct stat existing {};
    const bool exists = stat(path, &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) {
        out.file = std::fopen(path, "wb");
        if (out.file == nullptr) {
            failSystem(path, "cannot open");
        }
        return out;
    }
    if (exists) {
        char* resolved = realpath(path, nullptr);
        if (resolved == nullptr) {
            failSystem(path, "cannot open");
        }
        out.target = resolved;
        std::free(resolved);
    }
    out.temporary = out.target + ".XXXXXX";
    const int fd = mkstemp(out.temporary.data());
    if (fd < 0) {
        failSystem(path, "cannot create a temporary file beside it");
    }
    const mode_t mask = umask(0);
    umask(mask);
    const mode_t mode = exists ? existing.st_mode & 07777 : 0666 & ~mask;
    out.file = fdopen(fd, "wb");
    if (out.file == nullptr || fchmod(fd, mode) != 0) {
        unlink(out.temporary.c_str());
        failSystem(path, "cannot open");
    }
    return out;
}

// Closes the file and, when it was written under a temporary name, removes that name; the
// path is left as it was.
static void abandonSafeOutput(SafeOutput& out)
{
    std::fclose(out.file);
    out.file = nullptr;
    if (!out.temporary.empty()) {
        unlink(out.temporary.c_str());
    }
}

// Completes the file: every byte written and closed, then renamed into place. On failure
// the temporary file goes and the run stops.
static void finishSafeOutput(SafeOutput& out, const char* what)
{
    bool done = std::fflush(out.file) == 0 && std::ferror(out.file) == 0;
    int error = errno;
    if (std::fclose(out.file) != 0 && done) {
        done = false;
        error = errno;
    }
    out.file = nullptr;
    if (done && !out.temporary.empty() && rename(out.temporary.c_str(), out.target.c_str()) != 0) {
        done = false;
        error = errno;
    }
    if (!done) {
        if (!out.temporary.empty()) {
            unlink(out.temporary.c_str());
        }
        errno = error;
        failSystem(out.path, what);
    }
}

// The picture may not be one of the files compared: writing it would destroy that file.
static void refusePictureOverInput(const Settings& settings)
{
    struct stat picture {};
    if (settings.picturePath == nullptr || stat(settings.picturePath, &picture) != 0) {
        return;
    }
    for (const char* path : {settings.expectedPath, settings.actualPath}) {
        // Standard input is known by its descriptor: `-i a.yuv - b.yuv < a.yuv`.
        struct stat input {};
        const int known = std::strcmp(path, "-") == 0 ? fstat(STDIN_FILENO, &input) : stat(path, &input);
        if (known == 0 && input.st_dev == picture.st_dev && input.st_ino == picture.st_ino) {
            fail(settings.picturePath, "is one of the files compared; not overwritten");
        }
    }
}

// ---- Comparison ----

// The plain row kernel: counts, largest difference and sum of squares of `length` sample
// pairs, at most kernelSpan of them, so that the 32-bit sums cannot overflow.
static RowTally compareRowPlain(const uint8_t* expected, const uint8_t* actual, size_t length)
{
    uint32_t differing = 0;
    uint32_t sumOfSquares = 0;
    int32_t largest = 0;
    for (size_t i = 0; i < length; ++i) {
        const int32_t difference = int32_t{expected[i]} - int32_t{actual[i]};
        const int32_t magnitude = difference < 0 ? -difference : difference;
        differing += magnitude != 0 ? 1U : 0U;
        sumOfSquares += static_cast<uint32_t>(magnitude * magnitude);
        largest = magnitude > largest ? magnitude : largest;
    }
    return RowTally{differing, sumOfSquares, largest};
}

// The fast row kernel, 16 pairs a step, the tail by the plain one. Per step: the absolute
// differences as bytes, their maximum, the equal ones counted by a sum of absolute
// differences, and the squares summed in pairs of 16-bit products. Over kernelSpan pairs a
// 32-bit lane of the sum takes at most 16384 squares of 65025: no overflow.
static RowTally compareRow(const uint8_t* expected, const uint8_t* actual, size_t length)
{
    size_t i = 0;
    RowTally tally{0, 0, 0};
#ifdef FRAMECMP_SSE2
    const __m128i zero = _mm_setzero_si128();
    const __m128i one = _mm_set1_epi8(1);
    __m128i largest = zero;
    __m128i equal = zero;
    __m128i squares = zero;
    for (; i + 16 <= length; i += 16) {
        const __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(expected + i));
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(actual + i));
        const __m128i magnitude = _mm_or_si128(_mm_subs_epu8(e, a), _mm_subs_epu8(a, e));
        largest = _mm_max_epu8(largest, magnitude);
        equal = _mm_add_epi64(equal, _mm_sad_epu8(_mm_and_si128(_mm_cmpeq_epi8(magnitude, zero), one), zero));
        const __m128i low = _mm_unpacklo_epi8(magnitude, zero);
        const __m128i high = _mm_unpackhi_epi8(magnitude, zero);
        squares = _mm_add_epi32(squares, _mm_add_epi32(_mm_madd_epi16(low, low), _mm_madd_epi16(high, high)));
    }
    alignas(16) uint8_t largestBytes[16];
    alignas(16) uint64_t equalLanes[2];
    alignas(16) uint32_t squareLanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(largestBytes), largest);
    _mm_store_si128(reinterpret_cast<__m128i*>(equalLanes), equal);
    _mm_store_si128(reinterpret_cast<__m128i*>(squareLanes), squares);
    tally.differing = static_cast<uint32_t>(i - (equalLanes[0] + equalLanes[1]));
    tally.sumOfSquares = squareLanes[0] + squareLanes[1] + squareLanes[2] + squareLanes[3];
    for (const uint8_t byte : largestBytes) {
        tally.largest = std::max<int32_t>(tally.largest, byte);
    }
#endif
    const RowTally tail = compareRowPlain(expected + i, actual + i, length - i);
    return RowTally{tally.differing + tail.differing, tally.sumOfSquares + tail.sumOfSquares,
                    std::max(tally.largest, tail.largest)};
}

// Copies every step-th byte side by side, so the row kernel sees one plane only.
static void gatherRow(const uint8_t* from, size_t step, size_t length, uint8_t* to)
{
    for (size_t i = 0; i < length; ++i) {
        to[i] = from[i * step];
    }
}

static size_t sampleOffset(const Plane& plane, int32_t x, int32_t y)
{
    return plane.offset + static_cast<size_t>(y) * plane.rowStride + static_cast<size_t>(x) * plane.step;
}

// Notes the first differing sample of a piece of row, and lists every one when asked.
static void noteSamples(const Plane& plane, int64_t frame, int32_t y, int32_t from, const uint8_t* expected,
                        const uint8_t* actual, size_t length, bool listSamples, PlaneTally& tally)
{
    for (size_t i = 0; i < length; ++i) {
        if (expected[i] == actual[i]) {
            continue;
        }
        const int32_t x = from + static_cast<int32_t>(i);
        if (tally.firstX < 0) {
            tally = PlaneTally{tally.differing, tally.sumOfSquares, tally.largest, x, y, expected[i], actual[i]};
        }
        if (!listSamples) {
            return;
        }
        char line[96];
        std::snprintf(line, sizeof line, "%lld %c %d %d %02x %02x\n", static_cast<long long>(frame), plane.name, x, y,
                      expected[i], actual[i]);
        say(line);
    }
}

// The plane loop: every row in pieces the row kernel takes.
static PlaneTally comparePlane(const Plane& plane, const Buffers& buffers, int64_t frame, bool listSamples)
{
    PlaneTally tally{0, 0, 0, -1, -1, 0, 0};
    for (int32_t y = 0; y < plane.height; ++y) {
        for (size_t x = 0; x < static_cast<size_t>(plane.width); x += kernelSpan) {
            const size_t length = std::min(static_cast<size_t>(plane.width) - x, kernelSpan);
            const size_t at = sampleOffset(plane, static_cast<int32_t>(x), y);
            const uint8_t* expected = buffers.expected + at;
            const uint8_t* actual = buffers.actual + at;
            if (plane.step != 1) {
                gatherRow(expected, plane.step, length, buffers.expectedRow);
                gatherRow(actual, plane.step, length, buffers.actualRow);
                expected = buffers.expectedRow;
                actual = buffers.actualRow;
            }
            const RowTally row = compareRow(expected, actual, length);
            if (row.differing == 0) {
                continue;
            }
            tally.differing += row.differing;
            tally.sumOfSquares += row.sumOfSquares;
            tally.largest = std::max(tally.largest, row.largest);
            if (tally.firstX < 0 || listSamples) {
                noteSamples(plane, frame, y, static_cast<int32_t>(x), expected, actual, length, listSamples, tally);
            }
        }
    }
    return tally;
}

// 10 log10(255^2 / MSE) with two decimals, "inf" for equal planes.
static std::string psnrText(const PlaneTally& tally, const Plane& plane)
{
    if (tally.sumOfSquares == 0) {
        return "inf";
    }
    const double samples = double(plane.width) * double(plane.height);
    const double meanSquare = double(tally.sumOfSquares) / samples;
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", 10.0 * std::log10(255.0 * 255.0 / meanSquare));
    return text;
}

static std::string planeReport(const Plane& plane, const PlaneTally& tally)
{
    char text[160];
    if (tally.differing == 0) {
        std::snprintf(text, sizeof text, "%c 0 differ, inf dB", plane.name);
    } else {
        std::snprintf(text, sizeof text, "%c %llu differ, first at %d,%d %02x %02x, max %d, %s dB", plane.name,
                      static_cast<unsigned long long>(tally.differing), tally.firstX, tally.firstY, tally.firstExpected,
                      tally.firstActual, tally.largest, psnrText(tally, plane).c_str());
    }
    return text;
}

// ---- Picture ----

#ifdef FRAMECMP_HAVE_PNG

constexpr int32_t pictureGap = 4;
constexpr uint8_t gapGrey = 96;

[[noreturn]] static void pictureFailed(png_structp png, png_const_charp message)
{
    auto* picture = static_cast<SafeOutput*>(png_get_error_ptr(png));
    const std::string why = message;
    abandonSafeOutput(*picture);
    fail(picture->path, "cannot write the picture: " + why);
}

static void pictureWarning(png_structp /*png*/, png_const_charp /*message*/)
{
}

static uint8_t clampByte(int32_t value)
{
    return static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value);
}

// Luma and the chroma covering (x, y); grey chroma for a luma-only layout.
static void samplesAt(const Layout& layout, const uint8_t* frame, int32_t x, int32_t y, int32_t yuv[3])
{
    yuv[0] = 0;
    yuv[1] = 128;
    yuv[2] = 128;
    for (int p = 0; p < layout.planeCount; ++p) {
        const Plane& plane = layout.planes[p];
        yuv[p] = frame[sampleOffset(plane, x / plane.coverX, y / plane.coverY)];
    }
}

// BT.601 studio range to RGB.
static void putColour(const int32_t yuv[3], uint8_t* rgb)
{
    const int32_t c = 298 * (yuv[0] - 16);
    const int32_t d = yuv[1] - 128;
    const int32_t e = yuv[2] - 128;
    rgb[0] = clampByte((c + 409 * e + 128) >> 8);
    rgb[1] = clampByte((c - 100 * d - 208 * e + 128) >> 8);
    rgb[2] = clampByte((c + 516 * d + 128) >> 8);
}

// The map: white where luma differs, magenta where only the chroma covering a pixel does,
// over a dim copy of the expected luma.
static void putDifference(const int32_t expected[3], const int32_t actual[3], uint8_t* rgb)
{
    const bool lumaDiffers = expected[0] != actual[0];
    const bool chromaDiffers = expected[1] != actual[1] || expected[2] != actual[2];
    const auto dim = static_cast<uint8_t>(expected[0] / 5);
    rgb[0] = lumaDiffers || chromaDiffers ? 255 : dim;
    rgb[1] = lumaDiffers ? 255 : chromaDiffers ? 0 : dim;
    rgb[2] = lumaDiffers || chromaDiffers ? 255 : dim;
}

static void pictureRow(const Layout& layout, const Buffers& buffers, int32_t y, uint8_t* row)
{
    const size_t panel = 3 * (static_cast<size_t>(layout.width) + pictureGap);
    for (int32_t x = 0; x < layout.width; ++x) {
        int32_t expected[3];
        int32_t actual[3];
        samplesAt(layout, buffers.expected, x, y, expected);
        samplesAt(layout, buffers.actual, x, y, actual);
        uint8_t* at = row + 3 * static_cast<size_t>(x);
        putColour(expected, at);
        putColour(actual, at + panel);
        putDifference(expected, actual, at + 2 * panel);
    }
}

static void writePicture(const char* path, const Layout& layout, const Buffers& buffers)
{
    const int64_t pictureWidth = 3 * int64_t{layout.width} + int64_t{pictureGap} * 2;
    if (pictureWidth > INT32_MAX / 3) {
        fail(path, "the frame is too wide for a picture");
    }
    const size_t rowBytes = 3 * static_cast<size_t>(pictureWidth);
    uint8_t* row = allocate(rowBytes);
    SafeOutput picture = openSafeOutput(path);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &picture, pictureFailed, pictureWarning);
    png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
    if (info == nullptr) {
        abandonSafeOutput(picture);
        fail(path, "cannot allocate the picture");
    }
    png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
    png_init_io(png, picture.file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(pictureWidth), static_cast<png_uint_32>(layout.height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    std::memset(row, gapGrey, rowBytes);
    for (int32_t y = 0; y < layout.height; ++y) {
        pictureRow(layout, buffers, y, row);
        png_write_row(png, row);
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    std::free(row);
    finishSafeOutput(picture, "cannot write the picture");
}

#else

static void writePicture(const char* path, const Layout& /*layout*/, const Buffers& /*buffers*/)
{
    fail(path, "this framecmp was built without libpng and cannot write pictures");
}

#endif

// ---- Frame loop ----

// Compares one frame pair; returns whether it differs, after reporting it.
static bool compareFrame(const Settings& settings, const Layout& layout, const Buffers& buffers, int64_t frame)
{
    if (std::memcmp(buffers.expected, buffers.actual, layout.frameSize) == 0) {
        return false;
    }
    if (settings.quiet) {
        return true;
    }
    std::string line = "frame " + std::to_string(frame) + ":";
    for (int p = 0; p < layout.planeCount; ++p) {
        const PlaneTally tally = comparePlane(layout.planes[p], buffers, frame, settings.listSamples);
        line += (p == 0 ? " " : "; ") + planeReport(layout.planes[p], tally);
    }
    if (!settings.listSamples) {
        say(line + "\n");
    }
    return true;
}

// What is left of a file once one of the two has ended; `got` is what its last read gave.
// A file that gave a whole frame is read one byte further, no more: it may never end.
static Remainder countRemainder(const Input& input, uint8_t* frame, size_t frameSize, size_t got)
{
    if (got < frameSize) {
        return Remainder{0, got, false};
    }
    const bool more = readFrame(input, frame + frameSize, 1) != 0;
    return Remainder{1, 0, more};
}

static RunTally compareFiles(const Settings& settings, const Layout& layout, const Input& expected, const Input& actual,
                             const Buffers& buffers, Remainder rest[2])
{
    RunTally tally{0, 0, -1, false, false};
    for (;;) {
        const size_t gotExpected = readFrame(expected, buffers.expected, layout.frameSize);
        const size_t gotActual = readFrame(actual, buffers.actual, layout.frameSize);
        if (gotExpected < layout.frameSize || gotActual < layout.frameSize) {
            rest[0] = countRemainder(expected, buffers.expected, layout.frameSize, gotExpected);
            rest[1] = countRemainder(actual, buffers.actual, layout.frameSize, gotActual);
            return tally;
        }
        const int64_t frame = tally.framesCompared++;
        if (!compareFrame(settings, layout, buffers, frame)) {
            continue;
        }
        if (tally.framesDiffering++ == 0) {
            tally.firstDiffering = frame;
            if (settings.picturePath != nullptr) {
                writePicture(settings.picturePath, layout, buffers);
                tally.pictureWritten = true;
            }
        }
        if (settings.quiet || tally.framesDiffering == settings.stopAfter) {
            tally.stopped = true;
            return tally;
        }
    }
}

// "1 frame", "2 frames".
static std::string framesText(int64_t count)
{
    return std::to_string(count) + (count == 1 ? " frame" : " frames");
}

// Reports lengths that differ and partial frames; returns whether the ends differ.
static bool reportEnds(const Settings& settings, const RunTally& tally, const Remainder rest[2], const Buffers& buffers)
{
    const char* names[2] = {"EXPECTED", "ACTUAL"};
    const int64_t frames[2] = {tally.framesCompared + rest[0].wholeFrames, tally.framesCompared + rest[1].wholeFrames};
    const bool partialsAlike = frames[0] == frames[1] && rest[0].partialBytes == rest[1].partialBytes &&
                               std::memcmp(buffers.expected, buffers.actual, rest[0].partialBytes) == 0;
    if (settings.quiet) {
        return !partialsAlike;
    }
    if (frames[0] != frames[1]) {
        const int shorter = frames[0] < frames[1] ? 0 : 1;
        const int longer = 1 - shorter;
        say(std::string(names[shorter]) + " ends after " + framesText(frames[shorter]) + ", " + names[longer] +
            " has " + (rest[longer].more ? std::string("more") : std::to_string(frames[longer])) + "\n");
    }
    for (int i = 0; i < 2; ++i) {
        if (rest[i].partialBytes != 0) {
            say(std::string(names[i]) + " ends with a partial frame " + std::to_string(frames[i]) + " of " +
                std::to_string(rest[i].partialBytes) + " bytes" + (partialsAlike && i == 1 ? ", alike in both" : "") +
                "\n");
        }
    }
    return !partialsAlike;
}

static void reportSummary(const RunTally& tally, bool endsDiffer)
{
    if (tally.framesDiffering != 0) {
        say(std::to_string(tally.framesDiffering) + " of " + std::to_string(tally.framesCompared) +
            " frames differ, first at frame " + std::to_string(tally.firstDiffering) +
            (tally.stopped ? " (stopped)" : "") + "\n");
    } else if (endsDiffer) {
        say("first " + framesText(tally.framesCompared) + " identical, lengths differ\n");
    } else {
        say("identical: " + framesText(tally.framesCompared) + "\n");
    }
}

static void finishOutput(const Settings& settings, const RunTally& tally)
{
    if (settings.picturePath != nullptr && !tally.pictureWritten && !settings.quiet) {
        std::fprintf(stderr, "framecmp: %s: no frame differs, no picture written\n", settings.picturePath);
    }
    finishStandardOutput();
}

int main(int argc, char** argv)
{
    // Failed writes come back as errors, so that each takes its own road: a closed pipe
    // (EPIPE) or a file-size limit (EFBIG) no longer kills the run half way through a file.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    Settings settings = readOptions(argc, argv);
    completeFromNames(settings);
    const Layout layout = makeLayout(settings);
    refusePictureOverInput(settings);
#ifndef FRAMECMP_HAVE_PNG
    if (settings.picturePath != nullptr) {
        writePicture(settings.picturePath, layout, Buffers{});
    }
#endif
    const Input expected = openInput(settings.expectedPath);
    const Input actual = openInput(settings.actualPath);
    if (expected.fd == actual.fd) {
        failUsage("arguments", "standard input can be only one of the two files");
    }
    const Buffers buffers = allocateBuffers(layout);
    Remainder rest[2] = {};
    const RunTally tally = compareFiles(settings, layout, expected, actual, buffers, rest);
    bool endsDiffer = false;
    if (!tally.stopped) {
        endsDiffer = reportEnds(settings, tally, rest, buffers);
    }
    if (!settings.quiet) {
        reportSummary(tally, endsDiffer);
    }
    releaseBuffers(buffers);
    close(actual.fd);
    close(expected.fd);
    finishOutput(settings, tally);
    return tally.framesDiffering != 0 || endsDiffer ? statusDifferent : statusIdentical;
}
