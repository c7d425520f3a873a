// Fuzz driver for traceframes' command line and file name decoding. The input is the
// argument list, one argument a line; every argument that could be the trace is also created
// as a small trace file, so that the run gets past opening it. A '/' becomes '_', which keeps
// every path the run opens inside the scratch directory.
#define main traceframesMain
#include "../traceframes/main.cpp"
#undef main

#include "driver.h"

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fputs("usage: traceframes_args INPUT SCRATCH_DIR\n", stderr);
        return 2;
    }
    const std::string input = readWholeFile(argv[1]);
    std::vector<std::string> args = argumentsFromLines("traceframes", input);
    enterEmptyScratch(argv[2]);
    for (size_t i = 1; i < args.size(); ++i) {
        if (!args[i].empty() && args[i][0] != '-' && args[i] != "." && args[i] != "..") {
            writeWholeFile(args[i], "# fuzz\n00 01 02 03\n04 05 06 07 08 09 0a 0b\na0 b0 a1 b1\n");
        }
    }
    return runProgram(traceframesMain, args);
}
