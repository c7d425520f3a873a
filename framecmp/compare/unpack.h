// Files of word-packed formats (v210, xv20, ...): the bytes a frame takes in the file, and
// its samples unpacked into a working frame laid out as the planar layout of its sampling.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/formats.h"

namespace framecmp {

// The line unpackers a run uses: the plain ones, or SSSE3's for v210, with AVX2's v210
// matcher where the processor has AVX2 too.
enum class UnpackKernel { plain, ssse3, avx2 };

// The unpackers for a processor with or without SSSE3 and AVX2 (the plain ones elsewhere),
// and for this one.
UnpackKernel chooseUnpackKernel(bool ssse3, bool avx2);

UnpackKernel unpackKernelForProcessor();

// Where a file's frame stands in the file: its size and, for a words layout, its lines.
struct FileFrame {
    Packing packing;     // none: the file holds the frame as its FrameLayout says
    size_t lineBytes[2]; // from one line's start to the next: the luma (or every) line, the chroma line
    size_t chromaAt;     // semi-planar words layouts: where the chroma lines start
    size_t bytes;        // the frame in the file
    UnpackKernel kernel; // chosen once, for the processor, before the first frame
    FrameLayout working; // the whole working frame its words unpack into (--crop compares part)
};

// The file frame of `format` at width x height, whose working frame is `working`; a
// failure when it does not fit the 32-bit frame limit.
FileFrame fileFrameOf(const Format& format, const FrameLayout& working);

// Where a buffer puts the words' lines and frames (--stride and its kin), checked against
// the lines they must hold: the file frame's strides, chroma place and size, and the
// working frame's file frame and lines' end, which a last frame may stop at.
void placeWords(FileFrame& file, FrameLayout& working, const BufferGeometry& geometry, const std::string& optionPrefix,
                const std::string& who);

// Bit 15 of a working container: set where the word holding the sample has padding set,
// so that the sample fails as a 16-bit container's padding does.
constexpr uint32_t paddingMark = 0x8000U;

// The lines of a frame's words whose bytes lie whole in its first `got` bytes: those of the
// luma (or every plane) and, for semi-planar words, of the chroma.
void arrivedLines(const FileFrame& file, const FrameLayout& working, size_t got, size_t lines[2]);

// Unpacks one line of a frame's words (`from` the frame's first byte) into `rows`, laid
// out as the working frame's planes: a luma (or every) line when `kind` is 0, a chroma line
// of a semi-planar file when 1, whose Y, resp. U and V, rows only are written.
void unpackLine(const FileFrame& file, const FrameLayout& working, const uint8_t* from, size_t line, int kind,
                uint16_t* const rows[3]);

// The same, of the line of words at `line`.
void unpackLineAt(const FileFrame& file, const FrameLayout& working, const uint8_t* line, int kind,
                  uint16_t* const rows[3]);

// Unpacks lines first[k] to end[k] (not included) of each kind into `frame`, laid out as
// `working`.
void unpackLines(const FileFrame& file, const FrameLayout& working, const uint8_t* from, uint8_t* frame,
                 const size_t first[2], const size_t end[2]);

// Unpacks the lines of a frame arriving in bands: those whose words lie whole in its first
// `got` bytes and are not yet `done` (luma or every line, chroma line), which it advances.
void unpackArrived(const FileFrame& file, const FrameLayout& working, const uint8_t* from, size_t got, uint8_t* frame,
                   size_t done[2]);

// Unpacks a whole file frame of a words layout into `frame`, laid out as `working`. Samples
// past the width in a line's last word, and the bytes after it, are not read.
void unpackFrame(const FileFrame& file, const FrameLayout& working, const uint8_t* from, uint8_t* frame);

} // namespace framecmp
