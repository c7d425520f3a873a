#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"

namespace framecmp {

// --ssim-min in millionths.
constexpr int64_t ssimUnits = 1000000;

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

bool isStandardOutput(const char* path);

bool reportsWanted(const Settings& settings);

Settings readOptions(int argc, char** argv);

void completeFromNames(Settings& settings);

} // namespace framecmp
