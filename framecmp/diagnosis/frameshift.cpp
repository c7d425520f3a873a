#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <utility>
#include <vector>

#include "common/messages.h"
#include "framecmp/compare/frame.h"
#include "framecmp/compare/psnr.h"
#include "framecmp/compare/unpack.h"
#include "framecmp/compare/wordlines.h"
#include "framecmp/diagnosis/frameshift.h"
#include "framecmp/memory.h"

namespace framecmp {

// A probe: this many luma samples in the middle of the frame (of the region under --crop).
constexpr int32_t probeLength = 64;

// Without -t or -p (--ssim-min alone), a probe is alike at this PSNR, in hundredths of a dB.
constexpr int64_t probeFloor = 3000;

ShiftSearch makeShiftSearch()
{
    ShiftSearch search{};
    search.streakStart = -1;
    search.start = -1;
    search.last = -1;
    search.previousFrame = -1;
    search.olderFrame = -1;
    return search;
}

int32_t probeRow(const Plane& plane)
{
    return plane.height / 2;
}

static std::vector<int32_t> probeOf(const FrameLayout& layout, const SampleCoding& coding, const uint8_t* frame)
{
    const Plane& plane = layout.planes[0];
    const int32_t length = std::min(plane.width, probeLength);
    const int32_t x = (plane.width - length) / 2;
    const int32_t y = probeRow(plane);
    std::vector<int32_t> values(static_cast<size_t>(length));
    for (int32_t i = 0; i < length; ++i) {
        values[static_cast<size_t>(i)] =
            valueOf(containerAt(frame + sampleOffset(plane, x + i, y), 0, layout.sampleBytes), coding);
    }
    return values;
}

// Whether two probes are alike as the criteria would judge their frames: every sample
// within the tolerance where samples decide, else their PSNR at the floor.
static bool probesAlike(const std::vector<int32_t>& one, const std::vector<int32_t>& other, const Criteria& criteria,
                        int32_t depth)
{
    if (one.empty() || one.size() != other.size()) {
        return false;
    }
    const bool samplesDecide = criteria.toleranceGiven || (criteria.psnrFloor < 0 && criteria.ssimMin < 0);
    uint64_t sumOfSquares = 0;
    for (size_t i = 0; i < one.size(); ++i) {
        const int64_t difference = one[i] - other[i];
        if (samplesDecide && std::abs(difference) > criteria.tolerance) {
            return false;
        }
        sumOfSquares += static_cast<uint64_t>(difference * difference);
    }
    const double mse = static_cast<double>(sumOfSquares) / static_cast<double>(one.size());
    return samplesDecide || !belowFloor(mse, depth, criteria.psnrFloor >= 0 ? criteria.psnrFloor : probeFloor);
}

// Whether an EXPECTED frame and an ACTUAL frame, not necessarily of one number, pass.
static bool framesAlike(const Criteria& criteria, const PairLayout& pair, const Buffers& buffers,
                        const uint8_t* expected, const uint8_t* actual, int64_t frame, SsimBuffers& ssimBuffers)
{
    Buffers shifted = buffers;
    shifted.expected = const_cast<uint8_t*>(expected);
    shifted.actual = const_cast<uint8_t*>(actual);
    shifted.mask = nullptr;
    return !compareFrame(criteria, pair, shifted, frame, ssimBuffers, nullptr).fails;
}

// Closes the candidate, claiming it when it held long enough.
static void closeCandidate(ShiftSearch& search, bool ended)
{
    if (search.shift != 0 && search.confirmed >= (ended ? 1 : shiftLeast)) {
        const bool late = search.shift > 0;
        const FrameShift shift{search.start, search.last, search.shift,
                               !late                    ? "dropped"
                               : search.repeatedAtStart ? "repeated"
                                                        : "inserted"};
        search.claimed.push_back(shift);
        search.unsaid.push_back(shift);
    }
    search.shift = 0;
    search.confirmed = 0;
    std::vector<uint8_t>().swap(search.older);
    search.olderFrame = -1;
}

// The frame pair before, where it was kept by its place, read again into `previous` (a
// word-packed file's unpacked into its working frame).
static void readPreviousPair(ShiftSearch& search, const PairLayout& pair)
{
    if (!search.previousUnread) {
        return;
    }
    search.previousUnread = false;
    const size_t fileBytes[2] = {pair.expected.fileFrameSize, pair.actual.fileFrameSize};
    for (size_t file = 0; file < 2; ++file) {
        const FileFrame& words = pair.files[file];
        const bool working = words.packing != Packing::none;
        if (search.previous[file] == nullptr) {
            search.previousCapacity[file] = working ? words.working.frameSize : fileBytes[file];
            search.previous[file] = allocateFrameBuffer(search.previousCapacity[file]);
        }
        if (working && search.previousWords[file] == nullptr) {
            search.previousWords[file] = allocateFrameBuffer(fileBytes[file]);
        }
        uint8_t* into = working ? search.previousWords[file] : search.previous[file];
        // A file's last frame may end after its last line.
        const Input& input = search.previousPlace.files[file];
        if (!wholeFrame(layoutOf(pair, file), readUpTo(input, into, fileBytes[file], search.previousPlace.at[file]))) {
            fail(input.path, "the file changed while it was read");
        }
        if (working) {
            unpackFrame(words, words.working, into, search.previous[file]);
        }
    }
}

// Frame `frame` of a file (0 EXPECTED, 1 ACTUAL) when it is kept, else null.
static const uint8_t* keptFrame(ShiftSearch& search, const PairLayout& pair, size_t file, int64_t frame)
{
    if (frame == search.previousFrame) {
        readPreviousPair(search, pair);
        return search.previous[file];
    }
    const size_t candidateFile = search.shift > 0 ? 0 : 1;
    return frame == search.olderFrame && file == candidateFile ? search.older.data() : nullptr;
}

// Whether a shift of `shift` frames holds at frame pair `frame` in full: 1 alike, 0 not, -1
// when the frame it is shifted to is not kept.
static int checkShift(ShiftSearch& search, int32_t shift, const Criteria& criteria, const PairLayout& pair,
                      Buffers& buffers, int64_t frame, SsimBuffers& ssimBuffers)
{
    const bool late = shift > 0;
    const uint8_t* kept = keptFrame(search, pair, late ? 0 : 1, frame - std::abs(shift));
    if (kept == nullptr) {
        return -1;
    }
    fillWorkingFrames(pair, buffers);
    return framesAlike(criteria, pair, buffers, late ? kept : buffers.expected, late ? buffers.actual : kept, frame,
                       ssimBuffers)
               ? 1
               : 0;
}

// Checks the candidate against frame pair `frame` in full where the frame it is shifted to
// is kept. A frame that passes as it stands ends the run the shift explains: in a still
// picture every shift is alike.
static void checkCandidate(ShiftSearch& search, const Criteria& criteria, const PairLayout& pair, Buffers& buffers,
                           int64_t frame, bool fails, SsimBuffers& ssimBuffers)
{
    const int held = fails ? checkShift(search, search.shift, criteria, pair, buffers, frame, ssimBuffers) : 0;
    if (held == 0) {
        closeCandidate(search, false);
        return;
    }
    if (held == 1) {
        ++search.confirmed;
        search.last = frame;
    }
}

// Probes a failing frame for a shift: ACTUAL's frame against EXPECTED's of one or two frames
// before (ACTUAL late), EXPECTED's against ACTUAL's of one or two before (ACTUAL early, from
// within the run of failing frames); the first alike, and alike in full where the frame it
// is shifted to is kept, opens the candidate.
static void probeForShift(ShiftSearch& search, const PairLayout& pair, Buffers& buffers, int64_t frame,
                          const std::vector<int32_t> now[2], const Criteria& criteria, SsimBuffers& ssimBuffers)
{
    const int32_t depth = pair.expectedCoding.depth;
    for (int32_t n = 1; n <= shiftReach; ++n) {
        for (const bool late : {true, false}) {
            if (!late && frame - n < search.streakStart) {
                continue;
            }
            const std::vector<int32_t>& past = search.probes[late ? 0 : 1][n - 1];
            if (!probesAlike(past, now[late ? 1 : 0], criteria, depth)) {
                continue;
            }
            const int32_t shift = late ? n : -n;
            const int held = checkShift(search, shift, criteria, pair, buffers, frame, ssimBuffers);
            if (held == 0) {
                continue;
            }
            search.shift = shift;
            search.start = late ? search.streakStart : frame - n;
            search.last = frame;
            search.confirmed = held == 1 ? 1 : 0;
            return;
        }
    }
}

void keepFramePair(ShiftSearch& search, const PairLayout& pair, Buffers& buffers, int64_t frame, bool fails,
                   const FramePlace* place)
{
    const size_t candidateFile = search.shift > 0 ? 0 : 1;
    if (std::abs(search.shift) == shiftReach && search.previousFrame == frame - 1) {
        // The one copy: a two-frame candidate checks the frame before the pair before.
        readPreviousPair(search, pair);
        const uint8_t* before = search.previous[candidateFile];
        search.older.assign(before, before + pair.comparedBytes[candidateFile]);
        search.olderFrame = frame - 1;
    }
    search.previousFrame = fails ? frame : -1;
    search.previousUnread = false;
    if (!fails) {
        return;
    }
    if (place != nullptr) {
        search.previousPlace = *place;
        search.previousUnread = true;
        return;
    }
    for (size_t file = 0; file < 2; ++file) {
        const bool working = pair.files[file].packing != Packing::none;
        size_t& capacity = buffers.capacity[file];
        if (search.previous[file] == nullptr) {
            search.previousCapacity[file] = working ? pair.files[file].working.frameSize : capacity;
            search.previous[file] = allocateFrameBuffer(search.previousCapacity[file]);
        }
        std::swap(comparedFrameOf(buffers, file), search.previous[file]);
        if (!working) {
            std::swap(capacity, search.previousCapacity[file]);
        }
    }
}

void releaseShiftSearch(ShiftSearch& search)
{
    for (size_t file = 0; file < 2; ++file) {
        std::free(search.previous[file]);
        std::free(search.previousWords[file]);
        search.previous[file] = nullptr;
        search.previousWords[file] = nullptr;
    }
}

void followFrame(ShiftSearch& search, const Criteria& criteria, const PairLayout& pair, Buffers& buffers, int64_t frame,
                 bool fails, SsimBuffers& ssimBuffers)
{
    if (search.shift != 0) {
        checkCandidate(search, criteria, pair, buffers, frame, fails, ssimBuffers);
    }
    std::vector<int32_t> now[2] = {probeOf(pair.expected, pair.expectedCoding, buffers.expected),
                                   probeOf(pair.actual, pair.actualCoding, buffers.actual)};
    if (fails && !search.previousFailed) {
        search.streakStart = frame;
        search.repeatedAtStart = probesAlike(search.probes[1][0], now[1], criteria, pair.expectedCoding.depth);
    }
    if (fails && search.shift == 0) {
        probeForShift(search, pair, buffers, frame, now, criteria, ssimBuffers);
    }
    search.previousFailed = fails;
    for (size_t file = 0; file < 2; ++file) {
        search.probes[file][1] = std::move(search.probes[file][0]);
        search.probes[file][0] = std::move(now[file]);
    }
}

void finishShiftSearch(ShiftSearch& search, bool ended)
{
    closeCandidate(search, ended);
}

} // namespace framecmp
