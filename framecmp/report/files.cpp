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
#include <sys/stat.h>
#include <unistd.h>

#include "framecmp/compare/coding.h"
#include "framecmp/compare/frame.h"
#include "framecmp/compare/psnr.h"
#include "framecmp/compare/result.h"
#include "framecmp/diagnosis/displacement.h"
#include "framecmp/input.h"
#include "framecmp/options.h"
#include "framecmp/report/escape.h"
#include "framecmp/report/files.h"
#include "framecmp/report/plot.h"
#include "framecmp/report/plotpoints.h"
#include "framecmp/report/text.h"

namespace framecmp {

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

void put(ReportFile& report, const std::string& text)
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
Reports openReports(const Options& options)
{
    return Reports{openReport(options.csvPath),
                   openReport(options.jsonPath),
                   openReport(options.plotPath),
                   false,
                   0,
                   {},
                   0,
                   1,
                   SafeOutput{"", "", "", nullptr, false}};
}

std::string reasonText(uint8_t reasons)
{
    static const char* const names[] = {"samples", "psnr", "ssim", "padding", "unknown"};
    std::string text;
    for (unsigned bit = 0; bit < 5; ++bit) {
        if ((reasons & (1U << bit)) != 0) {
            text += (text.empty() ? "" : "+") + std::string(names[bit]);
        }
    }
    return text;
}

// A criterion's number as the JSON gives it: null when absent or given per plane.
static std::string criterionJson(int64_t value, bool perPlane, const std::string& number)
{
    return value < 0 || perPlane ? std::string("null") : number;
}

// The criteria: each one's number when one value is given for every plane, and what each
// plane is held to.
static std::string criteriaJson(const Options& options, const PairLayout& pair)
{
    const Criteria& criteria = options.criteria;
    std::string text = "{\"tolerance\": " +
                       (options.given[0].groups.empty() ? std::to_string(criteria.tolerance) : std::string("null")) +
                       ", \"psnr_min\": " +
                       criterionJson(criteria.psnrFloor, !options.given[1].groups.empty(),
                                     criteria.psnrFloor < 0 ? "" : floorText(criteria.psnrFloor)) +
                       ", \"ssim_min\": " +
                       criterionJson(criteria.ssimMin, !options.given[2].groups.empty(),
                                     numberText(double(criteria.ssimMin) / ssimUnits, ssimForm, "null")) +
                       ",\n  \"per_plane\": {";
    for (int p = 0; p < pair.expected.planeCount; ++p) {
        const Criteria judged = criteriaOf(criteria, p);
        text +=
            std::string(p == 0 ? "" : ", ") + "\"" + pair.expected.planes[p].name + "\": {\"tolerance\": " +
            (judged.toleranceGiven || (judged.psnrFloor < 0 && judged.ssimMin < 0) ? std::to_string(judged.tolerance)
                                                                                   : std::string("null")) +
            ", \"psnr_min\": " + (judged.psnrFloor < 0 ? std::string("null") : floorText(judged.psnrFloor)) +
            ", \"ssim_min\": " +
            (judged.ssimMin < 0 ? std::string("null")
                                : numberText(double(judged.ssimMin) / ssimUnits, ssimForm, "null")) +
            "}";
    }
    return text + "}}";
}

// The CSV's header and the JSON up to its list of frames.
void startReports(Reports& reports, const Options& options, const PairLayout& pair, int64_t firstFrame, int64_t offset)
{
    reports.firstFrame = firstFrame;
    if (reports.csv.out.file != nullptr) {
        put(reports.csv, std::string("frame,plane,failing,max_diff,mse,psnr,ssim,first_x,first_y,pass") +
                             (options.maskPath != nullptr ? ",unknown,reason\n" : ",reason\n"));
    }
    if (reports.json.out.file == nullptr) {
        return;
    }
    const Format& actualFormat = options.actualFormatGiven ? options.actualFormat : options.format;
    put(reports.json,
        "{\"expected\": " + jsonString(options.expectedPath) + ",\n\"actual\": " + jsonString(options.actualPath) +
            ",\n\"format\": " + jsonString(formatName(options.format)) + ", \"actual_format\": " +
            jsonString(formatName(actualFormat)) + ",\n\"width\": " + std::to_string(options.width) +
            ", \"height\": " + std::to_string(options.height) + ",\n\"criteria\": " + criteriaJson(options, pair) +
            ",\n\"offset\": " + std::to_string(offset) + ",\n\"frames\": [");
}

// With --unknown, each line ends in its plane's unknown samples.
static void reportFrameCsv(ReportFile& csv, const PairLayout& pair, const FrameResult& result, bool masked)
{
    for (int p = 0; p < pair.expected.planeCount; ++p) {
        const PlaneResult& plane = result.planes[p];
        const bool failing = plane.firstX >= 0;
        put(csv, std::to_string(result.frame) + "," + pair.expected.planes[p].name + "," +
                     std::to_string(plane.failing) + "," + std::to_string(plane.largest) + "," +
                     numberText(plane.mse, mseForm, "") + "," +
                     numberText(psnrOf(plane.mse, pair.expectedCoding.depth), psnrForm, "inf") + "," +
                     numberText(plane.ssim, ssimForm, "") + "," +
                     (failing ? std::to_string(plane.firstX) + "," + std::to_string(plane.firstY) : ",") +
                     (plane.fails ? ",0" : ",1") + (masked ? "," + std::to_string(plane.unknown) : "") + "," +
                     reasonText(plane.reasons) + "\n");
    }
}

static void reportFrameJson(Reports& reports, const PairLayout& pair, const FrameResult& result, bool masked)
{
    std::string text = std::string(reports.jsonFramesWritten ? ",\n" : "\n") +
                       "  {\"frame\": " + std::to_string(result.frame) +
                       ", \"pass\": " + (result.fails ? "false" : "true") + ", \"planes\": {";
    for (int p = 0; p < pair.expected.planeCount; ++p) {
        const PlaneResult& plane = result.planes[p];
        text += std::string(p == 0 ? "" : ", ") + "\"" + pair.expected.planes[p].name +
                "\": {\"failing\": " + std::to_string(plane.failing) +
                (masked ? ", \"unknown\": " + std::to_string(plane.unknown) : std::string()) +
                ", \"max_diff\": " + std::to_string(plane.largest) +
                ", \"mse\": " + numberText(plane.mse, mseForm, "null") +
                ", \"psnr\": " + numberText(psnrOf(plane.mse, pair.expectedCoding.depth), psnrForm, "null") +
                ", \"ssim\": " + numberText(plane.ssim, ssimForm, "null") + ", \"first\": " +
                (plane.firstX >= 0 ? "[" + std::to_string(plane.firstX) + ", " + std::to_string(plane.firstY) + "]"
                                   : std::string("null")) +
                ", \"reason\": " + (plane.fails ? jsonString(reasonText(plane.reasons)) : std::string("null")) + "}";
    }
    put(reports.json, text + "}}");
    reports.jsonFramesWritten = true;
}

// One compared frame into every report asked for; the plot keeps its few values.
void reportFrame(Reports& reports, const PairLayout& pair, const Options& options, const FrameResult& result)
{
    if (reports.csv.out.file != nullptr) {
        reportFrameCsv(reports.csv, pair, result, options.maskPath != nullptr);
    }
    if (reports.json.out.file != nullptr) {
        reportFrameJson(reports, pair, result, options.maskPath != nullptr);
    }
    if (reports.plot.out.file != nullptr) {
        const int64_t at = reports.plotFrames;
        PlotPoint point{{}, {}, result.fails ? at : -1};
        for (int p = 0; p < 3; ++p) {
            const bool readahead = p < pair.expected.planeCount;
            const double psnr = readahead ? psnrOf(result.planes[p].mse, pair.expectedCoding.depth) : NAN;
            point.psnr[p] = PlotValue{static_cast<float>(psnr), at};
            point.ssim[p] =
                PlotValue{readahead && options.criteria.ssim ? static_cast<float>(result.planes[p].ssim) : NAN, at};
        }
        plotFrame(reports, point);
    }
}

// The JSON's displacements, its summary and its end; with --unknown, the frames with an
// unknown sample.
static void finishJson(ReportFile& json, const PairLayout& pair, const RunTally& tally,
                       const std::vector<Displacement>& displacements, const std::vector<FrameShift>& frameShifts,
                       const Remainder rest[2], int status, bool masked)
{
    std::string text = "\n],\n\"displacements\": [";
    for (size_t i = 0; i < displacements.size(); ++i) {
        const Displacement& d = displacements[i];
        text += std::string(i == 0 ? "\n" : ",\n") + "  {\"frame\": " + std::to_string(d.frame) + ", \"plane\": \"" +
                d.plane + "\", \"x\": " + std::to_string(d.x) + ", \"y\": " + std::to_string(d.y) +
                ", \"bytes\": " + std::to_string(d.bytes) + ", \"kind\": \"" + (d.lost ? "lost" : "extra") + "\"}";
    }
    text += "],\n\"frame_displacements\": [";
    for (size_t i = 0; i < frameShifts.size(); ++i) {
        const FrameShift& f = frameShifts[i];
        text += std::string(i == 0 ? "\n" : ",\n") + "  {\"frame\": " + std::to_string(f.frame) +
                ", \"frames\": " + std::to_string(f.frames) + ", \"kind\": \"" + f.kind + "\"}";
    }
    const auto length = [&](int side) {
        const Remainder& r = rest[side];
        return tally.stopped || r.more ? std::string("null") : std::to_string(tally.framesCompared + r.wholeFrames);
    };
    const auto frameOrNull = [](int64_t frame) { return frame < 0 ? std::string("null") : std::to_string(frame); };
    text += "],\n\"summary\": {\"frames\": " + std::to_string(tally.framesCompared) +
            ", \"failing_frames\": " + std::to_string(tally.framesFailing) +
            (masked ? ", \"unknown_frames\": " + std::to_string(tally.framesUnknown) : std::string()) +
            ", \"first_failing_frame\": " + frameOrNull(tally.firstFailing) +
            ", \"stopped\": " + (tally.stopped ? "true" : "false") + ",\n  \"lengths\": {\"expected\": " + length(0) +
            ", \"actual\": " + length(1) + "}, \"status\": " + std::to_string(status);
    const int32_t depth = pair.expectedCoding.depth;
    std::string average;
    std::string lowest;
    std::string largest;
    std::string ssimLowest;
    std::string ssimAverage;
    for (int p = 0; p < pair.expected.planeCount; ++p) {
        const PlaneWorst& worst = tally.worst[p];
        const std::string name = std::string(p == 0 ? "" : ", ") + "\"" + pair.expected.planes[p].name + "\": ";
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

// Every report completed, still under its temporary name.
void finishReports(Reports& reports, const Options& options, const PairLayout& pair, const RunTally& tally,
                   const std::vector<Displacement>& displacements, const std::vector<FrameShift>& frameShifts,
                   const Remainder rest[2], int status)
{
    if (reports.json.out.file != nullptr) {
        finishJson(reports.json, pair, tally, displacements, frameShifts, rest, status, options.maskPath != nullptr);
    }
    if (reports.plot.out.file != nullptr) {
        writePlot(reports, options, pair);
    }
    finishReport(reports.csv);
    finishReport(reports.json);
    finishReport(reports.plot);
}

// Once the run's outcome is known: the picture and the reports renamed into place, one after
// another.
void placeOutputs(Reports& reports)
{
    placeSafeOutput(reports.picture, "cannot write the picture");
    for (ReportFile* report : {&reports.csv, &reports.json, &reports.plot}) {
        if (!report->standardOutput) {
            placeSafeOutput(report->out, "cannot write the report");
        }
    }
}

} // namespace framecmp
