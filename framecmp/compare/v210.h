// Lines of v210 (six pixels in four 32-bit words: U0 Y0 V0, Y1 U1 Y2, V1 Y3 U2, Y4 V2 Y5,
// ten bits each from bit 0 up) unpacked into 16-bit rows, or held against rows as they are.
#pragma once

#include <cstddef>
#include <cstdint>

namespace framecmp {

constexpr size_t v210GroupPixels = 6;

// One line of v210 into its Y, U and V rows. The plain kernel is the reference; the SSSE3
// one gives the same samples and leaves the line's last groups to the plain one.
void v210LinePlain(const uint8_t* line, uint16_t* y, uint16_t* u, uint16_t* v, size_t width);
void v210LineSsse3(const uint8_t* line, uint16_t* y, uint16_t* u, uint16_t* v, size_t width);

// Whether one line of v210 holds the samples of three rows of 16-bit little-endian
// containers (at any byte), with no padding set: the line unpacked as above and compared,
// by the SSSE3 and AVX2 kernels without storing the samples.
bool v210LineMatchesPlain(const uint8_t* line, const uint8_t* y, const uint8_t* u, const uint8_t* v, size_t width);
bool v210LineMatchesSsse3(const uint8_t* line, const uint8_t* y, const uint8_t* u, const uint8_t* v, size_t width);
bool v210LineMatchesAvx2(const uint8_t* line, const uint8_t* y, const uint8_t* u, const uint8_t* v, size_t width);

} // namespace framecmp
