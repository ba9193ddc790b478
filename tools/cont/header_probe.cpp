#include "header_probe.h"

#include <cstring>

#include "local_files.h"

namespace cont {

namespace {

constexpr char kWrittenMagic[] = ".W7K";
constexpr char kReadOnlyMagic[] = ".CFS";
constexpr size_t kMagicSize = 4;
constexpr size_t kMaxTitle = 255;

uint32_t BigEndian(const uint8_t* p, size_t n) {
    uint32_t v = 0;
    for (size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}

}  // namespace

bool ProbeHeader(const std::string& path, HeaderInfo* info, std::string* reason) {
    InputFile file;
    if (!file.Open(path, reason)) return false;
    // The longest header: magic, version, flag, length and a 255-byte title.
    uint8_t bytes[kMagicSize + 2 + 1 + 4 + kMaxTitle];
    size_t got = 0;
    if (!file.Read(bytes, sizeof bytes, &got, reason)) return false;
    info->fileBytes = got;
    info->magic.assign(reinterpret_cast<const char*>(bytes), got < kMagicSize ? got : kMagicSize);
    if (got < kMagicSize) return true;

    size_t at = kMagicSize;
    if (std::memcmp(bytes, kWrittenMagic, kMagicSize) == 0) {
        info->known = true;
        if (got < at + 2) return true;
        info->hasVersion = true;
        info->version = static_cast<uint16_t>(BigEndian(bytes + at, 2));
        at += 2;
    } else if (std::memcmp(bytes, kReadOnlyMagic, kMagicSize) == 0) {
        info->known = true;
    } else {
        return true;
    }
    if (got < at + 1) return true;
    info->hasClean = true;
    info->clean = bytes[at++];
    if (got < at + 4) return true;
    const uint32_t titleLength = BigEndian(bytes + at, 4);
    at += 4;
    if (titleLength == 0 || titleLength > kMaxTitle || got < at + titleLength) return true;
    info->hasTitle = true;
    info->title.assign(reinterpret_cast<const char*>(bytes + at), titleLength);
    info->headerBytes = at + titleLength;
    return true;
}

}  // namespace cont
