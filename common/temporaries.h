// The temporary files a run removes when it fails or is interrupted.
#pragma once

#include <climits>
#include <csignal>
#include <cstddef>

// The temporary files of SafeOutputs not yet in place, in a fixed table that the handler of
// an interruption reads: a run that fails or is interrupted removes them, so that it leaves
// no half-written file behind. A slot is filled and emptied with those signals blocked.
constexpr size_t temporariesMax = 8;

struct TemporarySlot {
    char name[PATH_MAX];
    volatile sig_atomic_t used;
};

extern TemporarySlot temporaries[temporariesMax];

sigset_t blockInterruptions();

void restoreInterruptions(const sigset_t& before);

void removePendingTemporaries();

// Installs the handler for each interruption not ignored when the run began (a job started
// with `&` or nohup keeps ignoring what its shell made it ignore).
void removeTemporariesOnInterruption();
