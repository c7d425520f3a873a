// planepack as a black box: orders, frames and failures against a per-pixel model of the
// packing, and the whole road from a generated trace through traceframes -P to packed frames.
// The odd sizes, random frames and boundary sizes are in tests/unit, run both on the program
// and in process.
#include <gtest/gtest.h>

#include <sys/mount.h>

#include "support/models.h"
#include "support/scratch.h"

namespace {

const std::string planepack = programPath(PLANEPACK_BIN);
const std::string traceframes = programPath(TRACEFRAMES_BIN);
const std::string tracegen = programPath(TRACEGEN_BIN);

const std::string usage = "Usage: planepack in out w h order\n, where order 0 == YUYV,\n        order 1 == YVYU,\n"
                          "        order 2 == UYVY,\n        order 3 == VYUY,\n";

// The 4x2 example: Y rows 10..13 and 20..23, U 50 51, V 60 61.
const std::string example = bytesOf("10 11 12 13 20 21 22 23 50 51 60 61");

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
