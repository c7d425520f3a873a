// traceframes in process: this file holds the program itself, its main renamed, built with
// the plain row decoder and an input block of 61 bytes. Its row conversion and decoders are
// held to the C library, every other decoder the processor runs to the plain one, the sizes
// of every boundary name to a model in 128-bit integers; and the row tables run both on the
// shipped program (the decoder the processor picks, the real block) and on this build in a
// forked child, where lines straddle blocks and outgrow them on short traces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <iterator>
#include <random>

#include "support/models.h"
#include "support/scratch.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#define main traceframesMain
#include "../../traceframes/main.cpp"
#undef main
#pragma GCC diagnostic pop

// In the sanitizer build every forked run would end with a leak scan of the whole test
// process, the bulk of its time; the program's own leak checks run where it runs as a binary.
extern "C" const char* __asan_default_options() // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
{
    return "detect_leaks=0";
}

namespace {

const std::string traceframes = programPath(TRACEFRAMES_BIN);
const std::string tracegen = programPath(TRACEGEN_BIN);

// Blocks of 61 bytes, so that short traces reach every refill and every line longer than a
// block.
const struct SmallInputBlocks {
    SmallInputBlocks() { inputBlockSize = 61; }
} smallInputBlocks;

// ---- Row conversion and decoders ----

// A row of a 64-bit bus, where x and z digits are read as 0.
RowReading withKernel(const std::string& row)
{
    RowValues values{};
    const int count = convertNumbers(row.data(), row.data() + row.size(), 8, values);
    return {count, std::vector<uint8_t>(values.bytes, values.bytes + std::max(count, 0))};
}

// The C library's reading of the row with each x and z taken for the digit 0, as -X reads
// them: a row without them reads as the C library reads it.
RowReading readRowWithUnknownsAsZero(std::string row)
{
    std::replace_if(
        row.begin(), row.end(), [](char c) { return std::strchr("xXzZ", c) != nullptr && c != 0; }, '0');
    return readRowWithLibc(row);
}

RowReading withLongLinePath(const std::string& row)
{
    // Lines longer than the input block are compacted piece by piece before converting.
    CompactRow compact{};
    for (size_t at = 0; at < row.size(); at += 7) {
        compactRow(row.data() + at, row.data() + std::min(row.size(), at + 7), compact);
    }
    return withKernel(std::string(compact.text, compact.length));
}

std::string randomRow(std::mt19937& random)
{
    // clang-format off
    static const std::string pieces[] = {"0", "1", "7", "9", "a", "f", "A", "F", "4a", " ", " ", "  ", "\t", "\r",
                                         "\v", "\f", "+", "-", "0x", "0X", "x", ";", "g", "#", "z", std::string(1, '\0'),
                                         "\xff", "\x80", "ab", "123", std::string(40, ' ')};
    // clang-format on
    static const std::string blanks[] = {"", " ", "\t ", "\r\n", std::string(30, ' ')};
    static const std::string numbers[] = {"0", "f", "4a", "+f", "-1", "0x", "-f", "+", "abc"};
    std::uniform_int_distribution<size_t> pick(0, std::size(pieces) - 1);
    if (random() % 4 == 0) {
        // Mostly numbers, as rows are, with signs and prefixes that use up a number's width.
        std::string row;
        for (int n = int(random() % 11); n > 0; --n) {
            row += blanks[random() % std::size(blanks)] + numbers[random() % std::size(numbers)];
        }
        return row;
    }
    std::uniform_int_distribution<int> length(0, random() % 8 == 0 ? 120 : 24);
    std::string row;
    for (int n = length(random); n > 0; --n) {
        row += pieces[pick(random)];
    }
    return row;
}

TEST(RowConversion, MatchesTheCLibraryOnRandomRowsWithUnknownsAsZero)
{
    std::mt19937 random(20261208);
    for (int i = 0; i < 200000; ++i) {
        const std::string row = randomRow(random);
        const RowReading expected = readRowWithUnknownsAsZero(row);
        const RowReading fast = withKernel(row);
        ASSERT_EQ(fast.count, expected.count) << testing::PrintToString(row);
        ASSERT_EQ(fast.bytes, expected.bytes) << testing::PrintToString(row);
        const RowReading compacted = withLongLinePath(row);
        ASSERT_EQ(compacted.count, expected.count) << testing::PrintToString(row);
        ASSERT_EQ(compacted.bytes, expected.bytes) << testing::PrintToString(row);
    }
}

TEST(RowKernelChoice, FollowsTheProcessorFacts)
{
    struct Case {
        const char* what;
        CpuFacts cpu;
        RowKernel chosen;
    };
    constexpr CpuVendor intel = CpuVendor::intel;
    constexpr CpuVendor amd = CpuVendor::amd;
    constexpr CpuVendor hygon = CpuVendor::hygon;
    constexpr bool y = true;
    constexpr bool n = false;
    // clang-format off
    const Case cases[] = {
        // vendor, family, SSE2, AVX2, BMI2, AVX-512 F, BW, VBMI2, system saves YMM, ZMM
        {"Intel with AVX2 and BMI2",                    {intel, 6, y, y, y, n, n, n, y, n}, RowKernel::avx2},
        {"Intel with AVX-512 VBMI2",                    {intel, 6, y, y, y, y, y, y, y, y}, RowKernel::avx512},
        {"Intel with AVX-512 but no VBMI2",             {intel, 6, y, y, y, y, y, n, y, y}, RowKernel::avx2},
        {"Intel with AVX2, BMI2 hidden",                {intel, 6, y, y, n, n, n, n, y, n}, RowKernel::sse2},
        {"Intel before AVX2",                           {intel, 6, y, n, n, n, n, n, y, n}, RowKernel::sse2},
        {"AVX2 without the system's YMM state",         {intel, 6, y, y, y, n, n, n, n, n}, RowKernel::sse2},
        {"AVX-512 without the system's ZMM state",      {intel, 6, y, y, y, y, y, y, y, n}, RowKernel::avx2},
        {"AVX-512 without the YMM state either",        {intel, 6, y, y, y, y, y, y, n, n}, RowKernel::sse2},
        {"AMD family 0x15, microcoded pext",            {amd, 0x15, y, y, y, n, n, n, y, n}, RowKernel::sse2},
        {"AMD family 0x17 (Zen, Zen 2)",                {amd, 0x17, y, y, y, n, n, n, y, n}, RowKernel::sse2},
        {"AMD family 0x19 (Zen 3)",                     {amd, 0x19, y, y, y, n, n, n, y, n}, RowKernel::avx2},
        {"AMD family 0x19 (Zen 4)",                     {amd, 0x19, y, y, y, y, y, y, y, y}, RowKernel::avx512},
        {"AMD family 0x1A (Zen 5)",                     {amd, 0x1a, y, y, y, y, y, y, y, y}, RowKernel::avx512},
        {"AMD family 0x1A, AVX-512 state off",          {amd, 0x1a, y, y, y, y, y, y, y, n}, RowKernel::avx2},
        {"Hygon family 0x18 (Zen)",                     {hygon, 0x18, y, y, y, n, n, n, y, n}, RowKernel::sse2},
        {"another vendor with AVX2 and BMI2",           {CpuVendor::other, 7, y, y, y, n, n, n, y, n}, RowKernel::avx2},
        {"no SSE2: not x86-64",                         {CpuVendor::other, 0, n, n, n, n, n, n, n, n}, RowKernel::plain},
    };
    // clang-format on
    for (const Case& c : cases) {
        EXPECT_EQ(chooseRowKernel(c.cpu), c.chosen) << c.what;
    }
}

// The decoders this processor runs, by name, the plain one first.
std::vector<std::pair<RowKernel, const char*>> runnableKernels()
{
    std::vector<std::pair<RowKernel, const char*>> kernels = {{RowKernel::plain, "plain"}};
#ifdef TRACEFRAMES_X86
    const CpuFacts cpu = readCpuFacts();
    kernels.emplace_back(RowKernel::sse2, "SSE2");
    if (cpu.avx2 && cpu.bmi2 && cpu.osSavesAvx) {
        kernels.emplace_back(RowKernel::avx2, "AVX2");
    }
    if (cpu.avx512f && cpu.avx512bw && cpu.avx512vbmi2 && cpu.bmi2 && cpu.osSavesAvx512) {
        kernels.emplace_back(RowKernel::avx512, "AVX-512");
    }
#endif
    return kernels;
}

// One line of a trace in one of the shapes simulators write, or damaged at a random place.
std::string randomLine(std::mt19937& random, int busBytes)
{
    static const char* const digits[2] = {"0123456789abcdef", "0123456789ABCDEF"};
    static const std::string separators[] = {" ", "", "\t", "  ", " \t", "\r", std::string(70, ' ')};
    const int shape = int(random() % 8);
    std::string line;
    if (random() % 16 == 0) {
        return random() % 2 == 0 ? "# a comment 4a 4a\n" : "\n";
    }
    if (random() % 8 == 0) {
        line += random() % 2 == 0 ? " " : "\t ";
    }
    for (int k = 0; k < busBytes; ++k) {
        if (k > 0) {
            line += shape < 4 ? separators[shape] : separators[random() % std::size(separators)];
        }
        line += digits[random() % 2][random() % 16];
        line += digits[random() % 2][random() % 16];
    }
    if (random() % 6 == 0) {
        line += random() % 2 == 0 ? " " : " \t ";
    }
    line += random() % 4 == 0 ? "\r\n" : "\n";
    if (random() % 5 == 0) {
        // Damage: a bad character, a lost digit, an odd run, a number more or a note.
        static const std::string damage[] = {"g",    "x",  "+", "-",  ";",   "#",       std::string(1, '\0'),
                                             "\xff", "\v", "4", "4a", " 4a", " ; beat", " // x",
                                             "\n",   "\r"};
        const std::string piece = damage[random() % std::size(damage)];
        const size_t at = random() % line.size();
        if (random() % 2 == 0) {
            line.insert(at, piece);
        } else {
            line.replace(at, 1, piece);
        }
    }
    return line;
}

// Whether the fast decoder takes a line (with its line feed): only hexadecimal digits,
// blanks, tabs and carriage returns, runs of digits of even length, 2 x bus bytes digits.
bool takenByTheFastDecoder(const std::string& line, int busBytes)
{
    int count = 0;
    int run = 0;
    for (const char c : line.substr(0, line.size() - 1)) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            ++count;
            ++run;
            continue;
        }
        if (c != ' ' && c != '\t' && c != '\r') {
            return false;
        }
        if (run % 2 != 0) {
            return false;
        }
        run = 0;
    }
    return run % 2 == 0 && count == 2 * busBytes;
}

