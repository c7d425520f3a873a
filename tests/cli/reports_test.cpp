// framecmp's reports as a black box: the CSV and the JSON parsed back (by a strict JSON
// parser here) and held against a model of every frame; paths of any bytes; reports on
// standard output; files kept whole when a run fails; SSIM against ffmpeg's ssim filter; the
// SVG plot parsed as XML.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>

#include "support/json.h"
#include "support/scratch.h"

namespace {

const std::string framecmp = programPath(FRAMECMP_BIN);

// ---- The model ----

// A planar format: 4:2:0, or gray, at 8 or 10 bits.
struct ModelFormat {
    std::string name;
    int planes;
    int depth;
};

using Planes = std::vector<std::vector<uint32_t>>; // samples of each plane, row by row

struct PlaneSize {
    int width;
    int height;
};

PlaneSize planeSize(int width, int height, int plane)
{
    return plane == 0 ? PlaneSize{width, height} : PlaneSize{(width + 1) / 2, (height + 1) / 2};
}

// A smooth picture with noise: SSIM means something on it.
Planes picture(std::mt19937& random, const ModelFormat& format, int width, int height)
{
    Planes planes;
    const int top = (1 << format.depth) - 1;
    const double phase = double(random() % 1000) / 100;
    for (int p = 0; p < format.planes; ++p) {
        const PlaneSize size = planeSize(width, height, p);
        std::vector<uint32_t> samples;
        for (int y = 0; y < size.height; ++y) {
            for (int x = 0; x < size.width; ++x) {
                const double wave = 0.5 + 0.4 * std::sin(phase + x * 0.21 + y * 0.13 + p);
                const int noise = int(random() % 9) - 4;
                samples.push_back(uint32_t(std::clamp(int(wave * top) + noise * (top / 255), 0, top)));
            }
        }
        planes.push_back(samples);
    }
    return planes;
}

// Damage of a few kinds: some samples moved by up to `spread`, or none.
Planes damaged(std::mt19937& random, const ModelFormat& format, Planes planes, int every, int spread)
{
    const int top = (1 << format.depth) - 1;
    if (every <= 0) {
        return planes;
    }
    for (auto& samples : planes) {
        for (size_t i = random() % size_t(every); i < samples.size(); i += 1 + random() % size_t(every)) {
            samples[i] =
                uint32_t(std::clamp(int(samples[i]) + int(random() % uint32_t(2 * spread + 1)) - spread, 0, top));
        }
    }
    return planes;
}

std::string pack(const ModelFormat& format, const std::vector<Planes>& frames)
{
    std::string bytes;
    for (const Planes& planes : frames) {
        for (const auto& samples : planes) {
            for (const uint32_t v : samples) {
                bytes += char(v & 0xff);
                if (format.depth > 8) {
                    bytes += char(v >> 8);
                }
            }
        }
    }
    return bytes;
}

// What the reports say of one plane of one frame pair.
struct PlaneModel {
    uint64_t failing = 0; // the unknown among them
    uint64_t unknown = 0;
    int largest = 0;
    double mse = 0;
    int firstX = -1;
    int firstY = -1;
};

// A sample whose mask is not zero is unknown, and fails whatever its difference.
PlaneModel modelPlane(const std::vector<uint32_t>& e, const std::vector<uint32_t>& a, const std::vector<uint32_t>& mask,
                      PlaneSize size, int tolerance)
{
    PlaneModel m;
    double sum = 0;
    for (size_t i = 0; i < e.size(); ++i) {
        const int d = std::abs(int(e[i]) - int(a[i]));
        sum += double(d) * d;
        m.largest = std::max(m.largest, d);
        m.unknown += mask[i] != 0 ? 1 : 0;
        if (d > tolerance || mask[i] != 0) {
            if (m.failing++ == 0) {
                m.firstX = int(i % size_t(size.width));
                m.firstY = int(i / size_t(size.width));
            }
        }
    }
    m.mse = sum / double(e.size());
    return m;
}

double modelPsnr(double mse, int depth)
{
    const double peak = (1 << depth) - 1;
    return 10 * std::log10(peak * peak / mse);
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        out.push_back(line);
    }
    return out;
}

std::vector<std::string> fields(const std::string& line)
{
    std::vector<std::string> out;
    size_t from = 0;
    for (size_t comma; (comma = line.find(',', from)) != std::string::npos; from = comma + 1) {
        out.push_back(line.substr(from, comma - from));
    }
    out.push_back(line.substr(from));
    return out;
}

const char planeNames[] = "YUV";

// Every frame and plane of the CSV and the JSON against the model, and the JSON's summary;
// with --unknown, a mask marking some samples of every other frame.
struct ReportCase {
    ModelFormat format;
    int width;
    int height;
    int frames;
    int tolerance; // -1: no -t
    int floor;     // -1: no -p (whole dB)
    int every;     // damage every so many samples; 0 none
    int spread;
    int unknownEvery = 0;     // --unknown, a sample in about so many marked; 0 no mask
    int chromaTolerance = -1; // per plane: -t Y=tolerance,UV=this (-1: one -t for all)
};

