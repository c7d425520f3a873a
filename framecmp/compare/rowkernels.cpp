#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __SSE2__
#include <immintrin.h>
#define FRAMECMP_SSE2 1
#endif

#include "framecmp/compare/coding.h"
#include "framecmp/compare/rowkernels.h"

namespace framecmp {

// The plain kernel of 8-bit samples: failing samples (differing by more than `tolerance`),
// largest difference and sum of squares of at most kernelSpan pairs.
RowTally compareRow8Plain(const uint8_t* expected, const uint8_t* actual, size_t length, int32_t tolerance)
{
    uint32_t failing = 0;
    uint32_t sumOfSquares = 0;
    int32_t largest = 0;
    for (size_t i = 0; i < length; ++i) {
        const int32_t difference = int32_t{expected[i]} - int32_t{actual[i]};
        const int32_t magnitude = difference < 0 ? -difference : difference;
        failing += magnitude > tolerance ? 1U : 0U;
        sumOfSquares += static_cast<uint32_t>(magnitude * magnitude);
        largest = magnitude > largest ? magnitude : largest;
    }
    return RowTally{failing, 0, sumOfSquares, largest};
}

// The fast kernel of 8-bit samples, 16 pairs a step, the tail by the plain one. Per step:
// the absolute differences as bytes, their maximum, those within the tolerance counted by
// a sum of absolute differences, and the squares summed in pairs of 16-bit products. Over
// kernelSpan pairs a 32-bit lane of the sum takes at most 16384 squares of 65025.
RowTally compareRow8(const uint8_t* expected, const uint8_t* actual, size_t length, int32_t tolerance)
{
    size_t i = 0;
    RowTally tally{0, 0, 0, 0};
#ifdef FRAMECMP_SSE2
    const __m128i zero = _mm_setzero_si128();
    const __m128i one = _mm_set1_epi8(1);
    const __m128i allowed = _mm_set1_epi8(static_cast<char>(std::min(tolerance, 255)));
    __m128i largest = zero;
    __m128i within = zero;
    __m128i squares = zero;
    for (; i + 16 <= length; i += 16) {
        const __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(expected + i));
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(actual + i));
        const __m128i magnitude = _mm_or_si128(_mm_subs_epu8(e, a), _mm_subs_epu8(a, e));
        largest = _mm_max_epu8(largest, magnitude);
        const __m128i passes = _mm_cmpeq_epi8(_mm_subs_epu8(magnitude, allowed), zero);
        within = _mm_add_epi64(within, _mm_sad_epu8(_mm_and_si128(passes, one), zero));
        const __m128i low = _mm_unpacklo_epi8(magnitude, zero);
        const __m128i high = _mm_unpackhi_epi8(magnitude, zero);
        squares = _mm_add_epi32(squares, _mm_add_epi32(_mm_madd_epi16(low, low), _mm_madd_epi16(high, high)));
    }
    alignas(16) uint8_t largestBytes[16];
    alignas(16) uint64_t withinLanes[2];
    alignas(16) uint32_t squareLanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(largestBytes), largest);
    _mm_store_si128(reinterpret_cast<__m128i*>(withinLanes), within);
    _mm_store_si128(reinterpret_cast<__m128i*>(squareLanes), squares);
    tally.failing = static_cast<uint32_t>(i - (withinLanes[0] + withinLanes[1]));
    tally.sumOfSquares = uint64_t{squareLanes[0]} + squareLanes[1] + squareLanes[2] + squareLanes[3];
    for (const uint8_t byte : largestBytes) {
        tally.largest = std::max<int32_t>(tally.largest, byte);
    }
#endif
    const RowTally tail = compareRow8Plain(expected + i, actual + i, length - i, tolerance);
    return RowTally{tally.failing + tail.failing, 0, tally.sumOfSquares + tail.sumOfSquares,
                    std::max(tally.largest, tail.largest)};
}

