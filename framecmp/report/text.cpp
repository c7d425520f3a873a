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

#include "framecmp/compare/coding.h"
#include "framecmp/compare/frame.h"
#include "framecmp/compare/plane.h"
#include "framecmp/compare/psnr.h"
#include "framecmp/compare/ssim.h"
#include "framecmp/input.h"
#include "framecmp/options.h"
#include "framecmp/report/text.h"

namespace framecmp {

// A sample as the report shows it: its value in hexadecimal with the digits its depth needs,
// or, with padding set, its whole container in four.
std::string sampleText(uint32_t container, const SampleCoding& coding)
{
    char text[16];
    if (paddingSet(container, coding)) {
        std::snprintf(text, sizeof text, "%04x", container);
    } else {
        std::snprintf(text, sizeof text, "%0*x", (coding.depth + 3) / 4,
                      static_cast<unsigned>(valueOf(container, coding)));
    }
    return text;
}

// Where the padding of the first failing sample is set, or nothing when it is not.
static std::string paddingNote(const PlaneResult& plane, const PairLayout& pair)
{
    const bool inExpected = paddingSet(plane.firstExpected, pair.expectedCoding);
    const bool inActual = paddingSet(plane.firstActual, pair.actualCoding);
    if (!inExpected && !inActual) {
        return "";
    }
    return std::string(", padding in ") + (inExpected && inActual ? "both" : inExpected ? "EXPECTED" : "ACTUAL");
}

std::string floorText(int64_t floor)
{
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%02lld", static_cast<long long>(floor / 100),
                  static_cast<long long>(floor % 100));
    return text;
}

// "Y 128 differ, first at 96,64 expected 54 actual 4e, max 6, 55.53 dB", with -t
// "Y 12 beyond 1, ...", and ", PSNR below 38.00" for a plane under the floor; a plane with
// unknown samples says how many after its failing ones, which count them:
// "Y 12 differ, 4 unknown, first unknown at 36,5, first at ...".
static std::string planeText(const Plane& plane, const PlaneResult& result, const PairLayout& pair,
                             const Criteria& criteria)
{
    std::string text = std::string(1, plane.name) + " " + std::to_string(result.failing) +
                       (criteria.toleranceGiven ? " beyond " + std::to_string(criteria.tolerance) : " differ");
    if (result.unknown != 0) {
        text += ", " + std::to_string(result.unknown) + " unknown, first unknown at " +
                std::to_string(result.firstUnknownX) + "," + std::to_string(result.firstUnknownY);
    }
    if (result.firstX >= 0) {
        text += ", first at " + std::to_string(result.firstX) + "," + std::to_string(result.firstY) + " expected " +
                sampleText(result.firstExpected, pair.expectedCoding) + " actual " +
                sampleText(result.firstActual, pair.actualCoding) + paddingNote(result, pair);
    }
    if (result.largest != 0) {
        text += ", max " + std::to_string(result.largest);
    }
    text += ", " + psnrText(result.mse, pair.expectedCoding.depth) + " dB";
    if (result.belowFloor) {
        text += ", PSNR below " + floorText(criteria.psnrFloor);
    }
    return text;
}

// ", SSIM 0.987654", and ", SSIM below 0.95" for a plane under --ssim-min; for a plane
// too small for SSIM, what judges it in its place under --ssim-min.
static std::string ssimText(double ssim, bool belowMin, const Criteria& criteria)
{
    if (!criteria.ssim) {
        return "";
    }
    if (std::isnan(ssim)) {
        const std::string judged =
            criteria.toleranceGiven ? ": judged by -t " + std::to_string(criteria.tolerance) : ": judged exactly";
        return ", no SSIM (under 8x8)" + (criteria.ssimMin >= 0 ? judged : std::string());
    }
    char text[64];
    std::snprintf(text, sizeof text, ", SSIM %.6f", ssim);
    std::string report = text;
    if (belowMin) {
        std::snprintf(text, sizeof text, ", SSIM below %.6g", double(criteria.ssimMin) / ssimUnits);
        report += text;
    }
    return report;
}

