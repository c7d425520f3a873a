// The README's shell recipes, run as a user would type them: frames through a process
// substitution, a compressed trace through a named pipe, many traces at once. Each must give
// the frames of a plain run. A recipe whose tools are missing is skipped; `timeout` ends any
// that would block, so a pipe nobody opens fails the test instead of hanging it.
#include <gtest/gtest.h>

#include "support.h"

namespace {

const std::string traceframes = TRACEFRAMES_BIN;
const std::string tracegen = TRACEGEN_BIN;
const std::string trace = "clip_w176_144_420_32.txt";

// The full path of `name` on PATH, or "" when it is not there.
std::string findProgram(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

struct Recipe {
    const char* name;
    std::vector<std::string> tools;   // besides bash and timeout
    std::string script;               // run by bash in the scratch directory, traceframes as $1
    std::vector<std::string> outputs; // each must hold the frames of the plain run
};

// clang-format off
const Recipe recipes[] = {
    {"ProcessSubstitution", {"cat"},
     // `wait $!` waits for the process substitution, so the file is whole.
     "\"$1\" -P -O >(cat > piped.yuv) " + trace + "; wait $!", {"piped.yuv"}},
    {"GzipThroughNamedPipe", {"gzip", "mkfifo"},
     "gzip -c " + trace + " > clip.txt.gz && mkdir fifo && mkfifo fifo/" + trace + "\n"
     "gzip -dc clip.txt.gz > fifo/" + trace + " &\n"
     "\"$1\" -P -O fifo.yuv fifo/" + trace + "\nstatus=$?; wait $! && rm fifo/" + trace + " && exit $status",
     {"fifo.yuv"}},
    {"ZstdThroughNamedPipe", {"zstd", "mkfifo"},
     "zstd -q -c " + trace + " > clip.txt.zst && mkdir fifo && mkfifo fifo/" + trace + "\n"
     "zstd -dc clip.txt.zst > fifo/" + trace + " &\n"
     "\"$1\" -P -O fifo.yuv fifo/" + trace + "\nstatus=$?; wait $! && rm fifo/" + trace + " && exit $status",
     {"fifo.yuv"}},
    // A %h dump of little-endian words holds each row's bytes in reverse order, without blanks:
    // awk writes one, and the README's sed line puts the bytes back.
    {"ReorderLittleEndianWords", {"awk", "sed"},
     "awk '/^#/ { print; next } { print $4 $3 $2 $1 }' " + trace + " > words.txt\n"
     "mkdir fixed && sed -E '/^#/!s/^(..)(..)(..)(..)$/\\4\\3\\2\\1/' words.txt > fixed/" + trace + "\n"
     "\"$1\" -P -O fixed.yuv fixed/" + trace,
     {"fixed.yuv"}},
    {"ManyTracesWithXargs", {"xargs", "mkdir", "cp"},
     "mkdir traces && for n in a b c; do cp " + trace + " traces/${n}_w176_144_420_32.txt; done\n"
     "printf '%s\\0' traces/*.txt | xargs -0 -P 2 -n 1 \"$1\" -P",
     {"traces/a_w176_144_420_32.yuv", "traces/b_w176_144_420_32.yuv", "traces/c_w176_144_420_32.yuv"}},
};
// clang-format on

void PrintTo(const Recipe& recipe, std::ostream* out)
{
    *out << recipe.name;
}

class Recipes : public testing::TestWithParam<Recipe> {};

TEST_P(Recipes, GiveTheFramesOfAPlainRun)
{
    const Recipe& recipe = GetParam();
    const std::string bash = findProgram("bash");
    const std::string timeout = findProgram("timeout");
    for (const std::string& tool : recipe.tools) {
        if (findProgram(tool).empty()) {
            GTEST_SKIP() << tool << " is not installed";
        }
    }
    if (bash.empty() || timeout.empty()) {
        GTEST_SKIP() << "bash or timeout is not installed";
    }
    Scratch scratch;
    ASSERT_EQ(scratch.run(tracegen, {"-n", "3", "176", "144", trace}).status, 0);
    ASSERT_EQ(scratch.run(traceframes, {"-P", "-O", "plain.yuv", trace}).status, 0);
    const std::string plain = scratch.read("plain.yuv");
    ASSERT_EQ(plain.size(), 3U * 38016U);
    RunOptions oneLog;
    oneLog.mergeErrIntoOut = true;
    const RunResult result =
        scratch.run(timeout, {"-k", "5", "60", bash, "-c", recipe.script, "bash", traceframes}, oneLog);
    EXPECT_EQ(result.status, 0) << result.out;
    for (const std::string& output : recipe.outputs) {
        EXPECT_TRUE(scratch.read(output) == plain) << output << " differs from the plain run";
    }
}

INSTANTIATE_TEST_SUITE_P(Readme, Recipes, testing::ValuesIn(recipes),
                         [](const testing::TestParamInfo<Recipe>& param) { return std::string(param.param.name); });

} // namespace
