// framecmp's entry point, and what only the program, never the library, may do: replace
// the allocator of the standard library.
#include <cstddef>
#include <cstdlib>
#include <new>

#include "framecmp/memory.h"
#include "framecmp/run.h"

// Every allocation of the standard library comes here: its failure is framecmp's message
// and status 2, not an exception that would end the run with an abort.
void* operator new(size_t size)
{
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        framecmp::failAllocation(size);
    }
    return block;
}

void operator delete(void* block) noexcept
{
    std::free(block);
}

void operator delete(void* block, size_t /*size*/) noexcept
{
    std::free(block);
}

int main(int argc, char** argv)
{
    return framecmp::run(argc, argv);
}
