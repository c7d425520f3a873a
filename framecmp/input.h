// The two files read: opened, a frame at a time into buffers that grow as bytes come, and
// what is left of each once one ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"
#include "framecmp/compare/coding.h"
#include "framecmp/options.h"

namespace framecmp {

struct Input {
    const char* path;
    int fd;
};

// Two frames (and ACTUAL's mask with --unknown) and the gathered rows of a plane whose
// samples are not side by side. A frame
// buffer grows as its file's bytes come, up to a frame and the one byte read past it, so
// that a short file never costs a whole frame of a huge picture.
struct Buffers {
    uint8_t* expected;
    uint8_t* actual;
    uint8_t* expectedRow;
    uint8_t* actualRow;
    uint8_t* mask; // null without --unknown
    uint8_t* maskRow;
    size_t capacity[3]; // bytes of the expected, the actual and the mask file frame buffer
    // Word-packed files: the file frames as read, unpacked into the frames above; null for
    // a file that holds its samples where its layout says.
    uint8_t* fileFrames[3];
    // A band of each file while two frames are equal byte for byte (null until needed).
    uint8_t* bands[2];
    // A word-packed file's working frame that holds only part of this frame (at most the
    // probe's line), its lines having been compared in a line buffer (wordlines).
    bool workingPart[2];
};

// What is known of a file once the other has ended: the whole frames it holds beyond those
// compared and the bytes of a partial frame after them, or, when it goes on past one more
// frame, only that it has more (it may be endless).
struct Remainder {
    int64_t wholeFrames;
    size_t partialBytes;
    bool more;
};

// What --align reads of each file: the frames of a pipe are held, to be compared first once
// the offset is found; a file that can seek is read in place and then set at the offset.
struct Readahead {
    bool seekable[2];
    off_t start[2];
    int64_t whole[2]; // whole frames there are to align on, held or in place
    std::vector<std::vector<uint8_t>> frames[2];
    size_t next[2];
};

Input openInput(const char* path);

void refuseOneStream(const Options& options, const Input inputs[2]);

size_t readUpTo(const Input& input, uint8_t* data, size_t length, off_t offset = -1);

// The bytes of a regular file from place `start` to its end, at most `most`; 0 when unknown.
size_t bytesFrom(const Input& input, off_t start, size_t most);

// The buffer a file's frames are read into: its file frame buffer.
uint8_t*& frameOf(Buffers& buffers, size_t file);

// The frame of a file (0 EXPECTED, 1 ACTUAL) the comparison reads: the one it is read into,
// or a word-packed file's working frame.
// cppcheck-suppress constParameter ; the reference returned lets the caller replace the buffer
inline uint8_t*& comparedFrameOf(Buffers& buffers, size_t file)
{
    return file == 0 ? buffers.expected : buffers.actual;
}

uint8_t* frameRoom(Buffers& buffers, size_t file, size_t length, size_t frameSize);

size_t readFrame(const Input& input, Buffers& buffers, size_t file, size_t frameSize);

// Gives a file's frame buffer a whole frame at once when the file holds one more from where
// it stands: read in bands, the buffer would otherwise be copied each time it grew.
void reserveFrame(const Input& input, Buffers& buffers, size_t file, size_t frameSize);

// Reads the next `band` bytes of a frame, or what is left of it, after the `got` bytes
// already in its buffer, which grows as they come; returns the bytes of the frame now in.
size_t readBand(const Input& input, Buffers& buffers, size_t file, size_t frameSize, size_t got, size_t band);

void skipFrames(const Input& input, Buffers& buffers, size_t file, size_t frameSize, int64_t count);

Buffers allocateBuffers(const FrameLayout& layout, bool withMask);

// A buffer for a whole frame, asking for huge pages when it is large, as the frame buffers do.
uint8_t* allocateFrameBuffer(size_t size);

// Gives each word-packed file (the mask as ACTUAL) a working frame to unpack into, its
// frame buffer then holding the file frame.
void allocateWorkingFrames(Buffers& buffers, const PairLayout& pair);

// The frame of `file` as read from the file (its file frame), which is compared as read or
// after unpacking (readyFrame).
const uint8_t* readyFrame(const PairLayout& pair, Buffers& buffers, size_t file, const uint8_t* fileFrame);

void refuseMaskStream(const Input inputs[2], const Input& mask);

// Reads ACTUAL's mask frame beside ACTUAL's `gotActual` bytes; a mask shorter, or longer
// where ACTUAL ended, is trouble.
void readMaskFrame(const Input& mask, Buffers& buffers, size_t frameSize, size_t gotActual);

// After the last frame pair, the mask against what is known of ACTUAL's end (`rest`): one
// that ends before it or goes on past it is trouble.
void checkMaskEnd(const Input& mask, Buffers& buffers, size_t frameSize, const Remainder& rest);

void releaseBuffers(const Buffers& buffers);

// Whether `got` bytes of a file frame hold a whole frame: every line, if not the padding
// after the last (a file's last frame may end there).
inline bool wholeFrame(const FrameLayout& layout, size_t got)
{
    return got >= layout.linesEnd;
}

Remainder countRemainder(const Input& input, const Readahead& readahead, size_t file, Buffers& buffers,
                         const FrameLayout& layout, size_t got);

size_t nextFrame(const Input& input, Readahead& readahead, size_t file, Buffers& buffers, size_t frameSize);

} // namespace framecmp
