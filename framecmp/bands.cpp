#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "common/messages.h"
#include "framecmp/bands.h"
#include "framecmp/compare/rowkernels.h"
#include "framecmp/memory.h"

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

// Bands need the frames as the files hold them: none held by --align, and no mask, listing
// or SSIM, which want whole frames.
bool comparesInBands(const Options& options, const Readahead& readahead)
{
    for (size_t file = 0; file < 2; ++file) {
        if (readahead.next[file] < readahead.frames[file].size()) {
            return false;
        }
    }
    return options.maskPath == nullptr && !options.text.listSamples && !options.criteria.ssim;
}

// Reads again `length` bytes from byte `from` of the frame of which `got` bytes have been
// read, into the frame buffer at the same place. The file is regular: it can be read at any
// place, and holds those bytes unless it changed under the run.
static void readAgain(const Input& input, Buffers& buffers, size_t file, size_t frameSize, size_t got, size_t from,
                      size_t length)
{
    const off_t end = lseek(input.fd, 0, SEEK_CUR);
    uint8_t* frame = frameRoom(buffers, file, from + length, frameSize);
    if (end < static_cast<off_t>(got) ||
        readUpTo(input, frame + from, length, end - static_cast<off_t>(got - from)) != length) {
        fail(input.path, "the file changed while it was read");
    }
}

// While two frames laid out and coded alike are equal byte for byte, their bands are read
// into two small buffers that stay in cache, not into the frame buffers: an identical frame
// never touches those, which at 8K hold 50 MB each and would come from memory. Returns true
// when the frames came whole and equal; false at the first band that is not, or when a
// file ends (`ended`), their first `got` bytes then read again into the frame buffers.
static bool readEqualBands(const Input inputs[2], Buffers& buffers, const PairLayout& pair, size_t got[2],
                           bool ended[2], FrameProgress& progress)
{
    const size_t frameSize = pair.expected.fileFrameSize;
    const uint32_t paddingMask = pair.expectedCoding.paddingMask;
    if (buffers.bands[0] == nullptr) {
        buffers.bands[0] = allocateFrameBuffer(std::min(frameBandSize, frameSize));
        buffers.bands[1] = allocateFrameBuffer(std::min(frameBandSize, frameSize));
    }
    progress.bandsOnly = true;
    while (got[0] < frameSize) {
        const size_t length = std::min(frameBandSize, frameSize - got[0]);
        size_t read[2] = {};
        for (size_t file = 0; file < 2; ++file) {
            read[file] = readUpTo(inputs[file], buffers.bands[file], length);
            got[file] += read[file];
            ended[file] = read[file] < length;
        }
        if (ended[0] || ended[1] || std::memcmp(buffers.bands[0], buffers.bands[1], length) != 0 ||
            (paddingMask != 0 && framePadded(buffers.bands[0], length, paddingMask))) {
            progress.bandsOnly = false;
            for (size_t file = 0; file < 2; ++file) {
                readAgain(inputs[file], buffers, file, frameSize, got[file], 0, got[file]);
            }
            return false;
        }
        progress.equalBytes = got[0];
    }
    return true;
}

void readComparingBands(const Input inputs[2], Buffers& buffers, const PairLayout& pair, const Criteria& criteria,
                        size_t got[2], FrameProgress& progress, WordLines words[2], bool bandsOnly)
{
    // Each file's own frame: the two layouts place the same samples.
    const size_t frameSizes[2] = {pair.expected.fileFrameSize, pair.actual.fileFrameSize};
    bool ended[2] = {false, false};
    int32_t rows[2][3] = {};
    const int32_t* rowsCome[2] = {nullptr, nullptr};
    got[0] = 0;
    got[1] = 0;
    const auto compareBoth = [&] {
        for (size_t file = 0; file < 2; ++file) {
            if (pair.files[file].packing != Packing::none) {
                takeArrivedLines(words[file], pair, buffers, file, got, rows[file], progress);
                rowsCome[file] = rows[file];
            }
        }
        compareArrived(progress, pair, criteria, buffers, got, rowsCome);
    };
    if (bandsOnly && !progress.differs && frameSizes[0] == frameSizes[1]) {
        if (readEqualBands(inputs, buffers, pair, got, ended, progress)) {
            return;
        }
        if (!ended[0] && !ended[1]) {
            compareBoth();
        }
    }
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
        // Once a file ends, its frame is compared only if it is whole all the same (a last
        // frame may end after its last line): the rest is a partial frame.
        if (!ended[0] && !ended[1]) {
            compareBoth();
        }
    }
    if ((ended[0] || ended[1]) && wholeFrame(pair.expected, got[0]) && wholeFrame(pair.actual, got[1])) {
        compareBoth();
    }
}

void readBack(const Input inputs[2], Buffers& buffers, const PairLayout& pair, bool whole, int32_t row)
{
    const FrameLayout* layouts[2] = {&pair.expected, &pair.actual};
    for (size_t file = 0; file < 2; ++file) {
        const FrameLayout& layout = *layouts[file];
        const size_t frameSize = layout.fileFrameSize;
        const Plane& plane = layout.planes[0];
        const size_t from = whole ? 0 : sampleOffset(plane, 0, row);
        const size_t end = whole ? frameSize : sampleOffset(plane, plane.width - 1, row) + layout.sampleBytes;
        readAgain(inputs[file], buffers, file, frameSize, frameSize, from, end - from);
    }
}

} // namespace framecmp
