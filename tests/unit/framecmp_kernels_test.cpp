// framecmp's kernels in process, as ffmpeg's checkasm holds its own: every fast kernel the
// build has gives what the plain one gives on the same samples, rows long and short, every
// coding; the bytes past a row are set to differ, so that a kernel reading past its end
// counts them. The test of a mask's bytes sees its last byte of an odd length. And the PSNR's hundredths, on which the
// floor and --align decide, rounded as printf's "%.2f" rounds the number at its .xx5 boundaries.
// And a frame pair read and compared in small bands, which end mid-row and mid-plane, gives
// the result of the whole frame compared at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <getopt.h>
#include <random>
#include <string>
#include <vector>

#include "framecmp/compare/frame.h"
#include "framecmp/compare/plane.h"
#include "framecmp/compare/psnr.h"
#include "framecmp/compare/rowkernels.h"
#include "framecmp/compare/ssimsums.h"
#include "framecmp/compare/unpack.h"
#include "framecmp/compare/v210.h"
#include "framecmp/compare/wordlines.h"
#include "framecmp/input.h"
#include "framecmp/loop.h"
#include "framecmp/views.h"
#include "support/models.h"

namespace {

using namespace framecmp;

constexpr size_t guardBytes = 64;

// `length` samples of `bytes` each, then guard bytes: 0x00 in EXPECTED, 0xff in ACTUAL, so
// that every sample read past the end fails and adds to the sums.
struct RowPair {
    std::vector<uint8_t> expected;
    std::vector<uint8_t> actual;
};

RowPair randomRows(std::mt19937& random, size_t length, size_t bytes, uint32_t spread)
{
    RowPair rows{std::vector<uint8_t>(length * bytes + guardBytes, 0x00),
                 std::vector<uint8_t>(length * bytes + guardBytes, 0xff)};
    for (size_t i = 0; i < length * bytes; ++i) {
        rows.expected[i] = static_cast<uint8_t>(random());
        // Mostly near EXPECTED, so that tolerances at the edge of the differences count.
        const auto near = static_cast<uint32_t>(rows.expected[i] + random() % (2 * spread + 1) - spread);
        rows.actual[i] = static_cast<uint8_t>(random() % 8 == 0 ? random() : near);
    }
    return rows;
}

bool operator==(const RowTally& a, const RowTally& b)
{
    return a.failing == b.failing && a.padded == b.padded && a.sumOfSquares == b.sumOfSquares && a.largest == b.largest;
}

bool operator==(const BlockSums& a, const BlockSums& b)
{
    return a.s1 == b.s1 && a.s2 == b.s2 && a.ss == b.ss && a.s12 == b.s12;
}

// One row a case: a kernel, a row length (kernelSpan the longest a kernel takes), a
// tolerance and, for 16-bit containers, the two codings.
struct KernelCase {
    const char* kernel; // "row8", "row16", "padding", "ssim8", "set" (a mask's bytes)
    size_t length;
    int32_t tolerance;
    SampleCoding codings[2];
};

constexpr SampleCoding eight{0, 0xff, 0, 8};
constexpr SampleCoding low10{0, 0x3ff, 0xfc00, 10};
constexpr SampleCoding high10{6, 0x3ff, 0x3f, 10};
constexpr SampleCoding low12{0, 0xfff, 0xf000, 12};
constexpr SampleCoding full16{0, 0xffff, 0, 16};
constexpr SampleCoding high9{7, 0x1ff, 0x7f, 9};
constexpr SampleCoding low15{0, 0x7fff, 0x8000, 15};

TEST(FramecmpKernels, FastKernelsAgreeWithPlainOnes)
{
    const KernelCase cases[] = {
        {"row8", 1, 0, {eight, eight}},
        {"row8", 15, 0, {eight, eight}},
        {"row8", 17, 1, {eight, eight}},
        {"row8", 64, 255, {eight, eight}},
        {"row8", 333, 2, {eight, eight}},
        {"row8", kernelSpan, 3, {eight, eight}},
        {"row16", 7, 0, {low10, low10}},
        {"row16", 9, 1, {high10, high10}},
        {"row16", 100, 3, {low10, high10}},
        {"row16", 257, 0, {low12, low12}},
        {"row16", 1000, 65535, {full16, full16}},
        {"row16", kernelSpan, 2, {high9, high9}},
        {"row16", kernelSpan, 0, {low10, low10}}, // squares summed in 32 bits, blocks of 2052 steps
        {"row16", kernelSpan, 1, {low15, low15}}, // and of 2
        {"padding", 3, 0, {low10, low10}},
        {"padding", 40, 0, {high10, high10}},
        {"padding", 1001, 0, {low12, low12}},
        {"ssim8", 1, 0, {eight, eight}},
        {"ssim8", 5, 0, {eight, eight}},
        {"ssim8", 33, 0, {eight, eight}},
        {"set", 1, 0, {eight, eight}},
        {"set", 33, 0, {eight, eight}},
        {"set", 64, 0, {eight, eight}},
    };
    std::mt19937 random(2024);
    for (const KernelCase& c : cases) {
        SCOPED_TRACE(std::string(c.kernel) + " length " + std::to_string(c.length) + " tolerance " +
                     std::to_string(c.tolerance));
        const std::string kernel = c.kernel;
        // AVX2's kernels where the processor runs them.
        const bool avx2 = rowKernelForProcessor() == RowKernel::avx2;
        if (kernel == "row8") {
            const RowPair rows = randomRows(random, c.length, 1, 3);
            const RowTally plain = compareRow8Plain(rows.expected.data(), rows.actual.data(), c.length, c.tolerance);
            EXPECT_TRUE(compareRow8(rows.expected.data(), rows.actual.data(), c.length, c.tolerance) == plain);
            EXPECT_TRUE(!avx2 ||
                        compareRow8Avx2(rows.expected.data(), rows.actual.data(), c.length, c.tolerance) == plain);
        } else if (kernel == "row16") {
            const RowPair rows = randomRows(random, c.length, 2, 3);
            const RowTally plain =
                compareRow16Plain(rows.expected.data(), rows.actual.data(), c.length, c.codings, c.tolerance);
            EXPECT_TRUE(compareRow16(rows.expected.data(), rows.actual.data(), c.length, c.codings, c.tolerance) ==
                        plain);
            EXPECT_TRUE(!avx2 || compareRow16Avx2(rows.expected.data(), rows.actual.data(), c.length, c.codings,
                                                  c.tolerance) == plain);
        } else if (kernel == "padding") {
            // Clear containers with one padding bit set at a random place, or none.
            for (const bool padded : {false, true}) {
                std::vector<uint8_t> frame(2 * c.length + guardBytes, 0xff);
                const uint32_t mask = c.codings[0].paddingMask;
                const size_t paddedAt = padded ? random() % c.length : c.length;
                for (size_t i = 0; i < c.length; ++i) {
                    const uint32_t value = (static_cast<uint32_t>(random()) & c.codings[0].valueMask)
                                           << c.codings[0].shift;
                    const uint32_t container = value | (i == paddedAt ? mask & (~mask + 1) : 0);
                    frame[2 * i] = static_cast<uint8_t>(container);
                    frame[2 * i + 1] = static_cast<uint8_t>(container >> 8U);
                }
                EXPECT_EQ(framePadded(frame.data(), 2 * c.length, mask),
                          framePaddedPlain(frame.data(), 2 * c.length, mask));
                EXPECT_EQ(framePaddedPlain(frame.data(), 2 * c.length, mask), padded);
            }
        } else if (kernel == "set") {
            // Clear bytes but one, the last or one at random, or none; set bytes past the end.
            for (const size_t setAt : {c.length, c.length - 1, size_t(random() % c.length)}) {
                std::vector<uint8_t> bytes(c.length + guardBytes, 0xff);
                std::fill(bytes.begin(), bytes.begin() + std::ptrdiff_t(c.length), 0);
                if (setAt < c.length) {
                    bytes[setAt] = 0x10;
                }
                EXPECT_EQ(anySet(bytes.data(), c.length), setAt < c.length) << "set at " << setAt;
            }
        } else {
            // Four rows of `length` blocks, the strides apart, and a guard block after the sums.
            const size_t stride = ssimBlock * c.length + 5;
            const RowPair rows = randomRows(random, ssimBlock * stride, 1, 40);
            std::vector<BlockSums> fast(c.length + 1, BlockSums{-1, -1, -1, -1});
            std::vector<BlockSums> plain(c.length + 1, BlockSums{-1, -1, -1, -1});
            blockSums8(rows.expected.data(), stride, rows.actual.data(), stride, c.length, fast.data());
            blockSumsPlain(rows.expected.data(), stride, rows.actual.data(), stride, c.length, plain.data());
            for (size_t z = 0; z <= c.length; ++z) {
                EXPECT_TRUE(fast[z] == plain[z]) << "block " << z;
            }
            EXPECT_TRUE(fast[c.length] == (BlockSums{-1, -1, -1, -1}));
        }
    }
}

// The v210 line unpacker the processor runs, where it runs SSSE3, gives the plain one's
// samples at every width from 1 to 100 (whole and partial groups), on random words with
// padding bits set, and writes nothing past its rows, whose guard samples are set apart.
TEST(FramecmpKernels, FastUnpackerAgreesWithPlainOne)
{
    EXPECT_EQ(chooseUnpackKernel(false, true), UnpackKernel::plain);
    const UnpackKernel kernel = unpackKernelForProcessor();
    if (kernel == UnpackKernel::plain) {
        GTEST_SKIP() << "no SSSE3";
    }
    std::mt19937 random(24);
    for (size_t width = 1; width <= 100; ++width) {
        SCOPED_TRACE("width " + std::to_string(width));
        std::vector<uint8_t> line((width + 5) / 6 * 16 + guardBytes);
        for (uint8_t& byte : line) {
            byte = static_cast<uint8_t>(random());
        }
        const size_t rowLength = width + guardBytes;
        // Three rows of the plain kernel, then three of the fast one.
        std::vector<uint16_t> rows(6 * rowLength, 0xbeef);
        uint16_t* at[6];
        for (size_t r = 0; r < 6; ++r) {
            at[r] = &rows[r * rowLength];
        }
        v210LinePlain(line.data(), at[0], at[1], at[2], width);
        v210LineSsse3(line.data(), at[3], at[4], at[5], width);
        for (size_t p = 0; p < 3; ++p) {
            EXPECT_TRUE(std::equal(at[p], at[p] + rowLength, at[p + 3])) << "plane " << p;
        }
        // The matchers on the rows unpacked: alike only where no padding is marked; with the
        // padding cleared, alike, and apart once any one sample in the width differs.
        const auto matchers = [&](bool alike) {
            const auto* rowBytes = reinterpret_cast<const uint8_t*>(at[0]);
            const size_t stride = 2 * rowLength;
            EXPECT_EQ(v210LineMatchesPlain(line.data(), rowBytes, rowBytes + stride, rowBytes + 2 * stride, width),
                      alike);
            EXPECT_EQ(v210LineMatchesSsse3(line.data(), rowBytes, rowBytes + stride, rowBytes + 2 * stride, width),
                      alike);
            if (kernel == UnpackKernel::avx2) {
                EXPECT_EQ(v210LineMatchesAvx2(line.data(), rowBytes, rowBytes + stride, rowBytes + 2 * stride, width),
                          alike);
            }
        };
        const size_t chromaWidth = (width + 1) / 2;
        const auto marked = [](const uint16_t* row, size_t count) {
            return std::any_of(row, row + count, [](uint16_t c) { return c >= paddingMark; });
        };
        matchers(!marked(at[0], width) && !marked(at[1], chromaWidth) && !marked(at[2], chromaWidth));
        for (size_t w = 3; w < line.size() - guardBytes; w += 4) {
            line[w] &= 0x3fU;
        }
        v210LinePlain(line.data(), at[0], at[1], at[2], width);
        matchers(true);
        const size_t plane = random() % 3;
        at[plane][random() % (plane == 0 ? width : chromaWidth)] ^= static_cast<uint16_t>(1U << (random() % 16));
        matchers(false);
    }
}

// The hundredths of a PSNR are those "%.2f" prints: at values whose binary form lies just
// under or over a .xx5, at exact ties (to even) and at their neighbours.
TEST(FramecmpKernels, HundredthsRoundAsPrintfDoes)
{
    const double values[] = {0.0,    0.005,  0.015, 0.125,  0.375,  1.005,  1.015,   2.675,   12.345,
                             38.005, 38.015, 38.5,  49.995, 55.555, 99.995, 100.005, 999.995, 1234.565};
    for (const double value : values) {
        for (const double v : {std::nextafter(value, 0.0), value, std::nextafter(value, 2000.0)}) {
            char text[64];
            std::snprintf(text, sizeof text, "%.2f", v);
            SCOPED_TRACE(text);
            EXPECT_EQ(hundredthsOf(v), std::llround(std::strtod(text, nullptr) * 100));
        }
    }
}

} // namespace

