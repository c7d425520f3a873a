// The SVG plot of PSNR and SSIM over the clip.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"
#include "framecmp/compare/coding.h"
#include "framecmp/options.h"
#include "framecmp/report/files.h"
#include "framecmp/report/plotpoints.h"

namespace framecmp {

void plotFrame(Reports& reports, const PlotPoint& point);

void writePlot(Reports& reports, const Options& options, const PairLayout& pair);

} // namespace framecmp
