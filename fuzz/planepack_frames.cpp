// Fuzz driver for planepack. The first line of the input holds the width, height and order
// arguments, separated by blanks, exactly as they would be typed (fewer than three give the
// usage text); the rest, up to 64 KiB so that tiny frames stay quick, is the input file.
#define main planepackMain
#include "../planepack/planepack.cpp"
#undef main

#include <algorithm>
#include <string>

#include "driver.h"

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fputs("usage: planepack_frames INPUT SCRATCH_DIR\n", stderr);
        return 2;
    }
    const std::string input = readWholeFile(argv[1]);
    const size_t lineEnd = std::min(input.find('\n'), input.size());
    const std::string line = input.substr(0, lineEnd);
    std::vector<std::string> args = {"planepack", "in.yuv", "out.yuv"};
    size_t from = 0;
    while (args.size() < 6 && from < line.size()) {
        const size_t to = std::min(line.find(' ', from), line.size());
        args.push_back(line.substr(from, to - from));
        from = to + 1;
    }
    enterEmptyScratch(argv[2]);
    writeWholeFile("in.yuv", input.substr(std::min(lineEnd + 1, input.size()), 65536));
    return runProgram(planepackMain, args);
}
