#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "framecmp/options.h"
#include "framecmp/outputs.h"

namespace framecmp {

// No file written may be one of the files compared: writing it would destroy that file.
void refuseOutputsOverInputs(const Options& options)
{
    for (const char* output :
         {options.picturePath, options.csvPath, options.jsonPath, options.plotPath, options.junitPath}) {
        struct stat written {};
        if (output == nullptr || isStandardOutput(output) || stat(output, &written) != 0) {
            continue;
        }
        for (const char* path : {options.expectedPath, options.actualPath, options.maskPath}) {
            if (path == nullptr) {
                continue;
            }
            // Standard input is known by its descriptor: `-i a.yuv - b.yuv < a.yuv`.
            struct stat input {};
            const int known = std::strcmp(path, "-") == 0 ? fstat(STDIN_FILENO, &input) : stat(path, &input);
            if (known == 0 && input.st_dev == written.st_dev && input.st_ino == written.st_ino) {
                fail(output, "is one of the files compared; not overwritten");
            }
        }
    }
}

// What an output writes to: the device and inode of a file that exists, else the resolved
// directory and the name its links lead to. Character devices (/dev/null) take any number.
struct OutputIdentity {
    bool exists;
    bool shared;
    dev_t device;
    ino_t inode;
    std::string name;
};

static OutputIdentity outputIdentity(const char* path, bool standardOutput)
{
    struct stat known {};
    if (standardOutput ? fstat(STDOUT_FILENO, &known) == 0 : stat(path, &known) == 0) {
        return OutputIdentity{true, S_ISCHR(known.st_mode), known.st_dev, known.st_ino, ""};
    }
    const std::string target = outputTarget(path);
    const size_t slash = target.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    char* resolved = realpath(directory.c_str(), nullptr);
    const std::string name = resolved == nullptr ? target : std::string(resolved) + "/" + target.substr(slash + 1);
    std::free(resolved);
    return OutputIdentity{false, false, 0, 0, name};
}

static bool sameOutput(const OutputIdentity& a, const OutputIdentity& b)
{
    if (a.exists != b.exists || a.shared || b.shared) {
        return false;
    }
    return a.exists ? a.device == b.device && a.inode == b.inode : a.name == b.name;
}

// No two outputs aimed at one file, where one would silently replace the other; and none
// that cannot be written. Both are said before anything is written.
void checkOutputs(const Options& options)
{
    constexpr int outputs = 5;
    const char* flags[outputs] = {"-i", "--csv", "--json", "--plot", "--junit"};
    const char* paths[outputs] = {options.picturePath, options.csvPath, options.jsonPath, options.plotPath,
                                  options.junitPath};
    OutputIdentity identities[outputs];
    const OutputIdentity textReport = outputIdentity("-", true);
    for (int i = 0; i < outputs; ++i) {
        if (paths[i] == nullptr) {
            continue;
        }
        // "-" is standard output for a report, a file of that name for the picture and the
        // JUnit file.
        const bool standardOutput = i != 0 && i != 4 && isStandardOutput(paths[i]);
        identities[i] = outputIdentity(paths[i], standardOutput);
        // The text report on standard output would be lost under a file put in its place.
        if (!options.text.quiet && !standardOutput && sameOutput(textReport, identities[i])) {
            fail(std::string(flags[i]) + " " + paths[i], "same file as standard output");
        }
        for (int j = 0; j < i; ++j) {
            if (paths[j] != nullptr && sameOutput(identities[j], identities[i])) {
                fail(std::string(flags[i]) + " " + paths[i], std::string("same file as ") + flags[j] + " " + paths[j]);
            }
        }
    }
    for (int i = 0; i < outputs; ++i) {
        if (paths[i] != nullptr && (i == 0 || i == 4 || !isStandardOutput(paths[i]))) {
            checkWritable(paths[i]);
        }
    }
}

} // namespace framecmp
