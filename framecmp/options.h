// framecmp's command line: what makes a sample or plane fail, what the text shows, and the
// files and frames to compare.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"
#include "common/framelayout.h"
#include "framecmp/criteria.h"

namespace framecmp {

// --ssim-min in millionths.
constexpr int64_t ssimUnits = 1000000;

// What one plane is held to under per-plane criteria.
struct PlaneCriteria {
    int32_t tolerance;
    bool toleranceGiven;
    int64_t psnrFloor;
    int64_t ssimMin;
};

// What makes a sample or a plane fail: the comparison, the search for lost bus words and
// --align judge by these alone. Under per-plane criteria each plane is judged by its own
// (`planes`), and the search and --align by the lowest tolerance.
struct Criteria {
    int32_t tolerance;   // a sample fails beyond it
    bool toleranceGiven; // without -t, -p or --ssim-min alone decide
    int64_t psnrFloor;   // hundredths of a dB; -1 without -p
    int64_t ssimMin;     // millionths; -1 without --ssim-min
    bool ssim;           // SSIM computed (--ssim or --ssim-min)
    bool perPlane;       // some criterion given as PLANES=VALUE
    PlaneCriteria planes[3];
};

// The criteria plane `plane` is judged by: its own under per-plane criteria, else all of them.
Criteria criteriaOf(const Criteria& criteria, int plane);

// What the text report on standard output shows.
struct TextChoices {
    bool quiet;       // nothing (-q, or a report on standard output)
    bool listSamples; // every failing sample (-l) in place of the frames' lines
};

// --crop's region in luma samples; width 0 compares the whole frame.
struct Region {
    int32_t x;
    int32_t y;
    int32_t width;
    int32_t height;
};

// The command line.
struct Options {
    Criteria criteria;
    CriterionGiven given[3]; // -t, -p and --ssim-min as given
    TextChoices text;
    const char* expectedPath;
    const char* actualPath;
    const char* picturePath;
    const char* csvPath; // "-" for standard output
    const char* jsonPath;
    const char* plotPath;
    const char* junitPath;
    bool junitFrames;     // a test case per failing frame
    const char* maskPath; // --unknown: ACTUAL's unknown bits; null without
    int64_t stopAfter;    // failing frames; 0 is no limit
    int64_t skip[2];      // frames of EXPECTED and ACTUAL
    int64_t alignMax;     // -1 without --align
    int64_t pictureFrame; // the frame -i draws; -1 for the first failing one
    Format format;
    Format actualFormat;
    BufferGeometry geometry[2]; // where EXPECTED's and ACTUAL's buffers put lines and frames
    int32_t width;              // 0 until -s or a name gives it
    int32_t height;
    Region crop;    // set by --crop, or by --border once the size is known
    int32_t border; // -1 without --border
    bool formatGiven;
    bool formatNamed; // EXPECTED's format given by -f or a format part of a name
    bool actualFormatGiven;
    bool skipGiven;
};

bool isStandardOutput(const char* path);

bool reportsWanted(const Options& options);

Options readOptions(int argc, char** argv);

// Fills in what -s, -f and -F left open from the names (see the .cpp).
void completeFromNames(Options& options);

// Per-plane criteria held to the planes of EXPECTED's format: a letter it has not is trouble.
void resolvePlaneCriteria(Options& options);

} // namespace framecmp
