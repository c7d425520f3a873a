// traceframes as a black box: arguments, file names, rows and frames, failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include <sys/mount.h>

#include "support.h"

namespace {

const std::string traceframes = TRACEFRAMES_BIN;
const std::string tracegen = TRACEGEN_BIN;

// The rows of the 4x2 4:2:0 example: luma 8 bytes, two chroma planes of 2.
const std::string exampleRows = "00 01 02 03\n04 05 06 07\na0 b0 a1 b1\n";

std::string report(const std::string& input, int width, int height, int sampling, int bus)
{
    return "use input file '" + input + "'\nwidth     = " + std::to_string(width) +
           "\nheight    = " + std::to_string(height) + "\nsampling  = YUV" + std::to_string(sampling) +
           "\nbus width = " + std::to_string(bus) + "\n";
}

struct ArgumentCase {
    std::vector<std::string> args;
    int status;
    std::string err;
    std::string output; // the file that must hold the frame, or "" when none may be created
    bool split;
};

TEST(TraceframesArguments, ReadLeftToRight)
{
    const std::string in = "in_w4_2_420_32.txt";
    // clang-format off
    const ArgumentCase cases[] = {
        {{}, 3, "no input file specified!\n", "", false},
        {{"-P"}, 3, "no input file specified!\n", "", false},
        {{in, "-O"}, 10, "invalid arguments\n", "", false},
        {{"-x", "a.txt", "b.txt"}, 1, "unrecognized option: -x\n", "", false},
        {{"a.txt", "b.txt", "-x"}, 2, "multiple input files specified\n", "", false},
        {{"-"}, 1, "unrecognized option: -\n", "", false},
        {{"missing_w4_2_420_32.txt"}, 4, "error opening input file!\n", "", false},
        {{"-O", "nodir/out.yuv", in}, 5, "error opening output file!\n", "", false},
        {{in}, 0, "", "in_w4_2_420_32.yuv", false},
        {{"-O", "-P", in}, 0, "", "-P", false},
        {{"-Oout.yuv", in}, 0, "", "out.yuv", false},
        {{in, "-O", "out.yuv"}, 0, "", "out.yuv", false},
        {{"-Oa.yuv", "-Ob.yuv", in}, 0, "", "b.yuv", false},
        {{"-Pxyz", in}, 0, "", "in_w4_2_420_32.yuv", true},
    };
    // clang-format on
    for (const ArgumentCase& c : cases) {
        Scratch scratch;
        scratch.write(in, exampleRows);
        const RunResult result = scratch.run(traceframes, c.args);
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.err, c.err);
        if (c.output.empty()) {
            EXPECT_EQ(result.out, "");
            EXPECT_FALSE(scratch.exists("in_w4_2_420_32.yuv") || scratch.exists("out.yuv"));
        } else {
            EXPECT_EQ(result.out, report(in, 4, 2, 420, 32) + "Wrote 1 frames\n");
            EXPECT_EQ(scratch.read(c.output),
                      bytesOf(c.split ? "0 1 2 3 4 5 6 7 a0 a1 b0 b1" : "0 1 2 3 4 5 6 7 a0 b0 a1 b1"));
        }
    }
}

struct NameCase {
    std::string name;
    int width, height, sampling, bus; // width 0: the name is refused
};

