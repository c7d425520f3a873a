// What framecmp reads from its command line and its files' names, in process: the criteria
// of -t, -p and --ssim-min, one value or per plane, and the geometry and format a name
// carries as raw viewers read it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/namescan.h"
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

struct ViewerNameCase {
    std::string path;
    int width; // 0: no size part
    int height;
    std::string format; // formatName of the format part; "" for none
};

TEST(FramecmpParsing, NamesAsRawViewersReadThem)
{
    const ViewerNameCase cases[] = {
        {"clip_1920x1080_yuv420p10le.yuv", 1920, 1080, "yuv420p10le"},
        {"out-352x288-nv12.raw", 352, 288, "nv12"},
        {"a.352X288.gray10le", 352, 288, "gray10le"},
        {"runs/b_1920x1080_p010le.yuv", 1920, 1080, "p010le"},
        {"dir_640x480_nv12/clip.yuv", 0, 0, ""},                       // a directory's name is not the file's
        {"a_176x144_b_352x288_nv12_yuv420p.yuv", 352, 288, "yuv420p"}, // the rightmost of each
        {"clip_0x480_nv21.yuv", 0, 0, "nv21"},
        {"clip_1920x1080x3.yuv", 0, 0, ""},
        {"clip_2147483648x2.yuv", 0, 0, ""},
        {"clip_2147483647x1.yuv", 2147483647, 1, ""},
        {"clip_x480_4x_+4x2.yuv", 0, 0, ""},
        {"nv12:10_4x4.yuv", 4, 4, ""}, // LAYOUT:DEPTH is framecmp's, not a viewer's
        {"clip_w176_144_420.yuv", 0, 0, ""},
        {"p010_4x2_uyvy.yuv", 4, 2, "uyvy422"},
        {"YUV420P_4x2.yuv", 4, 2, ""},
        {"", 0, 0, ""},
        {"-", 0, 0, ""},
        {"__..--", 0, 0, ""},
    };
    for (const ViewerNameCase& c : cases) {
        SCOPED_TRACE(c.path);
        const ViewerFields fields = readViewerFields(c.path);
        EXPECT_EQ(fields.sized, c.width != 0);
        if (c.width != 0) {
            EXPECT_EQ(fields.width, c.width);
            EXPECT_EQ(fields.height, c.height);
        }
        EXPECT_EQ(fields.formatted, !c.format.empty());
        if (fields.formatted) {
            EXPECT_EQ(formatName(fields.format), c.format);
        }
    }
}

} // namespace
