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
#include "framecmp/compare/result.h"
#include "framecmp/diagnosis/bus.h"
#include "framecmp/diagnosis/displacement.h"
#include "framecmp/diagnosis/probes.h"
#include "framecmp/input.h"
#include "framecmp/options.h"

namespace framecmp {

constexpr uint64_t displacementLeast = 32;

// The search reads a frame's samples at most searchScans times over, however many
// displacements the probes leave: a periodic picture leaves many that explain its failing
// samples and are only given up at the end.
constexpr size_t searchScans = 4;

// Whether ACTUAL from sample `first` on is EXPECTED displaced by `bytes`: at all but one in
// a hundred of the failing samples there, and at least displacementLeast of them; and the
// displacement goes on to the end of the frame, as a lost or extra bus word makes it: where
// it leaves no value within the tolerance of both EXPECTED's and the displaced one (they are
// more than twice the tolerance apart, or padding is set), the sample fails, but for one in
// a hundred (a block of the picture moved is no lost word). Samples whose displaced bytes lie outside
// the frame (the last when lost, the inserted ones when extra) cannot tell and are passed
// over; `failing` (the failing samples from `first` on) bounds the misses, so that a wrong
// displacement is given up early. Every sample looked at counts in `looked`; the look gives
// up past `limit`.
static bool explains(const BusView& bus, size_t first, uint64_t failing, int32_t bytes, bool lost, size_t& looked,
                     size_t limit)
{
    const auto k = static_cast<size_t>(bytes);
    const size_t width = bus.sampleBytes;
    const size_t samples = bus.samples;
    const size_t frameBytes = samples * width;
    const uint8_t* expected = bus.ordered[0];
    const uint8_t* actual = bus.ordered[1];
    const size_t from = lost ? first : first + (k + width - 1) / width;
    const size_t to = lost ? (frameBytes - std::min(frameBytes, k)) / width : samples;
    const auto displaced = [&](size_t s) { return lost ? expected + s * width + k : expected + s * width - k; };
    uint64_t explained = 0;
    uint64_t missed = 0;
    for (size_t s = from; s < to; ++s) {
        if (++looked > limit) {
            return false;
        }
        if (!busFails(bus, s)) {
            continue;
        }
        if (wordExplained(containerAt(actual, s, width), containerAt(displaced(s), 0, width), bus.valueMask,
                          bus.tolerance)) {
            ++explained;
        } else if (++missed * 100 > failing) {
            return false;
        }
    }
    if (explained < displacementLeast || missed * 100 > explained + missed) {
        return false;
    }
    uint64_t contradicting = 0;
    for (size_t s = from; s < to; ++s) {
        if (++looked > limit) {
            return false;
        }
        if (!busFails(bus, s) &&
            wordsFail(containerAt(expected, s, width), containerAt(displaced(s), 0, width), bus.valueMask,
                      2 * bus.tolerance) &&
            ++contradicting * 100 > explained) {
            return false;
        }
    }
    return true;
}

static Displacement placeOf(const FrameLayout& layout, int64_t frame, size_t sample)
{
    const BusPlace place = busPlace(layout, sample);
    return Displacement{frame, layout.planes[place.plane].name, place.x, place.y, 0, false};
}

// Closes the run of frames that kept the latest displacement, keeping it for the text when
// it is more than one: "frames 15–18: 4 bytes lost at frame 15, Y 32,41".
void closeDisplacementRun(Diagnosis& diagnosis)
{
    if (diagnosis.runLast < 0) {
        return;
    }
    const Displacement& run = diagnosis.displacements.back();
    if (diagnosis.runLast > run.frame) {
        diagnosis.finishedRuns.push_back(DisplacementRun{run, diagnosis.runLast});
    }
    diagnosis.runLast = -1;
}

// Looks for a lost or extra bus word in a failing frame with `failing` failing samples. A
// frame that keeps the displacement of the frame before extends its run; a new one is
// recorded and handed to the frame's line in `result`. The previous frame's displacement is tried first.
void diagnoseFrame(const Criteria& criteria, const PairLayout& pair, const Buffers& buffers, FrameResult& result,
                   Diagnosis& diagnosis)
{
    const int64_t frame = result.frame;
    uint64_t failing = 0;
    for (int p = 0; p < pair.expected.planeCount; ++p) {
        failing += result.planes[p].failing;
    }
    const bool runGoesOn = diagnosis.runLast >= 0 && diagnosis.runLast == frame - 1;
    if (!runGoesOn) {
        closeDisplacementRun(diagnosis);
    }
    if (failing < displacementLeast || !pair.busDiagnosis) {
        closeDisplacementRun(diagnosis);
        return;
    }
    BusView bus = busView(pair, buffers, criteria.tolerance);
    const size_t earliest = earliestFailing(pair.expected, result, bus.samples);
    const Candidates candidates = likelyCandidates(bus, earliest, failing, diagnosis.probes);
    if (candidates.lost == 0 && candidates.extra == 0) {
        closeDisplacementRun(diagnosis);
        return;
    }
    // The frames in bus order, for this search only: copies unless the files hold them so.
    std::vector<uint8_t> copies[2];
    orderBus(bus, copies);
    const size_t samples = bus.samples;
    size_t first = earliest;
    while (first < samples && !busFails(bus, first)) {
        ++first;
    }
    uint64_t failingOnBus = 0;
    for (size_t s = first; s < samples; ++s) {
        failingOnBus += busFails(bus, s) ? 1U : 0U;
    }
    size_t looked = 0;
    const size_t limit = searchScans * samples;
    if (runGoesOn) {
        const Displacement& previous = diagnosis.displacements.back();
        if (isCandidate(candidates, previous.bytes, previous.lost) &&
            explains(bus, first, failingOnBus, previous.bytes, previous.lost, looked, limit)) {
            diagnosis.runLast = frame;
            return;
        }
        closeDisplacementRun(diagnosis);
    }
    for (int32_t bytes = 1; bytes <= displacementReach && looked < limit; ++bytes) {
        for (const bool lost : {true, false}) {
            if (!isCandidate(candidates, bytes, lost) ||
                !explains(bus, first, failingOnBus, bytes, lost, looked, limit)) {
                continue;
            }
            Displacement found = placeOf(pair.expected, frame, first);
            found.bytes = bytes;
            found.lost = lost;
            diagnosis.displacements.push_back(found);
            diagnosis.runLast = frame;
            result.displaced = true;
            result.displacement = found;
            return;
        }
    }
}

} // namespace framecmp
