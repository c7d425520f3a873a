// Picture sizes at the edges of 32-bit arithmetic: both programs decide to accept or refuse
// every pair of boundary numbers exactly as a model in 128-bit integers does, and an accepted
// size takes rows or frames without fault (the sanitizer build checks every product). The
// tables call each program's own main in a child process, thousands of runs at a fork each.
#include <gtest/gtest.h>

#include "support.h"

int traceframesMain(int argc, char** argv);
int planepackMain(int argc, char** argv);

// In the sanitizer build every forked run would end with a leak scan of the whole test
// process, the bulk of its time; the programs' own leak checks run where they run as binaries.
extern "C" const char* __asan_default_options() // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
{
    return "detect_leaks=0";
}

namespace {

const std::string traceframes = TRACEFRAMES_BIN;
const std::string planepack = PLANEPACK_BIN;

using Wide = __int128;

constexpr Wide int32Max = 2147483647;

// Around the square roots of 2^31 and 2^32, the 2^30 and 2^31 edges, and past 32 and 64 bits.
const char* const boundaryNumbers[] = {
    "1",
    "2",
    "3",
    "46340",
    "46341",
    "65535",
    "65536",
    "1073741823",
    "1073741824",
    "1073741825",
    "1518500249",
    "1518500250",
    "2147483646",
    "2147483647",
    "2147483648",
    "4294967301",
    "99999999999999999999",
};

Wide wideOf(const std::string& digits)
{
    Wide value = 0;
    for (const char c : digits) {
        value = value * 10 + (c - '0');
        if (value > Wide{1} << 100) {
            break; // far past every limit; enough to decide
        }
    }
    return value;
}

struct Sampling {
    int value;
    int mulDiv2; // the frame size times two, as a multiple of the luma plane
};

const Sampling samplings[] = {{420, 3}, {422, 4}, {440, 4}, {400, 2}};

// Names the sampling in test names and messages.
void PrintTo(const Sampling& sampling, std::ostream* out)
{
    *out << sampling.value;
}

// What traceframes must end with for an empty trace: 8 for a name whose sizes do not fit,
// 13 for a frame that is not a whole number of bus words, else 0. Samples of two bytes
// (-D 9 to 16) double the luma plane and the frame before the same rules.
int traceframesModel(Wide width, Wide height, const Sampling& sampling, int busBytes, int sampleBytes)
{
    if (width > int32Max || height > int32Max) {
        return 8;
    }
    const Wide luma = width * height * sampleBytes;
    const Wide frame = width * height * sampling.mulDiv2 / 2 * sampleBytes;
    if (luma > int32Max || 2 * frame > int32Max) {
        return 8;
    }
    return luma % busBytes != 0 || frame % busBytes != 0 ? 13 : 0;
}

// One sampling a test, so that a parallel test run spreads the table over the cores.
class TraceframesBoundaryNames : public testing::TestWithParam<Sampling> {};

TEST_P(TraceframesBoundaryNames, DecidedAsTheWideModelDecides)
{
    const Sampling& sampling = GetParam();
    Scratch scratch;
    scratch.write("empty", "");
    int runs = 0;
    for (const char* width : boundaryNumbers) {
        for (const char* height : boundaryNumbers) {
            for (const int bus : {32, 64}) {
                for (const int sampleBytes : {1, 2}) {
                    const std::string name = std::string("t_w") + width + "_" + height + "_" +
                                             std::to_string(sampling.value) + "_" + std::to_string(bus) + ".txt";
                    std::filesystem::create_symlink("empty", scratch.path(name));
                    const RunResult result = scratch.runMain(
                        traceframesMain, traceframes, {"-D", sampleBytes == 1 ? "8" : "16", "-O", "out.yuv", name});
                    std::filesystem::remove(scratch.path(name));
                    const int expected =
                        traceframesModel(wideOf(width), wideOf(height), sampling, bus / 8, sampleBytes);
                    ASSERT_EQ(result.status, expected) << name << " " << sampleBytes << "\n" << result.err;
                    ++runs;
                }
            }
        }
    }
    EXPECT_EQ(runs, 17 * 17 * 2 * 2);
}

INSTANTIATE_TEST_SUITE_P(EverySampling, TraceframesBoundaryNames, testing::ValuesIn(samplings),
                         [](const testing::TestParamInfo<Sampling>& param) {
                             return std::to_string(param.param.value);
                         });

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

// planepack refuses a size unless 4 x width x height fits a signed 32-bit integer; an accepted
// one converts the whole frames of a 12-byte input.
TEST(Sizes, PlanepackDecidesEveryBoundarySize)
{
    Scratch scratch;
    scratch.write("in.yuv", bytesOf("10 11 12 13 20 21 22 23 50 51 60 61"));
    int runs = 0;
    for (const char* width : boundaryNumbers) {
        for (const char* height : boundaryNumbers) {
            for (const char* order : {"0", "-1"}) {
                const Wide w = wideOf(width);
                const Wide h = wideOf(height);
                const bool accepted = w <= int32Max && h <= int32Max && 4 * w * h <= int32Max;
                const RunResult result =
                    scratch.runMain(planepackMain, planepack, {"in.yuv", "out.yuv", width, height, order});
                SCOPED_TRACE(std::string(width) + " x " + height + " order " + order);
                if (accepted) {
                    const Wide luma = w * h;
                    const Wide frames = 12 / (3 * luma / 2);
                    ASSERT_EQ(result.status, 0) << result.out;
                    ASSERT_EQ(Wide(std::filesystem::file_size(scratch.path("out.yuv"))), frames * 2 * luma);
                } else {
                    ASSERT_EQ(result.status, 255);
                    ASSERT_EQ(result.out, "ERROR, INVALID PICTURE SIZE\n");
                }
                ++runs;
            }
        }
    }
    EXPECT_EQ(runs, 17 * 17 * 2);
}

} // namespace
