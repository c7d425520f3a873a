// framecmp: compares two raw YUV frame files and says where they differ: the frame, the plane,
// the first failing sample with its position and values, the largest difference and the PSNR
// of every plane, and the clip's worst values. Samples of 8 to 16 bits; above 8, each in a
// 16-bit little-endian container, its value in the low or the high bits. A sample fails when
// it differs by more than a tolerance or its padding is set; a plane may be held to a PSNR
// floor as well. A frame whose failing samples are those of EXPECTED displaced by a few
// bytes of bus order (a bus word lost or repeated) is said to be so. The exit status is that
// of cmp: 0 pass, 1 fail, 2 trouble.
// Memory is two frames whatever the length of the files, and grows with what is read (see
// framecmp(1) for what each option adds).
// Reports: every frame as CSV and JSON, SSIM as ffmpeg's ssim filter computes it, and a
// plot of PSNR and SSIM over the clip as SVG.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef FRAMECMP_HAVE_PNG
#include <png.h>
#endif

// FRAMECMP_PLAIN_KERNELS builds the plain kernels only: the tests hold the fast ones to them.
#if defined(__SSE2__) && !defined(FRAMECMP_PLAIN_KERNELS)
#include <emmintrin.h>
#define FRAMECMP_SSE2 1
#endif

#include "../common/cli.h"
#include "../common/formats.h"

#ifndef YUVTOOLS_VERSION
#define YUVTOOLS_VERSION "unknown"
#endif

const char programName[] = "framecmp";

constexpr int statusPass = 0;
constexpr int statusFail = 1;

static const char usageText[] =
    "usage: framecmp [-qlh] [-s WIDTHxHEIGHT] [-f FORMAT] [-F FORMAT] [-t N] [-p DB] [-n COUNT]\n"
    "                [-i PICTURE.png [--picture-frame=N]] [--skip=N[:M]] [--align=MAX] [--csv FILE]\n"
    "                [--json FILE] [--plot FILE.svg] [--ssim] [--ssim-min=S] EXPECTED ACTUAL\n"
    "  -s WxH        picture size (default: from the file names, as clip_w176_144_420...)\n"
    "  -f FORMAT     EXPECTED's format: yuv420p nv12 nv21 yuv422p nv16 yuv440p yuv444p nv24 gray\n"
    "                yuyv422 yvyu422 uyvy422 vyuy422 (8 bits); ffmpeg's names above 8 bits\n"
    "                (yuv420p10le, p010le, y210le, ...); LAYOUT:DEPTH (value in the low bits)\n"
    "                or LAYOUT:DEPTHm (in the high bits), as nv12:10; i420 422p 440p yuyv yvyu\n"
    "                uyvy vyuy (default: from the sampling in the names: 420 yuv420p, 422\n"
    "                yuv422p, 440 yuv440p, 400 gray)\n"
    "  -F FORMAT     ACTUAL's format, of EXPECTED's sampling and depth (default: EXPECTED's)\n"
    "  -t N          a sample fails when it differs by more than N (default 0)\n"
    "  -p DB         a plane fails when its PSNR is below DB; without -t, only PSNR decides\n"
    "  -q            print nothing, exit status only (not with -l)\n"
    "  -l            list every failing sample: frame plane x y expected actual\n"
    "  -n COUNT      stop after COUNT failing frames\n"
    "  -i FILE       write a PNG of the first failing frame: expected, actual, where they differ\n"
    "                and the first failing sample's neighbourhood enlarged, failing pixels outlined\n"
    "  --picture-frame=N  the frame -i draws, failing or not (default: the first failing one)\n"
    "  --skip=N[:M]  skip the first N frames of EXPECTED and M (default N) of ACTUAL\n"
    "  --align=MAX   find ACTUAL's offset from -MAX to +MAX frames and compare from there\n"
    "  --csv FILE    write every frame and plane as CSV (- for standard output)\n"
    "  --json FILE   write every frame, the criteria and the summary as JSON (- likewise)\n"
    "  --plot FILE   write PSNR (and SSIM) per frame as an SVG plot\n"
    "  --ssim        compute each plane's SSIM as ffmpeg's ssim filter does\n"
    "  --ssim-min=S  a plane fails when its SSIM is below S (0 to 1); implies --ssim\n"
    "  --help, --version\n"
    "a sample also fails when its padding bits are set\n"
    "exit status: 0 pass, 1 fail or lengths differ, 2 trouble\n";

// Longest rows the row kernels take at once: their 32-bit sums and 16-bit lane counts
// cannot overflow.
constexpr size_t kernelSpan = 65536;

// --align compares at most this many frames at each offset.
constexpr int64_t alignWindow = 8;
constexpr int64_t highestAlign = 1000;

// --ssim-min in millionths.
constexpr int64_t ssimUnits = 1000000;
constexpr int32_t ssimBlock = 4;

// A plot's size in pixels, its margins and the points a line has at most: past them, pairs
// of points merge, so that an endless input costs no more memory than a long one.
constexpr int32_t plotWidth = 960;
constexpr int32_t plotHeight = 480;
constexpr int32_t plotLeft = 70;
constexpr int32_t plotRight = 70;
constexpr int32_t plotTop = 50;
constexpr int32_t plotBottom = 70;
constexpr size_t plotPoints = 4000;

// A frame's failing samples are tried as EXPECTED displaced by 1 to displacementReach bytes
// of bus order; a displacement is claimed when it explains at least displacementLeast of
// them and all but one in a hundred. Frames with fewer failing samples are not searched.
constexpr int32_t displacementReach = 64;
constexpr uint64_t displacementLeast = 32;
// The search reads a frame's samples at most searchScans times over, however many
// displacements the probes leave: a periodic picture leaves many that explain its failing
// samples and are only given up at the end.
constexpr size_t searchScans = 4;
// Before that search, up to probeCount failing samples spread over the frame are looked at
// where they stand; finding them may look at probeBudget samples at most.
constexpr size_t probeCount = 64;
constexpr size_t probeBudget = 16384;

struct Settings {
    const char* expectedPath;
    const char* actualPath;
    const char* picturePath;
    const char* csvPath; // "-" for standard output
    const char* jsonPath;
    const char* plotPath;
    int64_t floor;        // PSNR floor in hundredths of a dB; -1 without -p
    int64_t ssimMin;      // millionths; -1 without --ssim-min
    int64_t stopAfter;    // failing frames; 0 is no limit
    int64_t skip[2];      // frames of EXPECTED and ACTUAL
    int64_t alignMax;     // -1 without --align
    int64_t pictureFrame; // the frame -i draws; -1 for the first failing one
    Format format;
    Format actualFormat;
    int32_t width; // 0 until -s or a name gives it
    int32_t height;
    int32_t tolerance;
    bool formatGiven;
    bool actualFormatGiven;
    bool toleranceGiven;
    bool quiet;
    bool listSamples;
    bool skipGiven;
    bool ssim;
};

// How one file's samples are read: the value is (container >> shift) & valueMask, and the
// bits of paddingMask must be zero.
struct Coding {
    uint32_t shift;
    uint32_t valueMask;
    uint32_t paddingMask;
    int32_t depth;
};

// The two files' frames: their layouts (same planes and frame size, the samples possibly
// elsewhere) and codings.
struct Geometry {
    FrameLayout expected;
    FrameLayout actual;
    Coding expectedCoding;
    Coding actualCoding;
    bool sameFormat;
};

struct Input {
    const char* path;
    int fd;
};

// What one plane of one frame pair shows. The first failing sample keeps its containers.
struct PlaneTally {
    uint64_t failing;
    uint64_t padded;
    uint64_t sumOfSquares;
    int32_t largest;
    int32_t firstX;
    int32_t firstY;
    uint32_t firstExpected;
    uint32_t firstActual;
};

struct RowTally {
    uint32_t failing;
    uint32_t padded;
    uint64_t sumOfSquares;
    int32_t largest;
};

// Two frames and the gathered rows of a plane whose samples are not side by side. A frame
// buffer grows as its file's bytes come, up to a frame and the one byte read past it, so
// that a short file never costs a whole frame of a huge picture.
struct Buffers {
    uint8_t* expected;
    uint8_t* actual;
    uint8_t* expectedRow;
    uint8_t* actualRow;
    size_t capacity[2]; // bytes of the expected and the actual frame buffer
};

// A plane's worst over the clip: its highest MSE (lowest PSNR), its largest difference, and
// the sum of its MSEs for the average; with --ssim, its lowest SSIM and the sum and count of
// the SSIMs for their mean (none for a plane smaller than 8x8).
struct PlaneWorst {
    double highestMse;
    int64_t highestMseFrame;
    int32_t largest;
    int64_t largestFrame;
    double mseSum;
    double lowestSsim;
    int64_t lowestSsimFrame; // -1 while the plane has no SSIM
    double ssimSum;
    int64_t ssimFrames;
};

struct RunTally {
    int64_t framesCompared;
    int64_t framesDiffering; // with any difference, failing or not
    int64_t framesFailing;
    int64_t firstFailing;
    bool stopped;
    bool pictureWritten;
    PlaneWorst worst[3];
    int64_t lastFailing;
};

// One plane of one frame as the reports give it.
struct PlaneResult {
    uint64_t failing;
    int32_t largest;
    double mse;
    double ssim;    // NaN without --ssim, or for a plane smaller than one 8x8 window
    int32_t firstX; // -1 when no sample fails
    int32_t firstY;
    bool fails; // under every criterion
};

struct FrameResult {
    int64_t frame;
    bool fails;
    PlaneResult planes[3];
};

// Sums over a 4x4 block of both planes: the samples of each, the squares of both, the
// products.
struct BlockSums {
    int64_t s1;
    int64_t s2;
    int64_t ss;
    int64_t s12;
};

// What SSIM works in: the sums of two rows of blocks, and four rows of each plane's values
// where its samples are not bytes side by side.
struct SsimBuffers {
    std::vector<BlockSums> sums[2];
    std::vector<uint8_t> bytes[2];
    std::vector<uint16_t> values[2];
};

// A report file: written through a SafeOutput, or to standard output. No file when `file`
// is null.
struct ReportFile {
    SafeOutput out;
    bool standardOutput;
};

// A value the plot draws and the frame it stands at, counted from the first compared. NaN
// when there is none.
struct PlotValue {
    float value;
    int64_t at;
};

// What the plot keeps of a run of frames (one frame until the plot thins): the lowest PSNR
// (infinite for an equal plane) and the lowest SSIM of each plane, and the first failing
// frame (-1 when none fails).
struct PlotPoint {
    PlotValue psnr[3];
    PlotValue ssim[3];
    int64_t failingAt;
};

struct Reports {
    ReportFile csv;
    ReportFile json;
    ReportFile plot;
    bool jsonFramesWritten;
    int64_t firstFrame;
    std::vector<PlotPoint> points;
    int64_t plotFrames;  // the frames the plot has taken
    int64_t pointFrames; // the frames a point stands for: 1, doubled each time pairs merge
    SafeOutput picture;  // complete, held until the verdict; no file when nothing was drawn
};

// A displacement claimed: from the sample (plane, x, y) of `frame` on, ACTUAL is EXPECTED
// `bytes` bytes of bus order early (lost) or late (extra).
struct Displacement {
    int64_t frame;
    char plane;
    int32_t x;
    int32_t y;
    int32_t bytes;
    bool lost;
};

// The displacements claimed, one for each run of frames that keep one, and the probes that
// come before the search.
struct Diagnosis {
    std::vector<Displacement> displacements;
    int64_t runLast;            // the last frame of the latest displacement's run; -1 when none is open
    std::vector<size_t> probes; // bus samples
};

// What the frame loop carries from one frame to the next: SSIM's sums, the latest frame's
// results for the reports, the displacements found.
struct FrameWork {
    SsimBuffers ssimBuffers;
    FrameResult result;
    Diagnosis diagnosis;
};

// What is known of a file once the other has ended: the whole frames it holds beyond those
// compared and the bytes of a partial frame after them, or, when it goes on past one more
// frame, only that it has more (it may be endless).
struct Remainder {
    int64_t wholeFrames;
    size_t partialBytes;
    bool more;
};

// What --align reads of each file: the frames of a pipe are held, to be compared first once
// the offset is found; a file that can seek is read in place and then set at the offset.
struct Held {
    bool seekable[2];
    off_t start[2];
    int64_t whole[2]; // whole frames there are to align on, held or in place
    std::vector<std::vector<uint8_t>> frames[2];
    size_t next[2];
};

// ---- Memory ----

// Running out of memory ends the run as other trouble does: one message, status 2, no
// temporary file left behind. Nothing here allocates, so that it works when nothing can be.
[[noreturn]] static void failAllocation(size_t size)
{
    removePendingTemporaries();
    std::fflush(stdout);
    std::fprintf(stderr, "%s: memory: cannot allocate %zu bytes\n", programName, size);
    std::exit(statusTrouble);
}

// Every allocation of the standard library comes here: its failure is that message, not
// an exception that would end the run with an abort.
void* operator new(size_t size)
{
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        failAllocation(size);
    }
    return block;
}

void operator delete(void* block) noexcept
{
    std::free(block);
}

void operator delete(void* block, size_t /*size*/) noexcept
{
    std::free(block);
}

// ---- Command line ----

static void readSize(const char* text, Settings& settings)
{
    const char* cross = std::strpbrk(text, "xX");
    const std::string widthText = cross == nullptr ? std::string() : std::string(text, cross);
    const int64_t width = readDecimal(widthText.c_str(), 1, INT32_MAX);
    const int64_t height = cross == nullptr ? -1 : readDecimal(cross + 1, 1, INT32_MAX);
    if (width < 0 || height < 0) {
        failUsage(std::string("-s ") + text, "not WIDTHxHEIGHT with both from 1 to 2147483647");
    }
    settings.width = static_cast<int32_t>(width);
    settings.height = static_cast<int32_t>(height);
}

static Format readFormat(const char* option, const char* text)
{
    Format format{};
    if (!parseFormat(text, format)) {
        failUsage(std::string(option) + " " + text, "unknown format; known: " + knownFormatNames());
    }
    return format;
}

// A PSNR floor: decimal dB with at most two decimals, from 0 to 999.99, in hundredths.
static int64_t readFloor(const char* text)
{
    const char* point = std::strchr(text, '.');
    const std::string whole = point == nullptr ? std::string(text) : std::string(text, point);
    const std::string fraction = point == nullptr ? std::string("00") : std::string(point + 1) + "00";
    const int64_t units = readDecimal(whole.c_str(), 0, 999);
    const bool fractionValid = point == nullptr || (point[1] != '\0' && std::strlen(point + 1) <= 2);
    const int64_t hundredths = fractionValid ? readDecimal(fraction.substr(0, 2).c_str(), 0, 99) : -1;
    if (units < 0 || hundredths < 0) {
        failUsage(std::string("-p ") + text, "not a PSNR in dB from 0 to 999.99, at most two decimals");
    }
    return units * 100 + hundredths;
}

// --skip=N or --skip=N:M.
static void readSkip(const char* text, Settings& settings)
{
    const char* colon = std::strchr(text, ':');
    const std::string first = colon == nullptr ? std::string(text) : std::string(text, colon);
    const int64_t expected = readDecimal(first.c_str(), 0, INT64_MAX / 4);
    const int64_t actual = colon == nullptr ? expected : readDecimal(colon + 1, 0, INT64_MAX / 4);
    if (expected < 0 || actual < 0) {
        failUsage(std::string("--skip=") + text, "not N or N:M, frame counts from 0");
    }
    settings.skip[0] = expected;
    settings.skip[1] = actual;
    settings.skipGiven = true;
}

// An SSIM threshold: a decimal from 0 to 1 with at most six decimals, in millionths.
static int64_t readSsimMin(const char* text)
{
    const char* point = std::strchr(text, '.');
    const std::string whole = point == nullptr ? std::string(text) : std::string(text, point);
    const std::string fraction = point == nullptr ? std::string() : std::string(point + 1);
    const int64_t units = readDecimal(whole.c_str(), 0, 1);
    const bool fractionValid = point == nullptr || (!fraction.empty() && fraction.size() <= 6);
    const int64_t millionths =
        fractionValid ? readDecimal((fraction + "000000").substr(0, 6).c_str(), 0, ssimUnits - 1) : -1;
    const int64_t value = units * ssimUnits + millionths;
    if (units < 0 || millionths < 0 || value > ssimUnits) {
        failUsage(std::string("--ssim-min=") + text, "not an SSIM from 0 to 1, at most six decimals");
    }
    return value;
}

static bool isStandardOutput(const char* path)
{
    return path != nullptr && std::strcmp(path, "-") == 0;
}

// At most one report on standard output, and then no -l listing to mix with it.
static void checkReports(const Settings& settings)
{
    const char* paths[3] = {settings.csvPath, settings.jsonPath, settings.plotPath};
    const auto onStandardOutput = std::count_if(std::begin(paths), std::end(paths), isStandardOutput);
    if (onStandardOutput > 1) {
        failUsage("-", "only one report can go to standard output");
    }
    if (onStandardOutput == 1 && settings.listSamples) {
        failUsage("-l", "cannot list samples on standard output while a report goes there");
    }
}

static bool reportsWanted(const Settings& settings)
{
    return settings.csvPath != nullptr || settings.jsonPath != nullptr || settings.plotPath != nullptr;
}

