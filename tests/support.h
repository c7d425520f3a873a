// The suites not yet moved into tests/unit and tests/cli include the helpers by this name.
#pragma once

#include "support/scratch.h"