// A mask of ACTUAL: about one sample in `every` with one of its value's bits set.
Planes unknownMask(std::mt19937& random, const ModelFormat& format, const Planes& like, int every)
{
    Planes mask = like;
    for (auto& samples : mask) {
        for (uint32_t& sample : samples) {
            sample = every > 0 && random() % uint32_t(every) == 0 ? 1U << (random() % uint32_t(format.depth)) : 0;
        }
    }
    return mask;
}

TEST(FramecmpReports, CsvAndJsonHoldEveryFrameAsTheModelSays)
{
    const ModelFormat yuv8{"yuv420p", 3, 8};
    const ModelFormat yuv10{"yuv420p10le", 3, 10};
    const ModelFormat gray8{"gray", 1, 8};
    const ReportCase cases[] = {
        {yuv8, 16, 8, 3, -1, -1, 7, 3},
        {yuv8, 17, 9, 4, 2, -1, 3, 5},
        {yuv8, 8, 8, 2, -1, -1, 0, 0},
        {yuv10, 12, 10, 3, 4, -1, 5, 40},
        {yuv10, 9, 7, 2, -1, 40, 2, 200},
        {gray8, 20, 4, 5, -1, 30, 4, 60},
        {gray8, 6, 6, 1, 0, -1, 1, 1},
        {yuv8, 17, 9, 3, 2, -1, 7, 3, 5},
        {yuv10, 9, 7, 3, -1, 40, 2, 200, 11},
        {yuv8, 17, 9, 4, 0, -1, 3, 3, 0, 2},
        {yuv10, 12, 10, 3, 30, 40, 2, 60, 9, 20},
    };
    std::mt19937 random(17);
    Scratch scratch;
    for (const ReportCase& c : cases) {
        SCOPED_TRACE(c.format.name + " " + std::to_string(c.width) + "x" + std::to_string(c.height));
        std::vector<Planes> expected;
        std::vector<Planes> actual;
        std::vector<Planes> masks;
        for (int f = 0; f < c.frames; ++f) {
            expected.push_back(picture(random, c.format, c.width, c.height));
            // Every other frame equal, so that the reports' equal frames are seen too.
            actual.push_back(f % 2 == 1 ? expected.back()
                                        : damaged(random, c.format, expected.back(), c.every, c.spread));
            masks.push_back(unknownMask(random, c.format, expected.back(), f % 2 == 0 ? 0 : c.unknownEvery));
        }
        scratch.write("e.yuv", pack(c.format, expected));
        scratch.write("a.yuv", pack(c.format, actual));
        scratch.write("m.yuv", pack(c.format, masks));
        std::vector<std::string> args = {"-s",     std::to_string(c.width) + "x" + std::to_string(c.height),
                                         "-f",     c.format.name,
                                         "--csv",  "r.csv",
                                         "--json", "r.json"};
        const bool perPlane = c.chromaTolerance >= 0;
        if (perPlane) {
            args.insert(args.end(),
                        {"-t", "Y=" + std::to_string(c.tolerance) + ",UV=" + std::to_string(c.chromaTolerance)});
        } else if (c.tolerance >= 0) {
            args.insert(args.end(), {"-t", std::to_string(c.tolerance)});
        }
        if (c.floor >= 0) {
            args.insert(args.end(), {"-p", std::to_string(c.floor)});
        }
        const bool masked = c.unknownEvery != 0;
        if (masked) {
            args.emplace_back("--unknown=m.yuv");
        }
        args.insert(args.end(), {"e.yuv", "a.yuv"});
        const RunResult run = scratch.run(framecmp, args);
        ASSERT_NE(run.status, 2) << run.err;
        const Json json = parseJson(scratch.read("r.json"));
        EXPECT_EQ(scratch.read("r.json").find("unknown") != std::string::npos, masked);
        const std::vector<std::string> csv = lines(scratch.read("r.csv"));
        ASSERT_EQ(csv.size(), size_t(1 + c.frames * c.format.planes));
        EXPECT_EQ(csv[0], std::string("frame,plane,failing,max_diff,mse,psnr,ssim,first_x,first_y,pass") +
                              (masked ? ",unknown,reason" : ",reason"));
        EXPECT_EQ(json["format"].text, c.format.name);
        EXPECT_EQ(json["actual_format"].text, c.format.name);
        EXPECT_EQ(json["width"].value, c.width);
        EXPECT_EQ(json["criteria"]["tolerance"].kind, perPlane ? Json::null : Json::number);
        EXPECT_EQ(json["criteria"]["tolerance"].value, perPlane ? 0 : std::max(c.tolerance, 0));
        EXPECT_EQ(json["criteria"]["psnr_min"].kind, c.floor >= 0 ? Json::number : Json::null);
        EXPECT_EQ(json["criteria"]["ssim_min"].kind, Json::null);
        EXPECT_EQ(json["displacements"].kind, Json::array);
        EXPECT_TRUE(json["displacements"].items.empty());
        ASSERT_EQ(json["frames"].items.size(), size_t(c.frames));
        int failingFrames = 0;
        int firstFailing = -1;
        int unknownFrames = 0;
        for (int f = 0; f < c.frames; ++f) {
            const Json& frame = json["frames"][size_t(f)];
            EXPECT_EQ(frame["frame"].value, f);
            bool fails = false;
            bool unknown = false;
            for (int p = 0; p < c.format.planes; ++p) {
                SCOPED_TRACE("frame " + std::to_string(f) + " plane " + planeNames[p]);
                const int tolerance = perPlane && p > 0 ? c.chromaTolerance : std::max(c.tolerance, 0);
                const PlaneModel m =
                    modelPlane(expected[size_t(f)][size_t(p)], actual[size_t(f)][size_t(p)],
                               masks[size_t(f)][size_t(p)], planeSize(c.width, c.height, p), tolerance);
                const Json& plane = frame["planes"][std::string(1, planeNames[p])];
                EXPECT_EQ(json["criteria"]["per_plane"][std::string(1, planeNames[p])]["tolerance"].value,
                          c.tolerance < 0 && c.floor >= 0 ? 0 : tolerance);
                EXPECT_EQ(plane["failing"].value, double(m.failing));
                if (masked) {
                    EXPECT_EQ(plane["unknown"].value, double(m.unknown));
                }
                unknown = unknown || m.unknown != 0;
                EXPECT_EQ(plane["max_diff"].value, m.largest);
                EXPECT_NEAR(plane["mse"].value, m.mse, m.mse * 1e-8);
                if (m.mse == 0) {
                    EXPECT_EQ(plane["psnr"].kind, Json::null);
                } else {
                    EXPECT_NEAR(plane["psnr"].value, modelPsnr(m.mse, c.format.depth), 0.0005);
                }
                EXPECT_EQ(plane["ssim"].kind, Json::null);
                if (m.firstX < 0) {
                    EXPECT_EQ(plane["first"].kind, Json::null);
                } else {
                    EXPECT_EQ(plane["first"][0].value, m.firstX);
                    EXPECT_EQ(plane["first"][1].value, m.firstY);
                }
                const bool samplesDecide = c.tolerance >= 0 || c.floor < 0;
                const bool belowFloor =
                    c.floor >= 0 && m.mse != 0 && std::round(modelPsnr(m.mse, c.format.depth) * 100) < c.floor * 100;
                const bool planeFails = (samplesDecide && m.failing != 0) || m.unknown != 0 || belowFloor;
                // Each criterion the plane fails, in one order.
                std::string reason = samplesDecide && m.failing != m.unknown ? "samples" : "";
                reason += belowFloor ? (reason.empty() ? "psnr" : "+psnr") : "";
                reason += m.unknown != 0 ? (reason.empty() ? "unknown" : "+unknown") : "";
                EXPECT_EQ(plane["reason"].kind, planeFails ? Json::string : Json::null);
                EXPECT_EQ(plane["reason"].text, reason);
                fails = fails || planeFails;
                // The CSV line says the same with the same digits.
                const std::vector<std::string> row = fields(csv[size_t(1 + f * c.format.planes + p)]);
                ASSERT_EQ(row.size(), masked ? 12U : 11U);
                EXPECT_EQ(row.back(), reason);
                EXPECT_EQ(row[0], std::to_string(f));
                EXPECT_EQ(row[1], std::string(1, planeNames[p]));
                EXPECT_EQ(row[2], std::to_string(m.failing));
                EXPECT_EQ(row[3], std::to_string(m.largest));
                EXPECT_EQ(std::stod(row[4]), plane["mse"].value);
                EXPECT_EQ(row[5] == "inf" ? -1.0 : std::stod(row[5]), m.mse == 0 ? -1.0 : plane["psnr"].value);
                EXPECT_EQ(row[6], "");
                EXPECT_EQ(row[7], m.firstX < 0 ? "" : std::to_string(m.firstX));
                EXPECT_EQ(row[8], m.firstY < 0 ? "" : std::to_string(m.firstY));
                EXPECT_EQ(row[9], planeFails ? "0" : "1");
                if (masked) {
                    EXPECT_EQ(row[10], std::to_string(m.unknown));
                }
            }
            unknownFrames += unknown ? 1 : 0;
            EXPECT_EQ(frame["pass"].flag, !fails);
            if (fails && failingFrames++ == 0) {
                firstFailing = f;
            }
        }
        const Json& summary = json["summary"];
        EXPECT_EQ(summary["frames"].value, c.frames);
        EXPECT_EQ(summary["failing_frames"].value, failingFrames);
        if (masked) {
            EXPECT_EQ(summary["unknown_frames"].value, unknownFrames);
        }
        EXPECT_EQ(summary["first_failing_frame"].kind, firstFailing < 0 ? Json::null : Json::number);
        EXPECT_EQ(summary["first_failing_frame"].value, firstFailing < 0 ? 0 : firstFailing);
        EXPECT_EQ(summary["status"].value, run.status);
        EXPECT_EQ(run.status, failingFrames != 0 ? 1 : 0);
        EXPECT_EQ(summary["lengths"]["expected"].value, c.frames);
        EXPECT_FALSE(summary["stopped"].flag);
        for (int p = 0; p < c.format.planes; ++p) { // no --ssim: no plane has SSIM
            EXPECT_EQ(summary["ssim_lowest"][std::string(1, planeNames[p])].kind, Json::null);
            EXPECT_EQ(summary["ssim_average"][std::string(1, planeNames[p])].kind, Json::null);
        }
    }
}

