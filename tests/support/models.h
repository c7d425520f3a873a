// Small models the tests hold the programs to: the shape of a trace's frames, the report
// traceframes prints for it, frames in bus order and in planes, and the C library's reading
// of rows and of whole traces; planepack's packing pixel by pixel; the numbers at the
// edges of 32-bit sizes, read in 128-bit integers; tight frames written into the strided
// and padded buffers hardware writes; and frames packed into 32-bit words.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

// The frames of a trace: the picture, its sampling, the bus and the bytes of a sample.
struct TraceShape {
    int width;
    int height;
    int sampling; // 420, 422, 440 or 400
    int busBytes;
    int sampleBytes = 1;
};

inline size_t lumaBytes(const TraceShape& s)
{
    return size_t(s.width) * size_t(s.height) * size_t(s.sampleBytes);
}

inline size_t frameBytes(const TraceShape& s)
{
    const size_t luma = size_t(s.width) * size_t(s.height);
    const size_t factor = s.sampling == 420 ? 3 : s.sampling == 400 ? 2 : 4;
    return luma * factor / 2 * size_t(s.sampleBytes);
}

// What traceframes prints before the rows: the input, the geometry, the depth when -D is given.
inline std::string geometryReport(const std::string& input, const TraceShape& s, int depth = 0)
{
    return "use input file '" + input + "'\nwidth     = " + std::to_string(s.width) +
           "\nheight    = " + std::to_string(s.height) + "\nsampling  = YUV" + std::to_string(s.sampling) +
           "\nbus width = " + std::to_string(s.busBytes * 8) + "\n" +
           (depth != 0 ? "depth     = " + std::to_string(depth) + "\n" : "");
}

// Whole frames in bus order (the luma, then the two chroma interleaved a sample at a time,
// then any bytes past the last whole pair) as -P writes them: the luma, then the first
// chroma plane, then the second, then those bytes.
inline std::string planarOrder(const TraceShape& s, const std::string& bus)
{
    const size_t frame = frameBytes(s);
    const size_t luma = lumaBytes(s);
    const auto sample = size_t(s.sampleBytes);
    const size_t pairsEnd = luma + (frame - luma) / (2 * sample) * 2 * sample;
    std::string planar;
    for (size_t at = 0; at + frame <= bus.size(); at += frame) {
        std::string u;
        std::string v;
        for (size_t c = at + luma; c < at + pairsEnd; c += 2 * sample) {
            u += bus.substr(c, sample);
            v += bus.substr(c + sample, sample);
        }
        planar += bus.substr(at, luma) + u + v + bus.substr(at + pairsEnd, frame - pairsEnd);
    }
    return planar;
}

// Whole planar frames as the bus carries them.
inline std::string busOrder(const TraceShape& s, const std::string& planar)
{
    const size_t frame = frameBytes(s);
    const size_t luma = lumaBytes(s);
    const auto sample = size_t(s.sampleBytes);
    const size_t chroma = (frame - luma) / (2 * sample) * sample;
    std::string bus;
    for (size_t at = 0; at + frame <= planar.size(); at += frame) {
        bus += planar.substr(at, luma);
        for (size_t c = 0; c < chroma; c += sample) {
            bus += planar.substr(at + luma + c, sample);
            bus += planar.substr(at + luma + chroma + c, sample);
        }
        bus += planar.substr(at + luma + 2 * chroma, frame - luma - 2 * chroma);
    }
    return bus;
}

// Bytes in bus order as trace rows of busBytes two-digit numbers, blank-separated or packed,
// each row's bytes reversed for a word printed most significant byte first.
// One bus word as a row without its line feed: two-digit numbers, blank-separated or packed
// into one number, reversed for a word printed most significant byte first.
inline std::string wordRow(std::string word, bool reversed, bool packed)
{
    if (reversed) {
        std::reverse(word.begin(), word.end());
    }
    std::string row;
    for (size_t i = 0; i < word.size(); ++i) {
        char number[4];
        std::snprintf(number, sizeof number, "%02x", unsigned(uint8_t(word[i])));
        row += (i > 0 && !packed ? " " : "") + std::string(number);
    }
    return row;
}

inline std::string traceRows(const std::string& bus, int busBytes, bool reversed, bool packed)
{
    std::string rows;
    for (size_t at = 0; at + size_t(busBytes) <= bus.size(); at += size_t(busBytes)) {
        rows += wordRow(bus.substr(at, size_t(busBytes)), reversed, packed) + '\n';
    }
    return rows;
}

