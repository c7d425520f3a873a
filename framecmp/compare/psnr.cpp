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

#include "framecmp/compare/plane.h"
#include "framecmp/compare/psnr.h"

namespace framecmp {

double meanSquare(const PlaneTally& tally, const Plane& plane)
{
    return double(tally.sumOfSquares) / (double(plane.width) * double(plane.height));
}

// 10 log10(peak^2 / MSE), the peak that of the depth, as ffmpeg's psnr filter takes it;
// infinite for an MSE of 0.
double psnrOf(double mse, int32_t depth)
{
    const double peak = std::ldexp(1.0, depth) - 1;
    return mse == 0 ? HUGE_VAL : 10.0 * std::log10(peak * peak / mse);
}

// The PSNR with two decimals, "inf" for an MSE of 0.
std::string psnrText(double mse, int32_t depth)
{
    if (mse == 0) {
        return "inf";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", psnrOf(mse, depth));
    return text;
}

// A number in hundredths as printf's "%.2f" rounds it: its exact binary value times 100 to
// the nearest integer, a tie to the even one. high + low is that product exactly (fma gives
// the rounding error of the multiplication); only a product that rounded onto a tie can
// move off it.
int64_t hundredthsOf(double value)
{
    const double high = value * 100;
    const double low = std::fma(value, 100.0, -high);
    double nearest = std::nearbyint(high);
    if (high - nearest == 0.5 && low > 0) {
        nearest += 1;
    } else if (high - nearest == -0.5 && low < 0) {
        nearest -= 1;
    }
    return std::llround(nearest);
}

// Whether a plane's PSNR, to the hundredth it is printed with, is below the floor (in
// hundredths); an equal plane never is.
bool belowFloor(double mse, int32_t depth, int64_t floor)
{
    return floor >= 0 && mse != 0 && hundredthsOf(psnrOf(mse, depth)) < floor;
}

} // namespace framecmp
