// planepack as a black box, against a per-pixel model of the packing, and the whole road
// from a generated trace through traceframes -P to packed frames.
#include <gtest/gtest.h>

#include <random>

#include <sys/mount.h>

#include "support.h"

namespace {

const std::string planepack = PLANEPACK_BIN;
const std::string traceframes = TRACEFRAMES_BIN;
const std::string tracegen = TRACEGEN_BIN;

// The shipped build, then builds held to the plain, SSE2 and AVX2 row kernels, so that each
// kernel this processor runs meets every frame whatever the shipped build picks.
std::vector<std::string> planepackBuilds()
{
    const std::string held[] = {PLANEPACK_KERNEL_BINS};
    bool runs[] = {true, true, true};
#if defined(__x86_64__) || defined(__i386__)
    runs[2] = __builtin_cpu_supports("avx2");
#endif
    std::vector<std::string> builds = {planepack};
    for (size_t k = 0; k < std::size(held); ++k) {
        if (runs[k]) {
            builds.push_back(held[k]);
        }
    }
    return builds;
}

const std::string usage = "Usage: planepack in out w h order\n, where order 0 == YUYV,\n        order 1 == YVYU,\n"
                          "        order 2 == UYVY,\n        order 3 == VYUY,\n";

// The 4x2 example: Y rows 10..13 and 20..23, U 50 51, V 60 61.
const std::string example = bytesOf("10 11 12 13 20 21 22 23 50 51 60 61");

// The packing as a loop over one working block of 4 x width x height bytes, the input frame
// at its start and the output frame behind it, with every chroma row used for two rows.
std::string packModel(const std::string& input, int width, int height, int order)
{
    const size_t luma = size_t(width) * size_t(height);
    const size_t inFrame = 3 * luma / 2;
    const int y0 = order > 1 ? 1 : 0;
    const int u = ((order & 1) != 0 ? 2 : 0) + (order <= 1 ? 1 : 0);
    const int v = ((order & 1) != 0 ? 0 : 2) + (order <= 1 ? 1 : 0);
    std::string block(4 * luma, '\0');
    std::string packed;
    for (size_t at = 0; at + inFrame <= input.size(); at += inFrame) {
        block.replace(0, inFrame, input, at, inFrame);
        size_t yAt = 0, uAt = luma, vAt = luma + luma / 4, out = inFrame;
        for (int row = 0; row < height; ++row) {
            for (int pair = 0; pair < width / 2; ++pair, yAt += 2, ++uAt, ++vAt, out += 4) {
                block.at(out + size_t(y0)) = block.at(yAt);
                block.at(out + size_t(u)) = block.at(uAt);
                block.at(out + size_t(y0) + 2) = block.at(yAt + 1);
                block.at(out + size_t(v)) = block.at(vAt);
            }
            if (row % 2 == 0) {
                uAt -= size_t(width / 2);
                vAt -= size_t(width / 2);
            }
        }
        packed += block.substr(inFrame, 2 * luma);
    }
    return packed;
}

struct OrderCase {
    std::string order;
    std::string packed;
};

TEST(PlanepackOrders, ExampleInEveryOrder)
{
    const std::string yuyv = "10 50 11 60 12 51 13 61 20 50 21 60 22 51 23 61";
    const std::string yvyu = "10 60 11 50 12 61 13 51 20 60 21 50 22 61 23 51";
    const std::string uyvy = "50 10 60 11 51 12 61 13 50 20 60 21 51 22 61 23";
    const std::string vyuy = "60 10 50 11 61 12 51 13 60 20 50 21 61 22 51 23";
    // clang-format off
    const OrderCase cases[] = {
        {"0", yuyv}, {"1", yvyu}, {"2", uyvy}, {"3", vyuy}, {"7", vyuy}, {"4", uyvy}, {"-1", yvyu},
        {"-2", yuyv}, {"abc", yuyv}, {"", yuyv}, {" +3", vyuy}, {"2x", uyvy}, {"-2147483648", yuyv},
        {"2147483647", vyuy},
    };
    // clang-format on
    for (const OrderCase& c : cases) {
        SCOPED_TRACE("order '" + c.order + "'");
        Scratch scratch;
        scratch.write("in.yuv", example);
        const RunResult result = scratch.run(planepack, {"in.yuv", "out.yuv", "4", "2", c.order, "ignored"});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(scratch.read("out.yuv"), bytesOf(c.packed));
    }
}

TEST(PlanepackFrames, PartialFramesAreDropped)
{
    Scratch scratch;
    scratch.write("in.yuv", example + example + example.substr(0, 6));
    EXPECT_EQ(scratch.run(planepack, {"in.yuv", "out.yuv", "4", "2", "0"}).status, 0);
    EXPECT_EQ(scratch.read("out.yuv"), packModel(example + example, 4, 2, 0));
    EXPECT_EQ(scratch.read("out.yuv").size(), 32u);

    scratch.write("short.yuv", example.substr(0, 11));
    EXPECT_EQ(scratch.run(planepack, {"short.yuv", "empty.yuv", "4", "2", "0"}).status, 0);
    EXPECT_TRUE(scratch.exists("empty.yuv"));
    EXPECT_EQ(scratch.read("empty.yuv"), "");
}

struct FailureCase {
    const char* what;
    std::vector<std::string> args;
    std::string out;
};

// Every refusal ends with status 255, one line on standard output, and the existing file
// old.yuv untouched unless it is the output the run was allowed to open.
TEST(PlanepackFailures, OneMessageAndStatus)
{
    const std::string size = "ERROR, INVALID PICTURE SIZE\n";
    const std::string open = "ERROR, CANNOT OPEN FILE\n";
    const std::string same = "ERROR, OUTPUT FILE IS THE INPUT FILE\n";
    // clang-format off
    const FailureCase cases[] = {
        {"four arguments", {"in.yuv", "old.yuv", "4", "2"}, usage},
        {"no arguments", {}, usage},
        {"width 0", {"in.yuv", "old.yuv", "0", "2", "0"}, size},
        {"width not a number", {"in.yuv", "old.yuv", "abc", "2", "0"}, size},
        {"negative height", {"in.yuv", "old.yuv", "4", "-2", "0"}, size},
        {"both negative", {"in.yuv", "old.yuv", "-4", "-2", "0"}, size},
        {"width past 32 bits", {"in.yuv", "old.yuv", "4294967300", "1", "0"}, size},
        {"block past 32 bits", {"in.yuv", "old.yuv", "32768", "16384", "0"}, size},
        {"order past 32 bits", {"in.yuv", "old.yuv", "4", "2", "2147483648"}, "ERROR, INVALID ORDER\n"},
        {"order below 32 bits", {"in.yuv", "old.yuv", "4", "2", "-2147483649"}, "ERROR, INVALID ORDER\n"},
        {"missing input", {"missing.yuv", "old.yuv", "4", "2", "0"}, open},
        {"output in no directory", {"in.yuv", "nodir/out.yuv", "4", "2", "0"}, open},
        {"output is the input", {"old.yuv", "old.yuv", "4", "2", "0"}, same},
        {"output is ./input", {"old.yuv", "./old.yuv", "4", "2", "0"}, same},
        {"output is a symbolic link", {"old.yuv", "link.yuv", "4", "2", "0"}, same},
        {"output is a hard link", {"old.yuv", "hard.yuv", "4", "2", "0"}, same},
        {"input is a directory", {"dir", "old.yuv", "4", "2", "0"}, open},
        {"full disk", {"in.yuv", "/dev/full", "4", "2", "0"}, "ERROR, CANNOT WRITE FILE\n"},
    };
    // clang-format on
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.what);
        Scratch scratch;
        scratch.write("in.yuv", example);
        scratch.write("old.yuv", example);
        std::filesystem::create_directory(scratch.path("dir"));
        std::filesystem::create_symlink("old.yuv", scratch.path("link.yuv"));
        std::filesystem::create_hard_link(scratch.path("old.yuv"), scratch.path("hard.yuv"));
        const RunResult result = scratch.run(planepack, c.args);
        EXPECT_EQ(result.status, 255);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(scratch.read("old.yuv"), example);
    }
}

