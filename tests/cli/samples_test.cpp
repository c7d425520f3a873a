// Samples of more than 8 bits and words printed most significant byte first: traceframes -D,
// -E and -G against a model of what they do to the rows of a trace, tracegen -D, -E and -f,
// and the two round-tripping every shape, bus, sampling, byte order and depth.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "support/models.h"
#include "support/scratch.h"

namespace {

const std::string traceframes = programPath(TRACEFRAMES_BIN);
const std::string tracegen = programPath(TRACEGEN_BIN);

// What traceframes makes of the rows of a trace: reverse each row's bytes (-E), then whole
// frames in bus order, or with -P in planes.
std::string modelFrames(const std::vector<std::string>& rows, const TraceShape& s, bool reverse, bool split)
{
    std::string stream;
    for (std::string row : rows) {
        if (reverse) {
            std::reverse(row.begin(), row.end());
        }
        stream += row;
    }
    stream.resize(stream.size() - stream.size() % frameBytes(s));
    return split ? planarOrder(s, stream) : stream;
}

std::string hexRow(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        text += text.empty() ? "" : " ";
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text + "\n";
}

// Replaces one digit of a row's text by x, X, z or Z: the byte reads with that half 0, and
// the mask byte has that half set.
void makeDigitUnknown(std::mt19937& random, std::string& text, std::string& row, std::string& maskRow)
{
    const size_t byte = random() % row.size();
    const bool high = random() % 2 == 0;
    text[3 * byte + (high ? 0 : 1)] = "xXzZ"[random() % 4];
    row[byte] = static_cast<char>(static_cast<unsigned char>(row[byte]) & (high ? 0x0f : 0xf0));
    maskRow[byte] = static_cast<char>(static_cast<unsigned char>(maskRow[byte]) | (high ? 0xf0 : 0x0f));
}

// The unknown report of -X: the samples of the written frames whose mask is not zero, the
// frames holding them and the trace row of the first (after the comment line).
std::string unknownReportPrefix(const std::string& masks, const std::vector<std::string>& maskRows,
                                const TraceShape& shape)
{
    const size_t frame = frameBytes(shape);
    const auto sample = size_t(shape.sampleBytes);
    size_t samples = 0;
    size_t frames = 0;
    for (size_t at = 0; at < masks.size(); at += frame) {
        size_t inFrame = 0;
        for (size_t k = at; k < at + frame; k += sample) {
            inFrame += masks.substr(k, sample) != std::string(sample, '\0') ? 1 : 0;
        }
        samples += inFrame;
        frames += inFrame > 0 ? 1 : 0;
    }
    if (samples == 0) {
        return "unknown   = 0 samples\n";
    }
    size_t row = 0;
    while (maskRows[row] == std::string(maskRows[row].size(), '\0')) {
        ++row;
    }
    return "unknown   = " + std::to_string(samples) + " samples in " + std::to_string(frames) +
           " frames, first at row " + std::to_string(row + 1) + ": frame " +
           std::to_string(row * maskRows[row].size() / frame) + ", ";
}

// Random rows for two frames and a half, through -D (and -E, -P) against the model, on
// buses of 8 to 512 bits; at 10 bits some digits are x or z, read under -X into a mask
// that follows its samples.
TEST(TraceframesDepth, EverySamplingBusAndSplitAsTheModelSays)
{
    std::mt19937 random(16);
    size_t turn = 0;
    for (const int sampling : {420, 422, 440, 400}) {
        for (const int bus : {4, 8, 1, 3, 5, 16, 64}) {
            for (const int depth : {8, 10, 16}) {
                for (const bool reverse : {false, true}) {
                    // Each bus a picture whose luma plane and frame are whole bus words.
                    const int width = bus > 8 || bus % 4 != 0 ? 8 * bus : 8;
                    const TraceShape shape{width, 4, sampling, bus, depth > 8 ? 2 : 1};
                    const bool unknowns = depth == 10;
                    std::vector<std::string> rows;
                    std::vector<std::string> maskRows;
                    std::string trace = "# a trace\n";
                    const size_t rowCount = frameBytes(shape) * 5 / 2 / size_t(bus);
                    for (size_t r = 0; r < rowCount; ++r) {
                        std::string row;
                        for (int k = 0; k < bus; ++k) {
                            row += static_cast<char>(random() & 0xff);
                        }
                        std::string text = hexRow(row);
                        std::string maskRow(row.size(), '\0');
                        if (unknowns && random() % 8 == 0) {
                            makeDigitUnknown(random, text, row, maskRow);
                        }
                        rows.push_back(row);
                        maskRows.push_back(maskRow);
                        trace += text;
                    }
                    const std::string name = "d_w" + std::to_string(width) + "_4_" + std::to_string(sampling) + "_" +
                                             std::to_string(bus * 8) + ".txt";
                    for (const bool split : {false, true}) {
                        SCOPED_TRACE(name + " -D " + std::to_string(depth) + (reverse ? " -E" : "") +
                                     (split ? " -P" : ""));
                        if (!caseRunsInThisBuild(turn++)) {
                            continue;
                        }
                        Scratch scratch;
                        scratch.write(name, trace);
                        std::vector<std::string> args = {"-D", std::to_string(depth), "-O", "out.yuv"};
                        if (bus != 4 && bus != 8) {
                            args.insert(args.end(), {"-G", std::to_string(width) + "x4:" + std::to_string(sampling) +
                                                               ":" + std::to_string(bus * 8)});
                        }
                        if (reverse) {
                            args.emplace_back("-E");
                        }
                        if (split) {
                            args.emplace_back("-P");
                        }
                        if (unknowns) {
                            args.insert(args.end(), {"-X", "mask.yuv"});
                        }
                        args.push_back(name);
                        const RunResult result = scratch.run(traceframes, args);
                        const std::string masks = modelFrames(maskRows, shape, reverse, split);
                        const std::string report = unknowns ? unknownReportPrefix(masks, maskRows, shape) : "";
                        const bool anyUnknown = report.find(" 0 samples") == std::string::npos && unknowns;
                        EXPECT_EQ(result.status, anyUnknown ? 15 : 0);
                        const size_t leftOver = rowCount * size_t(bus) % frameBytes(shape);
                        EXPECT_EQ(result.err, "read error, insufficient data (k=" + std::to_string(leftOver) + ")!\n" +
                                                  (anyUnknown ? "unknown values in the trace!\n" : ""));
                        const std::string head = geometryReport(name, shape, depth) + "# a trace\n" + report;
                        EXPECT_EQ(result.out.substr(0, head.size()), head);
                        EXPECT_EQ(result.out.substr(result.out.size() - 15), "Wrote 2 frames\n");
                        EXPECT_EQ(scratch.read("out.yuv"), modelFrames(rows, shape, reverse, split));
                        if (unknowns) {
                            EXPECT_EQ(scratch.read("mask.yuv"), masks);
                        }
                    }
                }
            }
        }
    }
}

struct OptionCase {
    std::vector<std::string> args; // the trace t_w4_2_420_32.txt is added last
    int status;
    std::string err;
};

// -D, -E and -G as the command line gives them: attached or not, good and bad values.
TEST(TraceframesOptions, DepthOrderAndGeometry)
{
    const std::string invalid = "invalid arguments\n";
    const std::string badGeometry = "malformed geometry, cannot decipher\n";
    // clang-format off
    const OptionCase cases[] = {
        {{"-D", "10"}, 0, ""}, {{"-D10"}, 0, ""}, {{"-D", "8"}, 0, ""}, {{"-D", "16"}, 0, ""}, {{"-D", "010"}, 0, ""},
        {{"-D", "7"}, 10, invalid}, {{"-D", "17"}, 10, invalid}, {{"-D", "1O"}, 10, invalid},
        {{"-D", "+10"}, 10, invalid}, {{"-D", ""}, 10, invalid}, {{"-Dx"}, 10, invalid},
        {{"-D", "99999999999999999999"}, 10, invalid},
        {{"-E"}, 0, ""}, {{"-Exyz"}, 1, "unrecognized option: -Exyz\n"},
        {{"-G", "4x2:420:32"}, 0, ""}, {{"-G4X2:420:32"}, 0, ""},
        {{"-G", "4x2:420:36"}, 8, badGeometry}, {{"-G", "4x2:444:32"}, 8, badGeometry},
        {{"-G", "0x2:420:32"}, 8, badGeometry}, {{"-G", "4x2:420"}, 8, badGeometry},
        {{"-G", "4x2:420:32:"}, 8, badGeometry}, {{"-G", "4x2_420_32"}, 8, badGeometry},
        {{"-G", " 4x2:420:32"}, 8, badGeometry}, {{"-G", "4x+2:420:32"}, 8, badGeometry},
        {{"-G", "65536x65536:420:32"}, 8, badGeometry}, {{"-G", "2147483648x1:400:32"}, 8, badGeometry},
        {{"-G", "4x2:420:8"}, 9, "malformed row: 0\n"}, {{"-G", "4x2:420:16"}, 9, "malformed row: 0\n"}, {{"-G", "4x2:420:0"}, 8, badGeometry},
        {{"-G", "4x2:420:520"}, 8, badGeometry}, {{"-G", "4x2:420:12"}, 8, badGeometry},
        {{"-G", "4x2:400:512"}, 13, "frame size is not a multiple of the bus width!\n"},
        {{"-V"}, 0, ""}, {{"-Vx"}, 1, "unrecognized option: -Vx\n"}, {{"-X", "m.yuv"}, 0, ""}, {{"-Xm.yuv"}, 0, ""},
        {{"-X", "t_w4_2_420_32.txt"}, 12, "mask file is the input or output file!\n"},
        {{"-X", "t_w4_2_420_32.yuv"}, 12, "mask file is the input or output file!\n"},
        {{"-O", "o.yuv", "-X./o.yuv"}, 12, "mask file is the input or output file!\n"},
    };
    // clang-format on
    for (const OptionCase& c : cases) {
        SCOPED_TRACE(joined(c.args));
        Scratch scratch;
        // One frame of two-byte samples, two of one-byte samples.
        scratch.write("t_w4_2_420_32.txt",
                      "00 01 02 03\n04 05 06 07\na0 b0 a1 b1\n10 11 12 13\n14 15 16 17\nc0 d0 c1 d1\n");
        std::vector<std::string> args = c.args;
        args.emplace_back("t_w4_2_420_32.txt");
        const RunResult result = scratch.run(traceframes, args);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.err, c.err);
    }
    // A bad -G, or one without its value, is found before any file is opened.
    Scratch scratch;
    EXPECT_EQ(scratch.run(traceframes, {"-G", "4x2:420:12", "missing.txt"}).err, badGeometry);
    EXPECT_EQ(scratch.run(traceframes, {"missing.txt", "-G"}).status, 10);
    EXPECT_EQ(scratch.run(traceframes, {"missing.txt", "-D"}).status, 10);
    EXPECT_EQ(scratch.run(traceframes, {"missing.txt", "-X"}).status, 10);
    EXPECT_FALSE(scratch.exists("missing.yuv"));
}