// A path of any bytes comes back from the JSON as it was: valid UTF-8 kept, every other byte
// as the code point of its value; quotes, backslashes and control characters survive.
TEST(FramecmpReports, PathsOfAnyBytes)
{
    struct PathCase {
        std::string name;
        std::string decoded; // what the JSON string holds, as UTF-8
    };
    const PathCase cases[] = {
        {"plain.yuv", "plain.yuv"},
        {"q\"uo\\te.yuv", "q\"uo\\te.yuv"},
        {"tab\tnl\ncr\r\x01\x1f.yuv", "tab\tnl\ncr\r\x01\x1f.yuv"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80.yuv", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80.yuv"},
        {"bad\xff\xfe.yuv", "bad\xc3\xbf\xc3\xbe.yuv"},
        {"cut\xc3.yuv", "cut\xc3\x83.yuv"},
        {"overlong\xc0\xaf.yuv", "overlong\xc3\x80\xc2\xaf.yuv"},
        {"surrogate\xed\xa0\x80.yuv", "surrogate\xc3\xad\xc2\xa0\xc2\x80.yuv"},
    };
    Scratch scratch;
    scratch.write("a.yuv", std::string(8 * 8 * 3 / 2, 'x'));
    for (const PathCase& c : cases) {
        SCOPED_TRACE(c.name);
        scratch.write(c.name, std::string(8 * 8 * 3 / 2, 'y'));
        const RunResult run = scratch.run(framecmp, {"-s", "8x8", "--json", "r.json", c.name, "a.yuv"});
        ASSERT_EQ(run.status, 1) << run.err;
        const Json json = parseJson(scratch.read("r.json"));
        EXPECT_EQ(json["expected"].text, c.decoded);
        EXPECT_EQ(json["actual"].text, "a.yuv");
    }
}

