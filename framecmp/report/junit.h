// The JUnit XML file of --junit: the run as one test case that CI dashboards show, failing
// frames as test cases of their own with --junit-frames.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/safeoutput.h"

namespace framecmp {

// A failing frame's test case: "frame 12" and its line.
struct JunitFrame {
    int64_t frame;
    std::string line;
};

// What the file says of a run.
struct JunitRun {
    std::string actualPath;
    double seconds;
    std::string failureMessage; // the first failing frame's line, else the length line; "" on a pass
    std::string failureText;    // the summary
    std::string errorMessage;   // trouble, as said on standard error; "" without
    std::vector<std::pair<std::string, std::string>> properties;
    std::vector<std::string> attachments; // the report files written
    std::vector<JunitFrame> frames;       // --junit-frames: at most junitFramesMax
    int64_t moreFrames;                   // failing frames past those
};

// The failing frames --junit-frames gives a test case each; one more says how many follow.
constexpr size_t junitFramesMax = 1000;

// The document, from the XML declaration to its last line.
std::string junitXml(const JunitRun& run);

// Writes `xml` to `path` through a SafeOutput, complete but held under its temporary name
// until placed.
SafeOutput writeJunit(const char* path, const std::string& xml);

} // namespace framecmp