static Settings readOptions(int argc, char** argv)
{
    static const option longOptions[] = {{"help", no_argument, nullptr, 'h'},
                                         {"version", no_argument, nullptr, 'V'},
                                         {"skip", required_argument, nullptr, 'S'},
                                         {"align", required_argument, nullptr, 'A'},
                                         {"csv", required_argument, nullptr, 'C'},
                                         {"json", required_argument, nullptr, 'J'},
                                         {"plot", required_argument, nullptr, 'G'},
                                         {"ssim", no_argument, nullptr, 'M'},
                                         {"ssim-min", required_argument, nullptr, 'N'},
                                         {"picture-frame", required_argument, nullptr, 'P'},
                                         {nullptr, 0, nullptr, 0}};
    Settings settings{};
    settings.floor = -1;
    settings.alignMax = -1;
    settings.ssimMin = -1;
    settings.pictureFrame = -1;
    opterr = 0;
    int opt = 0;
    while ((opt = getopt_long(argc, argv, ":s:f:F:t:p:qln:i:h", longOptions, nullptr)) != -1) {
        switch (opt) {
        case 's': readSize(optarg, settings); break;
        case 'f':
            settings.format = readFormat("-f", optarg);
            settings.formatGiven = true;
            break;
        case 'F':
            settings.actualFormat = readFormat("-F", optarg);
            settings.actualFormatGiven = true;
            break;
        case 't': {
            const int64_t tolerance = readDecimal(optarg, 0, 65535);
            if (tolerance < 0) {
                failUsage(std::string("-t ") + optarg, "not a tolerance from 0 to 65535");
            }
            settings.tolerance = static_cast<int32_t>(tolerance);
            settings.toleranceGiven = true;
            break;
        }
        case 'p': settings.floor = readFloor(optarg); break;
        case 'q': settings.quiet = true; break;
        case 'l': settings.listSamples = true; break;
        case 'n':
            settings.stopAfter = readDecimal(optarg, 1, INT64_MAX);
            if (settings.stopAfter < 0) {
                failUsage(std::string("-n ") + optarg, "not a count from 1");
            }
            break;
        case 'i': settings.picturePath = optarg; break;
        case 'S': readSkip(optarg, settings); break;
        case 'A':
            settings.alignMax = readDecimal(optarg, 0, highestAlign);
            if (settings.alignMax < 0) {
                failUsage(std::string("--align=") + optarg, "not a frame count from 0 to 1000");
            }
            break;
        case 'C': settings.csvPath = optarg; break;
        case 'J': settings.jsonPath = optarg; break;
        case 'G': settings.plotPath = optarg; break;
        case 'M': settings.ssim = true; break;
        case 'N':
            settings.ssimMin = readSsimMin(optarg);
            settings.ssim = true;
            break;
        case 'P':
            settings.pictureFrame = readDecimal(optarg, 0, INT64_MAX / 4);
            if (settings.pictureFrame < 0) {
                failUsage(std::string("--picture-frame=") + optarg, "not a frame number from 0");
            }
            break;
        case 'h': answer(usageText);
        case 'V': answer("framecmp (yuvtools) " YUVTOOLS_VERSION "\n");
        case ':': failUsage(argv[optind - 1], "needs a value");
        default: failUsage(optopt != 0 ? std::string("-") + char(optopt) : argv[optind - 1], "unknown option");
        }
    }
    if (argc - optind != 2) {
        failUsage("arguments", "two files, EXPECTED and ACTUAL, are needed");
    }
    if (settings.pictureFrame >= 0 && settings.picturePath == nullptr) {
        failUsage("--picture-frame", "draws the picture of -i, which is not given");
    }
    settings.expectedPath = argv[optind];
    settings.actualPath = argv[optind + 1];
    if (settings.quiet && settings.listSamples) {
        failUsage("-q -l", "-q prints nothing and -l lists every failing sample; give one");
    }
    checkReports(settings);
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

static Coding codingOf(const Format& format)
{
    const uint32_t valueMask = (uint32_t{1} << format.depth) - 1;
    if (format.depth == lowestDepth) {
        return Coding{0, valueMask, 0, format.depth};
    }
    const auto spare = static_cast<uint32_t>(highestDepth - format.depth);
    if (format.msbAligned) {
        return Coding{spare, valueMask, (uint32_t{1} << spare) - 1, format.depth};
    }
    return Coding{0, valueMask, 0xffffU & ~valueMask, format.depth};
}

// The two layouts and codings. ACTUAL's format, when -F gives one, must have EXPECTED's
// sampling and depth: then its planes are the same and so is its frame size.
static Geometry makeGeometry(const Settings& settings)
{
    const Format& actualFormat = settings.actualFormatGiven ? settings.actualFormat : settings.format;
    if (actualFormat.layout->sampling != settings.format.layout->sampling ||
        actualFormat.depth != settings.format.depth) {
        fail("-F " + formatName(actualFormat),
             "ACTUAL's format must have the sampling and depth of EXPECTED's, " + formatName(settings.format));
    }
    const FrameLayout expected = makeFrameLayout(settings.format, settings.width, settings.height);
    const FrameLayout actual = makeFrameLayout(actualFormat, settings.width, settings.height);
    const bool sameFormat =
        actualFormat.layout == settings.format.layout && actualFormat.msbAligned == settings.format.msbAligned;
    return Geometry{expected, actual, codingOf(settings.format), codingOf(actualFormat), sameFormat};
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

// Two names of one stream that cannot seek (`- /dev/stdin` on a pipe) would each take part
// of it. Two names of one regular file, or of a device that seeks, read alike.
static void refuseOneStream(const Settings& settings, const Input inputs[2])
{
    if (inputs[0].fd == inputs[1].fd) {
        failUsage("arguments", "standard input can be only one of the two files");
    }
    struct stat first {};
    struct stat second {};
    if (fstat(inputs[0].fd, &first) != 0 || fstat(inputs[1].fd, &second) != 0 || first.st_dev != second.st_dev ||
        first.st_ino != second.st_ino || S_ISREG(first.st_mode) || lseek(inputs[0].fd, 0, SEEK_CUR) >= 0) {
        return;
    }
    fail("arguments", std::string(settings.expectedPath) + " and " + settings.actualPath + " are one stream");
}

// Reads until `length` bytes are in or the input ends; returns the bytes read. A file that
// can seek may be read at `offset` instead of where it stands (pread), when that is 0 or more.
static size_t readUpTo(const Input& input, uint8_t* data, size_t length, off_t offset = -1)
{
    size_t got = 0;
    while (got < length) {
        const ssize_t n = offset < 0 ? read(input.fd, data + got, length - got)
                                     : pread(input.fd, data + got, length - got, offset + static_cast<off_t>(got));
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
        failAllocation(size);
    }
    return block;
}

static uint8_t*& frameOf(Buffers& buffers, int side)
{
    return side == 0 ? buffers.expected : buffers.actual;
}

// Makes room for `length` bytes in the frame buffer of a side, doubling it at least, never
// past a frame and one byte.
static uint8_t* frameRoom(Buffers& buffers, int side, size_t length, size_t frameSize)
{
    uint8_t*& frame = frameOf(buffers, side);
    size_t& capacity = buffers.capacity[side];
    if (length > capacity) {
        const size_t grown = std::min(std::max(length, 2 * capacity), frameSize + 1);
        void* block = std::realloc(frame, grown);
        if (block == nullptr) {
            failAllocation(grown);
        }
        frame = static_cast<uint8_t*>(block);
        capacity = grown;
    }
    return frame;
}

// Reads up to a frame of a file into the buffer of its side, which grows as the bytes come;
// returns the bytes read.
static size_t readFrame(const Input& input, Buffers& buffers, int side, size_t frameSize)
{
    size_t got = 0;
    for (;;) {
        const size_t room = std::min(buffers.capacity[side], frameSize);
        got += readUpTo(input, frameOf(buffers, side) + got, room - got);
        if (got < room || got == frameSize) {
            return got;
        }
        frameRoom(buffers, side, got + 1, frameSize);
    }
}

// Reads past the first `count` frames, or to the end when there are fewer.
static void skipFrames(const Input& input, Buffers& buffers, int side, size_t frameSize, int64_t count)
{
    for (int64_t i = 0; i < count; ++i) {
        if (readFrame(input, buffers, side, frameSize) < frameSize) {
            return;
        }
    }
}

// The first block of each frame buffer: a whole frame only when it is small.
constexpr size_t firstFrameBlock = 65536;

static Buffers allocateBuffers(const FrameLayout& layout)
{
    const size_t rowLength = std::min(static_cast<size_t>(layout.width), kernelSpan) * layout.sampleBytes;
    const size_t first = std::min(layout.frameSize + 1, firstFrameBlock);
    return Buffers{allocate(first), allocate(first), allocate(rowLength), allocate(rowLength), {first, first}};
}

static void releaseBuffers(const Buffers& buffers)
{
    std::free(buffers.expected);
    std::free(buffers.actual);
    std::free(buffers.expectedRow);
    std::free(buffers.actualRow);
}

// No file written may be one of the files compared: writing it would destroy that file.
static void refuseOutputsOverInputs(const Settings& settings)
{
    for (const char* output : {settings.picturePath, settings.csvPath, settings.jsonPath, settings.plotPath}) {
        struct stat written {};
        if (output == nullptr || isStandardOutput(output) || stat(output, &written) != 0) {
            continue;
        }
        for (const char* path : {settings.expectedPath, settings.actualPath}) {
            // Standard input is known by its descriptor: `-i a.yuv - b.yuv < a.yuv`.
            struct stat input {};
            const int known = std::strcmp(path, "-") == 0 ? fstat(STDIN_FILENO, &input) : stat(path, &input);
            if (known == 0 && input.st_dev == written.st_dev && input.st_ino == written.st_ino) {
                fail(output, "is one of the files compared; not overwritten");
            }
        }
    }
}

// What an output writes to: the device and inode of a file that exists, else the resolved
// directory and the name its links lead to. Character devices (/dev/null) take any number.
struct OutputIdentity {
    bool exists;
    bool shared;
    dev_t device;
    ino_t inode;
    std::string name;
};

static OutputIdentity outputIdentity(const char* path, bool standardOutput)
{
    struct stat known {};
    if (standardOutput ? fstat(STDOUT_FILENO, &known) == 0 : stat(path, &known) == 0) {
        return OutputIdentity{true, S_ISCHR(known.st_mode), known.st_dev, known.st_ino, ""};
    }
    const std::string target = outputTarget(path);
    const size_t slash = target.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    char* resolved = realpath(directory.c_str(), nullptr);
    const std::string name = resolved == nullptr ? target : std::string(resolved) + "/" + target.substr(slash + 1);
    std::free(resolved);
    return OutputIdentity{false, false, 0, 0, name};
}

static bool sameOutput(const OutputIdentity& a, const OutputIdentity& b)
{
    if (a.exists != b.exists || a.shared || b.shared) {
        return false;
    }
    return a.exists ? a.device == b.device && a.inode == b.inode : a.name == b.name;
}

// No two outputs aimed at one file, where one would silently replace the other; and none
// that cannot be written. Both are said before anything is written.
static void checkOutputs(const Settings& settings)
{
    const char* options[4] = {"-i", "--csv", "--json", "--plot"};
    const char* paths[4] = {settings.picturePath, settings.csvPath, settings.jsonPath, settings.plotPath};
    OutputIdentity identities[4];
    for (int i = 0; i < 4; ++i) {
        if (paths[i] == nullptr) {
            continue;
        }
        // "-" is standard output for a report, a file of that name for the picture.
        const bool standardOutput = i != 0 && isStandardOutput(paths[i]);
        identities[i] = outputIdentity(paths[i], standardOutput);
        // The text report on standard output would be lost under a file put in its place.
        if (!settings.quiet && !standardOutput && sameOutput(outputIdentity("-", true), identities[i])) {
            fail(std::string(options[i]) + " " + paths[i], "same file as standard output");
        }
        for (int j = 0; j < i; ++j) {
            if (paths[j] != nullptr && sameOutput(identities[j], identities[i])) {
                fail(std::string(options[i]) + " " + paths[i],
                     std::string("same file as ") + options[j] + " " + paths[j]);
            }
        }
    }
    for (int i = 0; i < 4; ++i) {
        if (paths[i] != nullptr && (i == 0 || !isStandardOutput(paths[i]))) {
            checkWritable(paths[i]);
        }
    }
}

// ---- Samples ----

static uint32_t containerAt(const uint8_t* row, size_t i, size_t sampleBytes)
{
    if (sampleBytes == 1) {
        return row[i];
    }
    return uint32_t{row[2 * i]} | uint32_t{row[2 * i + 1]} << 8U;
}

static int32_t valueOf(uint32_t container, const Coding& coding)
{
    return static_cast<int32_t>((container >> coding.shift) & coding.valueMask);
}

static bool paddingSet(uint32_t container, const Coding& coding)
{
    return (container & coding.paddingMask) != 0;
}

static bool sampleFails(uint32_t expected, uint32_t actual, const Coding codings[2], int32_t tolerance)
{
    const int32_t difference = valueOf(expected, codings[0]) - valueOf(actual, codings[1]);
    return std::abs(difference) > tolerance || paddingSet(expected, codings[0]) || paddingSet(actual, codings[1]);
}

// ---- Row kernels ----

// The plain kernel of 8-bit samples: failing samples (differing by more than `tolerance`),
// largest difference and sum of squares of at most kernelSpan pairs.
static RowTally compareRow8Plain(const uint8_t* expected, const uint8_t* actual, size_t length, int32_t tolerance)
{
    uint32_t failing = 0;
    uint32_t sumOfSquares = 0;
    int32_t largest = 0;
    for (size_t i = 0; i < length; ++i) {
        const int32_t difference = int32_t{expected[i]} - int32_t{actual[i]};
        const int32_t magnitude = difference < 0 ? -difference : difference;
        failing += magnitude > tolerance ? 1U : 0U;
        sumOfSquares += static_cast<uint32_t>(magnitude * magnitude);
        largest = magnitude > largest ? magnitude : largest;
    }
    return RowTally{failing, 0, sumOfSquares, largest};
}

// The fast kernel of 8-bit samples, 16 pairs a step, the tail by the plain one. Per step:
// the absolute differences as bytes, their maximum, those within the tolerance counted by
// a sum of absolute differences, and the squares summed in pairs of 16-bit products. Over
// kernelSpan pairs a 32-bit lane of the sum takes at most 16384 squares of 65025.
static RowTally compareRow8(const uint8_t* expected, const uint8_t* actual, size_t length, int32_t tolerance)
{
    size_t i = 0;
    RowTally tally{0, 0, 0, 0};
#ifdef FRAMECMP_SSE2
    const __m128i zero = _mm_setzero_si128();
    const __m128i one = _mm_set1_epi8(1);
    const __m128i allowed = _mm_set1_epi8(static_cast<char>(std::min(tolerance, 255)));
    __m128i largest = zero;
    __m128i within = zero;
    __m128i squares = zero;
    for (; i + 16 <= length; i += 16) {
        const __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(expected + i));
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(actual + i));
        const __m128i magnitude = _mm_or_si128(_mm_subs_epu8(e, a), _mm_subs_epu8(a, e));
        largest = _mm_max_epu8(largest, magnitude);
        const __m128i passes = _mm_cmpeq_epi8(_mm_subs_epu8(magnitude, allowed), zero);
        within = _mm_add_epi64(within, _mm_sad_epu8(_mm_and_si128(passes, one), zero));
        const __m128i low = _mm_unpacklo_epi8(magnitude, zero);
        const __m128i high = _mm_unpackhi_epi8(magnitude, zero);
        squares = _mm_add_epi32(squares, _mm_add_epi32(_mm_madd_epi16(low, low), _mm_madd_epi16(high, high)));
    }
    alignas(16) uint8_t largestBytes[16];
    alignas(16) uint64_t withinLanes[2];
    alignas(16) uint32_t squareLanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(largestBytes), largest);
    _mm_store_si128(reinterpret_cast<__m128i*>(withinLanes), within);
    _mm_store_si128(reinterpret_cast<__m128i*>(squareLanes), squares);
    tally.failing = static_cast<uint32_t>(i - (withinLanes[0] + withinLanes[1]));
    tally.sumOfSquares = uint64_t{squareLanes[0]} + squareLanes[1] + squareLanes[2] + squareLanes[3];
    for (const uint8_t byte : largestBytes) {
        tally.largest = std::max<int32_t>(tally.largest, byte);
    }
#endif
    const RowTally tail = compareRow8Plain(expected + i, actual + i, length - i, tolerance);
    return RowTally{tally.failing + tail.failing, 0, tally.sumOfSquares + tail.sumOfSquares,
                    std::max(tally.largest, tail.largest)};
}

// The plain kernel of samples in 16-bit containers, each file read by its coding: failing
// samples (beyond the tolerance or with padding set), those with padding set, largest
// difference and sum of squares of the values.
static RowTally compareRow16Plain(const uint8_t* expected, const uint8_t* actual, size_t length,
                                  const Coding codings[2], int32_t tolerance)
{
    RowTally tally{0, 0, 0, 0};
    for (size_t i = 0; i < length; ++i) {
        const uint32_t e = containerAt(expected, i, 2);
        const uint32_t a = containerAt(actual, i, 2);
        const int32_t magnitude = std::abs(valueOf(e, codings[0]) - valueOf(a, codings[1]));
        const bool padded = paddingSet(e, codings[0]) || paddingSet(a, codings[1]);
        tally.failing += magnitude > tolerance || padded ? 1U : 0U;
        tally.padded += padded ? 1U : 0U;
        tally.sumOfSquares += static_cast<uint64_t>(magnitude) * static_cast<uint64_t>(magnitude);
        tally.largest = std::max(tally.largest, magnitude);
    }
    return tally;
}

#ifdef FRAMECMP_SSE2
// Adds the eight 32-bit squares of the 16-bit magnitudes m to the two 64-bit lanes of sum.
static __m128i addSquares16(__m128i sum, __m128i m)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i low = _mm_mullo_epi16(m, m);
    const __m128i high = _mm_mulhi_epu16(m, m);
    const __m128i first = _mm_unpacklo_epi16(low, high);
    const __m128i second = _mm_unpackhi_epi16(low, high);
    sum = _mm_add_epi64(sum, _mm_unpacklo_epi32(first, zero));
    sum = _mm_add_epi64(sum, _mm_unpackhi_epi32(first, zero));
    sum = _mm_add_epi64(sum, _mm_unpacklo_epi32(second, zero));
    return _mm_add_epi64(sum, _mm_unpackhi_epi32(second, zero));
}

static uint32_t sumLanes16(__m128i lanes)
{
    alignas(16) uint16_t values[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(values), lanes);
    uint32_t sum = 0;
    for (const uint16_t value : values) {
        sum += value;
    }
    return sum;
}
#endif

// The fast kernel of 16-bit containers, 8 pairs a step, the tail by the plain one. Per step:
// the values shifted and masked, the padding of both, the absolute differences and their
// maximum (by saturating subtraction: SSE2 has no unsigned 16-bit maximum), passing and
// padded samples counted in 16-bit lanes (at most kernelSpan / 8 each), and full 32-bit
// squares summed in 64 bits.
static RowTally compareRow16(const uint8_t* expected, const uint8_t* actual, size_t length, const Coding codings[2],
                             int32_t tolerance)
{
    size_t i = 0;
    RowTally tally{0, 0, 0, 0};
#ifdef FRAMECMP_SSE2
    const __m128i zero = _mm_setzero_si128();
    const __m128i one = _mm_set1_epi16(1);
    const __m128i shiftExpected = _mm_cvtsi32_si128(static_cast<int>(codings[0].shift));
    const __m128i shiftActual = _mm_cvtsi32_si128(static_cast<int>(codings[1].shift));
    const __m128i valueExpected = _mm_set1_epi16(static_cast<int16_t>(codings[0].valueMask));
    const __m128i valueActual = _mm_set1_epi16(static_cast<int16_t>(codings[1].valueMask));
    const __m128i paddingExpected = _mm_set1_epi16(static_cast<int16_t>(codings[0].paddingMask));
    const __m128i paddingActual = _mm_set1_epi16(static_cast<int16_t>(codings[1].paddingMask));
    const __m128i allowed = _mm_set1_epi16(static_cast<int16_t>(tolerance));
    __m128i largest = zero;
    __m128i passing = zero;
    __m128i padded = zero;
    __m128i squares = zero;
    for (; i + 8 <= length; i += 8) {
        const __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(expected + 2 * i));
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(actual + 2 * i));
        const __m128i padding = _mm_or_si128(_mm_and_si128(e, paddingExpected), _mm_and_si128(a, paddingActual));
        const __m128i clean = _mm_cmpeq_epi16(padding, zero);
        const __m128i ve = _mm_and_si128(_mm_srl_epi16(e, shiftExpected), valueExpected);
        const __m128i va = _mm_and_si128(_mm_srl_epi16(a, shiftActual), valueActual);
        const __m128i magnitude = _mm_or_si128(_mm_subs_epu16(ve, va), _mm_subs_epu16(va, ve));
        largest = _mm_add_epi16(_mm_subs_epu16(magnitude, largest), largest);
        const __m128i within = _mm_cmpeq_epi16(_mm_subs_epu16(magnitude, allowed), zero);
        passing = _mm_sub_epi16(passing, _mm_and_si128(within, clean));
        padded = _mm_add_epi16(padded, _mm_andnot_si128(clean, one));
        squares = addSquares16(squares, magnitude);
    }
    alignas(16) uint16_t largestLanes[8];
    alignas(16) uint64_t squareLanes[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(largestLanes), largest);
    _mm_store_si128(reinterpret_cast<__m128i*>(squareLanes), squares);
    tally.failing = static_cast<uint32_t>(i) - sumLanes16(passing);
    tally.padded = sumLanes16(padded);
    tally.sumOfSquares = squareLanes[0] + squareLanes[1];
    for (const uint16_t lane : largestLanes) {
        tally.largest = std::max<int32_t>(tally.largest, lane);
    }
