// framecmp's pictures and its diagnosis of a lost or extra bus word, as a black box: the
// picture decoded and held to where its panels, labels, zoom and outlines must be; the
// diagnosis on traces that lost or gained a bus row and on clips cut or padded in a model of
// bus order, at 8 and 10 bits, and never on random damage.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#ifdef FRAMECMP_HAVE_PNG
#include <png.h>
#endif

#include "support/json.h"
#include "support/models.h"
#include "support/scratch.h"

namespace {

const std::string framecmp = programPath(FRAMECMP_BIN);
const std::string traceframes = programPath(TRACEFRAMES_BIN);
const std::string tracegen = programPath(TRACEGEN_BIN);

// ---- A model of 4:2:0 frames in bus order ----

// A planar 4:2:0 clip of even width and height, `bytes` a sample of `depth` bits (the
// value in the low bits).
struct Clip {
    int width;
    int height;
    int bytes;
    int depth = 8;
    size_t frameSize() const { return size_t(width) * size_t(height) * 3 / 2 * size_t(bytes); }
};

// The clip as the shared bus-order model sees it (its bus width plays no part there).
TraceShape shapeOf(const Clip& clip)
{
    return TraceShape{clip.width, clip.height, 420, 4, clip.bytes};
}

// Whole frames in bus order (the luma, then U and V interleaved a sample at a time), and back.
std::string clipToBus(const Clip& clip, const std::string& planar)
{
    return busOrder(shapeOf(clip), planar);
}

std::string busToClip(const Clip& clip, const std::string& bus)
{
    return planarOrder(shapeOf(clip), bus);
}

// "Y 32,41": where bus sample `sample` of a frame stands.
std::string placeOf(const Clip& clip, size_t sample)
{
    const size_t luma = size_t(clip.width) * size_t(clip.height);
    if (sample < luma) {
        return "Y " + std::to_string(sample % size_t(clip.width)) + "," + std::to_string(sample / size_t(clip.width));
    }
    const size_t chroma = sample - luma;
    const size_t width = size_t(clip.width) / 2;
    return std::string(chroma % 2 == 0 ? "U " : "V ") + std::to_string(chroma / 2 % width) + "," +
           std::to_string(chroma / 2 / width);
}

// The value of sample `s` of a frame in bus order, padding included.
unsigned busSample(const Clip& clip, const std::string& bus, size_t s)
{
    const auto b = size_t(clip.bytes);
    return uint8_t(bus[s * b]) | (b == 2 ? unsigned(uint8_t(bus[s * b + 1])) << 8U : 0U);
}

// The first bus sample where two frames differ by more than `tolerance` or ACTUAL's padding is
// set, or npos.
size_t firstDifference(const Clip& clip, const std::string& expected, const std::string& actual, int tolerance = 0)
{
    const std::string e = clipToBus(clip, expected);
    const std::string a = clipToBus(clip, actual);
    for (size_t s = 0; s * size_t(clip.bytes) < e.size(); ++s) {
        const unsigned value = busSample(clip, a, s);
        if (std::abs(int(busSample(clip, e, s)) - int(value)) > tolerance || value >> unsigned(clip.depth) != 0) {
            return s;
        }
    }
    return std::string::npos;
}

std::string frameOf(const Clip& clip, const std::string& planar, size_t frame)
{
    return planar.substr(frame * clip.frameSize(), clip.frameSize());
}

std::string bytesText(int bytes)
{
    return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

// What framecmp must say of a displacement of `bytes` that starts in `frame` and is kept to
// `last`: the note in the frame's line and, for more than one frame, the run's line.
struct Expected {
    std::string note;
    std::string run;
};

Expected expectedReport(const Clip& clip, const std::string& golden, const std::string& damaged, size_t frame,
                        size_t last, int bytes, bool lost, int tolerance = 0)
{
    const std::string place =
        placeOf(clip, firstDifference(clip, frameOf(clip, golden, frame), frameOf(clip, damaged, frame), tolerance));
    const std::string kind = lost ? " lost" : " extra";
    Expected report;
    report.note = "; from " + place + " on, " + bytesText(bytes) + kind + ": ACTUAL is EXPECTED " + bytesText(bytes) +
                  (lost ? " early" : " late") + "\n";
    if (last > frame) {
        report.run = "frames " + std::to_string(frame) + "\u2013" + std::to_string(last) + ": " + bytesText(bytes) +
                     kind + " at frame " + std::to_string(frame) + ", " + place + "\n";
    }
    return report;
}

// The line of the report that starts with `start`, with its line feed, or "".
std::string lineStarting(const std::string& out, const std::string& start)
{
    for (size_t at = 0; at < out.size();) {
        const size_t end = std::min(out.find('\n', at), out.size() - 1) + 1;
        if (out.compare(at, start.size(), start) == 0) {
            return out.substr(at, end - at);
        }
        at = end;
    }
    return "";
}

bool endsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool claimsDisplacement(const std::string& out)
{
    return out.find(" lost") != std::string::npos || out.find(" extra") != std::string::npos;
}

// ---- The diagnosis ----

struct WordCase {
    int bytes; // the bus word: 4 or 8
    bool lost;
};

const WordCase wordCases[] = {{4, true}, {4, false}, {8, true}, {8, false}};

// A trace from tracegen that lost one row (a bus word) or gained one of random bytes, at a
// random place in the luma of frame 1 or 2, converted by traceframes -P as it would arrive.
TEST(FramecmpDiagnosis, BusWordOfATrace)
{
    Scratch scratch;
    const Clip clip{96, 64, 1};
    std::mt19937 random(17);
    for (const WordCase& word : wordCases) {
        for (int round = 0; round < 3; ++round) {
            const std::string bus = std::to_string(word.bytes * 8);
            const std::string name = "c_w96_64_420_" + bus + ".txt";
            ASSERT_EQ(
                scratch.run(tracegen, {"-n", "4", "-c", "0", "-b", bus, "96", "64", "g_w96_64_420_" + bus + ".txt"})
                    .status,
                0);
            ASSERT_EQ(scratch.run(traceframes, {"-P", "g_w96_64_420_" + bus + ".txt"}).status, 0);
            std::string trace = scratch.read("g_w96_64_420_" + bus + ".txt");
            const size_t frame = 1 + random() % 2;
            const size_t wordsAFrame = clip.frameSize() / size_t(word.bytes);
            const size_t lumaWords = size_t(clip.width * clip.height / word.bytes);
            const size_t row = frame * wordsAFrame + random() % (lumaWords - 64);
            const size_t lineLength = 3 * size_t(word.bytes);
            if (word.lost) {
                trace.erase(row * lineLength, lineLength);
            } else {
                std::string line;
                for (int i = 0; i < word.bytes; ++i) {
                    const char hex[] = "0123456789abcdef";
                    line += std::string{hex[random() % 16], hex[random() % 16], i + 1 == word.bytes ? '\n' : ' '};
                }
                trace.insert(row * lineLength, line);
            }
            scratch.write(name, trace);
            ASSERT_EQ(scratch.run(traceframes, {"-P", name}).status, 0);
            const std::string golden = scratch.read("g_w96_64_420_" + bus + ".yuv");
            const std::string damaged = scratch.read("c_w96_64_420_" + bus + ".yuv");
            const size_t last = damaged.size() / clip.frameSize() - 1;
            const Expected report = expectedReport(clip, golden, damaged, frame, last, word.bytes, word.lost);
            const RunResult result =
                scratch.run(framecmp, {"g_w96_64_420_" + bus + ".yuv", "c_w96_64_420_" + bus + ".yuv"});
            SCOPED_TRACE(std::to_string(word.bytes) + (word.lost ? " lost" : " extra") + " at row " +
                         std::to_string(row));
            EXPECT_EQ(result.status, 1);
            EXPECT_TRUE(endsWith(lineStarting(result.out, "frame " + std::to_string(frame) + ":"), report.note))
                << result.out;
            if (!report.run.empty()) {
                EXPECT_EQ(lineStarting(result.out, "frames "), report.run) << result.out;
            }
            EXPECT_EQ(lineStarting(result.out, "frame " + std::to_string(frame + 1) + ":").find(" lost"),
                      std::string::npos);
        }
    }
}

// Clips at 8 and 10 bits cut or padded in bus order by the model, ACTUAL also in a layout of
// its own (nv12, p010le), so that the bus order is framecmp's and not a file's; at 10 bits
// by an odd count of bytes too, which sets padding; and with every sample of ACTUAL then
// moved by up to the tolerance, as a scaler or colour converter would, under -t.
TEST(FramecmpDiagnosis, BusBytesCutOrInsertedInAModel)
{
    Scratch scratch;
    std::mt19937 random(1017);
    struct DepthCase {
        int depth;
        std::string format;
        std::string actualFormat; // "" for the same
        int tolerance;            // noise and -t
        std::vector<WordCase> words;
    };
    const std::vector<WordCase> words(std::begin(wordCases), std::end(wordCases));
    const std::vector<WordCase> oddBytes = {{1, true}, {1, false}, {3, true}, {3, false}};
    const DepthCase depths[] = {
        {8, "yuv420p", "", 0, words},         {8, "yuv420p", "nv12", 0, words},
        {10, "yuv420p10le", "", 0, words},    {10, "yuv420p10le", "p010le", 0, words},
        {10, "yuv420p10le", "", 0, oddBytes}, {8, "yuv420p", "", 2, words},
        {10, "yuv420p10le", "", 1, words},
    };
    for (const DepthCase& depth : depths) {
        const Clip clip{64, 48, depth.depth > 8 ? 2 : 1, depth.depth};
        ASSERT_EQ(
            scratch.run(tracegen, {"-r", "-n", "4", "-D", std::to_string(depth.depth), "64", "48", "g.yuv"}).status, 0);
        const std::string golden = scratch.read("g.yuv");
        const std::string goldenBus = clipToBus(clip, golden);
        for (const WordCase& word : depth.words) {
            std::string bus = goldenBus;
            const size_t frame = random() % 3;
            const size_t at = frame * clip.frameSize() + random() % (clip.frameSize() / 2);
            if (word.lost) {
                bus.erase(at, size_t(word.bytes));
            } else {
                std::string inserted;
                for (int i = 0; i < word.bytes; ++i) {
                    inserted += static_cast<char>(random() % 4); // at 10 bits still a value of 10 bits
                }
                bus.insert(at, inserted);
            }
            std::string damaged = busToClip(clip, bus);
            const auto top = int((1U << unsigned(depth.depth)) - 1);
            for (size_t i = 0; depth.tolerance != 0 && i < damaged.size(); i += size_t(clip.bytes)) {
                const int noise = int(random() % unsigned(2 * depth.tolerance + 1)) - depth.tolerance;
                const int value = std::clamp(int(busSample(clip, damaged, i / size_t(clip.bytes))) + noise, 0, top);
                damaged[i] = static_cast<char>(value & 0xff);
                if (clip.bytes == 2) {
                    damaged[i + 1] = static_cast<char>(value >> 8);
                }
            }
            std::string actual = damaged;
            if (depth.actualFormat == "nv12") {
                actual = clipToBus(clip, damaged); // 4:2:0 chroma in bus order is nv12's
            } else if (depth.actualFormat == "p010le") {
                actual = clipToBus(clip, damaged);
                for (size_t i = 0; i + 1 < actual.size(); i += 2) {
                    const unsigned value = (unsigned(uint8_t(actual[i])) | unsigned(uint8_t(actual[i + 1])) << 8U)
                                           << 6U;
                    actual[i] = static_cast<char>(value & 0xffU);
                    actual[i + 1] = static_cast<char>(value >> 8U);
                }
            }
            scratch.write("a.yuv", actual);
            std::vector<std::string> args = {"-s", "64x48", "-f", depth.format};
            if (!depth.actualFormat.empty()) {
                args.insert(args.end(), {"-F", depth.actualFormat});
            }
            if (depth.tolerance != 0) {
                args.insert(args.end(), {"-t", std::to_string(depth.tolerance)});
            }
            args.insert(args.end(), {"--json", "d.json", "g.yuv", "a.yuv"});
            const RunResult result = scratch.run(framecmp, args);
            const size_t last = damaged.size() / clip.frameSize() - 1;
            const Expected report =
                expectedReport(clip, golden, damaged, frame, last, word.bytes, word.lost, depth.tolerance);
            SCOPED_TRACE(depth.format + " " + depth.actualFormat + " -t " + std::to_string(depth.tolerance) + " " +
                         std::to_string(word.bytes) + (word.lost ? " lost" : " extra") + " at " + std::to_string(at));
            EXPECT_EQ(result.status, 1);
            EXPECT_TRUE(endsWith(lineStarting(result.out, "frame " + std::to_string(frame) + ":"), report.note))
                << result.out;
            EXPECT_EQ(lineStarting(result.out, "frames "), report.run) << result.out;
            // The JSON names the same displacement, once for its run of frames.
            const Json displacements = parseJson(scratch.read("d.json"))["displacements"];
            ASSERT_EQ(displacements.items.size(), 1U);
            const Json& d = displacements[0];
            EXPECT_EQ(d["frame"].value, double(frame));
            EXPECT_EQ(d["plane"].text + " " + std::to_string(int(d["x"].value)) + "," +
                          std::to_string(int(d["y"].value)),
                      placeOf(clip, firstDifference(clip, frameOf(clip, golden, frame), frameOf(clip, damaged, frame),
                                                    depth.tolerance)));
            EXPECT_EQ(d["bytes"].value, double(word.bytes));
            EXPECT_EQ(d["kind"].text, word.lost ? "lost" : "extra");
        }
    }
}

// 1080p frames, where a quick look at a few failing samples comes before the search: a
// word lost or gained in a busy picture (the failing samples dense), and in a flat one with a
// few patches of detail far apart (too sparse for the quick look, so every displacement is
// tried); found alike, and where the model says.
TEST(FramecmpDiagnosis, LargeFramesDenseAndSparse)
{
    Scratch scratch;
    const Clip clip{1920, 1080, 1};
    std::mt19937 random(2026);
    for (const bool busy : {true, false}) {
        std::string golden(clip.frameSize() * 3, '\x80');
        for (size_t i = 0; i < golden.size(); ++i) {
            if (busy || i % 150000 < 300) {
                golden[i] = static_cast<char>(random());
            }
        }
        scratch.write("g.yuv", golden);
        const std::string goldenBus = clipToBus(clip, golden);
        for (const WordCase& word : wordCases) {
            std::string bus = goldenBus;
            const size_t frame = 1;
            const size_t at = frame * clip.frameSize() + 150000 * (1 + random() % 10) + random() % 300;
            if (word.lost) {
                bus.erase(at, size_t(word.bytes));
            } else {
                bus.insert(at, std::string(size_t(word.bytes), '\x07'));
            }
            const std::string damaged = busToClip(clip, bus);
            scratch.write("a.yuv", damaged);
            const RunResult result = scratch.run(framecmp, {"-s", "1920x1080", "g.yuv", "a.yuv"});
            const Expected report = expectedReport(clip, golden, damaged, frame, damaged.size() / clip.frameSize() - 1,
                                                   word.bytes, word.lost);
            SCOPED_TRACE(std::string(busy ? "busy " : "flat ") + std::to_string(word.bytes) +
                         (word.lost ? " lost" : " extra") + " at " + std::to_string(at));
            EXPECT_EQ(result.status, 1);
            EXPECT_TRUE(endsWith(lineStarting(result.out, "frame 1:"), report.note)) << result.out;
            EXPECT_FALSE(claimsDisplacement(lineStarting(result.out, "frame 0:")));
        }
    }
}

// Damage that is no displacement is never called one: sparse and dense random samples, a
// burst of random bytes, faint noise everywhere, a block of the picture moved, at 8 and 10
// bits, many seeds.
TEST(FramecmpDiagnosis, NeverClaimedOnRandomDamage)
{
    Scratch scratch;
    const char* kinds[] = {"sparse", "dense", "burst", "noise", "block"};
    for (const int depth : {8, 10}) {
        const Clip clip{64, 48, depth > 8 ? 2 : 1};
        ASSERT_EQ(scratch.run(tracegen, {"-r", "-n", "2", "-D", std::to_string(depth), "64", "48", "g.yuv"}).status, 0);
        const std::string golden = scratch.read("g.yuv");
        const auto samples = golden.size() / size_t(clip.bytes);
        const unsigned mask = (1U << unsigned(depth)) - 1;
        for (const char* kind : kinds) {
            for (unsigned seed = 0; seed < 12; ++seed) {
                if (!caseRunsInThisBuild(seed)) {
                    continue;
                }
                std::mt19937 random(seed);
                std::vector<unsigned> values(samples);
                for (size_t s = 0; s < samples; ++s) {
                    values[s] = uint8_t(golden[s * size_t(clip.bytes)]) |
                                (clip.bytes == 2 ? unsigned(uint8_t(golden[s * 2 + 1])) << 8U : 0U);
                }
                const std::string k = kind;
                if (k == "sparse" || k == "dense") {
                    const size_t count = k == "sparse" ? 200 : samples / 2;
                    for (size_t i = 0; i < count; ++i) {
                        values[random() % samples] = static_cast<unsigned>(random()) & mask;
                    }
                } else if (k == "burst") {
                    const size_t from = random() % (samples - 2000);
                    for (size_t s = from; s < from + 2000; ++s) {
                        values[s] = static_cast<unsigned>(random()) & mask;
                    }
                } else if (k == "noise") {
                    for (unsigned& value : values) {
                        value = std::min(mask, value + static_cast<unsigned>(random() % 4));
                    }
                } else {
                    // A 16x16 block of luma moved 3 pixels right.
                    const size_t x0 = random() % 40;
                    const size_t y0 = random() % 24;
                    for (size_t y = y0; y < y0 + 16; ++y) {
                        for (size_t x = x0 + 15; x >= x0; --x) {
                            values[y * 64 + x + 3] = values[y * 64 + x];
                            if (x == 0) {
                                break;
                            }
                        }
                    }
                }
                std::string damaged;
                for (const unsigned value : values) {
                    damaged += static_cast<char>(value & 0xffU);
                    if (clip.bytes == 2) {
                        damaged += static_cast<char>(value >> 8U);
                    }
                }
                scratch.write("a.yuv", damaged);
                const RunResult result =
                    scratch.run(framecmp, {"-s", "64x48", "-f", depth > 8 ? "yuv420p10le" : "yuv420p", "--json",
                                           "d.json", "g.yuv", "a.yuv"});
                SCOPED_TRACE(std::string(kind) + " seed " + std::to_string(seed) + " depth " + std::to_string(depth));
                EXPECT_EQ(result.status, 1);
                EXPECT_FALSE(claimsDisplacement(result.out)) << result.out;
                EXPECT_TRUE(parseJson(scratch.read("d.json"))["displacements"].items.empty());
            }
        }
    }
}

// ---- A dropped, inserted or repeated frame ----

struct ShiftCase {
    // "drop", "drop2", "repeat", "repeat2", "insert", "damage" from the frame on, or "still":
    // every frame alike, the one damaged; "flat drop": a drop in frames whose middle luma row
    // is one grey, as a picture's flat band
    const char* edit;
    int depth;
    const char* claim; // the line's end, "" for none: "one frame early from frame K on: 1 frame dropped"
    int frames;        // the JSON's "frames"
    const char* kind;  // and its "kind"
    int at = 0;        // the frame edited; 0 for a random one from 1 to 5
};

// Twelve frames of random 4:2:0 samples, ACTUAL edited from a random frame on (or one near the end): frames cut,
// repeated or inserted are named once, after the run, with where they start; random damage
// never claims one. Frame k is still compared with frame k: every frame from there fails.
TEST(FramecmpDiagnosis, FramesDroppedRepeatedOrInserted)
{
    Scratch scratch;
    const int count = 12;
    // clang-format off
    const ShiftCase cases[] = {
        {"drop", 8, "one frame early from frame K on: 1 frame dropped", -1, "dropped"},
        {"flat drop", 8, "one frame early from frame K on: 1 frame dropped", -1, "dropped"},
        // Two frames from the end: the shift holds to the end of the shorter file.
        {"drop", 10, "one frame early from frame K on: 1 frame dropped", -1, "dropped", 9},
        {"drop", 10, "one frame early from frame K on: 1 frame dropped", -1, "dropped"},
        {"drop2", 8, "two frames early from frame K on: 2 frames dropped", -2, "dropped"},
        {"repeat", 8, "one frame late from frame K on: 1 frame repeated", 1, "repeated"},
        {"repeat", 10, "one frame late from frame K on: 1 frame repeated", 1, "repeated"},
        {"repeat2", 10, "two frames late from frame K on: 2 frames repeated", 2, "repeated"},
        {"insert", 8, "one frame late from frame K on: 1 frame inserted", 1, "inserted"},
        {"damage", 8, "", 0, ""},
        {"damage", 10, "", 0, ""},
        {"still", 8, "", 0, ""},
    };
    // clang-format on
    for (size_t turn = 0; turn < 4 * std::size(cases); ++turn) {
        const ShiftCase& c = cases[turn % std::size(cases)];
        std::mt19937 random(static_cast<unsigned>(turn));
        const Clip clip{64, 48, c.depth > 8 ? 2 : 1, c.depth};
        const auto randomFrame = [&] {
            std::string frame(clip.frameSize(), '\0');
            for (size_t i = 0; i < frame.size(); i += size_t(clip.bytes)) {
                const unsigned value = static_cast<unsigned>(random()) & ((1U << unsigned(c.depth)) - 1);
                frame[i] = static_cast<char>(value & 0xffU);
                if (clip.bytes == 2) {
                    frame[i + 1] = static_cast<char>(value >> 8U);
                }
            }
            return frame;
        };
        std::vector<std::string> frames;
        const bool flat = std::string(c.edit).rfind("flat ", 0) == 0;
        const std::string edit = flat ? std::string(c.edit).substr(5) : std::string(c.edit);
        for (int i = 0; i < count; ++i) {
            frames.push_back(edit == "still" && i > 0 ? frames[0] : randomFrame());
        }
        if (flat) {
            for (std::string& frame : frames) {
                std::fill_n(frame.begin() + 24 * 64 * clip.bytes, 64 * clip.bytes, '\x40');
            }
        }
        const int k = c.at != 0 ? c.at : 1 + static_cast<int>(random() % 5);
        std::vector<std::string> actual(frames.begin(), frames.begin() + k);
        const int cut = edit == "drop" ? 1 : edit == "drop2" ? 2 : 0;
        const int added = edit == "repeat" || edit == "insert" ? 1 : edit == "repeat2" ? 2 : 0;
        for (int i = 0; i < added; ++i) {
            actual.push_back(edit == "insert" ? randomFrame() : frames[size_t(k) - 1]);
        }
        for (int i = k + cut; i < count - added; ++i) {
            actual.push_back(frames[size_t(i)]);
        }
        if (edit == "damage" || edit == "still") {
            for (size_t i = size_t(k); i < (edit == "still" ? size_t(k) + 1 : actual.size()); ++i) {
                for (int n = 0; n < 200; ++n) {
                    actual[i][random() % actual[i].size()] ^= 0x03;
                }
            }
        }
        std::string e;
        std::string a;
        for (const std::string& f : frames) {
            e += f;
        }
        for (const std::string& f : actual) {
            a += f;
        }
        scratch.write("e.yuv", e);
        scratch.write("a.yuv", a);
        SCOPED_TRACE(edit + " at frame " + std::to_string(k) + ", " + std::to_string(c.depth) + " bits");
        const RunResult result = scratch.run(framecmp, {"-s", "64x48", "-f", c.depth > 8 ? "yuv420p10le" : "yuv420p",
                                                        "--json", "d.json", "e.yuv", "a.yuv"});
        EXPECT_EQ(result.status, 1);
        const Json shifts = parseJson(scratch.read("d.json"))["frame_displacements"];
        if (std::string(c.claim).empty()) {
            EXPECT_EQ(result.out.find("ACTUAL is EXPECTED"), std::string::npos) << result.out;
            EXPECT_TRUE(shifts.items.empty());
            continue;
        }
        std::string claim = c.claim;
        claim.replace(claim.find('K'), 1, std::to_string(k));
        const std::string line = "frames " + std::to_string(k) + "\u2013" + std::to_string(actual.size() - 1) +
                                 ": ACTUAL is EXPECTED " + claim + "\n";
        EXPECT_NE(result.out.find(line), std::string::npos) << result.out;
        EXPECT_EQ(result.out.find("ACTUAL is EXPECTED"), result.out.rfind("ACTUAL is EXPECTED")) << result.out;
        // After the last frame of the run; the frames from K on still fail, compared as they stand.
        EXPECT_LT(result.out.find("frame " + std::to_string(actual.size() - 1) + ": "), result.out.find(line))
            << result.out;
        EXPECT_NE(result.out.find("frame " + std::to_string(k) + ": "), std::string::npos) << result.out;
        ASSERT_EQ(shifts.items.size(), 1U);
        EXPECT_EQ(shifts.items[0]["frame"].value, k);
        EXPECT_EQ(shifts.items[0]["frames"].value, c.frames);
        EXPECT_EQ(shifts.items[0]["kind"].text, c.kind);
    }
}

// ---- The picture ----

#ifdef FRAMECMP_HAVE_PNG

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
    const uint8_t* at(int x, int y) const { return rgb.data() + 3 * (size_t(y) * size_t(width) + size_t(x)); }
    bool is(int x, int y, uint8_t r, uint8_t g, uint8_t b) const
    {
        const uint8_t* p = at(x, y);
        return p[0] == r && p[1] == g && p[2] == b;
    }
    // Pixels of a colour in the rectangle [x0, x1) x [y0, y1).
    int count(int x0, int y0, int x1, int y1, uint8_t r, uint8_t g, uint8_t b) const
    {
        int n = 0;
        for (int y = y0; y < y1; ++y) {
            for (int x = x0; x < x1; ++x) {
                n += is(x, y, r, g, b) ? 1 : 0;
            }
        }
        return n;
    }
    int outlines(int x0, int y0, int x1, int y1) const
    {
        return count(x0, y0, x1, y1, 255, 0, 0) + count(x0, y0, x1, y1, 0, 255, 255);
    }
    int unknownOutlines(int x0, int y0, int x1, int y1) const
    {
        return count(x0, y0, x1, y1, 255, 255, 0) + count(x0, y0, x1, y1, 0, 0, 255);
    }
};

Picture decode(const std::string& png)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    Picture picture;
    if (png_image_begin_read_from_memory(&image, png.data(), png.size()) == 0) {
        return picture;
    }
    image.format = PNG_FORMAT_RGB;
    picture.rgb.resize(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, picture.rgb.data(), 0, nullptr) == 0) {
        return Picture{};
    }
    picture.width = int(image.width);
    picture.height = int(image.height);
    return picture;
}