namespace {

// One row a case: the formats and size, the band (bytes of each file read at a time), one
// sample of ACTUAL changed by `change` (0: none; above the values' mask: padding set), and
// ACTUAL cut short to `actualBytes` (0: a whole frame).
struct BandCase {
    const char* format;
    const char* actualFormat; // -F; "" for the same
    const char* size;
    size_t band;
    int plane;
    int32_t x;
    int32_t y;
    uint32_t change;
    size_t actualBytes;
};

// Sample (x, y) of a plane, as a container of the coding, written into a frame.
void putSample(std::string& frame, const Plane& plane, size_t bytes, int32_t x, int32_t y, uint32_t container)
{
    const size_t at = sampleOffset(plane, x, y);
    frame[at] = static_cast<char>(container);
    if (bytes == 2) {
        frame[at + 1] = static_cast<char>(container >> 8U);
    }
}

// ACTUAL's planar frame, laid out as EXPECTED's, packed into the words of `format` (v210's
// lines rounded up to 128 bytes with bytes never compared).
std::string wordsOf(const PairLayout& pair, const std::string& frame, const std::string& format)
{
    std::vector<uint32_t> samples[3];
    for (int p = 0; p < 3; ++p) {
        const Plane& plane = pair.expected.planes[p];
        for (int32_t y = 0; y < plane.height; ++y) {
            for (int32_t x = 0; x < plane.width; ++x) {
                const size_t at = sampleOffset(plane, x, y);
                samples[p].push_back(static_cast<uint8_t>(frame[at]) | static_cast<uint8_t>(frame[at + 1]) << 8U);
            }
        }
    }
    const Plane* planes = pair.expected.planes;
    const std::string words = packWordsModel(
        wordFrameModel(format, planes[0].width, planes[0].height, planes[1].width, planes[1].height), samples, 2);
    if (format != "v210") {
        return words;
    }
    const size_t line = static_cast<size_t>(planes[0].width + 5) / 6 * 16;
    std::string rounded;
    for (size_t at = 0; at < words.size(); at += line) {
        rounded += words.substr(at, line) + std::string((line + 127) / 128 * 128 - line, '\x5a');
    }
    return rounded;
}

bool operator==(const PlaneResult& a, const PlaneResult& b)
{
    return a.failing == b.failing && a.padded == b.padded && a.largest == b.largest && a.mse == b.mse &&
           a.firstX == b.firstX && a.firstY == b.firstY && a.firstExpected == b.firstExpected &&
           a.firstActual == b.firstActual && a.fails == b.fails;
}

} // namespace

