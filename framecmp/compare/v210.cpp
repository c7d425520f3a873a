#include <algorithm>
#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define FRAMECMP_X86 1
#endif

#include "framecmp/compare/unpack.h"
#include "framecmp/compare/v210.h"
#include "framecmp/compare/wordfields.h"

namespace framecmp {

// One line of v210. Whole groups a word at a time; the last, partial group a sample at a
// time, its padding marked on the last sample inside the width.
void v210LinePlain(const uint8_t* line, uint16_t* y, uint16_t* u, uint16_t* v, size_t width)
{
    constexpr uint32_t padding = 0xc0000000U;
    const size_t groups = width / v210GroupPixels;
    for (size_t g = 0; g < groups; ++g) {
        const uint8_t* at = line + 16 * g;
        const uint32_t w0 = wordAt(at);
        const uint32_t w1 = wordAt(at + 4);
        const uint32_t w2 = wordAt(at + 8);
        const uint32_t w3 = wordAt(at + 12);
        uint16_t* ys = y + 6 * g;
        uint16_t* us = u + 3 * g;
        uint16_t* vs = v + 3 * g;
        us[0] = fieldOf(w0, 0);
        ys[0] = fieldOf(w0, 10);
        vs[0] = fieldOf(w0, 20) | markOf(w0, padding);
        ys[1] = fieldOf(w1, 0);
        us[1] = fieldOf(w1, 10);
        ys[2] = fieldOf(w1, 20) | markOf(w1, padding);
        vs[1] = fieldOf(w2, 0);
        ys[3] = fieldOf(w2, 10);
        us[2] = fieldOf(w2, 20) | markOf(w2, padding);
        ys[4] = fieldOf(w3, 0);
        vs[2] = fieldOf(w3, 10);
        ys[5] = fieldOf(w3, 20) | markOf(w3, padding);
    }
    const size_t done = groups * v210GroupPixels;
    if (done == width) {
        return;
    }
    // The samples of a group in word order: plane (0 Y, 1 U, 2 V) and index in the group.
    static const uint8_t planeOf[12] = {1, 0, 2, 0, 1, 0, 2, 0, 1, 0, 2, 0};
    static const uint8_t indexOf[12] = {0, 0, 0, 1, 1, 2, 1, 3, 2, 4, 2, 5};
    uint16_t* rows[3] = {y + done, u + done / 2, v + done / 2};
    const size_t widths[3] = {width - done, (width - done + 1) / 2, (width - done + 1) / 2};
    for (size_t w = 0; w < 4; ++w) {
        const uint32_t word = wordAt(line + 16 * groups + 4 * w);
        uint16_t* last = nullptr;
        for (size_t s = 0; s < 3; ++s) {
            const size_t slot = 3 * w + s;
            if (indexOf[slot] < widths[planeOf[slot]]) {
                last = &rows[planeOf[slot]][indexOf[slot]];
                *last = fieldOf(word, static_cast<uint32_t>(10 * s));
            }
        }
        if (last != nullptr) {
            *last |= markOf(word, padding);
        }
    }
}

// Whether a line of v210 holds the containers of three rows (16-bit little-endian, at any
// byte), its padding clear: the line unpacked a group at a time and compared.
bool v210LineMatchesPlain(const uint8_t* line, const uint8_t* y, const uint8_t* u, const uint8_t* v, size_t width)
{
    for (size_t done = 0; done < width; done += v210GroupPixels) {
        const size_t pixels = std::min(v210GroupPixels, width - done);
        uint16_t samples[3][v210GroupPixels] = {};
        v210LinePlain(line + done / v210GroupPixels * 16, samples[0], samples[1], samples[2], pixels);
        const uint8_t* rows[3] = {y + 2 * done, u + done, v + done};
        const size_t counts[3] = {pixels, (pixels + 1) / 2, (pixels + 1) / 2};
        for (size_t p = 0; p < 3; ++p) {
            for (size_t i = 0; i < counts[p]; ++i) {
                const uint32_t container = uint32_t{rows[p][2 * i]} | uint32_t{rows[p][2 * i + 1]} << 8U;
                if (samples[p][i] != container || (samples[p][i] & paddingMark) != 0) {
                    return false;
                }
            }
        }
    }
    return true;
}

#ifdef FRAMECMP_X86
namespace {
// A group of v210's six pixels, from one 16-byte load: Y in lanes 0-5, U in lanes 0-2 and V
// in lanes 4-6 of the other. Each sample's 16-bit window (the two bytes that hold its ten
// bits) is shuffled into place, the bits above the sample are dropped by a multiplication
// that moves its top to bit 15, and a shift brings it down. The windows of a word's third
// sample hold the word's padding bits as bits 14 and 15, which mark it.
struct V210Group {
    __m128i luma;
    __m128i chroma;
};

__attribute__((target("ssse3"))) inline V210Group v210Group(const uint8_t* at)
{
    const __m128i lumaWindows = _mm_setr_epi8(1, 2, 4, 5, 6, 7, 9, 10, 12, 13, 14, 15, -1, -1, -1, -1);
    const __m128i chromaWindows = _mm_setr_epi8(0, 1, 5, 6, 10, 11, -1, -1, 2, 3, 8, 9, 13, 14, -1, -1);
    const __m128i lumaScale = _mm_setr_epi16(16, 64, 4, 16, 64, 4, 0, 0);
    const __m128i chromaScale = _mm_setr_epi16(64, 16, 4, 0, 4, 64, 16, 0);
    const auto mark = static_cast<int16_t>(paddingMark);
    const __m128i lumaMarks = _mm_setr_epi16(0, 0, mark, 0, 0, mark, 0, 0);
    const __m128i chromaMarks = _mm_setr_epi16(0, 0, mark, 0, mark, 0, 0, 0);
    const auto samples = [](__m128i windows, __m128i scale, __m128i marks) {
        const __m128i value = _mm_srli_epi16(_mm_mullo_epi16(windows, scale), 6);
        return _mm_or_si128(value, _mm_and_si128(_mm_or_si128(windows, _mm_slli_epi16(windows, 1)), marks));
    };
    const __m128i group = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    return V210Group{samples(_mm_shuffle_epi8(group, lumaWindows), lumaScale, lumaMarks),
                     samples(_mm_shuffle_epi8(group, chromaWindows), chromaScale, chromaMarks)};
}
} // namespace

// A group a step. Y takes all eight lanes of its store and U and V four each, so the steps
// stop where the stores would pass the row; the plain kernel finishes the line.
__attribute__((target("ssse3"))) void v210LineSsse3(const uint8_t* line, uint16_t* y, uint16_t* u, uint16_t* v,
                                                    size_t width)
{
    size_t g = 0;
    for (; v210GroupPixels * g + 8 <= width; ++g) {
        // A line mapped from its file comes from memory: asked for 2 KiB ahead, past where the
        // processor's own prefetch stops at each page's end.
        _mm_prefetch(reinterpret_cast<const char*>(line + 16 * g + 2048), _MM_HINT_T0);
        const V210Group samples = v210Group(line + 16 * g);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(y + 6 * g), samples.luma);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(u + 3 * g), samples.chroma);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(v + 3 * g), _mm_srli_si128(samples.chroma, 8));
    }
    v210LinePlain(line + 16 * g, y + 6 * g, u + 3 * g, v + 3 * g, width - v210GroupPixels * g);
}