#endif
    const RowTally tail = compareRow16Plain(expected + 2 * i, actual + 2 * i, length - i, codings, tolerance);
    return RowTally{tally.failing + tail.failing, tally.padded + tail.padded, tally.sumOfSquares + tail.sumOfSquares,
                    std::max(tally.largest, tail.largest)};
}

// Whether any 16-bit container of a frame has a bit of `mask` set.
static bool framePadded(const uint8_t* frame, size_t size, uint32_t mask)
{
    size_t i = 0;
    uint32_t seen = 0;
#ifdef FRAMECMP_SSE2
    __m128i any = _mm_setzero_si128();
    for (; i + 16 <= size; i += 16) {
        any = _mm_or_si128(any, _mm_loadu_si128(reinterpret_cast<const __m128i*>(frame + i)));
    }
    alignas(16) uint16_t lanes[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), any);
    for (const uint16_t lane : lanes) {
        seen |= lane;
    }
#endif
    for (; i + 2 <= size; i += 2) {
        seen |= containerAt(frame + i, 0, 2);
    }
    return (seen & mask) != 0;
}

// ---- Comparison ----

// Copies every step-th sample side by side, so the row kernels see one plane only.
static void gatherRow(const uint8_t* from, size_t step, size_t sampleBytes, size_t length, uint8_t* to)
{
    if (sampleBytes == 1) {
        for (size_t i = 0; i < length; ++i) {
            to[i] = from[i * step];
        }
        return;
    }
    for (size_t i = 0; i < length; ++i) {
        std::memcpy(to + 2 * i, from + i * step, 2);
    }
}

static size_t sampleOffset(const Plane& plane, int32_t x, int32_t y)
{
    return plane.offset + static_cast<size_t>(y) * plane.rowStride + static_cast<size_t>(x) * plane.step;
}

// A sample as the report shows it: its value in hexadecimal with the digits its depth needs,
// or, with padding set, its whole container in four.
static std::string sampleText(uint32_t container, const Coding& coding)
{
    char text[16];
    if (paddingSet(container, coding)) {
        std::snprintf(text, sizeof text, "%04x", container);
    } else {
        std::snprintf(text, sizeof text, "%0*x", (coding.depth + 3) / 4,
                      static_cast<unsigned>(valueOf(container, coding)));
    }
    return text;
}

// Notes the first failing sample of a piece of row, and lists every one when asked.
static void noteSamples(const Plane& plane, const Geometry& geometry, const Settings& settings, int64_t frame,
                        int32_t y, int32_t from, const uint8_t* expected, const uint8_t* actual, size_t length,
                        PlaneTally& tally)
{
    const Coding codings[2] = {geometry.expectedCoding, geometry.actualCoding};
    const size_t bytes = geometry.expected.sampleBytes;
    for (size_t i = 0; i < length; ++i) {
        const uint32_t e = containerAt(expected, i, bytes);
        const uint32_t a = containerAt(actual, i, bytes);
        if (!sampleFails(e, a, codings, settings.tolerance)) {
            continue;
        }
        const int32_t x = from + static_cast<int32_t>(i);
        if (tally.firstX < 0) {
            tally.firstX = x;
            tally.firstY = y;
            tally.firstExpected = e;
            tally.firstActual = a;
        }
        if (!settings.listSamples) {
            return;
        }
        say(std::to_string(frame) + " " + plane.name + " " + std::to_string(x) + " " + std::to_string(y) + " " +
            sampleText(e, codings[0]) + " " + sampleText(a, codings[1]) + "\n");
    }
}

// The plane loop: every row in pieces the row kernels take, each file's samples from where
// its layout puts them.
static PlaneTally comparePlane(int planeIndex, const Geometry& geometry, const Settings& settings,
                               const uint8_t* expectedFrame, const uint8_t* actualFrame, const Buffers& buffers,
                               int64_t frame)
{
    const Plane& expectedPlane = geometry.expected.planes[planeIndex];
    const Plane& actualPlane = geometry.actual.planes[planeIndex];
    const size_t bytes = geometry.expected.sampleBytes;
    const Coding codings[2] = {geometry.expectedCoding, geometry.actualCoding};
    PlaneTally tally{0, 0, 0, 0, -1, -1, 0, 0};
    for (int32_t y = 0; y < expectedPlane.height; ++y) {
        for (size_t x = 0; x < static_cast<size_t>(expectedPlane.width); x += kernelSpan) {
            const size_t length = std::min(static_cast<size_t>(expectedPlane.width) - x, kernelSpan);
            const uint8_t* expected = expectedFrame + sampleOffset(expectedPlane, static_cast<int32_t>(x), y);
            const uint8_t* actual = actualFrame + sampleOffset(actualPlane, static_cast<int32_t>(x), y);
            if (expectedPlane.step != bytes) {
                gatherRow(expected, expectedPlane.step, bytes, length, buffers.expectedRow);
                expected = buffers.expectedRow;
            }
            if (actualPlane.step != bytes) {
                gatherRow(actual, actualPlane.step, bytes, length, buffers.actualRow);
                actual = buffers.actualRow;
            }
            const RowTally row = bytes == 1 ? compareRow8(expected, actual, length, settings.tolerance)
                                            : compareRow16(expected, actual, length, codings, settings.tolerance);
            tally.failing += row.failing;
            tally.padded += row.padded;
            tally.sumOfSquares += row.sumOfSquares;
            tally.largest = std::max(tally.largest, row.largest);
            if (row.failing != 0 && (tally.firstX < 0 || settings.listSamples)) {
                noteSamples(expectedPlane, geometry, settings, frame, y, static_cast<int32_t>(x), expected, actual,
                            length, tally);
            }
        }
    }
    return tally;
}

static double meanSquare(const PlaneTally& tally, const Plane& plane)
{
    return double(tally.sumOfSquares) / (double(plane.width) * double(plane.height));
}

// 10 log10(peak^2 / MSE), the peak that of the depth, as ffmpeg's psnr filter takes it;
// infinite for an MSE of 0.
static double psnrOf(double mse, int32_t depth)
{
    const double peak = std::ldexp(1.0, depth) - 1;
    return mse == 0 ? HUGE_VAL : 10.0 * std::log10(peak * peak / mse);
}

// The PSNR with two decimals, "inf" for an MSE of 0.
static std::string psnrText(double mse, int32_t depth)
{
    if (mse == 0) {
        return "inf";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", psnrOf(mse, depth));
    return text;
}

// Whether a PSNR, as printed, is below the floor (in hundredths).
static bool belowFloor(const std::string& psnr, int64_t floor)
{
    return floor >= 0 && psnr != "inf" && std::llround(std::strtod(psnr.c_str(), nullptr) * 100) < floor;
}

static std::string floorText(int64_t floor)
{
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%02lld", static_cast<long long>(floor / 100),
                  static_cast<long long>(floor % 100));
    return text;
}

// Where the padding of the first failing sample is set, or nothing when it is not.
static std::string paddingNote(const PlaneTally& tally, const Geometry& geometry)
{
    const bool inExpected = paddingSet(tally.firstExpected, geometry.expectedCoding);
    const bool inActual = paddingSet(tally.firstActual, geometry.actualCoding);
    if (!inExpected && !inActual) {
        return "";
    }
    return std::string(", padding in ") + (inExpected && inActual ? "both" : inExpected ? "EXPECTED" : "ACTUAL");
}

// "Y 128 differ, first at 96,64 expected 54 actual 4e, max 6, 55.53 dB", with -t
// "Y 12 beyond 1, ...", and ", PSNR below 38.00" for a plane under the floor.
static std::string planeReport(const Plane& plane, const PlaneTally& tally, const std::string& psnr,
                               const Geometry& geometry, const Settings& settings)
{
    std::string text = std::string(1, plane.name) + " " + std::to_string(tally.failing) +
                       (settings.toleranceGiven ? " beyond " + std::to_string(settings.tolerance) : " differ");
    if (tally.firstX >= 0) {
        text += ", first at " + std::to_string(tally.firstX) + "," + std::to_string(tally.firstY) + " expected " +
                sampleText(tally.firstExpected, geometry.expectedCoding) + " actual " +
                sampleText(tally.firstActual, geometry.actualCoding) + paddingNote(tally, geometry);
    }
    if (tally.largest != 0) {
        text += ", max " + std::to_string(tally.largest);
    }
    text += ", " + psnr + " dB";
    if (belowFloor(psnr, settings.floor)) {
        text += ", PSNR below " + floorText(settings.floor);
    }
    return text;
}

// ---- SSIM ----

// As ffmpeg's ssim filter (x264's method): sums over 4x4 blocks on a 4-pixel grid, SSIM
// of every 8x8 window of 2x2 blocks, the mean over the windows. Its constants are those of
// the depth's peak.

// The plain kernel: the sums of `blocks` 4x4 blocks side by side, of 8-bit samples or of
// values above 8 bits.
template <typename Sample>
static void blockSumsPlain(const Sample* a, size_t strideA, const Sample* b, size_t strideB, size_t blocks,
                           BlockSums* sums)
{
    for (size_t z = 0; z < blocks; ++z) {
        BlockSums block{0, 0, 0, 0};
        for (size_t y = 0; y < ssimBlock; ++y) {
            for (size_t x = 0; x < ssimBlock; ++x) {
                const int64_t va = a[y * strideA + ssimBlock * z + x];
                const int64_t vb = b[y * strideB + ssimBlock * z + x];
                block.s1 += va;
                block.s2 += vb;
                block.ss += va * va + vb * vb;
                block.s12 += va * vb;
            }
        }
        sums[z] = block;
    }
}

#ifdef FRAMECMP_SSE2
// Adds each pair of 32-bit lanes: the sums of blocks 0 and 1 in the low half, from lanes
// 0+1 and 2+3 of `low`, and of blocks 2 and 3 in the high half, from `high`.
static __m128i pairSums(__m128i low, __m128i high)
{
    const __m128i l = _mm_shuffle_epi32(_mm_add_epi32(low, _mm_srli_epi64(low, 32)), _MM_SHUFFLE(3, 1, 2, 0));
    const __m128i h = _mm_shuffle_epi32(_mm_add_epi32(high, _mm_srli_epi64(high, 32)), _MM_SHUFFLE(3, 1, 2, 0));
    return _mm_unpacklo_epi64(l, h);
}
#endif

// The fast kernel of 8-bit samples, 4 blocks (16 columns) a step, the tail by the plain
// one. Per row: the samples widened to 16 bits and added (4 rows of 255 fit), squares and
// products added in pairs by madd (32 bits hold a block's 16 of them), then pairs of pairs
// added and the four sums of each block turned into one vector, written out as 64 bits.
static void blockSums8(const uint8_t* a, size_t strideA, const uint8_t* b, size_t strideB, size_t blocks,
                       BlockSums* sums)
{
    size_t z = 0;
#ifdef FRAMECMP_SSE2
    const __m128i zero = _mm_setzero_si128();
    const __m128i ones = _mm_set1_epi16(1);
    for (; z + 4 <= blocks; z += 4) {
        __m128i s1[2] = {zero, zero};
        __m128i s2[2] = {zero, zero};
        __m128i ss[2] = {zero, zero};
        __m128i s12[2] = {zero, zero};
        for (size_t y = 0; y < ssimBlock; ++y) {
            const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + y * strideA + ssimBlock * z));
            const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + y * strideB + ssimBlock * z));
            const __m128i wa[2] = {_mm_unpacklo_epi8(va, zero), _mm_unpackhi_epi8(va, zero)};
            const __m128i wb[2] = {_mm_unpacklo_epi8(vb, zero), _mm_unpackhi_epi8(vb, zero)};
            for (size_t h = 0; h < 2; ++h) {
                s1[h] = _mm_add_epi16(s1[h], wa[h]);
                s2[h] = _mm_add_epi16(s2[h], wb[h]);
                ss[h] = _mm_add_epi32(ss[h], _mm_add_epi32(_mm_madd_epi16(wa[h], wa[h]), _mm_madd_epi16(wb[h], wb[h])));
                s12[h] = _mm_add_epi32(s12[h], _mm_madd_epi16(wa[h], wb[h]));
            }
        }
        const __m128i t1 = pairSums(_mm_madd_epi16(s1[0], ones), _mm_madd_epi16(s1[1], ones));
        const __m128i t2 = pairSums(_mm_madd_epi16(s2[0], ones), _mm_madd_epi16(s2[1], ones));
        const __m128i tss = pairSums(ss[0], ss[1]);
        const __m128i t12 = pairSums(s12[0], s12[1]);
        // Transposed: one vector of s1, s2, ss, s12 a block; all are positive, so the
        // 64-bit values are the 32-bit ones with zeros above.
        const __m128i a01 = _mm_unpacklo_epi32(t1, t2);
        const __m128i a23 = _mm_unpackhi_epi32(t1, t2);
        const __m128i b01 = _mm_unpacklo_epi32(tss, t12);
        const __m128i b23 = _mm_unpackhi_epi32(tss, t12);
        const __m128i block[4] = {_mm_unpacklo_epi64(a01, b01), _mm_unpackhi_epi64(a01, b01),
                                  _mm_unpacklo_epi64(a23, b23), _mm_unpackhi_epi64(a23, b23)};
        for (size_t k = 0; k < 4; ++k) {
            auto* out = reinterpret_cast<__m128i*>(sums + z + k);
            _mm_storeu_si128(out, _mm_unpacklo_epi32(block[k], zero));
            _mm_storeu_si128(out + 1, _mm_unpackhi_epi32(block[k], zero));
        }
    }
#endif
    blockSumsPlain(a + ssimBlock * z, strideA, b + ssimBlock * z, strideB, blocks - z, sums + z);
}

// The block sums of block row `z` of a plane: straight from the frames when the samples are
// bytes side by side, else from four gathered rows of values.
static void blockRowSums(int planeIndex, const Geometry& geometry, const uint8_t* expectedFrame,
                         const uint8_t* actualFrame, int32_t z, SsimBuffers& ssim, BlockSums* sums)
{
    const Plane& expectedPlane = geometry.expected.planes[planeIndex];
    const Plane& actualPlane = geometry.actual.planes[planeIndex];
    const size_t blocks = static_cast<size_t>(expectedPlane.width / ssimBlock);
    const size_t width = blocks * ssimBlock;
    const size_t bytes = geometry.expected.sampleBytes;
    const uint8_t* expected = expectedFrame + sampleOffset(expectedPlane, 0, z * ssimBlock);
    const uint8_t* actual = actualFrame + sampleOffset(actualPlane, 0, z * ssimBlock);
    if (bytes == 1 && expectedPlane.step == 1 && actualPlane.step == 1) {
        blockSums8(expected, expectedPlane.rowStride, actual, actualPlane.rowStride, blocks, sums);
        return;
    }
    if (bytes == 1) {
        for (size_t y = 0; y < ssimBlock; ++y) {
            gatherRow(expected + y * expectedPlane.rowStride, expectedPlane.step, 1, width,
                      ssim.bytes[0].data() + y * width);
            gatherRow(actual + y * actualPlane.rowStride, actualPlane.step, 1, width, ssim.bytes[1].data() + y * width);
        }
        blockSums8(ssim.bytes[0].data(), width, ssim.bytes[1].data(), width, blocks, sums);
        return;
    }
    for (size_t y = 0; y < ssimBlock; ++y) {
        for (size_t x = 0; x < width; ++x) {
            const uint32_t e = containerAt(expected + y * expectedPlane.rowStride + x * expectedPlane.step, 0, 2);
            const uint32_t a = containerAt(actual + y * actualPlane.rowStride + x * actualPlane.step, 0, 2);
            ssim.values[0][y * width + x] = static_cast<uint16_t>(valueOf(e, geometry.expectedCoding));
            ssim.values[1][y * width + x] = static_cast<uint16_t>(valueOf(a, geometry.actualCoding));
        }
    }
    blockSumsPlain(ssim.values[0].data(), width, ssim.values[1].data(), width, blocks, sums);
}

// The SSIM of one 8x8 window from its sums, with x264's constants scaled to the peak.
static double windowSsim(const BlockSums& w, int64_t c1, int64_t c2)
{
    const int64_t vars = w.ss * 64 - w.s1 * w.s1 - w.s2 * w.s2;
    const int64_t covar = w.s12 * 64 - w.s1 * w.s2;
    return double(2 * w.s1 * w.s2 + c1) * double(2 * covar + c2) /
           (double(w.s1 * w.s1 + w.s2 * w.s2 + c1) * double(vars + c2));
}

// The sum of the SSIM of the windows of two rows of blocks.
static double rowSsim(const BlockSums* above, const BlockSums* below, size_t blocks, int64_t c1, int64_t c2)
{
    double sum = 0;
    for (size_t x = 0; x + 1 < blocks; ++x) {
        const BlockSums w{above[x].s1 + above[x + 1].s1 + below[x].s1 + below[x + 1].s1,
                          above[x].s2 + above[x + 1].s2 + below[x].s2 + below[x + 1].s2,
                          above[x].ss + above[x + 1].ss + below[x].ss + below[x + 1].ss,
                          above[x].s12 + above[x + 1].s12 + below[x].s12 + below[x + 1].s12};
        sum += windowSsim(w, c1, c2);
    }
    return sum;
}

