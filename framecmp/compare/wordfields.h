// The fields of little-endian 32-bit words that word-packed formats hold three 10-bit
// samples in, and the mark a word's padding leaves on its last sample.
#pragma once

#include <cstdint>

#include "framecmp/compare/unpack.h"

namespace framecmp {

constexpr uint32_t tenBits = 0x3ffU;

inline uint32_t wordAt(const uint8_t* at)
{
    return uint32_t{at[0]} | uint32_t{at[1]} << 8U | uint32_t{at[2]} << 16U | uint32_t{at[3]} << 24U;
}

// The padding mark a word's last sample takes: bit 15 when any bit of `padding` is set.
inline uint16_t markOf(uint32_t word, uint32_t padding)
{
    return static_cast<uint16_t>((word & padding) != 0 ? paddingMark : 0);
}

inline uint16_t fieldOf(uint32_t word, uint32_t shift)
{
    return static_cast<uint16_t>(word >> shift & tenBits);
}

} // namespace framecmp
