#include "common/temporaries.h"

#include <unistd.h>

TemporarySlot temporaries[temporariesMax];

// The signals that end a run early: they remove its temporary files first.
constexpr int interruptions[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Only what is async-signal-safe: unlink the names of the table, then end as the signal
// would have ended the run without a handler.
static void removeTemporariesAndStop(int signalNumber)
{
    for (const TemporarySlot& slot : temporaries) {
        if (slot.used != 0) {
            unlink(slot.name);
        }
    }
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

sigset_t blockInterruptions()
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

void restoreInterruptions(const sigset_t& before)
{
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

void removePendingTemporaries()
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

void removeTemporariesOnInterruption()
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
