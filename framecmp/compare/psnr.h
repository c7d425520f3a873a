// PSNR as ffmpeg's psnr filter takes it, its text, and the hundredths -p and --align judge.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"
#include "framecmp/compare/plane.h"

namespace framecmp {

double meanSquare(const PlaneTally& tally, const Plane& plane);

double psnrOf(double mse, int32_t depth);

std::string psnrText(double mse, int32_t depth);

int64_t hundredthsOf(double value);

bool belowFloor(double mse, int32_t depth, int64_t floor);

} // namespace framecmp
