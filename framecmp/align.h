// --align: ACTUAL's offset found over the first frames at each, and both files set there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"
#include "framecmp/compare/coding.h"
#include "framecmp/input.h"
#include "framecmp/options.h"

namespace framecmp {

int64_t alignFiles(const Options& options, const PairLayout& pair, const Input inputs[2], Readahead& readahead,
                   Buffers& buffers);

} // namespace framecmp