// "1 byte", "4 bytes".
static std::string bytesText(int32_t bytes)
{
    return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

std::string frameLineText(const FrameResult& result, const PairLayout& pair, const Criteria& criteria)
{
    std::string line = "frame " + std::to_string(result.frame) + ":";
    for (int p = 0; p < pair.expected.planeCount; ++p) {
        const PlaneResult& plane = result.planes[p];
        const Criteria judged = criteriaOf(criteria, p);
        line += (p == 0 ? " " : "; ") + planeText(pair.expected.planes[p], plane, pair, judged) +
                ssimText(plane.ssim, plane.belowSsimMin, judged);
    }
    if (result.displaced) {
        const Displacement& found = result.displacement;
        line += std::string("; from ") + found.plane + " " + std::to_string(found.x) + "," + std::to_string(found.y) +
                " on, " + bytesText(found.bytes) + (found.lost ? " lost" : " extra") + ": ACTUAL is EXPECTED " +
                bytesText(found.bytes) + (found.lost ? " early" : " late");
    }
    return line;
}

void sayFrameLine(const FrameResult& result, const PairLayout& pair, const Criteria& criteria)
{
    say(frameLineText(result, pair, criteria) + "\n");
}

void sayFailingSample(const FailingSample& sample, const PairLayout& pair)
{
    say(std::to_string(sample.frame) + " " + sample.plane + " " + std::to_string(sample.x) + " " +
        std::to_string(sample.y) + " " + sampleText(sample.expected, pair.expectedCoding) + " " +
        sampleText(sample.actual, pair.actualCoding) + (sample.unknown ? " unknown\n" : "\n"));
}

void sayFinishedRuns(Diagnosis& diagnosis, const TextChoices& text)
{
    for (const DisplacementRun& run : diagnosis.finishedRuns) {
        if (text.quiet || text.listSamples) {
            continue;
        }
        const Displacement& d = run.first;
        say("frames " + std::to_string(d.frame) + "\u2013" + std::to_string(run.last) + ": " + bytesText(d.bytes) +
            (d.lost ? " lost" : " extra") + " at frame " + std::to_string(d.frame) + ", " + d.plane + " " +
            std::to_string(d.x) + "," + std::to_string(d.y) + "\n");
    }
    diagnosis.finishedRuns.clear();
}

void sayFrameShifts(std::vector<FrameShift>& unsaid, const TextChoices& text)
{
    for (const FrameShift& shift : unsaid) {
        if (text.quiet || text.listSamples) {
            continue;
        }
        const int32_t n = shift.frames < 0 ? -shift.frames : shift.frames;
        say("frames " + std::to_string(shift.frame) + "\u2013" + std::to_string(shift.last) + ": ACTUAL is EXPECTED " +
            (n == 1 ? "one frame " : "two frames ") + (shift.frames < 0 ? "early" : "late") + " from frame " +
            std::to_string(shift.frame) + " on: " + std::to_string(n) + (n == 1 ? " frame " : " frames ") + shift.kind +
            "\n");
    }
    unsaid.clear();
}

void reportAlignment(int64_t offset)
{
    if (offset == 0) {
        say("ACTUAL starts in step with EXPECTED\n");
        return;
    }
    const int64_t frames = offset < 0 ? -offset : offset;
    say("ACTUAL starts " + std::to_string(frames) + (frames == 1 ? " frame " : " frames ") +
        (offset > 0 ? "late" : "early") + "; compared from there\n");
}

// "1 frame", "2 frames".
static std::string framesText(int64_t count)
{
    return std::to_string(count) + (count == 1 ? " frame" : " frames");
}

// Reports lengths that differ and partial frames, their lines into `lines` even under -q;
// returns whether the ends differ.
bool reportEnds(const Options& options, const PairLayout& pair, const RunTally& tally, const Remainder rest[2],
                const Buffers& buffers, std::string& lines)
{
    const char* names[2] = {"EXPECTED", "ACTUAL"};
    const int64_t frames[2] = {tally.framesCompared + rest[0].wholeFrames, tally.framesCompared + rest[1].wholeFrames};
    const bool partialsAlike = frames[0] == frames[1] && rest[0].partialBytes == rest[1].partialBytes &&
                               (rest[0].partialBytes == 0 || pair.sameFormat) &&
                               std::memcmp(buffers.expected, buffers.actual, rest[0].partialBytes) == 0;
    if (frames[0] != frames[1]) {
        const int shorter = frames[0] < frames[1] ? 0 : 1;
        const int longer = 1 - shorter;
        lines += (std::string(names[shorter]) + " ends after " + framesText(frames[shorter]) + ", " + names[longer] +
                  " has " + (rest[longer].more ? std::string("more") : std::to_string(frames[longer])) + "\n");
    }
    for (int i = 0; i < 2; ++i) {
        if (rest[i].partialBytes != 0) {
            lines += (std::string(names[i]) + " ends with a partial frame " + std::to_string(frames[i]) + " of " +
                      std::to_string(rest[i].partialBytes) + " bytes" +
                      (partialsAlike && i == 1 ? ", alike in both" : "") + "\n");
        }
    }
    if (!options.text.quiet) {
        say(lines);
    }
    return !partialsAlike;
}

std::string criteriaText(const Options& options)
{
    if (options.criteria.perPlane) {
        static const char* const flags[3] = {"-t ", "-p ", "--ssim-min "};
        std::string given;
        for (size_t k = 0; k < 3; ++k) {
            if (options.given[k].given) {
                given += (given.empty() ? "" : " ") + (flags[k] + options.given[k].text);
            }
        }
        return given;
    }
    std::string text;
    if (options.criteria.toleranceGiven) {
        text += "-t " + std::to_string(options.criteria.tolerance);
    }
    if (options.criteria.psnrFloor >= 0) {
        text += std::string(text.empty() ? "" : " ") + "-p " + floorText(options.criteria.psnrFloor);
    }
    if (options.criteria.ssimMin >= 0) {
        char ssim[32];
        std::snprintf(ssim, sizeof ssim, "%.6g", double(options.criteria.ssimMin) / ssimUnits);
        text += std::string(text.empty() ? "" : " ") + "--ssim-min " + ssim;
    }
    return text;
}

// ", SSIM lowest 0.981234 at frame 3, average 0.993210" for a plane with SSIM.
static std::string ssimSummary(const PlaneWorst& worst)
{
    if (worst.lowestSsimFrame < 0) {
        return "";
    }
    char text[96];
    std::snprintf(text, sizeof text, ", SSIM lowest %.6f at frame %lld, average %.6f", worst.lowestSsim,
                  static_cast<long long>(worst.lowestSsimFrame), worst.ssimSum / double(worst.ssimFrames));
    return text;
}

// "; Y lowest 35.53 dB at frame 12, max 6 at frame 12, average 48.20 dB" for each plane,
// "; U inf dB" for a plane equal in every frame.
static std::string worstText(const PairLayout& pair, const RunTally& tally)
{
    std::string text;
    const int32_t depth = pair.expectedCoding.depth;
    for (int p = 0; p < pair.expected.planeCount; ++p) {
        const PlaneWorst& worst = tally.worst[p];
        text += std::string("; ") + pair.expected.planes[p].name;
        if (worst.highestMse == 0) {
            text += " inf dB" + ssimSummary(worst);
            continue;
        }
        text += " lowest " + psnrText(worst.highestMse, depth) + " dB at frame " +
                std::to_string(worst.highestMseFrame) + ", max " + std::to_string(worst.largest) + " at frame " +
                std::to_string(worst.largestFrame) + ", average " +
                psnrText(worst.mseSum / double(tally.framesCompared), depth) + " dB" + ssimSummary(worst);
    }
    return text;
}

std::string summaryText(const Options& options, const PairLayout& pair, const RunTally& tally, bool endsDiffer)
{
    if (tally.stopped) {
        // -n: how many frames the files hold is not known, only where the run stopped.
        return ("stopped after " + std::to_string(tally.framesFailing) +
                (tally.framesFailing == 1 ? " failing frame" : " failing frames") + ", at frame " +
                std::to_string(tally.lastFailing) +
                (tally.framesFailing > 1 ? ", first at frame " + std::to_string(tally.firstFailing) : "") +
                worstText(pair, tally));
    }
    if (tally.framesFailing != 0) {
        return (std::to_string(tally.framesFailing) + " of " + std::to_string(tally.framesCompared) +
                " frames fail, first at frame " + std::to_string(tally.firstFailing) + worstText(pair, tally));
    }
    if (tally.framesDiffering != 0) {
        const std::string passed = endsDiffer ? "first " + framesText(tally.framesCompared) + " pass, "
                                              : "pass: " + framesText(tally.framesCompared) + ", ";
        return (passed + std::to_string(tally.framesDiffering) + " differ within " + criteriaText(options) +
                (endsDiffer ? ", lengths differ" : "") + worstText(pair, tally));
    }
    if (endsDiffer) {
        return "first " + framesText(tally.framesCompared) + " identical, lengths differ";
    }
    return "identical: " + framesText(tally.framesCompared);
}

// A --skip that leaves a file no frame to compare: said, and the run fails, so that a typo
// does not pass as identical.
bool reportNothingLeft(const Options& options, const RunTally& tally, const Remainder rest[2], std::string& lines)
{
    if (!options.skipGiven || tally.framesCompared != 0) {
        return false;
    }
    const char* names[2] = {"EXPECTED", "ACTUAL"};
    bool nothing = false;
    for (int i = 0; i < 2; ++i) {
        if (rest[i].wholeFrames == 0) {
            nothing = true;
            const std::string line =
                std::string(names[i]) + " has no frame left after skipping " + framesText(options.skip[i]) + "\n";
            lines += line;
            if (!options.text.quiet) {
                say(line);
            }
        }
    }
    return nothing;
}

// Whether neither file holds a whole frame, and one holds a part of one.
bool noWholeFrame(const RunTally& tally, const Remainder rest[2])
{
    return tally.framesCompared == 0 && rest[0].wholeFrames == 0 && rest[1].wholeFrames == 0 &&
           rest[0].partialBytes + rest[1].partialBytes != 0;
}

// The bytes of a file frame: "192", or "192 in EXPECTED, 256 in ACTUAL" when they differ.
static std::string framesBytesText(const PairLayout& pair)
{
    std::string expected = std::to_string(pair.expected.fileFrameSize);
    if (pair.expected.fileFrameSize == pair.actual.fileFrameSize) {
        return expected;
    }
    return expected + " in EXPECTED, " + std::to_string(pair.actual.fileFrameSize) + " in ACTUAL";
}

// "no whole frame: EXPECTED has 100 bytes, ACTUAL 100, a frame is 192"; returns whether the
// two parts differ (parts of two formats cannot be compared, and differ).
bool reportNoWholeFrame(const Options& options, const PairLayout& pair, const Remainder rest[2], const Buffers& buffers,
                        std::string& lines)
{
    const size_t bytes = rest[0].partialBytes;
    const bool alike =
        bytes == rest[1].partialBytes && pair.sameFormat && std::memcmp(buffers.expected, buffers.actual, bytes) == 0;
    lines += "no whole frame: EXPECTED has " + std::to_string(bytes) + " bytes, ACTUAL " +
             std::to_string(rest[1].partialBytes) + ", a frame is " + framesBytesText(pair) + "\n";
    if (!options.text.quiet) {
        say(lines);
    }
    return !alike;
}

// Why --picture-frame drew nothing: its frame is skipped, or past the end of the file that
// ends first (frames numbered as in the report); empty when the picture was drawn.
std::string undrawnFrameText(const Options& options, const RunTally& tally, int64_t firstFrame, const Remainder rest[2])
{
    if (options.pictureFrame < 0 || tally.pictureWritten) {
        return "";
    }
    const std::string frame = std::to_string(options.pictureFrame);
    if (options.pictureFrame < firstFrame) {
        return "frame " + frame + " is skipped";
    }
    const int64_t frames[2] = {firstFrame + tally.framesCompared + rest[0].wholeFrames,
                               firstFrame + tally.framesCompared + rest[1].wholeFrames};
    const int shorter = rest[0].more || (!rest[1].more && frames[1] < frames[0]) ? 1 : 0;
    return "no frame " + frame + ": " + (shorter == 0 ? "EXPECTED" : "ACTUAL") + " has " +
           std::to_string(frames[shorter]);
}

void sayTenBitNote()
{
    std::fflush(stdout);
    std::fprintf(stderr, "framecmp: every second byte is below 4, as in 10-bit little-endian samples: for 10-bit "
                         "frames give -f yuv420p10le (or the format)\n");
}

// The notes on a picture not drawn, and the text report flushed. A --picture-frame that
// drew nothing is said even under -q: the status does not tell it.
void finishOutput(const Options& options, const RunTally& tally, const std::string& undrawn)
{
    if (options.picturePath != nullptr && options.pictureFrame < 0 && !tally.pictureWritten && !options.text.quiet) {
        std::fprintf(stderr, "framecmp: %s: no frame fails, no picture written\n", options.picturePath);
    }
    if (!undrawn.empty()) {
        std::fprintf(stderr, "framecmp: --picture-frame=%lld: %s; no picture written\n",
                     static_cast<long long>(options.pictureFrame), undrawn.c_str());
    }
    finishStandardOutput();
}

} // namespace framecmp
