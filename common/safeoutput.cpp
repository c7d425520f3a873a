#include "common/safeoutput.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/messages.h"
#include "common/temporaries.h"

// Creates the temporary file for `out` from the template in out.temporary and enters it in
// the table, both with the interruptions blocked, so that no signal leaves it unlisted.
static int makeTemporary(SafeOutput& out)
{
    const sigset_t before = blockInterruptions();
    TemporarySlot* const free = std::find_if(std::begin(temporaries), std::end(temporaries),
                                             [](const TemporarySlot& slot) { return slot.used == 0; });
    TemporarySlot* const empty = free == std::end(temporaries) ? nullptr : free;
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
static void forgetTemporary(const std::string& name)
{
    for (TemporarySlot& slot : temporaries) {
        if (slot.used != 0 && name == slot.name) {
            slot.used = 0;
        }
    }
}

std::string outputTarget(const char* path)
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

int outputRefusal(const char* path)
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

void checkWritable(const char* path)
{
    const int error = outputRefusal(path);
    if (error != 0) {
        errno = error;
        failSystem(path, "cannot write");
    }
}

SafeOutput openSafeOutput(const char* path)
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

void abandonSafeOutput(SafeOutput& out)
{
    std::fclose(out.file);
    out.file = nullptr;
    if (!out.temporary.empty()) {
        unlink(out.temporary.c_str());
        forgetTemporary(out.temporary);
    }
}

void completeSafeOutput(SafeOutput& out, const char* what)
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

bool writeAll(int fd, const char* data, size_t length)
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

int copyInto(const char* from, const char* to)
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

void placeSafeOutput(SafeOutput& out, const char* what)
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

void finishSafeOutput(SafeOutput& out, const char* what)
{
    completeSafeOutput(out, what);
    placeSafeOutput(out, what);
}