// With -G the name says nothing: standard input, a FIFO, a file with no marker.
TEST(TraceframesOptions, GeometryOnTheCommandLineReadsAnyName)
{
    Scratch scratch;
    const std::string rows = "00 01 02 03\n04 05 06 07\na0 b0 a1 b1\n";
    scratch.write("capture.log", rows);
    RunResult result = scratch.run(traceframes, {"-G", "4x2:420:32", "-P", "capture.log"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(scratch.read("capture.yuv"), bytesOf("00 01 02 03 04 05 06 07 a0 a1 b0 b1"));
    EXPECT_EQ(result.out, "use input file 'capture.log'\nwidth     = 4\nheight    = 2\nsampling  = YUV420\n"
                          "bus width = 32\nWrote 1 frames\n");
    // The name's marker is not read with -G: a name that says otherwise changes nothing.
    scratch.write("t_w8_8_422_64.txt", rows);
    result = scratch.run(traceframes, {"-G4x2:420:32", "-O", "named.yuv", "t_w8_8_422_64.txt"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(scratch.read("named.yuv"), bytesOf("00 01 02 03 04 05 06 07 a0 b0 a1 b1"));
    const std::string bash = "/bin/bash";
    if (access(bash.c_str(), X_OK) == 0) {
        result = scratch.run(bash,
                             {"-c", "\"$1\" -G 4x2:420:32 -O stdin.yuv /dev/stdin < capture.log", "bash", traceframes});
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(scratch.read("stdin.yuv"), bytesOf("00 01 02 03 04 05 06 07 a0 b0 a1 b1"));
    }
}

// tracegen writes what traceframes reads, and traceframes -P gives back tracegen -r's frames:
// every row shape, both buses, every sampling, both byte orders, depths 8, 10 and 16.
TEST(RoundTrip, EveryShapeBusSamplingOrderAndDepth)
{
    const char* const shapes[] = {"spaced", "packed", "crlf", "trailing", "tabs", "upper", "mixed"};
    size_t turn = 0;
    for (const char* sampling : {"420", "422", "440", "400"}) {
        for (const char* bus : {"32", "64"}) {
            for (const char* depth : {"8", "10", "16"}) {
                for (const bool reverse : {false, true}) {
                    const char* shape = shapes[turn % std::size(shapes)];
                    if (!caseRunsInThisBuild(turn++)) {
                        continue;
                    }
                    SCOPED_TRACE(std::string(sampling) + " " + bus + " -D " + depth + (reverse ? " -E " : " ") + shape);
                    Scratch scratch;
                    const std::string name = std::string("r_w16_8_") + sampling + "_" + bus + ".txt";
                    std::vector<std::string> make = {"-s", sampling, "-b", bus, "-D", depth, "-S", shape, "-n", "3"};
                    if (reverse) {
                        make.emplace_back("-E");
                    }
                    std::vector<std::string> raw = make;
                    raw.emplace_back("-r");
                    for (const char* a : {"16", "8"}) {
                        make.emplace_back(a);
                        raw.emplace_back(a);
                    }
                    make.push_back(name);
                    raw.emplace_back("frames.raw");
                    ASSERT_EQ(scratch.run(tracegen, make).status, 0);
                    ASSERT_EQ(scratch.run(tracegen, raw).status, 0);
                    std::vector<std::string> convert = {"-P", "-D", depth, "-O", "back.yuv", name};
                    if (reverse) {
                        convert.insert(convert.begin(), "-E");
                    }
                    const RunResult result = scratch.run(traceframes, convert);
                    ASSERT_EQ(result.status, 0) << result.err;
                    EXPECT_EQ(scratch.read("back.yuv"), scratch.read("frames.raw"));
                    EXPECT_NE(result.out.find("Wrote 3 frames"), std::string::npos);
                }
            }
        }
    }
}

// A %h dump: each row one word, most significant byte first; -E reads it, and a row of
// separate numbers, fewer than the bus holds, is still malformed.
TEST(TraceframesOrder, VerilogWordDump)
{
    Scratch scratch;
    // The bytes 10 11 12 13 / 14 15 16 17 / a0 b0 a1 b1 in bus order, printed as words.
    scratch.write("w_w4_2_420_32.txt", "13121110\n17161514\nb1a1b0a0\n");
    RunResult result = scratch.run(traceframes, {"-E", "-P", "w_w4_2_420_32.txt"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(scratch.read("w_w4_2_420_32.yuv"), bytesOf("10 11 12 13 14 15 16 17 a0 a1 b0 b1"));
    // With -D 10, 03ff0040 gives the samples 0x0040, 0x03ff.
    scratch.write("x_w2_1_400_32.txt", "03ff0040\n");
    result = scratch.run(traceframes, {"-E", "-D", "10", "x_w2_1_400_32.txt"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(scratch.read("x_w2_1_400_32.yuv"), bytesOf("40 00 ff 03"));
    scratch.write("s_w4_2_420_32.txt", "13 12 11\n");
    result = scratch.run(traceframes, {"-E", "s_w4_2_420_32.txt"});
    EXPECT_EQ(result.status, 9);
    EXPECT_EQ(result.err, "malformed row: 0\n");
}

// $writememh files of buses of 8 to 512 bits (in tests/data: two frames of the bytes
// 37 i + 11, the second from an @ line; the 128-bit one as Icarus Verilog 11 wrote it, without
// one): -V reads them, with -P too, as the model says.
TEST(TraceframesVerilog, MemoryFilesOfEveryWidth)
{
    struct Case {
        int bits;
        TraceShape shape;
    };
    const Case cases[] = {
        {8, {4, 2, 420, 1}},    {24, {4, 3, 420, 3}},    {40, {10, 2, 422, 5}},
        {128, {8, 4, 420, 16}}, {512, {16, 4, 422, 64}},
    };
    const std::string source = __FILE__;
    const std::string data = source.substr(0, source.rfind("/cli/")) + "/data/";
    for (const Case& c : cases) {
        std::string bytes;
        for (size_t i = 0; i < 2 * frameBytes(c.shape); ++i) {
            bytes += static_cast<char>((i * 37 + 11) & 0xff);
        }
        for (const bool split : {false, true}) {
            SCOPED_TRACE(std::to_string(c.bits) + (split ? " -P" : ""));
            Scratch scratch;
            const std::string geometry = std::to_string(c.shape.width) + "x" + std::to_string(c.shape.height) + ":" +
                                         std::to_string(c.shape.sampling) + ":" + std::to_string(c.bits);
            const std::string input = data + "writememh_" + std::to_string(c.bits) + ".txt";
            std::vector<std::string> args = {"-V", "-G", geometry, "-O", "out.yuv", input};
            if (split) {
                args.insert(args.begin(), "-P");
            }
            const RunResult result = scratch.run(traceframes, args);
            EXPECT_EQ(result.status, 0) << result.err;
            EXPECT_EQ(result.out, geometryReport(input, c.shape) + "// 0x00000000\nWrote 2 frames\n");
            EXPECT_EQ(scratch.read("out.yuv"), split ? planarOrder(c.shape, bytes) : bytes);
        }
    }
}

// AXI4-Stream video (-A): beats packed by the model from random planar frames give those
// frames back, for every layout and depth at one and two pixels a beat with an odd width;
// with -K each break of the side band draws its line, status 16 and the frames the text says.
struct StreamEdit {
    int beat;    // -1: every beat
    char tuser;  // '0', '1', 'x', or 0 to keep the stream's
    char tlast;  // the same
    int padding; // a bit to set above the slots, or -1
};

struct StreamCase {
    StreamShape shape;
    int busBytes;
    int frames;
    std::vector<std::string> options;
    StreamEdit edit;
    std::string err;
    int status;
    std::string written; // the model frames the output holds, '?' for one not compared
};

std::vector<StreamCase> streamCases()
{
    std::vector<StreamCase> cases;
    const StreamEdit none{0, 0, 0, -1};
    int turn = 0;
    for (const char* layout : {"yuv422", "uyvy422", "yuv444", "uyv444", "rgb", "yuv420", "mono"}) {
        for (const int bits : {8, 10, 12, 16}) {
            for (const int ppc : {1, 2}) {
                ++turn;
                const StreamShape shape{layout, bits, ppc, turn % 3 == 0, 5, 3};
                const int busBytes = (streamSlotBits(shape) * ppc + 7) / 8 + turn % 2;
                std::vector<std::string> options;
                if (turn % 2 == 0) {
                    options.emplace_back("-E");
                }
                if (turn % 4 == 1) {
                    options.emplace_back("-K");
                }
                cases.push_back({shape, busBytes, 2, options, none, "", 0, "01"});
            }
        }
    }
    // Two frames of 5x2, three beats a line, eight padding bits in every beat; the 21st
    // error and those after it are only counted.
    const StreamShape shape{"yuv422", 8, 2, false, 5, 2};
    const std::string stop = "stream errors in the trace!\n";
    const std::vector<std::string> k = {"-K"};
    cases.push_back(
        {shape, 5, 2, k, {0, '0', 0, -1}, "frame 0: no start of frame on its first beat\n" + stop, 16, "1"});
    cases.push_back({shape,
                     5,
                     2,
                     k,
                     {3, '1', 0, -1},
                     "frame 0 line 1: start of frame after 0 pixels; frame 0 dropped\n"
                     "frame 0 line 1: start of frame after 0 pixels; frame 0 dropped\n" +
                         stop,
                     16,
                     "1"});
    cases.push_back({shape,
                     5,
                     2,
                     k,
                     {1, 0, '1', -1},
                     "frame 0 line 0: end of line after 4 pixels, expected 5\n"
                     "frame 0 line 1: end of line after 2 pixels, expected 5\n"
                     "frame 1: no start of frame on its first beat\n" +
                         stop,
                     16,
                     "?1"});
    cases.push_back(
        {shape, 5, 2, k, {2, 0, '0', -1}, "frame 0 line 0: no end of line after 5 pixels\n" + stop, 16, "01"});
    cases.push_back({shape, 5, 2, k, {4, 0, 0, 35}, "frame 0 line 1: padding bits set in beat 1\n" + stop, 16, "01"});
    cases.push_back({shape, 5, 2, {}, {4, 0, 0, 35}, "frame 0 line 1: padding bits set in beat 1\n" + stop, 16, "01"});
    std::string many;
    for (int frame = 0; frame < 4; ++frame) {
        for (int line = 0; line < 2; ++line) {
            for (int beat = 0; beat < 3 && many.size() < 2000; ++beat) {
                many += "frame " + std::to_string(frame) + " line " + std::to_string(line) +
                        ": padding bits set in beat " + std::to_string(beat) + "\n";
            }
        }
    }
    many = many.substr(0, many.find("frame 3 line 0: padding bits set in beat 2")) + "and 4 more stream errors\n";
    cases.push_back({shape, 5, 4, {}, {-1, 0, 0, 39}, many + stop, 16, "0123"});
    cases.push_back({shape,
                     5,
                     2,
                     {"-K", "-Xmask.yuv"},
                     {2, 0, 'x', -1},
                     "frame 0 line 0: no end of line after 5 pixels\n" + stop + "unknown values in the trace!\n",
                     15,
                     "01"});
    cases.push_back({shape,
                     5,
                     2,
                     k,
                     {0, 'x', 0, -1},
                     "malformed row: 0\nrow 0 holds x or z digits (unknown values): -X reads them\n",
                     9,
                     ""});
    return cases;
}

TEST(TraceframesStream, EveryLayoutAndEachSideBandBreak)
{
    std::mt19937 random(23);
    for (const StreamCase& c : streamCases()) {
        const StreamShape& s = c.shape;
        const std::string layout =
            s.layout + ":" + std::to_string(s.bits) + ":" + std::to_string(s.ppc) + (s.byteAligned ? ":byte" : "");
        const bool sideBand = std::find(c.options.begin(), c.options.end(), "-K") != c.options.end();
        const bool reverse = std::find(c.options.begin(), c.options.end(), "-E") != c.options.end();
        SCOPED_TRACE(layout + " " + joined(c.options) + " " + c.err);
        // Random frames, but for the V that an odd width leaves without a pixel: 0.
        std::vector<std::string> frames;
        std::string trace;
        for (int f = 0; f < c.frames; ++f) {
            std::string frame;
            for (size_t i = 0; i<streamFrameBytes(s); i += s.bits> 8 ? 2 : 1) {
                const auto value = static_cast<unsigned>(random() & ((1U << s.bits) - 1));
                frame += static_cast<char>(value & 255);
                if (s.bits > 8) {
                    frame += static_cast<char>(value >> 8);
                }
            }
            const int chromaWidth = streamChromaWidth(s);
            if (s.width % 2 != 0 && chromaWidth != s.width && chromaWidth != 0) {
                for (int y = 0; y < streamChromaHeight(s); ++y) {
                    const size_t at = size_t(s.width) * size_t(s.height) +
                                      size_t(chromaWidth) * size_t(streamChromaHeight(s) + y) + size_t(chromaWidth - 1);
                    const size_t sample = s.bits > 8 ? 2 : 1;
                    std::fill_n(frame.begin() + static_cast<std::ptrdiff_t>(at * sample), sample, '\0');
                }
            }
            frames.push_back(frame);
            const std::vector<std::string> beats = streamBeats(s, c.busBytes, frame);
            for (size_t b = 0; b < beats.size(); ++b) {
                const int at = f * static_cast<int>(beats.size()) + static_cast<int>(b);
                const bool edited = c.edit.beat == -1 || c.edit.beat == at;
                std::string beat = beats[b];
                if (edited && c.edit.padding >= 0) {
                    beat.at(size_t(c.edit.padding / 8)) |= static_cast<char>(1 << (c.edit.padding % 8));
                }
                if (reverse) {
                    std::reverse(beat.begin(), beat.end());
                }
                std::string row = hexRow(beat);
                row.pop_back();
                if (sideBand) {
                    const size_t beatsPerLine = size_t((s.width + s.ppc - 1) / s.ppc);
                    char tuser = b == 0 ? '1' : '0';
                    char tlast = b % beatsPerLine == beatsPerLine - 1 ? '1' : '0';
                    tuser = edited && c.edit.tuser != 0 ? c.edit.tuser : tuser;
                    tlast = edited && c.edit.tlast != 0 ? c.edit.tlast : tlast;
                    row += std::string(" ") + tuser + " " + tlast;
                }
                trace += row + "\n";
            }
        }
        Scratch scratch;
        scratch.write("stream.txt", trace);
        std::vector<std::string> args = c.options;
        const std::string geometry = std::to_string(s.width) + "x" + std::to_string(s.height) + ":" +
                                     std::to_string(streamSampling(s.layout)) + ":" + std::to_string(8 * c.busBytes);
        args.insert(args.end(), {"-A", layout, "-G", geometry, "-O", "out.yuv", "stream.txt"});
        const RunResult result = scratch.run(traceframes, args);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.err, c.err);
        if (c.status == 9) {
            continue;
        }
        EXPECT_NE(result.out.find("layout    = " + layout + "\n"), std::string::npos) << result.out;
        const std::string out = scratch.read("out.yuv");
        ASSERT_EQ(out.size(), c.written.size() * streamFrameBytes(s));
        for (size_t f = 0; f < c.written.size(); ++f) {
            if (c.written[f] != '?') {
                EXPECT_EQ(out.substr(f * streamFrameBytes(s), streamFrameBytes(s)), frames[size_t(c.written[f] - '0')])
                    << f;
            }
        }
    }
}

// tracegen -f: planar and semi-planar raw input at 8 and 10 bits, LSB- and MSB-aligned,
// becomes the trace of the same frames, which traceframes -P gives back as planar frames.
TEST(TracegenFormat, SemiPlanarAndPlanarInput)
{
    Scratch scratch;
    std::mt19937 random(5);
    const int w = 8;
    const int h = 4;
    for (const auto& [format, depth, semiPlanar] :
         std::vector<std::tuple<std::string, std::string, bool>>{{"yuv420p", "8", false},
                                                                 {"nv12", "8", true},
                                                                 {"yuv420p10le", "10", false},
                                                                 {"p010le", "10", true},
                                                                 {"nv12:10", "10", true},
                                                                 {"yuv420p:10m", "10", false}}) {
        SCOPED_TRACE(format);
        const TraceShape shape{w, h, 420, 4, depth == "8" ? 1 : 2};
        std::string frame;
        for (size_t i = 0; i < frameBytes(shape); ++i) {
            frame += static_cast<char>(random() & 0xff);
        }
        scratch.write("in.raw", frame + frame);
        const RunResult made = scratch.run(tracegen, {"-i", "in.raw", "-f", format, "8", "4", "f_w8_4_420_32.txt"});
        ASSERT_EQ(made.status, 0) << made.err;
        ASSERT_EQ(scratch.run(traceframes, {"-D", depth, "-P", "-O", "back.yuv", "f_w8_4_420_32.txt"}).status, 0);
        std::string planar = frame;
        if (semiPlanar) {
            std::vector<std::string> rows = {frame};
            planar = modelFrames(rows, shape, false, true);
        }
        EXPECT_EQ(scratch.read("back.yuv"), planar + planar);
    }
    const RunResult packed = scratch.run(tracegen, {"-i", "in.raw", "-f", "yuyv422", "8", "4", "x_w8_4_422_32.txt"});
    EXPECT_EQ(packed.status, 2);
    const RunResult disagree = scratch.run(tracegen, {"-i", "in.raw", "-f", "p010le", "-D", "12", "8", "4", "x.txt"});
    EXPECT_EQ(disagree.status, 2);
}

} // namespace
