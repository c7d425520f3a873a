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
#include "framecmp/report/text.h"

namespace framecmp {

// A band of each file and the rows being compared fit a core's second-level cache.
size_t frameBandSize = size_t{256} << 10U;

bool regularFiles(const Input inputs[2])
{
    for (size_t file = 0; file < 2; ++file) {
        struct stat status {};
        if (fstat(inputs[file].fd, &status) != 0 || !S_ISREG(status.st_mode)) {
            return false;
        }
    }
    return true;
}

bool comparesInBands(const Options& options, const Readahead& readahead)
{
    for (size_t file = 0; file < 2; ++file) {
        if (readahead.next[file] < readahead.frames[file].size()) {
            return false;
        }
    }
    return options.maskPath == nullptr && !options.text.listSamples && !options.criteria.ssim;
}

void readComparingBands(const Input inputs[2], Buffers& buffers, const PairLayout& pair, int32_t tolerance,
                        size_t got[2], FrameProgress& progress)
{
    // Each file's own frame: the two layouts place the same samples.
    const size_t frameSizes[2] = {pair.expected.frameSize, pair.actual.frameSize};
    bool ended[2] = {false, false};
    got[0] = 0;
    got[1] = 0;
    reserveFrame(inputs[0], buffers, 0, frameSizes[0]);
    reserveFrame(inputs[1], buffers, 1, frameSizes[1]);
    while ((got[0] < frameSizes[0] && !ended[0]) || (got[1] < frameSizes[1] && !ended[1])) {
        for (size_t file = 0; file < 2; ++file) {
            if (got[file] < frameSizes[file] && !ended[file]) {
                const size_t before = got[file];
                got[file] = readBand(inputs[file], buffers, file, frameSizes[file], before, frameBandSize);
                ended[file] = got[file] - before < std::min(frameBandSize, frameSizes[file] - before);
            }
        }
        // Once a file ends, its frame is not compared: there is nothing more to compare.
        if (!ended[0] && !ended[1]) {
            compareArrived(progress, pair, tolerance, buffers, got);
        }
    }
}

// Whether -i draws this frame: the one --picture-frame names, else the first failing one.
static bool drawsFrame(const Options& options, const RunTally& tally, int64_t frame, bool fails)
{
    if (options.picturePath == nullptr || tally.pictureWritten) {
        return false;
    }
    return options.pictureFrame < 0 ? fails : frame == options.pictureFrame;
}

// After an early stop at `frame`, reads on to the frame --picture-frame names and draws it,
// compared with nothing listed; when a file ends first it stays undrawn, and `rest` says
// which.
static void drawLaterFrame(const Options& options, const PairLayout& pair, const Input inputs[3], Readahead& readahead,
                           Buffers& buffers, int64_t frame, RunTally& tally, LoopState& state, Reports& reports,
                           Remainder rest[2])
{
    if (options.picturePath == nullptr || tally.pictureWritten || options.pictureFrame <= frame) {
        return;
    }
    const size_t frameSize = pair.expected.frameSize;
    for (int64_t next = frame + 1; next <= options.pictureFrame; ++next) {
        for (size_t file = 0; file < 2; ++file) {
            if (nextFrame(inputs[file], readahead, file, buffers, frameSize) < frameSize) {
                rest[file] = Remainder{next - frame - 1, 0, false};
                rest[1 - file].more = true;
                return;
            }
        }
        if (options.maskPath != nullptr) {
            readMaskFrame(inputs[2], buffers, frameSize, frameSize);
        }
    }
    const FrameResult drawn =
        compareFrame(options.criteria, pair, buffers, options.pictureFrame, state.ssimBuffers, nullptr);
    reports.picture = writePicture(options.picturePath, pair, buffers, drawn, options.criteria.tolerance);
    tally.pictureWritten = true;
}

// A failing frame searched for a lost or extra bus word, and its line said.
static void diagnoseAndSay(const Options& options, const PairLayout& pair, const Buffers& buffers, LoopState& state)
{
    diagnoseFrame(options.criteria, pair, buffers, state.result, state.diagnosis);
    sayFinishedRuns(state.diagnosis, options.text);
    if (!options.text.quiet && !options.text.listSamples) {
        sayFrameLine(state.result, pair, options.criteria);
    }
}

// The latest displacement's run closed, and said when it was more than one frame.
static void closeRun(const Options& options, LoopState& state)
{
    closeDisplacementRun(state.diagnosis);
    sayFinishedRuns(state.diagnosis, options.text);
}

RunTally compareFiles(const Options& options, const PairLayout& pair, const Input inputs[3], Readahead& readahead,
                      Buffers& buffers, int64_t firstFrame, Remainder rest[2], Reports& reports, LoopState& state)
{
    const size_t frameSize = pair.expected.frameSize;
    RunTally tally = emptyTally();
    const bool files = regularFiles(inputs);
    const SampleListing listing = [&](const FailingSample& sample) { sayFailingSample(sample, pair); };
    for (;;) {
        const bool banded = files && comparesInBands(options, readahead);
        FrameProgress progress = startFrameProgress(pair);
        size_t got[2] = {};
        if (banded) {
            readComparingBands(inputs, buffers, pair, options.criteria.tolerance, got, progress);
        } else {
            got[0] = nextFrame(inputs[0], readahead, 0, buffers, frameSize);
            got[1] = nextFrame(inputs[1], readahead, 1, buffers, frameSize);
        }
        const size_t gotExpected = got[0];
        const size_t gotActual = got[1];
        if (options.maskPath != nullptr) {
            readMaskFrame(inputs[2], buffers, frameSize, gotActual);
        }
        if (gotExpected < frameSize || gotActual < frameSize) {
            rest[0] = countRemainder(inputs[0], readahead, 0, buffers, frameSize, gotExpected);
            rest[1] = countRemainder(inputs[1], readahead, 1, buffers, frameSize, gotActual);
            if (options.maskPath != nullptr) {
                checkMaskEnd(inputs[2], buffers, frameSize, rest[1]);
            }
            closeRun(options, state);
            return tally;
        }
        const int64_t frame = firstFrame + tally.framesCompared++;
        if (options.criteria.ssim && state.ssimBuffers.sums[0].empty()) {
            state.ssimBuffers = makeSsimBuffers(pair.expected);
        }
        state.result = banded ? finishFrame(progress, options.criteria, pair, frame)
                              : compareFrame(options.criteria, pair, buffers, frame, state.ssimBuffers,
                                             options.text.listSamples ? &listing : nullptr);
        const bool fails = state.result.fails;
        noteFrame(tally, pair.expected.planeCount, state.result);
        if (fails) {
            diagnoseAndSay(options, pair, buffers, state);
        }
        reportFrame(reports, pair, options, state.result);
        if (drawsFrame(options, tally, frame, fails)) {
            reports.picture =
                writePicture(options.picturePath, pair, buffers, state.result, options.criteria.tolerance);
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
        if ((options.text.quiet && !reportsWanted(options)) || tally.framesFailing == options.stopAfter) {
            tally.stopped = true;
            closeRun(options, state);
            drawLaterFrame(options, pair, inputs, readahead, buffers, frame, tally, state, reports, rest);
            return tally;
        }
    }
}

} // namespace framecmp
