// The whole-frame writer in process: a write cut short by a file-size limit leaves the whole
// frames before it and no part of the torn one, in a file the run opened; a descriptor it
// was handed is left as the failed write left it.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/frameoutput.h"

namespace {

struct CutBackCase {
    size_t frameBytes;
    size_t piecesPerFrame; // writes a frame takes
    int frames;
    off_t sizeLimit; // RLIMIT_FSIZE while writing
    bool opened;
    bool done;  // every frame written
    off_t size; // the file's size afterwards
};

const CutBackCase cutBackCases[] = {
    {100, 1, 3, 1000, true, true, 300},  // no failure
    {100, 1, 3, 250, true, false, 200},  // the third frame torn at 50 bytes: cut back
    {120, 2, 3, 250, true, false, 240},  // torn in its first piece, after two whole frames
    {120, 2, 3, 300, true, false, 240},  // torn in its second piece
    {100, 1, 4, 300, true, false, 300},  // the fourth frame refused whole: nothing to cut
    {100, 1, 3, 250, false, false, 250}, // handed to the run: left as it is
};

// Writes `frames` frames through a FrameOutput under a file-size limit; returns whether
// all were written, and the file's size in `size`.
bool writeFramesUnderLimit(const CutBackCase& row, int fd, off_t& size)
{
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    rlimit limited = before;
    limited.rlim_cur = static_cast<rlim_t>(row.sizeLimit);
    setrlimit(RLIMIT_FSIZE, &limited);
    void (*oldHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    const std::vector<unsigned char> frame(row.frameBytes, 0x5a);
    const size_t piece = row.frameBytes / row.piecesPerFrame;
    FrameOutput output = makeFrameOutput(fd, row.opened);
    bool done = true;
    for (int i = 0; i < row.frames && done; ++i) {
        for (size_t at = 0; at < row.frameBytes && done; at += piece) {
            done = writeFrameBytes(output, frame.data() + at, piece);
        }
        keepWholeFrames(output);
    }
    const int error = errno;
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, oldHandler);
    struct stat file {};
    fstat(fd, &file);
    size = file.st_size;
    EXPECT_TRUE(done || error == EFBIG) << error;
    return done;
}

TEST(FrameOutput, ShortWriteLeavesWholeFramesOnly)
{
    for (const CutBackCase& row : cutBackCases) {
        std::string name = "/tmp/frameoutput-XXXXXX";
        const int fd = mkstemp(name.data());
        ASSERT_GE(fd, 0);
        unlink(name.c_str());
        off_t size = 0;
        EXPECT_EQ(writeFramesUnderLimit(row, fd, size), row.done) << "limit " << row.sizeLimit;
        EXPECT_EQ(size, row.size) << "limit " << row.sizeLimit;
        close(fd);
    }
}

} // namespace
