// Fuzz driver for traceframes' trace reading. The first byte of the input picks one of a few
// geometry names, both bus widths among them, whether chroma is split (-P), whether samples
// take two bytes (-D 10), whether rows are reversed (-E), whether x and z digits are read
// into a mask (-X) and whether a second byte follows; that one picks a geometry on a bus of
// 8 to 512 bits (-G) or keeps the name's, and whether the trace is a Verilog memory file
// (-V), and whether a third byte follows; that one reads the trace as AXI4-Stream video
// in one of a few layouts (-A) on the geometry the second byte picked, with its side band
// (-K) or without. The rest is the trace. A 61-byte input block lets small inputs reach every refill,
// every line that straddles two blocks and every line longer than a block.
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
    inputBlockSize = 61;
    static const char* const names[] = {
        "f_w4_2_420_32.txt",  "f_w4_4_420_64.txt", "f_w8_2_422_32.txt",  "f_w8_4_440_64.txt",
        "f_w16_1_400_64.txt", "f_w8_8_420_32.txt", "f_w32_4_420_64.txt", "f_w3_1_400_32.txt",
    };
    // Luma plane and frame whole bus words at each width; one that is not (13).
    static const char* const wideGeometries[] = {
        "-G4x2:420:8",    "-G8x3:420:24",   "-G10x2:422:40", "-G8x4:420:128",
        "-G16x2:422:256", "-G16x4:422:512", "-G8x2:440:16",  "-G3x1:400:24",
    };
    const std::string input = readWholeFile(argv[1]);
    const unsigned selector = input.empty() ? 0 : static_cast<unsigned char>(input[0]);
    const bool secondSelector = (selector & 128) != 0 && input.size() >= 2;
    const unsigned wide = secondSelector ? static_cast<unsigned char>(input[1]) : 0;
    const bool thirdSelector = secondSelector && (wide & 32) != 0 && input.size() >= 3;
    const unsigned stream = thirdSelector ? static_cast<unsigned char>(input[2]) : 0;
    const size_t traceStart = input.empty() ? 0 : thirdSelector ? 3 : secondSelector ? 2 : 1;
    const std::string name = names[selector % 8];
    enterEmptyScratch(argv[2]);
    writeWholeFile(name, input.substr(traceStart));
    std::vector<std::string> args = {"traceframes"};
    // Stream layouts that fit the geometries above: 4:2:0, 4:2:2 and 4:0:0 on 8 to 512 bits,
    // some wider than a bus holds (8).
    static const char* const layouts[] = {
        "-Ayuv420:8:1",  "-Ayuv420:10:2", "-Ayuv422:8:2",      "-Ayuv420:16:8",
        "-Ayuv422:12:4", "-Ayuv422:10:8", "-Ayuv422:8:1:byte", "-Amono:12:2",
    };
    if (thirdSelector) {
        args.emplace_back(layouts[stream % 8]);
        if ((stream & 8) != 0) {
            args.emplace_back("-K");
        }
    }
    if (secondSelector && (wide & 16) == 0) {
        args.emplace_back(wideGeometries[wide % 8]);
    }
    if ((wide & 8) != 0) {
        args.emplace_back("-V");
    }
    if ((selector & 64) != 0) {
        args.emplace_back("-Xmask.yuv");
    }
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
