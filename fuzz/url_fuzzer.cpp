// Feeds arbitrary bytes to CParsedUrl, in single-byte and in double-byte
// mode, and checks what comes out: every stored text is a buffer holding a
// text and its zero byte, the result is one of the parser's codes, and the
// byte-level steps keep their promises.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "util/parsed_url.h"
#include "util/text.h"

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

void CheckText(IQLXBuffer* buffer) {
    const uint32_t size = buffer->GetSize();
    Check(size >= 1, "stored text is empty");
    const char* bytes = reinterpret_cast<const char*>(buffer->GetBuffer());
    Check(bytes[size - 1] == 0, "stored text lacks its zero byte");
    Check(std::strlen(bytes) == size - 1, "stored text length");
}

void CheckSet(IQLXValues* set) {
    Check(set != nullptr, "set missing");
    const char* key = nullptr;
    uint32_t number = 0;
    IQLXBuffer* buffer = nullptr;
    for (int32_t r = set->FirstNumberProperty(&key, &number); r == S_OK; r = set->NextNumberProperty(&key, &number)) {
        Check(key != nullptr, "number key");
    }
    for (int32_t r = set->FirstBufferProperty(&key, &buffer); r == S_OK; r = set->NextBufferProperty(&key, &buffer)) {
        CheckText(buffer);
        buffer->Release();
    }
    set->Release();
}

void ParseOnce(const std::string& text) {
    CParsedUrl url(text.c_str());
    const int32_t r = url.Result();
    Check(r == S_OK || r == RES_INVALID_PROTOCOL || r == RES_INVALID_HOST || r == RES_INVALID_PATH,
          "unexpected parse result");
    CheckSet(url.GetProperties());
    CheckSet(url.GetOptions());
}

void CheckSteps(const std::string& text) {
    const char* s = text.c_str();

    // The linear '$' search gives what reading each time alone gives.
    if (text.size() <= 512) {
        const char* expected = nullptr;
        for (const char* d = FindChar(s, '$'); d; d = FindChar(d + 1, '$')) {
            if (CParsedUrl::ParseTimeOffset(d + 1) != 0) {
                expected = d;
                break;
            }
        }
        Check(CParsedUrl::FindStartTimeMark(s) == expected, "start-time mark");
    }

    if (char* folded = CParsedUrl::CollapseDotSegments(s)) {
        Check(std::strlen(folded) <= std::strlen(s), "folded text grew");
        delete[] folded;
    }

    std::string copy = text;
    char* data = copy.data();
    const char* mark = std::strchr(data, '?');
    char* query = mark ? data + (mark - data) + 1 : nullptr;
    const size_t length = std::strlen(data);
    CParsedUrl::UnescapeInPlace(data, &query);
    Check(std::strlen(data) <= length, "decoded text grew");
    if (query) Check(query >= data && query <= data + length, "query pointer left the text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    // Texts end at their first zero byte, as the host hands them over.
    std::string text(reinterpret_cast<const char*>(bytes), size);
    text.resize(std::strlen(text.c_str()));
    for (bool multiByte : {false, true}) {
        SetMultiByteMode(multiByte);
        ParseOnce(text);
        CheckSteps(text);
    }
    return 0;
}
