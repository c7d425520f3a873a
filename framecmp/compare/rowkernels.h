// The row kernels: failing samples, largest difference and sum of squares of a row, the
// plain kernels and the fast ones beside them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"
#include "framecmp/compare/coding.h"

namespace framecmp {

// Longest rows the row kernels take at once: their 32-bit sums and 16-bit lane counts
// cannot overflow.
constexpr size_t kernelSpan = 65536;

struct RowTally {
    uint32_t failing;
    uint32_t padded;
    uint64_t sumOfSquares;
    int32_t largest;
};

// The plain kernels are the reference: the fast ones (SSE2 where the compiler targets it)
// give the same tally on the same samples, and take the rows' tails themselves.
RowTally compareRow8Plain(const uint8_t* expected, const uint8_t* actual, size_t length, int32_t tolerance);
RowTally compareRow16Plain(const uint8_t* expected, const uint8_t* actual, size_t length, const SampleCoding codings[2],
                           int32_t tolerance);
bool framePaddedPlain(const uint8_t* frame, size_t size, uint32_t mask);

RowTally compareRow8(const uint8_t* expected, const uint8_t* actual, size_t length, int32_t tolerance);

RowTally compareRow16(const uint8_t* expected, const uint8_t* actual, size_t length, const SampleCoding codings[2],
                      int32_t tolerance);

bool framePadded(const uint8_t* frame, size_t size, uint32_t mask);

// Whether two runs of bytes are equal and, where containers have padding (`paddingMask`
// not 0), none has a padding bit set: equal samples, when both are coded alike.
bool bytesAlike(const uint8_t* one, const uint8_t* other, size_t length, uint32_t paddingMask);

// The row kernels for a processor with or without AVX2 (RowKernel), and for this one.
RowKernel chooseRowKernel(bool avx2);

RowKernel rowKernelForProcessor();

RowTally compareRow8Avx2(const uint8_t* expected, const uint8_t* actual, size_t length, int32_t tolerance);

RowTally compareRow16Avx2(const uint8_t* expected, const uint8_t* actual, size_t length, const SampleCoding codings[2],
                          int32_t tolerance);

} // namespace framecmp
