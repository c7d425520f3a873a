// The picture's rows: the frames as RGB, the difference map, the labels and the zoom.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"
#include "framecmp/compare/coding.h"
#include "framecmp/input.h"
#include "framecmp/picture/layout.h"

namespace framecmp {

void pictureRow(const PairLayout& pair, const PictureLayout& picture, const Buffers& buffers, int32_t tolerance,
                int64_t y, uint8_t* row, size_t rowBytes);

} // namespace framecmp