// The digits of a line taken two at a time: what a line the fast decoder takes reads as on a
// bus wider than the eight numbers the C library model reads.
RowReading digitPairs(const std::string& line)
{
    std::string digits;
    std::copy_if(line.begin(), line.end(), std::back_inserter(digits),
                 [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
    std::vector<uint8_t> bytes;
    for (size_t at = 0; at + 1 < digits.size(); at += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoi(digits.substr(at, 2), nullptr, 16)));
    }
    return {static_cast<int>(bytes.size()), bytes};
}

// One run of a decoder on `text`, the first `available` characters of it, as checkasm runs a
// kernel: the text ends 64 characters before its allocation (the decoder may read that far
// past it) and the output sits between two guards of 16 bytes with room for `rows` rows and
// the slack; the decoder may write the slack, never the guards.
struct Decoded {
    size_t taken;
    int64_t rows;
    std::vector<uint8_t> bytes; // the rows decoded
    bool guardsKept;
};

Decoded decodeWith(RowKernel kernel, const std::string& text, size_t available, int32_t busBytes, int64_t maxRows,
                   size_t rowsRoom)
{
    constexpr size_t guard = 16;
    constexpr uint8_t guardByte = 0xa5;
    std::vector<char> buffer(available + windowSize, '4');
    std::copy(text.begin(), text.begin() + long(available), buffer.begin());
    const size_t room = rowsRoom * size_t(busBytes) + bufferSlack;
    std::vector<uint8_t> out(guard + room + guard, guardByte);
    int64_t rows = -1;
    const size_t taken = decodeRows(kernel, buffer.data(), available, busBytes, maxRows, out.data() + guard, rows);
    const auto kept = [](uint8_t b) { return b == guardByte; };
    const size_t decoded = size_t(std::max<int64_t>(rows, 0)) * size_t(busBytes);
    return {taken, rows, std::vector<uint8_t>(out.begin() + guard, out.begin() + long(guard + std::min(decoded, room))),
            std::all_of(out.begin(), out.begin() + guard, kept) && std::all_of(out.end() - guard, out.end(), kept)};
}

