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
#include "framecmp/compare/wordlines.h"
#include "framecmp/crop.h"
#include "framecmp/diagnosis/displacement.h"
#include "framecmp/input.h"
#include "framecmp/loop.h"
#include "framecmp/options.h"
#include "framecmp/picture/picture.h"
#include "framecmp/report/files.h"
#include "framecmp/report/text.h"
#include "framecmp/views.h"

namespace framecmp {

// The frames just read made ready to compare: word-packed ones unpacked.
static void unpackFrames(const PairLayout& pair, Buffers& buffers, bool masked)
{
    for (size_t file = 0; file < (masked ? 3U : 2U); ++file) {
        readyFrame(pair, buffers, file, frameOf(buffers, file));
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
    const FrameLayout* layouts[2] = {&pair.expected, &pair.actual};
    for (int64_t next = frame + 1; next <= options.pictureFrame; ++next) {
        size_t got = 0;
        for (size_t file = 0; file < 2; ++file) {
            got = nextFrame(inputs[file], readahead, file, buffers, layouts[file]->fileFrameSize);
            if (!wholeFrame(*layouts[file], got)) {
                rest[file] = Remainder{next - frame - 1, 0, false};
                rest[1 - file].more = true;
                return;
            }
        }
        if (options.maskPath != nullptr) {
            readMaskFrame(inputs[2], buffers, pair.actual.fileFrameSize, got);
        }
    }
    unpackFrames(pair, buffers, options.maskPath != nullptr);
    FrameResult drawn = compareFrame(options.criteria, pair, buffers, options.pictureFrame, state.ssimBuffers, nullptr);
    toFrameCoordinates(drawn, pair, options.crop);
    reports.picture =
        writePicture(options.picturePath, *state.wholePair, buffers, drawn, options.criteria.tolerance, options.crop);
    tally.pictureWritten = true;
}

// A failing frame searched for a lost or extra bus word, and its line said. A region cut
// out of the frame is no bus order: under --crop, no search.
static void diagnoseAndSay(const Options& options, const PairLayout& pair, const Buffers& buffers, LoopState& state)
{
    if (!cropped(options.crop)) {
        diagnoseFrame(options.criteria, pair, buffers, state.result, state.diagnosis);
    }
    sayFinishedRuns(state.diagnosis, options.text);
    if (!options.text.quiet && !options.text.listSamples) {
        sayFrameLine(state.result, pair, options.criteria);
    }
}

// Whether a frame's bytes look like 10-bit samples read as 8-bit ones.
static bool looksTenBit(const uint8_t* frame, size_t size)
{
    TenBitLook look{true, false};
    lookForTenBit(look, frame, size);
    return looksTenBit(look);
}

// Whether a run may note 10-bit samples read as 8-bit ones: no format was named.
static bool mayNoteTenBit(const Options& options, const PairLayout& pair)
{
    return !options.formatNamed && !options.text.quiet && pair.expectedCoding.depth == 8;
}

// A note when both first frames look like 10-bit samples read as 8-bit ones: the verdict
// stands, but it is likely about the wrong samples. Frames equal byte for byte that came
// through the band buffers only were looked at as they came.
static void noteTenBit(const Options& options, const PairLayout& pair, const Buffers& buffers,
                       const FrameProgress& progress)
{
    if (!mayNoteTenBit(options, pair)) {
        return;
    }
    const size_t size = pair.expected.frameSize;
    const bool tenBit = progress.bandsOnly ? looksTenBit(progress.tenBit)
                                           : looksTenBit(buffers.expected, size) && looksTenBit(buffers.actual, size);
    if (tenBit) {
        sayTenBitNote();
    }
}

// A failing frame's line kept for the JUnit file.
static void keepFailingLine(const Options& options, const PairLayout& pair, LoopState& state)
{
    if (options.junitPath == nullptr) {
        return;
    }
    if (state.firstFailingLine.empty()) {
        state.firstFailingLine = frameLineText(state.result, pair, options.criteria);
    }
    if (!options.junitFrames) {
        return;
    }
    if (state.failingLines.size() < junitFramesMax) {
        state.failingLines.push_back(
            JunitFrame{state.result.frame, frameLineText(state.result, pair, options.criteria)});
    } else {
        ++state.moreFailing;
    }
}

// The latest displacement's run closed, and said when it was more than one frame; and the
// frame shift still open, claimed when it held (at a file's end, `ended`, to that end).
static void closeRun(const Options& options, LoopState& state, bool ended)
{
    closeDisplacementRun(state.diagnosis);
    sayFinishedRuns(state.diagnosis, options.text);
    finishShiftSearch(state.shifts, ended);
    sayFrameShifts(state.shifts.unsaid, options.text);
}

RunTally compareFiles(const Options& options, const PairLayout& pair, const Input inputs[3], Readahead& readahead,
                      Buffers& buffers, int64_t firstFrame, Remainder rest[2], Reports& reports, LoopState& state)
{
    RunTally tally = emptyTally();
    const bool files = regularFiles(inputs);
    const SampleListing listing = [&](const FailingSample& sample) {
        sayFailingSample(toFrameCoordinates(sample, pair, options.crop), pair);
    };
    FrameViews views{};
    for (;;) {
        endViews(inputs, buffers, views);
        size_t got[2] = {};
        const off_t at[2] = {files ? lseek(inputs[0].fd, 0, SEEK_CUR) : -1,
                             files ? lseek(inputs[1].fd, 0, SEEK_CUR) : -1};
        const bool viewed = files && viewFrames(inputs, pair, readahead, at, buffers, views, got);
        const bool banded = !viewed && files && comparesInBands(options, readahead);
        // Mapped frames are compared as they would come in bands, all at once.
        const bool progressive = banded || (viewed && comparesInBands(options, readahead));
        FrameProgress progress = startFrameProgress(pair);
        WordLines words[2] = {startWordLines(pair, 0), startWordLines(pair, 1)};
        // Frames mapped or read in bands come from regular files: a failing pair is kept by its place.
        const bool placed = (viewed || banded) && at[0] >= 0 && at[1] >= 0;
        const FramePlace place{{inputs[0], inputs[1]}, {at[0], at[1]}};
        if (banded) {
            // The first frames are looked at for 10-bit samples read as 8-bit as they come.
            const bool lookForTenBit = tally.framesCompared == 0 && mayNoteTenBit(options, pair);
            readComparingBands(inputs, buffers, pair, options.criteria, got, progress, words, lookForTenBit);
        } else if (!viewed) {
            got[0] = nextFrame(inputs[0], readahead, 0, buffers, pair.expected.fileFrameSize);
            got[1] = nextFrame(inputs[1], readahead, 1, buffers, pair.actual.fileFrameSize);
        }
        const size_t gotExpected = got[0];
        const size_t gotActual = got[1];
        if (options.maskPath != nullptr) {
            readMaskFrame(inputs[2], buffers, pair.actual.fileFrameSize, gotActual);
        }
        if (!wholeFrame(pair.expected, gotExpected) || !wholeFrame(pair.actual, gotActual)) {
            endViews(inputs, buffers, views);
            rest[0] = countRemainder(inputs[0], readahead, 0, buffers, pair.expected, gotExpected);
            rest[1] = countRemainder(inputs[1], readahead, 1, buffers, pair.actual, gotActual);
            if (options.maskPath != nullptr) {
                checkMaskEnd(inputs[2], buffers, pair.actual.fileFrameSize, rest[1]);
            }
            closeRun(options, state, true);
            return tally;
        }
        if (viewed && progressive) {
            compareWholeFrames(buffers, pair, options.criteria, got, progress, words);
        } else if (!banded) {
            unpackFrames(pair, buffers, options.maskPath != nullptr);
        }
        if (tally.framesCompared == 0) {
            noteTenBit(options, pair, buffers, progress);
        }
        const int64_t frame = firstFrame + tally.framesCompared++;
        if (options.criteria.ssim && state.ssimBuffers.sums[0].empty()) {
            state.ssimBuffers = makeSsimBuffers(pair.expected);
        }
        state.result = progressive ? finishFrame(progress, options.criteria, pair, frame)
                                   : compareFrame(options.criteria, pair, buffers, frame, state.ssimBuffers,
                                                  options.text.listSamples ? &listing : nullptr);
        // A view whose file shrank under it was compared as zeros: trouble, before a word of it.
        if (lostView(views) >= 0) {
            endViews(inputs, buffers, views);
        }
        toFrameCoordinates(state.result, pair, options.crop);
        const bool fails = state.result.fails;
        // What is read of a frame later that its bands left out of the working frames or the
        // frame buffers: the frame-shift probe's row, or the whole frame to be drawn.
        const bool drawn = drawsFrame(options, tally, frame, fails);
        if (progress.bandsOnly) {
            readBack(inputs, buffers, pair, got, drawn, probeRow(pair.expected.planes[0]));
        }
        for (size_t file = 0; progressive && file < 2; ++file) {
            finishWordLines(words[file], pair, buffers, file, drawn, probeRow(pair.expected.planes[0]));
        }
        noteFrame(tally, pair.expected.planeCount, state.result);
        followFrame(state.shifts, options.criteria, pair, buffers, frame, fails, state.ssimBuffers);
        sayFrameShifts(state.shifts.unsaid, options.text);
        if (fails) {
            diagnoseAndSay(options, pair, buffers, state);
            keepFailingLine(options, pair, state);
        }
        reportFrame(reports, pair, options, state.result);
        if (drawn) {
            reports.picture = writePicture(options.picturePath, *state.wholePair, buffers, state.result,
                                           options.criteria.tolerance, options.crop);
            tally.pictureWritten = true;
        }
        keepFramePair(state.shifts, pair, buffers, frame, fails, placed ? &place : nullptr);
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
            endViews(inputs, buffers, views);
            closeRun(options, state, false);
            drawLaterFrame(options, pair, inputs, readahead, buffers, frame, tally, state, reports, rest);
            return tally;
        }
    }
}

} // namespace framecmp