// The plain kernel of samples in 16-bit containers, each file read by its coding: failing
// samples (beyond the tolerance or with padding set), those with padding set, largest
// difference and sum of squares of the values.
RowTally compareRow16Plain(const uint8_t* expected, const uint8_t* actual, size_t length, const SampleCoding codings[2],
                           int32_t tolerance)
{
    RowTally tally{0, 0, 0, 0};
    for (size_t i = 0; i < length; ++i) {
        const uint32_t e = containerAt(expected, i, 2);
        const uint32_t a = containerAt(actual, i, 2);
        const int32_t magnitude = std::abs(valueOf(e, codings[0]) - valueOf(a, codings[1]));
        const bool padded = paddingSet(e, codings[0]) || paddingSet(a, codings[1]);
        tally.failing += magnitude > tolerance || padded ? 1U : 0U;
        tally.padded += padded ? 1U : 0U;
        tally.sumOfSquares += static_cast<uint64_t>(magnitude) * static_cast<uint64_t>(magnitude);
        tally.largest = std::max(tally.largest, magnitude);
    }
    return tally;
}

#ifdef FRAMECMP_SSE2
// Adds the eight 32-bit squares of the 16-bit magnitudes m to the two 64-bit lanes of sum.
static __m128i addSquares16(__m128i sum, __m128i m)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i low = _mm_mullo_epi16(m, m);
    const __m128i high = _mm_mulhi_epu16(m, m);
    const __m128i first = _mm_unpacklo_epi16(low, high);
    const __m128i second = _mm_unpackhi_epi16(low, high);
    sum = _mm_add_epi64(sum, _mm_unpacklo_epi32(first, zero));
    sum = _mm_add_epi64(sum, _mm_unpackhi_epi32(first, zero));
    sum = _mm_add_epi64(sum, _mm_unpacklo_epi32(second, zero));
    return _mm_add_epi64(sum, _mm_unpackhi_epi32(second, zero));
}
#endif

#ifdef FRAMECMP_SSE2
static uint32_t sumLanes16(__m128i lanes)
{
    alignas(16) uint16_t values[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(values), lanes);
    return std::accumulate(std::begin(values), std::end(values), uint32_t{0});
}
#endif

// The fast kernel of 16-bit containers, 8 pairs a step, the tail by the plain one. Per step:
// the values shifted and masked, the padding of both, the absolute differences and their
// maximum (by saturating subtraction: SSE2 has no unsigned 16-bit maximum), passing and
// padded samples counted in 16-bit lanes (at most kernelSpan / 8 each), and full 32-bit
// squares summed in 64 bits.
RowTally compareRow16(const uint8_t* expected, const uint8_t* actual, size_t length, const SampleCoding codings[2],
                      int32_t tolerance)
{
    size_t i = 0;
    RowTally tally{0, 0, 0, 0};
#ifdef FRAMECMP_SSE2
    const __m128i zero = _mm_setzero_si128();
    const __m128i one = _mm_set1_epi16(1);
    const __m128i shiftExpected = _mm_cvtsi32_si128(static_cast<int>(codings[0].shift));
    const __m128i shiftActual = _mm_cvtsi32_si128(static_cast<int>(codings[1].shift));
    const __m128i valueExpected = _mm_set1_epi16(static_cast<int16_t>(codings[0].valueMask));
    const __m128i valueActual = _mm_set1_epi16(static_cast<int16_t>(codings[1].valueMask));
    const __m128i paddingExpected = _mm_set1_epi16(static_cast<int16_t>(codings[0].paddingMask));
    const __m128i paddingActual = _mm_set1_epi16(static_cast<int16_t>(codings[1].paddingMask));
    const __m128i allowed = _mm_set1_epi16(static_cast<int16_t>(tolerance));
    __m128i largest = zero;
    __m128i passing = zero;
    __m128i padded = zero;
    __m128i squares = zero;
    for (; i + 8 <= length; i += 8) {
        const __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(expected + 2 * i));
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(actual + 2 * i));
        const __m128i padding = _mm_or_si128(_mm_and_si128(e, paddingExpected), _mm_and_si128(a, paddingActual));
        const __m128i clean = _mm_cmpeq_epi16(padding, zero);
        const __m128i ve = _mm_and_si128(_mm_srl_epi16(e, shiftExpected), valueExpected);
        const __m128i va = _mm_and_si128(_mm_srl_epi16(a, shiftActual), valueActual);
        const __m128i magnitude = _mm_or_si128(_mm_subs_epu16(ve, va), _mm_subs_epu16(va, ve));
        largest = _mm_add_epi16(_mm_subs_epu16(magnitude, largest), largest);
        const __m128i within = _mm_cmpeq_epi16(_mm_subs_epu16(magnitude, allowed), zero);
        passing = _mm_sub_epi16(passing, _mm_and_si128(within, clean));
        padded = _mm_add_epi16(padded, _mm_andnot_si128(clean, one));
        squares = addSquares16(squares, magnitude);
    }
    alignas(16) uint16_t largestLanes[8];
    alignas(16) uint64_t squareLanes[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(largestLanes), largest);
    _mm_store_si128(reinterpret_cast<__m128i*>(squareLanes), squares);
    tally.failing = static_cast<uint32_t>(i) - sumLanes16(passing);
    tally.padded = sumLanes16(padded);
    tally.sumOfSquares = squareLanes[0] + squareLanes[1];
    for (const uint16_t lane : largestLanes) {
        tally.largest = std::max<int32_t>(tally.largest, lane);
    }
