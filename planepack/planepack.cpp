// planepack: turns planar 4:2:0 frames (Y plane, then U, then V) into packed 4:2:2 frames,
// two pixels in four bytes, in the byte order YUYV, YVYU, UYVY or VYUY. Every chroma row
// of the input serves two output rows.

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The fast kernels need SSE2 in the target itself: a 32-bit x86 build may not have it.
#ifdef __SSE2__
#include <immintrin.h>
#define PLANEPACK_SSE2 1
#endif

static const char* const usageLines[] = {
    "Usage: planepack in out w h order", ", where order 0 == YUYV,", "        order 1 == YVYU,",
    "        order 2 == UYVY,",          "        order 3 == VYUY,",
};

constexpr const char* invalidPictureSize = "ERROR, INVALID PICTURE SIZE";
constexpr const char* invalidOrder = "ERROR, INVALID ORDER";
constexpr const char* fileNotOpened = "ERROR, CANNOT OPEN FILE";
constexpr const char* outputIsInput = "ERROR, OUTPUT FILE IS THE INPUT FILE";
constexpr const char* allocationFailed = "ERROR, CANNOT ALLOCATE MEMORY";
constexpr const char* inputNotRead = "ERROR, CANNOT READ FILE";
constexpr const char* outputNotWritten = "ERROR, CANNOT WRITE FILE";

constexpr int failureStatus = -1;

// Sizes of one frame, all within a signed 32-bit integer by construction.
struct Picture {
    int32_t width;
    int32_t height;
    int32_t lumaPlaneSize;
    int32_t inputFrameSize;
    int32_t outputFrameSize;
    int32_t blockSize;
};

// A byte order as two choices: whether a group of four bytes opens with luma (YUYV, YVYU)
// or with chroma (UYVY, VYUY), and whether V comes before U (YVYU, VYUY).
struct PackOrder {
    bool lumaFirst;
    bool vFirst;
};

[[noreturn]] static void fail(const char* message)
{
    std::puts(message);
    std::exit(failureStatus);
}

// Reads a decimal integer as the standard text-to-integer conversion does: leading white
// space and a sign, then digits up to the first other character; no digits read as 0.
// Returns false when the number does not fit a signed 32-bit integer.
static bool readInteger(const char* text, int32_t& value)
{
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) {
        ++text;
    }
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') {
        ++text;
    }
    int64_t magnitude = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        magnitude = magnitude * 10 + (*text - '0');
        if (magnitude > int64_t{INT32_MAX} + 1) {
            return false;
        }
    }
    const int64_t signedValue = negative ? -magnitude : magnitude;
    if (signedValue > INT32_MAX) {
        return false;
    }
    value = static_cast<int32_t>(signedValue);
    return true;
}

// Decides a frame's sizes: false when they are not positive or when the working block of
// 4 x width x height bytes would not fit a signed 32-bit integer.
static bool pictureOf(const char* widthText, const char* heightText, Picture& picture)
{
    int32_t width = 0;
    int32_t height = 0;
    int32_t lumaPlaneSize = 0;
    int32_t blockSize = 0;
    // Each product is checked as it is formed, so no size can wrap; the block is the largest.
    if (!readInteger(widthText, width) || !readInteger(heightText, height) || width <= 0 || height <= 0 ||
        __builtin_mul_overflow(width, height, &lumaPlaneSize) || __builtin_mul_overflow(lumaPlaneSize, 4, &blockSize)) {
        return false;
    }
    picture = Picture{width, height, lumaPlaneSize, 3 * lumaPlaneSize / 2, 2 * lumaPlaneSize, blockSize};
    return true;
}

static Picture readPicture(const char* widthText, const char* heightText)
{
    Picture picture{};
    if (!pictureOf(widthText, heightText, picture)) {
        fail(invalidPictureSize);
    }
    return picture;
}

// Every order falls onto one of the four: any value above 1 puts chroma first, and its
// lowest bit puts V before U.
static PackOrder orderFor(int32_t order)
{
    return PackOrder{order <= 1, (static_cast<uint32_t>(order) & 1U) != 0};
}

// ---- Files ----