// Random texts of every row shape, damaged, cut anywhere and limited to a few rows: the plain
// decoder takes exactly the lines the C library reads as rows of the bus, and every other
// decoder this processor runs does what the plain one does.
TEST(FastDecoder, PlainMatchesTheCLibraryAndTheOthersMatchThePlain)
{
    std::mt19937 random(5);
    for (const int busBytes : {4, 8, 16, 32, 64}) {
        SCOPED_TRACE(std::to_string(busBytes) + " bus bytes");
        for (int i = 0; i < (busBytes <= 8 ? 4000 : 1000); ++i) {
            std::string text;
            for (int n = int(random() % 40); n > 0; --n) {
                text += randomLine(random, busBytes);
            }
            // Damage may have added or removed line feeds: the lines are what they separate.
            std::vector<std::string> lines;
            for (size_t at = 0, next; at < text.size(); at = next) {
                next = std::min(text.find('\n', at), text.size() - 1) + 1;
                lines.push_back(text.substr(at, next - at));
            }
            const size_t available = text.empty() ? 0 : random() % (text.size() + 1);
            const int64_t maxRows = random() % 4 == 0 ? int64_t(random() % 8) : INT64_MAX / 2;
            // The model: the lines it takes and the bytes the C library makes of them.
            size_t expectedTaken = 0;
            int64_t expectedRows = 0;
            std::vector<uint8_t> expected;
            for (const std::string& line : lines) {
                if (expectedRows == maxRows || expectedTaken + line.size() > available ||
                    !takenByTheFastDecoder(line, busBytes)) {
                    break;
                }
                const RowReading libc = busBytes <= 8 ? readRowWithLibc(line) : digitPairs(line);
                ASSERT_EQ(libc.count, busBytes) << testing::PrintToString(line);
                expected.insert(expected.end(), libc.bytes.begin(), libc.bytes.end());
                expectedTaken += line.size();
                ++expectedRows;
            }
            const auto rowsRoom = size_t(expectedRows);
            const Decoded plain = decodeWith(RowKernel::plain, text, available, busBytes, maxRows, rowsRoom);
            const std::string shown = testing::PrintToString(text.substr(0, available));
            ASSERT_EQ(plain.taken, expectedTaken) << shown;
            ASSERT_EQ(plain.rows, expectedRows) << shown;
            ASSERT_EQ(plain.bytes, expected) << shown;
            ASSERT_TRUE(plain.guardsKept) << shown;
            for (const auto& [kernel, name] : runnableKernels()) {
                if (kernel == RowKernel::plain) {
                    continue;
                }
                const Decoded fast = decodeWith(kernel, text, available, busBytes, maxRows, rowsRoom);
                ASSERT_EQ(fast.taken, plain.taken) << name << ": " << shown;
                ASSERT_EQ(fast.rows, plain.rows) << name << ": " << shown;
                ASSERT_EQ(fast.bytes, plain.bytes) << name << ": " << shown;
                ASSERT_TRUE(fast.guardsKept) << name << ": " << shown;
            }
        }
    }
}

