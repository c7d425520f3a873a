#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "framecmp/compare/coding.h"
#include "framecmp/options.h"
#include "framecmp/report/escape.h"
#include "framecmp/report/files.h"
#include "framecmp/report/plot.h"
#include "framecmp/report/plotpoints.h"
#include "framecmp/report/text.h"

namespace framecmp {

// A plot's size in pixels, its margins and the points a line has at most: past them, pairs
// of points merge, so that an endless input costs no more memory than a long one.
constexpr int32_t plotWidth = 960;
constexpr int32_t plotHeight = 480;
constexpr int32_t plotLeft = 70;
constexpr int32_t plotRight = 70;
constexpr int32_t plotTop = 50;
constexpr int32_t plotBottom = 70;
constexpr size_t plotPoints = 4000;

// A frame into the plot: into the latest point until that stands for pointFrames frames,
// else a point of its own; at plotPoints points, pairs merge first.
void plotFrame(Reports& reports, const PlotPoint& point)
{
    std::vector<PlotPoint>& points = reports.points;
    if (reports.plotFrames++ % reports.pointFrames != 0) {
        points.back() = mergePoints(points.back(), point);
        return;
    }
    if (points.size() == plotPoints) {
        for (size_t i = 0; i < plotPoints / 2; ++i) {
            points[i] = mergePoints(points[2 * i], points[2 * i + 1]);
        }
        points.resize(plotPoints / 2);
        reports.pointFrames *= 2;
    }
    points.push_back(point);
}

// Where the plot draws: the PSNR axis from `low` to `top` dB (an infinite PSNR at `top`),
// the SSIM axis from `ssimLow` to 1, the frames from `first` over `count`.
struct PlotScale {
    double low;
    double top;
    double ssimLow;
    int64_t first;
    size_t count;
};

static const char* const planeColours[3] = {"#202020", "#1f5fbf", "#c0302a"};

static std::string coordinate(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

static double plotX(const PlotScale& scale, size_t index)
{
    const double span = scale.count > 1 ? double(scale.count - 1) : 1.0;
    return plotLeft + double(plotWidth - plotLeft - plotRight) * double(index) / span;
}

static double plotY(double value, double low, double top)
{
    const double clamped = std::min(std::max(value, low), top);
    return plotTop + double(plotHeight - plotTop - plotBottom) * (top - clamped) / (top - low);
}

// The axes' ranges: PSNR from 5 dB under the lowest finite value or the floor, rounded down
// to 5, to the highest finite + 5 (100 dB when none is finite); SSIM from its lowest,
// rounded down to 0.1, to 1.
static PlotScale plotScale(const Reports& reports, const Options& options, int planeCount)
{
    double lowest = HUGE_VAL;
    double highest = -HUGE_VAL;
    double ssimLowest = 1;
    for (const PlotPoint& point : reports.points) {
        for (int p = 0; p < planeCount; ++p) {
            if (std::isfinite(point.psnr[p].value)) {
                lowest = std::min(lowest, double(point.psnr[p].value));
                highest = std::max(highest, double(point.psnr[p].value));
            }
            if (!std::isnan(point.ssim[p].value)) {
                ssimLowest = std::min(ssimLowest, double(point.ssim[p].value));
            }
        }
    }
    const double top = std::isfinite(highest) ? highest + 5 : 100;
    if (options.criteria.psnrFloor >= 0) {
        lowest = std::min(lowest, double(options.criteria.psnrFloor) / 100);
    }
    const double low = std::isfinite(lowest) ? std::max(0.0, 5 * std::floor((lowest - 5) / 5)) : 0;
    const double ssimLow = std::min(0.9, std::floor(std::max(ssimLowest, -1.0) * 10) / 10);
    return PlotScale{std::min(low, top - 5), top, ssimLow, reports.firstFrame, static_cast<size_t>(reports.plotFrames)};
}

// A line of one plane's PSNR or SSIM: each point's lowest value at its frame. Points
// without a value are left out.
static std::string plotLine(const Reports& reports, const PlotScale& scale, int plane, bool ssim)
{
    std::string points;
    for (const PlotPoint& point : reports.points) {
        const PlotValue& v = ssim ? point.ssim[plane] : point.psnr[plane];
        if (std::isnan(v.value)) {
            continue;
        }
        const double y = ssim ? plotY(v.value, scale.ssimLow, 1) : plotY(v.value, scale.low, scale.top);
        points +=
            (points.empty() ? "" : " ") + coordinate(plotX(scale, static_cast<size_t>(v.at))) + "," + coordinate(y);
    }
    return points;
}

static std::string svgText(double x, double y, const char* anchor, const std::string& text,
                           const std::string& extra = "")
{
    return "<text x=\"" + coordinate(x) + "\" y=\"" + coordinate(y) + "\" text-anchor=\"" + anchor + "\"" + extra +
           ">" + xmlText(text) + "</text>\n";
}

// The axes, their ticks and labels, and the -p floor.
static std::string plotAxes(const PlotScale& scale, const Options& options, bool ssim)
{
    const double left = plotLeft;
    const double right = plotWidth - plotRight;
    const double bottom = plotHeight - plotBottom;
    std::string svg = "<rect x=\"" + coordinate(left) + "\" y=\"" + coordinate(plotTop) + "\" width=\"" +
                      coordinate(right - left) + "\" height=\"" + coordinate(bottom - plotTop) +
                      "\" fill=\"none\" stroke=\"#808080\"/>\n";
    // PSNR at the multiples of a round step (1, 2 or 5 times a power of ten) that gives at
    // most six of them, up to half a step under the top, where an infinite PSNR stands.
    const double least = (scale.top - scale.low) / 6;
    const double power = std::pow(10.0, std::floor(std::log10(least)));
    const double step = least <= power       ? power
                        : least <= 2 * power ? 2 * power
                        : least <= 5 * power ? 5 * power
                                             : 10 * power;
    // The axis spans 5 dB at least, so the step is a whole number of dB.
    const int64_t wholeStep = std::llround(step);
    for (int64_t value = std::llround(std::ceil(scale.low / step) * step); double(value) < scale.top - step / 2;
         value += wholeStep) {
        svg += svgText(left - 6, plotY(double(value), scale.low, scale.top) + 4, "end", std::to_string(value));
    }
    svg += svgText(left - 6, plotY(scale.top, scale.low, scale.top) + 4, "end", "inf");
    for (int k = 0; ssim && k <= 5; ++k) {
        const double value = scale.ssimLow + (1 - scale.ssimLow) * k / 5;
        char text[16];
        std::snprintf(text, sizeof text, "%.2f", value);
        svg += svgText(right + 6, plotY(value, scale.ssimLow, 1) + 4, "start", text);
    }
    const size_t ticks = std::min<size_t>(scale.count, 6);
    for (size_t k = 0; k < ticks; ++k) {
        const size_t index = ticks > 1 ? k * (scale.count - 1) / (ticks - 1) : 0;
        svg += svgText(plotX(scale, index), bottom + 18, "middle", std::to_string(scale.first + int64_t(index)));
    }
    svg += svgText((left + right) / 2, bottom + 40, "middle", "frame");
    svg += svgText(18, (plotTop + bottom) / 2, "middle", "PSNR (dB)",
                   " transform=\"rotate(-90 18 " + coordinate((plotTop + bottom) / 2) + ")\"");
    if (ssim) {
        svg += svgText(plotWidth - 14, (plotTop + bottom) / 2, "middle", "SSIM",
                       " transform=\"rotate(90 " + coordinate(plotWidth - 14) + " " +
                           coordinate((plotTop + bottom) / 2) + ")\"");
    }
    if (options.criteria.psnrFloor >= 0) {
        const double y = plotY(double(options.criteria.psnrFloor) / 100, scale.low, scale.top);
        svg += "<line id=\"floor\" x1=\"" + coordinate(left) + "\" y1=\"" + coordinate(y) + "\" x2=\"" +
               coordinate(right) + "\" y2=\"" + coordinate(y) + "\" stroke=\"#d08000\" stroke-dasharray=\"6,4\"/>\n" +
               svgText(right - 4, y - 4, "end", "-p " + floorText(options.criteria.psnrFloor) + " dB",
                       " fill=\"#d08000\"");
    }
    return svg;
}

// Failing frames as red ticks under the lines: one a point with any, at its first.
static std::string plotFailures(const Reports& reports, const PlotScale& scale)
{
    std::string svg;
    for (const PlotPoint& point : reports.points) {
        if (point.failingAt >= 0) {
            svg += "<rect class=\"failing\" x=\"" + coordinate(plotX(scale, static_cast<size_t>(point.failingAt)) - 1) +
                   "\" y=\"" + coordinate(plotHeight - plotBottom - 8) +
                   "\" width=\"2\" height=\"8\" fill=\"#e00000\"/>\n";
        }
    }
    return svg;
}

// The legend: a swatch and a name for each line drawn.
static std::string plotLegend(const PairLayout& pair, bool ssim)
{
    std::string svg;
    double x = plotLeft;
    for (int p = 0; p < pair.expected.planeCount; ++p) {
        const std::string name(1, pair.expected.planes[p].name);
        for (int s = 0; s < (ssim ? 2 : 1); ++s) {
            svg += "<line x1=\"" + coordinate(x) + "\" y1=\"36\" x2=\"" + coordinate(x + 20) +
                   "\" y2=\"36\" stroke=\"" + planeColours[p] + "\"" + (s == 1 ? " stroke-dasharray=\"3,3\"" : "") +
                   "/>\n" + svgText(x + 24, 40, "start", name + (s == 1 ? " SSIM" : " PSNR"));
            x += 90;
        }
    }
    svg += "<rect x=\"" + coordinate(x) + "\" y=\"30\" width=\"2\" height=\"10\" fill=\"#e00000\"/>\n" +
           svgText(x + 8, 40, "start", "failing frame");
    return svg;
}

// The plot as SVG 1.1: PSNR per plane, SSIM on the right axis when computed, the floor,
// the failing frames; or a note that no frame was compared.
void writePlot(Reports& reports, const Options& options, const PairLayout& pair)
{
    ReportFile& plot = reports.plot;
    put(plot,
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" "
        "width=\"" +
            std::to_string(plotWidth) + "\" height=\"" + std::to_string(plotHeight) +
            "\" font-family=\"sans-serif\" font-size=\"12\">\n<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n");
    put(plot, svgText(plotWidth / 2.0, 18, "middle",
                      std::string(options.expectedPath) + " against " + options.actualPath, " font-size=\"14\""));
    if (reports.points.empty()) {
        put(plot, svgText(plotWidth / 2.0, plotHeight / 2.0, "middle", "no frames compared") + "</svg>\n");
        return;
    }
    const PlotScale scale = plotScale(reports, options, pair.expected.planeCount);
    put(plot, plotAxes(scale, options, options.criteria.ssim));
    for (int p = 0; p < pair.expected.planeCount; ++p) {
        const std::string name(1, pair.expected.planes[p].name);
        put(plot, "<polyline id=\"psnr-" + name + "\" fill=\"none\" stroke=\"" + planeColours[p] +
                      "\" stroke-width=\"1.5\" points=\"" + plotLine(reports, scale, p, false) + "\"/>\n");
        if (options.criteria.ssim) {
            put(plot, "<polyline id=\"ssim-" + name + "\" fill=\"none\" stroke=\"" + planeColours[p] +
                          "\" stroke-dasharray=\"3,3\" points=\"" + plotLine(reports, scale, p, true) + "\"/>\n");
        }
    }
    put(plot, plotFailures(reports, scale) + plotLegend(pair, options.criteria.ssim) + "</svg>\n");
}

} // namespace framecmp
