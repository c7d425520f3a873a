#include <csignal>
#include <cstdint>

#include <unistd.h>

#include "framecmp/align.h"
#include "framecmp/compare/frame.h"
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

} // namespace framecmp