// Runs of stream beats unpacked by each row kernel's unpacker (byte shuffles, gathered
// stores) land as the plain one lays them, and nothing past the run is touched (the shuffles
// store 16 bytes at a time).
TEST(StreamUnpack, EveryKernelLaysOutBeatsAsThePlainOne)
{
    const struct {
        const char* layout;
        int32_t busBytes;
    } streams[] = {{"yuv422:8:4", 8},  {"uyvy422:8:4", 8}, {"yuv420:8:4", 8},  {"yuv422:8:2", 8},   {"mono:8:8", 8},
                   {"mono:8:2", 2},    {"mono:8:1", 1},    {"yuv444:8:1", 4},  {"rgb:8:1:byte", 4}, {"yuv422:10:2", 5},
                   {"yuv444:10:2", 8}, {"mono:16:4", 8},   {"yuv420:12:2", 6}, {"uyv444:12:1", 5}};
    std::mt19937 random(23);
    for (const auto& stream : streams) {
        const StreamLayout layout = readStreamLayout(stream.layout);
        const int32_t sampleBytes = layout.bits > 8 ? 2 : 1;
        const bool halfChroma = streamLayouts[static_cast<int>(layout.kind)].sampling != 444;
        const int32_t chromaStep = halfChroma ? layout.pixelsPerBeat / 2 : layout.pixelsPerBeat;
        const int32_t step[3] = {layout.pixelsPerBeat, chromaStep, chromaStep};
        for (const bool oddLine : {false, true}) {
            for (const bool reversed : {false, true}) {
                const StreamPlan plan = makeStreamPlan(layout, false, oddLine);
                const int64_t count = random() % 70;
                std::vector<uint8_t> beats(size_t(count) * size_t(stream.busBytes) + 16);
                std::generate(beats.begin(), beats.end(), [&] { return uint8_t(random()); });
                const size_t planeBytes = size_t(count + 8) * size_t(layout.pixelsPerBeat) * size_t(sampleBytes);
                std::vector<uint8_t> plain(3 * planeBytes, 0xa5);
                const auto rowsIn = [&](std::vector<uint8_t>& frame) {
                    return PlaneRows{{frame.data(), frame.data() + planeBytes, frame.data() + 2 * planeBytes}};
                };
                const uint32_t mask = (uint32_t{1} << layout.bits) - 1;
                if (sampleBytes == 1) {
                    unpackAnyBeatRun<1>(plan, beats.data(), stream.busBytes, count, mask, rowsIn(plain), step,
                                        reversed);
                } else {
                    unpackAnyBeatRun<2>(plan, beats.data(), stream.busBytes, count, mask, rowsIn(plain), step,
                                        reversed);
                }
                for (const auto& [kernel, name] : runnableKernels()) {
                    std::vector<uint8_t> fast(3 * planeBytes, 0xa5);
                    unpackBeatRunWith(kernel, plan, beats.data(), stream.busBytes, count, mask, sampleBytes,
                                      rowsIn(fast), step, reversed);
                    ASSERT_EQ(fast, plain) << name << ", " << stream.layout << ", " << count << " beats"
                                           << (oddLine ? ", odd line" : "") << (reversed ? ", reversed" : "");
                }
            }
        }
    }
}

