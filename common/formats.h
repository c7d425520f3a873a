// The frame formats, the samplings, the frame layouts and sizes, and the geometry in a file
// name, in one include.
#pragma once

#include "common/cli.h"
#include "common/format.h"
#include "common/framelayout.h"
#include "common/namescan.h"
#include "common/samplings.h"