// Opens whichever of descriptors 0 to 2 the caller left closed, so that no file of ours is
// ever given one of them; each is opened for the direction it is not used in.
static void openStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY) != fd) {
            std::_Exit(failureStatus);
        }
    }
}

// A directory opens for reading but cannot be read: it is refused here, before the output
// is created or emptied.
static int openInput(const char* path)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat input {};
    if (fd < 0 || (fstat(fd, &input) == 0 && S_ISDIR(input.st_mode))) {
        fail(fileNotOpened);
    }
    return fd;
}

// The output may not name the input: opening it would truncate the input.
static void refuseInputAsOutput(int inputFd, const char* outputPath)
{
    struct stat input {};
    struct stat output {};
    if (fstat(inputFd, &input) == 0 && stat(outputPath, &output) == 0 && input.st_dev == output.st_dev &&
        input.st_ino == output.st_ino) {
        fail(outputIsInput);
    }
}

static int openOutput(const char* path)
{
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        fail(fileNotOpened);
    }
    return fd;
}

// Reads until `length` bytes are in or the input ends; returns whether the frame is whole.
static bool readFrame(int fd, uint8_t* data, size_t length)
{
    while (length > 0) {
        const ssize_t got = read(fd, data, length);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            fail(inputNotRead);
        }
        if (got == 0) {
            return false;
        }
        data += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

// The output block, writeAll to closeOutput, is kept identical in traceframes and planepack.
// Returns false when the output took fewer bytes than given (a full disk, an I/O error).
static bool writeAll(int fd, const uint8_t* data, size_t length)
{
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

// Cuts a regular file back to `completedBytes`; should the cut fail, the write error that
// led here is still what is reported.
static void cutBack(int fd, int64_t completedBytes)
{
    struct stat output {};
    if (fd >= 0 && fstat(fd, &output) == 0 && S_ISREG(output.st_mode)) {
        while (ftruncate(fd, static_cast<off_t>(completedBytes)) != 0 && errno == EINTR) {
        }
    }
}

static void closeOutput(int fd)
{
    if (close(fd) != 0) {
        fail(outputNotWritten);
    }
}

// A write failed part way through a frame: a regular output file is cut back to the frames
// completed before it, so that it never ends with a torn frame.
[[noreturn]] static void failWritingFrame(int fd, int64_t completedBytes)
{
    cutBack(fd, completedBytes);
    fail(outputNotWritten);
}

// ---- Packing ----

// The plain row kernel, which the fast ones are tested against: `pairs` groups of four
// bytes, two luma samples and one sample of each chroma, `first` stored before `second`.
template <bool lumaFirst>
static void packRowPlain(const uint8_t* y, const uint8_t* first, const uint8_t* second, uint8_t* out, size_t pairs)
{
    const size_t luma = lumaFirst ? 0 : 1;
    const size_t chroma = lumaFirst ? 1 : 0;
    for (size_t i = 0; i < pairs; ++i) {
        out[4 * i + luma] = y[2 * i];
        out[4 * i + chroma] = first[i];
        out[4 * i + luma + 2] = y[2 * i + 1];
        out[4 * i + chroma + 2] = second[i];
    }
}

#ifdef PLANEPACK_SSE2

// The same row 16 pairs a step, the rest with the plain kernel.
template <bool lumaFirst>
static void packRowSse2(const uint8_t* y, const uint8_t* first, const uint8_t* second, uint8_t* out, size_t pairs)
{
    size_t i = 0;
    for (; i + 16 <= pairs; i += 16) {
        const __m128i lumaLow = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + 2 * i));
        const __m128i lumaHigh = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + 2 * i + 16));
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(first + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(second + i));
        const __m128i chromaLow = _mm_unpacklo_epi8(a, b);
        const __m128i chromaHigh = _mm_unpackhi_epi8(a, b);
        __m128i* to = reinterpret_cast<__m128i*>(out + 4 * i);
        // A group holds luma in its even bytes and chroma in its odd ones, or the reverse.
        const __m128i evenLow = lumaFirst ? lumaLow : chromaLow;
        const __m128i oddLow = lumaFirst ? chromaLow : lumaLow;
        const __m128i evenHigh = lumaFirst ? lumaHigh : chromaHigh;
        const __m128i oddHigh = lumaFirst ? chromaHigh : lumaHigh;
        _mm_storeu_si128(to, _mm_unpacklo_epi8(evenLow, oddLow));
        _mm_storeu_si128(to + 1, _mm_unpackhi_epi8(evenLow, oddLow));
        _mm_storeu_si128(to + 2, _mm_unpacklo_epi8(evenHigh, oddHigh));
        _mm_storeu_si128(to + 3, _mm_unpackhi_epi8(evenHigh, oddHigh));
    }
    packRowPlain<lumaFirst>(y + 2 * i, first + i, second + i, out + 4 * i, pairs - i);
}

