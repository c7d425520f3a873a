#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "framecmp/compare/coding.h"
#include "framecmp/compare/frame.h"
#include "framecmp/compare/rowkernels.h"
#include "framecmp/compare/unpack.h"
#include "framecmp/compare/v210.h"
#include "framecmp/compare/wordlines.h"
#include "framecmp/input.h"

namespace framecmp {

namespace {

enum class LineVerdict { alike, differs, waiting };

const FrameLayout& comparedLayout(const PairLayout& pair, size_t file)
{
    return file == 0 ? pair.expected : pair.actual;
}

uint8_t* samplesOf(const Buffers& buffers, size_t file)
{
    return file == 0 ? buffers.expected : buffers.actual;
}

// The working plane that holds a compared plane: the compared planes stand in EXPECTED's
// order, the working frame's in the format's, so it is found by name.
int workingPlaneOf(const FileFrame& words, char name)
{
    int q = 0;
    while (q + 1 < words.working.planeCount && words.working.planes[q].name != name) {
        ++q;
    }
    return q;
}

// The lines a working plane's rows come from: 0 luma (or every) lines, 1 the chroma lines
// of a semi-planar file.
int kindOf(const FileFrame& words, int workingPlane)
{
    return workingPlane == 0 || words.packing != Packing::xv ? 0 : 1;
}

// Where a compared plane stands in its working plane (--crop compares part of it): the
// working lines above it and the bytes before it in a line.
struct Inset {
    size_t lines;
    size_t bytes;
};

Inset insetOf(const Plane& compared, const Plane& working)
{
    const size_t from = compared.offset - working.offset;
    return Inset{from / compared.rowStride, from % compared.rowStride};
}

// How many rows of each compared plane the lines `done` make.
void comparedRows(const PairLayout& pair, size_t file, const size_t done[2], int32_t rows[3])
{
    const FileFrame& words = pair.files[file];
    const FrameLayout& compared = comparedLayout(pair, file);
    for (int p = 0; p < compared.planeCount; ++p) {
        const Plane& plane = compared.planes[p];
        const int q = workingPlaneOf(words, plane.name);
        const size_t lines = done[kindOf(words, q)];
        const size_t above = insetOf(plane, words.working.planes[q]).lines;
        rows[p] = static_cast<int32_t>(std::min(lines - std::min(lines, above), static_cast<size_t>(plane.height)));
    }
}

// Whether the compared planes are the working planes whole (no --crop narrows them).
bool wholePlanes(const PairLayout& pair, size_t file)
{
    const FileFrame& words = pair.files[file];
    const FrameLayout& compared = comparedLayout(pair, file);
    for (int p = 0; p < compared.planeCount; ++p) {
        const Plane& working = words.working.planes[workingPlaneOf(words, compared.planes[p].name)];
        if (compared.planes[p].offset != working.offset || compared.planes[p].width != working.width) {
            return false;
        }
    }
    return true;
}

// Whether the words of a line of kind `kind` at `line` hold the samples of the other file's
// rows of each compared plane (null for a plane the line holds none of), with no padding
// set.
bool lineMatches(WordLines& lines, const PairLayout& pair, size_t file, const uint8_t* line, int kind,
                 const uint8_t* const otherRows[3])
{
    const FileFrame& words = pair.files[file];
    const FrameLayout& compared = comparedLayout(pair, file);
    const auto width = static_cast<size_t>(words.working.width);
    if (words.packing == Packing::v210 && wholePlanes(pair, file)) {
        // Held against the rows as it is unpacked, storing nothing.
        const uint8_t* working[3] = {};
        for (int p = 0; p < compared.planeCount; ++p) {
            working[workingPlaneOf(words, compared.planes[p].name)] = otherRows[p];
        }
        switch (words.kernel) {
        case UnpackKernel::avx2: return v210LineMatchesAvx2(line, working[0], working[1], working[2], width);
        case UnpackKernel::ssse3: return v210LineMatchesSsse3(line, working[0], working[1], working[2], width);
        default: return v210LineMatchesPlain(line, working[0], working[1], working[2], width);
        }
    }
    uint16_t* const rows[3] = {lines.line.data(), lines.line.data() + width, lines.line.data() + 2 * width};
    unpackLineAt(words, words.working, line, kind, rows);
    const uint32_t paddingMask = pair.expectedCoding.paddingMask;
    for (int p = 0; p < compared.planeCount; ++p) {
        if (otherRows[p] == nullptr) {
            continue;
        }
        const Plane& plane = compared.planes[p];
        const int q = workingPlaneOf(words, plane.name);
        const uint8_t* unpacked =
            reinterpret_cast<const uint8_t*>(rows[q]) + insetOf(plane, words.working.planes[q]).bytes; // NOLINT
        const size_t length = static_cast<size_t>(plane.width) * compared.sampleBytes;
        if (std::memcmp(unpacked, otherRows[p], length) != 0 ||
            (paddingMask != 0 && framePadded(unpacked, length, paddingMask))) {
            return false;
        }
    }
    return true;
}

// Whether line `y` of kind `kind` holds the same samples as the other file's rows, with no
// padding set; it waits while any of those rows has not all come.
LineVerdict checkLine(WordLines& lines, const PairLayout& pair, Buffers& buffers, size_t file, const size_t got[2],
                      int kind, size_t y)
{
    const FileFrame& words = pair.files[file];
    const FrameLayout& compared = comparedLayout(pair, file);
    const FrameLayout& other = comparedLayout(pair, 1 - file);
    const uint8_t* otherRows[3] = {nullptr, nullptr, nullptr};
    for (int p = 0; p < compared.planeCount; ++p) {
        const Plane& plane = compared.planes[p];
        const int q = workingPlaneOf(words, plane.name);
        const size_t above = insetOf(plane, words.working.planes[q]).lines;
        if (kindOf(words, q) != kind || y < above || y - above >= static_cast<size_t>(plane.height)) {
            continue;
        }
        const auto row = static_cast<int32_t>(y - above);
        if (row >= wholeRows(other.planes[p], other.sampleBytes, got[1 - file])) {
            return LineVerdict::waiting;
        }
        otherRows[p] = samplesOf(buffers, 1 - file) + sampleOffset(other.planes[p], 0, row);
    }
    const size_t at = kind == 0 ? y * words.lineBytes[0] : words.chromaAt + y * words.lineBytes[1];
    return lineMatches(lines, pair, file, frameOf(buffers, file) + at, kind, otherRows) ? LineVerdict::alike
                                                                                        : LineVerdict::differs;
}

// Checks the lines that have come. At the first that is not alike, the lines taken before
// it are unpacked into the working frame, and the checking ends.
void checkArrivedLines(WordLines& lines, const PairLayout& pair, Buffers& buffers, size_t file, const size_t got[2])
{
    const FileFrame& words = pair.files[file];
    size_t arrived[2] = {};
    arrivedLines(words, words.working, got[file], arrived);
    for (int kind = 0; kind < (words.packing == Packing::xv ? 2 : 1); ++kind) {
        for (; lines.done[kind] < arrived[kind]; ++lines.done[kind]) {
            const LineVerdict verdict = checkLine(lines, pair, buffers, file, got, kind, lines.done[kind]);
            if (verdict == LineVerdict::waiting) {
                break;
            }
            if (verdict == LineVerdict::differs) {
                const size_t none[2] = {0, 0};
                unpackLines(words, words.working, frameOf(buffers, file), samplesOf(buffers, file), none, lines.done);
                lines.checking = false;
                return;
            }
        }
    }
}

} // namespace

WordLines startWordLines(const PairLayout& pair, size_t file)
{
    const bool checking =
        pair.sameFrames && pair.files[file].packing != Packing::none && pair.files[1 - file].packing == Packing::none;
    WordLines lines{{0, 0}, checking, {}};
    if (checking) {
        lines.line.resize(3 * static_cast<size_t>(pair.files[file].working.width));
    }
    return lines;
}

void takeArrivedLines(WordLines& lines, const PairLayout& pair, Buffers& buffers, size_t file, const size_t got[2],
                      int32_t rows[3], FrameProgress& progress)
{
    const FileFrame& words = pair.files[file];
    if (lines.checking) {
        checkArrivedLines(lines, pair, buffers, file, got);
    }
    if (!lines.checking) {
        unpackArrived(words, words.working, frameOf(buffers, file), got[file], samplesOf(buffers, file), lines.done);
    }
    comparedRows(pair, file, lines.done, rows);
    for (int p = 0; lines.checking && p < comparedLayout(pair, file).planeCount; ++p) {
        progress.nextRow[p] = std::max(progress.nextRow[p], rows[p]);
    }
}

bool linesInStep(const WordLines& lines, const PairLayout& pair, size_t file)
{
    const FileFrame& words = pair.files[file];
    if (!lines.checking || words.packing == Packing::xv) {
        return false;
    }
    const FrameLayout& other = comparedLayout(pair, 1 - file);
    for (int p = 0; p < other.planeCount; ++p) {
        if (other.planes[p].step != other.sampleBytes || other.planes[p].height != words.working.height) {
            return false;
        }
    }
    return wholePlanes(pair, file);
}

bool lineMatchesRows(WordLines& lines, const PairLayout& pair, size_t file, const uint8_t* line,
                     const uint8_t* const otherRows[3])
{
    return lineMatches(lines, pair, file, line, 0, otherRows);
}

void finishWordLines(const WordLines& lines, const PairLayout& pair, Buffers& buffers, size_t file, bool whole,
                     int32_t probe)
{
    const FileFrame& words = pair.files[file];
    if (words.packing == Packing::none || !lines.checking) {
        return;
    }
    uint8_t* frame = samplesOf(buffers, file);
    if (whole) {
        unpackFrame(words, words.working, frameOf(buffers, file), frame);
        return;
    }
    const Plane& plane = comparedLayout(pair, file).planes[0];
    const int q = workingPlaneOf(words, plane.name);
    const int kind = kindOf(words, q);
    size_t first[2] = {0, 0};
    size_t end[2] = {0, 0};
    first[kind] = insetOf(plane, words.working.planes[q]).lines + static_cast<size_t>(probe);
    end[kind] = first[kind] + 1;
    unpackLines(words, words.working, frameOf(buffers, file), frame, first, end);
}

} // namespace framecmp
