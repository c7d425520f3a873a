// The I/O floor of planepack: the same working block, reads and writes, and no conversion.
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

static int copyFrames(int in, int out, uint8_t* block, size_t luma)
{
    // Make every page of the block private, as packing does: a block left as calloc's
    // shared zero pages would let each write copy from one cached page.
    std::memset(block, 0x80, 4 * luma);
    while (readFrame(in, block, 3 * luma / 2)) {
        if (write(out, block + 3 * luma / 2, 2 * luma) != ssize_t(2 * luma)) {
            return 1;
        }
    }
    return 0;
}

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fputs("usage: iofloor in out w h\n", stderr);
        return 2;
    }
    const size_t luma = std::strtoul(argv[3], nullptr, 10) * std::strtoul(argv[4], nullptr, 10);
    auto* block = static_cast<uint8_t*>(std::calloc(4 * luma, 1));
    const int in = open(argv[1], O_RDONLY | O_CLOEXEC);
    const int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    const int status = block == nullptr || in < 0 || out < 0 ? 2 : copyFrames(in, out, block, luma);
    std::free(block);
    close(in);
    return close(out) == 0 ? status : 1;
}
