// The row kernels of traceframes against the C library and a plain model of the group shape.
#include <gtest/gtest.h>

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

#ifdef TRACEFRAMES_X86

// The plain model: a group is 16 numbers of two hexadecimal digits, each followed by the
// separator given; it decodes to their values.
bool decodeGroupPlainly(const std::string& text, const char* separators, uint8_t out[16])
{
    for (int k = 0; k < 16; ++k) {
        const std::string digits = text.substr(3 * size_t(k), 2);
        if (!std::isxdigit(static_cast<unsigned char>(digits[0])) ||
            !std::isxdigit(static_cast<unsigned char>(digits[1])) || text[3 * size_t(k) + 2] != separators[k]) {
            return false;
        }
        out[k] = static_cast<uint8_t>(std::stoul(digits, nullptr, 16));
    }
    return true;
}

TEST(GroupKernel, MatchesThePlainModel)
{
    if (!groupKernelSupported()) {
        GTEST_SKIP() << "no SSSE3 on this processor";
    }
    std::mt19937 random(7);
    const std::string noise = std::string("0123456789abcdefABCDEF gG\n\r\t#x-+") + '\0' + "\xff";
    for (const int busBytes : {4, 8}) {
        char separators[16];
        for (int k = 0; k < 16; ++k) {
            separators[k] = (k + 1) % busBytes == 0 ? '\n' : ' ';
        }
        for (int i = 0; i < 50000; ++i) {
            // Four groups in a row, mostly well formed, a few characters changed at random.
            std::string text;
            for (int k = 0; k < 64; ++k) {
                text += "0123456789abcdefABCDEF"[random() % 22];
                text += "0123456789abcdefABCDEF"[random() % 22];
                text += separators[k % 16];
            }
            for (auto changes = random() % 3; changes > 0; --changes) {
                text[random() % text.size()] = noise[random() % noise.size()];
            }
            size_t expectedGroups = 0;
            uint8_t expected[64];
            while (expectedGroups < 4 && decodeGroupPlainly(text.substr(expectedGroups * 48, 48), separators,
                                                            expected + 16 * expectedGroups)) {
                ++expectedGroups;
            }
            uint8_t whole[64] = {};
            uint8_t even[32] = {};
            uint8_t odd[32] = {};
            ASSERT_EQ(decodeGroupsSsse3(text.data(), 4, separators, whole, nullptr), expectedGroups);
            ASSERT_EQ(decodeGroupsSsse3(text.data(), 4, separators, even, odd), expectedGroups);
            for (size_t b = 0; b < 16 * expectedGroups; ++b) {
                ASSERT_EQ(whole[b], expected[b]);
                ASSERT_EQ((b % 2 == 0 ? even : odd)[b / 2], expected[b]);
            }
        }
    }
}

#endif

} // namespace
