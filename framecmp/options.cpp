#include <algorithm>
#include <cerrno>
#include <cmath>
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

#include "framecmp/options.h"

namespace framecmp {

static const char usageText[] =
    "usage: framecmp [-qlh] [-s WIDTHxHEIGHT] [-f FORMAT] [-F FORMAT] [-t N] [-p DB] [-n COUNT]\n"
    "                [-i PICTURE.png [--picture-frame=N]] [--skip=N[:M]] [--align=MAX] [--csv FILE]\n"
    "                [--json FILE] [--plot FILE.svg] [--junit=FILE [--junit-frames]] [--ssim]\n"
    "                [--ssim-min=S] [--unknown=MASK]\n"
    "                EXPECTED ACTUAL\n"
    "  -s WxH        picture size (default: from the file names, as clip_w176_144_420... or\n"
    "                clip_176x144_yuv420p.yuv, whose format part sets -f, and -F in ACTUAL's)\n"
    "  -f FORMAT     EXPECTED's format: yuv420p nv12 nv21 yuv422p nv16 yuv440p yuv444p nv24 gray\n"
    "                yuyv422 yvyu422 uyvy422 vyuy422 gbrp, RGB as rgb24 bgra 0rgb ... (8 bits);\n"
    "                10-bit words v210 v410 y410 xv30le xv20 xv15 x2rgb10le x2bgr10le;\n"
    "                ffmpeg's names above 8 bits (yuv420p10le, p010le, y210le, gbrp10le,\n"
    "                rgb48le, ayuv64le, ...); LAYOUT:DEPTH (value in the low bits) or\n"
    "                LAYOUT:DEPTHm (in the high bits), as nv12:10; i420 422p 440p yuyv\n"
    "                yvyu uyvy vyuy (default: from the sampling in the names:\n"
    "                420 yuv420p, 422 yuv422p, 440 yuv440p, 400 gray)\n"
    "  -F FORMAT     ACTUAL's format, of EXPECTED's sampling and depth, RGB or YUV as it is\n"
    "                (default: EXPECTED's)\n"
    "  -t N          a sample fails when it differs by more than N (default 0)\n"
    "  -p DB         a plane fails when its PSNR is below DB; without -t, only PSNR decides\n"
    "                -t, -p and --ssim-min take PLANES=VALUE[,PLANES=VALUE...] as well, as\n"
    "                -t Y=0,UV=1 -p Y=45,UV=40: a plane no criterion names is held exact\n"
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
    "  --junit=FILE  write the verdict as JUnit XML, as CI dashboards show it, also on trouble\n"
    "  --junit-frames  with --junit, a test case per failing frame (at most 1000)\n"
    "  --ssim        compute each plane's SSIM as ffmpeg's ssim filter does\n"
    "  --ssim-min=S  a plane fails when its SSIM is below S (0 to 1); implies --ssim\n"
    "  --unknown=MASK  MASK, laid out as ACTUAL, holds its unknown bits: a sample whose mask\n"
    "                is not zero fails, and is counted unknown\n"
    "  --stride=Y[,C]  ACTUAL's bytes from one line's start to the next, luma and chroma\n"
    "  --plane-rows=R  rows allocated to ACTUAL's luma plane (the chroma's scaled down)\n"
    "  --chroma-offset=N  bytes from ACTUAL's frame start to its first chroma plane\n"
    "  --frame-bytes=N  bytes from one ACTUAL frame's start to the next\n"
    "  --expected-stride, --expected-plane-rows, --expected-chroma-offset,\n"
    "  --expected-frame-bytes  the same for EXPECTED\n"
    "  --crop=X,Y,W,H  compare only the region of W x H luma samples at X,Y\n"
    "  --border=N    compare the frame less N samples on each side\n"
    "  --help, --version\n"
    "a sample also fails when its padding bits are set\n"
    "exit status: 0 pass, 1 fail or lengths differ, 2 trouble\n";

constexpr int64_t highestAlign = 1000;

static void readSize(const char* text, Options& options)
{
    const char* cross = std::strpbrk(text, "xX");
    const std::string widthText = cross == nullptr ? std::string() : std::string(text, cross);
    const int64_t width = readDecimal(widthText.c_str(), 1, INT32_MAX);
    const int64_t height = cross == nullptr ? -1 : readDecimal(cross + 1, 1, INT32_MAX);
    if (width < 0 || height < 0) {
        failUsage(std::string("-s ") + text, "not WIDTHxHEIGHT with both from 1 to 2147483647");
    }
    options.width = static_cast<int32_t>(width);
    options.height = static_cast<int32_t>(height);
}

static Format readFormat(const char* option, const char* text)
{
    Format format{};
    if (!parseFormat(text, format)) {
        failUsage(std::string(option) + " " + text, "unknown format; known: " + knownFormatNames());
    }
    return format;
}

// --skip=N or --skip=N:M.
static void readSkip(const char* text, Options& options)
{
    const char* colon = std::strchr(text, ':');
    const std::string first = colon == nullptr ? std::string(text) : std::string(text, colon);
    const int64_t expected = readDecimal(first.c_str(), 0, INT64_MAX / 4);
    const int64_t actual = colon == nullptr ? expected : readDecimal(colon + 1, 0, INT64_MAX / 4);
    if (expected < 0 || actual < 0) {
        failUsage(std::string("--skip=") + text, "not N or N:M, frame counts from 0");
    }
    options.skip[0] = expected;
    options.skip[1] = actual;
    options.skipGiven = true;
}

// -t, -p or --ssim-min: one value, kept as before, or per-plane values resolved later.
static void readCriterionOption(CriterionKind kind, const char* text, Options& options)
{
    static const char* const meanings[3] = {"not a tolerance from 0 to 65535",
                                            "not a PSNR in dB from 0 to 999.99, at most two decimals",
                                            "not an SSIM from 0 to 1, at most six decimals"};
    const auto index = static_cast<size_t>(kind);
    CriterionGiven& given = options.given[index];
    const std::string why = readCriterion(kind, text, given);
    if (!why.empty()) {
        failUsage(criterionFlags[index] + std::string(text),
                  std::strchr(text, '=') == nullptr
                      ? meanings[index]
                      : why + "; give VALUE or PLANES=VALUE[,PLANES=VALUE...], as Y=0,UV=1");
    }
    Criteria& criteria = options.criteria;
    criteria.perPlane = false;
    for (const CriterionGiven& each : options.given) {
        criteria.perPlane = criteria.perPlane || !each.groups.empty();
    }
    const int64_t single = given.groups.empty() ? given.value : -1;
    switch (kind) {
    case CriterionKind::tolerance:
        criteria.tolerance = static_cast<int32_t>(std::max<int64_t>(single, 0));
        criteria.toleranceGiven = single >= 0;
        break;
    case CriterionKind::psnr: criteria.psnrFloor = single; break;
    case CriterionKind::ssim:
        criteria.ssimMin = single;
        criteria.ssim = true;
        break;
    }
}

// The buffer options, ACTUAL's and then EXPECTED's, as getopt_long returns them.
enum GeometryOption : int {
    strideOption = 256,
    planeRowsOption,
    chromaOffsetOption,
    frameBytesOption,
    expectedStrideOption,
    expectedPlaneRowsOption,
    expectedChromaOffsetOption,
    expectedFrameBytesOption,
};

constexpr int geometryOptions = 4;

// --stride=Y[,C]: each from 1 to 2147483647.
static void readStride(const std::string& name, const char* text, BufferGeometry& geometry)
{
    const char* comma = std::strchr(text, ',');
    const std::string luma = comma == nullptr ? std::string(text) : std::string(text, comma);
    geometry.stride[0] = readDecimal(luma.c_str(), 1, INT32_MAX);
    geometry.stride[1] = comma == nullptr ? 0 : readDecimal(comma + 1, 1, INT32_MAX);
    if (geometry.stride[0] < 0 || geometry.stride[1] < 0) {
        failUsage(name + "=" + text, "not Y or Y,C, line strides in bytes from 1 to 2147483647");
    }
}

// One of the buffer options of EXPECTED or ACTUAL.
static void readGeometry(int opt, const char* text, Options& options)
{
    static const char* const names[] = {"stride", "plane-rows", "chroma-offset", "frame-bytes"};
    const bool expected = opt >= expectedStrideOption;
    const int which = (opt - strideOption) % geometryOptions;
    const std::string name = (expected ? "--expected-" : "--") + std::string(names[which]);
    BufferGeometry& geometry = options.geometry[expected ? 0 : 1];
    if (which == 0) {
        readStride(name, text, geometry);
        return;
    }
    const int64_t value = readDecimal(text, which == 2 ? 0 : 1, INT32_MAX);
    if (value < 0) {
        failUsage(name + "=" + text, which == 2   ? "not a byte offset from 0 to 2147483647"
                                     : which == 1 ? "not a row count from 1 to 2147483647"
                                                  : "not a byte count from 1 to 2147483647");
    }
    (which == 1 ? geometry.planeRows : which == 2 ? geometry.chromaOffset : geometry.frameBytes) = value;
}

// --crop=X,Y,W,H: the corner from 0, the size from 1; the frame and the chroma check it later.
static Region readCrop(const char* text)
{
    int64_t values[4] = {-1, -1, -1, -1};
    const char* from = text;
    for (int i = 0; i < 4 && from != nullptr; ++i) {
        const char* comma = std::strchr(from, ',');
        if ((comma == nullptr) != (i == 3)) {
            break;
        }
        const std::string part = comma == nullptr ? std::string(from) : std::string(from, comma);
        values[i] = readDecimal(part.c_str(), i < 2 ? 0 : 1, INT32_MAX);
        from = comma == nullptr ? nullptr : comma + 1;
    }
    if (std::any_of(std::begin(values), std::end(values), [](int64_t v) { return v < 0; })) {
        failUsage(std::string("--crop=") + text, "not X,Y,W,H in luma samples, X and Y from 0, W and H from 1");
    }
    return Region{static_cast<int32_t>(values[0]), static_cast<int32_t>(values[1]), static_cast<int32_t>(values[2]),
                  static_cast<int32_t>(values[3])};
}

bool isStandardOutput(const char* path)
{
    return path != nullptr && std::strcmp(path, "-") == 0;
}

// At most one report on standard output, and then no -l listing to mix with it.
static void checkReports(const Options& options)
{
    const char* paths[3] = {options.csvPath, options.jsonPath, options.plotPath};
    const auto onStandardOutput = std::count_if(std::begin(paths), std::end(paths), isStandardOutput);
    if (onStandardOutput > 1) {
        failUsage("-", "only one report can go to standard output");
    }
    if (onStandardOutput == 1 && options.text.listSamples) {
        failUsage("-l", "cannot list samples on standard output while a report goes there");
    }
}

bool reportsWanted(const Options& options)
{
    return options.csvPath != nullptr || options.jsonPath != nullptr || options.plotPath != nullptr ||
           options.junitPath != nullptr;
}

Options readOptions(int argc, char** argv)
{
    static const option longOptions[] = {
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {"skip", required_argument, nullptr, 'S'},
        {"align", required_argument, nullptr, 'A'},
        {"csv", required_argument, nullptr, 'C'},
        {"json", required_argument, nullptr, 'J'},
        {"plot", required_argument, nullptr, 'G'},
        {"ssim", no_argument, nullptr, 'M'},
        {"ssim-min", required_argument, nullptr, 'N'},
        {"picture-frame", required_argument, nullptr, 'P'},
        {"unknown", required_argument, nullptr, 'U'},
        {"stride", required_argument, nullptr, strideOption},
        {"plane-rows", required_argument, nullptr, planeRowsOption},
        {"chroma-offset", required_argument, nullptr, chromaOffsetOption},
        {"frame-bytes", required_argument, nullptr, frameBytesOption},
        {"expected-stride", required_argument, nullptr, expectedStrideOption},
        {"expected-plane-rows", required_argument, nullptr, expectedPlaneRowsOption},
        {"expected-chroma-offset", required_argument, nullptr, expectedChromaOffsetOption},
        {"expected-frame-bytes", required_argument, nullptr, expectedFrameBytesOption},
        {"junit", required_argument, nullptr, 'X'},
        {"junit-frames", no_argument, nullptr, 'Y'},
        {"crop", required_argument, nullptr, 'R'},
        {"border", required_argument, nullptr, 'B'},
        {nullptr, 0, nullptr, 0}};
    Options options{};
    options.criteria.psnrFloor = -1;
    options.alignMax = -1;
    options.criteria.ssimMin = -1;
    options.pictureFrame = -1;
    options.geometry[0].chromaOffset = -1;
    options.geometry[1].chromaOffset = -1;
    options.border = -1;
    opterr = 0;
    int opt = 0;
    while ((opt = getopt_long(argc, argv, ":s:f:F:t:p:qln:i:h", longOptions, nullptr)) != -1) {
        switch (opt) {
        case 's': readSize(optarg, options); break;
        case 'f':
            options.format = readFormat("-f", optarg);
            options.formatGiven = true;
            break;
        case 'F':
            options.actualFormat = readFormat("-F", optarg);
            options.actualFormatGiven = true;
            break;
        case 't': readCriterionOption(CriterionKind::tolerance, optarg, options); break;
        case 'p': readCriterionOption(CriterionKind::psnr, optarg, options); break;
        case 'q': options.text.quiet = true; break;
        case 'l': options.text.listSamples = true; break;
        case 'n':
            options.stopAfter = readDecimal(optarg, 1, INT64_MAX);
            if (options.stopAfter < 0) {
                failUsage(std::string("-n ") + optarg, "not a count from 1");
            }
            break;
        case 'i': options.picturePath = optarg; break;
        case 'S': readSkip(optarg, options); break;
        case 'A':
            options.alignMax = readDecimal(optarg, 0, highestAlign);
            if (options.alignMax < 0) {
                failUsage(std::string("--align=") + optarg, "not a frame count from 0 to 1000");
            }
            break;
        case 'C': options.csvPath = optarg; break;
        case 'J': options.jsonPath = optarg; break;
        case 'G': options.plotPath = optarg; break;
        case 'M': options.criteria.ssim = true; break;
        case 'N': readCriterionOption(CriterionKind::ssim, optarg, options); break;
        case 'P':
            options.pictureFrame = readDecimal(optarg, 0, INT64_MAX / 4);
            if (options.pictureFrame < 0) {
                failUsage(std::string("--picture-frame=") + optarg, "not a frame number from 0");
            }
            break;
        case 'U': options.maskPath = optarg; break;
        case 'R': options.crop = readCrop(optarg); break;
        case 'B': {
            const int64_t border = readDecimal(optarg, 0, INT32_MAX / 2);
            if (border < 0) {
                failUsage(std::string("--border=") + optarg, "not a sample count from 0");
            }
            options.border = static_cast<int32_t>(border);
            break;
        }
        case strideOption:
        case planeRowsOption:
        case chromaOffsetOption:
        case frameBytesOption:
        case expectedStrideOption:
        case expectedPlaneRowsOption:
        case expectedChromaOffsetOption:
        case expectedFrameBytesOption: readGeometry(opt, optarg, options); break;
        case 'X': options.junitPath = optarg; break;
        case 'Y': options.junitFrames = true; break;
        case 'h': printAndExit(usageText);
        case 'V': printAndExit("framecmp (yuvtools) " YUVTOOLS_VERSION "\n");
        case ':': failUsage(argv[optind - 1], "needs a value");
        default: failUsage(optopt != 0 ? std::string("-") + char(optopt) : argv[optind - 1], "unknown option");
        }
    }
    if (argc - optind != 2) {
        failUsage("arguments", "two files, EXPECTED and ACTUAL, are needed");
    }
    if (options.pictureFrame >= 0 && options.picturePath == nullptr) {
        failUsage("--picture-frame", "draws the picture of -i, which is not given");
    }
    if (options.junitFrames && options.junitPath == nullptr) {
        failUsage("--junit-frames", "adds to the file of --junit, which is not given");
    }
    options.expectedPath = argv[optind];
    options.actualPath = argv[optind + 1];
    if (options.text.quiet && options.text.listSamples) {
        failUsage("-q -l", "-q prints nothing and -l lists every failing sample; give one");
    }
    if (options.border >= 0 && options.crop.width != 0) {
        failUsage("--crop --border", "both give the region compared; give one");
    }
    checkReports(options);
    return options;
}

// The formats the names give: a viewer's format part counts where the name's own marker,
// when it has one, gives the same sampling (the marker wins). EXPECTED's sets -f, ACTUAL's -F;
// a format only ACTUAL's name gives is EXPECTED's too.
static void formatsFromNames(Options& options, const NameFields markers[2], const ViewerFields viewers[2])
{
    bool usable[2];
    for (int i = 0; i < 2; ++i) {
        usable[i] =
            viewers[i].formatted && (!markers[i].found || viewers[i].format.layout->sampling == markers[i].sampling);
    }
    if (!options.formatGiven) {
        const NameFields& marked = markers[0].found ? markers[0] : markers[1];
        if (usable[0] || (!marked.found && usable[1])) {
            options.format = viewers[usable[0] ? 0 : 1].format;
            options.formatNamed = true;
        } else {
            options.format = planarFormatOf(marked.found ? marked.sampling : 420);
        }
    }
    if (!options.actualFormatGiven && usable[1]) {
        options.actualFormat = viewers[1].format;
        options.actualFormatGiven = true;
    }
}

static std::string sizeText(int32_t width, int32_t height)
{
    return std::to_string(width) + "x" + std::to_string(height);
}

// Fills in what -s, -f and -F left open from the names: our _w marker, else the parts raw
// viewers read (WxH, a pixel format). Options win field by field; two names that both give
// a size must give one.
void completeFromNames(Options& options)
{
    options.formatNamed = options.formatGiven;
    const char* paths[2] = {options.expectedPath, options.actualPath};
    const ViewerFields viewers[2] = {readViewerFields(paths[0]), readViewerFields(paths[1])};
    if (options.width != 0 && options.formatGiven) {
        // The markers are not read: -s and -f say all they would.
        const NameFields none[2] = {};
        formatsFromNames(options, none, viewers);
        return;
    }
    const NameFields markers[2] = {readNameFields(paths[0]), readNameFields(paths[1])};
    if (markers[0].found && markers[1].found &&
        (markers[0].width != markers[1].width || markers[0].height != markers[1].height ||
         markers[0].sampling != markers[1].sampling)) {
        fail(options.actualPath,
             std::string("the geometry in the name disagrees with that of ") + options.expectedPath);
    }
    if (options.width == 0) {
        bool sized[2];
        int32_t widths[2];
        int32_t heights[2];
        for (int i = 0; i < 2; ++i) {
            sized[i] = markers[i].found || viewers[i].sized;
            widths[i] = markers[i].found ? markers[i].width : viewers[i].width;
            heights[i] = markers[i].found ? markers[i].height : viewers[i].height;
        }
        if (sized[0] && sized[1] && (widths[0] != widths[1] || heights[0] != heights[1])) {
            fail(options.actualPath, "the size in its name, " + sizeText(widths[1], heights[1]) + ", disagrees with " +
                                         sizeText(widths[0], heights[0]) + " in the name of " + options.expectedPath);
        }
        if (!sized[0] && !sized[1]) {
            failUsage("geometry",
                      "give -s WIDTHxHEIGHT, or names with _wWIDTH_HEIGHT_SAMPLING or a WIDTHxHEIGHT part in them");
        }
        const int named = sized[0] ? 0 : 1;
        options.width = widths[named];
        options.height = heights[named];
    }
    formatsFromNames(options, markers, viewers);
}

} // namespace framecmp
