// The lines of a word-packed file (v210, xv15, y410, ...) taken as its bands come. While
// every line so far holds the samples of the other file's rows, each is unpacked into one
// line's buffer only, which stays in the first-level cache, and held against those rows:
// an identical frame never writes its working frame, which at 4:2:2 is half as large again
// as the file frame and would leave the cache to memory. From the first line that is not
// alike on, the lines, those before it too, are unpacked into the working frame, where
// their rows are compared and where the diagnosis and the picture find the whole frame.
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
    bool checking;              // the lines taken are all alike, and none is in the working frame
    bool wholePlanes;           // the compared planes are the working planes whole (no --crop)
    WorkingPlace places[3];     // of each compared plane
    std::vector<uint16_t> line; // one line unpacked: three rows as wide as the frame
};

// The lines of `file` before its frame's first band. They are held against the other
// file's rows where that file is compared in place and the two frames are laid out and
// coded alike; otherwise each is unpacked into the working frame.
WordLines startWordLines(const PairLayout& pair, size_t file);

// Takes the lines of word-packed `file` whose words lie whole in its frame's first
// got[file] bytes, checking them against the other file's rows in its first got[1 - file]
// bytes while `checking` holds (a line whose rows there have not all come waits). Says in
// `rows` how many rows of each compared plane the lines taken make; rows found alike are
// passed over in `progress`.
void takeArrivedLines(WordLines& lines, const PairLayout& pair, Buffers& buffers, size_t file, const size_t got[2],
                      int32_t rows[3], FrameProgress& progress);

// Whether the lines of `file`, while checked, may be taken in step with the other file's
// rows read from their own places: each line holds every plane, whole (no --crop), and the
// other file holds each plane's rows side by side, as many as the lines.
bool linesInStep(const WordLines& lines, const PairLayout& pair, size_t file);

// Whether the line of words at `line` holds the samples of the other file's rows of each
// compared plane, `otherRows`, with no padding set.
bool lineMatchesRows(WordLines& lines, const PairLayout& pair, size_t file, const uint8_t* line,
                     const uint8_t* const otherRows[3]);

// Once a frame is whole: where its lines were all alike, unpacks into its working frame
// what is read of it later, all of it when `whole` (the frame is drawn), else the line that
// holds row `probe` of the first compared plane (the frame-shift search's probe).
void finishWordLines(const WordLines& lines, const PairLayout& pair, Buffers& buffers, size_t file, bool whole,
                     int32_t probe);

} // namespace framecmp
