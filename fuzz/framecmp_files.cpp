// Fuzz driver for framecmp: options (formats of every depth, -F, -t, -p, --skip, --align,
// -i with --picture-frame, the reports --csv, --json and --plot, --ssim and --ssim-min,
// --unknown with either file as the mask, the buffer layouts --stride, --plane-rows,
// --chroma-offset, --frame-bytes and their --expected- forms),
// geometry and file contents: frames whose bytes are those of the other displaced put the
// search for a lost bus word to work. Reports are written in the scratch directory, or to
// standard output as "-". The first line of the input is the argument list, blank-separated,
// exactly as typed; the two lines after it are the
// contents of e.yuv and a.yuv, written as well under e_w6_4_420.yuv and a_w6_4_420.yuv for
// geometry from the names (the rest of the input goes to a.yuv, up to 64 KiB). A '/' in an
// argument becomes '_', which keeps every path the run opens inside the scratch directory.
// Frames are read and compared in bands of 61 bytes, or of 509 for inputs of odd length.
// framecmp's main.cpp, its allocator with it, under another name; the library's sources
// are compiled beside this file (fuzz/run).
#define main framecmpMain
#include "../framecmp/main.cpp"
#undef main

#include <algorithm>
#include <string>

#include "../framecmp/loop.h"
#include "driver.h"

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fputs("usage: framecmp_files INPUT SCRATCH_DIR\n", stderr);
        return 2;
    }
    const std::string input = readWholeFile(argv[1]);
    const size_t lineEnd = std::min(input.find('\n'), input.size());
    std::string line = input.substr(0, std::min<size_t>(lineEnd, 240));
    std::replace(line.begin(), line.end(), '/', '_');
    std::vector<std::string> args = {"framecmp"};
    for (size_t from = 0; from < line.size() && args.size() < 16;) {
        const size_t to = std::min(line.find(' ', from), line.size());
        args.push_back(line.substr(from, to - from));
        from = to + 1;
    }
    const size_t expectedFrom = std::min(lineEnd + 1, input.size());
    const size_t expectedEnd = std::min(input.find('\n', expectedFrom), input.size());
    const std::string expected = input.substr(expectedFrom, std::min<size_t>(expectedEnd - expectedFrom, 65536));
    const std::string actual = input.substr(std::min(expectedEnd + 1, input.size()), 65536);
    // Bands far smaller than a frame, and odd: they end mid-sample, mid-row and mid-plane;
    // for inputs of odd length, bands that hold a few lines of a word-packed file and rows.
    framecmp::frameBandSize = input.size() % 2 == 0 ? 61 : 509;
    enterEmptyScratch(argv[2]);
    writeWholeFile("e.yuv", expected);
    writeWholeFile("a.yuv", actual);
    writeWholeFile("e_w6_4_420.yuv", expected);
    writeWholeFile("a_w6_4_420.yuv", actual);
    return runProgram(framecmpMain, args);
}
