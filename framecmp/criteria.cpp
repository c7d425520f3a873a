#include "framecmp/criteria.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "common/messages.h"
#include "framecmp/options.h"

namespace framecmp {

namespace {

// Decimal digits, a point and at most `decimals` digits, as a whole number of units
// 10^-decimals, from 0 to `highest` of them; -1 for anything else.
int64_t readFixed(const std::string& text, int decimals, int64_t highestWhole, int64_t highest)
{
    const size_t point = text.find('.');
    const std::string whole = text.substr(0, point);
    const std::string fraction = point == std::string::npos ? std::string() : text.substr(point + 1);
    if (point != std::string::npos && (fraction.empty() || fraction.size() > size_t(decimals))) {
        return -1;
    }
    const int64_t units = readDecimal(whole.c_str(), 0, highestWhole);
    const int64_t parts = readDecimal(
        (fraction + std::string(size_t(decimals), '0')).substr(0, size_t(decimals)).c_str(), 0, INT64_MAX / 4);
    int64_t scale = 1;
    for (int i = 0; i < decimals; ++i) {
        scale *= 10;
    }
    if (units < 0 || parts < 0 || units * scale + parts > highest) {
        return -1;
    }
    return units * scale + parts;
}

constexpr char planeLettersKnown[] = "YUVRGB";

} // namespace

int64_t readCriterionValue(CriterionKind kind, const std::string& text)
{
    switch (kind) {
    case CriterionKind::tolerance: return readDecimal(text.c_str(), 0, 65535);
    case CriterionKind::psnr: return readFixed(text, 2, 999, 99999);
    case CriterionKind::ssim: return readFixed(text, 6, 1, 1000000);
    }
    return -1;
}

std::string readCriterion(CriterionKind kind, const std::string& text, CriterionGiven& given)
{
    CriterionGiven read{true, -1, {}, text};
    if (text.find('=') == std::string::npos) {
        read.value = readCriterionValue(kind, text);
        if (read.value < 0) {
            return "not a value";
        }
        given = read;
        return "";
    }
    std::string named;
    size_t from = 0;
    for (;;) {
        const size_t comma = text.find(',', from);
        const std::string item = text.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
        const size_t equals = item.find('=');
        const std::string planes = item.substr(0, equals);
        if (equals == std::string::npos || planes.empty()) {
            return "\"" + item + "\" is not PLANES=VALUE";
        }
        for (const char letter : planes) {
            if (std::strchr(planeLettersKnown, letter) == nullptr || letter == '\0') {
                return "\"" + planes + "\" is not a group of the plane letters Y U V R G B";
            }
            if (named.find(letter) != std::string::npos) {
                return std::string("plane ") + letter + " is named twice";
            }
            named += letter;
        }
        const int64_t value = readCriterionValue(kind, item.substr(equals + 1));
        if (value < 0) {
            return "\"" + item.substr(equals + 1) + "\" is not a value";
        }
        read.groups.push_back(PlaneGroup{planes, value});
        if (comma == std::string::npos) {
            break;
        }
        from = comma + 1;
    }
    given = read;
    return "";
}

int64_t criterionFor(const CriterionGiven& given, char letter)
{
    if (!given.given) {
        return -1;
    }
    if (given.groups.empty()) {
        return given.value;
    }
    const auto group = std::find_if(given.groups.begin(), given.groups.end(), [letter](const PlaneGroup& named) {
        return named.planes.find(letter) != std::string::npos;
    });
    return group == given.groups.end() ? -1 : group->value;
}

char unknownPlane(const CriterionGiven& given, const std::string& planeLetters)
{
    for (const PlaneGroup& group : given.groups) {
        for (const char letter : group.planes) {
            if (planeLetters.find(letter) == std::string::npos) {
                return letter;
            }
        }
    }
    return '\0';
}

Criteria criteriaOf(const Criteria& criteria, int plane)
{
    if (!criteria.perPlane) {
        return criteria;
    }
    Criteria judged = criteria;
    const PlaneCriteria& own = criteria.planes[plane];
    judged.tolerance = own.tolerance;
    judged.toleranceGiven = own.toleranceGiven;
    judged.psnrFloor = own.psnrFloor;
    judged.ssimMin = own.ssimMin;
    return judged;
}

void resolvePlaneCriteria(Options& options)
{
    Criteria& criteria = options.criteria;
    if (!criteria.perPlane) {
        return;
    }
    const size_t planeCount = options.format.layout->chroma == Chroma::none ? 1 : 3;
    const std::string letters = std::string(options.format.layout->planeNames).substr(0, planeCount);
    for (size_t k = 0; k < 3; ++k) {
        const char letter = unknownPlane(options.given[k], letters);
        if (letter != '\0') {
            fail(criterionFlags[k] + options.given[k].text,
                 formatName(options.format) + " has no plane " + letter + "; its planes are " + letters);
        }
    }
    int32_t lowest = INT32_MAX;
    for (size_t p = 0; p < letters.size(); ++p) {
        const int64_t values[3] = {criterionFor(options.given[0], letters[p]),
                                   criterionFor(options.given[1], letters[p]),
                                   criterionFor(options.given[2], letters[p])};
        // A plane no criterion names is held exact.
        const bool named = values[0] >= 0 || values[1] >= 0 || values[2] >= 0;
        const auto tolerance = static_cast<int32_t>(std::max<int64_t>(values[0], 0));
        criteria.planes[p] = PlaneCriteria{tolerance, values[0] >= 0 || !named, values[1], values[2]};
        lowest = std::min(lowest, tolerance);
    }
    criteria.tolerance = lowest;
}

} // namespace framecmp
