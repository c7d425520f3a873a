// The name common/'s messages begin with. Compiled into each target that links framecmp_lib,
// so that it is there whatever the linker takes from the libraries.
#include "common/messages.h"

const char programName[] = "framecmp";
