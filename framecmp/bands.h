// Frame pairs read from regular files a band of each at a time, each band compared while it
// is still in cache.
#pragma once

#include <cstddef>

#include "framecmp/compare/coding.h"
#include "framecmp/compare/frame.h"
#include "framecmp/compare/wordlines.h"
#include "framecmp/input.h"
#include "framecmp/options.h"

namespace framecmp {

// Bytes of each file read at a time when a frame pair is compared as it comes: the bands of
// both stay in the processor's cache until they are compared.
extern size_t frameBandSize;

// Whether both inputs are regular files. Only these are read in bands, alternately: a pipe's
// writer may fill one before the other (a whole frame of EXPECTED, then of ACTUAL) and wait.
bool regularFiles(const Input inputs[2]);

// Whether the frames are compared in bands as they are read: not when the work wants whole
// frames in order (a mask, -l's listing, SSIM) or a frame --align held back comes next.
bool comparesInBands(const Options& options, const Readahead& readahead);

// Reads the next frame of EXPECTED and ACTUAL a band of each at a time, comparing what has
// come of both after each, the lines of word-packed files taken as `words` says; `got`
// says how much of each frame came (less than a frame where a file ended). Frames alike
// byte for byte, or line for row, may come through two band buffers only and never reach
// the frame buffers (progress.bandsOnly says so), from which readBack takes what is read
// later; `lookForTenBit` asks for what their bytes show of 10-bit samples read as 8-bit.
void readComparingBands(const Input inputs[2], Buffers& buffers, const PairLayout& pair, const Criteria& criteria,
                        size_t got[2], FrameProgress& progress, WordLines words[2], bool lookForTenBit);

// Compares two frames whole in their buffers (mapped from their files) as they would come
// in bands: bytes first; a word-packed file's lines a band at a time, each held against the
// other file's rows before it is unpacked, and its rows compared while still in cache.
void compareWholeFrames(Buffers& buffers, const PairLayout& pair, const Criteria& criteria, const size_t got[2],
                        FrameProgress& progress, WordLines words[2]);

// For a frame that came through the band buffers only, `got` bytes of each file: reads into
// the frame buffers of both files the whole frame when `whole`, else row `row` of the first
// plane (a word-packed file's line).
void readBack(const Input inputs[2], Buffers& buffers, const PairLayout& pair, const size_t got[2], bool whole,
              int32_t row);

} // namespace framecmp