#endif
    const RowTally tail = compareRow16Plain(expected + 2 * i, actual + 2 * i, length - i, codings, tolerance);
    return RowTally{tally.failing + tail.failing, tally.padded + tail.padded, tally.sumOfSquares + tail.sumOfSquares,
                    std::max(tally.largest, tail.largest)};
}

// A piece at a time, so that the padding is looked for while the piece is in the first-level
// cache: a whole frame would be read from memory twice.
bool bytesAlike(const uint8_t* one, const uint8_t* other, size_t length, uint32_t paddingMask)
{
    constexpr size_t piece = 16384; // even: whole 16-bit containers
    for (size_t at = 0; at < length; at += piece) {
        const size_t bytes = std::min(piece, length - at);
        if (std::memcmp(one + at, other + at, bytes) != 0 ||
            (paddingMask != 0 && framePadded(one + at, bytes, paddingMask))) {
            return false;
        }
    }
    return true;
}

RowKernel chooseRowKernel(bool avx2)
{
#if defined(FRAMECMP_SSE2) && (defined(__x86_64__) || defined(__i386__))
    return avx2 ? RowKernel::avx2 : RowKernel::sse2;
#else
    static_cast<void>(avx2);
    return RowKernel::sse2;
#endif
}

RowKernel rowKernelForProcessor()
{
#if defined(FRAMECMP_SSE2) && (defined(__x86_64__) || defined(__i386__))
    return chooseRowKernel(static_cast<bool>(__builtin_cpu_supports("avx2")));
#else
    return RowKernel::sse2;
#endif
}

#if defined(FRAMECMP_SSE2) && (defined(__x86_64__) || defined(__i386__))
// Frames mapped from the files come from memory a page at a time, and the processor's own
// prefetch stops at each page's end: both rows are asked for 2 KiB ahead (a prefetch past
// a mapping's end is dropped, never a fault).
inline void prefetchAhead(const uint8_t* expected, const uint8_t* actual)
{
    constexpr size_t ahead = 2048;
    _mm_prefetch(reinterpret_cast<const char*>(expected + ahead), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(actual + ahead), _MM_HINT_T0);
}

// The AVX2 kernels: the SSE2 ones' steps on 32 bytes, the tail by the SSE2 ones. Over
// kernelSpan pairs a 32-bit lane of the 8-bit squares takes at most 8192 of 65025, and a
// 16-bit lane of the 16-bit counts at most kernelSpan / 16.
__attribute__((target("avx2"))) RowTally compareRow8Avx2(const uint8_t* expected, const uint8_t* actual, size_t length,
                                                         int32_t tolerance)
{
    const __m256i zero = _mm256_setzero_si256();
    const __m256i allowed = _mm256_set1_epi8(static_cast<char>(std::min(tolerance, 255)));
    __m256i largest = zero;
    __m256i within = zero;
    __m256i squares = zero;
    const size_t whole = length - length % 32;
    size_t i = 0;
    while (i < whole) {
        // Passing samples counted in bytes for at most 255 steps, then summed into 64-bit lanes.
        const size_t stop = std::min(whole, i + size_t{32} * 255);
        __m256i counts = zero;
        for (; i < stop; i += 32) {
            prefetchAhead(expected + i, actual + i);
            const __m256i e = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(expected + i));
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(actual + i));
            const __m256i magnitude = _mm256_or_si256(_mm256_subs_epu8(e, a), _mm256_subs_epu8(a, e));
            largest = _mm256_max_epu8(largest, magnitude);
            counts = _mm256_sub_epi8(counts, _mm256_cmpeq_epi8(_mm256_subs_epu8(magnitude, allowed), zero));
            const __m256i low = _mm256_unpacklo_epi8(magnitude, zero);
            const __m256i high = _mm256_unpackhi_epi8(magnitude, zero);
            squares =
                _mm256_add_epi32(squares, _mm256_add_epi32(_mm256_madd_epi16(low, low), _mm256_madd_epi16(high, high)));
        }
        within = _mm256_add_epi64(within, _mm256_sad_epu8(counts, zero));
    }
    alignas(32) uint8_t largestBytes[32];
    alignas(32) uint64_t withinLanes[4];
    alignas(32) uint32_t squareLanes[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(largestBytes), largest);
    _mm256_store_si256(reinterpret_cast<__m256i*>(withinLanes), within);
    _mm256_store_si256(reinterpret_cast<__m256i*>(squareLanes), squares);
    const RowTally tail = compareRow8(expected + i, actual + i, length - i, tolerance);
    RowTally tally{
        static_cast<uint32_t>(i - std::accumulate(std::begin(withinLanes), std::end(withinLanes), uint64_t{0})), 0,
        std::accumulate(std::begin(squareLanes), std::end(squareLanes), uint64_t{0}), tail.largest};
    for (const uint8_t byte : largestBytes) {
        tally.largest = std::max<int32_t>(tally.largest, byte);
    }
    return RowTally{tally.failing + tail.failing, 0, tally.sumOfSquares + tail.sumOfSquares, tally.largest};
}

