// tracegen as a user program: its traces of a raw file come back through traceframes -P as
// the frames they were made from (every row shape is held to that in the traceframes suite);
// its numbers, messages and statuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <random>

#include "support/models.h"
#include "support/scratch.h"

namespace {

const std::string tracegen = TRACEGEN_BIN;
const std::string traceframes = TRACEFRAMES_BIN;

TEST(TracegenRoundTrip, RawFramesInTraceOut)
{
    Scratch scratch;
    std::mt19937 random(3);
    std::string raw(5 * 288, 0); // five 24x8 4:2:0 frames of 288 bytes
    for (char& byte : raw) {
        byte = char(random() & 0xff);
    }
    scratch.write("in.raw", raw);
    ASSERT_EQ(scratch.run(tracegen, {"-i", "in.raw", "-b", "64", "24", "8", "r_w24_8_420_64.txt"}).status, 0);
    ASSERT_EQ(scratch.run(traceframes, {"-P", "r_w24_8_420_64.txt"}).status, 0);
    EXPECT_EQ(scratch.read("r_w24_8_420_64.yuv"), raw);

    // Standard input in, standard output out: the same trace.
    const RunResult piped = scratch.run("/bin/sh", {"-c", "'" + tracegen + "' -i - -b 64 24 8 - < in.raw"});
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.out, scratch.read("r_w24_8_420_64.txt"));

    // A partial frame at the end: trouble, and the whole frames before it are in the trace.
    scratch.write("short.raw", raw.substr(0, raw.size() - 5));
    const RunResult partial = scratch.run(tracegen, {"-i", "short.raw", "-b", "64", "24", "8", "s_w24_8_420_64.txt"});
    EXPECT_EQ(partial.status, 2);
    EXPECT_EQ(partial.err, "tracegen: short.raw: ends with a partial frame of 283 bytes of 288; the whole frames "
                           "before it are written\n");
    ASSERT_EQ(scratch.run(traceframes, {"-P", "s_w24_8_420_64.txt"}).status, 0);
    EXPECT_EQ(scratch.read("s_w24_8_420_64.yuv"), raw.substr(0, 4 * 288));
}

// Without comments a packed trace is nothing but rows of hexadecimal digits: a memory file.
TEST(TracegenRoundTrip, PackedWithoutCommentsIsAMemoryFile)
{
    Scratch scratch;
    ASSERT_EQ(scratch.run(tracegen, {"-c", "0", "-S", "packed", "-n", "2", "16", "8", "m.hex"}).status, 0);
    std::istringstream lines(scratch.read("m.hex"));
    std::string line;
    size_t rows = 0;
    while (std::getline(lines, line)) {
        ++rows;
        ASSERT_EQ(line.size(), 8U) << line;
        EXPECT_EQ(line.find_first_not_of("0123456789abcdef"), std::string::npos) << line;
    }
    EXPECT_EQ(rows, 2U * 16 * 8 * 3 / 2 / 4);
}

// Buses from 8 to 512 bits, -D and -E at each, the row shapes spread over them: raw frames of
// random bytes, so that every misplaced byte shows. 24 and 40 bits split U, V pairs across
// rows; 3x1 at 4:2:0 ends its frame in a byte no chroma plane holds.
struct WidthCase {
    TraceShape shape;
    int depth;
    bool reversed;
    const char* rowShape;
};

const WidthCase widthCases[] = {
    {{6, 4, 420, 1}, 8, false, "spaced"},      {{2, 2, 422, 1, 2}, 10, true, "packed"},
    {{3, 1, 420, 1}, 8, false, "spaced"},      {{6, 2, 422, 3}, 8, false, "crlf"},
    {{4, 6, 420, 3, 2}, 10, true, "tabs"},     {{10, 2, 420, 5}, 8, true, "trailing"},
    {{10, 2, 422, 5, 2}, 10, false, "upper"},  {{16, 4, 420, 16}, 8, true, "packed"},
    {{8, 4, 420, 16, 2}, 12, true, "mixed"},   {{64, 4, 420, 64}, 8, false, "packed"},
    {{16, 8, 400, 64, 2}, 16, true, "spaced"}, {{32, 4, 420, 64, 2}, 10, true, "upper"},
};