TEST(FastDecoder, TakesLongRunsOfEveryShape)
{
    // Long runs of good rows, each of one shape, cross every window boundary.
    const std::string rows[] = {"4a 4b 4c 4d\n",   "4A4b4C4d\n",       "4a 4b 4c 4d\r\n",
                                " 4a 4b 4c 4d \n", "4a\t4b\t4c\t4d\n", "4a4b 4c4d\n"};
    for (const auto& [kernel, name] : runnableKernels()) {
        for (const std::string& row : rows) {
            SCOPED_TRACE(std::string(name) + ": " + testing::PrintToString(row));
            std::string text;
            for (int k = 0; k < 1000; ++k) {
                text += row;
            }
            std::vector<char> buffer(text.begin(), text.end());
            buffer.resize(text.size() + windowSize);
            std::vector<uint8_t> out(4000 + bufferSlack);
            int64_t decoded = 0;
            ASSERT_EQ(decodeRows(kernel, buffer.data(), text.size(), 4, 1000, out.data(), decoded), text.size());
            ASSERT_EQ(decoded, 1000);
            for (size_t k = 0; k < 4000; k += 4) {
                ASSERT_EQ(out[k] << 24 | out[k + 1] << 16 | out[k + 2] << 8 | out[k + 3], 0x4a4b4c4d) << k;
            }
        }
    }
}

// ---- Sizes of boundary names ----

// The sizes a name gives, in 128-bit integers: none when a size, or the frame doubled, does
// not fit a signed 32-bit integer. Samples of two bytes (-D 9 to 16) double the luma plane
// and the frame before the same rules.
struct WideSizes {
    bool fit;
    Wide luma;
    Wide frame;
};

WideSizes wideSizes(Wide width, Wide height, int sampling, int sampleBytes)
{
    if (width > int32Max || height > int32Max) {
        return {false, 0, 0};
    }
    const int mulDiv2 = sampling == 420 ? 3 : sampling == 400 ? 2 : 4;
    const Wide luma = width * height * sampleBytes;
    const Wide frame = width * height * mulDiv2 / 2 * sampleBytes;
    return {luma <= int32Max && 2 * frame <= int32Max, luma, frame};
}

// Every pair of boundary numbers as width and height, every sampling, both buses, one and two
// bytes a sample: the name is read, or refused (status 8), exactly as the model says, with
// the model's sizes. Whether rows fill the frame (status 13 otherwise) follows from these
// sizes; the black-box tables pin each status.
TEST(BoundaryNames, DecidedAsTheWideModelDecides)
{
    int names = 0;
    for (const int sampling : {420, 422, 440, 400}) {
        for (const char* width : boundaryNumbers) {
            for (const char* height : boundaryNumbers) {
                for (const int bus : {32, 64}) {
                    for (const int sampleBytes : {1, 2}) {
                        const std::string name = std::string("t_w") + width + "_" + height + "_" +
                                                 std::to_string(sampling) + "_" + std::to_string(bus) + ".txt";
                        SCOPED_TRACE(name + ", " + std::to_string(sampleBytes) + " bytes a sample");
                        TraceGeometry geometry{};
                        const bool read = decodeGeometry(name, sampleBytes, geometry);
                        const WideSizes model = wideSizes(wideOf(width), wideOf(height), sampling, sampleBytes);
                        ASSERT_EQ(read, model.fit);
                        if (read) {
                            ASSERT_EQ(geometry.width, wideOf(width));
                            ASSERT_EQ(geometry.height, wideOf(height));
                            ASSERT_EQ(geometry.sampling, sampling);
                            ASSERT_EQ(geometry.busBytes, bus / 8);
                            ASSERT_EQ(geometry.lumaPlaneSize, model.luma);
                            ASSERT_EQ(geometry.frameSize, model.frame);
                            ASSERT_EQ(geometry.chromaPlaneSize, (model.frame - model.luma) / 2);
                        }
                        ++names;
                    }
                }
            }
        }
    }
    EXPECT_EQ(names, 4 * 17 * 17 * 2 * 2);
}