TEST(TraceframesNames, GeometryFromTheName)
{
    // clang-format off
    const NameCase cases[] = {
        {"clip_w176_144_420_32.txt", 176, 144, 420, 32},
        {"clip_w176_144_422_64.txt", 176, 144, 422, 64},
        {"clip_w176_144_400_32.txt", 176, 144, 400, 32},
        {"clip_w176_144_440_32.txt", 176, 144, 440, 32},
        {"clip_w176_144_420_36.txt", 176, 144, 420, 32},
        {"clip_w176_144_420_71.txt", 176, 144, 420, 64},
        {"x_w640x480_422_64.dat", 640, 480, 422, 64},
        {"clip_w176_144_420_32_take5.txt", 176, 144, 420, 32},
        {"runs_w2/clip_w176_144_420_32.txt", 176, 144, 420, 32},
        {"a_w8_w0016_0002_0420_0032.txt", 16, 2, 420, 32},
        {"clip_w176_144_444_32.txt", 0, 0, 0, 0},
        {"clip_w176_144_420_16.txt", 0, 0, 0, 0},
        {"clip_w176_144_420_40.txt", 0, 0, 0, 0},
        {"clip_W176_144_420_32.txt", 0, 0, 0, 0},
        {"runs_w2/clip.txt", 0, 0, 0, 0},
        {"clip.txt", 0, 0, 0, 0},
        {"clip_w176_144_420.txt", 0, 0, 0, 0},
        {"clip_w0_144_420_32.txt", 0, 0, 0, 0},
        {"clip_w176_0_420_32.txt", 0, 0, 0, 0},
        {"clip_w_176_144_420_32.txt", 0, 0, 0, 0},
        {"clip_w2147483648_1_400_32.txt", 0, 0, 0, 0},
        {"clip_w99999999999999999999_1_400_32.txt", 0, 0, 0, 0},
        {"clip_w65536_32768_400_32.txt", 0, 0, 0, 0},  // luma plane past 2^31 - 1
        {"clip_w32768_32768_420_32.txt", 0, 0, 0, 0},  // luma fits, 3 x luma does not
        {"clip_w1_1_420_4294967328.txt", 0, 0, 0, 0},  // 2^32 + 32 bits
    };
    // clang-format on
    for (const NameCase& c : cases) {
        SCOPED_TRACE(c.name);
        Scratch scratch;
        std::filesystem::create_directory(scratch.path("runs_w2"));
        scratch.write(c.name, "");
        const RunResult result = scratch.run(traceframes, {c.name});
        if (c.width == 0) {
            EXPECT_EQ(result.status, 8);
            EXPECT_EQ(result.out, "use input file '" + c.name + "'\n");
            EXPECT_EQ(result.err, "malformed input trace file name, cannot decipher\n");
        } else {
            EXPECT_EQ(result.status, 0);
            EXPECT_EQ(result.out, report(c.name, c.width, c.height, c.sampling, c.bus) + "Wrote 0 frames\n");
            EXPECT_EQ(result.err, "");
        }
        // Both files are open before the name is decoded: the output is there, empty.
        const std::string output = c.name.substr(0, c.name.size() - 4) + ".yuv";
        EXPECT_TRUE(scratch.exists(output));
        EXPECT_EQ(scratch.read(output), "");
    }
}

const std::string traceframesSmallBlock = TRACEFRAMES_SMALL_BLOCK_BIN;

// The builds of traceframes: as shipped, with the small input block, and held to each fast
// row decoder this processor runs (plain C++, SSE2, AVX2, AVX-512).
std::vector<std::string> everyBuild()
{
    std::vector<std::string> builds = {traceframes, traceframesSmallBlock};
    const std::string held[] = {TRACEFRAMES_KERNEL_BINS};
    bool runs[] = {true, true, true, true};
#if defined(__x86_64__)
    runs[2] = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
    runs[3] =
        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("bmi2");
#endif
    for (size_t k = 0; k < std::size(held); ++k) {
        if (runs[k]) {
            builds.push_back(held[k]);
        }
    }
    return builds;
}

// Every case once with the shipped build, the small-block build and the one held to the
// plain decoder (the SIMD decoders meet the same rows in the shape and damage tests).
template <typename Case, size_t n>
std::vector<std::pair<const Case&, std::string>> casesOnThreeBuilds(const Case (&cases)[n])
{
    std::vector<std::pair<const Case&, std::string>> runs;
    for (const Case& c : cases) {
        for (size_t build = 0; build < 3; ++build) {
            runs.emplace_back(c, everyBuild()[build]);
        }
    }
    return runs;
}

