#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __SSE2__
#include <emmintrin.h>
#define FRAMECMP_SSE2 1
#endif

#include "framecmp/compare/ssimsums.h"

namespace framecmp {

#ifdef FRAMECMP_SSE2
// Adds each pair of 32-bit lanes: the sums of blocks 0 and 1 in the low half, from lanes
// 0+1 and 2+3 of `low`, and of blocks 2 and 3 in the high half, from `high`.
static __m128i pairSums(__m128i low, __m128i high)
{
    const __m128i l = _mm_shuffle_epi32(_mm_add_epi32(low, _mm_srli_epi64(low, 32)), _MM_SHUFFLE(3, 1, 2, 0));
    const __m128i h = _mm_shuffle_epi32(_mm_add_epi32(high, _mm_srli_epi64(high, 32)), _MM_SHUFFLE(3, 1, 2, 0));
    return _mm_unpacklo_epi64(l, h);
}
#endif

// The fast kernel of 8-bit samples, 4 blocks (16 columns) a step, the tail by the plain
// one. Per row: the samples widened to 16 bits and added (4 rows of 255 fit), squares and
// products added in pairs by madd (32 bits hold a block's 16 of them), then pairs of pairs
// added and the four sums of each block turned into one vector, written out as 64 bits.
void blockSums8(const uint8_t* a, size_t strideA, const uint8_t* b, size_t strideB, size_t blocks, BlockSums* sums)
{
    size_t z = 0;
#ifdef FRAMECMP_SSE2
    const __m128i zero = _mm_setzero_si128();
    const __m128i ones = _mm_set1_epi16(1);
    for (; z + 4 <= blocks; z += 4) {
        __m128i s1[2] = {zero, zero};
        __m128i s2[2] = {zero, zero};
        __m128i ss[2] = {zero, zero};
        __m128i s12[2] = {zero, zero};
        for (size_t y = 0; y < ssimBlock; ++y) {
            const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + y * strideA + ssimBlock * z));
            const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + y * strideB + ssimBlock * z));
            const __m128i wa[2] = {_mm_unpacklo_epi8(va, zero), _mm_unpackhi_epi8(va, zero)};
            const __m128i wb[2] = {_mm_unpacklo_epi8(vb, zero), _mm_unpackhi_epi8(vb, zero)};
            for (size_t h = 0; h < 2; ++h) {
                s1[h] = _mm_add_epi16(s1[h], wa[h]);
                s2[h] = _mm_add_epi16(s2[h], wb[h]);
                ss[h] = _mm_add_epi32(ss[h], _mm_add_epi32(_mm_madd_epi16(wa[h], wa[h]), _mm_madd_epi16(wb[h], wb[h])));
                s12[h] = _mm_add_epi32(s12[h], _mm_madd_epi16(wa[h], wb[h]));
            }
        }
        const __m128i t1 = pairSums(_mm_madd_epi16(s1[0], ones), _mm_madd_epi16(s1[1], ones));
        const __m128i t2 = pairSums(_mm_madd_epi16(s2[0], ones), _mm_madd_epi16(s2[1], ones));
        const __m128i tss = pairSums(ss[0], ss[1]);
        const __m128i t12 = pairSums(s12[0], s12[1]);
        // Transposed: one vector of s1, s2, ss, s12 a block; all are positive, so the
        // 64-bit values are the 32-bit ones with zeros above.
        const __m128i a01 = _mm_unpacklo_epi32(t1, t2);
        const __m128i a23 = _mm_unpackhi_epi32(t1, t2);
        const __m128i b01 = _mm_unpacklo_epi32(tss, t12);
        const __m128i b23 = _mm_unpackhi_epi32(tss, t12);
        const __m128i block[4] = {_mm_unpacklo_epi64(a01, b01), _mm_unpackhi_epi64(a01, b01),
                                  _mm_unpacklo_epi64(a23, b23), _mm_unpackhi_epi64(a23, b23)};
        for (size_t k = 0; k < 4; ++k) {
            auto* out = reinterpret_cast<__m128i*>(sums + z + k);
            _mm_storeu_si128(out, _mm_unpacklo_epi32(block[k], zero));
            _mm_storeu_si128(out + 1, _mm_unpackhi_epi32(block[k], zero));
        }
    }
#endif
    blockSumsPlain(a + ssimBlock * z, strideA, b + ssimBlock * z, strideB, blocks - z, sums + z);
}

} // namespace framecmp
