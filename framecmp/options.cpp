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

constexpr int64_t highestAlign = 1000;

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

bool isStandardOutput(const char* path)
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

bool reportsWanted(const Settings& settings)
{
    return settings.csvPath != nullptr || settings.jsonPath != nullptr || settings.plotPath != nullptr;
}

Settings readOptions(int argc, char** argv)
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
        case 'h': printAndExit(usageText);
        case 'V': printAndExit("framecmp (yuvtools) " YUVTOOLS_VERSION "\n");
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

// Fills in what -s and -f left open from the names, which must agree where both tell.
void completeFromNames(Settings& settings)
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

} // namespace framecmp
