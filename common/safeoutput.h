// Files written whole or not at all: a failed run never destroys what a path named before.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

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
std::string outputTarget(const char* path);

// Whether an output to `path` can be made at all: an existing file must open for writing, a
// new one needs a directory it may be created in.
int outputRefusal(const char* path);

// Refuses, status 2, an output that cannot be written: "PROGRAM: r.csv: cannot write: ...".
void checkWritable(const char* path);

// Opens `path` for writing as a SafeOutput. A regular file or none is written through a
// temporary file beside the name its links lead to, with the mode the file has or a new
// one would get. A file with other hard links keeps its inode: its bytes are replaced in
// place once complete; so are those of a file in a directory where no temporary can be
// made, whose temporary goes to $TMPDIR or /tmp instead.
SafeOutput openSafeOutput(const char* path);

// Closes the file and, when it was written under a temporary name, removes that name; the
// path is left as it was.
void abandonSafeOutput(SafeOutput& out);

// Completes the file: every byte written and closed. Its temporary name stays until
// placeSafeOutput. On failure every temporary file goes and the run stops with `what` and
// the reason.
void completeSafeOutput(SafeOutput& out, const char* what);

// Writes all `length` bytes to `fd`; false, with errno, when it cannot.
bool writeAll(int fd, const char* data, size_t length);

// Copies the bytes of `from` over those of `to`, which keeps its inode, links and mode;
// returns 0 or the error.
int copyInto(const char* from, const char* to);

// Puts a completed file in place: renamed over its target, or copied into it. On failure
// every temporary file goes and the run stops with `what` and the reason.
void placeSafeOutput(SafeOutput& out, const char* what);

// Completes the file and puts it in place at once.
void finishSafeOutput(SafeOutput& out, const char* what);