// Two frames of random bytes made into a trace `t.txt` without comments; returns the frames.
std::string writeWidthTrace(const Scratch& scratch, const WidthCase& c, RunResult& result)
{
    std::mt19937 random(7);
    std::string raw(2 * frameBytes(c.shape), 0);
    for (char& byte : raw) {
        byte = char(random() & 0xff);
    }
    scratch.write("in.raw", raw);
    const auto n = [](int number) { return std::to_string(number); };
    const TraceShape& s = c.shape;
    std::vector<std::string> args = {"-c",       "0",           "-i",   "in.raw",   "-b", n(s.busBytes * 8),
                                     "-s",       n(s.sampling), "-D",   n(c.depth), "-S", c.rowShape,
                                     n(s.width), n(s.height),   "t.txt"};
    if (c.reversed) {
        args.insert(args.begin(), "-E");
    }
    result = scratch.run(tracegen, args);
    return raw;
}

// The model's spaced rows in the other shapes (all but mixed, which is held to traceframes).
std::string inRowShape(const std::string& rows, const std::string& shape)
{
    std::string shaped;
    for (const char c : rows) {
        if (c == '\n' && (shape == "crlf" || shape == "trailing")) {
            shaped += shape == "crlf" ? "\r\n" : " \n";
        } else if (c == ' ' && shape == "tabs") {
            shaped += '\t';
        } else {
            shaped += shape == "upper" ? char(std::toupper(static_cast<unsigned char>(c))) : c;
        }
    }
    return shaped;
}

TEST(TracegenWidths, RowsAgainstTheBusOrderModel)
{
    for (const WidthCase& c : widthCases) {
        SCOPED_TRACE(std::to_string(c.shape.busBytes * 8) + " bits, " + c.rowShape + ", -D " + std::to_string(c.depth) +
                     (c.reversed ? " -E" : ""));
        const std::string shape = c.rowShape;
        if (shape == "mixed") {
            continue;
        }
        Scratch scratch;
        RunResult result;
        const std::string raw = writeWidthTrace(scratch, c, result);
        ASSERT_EQ(result.status, 0) << result.err;
        const std::string rows = traceRows(busOrder(c.shape, raw), c.shape.busBytes, c.reversed, shape == "packed");
        EXPECT_EQ(scratch.read("t.txt"), inRowShape(rows, shape));
    }
}

// Needs traceframes -G with buses of 8 to 512 bits: fails until that is merged.
TEST(TracegenWidths, RoundTripThroughTraceframesG)
{
    for (const WidthCase& c : widthCases) {
        const TraceShape& s = c.shape;
        const std::string geometry = std::to_string(s.width) + "x" + std::to_string(s.height) + ":" +
                                     std::to_string(s.sampling) + ":" + std::to_string(s.busBytes * 8);
        SCOPED_TRACE(geometry + ", " + c.rowShape + ", -D " + std::to_string(c.depth) + (c.reversed ? " -E" : ""));
        Scratch scratch;
        RunResult result;
        const std::string raw = writeWidthTrace(scratch, c, result);
        ASSERT_EQ(result.status, 0) << result.err;
        std::vector<std::string> args = {"-G", geometry, "-D", std::to_string(c.depth)};
        if (c.reversed) {
            args.emplace_back("-E");
        }
        const auto run = [&](std::vector<std::string> more) {
            more.insert(more.begin(), args.begin(), args.end());
            more.emplace_back("t.txt");
            return scratch.run(traceframes, more);
        };
        EXPECT_EQ(run({"-O", "bus.yuv"}).status, 0);
        EXPECT_EQ(scratch.read("bus.yuv"), busOrder(s, raw));
        EXPECT_EQ(run({"-P", "-O", "planar.yuv"}).status, 0);
        EXPECT_EQ(scratch.read("planar.yuv"), raw);
    }
}

struct TracegenCase {
    std::vector<std::string> args;
    int status;
    std::string err; // the start of standard error
};

