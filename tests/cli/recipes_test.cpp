// The README's shell recipes, run as a user would type them: frames through a process
// substitution, a compressed trace through a named pipe, many traces at once. Each must give
// the frames of a plain run. A recipe whose tools are missing is skipped; `timeout` ends any
// that would block, so a pipe nobody opens fails the test instead of hanging it.
#include <gtest/gtest.h>

#include "support/scratch.h"

namespace {

const std::string traceframes = programPath(TRACEFRAMES_BIN);
const std::string tracegen = programPath(TRACEGEN_BIN);
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
    // awk writes one, and -E with -G reads it as it stands, as the README shows.
    {"ReorderLittleEndianWords", {"awk"},
     "awk '/^#/ { print; next } { print $4 $3 $2 $1 }' " + trace + " > words.txt\n"
     "\"$1\" -E -P -G 176x144:420:32 -O words.yuv words.txt",
     {"words.yuv"}},
    // The CI command of README.md as it stands there, framecmp found on PATH: the names
    // alone give the geometry, as raw viewers name files.
    {"ReportsForCi", {"sed", "cp"},
     "\"$1\" -P -O golden_176x144_yuv420p.yuv " + trace + " && cp golden_176x144_yuv420p.yuv out_176x144_yuv420p.yuv\n"
     "sed -n '/^## Reports for CI/,/^```$/p' '" PROJECT_ROOT "/README.md' | sed '1,/^```sh$/d; /^```$/d' > ci.sh\n"
     "PATH=\"$(dirname \"$1\"):$PATH\" bash -e ci.sh && [ \"$(cat cmp.status)\" = 0 ] && [ -s cmp.json ]",
     {"out_176x144_yuv420p.yuv"}},
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
// device, outputs aimed at one file, links, permissions, signals. Each script prints the
// status and the state of the files it cares about; the programs are $1 traceframes, $2
// planepack, $3 framecmp, $4 tracegen, and $5 is "sanitized" in the sanitizer build, "plain"
// otherwise. A script that needs what this machine or build lacks prints "skip" (root and a
// tmpfs) or "skip: " and the reason.
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
    // A stream of beats at a file-size limit: its comments and its whole frames, 16 beats each.
    {"TracegenStreamKeepsWholeFrames",
     "(ulimit -f 1; \"$4\" -A yuv422:10:2 -K -n 9 8 4 s.txt 2>/dev/null); "
     "echo \"tracegen $? $(grep -c '^#' s.txt) $(grep -vc '^#' s.txt) $(tail -1 s.txt | cut -d' ' -f6-)\"",
     "tracegen 2 2 32 0 1\n"},
    // A word printed without its leading zeros (%0h) is one number with -E; a longer run is
    // malformed.
    {"TraceframesWordWithoutLeadingZeros",
     "printf '3ff0040\\n 40 \\r\\n' > w.txt; printf '103ff0040\\n' > long.txt\n"
     "\"$1\" -E -G 4x2:400:32 -O w.yuv w.txt > /dev/null; echo \"status $?\"; od -An -tx1 w.yuv\n"
     "\"$1\" -E -G 4x1:400:32 -O long.yuv long.txt 2>&1 > /dev/null; echo \"status $?\"",
     "status 0\n 40 00 ff 03 40 00 00 00\nmalformed row: 0\nstatus 9\n"},
    // A mask that cannot be written, or reaches a file-size limit: the frames and the mask are
    // cut back together to the frames completed in both.
    {"TraceframesMaskKeepsWholeFramesWithTheOutput",
     "for i in $(seq 400); do echo '00 01 02 0x'; done > s.txt\n"
     "\"$1\" -G 8x3:420:32 -X /dev/full -O s.yuv s.txt > /dev/null 2>err; echo \"status $? $(stat -c %s s.yuv)\"; cat err\n"
     "(ulimit -f 1; \"$1\" -G 8x3:420:32 -X m.yuv -O s.yuv s.txt > /dev/null 2>&1); "
     "echo \"limit $? $(stat -c %s s.yuv) $(stat -c %s m.yuv)\"; od -An -tx1 -N4 m.yuv",
     "status 11 0\nerror writing mask file!\nlimit 11 1008 1008\n 00 00 00 0f\n"},
    // -PE and -EP would each drop one of the two options: they are refused, before any file.
    {"TraceframesCombinedOptionsRefused",
     "for o in -PE -EP; do \"$1\" $o -G 4x2:400:32 -O o.yuv w.txt 2>&1; echo \"status $?\"; done\n"
     "[ -e o.yuv ] || echo 'no frame file'",
     "unrecognized option: -PE\nstatus 1\nunrecognized option: -EP\nstatus 1\nno frame file\n"},
    // With -G, a frame that rows cannot fill is refused before the output is opened and emptied.
    {"TraceframesMisalignedGeometryKeepsTheOutput",
     "echo data > o.yuv; \"$1\" -G 2x2:420:32 -O o.yuv missing.txt 2>&1; echo \"status $?\"; cat o.yuv",
     "frame size is not a multiple of the bus width!\nstatus 13\ndata\n"},
    // tracegen refuses the traces traceframes -G (same -D) refuses with 8 or 13, and nothing
    // else; raw frames are held to framecmp's limit instead.
    {"TracegenRefusesWhatTraceframesRefuses",
     ": > e.txt\n"
     "for g in 32768x32768:400:64:8 16384x16384:422:32:10 23170x23170:400:32:10 \\\n"
     "         3x3:420:32:8 4x3:420:64:8 2x2:420:32:8 2x2:420:32:16; do\n"
     "  IFS=: read -r size s b d <<< \"$g\"\n"
     "  \"$4\" -s $s -b $b -D $d -n 0 -c 0 ${size%x*} ${size#*x} t.txt 2>/dev/null; t=$?\n"
     "  \"$1\" -D $d -G $size:$s:$b -O /dev/null e.txt > /dev/null 2>&1; echo \"$g $t $?\"\n"
     "done\n"
     "\"$4\" -s 400 -n 0 32768 32768 t.txt 2>&1; \"$4\" -r -s 400 -n 0 32768 32768 r.yuv; echo \"raw $?\"\n"
     "\"$4\" -r -n 0 65536 32768 r.yuv 2>&1; echo \"raw $?\"",
     "32768x32768:400:64:8 2 8\n16384x16384:422:32:10 2 8\n23170x23170:400:32:10 0 0\n"
     "3x3:420:32:8 2 13\n4x3:420:64:8 2 13\n2x2:420:32:8 2 13\n2x2:420:32:16 0 0\n"
     "tracegen: geometry: 32768x32768 YUV400 on a 32-bit bus: a frame over 1073741823 bytes, the largest "
     "traceframes reads\nraw 0\n"
     "tracegen: geometry: 65536x32768 YUV420: a frame over 2147483647 bytes, the largest framecmp reads\nraw 2\n"},
    // Out of memory, each program ends with its own failure and leaves no frame or file of its
    // own making but traceframes' empty output, which it opens before it allocates.
    {"OutOfMemoryEndsCleanly",
     "[ \"$5\" = sanitized ] && { echo 'skip: the sanitizers reserve more address space than ulimit -v leaves'; exit; }\n"
     ": > e.txt; head -c 100 /dev/zero > p.yuv\n"
     "(ulimit -v 200000\n"
     " \"$1\" -G 16384x16384:420:32 -O o.yuv e.txt > /dev/null; echo \"traceframes $? $(stat -c %s o.yuv)\"\n"
     " \"$4\" 16384 16384 g.txt; echo \"tracegen $?\"\n"
     " \"$2\" p.yuv pp.yuv 16384 16384 0; echo \"planepack $?\") 2>&1; ls",
     "error allocating memory!\ntraceframes 6 0\ntracegen: memory: cannot allocate 402653184 bytes\ntracegen 2\n"
     "ERROR, CANNOT ALLOCATE MEMORY\nplanepack 255\ne.txt\no.yuv\np.yuv\n"},
    {"OutputsAimedAtOneFileRefused", twoFrames +
     "ln -s z.csv l.csv\n"
     "\"$3\" -s 2x2 --csv ./x.csv --json x.csv a.yuv b.yuv 2>&1; echo \"status $?\"\n"
     "\"$3\" -s 2x2 -i y.out --csv y.out a.yuv b.yuv 2>&1; echo \"status $?\"\n"
     "\"$3\" -s 2x2 --json z.csv --plot l.csv a.yuv b.yuv 2>&1; echo \"status $?\"\n"
     "\"$3\" -s 2x2 --json o.json a.yuv b.yuv > o.json 2>&1; echo \"status $?\"; cat o.json\n"
     "\"$3\" -q -s 2x2 --csv /dev/null --json /dev/null a.yuv b.yuv; echo \"status $?\"; rm o.json; ls | wc -l",
     "framecmp: --json x.csv: same file as --csv ./x.csv\nstatus 2\n"
     "framecmp: --csv y.out: same file as -i y.out\nstatus 2\n"
     "framecmp: --plot l.csv: same file as --json z.csv\nstatus 2\n"
     "status 2\nframecmp: --json o.json: same file as standard output\nstatus 1\n4\n"},
    {"FailedRunKeepsFinishedReports", twoFrames +
     "echo old > keep.csv\n"
     "\"$3\" -q -s 2x2 --csv keep.csv --json /dev/full a.yuv b.yuv 2>&1; echo \"status $?\"; cat keep.csv\n"
     "\"$3\" -q -s 2x2 --csv keep.csv a.yuv b.yuv; echo \"status $? $(head -c 5 keep.csv)\"; ls | wc -l",
     "framecmp: /dev/full: cannot write the report: No space left on device\nstatus 2\nold\nstatus 1 frame\n4\n"},
    {"PictureFramePastTheEndIsANote", twoFrames +
     "\"$3\" -q -s 2x2 --csv r.csv -i p.png --picture-frame=10 a.yuv b.yuv 2>&1; echo \"status $?\"\n"
     "\"$3\" -q -s 2x2 --skip=2 -i p.png --picture-frame=1 a.yuv b.yuv 2>&1; echo \"status $?\"\n"
     "head -c 5 r.csv; echo; ls | wc -l",
     "framecmp: --picture-frame=10: no frame 10: EXPECTED has 4; no picture written\nstatus 1\n"
     "framecmp: --picture-frame=1: frame 1 is skipped; no picture written\nstatus 1\nframe\n4\n"},
    // A run killed by each signal, its JSON growing and its picture drawn and waiting for the
    // verdict: it dies of that signal, its temporary files removed.
    {"InterruptedRunLeavesNoTemporary",
     "ulimit -c 0\n"
     "for s in INT TERM HUP QUIT; do\n"
     "  timeout --preserve-status -s $s 0.5 \"$3\" -s 64x64 --json out.json -i p.png /dev/zero /dev/urandom > /dev/null\n"
     "  echo \"$s $(kill -l $?) $(ls | wc -l)\"\n"
     "done",
     "INT INT 0\nTERM TERM 0\nHUP HUP 0\nQUIT QUIT 0\n"},
    // Written as the shell's `>` writes: through a dangling link, into a file with other hard
    // links and into one in a directory where no temporary file can be made; a file the user
    // may not write is refused at the start. As root the runs are those of nobody.
    {"ReportsWrittenAsTheShellWrites", twoFrames +
     "if [ \"$(id -u)\" = 0 ]; then as='setpriv --reuid=nobody --regid=nogroup --clear-groups'; chmod 777 .\n"
     "  $as \"$3\" --version > /dev/null 2>&1 || { echo 'skip: setpriv cannot run framecmp as nobody'; exit; }; fi\n"
     "mkdir sub tmp ro; chmod 777 sub tmp; ln -s sub/t.csv dangling.csv\n"
     "$as \"$3\" -q -s 2x2 --csv dangling.csv a.yuv b.yuv; echo \"link $? $(head -c 5 sub/t.csv)\"\n"
     "[ -L dangling.csv ] && echo 'still a link'\n"
     "echo old > h.csv; chmod 666 h.csv; ln h.csv h2.csv\n"
     "$as \"$3\" -q -s 2x2 --csv h.csv a.yuv b.yuv; echo \"hard link $? $(head -c 5 h2.csv)\"\n"
     "echo old > r.csv; chmod 444 r.csv\n"
     "$as \"$3\" -q -s 2x2 --csv r.csv a.yuv b.yuv 2>&1; echo \"status $? $(cat r.csv)\"\n"
     "echo old > ro/w.csv; chmod 666 ro/w.csv; chmod 555 ro\n"
     "TMPDIR=$PWD/tmp $as \"$3\" -q -s 2x2 --csv ro/w.csv a.yuv b.yuv\n"
     "echo \"no temporary $? $(head -c 5 ro/w.csv) $(ls ro) $(ls tmp | wc -l)\"; chmod 755 ro",
     "link 1 frame\nstill a link\nhard link 1 frame\n"
     "framecmp: r.csv: cannot write: Permission denied\nstatus 2 old\nno temporary 1 frame w.csv 0\n"},
    {"HelpAndVersionToAFullDisk",
     "for p in \"$3\" \"$4\"; do for o in --help --version; do \"$p\" $o > /dev/full 2>/dev/null; echo $?; done; done",
     "2\n2\n2\n2\n"},
    {"MarkerOnlyInTheFileName",
     "mkdir run_w2; printf 'abcdefghijklmnopqrstuvwx' > run_w2/a.yuv; cp run_w2/a.yuv run_w2/b.yuv\n"
     "\"$3\" -s 4x4 run_w2/a.yuv run_w2/b.yuv; echo \"status $?\"",
     "identical: 1 frame\nstatus 0\n"},
    // --align: a still clip against itself, and against itself one level brighter under -p,
    // keeps offset 0; at equal scores ACTUAL late wins over early.
    {"AlignScoresExactlyAndTies",
     "\"$4\" -r -n 1 16 8 one.yuv; LC_ALL=C tr '\\000-\\376' '\\001-\\377' < one.yuv > plus.yuv\n"
     "for i in 1 2 3 4 5 6 7 8; do cat one.yuv >> still.yuv; cat plus.yuv >> moved.yuv; done\n"
     "\"$3\" -s 16x8 --align=1 still.yuv still.yuv; echo \"status $?\"\n"
     "\"$3\" -q -s 16x8 -p 30 --align=1 still.yuv moved.yuv; echo \"status $?\"\n"
     "cat one.yuv plus.yuv one.yuv > e.yuv; cat plus.yuv one.yuv plus.yuv > a.yuv\n"
     "\"$3\" -s 16x8 --align=1 e.yuv a.yuv | head -1",
     "ACTUAL starts in step with EXPECTED\nidentical: 8 frames\nstatus 0\nstatus 0\n"
     "ACTUAL starts 1 frame late; compared from there\n"},
    // --ssim-min on a plane too small for SSIM judges it by -t (0 without).
    {"SsimMinJudgesSmallPlanes",
     "head -c 16 /dev/zero > z.yuv; LC_ALL=C tr '\\000' '\\001' < z.yuv > o.yuv\n"
     "\"$3\" -s 4x4 -f gray --ssim-min=0.5 z.yuv o.yuv | head -1; echo \"status ${PIPESTATUS[0]}\"\n"
     "\"$3\" -q -s 4x4 -f gray -t 1 --ssim-min=0.5 z.yuv o.yuv; echo \"status $?\"",
     "frame 0: Y 16 differ, first at 0,0 expected 00 actual 01, max 1, 48.13 dB, no SSIM (under 8x8): judged exactly\n"
     "status 1\nstatus 0\n"},
    // A lost bus word after which every sample is off by 1, under -t 1.
    {"DiagnosisWithinTolerance",
     "\"$4\" -r -s 400 -n 2 64 48 g.yuv\n"
     "{ head -c 4000 g.yuv; tail -c +4005 g.yuv; printf abcd; } | LC_ALL=C tr '\\000-\\376' '\\001-\\377' > a.yuv\n"
     "\"$3\" -s 64x48 -f gray -t 1 g.yuv a.yuv | grep -o '; from.*'",
     "; from Y 32,14 on, 4 bytes lost: ACTUAL is EXPECTED 4 bytes early\n"},
    // At 10 bits: one byte lost; two bytes inserted whose first sample fails by its padding
    // alone, where the claim starts.
    {"DiagnosisOddBytesAndPadding",
     "\"$4\" -r -s 400 -D 10 -n 2 64 48 g.yuv\n"
     "{ head -c 7000 g.yuv; tail -c +7002 g.yuv; printf x; } > a.yuv\n"
     "\"$3\" -s 64x48 -f gray10le g.yuv a.yuv | grep -o '; from.*'\n"
     "read -r lo hi < <(od -An -tu1 -j 7000 -N 2 g.yuv)\n"
     "{ head -c 7000 g.yuv; printf \"\\\\$(printf %03o \"$lo\")\\\\$(printf %03o $((hi | 4)))\"\n"
     "  tail -c +7001 g.yuv | head -c 5286; } > b.yuv\n"
     "\"$3\" -s 64x48 -f gray10le g.yuv b.yuv | grep -o 'first at [0-9,]* [^,]*\\|; from.*'",
     "; from Y 44,6 on, 1 byte lost: ACTUAL is EXPECTED 1 byte early\nfirst at 44,6 expected 10e actual 050e\n"
     "; from Y 44,6 on, 2 bytes extra: ACTUAL is EXPECTED 2 bytes late\n"},
    // --align holding a pipe's frames: the length line reads as from a file.
    {"AlignedPipeLength",
     "\"$4\" -r -n 8 16 8 eight.yuv; head -c 576 eight.yuv > three.yuv\n"
     "cat eight.yuv | \"$3\" -s 16x8 --align=1 three.yuv -; echo \"status $?\"",
     "ACTUAL starts in step with EXPECTED\nEXPECTED ends after 3 frames, ACTUAL has more\n"
     "first 3 frames identical, lengths differ\nstatus 1\n"},
    // One pipe named twice is refused; one file named twice is compared.
    {"OneStreamNamedTwice",
     "\"$4\" -r -n 1 16 8 a.yuv\n"
     "cat a.yuv | \"$3\" -s 16x8 - /dev/stdin 2>&1; echo \"status $?\"\n"
     "\"$3\" -s 16x8 - /dev/stdin < a.yuv; echo \"status $?\"",
     "framecmp: arguments: - and /dev/stdin are one stream\nstatus 2\nidentical: 1 frame\nstatus 0\n"},
    // framecmp's memory follows what it reads: 576 bytes of a 46340x46340 frame run under a
    // 200 MB limit; running out is one message, status 2, and no report or temporary left.
    {"FramecmpMemoryFollowsWhatIsRead",
     "[ \"$5\" = sanitized ] && { echo 'skip: the sanitizers reserve more address space than ulimit -v leaves'; exit; }\n"
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
    // Trouble once both files are open: the JUnit file says it, and the CSV's path keeps what it held.
    {"FramecmpJunitOnTrouble",
     "head -c 96 /dev/zero > e.yuv; mkdir d; echo old > r.csv\n"
     "\"$3\" -s 8x8 --csv r.csv --junit=j.xml e.yuv d 2>/dev/null; echo $?; cat r.csv; ls | grep -c 'r.csv.\\|j.xml.'\n"
     "grep -c '<error message=\"framecmp: d: cannot read: Is a directory\"/>' j.xml",
     "2\nold\n0\n1\n"},
    {"FramecmpVerdictsAndSsimSummary",
     "head -c 64 /dev/zero > z.yuv; { head -c 63 /dev/zero; printf '\\001'; } > y.yuv\n"
     "{ head -c 9 /dev/zero; printf '\\310'; head -c 54 /dev/zero; } > x.yuv; cat z.yuv z.yuv > e.yuv; cat y.yuv x.yuv > a.yuv\n"
     "\"$3\" -s 8x8 -f gray -p 40 --ssim --csv - e.yuv a.yuv | cut -d, -f1-3,8-\n"
     "\"$3\" -s 8x8 -f gray -p 40 --ssim --json - e.yuv a.yuv | grep '\"ssim_[la]'\n"
     "\"$3\" -s 8x8 -f gray -p 40 --ssim e.yuv a.yuv | tail -1",
     "frame,plane,failing,first_x,first_y,pass,reason\n0,Y,1,7,7,1,\n1,Y,1,1,1,0,psnr\n"
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
    const RunResult result = scratch.run(timeout, {"-k", "5", "30", bash, "-c", fault.script, "bash", traceframes,
                                                   programPath(PLANEPACK_BIN), programPath(FRAMECMP_BIN), tracegen,
                                                   sanitizedBuild() ? "sanitized" : "plain"});
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
