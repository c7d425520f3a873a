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
#include "framecmp/compare/ssim.h"
#include "framecmp/diagnosis/displacement.h"
#include "framecmp/input.h"
#include "framecmp/loop.h"
#include "framecmp/options.h"
#include "framecmp/picture/picture.h"
#include "framecmp/report/files.h"

namespace framecmp {

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

RunTally compareFiles(const Settings& settings, const Geometry& geometry, const Input inputs[2], Held& held,
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

} // namespace framecmp
