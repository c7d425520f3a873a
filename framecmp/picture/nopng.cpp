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

#include "framecmp/compare/coding.h"
#include "framecmp/compare/result.h"
#include "framecmp/input.h"
#include "framecmp/picture/picture.h"

namespace framecmp {

SafeOutput writePicture(const char* path, const PairLayout& /*pair*/, const Buffers& /*buffers*/,
                        const FrameResult& /*drawn*/, int32_t /*tolerance*/, const Region& /*region*/)
{
    fail(path, "this framecmp was built without libpng and cannot write pictures");
}

} // namespace framecmp
