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

#include "framecmp/memory.h"

namespace framecmp {

// Running out of memory ends the run as other trouble does: one message, status 2, no
// temporary file left behind. Nothing here allocates, so that it works when nothing can be.
[[noreturn]] void failAllocation(size_t size)
{
    removePendingTemporaries();
    std::fflush(stdout);
    std::fprintf(stderr, "%s: memory: cannot allocate %zu bytes\n", programName, size);
    std::exit(statusTrouble);
}

uint8_t* allocate(size_t size)
{
    // One byte more, so that a frame of no chroma still gets a block of its own.
    auto* block = static_cast<uint8_t*>(std::malloc(size + 1));
    if (block == nullptr) {
        failAllocation(size);
    }
    return block;
}

} // namespace framecmp
