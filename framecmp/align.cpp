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

#include "framecmp/align.h"
#include "framecmp/compare/coding.h"
#include "framecmp/compare/plane.h"
#include "framecmp/compare/psnr.h"
#include "framecmp/input.h"
#include "framecmp/options.h"

namespace framecmp {

// --align compares at most this many frames at each offset.
constexpr int64_t alignWindow = 8;

// Failing samples and the lowest plane PSNR in hundredths of a dB, as printed, summed over
// `pairs` frame pairs: --align weighs them per pair, as exact fractions.
struct AlignScore {
    uint64_t failing;
    int64_t psnr;
    int64_t pairs;
};

// An equal plane counts as 1000 dB, above any PSNR samples of 16 bits can give.
constexpr int64_t equalPlaneHundredths = 100000;

static int64_t psnrHundredths(double mse, int32_t depth)
{
    return mse == 0 ? equalPlaneHundredths : hundredthsOf(psnrOf(mse, depth));
}

static AlignScore scoreFrame(const PairLayout& pair, int32_t tolerance, const Buffers& buffers, const uint8_t* expected,
                             const uint8_t* actual)
{
    const FrameLayout& layout = pair.expected;
    AlignScore score{0, equalPlaneHundredths, 1};
    for (int p = 0; p < layout.planeCount; ++p) {
        const PlaneTally tally = comparePlane(p, pair, tolerance, expected, actual, nullptr, buffers, 0, nullptr);
        score.failing += tally.failing;
        score.psnr =
            std::min(score.psnr, psnrHundredths(meanSquare(tally, layout.planes[p]), pair.expectedCoding.depth));
    }
    return score;
}

// Whether `score` beats `best`: fewer failing samples a pair, then a higher PSNR a pair,
// each compared cross-multiplied so that equal scores are equal.
static bool betterAlignment(const AlignScore& score, const AlignScore& best)
{
    if (best.pairs == 0) {
        return true;
    }
    const auto pairs = static_cast<uint64_t>(score.pairs);
    const auto bestPairs = static_cast<uint64_t>(best.pairs);
    if (score.failing * bestPairs != best.failing * pairs) {
        return score.failing * bestPairs < best.failing * pairs;
    }
    return score.psnr * best.pairs > best.psnr * score.pairs;
}

// Gets ready to align on up to `reach` frames of a file: holds them, as they are read, when
// it is a pipe; counts them when it can seek, with room for one to be read in place.
static void prepareAlignment(const Input& input, Readahead& readahead, size_t file, Buffers& buffers,
                             const FrameLayout& layout, int64_t reach)
{
    const size_t frameSize = layout.fileFrameSize;
    struct stat status {};
    readahead.start[file] = lseek(input.fd, 0, SEEK_CUR);
    readahead.seekable[file] = fstat(input.fd, &status) == 0 && S_ISREG(status.st_mode) && readahead.start[file] >= 0;
    if (readahead.seekable[file]) {
        const int64_t left = std::max<int64_t>(status.st_size - readahead.start[file], 0);
        const auto pitch = static_cast<int64_t>(frameSize);
        // A last frame may end after its last line.
        const int64_t whole = left / pitch + (wholeFrame(layout, static_cast<size_t>(left % pitch)) ? 1 : 0);
        readahead.whole[file] = std::min<int64_t>(whole, reach);
        if (readahead.whole[file] > 0) {
            frameRoom(buffers, file, frameSize, frameSize);
        }
        return;
    }
    for (int64_t i = 0; i < reach; ++i) {
        const size_t got = readFrame(input, buffers, file, frameSize);
        const uint8_t* frame = frameOf(buffers, file);
        readahead.frames[file].emplace_back(frame, frame + got);
        if (!wholeFrame(layout, got)) {
            break;
        }
        ++readahead.whole[file];
        if (got < frameSize) {
            break;
        }
    }
}

// Frame k of a file from where aligning starts: held, or read in place into `buffer`.
static const uint8_t* alignFrame(const Input& input, const Readahead& readahead, size_t file, int64_t k,
                                 const FrameLayout& layout, uint8_t* buffer)
{
    const size_t frameSize = layout.fileFrameSize;
    if (!readahead.seekable[file]) {
        return readahead.frames[file][static_cast<size_t>(k)].data();
    }
    const off_t at = readahead.start[file] + static_cast<off_t>(k) * static_cast<off_t>(frameSize);
    if (!wholeFrame(layout, readUpTo(input, buffer, frameSize, at))) {
        fail(input.path, "changed while being read");
    }
    return buffer;
}

// Finds ACTUAL's offset among -MAX..MAX over the first frames both have at it, at most
// alignWindow: the fewest failing samples, then the highest PSNR (both per frame pair, so
// that a short overlap weighs as much as a long one), then the smallest |offset|, ACTUAL
// late before early. Then sets both files at the offset.
int64_t alignFiles(const Options& options, const PairLayout& pair, const Input inputs[2], Readahead& readahead,
                   Buffers& buffers)
{
    const int64_t reach = options.alignMax + alignWindow;
    prepareAlignment(inputs[0], readahead, 0, buffers, pair.expected, reach);
    prepareAlignment(inputs[1], readahead, 1, buffers, pair.actual, reach);
    int64_t best = 0;
    AlignScore bestScore{0, 0, 0};
    // 0, 1, -1, 2, -2, ...: the first of equal scores has the smallest |offset|, late first.
    for (int64_t n = 0; n <= 2 * options.alignMax; ++n) {
        const int64_t offset = n % 2 == 1 ? (n + 1) / 2 : -(n / 2);
        const int64_t startExpected = offset < 0 ? -offset : 0;
        const int64_t startActual = offset > 0 ? offset : 0;
        const int64_t overlap =
            std::min({alignWindow, readahead.whole[0] - startExpected, readahead.whole[1] - startActual});
        if (overlap <= 0) {
            continue;
        }
        AlignScore score{0, 0, overlap};
        for (int64_t i = 0; i < overlap; ++i) {
            const uint8_t* expected =
                readyFrame(pair, buffers, 0,
                           alignFrame(inputs[0], readahead, 0, startExpected + i, pair.expected, frameOf(buffers, 0)));
            const uint8_t* actual =
                readyFrame(pair, buffers, 1,
                           alignFrame(inputs[1], readahead, 1, startActual + i, pair.actual, frameOf(buffers, 1)));
            const AlignScore scored = scoreFrame(pair, options.criteria.tolerance, buffers, expected, actual);
            score.failing += scored.failing;
            score.psnr += scored.psnr;
        }
        if (betterAlignment(score, bestScore)) {
            best = offset;
            bestScore = score;
        }
    }
    const int64_t starts[2] = {best < 0 ? -best : 0, best > 0 ? best : 0};
    const size_t frameSizes[2] = {pair.expected.fileFrameSize, pair.actual.fileFrameSize};
    for (size_t s = 0; s < 2; ++s) {
        if (!readahead.seekable[s]) {
            readahead.next[s] = static_cast<size_t>(std::min<int64_t>(starts[s], int64_t(readahead.frames[s].size())));
        } else if (lseek(inputs[s].fd,
                         readahead.start[s] + static_cast<off_t>(starts[s]) * static_cast<off_t>(frameSizes[s]),
                         SEEK_SET) < 0) {
            failSystem(inputs[s].path, "cannot seek");
        }
    }
    return best;
}

} // namespace framecmp