TEST(PlanepackFailures, AllocationFailureIsReported)
{
    if (sanitizedBuild()) {
        GTEST_SKIP() << "the sanitizers need more address space than the limit leaves";
    }
    Scratch scratch;
    scratch.write("in.yuv", example);
    RunOptions limited;
    limited.addressSpaceLimit = size_t{256} << 20;
    scratch.write("old.yuv", example);
    const RunResult result = scratch.run(planepack, {"in.yuv", "old.yuv", "16384", "16384", "0"}, limited);
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.out, "ERROR, CANNOT ALLOCATE MEMORY\n");
    EXPECT_EQ(scratch.read("old.yuv"), example); // the block is allocated before the output is opened
}

// Reading a process's own memory at offset 0 opens fine and fails with an I/O error.
TEST(PlanepackFailures, ReadErrorIsReported)
{
    Scratch scratch;
    std::filesystem::create_symlink("/proc/self/mem", scratch.path("mem.yuv"));
    const RunResult result = scratch.run(planepack, {"mem.yuv", "out.yuv", "4", "2", "0"});
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.out, "ERROR, CANNOT READ FILE\n");
}

TEST(PlanepackFailures, FullDiskKeepsOnlyWholeFrames)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "mounting a small file system needs root";
    }
    Scratch scratch;
    scratch.write("in.yuv", std::string(3 * 38016, '\x80')); // three 176x144 frames
    std::filesystem::create_directory(scratch.path("small"));
    if (mount("tmpfs", scratch.path("small").c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    const RunResult result = scratch.run(planepack, {"in.yuv", "small/out.yuv", "176", "144", "0"});
    const uintmax_t outputSize = std::filesystem::file_size(scratch.path("small/out.yuv"));
    umount(scratch.path("small").c_str());
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.out, "ERROR, CANNOT WRITE FILE\n");
    EXPECT_EQ(outputSize, 50688u); // one packed frame of 176 x 144 x 2 bytes; the next did not fit
}

