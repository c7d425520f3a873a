// framecmp as a black box: against a model that splits frames into planes on its own, on
// random frame pairs of every layout and odd sizes; its exit statuses and messages; damaged
// copies of what traceframes writes; and, when ffmpeg is installed, its PSNR against ffmpeg's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "support/models.h"
#include "support/scratch.h"

namespace {

const std::string framecmp = programPath(FRAMECMP_BIN);
const std::string traceframes = programPath(TRACEFRAMES_BIN);
const std::string tracegen = programPath(TRACEGEN_BIN);

// A format as the model knows it: how the planes are arranged ("planar", "gbr" (planar, the
// planes named G, B, R), "gray", chroma
// pairs "uv" or "vu", a packed order as "yuyv", a pixel's samples as "px:bgra" (a and 0 not
// compared), or 32-bit words as "w:xv20" (models.h)), how much luma a chroma sample covers,
// the depth and, above 8 bits, whether the value sits in the high bits.
struct ModelFormat {
    std::string name;
    std::string arrangement;
    int coverX;
    int coverY;
    int depth;
    bool msb;
};

// Every format name framecmp takes, with what it means, written out here on its own.
const ModelFormat modelFormats[] = {
    {"yuv420p", "planar", 2, 2, 8, false},
    {"i420", "planar", 2, 2, 8, false},
    {"nv12", "uv", 2, 2, 8, false},
    {"nv21", "vu", 2, 2, 8, false},
    {"yuv422p", "planar", 2, 1, 8, false},
    {"422p", "planar", 2, 1, 8, false},
    {"nv16", "uv", 2, 1, 8, false},
    {"yuv440p", "planar", 1, 2, 8, false},
    {"440p", "planar", 1, 2, 8, false},
    {"yuv444p", "planar", 1, 1, 8, false},
    {"nv24", "uv", 1, 1, 8, false},
    {"gray", "gray", 1, 1, 8, false},
    {"yuyv422", "yuyv", 2, 1, 8, false},
    {"yuyv", "yuyv", 2, 1, 8, false},
    {"yvyu422", "yvyu", 2, 1, 8, false},
    {"yvyu", "yvyu", 2, 1, 8, false},
    {"uyvy422", "uyvy", 2, 1, 8, false},
    {"uyvy", "uyvy", 2, 1, 8, false},
    {"vyuy422", "vyuy", 2, 1, 8, false},
    {"vyuy", "vyuy", 2, 1, 8, false},
    {"yuv420p10le", "planar", 2, 2, 10, false},
    {"yuv420p12le", "planar", 2, 2, 12, false},
    {"yuv420p16le", "planar", 2, 2, 16, false},
    {"yuv422p10le", "planar", 2, 1, 10, false},
    {"yuv422p12le", "planar", 2, 1, 12, false},
    {"yuv422p16le", "planar", 2, 1, 16, false},
    {"yuv440p10le", "planar", 1, 2, 10, false},
    {"yuv440p12le", "planar", 1, 2, 12, false},
    {"yuv444p10le", "planar", 1, 1, 10, false},
    {"yuv444p12le", "planar", 1, 1, 12, false},
    {"yuv444p16le", "planar", 1, 1, 16, false},
    {"gray10le", "gray", 1, 1, 10, false},
    {"gray12le", "gray", 1, 1, 12, false},
    {"gray16le", "gray", 1, 1, 16, false},
    {"nv20le", "uv", 2, 1, 10, false},
    {"p010le", "uv", 2, 2, 10, true},
    {"p012le", "uv", 2, 2, 12, true},
    {"p016le", "uv", 2, 2, 16, true},
    {"p210le", "uv", 2, 1, 10, true},
    {"p410le", "uv", 1, 1, 10, true},
    {"y210le", "yuyv", 2, 1, 10, true},
    {"nv12:10", "uv", 2, 2, 10, false},
    {"yuv420p:10m", "planar", 2, 2, 10, true},
    {"gray:12", "gray", 1, 1, 12, false},
    {"nv21:12m", "vu", 2, 2, 12, true},
    {"uyvy422:10", "uyvy", 2, 1, 10, false},
    {"vyuy422:9m", "vyuy", 2, 1, 9, true},
    {"yuv444p:14", "planar", 1, 1, 14, false},
    {"nv24:11m", "uv", 1, 1, 11, true},
    {"yuv422p:16m", "planar", 2, 1, 16, true},
    {"gray:10", "gray", 1, 1, 10, false},
    {"yuv422p:9", "planar", 2, 1, 9, false},
    {"gray:9m", "gray", 1, 1, 9, true},
    {"gbrp", "gbr", 1, 1, 8, false},
    {"gbrp10le", "gbr", 1, 1, 10, false},
    {"gbrp12le", "gbr", 1, 1, 12, false},
    {"gbrp16le", "gbr", 1, 1, 16, false},
    {"rgb24", "px:rgb", 1, 1, 8, false},
    {"bgr24", "px:bgr", 1, 1, 8, false},
    {"rgba", "px:rgba", 1, 1, 8, false},
    {"bgra", "px:bgra", 1, 1, 8, false},
    {"argb", "px:argb", 1, 1, 8, false},
    {"abgr", "px:abgr", 1, 1, 8, false},
    {"0rgb", "px:0rgb", 1, 1, 8, false},
    {"rgb0", "px:rgb0", 1, 1, 8, false},
    {"0bgr", "px:0bgr", 1, 1, 8, false},
    {"bgr0", "px:bgr0", 1, 1, 8, false},
    {"rgb48le", "px:rgb", 1, 1, 16, false},
    {"ayuv64le", "px:ayuv", 1, 1, 16, false},
    {"y410", "w:y410", 1, 1, 10, false},
    {"xv30le", "w:xv30le", 1, 1, 10, false},
    {"x2rgb10le", "w:x2rgb10le", 1, 1, 10, false},
    {"x2bgr10le", "w:x2bgr10le", 1, 1, 10, false},
    {"xv20", "w:xv20", 2, 1, 10, false},
    {"xv15", "w:xv15", 2, 2, 10, false},
    {"v210", "w:v210", 2, 1, 10, false},
};

const ModelFormat& modelFormat(const std::string& name)
{
    for (const ModelFormat& format : modelFormats) {
        if (format.name == name) {
            return format;
        }
    }
    throw std::runtime_error("no model format " + name);
}

bool isPacked(const ModelFormat& format)
{
    return format.arrangement.size() == 4 && format.arrangement != "gray";
}

bool inWords(const ModelFormat& format)
{
    return format.arrangement.rfind("w:", 0) == 0;
}

bool isRgb(const ModelFormat& format)
{
    return format.arrangement == "gbr" || format.arrangement.find("rgb") != std::string::npos ||
           format.arrangement.find("bgr") != std::string::npos;
}

// A plane of containers: the whole 8 or 16 bits a file holds for each sample.
struct ModelPlane {
    char name;
    int width;
    int height;
    std::vector<uint32_t> samples;
};

// The empty planes of a frame: odd sizes round chroma up.
std::vector<ModelPlane> emptyPlanes(const ModelFormat& format, int w, int h)
{
    const char* names = format.arrangement == "gbr" ? "GBR" : isRgb(format) ? "RGB" : "YUV";
    std::vector<ModelPlane> planes = {{names[0], w, h, {}}};
    if (format.arrangement != "gray") {
        const int cw = (w + format.coverX - 1) / format.coverX;
        const int ch = (h + format.coverY - 1) / format.coverY;
        planes.push_back({names[1], cw, ch, {}});
        planes.push_back({names[2], cw, ch, {}});
    }
    return planes;
}

// Words with padding mark it with bit 15 of their last sample (models.h).
uint32_t paddingMask(const ModelFormat& format)
{
    if (inWords(format)) {
        return wordFrameModel(format.arrangement.substr(2), 1, 1, 1, 1).padding != 0 ? 0x8000U : 0;
    }
    if (format.depth == 8 || format.depth == 16) {
        return 0;
    }
    const uint32_t spare = (1U << (16 - format.depth)) - 1;
    return format.msb ? spare : 0xffffU & ~((1U << format.depth) - 1);
}

uint32_t containerOf(const ModelFormat& format, uint32_t value)
{
    return format.msb ? value << (16 - format.depth) : value;
}

uint32_t valueOf(const ModelFormat& format, uint32_t container)
{
    return format.msb ? container >> (16 - format.depth) : container & ((1U << format.depth) - 1);
}

// The words of a frame of planes in a format of words, lines as tight as the words go.
std::string packWords(const ModelFormat& format, const std::vector<ModelPlane>& planes)
{
    const std::vector<uint32_t> samples[3] = {planes[0].samples, planes[1].samples, planes[2].samples};
    const WordFrame words = wordFrameModel(format.arrangement.substr(2), planes[0].width, planes[0].height,
                                           planes[1].width, planes[1].height);
    return packWordsModel(words, samples, 2);
}

// The bytes of a frame of planes in a format.
std::string packFrame(const ModelFormat& format, const std::vector<ModelPlane>& planes)
{
    std::string bytes;
    auto put = [&](uint32_t container) {
        bytes += char(container & 0xff);
        if (format.depth > 8) {
            bytes += char(container >> 8);
        }
    };
    if (inWords(format)) {
        const std::string words = packWords(format, planes);
        if (format.name != "v210") {
            return words;
        }
        // v210's lines rounded up to 128 bytes, the rounding filled with bytes never compared.
        const auto height = size_t(planes[0].height);
        const size_t line = size_t(planes[0].width + 5) / 6 * 16;
        const size_t rounded = (line + 127) / 128 * 128;
        std::mt19937 garbage{uint32_t(line)};
        return bufferedFrame(words, {line, height, 0, 0, 0}, {{rounded, 0}, 0, 0, rounded * height}, garbage);
    }
    if (format.arrangement.rfind("px:", 0) == 0) {
        // Alpha and the 0 bytes hold a value of their own: it must not be compared.
        for (size_t i = 0; i < planes[0].samples.size(); ++i) {
            for (const char c : format.arrangement.substr(3)) {
                const size_t at = std::string("rgbyuv").find(c);
                put(at == std::string::npos ? 0xa5a5U : planes[at % 3].samples[i]);
            }
        }
        return bytes;
    }
    if (isPacked(format)) {
        const int w = planes[0].width;
        for (int y = 0; y < planes[0].height; ++y) {
            for (int x = 0; x < w; x += 2) {
                int luma = 0;
                for (const char c : format.arrangement) {
                    if (c == 'y') {
                        put(planes[0].samples[size_t(y * w + x + luma++)]);
                    } else {
                        put(planes[c == 'u' ? 1 : 2].samples[size_t(y * (w / 2) + x / 2)]);
                    }
                }
            }
        }
        return bytes;
    }
    for (const uint32_t sample : planes[0].samples) {
        put(sample);
    }
    if (format.arrangement == "planar" || format.arrangement == "gbr") {
        for (int p = 1; p < 3; ++p) {
            for (const uint32_t sample : planes[size_t(p)].samples) {
                put(sample);
            }
        }
    } else if (format.arrangement != "gray") {
        const size_t first = format.arrangement == "uv" ? 1 : 2;
        for (size_t i = 0; i < planes[1].samples.size(); ++i) {
            put(planes[first].samples[i]);
            put(planes[3 - first].samples[i]);
        }
    }
    return bytes;
}

// The criteria of a run, as its options give them.
struct Criteria {
    int tolerance = -1; // -1: no -t
    double floor = -1;  // -1: no -p
    bool list = false;
};

std::vector<std::string> criteriaArgs(const Criteria& criteria)
{
    std::vector<std::string> args;
    if (criteria.tolerance >= 0) {
        args.insert(args.end(), {"-t", std::to_string(criteria.tolerance)});
    }
    if (criteria.floor >= 0) {
        char text[32];
        std::snprintf(text, sizeof text, "%g", criteria.floor);
        args.insert(args.end(), {"-p", text});
    }
    if (criteria.list) {
        args.emplace_back("-l");
    }
    return args;
}

std::string hex(const ModelFormat& format, uint32_t container)
{
    char text[16];
    if ((container & paddingMask(format)) != 0) {
        std::snprintf(text, sizeof text, "%04x", container);
    } else {
        std::snprintf(text, sizeof text, "%0*x", (format.depth + 3) / 4, valueOf(format, container));
    }
    return text;
}

std::string psnrOf(double mse, int depth)
{
    if (mse == 0) {
        return "inf";
    }
    const double peak = std::pow(2.0, depth) - 1;
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", 10 * std::log10(peak * peak / mse));
    return text;
}

struct ModelWorst {
    double highestMse = 0;
    long highestFrame = -1;
    long largest = 0;
    long largestFrame = -1;
    double mseSum = 0;
};

// The report framecmp must give for two clips of whole frames, each a list of frames of
// planes, EXPECTED's in format `e` and ACTUAL's in `a`, the first frame numbered `first`.
std::string modelReport(const ModelFormat& e, const ModelFormat& a, const std::vector<std::vector<ModelPlane>>& ex,
                        const std::vector<std::vector<ModelPlane>>& ac, const Criteria& criteria, long first = 0)
{
    const int tolerance = std::max(criteria.tolerance, 0);
    const bool samplesDecide = criteria.tolerance >= 0 || criteria.floor < 0;
    std::string report;
    long failing = 0;
    long firstFailing = -1;
    long differing = 0;
    std::vector<ModelWorst> worst(ex.empty() ? 0 : ex[0].size());
    for (size_t f = 0; f < ex.size(); ++f) {
        const long frame = first + long(f);
        std::string line = "frame " + std::to_string(frame) + ":";
        std::string listed;
        bool fails = false;
        bool differs = false;
        for (size_t p = 0; p < ex[f].size(); ++p) {
            const ModelPlane& pe = ex[f][p];
            const ModelPlane& pa = ac[f][p];
            long count = 0;
            long padded = 0;
            long largest = 0;
            double sum = 0;
            std::string firstText;
            for (size_t i = 0; i < pe.samples.size(); ++i) {
                const uint32_t ce = pe.samples[i];
                const uint32_t ca = pa.samples[i];
                const long d = std::labs(long(valueOf(e, ce)) - long(valueOf(a, ca)));
                const bool padE = (ce & paddingMask(e)) != 0;
                const bool padA = (ca & paddingMask(a)) != 0;
                sum += double(d) * double(d);
                largest = std::max(largest, d);
                padded += padE || padA ? 1 : 0;
                if (d <= tolerance && !padE && !padA) {
                    continue;
                }
                const std::string x = std::to_string(long(i) % pe.width);
                const std::string y = std::to_string(long(i) / pe.width);
                if (count++ == 0) {
                    firstText = ", first at " + x + "," + y + " expected " + hex(e, ce) + " actual " + hex(a, ca);
                    if (padE || padA) {
                        firstText += std::string(", padding in ") + (padE && padA ? "both"
                                                                     : padE       ? "EXPECTED"
                                                                                  : "ACTUAL");
                    }
                }
                listed += std::to_string(frame) + " " + pe.name + " " + x + " " + y + " " + hex(e, ce) + " " +
                          hex(a, ca) + "\n";
            }
            const double mse = sum / double(pe.samples.size());
            const std::string psnr = psnrOf(mse, e.depth);
            const bool below = criteria.floor >= 0 && psnr != "inf" &&
                               std::llround(std::stod(psnr) * 100) < std::llround(criteria.floor * 100);
            fails = fails || padded != 0 || (samplesDecide && count != 0) || below;
            differs = differs || largest != 0 || padded != 0;
            line += std::string(p == 0 ? " " : "; ") + pe.name + " " + std::to_string(count) +
                    (criteria.tolerance >= 0 ? " beyond " + std::to_string(criteria.tolerance) : " differ") +
                    firstText + (largest != 0 ? ", max " + std::to_string(largest) : "") + ", " + psnr + " dB";
            if (below) {
                char text[64];
                std::snprintf(text, sizeof text, ", PSNR below %.2f", criteria.floor);
                line += text;
            }
            ModelWorst& w = worst[p];
            if (w.highestFrame < 0 || mse > w.highestMse) {
                w.highestMse = mse;
                w.highestFrame = frame;
            }
            if (w.largestFrame < 0 || largest > w.largest) {
                w.largest = largest;
                w.largestFrame = frame;
            }
            w.mseSum += mse;
        }
        differing += differs ? 1 : 0;
        if (fails && firstFailing < 0) {
            firstFailing = frame;
        }
        failing += fails ? 1 : 0;
        report += criteria.list ? listed : fails ? line + "\n" : "";
    }
    const long frames = long(ex.size());
    const std::string framesText = std::to_string(frames) + (frames == 1 ? " frame" : " frames");
    if (failing == 0 && differing == 0) {
        return report + "identical: " + framesText + "\n";
    }
    std::string worstText;
    for (size_t p = 0; p < worst.size(); ++p) {
        const ModelWorst& w = worst[p];
        worstText += std::string("; ") + ex[0][p].name;
        if (w.highestMse == 0) {
            worstText += " inf dB";
            continue;
        }
        worstText += " lowest " + psnrOf(w.highestMse, e.depth) + " dB at frame " + std::to_string(w.highestFrame) +
                     ", max " + std::to_string(w.largest) + " at frame " + std::to_string(w.largestFrame) +
                     ", average " + psnrOf(w.mseSum / double(frames), e.depth) + " dB";
    }
    if (failing != 0) {
        return report + std::to_string(failing) + " of " + std::to_string(frames) + " frames fail, first at frame " +
               std::to_string(firstFailing) + worstText + "\n";
    }
    std::string within;
    if (criteria.tolerance >= 0) {
        within = "-t " + std::to_string(criteria.tolerance);
    }
    if (criteria.floor >= 0) {
        char text[32];
        std::snprintf(text, sizeof text, "-p %.2f", criteria.floor);
        within += (within.empty() ? "" : " ") + std::string(text);
    }
    return report + "pass: " + framesText + ", " + std::to_string(differing) + " differ within " + within + worstText +
           "\n";
}

// Random frames of valid samples (no padding) in a format.
std::vector<std::vector<ModelPlane>> randomFrames(std::mt19937& random, const ModelFormat& format, int w, int h,
                                                  int count)
{
    std::vector<std::vector<ModelPlane>> frames;
    for (int f = 0; f < count; ++f) {
        std::vector<ModelPlane> planes = emptyPlanes(format, w, h);
        for (ModelPlane& plane : planes) {
            for (int i = 0; i < plane.width * plane.height; ++i) {
                plane.samples.push_back(containerOf(format, uint32_t(random()) & ((1U << format.depth) - 1)));
            }
        }
        frames.push_back(planes);
    }
    return frames;
}

// The same frames as another format holds them, with some damage: per frame none, a few
// samples off by 1 or 2, many off by a little, one far off, or padding bits set in a few.
std::vector<std::vector<ModelPlane>> damagedCopy(std::mt19937& random, const ModelFormat& from, const ModelFormat& to,
                                                 const std::vector<std::vector<ModelPlane>>& frames)
{
    std::vector<std::vector<ModelPlane>> copy = frames;
    const uint32_t top = (1U << to.depth) - 1;
    for (std::vector<ModelPlane>& planes : copy) {
        for (ModelPlane& plane : planes) {
            for (uint32_t& sample : plane.samples) {
                sample = containerOf(to, valueOf(from, sample));
            }
        }
        const auto kind = random() % 5;
        const size_t changes = kind == 0 ? 0 : kind == 2 ? 50 : 1 + random() % 4;
        for (size_t k = 0; k < changes; ++k) {
            ModelPlane& plane = planes[random() % planes.size()];
            uint32_t& sample = plane.samples[random() % plane.samples.size()];
            const auto value = int(valueOf(to, sample));
            if (kind == 4 && paddingMask(to) != 0) {
                sample |= paddingMask(to) & uint32_t(random() | 1U << (random() % 16));
                continue;
            }
            const int step = kind == 3 ? int(top / 2) : 1 + int(random() % 2);
            sample = containerOf(to, uint32_t(std::clamp(value + (random() % 2 == 0 ? step : -step), 0, int(top))));
        }
    }
    return copy;
}

std::string packClip(const ModelFormat& format, const std::vector<std::vector<ModelPlane>>& frames)
{
    std::string bytes;
    for (const std::vector<ModelPlane>& planes : frames) {
        bytes += packFrame(format, planes);
    }
    return bytes;
}

struct SizeCase {
    int width;
    int height;
};

const Criteria criteriaCycle[] = {{}, {1, -1, false}, {-1, 40, false}, {2, 45.5, false}, {-1, -1, true}, {0, -1, true}};

// One comparison of random frames against the model: EXPECTED in `e`, ACTUAL in `a`.
void checkAgainstModel(std::mt19937& random, const Scratch& scratch, const std::string& program, const ModelFormat& e,
                       const ModelFormat& a, const SizeCase& size, const Criteria& criteria)
{
    const std::string geometry = std::to_string(size.width) + "x" + std::to_string(size.height);
    SCOPED_TRACE(e.name + " against " + a.name + " " + geometry + " " + joined(criteriaArgs(criteria)));
    const auto expected = randomFrames(random, e, size.width, size.height, 3);
    auto actual = damagedCopy(random, e, a, expected);
    if (inWords(a)) {
        for (std::vector<ModelPlane>& planes : actual) {
            std::vector<uint32_t> samples[3] = {planes[0].samples, planes[1].samples, planes[2].samples};
            markWordsModel(
                wordFrameModel(a.arrangement.substr(2), size.width, size.height, planes[1].width, planes[1].height),
                samples);
            for (size_t p = 0; p < 3; ++p) {
                planes[p].samples = samples[p];
            }
        }
    }
    scratch.write("e.yuv", packClip(e, expected));
    scratch.write("a.yuv", packClip(a, actual));
    std::vector<std::string> args = {"-s", geometry, "-f", e.name};
    if (a.name != e.name) {
        args.insert(args.end(), {"-F", a.name});
    }
    const std::vector<std::string> more = criteriaArgs(criteria);
    args.insert(args.end(), more.begin(), more.end());
    args.insert(args.end(), {"e.yuv", "a.yuv"});
    const RunResult result = scratch.run(program, args);
    const std::string report = modelReport(e, a, expected, actual, criteria);
    EXPECT_EQ(result.out, report);
    EXPECT_EQ(result.status, report.find(" fail, first at") == std::string::npos ? 0 : 1);
    EXPECT_EQ(result.err, "");
}

TEST(FramecmpModel, RandomPairsOfEveryFormatAndOddSizes)
{
    const SizeCase planarSizes[] = {{1, 1}, {3, 5}, {17, 9}, {100, 3}};
    const SizeCase packedSizes[] = {{2, 1}, {6, 5}, {66, 2}};
    std::mt19937 random(20261208);
    Scratch scratch;
    size_t run = 0;
    for (const ModelFormat& format : modelFormats) {
        for (const SizeCase& size : isPacked(format)
                                        ? std::vector<SizeCase>(std::begin(packedSizes), std::end(packedSizes))
                                        : std::vector<SizeCase>(std::begin(planarSizes), std::end(planarSizes))) {
            const Criteria& criteria = criteriaCycle[run % std::size(criteriaCycle)];
            if (caseRunsInThisBuild(run++)) {
                checkAgainstModel(random, scratch, framecmp, format, format, size, criteria);
            }
        }
    }
}

// -F: ACTUAL in another format of the same sampling and depth, compared sample by sample.
TEST(FramecmpModel, PairsOfFormatsWithF)
{
    const std::pair<const char*, const char*> pairs[] = {
        {"yuv420p", "nv12"},
        {"yuv420p10le", "p010le"},
        {"yuv422p10le", "y210le"},
        {"yuv422p", "yuyv422"},
        {"nv21", "nv12"},
        {"p010le", "yuv420p:10m"},
        {"gray:10", "gray10le"},
        {"uyvy422:10", "p210le"},
        {"yuv444p10le", "p410le"},
        {"yuv440p12le", "yuv440p12le"},
        {"vyuy422:9m", "yuv422p:9"},
        {"yuv420p16le", "p016le"},
        {"gbrp12le", "gbrp12le"},
        {"yuv444p10le", "y410"},
        {"y410", "xv30le"},
        {"p210le", "xv20"},
        {"yuv420p10le", "xv15"},
        {"x2rgb10le", "x2bgr10le"},
        {"rgb24", "bgr0"},
        {"argb", "abgr"},
        {"ayuv64le", "yuv444p16le"},
    };
    std::mt19937 random(15);
    Scratch scratch;
    size_t run = 0;
    for (const auto& pair : pairs) {
        const ModelFormat& e = modelFormat(pair.first);
        const ModelFormat& a = modelFormat(pair.second);
        for (const SizeCase size : {SizeCase{2, 2}, SizeCase{10, 7}}) {
            checkAgainstModel(random, scratch, framecmp, e, a, size, criteriaCycle[run++ % std::size(criteriaCycle)]);
        }
    }
}

// Every name of a format gives the same report on the same files.
TEST(FramecmpModel, NamesOfTheSameFormat)
{
    const std::vector<std::vector<std::string>> aliases = {
        {"p010le", "nv12:10m", "p010"},
        {"yuv420p10le", "yuv420p:10", "yuv420p10"},
        {"nv20le", "nv16:10"},
        {"y210le", "yuyv422:10m"},
        {"i420", "yuv420p", "yuv420p:8"},
        {"yuyv", "yuyv422"},
        {"gray16le", "gray:16", "gray:16m"},
        {"p016le", "nv12:16", "nv12:16m"},
        {"422p", "yuv422p"},
        {"440p", "yuv440p"},
        {"xv30le", "xv30"},
        {"rgb48le", "rgb24:16", "rgb48"},
    };
    std::mt19937 random(3);
    Scratch scratch;
    for (const std::vector<std::string>& names : aliases) {
        const ModelFormat& format = modelFormat(names[0]);
        const auto expected = randomFrames(random, format, 4, 2, 2);
        scratch.write("e.yuv", packClip(format, expected));
        scratch.write("a.yuv", packClip(format, damagedCopy(random, format, format, expected)));
        const RunResult first = scratch.run(framecmp, {"-s", "4x2", "-f", names[0], "e.yuv", "a.yuv"});
        for (const std::string& name : names) {
            SCOPED_TRACE(name);
            const RunResult other = scratch.run(framecmp, {"-s", "4x2", "-f", name, "e.yuv", "a.yuv"});
            EXPECT_EQ(other.out, first.out);
            EXPECT_EQ(other.status, first.status);
        }
    }
}

TEST(FramecmpModel, EveryDifferingSampleListedWithL)
{
    Scratch scratch;
    std::string expected(2 * 12, '\x10');
    std::string actual = expected;
    actual[5] = '\x20';       // frame 0, Y (1, 1) of 4x2
    actual[12 + 9] = '\x11';  // frame 1, U (1, 0)
    actual[12 + 11] = '\x0f'; // frame 1, V (1, 0)
    scratch.write("e_w4_2_420_32.yuv", expected);
    scratch.write("a_w4_2_420_32.yuv", actual);
    const RunResult listed = scratch.run(framecmp, {"-l", "e_w4_2_420_32.yuv", "a_w4_2_420_32.yuv"});
    EXPECT_EQ(listed.out, "0 Y 1 1 10 20\n1 U 1 0 10 11\n1 V 1 0 10 0f\n2 of 2 frames fail, first at frame 0; "
                          "Y lowest 33.08 dB at frame 0, max 16 at frame 0, average 36.09 dB; "
                          "U lowest 51.14 dB at frame 1, max 1 at frame 1, average 54.15 dB; "
                          "V lowest 51.14 dB at frame 1, max 1 at frame 1, average 54.15 dB\n");
    EXPECT_EQ(listed.status, 1);
    const RunResult first = scratch.run(framecmp, {"-n", "1", "e_w4_2_420_32.yuv", "a_w4_2_420_32.yuv"});
    EXPECT_EQ(first.out, "frame 0: Y 1 differ, first at 1,1 expected 10 actual 20, max 16, 33.08 dB; U 0 differ, "
                         "inf dB; V 0 differ, inf dB\nstopped after 1 failing frame, at frame 0; Y lowest 33.08 dB "
                         "at frame 0, max 16 at frame 0, average 33.08 dB; U inf dB; V inf dB\n");
    EXPECT_EQ(first.status, 1);
}

// Rows longer than the kernel takes at once, every sample as far apart as it can be: the
// sums of squares stay exact.
TEST(FramecmpModel, LongRowsOfLargestDifferences)
{
    Scratch scratch;
    scratch.write("e.yuv", std::string(2 * 70001, '\0'));
    scratch.write("a.yuv", std::string(2 * 70001, '\xff'));
    const RunResult result = scratch.run(framecmp, {"-s", "70001x2", "-f", "gray", "e.yuv", "a.yuv"});
    EXPECT_EQ(result.out, "frame 0: Y 140002 differ, first at 0,0 expected 00 actual ff, max 255, 0.00 dB\n"
                          "1 of 1 frames fail, first at frame 0; Y lowest 0.00 dB at frame 0, max 255 at frame 0, "
                          "average 0.00 dB\n");
    // 16-bit samples: squares of 65535 summed over long rows.
    scratch.write("e16.yuv", std::string(4 * 70001, '\0'));
    scratch.write("a16.yuv", std::string(4 * 70001, '\xff'));
    const RunResult wide = scratch.run(framecmp, {"-s", "70001x2", "-f", "gray16le", "e16.yuv", "a16.yuv"});
    EXPECT_EQ(wide.out, "frame 0: Y 140002 differ, first at 0,0 expected 0000 actual ffff, max 65535, 0.00 dB\n"
                        "1 of 1 frames fail, first at frame 0; Y lowest 0.00 dB at frame 0, max 65535 at frame 0, "
                        "average 0.00 dB\n");
}

struct StatusCase {
    std::vector<std::string> args;
    int status;
    std::string err; // what standard error must hold
};

TEST(FramecmpStatus, ExitStatusesAndMessages)
{
    Scratch scratch;
    const std::string frame = std::string(6, 'y') + "uv";
    scratch.write("a_w2_3_400_32.yuv", frame + frame);
    scratch.write("b_w2_3_400_32.yuv", frame + frame);
    scratch.write("c_w2_3_400_32.yuv", frame + "yyyyyyuu");
    scratch.write("t_w2_3_400_32.yuv", "z" + frame.substr(1) + frame);
    scratch.write("d_w4_3_420.yuv", frame);
    scratch.write("bad_w2_3_444_32.yuv", frame);
    scratch.write("plain.yuv", frame);
    scratch.write("v_2x3_gray.yuv", frame);
    scratch.write("w-2x3.raw", frame);
    scratch.write("x_4x3_gray.yuv", frame);
    // One 2x2 frame of six 10-bit samples of 1, planar and as P010 (value in the high bits).
    const auto sixSamples = [](const char* container) {
        std::string bytes;
        for (int i = 0; i < 6; ++i) {
            bytes.append(container, 2);
        }
        return bytes;
    };
    scratch.write("p_2x2_yuv420p10le.yuv", sixSamples("\x01\x00"));
    scratch.write("q_2x2_p010le.yuv", sixSamples("\x40\x00"));
    // Samples of 10 bits, little-endian, as 8-bit frames: every high byte below 4.
    scratch.write("ten_w4_2_420.yuv", std::string("\x10\x01\xff\x03\x00\x00\x04\x00\x20\x02\x33\x00", 12));
    scratch.write("eight_w4_2_420.yuv", std::string(12, 'y'));
    // One pixel, G 1 B 2 R 3, in the plane order of gbrp (10 and 8 bits) and packed as
    // x2rgb10le and rgb24: compared plane by name, whatever each file's order.
    scratch.write("g.gbrp", std::string("\x01\x00\x02\x00\x03\x00", 6));
    scratch.write("g.x2rgb", std::string("\x02\x04\x30\x00", 4));
    scratch.write("g.rgb24", std::string("\x03\x01\x02", 3));
    scratch.write("g8.gbrp", std::string("\x01\x02\x03", 3));
    scratch.write("mask1", std::string(frame.size(), '\0'));
    scratch.write("mask3", std::string(3 * frame.size(), '\0'));
    std::filesystem::create_directory(scratch.path("dir"));
    // clang-format off
    const StatusCase cases[] = {
        {{"a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 0, ""},
        {{"-s", "4x2", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 0, ""},
        {{"-q", "a_w2_3_400_32.yuv", "c_w2_3_400_32.yuv"}, 1, ""},
        {{"a_w2_3_400_32.yuv", "plain.yuv"}, 1, ""},
        {{"-f", "gray", "plain.yuv", "plain.yuv"}, 2, "framecmp: geometry: give -s WIDTHxHEIGHT"},
        {{"a_w2_3_400_32.yuv", "d_w4_3_420.yuv"}, 2, "framecmp: d_w4_3_420.yuv: the geometry in the name disagrees"},
        {{"bad_w2_3_444_32.yuv", "a_w2_3_400_32.yuv"}, 2, "framecmp: bad_w2_3_444_32.yuv: the geometry in the name"},
        {{"v_2x3_gray.yuv", "w-2x3.raw"}, 0, ""},
        {{"ten_w4_2_420.yuv", "ten_w4_2_420.yuv"}, 0, "framecmp: every second byte is below 4, as in 10-bit little-endian samples: for 10-bit frames give -f yuv420p10le (or the format)\n"},
        {{"-f", "yuv420p", "ten_w4_2_420.yuv", "ten_w4_2_420.yuv"}, 0, ""},
        {{"-q", "ten_w4_2_420.yuv", "ten_w4_2_420.yuv"}, 0, ""},
        {{"ten_w4_2_420.yuv", "eight_w4_2_420.yuv"}, 1, ""},
        {{"-s", "4x3", "v_2x3_gray.yuv", "x_4x3_gray.yuv"}, 0, ""},
        {{"v_2x3_gray.yuv", "x_4x3_gray.yuv"}, 2, "framecmp: x_4x3_gray.yuv: the size in its name, 4x3, disagrees with 2x3 in the name of v_2x3_gray.yuv\n"},
        {{"a_w2_3_400_32.yuv", "x_4x3_gray.yuv"}, 2, "the size in its name, 4x3, disagrees with 2x3"},
        {{"p_2x2_yuv420p10le.yuv", "q_2x2_p010le.yuv"}, 0, ""},
        {{"-F", "nv12:10", "p_2x2_yuv420p10le.yuv", "q_2x2_p010le.yuv"}, 1, ""},
        {{"-t", "Y=0,UV=1", "-p", "U=40", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: -t Y=0,UV=1: gray has no plane U; its planes are Y\n"},
        {{"-t", "Y=0,Y=1", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: -t Y=0,Y=1: plane Y is named twice"},
        {{"-s", "2x2", "-f", "uyvy", "-t", "Y=0,UV=1", "plain.yuv", "plain.yuv"}, 0, ""},
        {{"-s", "1x2", "-f", "gbrp", "-p", "RGB=30", "--ssim-min=Y=0.5", "plain.yuv", "plain.yuv"}, 2, "framecmp: --ssim-min=Y=0.5: gbrp has no plane Y; its planes are GBR\n"},
        {{"--junit-frames", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: --junit-frames: adds to the file of --junit"},
        {{"--junit=a_w2_3_400_32.yuv", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: a_w2_3_400_32.yuv: is one of the files compared"},
        {{"a_w2_3_400_32.yuv", "missing.yuv"}, 2, "framecmp: missing.yuv: cannot open: No such file or directory"},
        {{"-s", "2x3", "a_w2_3_400_32.yuv", "dir"}, 2, "framecmp: dir: cannot read: Is a directory"},
        {{"a_w2_3_400_32.yuv"}, 2, "framecmp: arguments: two files"},
        {{"a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv", "c_w2_3_400_32.yuv"}, 2, "framecmp: arguments: two files"},
        {{"-x", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: -x: unknown option"},
        {{"--frobnicate", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: --frobnicate: unknown option"},
        {{"a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv", "-s"}, 2, "framecmp: -s: needs a value"},
        {{"-s", "0x3", "plain.yuv", "plain.yuv"}, 2, "framecmp: -s 0x3: not WIDTHxHEIGHT"},
        {{"-s", "3", "plain.yuv", "plain.yuv"}, 2, "framecmp: -s 3: not WIDTHxHEIGHT"},
        {{"-s", "3x-2", "plain.yuv", "plain.yuv"}, 2, "framecmp: -s 3x-2: not WIDTHxHEIGHT"},
        {{"-s", "2147483648x1", "plain.yuv", "plain.yuv"}, 2, "framecmp: -s 2147483648x1: not WIDTHxHEIGHT"},
        {{"-s", "65536x32768", "plain.yuv", "plain.yuv"}, 2, "framecmp: 65536x32768: a frame of that size does not fit"},
        {{"-s", "2147483647x1", "-f", "i420", "plain.yuv", "plain.yuv"}, 2, "does not fit in 32 bits"},
        {{"-s", "3x2", "-f", "uyvy", "plain.yuv", "plain.yuv"}, 2, "need an even width"},
        {{"-s", "3x2", "-f", "gbrp", "-F", "yuv444p", "plain.yuv", "plain.yuv"}, 2, "framecmp: -F yuv444p: EXPECTED is RGB, ACTUAL is YUV: convert one first\n"},
        {{"-s", "1x1", "-f", "gbrp10le", "-F", "x2rgb10le", "g.gbrp", "g.x2rgb"}, 0, ""},
        {{"-s", "1x1", "-f", "rgb24", "-F", "gbrp", "g.rgb24", "g8.gbrp"}, 0, ""},
        {{"-s", "3x2", "-f", "yuv444p10le", "-F", "x2rgb10le", "plain.yuv", "plain.yuv"}, 2, "framecmp: -F x2rgb10le: EXPECTED is YUV, ACTUAL is RGB: convert one first\n"},
        {{"-s", "3x2", "-f", "yuv420p10le", "-F", "v210", "plain.yuv", "plain.yuv"}, 2, "-F v210: ACTUAL's format must have the sampling and depth of EXPECTED's, yuv420p10le"},
        {{"-f", "v210:10", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: -f v210:10: unknown format"},
        {{"-f", "rgb565", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: -f rgb565: unknown format"},
        {{"-n", "0", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: -n 0: not a count from 1"},
        {{"-n", "99999999999999999999", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "not a count"},
        {{"-s", "2x3", "-", "-"}, 2, "standard input can be only one"},
        {{"-i", "a_w2_3_400_32.yuv", "a_w2_3_400_32.yuv", "c_w2_3_400_32.yuv"}, 2, "is one of the files compared"},
        {{"-s", "2X3", "-f", "gray", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 0, ""},
        {{"-f", "nv12:8m", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: -f nv12:8m: unknown format; known: yuv420p nv12"},
        {{"-f", "nv12:17", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "-f nv12:17: unknown format"},
        {{"-f", "nv12:7", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "-f nv12:7: unknown format"},
        {{"-f", "nv12:", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "-f nv12:: unknown format"},
        {{"-f", "p010be", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "LAYOUT:DEPTHm (MSB-aligned)"},
        {{"-f", "yuv420p10le", "-F", "p010le", "-s", "2x2", "plain.yuv", "plain.yuv"}, 1, ""},
        {{"-f", "yuv420p10le", "-F", "nv16:10", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2,
         "framecmp: -F nv20le: ACTUAL's format must have the sampling and depth of EXPECTED's, yuv420p10le"},
        {{"-f", "yuv420p10le", "-F", "nv12", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "depth of EXPECTED's"},
        {{"-F", "gray10le", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "-F gray10le: ACTUAL's format must have"},
        {{"-f", "y210le", "-s", "3x2", "plain.yuv", "plain.yuv"}, 2, "need an even width"},
        {{"-f", "yuv444p16le", "-s", "32768x32768", "plain.yuv", "plain.yuv"}, 2, "does not fit in 32 bits"},
        {{"-f", "yuv444p16le", "-s", "2147483647x2147483647", "plain.yuv", "plain.yuv"}, 2, "does not fit in 32 bits"},
        {{"-t", "-1", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: -t -1: not a tolerance"},
        {{"-t", "65536", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: -t 65536: not a tolerance"},
        {{"-t", "65535", "a_w2_3_400_32.yuv", "t_w2_3_400_32.yuv"}, 0, ""},
        {{"-p", "38.123", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: -p 38.123: not a PSNR"},
        {{"-p", "1000", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: -p 1000: not a PSNR"},
        {{"-p", "38.", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: -p 38.: not a PSNR"},
        {{"-p", ".5", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: -p .5: not a PSNR"},
        {{"-p", "0", "a_w2_3_400_32.yuv", "t_w2_3_400_32.yuv"}, 0, ""},
        {{"--skip=x", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: --skip=x: not N or N:M"},
        {{"--skip=1:", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: --skip=1:: not N or N:M"},
        {{"--skip=-1", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "not N or N:M"},
        {{"--align=1001", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: --align=1001: not a frame count"},
        {{"--align", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "not a frame count"},
        {{"--unknown=mask1", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: mask1: the mask ends before ACTUAL"},
        {{"--unknown=mask3", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: mask3: the mask runs longer than ACTUAL"},
        {{"--unknown=mask3", "a_w2_3_400_32.yuv", "c_w2_3_400_32.yuv"}, 2, "framecmp: mask3: the mask runs longer than ACTUAL"},
        {{"--unknown=missing", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: missing: cannot open"},
        {{"--csv", "mask1", "--unknown=mask1", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: mask1: is one of the files compared"},
        {{"--stride=1", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: --stride=1: shorter than a line of 2 bytes\n"},
        {{"--stride=2x", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: --stride=2x: not Y or Y,C"},
        {{"--expected-stride=4,", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: --expected-stride=4,: not Y or Y,C"},
        {{"--stride=4,2", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: --stride=4,2: gray has no chroma lines of their own"},
        {{"-f", "nv12", "-s", "4x2", "--stride=4,3", "plain.yuv", "plain.yuv"}, 2, "framecmp: --stride=4,3: shorter than a chroma line of 4 bytes"},
        {{"-f", "v210", "-s", "7x2", "--stride=31", "plain.yuv", "plain.yuv"}, 2, "framecmp: --stride=31: shorter than a line of 32 bytes\n"},
        {{"-f", "v210", "-s", "13x1", "--expected-stride=47", "plain.yuv", "plain.yuv"}, 2, "framecmp: --expected-stride=47: shorter than a line of 48 bytes\n"},
        {{"-f", "yuv420p10le", "-F", "xv15", "-s", "4x2", "--stride=8,7", "plain.yuv", "plain.yuv"}, 2, "framecmp: --stride=8,7: shorter than a line of 8 bytes\n"},
        {{"-f", "v210", "-s", "6x1", "--stride=16,8", "plain.yuv", "plain.yuv"}, 2, "framecmp: --stride=16,8: words of all planes share their lines: give one stride\n"},
        {{"-f", "v210", "-s", "6x1", "--chroma-offset=16", "plain.yuv", "plain.yuv"}, 2, "framecmp: --chroma-offset=16: words of all planes share their lines: there is no chroma plane\n"},
        {{"--plane-rows=0", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: --plane-rows=0: not a row count"},
        {{"--expected-plane-rows=2", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: --expected-plane-rows=2: fewer than the frame's 3 rows"},
        {{"--chroma-offset=6", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: --chroma-offset=6: gray has no chroma plane"},
        {{"-f", "yuv420p", "-s", "4x4", "--chroma-offset=15", "plain.yuv", "plain.yuv"}, 2, "--chroma-offset=15: inside the luma plane, whose last line ends at byte 16"},
        {{"--chroma-offset=-1", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: --chroma-offset=-1: not a byte offset"},
        {{"--expected-frame-bytes=5", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: --expected-frame-bytes=5: shorter than the strided frame of 6 bytes"},
        {{"--frame-bytes=2147483648", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: --frame-bytes=2147483648: not a byte count"},
        {{"--stride=2147483647", "--plane-rows=2147483647", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 2, "framecmp: ACTUAL's buffer: a frame of 4611686014132420609 bytes is over the 32-bit frame limit"},
        {{"--stride=4", "--frame-bytes=16", "a_w2_3_400_32.yuv", "b_w2_3_400_32.yuv"}, 1, ""},
    };
    // clang-format on
    for (const StatusCase& c : cases) {
        SCOPED_TRACE(joined(c.args));
        const RunResult result = scratch.run(framecmp, c.args);
        EXPECT_EQ(result.status, c.status);
        EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
        if (c.err.empty()) {
            EXPECT_EQ(result.err, "");
        }
        if (c.status == 2) {
            EXPECT_EQ(result.out, "");
        }
    }
    EXPECT_EQ(scratch.read("a_w2_3_400_32.yuv"), frame + frame);
    const RunResult quiet = scratch.run(framecmp, {"-q", "a_w2_3_400_32.yuv", "c_w2_3_400_32.yuv"});
    EXPECT_EQ(quiet.out, "");
    EXPECT_TRUE(answersHelpAndVersion(scratch, framecmp, "framecmp"));
}

struct RegionCase {
    std::vector<std::string> args;
    int status;
    std::string text;            // what standard output (status 0 and 1) or standard error (2) must hold
    std::string absent = "\x01"; // what it must not
};

// --crop and --border on two 8x6 4:2:0 frames: frame 0 differs at luma 1,1, outside the
// region 2,2,4,2, and frame 1 at luma 3,2 inside it; positions stay frame coordinates, and a
// region not on whole chroma samples or not inside the frame is trouble naming the value.
TEST(FramecmpRegion, CropAndBorder)
{
    Scratch scratch;
    std::string expected;
    for (int i = 0; i < 2 * 72; ++i) {
        expected += static_cast<char>(16 + i);
    }
    std::string actual = expected;
    actual[1 * 8 + 1] = 'X';
    actual[72 + 2 * 8 + 3] = 'X';
    scratch.write("e.yuv", expected);
    scratch.write("a.yuv", actual);
    scratch.write("g.yuv", expected.substr(0, 96));
    scratch.write("ga.yuv", actual.substr(0, 96));
    // clang-format off
    const RegionCase cases[] = {
        {{}, 1, "frame 0: Y 1 differ, first at 1,1 "},
        {{"--crop=2,2,4,2"}, 1, "frame 1: Y 1 differ, first at 3,2 expected 6b actual 58", "frame 0:"},
        {{"--border=2"}, 1, "frame 1: Y 1 differ, first at 3,2 ", "frame 0:"},
        {{"-l", "--crop=2,2,4,2"}, 1, "1 Y 3 2 6b 58\n1 of 2 frames fail"},
        {{"--crop=0,0,2,2"}, 1, "frame 0: Y 1 differ, first at 1,1 ", "frame 1:"},
        {{"--crop=4,4,4,2"}, 0, "identical"},
        {{"--crop=3,2,4,2"}, 2, "--crop=3,2,4,2: X 3 is not a multiple of 2, the chroma's subsampling across"},
        {{"--crop=2,1,4,2"}, 2, "--crop=2,1,4,2: Y 1 is not a multiple of 2, the chroma's subsampling down"},
        {{"--crop=2,2,3,2"}, 2, "--crop=2,2,3,2: W 3 is not a multiple of 2"},
        {{"--crop=2,2,4,6"}, 2, "--crop=2,2,4,6: the region is not inside the frame of 8x6"},
        {{"--border=1"}, 2, "--border=1: N 1 is not a multiple of 2"},
        {{"--border=4"}, 2, "--border=4: the region is not inside the frame"},
        {{"--crop=2,2,4"}, 2, "--crop=2,2,4: not X,Y,W,H"},
        {{"--crop=2,2,4,2", "--border=2"}, 2, "give one"},
        {{"-f", "gray", "--crop=3,1,1,1", "g.yuv", "ga.yuv"}, 0, "identical: 2 frames"},
        {{"-f", "gray", "--crop=1,1,7,1", "g.yuv", "ga.yuv"}, 1, "frame 0: Y 1 differ, first at 1,1 "},
    };
    // clang-format on
    for (const RegionCase& c : cases) {
        std::vector<std::string> args = {"-s", "8x6"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        if (c.args.empty() || c.args[0] != "-f") {
            args.insert(args.end(), {"e.yuv", "a.yuv"});
        }
        SCOPED_TRACE(joined(args));
        const RunResult result = scratch.run(framecmp, args);
        EXPECT_EQ(result.status, c.status);
        const std::string& text = c.status == 2 ? result.err : result.out;
        EXPECT_NE(text.find(c.text), std::string::npos) << text;
        EXPECT_EQ(text.find(c.absent), std::string::npos) << text;
    }
}

struct LengthCase {
    std::string expected;
    std::string actual;
    int status;
    std::string report;
};

TEST(FramecmpLengths, FrameCountsAndPartialFrames)
{
    const std::string f = "abcdef"; // one 2x3 luma-only frame
    // clang-format off
    const LengthCase cases[] = {
        {"", "", 0, "identical: 0 frames\n"},
        {f + f, f, 1, "ACTUAL ends after 1 frame, EXPECTED has 2\nfirst 1 frame identical, lengths differ\n"},
        // ACTUAL is read one frame and a byte past EXPECTED's end, no further: it may be endless.
        {f, f + f + f, 1, "EXPECTED ends after 1 frame, ACTUAL has more\nfirst 1 frame identical, lengths differ\n"},
        {f + "abc", f, 1, "EXPECTED ends with a partial frame 1 of 3 bytes\nfirst 1 frame identical, lengths differ\n"},
        {f + f, f + "ab", 1, "ACTUAL ends after 1 frame, EXPECTED has 2\nACTUAL ends with a partial frame 1 of 2 bytes\n"
                              "first 1 frame identical, lengths differ\n"},
        {f + "abc", f + "abd", 1, "EXPECTED ends with a partial frame 1 of 3 bytes\n"
                                  "ACTUAL ends with a partial frame 1 of 3 bytes\nfirst 1 frame identical, lengths differ\n"},
        {f + "abc", f + "abc", 0, "EXPECTED ends with a partial frame 1 of 3 bytes\n"
                                  "ACTUAL ends with a partial frame 1 of 3 bytes, alike in both\nidentical: 1 frame\n"},
        {"abcdeF" + f, f, 1, "frame 0: Y 1 differ, first at 1,2 expected 46 actual 66, max 32, 25.81 dB\n"
                             "ACTUAL ends after 1 frame, EXPECTED has 2\n1 of 1 frames fail, first at frame 0; "
                             "Y lowest 25.81 dB at frame 0, max 32 at frame 0, average 25.81 dB\n"},
    };
    // clang-format on
    Scratch scratch;
    for (const LengthCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.expected.size()) + " against " + std::to_string(c.actual.size()) + " bytes");
        scratch.write("e.yuv", c.expected);
        scratch.write("a.yuv", c.actual);
        const RunResult result = scratch.run(framecmp, {"-s", "2x3", "-f", "gray", "e.yuv", "a.yuv"});
        EXPECT_EQ(result.out, c.report);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(scratch.run(framecmp, {"-q", "-s", "2x3", "-f", "gray", "e.yuv", "a.yuv"}).status, c.status);
    }
}

// Four frames of a 176x144 4:2:0 clip through a trace and traceframes, without -P (NV12).
class FramecmpDamage : public ::testing::Test {
protected:
    static constexpr size_t luma = 176 * 144;
    static constexpr size_t frameSize = luma * 3 / 2;
    Scratch scratch;
    std::string golden;

    void SetUp() override
    {
        ASSERT_EQ(scratch.run(tracegen, {"-n", "4", "176", "144", "clip_w176_144_420_32.txt"}).status, 0);
        ASSERT_EQ(scratch.run(traceframes, {"clip_w176_144_420_32.txt"}).status, 0);
        golden = scratch.read("clip_w176_144_420_32.yuv");
        ASSERT_EQ(golden.size(), 4 * frameSize);
    }

    RunResult compareWith(const std::string& copy)
    {
        scratch.write("out_w176_144_420_32.yuv", copy);
        return scratch.run(framecmp, {"-f", "nv12", "clip_w176_144_420_32.yuv", "out_w176_144_420_32.yuv"});
    }
};

TEST_F(FramecmpDamage, OnePixel)
{
    std::string copy = golden;
    copy[2 * frameSize + 50 * 176 + 100] ^= 0x04;
    const RunResult result = compareWith(copy);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("frame 2: Y 1 differ, first at 100,50 "), std::string::npos) << result.out;
    EXPECT_NE(
        result.out.find("U 0 differ, inf dB; V 0 differ, inf dB\n1 of 4 frames fail, first at frame 2; Y lowest "),
        std::string::npos)
        << result.out;
}

TEST_F(FramecmpDamage, OneChromaSample)
{
    std::string copy = golden;
    const size_t at = frameSize + luma + 3 * 176 + 2 * 7 + 1; // frame 1, V (7, 3)
    copy[at] = char(copy[at] + 3);
    const RunResult result = compareWith(copy);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("frame 1: Y 0 differ, inf dB; U 0 differ, inf dB; V 1 differ, first at 7,3 "),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find(", max 3, "), std::string::npos) << result.out;
}

TEST_F(FramecmpDamage, MissingFrame)
{
    const std::string copy = golden.substr(0, frameSize) + golden.substr(2 * frameSize);
    const RunResult result = compareWith(copy);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out.find("frame 0:"), std::string::npos) << result.out;
    EXPECT_NE(
        result.out.find("ACTUAL ends after 3 frames, EXPECTED has 4\n2 of 3 frames fail, first at frame 1; Y lowest "),
        std::string::npos)
        << result.out;
}

TEST_F(FramecmpDamage, TruncatedFrame)
{
    const RunResult result = compareWith(golden.substr(0, 3 * frameSize + 1000));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "ACTUAL ends after 3 frames, EXPECTED has 4\nACTUAL ends with a partial frame 3 of 1000 "
                          "bytes\nfirst 3 frames identical, lengths differ\n");
}

TEST_F(FramecmpDamage, PictureOfTheFirstDifferingFrame)
{
    std::string copy = golden;
    copy[frameSize + 7] ^= 0x40;
    scratch.write("out_w176_144_420_32.yuv", copy);
    const RunResult result =
        scratch.run(framecmp, {"-q", "-i", "diff.png", "clip_w176_144_420_32.yuv", "out_w176_144_420_32.yuv"});
#ifdef FRAMECMP_HAVE_PNG
    EXPECT_EQ(result.status, 1);
    const std::string png = scratch.read("diff.png");
    ASSERT_GT(png.size(), 24U);
    EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
    // IHDR: three panels of 176 and the zoom of 32 x 8 side by side with three gaps of 4,
    // 796; 11 rows of labels over the zoom's 256 and 11 of the legend under it, 278.
    EXPECT_EQ(png.substr(16, 8), bytesOf("00 00 03 1c 00 00 01 16"));
    const RunResult same =
        scratch.run(framecmp, {"-i", "none.png", "clip_w176_144_420_32.yuv", "clip_w176_144_420_32.yuv"});
    EXPECT_EQ(same.status, 0);
    EXPECT_FALSE(scratch.exists("none.png"));
    EXPECT_NE(same.err.find("no frame fails"), std::string::npos);
#else
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("without libpng"), std::string::npos);
#endif
}

// Padding set in either file fails the sample under every criterion; its container is shown
// whole, and the largest difference and PSNR take the values with the padding masked off.
TEST(FramecmpReport, PaddingInEitherFile)
{
    Scratch scratch;
    // gray10le 2x1: sample 0 has padding in both files, sample 1 in ACTUAL only.
    scratch.write("e.yuv", bytesOf("01 04 02 00"));
    scratch.write("a.yuv", bytesOf("01 04 02 80"));
    // gray:10m: the padding is in the low 6 bits; EXPECTED's sample 0 has one set.
    scratch.write("pe.yuv", bytesOf("41 00 80 00"));
    scratch.write("pa.yuv", bytesOf("40 00 c0 00"));
    struct ReportCase {
        std::vector<std::string> args;
        int status;
        std::string out;
    };
    // clang-format off
    const ReportCase cases[] = {
        {{"-f", "gray10le", "e.yuv", "a.yuv"}, 1,
         "frame 0: Y 2 differ, first at 0,0 expected 0401 actual 0401, padding in both, inf dB\n"
         "1 of 1 frames fail, first at frame 0; Y inf dB\n"},
        {{"-l", "-t", "5", "-p", "1", "-f", "gray10le", "e.yuv", "a.yuv"}, 1,
         "0 Y 0 0 0401 0401\n0 Y 1 0 002 8002\n1 of 1 frames fail, first at frame 0; Y inf dB\n"},
        {{"-p", "20", "-f", "gray:10m", "pe.yuv", "pa.yuv"}, 1,
         "frame 0: Y 2 differ, first at 0,0 expected 0041 actual 001, padding in EXPECTED, max 1, 63.21 dB\n"
         "1 of 1 frames fail, first at frame 0; Y lowest 63.21 dB at frame 0, max 1 at frame 0, average 63.21 dB\n"},
        {{"-t", "1", "-f", "gray:10m", "pe.yuv", "pa.yuv"}, 1,
         "frame 0: Y 1 beyond 1, first at 0,0 expected 0041 actual 001, padding in EXPECTED, max 1, 63.21 dB\n"
         "1 of 1 frames fail, first at frame 0; Y lowest 63.21 dB at frame 0, max 1 at frame 0, average 63.21 dB\n"},
    };
    // clang-format on
    for (const ReportCase& c : cases) {
        SCOPED_TRACE(joined(c.args));
        std::vector<std::string> args = {"-s", "2x1"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult result = scratch.run(framecmp, args);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.status, c.status);
    }
}

// A 10-bit pair judged three ways: exactly, within -t 1, and against a floor alone.
TEST(FramecmpReport, TenBitPairUnderEachCriterion)
{
    Scratch scratch;
    std::string expected;
    for (int f = 0; f < 3; ++f) {
        for (int i = 0; i < 8 * 4 + 2 * 4 * 2; ++i) {
            const int value = 0x200 + 16 * f + i;
            expected += char(value & 0xff);
            expected += char(value >> 8);
        }
    }
    std::string actual = expected;
    const size_t frameSize = 2 * (8 * 4 + 2 * 4 * 2);
    actual[frameSize + 2 * (2 * 8 + 5)] = char(actual[frameSize + 2 * (2 * 8 + 5)] + 1); // frame 1, Y (5,2) +1
    for (int x = 0; x < 4; ++x) {                                                        // frame 2, Y row 3 -9
        actual[2 * frameSize + 2 * (3 * 8 + x)] = char(actual[2 * frameSize + 2 * (3 * 8 + x)] - 9);
    }
    scratch.write("e.yuv", expected);
    scratch.write("a.yuv", actual);
    const std::vector<std::string> base = {"-s", "8x4", "-f", "yuv420p10le", "e.yuv", "a.yuv"};
    auto run = [&](std::vector<std::string> extra) {
        extra.insert(extra.end(), base.begin(), base.end());
        return scratch.run(framecmp, extra);
    };
    const RunResult exact = run({});
    EXPECT_EQ(exact.out,
              "frame 1: Y 1 differ, first at 5,2 expected 225 actual 226, max 1, 75.25 dB; U 0 differ, inf dB; "
              "V 0 differ, inf dB\n"
              "frame 2: Y 4 differ, first at 0,3 expected 238 actual 22f, max 9, 50.14 dB; U 0 differ, inf dB; "
              "V 0 differ, inf dB\n"
              "2 of 3 frames fail, first at frame 1; Y lowest 50.14 dB at frame 2, max 9 at frame 2, "
              "average 54.90 dB; U inf dB; V inf dB\n");
    EXPECT_EQ(exact.status, 1);
    const RunResult tolerant = run({"-t", "1"});
    EXPECT_EQ(tolerant.out, "frame 2: Y 4 beyond 1, first at 0,3 expected 238 actual 22f, max 9, 50.14 dB; "
                            "U 0 beyond 1, inf dB; V 0 beyond 1, inf dB\n"
                            "1 of 3 frames fail, first at frame 2; Y lowest 50.14 dB at frame 2, max 9 at frame 2, "
                            "average 54.90 dB; U inf dB; V inf dB\n");
    const RunResult floor = run({"-p", "62"});
    EXPECT_EQ(floor.out,
              "frame 2: Y 4 differ, first at 0,3 expected 238 actual 22f, max 9, 50.14 dB, PSNR below 62.00; "
              "U 0 differ, inf dB; V 0 differ, inf dB\n"
              "1 of 3 frames fail, first at frame 2; Y lowest 50.14 dB at frame 2, max 9 at frame 2, "
              "average 54.90 dB; U inf dB; V inf dB\n");
    const RunResult passing = run({"-t", "9", "-p", "50.14"});
    EXPECT_EQ(passing.out, "pass: 3 frames, 2 differ within -t 9 -p 50.14; Y lowest 50.14 dB at frame 2, max 9 at "
                           "frame 2, average 54.90 dB; U inf dB; V inf dB\n");
    EXPECT_EQ(passing.status, 0);
}

// -i above 8 bits and with -F: the picture of a p010le frame against yuv420p10le.
TEST(FramecmpReport, PictureOfTenBitFormats)
{
    Scratch scratch;
    const ModelFormat& planar = modelFormat("yuv420p10le");
    const ModelFormat& p010 = modelFormat("p010le");
    std::mt19937 random(10);
    const auto expected = randomFrames(random, planar, 6, 4, 1);
    auto actual = expected;
    actual[0][0].samples[3] ^= 0x3ff;
    scratch.write("e.yuv", packClip(planar, expected));
    scratch.write("a.yuv", packClip(p010, damagedCopy(random, planar, p010, actual)));
    const RunResult result = scratch.run(
        framecmp, {"-q", "-s", "6x4", "-f", "yuv420p10le", "-F", "p010le", "-i", "d.png", "e.yuv", "a.yuv"});
#ifdef FRAMECMP_HAVE_PNG
    EXPECT_EQ(result.status, 1);
    const std::string png = scratch.read("d.png");
    ASSERT_GT(png.size(), 24U);
    // The legend's line of 83 characters, 6 pixels each less 1, is wider than the labels
    // over the panels; 11 rows of labels over the zoom of 4 x 8 and 11 of the legend.
    EXPECT_EQ(png.substr(16, 8), bytesOf("00 00 01 f1 00 00 00 36"));
#else
    EXPECT_EQ(result.status, 2);
#endif
}

// A frame buffer as hardware writes it, built by the model from a tight clip: lines at a
// stride, spare rows or the chroma at an offset, frames at a pitch, garbage in between; the
// lines of a format of words as tight as its words go (v210's not rounded).
struct BufferCase {
    std::string format;
    int width;
    int height;
    int stridePad;           // the luma stride past a tight line
    int chromaPad;           // the chroma stride past a chroma line; -1: --stride=Y alone
    int extraRows;           // --plane-rows past the height; 0: not given
    int chromaGap;           // --chroma-offset past the luma's last line; -1: not given
    int framePad;            // --frame-bytes past the strided frame; 0: not given
    bool cutLast;            // the file's last frame ends after its last line
    char buffer;             // the buffer: 'e' EXPECTED (--expected-*), 'a' ACTUAL, 'b' both, padding alike
    std::string extra;       // "--skip=1", "--align=1" (ACTUAL a frame late) or ""
    std::string actual = ""; // ACTUAL's format (-F) where not `format`; ACTUAL is the buffer
};

LineShape lineShapeOf(const ModelFormat& f, int w, int h)
{
    const size_t bytes = f.depth > 8 ? 2 : 1;
    const auto cw = size_t((w + f.coverX - 1) / f.coverX);
    const auto ch = size_t((h + f.coverY - 1) / f.coverY);
    if (f.name == "v210") {
        return {size_t(w + 5) / 6 * 16, size_t(h), 0, 0, 0};
    }
    if (f.name == "xv15" || f.name == "xv20") {
        return {size_t(w + 2) / 3 * 4, size_t(h), 1, (2 * cw + 2) / 3 * 4, ch};
    }
    if (inWords(f)) {
        return {size_t(w) * 4, size_t(h), 0, 0, 0};
    }
    if (isPacked(f) || f.arrangement == "gray") {
        return {size_t(w) * bytes * (isPacked(f) ? 2 : 1), size_t(h), 0, 0, 0};
    }
    const bool planar = f.arrangement == "planar" || f.arrangement == "gbr";
    return {size_t(w) * bytes, size_t(h), planar ? 2U : 1U, cw * bytes * (planar ? 1 : 2), ch};
}

TEST(FramecmpBuffers, StridedAndPaddedFramesComparedInPlace)
{
    // clang-format off
    const BufferCase cases[] = {
        {"yuv420p", 7, 5, 9, -1, 3, -1, 0, false, 'a', ""},
        {"yuv420p", 6, 4, 2, 3, 0, 5, 17, true, 'a', "--skip=1"},
        {"yuv420p", 4, 2, 3, -1, 1, -1, 0, false, 'b', ""},
        {"nv12", 6, 3, 4, -1, 1, -1, 11, true, 'e', ""},
        {"nv12", 8, 4, 0, 6, 0, 0, 0, false, 'a', "--align=1"},
        {"yuv422p10le", 5, 3, 6, -1, 2, -1, 5, true, 'a', ""},
        {"yuv422p10le", 4, 2, 1, 3, 0, 7, 0, false, 'e', "--skip=1"},
        {"yuv422p10le", 3, 2, 2, -1, 0, 1, 3, true, 'b', ""},
        {"yuyv422", 6, 3, 8, -1, 2, -1, 9, true, 'a', "--align=1"},
        {"yuyv422", 4, 2, 0, -1, 0, -1, 4, false, 'e', ""},
        {"yuv422p10le", 7, 3, 0, -1, 0, -1, 0, false, 'a', "", "v210"},
        {"yuv422p10le", 13, 2, 20, -1, 1, -1, 24, true, 'a', "--skip=1", "v210"},
        {"v210", 50, 2, 8, -1, 0, -1, 0, false, 'e', ""},
        {"yuv420p10le", 7, 5, 4, -1, 3, -1, 0, false, 'a', "", "xv15"},
        {"yuv420p10le", 8, 3, 0, 8, 1, 5, 12, true, 'a', "", "xv15"},
        {"xv20", 5, 3, 4, -1, 0, 9, 0, false, 'b', ""},
    };
    // clang-format on
    std::mt19937 random(20261209);
    Scratch scratch;
    for (const BufferCase& c : cases) {
        const ModelFormat& fe = modelFormat(c.format);
        const ModelFormat& fa = c.actual.empty() ? fe : modelFormat(c.actual);
        const ModelFormat& f = c.buffer == 'e' ? fe : fa; // the buffer's format
        const LineShape s = lineShapeOf(f, c.width, c.height);
        BufferShape b{};
        b.stride[0] = s.lumaLine + size_t(c.stridePad);
        b.stride[1] = c.chromaPad >= 0            ? s.chromaLine + size_t(c.chromaPad)
                      : f.arrangement == "planar" ? (b.stride[0] + size_t(f.coverX) - 1) / size_t(f.coverX)
                                                  : b.stride[0];
        const size_t rows = size_t(c.height + c.extraRows);
        b.chromaRows = (rows + size_t(f.coverY) - 1) / size_t(f.coverY);
        b.chromaStart =
            c.chromaGap >= 0 ? (s.height - 1) * b.stride[0] + s.lumaLine + size_t(c.chromaGap) : b.stride[0] * rows;
        b.frameBytes = std::max(b.stride[0] * rows, b.chromaStart + s.chromaPlanes * b.stride[1] * b.chromaRows) +
                       size_t(c.framePad);
        std::vector<std::string> args = {"-s", std::to_string(c.width) + "x" + std::to_string(c.height), "-f",
                                         c.format};
        if (!c.actual.empty()) {
            args.insert(args.end(), {"-F", c.actual});
        }
        for (const char file : {'e', 'a'}) {
            if (c.buffer != file && c.buffer != 'b') {
                continue;
            }
            const std::string prefix = file == 'e' ? "--expected-" : "--";
            args.push_back(prefix + "stride=" + std::to_string(b.stride[0]) +
                           (c.chromaPad >= 0 ? "," + std::to_string(b.stride[1]) : ""));
            if (c.extraRows != 0) {
                args.push_back(prefix + "plane-rows=" + std::to_string(rows));
            }
            if (c.chromaGap >= 0) {
                args.push_back(prefix + "chroma-offset=" + std::to_string(b.chromaStart));
            }
            if (c.framePad != 0) {
                args.push_back(prefix + "frame-bytes=" + std::to_string(b.frameBytes));
            }
        }
        if (!c.extra.empty()) {
            args.push_back(c.extra);
        }
        args.insert(args.end(), {"e.yuv", "a.yuv"});
        SCOPED_TRACE(joined(args));
        const auto frames = randomFrames(random, f, c.width, c.height, 3);
        const auto lead = randomFrames(random, f, c.width, c.height, 1);
        const bool align = c.extra == "--align=1";
        // A clip as a file holds it; a late ACTUAL starts with a frame of its own. Two buffers
        // get the same padding, so that only the samples can tell them apart.
        const auto seed = random();
        const auto write = [&](const ModelFormat& format, const std::vector<std::vector<ModelPlane>>& tight,
                               bool buffered, bool late) {
            std::mt19937 garbage(seed);
            std::vector<std::vector<ModelPlane>> clipFrames = late ? lead : std::vector<std::vector<ModelPlane>>();
            clipFrames.insert(clipFrames.end(), tight.begin(), tight.end());
            std::string clip;
            for (const std::vector<ModelPlane>& frame : clipFrames) {
                clip += buffered ? bufferedFrame(inWords(format) ? packWords(format, frame) : packFrame(format, frame),
                                                 s, b, garbage)
                                 : packFrame(format, frame);
            }
            if (buffered && c.cutLast) {
                clip.resize(clip.size() - b.frameBytes + bufferedLinesEnd(s, b));
            }
            return clip;
        };
        // Frame 2 of the buffer is damaged in one sample, somewhere in one plane.
        auto damaged = frames;
        ModelPlane& plane = damaged[2][random() % damaged[2].size()];
        uint32_t& sample = plane.samples[random() % plane.samples.size()];
        sample = containerOf(f, (valueOf(f, sample) + 1) & ((1U << f.depth) - 1));
        const std::string aligned = align ? "ACTUAL starts 1 frame late; compared from there\n" : "";
        const long first = c.extra == "--skip=1" ? 1 : 0;
        const std::vector<std::vector<ModelPlane>> compared(frames.begin() + first, frames.end());
        const std::vector<std::vector<ModelPlane>> damagedCompared(damaged.begin() + first, damaged.end());
        for (const bool damage : {false, true}) {
            const auto& buffer = damage ? damaged : frames;
            // The damage is in EXPECTED when it alone is the buffer, else in ACTUAL.
            const bool inExpected = c.buffer == 'e';
            scratch.write("e.yuv", write(fe, inExpected ? buffer : frames, c.buffer != 'a', false));
            scratch.write("a.yuv", write(fa, inExpected ? frames : buffer, c.buffer != 'e', align));
            const RunResult result = scratch.run(framecmp, args);
            const std::string report = !damage      ? "identical: " + std::to_string(3 - first) + " frames\n"
                                       : inExpected ? modelReport(fe, fa, damagedCompared, compared, {}, first)
                                                    : modelReport(fe, fa, compared, damagedCompared, {}, first);
            EXPECT_EQ(result.out, aligned + report);
            EXPECT_EQ(result.status, damage ? 1 : 0);
            EXPECT_EQ(result.err, "");
        }
    }
}

struct OffsetCase {
    std::vector<std::string> args;
    int status;
    std::string out;
};

// --skip and --align on six 2x1 gray frames "a0".."f0"; ACTUAL "late" has two extra frames
// first, "bad" has its frame 3 changed. Files and, for --align, pipes. The masks mark sample
// 0,0 of frame 3 unknown, for ACTUAL and for "late": it fails under any -t and -p, and is
// read with ACTUAL's skip and offset.
TEST(FramecmpOffsets, SkipAndAlign)
{
    Scratch scratch;
    const std::string clip = "a0b0c0d0e0f0";
    scratch.write("e.yuv", clip);
    scratch.write("late.yuv", "xxyy" + clip);
    scratch.write("bad.yuv", "a0b0c0dXe0f0");
    scratch.write("short.yuv", "a0b0c0d0e0");
    const std::string mask = std::string(6, '\0') + "\x80" + std::string(5, '\0');
    scratch.write("m.yuv", mask);
    scratch.write("mlate.yuv", std::string(4, '\0') + mask);
    // clang-format off
    const OffsetCase cases[] = {
        {{"--unknown=m.yuv", "e.yuv", "e.yuv"}, 1,
         "frame 3: Y 1 differ, 1 unknown, first unknown at 0,0, first at 0,0 expected 64 actual 64, inf dB\n"
         "1 of 6 frames fail, first at frame 3; Y inf dB\n"},
        {{"-t", "255", "-p", "0", "--unknown=m.yuv", "e.yuv", "bad.yuv"}, 1,
         "frame 3: Y 1 beyond 255, 1 unknown, first unknown at 0,0, first at 0,0 expected 64 actual 64, max 40, 19.10 dB\n"
         "1 of 6 frames fail, first at frame 3; Y lowest 19.10 dB at frame 3, max 40 at frame 3, average 26.88 dB\n"},
        {{"-l", "--unknown=m.yuv", "e.yuv", "bad.yuv"}, 1,
         "3 Y 0 0 64 64 unknown\n3 Y 1 0 30 58\n"
         "1 of 6 frames fail, first at frame 3; Y lowest 19.10 dB at frame 3, max 40 at frame 3, average 26.88 dB\n"},
        {{"--skip=0:2", "--unknown=mlate.yuv", "e.yuv", "late.yuv"}, 1,
         "frame 3: Y 1 differ, 1 unknown, first unknown at 0,0, first at 0,0 expected 64 actual 64, inf dB\n"
         "1 of 6 frames fail, first at frame 3; Y inf dB\n"},
        {{"--align=3", "--unknown=mlate.yuv", "e.yuv", "late.yuv"}, 1,
         "ACTUAL starts 2 frames late; compared from there\n"
         "frame 3: Y 1 differ, 1 unknown, first unknown at 0,0, first at 0,0 expected 64 actual 64, inf dB\n"
         "1 of 6 frames fail, first at frame 3; Y inf dB\n"},
        {{"--skip=1", "e.yuv", "bad.yuv"}, 1,
         "frame 3: Y 1 differ, first at 1,0 expected 30 actual 58, max 40, 19.10 dB\n"
         "1 of 5 frames fail, first at frame 3; Y lowest 19.10 dB at frame 3, max 40 at frame 3, average 26.09 dB\n"},
        {{"--skip=4", "e.yuv", "bad.yuv"}, 0, "identical: 2 frames\n"},
        {{"--skip=0:2", "e.yuv", "late.yuv"}, 0, "identical: 6 frames\n"},
        {{"--skip=2:0", "late.yuv", "e.yuv"}, 0, "identical: 6 frames\n"},
        {{"--skip=1", "e.yuv", "short.yuv"}, 1, "ACTUAL ends after 4 frames, EXPECTED has 5\nfirst 4 frames identical, lengths differ\n"},
        {{"--skip=6", "e.yuv", "e.yuv"}, 1,
         "EXPECTED has no frame left after skipping 6 frames\nACTUAL has no frame left after skipping 6 frames\n"},
        {{"--skip=0:9", "e.yuv", "late.yuv"}, 1, "ACTUAL has no frame left after skipping 9 frames\n"},
        {{"-q", "--skip=7", "e.yuv", "e.yuv"}, 1, ""},
        {{"--align=3", "e.yuv", "late.yuv"}, 0, "ACTUAL starts 2 frames late; compared from there\nidentical: 6 frames\n"},
        {{"--align=1", "e.yuv", "late.yuv"}, 1, "ACTUAL starts 1 frame late; compared from there\n"},
        {{"--align=3", "late.yuv", "bad.yuv"}, 1,
         "ACTUAL starts 2 frames early; compared from there\n"
         "frame 5: Y 1 differ, first at 1,0 expected 30 actual 58, max 40, 19.10 dB\n"
         "1 of 6 frames fail, first at frame 5; Y lowest 19.10 dB at frame 5, max 40 at frame 5, average 26.88 dB\n"},
        {{"--skip=1:0", "--align=2", "late.yuv", "e.yuv"}, 0,
         "ACTUAL starts 1 frame early; compared from there\nidentical: 6 frames\n"},
        {{"--align=0", "e.yuv", "e.yuv"}, 0, "ACTUAL starts in step with EXPECTED\nidentical: 6 frames\n"},
    };
    // clang-format on
    for (const OffsetCase& c : cases) {
        std::vector<std::string> args = {"-s", "2x1", "-f", "gray"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(joined(args));
        const RunResult result = scratch.run(framecmp, args);
        if (c.args[0] != "--align=1") {
            EXPECT_EQ(result.out, c.out);
        } else {
            EXPECT_EQ(result.out.rfind(c.out, 0), 0U) << result.out;
        }
        EXPECT_EQ(result.status, c.status);
        // The same through pipes, which --align holds in memory instead of reading in place.
        const std::string piped = "cat " + args[args.size() - 2] + " | " + framecmp + " " +
                                  joined(std::vector<std::string>(args.begin(), args.end() - 2)) + " - " + args.back();
        const RunResult throughPipe = scratch.run("/bin/sh", {"-c", piped});
        EXPECT_EQ(throughPipe.status, c.status) << piped;
        if (c.args[0].rfind("--align", 0) == 0 && c.status == 0) {
            EXPECT_EQ(throughPipe.out, c.out) << piped;
        }
    }
}

// The value after `key` in `text` (as "psnr_y:" in ffmpeg's log), searched from `from`.
double numberAfter(const std::string& text, const std::string& key, size_t from = 0)
{
    const size_t at = text.find(key, from);
    if (at == std::string::npos) {
        ADD_FAILURE() << "no " << key << " in " << text;
        return 0;
    }
    return std::stod(text.substr(at + key.size()));
}

// ffmpeg's psnr filter on the same pairs, 8 to 16 bits: the per-plane PSNR of each frame
// and the average of the clip (ffmpeg's summary, from the mean MSE) agree within 0.01 dB.
// Not yuv440p10le: ffmpeg 5.1's filter gives other chroma PSNRs there than the model here.
TEST(FramecmpPsnr, AgreesWithFfmpeg)
{
    if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0 || sanitizedBuild()) {
        GTEST_SKIP() << "ffmpeg is not installed (or the build is sanitized: ffmpeg is slow to start there)";
    }
    struct PsnrCase {
        std::string format;
        int width;
        int height;
    };
    const PsnrCase cases[] = {{"yuv420p", 33, 17},   {"yuv422p", 20, 9},      {"yuv440p", 7, 11},
                              {"gray", 16, 16},      {"yuv420p10le", 33, 17}, {"yuv422p12le", 20, 9},
                              {"yuv444p16le", 9, 5}, {"gray10le", 16, 16},    {"gray12le", 8, 8},
                              {"gray16le", 16, 4},   {"yuv420p16le", 6, 6}};
    std::mt19937 random(7);
    Scratch scratch;
    for (const PsnrCase& c : cases) {
        SCOPED_TRACE(c.format);
        const ModelFormat& format = modelFormat(c.format);
        const auto expected = randomFrames(random, format, c.width, c.height, 3);
        auto actual = expected;
        const int top = (1 << format.depth) - 1;
        for (auto& planes : actual) {
            for (ModelPlane& plane : planes) {
                for (size_t i = 0; i < plane.samples.size(); i += 1 + random() % 5) {
                    const int step = int(random() % 9) - 4 + (format.depth > 8 ? int(random() % 200) - 100 : 0);
                    plane.samples[i] = uint32_t(std::clamp(int(plane.samples[i]) + step, 0, top));
                }
            }
        }
        scratch.write("e.yuv", packClip(format, expected));
        scratch.write("a.yuv", packClip(format, actual));
        const std::string size = std::to_string(c.width) + "x" + std::to_string(c.height);
        const RunResult ours = scratch.run(framecmp, {"-s", size, "-f", c.format, "e.yuv", "a.yuv"});
        ASSERT_EQ(ours.status, 1);
        const std::string input = " -f rawvideo -pix_fmt " + c.format + " -s " + size + " -i ";
        const std::string command = "cd " + scratch.path("") + " && ffmpeg -nostdin -hide_banner" + input + "e.yuv" +
                                    input + "a.yuv -lavfi psnr=stats_file=psnr.log -f null - 2> summary.txt";
        ASSERT_EQ(std::system(command.c_str()), 0);
        std::istringstream log(scratch.read("psnr.log"));
        std::istringstream report(ours.out);
        std::string logLine;
        std::string reportLine;
        int frames = 0;
        const std::string planes = format.arrangement == "gray" ? "y" : "yuv";
        while (std::getline(log, logLine) && std::getline(report, reportLine)) {
            ++frames;
            for (const char plane : planes) {
                const size_t mine = reportLine.find(std::string(1, char(std::toupper(plane))) + " ");
                ASSERT_NE(mine, std::string::npos) << reportLine;
                const size_t dB = reportLine.find(" dB", mine);
                const size_t start = reportLine.rfind(' ', dB - 1) + 1;
                EXPECT_NEAR(std::stod(reportLine.substr(start, dB - start)),
                            numberAfter(logLine, std::string("psnr_") + plane + ":"), 0.0101)
                    << reportLine << "\n"
                    << logLine;
            }
        }
        EXPECT_EQ(frames, 3);
        // The summary: "; Y lowest ... average 48.20 dB" against ffmpeg's "PSNR y:48.203 ...".
        std::string summary;
        std::getline(report, summary);
        const std::string theirs = scratch.read("summary.txt");
        const size_t theirStart = theirs.find("PSNR y:");
        ASSERT_NE(theirStart, std::string::npos) << theirs;
        for (const char plane : planes) {
            const size_t mine = summary.find(std::string("; ") + char(std::toupper(plane)) + " ");
            EXPECT_NEAR(numberAfter(summary, "average ", mine),
                        numberAfter(theirs, std::string(1, plane) + ":", theirStart), 0.0101)
                << summary << "\n"
                << theirs;
        }
    }
}

// Formats ffmpeg writes, against the planar format they come from: ffmpeg's copy of a golden
// clip (10-bit values within 4..1019, which its v210 encoder keeps) compares identical under
// -F; the copy damaged in its value bits, and in v210's line padding, gives per plane the
// PSNR ffmpeg's psnr filter gives reading it (within 0.01 dB). ffmpeg 5.1's v210 encoder
// takes even widths only, and its reading of v210 goes wrong at heights of 2 and 3.
TEST(FramecmpPsnr, FormatsFfmpegWritesAgainstPlanar)
{
    if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0 || sanitizedBuild()) {
        GTEST_SKIP() << "ffmpeg is not installed (or the build is sanitized: ffmpeg is slow to start there)";
    }
    struct WrittenCase {
        std::string planar;
        std::string format;
        std::string write; // ffmpeg's options writing it, and reading it back
        std::string read;
        uint32_t valueBits; // of each 32-bit word of the file: where damage may go
        int width;
        int height;
    };
    const std::string rawRgb = " -f rawvideo -pix_fmt ";
    // clang-format off
    std::vector<WrittenCase> cases = {
        {"yuv422p10le", "v210", " -c:v v210", " -f v210", 0x3fffffffU, 100, 4},
        {"yuv422p10le", "v210", " -c:v v210", " -f v210", 0x3fffffffU, 34, 8},
        {"yuv444p10le", "v410", " -c:v v410", " -f rawvideo -pix_fmt rgba -c:v v410", 0xfffffffcU, 10, 4},
        {"gbrp16le", "rgb48le", rawRgb + "rgb48le", rawRgb + "rgb48le", ~0U, 5, 3},
        {"yuv444p16le", "ayuv64le", rawRgb + "ayuv64le", rawRgb + "ayuv64le", ~0U, 5, 3},
    };
    // clang-format on
    for (const char* rgb : {"rgb24", "bgr24", "rgba", "bgra", "argb", "abgr", "0rgb", "rgb0", "0bgr", "bgr0"}) {
        cases.push_back({"gbrp", rgb, rawRgb + rgb, rawRgb + rgb, ~0U, 9, 4});
    }
    std::mt19937 random(24);
    Scratch scratch;
    for (const WrittenCase& c : cases) {
        const std::string size = std::to_string(c.width) + "x" + std::to_string(c.height);
        SCOPED_TRACE(c.planar + " against " + c.format + " " + size);
        const ModelFormat& format = modelFormat(c.planar);
        auto golden = randomFrames(random, format, c.width, c.height, 3);
        for (auto& planes : golden) {
            for (ModelPlane& plane : planes) {
                for (uint32_t& sample : plane.samples) {
                    sample = format.depth == 10 ? 4 + sample % 1016 : sample;
                }
            }
        }
        scratch.write("e.yuv", packClip(format, golden));
        const std::string ffmpeg = "cd " + scratch.path("") + " && ffmpeg -nostdin -v error -y -f rawvideo -pix_fmt " +
                                   c.planar + " -s " + size + " -i e.yuv ";
        ASSERT_EQ(std::system((ffmpeg + c.write + " -f rawvideo w.raw").c_str()), 0);
        const std::vector<std::string> args = {"-s", size, "-f", c.planar, "-F", c.format, "e.yuv"};
        std::vector<std::string> same = args;
        same.emplace_back("w.raw");
        const RunResult identical = scratch.run(framecmp, same);
        EXPECT_EQ(identical.out, "identical: 3 frames\n");
        EXPECT_EQ(identical.status, 0);
        std::string damaged = scratch.read("w.raw");
        for (size_t i = random() % 7; i < damaged.size(); i += 1 + random() % 13) {
            damaged[i] = char(damaged[i] ^ (random() & (c.valueBits >> (8 * (i % 4)))));
        }
        scratch.write("d.raw", damaged);
        std::vector<std::string> differ = args;
        differ.emplace_back("d.raw");
        const RunResult ours = scratch.run(framecmp, differ);
        ASSERT_EQ(ours.status, 1) << ours.out;
        const std::string psnr = ffmpeg + c.read + " -s " + size + " -i d.raw -lavfi '[1]format=" + c.planar +
                                 "[d];[0][d]psnr=stats_file=psnr.log' -f null -";
        ASSERT_EQ(std::system(psnr.c_str()), 0);
        std::istringstream log(scratch.read("psnr.log"));
        std::istringstream report(ours.out);
        std::string logLine;
        std::string reportLine;
        int frames = 0;
        while (std::getline(log, logLine) && std::getline(report, reportLine)) {
            ++frames;
            for (const char plane : std::string(isRgb(format) ? "RGB" : "YUV")) {
                const size_t mine = reportLine.find(std::string(1, plane) + " ");
                ASSERT_NE(mine, std::string::npos) << reportLine;
                const size_t dB = reportLine.find(" dB", mine);
                const size_t start = reportLine.rfind(' ', dB - 1) + 1;
                EXPECT_NEAR(std::stod(reportLine.substr(start, dB - start)),
                            numberAfter(logLine, std::string("psnr_") + char(std::tolower(plane)) + ":"), 0.0101)
                    << reportLine << "\n"
                    << logLine;
            }
        }
        EXPECT_EQ(frames, 3);
    }
}

// The geometry in a file name, read by traceframes and by framecmp alike: the same marker,
// width, height and sampling; traceframes alone reads the bus width after them. Each stem
// is tried as STEM_32.txt with traceframes and as STEM.yuv with framecmp.
struct NameCase {
    std::string stem;
    int width; // 0: the name is refused
    int height;
    int sampling;
};

TEST(GeometryRule, SameInTraceframesAndFramecmp)
{
    // clang-format off
    const NameCase cases[] = {
        {"clip_w176_144_420", 176, 144, 420},
        {"x_w640x480_422", 640, 480, 422},
        {"runs_w2/clip_w6_4_440", 6, 4, 440},
        {"c_w8_2_400", 8, 2, 400},
        {"a_w6_w4_2_420", 4, 2, 420},      // the rightmost marker
        {"a_w4_2_420_w", 4, 2, 420},       // "_w" with no digit after it is no marker
        {"a_w4_2_420_w9", 0, 0, 0},        // ... but with one it is
        {"clip_W6_4_420", 0, 0, 0},
        {"clip_w_6_4_420", 0, 0, 0},
        {"clip_w6_4_444", 0, 0, 0},
        {"clip_w0_4_420", 0, 0, 0},
        {"clip_w6_4", 0, 0, 0},
        {"runs_w2/clip", 0, 0, 0},
        {"clip_w3000000000_4_420", 0, 0, 0},
        {"clip_w6_2147483648_420", 0, 0, 0},
    };
    // clang-format on
    for (const NameCase& c : cases) {
        SCOPED_TRACE(c.stem);
        Scratch scratch;
        std::filesystem::create_directories(scratch.path("runs_w2"));
        const std::string trace = c.stem + "_32.txt";
        scratch.write(trace, "");
        const RunResult converted = scratch.run(traceframes, {"-O", "out.raw", trace});
        if (c.width == 0) {
            EXPECT_EQ(converted.status, 8);
            EXPECT_NE(scratch.run(framecmp, {c.stem + ".yuv", c.stem + ".yuv"}).status, 0);
            continue;
        }
        EXPECT_EQ(converted.status, 0);
        EXPECT_EQ(converted.out.substr(0, converted.out.find("bus width")),
                  "use input file '" + trace + "'\nwidth     = " + std::to_string(c.width) + "\nheight    = " +
                      std::to_string(c.height) + "\nsampling  = YUV" + std::to_string(c.sampling) + "\n");
        // Where the last byte of a frame lies tells framecmp's width, height and sampling.
        const int coverX = c.sampling == 440 ? 1 : 2;
        const int coverY = c.sampling == 422 ? 1 : 2;
        const int cw = (c.width + coverX - 1) / coverX;
        const int ch = (c.height + coverY - 1) / coverY;
        const size_t frameSize = size_t(c.width) * size_t(c.height) + (c.sampling == 400 ? 0 : 2 * size_t(cw * ch));
        const std::string last = c.sampling == 400
                                     ? "0 Y " + std::to_string(c.width - 1) + " " + std::to_string(c.height - 1)
                                     : "0 V " + std::to_string(cw - 1) + " " + std::to_string(ch - 1);
        scratch.write(c.stem + ".yuv", std::string(frameSize, '\0'));
        std::filesystem::create_directories(scratch.path("a"));
        scratch.write("a/actual.yuv", std::string(frameSize - 1, '\0') + "\x01");
        const RunResult compared = scratch.run(framecmp, {"-l", c.stem + ".yuv", "a/actual.yuv"});
        EXPECT_EQ(compared.status, 1) << compared.err;
        EXPECT_EQ(compared.out.substr(0, compared.out.find('\n') + 1), last + " 00 01\n");
    }
}

} // namespace