// Reports on standard output, at most one, with no text report mixed in and no -l; -q
// does not cut a report short; usage errors say so and write nothing.
TEST(FramecmpReports, StandardOutputAndQuiet)
{
    Scratch scratch;
    std::string e(8 * 8 * 3 / 2 * 4, 'a');
    std::string a = e;
    a[0] = 'b';          // frame 0 fails
    a[96 * 2 + 5] = 'c'; // frame 2 fails
    scratch.write("e.yuv", e);
    scratch.write("a.yuv", a);
    const RunResult json = scratch.run(framecmp, {"-s", "8x8", "--json", "-", "e.yuv", "a.yuv"});
    EXPECT_EQ(json.status, 1);
    const Json parsed = parseJson(json.out);
    EXPECT_EQ(parsed["summary"]["failing_frames"].value, 2);
    const RunResult csv = scratch.run(framecmp, {"-s", "8x8", "--csv", "-", "--json", "r.json", "e.yuv", "a.yuv"});
    EXPECT_EQ(csv.status, 1);
    EXPECT_EQ(lines(csv.out).size(), 1U + 4 * 3);
    EXPECT_EQ(csv.out.find("frame 0:"), std::string::npos);
    // -q alone stops at the first failing frame; with a report the run goes to the end.
    const RunResult quiet = scratch.run(framecmp, {"-q", "-s", "8x8", "--json", "q.json", "e.yuv", "a.yuv"});
    EXPECT_EQ(quiet.status, 1);
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(parseJson(scratch.read("q.json"))["frames"].items.size(), 4U);
    // -n stops the report too, and the summary says where.
    const RunResult stopped = scratch.run(framecmp, {"-n", "1", "-s", "8x8", "--json", "n.json", "e.yuv", "a.yuv"});
    const Json n = parseJson(scratch.read("n.json"));
    EXPECT_EQ(n["frames"].items.size(), 1U);
    EXPECT_TRUE(n["summary"]["stopped"].flag);
    EXPECT_EQ(n["summary"]["lengths"]["expected"].kind, Json::null);
    EXPECT_NE(stopped.out.find("\nstopped after 1 failing frame, at frame 0; "), std::string::npos) << stopped.out;
    const RunResult two = scratch.run(framecmp, {"-n", "2", "-s", "8x8", "e.yuv", "a.yuv"});
    EXPECT_NE(two.out.find("\nstopped after 2 failing frames, at frame 2, first at frame 0; "), std::string::npos)
        << two.out;

    struct Refused {
        std::vector<std::string> args;
        std::string message;
    };
    const Refused refused[] = {
        {{"--csv", "-", "--json", "-"}, "framecmp: -: only one report can go to standard output"},
        {{"--json", "-", "--plot", "-"}, "framecmp: -: only one report can go to standard output"},
        {{"-l", "--csv", "-"}, "framecmp: -l: cannot list samples on standard output while a report goes there"},
        {{"--csv", "x.out", "--json", "x.out"}, "framecmp: --json x.out: same file as --csv x.out"},
        {{"--ssim-min=1.1"}, "framecmp: --ssim-min=1.1: not an SSIM from 0 to 1, at most six decimals"},
        {{"--ssim-min=0.1234567"}, "framecmp: --ssim-min=0.1234567: not an SSIM from 0 to 1, at most six decimals"},
        {{"--ssim-min=.5"}, "framecmp: --ssim-min=.5: not an SSIM from 0 to 1, at most six decimals"},
        {{"--json", "e.yuv"}, "framecmp: e.yuv: is one of the files compared; not overwritten"},
        {{"--plot", "a.yuv"}, "framecmp: a.yuv: is one of the files compared; not overwritten"},
    };
    for (const Refused& r : refused) {
        std::vector<std::string> args = r.args;
        args.insert(args.end(), {"-s", "8x8", "e.yuv", "a.yuv"});
        SCOPED_TRACE(joined(args));
        const RunResult run = scratch.run(framecmp, args);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.substr(0, run.err.find('\n')), r.message);
        EXPECT_FALSE(scratch.exists("x.out"));
    }
    EXPECT_EQ(scratch.read("e.yuv"), e);
    EXPECT_EQ(scratch.read("a.yuv"), a);
}