// The trace names of the row table: the geometry report each gives and its frame size.
struct RowTrace {
    std::string name;
    std::string report;
    size_t frameSize;
};

const RowTrace rowTraces[] = {
    {"t_w4_2_420_32.txt", report("t_w4_2_420_32.txt", 4, 2, 420, 32), 12},
    {"t_w4_4_420_64.txt", report("t_w4_4_420_64.txt", 4, 4, 420, 64), 24},
    {"t_w4_2_400_32.txt", report("t_w4_2_400_32.txt", 4, 2, 400, 32), 8},
    {"t_w3_1_400_32.txt", report("t_w3_1_400_32.txt", 3, 1, 400, 32), 3},
    {"t_w2_2_420_32.txt", report("t_w2_2_420_32.txt", 2, 2, 420, 32), 6},
};

const RowTrace& rowTrace(const std::string& name)
{
    return *std::find_if(std::begin(rowTraces), std::end(rowTraces),
                         [&](const RowTrace& trace) { return trace.name == name; });
}

struct RowCase {
    const char* what;
    std::string name;
    std::vector<std::string> options;
    std::string trace;
    int status;
    std::string frames; // the output bytes, as hexadecimal
    std::string comments;
    std::string err;
};

TEST(TraceframesRows, FramesFromRows)
{
    const std::string t = "t_w4_2_420_32.txt";
    const std::string six = "0 1 2 3 4 5 6 7 a0 b0 a1 b1";
    const std::string longComment = "#" + std::string(300, 'c');
    const std::string hugeComment = "#" + std::string(3 << 20, 'h') + "\t\r";
    const std::string hugeBlanks(3 << 20, ' ');
    // clang-format off
    const RowCase cases[] = {
        {"example", t, {}, exampleRows, 0, six, "", ""},
        {"example, split", t, {"-P"}, exampleRows, 0, "0 1 2 3 4 5 6 7 a0 a1 b0 b1", "", ""},
        {"empty trace", t, {}, "", 0, "", "", ""},
        {"only comments", t, {}, "# one\n#two\n", 0, "", "# one\n#two\n", ""},
        {"comments between rows", t, {}, "#a\n00 01 02 03\n#b\n04 05 06 07\na0 b0 a1 b1\n", 0, six, "#a\n#b\n", ""},
        {"partial frame", t, {}, exampleRows + exampleRows + "00 01 02 03\n04 05 06 07\n", 0, six + " " + six, "",
         "read error, insufficient data (k=8)!\n"},
        {"five numbers", t, {}, exampleRows + "00 01 02 03 04\n", 9, six, "", "malformed row: 3\n"},
        {"three numbers", t, {}, "00 01 02\n", 9, "", "", "malformed row: 0\n"},
        {"empty line", t, {}, "00 01 02 03\n\n", 9, "", "", "malformed row: 1\n"},
        {"blank line", t, {}, " \t\r\n", 9, "", "", "malformed row: 0\n"},
        {"comment, good, bad", t, {}, "# c\n00 01 02 03\n0 1\n", 9, "", "# c\n", "malformed row: 2\n"},
        {"text after the row", t, {}, "00 01 02 03 ; note\n04 05 06 07\na0 b0 a1 b1\n", 0, six, "", ""},
        {"hex text after the row", t, {}, "00 01 02 03 abc\n", 9, "", "", "malformed row: 0\n"},
        {"no blanks, capitals, CR LF", t, {}, "00010203\r\n04 05 06 07\r\nA0B0 A1B1\r\n", 0, six, "", ""},
        {"one-digit numbers", t, {}, "0 1 2 3\n4 5 6 7\na0 b0 a1 b1\n", 0, six, "", ""},
        {"libc conversion: sign, 0x", t, {}, "-1 +2 0x 3\n4 5 6 7\na0 b0 a1 b1\n", 0, "ff 2 0 3 4 5 6 7 a0 b0 a1 b1", "", ""},
        {"a sign on one digit", t, {}, "-f +f 3 4\n4 5 6 7\na0 b0 a1 b1\n", 0, "f1 f 3 4 4 5 6 7 a0 b0 a1 b1", "", ""},
        {"three digits are two numbers", t, {}, "123 4\n", 9, "", "", "malformed row: 0\n"},
        {"0x before each byte: eight numbers", t, {}, "0x10 0x11 0x12 0x13\n", 9, "", "", "malformed row: 0\n"},
        {"0x before two bytes: four numbers", t, {}, "0x10 0x11\n4 5 6 7\na0 b0 a1 b1\n", 0, "0 10 0 11 4 5 6 7 a0 b0 a1 b1", "", ""},
        {"0x before a word: five numbers", t, {}, "0x10111213\n", 9, "", "", "malformed row: 0\n"},
        {"NUL ends the row", t, {}, std::string("00 01 02 03\0 04\n", 16) + "04 05 06 07\na0 b0 a1 b1\n", 0, six, "", ""},
        {"comment copied byte for byte", t, {}, std::string("#a\0b\xff\n", 6), 0, "", std::string("#a\0b\xff\n", 6), ""},
        {"last row without line feed", t, {}, exampleRows.substr(0, exampleRows.size() - 1), 0, six, "", ""},
        {"last comment without line feed", t, {}, "#end", 0, "", "#end\n", ""},
        {"long comment", t, {}, longComment + "\n" + exampleRows, 0, six, longComment + "\n", ""},
        {"row then many blanks", t, {}, "00 01 02 03" + std::string(300, ' ') + "\n04 05 06 07\na0 b0 a1 b1\n", 0, six, "", ""},
        {"long row counts as one line", t, {}, std::string(300, ' ') + "00\n", 9, "", "", "malformed row: 0\n"},
        {"huge comment", t, {}, hugeComment + "\n" + exampleRows, 0, six, hugeComment + "\n", ""},
        {"huge row", t, {}, "00 01" + hugeBlanks + "02\t03" + hugeBlanks + "\n04 05 06 07\na0 b0 a1 b1\n", 0, six, "", ""},
        {"huge bad row", t, {}, "00 01 02 03" + hugeBlanks + "04\n", 9, "", "", "malformed row: 0\n"},
        {"huge row at the end", t, {}, "00 01 02 03\n04 05 06 07\n" + hugeBlanks + "a0 b0 a1 b1", 0, six, "", ""},
        {"nine numbers on a 64-bit bus", "t_w4_4_420_64.txt", {}, "0 1 2 3 4 5 6 7 8\n8 9 a b c d e f\n10 11 12 13 14 15 16 17\n",
         0, "0 1 2 3 4 5 6 7 8 9 a b c d e f 10 11 12 13 14 15 16 17", "", ""},
        {"0x before each byte on a 64-bit bus", "t_w4_4_420_64.txt", {}, "0x10 0x11 0x12 0x13\n8 9 a b c d e f\n10 11 12 13 14 15 16 17\n",
         0, "0 10 0 11 0 12 0 13 8 9 a b c d e f 10 11 12 13 14 15 16 17", "", ""},
        {"0x before a word on a 64-bit bus", "t_w4_4_420_64.txt", {}, "0x10111213\n", 9, "", "", "malformed row: 0\n"},
        {"64-bit bus, split", "t_w4_4_420_64.txt", {"-P"}, "0 1 2 3 4 5 6 7\n8 9 a b c d e f\n10 11 12 13 14 15 16 17\n",
         0, "0 1 2 3 4 5 6 7 8 9 a b c d e f 10 12 14 16 11 13 15 17", "", ""},
        {"luma only, split", "t_w4_2_400_32.txt", {"-P"}, "0 1 2 3\n4 5 6 7\n", 0, "0 1 2 3 4 5 6 7", "", ""},
        {"misaligned luma", "t_w3_1_400_32.txt", {}, "0 1 2 3\n", 13, "", "", "frame size is not a multiple of the bus width!\n"},
        {"misaligned frame", "t_w2_2_420_32.txt", {}, "0 1 2 3\n", 13, "", "", "frame size is not a multiple of the bus width!\n"},
    };
    // clang-format on
    for (const auto& [c, program] : casesOnThreeBuilds(cases)) {
        SCOPED_TRACE(std::string(c.what) + ", " + program);
        Scratch scratch;
        scratch.write(c.name, c.trace);
        std::vector<std::string> args = c.options;
        args.push_back(c.name);
        const RunResult result = scratch.run(program, args);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(scratch.read(c.name.substr(0, c.name.size() - 4) + ".yuv"), bytesOf(c.frames));
        const RowTrace& named = rowTrace(c.name);
        std::string expected = named.report + c.comments;
        if (c.status == 0) {
            expected += "Wrote " + std::to_string(bytesOf(c.frames).size() / named.frameSize) + " frames\n";
        }
        EXPECT_EQ(result.out, expected);
    }
}

