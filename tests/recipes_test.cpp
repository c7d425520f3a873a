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

// Hostile runs: an input that never ends, standard output fed back into the input, a reader
// that goes away, a file-size limit, a full disk, a picture path that is an input or a
// device. Each script prints the status and the state of the files it cares about; the
// programs are $1 traceframes, $2 planepack, $3 framecmp, $4 tracegen, and $sanitized is 1
// in the sanitizer build. A script that needs what this machine lacks prints "skip", or
// "skip: " and why.
struct Fault {
    const char* name;
    std::string script;
    std::string expected; // what the script prints
};

const std::string twoFrames = "printf 'abcdefghijklmnopqrstuvwx' > a.yuv; printf 'ABCDEFGHIJKLMNOPQRSTUVWX' > b.yuv\n"
                              "cp a.yuv a.orig\n";
// 5000 frames of one row each on a 4x4 luma-only bus, a comment line before every row.
const std::string commentedTrace = "for i in $(seq 5000); do echo \"# comment line $i of a long trace\"; "
                                   "echo '00 01 02 03'; echo '04 05 06 07'; echo '08 09 0a 0b'; "
                                   "echo '0c 0d 0e 0f'; done > sp_w4_4_400_32.txt\n";

// clang-format off
const Fault faults[] = {
    {"PictureOverStandardInput", twoFrames +
     "\"$3\" -s 2x2 -i a.yuv - b.yuv < a.yuv 2>/dev/null; echo \"status $?\"\n"
     "cmp -s a.yuv a.orig && echo 'a.yuv kept'",
     "status 2\na.yuv kept\n"},
    {"FailedPictureKeepsTheDevice", twoFrames +
     "ln -s /dev/full pic.png\n"
     "\"$3\" -q -s 2x2 -i pic.png a.yuv b.yuv 2>/dev/null; echo \"status $?\"\n"
     "[ -L pic.png ] && echo 'link kept'; ls | wc -l",
     "status 2\nlink kept\n4\n"},
    {"FailedPictureKeepsTheOldPicture", twoFrames +
     "echo old > pic.png\n"
     "(ulimit -f 0; \"$3\" -s 2x2 -i pic.png a.yuv b.yuv 2>/dev/null); echo \"status $?\"\n"
     "cat pic.png; ls | wc -l",
     "status 2\nold\n4\n"},
    {"PictureWritten", twoFrames +
     "echo old > pic.png; chmod 640 pic.png\n"
     "\"$3\" -q -s 2x2 -i pic.png a.yuv b.yuv; echo \"status $?\"\n"
     "head -c 4 pic.png | tail -c 3; echo; stat -c %a pic.png; ls | wc -l",
     "status 1\nPNG\n640\n4\n"},
    {"EndlessActual",
     "head -c 12 /dev/zero > z.yuv\n"
     "\"$3\" -q -s 2x2 z.yuv /dev/zero; echo \"status $?\"\n"
     "\"$3\" -s 2x2 z.yuv /dev/zero; echo \"status $?\"\n"
     "cat /dev/zero | \"$3\" -s 2x2 - z.yuv; echo \"status $?\"",
     "status 1\nEXPECTED ends after 2 frames, ACTUAL has more\nfirst 2 frames identical, lengths differ\nstatus 1\n"
     "ACTUAL ends after 2 frames, EXPECTED has more\nfirst 2 frames identical, lengths differ\nstatus 1\n"},
    {"ExactLengthOneFramePast",
     "head -c 12 /dev/zero > z.yuv; head -c 18 /dev/zero > z3.yuv; head -c 19 /dev/zero > z4.yuv\n"
     "\"$3\" -s 2x2 z.yuv z3.yuv; \"$3\" -s 2x2 z4.yuv z.yuv; echo \"status $?\"",
     "EXPECTED ends after 2 frames, ACTUAL has 3\nfirst 2 frames identical, lengths differ\n"
     "ACTUAL ends after 2 frames, EXPECTED has more\nfirst 2 frames identical, lengths differ\nstatus 1\n"},
    {"TracegenOutputIntoItsInput",
     "\"$4\" -r -n 3 64 64 c.yuv && cp c.yuv c.orig\n"
     "\"$4\" -r -i c.yuv 64 64 - >> c.yuv 2>/dev/null; echo \"status $?\"\n"
     "cmp -s c.yuv c.orig && echo 'c.yuv kept'",
     "status 2\nc.yuv kept\n"},
    {"TraceframesReportIntoItsInput",
     "printf '# one\\n00 01 02 03\\n04 05 06 07\\na0 b0 a1 b1\\n' > t_w4_2_420_32.txt; cp t_w4_2_420_32.txt t.orig\n"
     "\"$1\" t_w4_2_420_32.txt >> t_w4_2_420_32.txt 2>err; echo \"status $?\"; cat err\n"
     "cmp -s t_w4_2_420_32.txt t.orig && echo 'trace kept'; [ -e t_w4_2_420_32.yuv ] || echo 'no frame file'",
     "status 12\noutput file is the input file!\ntrace kept\nno frame file\n"},
    {"TraceframesReportReaderGoesAway", commentedTrace +
     "\"$1\" -O sp.yuv sp_w4_4_400_32.txt 2>err | head -1; echo \"status ${PIPESTATUS[0]}\"; cat err\n"
     "stat -c %s sp.yuv",
     "use input file 'sp_w4_4_400_32.txt'\nstatus 14\nerror writing standard output!\n80000\n"},
    {"FramecmpReportReaderGoesAway",
     "\"$3\" -l -s 64x64 /dev/urandom /dev/zero 2>err | head -1 > /dev/null; echo \"status ${PIPESTATUS[0]}\"\n"
     "wc -c < err",
     "status 2\n0\n"},
    {"TracegenReaderGoesAway",
     "\"$4\" -n 1000 64 64 - 2>err | head -c 10 > /dev/null; echo \"status ${PIPESTATUS[0]}\"; wc -c < err",
     "status 2\n0\n"},
    {"FileSizeLimitKeepsWholeFrames",
     "for i in $(seq 400); do echo '00 01 02 03'; done > s_w8_3_420_32.txt\n"
     "(ulimit -f 1; \"$1\" -O s.yuv s_w8_3_420_32.txt > /dev/null 2>&1); echo \"traceframes $? $(stat -c %s s.yuv)\"\n"
     "head -c 4000 /dev/zero > p.yuv\n"
     "(ulimit -f 1; \"$2\" p.yuv pp.yuv 6 2 0 > /dev/null); echo \"planepack $? $(stat -c %s pp.yuv)\"\n"
     "(ulimit -f 20; \"$4\" -r -n 30 64 64 r.yuv 2>/dev/null); echo \"tracegen $? $(stat -c %s r.yuv)\"\n"
     "(ulimit -f 20; \"$4\" -n 30 64 64 r_w64_64_420_32.txt 2>/dev/null); echo \"tracegen $?\"\n"
     "\"$1\" -O /dev/null r_w64_64_420_32.txt 2>&1 | tail -1",
     "traceframes 11 1008\nplanepack 255 1008\ntracegen 2 18432\ntracegen 2\nWrote 1 frames\n"},
    {"TracegenFullDiskKeepsWholeFrames",
     "[ \"$(id -u)\" = 0 ] && mkdir full && mount -t tmpfs -o size=64k tmpfs full 2>/dev/null || { echo skip; exit; }\n"
     "\"$4\" -r -n 30 64 64 full/r.yuv 2>/dev/null; echo \"status $? $(stat -c %s full/r.yuv)\"; umount full",
     "status 2 61440\n"},
    {"HelpAndVersionToAFullDisk",
     "for p in \"$3\" \"$4\"; do for o in --help --version; do \"$p\" $o > /dev/full 2>/dev/null; echo $?; done; done",
     "2\n2\n2\n2\n"},
    // framecmp's memory follows what it reads: 576 bytes of a 46340x46340 frame run under a
    // 200 MB limit; running out is one message, status 2, and no report or temporary left.
    {"FramecmpMemoryFollowsWhatIsRead",
     "[ -n \"$sanitized\" ] && { echo 'skip: the sanitizers reserve more address space than ulimit -v leaves'; exit; }\n"
     "head -c 576 /dev/zero | (ulimit -v 200000; \"$3\" --align=5 -s 46340x46340 -f gray - /dev/null); echo \"status $?\"\n"
     "head -c 300000000 /dev/zero | (ulimit -v 250000; \"$3\" --align=5 -s 20000x20000 -f gray --json r.json - /dev/null 2>&1)\n"
     "echo \"status $?\"; ls | wc -l",
     "ACTUAL starts in step with EXPECTED\nno whole frame: EXPECTED has 576 bytes, ACTUAL 0, a frame is 2147395600\n"
     "status 1\nframecmp: memory: cannot allocate 268435456 bytes\nstatus 2\n0\n"},
    {"FramecmpMessages",
     "printf 'abcdefghij' > a.yuv; printf 'abcdefghiX' > b.yuv\n"
     "\"$3\" -s 4x4 -f gray a.yuv b.yuv; echo \"status $?\"; \"$3\" -s 4x4 -f gray a.yuv a.yuv; echo \"status $?\"\n"
     "\"$3\" -q -l -s 4x4 -f gray a.yuv a.yuv 2>&1 | head -1; echo \"status ${PIPESTATUS[0]}\"\n"
     "\"$3\" -f gray:8m -s 4x4 a.yuv a.yuv 2>&1 | head -1 | grep -o 'with DEPTH.*'\n"
     "head -c 64 /dev/zero > z.yuv; { head -c 63 /dev/zero; printf '\\001'; } > y.yuv\n"
     "\"$3\" -s 8x8 -f gray --ssim-min 0.5 z.yuv y.yuv; echo \"status $?\"",
     "no whole frame: EXPECTED has 10 bytes, ACTUAL 10, a frame is 16\nstatus 1\n"
     "no whole frame: EXPECTED has 10 bytes, ACTUAL 10, a frame is 16\nstatus 0\n"
     "framecmp: -q -l: -q prints nothing and -l lists every failing sample; give one\nstatus 2\n"
     "with DEPTH 8 to 16, 9 to 16 for m\n"
     "pass: 1 frame, 1 differ within --ssim-min 0.5; Y lowest 66.19 dB at frame 0, max 1 at frame 0, "
     "average 66.19 dB, SSIM lowest 0.997336 at frame 0, average 0.997336\nstatus 0\n"},
    // The CSV's verdict a plane (with -p alone, failing still counts the samples that differ),
    // and the SSIM summary of the JSON and the text.
    {"FramecmpVerdictsAndSsimSummary",
     "head -c 64 /dev/zero > z.yuv; { head -c 63 /dev/zero; printf '\\001'; } > y.yuv\n"
     "{ head -c 9 /dev/zero; printf '\\310'; head -c 54 /dev/zero; } > x.yuv; cat z.yuv z.yuv > e.yuv; cat y.yuv x.yuv > a.yuv\n"
     "\"$3\" -s 8x8 -f gray -p 40 --ssim --csv - e.yuv a.yuv | cut -d, -f1-3,8-\n"
     "\"$3\" -s 8x8 -f gray -p 40 --ssim --json - e.yuv a.yuv | grep '\"ssim_[la]'\n"
     "\"$3\" -s 8x8 -f gray -p 40 --ssim e.yuv a.yuv | tail -1",
     "frame,plane,failing,first_x,first_y,pass\n0,Y,1,7,7,1\n1,Y,1,1,1,0\n"
     "  \"ssim_lowest\": {\"Y\": {\"value\": 0.000881, \"frame\": 1}},\n  \"ssim_average\": {\"Y\": 0.499108}}}\n"
     "1 of 2 frames fail, first at frame 1; Y lowest 20.17 dB at frame 1, max 200 at frame 1, average 23.18 dB, "
     "SSIM lowest 0.000881 at frame 1, average 0.499108\n"},
};
// clang-format on