// ---- Rows through the whole program ----

// The two builds the row tables run on: the shipped program as a black box, and this one.
enum class Build { shipped, inProcess };

const Build builds[] = {Build::shipped, Build::inProcess};

std::string nameOf(Build build)
{
    return build == Build::shipped ? "shipped" : "in process, plain decoder, 61-byte block";
}

RunResult runOn(Build build, const Scratch& scratch, const std::vector<std::string>& args)
{
    return build == Build::shipped ? scratch.run(traceframes, args)
                                   : scratch.runMain(traceframesMain, traceframes, args);
}

// The rows of the 4x2 4:2:0 example: luma 8 bytes, two chroma planes of 2.
const std::string exampleRows = "00 01 02 03\n04 05 06 07\na0 b0 a1 b1\n";

// The trace names of the row table: the geometry report each gives and its frame size.
struct RowTrace {
    std::string name;
    std::string report;
    size_t frameSize;
};

const RowTrace rowTraces[] = {
    {"t_w4_2_420_32.txt", geometryReport("t_w4_2_420_32.txt", {4, 2, 420, 4}), 12},
    {"t_w4_4_420_64.txt", geometryReport("t_w4_4_420_64.txt", {4, 4, 420, 8}), 24},
    {"t_w4_2_400_32.txt", geometryReport("t_w4_2_400_32.txt", {4, 2, 400, 4}), 8},
    {"t_w3_1_400_32.txt", geometryReport("t_w3_1_400_32.txt", {3, 1, 400, 4}), 3},
    {"t_w2_2_420_32.txt", geometryReport("t_w2_2_420_32.txt", {2, 2, 420, 4}), 6},
    {"t_w2_2_400_32.txt", geometryReport("t_w2_2_400_32.txt", {2, 2, 400, 4}), 8},
    {"v_w4_2_420_8.txt", geometryReport("v_w4_2_420_8.txt", {4, 2, 420, 1}), 12},
    {"v_w8_2_400_128.txt", geometryReport("v_w8_2_400_128.txt", {8, 2, 400, 16}), 16},
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
    std::string mask = "";    // with -X m.yuv: the mask file, as hexadecimal
    std::string unknown = ""; // with -X: the report line of the unknown samples
};

// The second line on standard error for a row with x or z digits.
std::string unknownRow(int row)
{
    return "row " + std::to_string(row) + " holds x or z digits (unknown values): -X reads them\n";
}

