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
#include "framecmp/input.h"
#include "framecmp/options.h"

namespace framecmp {

std::string sampleText(uint32_t container, const Coding& coding);

std::string floorText(int64_t floor);

std::string planeReport(const Plane& plane, const PlaneTally& tally, double mse, const Geometry& geometry,
                        const Settings& settings);

std::string ssimReport(double ssim, const Settings& settings);

void reportAlignment(int64_t offset);

bool reportEnds(const Settings& settings, const Geometry& geometry, const RunTally& tally, const Remainder rest[2],
                const Buffers& buffers);

void reportSummary(const Settings& settings, const Geometry& geometry, const RunTally& tally, bool endsDiffer);

bool reportNothingLeft(const Settings& settings, const RunTally& tally, const Remainder rest[2]);

bool noWholeFrame(const RunTally& tally, const Remainder rest[2]);

bool reportNoWholeFrame(const Settings& settings, const Geometry& geometry, const Remainder rest[2],
                        const Buffers& buffers);

std::string undrawnFrameText(const Settings& settings, const RunTally& tally, int64_t firstFrame,
                             const Remainder rest[2]);

void finishOutput(const Settings& settings, const RunTally& tally, const std::string& undrawn);

} // namespace framecmp