TEST(TraceframesLog, StandardOutputComesFirstInACombinedLog)
{
    Scratch scratch;
    scratch.write("t_w4_2_420_32.txt", "# c\n00 01 02 03\n0 1\n");
    RunOptions merged;
    merged.mergeErrIntoOut = true;
    const RunResult result = scratch.run(traceframes, {"t_w4_2_420_32.txt"}, merged);
    EXPECT_EQ(result.out, report("t_w4_2_420_32.txt", 4, 2, 420, 32) + "# c\nmalformed row: 2\n");
}

TEST(TraceframesFiles, OutputNamingTheInputIsRefused)
{
    // clang-format off
    const std::vector<std::string> cases[] = {
        {"t_w4_2_420_32.yuv"},
        {"-O", "t_w4_2_420_32.yuv", "t_w4_2_420_32.yuv"},
        {"-O./t_w4_2_420_32.yuv", "t_w4_2_420_32.yuv"},
        {"-O", "link.yuv", "t_w4_2_420_32.yuv"},
        {"-O", "hard.yuv", "t_w4_2_420_32.yuv"},
        {"-O", "sub/../t_w4_2_420_32.yuv", "t_w4_2_420_32.yuv"},
    };
    // clang-format on
    for (const std::vector<std::string>& args : cases) {
        SCOPED_TRACE(testing::PrintToString(args));
        Scratch scratch;
        scratch.write("t_w4_2_420_32.yuv", exampleRows);
        std::filesystem::create_directory(scratch.path("sub"));
        std::filesystem::create_symlink("t_w4_2_420_32.yuv", scratch.path("link.yuv"));
        std::filesystem::create_hard_link(scratch.path("t_w4_2_420_32.yuv"), scratch.path("hard.yuv"));
        const RunResult result = scratch.run(traceframes, args);
        EXPECT_EQ(result.status, 12);
        EXPECT_EQ(result.err, "output file is the input file!\n");
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(scratch.read("t_w4_2_420_32.yuv"), exampleRows);
    }
    Scratch scratch;
    scratch.write("abc", exampleRows); // a derived path of three characters is the path itself
    EXPECT_EQ(scratch.run(traceframes, {"abc"}).status, 12);
    EXPECT_EQ(scratch.read("abc"), exampleRows);
}