// A plane's SSIM, or NaN for a plane smaller than one 8x8 window.
static double planeSsim(int planeIndex, const Geometry& geometry, const uint8_t* expectedFrame,
                        const uint8_t* actualFrame, SsimBuffers& ssim)
{
    const Plane& plane = geometry.expected.planes[planeIndex];
    const int32_t blocksX = plane.width / ssimBlock;
    const int32_t blocksY = plane.height / ssimBlock;
    if (blocksX < 2 || blocksY < 2) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    const double peak = std::ldexp(1.0, geometry.expectedCoding.depth) - 1;
    const int64_t c1 = std::llround(.01 * .01 * peak * peak * 64);
    const int64_t c2 = std::llround(.03 * .03 * peak * peak * 64 * 63);
    const auto blocks = static_cast<size_t>(blocksX);
    double sum = 0;
    for (int32_t z = 0; z < blocksY; ++z) {
        BlockSums* row = ssim.sums[z % 2].data();
        blockRowSums(planeIndex, geometry, expectedFrame, actualFrame, z, ssim, row);
        if (z > 0) {
            sum += rowSsim(ssim.sums[(z + 1) % 2].data(), row, blocks, c1, c2);
        }
    }
    return sum / (double(blocksX - 1) * double(blocksY - 1));
}

static bool underSsimWindow(const Plane& plane)
{
    return plane.width < 2 * ssimBlock || plane.height < 2 * ssimBlock;
}

// The SSIM of a plane equal in both files: 1, or NaN when it is too small for a window.
static double equalPlaneSsim(const Plane& plane)
{
    return underSsimWindow(plane) ? std::numeric_limits<double>::quiet_NaN() : 1.0;
}

static SsimBuffers makeSsimBuffers(const FrameLayout& layout)
{
    const size_t width = static_cast<size_t>(layout.width) + ssimBlock;
    SsimBuffers ssim;
    for (size_t s = 0; s < 2; ++s) {
        ssim.sums[s].resize(width / ssimBlock + 1);
        ssim.bytes[s].resize(layout.sampleBytes == 1 ? ssimBlock * width : 0);
        ssim.values[s].resize(layout.sampleBytes == 2 ? ssimBlock * width : 0);
    }
    return ssim;
}

// Whether an SSIM, to six decimals, is below --ssim-min.
static bool belowSsimMin(double ssim, const Settings& settings)
{
    return settings.ssimMin >= 0 && !std::isnan(ssim) && std::llround(ssim * ssimUnits) < settings.ssimMin;
}

// ", SSIM 0.987654", and ", SSIM below 0.95" for a plane under --ssim-min; for a plane
// too small for SSIM, what judges it in its place under --ssim-min.
static std::string ssimReport(double ssim, const Settings& settings)
{
    if (!settings.ssim) {
        return "";
    }
    if (std::isnan(ssim)) {
        const std::string judged =
            settings.toleranceGiven ? ": judged by -t " + std::to_string(settings.tolerance) : ": judged exactly";
        return ", no SSIM (under 8x8)" + (settings.ssimMin >= 0 ? judged : std::string());
    }
    char text[64];
    std::snprintf(text, sizeof text, ", SSIM %.6f", ssim);
    std::string report = text;
    if (belowSsimMin(ssim, settings)) {
        std::snprintf(text, sizeof text, ", SSIM below %.6g", double(settings.ssimMin) / ssimUnits);
        report += text;
    }
    return report;
}

// ---- Picture ----

#ifdef FRAMECMP_HAVE_PNG

constexpr int32_t pictureGap = 4;
constexpr uint8_t gapGrey = 96;
constexpr uint8_t textWhite = 255;
// Failing pixels are outlined in red, or in cyan where the pixel is nearer red.
const uint8_t outlineRed[3] = {255, 0, 0};
const uint8_t outlineCyan[3] = {0, 255, 255};

// The zoom panel: a window of at most zoomCells x zoomCells pixels around the first failing
// sample, each drawn zoomFactor times the text scale across.
constexpr int32_t zoomCells = 32;
constexpr int32_t zoomFactor = 8;

// The labels' font: 5x7 cells, a row a byte, the leftmost pixel in bit 4; a character it
// does not hold is drawn blank.
constexpr int32_t glyphWidth = 5;
constexpr int32_t glyphHeight = 7;
constexpr int32_t glyphAdvance = glyphWidth + 1;
constexpr int32_t labelMargin = 2; // above and below the text, in text pixels

struct Glyph {
    char c;
    uint8_t rows[glyphHeight];
};

constexpr Glyph glyphs[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}}, {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}}, {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}}, {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}}, {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}}, {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'Y', {0x11, 0x11, 0x0A, 0x04, 0x04, 0x04, 0x04}}, {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}}, {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}},
    {',', {0x00, 0x00, 0x00, 0x00, 0x0C, 0x04, 0x08}}, {'a', {0x00, 0x00, 0x0E, 0x01, 0x0F, 0x11, 0x0F}},
    {'c', {0x00, 0x00, 0x0E, 0x10, 0x10, 0x11, 0x0E}}, {'d', {0x01, 0x01, 0x0D, 0x13, 0x11, 0x11, 0x0F}},
    {'e', {0x00, 0x00, 0x0E, 0x11, 0x1F, 0x10, 0x0E}}, {'f', {0x06, 0x09, 0x08, 0x1C, 0x08, 0x08, 0x08}},
    {'i', {0x04, 0x00, 0x0C, 0x04, 0x04, 0x04, 0x0E}}, {'l', {0x0C, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'m', {0x00, 0x00, 0x1A, 0x15, 0x15, 0x11, 0x11}}, {'n', {0x00, 0x00, 0x16, 0x19, 0x11, 0x11, 0x11}},
    {'o', {0x00, 0x00, 0x0E, 0x11, 0x11, 0x11, 0x0E}}, {'p', {0x00, 0x00, 0x1E, 0x11, 0x1E, 0x10, 0x10}},
    {'r', {0x00, 0x00, 0x16, 0x19, 0x10, 0x10, 0x10}}, {'s', {0x00, 0x00, 0x0E, 0x10, 0x0E, 0x01, 0x1E}},
    {'t', {0x08, 0x08, 0x1C, 0x08, 0x08, 0x09, 0x06}}, {'u', {0x00, 0x00, 0x11, 0x11, 0x11, 0x13, 0x0D}},
    {'x', {0x00, 0x00, 0x11, 0x0A, 0x04, 0x0A, 0x11}}, {'z', {0x00, 0x00, 0x1F, 0x02, 0x04, 0x08, 0x1F}},
};

// Where the picture's parts stand: four panels side by side under a band of labels (the
// three frames and the zoom), and the zoom's window on the frame.
struct PictureLayout {
    int32_t scale; // text pixels and zoom cells grow with it on tall frames
    int32_t band;  // rows of the labels
    int32_t zoom;  // picture pixels a zoomed pixel takes across
    int32_t windowX;
    int32_t windowY;
    int32_t windowWidth;
    int32_t windowHeight;
    int32_t centreX; // the pixel the zoom is centred on, -1 when no sample fails
    int32_t centreY;
    char centrePlane; // the sample there, in its plane
    int32_t sampleX;
    int32_t sampleY;
    int32_t panelX[4];
    int32_t panelWidth[4];
    std::string labels[4];
    int64_t width;
    int64_t height;
};

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

// libpng's memory, whose lack ends the run as any other allocation's does.
static png_voidp pictureAllocate(png_structp /*png*/, png_alloc_size_t size)
{
    void* block = std::malloc(size);
    if (block == nullptr) {
        failAllocation(size);
    }
    return block;
}

static void pictureRelease(png_structp /*png*/, png_voidp block)
{
    std::free(block);
}

static uint8_t clampByte(int32_t value)
{
    return static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value);
}

// Luma and the chroma covering (x, y) at the full depth; mid-grey chroma for a luma-only
// layout.
static void samplesAt(const FrameLayout& layout, const Coding& coding, const uint8_t* frame, int32_t x, int32_t y,
                      int32_t yuv[3])
{
    const int32_t grey = 1 << (coding.depth - 1);
    yuv[0] = 0;
    yuv[1] = grey;
    yuv[2] = grey;
    for (int p = 0; p < layout.planeCount; ++p) {
        const Plane& plane = layout.planes[p];
        yuv[p] =
            valueOf(containerAt(frame + sampleOffset(plane, x / plane.coverX, y / plane.coverY), 0, layout.sampleBytes),
                    coding);
    }
}

// Whether sample (x, y) of a plane fails under the tolerance, padding included.
static bool sampleFailsAt(const Geometry& geometry, const Buffers& buffers, int planeIndex, int32_t x, int32_t y,
                          int32_t tolerance)
{
    const Coding codings[2] = {geometry.expectedCoding, geometry.actualCoding};
    const size_t bytes = geometry.expected.sampleBytes;
    const uint32_t e =
        containerAt(buffers.expected + sampleOffset(geometry.expected.planes[planeIndex], x, y), 0, bytes);
    const uint32_t a = containerAt(buffers.actual + sampleOffset(geometry.actual.planes[planeIndex], x, y), 0, bytes);
    return sampleFails(e, a, codings, tolerance);
}

// Whether pixel (x, y) fails: its luma or a chroma sample covering it.
static bool pixelFails(const Geometry& geometry, const Buffers& buffers, int32_t x, int32_t y, int32_t tolerance)
{
    for (int p = 0; p < geometry.expected.planeCount; ++p) {
        const Plane& plane = geometry.expected.planes[p];
        if (sampleFailsAt(geometry, buffers, p, x / plane.coverX, y / plane.coverY, tolerance)) {
            return true;
        }
    }
    return false;
}

// The first failing sample of the frame (Y, then U, then V), as the comparison found it and
// the frame's line reports it: its plane and the pixel it stands on.
static void placeFirstFailing(const FrameLayout& layout, const FrameResult& result, PictureLayout& picture)
{
    for (int p = 0; p < layout.planeCount; ++p) {
        const PlaneResult& plane = result.planes[p];
        if (plane.firstX >= 0) {
            picture.centrePlane = layout.planes[p].name;
            picture.sampleX = plane.firstX;
            picture.sampleY = plane.firstY;
            picture.centreX = plane.firstX * layout.planes[p].coverX;
            picture.centreY = plane.firstY * layout.planes[p].coverY;
            return;
        }
    }
}

static int32_t textWidth(const std::string& text, int32_t scale)
{
    return text.empty() ? 0 : (static_cast<int32_t>(text.size()) * glyphAdvance - 1) * scale;
}

// A window of up to zoomCells across around `centre`, inside the frame.
static int32_t windowStart(int32_t centre, int32_t cells, int32_t size)
{
    return std::clamp(centre - cells / 2, 0, size - cells);
}

static PictureLayout makePictureLayout(const Geometry& geometry, const FrameResult& drawn)
{
    const int32_t width = geometry.expected.width;
    const int32_t height = geometry.expected.height;
    PictureLayout picture{};
    picture.scale = std::clamp(height / 256, 1, 4);
    const int32_t band = (glyphHeight + 2 * labelMargin) * picture.scale;
    picture.band = band;
    picture.zoom = zoomFactor * picture.scale;
    picture.windowWidth = std::min(width, zoomCells);
    picture.windowHeight = std::min(height, zoomCells);
    picture.centreX = -1;
    picture.centreY = -1;
    placeFirstFailing(geometry.expected, drawn, picture);
    const bool found = picture.centreX >= 0;
    picture.windowX = windowStart(found ? picture.centreX : width / 2, picture.windowWidth, width);
    picture.windowY = windowStart(found ? picture.centreY : height / 2, picture.windowHeight, height);
    const std::string zoomName = "zoom " + std::to_string(picture.zoom) + "x: ";
    picture.labels[0] = "frame " + std::to_string(drawn.frame) + ": expected";
    picture.labels[1] = "actual";
    picture.labels[2] = drawn.fails ? "difference" : "difference: frame passes";
    picture.labels[3] = zoomName + (found ? std::string(1, picture.centrePlane) + " " +
                                                std::to_string(picture.sampleX) + "," + std::to_string(picture.sampleY)
                                          : std::string("none fail"));
    const int32_t content[4] = {width, width, width, picture.windowWidth * picture.zoom};
    int64_t x = 0;
    for (int i = 0; i < 4; ++i) {
        picture.panelX[i] = static_cast<int32_t>(std::min<int64_t>(x, INT32_MAX));
        // A character's space after each label keeps it apart from the next.
        picture.panelWidth[i] = std::max(content[i], textWidth(picture.labels[i] + " ", picture.scale));
        x += picture.panelWidth[i] + (i < 3 ? pictureGap : 0);
    }
    picture.width = x;
    const int64_t zoomHeight = int64_t{picture.windowHeight} * picture.zoom;
    picture.height = band + std::max<int64_t>(height, zoomHeight);
    return picture;
}

// BT.601 studio range to RGB, from samples shifted down to 8 bits.
static void putColour(const int32_t yuv[3], int32_t shift, uint8_t* rgb)
{
    const int32_t c = 298 * ((yuv[0] >> shift) - 16);
    const int32_t d = (yuv[1] >> shift) - 128;
    const int32_t e = (yuv[2] >> shift) - 128;
    rgb[0] = clampByte((c + 409 * e + 128) >> 8);
    rgb[1] = clampByte((c - 100 * d - 208 * e + 128) >> 8);
    rgb[2] = clampByte((c + 516 * d + 128) >> 8);
}

// The map: white where luma differs, magenta where only the chroma covering a pixel does,
// over a dim copy of the expected luma.
static void putDifference(const int32_t expected[3], const int32_t actual[3], int32_t shift, uint8_t* rgb)
{
    const bool lumaDiffers = expected[0] != actual[0];
    const bool chromaDiffers = expected[1] != actual[1] || expected[2] != actual[2];
    const auto dim = static_cast<uint8_t>((expected[0] >> shift) / 5);
    rgb[0] = lumaDiffers || chromaDiffers ? 255 : dim;
    rgb[1] = lumaDiffers ? 255 : chromaDiffers ? 0 : dim;
    rgb[2] = lumaDiffers || chromaDiffers ? 255 : dim;
}

// One row of the labels' band: each label's glyph row in white on the gap's grey.
static void labelRow(const PictureLayout& picture, int32_t y, uint8_t* row)
{
    const int32_t textRow = y / picture.scale - labelMargin;
    if (textRow < 0 || textRow >= glyphHeight) {
        return;
    }
    for (int i = 0; i < 4; ++i) {
        const std::string& label = picture.labels[i];
        for (size_t c = 0; c < label.size(); ++c) {
            const Glyph* glyph =
                std::find_if(std::begin(glyphs), std::end(glyphs), [&](const Glyph& g) { return g.c == label[c]; });
            if (glyph == std::end(glyphs)) {
                continue;
            }
            for (int32_t gx = 0; gx < glyphWidth * picture.scale; ++gx) {
                if ((glyph->rows[textRow] >> (glyphWidth - 1 - gx / picture.scale) & 1U) == 0) {
                    continue;
                }
                const int64_t x =
                    int64_t{picture.panelX[i]} + (static_cast<int64_t>(c) * glyphAdvance) * picture.scale + gx;
                std::memset(row + 3 * x, textWhite, 3);
            }
        }
    }
}

static const uint8_t* outlineFor(const uint8_t rgb[3])
{
    const auto distance = [&](const uint8_t* to) {
        int32_t sum = 0;
        for (int i = 0; i < 3; ++i) {
            sum += (rgb[i] - to[i]) * (rgb[i] - to[i]);
        }
        return sum;
    };
    return distance(outlineRed) >= distance(outlineCyan) ? outlineRed : outlineCyan;
}

// Row y of the zoom: ACTUAL's pixels enlarged, each failing one outlined.
static void zoomRow(const Geometry& geometry, const PictureLayout& picture, const Buffers& buffers, int32_t tolerance,
                    int32_t y, uint8_t* row)
{
    const int32_t shift = geometry.expectedCoding.depth - lowestDepth;
    const int32_t frameY = picture.windowY + y / picture.zoom;
    const int32_t inY = y % picture.zoom;
    const bool edgeRow = inY < picture.scale || inY >= picture.zoom - picture.scale;
    for (int32_t cell = 0; cell < picture.windowWidth; ++cell) {
        const int32_t frameX = picture.windowX + cell;
        int32_t actual[3];
        samplesAt(geometry.actual, geometry.actualCoding, buffers.actual, frameX, frameY, actual);
        uint8_t colour[3];
        putColour(actual, shift, colour);
        const bool fails = pixelFails(geometry, buffers, frameX, frameY, tolerance);
        for (int32_t inX = 0; inX < picture.zoom; ++inX) {
            const bool edge = edgeRow || inX < picture.scale || inX >= picture.zoom - picture.scale;
            std::memcpy(
                row + 3 * (static_cast<size_t>(cell) * static_cast<size_t>(picture.zoom) + static_cast<size_t>(inX)),
                fails && edge ? outlineFor(colour) : colour, 3);
        }
    }
}

static void frameRow(const Geometry& geometry, const PictureLayout& picture, const Buffers& buffers, int32_t y,
                     uint8_t* row)
{
    const int32_t shift = geometry.expectedCoding.depth - lowestDepth;
    for (int32_t x = 0; x < geometry.expected.width; ++x) {
        int32_t expected[3];
        int32_t actual[3];
        samplesAt(geometry.expected, geometry.expectedCoding, buffers.expected, x, y, expected);
        samplesAt(geometry.actual, geometry.actualCoding, buffers.actual, x, y, actual);
        const size_t at = 3 * static_cast<size_t>(x);
        putColour(expected, shift, row + 3 * static_cast<size_t>(picture.panelX[0]) + at);
        putColour(actual, shift, row + 3 * static_cast<size_t>(picture.panelX[1]) + at);
        putDifference(expected, actual, shift, row + 3 * static_cast<size_t>(picture.panelX[2]) + at);
    }
}

static void pictureRow(const Geometry& geometry, const PictureLayout& picture, const Buffers& buffers,
                       int32_t tolerance, int64_t y, uint8_t* row, size_t rowBytes)
{
    std::memset(row, gapGrey, rowBytes);
    if (y < picture.band) {
        labelRow(picture, static_cast<int32_t>(y), row);
        return;
    }
    const int64_t inside = y - picture.band;
    if (inside < geometry.expected.height) {
        frameRow(geometry, picture, buffers, static_cast<int32_t>(inside), row);
    }
    if (inside < int64_t{picture.windowHeight} * picture.zoom) {
        zoomRow(geometry, picture, buffers, tolerance, static_cast<int32_t>(inside),
                row + 3 * static_cast<size_t>(picture.panelX[3]));
    }
}