TEST(FramecmpKernels, BandsTallyAsWholeFrames)
{
    const BandCase cases[] = {
        {"yuv420p", "", "37x21", 64, 0, 36, 20, 1, 0},         // the last luma sample, after many equal bands
        {"yuv420p", "", "37x21", 97, 1, 5, 3, 200, 0},         // an odd band
        {"yuv420p", "", "37x21", 36, 0, 36, 0, 5, 0},          // a row's last sample just past the equal bands
        {"yuv420p", "", "37x21", 5000, 0, 0, 0, 0, 0},         // one band, equal
        {"yuv420p", "", "37x21", 64, 2, 18, 10, 3, 500},       // ACTUAL ends mid-frame
        {"yuv420p10le", "", "37x21", 100, 2, 18, 10, 7, 0},    // the last chroma sample
        {"yuv420p10le", "", "37x21", 101, 0, 3, 11, 0x400, 0}, // padding set, an odd band
        {"yuv422p12le", "", "19x9", 48, 1, 0, 4, 4095, 0},
        {"nv12", "", "33x17", 50, 2, 16, 8, 9, 0}, // chroma side by side
        {"yuv420p10le", "p010le", "37x21", 128, 1, 7, 2, 1, 0},
        {"p010le", "yuv420p10le", "37x21", 77, 0, 36, 0, 0, 0},
        {"gray", "", "64x64", 4096, 0, 63, 63, 0, 0},
        // Words unpacked as they come (ACTUAL EXPECTED's samples packed, one changed or its
        // word's padding set: bit 15), bands ending mid-word and mid-line: the lines alike
        // before it held against EXPECTED's rows only, the rest unpacked, and the whole held
        // to the whole frame unpacked at once.
        {"yuv422p10le", "v210", "37x21", 61, 0, 0, 0, 1, 0},
        {"yuv422p10le", "v210", "37x21", 61, 2, 17, 20, 0x8000, 0}, // padding, the last line
        {"yuv422p10le", "v210", "40x21", 300, 1, 3, 9, 3, 0},
        {"yuv422p10le", "v210", "37x21", 61, 0, 0, 0, 0, 0},
        {"yuv420p10le", "xv15", "37x21", 50, 0, 0, 0, 1, 0},
        {"yuv420p10le", "xv15", "37x21", 50, 2, 5, 7, 0x200, 0}, // a chroma line after every luma line
        {"yuv444p10le", "y410", "13x5", 29, 0, 12, 3, 1, 0},
        // Bands that hold a few lines: lines and rows taken in step, alike whole, or one apart.
        {"yuv422p10le", "v210", "40x21", 700, 0, 0, 0, 0, 0},
        {"yuv422p10le", "v210", "40x21", 700, 1, 3, 15, 9, 0},
        {"yuv444p10le", "y410", "13x5", 4096, 0, 0, 0, 0, 0},
        // Both files in words, one word of ACTUAL changed (`x` its byte, `change` its xor):
        // rows whose bytes are alike are passed over, the changed one compared.
        {"v210", "", "37x21", 70, 0, 131, 0, 0x30, 0},
        {"xv15", "", "37x21", 45, 0, 400, 0, 0xc0, 0}, // padding set
    };
    std::mt19937 random(24);
    int bandsOnly = 0; // frames alike that never reached the frame buffers
    std::string pattern = (std::filesystem::temp_directory_path() / "framecmp-bands-XXXXXX").string();
    const std::string dir = mkdtemp(pattern.data());
    for (const BandCase& c : cases) {
        SCOPED_TRACE(std::string(c.format) + " -F " + c.actualFormat + " " + c.size + " band " +
                     std::to_string(c.band));
        std::vector<std::string> args = {"framecmp", "-s", c.size, "-f", c.format};
        if (*c.actualFormat != '\0') {
            args.insert(args.end(), {"-F", c.actualFormat});
        }
        args.insert(args.end(), {dir + "/e.yuv", dir + "/a.yuv"});
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        optind = 0; // getopt starts afresh on each command line
        Options options = readOptions(static_cast<int>(argv.size()), argv.data());
        completeFromNames(options);
        const PairLayout pair = makePairLayout(options);
        const size_t bytes = pair.expected.sampleBytes;
        std::string expected(pair.expected.frameSize, '\0');
        std::string actual(pair.actual.frameSize, '\0');
        for (int p = 0; p < pair.expected.planeCount; ++p) {
            for (int32_t y = 0; y < pair.expected.planes[p].height; ++y) {
                for (int32_t x = 0; x < pair.expected.planes[p].width; ++x) {
                    uint32_t value = static_cast<uint32_t>(random()) & pair.expectedCoding.valueMask;
                    putSample(expected, pair.expected.planes[p], bytes, x, y, value << pair.expectedCoding.shift);
                    if (p == c.plane && x == c.x && y == c.y) {
                        value ^= c.change;
                    }
                    putSample(actual, pair.actual.planes[p], bytes, x, y, value << pair.actualCoding.shift);
                }
            }
        }
        if (pair.files[1].packing != Packing::none) {
            actual = wordsOf(pair, actual, *c.actualFormat != '\0' ? c.actualFormat : c.format);
        }
        if (pair.files[0].packing != Packing::none) {
            expected = actual;
            actual[static_cast<size_t>(c.x)] = static_cast<char>(actual[static_cast<size_t>(c.x)] ^ c.change);
        }
        std::ofstream(dir + "/e.yuv", std::ios::binary) << expected;
        std::ofstream(dir + "/a.yuv", std::ios::binary)
            << (c.actualBytes == 0 ? actual : actual.substr(0, c.actualBytes));
        const Input inputs[2] = {openInput(options.expectedPath), openInput(options.actualPath)};
        Buffers buffers = allocateBuffers(pair.expected, false);
        allocateWorkingFrames(buffers, pair);
        frameBandSize = c.band;
        FrameProgress progress = startFrameProgress(pair);
        WordLines words[2] = {startWordLines(pair, 0), startWordLines(pair, 1)};
        size_t got[2] = {};
        readComparingBands(inputs, buffers, pair, options.criteria, got, progress, words, false);
        EXPECT_EQ(got[0], pair.expected.fileFrameSize);
        EXPECT_EQ(got[1], c.actualBytes == 0 ? pair.actual.fileFrameSize : c.actualBytes);
        if (c.actualBytes == 0) {
            SsimBuffers ssimBuffers{};
            const FrameResult banded = finishFrame(progress, options.criteria, pair, 0);
            // Equal frames come through the band buffers only: read back, and the whole
            // frames unpacked afresh.
            EXPECT_TRUE(!progress.bandsOnly || c.change == 0);
            bandsOnly += progress.bandsOnly ? 1 : 0;
            if (progress.bandsOnly) {
                readBack(inputs, buffers, pair, got, true, 0);
                EXPECT_EQ(std::string(reinterpret_cast<const char*>(frameOf(buffers, 1)), actual.size()), actual);
            }
            readyFrame(pair, buffers, 0, frameOf(buffers, 0));
            readyFrame(pair, buffers, 1, frameOf(buffers, 1));
            const FrameResult whole = compareFrame(options.criteria, pair, buffers, 0, ssimBuffers, nullptr);
            EXPECT_EQ(banded.fails, c.change != 0);
            EXPECT_EQ(banded.fails, whole.fails);
            EXPECT_EQ(banded.differs, whole.differs);
            for (int p = 0; p < pair.expected.planeCount; ++p) {
                EXPECT_TRUE(banded.planes[p] == whole.planes[p]) << "plane " << p;
            }
        }
        releaseBuffers(buffers);
        close(inputs[0].fd);
        close(inputs[1].fd);
    }
    EXPECT_EQ(bandsOnly, 4); // one band of yuv420p, gray in bands, v210 and y410 in step
    std::filesystem::remove_all(dir);
}

