#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>

#if defined(__x86_64__) || defined(__i386__)
#define FRAMECMP_X86 1
#endif

#include "common/messages.h"
#include "framecmp/compare/unpack.h"
#include "framecmp/compare/v210.h"
#include "framecmp/compare/wordfields.h"

namespace framecmp {

namespace {

// v210's lines are rounded up to 128 bytes (48 pixels).
constexpr size_t v210LineAlign = 128;

// Word-packed semi-planar lines (xv20, xv15) hold three samples a word.
constexpr size_t xvWordSamples = 3;

size_t wordsFor(size_t count, size_t each)
{
    return (count + each - 1) / each;
}

uint16_t* rowOf(uint8_t* frame, const Plane& plane, size_t y)
{
    // The working frame's planes start at even offsets of a block malloc aligns.
    return reinterpret_cast<uint16_t*>(frame + plane.offset + y * plane.rowStride); // NOLINT
}

} // namespace

UnpackKernel chooseUnpackKernel(bool ssse3, bool avx2)
{
#ifdef FRAMECMP_X86
    return ssse3 && avx2 ? UnpackKernel::avx2 : ssse3 ? UnpackKernel::ssse3 : UnpackKernel::plain;
#else
    static_cast<void>(ssse3);
    static_cast<void>(avx2);
    return UnpackKernel::plain;
#endif
}

UnpackKernel unpackKernelForProcessor()
{
#ifdef FRAMECMP_X86
    return chooseUnpackKernel(static_cast<bool>(__builtin_cpu_supports("ssse3")),
                              static_cast<bool>(__builtin_cpu_supports("avx2")));
#else
    return UnpackKernel::plain;
#endif
}

namespace {
// One line of a format of one word a pixel: where the three planes' fields stand, and the
// padding bits, marked on the third plane's sample. (A vector kernel gained nothing here:
// the loop waits on memory.)
struct PixelWord {
    uint32_t shifts[3];
    uint32_t padding;
};

void pixelWordLine(const uint8_t* line, uint16_t* const rows[3], size_t width, const PixelWord& word)
{
    for (size_t x = 0; x < width; ++x) {
        const uint32_t w = wordAt(line + 4 * x);
        rows[0][x] = fieldOf(w, word.shifts[0]);
        rows[1][x] = fieldOf(w, word.shifts[1]);
        rows[2][x] = fieldOf(w, word.shifts[2]) | markOf(w, word.padding);
    }
}

// One line of three samples a word: sample k goes where `place` puts it; samples past
// `count` are not read.
template <typename Place> void threeAWordLine(const uint8_t* line, size_t count, Place place)
{
    constexpr uint32_t padding = 0xc0000000U;
    for (size_t w = 0; w * xvWordSamples < count; ++w) {
        const uint32_t word = wordAt(line + 4 * w);
        const size_t first = w * xvWordSamples;
        const size_t inWord = std::min(xvWordSamples, count - first);
        for (size_t s = 0; s < inWord; ++s) {
            *place(first + s) = fieldOf(word, static_cast<uint32_t>(10 * s));
        }
        *place(first + inWord - 1) |= markOf(word, padding);
    }
}

PixelWord pixelWordOf(Packing packing)
{
    // Fields for the working planes in order (Y, U, V or R, G, B) and the padding bits.
    switch (packing) {
    case Packing::v410: return PixelWord{{12, 2, 22}, 0x3U};
    case Packing::y410: return PixelWord{{10, 0, 20}, 0};
    case Packing::xv30: return PixelWord{{10, 0, 20}, 0xc0000000U};
    case Packing::x2rgb10: return PixelWord{{20, 10, 0}, 0};
    default: return PixelWord{{0, 10, 20}, 0}; // x2bgr10
    }
}

} // namespace

FileFrame fileFrameOf(const Format& format, const FrameLayout& working)
{
    const Layout& layout = *format.layout;
    const auto width = static_cast<size_t>(working.width);
    const auto height = static_cast<size_t>(working.height);
    if (layout.chroma != Chroma::words) {
        return FileFrame{Packing::none, {0, 0}, 0, working.frameSize, UnpackKernel::plain, working};
    }
    FileFrame file{layout.packing, {4 * width, 0}, 0, 0, unpackKernelForProcessor(), working};
    if (layout.packing == Packing::v210) {
        const size_t groupBytes = 16;
        const size_t raw = wordsFor(width, v210GroupPixels) * groupBytes;
        file.lineBytes[0] = wordsFor(raw, v210LineAlign) * v210LineAlign;
    }
    // The working frame fits in 32 bits, so width and height are below 2^31 and the luma
    // samples below 2^30: none of these products overflows 64 bits.
    file.bytes = file.lineBytes[0] * height;
    if (layout.packing == Packing::xv) {
        file.lineBytes[0] = 4 * wordsFor(width, xvWordSamples);
        file.lineBytes[1] = 4 * wordsFor(2 * static_cast<size_t>(working.planes[1].width), xvWordSamples);
        file.chromaAt = file.lineBytes[0] * height;
        file.bytes = file.chromaAt + file.lineBytes[1] * static_cast<size_t>(working.planes[1].height);
    }
    if (file.bytes > INT32_MAX) {
        fail(std::to_string(working.width) + "x" + std::to_string(working.height),
             "a frame of that size does not fit in 32 bits");
    }
    return file;
}

// The bytes of a line's words, whatever the stride: luma (or every) line, chroma line.
static void wordLines(const FileFrame& file, const FrameLayout& working, size_t lines[2])
{
    const auto width = static_cast<size_t>(working.width);
    switch (file.packing) {
    case Packing::v210: lines[0] = wordsFor(width, v210GroupPixels) * 16; break;
    case Packing::xv: lines[0] = 4 * wordsFor(width, xvWordSamples); break;
    default: lines[0] = 4 * width; break;
    }
    lines[1] = file.packing == Packing::xv
                   ? 4 * wordsFor(2 * static_cast<size_t>(working.planes[1].width), xvWordSamples)
                   : lines[0];
}

static std::string strideText(const std::string& optionPrefix, const BufferGeometry& geometry)
{
    std::string text = optionPrefix + "stride=" + std::to_string(geometry.stride[0]);
    return geometry.stride[1] != 0 ? text + "," + std::to_string(geometry.stride[1]) : text;
}

void placeWords(FileFrame& file, FrameLayout& working, const BufferGeometry& geometry, const std::string& optionPrefix,
                const std::string& who)
{
    const bool chromaLines = file.packing == Packing::xv;
    size_t lines[2] = {};
    wordLines(file, working, lines);
    if (geometry.stride[0] != 0) {
        file.lineBytes[0] = static_cast<size_t>(geometry.stride[0]);
        file.lineBytes[1] = geometry.stride[1] != 0 ? static_cast<size_t>(geometry.stride[1]) : file.lineBytes[0];
    }
    if (!chromaLines && geometry.stride[1] != 0 && geometry.stride[1] != geometry.stride[0]) {
        fail(strideText(optionPrefix, geometry), "words of all planes share their lines: give one stride");
    }
    if (file.lineBytes[0] < lines[0] || (chromaLines && file.lineBytes[1] < lines[1])) {
        const size_t shortLine = file.lineBytes[0] < lines[0] ? lines[0] : lines[1];
        fail(strideText(optionPrefix, geometry), "shorter than a line of " + std::to_string(shortLine) + " bytes");
    }
    const auto height = static_cast<size_t>(working.height);
    const int64_t rows = geometry.planeRows != 0 ? geometry.planeRows : working.height;
    if (rows < working.height) {
        fail(optionPrefix + "plane-rows=" + std::to_string(rows),
             "fewer than the frame's " + std::to_string(working.height) + " rows");
    }
    // Every value is below 2^31, so no product or sum here leaves 64 bits.
    const size_t lumaLinesEnd = file.lineBytes[0] * (height - 1) + lines[0];
    size_t linesEnd = lumaLinesEnd;
    size_t strided = file.lineBytes[0] * static_cast<size_t>(rows);
    if (geometry.chromaOffset >= 0 && !chromaLines) {
        fail(optionPrefix + "chroma-offset=" + std::to_string(geometry.chromaOffset),
             "words of all planes share their lines: there is no chroma plane");
    }
    if (chromaLines) {
        const auto chromaRows = static_cast<size_t>(working.planes[1].height);
        const auto allocated = static_cast<size_t>(coveringCount(static_cast<int32_t>(rows), working.planes[1].coverY));
        file.chromaAt = geometry.chromaOffset >= 0 ? static_cast<size_t>(geometry.chromaOffset) : strided;
        if (file.chromaAt < lumaLinesEnd) {
            fail(optionPrefix + "chroma-offset=" + std::to_string(geometry.chromaOffset),
                 "inside the luma plane, whose last line ends at byte " + std::to_string(lumaLinesEnd));
        }
        linesEnd = file.chromaAt + file.lineBytes[1] * (chromaRows - 1) + lines[1];
        strided = std::max(strided, file.chromaAt + file.lineBytes[1] * allocated);
    }
    if (strided > INT32_MAX) {
        fail(who + "'s buffer",
             "a frame of " + std::to_string(strided) + " bytes is over the 32-bit frame limit of 2147483647 bytes");
    }
    if (geometry.frameBytes != 0 && static_cast<size_t>(geometry.frameBytes) < strided) {
        fail(optionPrefix + "frame-bytes=" + std::to_string(geometry.frameBytes),
             "shorter than the strided frame of " + std::to_string(strided) + " bytes");
    }
    file.bytes = geometry.frameBytes != 0 ? static_cast<size_t>(geometry.frameBytes) : strided;
    working.fileFrameSize = file.bytes;
    working.linesEnd = linesEnd;
    working.lineBytes[0] = file.lineBytes[0];
    working.lineBytes[1] = file.lineBytes[1];
}

void arrivedLines(const FileFrame& file, const FrameLayout& working, size_t got, size_t lines[2])
{
    size_t lineLength[2] = {};
    wordLines(file, working, lineLength);
    const auto whole = [](size_t available, size_t start, size_t stride, size_t length, size_t count) {
        if (available < start + length) {
            return size_t{0};
        }
        return std::min(count, (available - start - length) / stride + 1);
    };
    lines[0] = whole(got, 0, file.lineBytes[0], lineLength[0], static_cast<size_t>(working.height));
    lines[1] = file.packing == Packing::xv ? whole(got, file.chromaAt, file.lineBytes[1], lineLength[1],
                                                   static_cast<size_t>(working.planes[1].height))
                                           : lines[0];
}

void unpackLineAt(const FileFrame& file, const FrameLayout& working, const uint8_t* line, int kind,
                  uint16_t* const rows[3])
{
    const auto width = static_cast<size_t>(working.width);
    switch (file.packing) {
    case Packing::none: return;
    case Packing::v210:
        if (file.kernel != UnpackKernel::plain) {
            v210LineSsse3(line, rows[0], rows[1], rows[2], width);
        } else {
            v210LinePlain(line, rows[0], rows[1], rows[2], width);
        }
        return;
    case Packing::xv:
        if (kind == 0) {
            threeAWordLine(line, width, [&](size_t k) { return rows[0] + k; });
        } else {
            threeAWordLine(line, 2 * static_cast<size_t>(working.planes[1].width),
                           [&](size_t k) { return rows[1 + k % 2] + k / 2; });
        }
        return;
    default: pixelWordLine(line, rows, width, pixelWordOf(file.packing));
    }
}

void unpackLine(const FileFrame& file, const FrameLayout& working, const uint8_t* from, size_t line, int kind,
                uint16_t* const rows[3])
{
    const size_t at = kind == 0 ? line * file.lineBytes[0] : file.chromaAt + line * file.lineBytes[1];
    unpackLineAt(file, working, from + at, kind, rows);
}

void unpackLines(const FileFrame& file, const FrameLayout& working, const uint8_t* from, uint8_t* frame,
                 const size_t first[2], const size_t end[2])
{
    const Plane* planes = working.planes;
    const bool xv = file.packing == Packing::xv;
    for (int kind = 0; kind < (xv ? 2 : 1); ++kind) {
        // A semi-planar file's luma lines fill only the luma plane, its chroma lines the others.
        const bool fills[3] = {kind == 0, kind == 1 || !xv, kind == 1 || !xv};
        for (size_t y = first[kind]; y < end[kind]; ++y) {
            uint16_t* rows[3] = {};
            for (size_t p = 0; p < 3; ++p) {
                rows[p] = fills[p] ? rowOf(frame, planes[p], y) : nullptr;
            }
            unpackLine(file, working, from, y, kind, rows);
        }
    }
}

void unpackArrived(const FileFrame& file, const FrameLayout& working, const uint8_t* from, size_t got, uint8_t* frame,
                   size_t done[2])
{
    size_t lines[2] = {};
    arrivedLines(file, working, got, lines);
    unpackLines(file, working, from, frame, done, lines);
    done[0] = std::max(done[0], lines[0]);
    done[1] = std::max(done[1], lines[1]);
}

void unpackFrame(const FileFrame& file, const FrameLayout& working, const uint8_t* from, uint8_t* frame)
{
    size_t done[2] = {};
    unpackArrived(file, working, from, SIZE_MAX, frame, done);
}

} // namespace framecmp
