#include <algorithm>
#include <cstddef>
#include <cstdint>

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

// The band buffers, a band each, once.
static void allocateBands(Buffers& buffers)
{
    if (buffers.bands[0] == nullptr) {
        buffers.bands[0] = allocateFrameBuffer(std::max(frameBandSize, size_t{2}));
        buffers.bands[1] = allocateFrameBuffer(std::max(frameBandSize, size_t{2}));
    }
}

// While two frames laid out and coded alike are equal byte for byte, their bands are read
// into two small buffers that stay in cache, not into the frame buffers: an identical frame
// never touches those, which at 8K hold 50 MB each and would come from memory. Returns true
// when the frames came whole and equal; false at the first band that is not, or when a
// file ends (`ended`), their first `got` bytes then read again into the frame buffers.
static bool readEqualBands(const Input inputs[2], Buffers& buffers, const PairLayout& pair, size_t got[2],
                           bool ended[2], FrameProgress& progress, bool lookForTenBit)
{
    const size_t frameSize = pair.expected.fileFrameSize;
    const uint32_t paddingMask = pair.expectedCoding.paddingMask;
    allocateBands(buffers);
    progress.bandsOnly = true;
    // Bands of an even length, so that each starts with a low byte of a 16-bit sample.
    const size_t band = std::max(frameBandSize & ~size_t{1}, size_t{2});
    while (got[0] < frameSize) {
        const size_t length = std::min(band, frameSize - got[0]);
        size_t read[2] = {};
        for (size_t file = 0; file < 2; ++file) {
            read[file] = readUpTo(inputs[file], buffers.bands[file], length);
            got[file] += read[file];
            ended[file] = read[file] < length;
        }
        if (ended[0] || ended[1] || !bytesAlike(buffers.bands[0], buffers.bands[1], length, paddingMask)) {
            progress.bandsOnly = false;
            for (size_t file = 0; file < 2; ++file) {
                readAgain(inputs[file], buffers, file, frameSize, got[file], 0, got[file]);
            }
            return false;
        }
        if (lookForTenBit && progress.equalBytes < pair.expected.frameSize) {
            framecmp::lookForTenBit(progress.tenBit, buffers.bands[0],
                                    std::min(length, pair.expected.frameSize - progress.equalBytes));
        }
        progress.equalBytes = got[0];
    }
    return true;
}

// How many lines of a word-packed file whose lines hold every plane, and rows of each
// plane of the other file, fit the band buffers; 0 when one line does not.
static size_t linesInBand(const PairLayout& pair, size_t wordsFile)
{
    const FrameLayout& other = layoutOf(pair, 1 - wordsFile);
    size_t rowBytes = 0;
    for (int p = 0; p < other.planeCount; ++p) {
        rowBytes += other.planes[p].rowStride;
    }
    const size_t most = std::max(pair.files[wordsFile].lineBytes[0], rowBytes);
    return std::min(frameBandSize / most, static_cast<size_t>(pair.files[wordsFile].working.height));
}

// A word-packed file whose lines hold every plane (v210, y410, ...) against a planar file,
// a few lines at a time: the lines, and the planar file's rows of each plane from their own
// places, read into the band buffers and held against each other there. Read in file order,
// a planar file's chroma rows would come long after its luma and the lines; so each line
// meets its rows in cache, and an identical frame touches neither frame buffer nor working
// frame. Returns true when the frames are alike whole; false at the first line that is
// not, or where a file ends before the lines or rows read.
static bool readLinesInStep(const Input inputs[2], Buffers& buffers, const PairLayout& pair, WordLines& lines,
                            size_t wordsFile, const off_t starts[2])
{
    const size_t otherFile = 1 - wordsFile;
    const FileFrame& words = pair.files[wordsFile];
    const FrameLayout& other = layoutOf(pair, otherFile);
    const size_t lineBytes = words.lineBytes[0];
    const size_t inBand = linesInBand(pair, wordsFile);
    const auto height = static_cast<size_t>(words.working.height);
    allocateBands(buffers);
    for (size_t y = 0; y < height; y += inBand) {
        const size_t count = std::min(inBand, height - y);
        const Input& wordsInput = inputs[wordsFile];
        if (readUpTo(wordsInput, buffers.bands[0], count * lineBytes,
                     starts[wordsFile] + static_cast<off_t>(y * lineBytes)) != count * lineBytes) {
            return false;
        }
        const uint8_t* planeRows[3] = {};
        size_t filled = 0;
        for (int p = 0; p < other.planeCount; ++p) {
            const Plane& plane = other.planes[p];
            const size_t length = (count - 1) * plane.rowStride + static_cast<size_t>(plane.width) * other.sampleBytes;
            const off_t at = starts[otherFile] + static_cast<off_t>(plane.offset + y * plane.rowStride);
            if (readUpTo(inputs[otherFile], buffers.bands[1] + filled, length, at) != length) {
                return false;
            }
            planeRows[p] = buffers.bands[1] + filled;
            filled += count * plane.rowStride;
        }
        for (size_t line = 0; line < count; ++line) {
            const uint8_t* rows[3] = {};
            for (int p = 0; p < other.planeCount; ++p) {
                rows[p] = planeRows[p] + line * other.planes[p].rowStride;
            }
            if (!lineMatchesRows(lines, pair, wordsFile, buffers.bands[0] + line * lineBytes, rows)) {
                return false;
            }
        }
    }
    return true;
}

