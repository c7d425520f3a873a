// Running out of memory ends the run as other trouble does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"

namespace framecmp {

[[noreturn]] void failAllocation(size_t size);

uint8_t* allocate(size_t size);

} // namespace framecmp
