// What framecmp and tracegen do alike as command-line programs: messages as "program: what:
// why" on standard error with status 2, decimal numbers read in full, standard output
// written and checked, and files written so that a failed run destroys nothing.
// Each program defines `programName` and includes this once.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

extern const char programName[];

constexpr int statusTrouble = 2;

// ---- Failures ----

// The temporary files of SafeOutputs still being written: a run that fails removes them, so
// that it leaves no half-written file behind.
inline std::vector<std::string>& pendingTemporaries()
{
    static std::vector<std::string> names;
    return names;
}

inline void removePendingTemporaries()
{
    for (const std::string& name : pendingTemporaries()) {
        unlink(name.c_str());
    }
    pendingTemporaries().clear();
}

inline void forgetTemporary(const std::string& name)
{
    std::vector<std::string>& names = pendingTemporaries();
    for (size_t i = 0; i < names.size(); ++i) {
        if (names[i] == name) {
            names.erase(names.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
    }
}

[[noreturn]] inline void fail(const std::string& what, const std::string& why)
{
    removePendingTemporaries();
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s: %s\n", programName, what.c_str(), why.c_str());
    std::exit(statusTrouble);
}

[[noreturn]] inline void failUsage(const std::string& what, const std::string& why)
{
    removePendingTemporaries();
    std::fprintf(stderr, "%s: %s: %s\nTry '%s --help' for more information.\n", programName, what.c_str(), why.c_str(),
                 programName);
    std::exit(statusTrouble);
}

[[noreturn]] inline void failSystem(const std::string& path, const char* action)
{
    fail(path, std::string(action) + ": " + std::strerror(errno));
}

// A write failed. A reader that went away (EPIPE: `program ... | head`) ends the run
// quietly, as it ends cmp and cat; anything else is said.
[[noreturn]] inline void failWriting(const std::string& path)
{
    const int error = errno;
    removePendingTemporaries();
    errno = error;
    if (errno == EPIPE) {
        std::_Exit(statusTrouble);
    }
    const std::string why = std::strerror(errno);
    std::clearerr(stdout);
    std::fprintf(stderr, "%s: %s: cannot write: %s\n", programName, path.c_str(), why.c_str());
    std::_Exit(statusTrouble);
}

// ---- Standard output ----

// Hands text to standard output, stopping the run when it cannot be written.
inline void say(const std::string& text)
{
    if (std::fputs(text.c_str(), stdout) == EOF) {
        failWriting("standard output");
    }
}

inline void finishStandardOutput()
{
    if (std::fflush(stdout) != 0) {
        failWriting("standard output");
    }
}

// --help and --version: their text is output like any other, and its loss a failure.
[[noreturn]] inline void answer(const std::string& text)
{
    say(text);
    finishStandardOutput();
    std::exit(0);
}

// ---- Numbers ----

// A decimal number of digits only, from `low` to `high`, or -1.
inline int64_t readDecimal(const char* text, int64_t low, int64_t high)
{
    int64_t value = 0;
    const char* p = text;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const int digit = *p - '0';
        if (value > (high - digit) / 10) {
            return -1;
        }
        value = value * 10 + digit;
    }
    return (p == text || *p != '\0' || value < low) ? -1 : value;
}

// ---- Files written whole or not at all ----

// A file written so that a failed run leaves what its path named before untouched: a regular
// file, or none, is written under a temporary name beside it and renamed into place when
// complete; anything else (a device, a FIFO, /dev/stdout on a pipe) is written in place and
// never removed.
struct SafeOutput {
    std::string path;      // as the user named it
    std::string target;    // what the rename replaces: the path, or the file its links lead to
    std::string temporary; // empty when written in place
    FILE* file;
};

// Opens `path` for writing as a SafeOutput: a regular file or none through a temporary file
// beside the one its links lead to, with the mode it has or a new file would get.
inline SafeOutput openSafeOutput(const char* path)
{
    SafeOutput out{path, path, std::string(), nullptr};
    struct stat existing {};
    const bool exists = stat(path, &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) {
        out.file = std::fopen(path, "wb");
        if (out.file == nullptr) {
            failSystem(path, "cannot open");
        }
        return out;
    }
    if (exists) {
        char* resolved = realpath(path, nullptr);
        if (resolved == nullptr) {
            failSystem(path, "cannot open");
        }
        out.target = resolved;
        std::free(resolved);
    }
    out.temporary = out.target + ".XXXXXX";
    const int fd = mkstemp(out.temporary.data());
    if (fd < 0) {
        failSystem(path, "cannot create a temporary file beside it");
    }
    const mode_t mask = umask(0);
    umask(mask);
    const mode_t mode = exists ? existing.st_mode & 07777 : 0666 & ~mask;
    out.file = fdopen(fd, "wb");
    if (out.file == nullptr || fchmod(fd, mode) != 0) {
        unlink(out.temporary.c_str());
        failSystem(path, "cannot open");
    }
    pendingTemporaries().push_back(out.temporary);
    return out;
}

// Closes the file and, when it was written under a temporary name, removes that name; the
// path is left as it was.
inline void abandonSafeOutput(SafeOutput& out)
{
    std::fclose(out.file);
    out.file = nullptr;
    if (!out.temporary.empty()) {
        unlink(out.temporary.c_str());
        forgetTemporary(out.temporary);
    }
}

// Completes the file: every byte written and closed, then renamed into place. On failure
// the temporary file goes and the run stops with `what` and the reason.
inline void finishSafeOutput(SafeOutput& out, const char* what)
{
    bool done = std::fflush(out.file) == 0 && std::ferror(out.file) == 0;
    int error = errno;
    if (std::fclose(out.file) != 0 && done) {
        done = false;
        error = errno;
    }
    out.file = nullptr;
    if (done && !out.temporary.empty() && rename(out.temporary.c_str(), out.target.c_str()) != 0) {
        done = false;
        error = errno;
    }
    forgetTemporary(out.temporary);
    if (!done) {
        if (!out.temporary.empty()) {
            unlink(out.temporary.c_str());
        }
        errno = error;
        failSystem(out.path, what);
    }
}
