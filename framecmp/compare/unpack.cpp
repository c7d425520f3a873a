#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define FRAMECMP_X86 1
#endif

#include "common/messages.h"
#include "framecmp/compare/unpack.h"

namespace framecmp {

namespace {

constexpr uint32_t tenBits = 0x3ffU;

// v210 holds six pixels in four words, lines rounded up to 128 bytes (48 pixels).
constexpr size_t v210GroupPixels = 6;
constexpr size_t v210LineAlign = 128;

// Word-packed semi-planar lines (xv20, xv15) hold three samples a word.
constexpr size_t xvWordSamples = 3;

size_t wordsFor(size_t count, size_t each)
{
    return (count + each - 1) / each;
}

uint32_t wordAt(const uint8_t* at)
{
    return uint32_t{at[0]} | uint32_t{at[1]} << 8U | uint32_t{at[2]} << 16U | uint32_t{at[3]} << 24U;
}

// The padding mark a word's last sample takes: bit 15 when any bit of `padding` is set.
uint16_t markOf(uint32_t word, uint32_t padding)
{
    return static_cast<uint16_t>((word & padding) != 0 ? paddingMark : 0);
}

uint16_t fieldOf(uint32_t word, uint32_t shift)
{
    return static_cast<uint16_t>(word >> shift & tenBits);
}

uint16_t* rowOf(uint8_t* frame, const Plane& plane, size_t y)
{
    // The working frame's planes start at even offsets of a block malloc aligns.
    return reinterpret_cast<uint16_t*>(frame + plane.offset + y * plane.rowStride); // NOLINT
}

} // namespace

// One line of v210. Whole groups a word at a time; the last, partial group a sample at a
// time, its padding marked on the last sample inside the width.
void v210LinePlain(const uint8_t* line, uint16_t* y, uint16_t* u, uint16_t* v, size_t width)
{
    constexpr uint32_t padding = 0xc0000000U;
    const size_t groups = width / v210GroupPixels;
    for (size_t g = 0; g < groups; ++g) {
        const uint8_t* at = line + 16 * g;
        const uint32_t w0 = wordAt(at);
        const uint32_t w1 = wordAt(at + 4);
        const uint32_t w2 = wordAt(at + 8);
        const uint32_t w3 = wordAt(at + 12);
        uint16_t* ys = y + 6 * g;
        uint16_t* us = u + 3 * g;
        uint16_t* vs = v + 3 * g;
        us[0] = fieldOf(w0, 0);
        ys[0] = fieldOf(w0, 10);
        vs[0] = fieldOf(w0, 20) | markOf(w0, padding);
        ys[1] = fieldOf(w1, 0);
        us[1] = fieldOf(w1, 10);
        ys[2] = fieldOf(w1, 20) | markOf(w1, padding);
        vs[1] = fieldOf(w2, 0);
        ys[3] = fieldOf(w2, 10);
        us[2] = fieldOf(w2, 20) | markOf(w2, padding);
        ys[4] = fieldOf(w3, 0);
        vs[2] = fieldOf(w3, 10);
        ys[5] = fieldOf(w3, 20) | markOf(w3, padding);
    }
    const size_t done = groups * v210GroupPixels;
    if (done == width) {
        return;
    }
    // The samples of a group in word order: plane (0 Y, 1 U, 2 V) and index in the group.
    static const uint8_t planeOf[12] = {1, 0, 2, 0, 1, 0, 2, 0, 1, 0, 2, 0};
    static const uint8_t indexOf[12] = {0, 0, 0, 1, 1, 2, 1, 3, 2, 4, 2, 5};
    uint16_t* rows[3] = {y + done, u + done / 2, v + done / 2};
    const size_t widths[3] = {width - done, (width - done + 1) / 2, (width - done + 1) / 2};
    for (size_t w = 0; w < 4; ++w) {
        const uint32_t word = wordAt(line + 16 * groups + 4 * w);
        uint16_t* last = nullptr;
        for (size_t s = 0; s < 3; ++s) {
            const size_t slot = 3 * w + s;
            if (indexOf[slot] < widths[planeOf[slot]]) {
                last = &rows[planeOf[slot]][indexOf[slot]];
                *last = fieldOf(word, static_cast<uint32_t>(10 * s));
            }
        }
        if (last != nullptr) {
            *last |= markOf(word, padding);
        }
    }
}

// Whether a line of v210 holds the containers of three rows (16-bit little-endian, at any
// byte), its padding clear: the line unpacked a group at a time and compared.
bool v210LineMatchesPlain(const uint8_t* line, const uint8_t* y, const uint8_t* u, const uint8_t* v, size_t width)
{
    for (size_t done = 0; done < width; done += v210GroupPixels) {
        const size_t pixels = std::min(v210GroupPixels, width - done);
        uint16_t samples[3][v210GroupPixels] = {};
        v210LinePlain(line + done / v210GroupPixels * 16, samples[0], samples[1], samples[2], pixels);
        const uint8_t* rows[3] = {y + 2 * done, u + done, v + done};
        const size_t counts[3] = {pixels, (pixels + 1) / 2, (pixels + 1) / 2};
        for (size_t p = 0; p < 3; ++p) {
            for (size_t i = 0; i < counts[p]; ++i) {
                const uint32_t container = uint32_t{rows[p][2 * i]} | uint32_t{rows[p][2 * i + 1]} << 8U;
                if (samples[p][i] != container || (samples[p][i] & paddingMark) != 0) {
                    return false;
                }
            }
        }
    }
    return true;
}

#ifdef FRAMECMP_X86
namespace {
// A group of v210's six pixels, from one 16-byte load: Y in lanes 0-5, U in lanes 0-2 and V
// in lanes 4-6 of the other. Each sample's 16-bit window (the two bytes that hold its ten
// bits) is shuffled into place, the bits above the sample are dropped by a multiplication
// that moves its top to bit 15, and a shift brings it down. The windows of a word's third
// sample hold the word's padding bits as bits 14 and 15, which mark it.
struct V210Group {
    __m128i luma;
    __m128i chroma;
};

__attribute__((target("ssse3"))) inline V210Group v210Group(const uint8_t* at)
{
    const __m128i lumaWindows = _mm_setr_epi8(1, 2, 4, 5, 6, 7, 9, 10, 12, 13, 14, 15, -1, -1, -1, -1);
    const __m128i chromaWindows = _mm_setr_epi8(0, 1, 5, 6, 10, 11, -1, -1, 2, 3, 8, 9, 13, 14, -1, -1);
    const __m128i lumaScale = _mm_setr_epi16(16, 64, 4, 16, 64, 4, 0, 0);
    const __m128i chromaScale = _mm_setr_epi16(64, 16, 4, 0, 4, 64, 16, 0);
    const auto mark = static_cast<int16_t>(paddingMark);
    const __m128i lumaMarks = _mm_setr_epi16(0, 0, mark, 0, 0, mark, 0, 0);
    const __m128i chromaMarks = _mm_setr_epi16(0, 0, mark, 0, mark, 0, 0, 0);
    const auto samples = [](__m128i windows, __m128i scale, __m128i marks) {
        const __m128i value = _mm_srli_epi16(_mm_mullo_epi16(windows, scale), 6);
        return _mm_or_si128(value, _mm_and_si128(_mm_or_si128(windows, _mm_slli_epi16(windows, 1)), marks));
    };
    const __m128i group = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    return V210Group{samples(_mm_shuffle_epi8(group, lumaWindows), lumaScale, lumaMarks),
                     samples(_mm_shuffle_epi8(group, chromaWindows), chromaScale, chromaMarks)};
}
} // namespace

// A group a step. Y takes all eight lanes of its store and U and V four each, so the steps
// stop where the stores would pass the row; the plain kernel finishes the line.
__attribute__((target("ssse3"))) void v210LineSsse3(const uint8_t* line, uint16_t* y, uint16_t* u, uint16_t* v,
                                                    size_t width)
{
    size_t g = 0;
    for (; v210GroupPixels * g + 8 <= width; ++g) {
        const V210Group samples = v210Group(line + 16 * g);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(y + 6 * g), samples.luma);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(u + 3 * g), samples.chroma);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(v + 3 * g), _mm_srli_si128(samples.chroma, 8));
    }
    v210LinePlain(line + 16 * g, y + 6 * g, u + 3 * g, v + 3 * g, width - v210GroupPixels * g);
}