// Writes the picture under its temporary name; it is put in place once the run's outcome is known.
static SafeOutput writePicture(const char* path, const Geometry& geometry, const Buffers& buffers,
                               const FrameResult& drawn, int32_t tolerance)
{
    const PictureLayout picture = makePictureLayout(geometry, drawn);
    if (picture.width > INT32_MAX / 3) {
        fail(path, "the frame is too wide for a picture");
    }
    if (picture.height > INT32_MAX) {
        fail(path, "the frame is too tall for a picture");
    }
    const size_t rowBytes = 3 * static_cast<size_t>(picture.width);
    uint8_t* row = allocate(rowBytes);
    SafeOutput output = openSafeOutput(path);
    png_structp png = png_create_write_struct_2(PNG_LIBPNG_VER_STRING, &output, pictureFailed, pictureWarning, nullptr,
                                                pictureAllocate, pictureRelease);
    png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
    if (info == nullptr) {
        abandonSafeOutput(output);
        fail(path, "cannot allocate the picture");
    }
    png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
    png_init_io(png, output.file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(picture.width), static_cast<png_uint_32>(picture.height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int64_t y = 0; y < picture.height; ++y) {
        pictureRow(geometry, picture, buffers, tolerance, y, row, rowBytes);
        png_write_row(png, row);
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    std::free(row);
    completeSafeOutput(output, "cannot write the picture");
    return output;
}

#else

static SafeOutput writePicture(const char* path, const Geometry& /*geometry*/, const Buffers& /*buffers*/,
                               const FrameResult& /*drawn*/, int32_t /*tolerance*/)
{
    fail(path, "this framecmp was built without libpng and cannot write pictures");
}

#endif

// ---- Reports ----

// The length of the valid UTF-8 sequence that starts at text[i] and its code point, or 0
// when none starts there: no overlong forms, no surrogates, nothing past U+10FFFF.
static size_t utf8Length(const std::string& text, size_t i, uint32_t& codePoint)
{
    const auto lead = static_cast<uint8_t>(text[i]);
    const size_t length = lead < 0x80                    ? 1
                          : lead >= 0xc2 && lead <= 0xdf ? 2
                          : lead >= 0xe0 && lead <= 0xef ? 3
                          : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                         : 0;
    if (length == 0 || i + length > text.size()) {
        return 0;
    }
    static const uint32_t leadMasks[5] = {0, 0x7f, 0x1f, 0x0f, 0x07};
    uint32_t value = lead & leadMasks[length];
    for (size_t k = 1; k < length; ++k) {
        const auto next = static_cast<uint8_t>(text[i + k]);
        if ((next & 0xc0U) != 0x80) {
            return 0;
        }
        value = value << 6U | (next & 0x3fU);
    }
    static const uint32_t lowest[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < lowest[length] || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff)) {
        return 0;
    }
    codePoint = value;
    return length;
}

// A JSON string of bytes: valid UTF-8 kept, quotes and backslashes escaped, control
// characters and every byte of no valid sequence as \u00XX.
static std::string jsonString(const std::string& bytes)
{
    std::string text = "\"";
    for (size_t i = 0; i < bytes.size();) {
        uint32_t codePoint = 0;
        const size_t length = utf8Length(bytes, i, codePoint);
        if (length == 0 || codePoint < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(static_cast<uint8_t>(bytes[i])));
            text += escape;
            ++i;
            continue;
        }
        if (codePoint == '"' || codePoint == '\\') {
            text += '\\';
        }
        text.append(bytes, i, length);
        i += length;
    }
    return text + "\"";
}

// Text for XML: the five special characters as entities, and what XML 1.0 forbids (control
// characters, U+FFFE, U+FFFF, bytes of no valid UTF-8) as U+FFFD.
static std::string xmlText(const std::string& bytes)
{
    std::string text;
    for (size_t i = 0; i < bytes.size();) {
        uint32_t codePoint = 0;
        const size_t length = utf8Length(bytes, i, codePoint);
        const bool allowed = length != 0 &&
                             (codePoint >= 0x20 || codePoint == '\t' || codePoint == '\n' || codePoint == '\r') &&
                             codePoint != 0xfffe && codePoint != 0xffff;
        i += length == 0 ? 1 : length;
        if (!allowed) {
            text += "\xef\xbf\xbd";
            continue;
        }
        switch (codePoint) {
        case '&': text += "&amp;"; break;
        case '<': text += "&lt;"; break;
        case '>': text += "&gt;"; break;
        case '"': text += "&quot;"; break;
        case '\'': text += "&apos;"; break;
        default: text.append(bytes, i - length, length);
        }
    }
    return text;
}

// A number as printf writes it with `form`, or `none` when it is not finite.
static std::string numberText(double value, const char* form, const char* none)
{
    if (!std::isfinite(value)) {
        return none;
    }
    char text[64];
    std::snprintf(text, sizeof text, form, value);
    return text;
}

// The digits of the CSV and the JSON alike: PSNR to 0.0001 dB, SSIM to six decimals, MSE
// to nine significant digits.
constexpr const char* psnrForm = "%.4f";
constexpr const char* ssimForm = "%.6f";
constexpr const char* mseForm = "%.9g";

static ReportFile openReport(const char* path)
{
    if (path == nullptr) {
        return ReportFile{SafeOutput{"", "", "", nullptr, false}, false};
    }
    if (isStandardOutput(path)) {
        return ReportFile{SafeOutput{"standard output", "", "", stdout, false}, true};
    }
    return ReportFile{openSafeOutput(path), false};
}

static void put(ReportFile& report, const std::string& text)
{
    if (std::fputs(text.c_str(), report.out.file) == EOF) {
        if (report.standardOutput) {
            failWriting("standard output");
        }
        failSystem(report.out.path, "cannot write");
    }
}

// Every byte of a report written; a file's stays under its temporary name until the verdict.
static void finishReport(ReportFile& report)
{
    if (report.out.file == nullptr) {
        return;
    }
    if (report.standardOutput) {
        finishStandardOutput();
    } else {
        completeSafeOutput(report.out, "cannot write the report");
    }
}

// Opens every report asked for, so that a path that cannot be written is said before any
// frame is read.
static Reports openReports(const Settings& settings)
{
    return Reports{openReport(settings.csvPath),
                   openReport(settings.jsonPath),
                   openReport(settings.plotPath),
                   false,
                   0,
                   {},
                   0,
                   1,
                   SafeOutput{"", "", "", nullptr, false}};
}

// The CSV's header and the JSON up to its list of frames.
static void startReports(Reports& reports, const Settings& settings, int64_t firstFrame, int64_t offset)
{
    reports.firstFrame = firstFrame;
    if (reports.csv.out.file != nullptr) {
        put(reports.csv, "frame,plane,failing,max_diff,mse,psnr,ssim,first_x,first_y,pass\n");
    }
    if (reports.json.out.file == nullptr) {
        return;
    }
    const Format& actualFormat = settings.actualFormatGiven ? settings.actualFormat : settings.format;
    put(reports.json,
        "{\"expected\": " + jsonString(settings.expectedPath) + ",\n\"actual\": " + jsonString(settings.actualPath) +
            ",\n\"format\": " + jsonString(formatName(settings.format)) +
            ", \"actual_format\": " + jsonString(formatName(actualFormat)) +
            ",\n\"width\": " + std::to_string(settings.width) + ", \"height\": " + std::to_string(settings.height) +
            ",\n\"criteria\": {\"tolerance\": " + std::to_string(settings.tolerance) + ", \"psnr_min\": " +
            (settings.floor < 0 ? std::string("null") : floorText(settings.floor)) + ", \"ssim_min\": " +
            numberText(settings.ssimMin < 0 ? HUGE_VAL : double(settings.ssimMin) / ssimUnits, ssimForm, "null") +
            "},\n\"offset\": " + std::to_string(offset) + ",\n\"frames\": [");
}

static void reportFrameCsv(ReportFile& csv, const Geometry& geometry, const FrameResult& result)
{
    for (int p = 0; p < geometry.expected.planeCount; ++p) {
        const PlaneResult& plane = result.planes[p];
        const bool failing = plane.firstX >= 0;
        put(csv, std::to_string(result.frame) + "," + geometry.expected.planes[p].name + "," +
                     std::to_string(plane.failing) + "," + std::to_string(plane.largest) + "," +
                     numberText(plane.mse, mseForm, "") + "," +
                     numberText(psnrOf(plane.mse, geometry.expectedCoding.depth), psnrForm, "inf") + "," +
                     numberText(plane.ssim, ssimForm, "") + "," +
                     (failing ? std::to_string(plane.firstX) + "," + std::to_string(plane.firstY) : ",") +
                     (plane.fails ? ",0\n" : ",1\n"));
    }
}

static void reportFrameJson(Reports& reports, const Geometry& geometry, const FrameResult& result)
{
    std::string text = std::string(reports.jsonFramesWritten ? ",\n" : "\n") +
                       "  {\"frame\": " + std::to_string(result.frame) +
                       ", \"pass\": " + (result.fails ? "false" : "true") + ", \"planes\": {";
    for (int p = 0; p < geometry.expected.planeCount; ++p) {
        const PlaneResult& plane = result.planes[p];
        text += std::string(p == 0 ? "" : ", ") + "\"" + geometry.expected.planes[p].name +
                "\": {\"failing\": " + std::to_string(plane.failing) +
                ", \"max_diff\": " + std::to_string(plane.largest) +
                ", \"mse\": " + numberText(plane.mse, mseForm, "null") +
                ", \"psnr\": " + numberText(psnrOf(plane.mse, geometry.expectedCoding.depth), psnrForm, "null") +
                ", \"ssim\": " + numberText(plane.ssim, ssimForm, "null") + ", \"first\": " +
                (plane.firstX >= 0 ? "[" + std::to_string(plane.firstX) + ", " + std::to_string(plane.firstY) + "]"
                                   : std::string("null")) +
                "}";
    }
    put(reports.json, text + "}}");
    reports.jsonFramesWritten = true;
}

// The lower of two values, the earlier of equal ones; NaN is no value.
static PlotValue lowerValue(const PlotValue& a, const PlotValue& b)
{
    return std::isnan(b.value) || (!std::isnan(a.value) && a.value <= b.value) ? a : b;
}

// One point for the frames of two, `a` the earlier.
static PlotPoint mergePoints(const PlotPoint& a, const PlotPoint& b)
{
    PlotPoint merged{{}, {}, a.failingAt >= 0 ? a.failingAt : b.failingAt};
    for (int p = 0; p < 3; ++p) {
        merged.psnr[p] = lowerValue(a.psnr[p], b.psnr[p]);
        merged.ssim[p] = lowerValue(a.ssim[p], b.ssim[p]);
    }
    return merged;
}

// A frame into the plot: into the latest point until that stands for pointFrames frames,
// else a point of its own; at plotPoints points, pairs merge first.
static void plotFrame(Reports& reports, const PlotPoint& point)
{
    std::vector<PlotPoint>& points = reports.points;
    if (reports.plotFrames++ % reports.pointFrames != 0) {
        points.back() = mergePoints(points.back(), point);
        return;
    }
    if (points.size() == plotPoints) {
        for (size_t i = 0; i < plotPoints / 2; ++i) {
            points[i] = mergePoints(points[2 * i], points[2 * i + 1]);
        }
        points.resize(plotPoints / 2);
        reports.pointFrames *= 2;
    }
    points.push_back(point);
}

// One compared frame into every report asked for; the plot keeps its few values.
static void reportFrame(Reports& reports, const Geometry& geometry, const Settings& settings, const FrameResult& result)
{
    if (reports.csv.out.file != nullptr) {
        reportFrameCsv(reports.csv, geometry, result);
    }
    if (reports.json.out.file != nullptr) {
        reportFrameJson(reports, geometry, result);
    }
    if (reports.plot.out.file != nullptr) {
        const int64_t at = reports.plotFrames;
        PlotPoint point{{}, {}, result.fails ? at : -1};
        for (int p = 0; p < 3; ++p) {
            const bool held = p < geometry.expected.planeCount;
            const double psnr = held ? psnrOf(result.planes[p].mse, geometry.expectedCoding.depth) : NAN;
            point.psnr[p] = PlotValue{static_cast<float>(psnr), at};
            point.ssim[p] = PlotValue{held && settings.ssim ? static_cast<float>(result.planes[p].ssim) : NAN, at};
        }
        plotFrame(reports, point);
    }
}

// The JSON's displacements, its summary and its end.
static void finishJson(ReportFile& json, const Geometry& geometry, const RunTally& tally,
                       const std::vector<Displacement>& displacements, const Remainder rest[2], int status)
{
    std::string text = "\n],\n\"displacements\": [";
    for (size_t i = 0; i < displacements.size(); ++i) {
        const Displacement& d = displacements[i];
        text += std::string(i == 0 ? "\n" : ",\n") + "  {\"frame\": " + std::to_string(d.frame) + ", \"plane\": \"" +
                d.plane + "\", \"x\": " + std::to_string(d.x) + ", \"y\": " + std::to_string(d.y) +
                ", \"bytes\": " + std::to_string(d.bytes) + ", \"kind\": \"" + (d.lost ? "lost" : "extra") + "\"}";
    }
    const auto length = [&](int side) {
        const Remainder& r = rest[side];
        return tally.stopped || r.more ? std::string("null") : std::to_string(tally.framesCompared + r.wholeFrames);
    };
    const auto frameOrNull = [](int64_t frame) { return frame < 0 ? std::string("null") : std::to_string(frame); };
    text += "],\n\"summary\": {\"frames\": " + std::to_string(tally.framesCompared) +
            ", \"failing_frames\": " + std::to_string(tally.framesFailing) +
            ", \"first_failing_frame\": " + frameOrNull(tally.firstFailing) +
            ", \"stopped\": " + (tally.stopped ? "true" : "false") + ",\n  \"lengths\": {\"expected\": " + length(0) +
            ", \"actual\": " + length(1) + "}, \"status\": " + std::to_string(status);
    const int32_t depth = geometry.expectedCoding.depth;
    std::string average;
    std::string lowest;
    std::string largest;
    std::string ssimLowest;
    std::string ssimAverage;
    for (int p = 0; p < geometry.expected.planeCount; ++p) {
        const PlaneWorst& worst = tally.worst[p];
        const std::string name = std::string(p == 0 ? "" : ", ") + "\"" + geometry.expected.planes[p].name + "\": ";
        const double mean = tally.framesCompared == 0 ? NAN : worst.mseSum / double(tally.framesCompared);
        average += name + numberText(psnrOf(mean, depth), psnrForm, "null");
        lowest += name + "{\"value\": " +
                  numberText(worst.highestMseFrame < 0 ? NAN : psnrOf(worst.highestMse, depth), psnrForm, "null") +
                  ", \"frame\": " + frameOrNull(worst.highestMseFrame) + "}";
        largest += name + "{\"value\": " + std::to_string(worst.largest) +
                   ", \"frame\": " + frameOrNull(worst.largestFrame) + "}";
        const bool hasSsim = worst.lowestSsimFrame >= 0;
        ssimLowest += name + (hasSsim ? "{\"value\": " + numberText(worst.lowestSsim, ssimForm, "null") +
                                            ", \"frame\": " + std::to_string(worst.lowestSsimFrame) + "}"
                                      : std::string("null"));
        ssimAverage +=
            name + (hasSsim ? numberText(worst.ssimSum / double(worst.ssimFrames), ssimForm, "null") : "null");
    }
    put(json, text + ",\n  \"psnr_average\": {" + average + "},\n  \"psnr_min\": {" + lowest + "},\n  \"max_diff\": {" +
                  largest + "},\n  \"ssim_lowest\": {" + ssimLowest + "},\n  \"ssim_average\": {" + ssimAverage +
                  "}}}\n");
}

// ---- Plot ----

// Where the plot draws: the PSNR axis from `low` to `top` dB (an infinite PSNR at `top`),
// the SSIM axis from `ssimLow` to 1, the frames from `first` over `count`.
struct PlotScale {
    double low;
    double top;
    double ssimLow;
    int64_t first;
    size_t count;
};

static const char* const planeColours[3] = {"#202020", "#1f5fbf", "#c0302a"};

