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

#include "framecmp/report/escape.h"

namespace framecmp {

// The length of the valid UTF-8 sequence that starts at text[i] and its code point, or 0
// when none starts there: no overlong forms, no surrogates, nothing past U+10FFFF.
static size_t utf8Length(const std::string& text, size_t i, uint32_t& codePoint)
{
    const auto lead = static_cast<uint8_t>(text[i]);
    const size_t length = lead < 0x80                    ? 1
                          : lead >= 0xc2 && lead <= 0xdf ? 2
                          : lead >= 0xe0 && lead <= 0xef ? 3
                          : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                         : 0;
    if (length == 0 || i + length > text.size()) {
        return 0;
    }
    static const uint32_t leadMasks[5] = {0, 0x7f, 0x1f, 0x0f, 0x07};
    uint32_t value = lead & leadMasks[length];
    for (size_t k = 1; k < length; ++k) {
        const auto next = static_cast<uint8_t>(text[i + k]);
        if ((next & 0xc0U) != 0x80) {
            return 0;
        }
        value = value << 6U | (next & 0x3fU);
    }
    static const uint32_t lowest[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < lowest[length] || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff)) {
        return 0;
    }
    codePoint = value;
    return length;
}

// A JSON string of bytes: valid UTF-8 kept, quotes and backslashes escaped, control
// characters and every byte of no valid sequence as \u00XX.
std::string jsonString(const std::string& bytes)
{
    std::string text = "\"";
    for (size_t i = 0; i < bytes.size();) {
        uint32_t codePoint = 0;
        const size_t length = utf8Length(bytes, i, codePoint);
        if (length == 0 || codePoint < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(static_cast<uint8_t>(bytes[i])));
            text += escape;
            ++i;
            continue;
        }
        if (codePoint == '"' || codePoint == '\\') {
            text += '\\';
        }
        text.append(bytes, i, length);
        i += length;
    }
    return text + "\"";
}

// Whether XML 1.0 carries a character `length` bytes long (0: no valid UTF-8): not control
// characters but tab and line ends, nor U+FFFE and U+FFFF.
static bool xmlCarries(size_t length, uint32_t codePoint)
{
    return length != 0 && (codePoint >= 0x20 || codePoint == '\t' || codePoint == '\n' || codePoint == '\r') &&
           codePoint != 0xfffe && codePoint != 0xffff;
}

// The entity of a character XML's markup takes (&, <, > and the double quote), or null.
static const char* xmlEntity(uint32_t codePoint)
{
    switch (codePoint) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    default: return nullptr;
    }
}

// Text for XML: the five special characters as entities, and what XML 1.0 forbids (control
// characters, U+FFFE, U+FFFF, bytes of no valid UTF-8) as U+FFFD.
std::string xmlText(const std::string& bytes)
{
    std::string text;
    for (size_t i = 0; i < bytes.size();) {
        uint32_t codePoint = 0;
        const size_t length = utf8Length(bytes, i, codePoint);
        const bool allowed = xmlCarries(length, codePoint);
        i += length == 0 ? 1 : length;
        if (!allowed) {
            text += "\xef\xbf\xbd";
            continue;
        }
        const char* entity = codePoint == '\'' ? "&apos;" : xmlEntity(codePoint);
        if (entity != nullptr) {
            text += entity;
        } else {
            text.append(bytes, i - length, length);
        }
    }
    return text;
}

// Bytes for an XML attribute or text that keeps them all: what XML 1.0 cannot carry (control
// characters, U+FFFE, U+FFFF, bytes of no valid UTF-8) as the text \xNN of each byte; in an
// attribute, tabs and line ends as character references, which its normalisation keeps.
std::string xmlEscaped(const std::string& bytes, bool attribute)
{
    std::string text;
    for (size_t i = 0; i < bytes.size();) {
        uint32_t codePoint = 0;
        const size_t length = utf8Length(bytes, i, codePoint);
        const bool allowed = xmlCarries(length, codePoint);
        if (!allowed) {
            for (size_t k = 0; k < (length == 0 ? 1 : length); ++k) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\x%02X",
                              static_cast<unsigned>(static_cast<uint8_t>(bytes[i + k])));
                text += escape;
            }
            i += length == 0 ? 1 : length;
            continue;
        }
        const char* entity = xmlEntity(codePoint);
        switch (codePoint) {
        case '\t': text += attribute ? "&#9;" : "\t"; break;
        case '\n': text += attribute ? "&#10;" : "\n"; break;
        case '\r': text += "&#13;"; break;
        default:
            if (entity != nullptr) {
                text += entity;
            } else {
                text.append(bytes, i, length);
            }
        }
        i += length;
    }
    return text;
}

} // namespace framecmp