TEST(TraceframesFiles, FullDiskIsAnError)
{
    Scratch scratch;
    scratch.write("t_w4_2_420_32.txt", exampleRows);
    const RunResult result = scratch.run(traceframes, {"-O", "/dev/full", "t_w4_2_420_32.txt"});
    EXPECT_EQ(result.status, 11);
    EXPECT_EQ(result.err, "error writing output file!\n");
}

TEST(TraceframesFiles, DirectoryInputIsRefusedBeforeTheOutputIsTouched)
{
    Scratch scratch;
    std::filesystem::create_directory(scratch.path("d_w4_2_420_32.txt"));
    scratch.write("d_w4_2_420_32.yuv", "frames of an earlier run");
    const RunResult result = scratch.run(traceframes, {"d_w4_2_420_32.txt"});
    EXPECT_EQ(result.status, 4);
    EXPECT_EQ(result.err, "error opening input file!\n");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(scratch.read("d_w4_2_420_32.yuv"), "frames of an earlier run");
}

// Reading a process's own memory at offset 0 opens fine and fails with an I/O error.
TEST(TraceframesFiles, ReadErrorIsReported)
{
    Scratch scratch;
    std::filesystem::create_symlink("/proc/self/mem", scratch.path("m_w4_2_420_32.txt"));
    const RunResult result = scratch.run(traceframes, {"-O", "out.yuv", "m_w4_2_420_32.txt"});
    EXPECT_EQ(result.status, 7);
    EXPECT_EQ(result.err, "error reading input file!\n");
    EXPECT_EQ(result.out, report("m_w4_2_420_32.txt", 4, 2, 420, 32));
}

