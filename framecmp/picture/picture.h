// -i: the PNG of a frame, written with libpng, or refused by a build without it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"
#include "framecmp/compare/coding.h"
#include "framecmp/compare/result.h"
#include "framecmp/input.h"

namespace framecmp {

SafeOutput writePicture(const char* path, const PairLayout& pair, const Buffers& buffers, const FrameResult& drawn,
                        int32_t tolerance, const Region& region);

} // namespace framecmp
