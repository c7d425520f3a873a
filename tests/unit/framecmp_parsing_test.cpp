// What framecmp reads from its command line and its files' names, in process: the criteria
// of -t, -p and --ssim-min, one value or per plane, and the geometry and format a name
// carries as raw viewers read it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framecmp/criteria.h"

namespace {

using namespace framecmp;

struct CriterionCase {
    CriterionKind kind;
    std::string text;
    std::string refusal; // a part of why it is refused; "" when it is read
    int64_t value;       // the one value, or -1 when per plane or refused
    std::vector<PlaneGroup> groups;
};

TEST(FramecmpParsing, Criteria)
{
    using K = CriterionKind;
    const CriterionCase cases[] = {
        {K::tolerance, "0", "", 0, {}},
        {K::tolerance, "65535", "", 65535, {}},
        {K::tolerance, "65536", "not a value", -1, {}},
        {K::tolerance, "-1", "not a value", -1, {}},
        {K::tolerance, "", "not a value", -1, {}},
        {K::tolerance, "Y=0,UV=1", "", -1, {{"Y", 0}, {"UV", 1}}},
        {K::tolerance, "RGB=2", "", -1, {{"RGB", 2}}},
        {K::tolerance, "VU=3,Y=65535", "", -1, {{"VU", 3}, {"Y", 65535}}},
        {K::tolerance, "Y=0,Y=1", "plane Y is named twice", -1, {}},
        {K::tolerance, "UV=0,V=1", "plane V is named twice", -1, {}},
        {K::tolerance, "YY=0", "plane Y is named twice", -1, {}},
        {K::tolerance, "y=0", "not a group of the plane letters", -1, {}},
        {K::tolerance, "A=0", "not a group of the plane letters", -1, {}},
        {K::tolerance, "=0", "is not PLANES=VALUE", -1, {}},
        {K::tolerance, "Y=0,", "is not PLANES=VALUE", -1, {}},
        {K::tolerance, "Y=0,U", "is not PLANES=VALUE", -1, {}},
        {K::tolerance, "Y=", "is not a value", -1, {}},
        {K::tolerance, "Y=1.5", "is not a value", -1, {}},
        {K::tolerance, "Y=0=1", "is not a value", -1, {}},
        {K::psnr, "45", "", 4500, {}},
        {K::psnr, "38.5", "", 3850, {}},
        {K::psnr, "999.99", "", 99999, {}},
        {K::psnr, "1000", "not a value", -1, {}},
        {K::psnr, "38.123", "not a value", -1, {}},
        {K::psnr, "38.", "not a value", -1, {}},
        {K::psnr, ".5", "not a value", -1, {}},
        {K::psnr, "Y=45,UV=40.25", "", -1, {{"Y", 4500}, {"UV", 4025}}},
        {K::psnr, "G=30,BR=20", "", -1, {{"G", 3000}, {"BR", 2000}}},
        {K::psnr, "Y=45;UV=40", "is not a value", -1, {}},
        {K::ssim, "1", "", 1000000, {}},
        {K::ssim, "0.95", "", 950000, {}},
        {K::ssim, "0.000001", "", 1, {}},
        {K::ssim, "1.000001", "not a value", -1, {}},
        {K::ssim, "0.1234567", "not a value", -1, {}},
        {K::ssim, "Y=0.99,UV=0.9", "", -1, {{"Y", 990000}, {"UV", 900000}}},
        {K::ssim, "Y=2", "is not a value", -1, {}},
    };
    for (const CriterionCase& c : cases) {
        SCOPED_TRACE(c.text);
        CriterionGiven given{};
        const std::string why = readCriterion(c.kind, c.text, given);
        if (!c.refusal.empty()) {
            EXPECT_NE(why.find(c.refusal), std::string::npos) << why;
            EXPECT_FALSE(given.given); // a refused text leaves what was given before
            continue;
        }
        ASSERT_EQ(why, "");
        EXPECT_TRUE(given.given);
        EXPECT_EQ(given.text, c.text);
        ASSERT_EQ(given.groups.size(), c.groups.size());
        for (size_t g = 0; g < c.groups.size(); ++g) {
            EXPECT_EQ(given.groups[g].planes, c.groups[g].planes);
            EXPECT_EQ(given.groups[g].value, c.groups[g].value);
        }
        if (c.groups.empty()) {
            EXPECT_EQ(given.value, c.value);
        }
        // Each letter gets its group's value, one value every letter; a letter named in no
        // group none, and a format without it hears of the first one it lacks.
        for (const char letter : std::string("YUVRGB")) {
            int64_t expected = c.groups.empty() ? c.value : -1;
            for (const PlaneGroup& group : c.groups) {
                expected = group.planes.find(letter) != std::string::npos ? group.value : expected;
            }
            EXPECT_EQ(criterionFor(given, letter), expected) << letter;
        }
        const char lacked = unknownPlane(given, "Y");
        EXPECT_EQ(lacked, c.groups.empty() || c.text.find_first_not_of("Y=0123456789.,") == std::string::npos
                              ? '\0'
                              : c.text[c.text.find_first_not_of("Y=0123456789.,")]);
    }
}

} // namespace