// The same samples held against the rows' in registers, as far as the unpacker's steps go:
// the bits of the lanes in use that differ from the row's, and the padding marks, gathered.
__attribute__((target("ssse3"))) bool v210LineMatchesSsse3(const uint8_t* line, const uint8_t* y, const uint8_t* u,
                                                           const uint8_t* v, size_t width)
{
    const __m128i lumaLanes = _mm_setr_epi16(-1, -1, -1, -1, -1, -1, 0, 0);
    const __m128i chromaLanes = _mm_setr_epi16(-1, -1, -1, 0, -1, -1, -1, 0);
    const __m128i markBit = _mm_set1_epi16(static_cast<int16_t>(paddingMark));
    const auto apart = [markBit](__m128i unpacked, __m128i row, __m128i lanes) {
        return _mm_and_si128(_mm_or_si128(_mm_xor_si128(unpacked, row), _mm_and_si128(unpacked, markBit)), lanes);
    };
    __m128i differences = _mm_setzero_si128();
    size_t g = 0;
    for (; v210GroupPixels * g + 8 <= width; ++g) {
        const V210Group samples = v210Group(line + 16 * g);
        const __m128i rowLuma = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + 12 * g));
        const __m128i rowChroma = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(u + 6 * g)),
                                                     _mm_loadl_epi64(reinterpret_cast<const __m128i*>(v + 6 * g)));
        differences = _mm_or_si128(differences, _mm_or_si128(apart(samples.luma, rowLuma, lumaLanes),
                                                             apart(samples.chroma, rowChroma, chromaLanes)));
    }
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(differences, _mm_setzero_si128())) != 0xffff) {
        return false;
    }
    return v210LineMatchesPlain(line + 16 * g, y + 12 * g, u + 6 * g, v + 6 * g, width - v210GroupPixels * g);
}