// A grey 4:2:0 clip of 176x144 whose luma is a ramp: no pixel of it is red or white.
std::string greyClip(int frames)
{
    std::string clip;
    for (int f = 0; f < frames; ++f) {
        for (int y = 0; y < 144; ++y) {
            for (int x = 0; x < 176; ++x) {
                clip += static_cast<char>(64 + (x + 2 * y + f) % 96);
            }
        }
        clip += std::string(2 * 88 * 72, static_cast<char>(128));
    }
    return clip;
}

constexpr int band = 11; // rows of labels at 144 rows
constexpr int panels[4] = {0, 180, 360, 540};

// The first failing sample centres the zoom (a window of 32x32 pixels at 8x, kept inside the
// frame), and each failing pixel gets a ring of 28 pixels (8x8 less the 6x6 inside), red or,
// on a pixel nearer red, cyan: one for a luma sample, four for a chroma sample of 4:2:0. A
// sample --unknown marks (its values alike) is yellow in the map, its ring yellow or blue.
// A legend band lies under the panels.
TEST(FramecmpPicture, PanelsZoomAndOutlines)
{
    Scratch scratch;
    struct ZoomCase {
        char plane;
        int x; // in the plane
        int y;
        int windowX; // the zoom's window on the frame
        int windowY;
        int failingPixels;
        bool unknown; // the sample marked in a mask, not damaged
    };
    const ZoomCase cases[] = {
        {'Y', 100, 60, 84, 44, 1, false}, {'Y', 2, 3, 0, 0, 1, false},       {'Y', 175, 143, 144, 112, 1, false},
        {'U', 20, 10, 24, 4, 4, false},   {'V', 87, 71, 144, 112, 4, false}, {'Y', 100, 60, 84, 44, 1, true},
        {'U', 20, 10, 24, 4, 4, true},
    };
    const std::string golden = greyClip(2);
    scratch.write("e_w176_144_420.yuv", golden);
    for (const ZoomCase& c : cases) {
        std::string damaged = golden;
        std::string mask(golden.size(), '\0');
        const size_t frameSize = 176 * 144 * 3 / 2;
        const size_t offset = c.plane == 'Y'   ? size_t(c.y) * 176 + size_t(c.x)
                              : c.plane == 'U' ? 176 * 144 + size_t(c.y) * 88 + size_t(c.x)
                                               : 176 * 144 + 88 * 72 + size_t(c.y) * 88 + size_t(c.x);
        (c.unknown ? mask : damaged)[frameSize + offset] = static_cast<char>(c.plane == 'Y' ? 250 : 20);
        scratch.write("a_w176_144_420.yuv", damaged);
        scratch.write("m.yuv", mask);
        std::vector<std::string> args = {"-q", "-i", "p.png", "e_w176_144_420.yuv", "a_w176_144_420.yuv"};
        if (c.unknown) {
            args.insert(args.begin(), "--unknown=m.yuv");
        }
        const RunResult result = scratch.run(framecmp, args);
        SCOPED_TRACE(std::string(1, c.plane) + " " + std::to_string(c.x) + "," + std::to_string(c.y) +
                     (c.unknown ? " unknown" : ""));
        ASSERT_EQ(result.status, 1) << result.err;
        const Picture picture = decode(scratch.read("p.png"));
        // Three panels of 176, the zoom of 256, three gaps of 4; the labels over the zoom's
        // rows, the legend under them.
        ASSERT_EQ(picture.width, 796);
        ASSERT_EQ(picture.height, band + 256 + band);
        for (const int x : panels) {
            EXPECT_GT(picture.count(x, 0, x + 176, band, 255, 255, 255), 20) << "a label over the panel at " << x;
        }
        EXPECT_GT(picture.count(0, band + 256, 796, band + 256 + band, 255, 255, 255), 400) << "the legend";
        const int pixelX = c.plane == 'Y' ? c.x : 2 * c.x;
        const int pixelY = c.plane == 'Y' ? c.y : 2 * c.y;
        // The difference: luma in white, chroma in magenta, unknown in yellow, at the damaged
        // or marked pixels only.
        const bool luma = c.plane == 'Y';
        const uint8_t mark[3] = {255, uint8_t(luma || c.unknown ? 255 : 0), uint8_t(c.unknown ? 0 : 255)};
        EXPECT_EQ(picture.count(360, band, 536, band + 144, mark[0], mark[1], mark[2]), c.failingPixels);
        EXPECT_TRUE(picture.is(360 + pixelX, band + pixelY, mark[0], mark[1], mark[2]));
        // The zoom: rings around the failing pixels, none elsewhere.
        const auto rings = [&](int x0, int y0, int x1, int y1) {
            const int other = c.unknown ? picture.outlines(x0, y0, x1, y1) : picture.unknownOutlines(x0, y0, x1, y1);
            EXPECT_EQ(other, 0);
            return c.unknown ? picture.unknownOutlines(x0, y0, x1, y1) : picture.outlines(x0, y0, x1, y1);
        };
        EXPECT_EQ(rings(540, band, 796, band + 256), 28 * c.failingPixels);
        const int cellX = 540 + (pixelX - c.windowX) * 8;
        const int cellY = band + (pixelY - c.windowY) * 8;
        EXPECT_EQ(rings(cellX, cellY, cellX + 8, cellY + 8), 28);
        EXPECT_EQ(rings(cellX, cellY, cellX + 1, cellY + 8), 8);
        EXPECT_EQ(rings(cellX + 7, cellY, cellX + 8, cellY + 8), 8);
        EXPECT_EQ(rings(cellX + 1, cellY + 1, cellX + 7, cellY + 7), 0);
        // Each cell is ACTUAL's pixel: the window's corner is the actual panel's pixel there.
        const uint8_t* corner = picture.at(panels[1] + c.windowX, band + c.windowY);
        const uint8_t* zoomed = picture.at(540 + 3, band + 3);
        EXPECT_TRUE(std::equal(corner, corner + 3, zoomed));
        // Expected and actual panels alike but where the frames differ.
        int differing = 0;
        for (int y = band; y < band + 144; ++y) {
            for (int x = 0; x < 176; ++x) {
                differing += std::equal(picture.at(x, y), picture.at(x, y) + 3, picture.at(panels[1] + x, y)) ? 0 : 1;
            }
        }
        EXPECT_EQ(differing, c.unknown ? 0 : c.failingPixels);
    }
}

