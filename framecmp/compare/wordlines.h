// The lines of a word-packed file (v210, xv15, y410, ...) taken as its bands come. Where
// the other file is compared in place and laid out and coded alike, each line is held
// against the other file's rows as it is unpacked (v210 without storing it), and one that
// is not alike is unpacked into one line's buffer, which stays in the first-level cache,
// and its rows compared there: the working frame, which at 4:2:2 is half as large again as
// the file frame and would leave the cache to memory, is not written. What is read of it
// later is unpacked then (finishWordLines, fillWorkingFrames). Otherwise each line is
// unpacked into the working frame, where its rows are compared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "framecmp/compare/coding.h"
#include "framecmp/compare/frame.h"
#include "framecmp/input.h"

namespace framecmp {

// Where a compared plane stands in the working frame: its working plane (the compared
// planes stand in EXPECTED's order, the working frame's in the format's), the kind of line
// its rows come from (0 luma or every line, 1 the chroma lines of a semi-planar file), and
// the working lines above it and bytes before it in a line (--crop compares part of it).
struct WorkingPlace {
    int plane;
    int kind;
    size_t linesAbove;
    size_t bytesBefore;
};

struct WordLines {
    size_t done[2];             // lines taken: luma (or every), chroma
    bool checking;              // the lines are taken in the line buffer, none in the working frame
    bool wholePlanes;           // the compared planes are the working planes whole (no --crop)
    WorkingPlace places[3];     // of each compared plane
    std::vector<uint16_t> line; // one line unpacked: three rows as wide as the frame
};

// The lines of `file` before its frame's first band. They are held against the other
// file's rows where that file is compared in place and the two frames are laid out and
// coded alike; otherwise each is unpacked into the working frame.
WordLines startWordLines(const PairLayout& pair, size_t file);

// Takes the lines of word-packed `file` whose words lie whole in its frame's first
// got[file] bytes. While `checking`, each is held against the other file's rows in its first
// got[1 - file] bytes, and compared with them when not alike, into `progress`, whose rows
// it passes over (a line whose rows there have not all come waits). Says in `rows` how many
// rows of each compared plane the lines taken make.
void takeArrivedLines(WordLines& lines, const PairLayout& pair, Buffers& buffers, size_t file, const size_t got[2],
                      const Criteria& criteria, int32_t rows[3], FrameProgress& progress);

// Whether the lines of `file`, while checked, may be taken in step with the other file's
// rows read from their own places: each line holds every plane, whole (no --crop), and the
// other file holds each plane's rows side by side, as many as the lines.
bool linesInStep(const WordLines& lines, const PairLayout& pair, size_t file);

// Whether the line of words at `line` holds the samples of the other file's rows of each
// compared plane, `otherRows`, with no padding set.
bool lineMatchesRows(WordLines& lines, const PairLayout& pair, size_t file, const uint8_t* line,
                     const uint8_t* const otherRows[3]);

// Once a frame is whole: where its lines were taken in the line buffer, unpacks into its
// working frame what is read of it later, all of it when `whole` (the frame is drawn), else
// the line that holds row `probe` of the first compared plane (the frame-shift search's
// probe), the rest then left to fillWorkingFrames (buffers.workingPart).
void finishWordLines(const WordLines& lines, const PairLayout& pair, Buffers& buffers, size_t file, bool whole,
                     int32_t probe);

// Unpacks whole the working frames that hold only part of their frame: for the frame-shift
// search, which compares a failing frame in full with another.
void fillWorkingFrames(const PairLayout& pair, Buffers& buffers);

} // namespace framecmp
