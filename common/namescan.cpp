#include "common/namescan.h"

#include <algorithm>
#include <climits>

#include "common/messages.h"
#include "common/samplings.h"

bool isDecimalDigit(char c)
{
    return c >= '0' && c <= '9';
}

NameFields readNameFields(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    size_t marker = std::string::npos;
    for (size_t p = path.size(); p >= nameStart + 3 && marker == std::string::npos; --p) {
        if (path[p - 3] == '_' && path[p - 2] == 'w' && isDecimalDigit(path[p - 1])) {
            marker = p - 3;
        }
    }
    if (marker == std::string::npos) {
        return NameFields{};
    }
    int64_t numbers[3] = {0, 0, 0};
    int found = 0;
    for (size_t i = marker; found < 3 && i < path.size();) {
        if (!isDecimalDigit(path[i])) {
            ++i;
            continue;
        }
        int64_t value = 0;
        for (; i < path.size() && isDecimalDigit(path[i]); ++i) {
            value = std::min<int64_t>(value * 10 + (path[i] - '0'), int64_t{INT32_MAX} + 1);
        }
        numbers[found++] = value;
    }
    const bool sizeValid = numbers[0] >= 1 && numbers[0] <= INT32_MAX && numbers[1] >= 1 && numbers[1] <= INT32_MAX;
    if (found < 3 || !sizeValid || findSampling(numbers[2]) == nullptr) {
        fail(path, "the geometry in the name (_wWIDTH_HEIGHT_SAMPLING...) cannot be read");
    }
    return NameFields{true, static_cast<int32_t>(numbers[0]), static_cast<int32_t>(numbers[1]),
                      static_cast<int32_t>(numbers[2])};
}

// WIDTHxHEIGHT, both from 1, or false.
static bool readSizePart(const std::string& part, int32_t& width, int32_t& height)
{
    const size_t cross = part.find_first_of("xX");
    if (cross == std::string::npos) {
        return false;
    }
    const int64_t w = readDecimal(part.substr(0, cross).c_str(), 1, INT32_MAX);
    const int64_t h = readDecimal(part.substr(cross + 1).c_str(), 1, INT32_MAX);
    if (w < 0 || h < 0) {
        return false;
    }
    width = static_cast<int32_t>(w);
    height = static_cast<int32_t>(h);
    return true;
}

ViewerFields readViewerFields(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    ViewerFields fields{false, 0, 0, false, Format{}};
    size_t from = 0;
    while (from <= name.size()) {
        const size_t end = std::min(name.find_first_of("_-.", from), name.size());
        const std::string part = name.substr(from, end - from);
        from = end + 1;
        fields.sized = readSizePart(part, fields.width, fields.height) || fields.sized;
        // LAYOUT:DEPTH is framecmp's own way of naming a format, not a viewer's.
        Format format{};
        if (!part.empty() && part.find(':') == std::string::npos && parseFormat(part.c_str(), format)) {
            fields.format = format;
            fields.formatted = true;
        }
    }
    return fields;
}