// --picture-frame draws the frame named, a passing one too (no white or outline; its
// difference label longer); past the end of a file, or skipped, it is a note, the status
// the comparison's, and the picture path is left alone.
TEST(FramecmpPicture, PictureFrame)
{
    Scratch scratch;
    const std::string golden = greyClip(3);
    std::string damaged = golden;
    damaged[176 * 144 * 3 / 2 + 500] = static_cast<char>(250);
    scratch.write("e_w176_144_420.yuv", golden);
    scratch.write("a_w176_144_420.yuv", damaged);
    const std::vector<std::string> files = {"e_w176_144_420.yuv", "a_w176_144_420.yuv"};
    const auto run = [&](std::vector<std::string> args) {
        args.insert(args.end(), files.begin(), files.end());
        return scratch.run(framecmp, args);
    };
    ASSERT_EQ(run({"-q", "-i", "fail.png"}).status, 1);
    const Picture failing = decode(scratch.read("fail.png"));
    struct FrameCase {
        std::vector<std::string> args;
        bool passes;
    };
    const FrameCase drawn[] = {
        {{"-i", "p.png", "--picture-frame=2"}, true},
        {{"-q", "-i", "p.png", "--picture-frame=0"}, true},
        {{"-q", "-i", "p.png", "--picture-frame=2"}, true}, // read on after -q's stop
        {{"-n", "1", "-i", "p.png", "--picture-frame", "2"}, true},
        {{"-i", "p.png", "--picture-frame=1"}, false},
    };
    for (const FrameCase& c : drawn) {
        SCOPED_TRACE(joined(c.args));
        scratch.write("p.png", "");
        const RunResult result = run(c.args);
        EXPECT_EQ(result.status, 1) << result.err;
        EXPECT_EQ(result.err, "");
        const Picture picture = decode(scratch.read("p.png"));
        ASSERT_EQ(picture.width, 796);
        const int marks =
            picture.count(360, band, 536, band + 144, 255, 255, 255) + picture.outlines(540, band, 796, band + 256);
        EXPECT_EQ(marks == 0, c.passes);
        const int difference = picture.count(360, 0, 536, band, 255, 255, 255);
        const int failingDifference = failing.count(360, 0, 536, band, 255, 255, 255);
        EXPECT_EQ(difference > failingDifference, c.passes) << "\"difference: frame passes\"";
    }
    struct RefusedCase {
        std::vector<std::string> args;
        std::string err;
    };
    const RefusedCase undrawn[] = {
        {{"-q", "-i", "p.png", "--picture-frame=3"},
         "framecmp: --picture-frame=3: no frame 3: EXPECTED has 3; no picture written\n"},
        {{"-q", "-n", "1", "-i", "p.png", "--picture-frame=9"},
         "framecmp: --picture-frame=9: no frame 9: EXPECTED has 3; no picture written\n"},
        {{"-q", "--skip=1", "-i", "p.png", "--picture-frame=0"},
         "framecmp: --picture-frame=0: frame 0 is skipped; no picture written\n"},
    };
    for (const RefusedCase& c : undrawn) {
        SCOPED_TRACE(joined(c.args));
        scratch.write("p.png", "kept");
        const RunResult result = run(c.args);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(scratch.read("p.png"), "kept");
    }
    const RefusedCase refused[] = {
        {{"--picture-frame=1"},
         "framecmp: --picture-frame: draws the picture of -i, which is not given\nTry "
         "'framecmp --help' for more information.\n"},
        {{"-i", "p.png", "--picture-frame=x"},
         "framecmp: --picture-frame=x: not a frame number from 0\nTry "
         "'framecmp --help' for more information.\n"},
        {{"-i", "p.png", "--picture-frame=-1"},
         "framecmp: --picture-frame=-1: not a frame number from 0\nTry "
         "'framecmp --help' for more information.\n"},
    };
    for (const RefusedCase& c : refused) {
        SCOPED_TRACE(joined(c.args));
        scratch.write("p.png", "kept");
        const RunResult result = run(c.args);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(scratch.read("p.png"), "kept");
    }
}

