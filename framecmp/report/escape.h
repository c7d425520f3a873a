// Bytes made safe for JSON strings and XML text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/formats.h"

namespace framecmp {

std::string jsonString(const std::string& bytes);

std::string xmlText(const std::string& bytes);

std::string xmlEscaped(const std::string& bytes, bool attribute);

} // namespace framecmp
