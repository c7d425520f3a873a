// Fuzz driver for traceframes' trace reading. The first byte of the input picks one of a few
// geometry names, both bus widths among them, whether chroma is split (-P), whether samples
// take two bytes (-D 10) and whether rows are reversed (-E); the rest is the trace. A 61-byte
// input block lets small inputs reach every refill, every line that straddles two blocks and
// every line longer than a block.
#define TRACEFRAMES_INPUT_BLOCK_SIZE 61
#define main traceframesMain
#include "../traceframes/main.cpp"
#undef main

#include "driver.h"

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fputs("usage: traceframes_trace INPUT SCRATCH_DIR\n", stderr);
        return 2;
    }
    static const char* const names[] = {
        "f_w4_2_420_32.txt",  "f_w4_4_420_64.txt", "f_w8_2_422_32.txt",  "f_w8_4_440_64.txt",
        "f_w16_1_400_64.txt", "f_w8_8_420_32.txt", "f_w32_4_420_64.txt", "f_w3_1_400_32.txt",
    };
    const std::string input = readWholeFile(argv[1]);
    const unsigned selector = input.empty() ? 0 : static_cast<unsigned char>(input[0]);
    const std::string name = names[selector % 8];
    enterEmptyScratch(argv[2]);
    writeWholeFile(name, input.empty() ? input : input.substr(1));
    std::vector<std::string> args = {"traceframes"};
    if ((selector & 8) != 0) {
        args.emplace_back("-P");
    }
    // Two-byte samples and rows printed most significant byte first.
    if ((selector & 16) != 0) {
        args.emplace_back("-D10");
    }
    if ((selector & 32) != 0) {
        args.emplace_back("-E");
    }
    args.push_back(name);
    return runProgram(traceframesMain, args);
}
