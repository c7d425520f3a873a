#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "framecmp/align.h"
#include "framecmp/compare/frame.h"
#include "framecmp/compare/psnr.h"
#include "framecmp/crop.h"
#include "framecmp/input.h"
#include "framecmp/loop.h"
#include "framecmp/options.h"
#include "framecmp/outputs.h"
#include "framecmp/picture/picture.h"
#include "framecmp/report/files.h"
#include "framecmp/report/junit.h"
#include "framecmp/report/text.h"
#include "framecmp/run.h"
#include "framecmp/views.h"

namespace framecmp {

namespace {

constexpr int statusPass = 0;
constexpr int statusFail = 1;

using Clock = std::chrono::steady_clock;

// What the JUnit file needs when trouble ends the run once both inputs are open.
struct JunitTrouble {
    const Options* options;
    Clock::time_point start;
};

// Set while run() is on the stack, which trouble ends the process from.
const JunitTrouble* junitTrouble = nullptr;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Trouble as the JUnit file's error, written and put in place before the run ends.
void writeJunitOnTrouble(const std::string& message)
{
    const Options& options = *junitTrouble->options;
    const JunitRun trouble{options.actualPath, secondsSince(junitTrouble->start), "", "", message, {}, {}, {}, 0};
    SafeOutput out = writeJunit(options.junitPath, junitXml(trouble));
    placeSafeOutput(out, "cannot write the JUnit file");
}

std::string numberText(const char* form, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, form, value);
    return text;
}

// The run's counts, each plane's lowest PSNR and SSIM, and the criteria as given.
std::vector<std::pair<std::string, std::string>> junitProperties(const Options& options, const PairLayout& pair,
                                                                 const RunTally& tally)
{
    std::vector<std::pair<std::string, std::string>> properties = {
        {"frames", std::to_string(tally.framesCompared)},
        {"failing_frames", std::to_string(tally.framesFailing)},
        {"first_failing_frame", tally.firstFailing < 0 ? std::string("none") : std::to_string(tally.firstFailing)}};
    for (int p = 0; p < pair.expected.planeCount && tally.framesCompared != 0; ++p) {
        const PlaneWorst& worst = tally.worst[p];
        const std::string name(1, pair.expected.planes[p].name);
        properties.emplace_back("psnr_lowest_" + name,
                                worst.highestMse == 0
                                    ? std::string("inf")
                                    : numberText("%.4f", psnrOf(worst.highestMse, pair.expectedCoding.depth)));
        if (worst.lowestSsimFrame >= 0) {
            properties.emplace_back("ssim_lowest_" + name, numberText("%.6f", worst.lowestSsim));
        }
    }
    const std::string criteria = criteriaText(options);
    if (!criteria.empty()) {
        properties.emplace_back("criteria", criteria);
    }
    return properties;
}

// The report files the run wrote, as the JUnit file attaches them.
std::vector<std::string> junitAttachments(const Options& options, const Reports& reports)
{
    std::vector<std::string> paths;
    if (!reports.picture.path.empty()) {
        paths.push_back(options.picturePath);
    }
    for (const char* path : {options.plotPath, options.csvPath, options.jsonPath}) {
        if (path != nullptr && !isStandardOutput(path)) {
            paths.emplace_back(path);
        }
    }
    return paths;
}

std::string firstLine(const std::string& lines)
{
    return lines.substr(0, lines.find('\n'));
}

} // namespace