// Samples above 8 bits are drawn shifted down to 8: a 10-bit clip four times the values of
// an 8-bit one gives the same picture.
TEST(FramecmpPicture, TenBitsShiftedDown)
{
    Scratch scratch;
    const std::string golden = greyClip(1);
    std::string damaged = golden;
    damaged[4000] = static_cast<char>(250);
    std::string golden10;
    std::string damaged10;
    for (size_t i = 0; i < golden.size(); ++i) {
        const unsigned e = unsigned(uint8_t(golden[i])) << 2U;
        const unsigned a = unsigned(uint8_t(damaged[i])) << 2U;
        golden10 += {static_cast<char>(e & 0xffU), static_cast<char>(e >> 8U)};
        damaged10 += {static_cast<char>(a & 0xffU), static_cast<char>(a >> 8U)};
    }
    scratch.write("e.yuv", golden);
    scratch.write("a.yuv", damaged);
    scratch.write("e10.yuv", golden10);
    scratch.write("a10.yuv", damaged10);
    ASSERT_EQ(scratch.run(framecmp, {"-q", "-s", "176x144", "-i", "p8.png", "e.yuv", "a.yuv"}).status, 1);
    ASSERT_EQ(scratch.run(framecmp, {"-q", "-s", "176x144", "-f", "yuv420p10le", "-i", "p10.png", "e10.yuv", "a10.yuv"})
                  .status,
              1);
    const Picture eight = decode(scratch.read("p8.png"));
    const Picture ten = decode(scratch.read("p10.png"));
    ASSERT_EQ(eight.width, 796);
    EXPECT_EQ(eight.rgb, ten.rgb);
}

#endif

} // namespace
