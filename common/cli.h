// What framecmp and tracegen do alike as command-line programs: messages as "program: what:
// why" on standard error with status 2, decimal numbers read in full, standard output
// written and checked, and files written so that a failed run destroys nothing.
// Each program defines `programName` and includes this once.
#pragma once

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern const char programName[];

constexpr int statusTrouble = 2;

// ---- Failures ----

// The temporary files of SafeOutputs not yet in place, in a fixed table that the handler of
// an interruption reads: a run that fails or is interrupted removes them, so that it leaves
// no half-written file behind. A slot is filled and emptied with those signals blocked.
constexpr size_t temporariesMax = 8;

struct TemporarySlot {
    char name[PATH_MAX];
    volatile sig_atomic_t used;
};

inline TemporarySlot temporaries[temporariesMax];

// The signals that end a run early: they remove its temporary files first.
constexpr int interruptions[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

inline sigset_t blockInterruptions()
{
    sigset_t blocked;
    sigset_t before;
    sigemptyset(&blocked);
    for (const int signalNumber : interruptions) {
        sigaddset(&blocked, signalNumber);
    }
    sigprocmask(SIG_BLOCK, &blocked, &before);
    return before;
}

inline void restoreInterruptions(const sigset_t& before)
{
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

inline void removePendingTemporaries()
{
    const sigset_t before = blockInterruptions();
    for (TemporarySlot& slot : temporaries) {
        if (slot.used != 0) {
            unlink(slot.name);
            slot.used = 0;
        }
    }
    restoreInterruptions(before);
}

// Only what is async-signal-safe: unlink the names of the table, then end as the signal
// would have ended the run without a handler.
inline void removeTemporariesAndStop(int signalNumber)
{
    for (const TemporarySlot& slot : temporaries) {
        if (slot.used != 0) {
            unlink(slot.name);
        }
    }
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

// Installs the handler for each interruption not ignored when the run began (a job started
// with `&` or nohup keeps ignoring what its shell made it ignore).
inline void removeTemporariesOnInterruption()
{
    struct sigaction action {};
    action.sa_handler = removeTemporariesAndStop;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : interruptions) {
        sigaddset(&action.sa_mask, signalNumber);
    }
    for (const int signalNumber : interruptions) {
        struct sigaction old {};
        if (sigaction(signalNumber, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) {
            sigaction(signalNumber, &action, nullptr);
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
// file, or none, is written under a temporary name and put in place when complete and the
// run's outcome known; anything else (a device, a FIFO, /dev/stdout on a pipe) is written in
// place and never removed.
struct SafeOutput {
    std::string path;      // as the user named it
    std::string target;    // what is replaced: the path, or the name its links lead to
    std::string temporary; // empty when written in place
    FILE* file;
    bool copyBack; // the target keeps its inode: the temporary's bytes are copied into it
};

// The name a write to `path` creates or replaces, as the shell's `>` does: the path, or the
// name its chain of symbolic links ends at, whether that exists or not.
inline std::string outputTarget(const char* path)
{
    std::string name = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat link {};
        if (lstat(name.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
            return name;
        }
        std::string text(PATH_MAX, '\0');
        const ssize_t length = readlink(name.c_str(), text.data(), text.size());
        if (length < 0 || static_cast<size_t>(length) >= text.size()) {
            return name;
        }
        text.resize(static_cast<size_t>(length));
        const size_t slash = name.rfind('/');
        if (text[0] == '/' || slash == std::string::npos) {
            name = text;
        } else {
            name.resize(slash + 1);
            name += text;
        }
    }
    return name; // a loop: opening it says so
}

// Whether an output to `path` can be made at all: an existing file must open for writing, a
// new one needs a directory it may be created in.
inline int outputRefusal(const char* path)
{
    struct stat existing {};
    if (stat(path, &existing) == 0) {
        if (!S_ISREG(existing.st_mode)) {
            return 0;
        }
        const int fd = open(path, O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) {
            return errno;
        }
        close(fd);
        return 0;
    }
    const std::string target = outputTarget(path);
    const size_t slash = target.rfind('/');
    const std::string directory = slash == std::string::npos ? std::string(".")
                                  : slash == 0               ? std::string("/")
                                                             : target.substr(0, slash);
    return access(directory.c_str(), W_OK | X_OK) == 0 ? 0 : errno;
}

// Refuses, status 2, an output that cannot be written: "PROGRAM: r.csv: cannot write: ...".
inline void checkWritable(const char* path)
{
    const int error = outputRefusal(path);
    if (error != 0) {
        errno = error;
        failSystem(path, "cannot write");
    }
}

// Creates the temporary file for `out` from the template in out.temporary and enters it in
// the table, both with the interruptions blocked, so that no signal leaves it unlisted.
inline int makeTemporary(SafeOutput& out)
{
    const sigset_t before = blockInterruptions();
    TemporarySlot* empty = nullptr;
    for (TemporarySlot& slot : temporaries) {
        empty = empty == nullptr && slot.used == 0 ? &slot : empty;
    }
    int fd = -1;
    if (empty == nullptr || out.temporary.size() >= sizeof empty->name) {
        errno = empty == nullptr ? EMFILE : ENAMETOOLONG;
    } else {
        fd = mkstemp(out.temporary.data());
    }
    if (fd >= 0) {
        std::memcpy(empty->name, out.temporary.c_str(), out.temporary.size() + 1);
        empty->used = 1;
    }
    restoreInterruptions(before);
    return fd;
}

// Removes `name` from the table once it is renamed or removed.
inline void forgetTemporary(const std::string& name)
{
    for (TemporarySlot& slot : temporaries) {
        if (slot.used != 0 && name == slot.name) {
            slot.used = 0;
        }
    }
}

// Opens `path` for writing as a SafeOutput. A regular file or none is written through a
// temporary file beside the name its links lead to, with the mode the file has or a new
// one would get. A file with other hard links keeps its inode: its bytes are replaced in
// place once complete; so are those of a file in a directory where no temporary can be
// made, whose temporary goes to $TMPDIR or /tmp instead.
inline SafeOutput openSafeOutput(const char* path)
{
    checkWritable(path);
    SafeOutput out{path, outputTarget(path), std::string(), nullptr, false};
    struct stat existing {};
    const bool exists = stat(path, &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) {
        out.file = std::fopen(path, "wb");
        if (out.file == nullptr) {
            failSystem(path, "cannot open");
        }
        return out;
    }
    out.copyBack = exists && existing.st_nlink > 1;
    out.temporary = out.target + ".XXXXXX";
    int fd = makeTemporary(out);
    if (fd < 0 && exists) {
        const char* directory = std::getenv("TMPDIR");
        out.temporary = std::string(directory != nullptr && *directory != '\0' ? directory : "/tmp") + "/" +
                        programName + ".XXXXXX";
        out.copyBack = true;
        fd = makeTemporary(out);
    }
    if (fd < 0) {
        failSystem(path, "cannot create a temporary file beside it");
    }
    const mode_t mask = umask(0);
    umask(mask);
    const mode_t mode = exists ? existing.st_mode & 07777 : 0666 & ~mask;
    out.file = fdopen(fd, "wb");
    if (out.file == nullptr || (!out.copyBack && fchmod(fd, mode) != 0)) {
        failSystem(path, "cannot open");
    }
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

// Completes the file: every byte written and closed. Its temporary name stays until
// placeSafeOutput. On failure every temporary file goes and the run stops with `what` and
// the reason.
inline void completeSafeOutput(SafeOutput& out, const char* what)
{
    bool done = std::fflush(out.file) == 0 && std::ferror(out.file) == 0;
    int error = errno;
    if (std::fclose(out.file) != 0 && done) {
        done = false;
        error = errno;
    }
    out.file = nullptr;
    if (!done) {
        errno = error;
        failSystem(out.path, what);
    }
}

// Writes all `length` bytes to `fd`; false, with errno, when it cannot.
inline bool writeAll(int fd, const char* data, size_t length)
{
    while (length != 0) {
        const ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// Copies the bytes of `from` over those of `to`, which keeps its inode, links and mode;
// returns 0 or the error.
inline int copyInto(const char* from, const char* to)
{
    const int in = open(from, O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        return errno;
    }
    const int out = open(to, O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
    int error = out < 0 ? errno : 0;
    std::vector<char> buffer(size_t{1} << 16);
    while (error == 0) {
        const ssize_t got = read(in, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            error = got < 0 ? errno : 0;
            break;
        }
        error = writeAll(out, buffer.data(), static_cast<size_t>(got)) ? 0 : errno;
    }
    if (out >= 0 && close(out) != 0 && error == 0) {
        error = errno;
    }
    close(in);
    return error;
}

// Puts a completed file in place: renamed over its target, or copied into it. On failure
// every temporary file goes and the run stops with `what` and the reason.
inline void placeSafeOutput(SafeOutput& out, const char* what)
{
    if (out.temporary.empty()) {
        return;
    }
    int error = 0;
    if (out.copyBack) {
        error = copyInto(out.temporary.c_str(), out.target.c_str());
        unlink(out.temporary.c_str());
    } else if (rename(out.temporary.c_str(), out.target.c_str()) != 0) {
        error = errno;
    }
    const sigset_t before = blockInterruptions();
    forgetTemporary(out.temporary);
    restoreInterruptions(before);
    if (error != 0) {
        errno = error;
        failSystem(out.path, what);
    }
}

// Completes the file and puts it in place at once.
inline void finishSafeOutput(SafeOutput& out, const char* what)
{
    completeSafeOutput(out, what);
    placeSafeOutput(out, what);
}