int run(int argc, char** argv)
{
    // Failed writes come back as errors, so that each takes its own road: a closed pipe
    // (EPIPE) or a file-size limit (EFBIG) no longer kills the run half way through a file.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    removeTemporariesOnInterruption();
    catchLostViews();
    const Clock::time_point start = Clock::now();
    Options options = readOptions(argc, argv);
    // A report on standard output takes the place of the text report.
    options.text.quiet = options.text.quiet || isStandardOutput(options.csvPath) ||
                         isStandardOutput(options.jsonPath) || isStandardOutput(options.plotPath);
    completeFromNames(options);
    resolvePlaneCriteria(options);
    const PairLayout wholePair = makePairLayout(options);
    const PairLayout pair = cropPair(wholePair, options);
    refuseOutputsOverInputs(options);
    checkOutputs(options);
#ifndef FRAMECMP_HAVE_PNG
    if (options.picturePath != nullptr) {
        writePicture(options.picturePath, pair, Buffers{}, FrameResult{}, 0, Region{});
    }
#endif
    const bool masked = options.maskPath != nullptr;
    const Input inputs[3] = {openInput(options.expectedPath), openInput(options.actualPath),
                             masked ? openInput(options.maskPath) : Input{nullptr, -1}};
    const JunitTrouble trouble{&options, start};
    if (options.junitPath != nullptr) {
        junitTrouble = &trouble;
        setTroubleHook(writeJunitOnTrouble);
    }
    refuseOneStream(options, inputs);
    if (masked) {
        refuseMaskStream(inputs, inputs[2]);
    }
    Buffers buffers = allocateBuffers(pair.expected, masked);
    allocateWorkingFrames(buffers, pair);
    skipFrames(inputs[0], buffers, 0, pair.expected.fileFrameSize, options.skip[0]);
    skipFrames(inputs[1], buffers, 1, pair.actual.fileFrameSize, options.skip[1]);
    Reports reports = openReports(options);
    Readahead readahead{};
    int64_t firstFrame = options.skip[0];
    int64_t aligned = 0;
    if (options.alignMax >= 0) {
        const int64_t offset = alignFiles(options, pair, inputs, readahead, buffers);
        firstFrame += offset < 0 ? -offset : 0;
        aligned = offset;
        if (masked) {
            skipFrames(inputs[2], buffers, 2, pair.actual.fileFrameSize,
                       options.skip[1] + std::max<int64_t>(offset, 0));
        }
        if (!options.text.quiet) {
            reportAlignment(offset);
        }
    } else if (masked) {
        skipFrames(inputs[2], buffers, 2, pair.actual.fileFrameSize, options.skip[1]);
    }
    startReports(reports, options, pair, firstFrame, options.skip[1] - options.skip[0] + aligned);
    Remainder rest[2] = {};
    LoopState state{SsimBuffers{}, {}, Diagnosis{{}, {}, -1, {}}, {}, {}, 0, &wholePair, makeShiftSearch()};
    const RunTally tally = compareFiles(options, pair, inputs, readahead, buffers, firstFrame, rest, reports, state);
    std::string endLines;
    std::string summary;
    bool endsDiffer = false;
    if (reportNothingLeft(options, tally, rest, endLines)) {
        endsDiffer = true;
    } else if (noWholeFrame(tally, rest)) {
        endsDiffer = reportNoWholeFrame(options, pair, rest, buffers, endLines);
    } else {
        if (!tally.stopped) {
            endsDiffer = reportEnds(options, pair, tally, rest, buffers, endLines);
        }
        summary = summaryText(options, pair, tally, endsDiffer);
        if (!options.text.quiet) {
            say(summary + "\n");
        }
    }
    releaseBuffers(buffers);
    releaseShiftSearch(state.shifts);
    for (const Input& input : inputs) {
        if (input.fd >= 0) {
            close(input.fd);
        }
    }
    const int status = tally.framesFailing != 0 || endsDiffer ? statusFail : statusPass;
    finishReports(reports, options, pair, tally, state.diagnosis.displacements, state.shifts.claimed, rest, status);
    finishOutput(options, tally, undrawnFrameText(options, tally, firstFrame, rest));
    SafeOutput junit{"", "", "", nullptr, false};
    if (options.junitPath != nullptr) {
        const bool failed = status == statusFail;
        const JunitRun verdict{options.actualPath,
                               secondsSince(start),
                               !failed                          ? std::string()
                               : state.firstFailingLine.empty() ? firstLine(endLines)
                                                                : state.firstFailingLine,
                               summary.empty() ? endLines : summary,
                               "",
                               junitProperties(options, pair, tally),
                               junitAttachments(options, reports),
                               state.failingLines,
                               state.moreFailing};
        junit = writeJunit(options.junitPath, junitXml(verdict));
    }
    placeOutputs(reports);
    setTroubleHook(nullptr);
    junitTrouble = nullptr;
    placeSafeOutput(junit, "cannot write the JUnit file");
    return status;
}

} // namespace framecmp