// Frames taken in step: alike whole, they came through the band buffers only, and each file
// is set at its frame's end; else both are read whole from their start into the frame
// buffers, as the files hold them, for the lines to be unpacked into the working frame.
static void takeLinesInStep(const Input inputs[2], Buffers& buffers, const PairLayout& pair, WordLines words[2],
                            size_t wordsFile, size_t got[2], bool ended[2], FrameProgress& progress)
{
    const size_t frameSizes[2] = {pair.expected.fileFrameSize, pair.actual.fileFrameSize};
    const off_t starts[2] = {lseek(inputs[0].fd, 0, SEEK_CUR), lseek(inputs[1].fd, 0, SEEK_CUR)};
    const bool alike = readLinesInStep(inputs, buffers, pair, words[wordsFile], wordsFile, starts);
    progress.bandsOnly = alike;
    words[wordsFile].checking = alike;
    for (size_t file = 0; file < 2; ++file) {
        got[file] = bytesFrom(inputs[file], starts[file], frameSizes[file]);
        if (!alike && readUpTo(inputs[file], frameRoom(buffers, file, got[file], frameSizes[file]), got[file],
                               starts[file]) != got[file]) {
            fail(inputs[file].path, "the file changed while it was read");
        }
        ended[file] = got[file] < frameSizes[file];
        if (lseek(inputs[file].fd, starts[file] + static_cast<off_t>(got[file]), SEEK_SET) < 0) {
            failSystem(inputs[file].path, "cannot seek in");
        }
    }
}

// Compares what has come of both frames, `got` bytes of each: a word-packed file's lines
// taken first, which say how many of its rows have come.
static void compareFramesSoFar(Buffers& buffers, const PairLayout& pair, const Criteria& criteria, const size_t got[2],
                               FrameProgress& progress, WordLines words[2])
{
    int32_t rows[2][3] = {};
    const int32_t* rowsCome[2] = {nullptr, nullptr};
    for (size_t file = 0; file < 2; ++file) {
        if (pair.files[file].packing != Packing::none) {
            takeArrivedLines(words[file], pair, buffers, file, got, criteria, rows[file], progress);
            rowsCome[file] = rows[file];
        }
    }
    compareArrived(progress, pair, criteria, buffers, got, rowsCome);
}

void compareWholeFrames(Buffers& buffers, const PairLayout& pair, const Criteria& criteria, const size_t got[2],
                        FrameProgress& progress, WordLines words[2])
{
    // A word-packed file's lines come a band at a time; a file compared in place, whole.
    const bool inLines[2] = {pair.files[0].packing != Packing::none, pair.files[1].packing != Packing::none};
    size_t come[2] = {inLines[0] ? 0 : got[0], inLines[1] ? 0 : got[1]};
    do {
        for (size_t file = 0; file < 2; ++file) {
            if (inLines[file]) {
                come[file] = std::min(got[file], come[file] + frameBandSize);
            }
        }
        compareFramesSoFar(buffers, pair, criteria, come, progress, words);
    } while (come[0] < got[0] || come[1] < got[1]);
}

void readComparingBands(const Input inputs[2], Buffers& buffers, const PairLayout& pair, const Criteria& criteria,
                        size_t got[2], FrameProgress& progress, WordLines words[2], bool lookForTenBit)
{
    // Each file's own frame: the two layouts place the same samples.
    const size_t frameSizes[2] = {pair.expected.fileFrameSize, pair.actual.fileFrameSize};
    bool ended[2] = {false, false};
    got[0] = 0;
    got[1] = 0;
    const auto compareBoth = [&] { compareFramesSoFar(buffers, pair, criteria, got, progress, words); };
    if (!progress.differs && frameSizes[0] == frameSizes[1]) {
        if (readEqualBands(inputs, buffers, pair, got, ended, progress, lookForTenBit)) {
            return;
        }
        if (!ended[0] && !ended[1]) {
            compareBoth();
        }
    }
    for (size_t file = 0; file < 2; ++file) {
        if (linesInStep(words[file], pair, file) && linesInBand(pair, file) > 0) {
            takeLinesInStep(inputs, buffers, pair, words, file, got, ended, progress);
            if (progress.bandsOnly) {
                // Every line taken: whole frames are compared alike, whatever the files hold after.
                return;
            }
            if (!ended[0] && !ended[1]) {
                compareBoth();
            }
            break;
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

void readBack(const Input inputs[2], Buffers& buffers, const PairLayout& pair, const size_t got[2], bool whole,
              int32_t row)
{
    for (size_t file = 0; file < 2; ++file) {
        const FrameLayout& layout = layoutOf(pair, file);
        const size_t frameSize = layout.fileFrameSize;
        size_t from = 0;
        size_t end = frameSize;
        if (!whole && pair.files[file].packing != Packing::none) {
            // A word-packed file's row is its line, whose words hold every plane.
            from = static_cast<size_t>(row) * pair.files[file].lineBytes[0];
            end = from + pair.files[file].lineBytes[0];
        } else if (!whole) {
            const Plane& plane = layout.planes[0];
            from = sampleOffset(plane, 0, row);
            end = sampleOffset(plane, plane.width - 1, row) + layout.sampleBytes;
        }
        readAgain(inputs[file], buffers, file, frameSize, got[file], from, std::min(end, got[file]) - from);
    }
}

} // namespace framecmp
