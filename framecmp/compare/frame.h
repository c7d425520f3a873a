// One frame pair compared: every plane by its samples, PSNR and SSIM, and the pass/fail
// rule that judges it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"
#include "framecmp/compare/coding.h"
#include "framecmp/compare/result.h"
#include "framecmp/compare/ssim.h"
#include "framecmp/input.h"
#include "framecmp/options.h"

#include "framecmp/compare/plane.h"
namespace framecmp {

// Compares one frame pair: what each plane shows, and whether it fails under the criteria.
// A frame whose bytes are the same in both files, and whose padding is clear, passes
// without a look at its planes. Failing samples go to `listing` when there is one.
FrameResult compareFrame(const Criteria& criteria, const PairLayout& pair, const Buffers& buffers, int64_t frame,
                         SsimBuffers& ssimBuffers, const SampleListing* listing);

// Whether a frame's bytes look like 10-bit little-endian samples read as 8-bit ones: every
// odd-numbered byte (a high byte) below 4, and not every even-numbered one. Looked at a
// piece at a time, each but the last of an even length.
struct TenBitLook {
    bool highBytesSmall;
    bool lowByteBig;
};

void lookForTenBit(TenBitLook& look, const uint8_t* bytes, size_t length);

inline bool looksTenBit(const TenBitLook& look)
{
    return look.highBytesSmall && look.lowByteBig;
}

// A frame pair compared as its files' bytes come in, each part while it is still in cache:
// the bytes found equal from the frame's start (padding clear), and once a byte differs or
// a padding bit is set, each plane's rows compared so far and their tally.
struct FrameProgress {
    size_t equalBytes;
    bool differs;      // rows are compared
    bool bandsOnly;    // equal bytes came through the band buffers only: the frame buffers lack them
    TenBitLook tenBit; // what those bytes show, where the band reading was asked to look
    int32_t nextRow[3];
    PlaneTally tallies[3];
};

FrameProgress startFrameProgress(const PairLayout& pair);

// How many rows of a plane, from the first, lie whole in a frame's first `bytes` bytes.
int32_t wholeRows(const Plane& plane, size_t sampleBytes, size_t bytes);

// Compares what has come of both frames since the last call: `got` bytes of EXPECTED and
// ACTUAL from the frame's start, or, for a file whose words are unpacked as they come, the
// rows of each plane unpacked (`rowsCome`, null for a frame compared in place). Neither a
// mask nor a listing is taken: both want the whole frame in order.
void compareArrived(FrameProgress& progress, const PairLayout& pair, const Criteria& criteria, const Buffers& buffers,
                    const size_t got[2], const int32_t* const rowsCome[2]);

// The result once both frames are whole and compared, as compareFrame gives it.
FrameResult finishFrame(const FrameProgress& progress, const Criteria& criteria, const PairLayout& pair, int64_t frame);

} // namespace framecmp
