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
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "framecmp/compare/rowkernels.h"
#include "framecmp/input.h"
#include "framecmp/memory.h"
#include "framecmp/options.h"

namespace framecmp {

Input openInput(const char* path)
{
    if (std::strcmp(path, "-") == 0) {
        return Input{"standard input", STDIN_FILENO};
    }
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        failSystem(path, "cannot open");
    }
    return Input{path, fd};
}

// Two names of one stream that cannot seek (`- /dev/stdin` on a pipe) would each take part
// of it. Two names of one regular file, or of a device that seeks, read alike.
void refuseOneStream(const Options& options, const Input inputs[2])
{
    if (inputs[0].fd == inputs[1].fd) {
        failUsage("arguments", "standard input can be only one of the two files");
    }
    struct stat first {};
    struct stat second {};
    if (fstat(inputs[0].fd, &first) != 0 || fstat(inputs[1].fd, &second) != 0 || first.st_dev != second.st_dev ||
        first.st_ino != second.st_ino || S_ISREG(first.st_mode) || lseek(inputs[0].fd, 0, SEEK_CUR) >= 0) {
        return;
    }
    fail("arguments", std::string(options.expectedPath) + " and " + options.actualPath + " are one stream");
}

// Reads until `length` bytes are in or the input ends; returns the bytes read. A file that
// can seek may be read at `offset` instead of where it stands (pread), when that is 0 or more.
size_t readUpTo(const Input& input, uint8_t* data, size_t length, off_t offset)
{
    size_t got = 0;
    while (got < length) {
        const ssize_t n = offset < 0 ? read(input.fd, data + got, length - got)
                                     : pread(input.fd, data + got, length - got, offset + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            failSystem(input.path, "cannot read");
        }
        if (n == 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    return got;
}

size_t bytesFrom(const Input& input, off_t start, size_t most)
{
    struct stat status {};
    if (start < 0 || fstat(input.fd, &status) != 0 || status.st_size <= start) {
        return 0;
    }
    return static_cast<size_t>(std::min<off_t>(status.st_size - start, static_cast<off_t>(most)));
}

// cppcheck-suppress constParameter ; the reference returned lets the caller replace the buffer
uint8_t*& frameOf(Buffers& buffers, size_t file)
{
    if (buffers.fileFrames[file] != nullptr) {
        return buffers.fileFrames[file];
    }
    return file == 0 ? buffers.expected : file == 1 ? buffers.actual : buffers.mask;
}

// Frame buffers from this size on ask for huge pages: a buffer of a large frame is otherwise
// first touched 4 KiB at a time, a fault a page, which costs as much as the comparison of a
// few such frames.
constexpr size_t hugePageBuffer = size_t{4} << 20U;

static void askHugePages(uint8_t* block, size_t size)
{
#ifdef MADV_HUGEPAGE
    // madvise takes whole pages: the block's first page boundary on.
    const auto pageSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t misalignment = reinterpret_cast<uintptr_t>(block) % pageSize;
    const size_t skip = misalignment == 0 ? 0 : pageSize - misalignment;
    if (size >= hugePageBuffer && size > skip) {
        // Only advice: a system without huge pages leaves the buffer as it is.
        madvise(block + skip, size - skip, MADV_HUGEPAGE);
    }
#else
    static_cast<void>(block);
    static_cast<void>(size);
#endif
}

uint8_t* allocateFrameBuffer(size_t size)
{
    uint8_t* block = allocate(size);
    askHugePages(block, size);
    return block;
}

// Makes room for `length` bytes in the frame buffer of `file` (0 EXPECTED, 1 ACTUAL, 2 the mask), doubling it at least,
// never past a frame and one byte.
uint8_t* frameRoom(Buffers& buffers, size_t file, size_t length, size_t frameSize)
{
    uint8_t*& frame = frameOf(buffers, file);
    size_t& capacity = buffers.capacity[file];
    if (length > capacity) {
        const size_t grown = std::min(std::max(length, 2 * capacity), frameSize + 1);
        auto* block = static_cast<uint8_t*>(std::realloc(frame, grown));
        if (block == nullptr) {
            failAllocation(grown);
        }
        // Huge pages for those not yet touched: a buffer grown at once to a whole frame
        // (reserveFrame) is almost all of them.
        askHugePages(block, grown);
        frame = block;
        capacity = grown;
    }
    return frame;
}

// Reads up to a frame of a file into its buffer, which grows as the bytes come;
// returns the bytes read.
size_t readFrame(const Input& input, Buffers& buffers, size_t file, size_t frameSize)
{
    size_t got = 0;
    for (;;) {
        const size_t room = std::min(buffers.capacity[file], frameSize);
        got += readUpTo(input, frameOf(buffers, file) + got, room - got);
        if (got < room || got == frameSize) {
            return got;
        }
        frameRoom(buffers, file, got + 1, frameSize);
    }
}

void reserveFrame(const Input& input, Buffers& buffers, size_t file, size_t frameSize)
{
    struct stat status {};
    const off_t at = lseek(input.fd, 0, SEEK_CUR);
    if (buffers.capacity[file] <= frameSize && at >= 0 && fstat(input.fd, &status) == 0 &&
        status.st_size - at >= static_cast<off_t>(frameSize)) {
        frameRoom(buffers, file, frameSize + 1, frameSize);
    }
}

size_t readBand(const Input& input, Buffers& buffers, size_t file, size_t frameSize, size_t got, size_t band)
{
    const size_t length = std::min(band, frameSize - got);
    return got + readUpTo(input, frameRoom(buffers, file, got + length, frameSize) + got, length);
}

// Reads past the first `count` frames, or to the end when there are fewer.
void skipFrames(const Input& input, Buffers& buffers, size_t file, size_t frameSize, int64_t count)
{
    for (int64_t i = 0; i < count; ++i) {
        if (readFrame(input, buffers, file, frameSize) < frameSize) {
            return;
        }
    }
}

// The first block of each frame buffer: a whole frame only when it is small.
constexpr size_t firstFrameBlock = 65536;

Buffers allocateBuffers(const FrameLayout& layout, bool withMask)
{
    const size_t rowLength = std::min(static_cast<size_t>(layout.width), kernelSpan) * layout.sampleBytes;
    const size_t first = std::min(layout.frameSize + 1, firstFrameBlock);
    return Buffers{allocate(first),
                   allocate(first),
                   allocate(rowLength),
                   allocate(rowLength),
                   withMask ? allocate(first) : nullptr,
                   withMask ? allocate(rowLength) : nullptr,
                   {first, first, withMask ? first : 0},
                   {nullptr, nullptr, nullptr},
                   {nullptr, nullptr},
                   {false, false}};
}

void allocateWorkingFrames(Buffers& buffers, const PairLayout& pair)
{
    for (size_t file = 0; file < 3; ++file) {
        uint8_t*& frame = file == 0 ? buffers.expected : file == 1 ? buffers.actual : buffers.mask;
        const size_t of = std::min<size_t>(file, 1);
        if (frame != nullptr && pair.files[of].packing != Packing::none) {
            buffers.fileFrames[file] = frame;
            frame = allocateFrameBuffer(pair.files[of].working.frameSize);
        }
    }
}

const uint8_t* readyFrame(const PairLayout& pair, Buffers& buffers, size_t file, const uint8_t* fileFrame)
{
    const size_t of = std::min<size_t>(file, 1);
    if (pair.files[of].packing == Packing::none) {
        return fileFrame;
    }
    uint8_t* frame = file == 0 ? buffers.expected : file == 1 ? buffers.actual : buffers.mask;
    unpackFrame(pair.files[of], pair.files[of].working, fileFrame, frame);
    if (file < 2) {
        buffers.workingPart[file] = false;
    }
    return frame;
}

// The mask read from the stream of EXPECTED or ACTUAL would take its bytes.
void refuseMaskStream(const Input inputs[2], const Input& mask)
{
    if (mask.fd == inputs[0].fd || mask.fd == inputs[1].fd) {
        failUsage("--unknown", "standard input can be only one of the files");
    }
}

void readMaskFrame(const Input& mask, Buffers& buffers, size_t frameSize, size_t gotActual)
{
    const size_t got = readFrame(mask, buffers, 2, frameSize);
    if (got < gotActual) {
        fail(mask.path, "the mask ends before ACTUAL");
    }
    if (got > gotActual) {
        fail(mask.path, "the mask runs longer than ACTUAL");
    }
}

void checkMaskEnd(const Input& mask, Buffers& buffers, size_t frameSize, const Remainder& rest)
{
    if (rest.wholeFrames != 0) {
        // ACTUAL's whole frame beside the mask's was read one byte further, as the mask is.
        const bool maskMore = readUpTo(mask, frameRoom(buffers, 2, frameSize + 1, frameSize) + frameSize, 1) != 0;
        if (rest.more && !maskMore) {
            fail(mask.path, "the mask ends before ACTUAL");
        }
        if (!rest.more && maskMore) {
            fail(mask.path, "the mask runs longer than ACTUAL");
        }
    }
}

void releaseBuffers(const Buffers& buffers)
{
    for (uint8_t* fileFrame : buffers.fileFrames) {
        std::free(fileFrame);
    }
    std::free(buffers.expected);
    std::free(buffers.actual);
    std::free(buffers.expectedRow);
    std::free(buffers.actualRow);
    std::free(buffers.mask);
    std::free(buffers.maskRow);
    std::free(buffers.bands[0]);
    std::free(buffers.bands[1]);
}

// What is left of a file once one of the two has ended; `got` is what its last read gave.
// A file that gave a whole file frame is read one byte further, no more: it may never end.
// A byte --align still holds counts as read, so that a pipe reads as a file does.
Remainder countRemainder(const Input& input, const Readahead& readahead, size_t file, Buffers& buffers,
                         const FrameLayout& layout, size_t got)
{
    const size_t frameSize = layout.fileFrameSize;
    if (!wholeFrame(layout, got)) {
        return Remainder{0, got, false};
    }
    if (got < frameSize) {
        return Remainder{1, 0, false};
    }
    const bool heldMore =
        readahead.next[file] < readahead.frames[file].size() && !readahead.frames[file][readahead.next[file]].empty();
    const bool more =
        heldMore || readUpTo(input, frameRoom(buffers, file, frameSize + 1, frameSize) + frameSize, 1) != 0;
    return Remainder{1, 0, more};
}

// The next frame of a file: one --align held back, else one read.
size_t nextFrame(const Input& input, Readahead& readahead, size_t file, Buffers& buffers, size_t frameSize)
{
    if (readahead.next[file] < readahead.frames[file].size()) {
        const std::vector<uint8_t>& kept = readahead.frames[file][readahead.next[file]];
        ++readahead.next[file];
        std::copy(kept.begin(), kept.end(), frameRoom(buffers, file, kept.size(), frameSize));
        return kept.size();
    }
    return readFrame(input, buffers, file, frameSize);
}

} // namespace framecmp