// The same samples held against the rows' in registers, as far as the unpacker's steps go:
// the bits of the lanes in use that differ from the row's, and the padding marks, gathered.
__attribute__((target("ssse3"))) bool v210LineMatchesSsse3(const uint8_t* line, const uint8_t* y, const uint8_t* u,
                                                           const uint8_t* v, size_t width)
{
    const __m128i lumaLanes = _mm_setr_epi16(-1, -1, -1, -1, -1, -1, 0, 0);
    const __m128i chromaLanes = _mm_setr_epi16(-1, -1, -1, 0, -1, -1, -1, 0);
    const __m128i markBit = _mm_set1_epi16(static_cast<int16_t>(paddingMark));
    const auto apart = [markBit](__m128i unpacked, __m128i row, __m128i lanes) {
        return _mm_and_si128(_mm_or_si128(_mm_xor_si128(unpacked, row), _mm_and_si128(unpacked, markBit)), lanes);
    };
    __m128i differences = _mm_setzero_si128();
    size_t g = 0;
    for (; v210GroupPixels * g + 8 <= width; ++g) {
        const V210Group samples = v210Group(line + 16 * g);
        const __m128i rowLuma = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + 12 * g));
        const __m128i rowChroma = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(u + 6 * g)),
                                                     _mm_loadl_epi64(reinterpret_cast<const __m128i*>(v + 6 * g)));
        differences = _mm_or_si128(differences, _mm_or_si128(apart(samples.luma, rowLuma, lumaLanes),
                                                             apart(samples.chroma, rowChroma, chromaLanes)));
    }
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(differences, _mm_setzero_si128())) != 0xffff) {
        return false;
    }
    return v210LineMatchesPlain(line + 16 * g, y + 12 * g, u + 6 * g, v + 6 * g, width - v210GroupPixels * g);
}

namespace {
// v210Group's samples from the windows, in each 128-bit lane.
__attribute__((target("avx2"))) inline __m256i samples256(__m256i windows, __m256i scale, __m256i marks)
{
    const __m256i value = _mm256_srli_epi16(_mm256_mullo_epi16(windows, scale), 6);
    return _mm256_or_si256(value, _mm256_and_si256(_mm256_or_si256(windows, _mm256_slli_epi16(windows, 1)), marks));
}

// The bits of the lanes in use where unpacked samples and a row's differ, and the marks.
__attribute__((target("avx2"))) inline __m256i apart256(__m256i unpacked, __m256i row, __m256i lanes, __m256i markBit)
{
    return _mm256_and_si256(_mm256_or_si256(_mm256_xor_si256(unpacked, row), _mm256_and_si256(unpacked, markBit)),
                            lanes);
}
} // namespace