void PrintTo(const Fault& fault, std::ostream* out)
{
    *out << fault.name;
}

class Faults : public testing::TestWithParam<Fault> {};

TEST_P(Faults, NothingLostNothingHangs)
{
    const Fault& fault = GetParam();
    const std::string bash = findProgram("bash");
    const std::string timeout = findProgram("timeout");
    if (bash.empty() || timeout.empty()) {
        GTEST_SKIP() << "bash or timeout is not installed";
    }
    Scratch scratch;
    const std::string script = std::string(sanitizedBuild() ? "sanitized=1\n" : "sanitized=\n") + fault.script;
    const RunResult result = scratch.run(timeout, {"-k", "5", "30", bash, "-c", script, "bash", traceframes,
                                                   PLANEPACK_BIN, FRAMECMP_BIN, tracegen});
    if (result.out == "skip\n") {
        GTEST_SKIP() << "needs root and a tmpfs";
    }
    if (result.out.rfind("skip: ", 0) == 0) {
        GTEST_SKIP() << result.out.substr(6);
    }
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, fault.expected) << result.err;
}

INSTANTIATE_TEST_SUITE_P(Hostile, Faults, testing::ValuesIn(faults),
                         [](const testing::TestParamInfo<Fault>& param) { return std::string(param.param.name); });

} // namespace
