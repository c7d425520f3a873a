// traceframes as a black box: arguments, file names and sizes, files and failures. The rows
// and frames are in tests/unit, run both on the program and in process.
#include <gtest/gtest.h>

#include <sys/mount.h>

#include "support/models.h"
#include "support/scratch.h"

namespace {

const std::string traceframes = programPath(TRACEFRAMES_BIN);
const std::string tracegen = programPath(TRACEGEN_BIN);

// The rows of the 4x2 4:2:0 example: luma 8 bytes, two chroma planes of 2.
const std::string exampleRows = "00 01 02 03\n04 05 06 07\na0 b0 a1 b1\n";

std::string report(const std::string& input, int width, int height, int sampling, int bus)
{
    return geometryReport(input, {width, height, sampling, bus / 8});
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

// Boundary names pin each status of an empty trace, as the program decides them; tests/unit
// holds the sizes of every boundary name to a model.
TEST(TraceframesNames, BoundaryNamesPinEachStatus)
{
    struct Case {
        std::string name;
        const char* depth;
        int status;
    };
    // clang-format off
    const Case cases[] = {
        {"t_w46340_46340_400_32.txt", "8", 8},       // a frame that fits, doubled it does not
        {"t_w46340_23170_400_32.txt", "8", 0},       // a frame just under 2^30 bytes
        {"t_w46340_23170_400_32.txt", "16", 8},      // the same at two bytes a sample
        {"t_w1073741823_1_400_64.txt", "8", 13},     // a frame of 2^30 - 1 bytes: not whole words
        {"t_w1_1073741825_420_32.txt", "8", 8},      // a luma plane that fits, its frame does not
        {"t_w2147483648_1_400_32.txt", "8", 8},      // a width past 32 bits
        {"t_w65536_65536_420_64.txt", "16", 8},      // a luma plane of 2^32 samples
        {"t_w1_2_420_32.txt", "16", 13},             // a frame of 6 bytes on a 4-byte bus
        {"t_w2_2_420_32.txt", "16", 0},              // a frame of 12 bytes
    };
    // clang-format on
    Scratch scratch;
    scratch.write("empty", "");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + " -D " + c.depth);
        std::filesystem::create_symlink("empty", scratch.path(c.name));
        const RunResult result = scratch.run(traceframes, {"-D", c.depth, "-O", "out.yuv", c.name});
        std::filesystem::remove(scratch.path(c.name));
        EXPECT_EQ(result.status, c.status) << result.err;
    }
}

// Accepted sizes near the limits take rows: one frame buffer, written only inside it.
TEST(Sizes, TraceframesFillsLargeFramesInsideTheBuffer)
{
    Scratch scratch;
    std::string rows;
    for (int i = 0; i < 4096; ++i) {
        rows += "01 23 45 67 89 ab cd ef\n";
    }
    scratch.write("rows", rows);
    // clang-format off
    const char* const names[] = {
        "t_w8_134217727_400_64.txt",           // a frame of 2^30 - 8 bytes: the largest there is
        "t_w32768_16384_400_64.txt",           // a frame of 512 MiB
        "t_w16384_16384_422_64.txt",           // a frame of 512 MiB, chroma split
        "t_w32768_32768_400_64.txt",           // a frame of 2^30 bytes, 2^31 doubled: refused
        "t_w2147483640_1_440_64.txt",          // a luma plane that fits, its frame does not: refused
        "t_w2147483641_1636178016_420_32.txt", // a luma plane past 2^62: refused
    };
    const int statuses[] = {0, 0, 0, 8, 8, 8};
    // clang-format on
    for (size_t i = 0; i < std::size(names); ++i) {
        SCOPED_TRACE(names[i]);
        std::filesystem::create_symlink("rows", scratch.path(names[i]));
        const RunResult result = scratch.run(traceframes, {"-P", "-O", "out.yuv", names[i]});
        EXPECT_EQ(result.status, statuses[i]) << result.err;
        if (statuses[i] == 0) {
            EXPECT_EQ(result.err, "read error, insufficient data (k=32768)!\n");
            EXPECT_EQ(std::filesystem::file_size(scratch.path("out.yuv")), 0u);
        }
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

} // namespace
