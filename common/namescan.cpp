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
