// What framecmp and tracegen do alike as command-line programs, in one include: messages and
// strict numbers, the temporary files a failed run removes, files written whole or not at all.
#pragma once

#include "common/messages.h"
#include "common/safeoutput.h"
#include "common/temporaries.h"
