// framecmp as a black box: against a model that splits frames into planes on its own, on
// random frame pairs of every layout and odd sizes; its exit statuses and messages; damaged
// copies of what traceframes writes; and, when ffmpeg is installed, its PSNR against ffmpeg's.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>

#include "support.h"

namespace {

const std::string framecmp = FRAMECMP_BIN;
const std::string traceframes = TRACEFRAMES_BIN;
const std::string tracegen = TRACEGEN_BIN;

struct ModelPlane {
    char name;
    int width;
    int height;
    std::string samples;
};

int roundUpHalf(int n)
{
    return (n + 1) / 2;
}

// The planes of one frame, each sample taken from where the layout puts it.
std::vector<ModelPlane> splitFrame(const std::string& format, int w, int h, const std::string& frame)
{
    std::vector<ModelPlane> planes = {{'Y', w, h, ""}};
    const bool packed = format == "yuyv" || format == "yvyu" || format == "uyvy" || format == "vyuy";
    if (packed) {
        planes.push_back({'U', w / 2, h, ""});
        planes.push_back({'V', w / 2, h, ""});
        for (size_t group = 0; group + 4 <= frame.size(); group += 4) {
            for (size_t k = 0; k < 4; ++k) {
                const char which = char(std::toupper(format[k]));
                planes[which == 'Y' ? 0 : which == 'U' ? 1 : 2].samples += frame[group + k];
            }
        }
        return planes;
    }
    const size_t lumaSize = std::min(frame.size(), size_t(w) * size_t(h));
    planes[0].samples = frame.substr(0, lumaSize);
    const std::string chroma = frame.substr(lumaSize);
    int cw = roundUpHalf(w);
    int ch = roundUpHalf(h);
    if (format == "422p" || format == "nv16") {
        ch = h;
    } else if (format == "440p") {
        cw = w;
    } else if (format == "gray") {
        return planes;
    }
    planes.push_back({'U', cw, ch, ""});
    planes.push_back({'V', cw, ch, ""});
    if (format == "nv12" || format == "nv16") {
        for (size_t i = 0; i < chroma.size(); ++i) {
            planes[1 + i % 2].samples += chroma[i];
        }
    } else {
        planes[1].samples = chroma.substr(0, chroma.size() / 2);
        planes[2].samples = chroma.substr(chroma.size() / 2);
    }
    return planes;
}

size_t frameSizeOf(const std::string& format, int w, int h)
{
    size_t size = 0;
    for (const ModelPlane& plane : splitFrame(format, w, h, std::string())) {
        size += size_t(plane.width) * size_t(plane.height);
    }
    return size;
}

std::string planeLine(const ModelPlane& expected, const ModelPlane& actual)
{
    long differing = 0;
    double sum = 0;
    int largest = 0;
    char first[64] = "";
    for (size_t i = 0; i < expected.samples.size(); ++i) {
        const int e = (unsigned char)expected.samples[i];
        const int a = (unsigned char)actual.samples[i];
        if (e != a && differing++ == 0) {
            std::snprintf(first, sizeof first, "first at %d,%d %02x %02x, ", int(i) % expected.width,
                          int(i) / expected.width, e, a);
        }
        sum += double(e - a) * double(e - a);
        largest = std::max(largest, std::abs(e - a));
    }
    char line[200];
    if (differing == 0) {
        std::snprintf(line, sizeof line, "%c 0 differ, inf dB", expected.name);
    } else {
        const double psnr = 10 * std::log10(255.0 * 255.0 * double(expected.samples.size()) / sum);
        std::snprintf(line, sizeof line, "%c %ld differ, %smax %d, %.2f dB", expected.name, differing, first, largest,
                      psnr);
    }
    return line;
}

// The report framecmp must give for two files of whole frames, the same number of each.
std::string modelReport(const std::string& format, int w, int h, const std::string& expected, const std::string& actual)
{
    const size_t frameSize = frameSizeOf(format, w, h);
    std::string report;
    long differing = 0;
    long first = -1;
    const long frames = long(expected.size() / frameSize);
    for (long f = 0; f < frames; ++f) {
        const std::string e = expected.substr(size_t(f) * frameSize, frameSize);
        const std::string a = actual.substr(size_t(f) * frameSize, frameSize);
        if (e == a) {
            continue;
        }
        first = differing++ == 0 ? f : first;
        const std::vector<ModelPlane> ep = splitFrame(format, w, h, e);
        const std::vector<ModelPlane> ap = splitFrame(format, w, h, a);
        report += "frame " + std::to_string(f) + ":";
        for (size_t p = 0; p < ep.size(); ++p) {
            report += (p == 0 ? " " : "; ") + planeLine(ep[p], ap[p]);
        }
        report += "\n";
    }
    if (differing == 0) {
        return report + "identical: " + std::to_string(frames) + " frames\n";
    }
    return report + std::to_string(differing) + " of " + std::to_string(frames) + " frames differ, first at frame " +
           std::to_string(first) + "\n";
}

std::string randomBytes(std::mt19937& random, size_t length)
{
    std::string bytes(length, '\0');
    for (char& b : bytes) {
        b = char(random() & 0xff);
    }
    return bytes;
}

// A copy with a few bytes changed in some frames: none, one, or a scattered handful.
std::string damaged(std::mt19937& random, const std::string& frames, size_t frameSize)
{
    std::string copy = frames;
    for (size_t at = 0; at < copy.size(); at += frameSize) {
        const auto kind = random() % 3;
        const size_t changes = kind == 0 ? 0 : kind == 1 ? 1 : 1 + random() % 7;
        for (size_t k = 0; k < changes; ++k) {
            copy[at + random() % frameSize] ^= char(1 + random() % 255);
        }
    }
    return copy;
}

struct SizeCase {
    int width;
    int height;
};

TEST(FramecmpModel, RandomPairsOfEveryFormatAndOddSizes)
{
    const char* const planar[] = {"i420", "nv12", "422p", "nv16", "440p", "gray"};
    const char* const packed[] = {"yuyv", "yvyu", "uyvy", "vyuy"};
    const SizeCase planarSizes[] = {{1, 1}, {3, 5}, {17, 9}, {1, 7}, {100, 3}, {1001, 2}};
    const SizeCase packedSizes[] = {{2, 1}, {6, 5}, {66, 2}};
    std::mt19937 random(20261208);
    Scratch scratch;
    auto check = [&](const std::string& format, const SizeCase& size) {
        SCOPED_TRACE(format + " " + std::to_string(size.width) + "x" + std::to_string(size.height));
        const size_t frameSize = frameSizeOf(format, size.width, size.height);
        const std::string expected = randomBytes(random, 4 * frameSize);
        const std::string actual = damaged(random, expected, frameSize);
        scratch.write("e.yuv", expected);
        scratch.write("a.yuv", actual);
        const std::string geometry = std::to_string(size.width) + "x" + std::to_string(size.height);
        const RunResult result = scratch.run(framecmp, {"-s", geometry, "-f", format, "e.yuv", "a.yuv"});
        EXPECT_EQ(result.out, modelReport(format, size.width, size.height, expected, actual));
        EXPECT_EQ(result.status, expected == actual ? 0 : 1);
        EXPECT_EQ(result.err, "");
    };
    for (const char* format : planar) {
        for (const SizeCase& size : planarSizes) {
            check(format, size);
        }
    }
    for (const char* format : packed) {
        for (const SizeCase& size : packedSizes) {
            check(format, size);
        }
    }
}

TEST(FramecmpModel, EveryDifferingSampleListedWithL)
{
    Scratch scratch;
    std::string expected(2 * 12, '\x10');
    std::string actual = expected;
    actual[5] = '\x20';       // frame 0, Y (1, 1) of 4x2
    actual[12 + 9] = '\x11';  // frame 1, U (1, 0)
    actual[12 + 11] = '\x0f'; // frame 1, V (1, 0)
    scratch.write("e_w4_2_420_32.yuv", expected);
    scratch.write("a_w4_2_420_32.yuv", actual);
    const RunResult listed = scratch.run(framecmp, {"-l", "e_w4_2_420_32.yuv", "a_w4_2_420_32.yuv"});
    EXPECT_EQ(listed.out, "0 Y 1 1 10 20\n1 U 1 0 10 11\n1 V 1 0 10 0f\n2 of 2 frames differ, first at frame 0\n");
    EXPECT_EQ(listed.status, 1);
    const RunResult first = scratch.run(framecmp, {"-n", "1", "e_w4_2_420_32.yuv", "a_w4_2_420_32.yuv"});
    EXPECT_EQ(first.out, "frame 0: Y 1 differ, first at 1,1 10 20, max 16, 33.08 dB; U 0 differ, inf dB; "
                         "V 0 differ, inf dB\n1 of 1 frames differ, first at frame 0 (stopped)\n");
    EXPECT_EQ(first.status, 1);
}

// Rows longer than the kernel takes at once, every sample as far apart as it can be: the
// sums of squares stay exact.
TEST(FramecmpModel, LongRowsOfLargestDifferences)
{
    Scratch scratch;
    scratch.write("e.yuv", std::string(2 * 70001, '\0'));
    scratch.write("a.yuv", std::string(2 * 70001, '\xff'));
    const RunResult result = scratch.run(framecmp, {"-s", "70001x2", "-f", "gray", "e.yuv", "a.yuv"});
    EXPECT_EQ(result.out, "frame 0: Y 140002 differ, first at 0,0 00 ff, max 255, 0.00 dB\n"
                          "1 of 1 frames differ, first at frame 0\n");
}

struct StatusCase {
    std::vector<std::string> args;
    int status;
    std::string err; // what standard error must hold
};

TEST(FramecmpStatus, ExitStatusesAndMessages)
{
    Scratch scratch;
    const std::string frame = std::string(6, 'y') + "uv";
    scratch.write("a_w2_3_400_32.yuv", frame + frame);
    scratch.write("b_w2_3_400_32.yuv", frame + frame);
    scratch.write("c_w2_3_400_32.yuv", frame + "yyyyyyuu");
    scratch.write("d_w4_3_420.yuv", frame);
    scratch.write("bad_w2_3_444_32.yuv", frame);
    scratch.write("plain.yuv", frame);
    std::filesystem::create_directory(scratch.path("dir"));
    // clang-format off
    const StatusCase cases[] = {
        {{"a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 0, ""},
        {{"-s", "4x2", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 0, ""},
        {{"-q", "a_w2_3_400_32.yuv", "c_w2_3_400_32.yuv"}, 1, ""},
        {{"a_w2_3_400_32.yuv", "plain.yuv"}, 1, ""},
        {{"-f", "gray", "plain.yuv", "plain.yuv"}, 2, "framecmp: geometry: give -s WIDTHxHEIGHT"},
        {{"a_w2_3_400_32.yuv", "d_w4_3_420.yuv"}, 2, "framecmp: d_w4_3_420.yuv: the geometry in the name disagrees"},
        {{"bad_w2_3_444_32.yuv", "a_w2_3_400_32.yuv"}, 2, "framecmp: bad_w2_3_444_32.yuv: the geometry in the name"},
        {{"a_w2_3_400_32.yuv", "missing.yuv"}, 2, "framecmp: missing.yuv: cannot open: No such file or directory"},
        {{"-s", "2x3", "a_w2_3_400_32.yuv", "dir"}, 2, "framecmp: dir: cannot read: Is a directory"},
        {{"a_w2_3_400_32.yuv"}, 2, "framecmp: arguments: two files"},
        {{"a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv", "c_w2_3_400_32.yuv"}, 2, "framecmp: arguments: two files"},
        {{"-x", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: -x: unknown option"},
        {{"--frobnicate", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: --frobnicate: unknown option"},
        {{"a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv", "-s"}, 2, "framecmp: -s: needs a value"},
        {{"-s", "0x3", "plain.yuv", "plain.yuv"}, 2, "framecmp: -s 0x3: not WIDTHxHEIGHT"},
        {{"-s", "3", "plain.yuv", "plain.yuv"}, 2, "framecmp: -s 3: not WIDTHxHEIGHT"},
        {{"-s", "3x-2", "plain.yuv", "plain.yuv"}, 2, "framecmp: -s 3x-2: not WIDTHxHEIGHT"},
        {{"-s", "2147483648x1", "plain.yuv", "plain.yuv"}, 2, "framecmp: -s 2147483648x1: not WIDTHxHEIGHT"},
        {{"-s", "65536x32768", "plain.yuv", "plain.yuv"}, 2, "framecmp: 65536x32768: a frame of that size does not fit"},
        {{"-s", "2147483647x1", "-f", "i420", "plain.yuv", "plain.yuv"}, 2, "does not fit in 32 bits"},
        {{"-s", "3x2", "-f", "uyvy", "plain.yuv", "plain.yuv"}, 2, "need an even width"},
        {{"-f", "rgb24", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: -f rgb24: unknown format"},
        {{"-n", "0", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: -n 0: not a count from 1"},
        {{"-n", "99999999999999999999", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "not a count"},
        {{"-s", "2x3", "-", "-"}, 2, "standard input can be only one"},
        {{"-i", "a_w2_3_400_32.yuv", "a_w2_3_400_32.yuv", "c_w2_3_400_32.yuv"}, 2, "is one of the files compared"},
    };
    // clang-format on
    for (const StatusCase& c : cases) {
        SCOPED_TRACE(joined(c.args));
        const RunResult result = scratch.run(framecmp, c.args);
        EXPECT_EQ(result.status, c.status);
        EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
        if (c.err.empty()) {
            EXPECT_EQ(result.err, "");
        }
        if (c.status == 2) {
            EXPECT_EQ(result.out, "");
        }
    }
    EXPECT_EQ(scratch.read("a_w2_3_400_32.yuv"), frame + frame);
    const RunResult quiet = scratch.run(framecmp, {"-q", "a_w2_3_400_32.yuv", "c_w2_3_400_32.yuv"});
    EXPECT_EQ(quiet.out, "");
    EXPECT_TRUE(answersHelpAndVersion(scratch, framecmp, "framecmp"));
}

struct LengthCase {
    std::string expected;
    std::string actual;
    int status;
    std::string report;
};

TEST(FramecmpLengths, FrameCountsAndPartialFrames)
{
    const std::string f = "abcdef"; // one 2x3 luma-only frame
    // clang-format off
    const LengthCase cases[] = {
        {"", "", 0, "identical: 0 frames\n"},
        {f + f, f, 1, "ACTUAL ends after 1 frame, EXPECTED has 2\nfirst 1 frame identical, lengths differ\n"},
        // ACTUAL is read one frame and a byte past EXPECTED's end, no further: it may be endless.
        {f, f + f + f, 1, "EXPECTED ends after 1 frame, ACTUAL has more\nfirst 1 frame identical, lengths differ\n"},
        {f + "abc", f, 1, "EXPECTED ends with a partial frame 1 of 3 bytes\nfirst 1 frame identical, lengths differ\n"},
        {f + f, f + "ab", 1, "ACTUAL ends after 1 frame, EXPECTED has 2\nACTUAL ends with a partial frame 1 of 2 bytes\n"
                              "first 1 frame identical, lengths differ\n"},
        {f + "abc", f + "abd", 1, "EXPECTED ends with a partial frame 1 of 3 bytes\n"
                                  "ACTUAL ends with a partial frame 1 of 3 bytes\nfirst 1 frame identical, lengths differ\n"},
        {f + "abc", f + "abc", 0, "EXPECTED ends with a partial frame 1 of 3 bytes\n"
                                  "ACTUAL ends with a partial frame 1 of 3 bytes, alike in both\nidentical: 1 frame\n"},
        {"abcdeF" + f, f, 1, "frame 0: Y 1 differ, first at 1,2 46 66, max 32, 25.81 dB\n"
                             "ACTUAL ends after 1 frame, EXPECTED has 2\n1 of 1 frames differ, first at frame 0\n"},
    };
    // clang-format on
    Scratch scratch;
    for (const LengthCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.expected.size()) + " against " + std::to_string(c.actual.size()) + " bytes");
        scratch.write("e.yuv", c.expected);
        scratch.write("a.yuv", c.actual);
        const RunResult result = scratch.run(framecmp, {"-s", "2x3", "-f", "gray", "e.yuv", "a.yuv"});
        EXPECT_EQ(result.out, c.report);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(scratch.run(framecmp, {"-q", "-s", "2x3", "-f", "gray", "e.yuv", "a.yuv"}).status, c.status);
    }
}

// Four frames of a 176x144 4:2:0 clip through a trace and traceframes, without -P (NV12).
class FramecmpDamage : public ::testing::Test {
protected:
    static constexpr size_t luma = 176 * 144;
    static constexpr size_t frameSize = luma * 3 / 2;
    Scratch scratch;
    std::string golden;

    void SetUp() override
    {
        ASSERT_EQ(scratch.run(tracegen, {"-n", "4", "176", "144", "clip_w176_144_420_32.txt"}).status, 0);
        ASSERT_EQ(scratch.run(traceframes, {"clip_w176_144_420_32.txt"}).status, 0);
        golden = scratch.read("clip_w176_144_420_32.yuv");
        ASSERT_EQ(golden.size(), 4 * frameSize);
    }

    RunResult compareWith(const std::string& copy)
    {
        scratch.write("out_w176_144_420_32.yuv", copy);
        return scratch.run(framecmp, {"-f", "nv12", "clip_w176_144_420_32.yuv", "out_w176_144_420_32.yuv"});
    }
};

TEST_F(FramecmpDamage, OnePixel)
{
    std::string copy = golden;
    copy[2 * frameSize + 50 * 176 + 100] ^= 0x04;
    const RunResult result = compareWith(copy);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("frame 2: Y 1 differ, first at 100,50 "), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("U 0 differ, inf dB; V 0 differ, inf dB\n1 of 4 frames differ, first at frame 2\n"),
              std::string::npos)
        << result.out;
}

TEST_F(FramecmpDamage, OneChromaSample)
{
    std::string copy = golden;
    const size_t at = frameSize + luma + 3 * 176 + 2 * 7 + 1; // frame 1, V (7, 3)
    copy[at] = char(copy[at] + 3);
    const RunResult result = compareWith(copy);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("frame 1: Y 0 differ, inf dB; U 0 differ, inf dB; V 1 differ, first at 7,3 "),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find(", max 3, "), std::string::npos) << result.out;
}

TEST_F(FramecmpDamage, MissingFrame)
{
    const std::string copy = golden.substr(0, frameSize) + golden.substr(2 * frameSize);
    const RunResult result = compareWith(copy);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out.find("frame 0:"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("ACTUAL ends after 3 frames, EXPECTED has 4\n2 of 3 frames differ, first at frame 1\n"),
              std::string::npos)
        << result.out;
}

TEST_F(FramecmpDamage, TruncatedFrame)
{
    const RunResult result = compareWith(golden.substr(0, 3 * frameSize + 1000));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "ACTUAL ends after 3 frames, EXPECTED has 4\nACTUAL ends with a partial frame 3 of 1000 "
                          "bytes\nfirst 3 frames identical, lengths differ\n");
}

TEST_F(FramecmpDamage, PictureOfTheFirstDifferingFrame)
{
    std::string copy = golden;
    copy[frameSize + 7] ^= 0x40;
    scratch.write("out_w176_144_420_32.yuv", copy);
    const RunResult result =
        scratch.run(framecmp, {"-q", "-i", "diff.png", "clip_w176_144_420_32.yuv", "out_w176_144_420_32.yuv"});
#ifdef FRAMECMP_HAVE_PNG
    EXPECT_EQ(result.status, 1);
    const std::string png = scratch.read("diff.png");
    ASSERT_GT(png.size(), 24U);
    EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
    // IHDR: the three panels side by side with two gaps of 4, 176 rows.
    EXPECT_EQ(png.substr(16, 8), bytesOf("00 00 02 18 00 00 00 90"));
    const RunResult same =
        scratch.run(framecmp, {"-i", "none.png", "clip_w176_144_420_32.yuv", "clip_w176_144_420_32.yuv"});
    EXPECT_EQ(same.status, 0);
    EXPECT_FALSE(scratch.exists("none.png"));
    EXPECT_NE(same.err.find("no frame differs"), std::string::npos);
#else
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("without libpng"), std::string::npos);
#endif
}

// ffmpeg's psnr filter on the same pairs: the per-plane PSNR of each differing frame agrees.
TEST(FramecmpPsnr, AgreesWithFfmpeg)
{
    if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0 || sanitizedBuild()) {
        GTEST_SKIP() << "ffmpeg is not installed (or the build is sanitized: ffmpeg is slow to start there)";
    }
    struct PsnrCase {
        std::string format;
        std::string ffmpegFormat;
        int width;
        int height;
    };
    const PsnrCase cases[] = {
        {"i420", "yuv420p", 33, 17}, {"422p", "yuv422p", 20, 9}, {"440p", "yuv440p", 7, 11}, {"gray", "gray", 16, 16}};
    std::mt19937 random(7);
    Scratch scratch;
    for (const PsnrCase& c : cases) {
        SCOPED_TRACE(c.format);
        const size_t frameSize = frameSizeOf(c.format, c.width, c.height);
        const std::string expected = randomBytes(random, 3 * frameSize);
        std::string actual = expected;
        for (size_t i = 0; i < actual.size(); i += 1 + random() % 5) {
            actual[i] = char(actual[i] + int(random() % 9) - 4);
        }
        scratch.write("e.yuv", expected);
        scratch.write("a.yuv", actual);
        const std::string size = std::to_string(c.width) + "x" + std::to_string(c.height);
        const RunResult ours = scratch.run(framecmp, {"-s", size, "-f", c.format, "e.yuv", "a.yuv"});
        ASSERT_EQ(ours.status, 1);
        const std::string input = " -f rawvideo -pix_fmt " + c.ffmpegFormat + " -s " + size + " -i ";
        const std::string command = "cd " + scratch.path("") + " && ffmpeg -nostdin -loglevel error" + input + "e.yuv" +
                                    input + "a.yuv -lavfi psnr=stats_file=psnr.log -f null -";
        ASSERT_EQ(std::system(command.c_str()), 0);
        std::istringstream log(scratch.read("psnr.log"));
        std::istringstream report(ours.out);
        std::string logLine;
        std::string reportLine;
        int frames = 0;
        while (std::getline(log, logLine) && std::getline(report, reportLine)) {
            ++frames;
            for (const char plane : std::string(c.format == "gray" ? "y" : "yuv")) {
                const size_t theirs = logLine.find(std::string("psnr_") + plane + ":");
                const size_t mine = reportLine.find(std::string(1, char(std::toupper(plane))) + " ");
                ASSERT_NE(theirs, std::string::npos) << logLine;
                ASSERT_NE(mine, std::string::npos) << reportLine;
                const double theirValue = std::stod(logLine.substr(theirs + 7));
                const size_t dB = reportLine.find(" dB", mine);
                const size_t start = reportLine.rfind(' ', dB - 1) + 1;
                const double myValue = std::stod(reportLine.substr(start, dB - start));
                EXPECT_NEAR(myValue, theirValue, 0.0101) << reportLine << "\n" << logLine;
            }
        }
        EXPECT_EQ(frames, 3);
    }
}

// The geometry in a file name, read by traceframes and by framecmp alike: the same marker,
// width, height and sampling; traceframes alone reads the bus width after them. Each stem
// is tried as STEM_32.txt with traceframes and as STEM.yuv with framecmp.
struct NameCase {
    std::string stem;
    int width; // 0: the name is refused
    int height;
    int sampling;
};

TEST(GeometryRule, SameInTraceframesAndFramecmp)
{
    // clang-format off
    const NameCase cases[] = {
        {"clip_w176_144_420", 176, 144, 420},
        {"x_w640x480_422", 640, 480, 422},
        {"runs_w2/clip_w6_4_440", 6, 4, 440},
        {"c_w8_2_400", 8, 2, 400},
        {"a_w6_w4_2_420", 4, 2, 420},      // the rightmost marker
        {"a_w4_2_420_w", 4, 2, 420},       // "_w" with no digit after it is no marker
        {"a_w4_2_420_w9", 0, 0, 0},        // ... but with one it is
        {"clip_W6_4_420", 0, 0, 0},
        {"clip_w_6_4_420", 0, 0, 0},
        {"clip_w6_4_444", 0, 0, 0},
        {"clip_w0_4_420", 0, 0, 0},
        {"clip_w6_4", 0, 0, 0},
        {"runs_w2/clip", 0, 0, 0},
        {"clip_w3000000000_4_420", 0, 0, 0},
        {"clip_w6_2147483648_420", 0, 0, 0},
    };
    // clang-format on
    for (const NameCase& c : cases) {
        SCOPED_TRACE(c.stem);
        Scratch scratch;
        std::filesystem::create_directories(scratch.path("runs_w2"));
        const std::string trace = c.stem + "_32.txt";
        scratch.write(trace, "");
        const RunResult converted = scratch.run(traceframes, {"-O", "out.raw", trace});
        if (c.width == 0) {
            EXPECT_EQ(converted.status, 8);
            EXPECT_NE(scratch.run(framecmp, {c.stem + ".yuv", c.stem + ".yuv"}).status, 0);
            continue;
        }
        EXPECT_EQ(converted.status, 0);
        EXPECT_EQ(converted.out.substr(0, converted.out.find("bus width")),
                  "use input file '" + trace + "'\nwidth     = " + std::to_string(c.width) + "\nheight    = " +
                      std::to_string(c.height) + "\nsampling  = YUV" + std::to_string(c.sampling) + "\n");
        // Where the last byte of a frame lies tells framecmp's width, height and sampling.
        const int coverX = c.sampling == 440 ? 1 : 2;
        const int coverY = c.sampling == 422 ? 1 : 2;
        const int cw = (c.width + coverX - 1) / coverX;
        const int ch = (c.height + coverY - 1) / coverY;
        const size_t frameSize = size_t(c.width) * size_t(c.height) + (c.sampling == 400 ? 0 : 2 * size_t(cw * ch));
        const std::string last = c.sampling == 400
                                     ? "0 Y " + std::to_string(c.width - 1) + " " + std::to_string(c.height - 1)
                                     : "0 V " + std::to_string(cw - 1) + " " + std::to_string(ch - 1);
        scratch.write(c.stem + ".yuv", std::string(frameSize, '\0'));
        std::filesystem::create_directories(scratch.path("a"));
        scratch.write("a/actual.yuv", std::string(frameSize - 1, '\0') + "\x01");
        const RunResult compared = scratch.run(framecmp, {"-l", c.stem + ".yuv", "a/actual.yuv"});
        EXPECT_EQ(compared.status, 1) << compared.err;
        EXPECT_EQ(compared.out, last + " 00 01\n1 of 1 frames differ, first at frame 0\n");
    }
}

} // namespace
