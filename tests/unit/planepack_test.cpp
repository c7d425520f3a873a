// planepack in process: this file holds the program itself, its main renamed, built with the
// plain row kernel. Every other row kernel the processor runs is held to the plain one, the
// boundary sizes are decided in process, and the odd sizes and random
// frames run both on the shipped program (the kernel the processor picks) and on this build.
#include <gtest/gtest.h>

#include <random>

#include "support/models.h"
#include "support/scratch.h"

#define main planepackMain
#include "../../planepack/planepack.cpp"
#undef main

// In the sanitizer build every forked run would end with a leak scan of the whole test
// process, the bulk of its time; the program's own leak checks run where it runs as a binary.
extern "C" const char* __asan_default_options() // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
{
    return "detect_leaks=0";
}

namespace {

const std::string planepack = programPath(PLANEPACK_BIN);

// ---- Row kernels ----

using PackRow = void (*)(const uint8_t*, const uint8_t*, const uint8_t*, uint8_t*, size_t);

struct PackKernel {
    const char* name;
    PackRow lumaFirst;
    PackRow chromaFirst;
};

// The fast kernels this processor runs.
std::vector<PackKernel> fastKernels()
{
    std::vector<PackKernel> kernels;
#ifdef PLANEPACK_SSE2
    kernels.push_back({"SSE2", packRowSse2<true>, packRowSse2<false>});
    if (__builtin_cpu_supports("avx2")) {
        kernels.push_back({"AVX2", packRowAvx2<true>, packRowAvx2<false>});
    }
#endif
    return kernels;
}

// One row packed by `pack`, as checkasm runs a kernel: each input ends at the end of its
// allocation, and the output sits between two guards of 16 bytes, which stay as they were.
std::vector<uint8_t> packWith(PackRow pack, const std::vector<uint8_t>& y, const std::vector<uint8_t>& first,
                              const std::vector<uint8_t>& second, bool& guardsKept)
{
    constexpr size_t guard = 16;
    constexpr uint8_t guardByte = 0xa5;
    const size_t pairs = first.size();
    std::vector<uint8_t> out(guard + 4 * pairs + guard, guardByte);
    pack(y.data(), first.data(), second.data(), out.data() + guard, pairs);
    const auto kept = [](uint8_t b) { return b == guardByte; };
    guardsKept = std::all_of(out.begin(), out.begin() + guard, kept) && std::all_of(out.end() - guard, out.end(), kept);
    return std::vector<uint8_t>(out.begin() + guard, out.end() - guard);
}

// Random rows of every length up to 100 pairs, past the steps of 16 and 32 and their tails,
// groups opening with luma and with chroma: every fast kernel packs as the plain one does.
TEST(RowKernels, EveryFastKernelPacksAsThePlainOne)
{
    std::mt19937 random(7);
    for (size_t pairs = 0; pairs <= 100; ++pairs) {
        for (int turn = 0; turn < 4; ++turn) {
            std::vector<uint8_t> y(2 * pairs);
            std::vector<uint8_t> first(pairs);
            std::vector<uint8_t> second(pairs);
            for (std::vector<uint8_t>* plane : {&y, &first, &second}) {
                for (uint8_t& byte : *plane) {
                    byte = static_cast<uint8_t>(random());
                }
            }
            for (const bool lumaFirst : {true, false}) {
                SCOPED_TRACE(std::to_string(pairs) + " pairs, " + (lumaFirst ? "luma" : "chroma") + " first");
                bool guardsKept = false;
                const std::vector<uint8_t> plain =
                    packWith(lumaFirst ? packRowPlain<true> : packRowPlain<false>, y, first, second, guardsKept);
                ASSERT_TRUE(guardsKept);
                for (const PackKernel& kernel : fastKernels()) {
                    const std::vector<uint8_t> fast =
                        packWith(lumaFirst ? kernel.lumaFirst : kernel.chromaFirst, y, first, second, guardsKept);
                    ASSERT_EQ(fast, plain) << kernel.name;
                    ASSERT_TRUE(guardsKept) << kernel.name;
                }
            }
        }
    }
}

// ---- Sizes ----

// planepack refuses a size unless 4 x width x height fits a signed 32-bit integer, decided in
// process for every pair of boundary numbers; a few pairs run through the whole program too,
// where an accepted size converts the whole frames of a 12-byte input.
TEST(BoundarySizes, DecidedAsTheWideModelDecides)
{
    int decided = 0;
    for (const char* width : boundaryNumbers) {
        for (const char* height : boundaryNumbers) {
            SCOPED_TRACE(std::string(width) + " x " + height);
            const Wide w = wideOf(width);
            const Wide h = wideOf(height);
            Picture picture{};
            const bool accepted = pictureOf(width, height, picture);
            ASSERT_EQ(accepted, w > 0 && h > 0 && w <= int32Max && h <= int32Max && 4 * w * h <= int32Max);
            if (accepted) {
                ASSERT_EQ(Wide(picture.inputFrameSize), 3 * w * h / 2);
                ASSERT_EQ(Wide(picture.outputFrameSize), 2 * w * h);
            }
            ++decided;
        }
    }
    EXPECT_EQ(decided, 17 * 17);

    Scratch scratch;
    scratch.write("in.yuv", bytesOf("10 11 12 13 20 21 22 23 50 51 60 61"));
    const struct {
        const char* width;
        const char* height;
        const char* order;
        int status;
        Wide outputBytes;
    } runs[] = {
        {"2", "2", "0", 0, 16}, {"1", "1", "-1", 0, 24}, {"0", "4", "0", 255, 0}, {"32768", "16384", "3", 255, 0}};
    for (const auto& run : runs) {
        SCOPED_TRACE(std::string(run.width) + " x " + run.height + " order " + run.order);
        const RunResult result = scratch.run(planepack, {"in.yuv", "out.yuv", run.width, run.height, run.order});
        ASSERT_EQ(result.status, run.status);
        if (run.status == 0) {
            ASSERT_EQ(Wide(std::filesystem::file_size(scratch.path("out.yuv"))), run.outputBytes);
        } else {
            ASSERT_EQ(result.out, "ERROR, INVALID PICTURE SIZE\n");
        }
    }
}

// ---- Frames through the whole program ----

// The two builds the frame tables run on: the shipped program as a black box, and this one.
enum class Build { shipped, inProcess };

const Build builds[] = {Build::shipped, Build::inProcess};

std::string nameOf(Build build)
{
    return build == Build::shipped ? "shipped" : "in process, plain kernel";
}

RunResult runOn(Build build, const Scratch& scratch, const std::vector<std::string>& args)
{
    return build == Build::shipped ? scratch.run(planepack, args) : scratch.runMain(planepackMain, planepack, args);
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
    for (const Build build : builds) {
        for (const PinnedCase& c : cases) {
            SCOPED_TRACE(nameOf(build) + ": " + c.what);
            Scratch scratch;
            scratch.write("in.yuv", bytesOf(c.input));
            const RunResult result = runOn(
                build, scratch,
                {"in.yuv", "out.yuv", std::to_string(c.width), std::to_string(c.height), std::to_string(c.order)});
            EXPECT_EQ(result.status, 0);
            EXPECT_EQ(scratch.read("out.yuv"), bytesOf(c.packed));
        }
    }
}

// Random frames of many sizes, odd ones among them, in all four orders, through both builds:
// widths around 16 and 32 pairs meet the fast kernels' steps and their tails.
TEST(PlanepackProperty, MatchesThePerPixelModel)
{
    std::mt19937 random(42);
    // clang-format off
    const std::pair<int, int> sizes[] = {{2, 2}, {4, 2}, {1, 1}, {1, 4}, {3, 2}, {2, 3}, {5, 5}, {2, 1},
                                         {6, 1}, {7, 3}, {30, 2}, {32, 4}, {34, 6}, {63, 5}, {64, 64},
                                         {65, 9}, {96, 18}, {176, 144}, {17, 33}, {128, 1},
                                         {32, 1}, {48, 1}, {33, 3}, {99, 3}, {100, 2}};
    // clang-format on
    size_t turn = 0;
    for (const auto& [width, height] : sizes) {
        for (int order = 0; order < 4; ++order) {
            SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + " order " + std::to_string(order));
            if (!caseRunsInThisBuild(turn++)) {
                continue;
            }
            const size_t inFrame = 3 * size_t(width) * size_t(height) / 2;
            std::string input(3 * inFrame + inFrame / 2, '\0');
            for (char& byte : input) {
                byte = static_cast<char>(random());
            }
            Scratch scratch;
            scratch.write("in.yuv", input);
            const std::string expected = packModel(input, width, height, order);
            for (const Build build : builds) {
                // Orders 0 and 3 open a group with luma and with chroma, and take U and V
                // first: enough for the plain kernel; the shipped program takes all four.
                if (build == Build::inProcess && (order == 1 || order == 2)) {
                    continue;
                }
                SCOPED_TRACE(nameOf(build));
                const RunResult result =
                    runOn(build, scratch,
                          {"in.yuv", "out.yuv", std::to_string(width), std::to_string(height), std::to_string(order)});
                EXPECT_EQ(result.status, 0);
                EXPECT_EQ(scratch.read("out.yuv"), expected);
            }
        }
    }
}

} // namespace
