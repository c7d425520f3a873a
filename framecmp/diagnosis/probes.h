// Probes before the search: a few failing and passing samples looked at where they stand
// leave the displacements worth searching.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"
#include "framecmp/compare/result.h"
#include "framecmp/diagnosis/bus.h"

namespace framecmp {

// A frame's failing samples are tried as EXPECTED displaced by 1 to displacementReach bytes
// of bus order; a displacement is claimed when it explains at least displacementLeast of
// them and all but one in a hundred. Frames with fewer failing samples are not searched.
constexpr int32_t displacementReach = 64;

// The candidates still in the running, a bit for each displacement of 1 to 64 bytes.
struct Candidates {
    uint64_t lost;
    uint64_t extra;
};

size_t earliestFailing(const FrameLayout& layout, const FrameResult& result, size_t samples);

bool isCandidate(const Candidates& candidates, int32_t bytes, bool lost);

Candidates likelyCandidates(const BusView& bus, size_t first, uint64_t failing, std::vector<size_t>& probes);

} // namespace framecmp