TEST(TraceframesRows, FramesFromRows)
{
    const std::string unknownsEnd = "unknown values in the trace!\n";
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
        {"libc conversion: signs", t, {}, "-1 +2 0 3\n4 5 6 7\na0 b0 a1 b1\n", 0, "ff 2 0 3 4 5 6 7 a0 b0 a1 b1", "", ""},
        {"a sign on one digit", t, {}, "-f +f 3 4\n4 5 6 7\na0 b0 a1 b1\n", 0, "f1 f 3 4 4 5 6 7 a0 b0 a1 b1", "", ""},
        {"three digits are two numbers", t, {}, "123 4\n", 9, "", "", "malformed row: 0\n"},
        {"0x before each byte: eight numbers", t, {}, "0x10 0x11 0x12 0x13\n", 9, "", "", "malformed row: 0\n"},
        {"0x before two bytes: an unknown digit", t, {}, "0x10 0x11\n4 5 6 7\na0 b0 a1 b1\n", 9, "", "", "malformed row: 0\n" + unknownRow(0)},
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
         9, "", "", "malformed row: 0\n" + unknownRow(0)},
        {"0x before a word on a 64-bit bus", "t_w4_4_420_64.txt", {}, "0x10111213\n", 9, "", "", "malformed row: 0\n"},
        {"64-bit bus, split", "t_w4_4_420_64.txt", {"-P"}, "0 1 2 3 4 5 6 7\n8 9 a b c d e f\n10 11 12 13 14 15 16 17\n",
         0, "0 1 2 3 4 5 6 7 8 9 a b c d e f 10 12 14 16 11 13 15 17", "", ""},
        {"luma only, split", "t_w4_2_400_32.txt", {"-P"}, "0 1 2 3\n4 5 6 7\n", 0, "0 1 2 3 4 5 6 7", "", ""},
        {"misaligned luma", "t_w3_1_400_32.txt", {}, "0 1 2 3\n", 13, "", "", "frame size is not a multiple of the bus width!\n"},
        {"misaligned frame", "t_w2_2_420_32.txt", {}, "0 1 2 3\n", 13, "", "", "frame size is not a multiple of the bus width!\n"},
        {"z after a first digit", t, {}, "00 01 02 03\n04 05 06 0z\n", 9, "", "", "malformed row: 1\n" + unknownRow(1)},
        {"z ends a 64-bit row", "t_w4_4_420_64.txt", {}, "000102030405012z\n", 9, "", "", "malformed row: 0\n" + unknownRow(0)},
        {"x starts a number", t, {}, "# c\nxx 01 02 03\n", 9, "", "# c\n", "malformed row: 1\n" + unknownRow(1)},
        {"x and z after the last number", t, {}, "00 01 02 03 xz\n04 05 06 07\na0 b0 a1 b1\n", 0, six, "", ""},
        {"x and too few numbers", t, {}, "00 01 0x\n", 9, "", "", "malformed row: 0\n"},
        {"-X: digits of every case", t, {"-X", "m.yuv"}, "12X3zz00\n04 05 06 07\na0 b0 a1 b1\n", 15,
         "12 3 0 0 4 5 6 7 a0 b0 a1 b1", "", unknownsEnd, "0 f0 ff 0 0 0 0 0 0 0 0 0",
         "unknown   = 2 samples in 1 frames, first at row 0: frame 0, Y 1,0\n"},
        {"-X: 0x and a sign", t, {"-X", "m.yuv"}, "0x10 -x 5\n04 05 06 07\na0 b0 a1 b1\n", 15,
         "0 10 0 5 4 5 6 7 a0 b0 a1 b1", "", unknownsEnd, "f 0 ff 0 0 0 0 0 0 0 0 0",
         "unknown   = 2 samples in 1 frames, first at row 0: frame 0, Y 0,0\n"},
        {"-X: only written frames count", t, {"-X", "m.yuv"}, exampleRows + "0x 01 02 03\n", 0, six, "",
         "read error, insufficient data (k=4)!\n", "0 0 0 0 0 0 0 0 0 0 0 0", "unknown   = 0 samples\n"},
        {"-X: a malformed row keeps whole frames", t, {"-X", "m.yuv"}, exampleRows + "0 0\n", 9, six, "",
         "malformed row: 3\n", "0 0 0 0 0 0 0 0 0 0 0 0"},
        {"-X, -E: a word", t, {"-E", "-X", "m.yuv"}, "03020100\n0706050z\nb1a1b0a0\n", 15,
         "0 1 2 3 0 5 6 7 a0 b0 a1 b1", "", unknownsEnd, "0 0 0 0 f 0 0 0 0 0 0 0",
         "unknown   = 1 samples in 1 frames, first at row 1: frame 0, Y 0,1\n"},
        {"-X, -P: chroma in two planes", t, {"-P", "-X", "m.yuv"}, "00 01 02 03\n04 05 06 07\na0 b0 x1 bz\n", 15,
         "0 1 2 3 4 5 6 7 a0 1 b0 b0", "", unknownsEnd, "0 0 0 0 0 0 0 0 0 f0 0 f",
         "unknown   = 2 samples in 1 frames, first at row 2: frame 0, U 1,0\n"},
        {"-X without -P: chroma interleaved", t, {"-X", "m.yuv"}, "00 01 02 03\n04 05 06 07\na0 b0 a1 bz\n", 15,
         "0 1 2 3 4 5 6 7 a0 b0 a1 b0", "", unknownsEnd, "0 0 0 0 0 0 0 0 0 0 0 f",
         "unknown   = 1 samples in 1 frames, first at row 2: frame 0, UV 3,0\n"},
        {"-X, -D 10: a sample of two bytes", "t_w2_2_400_32.txt", {"-D", "10", "-X", "m.yuv"},
         "00 01 02 03\n04 05 0x 07\n", 15, "0 1 2 3 4 5 0 7", "", unknownsEnd, "0 0 0 0 0 0 f 0",
         "depth     = 10\nunknown   = 1 samples in 1 frames, first at row 1: frame 0, Y 1,1\n"},
        {"-V: a $writememh file", "v_w4_2_420_8.txt", {"-G", "4x2:420:8", "-V"},
         "// 0x00000000\n00\n01\n02\n03\n@4\n04\n05\n06\n07\na0\nb0\na1\nb1\n", 0, six, "// 0x00000000\n", ""},
        {"-V: words, comments, underscores", "v_w8_2_400_128.txt", {"-G", "8x2:400:128", "-V"},
         "  // a note\n1_0 /* two\nlines */ 0a0b0c0d0e0f1011_1213141516171819 // end\n", 0,
         "0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 10 a b c d e f 10 11 12 13 14 15 16 17 18 19", "  // a note\n", ""},
        {"-V: a word too long", "v_w4_2_420_8.txt", {"-G", "4x2:420:8", "-V"}, "00\n1_23\n", 9, "", "", "malformed row: 1\n"},
        {"-V: a gap", "v_w4_2_420_8.txt", {"-G", "4x2:420:8", "-V"}, "00\n@2\n", 9, "", "",
         "malformed row: 1\nrow 1: address @2, expected @1\n"},
        {"-V: a jump back", "v_w4_2_420_8.txt", {"-G", "4x2:420:8", "-V"}, "00 01 /*\n*/ @0 02\n", 9, "", "",
         "malformed row: 1\nrow 1: address @0, expected @2\n"},
        {"-V: each frame a dump from @0", "v_w4_2_420_8.txt", {"-G", "4x2:420:8", "-V"},
         "@0 0 1 2 3 4 5 6 7 a0 b0 a1 b1\n@0_0\n0 1 2 3 4 5 6 7 a0 b0 a1 b1 // last\n", 0, six + " " + six, "", ""},
        {"-V, -E: the least significant byte first", "t_w4_2_420_32.txt", {"-V", "-E"},
         "3020100 7060504\nb1a1b0a0\n", 0, six, "", ""},
        {"-V: x and z", "v_w4_2_420_8.txt", {"-G", "4x2:420:8", "-V"}, "00\nzz\n", 9, "", "",
         "malformed row: 1\n" + unknownRow(1)},
        {"-V: a lone slash", "v_w4_2_420_8.txt", {"-G", "4x2:420:8", "-V"}, "00 / 01\n", 9, "", "", "malformed row: 0\n"},
    };
    // clang-format on
    for (const RowCase& c : cases) {
        for (const Build build : builds) {
            SCOPED_TRACE(std::string(c.what) + ", " + nameOf(build));
            Scratch scratch;
            scratch.write(c.name, c.trace);
            std::vector<std::string> args = c.options;
            args.push_back(c.name);
            const RunResult result = runOn(build, scratch, args);
            EXPECT_EQ(result.status, c.status);
            EXPECT_EQ(result.err, c.err);
            EXPECT_EQ(scratch.read(c.name.substr(0, c.name.size() - 4) + ".yuv"), bytesOf(c.frames));
            if (!c.mask.empty()) {
                EXPECT_EQ(scratch.read("m.yuv"), bytesOf(c.mask));
            }
            const RowTrace& named = rowTrace(c.name);
            std::string expected = named.report + c.unknown + c.comments;
            if (c.status == 0 || c.status == 15) {
                expected = named.report + c.comments + c.unknown;
                expected += "Wrote " + std::to_string(bytesOf(c.frames).size() / named.frameSize) + " frames\n";
            }
            EXPECT_EQ(result.out, expected);
        }
    }
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
            const std::string inBusOrder = busOrder({48, 16, sampling, bus / 8}, planar);
            for (const Build build : builds) {
                SCOPED_TRACE(nameOf(build));
                ASSERT_EQ(runOn(build, scratch, {"-P", "-O", "split.yuv", name}).status, 0);
                ASSERT_EQ(runOn(build, scratch, {"-O", "bus.yuv", name}).status, 0);
                EXPECT_EQ(scratch.read("split.yuv"), planar);
                EXPECT_EQ(scratch.read("bus.yuv"), inBusOrder);
            }
        }
    }
}

