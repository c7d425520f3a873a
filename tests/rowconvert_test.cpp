// The row conversion and the fast row decoders of traceframes against the C library.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <random>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#define main traceframesMain
#include "../traceframes/main.cpp"
#undef main
#pragma GCC diagnostic pop

namespace {

struct Conversion {
    int count;
    std::vector<uint8_t> bytes; // the first `count` bytes only
};

Conversion withLibc(const std::string& row)
{
    unsigned v[8] = {};
    const int count =
        std::sscanf(row.c_str(), "%2x%2x%2x%2x%2x%2x%2x%2x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7]);
    return {count, std::vector<uint8_t>(v, v + std::max(count, 0))};
}

Conversion withKernel(const std::string& row)
{
    uint8_t bytes[8];
    const int count = convertRow(row.data(), row.data() + row.size(), bytes);
    return {count, std::vector<uint8_t>(bytes, bytes + std::max(count, 0))};
}

Conversion withLongLinePath(const std::string& row)
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

TEST(RowConversion, MatchesTheCLibraryOnRandomRows)
{
    std::mt19937 random(20261208);
    for (int i = 0; i < 200000; ++i) {
        const std::string row = randomRow(random);
        const Conversion expected = withLibc(row);
        const Conversion fast = withKernel(row);
        ASSERT_EQ(fast.count, expected.count) << testing::PrintToString(row);
        ASSERT_EQ(fast.bytes, expected.bytes) << testing::PrintToString(row);
        const Conversion compacted = withLongLinePath(row);
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

// The fast decoders this processor runs, by name.
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

TEST(FastDecoder, MatchesTheCLibraryOnEveryShapeAndDamage)
{
    std::mt19937 random(5);
    for (const auto& [kernel, name] : runnableKernels()) {
        for (const int busBytes : {4, 8}) {
            SCOPED_TRACE(std::string(name) + ", " + std::to_string(busBytes) + " bus bytes");
            for (int i = 0; i < 4000; ++i) {
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
                // The text ends anywhere, also inside a line; it sits at the end of its
                // allocation but for the 64 characters the decoder may read past it.
                const size_t available = text.empty() ? 0 : random() % (text.size() + 1);
                std::vector<char> buffer(available + windowSize, '4');
                std::copy(text.begin(), text.begin() + long(available), buffer.begin());
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
                    const Conversion libc = withLibc(line);
                    ASSERT_EQ(libc.count, busBytes) << testing::PrintToString(line);
                    expected.insert(expected.end(), libc.bytes.begin(), libc.bytes.end());
                    expectedTaken += line.size();
                    ++expectedRows;
                }
                const size_t room = expected.size() + bufferSlack;
                std::vector<uint8_t> out(room + 16, 0xa5);
                int64_t rows = -1;
                const size_t taken = decodeRows(kernel, buffer.data(), available, busBytes, maxRows, out.data(), rows);
                ASSERT_EQ(taken, expectedTaken) << testing::PrintToString(text.substr(0, available));
                ASSERT_EQ(rows, expectedRows);
                ASSERT_TRUE(std::equal(expected.begin(), expected.end(), out.begin()));
                ASSERT_TRUE(std::all_of(out.begin() + long(room), out.end(), [](uint8_t b) { return b == 0xa5; }));
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

} // namespace
