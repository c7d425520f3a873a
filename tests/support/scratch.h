// Runs the built programs as black boxes, or a program linked into a test as a forked child,
// in a scratch directory of its own.
#pragma once

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

struct RunResult {
    int status;
    std::string out;
    std::string err;
};

struct RunOptions {
    size_t addressSpaceLimit = 0; // bytes; 0 leaves the child's address space alone
    bool mergeErrIntoOut = false; // one log, as a terminal or `2>&1` shows it
    std::string stdoutPath;       // standard output goes to this file instead of being collected
    std::vector<int> closed;      // standard descriptors the program starts without, as `>&-`
};

class Scratch {
public:
    Scratch()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "yuvtools-XXXXXX").string();
        dir_ = mkdtemp(pattern.data());
    }
    ~Scratch() { std::filesystem::remove_all(dir_); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    bool exists(const std::string& name) const { return std::filesystem::exists(path(name)); }

    void write(const std::string& name, const std::string& content) const
    {
        std::ofstream(path(name), std::ios::binary) << content;
    }

    std::string read(const std::string& name) const
    {
        std::ifstream in(path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // Runs `program` with `args` in the scratch directory and collects what it says.
    RunResult run(const std::string& program, const std::vector<std::string>& args,
                  const RunOptions& options = RunOptions()) const
    {
        return runChild(program, args, options, [&](std::vector<char*>& argv) {
            execv(program.c_str(), argv.data());
            _exit(127);
        });
    }

    // Runs a program's own `main`, linked into the test, in a child process as if started
    // with `args`: for tables of thousands of runs.
    RunResult runMain(int (*programMain)(int, char**), const std::string& program,
                      const std::vector<std::string>& args) const
    {
        return runChild(program, args, RunOptions(), [&](std::vector<char*>& argv) {
            std::exit(programMain(static_cast<int>(argv.size() - 1), argv.data()));
        });
    }

private:
    template <typename Start>
    RunResult runChild(const std::string& program, const std::vector<std::string>& args, const RunOptions& options,
                       Start start) const
    {
        const std::string outPath = path(".stdout");
        const std::string errPath = path(".stderr");
        std::fflush(nullptr); // nothing buffered here may reach the child's output
        const pid_t pid = fork();
        if (pid == 0) {
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(program.c_str()));
            for (const std::string& arg : args) {
                argv.push_back(const_cast<char*>(arg.c_str()));
            }
            argv.push_back(nullptr);
            const std::string& to = options.stdoutPath.empty() ? outPath : options.stdoutPath;
            const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = options.mergeErrIntoOut ? out : open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out < 0 || err < 0 || chdir(dir_.c_str()) != 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
                _exit(127);
            }
            close(out);
            close(err);
            // As a shell starts a program: a harness may have these ignored.
            std::signal(SIGPIPE, SIG_DFL);
            std::signal(SIGXFSZ, SIG_DFL);
            for (const int fd : options.closed) {
                close(fd);
            }
            if (options.addressSpaceLimit != 0) {
                const rlimit limit{options.addressSpaceLimit, options.addressSpaceLimit};
                setrlimit(RLIMIT_AS, &limit);
            }
            start(argv);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        RunResult result{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), read(".stdout"),
                         options.mergeErrIntoOut ? std::string() : read(".stderr")};
        std::filesystem::remove(outPath);
        std::filesystem::remove(errPath);
        return result;
    }

    std::string dir_;
};

// "00 0a ff" as the three bytes it names.
inline std::string bytesOf(const std::string& hex)
{
    std::istringstream in(hex);
    std::string bytes;
    unsigned value;
    while (in >> std::hex >> value) {
        bytes += static_cast<char>(value);
    }
    return bytes;
}

// "a b c": the arguments of a run as a trace line shows them.
inline std::string joined(const std::vector<std::string>& args)
{
    std::string line;
    for (const std::string& arg : args) {
        line += (line.empty() ? "" : " ") + arg;
    }
    return line;
}

// Whether `program` answers --help with its usage and --version with the build's version,
// both on standard output and with status 0.
inline bool answersHelpAndVersion(const Scratch& scratch, const std::string& program, const std::string& name)
{
    const RunResult help = scratch.run(program, {"--help"});
    const RunResult version = scratch.run(program, {"--version"});
    return help.status == 0 && help.out.rfind("usage: " + name + " ", 0) == 0 && version.status == 0 &&
           version.out == name + " (yuvtools) " + YUVTOOLS_VERSION + "\n";
}

// The sanitized programs' build, when the black-box suites of a plain build run them (CI
// builds those suites once): YUVTOOLS_SANITIZED_BUILD names its directory. Null otherwise.
inline const char* sanitizedProgramsBuild()
{
    const char* build = std::getenv("YUVTOOLS_SANITIZED_BUILD");
    return build != nullptr && *build != '\0' ? build : nullptr;
}

// A program this build made, at `built`, or its namesake in the sanitized build when the
// suites run those.
inline std::string programPath(const std::string& built)
{
    const char* sanitized = sanitizedProgramsBuild();
    const std::string ownBuild = YUVTOOLS_BUILD_DIR;
    if (sanitized == nullptr || built.rfind(ownBuild + "/", 0) != 0) {
        return built;
    }
    return sanitized + built.substr(ownBuild.size());
}

inline bool sanitizedBuild()
{
#ifdef TESTS_SANITIZED
    return true;
#else
    return sanitizedProgramsBuild() != nullptr;
#endif
}

// The large property tables run every case in the plain build and every seventh under the
// sanitizers, whose runs cost ten times as much: a seventh of the cases still reach every path
// (an odd step, so that a choice made on alternate cases is taken both ways).
inline bool caseRunsInThisBuild(size_t turn)
{
    return !sanitizedBuild() || turn % 7 == 0;
}