// The same row 32 pairs a step, the rest with the SSE2 kernel. AVX2 unpacks within 128-bit
// lanes, so every input is first spread as quarters 0, 2, 1, 3, which makes the unpacked
// halves come out in order.
template <bool lumaFirst>
__attribute__((target("avx2"))) static void packRowAvx2(const uint8_t* y, const uint8_t* first, const uint8_t* second,
                                                        uint8_t* out, size_t pairs)
{
    size_t i = 0;
    for (; i + 32 <= pairs; i += 32) {
        const __m256i lumaLow =
            _mm256_permute4x64_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(y + 2 * i)), 0xd8);
        const __m256i lumaHigh =
            _mm256_permute4x64_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(y + 2 * i + 32)), 0xd8);
        const __m256i a =
            _mm256_permute4x64_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(first + i)), 0xd8);
        const __m256i b =
            _mm256_permute4x64_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(second + i)), 0xd8);
        const __m256i chromaLow = _mm256_permute4x64_epi64(_mm256_unpacklo_epi8(a, b), 0xd8);
        const __m256i chromaHigh = _mm256_permute4x64_epi64(_mm256_unpackhi_epi8(a, b), 0xd8);
        __m256i* to = reinterpret_cast<__m256i*>(out + 4 * i);
        // A group holds luma in its even bytes and chroma in its odd ones, or the reverse.
        const __m256i evenLow = lumaFirst ? lumaLow : chromaLow;
        const __m256i oddLow = lumaFirst ? chromaLow : lumaLow;
        const __m256i evenHigh = lumaFirst ? lumaHigh : chromaHigh;
        const __m256i oddHigh = lumaFirst ? chromaHigh : lumaHigh;
        _mm256_storeu_si256(to, _mm256_unpacklo_epi8(evenLow, oddLow));
        _mm256_storeu_si256(to + 1, _mm256_unpackhi_epi8(evenLow, oddLow));
        _mm256_storeu_si256(to + 2, _mm256_unpacklo_epi8(evenHigh, oddHigh));
        _mm256_storeu_si256(to + 3, _mm256_unpackhi_epi8(evenHigh, oddHigh));
    }
    packRowSse2<lumaFirst>(y + 2 * i, first + i, second + i, out + 4 * i, pairs - i);
}

#endif

// The row kernels; the fast ones are compiled only where the target has SSE2.
enum class RowKernel { plain, sse2, avx2 };

template <RowKernel kernel, bool lumaFirst>
static void packRow(const uint8_t* y, const uint8_t* first, const uint8_t* second, uint8_t* out, size_t pairs)
{
#ifdef PLANEPACK_SSE2
    if constexpr (kernel == RowKernel::avx2) {
        packRowAvx2<lumaFirst>(y, first, second, out, pairs);
        return;
    }
    if constexpr (kernel == RowKernel::sse2) {
        packRowSse2<lumaFirst>(y, first, second, out, pairs);
        return;
    }
#endif
    packRowPlain<lumaFirst>(y, first, second, out, pairs);
}