// Unsigned 32-bit sums added to 64-bit lanes.
__attribute__((target("avx2"))) static inline __m256i addSums32(__m256i squares, __m256i sums)
{
    const __m256i zero = _mm256_setzero_si256();
    return _mm256_add_epi64(squares,
                            _mm256_add_epi64(_mm256_unpacklo_epi32(sums, zero), _mm256_unpackhi_epi32(sums, zero)));
}

// Squares of 16-bit magnitudes in full, summed in 64-bit lanes: their low and high halves
// joined into 32-bit squares first.
__attribute__((target("avx2"))) static inline __m256i addSquaresWide(__m256i squares, __m256i magnitude)
{
    const __m256i low = _mm256_mullo_epi16(magnitude, magnitude);
    const __m256i high = _mm256_mulhi_epu16(magnitude, magnitude);
    return addSums32(addSums32(squares, _mm256_unpacklo_epi16(low, high)), _mm256_unpackhi_epi16(low, high));
}

// 16 samples a step. Magnitudes below 2^15 square and sum in pairs (_mm256_madd_epi16) into
// 32-bit lanes for as many steps as cannot overflow them: at 10 bits, 2 * 1023^2 a step, so
// 2052 steps before they go to 64 bits.
__attribute__((target("avx2"))) RowTally compareRow16Avx2(const uint8_t* expected, const uint8_t* actual, size_t length,
                                                          const SampleCoding codings[2], int32_t tolerance)
{
    const __m256i zero = _mm256_setzero_si256();
    const __m256i one = _mm256_set1_epi16(1);
    const __m128i shiftExpected = _mm_cvtsi32_si128(static_cast<int>(codings[0].shift));
    const __m128i shiftActual = _mm_cvtsi32_si128(static_cast<int>(codings[1].shift));
    const __m256i valueExpected = _mm256_set1_epi16(static_cast<int16_t>(codings[0].valueMask));
    const __m256i valueActual = _mm256_set1_epi16(static_cast<int16_t>(codings[1].valueMask));
    const __m256i paddingExpected = _mm256_set1_epi16(static_cast<int16_t>(codings[0].paddingMask));
    const __m256i paddingActual = _mm256_set1_epi16(static_cast<int16_t>(codings[1].paddingMask));
    const __m256i allowed = _mm256_set1_epi16(static_cast<int16_t>(tolerance));
    const uint64_t largestValue = std::max(codings[0].valueMask, codings[1].valueMask);
    const bool narrow = largestValue < 0x8000;
    const size_t blockSteps =
        narrow ? std::max<uint64_t>(1, UINT32_MAX / (2 * largestValue * largestValue + 1)) : kernelSpan;
    const size_t whole = length - length % 16;
    __m256i largest = zero;
    __m256i passing = zero;
    __m256i padded = zero;
    __m256i squares = zero;
    size_t i = 0;
    while (i < whole) {
        const size_t stop = std::min(whole, i + 16 * blockSteps);
        __m256i pairs = zero;
        for (; i < stop; i += 16) {
            prefetchAhead(expected + 2 * i, actual + 2 * i);
            const __m256i e = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(expected + 2 * i));
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(actual + 2 * i));
            const __m256i padding =
                _mm256_or_si256(_mm256_and_si256(e, paddingExpected), _mm256_and_si256(a, paddingActual));
            const __m256i clean = _mm256_cmpeq_epi16(padding, zero);
            const __m256i ve = _mm256_and_si256(_mm256_srl_epi16(e, shiftExpected), valueExpected);
            const __m256i va = _mm256_and_si256(_mm256_srl_epi16(a, shiftActual), valueActual);
            const __m256i magnitude = _mm256_or_si256(_mm256_subs_epu16(ve, va), _mm256_subs_epu16(va, ve));
            largest = _mm256_max_epu16(largest, magnitude);
            const __m256i within = _mm256_cmpeq_epi16(_mm256_subs_epu16(magnitude, allowed), zero);
            passing = _mm256_sub_epi16(passing, _mm256_and_si256(within, clean));
            padded = _mm256_add_epi16(padded, _mm256_andnot_si256(clean, one));
            if (narrow) {
                pairs = _mm256_add_epi32(pairs, _mm256_madd_epi16(magnitude, magnitude));
            } else {
                squares = addSquaresWide(squares, magnitude);
            }
        }
        squares = addSums32(squares, pairs);
    }
    alignas(32) uint16_t largestLanes[16];
    alignas(32) uint16_t passingLanes[16];
    alignas(32) uint16_t paddedLanes[16];
    alignas(32) uint64_t squareLanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(largestLanes), largest);
    _mm256_store_si256(reinterpret_cast<__m256i*>(passingLanes), passing);
    _mm256_store_si256(reinterpret_cast<__m256i*>(paddedLanes), padded);
    _mm256_store_si256(reinterpret_cast<__m256i*>(squareLanes), squares);
    const RowTally tail = compareRow16(expected + 2 * i, actual + 2 * i, length - i, codings, tolerance);
    RowTally tally{static_cast<uint32_t>(i) -
                       std::accumulate(std::begin(passingLanes), std::end(passingLanes), uint32_t{0}),
                   std::accumulate(std::begin(paddedLanes), std::end(paddedLanes), uint32_t{0}),
                   std::accumulate(std::begin(squareLanes), std::end(squareLanes), uint64_t{0}), tail.largest};
    for (const uint16_t lane : largestLanes) {
        tally.largest = std::max<int32_t>(tally.largest, lane);
    }
    return RowTally{tally.failing + tail.failing, tally.padded + tail.padded, tally.sumOfSquares + tail.sumOfSquares,
                    tally.largest};
}
#else
RowTally compareRow8Avx2(const uint8_t* expected, const uint8_t* actual, size_t length, int32_t tolerance)
{
    return compareRow8(expected, actual, length, tolerance);
}

