#include "common/messages.h"

#include "common/temporaries.h"
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static TroubleHook troubleHook = nullptr;

void setTroubleHook(TroubleHook hook)
{
    troubleHook = hook;
}

// The hook run once: trouble inside it ends the run without it.
static void runTroubleHook(const std::string& message)
{
    const TroubleHook hook = troubleHook;
    troubleHook = nullptr;
    if (hook != nullptr) {
        hook(message);
    }
}

// The message is said before the hook runs: trouble in the hook says its own after it.
[[noreturn]] void fail(const std::string& what, const std::string& why)
{
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s: %s\n", programName, what.c_str(), why.c_str());
    runTroubleHook(std::string(programName) + ": " + what + ": " + why);
    removePendingTemporaries();
    std::exit(statusTrouble);
}

[[noreturn]] void failUsage(const std::string& what, const std::string& why)
{
    std::fprintf(stderr, "%s: %s: %s\nTry '%s --help' for more information.\n", programName, what.c_str(), why.c_str(),
                 programName);
    runTroubleHook(std::string(programName) + ": " + what + ": " + why);
    removePendingTemporaries();
    std::exit(statusTrouble);
}

[[noreturn]] void failSystem(const std::string& path, const char* action)
{
    fail(path, std::string(action) + ": " + std::strerror(errno));
}

[[noreturn]] void failWriting(const std::string& path)
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

void say(const std::string& text)
{
    if (std::fputs(text.c_str(), stdout) == EOF) {
        failWriting("standard output");
    }
}

void finishStandardOutput()
{
    if (std::fflush(stdout) != 0) {
        failWriting("standard output");
    }
}

[[noreturn]] void printAndExit(const std::string& text)
{
    say(text);
    finishStandardOutput();
    std::exit(0);
}

int64_t readDecimal(const char* text, int64_t low, int64_t high)
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