// Packs a frame: each chroma row serves a pair of rows. With an odd width each row takes
// width - 1 luma bytes, so the luma is read as one continuous run. An order with V before U
// is packed as its U-first twin with the two chroma planes traded.
template <RowKernel kernel, bool lumaFirst>
static void packFrame(const Picture& picture, const PackOrder& order, uint8_t* block)
{
    const size_t pairs = size_t(picture.width / 2);
    const uint8_t* y = block;
    const uint8_t* u = block + picture.lumaPlaneSize;
    const uint8_t* v = u + picture.lumaPlaneSize / 4;
    const uint8_t* first = order.vFirst ? v : u;
    const uint8_t* second = order.vFirst ? u : v;
    uint8_t* out = block + picture.inputFrameSize;
    for (int32_t row = 0; row + 1 < picture.height; row += 2) {
        packRow<kernel, lumaFirst>(y, first, second, out, pairs);
        packRow<kernel, lumaFirst>(y + 2 * pairs, first, second, out + 4 * pairs, pairs);
        y += 4 * pairs;
        first += pairs;
        second += pairs;
        out += 8 * pairs;
    }
    // An odd last row takes the next chroma row alone, and its reads run past the chroma
    // planes into this frame's output, already packed (at height 1, into its own row, behind
    // the pair being packed): it goes last, pair by pair, with the plain kernel.
    if ((picture.height & 1) != 0) {
        packRowPlain<lumaFirst>(y, first, second, out, pairs);
    }
}

// The frame packer of one kernel, for groups that open with luma or with chroma.
template <RowKernel kernel> static void packFrameWith(const Picture& picture, const PackOrder& order, uint8_t* block)
{
    if (order.lumaFirst) {
        packFrame<kernel, true>(picture, order, block);
    } else {
        packFrame<kernel, false>(picture, order, block);
    }
}

// The fastest kernel this processor runs, or in the in-process test build the one it names.
static RowKernel chooseRowKernel()
{
#if defined(PLANEPACK_ROW_KERNEL)
    return RowKernel::PLANEPACK_ROW_KERNEL;
#elif defined(PLANEPACK_SSE2)
    return __builtin_cpu_supports("avx2") ? RowKernel::avx2 : RowKernel::sse2;
#else
    return RowKernel::plain;
#endif
}

// The block starts zeroed: bytes an odd width leaves unpacked stay zero in every frame.
static uint8_t* allocateBlock(const Picture& picture)
{
    uint8_t* block = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(picture.blockSize), 1));
    if (block == nullptr) {
        fail(allocationFailed);
    }
    return block;
}

// Writes the packed frame whole, or cuts the output back to the frames before it and fails.
static void writeFrame(int fd, const Picture& picture, const uint8_t* block, int64_t framesWritten)
{
    if (!writeAll(fd, block + picture.inputFrameSize, static_cast<size_t>(picture.outputFrameSize))) {
        failWritingFrame(fd, framesWritten * picture.outputFrameSize);
    }
}

static void packFrames(int inputFd, int outputFd, const Picture& picture, const PackOrder& order, uint8_t* block)
{
    const RowKernel kernel = chooseRowKernel();
    int64_t framesWritten = 0;
    while (readFrame(inputFd, block, static_cast<size_t>(picture.inputFrameSize))) {
        switch (kernel) {
        case RowKernel::plain: packFrameWith<RowKernel::plain>(picture, order, block); break;
        case RowKernel::sse2: packFrameWith<RowKernel::sse2>(picture, order, block); break;
        case RowKernel::avx2: packFrameWith<RowKernel::avx2>(picture, order, block); break;
        }
        writeFrame(outputFd, picture, block, framesWritten);
        ++framesWritten;
    }
}

int main(int argc, char** argv)
{
    openStandardDescriptors();
    // A file-size limit makes a write fail with EFBIG, which cuts the output back to whole
    // frames, instead of killing the run in the middle of a frame.
    std::signal(SIGXFSZ, SIG_IGN);
    if (argc < 6) {
        for (const char* line : usageLines) {
            std::puts(line);
        }
        return failureStatus;
    }
    const Picture picture = readPicture(argv[3], argv[4]);
    int32_t order = 0;
    if (!readInteger(argv[5], order)) {
        fail(invalidOrder);
    }
    const PackOrder packOrder = orderFor(order);

    const int inputFd = openInput(argv[1]);
    refuseInputAsOutput(inputFd, argv[2]);
    uint8_t* block = allocateBlock(picture);
    const int outputFd = openOutput(argv[2]);
    packFrames(inputFd, outputFd, picture, packOrder, block);
    std::free(block);
    close(inputFd);
    closeOutput(outputFd);
    return 0;
}