// Every row shape the generator writes, at both bus widths, with and without the split,
// gives the frames it drew, from both builds.
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
            for (const Build build : builds) {
                SCOPED_TRACE(nameOf(build));
                const RunResult result = runOn(build, scratch, {"-P", "-O", "split.yuv", name});
                ASSERT_EQ(result.status, 0);
                EXPECT_EQ(scratch.read("split.yuv"), planar);
                expectedOut = expectedOut.empty() ? result.out : expectedOut;
                EXPECT_EQ(result.out, expectedOut);
            }
        }
    }
}

// Traces of every shape with damage at random places (a bad character, a lost digit, an
// odd run, a number more, a note): both builds agree with the C library's reading.
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
        const TraceReading expected = readTraceWithLibc(trace, bus / 8, 32 * 16 * 3 / 2);
        for (const Build build : builds) {
            SCOPED_TRACE(nameOf(build) + ", " + testing::PrintToString(i));
            const RunResult result = runOn(build, scratch, {"-O", "out.yuv", name});
            EXPECT_EQ(result.status, expected.status);
            EXPECT_EQ(result.err, expected.err);
            EXPECT_EQ(result.out.substr(result.out.find("bus width") + 15), expected.out);
            EXPECT_EQ(scratch.read("out.yuv"), expected.frames);
        }
    }
}

} // namespace
