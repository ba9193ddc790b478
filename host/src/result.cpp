#include <contfs/result.h>

#include <cstdio>
#include <cstring>

namespace contfs {

namespace {

struct NamedResult {
    int32_t value;
    const char* name;
};

const NamedResult kNames[] = {
    {S_OK, "S_OK"},
    {RES_END_OF_DATA, "RES_END_OF_DATA"},
    {E_NOTIMPL, "E_NOTIMPL"},
    {E_NOINTERFACE, "E_NOINTERFACE"},
    {E_POINTER, "E_POINTER"},
    {E_FAIL, "E_FAIL"},
    {E_ACCESSDENIED, "E_ACCESSDENIED"},
    {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
    {E_INVALIDARG, "E_INVALIDARG"},
    {RES_OPEN_FAILED, "RES_OPEN_FAILED"},
    {RES_UNEXPECTED, "RES_UNEXPECTED"},
    {RES_INCOMPLETE, "RES_INCOMPLETE"},
    {RES_BAD_FORMAT, "RES_BAD_FORMAT"},
    {RES_IO_ERROR, "RES_IO_ERROR"},
    {RES_INVALID_URL, "RES_INVALID_URL"},
    {RES_INVALID_PROTOCOL, "RES_INVALID_PROTOCOL"},
    {RES_INVALID_HOST, "RES_INVALID_HOST"},
    {RES_INVALID_PATH, "RES_INVALID_PATH"},
};

std::string Hex(int32_t result) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(result));
    return text;
}

}  // namespace

const char* Result::Name() const noexcept {
    for (const NamedResult& n : kNames)
        if (n.value == code_) return n.name;
    return nullptr;
}

std::string Result::Describe() const {
    if (code_ == E_OUTOFMEMORY) return std::string("out of memory, E_OUTOFMEMORY (") + Hex(code_) + ")";
    if (const char* name = Name()) return std::string(name) + " (" + Hex(code_) + ")";
    const uint32_t bits = static_cast<uint32_t>(code_);
    if ((bits & 0xFFFF0000u) == 0x80070000u) {
        const int code = static_cast<int>(bits & 0xFFFFu);
        return std::string("platform error ") + std::to_string(code) + ", " + std::strerror(code) + " (" +
               Hex(code_) + ")";
    }
    return std::string(failed() ? "unnamed failure" : "unnamed success") + " (" + Hex(code_) + ")";
}

}  // namespace contfs