// Ten 176x144 4:2:0 frames of 38016 bytes each as a trace.
void makeTenFrameTrace(const Scratch& scratch, const std::string& name)
{
    EXPECT_EQ(scratch.run(tracegen, {"-n", "10", "176", "144", name}).status, 0);
}

TEST(TraceframesFiles, FullDiskKeepsOnlyWholeFrames)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "mounting a small file system needs root";
    }
    Scratch scratch;
    const std::string name = "c_w176_144_420_32.txt";
    makeTenFrameTrace(scratch, name);
    std::filesystem::create_directory(scratch.path("small"));
    if (mount("tmpfs", scratch.path("small").c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    scratch.write("small/filler", std::string(4096, 'f')); // the disk also holds other files
    const RunResult result = scratch.run(traceframes, {"-P", "-O", "small/out.yuv", name});
    const uintmax_t outputSize = std::filesystem::file_size(scratch.path("small/out.yuv"));
    umount(scratch.path("small").c_str());
    EXPECT_EQ(result.status, 11);
    EXPECT_EQ(result.err, "error writing output file!\n");
    EXPECT_EQ(outputSize, 38016u);
}

struct StandardOutputCase {
    std::string what;
    RunOptions options;
    std::string trace;
    int status;
    std::string err;
};

// The report is part of the result: losing it is a failure, unless the run already failed.
TEST(TraceframesFiles, StandardOutputThatCannotBeWrittenIsAnError)
{
    const std::string lost = "error writing standard output!\n";
    RunOptions full;
    full.stdoutPath = "/dev/full";
    RunOptions closedOut;
    closedOut.closed = {1};
    RunOptions closedInAndOut;
    closedInAndOut.closed = {0, 1};
    RunOptions closedErr;
    closedErr.closed = {2};
    RunOptions closedAll;
    closedAll.closed = {0, 1, 2};
    const std::string comment = "# a comment\n";
    // clang-format off
    const StandardOutputCase cases[] = {
        {"standard output is full", full, exampleRows, 14, lost},
        {"a comment to a full standard output", full, comment + exampleRows, 14, lost},
        {"standard output closed", closedOut, exampleRows, 14, lost},
        {"standard input and output closed", closedInAndOut, exampleRows, 14, lost},
        {"standard error closed", closedErr, exampleRows, 0, ""},
        {"all three closed", closedAll, exampleRows, 14, ""},
        {"a malformed row keeps its status", full, exampleRows + "00\n", 9, "malformed row: 3\n"},
    };
    // clang-format on
    for (const StandardOutputCase& c : cases) {
        SCOPED_TRACE(c.what);
        Scratch scratch;
        scratch.write("t_w4_2_420_32.txt", c.trace);
        const RunResult result = scratch.run(traceframes, {"t_w4_2_420_32.txt"}, c.options);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.err, c.err);
        // Only frames reach the frame file, never a report line on a borrowed descriptor.
        EXPECT_EQ(scratch.read("t_w4_2_420_32.yuv"), bytesOf("0 1 2 3 4 5 6 7 a0 b0 a1 b1"));
    }
}

