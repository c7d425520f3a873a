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
#include "framecmp/diagnosis/probes.h"

namespace framecmp {

// Before that search, up to probeCount failing samples spread over the frame are looked at
// where they stand; finding them may look at probeBudget samples at most.
constexpr size_t probeCount = 64;

constexpr size_t probeBudget = 16384;

// A failing sample looked at: ACTUAL's bytes there and EXPECTED's bus bytes from
// displacementReach before it to displacementReach after it (window[displacementReach] is
// the sample's own first byte).
struct Probe {
    uint8_t actual[2];
    uint8_t window[2 * displacementReach + 2];
};

static Probe makeProbe(const BusView& bus, size_t sample)
{
    const size_t width = bus.sampleBytes;
    const auto reach = static_cast<size_t>(displacementReach);
    Probe probe{{}, {}};
    const uint32_t actual = busWordAt(bus, 1, sample);
    probe.actual[0] = static_cast<uint8_t>(actual);
    probe.actual[1] = static_cast<uint8_t>(actual >> 8U);
    const size_t from = sample * width >= reach ? (sample * width - reach) / width : 0;
    const size_t to = std::min(bus.samples, (sample * width + width + reach) / width + 1);
    for (size_t s = from; s < to; ++s) {
        const uint32_t value = busWordAt(bus, 0, s);
        for (size_t b = 0; b < width; ++b) {
            const size_t at = s * width + b + reach - sample * width; // wraps below the window's start
            if (at < sizeof probe.window) {
                probe.window[at] = static_cast<uint8_t>(value >> (8 * b));
            }
        }
    }
    return probe;
}

// Up to probeCount failing samples from `first` on, spread over the rest of the frame: each
// the first failing one from its share's start. False when they cannot be found cheaply
// (failing samples too sparse to reach within probeBudget looks, or too few of them).
static bool findProbes(const BusView& bus, size_t first, std::vector<size_t>& probes)
{
    probes.clear();
    size_t looked = 0;
    size_t next = first;
    for (size_t j = 0; j < probeCount && next < bus.samples; ++j) {
        size_t s = std::max(next, first + j * (bus.samples - first) / probeCount);
        while (s < bus.samples && !busFails(bus, s)) {
            if (++looked > probeBudget) {
                return false;
            }
            ++s;
        }
        if (s < bus.samples) {
            probes.push_back(s);
        }
        next = s + 1;
    }
    return probes.size() >= probeCount / 2;
}

// Leaves the displacements that explain all but one in sixteen of the probes they can judge.
// One that explains all but one in a hundred failing samples of the frame passes unless
// nearly all its misses fall on the probes, which are spread over the frame; random damage
// explains next to none of them, so that the look ends after a few probes, once every
// displacement has missed more than it may.
static Candidates screenCandidates(const BusView& bus, const std::vector<size_t>& probes, size_t first)
{
    const size_t width = bus.pair->expected.sampleBytes;
    const size_t frameBytes = bus.pair->expected.frameSize;
    const uint32_t valueMask = bus.pair->expectedCoding.valueMask;
    const auto reach = static_cast<size_t>(displacementReach);
    size_t judged[2][displacementReach] = {};
    size_t missed[2][displacementReach] = {};
    for (const size_t sample : probes) {
        const Probe probe = makeProbe(bus, sample);
        bool anyLeft = false;
        for (size_t k = 1; k <= reach; ++k) {
            for (const bool lost : {true, false}) {
                const bool inFrame =
                    lost ? (sample + 1) * width + k <= frameBytes : sample >= first + (k + width - 1) / width;
                size_t& misses = missed[lost ? 0 : 1][k - 1];
                if (inFrame) {
                    ++judged[lost ? 0 : 1][k - 1];
                    const uint8_t* displaced = lost ? probe.window + reach + k : probe.window + reach - k;
                    misses += wordExplained(containerAt(probe.actual, 0, width), containerAt(displaced, 0, width),
                                            valueMask, bus.tolerance)
                                  ? 0U
                                  : 1U;
                }
                anyLeft = anyLeft || misses * 16 <= probes.size();
            }
        }
        if (!anyLeft) {
            return Candidates{0, 0};
        }
    }
    Candidates left{0, 0};
    for (size_t k = 1; k <= reach; ++k) {
        for (const bool lost : {true, false}) {
            if (missed[lost ? 0 : 1][k - 1] * 16 <= judged[lost ? 0 : 1][k - 1]) {
                (lost ? left.lost : left.extra) |= uint64_t{1} << (k - 1);
            }
        }
    }
    return left;
}

// Where the frame's failing samples begin on the bus at the earliest: the first failing
// sample of any plane, as the plane comparison found it (a sample failing by its padding
// alone may come before the first whose values differ).
size_t earliestFailing(const FrameLayout& layout, const FrameResult& result, size_t samples)
{
    size_t first = samples;
    for (int p = 0; p < layout.planeCount; ++p) {
        if (result.planes[p].firstX >= 0) {
            first = std::min(first, busSampleOf(layout, p, result.planes[p].firstX, result.planes[p].firstY));
        }
    }
    return first;
}

bool isCandidate(const Candidates& candidates, int32_t bytes, bool lost)
{
    return ((lost ? candidates.lost : candidates.extra) >> static_cast<unsigned>(bytes - 1) & 1U) != 0;
}

// Drops the displacements that would change more than one in sixteen of up to probeCount
// passing samples, spread over the frame from `first` on, beyond the tolerance. One that
// goes on to the end of the frame changes as many as one in a hundred of the failing
// samples' count: one in 32 of the passing ones at most when they are 32 for every 100 that
// fail; a block of the picture moved, in a periodic picture above all, changes most.
static void screenPassing(const BusView& bus, size_t first, Candidates& left)
{
    const size_t width = bus.pair->expected.sampleBytes;
    const size_t frameBytes = bus.pair->expected.frameSize;
    const auto reach = static_cast<size_t>(displacementReach);
    size_t judged[2][displacementReach] = {};
    size_t changed[2][displacementReach] = {};
    size_t looked = 0;
    for (size_t j = 0; j < probeCount; ++j) {
        size_t sample = first + j * (bus.samples - first) / probeCount;
        while (sample < bus.samples && busFails(bus, sample)) {
            if (++looked > probeBudget) {
                return;
            }
            ++sample;
        }
        if (sample >= bus.samples) {
            break;
        }
        const Probe probe = makeProbe(bus, sample);
        const uint32_t own = containerAt(probe.window + reach, 0, width);
        for (size_t k = 1; k <= reach; ++k) {
            for (const bool lost : {true, false}) {
                const bool inFrame =
                    lost ? (sample + 1) * width + k <= frameBytes : sample >= first + (k + width - 1) / width;
                if (!inFrame || !isCandidate(left, static_cast<int32_t>(k), lost)) {
                    continue;
                }
                const uint8_t* displaced = lost ? probe.window + reach + k : probe.window + reach - k;
                ++judged[lost ? 0 : 1][k - 1];
                // As the search's second pass judges a passing sample: scaler noise within -t
                // on both sides may put the two values up to twice -t apart.
                changed[lost ? 0 : 1][k - 1] += wordsFail(containerAt(displaced, 0, width), own,
                                                          bus.pair->expectedCoding.valueMask, 2 * bus.tolerance)
                                                    ? 1U
                                                    : 0U;
            }
        }
    }
    for (size_t k = 1; k <= reach; ++k) {
        for (const bool lost : {true, false}) {
            if (changed[lost ? 0 : 1][k - 1] * 16 > judged[lost ? 0 : 1][k - 1]) {
                (lost ? left.lost : left.extra) &= ~(uint64_t{1} << (k - 1));
            }
        }
    }
}

// The displacements worth the search: those the probes of failing samples leave, or all of
// them when those are too sparse to probe; then, when 32 samples pass for every 100 that
// fail or more, those the probes of passing samples leave. The frame's `failing` samples
// begin at `first` or later.
Candidates likelyCandidates(const BusView& bus, size_t first, uint64_t failing, std::vector<size_t>& probes)
{
    const Candidates all{~uint64_t{0}, ~uint64_t{0}};
    for (size_t looked = 0; first < bus.samples && !busFails(bus, first); ++first) {
        if (++looked > probeBudget) {
            return all;
        }
    }
    if (first >= bus.samples) {
        return all;
    }
    Candidates left = findProbes(bus, first, probes) ? screenCandidates(bus, probes, first) : all;
    const uint64_t span = bus.samples - first;
    if ((left.lost | left.extra) != 0 && failing <= span && (span - failing) * 100 >= failing * 32) {
        screenPassing(bus, first, left);
    }
    return left;
}

} // namespace framecmp
