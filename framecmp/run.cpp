#include <algorithm>
#include <csignal>
#include <cstdint>

#include <unistd.h>

#include "framecmp/align.h"
#include "framecmp/compare/frame.h"
#include "framecmp/crop.h"
#include "framecmp/input.h"
#include "framecmp/loop.h"
#include "framecmp/options.h"
#include "framecmp/outputs.h"
#include "framecmp/picture/picture.h"
#include "framecmp/report/files.h"
#include "framecmp/report/text.h"
#include "framecmp/run.h"

namespace framecmp {

namespace {

constexpr int statusPass = 0;
constexpr int statusFail = 1;

} // namespace

int run(int argc, char** argv)
{
    // Failed writes come back as errors, so that each takes its own road: a closed pipe
    // (EPIPE) or a file-size limit (EFBIG) no longer kills the run half way through a file.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    removeTemporariesOnInterruption();
    Options options = readOptions(argc, argv);
    // A report on standard output takes the place of the text report.
    options.text.quiet = options.text.quiet || isStandardOutput(options.csvPath) ||
                         isStandardOutput(options.jsonPath) || isStandardOutput(options.plotPath);
    completeFromNames(options);
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
    refuseOneStream(options, inputs);
    if (masked) {
        refuseMaskStream(inputs, inputs[2]);
    }
    Buffers buffers = allocateBuffers(pair.expected, masked);
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
    startReports(reports, options, firstFrame, options.skip[1] - options.skip[0] + aligned);
    Remainder rest[2] = {};
    LoopState state{SsimBuffers{}, {}, Diagnosis{{}, {}, -1, {}}, &wholePair, makeShiftSearch()};
    const RunTally tally = compareFiles(options, pair, inputs, readahead, buffers, firstFrame, rest, reports, state);
    bool endsDiffer = false;
    if (reportNothingLeft(options, tally, rest)) {
        endsDiffer = true;
    } else if (noWholeFrame(tally, rest)) {
        endsDiffer = reportNoWholeFrame(options, pair, rest, buffers);
    } else {
        if (!tally.stopped) {
            endsDiffer = reportEnds(options, pair, tally, rest, buffers);
        }
        if (!options.text.quiet) {
            reportSummary(options, pair, tally, endsDiffer);
        }
    }
    releaseBuffers(buffers);
    for (const Input& input : inputs) {
        if (input.fd >= 0) {
            close(input.fd);
        }
    }
    const int status = tally.framesFailing != 0 || endsDiffer ? statusFail : statusPass;
    finishReports(reports, options, pair, tally, state.diagnosis.displacements, state.shifts.claimed, rest, status);
    finishOutput(options, tally, undrawnFrameText(options, tally, firstFrame, rest));
    placeOutputs(reports);
    return status;
}

} // namespace framecmp