RowTally compareRow16Avx2(const uint8_t* expected, const uint8_t* actual, size_t length, const SampleCoding codings[2],
                          int32_t tolerance)
{
    return compareRow16(expected, actual, length, codings, tolerance);
}
#endif

// Whether any 16-bit container of a frame has a bit of `mask` set.
bool framePaddedPlain(const uint8_t* frame, size_t size, uint32_t mask)
{
    uint32_t seen = 0;
    for (size_t i = 0; i + 2 <= size; i += 2) {
        seen |= containerAt(frame + i, 0, 2);
    }
    return (seen & mask) != 0;
}

// The fast kernel: 16 bytes a step, the tail by the plain one.
bool framePadded(const uint8_t* frame, size_t size, uint32_t mask)
{
    size_t i = 0;
    uint32_t seen = 0;
#ifdef FRAMECMP_SSE2
    __m128i any = _mm_setzero_si128();
    for (; i + 16 <= size; i += 16) {
        any = _mm_or_si128(any, _mm_loadu_si128(reinterpret_cast<const __m128i*>(frame + i)));
    }
    alignas(16) uint16_t lanes[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), any);
    seen = std::accumulate(std::begin(lanes), std::end(lanes), uint32_t{0},
                           [](uint32_t bits, uint16_t lane) { return bits | lane; });
#endif
    // cppcheck-suppress knownConditionTrueFalse ; not false where SSE2 has gathered `seen`
    return (seen & mask) != 0 || framePaddedPlain(frame + i, size - i, mask);
}

} // namespace framecmp
