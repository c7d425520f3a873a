// The text report: its every line on standard output, and the notes on a picture not drawn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"
#include "framecmp/compare/coding.h"
#include "framecmp/compare/frame.h"
#include "framecmp/compare/plane.h"
#include "framecmp/diagnosis/displacement.h"
#include "framecmp/input.h"
#include "framecmp/options.h"
#include "framecmp/tally.h"

namespace framecmp {

std::string sampleText(uint32_t container, const SampleCoding& coding);

std::string floorText(int64_t floor);

// A compared frame's line: "frame 3: Y 128 differ, ...; U ...", and the displacement it
// starts.
std::string frameLineText(const FrameResult& result, const PairLayout& pair, const Criteria& criteria);

void sayFrameLine(const FrameResult& result, const PairLayout& pair, const Criteria& criteria);

// A failing sample as -l lists it: "frame plane x y expected actual", and " unknown" after
// an unknown one.
void sayFailingSample(const FailingSample& sample, const PairLayout& pair);

// The runs of frames that kept one displacement, unless the text is quiet or a listing;
// they are forgotten either way.
void sayFinishedRuns(Diagnosis& diagnosis, const TextChoices& text);

// The frame shifts claimed and not yet said, each once: "frames 9–29: ACTUAL is EXPECTED one
// frame early from frame 9 on: 1 frame dropped".
void sayFrameShifts(std::vector<FrameShift>& unsaid, const TextChoices& text);

void reportAlignment(int64_t offset);

// The lines of reportEnds, reportNothingLeft and reportNoWholeFrame go to `lines` as well,
// even under -q, for the JUnit file.
bool reportEnds(const Options& options, const PairLayout& pair, const RunTally& tally, const Remainder rest[2],
                const Buffers& buffers, std::string& lines);

// The summary line, without its newline.
std::string summaryText(const Options& options, const PairLayout& pair, const RunTally& tally, bool endsDiffer);

// The criteria a passing clip met: "-t 1", "-p 38.00", "--ssim-min 0.5"; per-plane ones
// as given: "-t Y=0,UV=1 -p Y=45".
std::string criteriaText(const Options& options);

bool reportNothingLeft(const Options& options, const RunTally& tally, const Remainder rest[2], std::string& lines);

bool noWholeFrame(const RunTally& tally, const Remainder rest[2]);

bool reportNoWholeFrame(const Options& options, const PairLayout& pair, const Remainder rest[2], const Buffers& buffers,
                        std::string& lines);

std::string undrawnFrameText(const Options& options, const RunTally& tally, int64_t firstFrame,
                             const Remainder rest[2]);

// The note on frames that look 10-bit when no format was named, on standard error.
void sayTenBitNote();

void finishOutput(const Options& options, const RunTally& tally, const std::string& undrawn);

} // namespace framecmp