namespace {
// v210Group's samples from the windows, in each 128-bit lane.
__attribute__((target("avx2"))) inline __m256i samples256(__m256i windows, __m256i scale, __m256i marks)
{
    const __m256i value = _mm256_srli_epi16(_mm256_mullo_epi16(windows, scale), 6);
    return _mm256_or_si256(value, _mm256_and_si256(_mm256_or_si256(windows, _mm256_slli_epi16(windows, 1)), marks));
}

// The bits of the lanes in use where unpacked samples and a row's differ, and the marks.
__attribute__((target("avx2"))) inline __m256i apart256(__m256i unpacked, __m256i row, __m256i lanes, __m256i markBit)
{
    return _mm256_and_si256(_mm256_or_si256(_mm256_xor_si256(unpacked, row), _mm256_and_si256(unpacked, markBit)),
                            lanes);
}
} // namespace

// Two groups a step, one in each 128-bit lane, as far as the rows' 16-byte loads stay
// inside them; SSSE3's steps finish the line.
__attribute__((target("avx2"))) bool v210LineMatchesAvx2(const uint8_t* line, const uint8_t* y, const uint8_t* u,
                                                         const uint8_t* v, size_t width)
{
    const __m256i lumaWindows = _mm256_setr_epi8(1, 2, 4, 5, 6, 7, 9, 10, 12, 13, 14, 15, -1, -1, -1, -1, 1, 2, 4, 5, 6,
                                                 7, 9, 10, 12, 13, 14, 15, -1, -1, -1, -1);
    const __m256i chromaWindows = _mm256_setr_epi8(0, 1, 5, 6, 10, 11, -1, -1, 2, 3, 8, 9, 13, 14, -1, -1, 0, 1, 5, 6,
                                                   10, 11, -1, -1, 2, 3, 8, 9, 13, 14, -1, -1);
    const __m256i lumaScale = _mm256_setr_epi16(16, 64, 4, 16, 64, 4, 0, 0, 16, 64, 4, 16, 64, 4, 0, 0);
    const __m256i chromaScale = _mm256_setr_epi16(64, 16, 4, 0, 4, 64, 16, 0, 64, 16, 4, 0, 4, 64, 16, 0);
    const auto mark = static_cast<int16_t>(paddingMark);
    const __m256i lumaMarks = _mm256_setr_epi16(0, 0, mark, 0, 0, mark, 0, 0, 0, 0, mark, 0, 0, mark, 0, 0);
    const __m256i chromaMarks = _mm256_setr_epi16(0, 0, mark, 0, mark, 0, 0, 0, 0, 0, mark, 0, mark, 0, 0, 0);
    const __m256i lumaLanes = _mm256_setr_epi16(-1, -1, -1, -1, -1, -1, 0, 0, -1, -1, -1, -1, -1, -1, 0, 0);
    const __m256i chromaLanes = _mm256_setr_epi16(-1, -1, -1, 0, -1, -1, -1, 0, -1, -1, -1, 0, -1, -1, -1, 0);
    const __m256i markBit = _mm256_set1_epi16(mark);
    const auto load = [](const uint8_t* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); };
    __m256i differences = _mm256_setzero_si256();
    size_t g = 0;
    for (; v210GroupPixels * g + 16 <= width; g += 2) {
        const __m256i groups = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(line + 16 * g));
        const __m256i luma = samples256(_mm256_shuffle_epi8(groups, lumaWindows), lumaScale, lumaMarks);
        const __m256i chroma = samples256(_mm256_shuffle_epi8(groups, chromaWindows), chromaScale, chromaMarks);
        const __m256i rowLuma =
            _mm256_inserti128_si256(_mm256_castsi128_si256(load(y + 12 * g)), load(y + 12 * g + 12), 1);
        // U and V of the first group in the low lane, of the second (three samples on) in the high.
        const __m128i us = load(u + 6 * g);
        const __m128i vs = load(v + 6 * g);
        const __m256i rowChroma =
            _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_unpacklo_epi64(us, vs)),
                                    _mm_unpacklo_epi64(_mm_srli_si128(us, 6), _mm_srli_si128(vs, 6)), 1);
        differences = _mm256_or_si256(differences, _mm256_or_si256(apart256(luma, rowLuma, lumaLanes, markBit),
                                                                   apart256(chroma, rowChroma, chromaLanes, markBit)));
    }
    if (_mm256_testz_si256(differences, differences) == 0) {
        return false;
    }
    return v210LineMatchesSsse3(line + 16 * g, y + 12 * g, u + 6 * g, v + 6 * g, width - v210GroupPixels * g);
}
#else
void v210LineSsse3(const uint8_t* line, uint16_t* y, uint16_t* u, uint16_t* v, size_t width)
{
    v210LinePlain(line, y, u, v, width);
}

bool v210LineMatchesAvx2(const uint8_t* line, const uint8_t* y, const uint8_t* u, const uint8_t* v, size_t width)
{
    return v210LineMatchesPlain(line, y, u, v, width);
}

bool v210LineMatchesSsse3(const uint8_t* line, const uint8_t* y, const uint8_t* u, const uint8_t* v, size_t width)
{
    return v210LineMatchesPlain(line, y, u, v, width);
}
#endif

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
