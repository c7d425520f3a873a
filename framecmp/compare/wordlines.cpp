#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "framecmp/compare/coding.h"
#include "framecmp/compare/frame.h"
#include "framecmp/compare/plane.h"
#include "framecmp/compare/rowkernels.h"
#include "framecmp/compare/unpack.h"
#include "framecmp/compare/v210.h"
#include "framecmp/compare/wordlines.h"
#include "framecmp/input.h"

namespace framecmp {

namespace {

enum class LineVerdict { alike, differs, waiting };

// How many rows of each compared plane the lines `done` make.
void comparedRows(const WordLines& lines, const FrameLayout& compared, int32_t rows[3])
{
    for (int p = 0; p < compared.planeCount; ++p) {
        const WorkingPlace& place = lines.places[p];
        const size_t taken = lines.done[place.kind];
        rows[p] = static_cast<int32_t>(
            std::min(taken - std::min(taken, place.linesAbove), static_cast<size_t>(compared.planes[p].height)));
    }
}

// Whether a line is held against the rows as it is unpacked, storing nothing (v210 whose
// lines are the compared planes whole); otherwise it is unpacked into the line buffer first.
bool matchedUnstored(const WordLines& lines, const FileFrame& words)
{
    return words.packing == Packing::v210 && lines.wholePlanes;
}

// Unpacks the line of kind `kind` at `line` into the line buffer: a row of each working plane.
void unpackIntoLine(WordLines& lines, const FileFrame& words, const uint8_t* line, int kind)
{
    const auto width = static_cast<size_t>(words.working.width);
    uint16_t* const rows[3] = {lines.line.data(), lines.line.data() + width, lines.line.data() + 2 * width};
    unpackLineAt(words, words.working, line, kind, rows);
}

// The row of compared plane `p` in the line buffer.
const uint8_t* unpackedRow(const WordLines& lines, const FileFrame& words, int p)
{
    const WorkingPlace& place = lines.places[p];
    const uint16_t* row =
        lines.line.data() + static_cast<size_t>(place.plane) * static_cast<size_t>(words.working.width);
    return reinterpret_cast<const uint8_t*>(row) + place.bytesBefore; // NOLINT
}

// Whether the words of a line of kind `kind` at `line` hold the samples of the other file's
// rows of each compared plane (null for a plane the line holds none of), with no padding
// set. Unless matchedUnstored, the line buffer then holds the line unpacked.
bool lineMatches(WordLines& lines, const PairLayout& pair, size_t file, const uint8_t* line, int kind,
                 const uint8_t* const otherRows[3])
{
    const FileFrame& words = pair.files[file];
    const FrameLayout& compared = layoutOf(pair, file);
    if (matchedUnstored(lines, words)) {
        const auto width = static_cast<size_t>(words.working.width);
        const uint8_t* working[3] = {};
        for (int p = 0; p < compared.planeCount; ++p) {
            working[lines.places[p].plane] = otherRows[p];
        }
        switch (words.kernel) {
        case UnpackKernel::avx2: return v210LineMatchesAvx2(line, working[0], working[1], working[2], width);
        case UnpackKernel::ssse3: return v210LineMatchesSsse3(line, working[0], working[1], working[2], width);
        default: return v210LineMatchesPlain(line, working[0], working[1], working[2], width);
        }
    }
    unpackIntoLine(lines, words, line, kind);
    const uint32_t paddingMask = pair.expectedCoding.paddingMask;
    for (int p = 0; p < compared.planeCount; ++p) {
        const size_t length = static_cast<size_t>(compared.planes[p].width) * compared.sampleBytes;
        if (otherRows[p] != nullptr && !bytesAlike(unpackedRow(lines, words, p), otherRows[p], length, paddingMask)) {
            return false;
        }
    }
    return true;
}

// A line not alike (`line`, as lineMatches left it): its rows compared in the line buffer
// with the other file's rows (`rowOf` their numbers), while both are in cache; the working
// frame is not written.
void compareLine(WordLines& lines, const PairLayout& pair, const Buffers& buffers, size_t file, const uint8_t* line,
                 int kind, const uint8_t* const otherRows[3], const int32_t rowOf[3], const Criteria& criteria,
                 FrameProgress& progress)
{
    const FileFrame& words = pair.files[file];
    if (matchedUnstored(lines, words)) {
        unpackIntoLine(lines, words, line, kind);
    }
    for (int p = 0; p < layoutOf(pair, file).planeCount; ++p) {
        if (otherRows[p] == nullptr) {
            continue;
        }
        const uint8_t* unpacked = unpackedRow(lines, words, p);
        const uint8_t* const rowStarts[3] = {file == 0 ? unpacked : otherRows[p], file == 0 ? otherRows[p] : unpacked,
                                             nullptr};
        comparePlaneRow(p, pair, criteriaOf(criteria, p).tolerance, rowStarts, buffers, 0, nullptr, rowOf[p],
                        progress.tallies[p]);
    }
}

// Whether line `y` of kind `kind` holds the same samples as the other file's rows, with no
// padding set, else compared with them; it waits while any of those rows has not all come.
LineVerdict checkLine(WordLines& lines, const PairLayout& pair, Buffers& buffers, size_t file, const size_t got[2],
                      int kind, size_t y, const Criteria& criteria, FrameProgress& progress)
{
    const FileFrame& words = pair.files[file];
    const FrameLayout& compared = layoutOf(pair, file);
    const FrameLayout& other = layoutOf(pair, 1 - file);
    const uint8_t* otherRows[3] = {nullptr, nullptr, nullptr};
    int32_t rowOf[3] = {};
    for (int p = 0; p < compared.planeCount; ++p) {
        const WorkingPlace& place = lines.places[p];
        if (place.kind != kind || y < place.linesAbove ||
            y - place.linesAbove >= static_cast<size_t>(compared.planes[p].height)) {
            continue;
        }
        const auto row = static_cast<int32_t>(y - place.linesAbove);
        if (row >= wholeRows(other.planes[p], other.sampleBytes, got[1 - file])) {
            return LineVerdict::waiting;
        }
        otherRows[p] = comparedFrameOf(buffers, 1 - file) + sampleOffset(other.planes[p], 0, row);
        rowOf[p] = row;
    }
    const size_t at = kind == 0 ? y * words.lineBytes[0] : words.chromaAt + y * words.lineBytes[1];
    const uint8_t* line = frameOf(buffers, file) + at;
    if (lineMatches(lines, pair, file, line, kind, otherRows)) {
        return LineVerdict::alike;
    }
    compareLine(lines, pair, buffers, file, line, kind, otherRows, rowOf, criteria, progress);
    return LineVerdict::differs;
}

// Checks the lines that have come, comparing those not alike, as far as the other file's
// rows have come.
void checkArrivedLines(WordLines& lines, const PairLayout& pair, Buffers& buffers, size_t file, const size_t got[2],
                       const Criteria& criteria, FrameProgress& progress)
{
    const FileFrame& words = pair.files[file];
    size_t arrived[2] = {};
    arrivedLines(words, words.working, got[file], arrived);
    for (int kind = 0; kind < (words.packing == Packing::xv ? 2 : 1); ++kind) {
        for (; lines.done[kind] < arrived[kind]; ++lines.done[kind]) {
            if (checkLine(lines, pair, buffers, file, got, kind, lines.done[kind], criteria, progress) ==
                LineVerdict::waiting) {
                break;
            }
        }
    }
}

} // namespace

WordLines startWordLines(const PairLayout& pair, size_t file)
{
    const FileFrame& words = pair.files[file];
    const bool checking =
        pair.sameFrames && words.packing != Packing::none && pair.files[1 - file].packing == Packing::none;
    WordLines lines{{0, 0}, checking, true, {}, {}};
    const FrameLayout& compared = layoutOf(pair, file);
    for (int p = 0; words.packing != Packing::none && p < compared.planeCount; ++p) {
        const Plane& plane = compared.planes[p];
        int q = 0;
        while (q + 1 < words.working.planeCount && words.working.planes[q].name != plane.name) {
            ++q;
        }
        const Plane& working = words.working.planes[q];
        const size_t from = plane.offset - working.offset;
        lines.places[p] = WorkingPlace{q, q == 0 || words.packing != Packing::xv ? 0 : 1, from / plane.rowStride,
                                       from % plane.rowStride};
        lines.wholePlanes = lines.wholePlanes && from == 0 && plane.width == working.width;
    }
    if (checking) {
        lines.line.resize(3 * static_cast<size_t>(words.working.width));
    }
    return lines;
}

void takeArrivedLines(WordLines& lines, const PairLayout& pair, Buffers& buffers, size_t file, const size_t got[2],
                      const Criteria& criteria, int32_t rows[3], FrameProgress& progress)
{
    const FileFrame& words = pair.files[file];
    if (lines.checking) {
        checkArrivedLines(lines, pair, buffers, file, got, criteria, progress);
    }
    if (!lines.checking) {
        unpackArrived(words, words.working, frameOf(buffers, file), got[file], comparedFrameOf(buffers, file),
                      lines.done);
    }
    comparedRows(lines, layoutOf(pair, file), rows);
    for (int p = 0; lines.checking && p < layoutOf(pair, file).planeCount; ++p) {
        progress.nextRow[p] = std::max(progress.nextRow[p], rows[p]);
    }
}

bool linesInStep(const WordLines& lines, const PairLayout& pair, size_t file)
{
    const FileFrame& words = pair.files[file];
    if (!lines.checking || words.packing == Packing::xv) {
        return false;
    }
    const FrameLayout& other = layoutOf(pair, 1 - file);
    for (int p = 0; p < other.planeCount; ++p) {
        if (other.planes[p].step != other.sampleBytes || other.planes[p].height != words.working.height) {
            return false;
        }
    }
    return lines.wholePlanes;
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
    buffers.workingPart[file] = false;
    if (words.packing == Packing::none || !lines.checking) {
        return;
    }
    uint8_t* frame = comparedFrameOf(buffers, file);
    if (whole) {
        unpackFrame(words, words.working, frameOf(buffers, file), frame);
        return;
    }
    buffers.workingPart[file] = true;
    const WorkingPlace& place = lines.places[0];
    size_t first[2] = {0, 0};
    size_t end[2] = {0, 0};
    first[place.kind] = place.linesAbove + static_cast<size_t>(probe);
    end[place.kind] = first[place.kind] + 1;
    unpackLines(words, words.working, frameOf(buffers, file), frame, first, end);
}

void fillWorkingFrames(const PairLayout& pair, Buffers& buffers)
{
    for (size_t file = 0; file < 2; ++file) {
        if (buffers.workingPart[file]) {
            const FileFrame& words = pair.files[file];
            unpackFrame(words, words.working, frameOf(buffers, file), comparedFrameOf(buffers, file));
            buffers.workingPart[file] = false;
        }
    }
}

} // namespace framecmp