// A run that fails half way (ACTUAL cannot be read) leaves what the report paths named as
// it was, and no temporary file beside them.
TEST(FramecmpReports, FailedRunKeepsWhatWasThere)
{
    Scratch scratch;
    scratch.write("e.yuv", std::string(96 * 3, 'a'));
    std::filesystem::create_directory(scratch.path("dir.yuv"));
    scratch.write("r.json", "old json");
    scratch.write("r.csv", "old csv");
    const RunResult run = scratch.run(
        framecmp, {"-s", "8x8", "--json", "r.json", "--csv", "r.csv", "--plot", "r.svg", "e.yuv", "dir.yuv"});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("dir.yuv: cannot read"), std::string::npos) << run.err;
    EXPECT_EQ(scratch.read("r.json"), "old json");
    EXPECT_EQ(scratch.read("r.csv"), "old csv");
    EXPECT_FALSE(scratch.exists("r.svg"));
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(scratch.path(""))) {
        ++files;
    }
    EXPECT_EQ(files, 4U); // e.yuv, dir.yuv, r.json, r.csv
}

// ---- SSIM ----

bool haveProgram(const std::string& name)
{
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// framecmp's SSIM of every plane and frame against ffmpeg's ssim filter, at 8 and 10 bits,
// sizes that leave partial blocks and chroma of odd sizes. ffmpeg runs its C code
// (-cpuflags 0): ffmpeg 5.1's x86 code gives other chroma values on some sizes.
TEST(FramecmpSsim, AgreesWithFfmpeg)
{
    if (!haveProgram("ffmpeg") || sanitizedBuild()) {
        GTEST_SKIP() << "ffmpeg is not installed (or the build is sanitized: ffmpeg is slow to start there)";
    }
    const ModelFormat yuv8{"yuv420p", 3, 8};
    const ModelFormat yuv10{"yuv420p10le", 3, 10};
    const ModelFormat gray10{"gray10le", 1, 10};
    const ReportCase cases[] = {{yuv8, 64, 48, 3, -1, -1, 3, 20},   {yuv8, 75, 37, 2, -1, -1, 2, 60},
                                {yuv8, 16, 16, 2, -1, -1, 1, 100},  {yuv10, 64, 48, 3, -1, -1, 3, 80},
                                {yuv10, 50, 34, 2, -1, -1, 2, 300}, {gray10, 40, 24, 2, -1, -1, 4, 500}};
    std::mt19937 random(5);
    Scratch scratch;
    for (const ReportCase& c : cases) {
        const std::string size = std::to_string(c.width) + "x" + std::to_string(c.height);
        SCOPED_TRACE(c.format.name + " " + size);
        std::vector<Planes> expected;
        std::vector<Planes> actual;
        for (int f = 0; f < c.frames; ++f) {
            expected.push_back(picture(random, c.format, c.width, c.height));
            actual.push_back(damaged(random, c.format, expected.back(), c.every, c.spread));
        }
        scratch.write("e.yuv", pack(c.format, expected));
        scratch.write("a.yuv", pack(c.format, actual));
        const std::vector<std::string> args = {"-s",    size, "-f",    c.format.name, "--ssim",
                                               "--csv", "-",  "e.yuv", "a.yuv"};
        const RunResult ours = scratch.run(framecmp, args);
        ASSERT_EQ(ours.status, 1) << ours.err;
        const std::string input = " -f rawvideo -pix_fmt " + c.format.name + " -s " + size + " -i ";
        const std::string command = "cd " + scratch.path("") + " && ffmpeg -nostdin -loglevel error -cpuflags 0" +
                                    input + "a.yuv" + input + "e.yuv -lavfi ssim=stats_file=ssim.log -f null -";
        ASSERT_EQ(std::system(command.c_str()), 0);
        const std::vector<std::string> log = lines(scratch.read("ssim.log"));
        const std::vector<std::string> csv = lines(ours.out);
        ASSERT_EQ(log.size(), size_t(c.frames));
        ASSERT_EQ(csv.size(), size_t(1 + c.frames * c.format.planes));
        for (int f = 0; f < c.frames; ++f) {
            for (int p = 0; p < c.format.planes; ++p) {
                const std::vector<std::string> row = fields(csv[size_t(1 + f * c.format.planes + p)]);
                const std::string key = std::string(" ") + planeNames[p] + ":";
                const size_t at = log[size_t(f)].find(key);
                ASSERT_NE(at, std::string::npos) << log[size_t(f)];
                EXPECT_NEAR(std::stod(row[6]), std::stod(log[size_t(f)].substr(at + key.size())), 0.0005)
                    << csv[size_t(1 + f * c.format.planes + p)] << "\n"
                    << log[size_t(f)];
            }
        }
    }
}

// SSIM of equal frames is 1, of a plane smaller than one 8x8 window none (null), and
// --ssim-min fails the frames below it, alone or beside -t and -p.
TEST(FramecmpSsim, EqualFramesSmallPlanesAndTheThreshold)
{
    Scratch scratch;
    const ModelFormat yuv8{"yuv420p", 3, 8};
    std::mt19937 random(3);
    const Planes same = picture(random, yuv8, 16, 12);
    const Planes light = damaged(random, yuv8, same, 50, 2);
    const Planes heavy = damaged(random, yuv8, same, 1, 80);
    scratch.write("e.yuv", pack(yuv8, {same, same, same}));
    scratch.write("a.yuv", pack(yuv8, {same, light, heavy}));
    const RunResult run = scratch.run(framecmp, {"-s", "16x12", "--ssim-min=0.9", "--json", "-", "e.yuv", "a.yuv"});
    EXPECT_EQ(run.status, 1);
    const Json json = parseJson(run.out);
    EXPECT_NEAR(json["criteria"]["ssim_min"].value, 0.9, 1e-9);
    const Json& frames = json["frames"];
    EXPECT_EQ(frames[0]["planes"]["Y"]["ssim"].value, 1);
    EXPECT_EQ(frames[0]["planes"]["U"]["ssim"].kind, Json::null); // 8x6 chroma: no 8x8 window
    EXPECT_TRUE(frames[0]["pass"].flag);
    EXPECT_GT(frames[1]["planes"]["Y"]["ssim"].value, 0.9);
    // Y passes on its SSIM; the 8x6 chroma, too small for SSIM, is judged exactly and differs.
    EXPECT_FALSE(frames[1]["pass"].flag);
    EXPECT_LT(frames[2]["planes"]["Y"]["ssim"].value, 0.9);
    EXPECT_FALSE(frames[2]["pass"].flag);
    // The summary: each plane's lowest SSIM and its frame, and the mean over the frames.
    const Json& summary = json["summary"];
    EXPECT_EQ(summary["ssim_lowest"]["Y"]["value"].value, frames[2]["planes"]["Y"]["ssim"].value);
    EXPECT_EQ(summary["ssim_lowest"]["Y"]["frame"].value, 2);
    double sum = 0;
    for (size_t f = 0; f < 3; ++f) {
        sum += frames[f]["planes"]["Y"]["ssim"].value;
    }
    EXPECT_NEAR(summary["ssim_average"]["Y"].value, sum / 3, 2e-6);
    EXPECT_EQ(summary["ssim_lowest"]["U"].kind, Json::null);
    EXPECT_EQ(summary["ssim_average"]["V"].kind, Json::null);
    const RunResult text = scratch.run(framecmp, {"-s", "16x12", "--ssim-min=0.9", "e.yuv", "a.yuv"});
    EXPECT_NE(text.out.find("frame 2: Y "), std::string::npos) << text.out;
    EXPECT_NE(text.out.find(", SSIM below 0.9"), std::string::npos) << text.out;
    const size_t at = std::min(text.out.find("frame 1: Y "), text.out.size());
    const std::string frame1 = text.out.substr(at, text.out.find('\n', at) - at);
    EXPECT_EQ(frame1.find("SSIM below"), std::string::npos) << text.out;
    EXPECT_NE(frame1.find(", no SSIM (under 8x8): judged exactly; V "), std::string::npos) << text.out;
    const RunResult strict = scratch.run(framecmp, {"-s", "16x12", "-t", "0", "--ssim-min=0.9", "e.yuv", "a.yuv"});
    EXPECT_NE(strict.out.find("frame 1:"), std::string::npos) << strict.out;
}

// ---- Plot ----

// The plot's elements as python3's XML parser reads them: "tag id text" a line.
std::string plotElements(const Scratch& scratch, const std::string& name)
{
    const std::string script =
        "import sys, xml.etree.ElementTree as E\n"
        "for e in E.parse(sys.argv[1]).iter():\n"
        "    print(e.tag.split('}')[-1], e.get('id', '-'), len((e.get('points') or '').split()), "
        "(e.text or '').strip())\n";
    scratch.write("elements.py", script);
    const std::string command = "cd " + scratch.path("") + " && python3 elements.py " + name + " > elements.txt";
    EXPECT_EQ(std::system(command.c_str()), 0) << scratch.read(name).substr(0, 3000);
    return scratch.read("elements.txt");
}

TEST(FramecmpPlot, ParsesAsXmlWithALineAPlane)
{
    if (!haveProgram("python3")) {
        GTEST_SKIP() << "python3 is not installed";
    }
    struct PlotCase {
        std::string format;
        int planes;
        int frames;
        std::vector<std::string> args;
        size_t points; // a line has
        std::vector<std::string> present;
    };
    const PlotCase cases[] = {
        {"yuv420p", 3, 5, {"--ssim", "-p", "30"}, 5, {"polyline ssim-V 5", "line floor", "text - 0 inf", "SSIM"}},
        {"gray", 1, 3, {}, 3, {"polyline psnr-Y 3", "text - 0 inf"}},
        {"gray", 1, 2600, {}, 2600, {"polyline psnr-Y 2600"}},
        {"yuv420p", 3, 0, {}, 0, {"no frames compared"}},
    };
    Scratch scratch;
    std::mt19937 random(9);
    for (const PlotCase& c : cases) {
        SCOPED_TRACE(c.format + " " + std::to_string(c.frames));
        const ModelFormat format{c.format, c.planes, 8};
        std::vector<Planes> expected;
        std::vector<Planes> actual;
        for (int f = 0; f < c.frames; ++f) {
            expected.push_back(picture(random, format, 16, 16));
            actual.push_back(f % 3 == 1 ? expected.back() : damaged(random, format, expected.back(), 3, 10));
        }
        scratch.write("e.yuv", pack(format, expected));
        scratch.write("a.yuv", pack(format, actual));
        // A title of every kind of character XML may not hold as it is.
        const std::string name = "<&'\"\x01\xff>.yuv";
        scratch.write(name, pack(format, expected));
        std::vector<std::string> args = {"-s", "16x16", "-f", c.format, "--plot", "p.svg"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.insert(args.end(), {name, "a.yuv"});
        const RunResult run = scratch.run(framecmp, args);
        ASSERT_NE(run.status, 2) << run.err;
        const std::string elements = plotElements(scratch, "p.svg");
        EXPECT_EQ(elements.rfind("svg - 0", 0), 0U) << elements;
        EXPECT_NE(elements.find("<&'\"\xef\xbf\xbd\xef\xbf\xbd>.yuv against a.yuv"), std::string::npos) << elements;
        size_t psnrLines = 0;
        for (const std::string& line : lines(elements)) {
            if (line.rfind("polyline psnr-", 0) == 0) {
                ++psnrLines;
                EXPECT_EQ(line.substr(0, line.rfind(' ')),
                          "polyline psnr-" + line.substr(14, 1) + " " + std::to_string(c.points))
                    << line;
            }
        }
        EXPECT_EQ(psnrLines, c.frames == 0 ? 0 : size_t(c.planes));
        for (const std::string& wanted : c.present) {
            EXPECT_NE(elements.find(wanted), std::string::npos) << wanted << "\n" << elements.substr(0, 3000);
        }
    }
}

// At 4000 points pairs merge, each keeping the lower PSNR: one bad frame among thousands of
// equal ones stays on the line, as the one point under the top. 4321 frames: 2000 points of
// two frames, then 161 for the last 321.
TEST(FramecmpPlot, ThinningKeepsTheLowest)
{
    if (!haveProgram("python3")) {
        GTEST_SKIP() << "python3 is not installed";
    }
    Scratch scratch;
    const int frames = 4321;
    std::string e(size_t(64 * frames), 'a');
    std::string a = e;
    a[64 * 3001 + 7] = 'z';
    scratch.write("e.yuv", e);
    scratch.write("a.yuv", a);
    const RunResult run = scratch.run(framecmp, {"-s", "8x8", "-f", "gray", "--plot", "p.svg", "e.yuv", "a.yuv"});
    ASSERT_EQ(run.status, 1);
    const std::string svg = scratch.read("p.svg");
    const size_t at = svg.find("points=\"", svg.find("id=\"psnr-Y\""));
    ASSERT_NE(at, std::string::npos);
    std::istringstream points(svg.substr(at + 8, svg.find('"', at + 8) - at - 8));
    std::map<std::string, int> ys;
    int count = 0;
    for (std::string point; points >> point; ++count) {
        ++ys[point.substr(point.find(',') + 1)];
    }
    EXPECT_EQ(count, 2161);
    ASSERT_EQ(ys.size(), 2U);
    EXPECT_EQ(std::min(ys.begin()->second, ys.rbegin()->second), 1);
    size_t marks = 0;
    for (size_t from = 0; (from = svg.find("class=\"failing\"", from)) != std::string::npos; ++from) {
        ++marks;
    }
    EXPECT_EQ(marks, 1U);
}

// ---- JUnit ----

// What xmllint reads at `path` of the file: a strict parser's answer, not a search of the text.
std::string xpath(const Scratch& scratch, const std::string& file, const std::string& path)
{
    const RunResult read = scratch.run("/usr/bin/env", {"xmllint", "--xpath", path, file});
    return read.out.substr(0, read.out.size() - (read.out.empty() ? 0 : 1)); // its line's end
}

// The JUnit file of runs that pass, fail, stop, end early and meet trouble: well formed and
// valid against tests/junit.xsd (the format as CI servers read it), the run's test case
// failing with its first failing frame's line as the text report prints it, or with the
// length line, or in error with the message said on standard error; names of any bytes; a
// test case per failing frame up to 1000.
TEST(FramecmpJunit, ParsedAndValidated)
{
    if (!haveProgram("xmllint")) {
        GTEST_SKIP() << "xmllint is not installed (tools/need libxml2-utils)";
    }
    struct JunitCase {
        std::string name;
        std::vector<std::string> args; // before --junit=j.xml e.yuv ACTUAL
        std::string actual;            // ACTUAL's content: "same", "damaged", "longer", "each" or "nothing"
        int status;
        std::string message;       // the failure's, or the error's; "" for a pass
        int testcases;             // test cases in all
        std::string lastCase;      // the last test case's name
        std::string failingFrames; // property
        std::string attached;      // in system-out
    };
    const std::string actualName = "out\x01tab\t\xff.yuv";
    const std::string escapedName = "out\\x01tab\t\\xFF.yuv";
    const JunitCase cases[] = {
        {"pass", {}, "same", 0, "", 1, "a.yuv", "0", ""},
        {"fail",
         {"--csv", "r.csv", "--json", "r.json"},
         "damaged",
         1,
         "frame 1: ",
         1,
         "a.yuv",
         "2",
         "[[ATTACHMENT|r.csv]]\n[[ATTACHMENT|r.json]]\n"},
        {"quiet", {"-q"}, "damaged", 1, "frame 1: ", 1, "a.yuv", "2", ""},
        {"perPlane", {"-t", "Y=1,UV=0", "--junit-frames"}, "damaged", 1, "frame 3: ", 2, "frame 3", "1", ""},
        {"stopped", {"-n", "1"}, "damaged", 1, "frame 1: ", 1, "a.yuv", "1", ""},
        {"longer", {}, "longer", 1, "EXPECTED ends after 4 frames, ACTUAL has 5", 1, "a.yuv", "0", ""},
        {"cap", {"--junit-frames"}, "each", 1, "frame 0: ", 1002, "3 more failing frames", "1003", ""},
        {"trouble",
         {"--unknown=short.yuv"},
         "damaged",
         2,
         "framecmp: short.yuv: the mask ends before ACTUAL",
         1,
         "a.yuv",
         "",
         ""},
        {"name", {}, "damaged", 1, "frame 1: ", 1, escapedName, "2", ""},
    };
    Scratch scratch;
    for (const JunitCase& c : cases) {
        SCOPED_TRACE(c.name);
        const bool many = c.actual == "each";
        const std::string size = many ? "1x1" : "8x8";
        const size_t frameSize = many ? 1 : 96;
        const size_t frames = many ? 1003 : 4;
        std::string expected(frameSize * frames, '\x40');
        std::string actual = expected;
        if (c.actual == "damaged") {
            actual[frameSize * 1 + 3] = '\x41';
            actual[frameSize * 3 + 70] = '\x43';
        } else if (c.actual == "longer") {
            actual += std::string(frameSize, '\x40');
        } else if (many) {
            actual.assign(actual.size(), '\x42');
        }
        const std::string actualPath = c.name == "name" ? actualName : "a.yuv";
        scratch.write("e.yuv", expected);
        scratch.write(actualPath, actual);
        scratch.write("short.yuv", std::string(10, '\0'));
        std::remove(scratch.path("j.xml").c_str());
        std::vector<std::string> args = {"-s", size, "-f", many ? "gray" : "yuv420p"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.insert(args.end(), {"--junit=j.xml", "e.yuv", actualPath});
        const RunResult run = scratch.run(framecmp, args);
        ASSERT_EQ(run.status, c.status) << run.err;
        ASSERT_TRUE(scratch.exists("j.xml"));
        EXPECT_EQ(scratch.run("/usr/bin/env", {"xmllint", "--noout", "j.xml"}).status, 0);
        const RunResult valid = scratch.run("/usr/bin/env", {"xmllint", "--noout", "--schema",
                                                             std::string(PROJECT_ROOT) + "/tests/junit.xsd", "j.xml"});
        EXPECT_EQ(valid.status, 0) << valid.err;
        EXPECT_EQ(xpath(scratch, "j.xml", "count(/testsuites/testsuite[@name='framecmp']/testcase)"),
                  std::to_string(c.testcases));
        EXPECT_EQ(xpath(scratch, "j.xml", "string(//testcase[1]/@name)"), c.name == "name" ? escapedName : "a.yuv");
        EXPECT_EQ(xpath(scratch, "j.xml", "string(//testcase[last()]/@name)"), c.lastCase);
        EXPECT_EQ(xpath(scratch, "j.xml", "string(//testcase[1]/@classname)"), "framecmp");
        EXPECT_EQ(xpath(scratch, "j.xml", "string(//property[@name='failing_frames']/@value)"), c.failingFrames);
        EXPECT_EQ(xpath(scratch, "j.xml", "string(//testcase[1]/system-out)"), c.attached);
        const std::string problem = c.status == 2 ? "error" : "failure";
        const std::string message = xpath(scratch, "j.xml", "string(//testcase[1]/" + problem + "/@message)");
        EXPECT_EQ(message.substr(0, c.message.size()), c.message);
        EXPECT_EQ(xpath(scratch, "j.xml", "count(//testcase[1]/failure | //testcase[1]/error)"),
                  c.message.empty() ? "0" : "1");
        if (c.status == 2) {
            EXPECT_EQ(run.err, message + "\n");
        } else if (c.message.rfind("frame ", 0) == 0 && c.name != "quiet") {
            // The message is the frame's line as the text report prints it.
            EXPECT_NE(run.out.find(message + "\n"), std::string::npos) << run.out;
        }
    }
}

} // namespace