// With descriptors 0 to 2 closed, the files still get descriptors of their own.
TEST(PlanepackFailures, ClosedStandardDescriptorsAreNotReused)
{
    Scratch scratch;
    scratch.write("in.yuv", example);
    RunOptions closedAll;
    closedAll.closed = {0, 1, 2};
    const RunResult result = scratch.run(planepack, {"in.yuv", "out.yuv", "4", "2", "0"}, closedAll);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(scratch.read("out.yuv"), bytesOf("10 50 11 60 12 51 13 61 20 50 21 60 22 51 23 61"));
}

struct PinnedCase {
    const char* what;
    int width;
    int height;
    int order;
    std::string input;
    std::string packed;
};

// An odd height gives the last row chroma row (height - 1) / 2 alone, and its reads run on
// past the V plane into the output frame that this frame's packing has already written (at
// height 1, into its own row, two bytes a pair behind). The bytes are written out here; a
// second frame shows that the reads find this frame's output, not the previous one's.
TEST(PlanepackFrames, OddLastRowReadsThePackedOutput)
{
    const std::string frame4x1 = "10 11 12 13 50 60";
    const std::string frame7x1 = "10 11 12 13 14 15 16 50 60 61";
    const std::string frames8x3 = "10 11 12 13 14 15 16 17 20 21 22 23 24 25 26 27 30 31 32 33 34 35 36 37 "
                                  "50 51 52 53 54 55 60 61 62 63 64 65 "
                                  "70 71 72 73 74 75 76 77 80 81 82 83 84 85 86 87 90 91 92 93 94 95 96 97 "
                                  "a0 a1 a2 a3 a4 a5 b0 b1 b2 b3 b4 b5";
    // Wide enough for a fast kernel, whose reads would run ahead of the bytes being packed.
    const std::string frame32x1 = "00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 11 12 13 14 15 16 17 "
                                  "18 19 1a 1b 1c 1d 1e 1f 40 41 42 43 44 45 46 47 50 51 52 53 54 55 56 57";
    // clang-format off
    const PinnedCase cases[] = {
        {"4x1 YUYV", 4, 1, 0, frame4x1, "10 50 11 60 12 60 13 10"},
        {"4x1 YVYU", 4, 1, 1, frame4x1, "10 60 11 50 12 10 13 60"},
        {"4x1 UYVY", 4, 1, 2, frame4x1, "50 10 60 11 60 12 50 13"},
        {"4x1 VYUY", 4, 1, 3, frame4x1, "60 10 50 11 60 12 60 13"},
        {"7x1 YUYV", 7, 1, 0, frame7x1, "10 50 11 60 12 60 13 61 14 61 15 10 00 00"},
        {"7x1 YVYU", 7, 1, 1, frame7x1, "10 60 11 50 12 61 13 60 14 10 15 61 00 00"},
        {"7x1 UYVY", 7, 1, 2, frame7x1, "50 10 60 11 60 12 61 13 61 14 50 15 00 00"},
        {"7x1 VYUY", 7, 1, 3, frame7x1, "60 10 50 11 61 12 60 13 60 14 61 15 00 00"},
        {"8x3 YUYV", 8, 3, 0, frames8x3,
         "10 50 11 60 12 51 13 61 14 52 15 62 16 53 17 63 20 50 21 60 22 51 23 61 24 52 25 62 26 53 27 63 "
         "30 54 31 64 32 55 33 65 34 60 35 10 36 61 37 50 "
         "70 a0 71 b0 72 a1 73 b1 74 a2 75 b2 76 a3 77 b3 80 a0 81 b0 82 a1 83 b1 84 a2 85 b2 86 a3 87 b3 "
         "90 a4 91 b4 92 a5 93 b5 94 b0 95 70 96 b1 97 a0"},
        {"8x3 YVYU", 8, 3, 1, frames8x3,
         "10 60 11 50 12 61 13 51 14 62 15 52 16 63 17 53 20 60 21 50 22 61 23 51 24 62 25 52 26 63 27 53 "
         "30 64 31 54 32 65 33 55 34 10 35 60 36 60 37 61 "
         "70 b0 71 a0 72 b1 73 a1 74 b2 75 a2 76 b3 77 a3 80 b0 81 a0 82 b1 83 a1 84 b2 85 a2 86 b3 87 a3 "
         "90 b4 91 a4 92 b5 93 a5 94 70 95 b0 96 b0 97 b1"},
        {"8x3 UYVY", 8, 3, 2, frames8x3,
         "50 10 60 11 51 12 61 13 52 14 62 15 53 16 63 17 50 20 60 21 51 22 61 23 52 24 62 25 53 26 63 27 "
         "54 30 64 31 55 32 65 33 60 34 50 35 61 36 10 37 "
         "a0 70 b0 71 a1 72 b1 73 a2 74 b2 75 a3 76 b3 77 a0 80 b0 81 a1 82 b1 83 a2 84 b2 85 a3 86 b3 87 "
         "a4 90 b4 91 a5 92 b5 93 b0 94 a0 95 b1 96 70 97"},
        {"8x3 VYUY", 8, 3, 3, frames8x3,
         "60 10 50 11 61 12 51 13 62 14 52 15 63 16 53 17 60 20 50 21 61 22 51 23 62 24 52 25 63 26 53 27 "
         "64 30 54 31 65 32 55 33 60 34 60 35 10 36 61 37 "
         "b0 70 a0 71 b1 72 a1 73 b2 74 a2 75 b3 76 a3 77 b0 80 a0 81 b1 82 a1 83 b2 84 a2 85 b3 86 a3 87 "
         "b4 90 a4 91 b5 92 a5 93 b0 94 b0 95 70 96 b1 97"},
        {"32x1 YUYV", 32, 1, 0, frame32x1,
         "00 40 01 50 02 41 03 51 04 42 05 52 06 43 07 53 08 44 09 54 0a 45 0b 55 0c 46 0d 56 0e 47 0f 57 "
         "10 50 11 00 12 51 13 40 14 52 15 01 16 53 17 50 18 54 19 02 1a 55 1b 41 1c 56 1d 03 1e 57 1f 51"},
    };
    // clang-format on
    for (const std::string& build : planepackBuilds()) {
        for (const PinnedCase& c : cases) {
            SCOPED_TRACE(build + ": " + c.what);
            Scratch scratch;
            scratch.write("in.yuv", bytesOf(c.input));
            const RunResult result = scratch.run(build, {"in.yuv", "out.yuv", std::to_string(c.width),
                                                         std::to_string(c.height), std::to_string(c.order)});
            EXPECT_EQ(result.status, 0);
            EXPECT_EQ(scratch.read("out.yuv"), bytesOf(c.packed));
        }
    }
}

