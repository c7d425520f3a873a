// The report files: the CSV and the JSON side by side, and the plot's file, written under
// temporary names until the verdict.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"
#include "framecmp/compare/coding.h"
#include "framecmp/compare/frame.h"
#include "framecmp/compare/result.h"
#include "framecmp/diagnosis/displacement.h"
#include "framecmp/input.h"
#include "framecmp/options.h"
#include "framecmp/report/plotpoints.h"
#include "framecmp/tally.h"

namespace framecmp {

// A report file: written through a SafeOutput, or to standard output. No file when `file`
// is null.
struct ReportFile {
    SafeOutput out;
    bool standardOutput;
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

void put(ReportFile& report, const std::string& text);

Reports openReports(const Options& options);

void startReports(Reports& reports, const Options& options, const PairLayout& pair, int64_t firstFrame, int64_t offset);

// Why a plane fails, as the reports say it: "samples", "psnr+ssim", ...; "" when it passes.
std::string reasonText(uint8_t reasons);

void reportFrame(Reports& reports, const PairLayout& pair, const Options& options, const FrameResult& result);

void finishReports(Reports& reports, const Options& options, const PairLayout& pair, const RunTally& tally,
                   const std::vector<Displacement>& displacements, const std::vector<FrameShift>& frameShifts,
                   const Remainder rest[2], int status);

void placeOutputs(Reports& reports);

} // namespace framecmp
