#include "util/container_url.h"

#include "util/parsed_url.h"

ContainerUrl ParseContainerUrl(const char* url) {
    ContainerUrl result;
    CParsedUrl parsed(url);
    CompactString fullPath;
    if (parsed.PropertyText("fullpath", &fullPath)) {
        uint32_t skip = 0;
        while (skip < 2 && fullPath.CharAt(static_cast<int32_t>(skip)) == '/') ++skip;
        result.path = fullPath.SubstringFrom(skip);
    }
    result.namesEntry = parsed.OptionText("file", &result.entryName);
    return result;
}

ContainerUrl ParseHostUrl(const char* text) {
    if (!text) return ContainerUrl();
    CompactString url(text);
    if (url.Find("://") < 0) {
        CompactString prefixed("cont:///");
        prefixed.Append(url);
        url = prefixed;
    }
    url.Replace("\\", "/", true);
    url.PercentDecode();
    return ParseContainerUrl(url.GetChars());
}