// Random frames of many sizes, odd ones among them, in all four orders, through every row
// kernel: widths around 16 and 32 pairs meet the fast kernels' steps and their tails.
TEST(PlanepackProperty, MatchesThePerPixelModel)
{
    const std::vector<std::string> builds = planepackBuilds();
    std::mt19937 random(42);
    // clang-format off
    const std::pair<int, int> sizes[] = {{2, 2}, {4, 2}, {1, 1}, {1, 4}, {3, 2}, {2, 3}, {5, 5}, {2, 1},
                                         {6, 1}, {7, 3}, {30, 2}, {32, 4}, {34, 6}, {63, 5}, {64, 64},
                                         {65, 9}, {96, 18}, {176, 144}, {17, 33}, {128, 1},
                                         {32, 1}, {48, 1}, {33, 3}, {99, 3}, {100, 2}};
    // clang-format on
    for (const auto& [width, height] : sizes) {
        for (int order = 0; order < 4; ++order) {
            SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + " order " + std::to_string(order));
            const size_t inFrame = 3 * size_t(width) * size_t(height) / 2;
            std::string input(3 * inFrame + inFrame / 2, '\0');
            for (char& byte : input) {
                byte = static_cast<char>(random());
            }
            Scratch scratch;
            scratch.write("in.yuv", input);
            const std::string expected = packModel(input, width, height, order);
            for (const std::string& build : builds) {
                // Orders 0 and 3 open a group with luma and with chroma, and take U and V
                // first: enough for a held kernel; the shipped build takes all four.
                if (build != planepack && (order == 1 || order == 2)) {
                    continue;
                }
                SCOPED_TRACE(build);
                const RunResult result = scratch.run(
                    build, {"in.yuv", "out.yuv", std::to_string(width), std::to_string(height), std::to_string(order)});
                EXPECT_EQ(result.status, 0);
                EXPECT_EQ(scratch.read("out.yuv"), expected);
            }
        }
    }
}

TEST(WholeRoad, TraceToPlanarToPacked)
{
    for (const std::string bus : {"32", "64"}) {
        SCOPED_TRACE(bus);
        Scratch scratch;
        const std::string trace = "clip_w176_144_420_" + bus + ".txt";
        ASSERT_EQ(scratch.run(tracegen, {"-b", bus, "-n", "4", "176", "144", trace}).status, 0);
        ASSERT_EQ(scratch.run(tracegen, {"-n", "4", "-r", "176", "144", "picture.raw"}).status, 0);
        ASSERT_EQ(scratch.run(traceframes, {"-P", "-O", "planar.yuv", trace}).status, 0);
        for (int order = 0; order < 4; ++order) {
            ASSERT_EQ(scratch.run(planepack, {"planar.yuv", "packed.yuv", "176", "144", std::to_string(order)}).status,
                      0);
            EXPECT_EQ(scratch.read("packed.yuv"), packModel(scratch.read("picture.raw"), 176, 144, order));
        }
    }
}

} // namespace
