// -t, -p and --ssim-min as given: one value for every plane, or values for groups of planes
// (Y=0,UV=1), read without the format and held to its planes once it is known.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace framecmp {

enum class CriterionKind { tolerance, psnr, ssim };

// The options of the kinds, as messages name them.
inline constexpr const char* criterionFlags[3] = {"-t ", "-p ", "--ssim-min="};

// Values for the planes whose letters `planes` holds.
struct PlaneGroup {
    std::string planes;
    int64_t value;
};

// One criterion's option: absent, one value (`groups` empty), or per-plane groups. Values
// as Criteria keeps them: samples, hundredths of a dB, millionths.
struct CriterionGiven {
    bool given;
    int64_t value;
    std::vector<PlaneGroup> groups;
    std::string text;
};

// One value of a criterion, or -1 when the text is none: a tolerance from 0 to 65535, a
// PSNR in dB from 0 to 999.99 with at most two decimals, an SSIM from 0 to 1 with at most
// six.
int64_t readCriterionValue(CriterionKind kind, const std::string& text);

// Reads VALUE or PLANES=VALUE[,PLANES=VALUE...] into `given`; returns why it cannot, or ""
// when it can. PLANES are letters of Y U V R G B, none named twice in one option.
std::string readCriterion(CriterionKind kind, const std::string& text, CriterionGiven& given);

// The value a criterion gives the plane of `letter`, or -1 when it names the plane not.
int64_t criterionFor(const CriterionGiven& given, char letter);

// The first letter named in `given` that is not among `planeLetters`, or '\0'.
char unknownPlane(const CriterionGiven& given, const std::string& planeLetters);

} // namespace framecmp