TEST(TraceframesFiles, LongInputPathWithoutOutputOption)
{
    Scratch scratch;
    const std::string dir(250, 'd');
    std::filesystem::create_directory(scratch.path(dir));
    const std::string input = dir + "/" + std::string(100, 'n') + "_w4_2_420_32.txt";
    scratch.write(input, exampleRows);
    const RunResult result = scratch.run(traceframes, {input});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(scratch.read(input.substr(0, input.size() - 4) + ".yuv").size(), 12u);
}

TEST(TraceframesFiles, AllocationFailureIsReported)
{
    if (sanitizedBuild()) {
        GTEST_SKIP() << "the sanitizers need more address space than the limit leaves";
    }
    Scratch scratch;
    const std::string name = "big_w16384_16384_422_32.txt"; // a frame of 512 MiB
    scratch.write(name, exampleRows);
    RunOptions limited;
    limited.addressSpaceLimit = size_t{256} << 20;
    const RunResult result = scratch.run(traceframes, {name}, limited);
    EXPECT_EQ(result.status, 6);
    EXPECT_EQ(result.err, "error allocating memory!\n");
    EXPECT_EQ(result.out, report(name, 16384, 16384, 422, 32));
}

// Traces from the generator come back as the planar frames it drew, or with -P off as
// the luma plane followed by the chroma interleaved as the bus carried it.
TEST(TraceframesRoundTrip, GeneratedTracesGiveTheirFrames)
{
    for (const int sampling : {420, 422, 440, 400}) {
        for (const int bus : {32, 64}) {
            SCOPED_TRACE(std::to_string(sampling) + " on " + std::to_string(bus));
            Scratch scratch;
            const std::string name = "g_w48_16_" + std::to_string(sampling) + "_" + std::to_string(bus) + ".txt";
            const std::vector<std::string> geometry = {"-s", std::to_string(sampling), "-b", std::to_string(bus), "-n",
                                                       "3"};
            std::vector<std::string> args = geometry;
            args.insert(args.end(), {"48", "16", name});
            ASSERT_EQ(scratch.run(tracegen, args).status, 0);
            args = geometry;
            args.insert(args.end(), {"-r", "48", "16", "frames.raw"});
            ASSERT_EQ(scratch.run(tracegen, args).status, 0);
            const std::string planar = scratch.read("frames.raw");
            const size_t luma = 48 * 16;
            const size_t frame = planar.size() / 3;
            const size_t chroma = (frame - luma) / 2;
            std::string interleaved;
            for (size_t f = 0; f < 3; ++f) {
                interleaved += planar.substr(f * frame, luma);
                for (size_t k = 0; k < chroma; ++k) {
                    interleaved += planar[f * frame + luma + k];
                    interleaved += planar[f * frame + luma + chroma + k];
                }
            }
            for (const std::string& program : everyBuild()) {
                SCOPED_TRACE(program);
                ASSERT_EQ(scratch.run(program, {"-P", "-O", "split.yuv", name}).status, 0);
                ASSERT_EQ(scratch.run(program, {"-O", "bus.yuv", name}).status, 0);
                EXPECT_EQ(scratch.read("split.yuv"), planar);
                EXPECT_EQ(scratch.read("bus.yuv"), interleaved);
            }
        }
    }
}

// Every row shape the generator writes, at both bus widths, with and without the split,
// gives the frames it drew, from every build.
TEST(TraceframesRoundTrip, EveryRowShape)
{
    for (const char* shape : {"spaced", "packed", "crlf", "trailing", "tabs", "upper", "mixed"}) {
        for (const int bus : {32, 64}) {
            SCOPED_TRACE(std::string(shape) + " on " + std::to_string(bus));
            Scratch scratch;
            const std::string name = "s_w64_48_420_" + std::to_string(bus) + ".txt";
            const std::string busText = std::to_string(bus);
            // Enough rows for the comment lines of the mixed shape.
            ASSERT_EQ(scratch.run(tracegen, {"-S", shape, "-b", busText, "-n", "2", "64", "48", name}).status, 0);
            ASSERT_EQ(scratch.run(tracegen, {"-r", "-b", busText, "-n", "2", "64", "48", "frames.raw"}).status, 0);
            const std::string planar = scratch.read("frames.raw");
            std::string expectedOut;
            for (const std::string& program : everyBuild()) {
                SCOPED_TRACE(program);
                const RunResult result = scratch.run(program, {"-P", "-O", "split.yuv", name});
                ASSERT_EQ(result.status, 0);
                EXPECT_EQ(scratch.read("split.yuv"), planar);
                expectedOut = expectedOut.empty() ? result.out : expectedOut;
                EXPECT_EQ(result.out, expectedOut);
            }
        }
    }
}

