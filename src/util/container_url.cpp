#include "util/container_url.h"

#include <cstring>

#include "util/parsed_url.h"

namespace {

ContainerUrl OutOfMemory() {
    ContainerUrl result;
    result.outOfMemory = true;
    return result;
}

}  // namespace

ContainerUrl ParseContainerUrl(const char* url) {
    ContainerUrl result;
    CParsedUrl parsed(url);
    CompactString fullPath;
    if (parsed.PropertyText("fullpath", &fullPath)) {
        uint32_t skip = 0;
        while (skip < 2 && fullPath.CharAt(static_cast<int32_t>(skip)) == '/') ++skip;
        result.path = fullPath.SubstringFrom(skip);
        if (result.path.GetLength() != fullPath.GetLength() - skip) return OutOfMemory();
    }
    result.namesEntry = parsed.OptionText("file", &result.entryName);
    uint32_t gather = 0;
    result.gather = parsed.OptionNumber("gather", &gather) && gather != 0;
    if (parsed.OutOfMemory()) return OutOfMemory();
    return result;
}

ContainerUrl ParseHostUrl(const char* text) {
    if (!text) return ContainerUrl();
    static const char kPrefix[] = "cont:///";
    const size_t length = std::strlen(text);
    // Longer than a string can hold: no URL at all, as before.
    if (length > CompactString::kMaxLength - (sizeof kPrefix - 1)) return ContainerUrl();
    CompactString url(text, static_cast<uint32_t>(length));
    if (url.GetLength() != length) return OutOfMemory();
    if (url.Find("://") < 0) {
        CompactString prefixed(kPrefix);
        prefixed.Append(url);
        if (prefixed.GetLength() != length + sizeof kPrefix - 1) return OutOfMemory();
        url = prefixed;
    }
    url.Replace("\\", "/", true);
    if (url.Find("\\") >= 0) return OutOfMemory();  // Replace found no room
    url.PercentDecode();
    return ParseContainerUrl(url.GetChars());
}
