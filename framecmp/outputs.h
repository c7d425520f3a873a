// The outputs checked before anything is written: none over an input, no two on one file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"
#include "framecmp/options.h"

namespace framecmp {

void refuseOutputsOverInputs(const Options& options);

void checkOutputs(const Options& options);

} // namespace framecmp