static std::string coordinate(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

static double plotX(const PlotScale& scale, size_t index)
{
    const double span = scale.count > 1 ? double(scale.count - 1) : 1.0;
    return plotLeft + double(plotWidth - plotLeft - plotRight) * double(index) / span;
}

static double plotY(double value, double low, double top)
{
    const double clamped = std::min(std::max(value, low), top);
    return plotTop + double(plotHeight - plotTop - plotBottom) * (top - clamped) / (top - low);
}

// The axes' ranges: PSNR from 5 dB under the lowest finite value or the floor, rounded down
// to 5, to the highest finite + 5 (100 dB when none is finite); SSIM from its lowest,
// rounded down to 0.1, to 1.
static PlotScale plotScale(const Reports& reports, const Settings& settings, int planeCount)
{
    double lowest = HUGE_VAL;
    double highest = -HUGE_VAL;
    double ssimLowest = 1;
    for (const PlotPoint& point : reports.points) {
        for (int p = 0; p < planeCount; ++p) {
            if (std::isfinite(point.psnr[p].value)) {
                lowest = std::min(lowest, double(point.psnr[p].value));
                highest = std::max(highest, double(point.psnr[p].value));
            }
            if (!std::isnan(point.ssim[p].value)) {
                ssimLowest = std::min(ssimLowest, double(point.ssim[p].value));
            }
        }
    }
    const double top = std::isfinite(highest) ? highest + 5 : 100;
    if (settings.floor >= 0) {
        lowest = std::min(lowest, double(settings.floor) / 100);
    }
    const double low = std::isfinite(lowest) ? std::max(0.0, 5 * std::floor((lowest - 5) / 5)) : 0;
    const double ssimLow = std::min(0.9, std::floor(std::max(ssimLowest, -1.0) * 10) / 10);
    return PlotScale{std::min(low, top - 5), top, ssimLow, reports.firstFrame, static_cast<size_t>(reports.plotFrames)};
}

// A line of one plane's PSNR or SSIM: each point's lowest value at its frame. Points
// without a value are left out.
static std::string plotLine(const Reports& reports, const PlotScale& scale, int plane, bool ssim)
{
    std::string points;
    for (const PlotPoint& point : reports.points) {
        const PlotValue& v = ssim ? point.ssim[plane] : point.psnr[plane];
        if (std::isnan(v.value)) {
            continue;
        }
        const double y = ssim ? plotY(v.value, scale.ssimLow, 1) : plotY(v.value, scale.low, scale.top);
        points +=
            (points.empty() ? "" : " ") + coordinate(plotX(scale, static_cast<size_t>(v.at))) + "," + coordinate(y);
    }
    return points;
}

static std::string svgText(double x, double y, const char* anchor, const std::string& text,
                           const std::string& extra = "")
{
    return "<text x=\"" + coordinate(x) + "\" y=\"" + coordinate(y) + "\" text-anchor=\"" + anchor + "\"" + extra +
           ">" + xmlText(text) + "</text>\n";
}

// The axes, their ticks and labels, and the -p floor.
static std::string plotAxes(const PlotScale& scale, const Settings& settings, bool ssim)
{
    const double left = plotLeft;
    const double right = plotWidth - plotRight;
    const double bottom = plotHeight - plotBottom;
    std::string svg = "<rect x=\"" + coordinate(left) + "\" y=\"" + coordinate(plotTop) + "\" width=\"" +
                      coordinate(right - left) + "\" height=\"" + coordinate(bottom - plotTop) +
                      "\" fill=\"none\" stroke=\"#808080\"/>\n";
    // PSNR at the multiples of a round step (1, 2 or 5 times a power of ten) that gives at
    // most six of them, up to half a step under the top, where an infinite PSNR stands.
    const double least = (scale.top - scale.low) / 6;
    const double power = std::pow(10.0, std::floor(std::log10(least)));
    const double step = least <= power       ? power
                        : least <= 2 * power ? 2 * power
                        : least <= 5 * power ? 5 * power
                                             : 10 * power;
    // The axis spans 5 dB at least, so the step is a whole number of dB.
    const int64_t wholeStep = std::llround(step);
    for (int64_t value = std::llround(std::ceil(scale.low / step) * step); double(value) < scale.top - step / 2;
         value += wholeStep) {
        svg += svgText(left - 6, plotY(double(value), scale.low, scale.top) + 4, "end", std::to_string(value));
    }
    svg += svgText(left - 6, plotY(scale.top, scale.low, scale.top) + 4, "end", "inf");
    for (int k = 0; ssim && k <= 5; ++k) {
        const double value = scale.ssimLow + (1 - scale.ssimLow) * k / 5;
        char text[16];
        std::snprintf(text, sizeof text, "%.2f", value);
        svg += svgText(right + 6, plotY(value, scale.ssimLow, 1) + 4, "start", text);
    }
    const size_t ticks = std::min<size_t>(scale.count, 6);
    for (size_t k = 0; k < ticks; ++k) {
        const size_t index = ticks > 1 ? k * (scale.count - 1) / (ticks - 1) : 0;
        svg += svgText(plotX(scale, index), bottom + 18, "middle", std::to_string(scale.first + int64_t(index)));
    }
    svg += svgText((left + right) / 2, bottom + 40, "middle", "frame");
    svg += svgText(18, (plotTop + bottom) / 2, "middle", "PSNR (dB)",
                   " transform=\"rotate(-90 18 " + coordinate((plotTop + bottom) / 2) + ")\"");
    if (ssim) {
        svg += svgText(plotWidth - 14, (plotTop + bottom) / 2, "middle", "SSIM",
                       " transform=\"rotate(90 " + coordinate(plotWidth - 14) + " " +
                           coordinate((plotTop + bottom) / 2) + ")\"");
    }
    if (settings.floor >= 0) {
        const double y = plotY(double(settings.floor) / 100, scale.low, scale.top);
        svg += "<line id=\"floor\" x1=\"" + coordinate(left) + "\" y1=\"" + coordinate(y) + "\" x2=\"" +
               coordinate(right) + "\" y2=\"" + coordinate(y) + "\" stroke=\"#d08000\" stroke-dasharray=\"6,4\"/>\n" +
               svgText(right - 4, y - 4, "end", "-p " + floorText(settings.floor) + " dB", " fill=\"#d08000\"");
    }
    return svg;
}

// Failing frames as red ticks under the lines: one a point with any, at its first.
static std::string plotFailures(const Reports& reports, const PlotScale& scale)
{
    std::string svg;
    for (const PlotPoint& point : reports.points) {
        if (point.failingAt >= 0) {
            svg += "<rect class=\"failing\" x=\"" + coordinate(plotX(scale, static_cast<size_t>(point.failingAt)) - 1) +
                   "\" y=\"" + coordinate(plotHeight - plotBottom - 8) +
                   "\" width=\"2\" height=\"8\" fill=\"#e00000\"/>\n";
        }
    }
    return svg;
}

// The legend: a swatch and a name for each line drawn.
static std::string plotLegend(const Geometry& geometry, bool ssim)
{
    std::string svg;
    double x = plotLeft;
    for (int p = 0; p < geometry.expected.planeCount; ++p) {
        const std::string name(1, geometry.expected.planes[p].name);
        for (int s = 0; s < (ssim ? 2 : 1); ++s) {
            svg += "<line x1=\"" + coordinate(x) + "\" y1=\"36\" x2=\"" + coordinate(x + 20) +
                   "\" y2=\"36\" stroke=\"" + planeColours[p] + "\"" + (s == 1 ? " stroke-dasharray=\"3,3\"" : "") +
                   "/>\n" + svgText(x + 24, 40, "start", name + (s == 1 ? " SSIM" : " PSNR"));
            x += 90;
        }
    }
    svg += "<rect x=\"" + coordinate(x) + "\" y=\"30\" width=\"2\" height=\"10\" fill=\"#e00000\"/>\n" +
           svgText(x + 8, 40, "start", "failing frame");
    return svg;
}

// The plot as SVG 1.1: PSNR per plane, SSIM on the right axis when computed, the floor,
// the failing frames; or a note that no frame was compared.
static void writePlot(Reports& reports, const Settings& settings, const Geometry& geometry)
{
    ReportFile& plot = reports.plot;
    put(plot,
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" "
        "width=\"" +
            std::to_string(plotWidth) + "\" height=\"" + std::to_string(plotHeight) +
            "\" font-family=\"sans-serif\" font-size=\"12\">\n<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n");
    put(plot, svgText(plotWidth / 2.0, 18, "middle",
                      std::string(settings.expectedPath) + " against " + settings.actualPath, " font-size=\"14\""));
    if (reports.points.empty()) {
        put(plot, svgText(plotWidth / 2.0, plotHeight / 2.0, "middle", "no frames compared") + "</svg>\n");
        return;
    }
    const PlotScale scale = plotScale(reports, settings, geometry.expected.planeCount);
    put(plot, plotAxes(scale, settings, settings.ssim));
    for (int p = 0; p < geometry.expected.planeCount; ++p) {
        const std::string name(1, geometry.expected.planes[p].name);
        put(plot, "<polyline id=\"psnr-" + name + "\" fill=\"none\" stroke=\"" + planeColours[p] +
                      "\" stroke-width=\"1.5\" points=\"" + plotLine(reports, scale, p, false) + "\"/>\n");
        if (settings.ssim) {
            put(plot, "<polyline id=\"ssim-" + name + "\" fill=\"none\" stroke=\"" + planeColours[p] +
                          "\" stroke-dasharray=\"3,3\" points=\"" + plotLine(reports, scale, p, true) + "\"/>\n");
        }
    }
    put(plot, plotFailures(reports, scale) + plotLegend(geometry, settings.ssim) + "</svg>\n");
}

// Every report completed, still under its temporary name.
static void finishReports(Reports& reports, const Settings& settings, const Geometry& geometry, const RunTally& tally,
                          const std::vector<Displacement>& displacements, const Remainder rest[2], int status)
{
    if (reports.json.out.file != nullptr) {
        finishJson(reports.json, geometry, tally, displacements, rest, status);
    }
    if (reports.plot.out.file != nullptr) {
        writePlot(reports, settings, geometry);
    }
    finishReport(reports.csv);
    finishReport(reports.json);
    finishReport(reports.plot);
}

// Once the run's outcome is known: the picture and the reports renamed into place, one after
// another.
static void placeOutputs(Reports& reports)
{
    placeSafeOutput(reports.picture, "cannot write the picture");
    for (ReportFile* report : {&reports.csv, &reports.json, &reports.plot}) {
        if (!report->standardOutput) {
            placeSafeOutput(report->out, "cannot write the report");
        }
    }
}

// ---- Bus-word diagnosis ----

// A sample as the bus carries it: the value in the low bits and, at 9 to 15 bits, the
// padding above it, as at 16 (an LSB-aligned container as it is), so that bytes displaced by
// an odd count still match.
static uint32_t busWord(uint32_t container, const Coding& coding)
{
    return ((container >> coding.shift) | (container << (16U - coding.shift))) & 0xffffU;
}

// Whether two bus words fail against each other: values beyond the tolerance, or padding.
static bool wordsFail(uint32_t expected, uint32_t actual, uint32_t valueMask, int32_t tolerance)
{
    return ((expected | actual) & ~valueMask) != 0 ||
           std::abs(static_cast<int32_t>(expected) - static_cast<int32_t>(actual)) > tolerance;
}

// Whether ACTUAL's bus word is the displaced one of EXPECTED: the same bytes, padding and
// all, or values within the tolerance with no padding in either.
static bool wordExplained(uint32_t actual, uint32_t displaced, uint32_t valueMask, int32_t tolerance)
{
    return actual == displaced || !wordsFail(displaced, actual, valueMask, tolerance);
}

// A frame's values in bus order, as a trace carries them: the luma plane, then the chroma
// samples interleaved U, V, each value in one byte or, above 8 bits, two little-endian.
static void fillBus(const FrameLayout& layout, const Coding& coding, const uint8_t* frame, std::vector<uint8_t>& bus)
{
    bus.resize(layout.frameSize);
    size_t at = 0;
    const auto append = [&](const Plane& plane, int32_t x, int32_t y) {
        const uint32_t value = busWord(containerAt(frame + sampleOffset(plane, x, y), 0, layout.sampleBytes), coding);
        bus[at++] = static_cast<uint8_t>(value);
        if (layout.sampleBytes == 2) {
            bus[at++] = static_cast<uint8_t>(value >> 8U);
        }
    };
    const Plane& luma = layout.planes[0];
    for (int32_t y = 0; y < luma.height; ++y) {
        for (int32_t x = 0; x < luma.width; ++x) {
            append(luma, x, y);
        }
    }
    if (layout.planeCount == 3) {
        for (int32_t y = 0; y < layout.planes[1].height; ++y) {
            for (int32_t x = 0; x < layout.planes[1].width; ++x) {
                append(layout.planes[1], x, y);
                append(layout.planes[2], x, y);
            }
        }
    }
}

// Whether a frame's bytes are its values in bus order already: 8-bit samples, the luma
// plane's rows one after another, then the chroma's U, V pairs (gray, nv12, nv16, nv24).
static bool holdsBusOrder(const FrameLayout& layout)
{
    const Plane& luma = layout.planes[0];
    const size_t lumaBytes = static_cast<size_t>(luma.width) * static_cast<size_t>(luma.height);
    if (layout.sampleBytes != 1 || luma.offset != 0 || luma.step != 1 ||
        luma.rowStride != static_cast<size_t>(luma.width)) {
        return false;
    }
    if (layout.planeCount == 1) {
        return layout.frameSize == lumaBytes;
    }
    const Plane& u = layout.planes[1];
    const Plane& v = layout.planes[2];
    const size_t rowBytes = 2 * static_cast<size_t>(u.width);
    return u.offset == lumaBytes && v.offset == lumaBytes + 1 && u.step == 2 && v.step == 2 &&
           u.rowStride == rowBytes && v.rowStride == rowBytes &&
           layout.frameSize == lumaBytes + rowBytes * static_cast<size_t>(u.height);
}

// A frame in bus order: the frame itself when it holds that order, else a copy in `bus`.
static const uint8_t* busOrder(const FrameLayout& layout, const Coding& coding, const uint8_t* frame,
                               std::vector<uint8_t>& bus)
{
    if (holdsBusOrder(layout)) {
        return frame;
    }
    fillBus(layout, coding, frame, bus);
    return bus.data();
}

// The frame pair in bus order, as the search reads it.
struct Bus {
    const uint8_t* expected;
    const uint8_t* actual;
    size_t bytes;       // of each
    size_t sampleBytes; // 1 or 2
    uint32_t valueMask;
    int32_t tolerance;
};

static bool busFails(const Bus& bus, size_t sample)
{
    return wordsFail(containerAt(bus.expected, sample, bus.sampleBytes),
                     containerAt(bus.actual, sample, bus.sampleBytes), bus.valueMask, bus.tolerance);
}

// Whether ACTUAL from sample `first` on is EXPECTED displaced by `bytes`: at all but one in
// a hundred of the failing samples there, and at least displacementLeast of them; and the
// displacement goes on to the end of the frame, as a lost or extra bus word makes it: where
// it leaves no value within the tolerance of both EXPECTED's and the displaced one (they are
// more than twice the tolerance apart, or padding is set), the sample fails, but for one in
// a hundred (a block of the picture moved is no lost word). Samples whose displaced bytes lie outside
// the frame (the last when lost, the inserted ones when extra) cannot tell and are passed
// over; `failing` (the failing samples from `first` on) bounds the misses, so that a wrong
// displacement is given up early. Every sample looked at counts in `looked`; the look gives
// up past `limit`.
static bool explains(const Bus& bus, size_t first, uint64_t failing, int32_t bytes, bool lost, size_t& looked,
                     size_t limit)
{
    const auto k = static_cast<size_t>(bytes);
    const size_t width = bus.sampleBytes;
    const size_t samples = bus.bytes / width;
    const size_t from = lost ? first : first + (k + width - 1) / width;
    const size_t to = lost ? (bus.bytes - std::min(bus.bytes, k)) / width : samples;
    const auto displaced = [&](size_t s) { return lost ? bus.expected + s * width + k : bus.expected + s * width - k; };
    uint64_t explained = 0;
    uint64_t missed = 0;
    for (size_t s = from; s < to; ++s) {
        if (++looked > limit) {
            return false;
        }
        if (!busFails(bus, s)) {
            continue;
        }
        if (wordExplained(containerAt(bus.actual, s, width), containerAt(displaced(s), 0, width), bus.valueMask,
                          bus.tolerance)) {
            ++explained;
        } else if (++missed * 100 > failing) {
            return false;
        }
    }
    if (explained < displacementLeast || missed * 100 > explained + missed) {
        return false;
    }
    uint64_t contradicting = 0;
    for (size_t s = from; s < to; ++s) {
        if (++looked > limit) {
            return false;
        }
        if (!busFails(bus, s) &&
            wordsFail(containerAt(bus.expected, s, width), containerAt(displaced(s), 0, width), bus.valueMask,
                      2 * bus.tolerance) &&
            ++contradicting * 100 > explained) {
            return false;
        }
    }
    return true;
}

// Where bus sample `sample` stands: its plane and position in it.
struct BusPlace {
    int plane;
    int32_t x;
    int32_t y;
};

static BusPlace busPlace(const FrameLayout& layout, size_t sample)
{
    const auto lumaWidth = static_cast<size_t>(layout.planes[0].width);
    const size_t lumaSamples = lumaWidth * static_cast<size_t>(layout.planes[0].height);
    if (sample < lumaSamples) {
        return BusPlace{0, static_cast<int32_t>(sample % lumaWidth), static_cast<int32_t>(sample / lumaWidth)};
    }
    const size_t chroma = sample - lumaSamples;
    const auto width = static_cast<size_t>(layout.planes[1].width);
    return BusPlace{1 + static_cast<int>(chroma % 2), static_cast<int32_t>(chroma / 2 % width),
                    static_cast<int32_t>(chroma / 2 / width)};
}

// The bus sample of (x, y) of a plane: the inverse of busPlace.
static size_t busSampleOf(const FrameLayout& layout, int planeIndex, int32_t x, int32_t y)
{
    const Plane& plane = layout.planes[planeIndex];
    const size_t inPlane = static_cast<size_t>(y) * static_cast<size_t>(plane.width) + static_cast<size_t>(x);
    if (planeIndex == 0) {
        return inPlane;
    }
    const size_t lumaSamples =
        static_cast<size_t>(layout.planes[0].width) * static_cast<size_t>(layout.planes[0].height);
    return lumaSamples + 2 * inPlane + static_cast<size_t>(planeIndex - 1);
}

static Displacement placeOf(const FrameLayout& layout, int64_t frame, size_t sample)
{
    const BusPlace place = busPlace(layout, sample);
    return Displacement{frame, layout.planes[place.plane].name, place.x, place.y, 0, false};
}

static std::string bytesText(int32_t bytes)
{
    return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

// ---- Probes before the search ----

// A frame pair where the files hold it, read a sample at a time in bus order: no copy of the
// frames is made until a displacement looks likely.
struct PairOnBus {
    const Geometry* geometry;
    const Buffers* buffers;
    size_t samples;
    int32_t tolerance;
};

static uint32_t wordOnBus(const FrameLayout& layout, const Coding& coding, const uint8_t* frame, size_t sample)
{
    const BusPlace place = busPlace(layout, sample);
    const uint8_t* at = frame + sampleOffset(layout.planes[place.plane], place.x, place.y);
    return busWord(containerAt(at, 0, layout.sampleBytes), coding);
}

static bool failsOnBus(const PairOnBus& pair, size_t sample)
{
    const Geometry& g = *pair.geometry;
    return wordsFail(wordOnBus(g.expected, g.expectedCoding, pair.buffers->expected, sample),
                     wordOnBus(g.actual, g.actualCoding, pair.buffers->actual, sample), g.expectedCoding.valueMask,
                     pair.tolerance);
}

// A failing sample looked at: ACTUAL's bytes there and EXPECTED's bus bytes from
// displacementReach before it to displacementReach after it (window[displacementReach] is
// the sample's own first byte).
struct Probe {
    uint8_t actual[2];
    uint8_t window[2 * displacementReach + 2];
};

// The candidates still in the running, a bit for each displacement of 1 to 64 bytes.
struct Candidates {
    uint64_t lost;
    uint64_t extra;
};

static Probe makeProbe(const PairOnBus& pair, size_t sample)
{
    const Geometry& g = *pair.geometry;
    const size_t width = g.expected.sampleBytes;
    const auto reach = static_cast<size_t>(displacementReach);
    Probe probe{{}, {}};
    const uint32_t actual = wordOnBus(g.actual, g.actualCoding, pair.buffers->actual, sample);
    probe.actual[0] = static_cast<uint8_t>(actual);
    probe.actual[1] = static_cast<uint8_t>(actual >> 8U);
    const size_t from = sample * width >= reach ? (sample * width - reach) / width : 0;
    const size_t to = std::min(pair.samples, (sample * width + width + reach) / width + 1);
    for (size_t s = from; s < to; ++s) {
        const uint32_t value = wordOnBus(g.expected, g.expectedCoding, pair.buffers->expected, s);
        for (size_t b = 0; b < width; ++b) {
            const size_t at = s * width + b + reach - sample * width; // wraps below the window's start
            if (at < sizeof probe.window) {
                probe.window[at] = static_cast<uint8_t>(value >> (8 * b));
            }
        }
    }
    return probe;
}

// Up to probeCount failing samples from `first` on, spread over the rest of the frame: each
// the first failing one from its share's start. False when they cannot be found cheaply
// (failing samples too sparse to reach within probeBudget looks, or too few of them).
static bool findProbes(const PairOnBus& pair, size_t first, std::vector<size_t>& probes)
{
    probes.clear();
    size_t looked = 0;
    size_t next = first;
    for (size_t j = 0; j < probeCount && next < pair.samples; ++j) {
        size_t s = std::max(next, first + j * (pair.samples - first) / probeCount);
        while (s < pair.samples && !failsOnBus(pair, s)) {
            if (++looked > probeBudget) {
                return false;
            }
            ++s;
        }
        if (s < pair.samples) {
            probes.push_back(s);
        }
        next = s + 1;
    }
    return probes.size() >= probeCount / 2;
}

// Leaves the displacements that explain all but one in sixteen of the probes they can judge.
// One that explains all but one in a hundred failing samples of the frame passes unless
// nearly all its misses fall on the probes, which are spread over the frame; random damage
// explains next to none of them, so that the look ends after a few probes, once every
// displacement has missed more than it may.
static Candidates screenCandidates(const PairOnBus& pair, const std::vector<size_t>& probes, size_t first)
{
    const size_t width = pair.geometry->expected.sampleBytes;
    const size_t frameBytes = pair.geometry->expected.frameSize;
    const uint32_t valueMask = pair.geometry->expectedCoding.valueMask;
    const auto reach = static_cast<size_t>(displacementReach);
    size_t judged[2][displacementReach] = {};
    size_t missed[2][displacementReach] = {};
    for (const size_t sample : probes) {
        const Probe probe = makeProbe(pair, sample);
        bool anyLeft = false;
        for (size_t k = 1; k <= reach; ++k) {
            for (const bool lost : {true, false}) {
                const bool inFrame =
                    lost ? (sample + 1) * width + k <= frameBytes : sample >= first + (k + width - 1) / width;
                size_t& misses = missed[lost ? 0 : 1][k - 1];
                if (inFrame) {
                    ++judged[lost ? 0 : 1][k - 1];
                    const uint8_t* displaced = lost ? probe.window + reach + k : probe.window + reach - k;
                    misses += wordExplained(containerAt(probe.actual, 0, width), containerAt(displaced, 0, width),
                                            valueMask, pair.tolerance)
                                  ? 0U
                                  : 1U;
                }
                anyLeft = anyLeft || misses * 16 <= probes.size();
            }
        }
        if (!anyLeft) {
            return Candidates{0, 0};
        }
    }
    Candidates left{0, 0};
    for (size_t k = 1; k <= reach; ++k) {
        for (const bool lost : {true, false}) {
            if (missed[lost ? 0 : 1][k - 1] * 16 <= judged[lost ? 0 : 1][k - 1]) {
                (lost ? left.lost : left.extra) |= uint64_t{1} << (k - 1);
            }
        }
    }
    return left;
}

// Where the frame's failing samples begin on the bus at the earliest: the first failing
// sample of any plane, as the plane comparison found it (a sample failing by its padding
// alone may come before the first whose values differ).
static size_t earliestFailing(const FrameLayout& layout, const FrameResult& result, size_t samples)
{
    size_t first = samples;
    for (int p = 0; p < layout.planeCount; ++p) {
        if (result.planes[p].firstX >= 0) {
            first = std::min(first, busSampleOf(layout, p, result.planes[p].firstX, result.planes[p].firstY));
        }
    }
    return first;
}

static bool isCandidate(const Candidates& candidates, int32_t bytes, bool lost)
{
    return ((lost ? candidates.lost : candidates.extra) >> static_cast<unsigned>(bytes - 1) & 1U) != 0;
}

// Drops the displacements that would change more than one in sixteen of up to probeCount
// passing samples, spread over the frame from `first` on, beyond the tolerance. One that
// goes on to the end of the frame changes as many as one in a hundred of the failing
// samples' count: one in 32 of the passing ones at most when they are 32 for every 100 that
// fail; a block of the picture moved, in a periodic picture above all, changes most.
static void screenPassing(const PairOnBus& pair, size_t first, Candidates& left)
{
    const size_t width = pair.geometry->expected.sampleBytes;
    const size_t frameBytes = pair.geometry->expected.frameSize;
    const auto reach = static_cast<size_t>(displacementReach);
    size_t judged[2][displacementReach] = {};
    size_t changed[2][displacementReach] = {};
    size_t looked = 0;
    for (size_t j = 0; j < probeCount; ++j) {
        size_t sample = first + j * (pair.samples - first) / probeCount;
        while (sample < pair.samples && failsOnBus(pair, sample)) {
            if (++looked > probeBudget) {
                return;
            }
            ++sample;
        }
        if (sample >= pair.samples) {
            break;
        }
        const Probe probe = makeProbe(pair, sample);
        const uint32_t own = containerAt(probe.window + reach, 0, width);
        for (size_t k = 1; k <= reach; ++k) {
            for (const bool lost : {true, false}) {
                const bool inFrame =
                    lost ? (sample + 1) * width + k <= frameBytes : sample >= first + (k + width - 1) / width;
                if (!inFrame || !isCandidate(left, static_cast<int32_t>(k), lost)) {
                    continue;
                }
                const uint8_t* displaced = lost ? probe.window + reach + k : probe.window + reach - k;
                ++judged[lost ? 0 : 1][k - 1];
                // As the search's second pass judges a passing sample: scaler noise within -t
                // on both sides may put the two values up to twice -t apart.
                changed[lost ? 0 : 1][k - 1] += wordsFail(containerAt(displaced, 0, width), own,
                                                          pair.geometry->expectedCoding.valueMask, 2 * pair.tolerance)
                                                    ? 1U
                                                    : 0U;
            }
        }
    }
    for (size_t k = 1; k <= reach; ++k) {
        for (const bool lost : {true, false}) {
            if (changed[lost ? 0 : 1][k - 1] * 16 > judged[lost ? 0 : 1][k - 1]) {
                (lost ? left.lost : left.extra) &= ~(uint64_t{1} << (k - 1));
            }
        }
    }
}

// The displacements worth the search: those the probes of failing samples leave, or all of
// them when those are too sparse to probe; then, when 32 samples pass for every 100 that
// fail or more, those the probes of passing samples leave. The frame's `failing` samples
// begin at `first` or later.
static Candidates likelyCandidates(const PairOnBus& pair, size_t first, uint64_t failing, std::vector<size_t>& probes)
{
    const Candidates all{~uint64_t{0}, ~uint64_t{0}};
    for (size_t looked = 0; first < pair.samples && !failsOnBus(pair, first); ++first) {
        if (++looked > probeBudget) {
            return all;
        }
    }
    if (first >= pair.samples) {
        return all;
    }
    Candidates left = findProbes(pair, first, probes) ? screenCandidates(pair, probes, first) : all;
    const uint64_t span = pair.samples - first;
    if ((left.lost | left.extra) != 0 && failing <= span && (span - failing) * 100 >= failing * 32) {
        screenPassing(pair, first, left);
    }
    return left;
}

// Says the run of frames that kept the latest displacement, when it is more than one, and
// closes it: "frames 15–18: 4 bytes lost at frame 15, Y 32,41".
static void closeDisplacementRun(const Settings& settings, Diagnosis& diagnosis)
{
    if (diagnosis.runLast < 0) {
        return;
    }
    const Displacement& run = diagnosis.displacements.back();
    if (diagnosis.runLast > run.frame && !settings.quiet && !settings.listSamples) {
        say("frames " + std::to_string(run.frame) + "\u2013" + std::to_string(diagnosis.runLast) + ": " +
            bytesText(run.bytes) + (run.lost ? " lost" : " extra") + " at frame " + std::to_string(run.frame) + ", " +
            run.plane + " " + std::to_string(run.x) + "," + std::to_string(run.y) + "\n");
    }
    diagnosis.runLast = -1;
}

// Looks for a lost or extra bus word in a failing frame with `failing` failing samples. A
// frame that keeps the displacement of the frame before extends its run; a new one is
// recorded and returned for the frame's line: "; from Y 32,41 on, 4 bytes lost: ACTUAL is
// EXPECTED 4 bytes early". The previous frame's displacement is tried first.
static std::string diagnoseFrame(const Settings& settings, const Geometry& geometry, const Buffers& buffers,
                                 const FrameResult& result, Diagnosis& diagnosis)
{
    const int64_t frame = result.frame;
    uint64_t failing = 0;
    for (int p = 0; p < geometry.expected.planeCount; ++p) {
        failing += result.planes[p].failing;
    }
    const bool runGoesOn = diagnosis.runLast >= 0 && diagnosis.runLast == frame - 1;
    if (!runGoesOn) {
        closeDisplacementRun(settings, diagnosis);
    }
    if (failing < displacementLeast) {
        closeDisplacementRun(settings, diagnosis);
        return "";
    }
    const PairOnBus pair{&geometry, &buffers, geometry.expected.frameSize / geometry.expected.sampleBytes,
                         settings.tolerance};
    const size_t earliest = earliestFailing(geometry.expected, result, pair.samples);
    const Candidates candidates = likelyCandidates(pair, earliest, failing, diagnosis.probes);
    if (candidates.lost == 0 && candidates.extra == 0) {
        closeDisplacementRun(settings, diagnosis);
        return "";
    }
    // The frames in bus order, for this search only: copies unless the files hold them so.
    std::vector<uint8_t> expectedBus;
    std::vector<uint8_t> actualBus;
    const Bus bus{busOrder(geometry.expected, geometry.expectedCoding, buffers.expected, expectedBus),
                  busOrder(geometry.actual, geometry.actualCoding, buffers.actual, actualBus),
                  geometry.expected.frameSize,
                  geometry.expected.sampleBytes,
                  geometry.expectedCoding.valueMask,
                  settings.tolerance};
    const size_t samples = pair.samples;
    size_t first = earliest;
    while (first < samples && !busFails(bus, first)) {
        ++first;
    }
    uint64_t failingOnBus = 0;
    for (size_t s = first; s < samples; ++s) {
        failingOnBus += busFails(bus, s) ? 1U : 0U;
    }
    size_t looked = 0;
    const size_t limit = searchScans * samples;
    if (runGoesOn) {
        const Displacement& previous = diagnosis.displacements.back();
        if (isCandidate(candidates, previous.bytes, previous.lost) &&
            explains(bus, first, failingOnBus, previous.bytes, previous.lost, looked, limit)) {
            diagnosis.runLast = frame;
            return "";
        }
        closeDisplacementRun(settings, diagnosis);
    }
    for (int32_t bytes = 1; bytes <= displacementReach && looked < limit; ++bytes) {
        for (const bool lost : {true, false}) {
            if (!isCandidate(candidates, bytes, lost) ||
                !explains(bus, first, failingOnBus, bytes, lost, looked, limit)) {
                continue;
            }
            Displacement found = placeOf(geometry.expected, frame, first);
            found.bytes = bytes;
            found.lost = lost;
            diagnosis.displacements.push_back(found);
            diagnosis.runLast = frame;
            return std::string("; from ") + found.plane + " " + std::to_string(found.x) + "," +
                   std::to_string(found.y) + " on, " + bytesText(bytes) + (lost ? " lost" : " extra") +
                   ": ACTUAL is EXPECTED " + bytesText(bytes) + (lost ? " early" : " late");
        }
    }
    return "";
}

// ---- Frame loop ----

static void noteWorst(PlaneWorst& worst, int64_t frame, double mse, int32_t largest)
{
    if (worst.highestMseFrame < 0 || mse > worst.highestMse) {
        worst.highestMse = mse;
        worst.highestMseFrame = frame;
    }
    if (worst.largestFrame < 0 || largest > worst.largest) {
        worst.largest = largest;
        worst.largestFrame = frame;
    }
    worst.mseSum += mse;
}

// A frame's SSIMs into the worst of each plane.
static void noteSsim(RunTally& run, int planeCount, const FrameResult& result)
{
    for (int p = 0; p < planeCount; ++p) {
        PlaneWorst& worst = run.worst[p];
        const double ssim = result.planes[p].ssim;
        if (std::isnan(ssim)) {
            continue;
        }
        if (worst.lowestSsimFrame < 0 || ssim < worst.lowestSsim) {
            worst.lowestSsim = ssim;
            worst.lowestSsimFrame = result.frame;
        }
        worst.ssimSum += ssim;
        ++worst.ssimFrames;
    }
}

// Compares one frame pair into the run's tally; returns whether it fails, after reporting
// it. A frame whose bytes are the same in both files, and whose padding is clear, passes
// without a look at its planes.
static bool compareFrame(const Settings& settings, const Geometry& geometry, const Buffers& buffers, int64_t frame,
                         RunTally& run, FrameWork& work)
{
    const FrameLayout& layout = geometry.expected;
    work.result.frame = frame;
    work.result.fails = false;
    if (geometry.sameFormat && std::memcmp(buffers.expected, buffers.actual, layout.frameSize) == 0 &&
        (geometry.expectedCoding.paddingMask == 0 ||
         !framePadded(buffers.expected, layout.frameSize, geometry.expectedCoding.paddingMask))) {
        for (int p = 0; p < layout.planeCount; ++p) {
            noteWorst(run.worst[p], frame, 0, 0);
            const double ssim = settings.ssim ? equalPlaneSsim(layout.planes[p]) : std::nan("");
            work.result.planes[p] = PlaneResult{0, 0, 0, ssim, -1, -1, false};
        }
        return false;
    }
    // Without -t, -p or --ssim-min alone decide: failing samples are counted but only
    // padding fails.
    const bool samplesDecide = settings.toleranceGiven || (settings.floor < 0 && settings.ssimMin < 0);
    bool differs = false;
    bool fails = false;
    std::string line = "frame " + std::to_string(frame) + ":";
    for (int p = 0; p < layout.planeCount; ++p) {
        const PlaneTally tally = comparePlane(p, geometry, settings, buffers.expected, buffers.actual, buffers, frame);
        const double mse = meanSquare(tally, layout.planes[p]);
        const std::string psnr = psnrText(mse, geometry.expectedCoding.depth);
        noteWorst(run.worst[p], frame, mse, tally.largest);
        differs = differs || tally.largest != 0 || tally.padded != 0;
        bool planeFails =
            tally.padded != 0 || (samplesDecide && tally.failing != 0) || belowFloor(psnr, settings.floor);
        line += (p == 0 ? " " : "; ") + planeReport(layout.planes[p], tally, psnr, geometry, settings);
        const double ssim =
            settings.ssim ? planeSsim(p, geometry, buffers.expected, buffers.actual, work.ssimBuffers) : std::nan("");
        // Under --ssim-min, a plane too small for SSIM is held to the tolerance instead.
        const bool judgedBySamples = settings.ssimMin >= 0 && underSsimWindow(layout.planes[p]);
        planeFails = planeFails || belowSsimMin(ssim, settings) || (judgedBySamples && tally.failing != 0);
        fails = fails || planeFails;
        line += ssimReport(ssim, settings);
        work.result.planes[p] =
            PlaneResult{tally.failing, tally.largest, mse, ssim, tally.firstX, tally.firstY, planeFails};
    }
    if (fails) {
        line += diagnoseFrame(settings, geometry, buffers, work.result, work.diagnosis);
    }
    work.result.fails = fails;
    run.framesDiffering += differs ? 1 : 0;
    if (fails && !settings.quiet && !settings.listSamples) {
        say(line + "\n");
    }
    return fails;
}

// What is left of a file once one of the two has ended; `got` is what its last read gave.
// A file that gave a whole frame is read one byte further, no more: it may never end. A
// byte --align still holds counts as read, so that a pipe reads as a file does.
static Remainder countRemainder(const Input& input, const Held& held, int side, Buffers& buffers, size_t frameSize,
                                size_t got)
{
    if (got < frameSize) {
        return Remainder{0, got, false};
    }
    const auto s = static_cast<size_t>(side);
    const bool heldMore = held.next[s] < held.frames[s].size() && !held.frames[s][held.next[s]].empty();
    const bool more =
        heldMore || readUpTo(input, frameRoom(buffers, side, frameSize + 1, frameSize) + frameSize, 1) != 0;
    return Remainder{1, 0, more};
}

// The next frame of a file: one --align held back, else one read.
static size_t nextFrame(const Input& input, Held& held, int side, Buffers& buffers, size_t frameSize)
{
    const auto s = static_cast<size_t>(side);
    if (held.next[s] < held.frames[s].size()) {
        const std::vector<uint8_t>& kept = held.frames[s][held.next[s]];
        ++held.next[s];
        std::copy(kept.begin(), kept.end(), frameRoom(buffers, side, kept.size(), frameSize));
        return kept.size();
    }
    return readFrame(input, buffers, side, frameSize);
}

// Whether -i draws this frame: the one --picture-frame names, else the first failing one.
static bool drawsFrame(const Settings& settings, const RunTally& tally, int64_t frame, bool fails)
{
    if (settings.picturePath == nullptr || tally.pictureWritten) {
        return false;
    }
    return settings.pictureFrame < 0 ? fails : frame == settings.pictureFrame;
}

// After an early stop at `frame`, reads on to the frame --picture-frame names and draws it,
// compared in silence; when a file ends first it stays undrawn, and `rest` says which.
static void drawLaterFrame(const Settings& settings, const Geometry& geometry, const Input inputs[2], Held& held,
                           Buffers& buffers, int64_t frame, RunTally& tally, const FrameWork& work, Reports& reports,
                           Remainder rest[2])
{
    if (settings.picturePath == nullptr || tally.pictureWritten || settings.pictureFrame <= frame) {
        return;
    }
    const size_t frameSize = geometry.expected.frameSize;
    for (int64_t next = frame + 1; next <= settings.pictureFrame; ++next) {
        for (int side = 0; side < 2; ++side) {
            if (nextFrame(inputs[side], held, side, buffers, frameSize) < frameSize) {
                rest[side] = Remainder{next - frame - 1, 0, false};
                rest[1 - side].more = true;
                return;
            }
        }
    }
    Settings silent = settings;
    silent.quiet = true;
    silent.listSamples = false;
    RunTally scratch = tally;
    FrameWork scratchWork = work;
    compareFrame(silent, geometry, buffers, settings.pictureFrame, scratch, scratchWork);
    reports.picture = writePicture(settings.picturePath, geometry, buffers, scratchWork.result, settings.tolerance);
    tally.pictureWritten = true;
}

static RunTally compareFiles(const Settings& settings, const Geometry& geometry, const Input inputs[2], Held& held,
                             Buffers& buffers, int64_t firstFrame, Remainder rest[2], Reports& reports, FrameWork& work)
{
    const size_t frameSize = geometry.expected.frameSize;
    RunTally tally{0, 0, 0, -1, false, false, {}, -1};
    std::fill(std::begin(tally.worst), std::end(tally.worst), PlaneWorst{0, -1, 0, -1, 0, 0, -1, 0, 0});
    for (;;) {
        const size_t gotExpected = nextFrame(inputs[0], held, 0, buffers, frameSize);
        const size_t gotActual = nextFrame(inputs[1], held, 1, buffers, frameSize);
        if (gotExpected < frameSize || gotActual < frameSize) {
            rest[0] = countRemainder(inputs[0], held, 0, buffers, frameSize, gotExpected);
            rest[1] = countRemainder(inputs[1], held, 1, buffers, frameSize, gotActual);
            closeDisplacementRun(settings, work.diagnosis);
            return tally;
        }
        const int64_t frame = firstFrame + tally.framesCompared++;
        if (settings.ssim && work.ssimBuffers.sums[0].empty()) {
            work.ssimBuffers = makeSsimBuffers(geometry.expected);
        }
        const bool fails = compareFrame(settings, geometry, buffers, frame, tally, work);
        noteSsim(tally, geometry.expected.planeCount, work.result);
        reportFrame(reports, geometry, settings, work.result);
        if (drawsFrame(settings, tally, frame, fails)) {
            reports.picture = writePicture(settings.picturePath, geometry, buffers, work.result, settings.tolerance);
            tally.pictureWritten = true;
        }
        if (!fails) {
            continue;
        }
        tally.lastFailing = frame;
        if (tally.framesFailing++ == 0) {
            tally.firstFailing = frame;
        }
        // A report is whole: -q alone stops at the first failing frame.
        if ((settings.quiet && !reportsWanted(settings)) || tally.framesFailing == settings.stopAfter) {
            tally.stopped = true;
            closeDisplacementRun(settings, work.diagnosis);
            drawLaterFrame(settings, geometry, inputs, held, buffers, frame, tally, work, reports, rest);
            return tally;
        }
    }
}

// ---- Alignment ----

// Failing samples and the lowest plane PSNR in hundredths of a dB, as printed, summed over
// `pairs` frame pairs: --align weighs them per pair, as exact fractions.
struct AlignScore {
    uint64_t failing;
    int64_t psnr;
    int64_t pairs;
};

// An equal plane counts as 1000 dB, above any PSNR samples of 16 bits can give.
constexpr int64_t equalPlaneHundredths = 100000;

static int64_t printedHundredths(double mse, int32_t depth)
{
    return mse == 0 ? equalPlaneHundredths : std::llround(std::strtod(psnrText(mse, depth).c_str(), nullptr) * 100);
}

static AlignScore scoreFrame(const Geometry& geometry, const Settings& settings, const Buffers& buffers,
                             const uint8_t* expected, const uint8_t* actual)
{
    const FrameLayout& layout = geometry.expected;
    Settings silent = settings;
    silent.listSamples = false;
    AlignScore score{0, equalPlaneHundredths, 1};
    for (int p = 0; p < layout.planeCount; ++p) {
        const PlaneTally tally = comparePlane(p, geometry, silent, expected, actual, buffers, 0);
        score.failing += tally.failing;
        score.psnr =
            std::min(score.psnr, printedHundredths(meanSquare(tally, layout.planes[p]), geometry.expectedCoding.depth));
    }
    return score;
}

// Whether `score` beats `best`: fewer failing samples a pair, then a higher PSNR a pair,
// each compared cross-multiplied so that equal scores are equal.
static bool betterAlignment(const AlignScore& score, const AlignScore& best)
{
    if (best.pairs == 0) {
        return true;
    }
    const auto pairs = static_cast<uint64_t>(score.pairs);
    const auto bestPairs = static_cast<uint64_t>(best.pairs);
    if (score.failing * bestPairs != best.failing * pairs) {
        return score.failing * bestPairs < best.failing * pairs;
    }
    return score.psnr * best.pairs > best.psnr * score.pairs;
}

// Gets ready to align on up to `reach` frames of a file: holds them, as they are read, when
// it is a pipe; counts them when it can seek, with room for one to be read in place.
static void prepareAlignment(const Input& input, Held& held, int side, Buffers& buffers, size_t frameSize,
                             int64_t reach)
{
    const auto s = static_cast<size_t>(side);
    struct stat status {};
    held.start[s] = lseek(input.fd, 0, SEEK_CUR);
    held.seekable[s] = fstat(input.fd, &status) == 0 && S_ISREG(status.st_mode) && held.start[s] >= 0;
    if (held.seekable[s]) {
        const int64_t left = std::max<int64_t>(status.st_size - held.start[s], 0);
        held.whole[s] = std::min<int64_t>(left / static_cast<int64_t>(frameSize), reach);
        if (held.whole[s] > 0) {
            frameRoom(buffers, side, frameSize, frameSize);
        }
        return;
    }
    for (int64_t i = 0; i < reach; ++i) {
        const size_t got = readFrame(input, buffers, side, frameSize);
        const uint8_t* frame = frameOf(buffers, side);
        held.frames[s].emplace_back(frame, frame + got);
        if (got < frameSize) {
            break;
        }
        ++held.whole[s];
    }
}

// Frame k of a file from where aligning starts: held, or read in place into `buffer`.
static const uint8_t* alignFrame(const Input& input, const Held& held, int side, int64_t k, size_t frameSize,
                                 uint8_t* buffer)
{
    const auto s = static_cast<size_t>(side);
    if (!held.seekable[s]) {
        return held.frames[s][static_cast<size_t>(k)].data();
    }
    const off_t at = held.start[s] + static_cast<off_t>(k) * static_cast<off_t>(frameSize);
    if (readUpTo(input, buffer, frameSize, at) < frameSize) {
        fail(input.path, "changed while being read");
    }
    return buffer;
}

// Finds ACTUAL's offset among -MAX..MAX over the first frames both have at it, at most
// alignWindow: the fewest failing samples, then the highest PSNR (both per frame pair, so
// that a short overlap weighs as much as a long one), then the smallest |offset|, ACTUAL
// late before early. Then sets both files at the offset.
static int64_t alignFiles(const Settings& settings, const Geometry& geometry, const Input inputs[2], Held& held,
                          Buffers& buffers)
{
    const size_t frameSize = geometry.expected.frameSize;
    const int64_t reach = settings.alignMax + alignWindow;
    prepareAlignment(inputs[0], held, 0, buffers, frameSize, reach);
    prepareAlignment(inputs[1], held, 1, buffers, frameSize, reach);
    int64_t best = 0;
    AlignScore bestScore{0, 0, 0};
    // 0, 1, -1, 2, -2, ...: the first of equal scores has the smallest |offset|, late first.
    for (int64_t n = 0; n <= 2 * settings.alignMax; ++n) {
        const int64_t offset = n % 2 == 1 ? (n + 1) / 2 : -(n / 2);
        const int64_t startExpected = offset < 0 ? -offset : 0;
        const int64_t startActual = offset > 0 ? offset : 0;
        const int64_t overlap = std::min({alignWindow, held.whole[0] - startExpected, held.whole[1] - startActual});
        if (overlap <= 0) {
            continue;
        }
        AlignScore score{0, 0, overlap};
        for (int64_t i = 0; i < overlap; ++i) {
            const uint8_t* expected = alignFrame(inputs[0], held, 0, startExpected + i, frameSize, buffers.expected);
            const uint8_t* actual = alignFrame(inputs[1], held, 1, startActual + i, frameSize, buffers.actual);
            const AlignScore pair = scoreFrame(geometry, settings, buffers, expected, actual);
            score.failing += pair.failing;
            score.psnr += pair.psnr;
        }
        if (betterAlignment(score, bestScore)) {
            best = offset;
            bestScore = score;
        }
    }
    const int64_t starts[2] = {best < 0 ? -best : 0, best > 0 ? best : 0};
    for (size_t s = 0; s < 2; ++s) {
        if (!held.seekable[s]) {
            held.next[s] = static_cast<size_t>(std::min<int64_t>(starts[s], int64_t(held.frames[s].size())));
        } else if (lseek(inputs[s].fd, held.start[s] + static_cast<off_t>(starts[s]) * static_cast<off_t>(frameSize),
                         SEEK_SET) < 0) {
            failSystem(inputs[s].path, "cannot seek");
        }
    }
    return best;
}

static void reportAlignment(int64_t offset)
{
    if (offset == 0) {
        say("ACTUAL starts in step with EXPECTED\n");
        return;
    }
    const int64_t frames = offset < 0 ? -offset : offset;
    say("ACTUAL starts " + std::to_string(frames) + (frames == 1 ? " frame " : " frames ") +
        (offset > 0 ? "late" : "early") + "; compared from there\n");
}

// ---- Report ----

// "1 frame", "2 frames".
static std::string framesText(int64_t count)
{
    return std::to_string(count) + (count == 1 ? " frame" : " frames");
}

// Reports lengths that differ and partial frames; returns whether the ends differ.
static bool reportEnds(const Settings& settings, const Geometry& geometry, const RunTally& tally,
                       const Remainder rest[2], const Buffers& buffers)
{
    const char* names[2] = {"EXPECTED", "ACTUAL"};
    const int64_t frames[2] = {tally.framesCompared + rest[0].wholeFrames, tally.framesCompared + rest[1].wholeFrames};
    const bool partialsAlike = frames[0] == frames[1] && rest[0].partialBytes == rest[1].partialBytes &&
                               (rest[0].partialBytes == 0 || geometry.sameFormat) &&
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

// The criteria a passing clip met: "-t 1", "-p 38.00", "--ssim-min 0.5", as given.
static std::string criteriaText(const Settings& settings)
{
    std::string text;
    if (settings.toleranceGiven) {
        text += "-t " + std::to_string(settings.tolerance);
    }
    if (settings.floor >= 0) {
        text += std::string(text.empty() ? "" : " ") + "-p " + floorText(settings.floor);
    }
    if (settings.ssimMin >= 0) {
        char ssim[32];
        std::snprintf(ssim, sizeof ssim, "%.6g", double(settings.ssimMin) / ssimUnits);
        text += std::string(text.empty() ? "" : " ") + "--ssim-min " + ssim;
    }
    return text;
}

// ", SSIM lowest 0.981234 at frame 3, average 0.993210" for a plane with SSIM.
static std::string ssimSummary(const PlaneWorst& worst)
{
    if (worst.lowestSsimFrame < 0) {
        return "";
    }
    char text[96];
    std::snprintf(text, sizeof text, ", SSIM lowest %.6f at frame %lld, average %.6f", worst.lowestSsim,
                  static_cast<long long>(worst.lowestSsimFrame), worst.ssimSum / double(worst.ssimFrames));
    return text;
}

// "; Y lowest 35.53 dB at frame 12, max 6 at frame 12, average 48.20 dB" for each plane,
// "; U inf dB" for a plane equal in every frame.
static std::string worstText(const Geometry& geometry, const RunTally& tally)
{
    std::string text;
    const int32_t depth = geometry.expectedCoding.depth;
    for (int p = 0; p < geometry.expected.planeCount; ++p) {
        const PlaneWorst& worst = tally.worst[p];
        text += std::string("; ") + geometry.expected.planes[p].name;
        if (worst.highestMse == 0) {
            text += " inf dB" + ssimSummary(worst);
            continue;
        }
        text += " lowest " + psnrText(worst.highestMse, depth) + " dB at frame " +
                std::to_string(worst.highestMseFrame) + ", max " + std::to_string(worst.largest) + " at frame " +
                std::to_string(worst.largestFrame) + ", average " +
                psnrText(worst.mseSum / double(tally.framesCompared), depth) + " dB" + ssimSummary(worst);
    }
    return text;
}

static void reportSummary(const Settings& settings, const Geometry& geometry, const RunTally& tally, bool endsDiffer)
{
    if (tally.stopped) {
        // -n: how many frames the files hold is not known, only where the run stopped.
        say("stopped after " + std::to_string(tally.framesFailing) +
            (tally.framesFailing == 1 ? " failing frame" : " failing frames") + ", at frame " +
            std::to_string(tally.lastFailing) +
            (tally.framesFailing > 1 ? ", first at frame " + std::to_string(tally.firstFailing) : "") +
            worstText(geometry, tally) + "\n");
    } else if (tally.framesFailing != 0) {
        say(std::to_string(tally.framesFailing) + " of " + std::to_string(tally.framesCompared) +
            " frames fail, first at frame " + std::to_string(tally.firstFailing) + worstText(geometry, tally) + "\n");
    } else if (tally.framesDiffering != 0) {
        const std::string passed = endsDiffer ? "first " + framesText(tally.framesCompared) + " pass, "
                                              : "pass: " + framesText(tally.framesCompared) + ", ";
        say(passed + std::to_string(tally.framesDiffering) + " differ within " + criteriaText(settings) +
            (endsDiffer ? ", lengths differ" : "") + worstText(geometry, tally) + "\n");
    } else if (endsDiffer) {
        say("first " + framesText(tally.framesCompared) + " identical, lengths differ\n");
    } else {
        say("identical: " + framesText(tally.framesCompared) + "\n");
    }
}

// A --skip that leaves a file no frame to compare: said, and the run fails, so that a typo
// does not pass as identical.
static bool reportNothingLeft(const Settings& settings, const RunTally& tally, const Remainder rest[2])
{
    if (!settings.skipGiven || tally.framesCompared != 0) {
        return false;
    }
    const char* names[2] = {"EXPECTED", "ACTUAL"};
    bool nothing = false;
    for (int i = 0; i < 2; ++i) {
        if (rest[i].wholeFrames == 0) {
            nothing = true;
            if (!settings.quiet) {
                say(std::string(names[i]) + " has no frame left after skipping " + framesText(settings.skip[i]) + "\n");
            }
        }
    }
    return nothing;
}

// Whether neither file holds a whole frame, and one holds a part of one.
static bool noWholeFrame(const RunTally& tally, const Remainder rest[2])
{
    return tally.framesCompared == 0 && rest[0].wholeFrames == 0 && rest[1].wholeFrames == 0 &&
           rest[0].partialBytes + rest[1].partialBytes != 0;
}

// "no whole frame: EXPECTED has 100 bytes, ACTUAL 100, a frame is 192"; returns whether the
// two parts differ (parts of two formats cannot be compared, and differ).
static bool reportNoWholeFrame(const Settings& settings, const Geometry& geometry, const Remainder rest[2],
                               const Buffers& buffers)
{
    const size_t bytes = rest[0].partialBytes;
    const bool alike = bytes == rest[1].partialBytes && geometry.sameFormat &&
                       std::memcmp(buffers.expected, buffers.actual, bytes) == 0;
    if (!settings.quiet) {
        say("no whole frame: EXPECTED has " + std::to_string(bytes) + " bytes, ACTUAL " +
            std::to_string(rest[1].partialBytes) + ", a frame is " + std::to_string(geometry.expected.frameSize) +
            "\n");
    }
    return !alike;
}

// Why --picture-frame drew nothing: its frame is skipped, or past the end of the file that
// ends first (frames numbered as in the report); empty when the picture was drawn.
static std::string undrawnFrameText(const Settings& settings, const RunTally& tally, int64_t firstFrame,
                                    const Remainder rest[2])
{
    if (settings.pictureFrame < 0 || tally.pictureWritten) {
        return "";
    }
    const std::string frame = std::to_string(settings.pictureFrame);
    if (settings.pictureFrame < firstFrame) {
        return "frame " + frame + " is skipped";
    }
    const int64_t frames[2] = {firstFrame + tally.framesCompared + rest[0].wholeFrames,
                               firstFrame + tally.framesCompared + rest[1].wholeFrames};
    const int shorter = rest[0].more || (!rest[1].more && frames[1] < frames[0]) ? 1 : 0;
    return "no frame " + frame + ": " + (shorter == 0 ? "EXPECTED" : "ACTUAL") + " has " +
           std::to_string(frames[shorter]);
}

// The notes on a picture not drawn, and the text report flushed. A --picture-frame that
// drew nothing is said even under -q: the status does not tell it.
static void finishOutput(const Settings& settings, const RunTally& tally, const std::string& undrawn)
{
    if (settings.picturePath != nullptr && settings.pictureFrame < 0 && !tally.pictureWritten && !settings.quiet) {
        std::fprintf(stderr, "framecmp: %s: no frame fails, no picture written\n", settings.picturePath);
    }
    if (!undrawn.empty()) {
        std::fprintf(stderr, "framecmp: --picture-frame=%lld: %s; no picture written\n",
                     static_cast<long long>(settings.pictureFrame), undrawn.c_str());
    }
    finishStandardOutput();
}

int main(int argc, char** argv)
{
    // Failed writes come back as errors, so that each takes its own road: a closed pipe
    // (EPIPE) or a file-size limit (EFBIG) no longer kills the run half way through a file.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    removeTemporariesOnInterruption();
    Settings settings = readOptions(argc, argv);
    // A report on standard output takes the place of the text report.
    settings.quiet = settings.quiet || isStandardOutput(settings.csvPath) || isStandardOutput(settings.jsonPath) ||
                     isStandardOutput(settings.plotPath);
    completeFromNames(settings);
    const Geometry geometry = makeGeometry(settings);
    refuseOutputsOverInputs(settings);
    checkOutputs(settings);
#ifndef FRAMECMP_HAVE_PNG
    if (settings.picturePath != nullptr) {
        writePicture(settings.picturePath, geometry, Buffers{}, FrameResult{}, 0);
    }
#endif
    const Input inputs[2] = {openInput(settings.expectedPath), openInput(settings.actualPath)};
    refuseOneStream(settings, inputs);
    Buffers buffers = allocateBuffers(geometry.expected);
    skipFrames(inputs[0], buffers, 0, geometry.expected.frameSize, settings.skip[0]);
    skipFrames(inputs[1], buffers, 1, geometry.expected.frameSize, settings.skip[1]);
    Reports reports = openReports(settings);
    Held held{};
    int64_t firstFrame = settings.skip[0];
    int64_t aligned = 0;
    if (settings.alignMax >= 0) {
        const int64_t offset = alignFiles(settings, geometry, inputs, held, buffers);
        firstFrame += offset < 0 ? -offset : 0;
        aligned = offset;
        if (!settings.quiet) {
            reportAlignment(offset);
        }
    }
    startReports(reports, settings, firstFrame, settings.skip[1] - settings.skip[0] + aligned);
    Remainder rest[2] = {};
    FrameWork work{SsimBuffers{}, {}, {{}, -1, {}}};
    const RunTally tally = compareFiles(settings, geometry, inputs, held, buffers, firstFrame, rest, reports, work);
    bool endsDiffer = false;
    if (reportNothingLeft(settings, tally, rest)) {
        endsDiffer = true;
    } else if (noWholeFrame(tally, rest)) {
        endsDiffer = reportNoWholeFrame(settings, geometry, rest, buffers);
    } else {
        if (!tally.stopped) {
            endsDiffer = reportEnds(settings, geometry, tally, rest, buffers);
        }
        if (!settings.quiet) {
            reportSummary(settings, geometry, tally, endsDiffer);
        }
    }
    releaseBuffers(buffers);
    close(inputs[1].fd);
    close(inputs[0].fd);
    const int status = tally.framesFailing != 0 || endsDiffer ? statusFail : statusPass;
    finishReports(reports, settings, geometry, tally, work.diagnosis.displacements, rest, status);
    finishOutput(settings, tally, undrawnFrameText(settings, tally, firstFrame, rest));
    placeOutputs(reports);
    return status;
}