// Two groups a step, one in each 128-bit lane, as far as the rows' 16-byte loads stay
// inside them; SSSE3's steps finish the line.
__attribute__((target("avx2"))) bool v210LineMatchesAvx2(const uint8_t* line, const uint8_t* y, const uint8_t* u,
                                                         const uint8_t* v, size_t width)
{
    const __m256i lumaWindows = _mm256_setr_epi8(1, 2, 4, 5, 6, 7, 9, 10, 12, 13, 14, 15, -1, -1, -1, -1, 1, 2, 4, 5, 6,
                                                 7, 9, 10, 12, 13, 14, 15, -1, -1, -1, -1);
    const __m256i chromaWindows = _mm256_setr_epi8(0, 1, 5, 6, 10, 11, -1, -1, 2, 3, 8, 9, 13, 14, -1, -1, 0, 1, 5, 6,
                                                   10, 11, -1, -1, 2, 3, 8, 9, 13, 14, -1, -1);
    const __m256i lumaScale = _mm256_setr_epi16(16, 64, 4, 16, 64, 4, 0, 0, 16, 64, 4, 16, 64, 4, 0, 0);
    const __m256i chromaScale = _mm256_setr_epi16(64, 16, 4, 0, 4, 64, 16, 0, 64, 16, 4, 0, 4, 64, 16, 0);
    const auto mark = static_cast<int16_t>(paddingMark);
    const __m256i lumaMarks = _mm256_setr_epi16(0, 0, mark, 0, 0, mark, 0, 0, 0, 0, mark, 0, 0, mark, 0, 0);
    const __m256i chromaMarks = _mm256_setr_epi16(0, 0, mark, 0, mark, 0, 0, 0, 0, 0, mark, 0, mark, 0, 0, 0);
    const __m256i lumaLanes = _mm256_setr_epi16(-1, -1, -1, -1, -1, -1, 0, 0, -1, -1, -1, -1, -1, -1, 0, 0);
    const __m256i chromaLanes = _mm256_setr_epi16(-1, -1, -1, 0, -1, -1, -1, 0, -1, -1, -1, 0, -1, -1, -1, 0);
    const __m256i markBit = _mm256_set1_epi16(mark);
    const auto load = [](const uint8_t* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); };
    __m256i differences = _mm256_setzero_si256();
    size_t g = 0;
    for (; v210GroupPixels * g + 16 <= width; g += 2) {
        const __m256i groups = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(line + 16 * g));
        const __m256i luma = samples256(_mm256_shuffle_epi8(groups, lumaWindows), lumaScale, lumaMarks);
        const __m256i chroma = samples256(_mm256_shuffle_epi8(groups, chromaWindows), chromaScale, chromaMarks);
        const __m256i rowLuma =
            _mm256_inserti128_si256(_mm256_castsi128_si256(load(y + 12 * g)), load(y + 12 * g + 12), 1);
        // U and V of the first group in the low lane, of the second (three samples on) in the high.
        const __m128i us = load(u + 6 * g);
        const __m128i vs = load(v + 6 * g);
        const __m256i rowChroma =
            _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_unpacklo_epi64(us, vs)),
                                    _mm_unpacklo_epi64(_mm_srli_si128(us, 6), _mm_srli_si128(vs, 6)), 1);
        differences = _mm256_or_si256(differences, _mm256_or_si256(apart256(luma, rowLuma, lumaLanes, markBit),
                                                                   apart256(chroma, rowChroma, chromaLanes, markBit)));
        // A line that differs most often differs from its start: looked at every 96 pixels.
        if (g % 16 == 14 && _mm256_testz_si256(differences, differences) == 0) {
            return false;
        }
    }
    if (_mm256_testz_si256(differences, differences) == 0) {
        return false;
    }
    return v210LineMatchesSsse3(line + 16 * g, y + 12 * g, u + 6 * g, v + 6 * g, width - v210GroupPixels * g);
}
#else
void v210LineSsse3(const uint8_t* line, uint16_t* y, uint16_t* u, uint16_t* v, size_t width)
{
    v210LinePlain(line, y, u, v, width);
}

bool v210LineMatchesAvx2(const uint8_t* line, const uint8_t* y, const uint8_t* u, const uint8_t* v, size_t width)
{
    return v210LineMatchesPlain(line, y, u, v, width);
}

bool v210LineMatchesSsse3(const uint8_t* line, const uint8_t* y, const uint8_t* u, const uint8_t* v, size_t width)
{
    return v210LineMatchesPlain(line, y, u, v, width);
}
#endif

} // namespace framecmp
