// Whole-frame output: bytes go out with write(2), so that what reached the file is known,
// and a failed write cuts a file the run opened back to the last whole frame, so that it
// never ends with a torn one. Nothing here prints: a failure comes back as false with errno,
// and the caller says what it means.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include <sys/stat.h>
#include <unistd.h>

struct FrameOutput {
    int fd;
    // The run opened the file (and closes it). A descriptor it was handed, such as standard
    // output, is never cut back: what it held before is not the run's to cut.
    bool opened;
    int64_t written; // bytes written so far
    int64_t kept;    // of which whole: the part a failure leaves
};

inline FrameOutput makeFrameOutput(int fd, bool opened)
{
    return FrameOutput{fd, opened, 0, 0};
}

// Cuts a regular file the run opened back to what was kept; errno stays that of the failure.
inline void cutBackToWholeFrames(const FrameOutput& output)
{
    const int error = errno;
    struct stat file {};
    if (output.opened && output.written > output.kept && fstat(output.fd, &file) == 0 && S_ISREG(file.st_mode)) {
        while (ftruncate(output.fd, static_cast<off_t>(output.kept)) != 0 && errno == EINTR) {
        }
    }
    errno = error;
}

// Writes all `length` bytes, across short writes. On a failure the output is cut back to its
// whole frames and false returned, with errno saying why.
inline bool writeFrameBytes(FrameOutput& output, const void* data, size_t length)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (length > 0) {
        const ssize_t n = write(output.fd, bytes, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            cutBackToWholeFrames(output);
            return false;
        }
        bytes += n;
        length -= static_cast<size_t>(n);
        output.written += n;
    }
    return true;
}

// What is written so far is whole (a frame, or lines before the first) and stays on a failure.
inline void keepWholeFrames(FrameOutput& output)
{
    output.kept = output.written;
}

// Closes a file the run opened; false, with errno, when the close reports a lost write.
inline bool closeFrameOutput(FrameOutput& output)
{
    if (!output.opened) {
        return true;
    }
    const int fd = output.fd;
    output.fd = -1;
    return close(fd) == 0;
}
