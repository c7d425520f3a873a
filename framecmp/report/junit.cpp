#include "framecmp/report/junit.h"

#include <cstdio>

#include "common/messages.h"
#include "framecmp/report/escape.h"

namespace framecmp {

namespace {

std::string attribute(const char* name, const std::string& value)
{
    return std::string(" ") + name + "=\"" + xmlEscaped(value, true) + "\"";
}

std::string secondsText(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds);
    return text;
}

// One test case, failing with `message` when that is not empty.
std::string testcase(const std::string& name, double seconds, const std::string& message, const std::string& text)
{
    std::string xml = "    <testcase" + attribute("classname", "framecmp") + attribute("name", name) +
                      attribute("time", secondsText(seconds));
    if (message.empty()) {
        return xml + "/>\n";
    }
    return xml + ">\n      <failure" + attribute("message", message) + ">" + xmlEscaped(text, false) +
           "</failure>\n    </testcase>\n";
}

} // namespace

std::string junitXml(const JunitRun& run)
{
    const bool error = !run.errorMessage.empty();
    const bool failed = !error && !run.failureMessage.empty();
    std::string cases = "    <testcase" + attribute("classname", "framecmp") + attribute("name", run.actualPath) +
                        attribute("time", secondsText(run.seconds)) + ">\n";
    if (error) {
        cases += "      <error" + attribute("message", run.errorMessage) + "/>\n";
    } else if (failed) {
        cases += "      <failure" + attribute("message", run.failureMessage) + ">" +
                 xmlEscaped(run.failureText, false) + "</failure>\n";
    }
    if (!run.attachments.empty()) {
        cases += "      <system-out>";
        for (const std::string& path : run.attachments) {
            cases += xmlEscaped("[[ATTACHMENT|" + path + "]]\n", false);
        }
        cases += "</system-out>\n";
    }
    cases += "    </testcase>\n";
    int64_t tests = 1;
    int64_t failures = failed ? 1 : 0;
    for (const JunitFrame& frame : run.frames) {
        cases += testcase("frame " + std::to_string(frame.frame), 0, frame.line, frame.line);
        ++tests;
        ++failures;
    }
    if (run.moreFrames > 0) {
        const std::string more = std::to_string(run.moreFrames) + " more failing frames";
        cases += testcase(more, 0, more, more);
        ++tests;
        ++failures;
    }
    std::string properties = "    <properties>\n";
    for (const auto& [name, value] : run.properties) {
        properties += "      <property" + attribute("name", name) + attribute("value", value) + "/>\n";
    }
    properties += "    </properties>\n";
    const std::string counts = attribute("tests", std::to_string(tests)) +
                               attribute("failures", std::to_string(failures)) +
                               attribute("errors", error ? "1" : "0") + attribute("time", secondsText(run.seconds));
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites" + counts + ">\n  <testsuite" +
           attribute("name", "framecmp") + counts + ">\n" + (run.properties.empty() ? "" : properties) + cases +
           "  </testsuite>\n</testsuites>\n";
}

SafeOutput writeJunit(const char* path, const std::string& xml)
{
    SafeOutput out = openSafeOutput(path);
    if (std::fputs(xml.c_str(), out.file) == EOF) {
        failSystem(out.path, "cannot write");
    }
    completeSafeOutput(out, "cannot write the JUnit file");
    return out;
}

} // namespace framecmp
