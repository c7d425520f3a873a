// framecmp: compares two raw YUV frame files and says where they differ: the frame, the plane,
// the first differing sample with its position and values, the largest difference and the
// PSNR of every plane. The exit status is that of cmp: 0 identical, 1 different, 2 trouble.
// Memory is two frames whatever the length of the files.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

#include "../common/cli.h"
#include "../common/formats.h"

#ifndef YUVTOOLS_VERSION
#define YUVTOOLS_VERSION "unknown"
#endif

const char programName[] = "framecmp";

constexpr int statusIdentical = 0;
constexpr int statusDifferent = 1;

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

// Longest rows the row kernel takes at once: its 32-bit sum of squares cannot overflow.
constexpr size_t kernelSpan = 65536;

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

// ---- Command line ----

static void readSize(const char* text, Settings& settings)
{
    const char* cross = std::strchr(text, 'x');
    const std::string widthText = cross == nullptr ? std::string() : std::string(text, cross);
    const int64_t width = readDecimal(widthText.c_str(), 1, INT32_MAX);
    const int64_t height = cross == nullptr ? -1 : readDecimal(cross + 1, 1, INT32_MAX);
    if (width < 0 || height < 0) {
        failUsage(std::string("-s ") + text, "not WIDTHxHEIGHT with both from 1 to 2147483647");
    }
    settings.width = static_cast<int32_t>(width);
    settings.height = static_cast<int32_t>(height);
}

static Format readFormat(const char* text)
{
    const Format format = findFormat(text);
    if (format.layout == nullptr) {
        failUsage(std::string("-f ") + text, "unknown format");
    }
    return format;
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
            settings.stopAfter = readDecimal(optarg, 1, INT64_MAX);
            if (settings.stopAfter < 0) {
                failUsage(std::string("-n ") + optarg, "not a count from 1");
            }
            break;
        case 'i': settings.picturePath = optarg; break;
        case 'h': answer(usageText);
        case 'V': answer("framecmp (yuvtools) " YUVTOOLS_VERSION "\n");
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
        settings.format = planarFormatOf(named.found ? named.sampling : 420);
    }
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

static Buffers allocateBuffers(const FrameLayout& layout)
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
static void samplesAt(const FrameLayout& layout, const uint8_t* frame, int32_t x, int32_t y, int32_t yuv[3])
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

static void pictureRow(const FrameLayout& layout, const Buffers& buffers, int32_t y, uint8_t* row)
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

static void writePicture(const char* path, const FrameLayout& layout, const Buffers& buffers)
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

static void writePicture(const char* path, const FrameLayout& /*layout*/, const Buffers& /*buffers*/)
{
    fail(path, "this framecmp was built without libpng and cannot write pictures");
}

#endif

// ---- Frame loop ----

// Compares one frame pair; returns whether it differs, after reporting it.
static bool compareFrame(const Settings& settings, const FrameLayout& layout, const Buffers& buffers, int64_t frame)
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

static RunTally compareFiles(const Settings& settings, const FrameLayout& layout, const Input& expected,
                             const Input& actual, const Buffers& buffers, Remainder rest[2])
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
    const FrameLayout layout = makeFrameLayout(settings.format, settings.width, settings.height);
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
