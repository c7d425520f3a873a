// The I/O floor of planepack: the same block, reads and writes, and no conversion.
// Usage: iofloor in out w h
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

static bool readFrame(int fd, uint8_t* data, size_t length)
{
    while (length > 0) {
        const ssize_t got = read(fd, data, length);
        if (got <= 0) {
            return false;
        }
        data += got;
        length -= size_t(got);
    }
    return true;
}

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fputs("usage: iofloor in out w h\n", stderr);
        return 2;
    }
    const size_t luma = size_t(std::atol(argv[3])) * size_t(std::atol(argv[4]));
    uint8_t* block = static_cast<uint8_t*>(std::calloc(4 * luma, 1));
    const int in = open(argv[1], O_RDONLY);
    const int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (block == nullptr || in < 0 || out < 0) {
        std::fputs("iofloor: cannot start\n", stderr);
        return 2;
    }
    // Make every page of the block private, as packing does: a block left as calloc's
    // shared zero pages would let each write copy from one cached page.
    std::memset(block, 0x80, 4 * luma);
    while (readFrame(in, block, 3 * luma / 2)) {
        if (write(out, block + 3 * luma / 2, 2 * luma) != ssize_t(2 * luma)) {
            return 1;
        }
    }
    close(in);
    return close(out) == 0 ? 0 : 1;
}
