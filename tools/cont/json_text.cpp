#include "json_text.h"

#include <algorithm>

namespace cont {

namespace {

bool ValidUtf8(const std::string& text) {
    try {
        (void)Json(text).dump();
        return true;
    } catch (const Json::type_error&) {
        return false;
    }
}

std::string Base64(const std::string& bytes) {
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = std::min<size_t>(3, bytes.size() - i);
        uint32_t group = 0;
        for (size_t k = 0; k < 3; ++k)
            group = group << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (size_t k = 0; k < 4; ++k) out += k <= n ? kDigits[(group >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

}  // namespace

void PutText(Json* object, const std::string& key, const std::string& text) {
    (*object)[key] = text;
    if (!ValidUtf8(text)) (*object)[key + "_base64"] = Base64(text);
}

std::string DumpJson(const Json& document) { return document.dump(2, ' ', false, Json::error_handler_t::replace); }

}  // namespace cont
