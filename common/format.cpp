#include "common/format.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "common/messages.h"

const Layout* findLayout(const char* name)
{
    for (const Layout& layout : layouts) {
        if (std::strcmp(layout.name, name) == 0) {
            return &layout;
        }
    }
    return nullptr;
}

bool parseFormat(const char* text, Format& format)
{
    // As ffmpeg takes it, a name without its byte order means the little-endian format:
    // p010 is p010le.
    const std::string littleEndian = std::string(text) + "le";
    for (const FormatName& entry : formatNames) {
        if (std::strcmp(entry.name, text) == 0 || littleEndian == entry.name) {
            format = Format{findLayout(entry.layout), entry.depth, entry.msbAligned};
            return true;
        }
    }
    const char* colon = std::strchr(text, ':');
    const std::string layoutName = colon == nullptr ? std::string(text) : std::string(text, colon);
    const Layout* layout = findLayout(layoutName.c_str());
    if (layout == nullptr && colon == nullptr) {
        layout = findLayout(littleEndian.c_str());
    }
    if (layout == nullptr || (layout->onlyDepth != 0 && colon != nullptr)) {
        return false;
    }
    if (colon == nullptr) {
        format = Format{layout, layout->onlyDepth != 0 ? layout->onlyDepth : lowestDepth, false};
        return true;
    }
    std::string depthText = colon + 1;
    const bool msbAligned = !depthText.empty() && depthText.back() == 'm';
    if (msbAligned) {
        depthText.pop_back();
    }
    const int64_t depth = readDecimal(depthText.c_str(), lowestDepth, highestDepth);
    if (depth < 0 || (msbAligned && depth == lowestDepth)) {
        return false;
    }
    // 16 bits fill the container: no alignment to tell.
    format = Format{layout, static_cast<int32_t>(depth), msbAligned && depth < highestDepth};
    return true;
}

std::string formatName(const Format& format)
{
    if (format.layout->onlyDepth != 0) {
        return format.layout->name;
    }
    for (const FormatName& entry : formatNames) {
        Format named{};
        if (parseFormat(entry.name, named) && named.layout == format.layout && named.depth == format.depth &&
            named.msbAligned == format.msbAligned) {
            return format.depth == lowestDepth ? format.layout->name : entry.name;
        }
    }
    if (format.depth == lowestDepth) {
        return format.layout->name;
    }
    return std::string(format.layout->name) + ":" + std::to_string(format.depth) + (format.msbAligned ? "m" : "");
}

std::string knownFormatNames()
{
    std::string names;
    for (const Layout& layout : layouts) {
        names += std::string(names.empty() ? "" : " ") + layout.name;
    }
    for (const FormatName& entry : formatNames) {
        names += std::string(" ") + entry.name;
    }
    return names + ", or LAYOUT:DEPTH (LSB-aligned), LAYOUT:DEPTHm (MSB-aligned) with DEPTH 8 to 16, 9 to 16 for m";
}

Format planarFormatOf(int32_t sampling)
{
    const Layout* found = std::find_if(std::begin(layouts), std::end(layouts), [&](const Layout& layout) {
        return layout.sampling == sampling && (layout.chroma == Chroma::planar || layout.chroma == Chroma::none);
    });
    return Format{found == std::end(layouts) ? &layouts[0] : found, lowestDepth, false};
}
