#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"
#include "framecmp/compare/coding.h"
#include "framecmp/compare/frame.h"
#include "framecmp/input.h"
#include "framecmp/options.h"
#include "framecmp/report/files.h"

namespace framecmp {

RunTally compareFiles(const Settings& settings, const Geometry& geometry, const Input inputs[2], Held& held,
                      Buffers& buffers, int64_t firstFrame, Remainder rest[2], Reports& reports, FrameWork& work);

} // namespace framecmp