TEST(TracegenStatus, NumbersMessagesAndStatuses)
{
    // clang-format off
    const TracegenCase cases[] = {
        {{"8", "8", "o.txt"}, 0, ""},
        {{"-s", "400", "-n", "0", "8", "8", "o.txt"}, 0, ""},
        {{"8", "8"}, 2, "tracegen: arguments: WIDTH, HEIGHT and OUTPUT are needed\n"},
        {{"8", "8", "o.txt", "more"}, 2, "tracegen: arguments:"},
        {{"0", "8", "o.txt"}, 2, "tracegen: width 0: not a number from 1 to 2147483647\n"},
        {{"8", "8x", "o.txt"}, 2, "tracegen: height 8x: not a number"},
        {{"--", "8", "-8", "o.txt"}, 2, "tracegen: height -8: not a number"},
        {{"8", "", "o.txt"}, 2, "tracegen: height : not a number"},
        {{"2147483648", "1", "o.txt"}, 2, "tracegen: width 2147483648: not a number"},
        {{"65536", "32768", "o.txt"}, 2, "tracegen: geometry: 65536x32768 YUV420 on a 32-bit bus: a frame over"},
        {{"-s", "400", "2147483647", "2", "o.txt"}, 2, "tracegen: geometry: 2147483647x2 YUV400 on a 32-bit bus: a"},
        {{"-s", "444", "8", "8", "o.txt"}, 2, "tracegen: -s 444: the sampling is one of 420, 422, 440, 400\n"},
        {{"-s", "+420", "8", "8", "o.txt"}, 2, "tracegen: -s +420: the sampling"},
        {{"-b", "12", "8", "8", "o.txt"}, 2, "tracegen: -b 12: the bus width is a multiple of 8 from 8 to 512\n"},
        {{"-b", "520", "8", "8", "o.txt"}, 2, "tracegen: -b 520: the bus width is a multiple of 8 from 8 to 512\n"},
        {{"-n", "-1", "8", "8", "o.txt"}, 2, "tracegen: -n -1: not a number from 0 to 2147483647\n"},
        {{"-c", "99999999999", "8", "8", "o.txt"}, 2, "tracegen: -c 99999999999: not a number"},
        {{"-S", "wavy", "8", "8", "o.txt"}, 2, "tracegen: -S wavy: unknown row shape\n"},
        {{"-x", "8", "8", "o.txt"}, 2, "tracegen: -x: unknown option\n"},
        {{"8", "8", "o.txt", "-n"}, 2, "tracegen: -n: needs a value\n"},
        {{"3", "3", "o.txt"}, 2, "tracegen: geometry: 3x3 YUV420 on a 32-bit bus: the luma plane of 9 bytes and the "
                                 "frame of 13 must be whole bus words of 32 bits, as traceframes reads them\n"},
        {{"-s", "400", "-b", "64", "12", "1", "o.txt"}, 2, "tracegen: geometry: 12x1 YUV400 on a 64-bit bus: the luma"},
        {{"-b", "24", "4", "4", "o.txt"}, 2, "tracegen: geometry: 4x4 YUV420 on a 24-bit bus: the luma plane of 16 "
                                             "bytes and the frame of 24 must be whole bus words of 24 bits"},
        {{"-b", "8", "-D", "10", "-s", "440", "-n", "0", "2147483647", "1", "o.txt"}, 2,
         "tracegen: geometry: 2147483647x1 YUV440 of 10-bit samples on an 8-bit bus: a frame over"},
        {{"-b", "512", "-D", "10", "24", "2", "o.txt"}, 2, "tracegen: geometry: 24x2 YUV420 of 10-bit samples on a 512-bit bus: the luma plane of 96 bytes and the frame of 144"},
        {{"8", "3", "o.txt"}, 2, "tracegen: 8x3: the synthetic picture needs an even width and height"},
        {{"-i", "missing.raw", "8", "8", "o.txt"}, 2, "tracegen: missing.raw: cannot open: No such file or directory\n"},
        {{"-i", "dir", "8", "8", "o.txt"}, 2, "tracegen: dir: cannot read: Is a directory\n"},
        {{"8", "8", "dir/"}, 2, "tracegen: dir/: cannot open: Is a directory\n"},
        {{"-i", "keep.raw", "8", "8", "keep.raw"}, 2, "tracegen: keep.raw: is the raw input; not overwritten\n"},
    };
    // clang-format on
    for (const TracegenCase& c : cases) {
        SCOPED_TRACE(joined(c.args));
        Scratch scratch;
        std::filesystem::create_directory(scratch.path("dir"));
        scratch.write("keep.raw", std::string(96, 'k'));
        const RunResult result = scratch.run(tracegen, c.args);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.err.substr(0, c.err.size()), c.err);
        if (c.err.empty()) {
            EXPECT_EQ(result.err, "");
        }
        EXPECT_EQ(scratch.read("keep.raw"), std::string(96, 'k'));
        if (c.status == 2 && c.args.back() == "o.txt" && c.args[0] != "-i") {
            EXPECT_FALSE(scratch.exists("o.txt")); // refused before the output is opened
        }
    }
    Scratch scratch;
    EXPECT_TRUE(answersHelpAndVersion(scratch, tracegen, "tracegen"));
    if (std::filesystem::exists("/dev/full")) {
        const RunResult full = scratch.run(tracegen, {"-n", "3", "64", "64", "/dev/full"});
        EXPECT_EQ(full.status, 2);
        EXPECT_EQ(full.err, "tracegen: /dev/full: cannot write: No space left on device\n");
    }
}

} // namespace