// The C library's reading of a trace, line by line: the frames, the comments, the status.
RunResult modelRun(const std::string& trace, int busBytes, size_t frameSize, std::string& frames)
{
    RunResult result{0, "", ""};
    std::string frame;
    int64_t index = -1;
    for (size_t at = 0, next; at < trace.size(); at = next) {
        next = std::min(trace.find('\n', at), trace.size() - 1) + 1;
        const std::string line = trace.substr(at, next - at);
        ++index;
        if (line[0] == '#') {
            result.out += line.back() == '\n' ? line : line + "\n";
            continue;
        }
        unsigned v[8] = {};
        const int count = std::sscanf(line.c_str(), "%2x%2x%2x%2x%2x%2x%2x%2x", &v[0], &v[1], &v[2], &v[3], &v[4],
                                      &v[5], &v[6], &v[7]);
        if (count != busBytes) {
            result.status = 9;
            result.err = "malformed row: " + std::to_string(index) + "\n";
            return result;
        }
        for (int k = 0; k < busBytes; ++k) {
            frame += static_cast<char>(v[k]);
        }
        if (frame.size() == frameSize) {
            frames += frame;
            frame.clear();
        }
    }
    if (!frame.empty()) {
        result.err = "read error, insufficient data (k=" + std::to_string(frame.size()) + ")!\n";
    }
    result.out += "Wrote " + std::to_string(frames.size() / frameSize) + " frames\n";
    return result;
}

// Traces of every shape with damage at random places (a bad character, a lost digit, an
// odd run, a number more, a note): every build agrees with the C library's reading.
TEST(TraceframesRows, RandomDamageAgreesWithTheCLibrary)
{
    std::mt19937 random(11);
    static const std::string damage[] = {"g", "+", "-", ";", "\v", "4", "4a", " 4a", " ; beat", " // x", "\n", "#"};
    for (int i = 0; i < 8; ++i) {
        const int bus = i % 2 == 0 ? 32 : 64;
        Scratch scratch;
        const std::string name = "d_w32_16_420_" + std::to_string(bus) + ".txt";
        ASSERT_EQ(scratch.run(tracegen, {"-S", "mixed", "-b", std::to_string(bus), "-n", "2", "32", "16", name}).status,
                  0);
        std::string trace = scratch.read(name);
        for (auto changes = random() % 5; changes > 0; --changes) {
            const size_t at = random() % trace.size();
            const std::string& piece = damage[random() % std::size(damage)];
            trace = trace.substr(0, at) + piece + trace.substr(at + (random() % 2));
        }
        scratch.write(name, trace);
        std::string expectedFrames;
        const RunResult expected = modelRun(trace, bus / 8, 32 * 16 * 3 / 2, expectedFrames);
        for (const std::string& program : everyBuild()) {
            SCOPED_TRACE(program + ", " + testing::PrintToString(i));
            const RunResult result = scratch.run(program, {"-O", "out.yuv", name});
            EXPECT_EQ(result.status, expected.status);
            EXPECT_EQ(result.err, expected.err);
            EXPECT_EQ(result.out.substr(result.out.find("bus width") + 15), expected.out);
            EXPECT_EQ(scratch.read("out.yuv"), expectedFrames);
        }
    }
}

} // namespace