// The C library's reading of one row: the count "%2x" eight times gives and its bytes.
struct RowReading {
    int count;
    std::vector<uint8_t> bytes; // the first `count` bytes only
};

inline RowReading readRowWithLibc(const std::string& row)
{
    unsigned v[8] = {};
    const int count =
        std::sscanf(row.c_str(), "%2x%2x%2x%2x%2x%2x%2x%2x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7]);
    return {count, std::vector<uint8_t>(v, v + std::max(count, 0))};
}

// The C library's reading of a trace, line by line: the frames, what follows the geometry
// report on standard output, what goes to standard error and the status.
struct TraceReading {
    int status = 0;
    std::string out;
    std::string err;
    std::string frames;
};

inline TraceReading readTraceWithLibc(const std::string& trace, int busBytes, size_t frameSize)
{
    TraceReading reading;
    std::string frame;
    int64_t index = -1;
    for (size_t at = 0, next; at < trace.size(); at = next) {
        next = std::min(trace.find('\n', at), trace.size() - 1) + 1;
        const std::string line = trace.substr(at, next - at);
        ++index;
        if (line[0] == '#') {
            reading.out += line.back() == '\n' ? line : line + "\n";
            continue;
        }
        const RowReading row = readRowWithLibc(line);
        if (row.count != busBytes) {
            reading.status = 9;
            reading.err = "malformed row: " + std::to_string(index) + "\n";
            return reading;
        }
        frame.append(row.bytes.begin(), row.bytes.end());
        if (frame.size() == frameSize) {
            reading.frames += frame;
            frame.clear();
        }
    }
    if (!frame.empty()) {
        reading.err = "read error, insufficient data (k=" + std::to_string(frame.size()) + ")!\n";
    }
    reading.out += "Wrote " + std::to_string(reading.frames.size() / frameSize) + " frames\n";
    return reading;
}

// The packing as a loop over one working block of 4 x width x height bytes, the input frame
// at its start and the output frame behind it, with every chroma row used for two rows.
inline std::string packModel(const std::string& input, int width, int height, int order)
{
    const size_t luma = size_t(width) * size_t(height);
    const size_t inFrame = 3 * luma / 2;
    const int y0 = order > 1 ? 1 : 0;
    const int u = ((order & 1) != 0 ? 2 : 0) + (order <= 1 ? 1 : 0);
    const int v = ((order & 1) != 0 ? 0 : 2) + (order <= 1 ? 1 : 0);
    std::string block(4 * luma, '\0');
    std::string packed;
    for (size_t at = 0; at + inFrame <= input.size(); at += inFrame) {
        block.replace(0, inFrame, input, at, inFrame);
        size_t yAt = 0, uAt = luma, vAt = luma + luma / 4, out = inFrame;
        for (int row = 0; row < height; ++row) {
            for (int pair = 0; pair < width / 2; ++pair, yAt += 2, ++uAt, ++vAt, out += 4) {
                block.at(out + size_t(y0)) = block.at(yAt);
                block.at(out + size_t(u)) = block.at(uAt);
                block.at(out + size_t(y0) + 2) = block.at(yAt + 1);
                block.at(out + size_t(v)) = block.at(vAt);
            }
            if (row % 2 == 0) {
                uAt -= size_t(width / 2);
                vAt -= size_t(width / 2);
            }
        }
        packed += block.substr(inFrame, 2 * luma);
    }
    return packed;
}

// ---- Frames in a buffer's layout ----

// The lines of a tight frame: `height` luma lines of lumaLine bytes (a packed format's whole
// lines), then chromaPlanes (0, 1 or 2) planes of chromaHeight lines of chromaLine bytes.
struct LineShape {
    size_t lumaLine;
    size_t height;
    size_t chromaPlanes;
    size_t chromaLine;
    size_t chromaHeight;
};

// Where a buffer puts those lines: the bytes from one luma and one chroma line's start to the
// next, where the first chroma plane starts, the rows each chroma plane takes (the second
// follows the first after them) and the bytes from one frame's start to the next.
struct BufferShape {
    size_t stride[2];
    size_t chromaStart;
    size_t chromaRows;
    size_t frameBytes;
};

inline size_t chromaLineAt(const BufferShape& b, size_t plane, size_t y)
{
    return b.chromaStart + plane * b.stride[1] * b.chromaRows + y * b.stride[1];
}

// The byte after a frame's last line in the buffer: where the file's last frame may end.
inline size_t bufferedLinesEnd(const LineShape& s, const BufferShape& b)
{
    if (s.chromaPlanes == 0) {
        return (s.height - 1) * b.stride[0] + s.lumaLine;
    }
    return chromaLineAt(b, s.chromaPlanes - 1, s.chromaHeight - 1) + s.chromaLine;
}

// A tight frame written line by line into a buffer, every byte between and after the lines
// garbage from `random`.
inline std::string bufferedFrame(const std::string& tight, const LineShape& s, const BufferShape& b,
                                 std::mt19937& random)
{
    std::string buffer(b.frameBytes, '\0');
    for (char& c : buffer) {
        c = char(random());
    }
    size_t from = 0;
    for (size_t y = 0; y < s.height; ++y, from += s.lumaLine) {
        buffer.replace(y * b.stride[0], s.lumaLine, tight, from, s.lumaLine);
    }
    for (size_t p = 0; p < s.chromaPlanes; ++p) {
        for (size_t y = 0; y < s.chromaHeight; ++y, from += s.chromaLine) {
            buffer.replace(chromaLineAt(b, p, y), s.chromaLine, tight, from, s.chromaLine);
        }
    }
    return buffer;
}

// ---- Sizes at the edges of 32-bit arithmetic ----

using Wide = __int128;

inline constexpr Wide int32Max = 2147483647;

// Around the square roots of 2^31 and 2^32, the 2^30 and 2^31 edges, and past 32 and 64 bits.
inline const char* const boundaryNumbers[] = {
    "1",
    "2",
    "3",
    "46340",
    "46341",
    "65535",
    "65536",
    "1073741823",
    "1073741824",
    "1073741825",
    "1518500249",
    "1518500250",
    "2147483646",
    "2147483647",
    "2147483648",
    "4294967301",
    "99999999999999999999",
};

inline Wide wideOf(const std::string& digits)
{
    Wide value = 0;
    for (const char c : digits) {
        value = value * 10 + (c - '0');
        if (value > Wide{1} << 100) {
            break; // far past every limit; enough to decide
        }
    }
    return value;
}

// ---- AXI4-Stream video ----

// The layouts of a stream, as -A names them.
inline const char* const streamLayoutNames[] = {"yuv422", "uyvy422", "yuv444", "uyv444", "rgb", "yuv420", "mono"};

// A stream: its layout, the bits of a component, the pixels of a beat, slots of whole bytes
// (:byte), and the picture.
struct StreamShape {
    std::string layout;
    int bits;
    int ppc;
    bool byteAligned;
    int width;
    int height;
};

inline int streamComponents(const std::string& layout)
{
    return layout == "mono" ? 1 : layout == "yuv422" || layout == "uyvy422" || layout == "yuv420" ? 2 : 3;
}

inline int streamSampling(const std::string& layout)
{
    return layout == "mono" ? 400 : layout == "yuv420" ? 420 : streamComponents(layout) == 2 ? 422 : 444;
}

inline int streamSlotBits(const StreamShape& s)
{
    const int bits = streamComponents(s.layout) * s.bits;
    return s.byteAligned ? (bits + 7) / 8 * 8 : bits;
}

// The planar frame: plane 0 width x height, planes 1 and 2 the chroma, rounded up.
inline int streamChromaWidth(const StreamShape& s)
{
    const int sampling = streamSampling(s.layout);
    return sampling == 400 ? 0 : sampling == 444 ? s.width : (s.width + 1) / 2;
}

inline int streamChromaHeight(const StreamShape& s)
{
    return streamSampling(s.layout) == 420 ? (s.height + 1) / 2 : s.height;
}

inline size_t streamFrameBytes(const StreamShape& s)
{
    const size_t sample = s.bits > 8 ? 2 : 1;
    return (size_t(s.width) * size_t(s.height) + 2 * size_t(streamChromaWidth(s)) * size_t(streamChromaHeight(s))) *
           sample;
}

// One sample of a planar frame, little-endian when it takes two bytes.
inline unsigned planarSample(const StreamShape& s, const std::string& frame, int plane, int x, int y)
{
    const size_t sample = s.bits > 8 ? 2 : 1;
    const size_t luma = size_t(s.width) * size_t(s.height);
    const size_t chroma = size_t(streamChromaWidth(s)) * size_t(streamChromaHeight(s));
    const size_t width = plane == 0 ? size_t(s.width) : size_t(streamChromaWidth(s));
    const size_t at = (plane == 0 ? 0 : plane == 1 ? luma : luma + chroma) + size_t(y) * width + size_t(x);
    unsigned value = uint8_t(frame.at(at * sample));
    if (sample == 2) {
        value |= unsigned(uint8_t(frame.at(at * sample + 1))) << 8;
    }
    return value;
}

// The components of pixel (x, y) in the order the slot carries them from bit 0; rgb's
// planes are G, B, R; the chroma slots of 4:2:0's odd lines carry 0.
inline std::vector<unsigned> streamPixel(const StreamShape& s, const std::string& frame, int x, int y)
{
    const auto at = [&](int plane) {
        const bool half = plane != 0 && streamSampling(s.layout) != 444;
        const int row = plane != 0 && streamSampling(s.layout) == 420 ? y / 2 : y;
        return planarSample(s, frame, plane, half ? x / 2 : x, row);
    };
    const int chromaPlane = x % 2 == 0 ? 1 : 2;
    if (s.layout == "yuv422") {
        return {at(0), at(chromaPlane)};
    }
    if (s.layout == "uyvy422") {
        return {at(chromaPlane), at(0)};
    }
    if (s.layout == "yuv420") {
        return {at(0), y % 2 == 0 ? at(chromaPlane) : 0U};
    }
    if (s.layout == "uyv444") {
        return {at(1), at(0), at(2)};
    }
    if (s.layout == "mono") {
        return {at(0)};
    }
    return {at(0), at(1), at(2)};
}

// The beats of one planar frame, `busBytes` bytes each in bus order, set bit by bit: pixel
// p of a beat from bit p x slot, its components one after another, the rest 0.
inline std::vector<std::string> streamBeats(const StreamShape& s, int busBytes, const std::string& frame)
{
    std::vector<std::string> beats;
    const int slot = streamSlotBits(s);
    for (int y = 0; y < s.height; ++y) {
        for (int first = 0; first < s.width; first += s.ppc) {
            std::string beat(size_t(busBytes), '\0');
            for (int p = 0; p < s.ppc && first + p < s.width; ++p) {
                const std::vector<unsigned> components = streamPixel(s, frame, first + p, y);
                for (size_t c = 0; c < components.size(); ++c) {
                    for (int b = 0; b < s.bits; ++b) {
                        const size_t bit = size_t(p * slot) + c * size_t(s.bits) + size_t(b);
                        if (((components[c] >> b) & 1) != 0) {
                            beat.at(bit / 8) = char(uint8_t(beat.at(bit / 8)) | 1U << (bit % 8));
                        }
                    }
                }
            }
            beats.push_back(beat);
        }
    }
    return beats;
}

// One beat of a stream: its data word, least significant byte first, and the side band.
struct StreamBeat {
    std::string tdata;
    bool startOfFrame;
    bool endOfLine;
};

// The beats of whole planar frames with their side band: TUSER on each frame's first beat,
// TLAST on each line's last.
inline std::vector<StreamBeat> streamFramesBeats(const StreamShape& s, int busBytes, const std::string& frames)
{
    std::vector<StreamBeat> beats;
    const size_t frameBytes = streamFrameBytes(s);
    const auto lineBeats = size_t((s.width + s.ppc - 1) / s.ppc);
    for (size_t at = 0; at + frameBytes <= frames.size(); at += frameBytes) {
        const std::vector<std::string> words = streamBeats(s, busBytes, frames.substr(at, frameBytes));
        for (size_t b = 0; b < words.size(); ++b) {
            beats.push_back({words[b], b == 0, (b + 1) % lineBeats == 0});
        }
    }
    return beats;
}

// Beats as rows: TDATA as two-digit numbers (blank-separated, or packed into one number),
// reversed for a word printed most significant byte first, then TUSER and TLAST when asked.
inline std::string streamRows(const std::vector<StreamBeat>& beats, bool reversed, bool packed, bool sideBand)
{
    std::string rows;
    for (const StreamBeat& beat : beats) {
        rows += wordRow(beat.tdata, reversed, packed);
        if (sideBand) {
            rows += std::string(beat.startOfFrame ? " 1" : " 0") + (beat.endOfLine ? " 1" : " 0");
        }
        rows += '\n';
    }
    return rows;
}

// ---- Frames packed into 32-bit words (framecmp -f v210, y410, xv30le, x2rgb10le, x2bgr10le, xv20, xv15) ----

// One field of a word: the plane and sample index of the 10-bit value it holds, plane -1
// for a field past the width.
struct WordField {
    int plane;
    size_t index;
};

// The words of one frame in file order (v210's lines without their rounding to 128 bytes), each its three fields from
// bit 0 up (0-9, 10-19, 20-29), and the bits of a word that are padding. Planes are Y, U, V (R, G, B for x2rgb10le),
// chroma of `chromaWidth` x `chromaHeight`.
struct WordFrame {
    std::vector<std::vector<WordField>> words;
    uint32_t padding;
};

inline WordFrame wordFrameModel(const std::string& format, int width, int height, int chromaWidth, int chromaHeight)
{
    WordFrame frame;
    const auto w = size_t(width);
    if (format == "v210") {
        frame.padding = 0xc0000000U;
        // Six pixels in four words: U0 Y0 V0, Y1 U1 Y2, V1 Y3 U2, Y4 V2 Y5 (plane and index in
        // the group); a line's last group filled with fields past the width.
        const int planeOf[12] = {1, 0, 2, 0, 1, 0, 2, 0, 1, 0, 2, 0};
        const size_t indexOf[12] = {0, 0, 0, 1, 1, 2, 1, 3, 2, 4, 2, 5};
        const auto cw = size_t(chromaWidth);
        for (size_t y = 0; y < size_t(height); ++y) {
            for (size_t g = 0; g < w; g += 6) {
                for (size_t k = 0; k < 12; k += 3) {
                    std::vector<WordField> word;
                    for (size_t f = k; f < k + 3; ++f) {
                        const size_t across = planeOf[f] == 0 ? w : cw;
                        const size_t x = (planeOf[f] == 0 ? g : g / 2) + indexOf[f];
                        word.push_back(x < across ? WordField{planeOf[f], y * across + x} : WordField{-1, 0});
                    }
                    frame.words.push_back(word);
                }
            }
        }
        return frame;
    }
    if (format == "xv20" || format == "xv15") {
        frame.padding = 0xc0000000U;
        // Three samples a word, a line's last word filled with fields past the width.
        const auto lines = [&](int rows, size_t count, const auto& fieldOf) {
            for (int y = 0; y < rows; ++y) {
                for (size_t k = 0; k < count; k += 3) {
                    std::vector<WordField> word;
                    for (size_t s = k; s < k + 3; ++s) {
                        word.push_back(s < count ? fieldOf(size_t(y), s) : WordField{-1, 0});
                    }
                    frame.words.push_back(word);
                }
            }
        };
        lines(height, w, [&](size_t y, size_t s) { return WordField{0, y * w + s}; });
        const auto cw = size_t(chromaWidth);
        lines(chromaHeight, 2 * cw, [&](size_t y, size_t s) { return WordField{1 + int(s % 2), y * cw + s / 2}; });
        return frame;
    }
    // One word a pixel: y410 U Y V A, xv30le U Y V and padding, x2rgb10le B G R and X,
    // x2bgr10le R G B and X.
    const bool rgb = format == "x2rgb10le";
    const bool bgr = format == "x2bgr10le";
    const int planes[3] = {rgb ? 2 : bgr ? 0 : 1, rgb || bgr ? 1 : 0, rgb ? 0 : 2};
    frame.padding = format == "xv30le" ? 0xc0000000U : 0;
    for (size_t i = 0; i < w * size_t(height); ++i) {
        frame.words.push_back({{planes[0], i}, {planes[1], i}, {planes[2], i}});
    }
    return frame;
}

// A frame of 10-bit samples (bit 15 of a sample: set its word's padding) packed into words,
// little-endian; `spare` fills bits 30-31 where they are not padding (y410's alpha).
inline std::string packWordsModel(const WordFrame& frame, const std::vector<uint32_t>* planes, uint32_t spare)
{
    std::string bytes;
    for (const std::vector<WordField>& fields : frame.words) {
        uint32_t word = frame.padding == 0 ? spare << 30U : 0;
        for (size_t f = 0; f < fields.size(); ++f) {
            if (fields[f].plane >= 0) {
                const uint32_t sample = planes[fields[f].plane][fields[f].index];
                word |= (sample & 0x3ffU) << (10 * f);
                word |= (sample & 0x8000U) != 0 ? frame.padding : 0;
            }
        }
        for (int b = 0; b < 4; ++b) {
            bytes += char(word >> (8 * b) & 0xffU);
        }
    }
    return bytes;
}

// Where framecmp notes a word's padding: bit 15 moved from any of a word's samples to its
// last sample inside the picture; cleared where the format has no padding.
inline void markWordsModel(const WordFrame& frame, std::vector<uint32_t>* planes)
{
    for (const std::vector<WordField>& fields : frame.words) {
        bool padded = false;
        uint32_t* last = nullptr;
        for (const WordField& field : fields) {
            if (field.plane >= 0) {
                last = &planes[field.plane][field.index];
                padded = padded || (*last & 0x8000U) != 0;
                *last &= ~0x8000U;
            }
        }
        if (padded && frame.padding != 0) {
            *last |= 0x8000U;
        }
    }
}
