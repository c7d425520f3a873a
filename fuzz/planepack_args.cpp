// Fuzz driver for planepack's command line: the input is the argument list, one argument a
// line (sizes and orders as text, the two paths among them); a '/' becomes '_', which keeps
// every path the run opens inside the scratch directory. in.yuv holds two small frames.
#define main planepackMain
#include "../planepack/planepack.cpp"
#undef main

#include <algorithm>
#include <string>

#include "driver.h"

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fputs("usage: planepack_args INPUT SCRATCH_DIR\n", stderr);
        return 2;
    }
    const std::string input = readWholeFile(argv[1]);
    std::vector<std::string> args = argumentsFromLines("planepack", input);
    enterEmptyScratch(argv[2]);
    writeWholeFile("in.yuv", std::string("\x10\x11\x12\x13\x20\x21\x22\x23\x50\x51\x60\x61", 12) +
                                 std::string("\x10\x11\x12\x13\x20\x21\x22\x23\x50\x51\x60\x61", 12));
    return runProgram(planepackMain, args);
}