// Frames mapped from their files read as the files hold them, a whole pair at a time (the
// second frame from within a page); a frame not whole is left to be read. A file that
// shrinks under its view reads as zeros, and ending the view is then trouble.
TEST(FramecmpViews, FramesMappedInPlaceAndLostWhenTheFileShrinks)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "framecmp-views-XXXXXX").string();
    const std::string dir = mkdtemp(pattern.data());
    std::string args[] = {"framecmp", "-s", "16x8", "-f", "gray", dir + "/e.yuv", dir + "/a.yuv"};
    char* argv[std::size(args)];
    std::transform(std::begin(args), std::end(args), argv, [](std::string& arg) { return arg.data(); });
    optind = 0;
    Options options = readOptions(static_cast<int>(std::size(argv)), argv);
    const PairLayout pair = makePairLayout(options);
    std::mt19937 random(7);
    std::string frames(2 * pair.expected.frameSize, '\0');
    std::generate(frames.begin(), frames.end(), [&] { return static_cast<char>(random()); });
    std::ofstream(dir + "/e.yuv", std::ios::binary) << frames;
    std::ofstream(dir + "/a.yuv", std::ios::binary) << frames.substr(0, frames.size() - 1);
    const Input inputs[2] = {openInput(options.expectedPath), openInput(options.actualPath)};
    Buffers buffers = allocateBuffers(pair.expected, false);
    uint8_t* const owned = buffers.actual;
    Readahead readahead{};
    FrameViews views{};
    size_t got[2] = {};
    const off_t start[2] = {0, 0};
    catchLostViews();
    ASSERT_TRUE(viewFrames(inputs, pair, readahead, start, buffers, views, got));
    EXPECT_EQ(got[1], pair.actual.fileFrameSize);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffers.actual), got[1]), frames.substr(0, got[1]));
    endViews(inputs, buffers, views);
    EXPECT_EQ(buffers.actual, owned);
    const off_t second[2] = {lseek(inputs[0].fd, 0, SEEK_CUR), lseek(inputs[1].fd, 0, SEEK_CUR)};
    EXPECT_EQ(second[1], static_cast<off_t>(pair.actual.fileFrameSize));
    EXPECT_FALSE(viewFrames(inputs, pair, readahead, second, buffers, views, got));
    EXPECT_EXIT(
        {
            viewFrames(inputs, pair, readahead, start, buffers, views, got);
            if (truncate(options.actualPath, 0) != 0) {
                std::_Exit(3);
            }
            const volatile uint8_t* frame = buffers.actual;
            if (frame[got[1] - 1] != 0 || lostView(views) != 1) {
                std::_Exit(4);
            }
            endViews(inputs, buffers, views);
        },
        testing::ExitedWithCode(2), "a.yuv: the file changed while it was read");
    releaseBuffers(buffers);
    close(inputs[0].fd);
    close(inputs[1].fd);
    std::filesystem::remove_all(dir);
}
