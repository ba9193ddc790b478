#include "util/parsed_url.h"

#include <cstring>
#include <new>

#include "buffer/byte_buffer.h"
#include "util/property_set.h"
#include "util/text.h"

namespace {

struct Scheme {
    const char* prefix;
    size_t length;
    uint16_t protocol;
    int32_t defaultPort;
};

// Tried in this order; the first match wins.
const Scheme kSchemes[] = {
    {"http:", 5, CParsedUrl::kHttp, 80},
    {"chttp:", 6, CParsedUrl::kHttp, 80},
    {"ktm:", 4, CParsedUrl::kKtm, 7070},
    {"rtsp:", 5, CParsedUrl::kRtsp, 554},
    {"https:", 6, CParsedUrl::kHttps, 443},
};

// Option names whose values are times, stored in milliseconds.
const char* const kTimeOptions[] = {"Start", "End", "Delay", "Duration"};

// Array-allocated copy of text with prefix put in front; null when memory runs out.
char* Prefixed(const char* prefix, const char* text) {
    size_t prefixLength = std::strlen(prefix);
    size_t textLength = std::strlen(text);
    char* joined = new (std::nothrow) char[prefixLength + textLength + 1];
    if (!joined) return nullptr;
    std::memcpy(joined, prefix, prefixLength);
    std::memcpy(joined + prefixLength, text, textLength + 1);
    return joined;
}

void TrimSpaces(char*& text) {
    while (*text == ' ') ++text;
    size_t length = std::strlen(text);
    while (length > 0 && text[length - 1] == ' ') text[--length] = 0;
}

}  // namespace

CParsedUrl::CParsedUrl(const char* url) {
    if (!url) {
        m_result = RES_INVALID_URL;
        return;
    }
    m_text = CollapseDotSegments(url);
    if (!m_text) m_text = DuplicateText(url);
    m_properties = PropertySet::Create();
    m_options = PropertySet::Create();
    if (!m_text || !m_properties || !m_options) {
        m_result = E_OUTOFMEMORY;
        m_outOfMemory = true;
        return;
    }

    RewriteStartTime();

    if (char* question = FindChar(m_text, '?')) m_query = question + 1;
    if (char* hash = FindChar(m_text, '#')) {
        AddTextProperty(m_properties, "fragment", hash + 1);
        *hash = 0;
    }
    if (CompareNoCaseN(m_text, "file:", 5) == 0) UnescapeInPlace(m_text, &m_query);
    AddTextProperty(m_properties, "url", m_text);

    m_result = Parse(m_text);

    if (m_query && ParseOptions(m_query) == RES_INCOMPLETE && m_path) {
        if (char* question = FindChar(m_path, '?')) {
            *question = 0;
            SetPathProperties();
        }
    }
}

CParsedUrl::~CParsedUrl() {
    delete[] m_text;
    if (m_properties) m_properties->Release();
    if (m_options) m_options->Release();
}

IQLXValues* CParsedUrl::GetProperties() {
    if (!m_properties) return nullptr;
    m_properties->AddRef();
    return m_properties;
}

IQLXValues* CParsedUrl::GetOptions() {
    if (!m_options) return nullptr;
    m_options->AddRef();
    return m_options;
}

bool CParsedUrl::PropertyText(const char* key, CompactString* out) const { return TextOf(m_properties, key, out); }

bool CParsedUrl::OptionText(const char* key, CompactString* out) const { return TextOf(m_options, key, out); }

bool CParsedUrl::OptionNumber(const char* key, uint32_t* out) const {
    uint32_t value = 0;
    if (!m_options || QLX_FAILED(m_options->GetNumberProperty(key, &value))) return false;
    *out = value;
    return true;
}

bool CParsedUrl::TextOf(IQLXValues* set, const char* key, CompactString* out) const {
    IQLXBuffer* buffer = nullptr;
    if (!set || QLX_FAILED(set->GetBufferProperty(key, &buffer)) || !buffer) return false;
    const char* chars = reinterpret_cast<const char*>(buffer->GetBuffer());
    const uint32_t size = chars ? buffer->GetSize() : 0;
    uint32_t length = 0;
    while (length < size && chars[length] != '\0') ++length;
    CompactString text(chars, length);
    buffer->Release();
    if (text.GetLength() != length) {
        m_outOfMemory = true;
        return false;
    }
    *out = text;
    return true;
}

// "...clip.dat$2:00" stands for "...clip.dat?start=2:00".
void CParsedUrl::RewriteStartTime() {
    const char* dollar = FindStartTimeMark(m_text);
    if (!dollar) return;
    static const char kStart[] = "?start=";
    const char* time = dollar + 1;
    size_t headLength = static_cast<size_t>(dollar - m_text);
    size_t timeLength = std::strlen(time);
    char* rewritten = new (std::nothrow) char[headLength + sizeof kStart - 1 + timeLength + 1];
    if (!rewritten) {
        m_outOfMemory = true;
        return;
    }
    std::memcpy(rewritten, m_text, headLength);
    std::memcpy(rewritten + headLength, kStart, sizeof kStart - 1);
    std::memcpy(rewritten + headLength + sizeof kStart - 1, time, timeLength + 1);
    delete[] m_text;
    m_text = rewritten;
}

int32_t CParsedUrl::Parse(char* text) {
    int32_t defaultPort = 0;
    for (const Scheme& scheme : kSchemes) {
        if (CompareNoCaseN(text, scheme.prefix, scheme.length) == 0) {
            m_protocol = scheme.protocol;
            defaultPort = scheme.defaultPort;
            break;
        }
    }
    AddNumberProperty(m_properties, "protocol", m_protocol);

    int32_t result = RES_INVALID_PROTOCOL;
    char* colon = FindSchemeColon(text);
    if (!colon) {
        SetPathProperties();
        return result;
    }
    *colon = 0;
    AddTextProperty(m_properties, "scheme", text);
    result = S_OK;

    char* p = colon + 1;
    if (p[0] == '/' && p[1] == '/') {
        p += 2;
    } else if (p[0] == '/') {
        p += 1;
    }

    if (m_protocol == kPathOnly) {
        m_path = p;
        if (*p == 0) result = RES_INVALID_PATH;
        SetPathProperties();
        return result;
    }

    // User information counts only when the authority ends in a '/': without
    // one an '@' is part of the host text.
    char* userColon = FindChar(p, ':');
    char* slash = FindChar(p, '/');
    char* at = FindChar(p, '@');
    if (at && slash && at < slash) {
        m_userName = p;
        if (userColon && userColon < at) {
            *userColon = 0;
            m_password = userColon + 1;
        } else {
            m_password = at;
        }
        *at = 0;
        AddTextProperty(m_properties, "username", m_userName);
        AddTextProperty(m_properties, "password", m_password);
        p = at + 1;
    }

    m_host = p;
    if (*p == 0) {
        SetPathProperties();
        return RES_INVALID_HOST;
    }
    char* pathStart = nullptr;
    if (char* hostEnd = FindChar(m_host, '/')) {
        *hostEnd = 0;
        pathStart = hostEnd + 1;
    } else if (m_protocol == kKtm) {
        result = RES_INVALID_PATH;
    }

    if (char* portColon = FindChar(m_host, ':')) {
        *portColon = 0;
        m_port = portColon + 1;
        if (*m_port == 0) {
            SetPathProperties();
            return RES_INVALID_HOST;
        }
    }
    AddTextProperty(m_properties, "host", m_host);
    if (m_port) {
        AddNumberProperty(m_properties, "port", static_cast<uint32_t>(ReadLong(m_port)));
    } else if (defaultPort > 0) {
        AddNumberProperty(m_properties, "port", static_cast<uint32_t>(defaultPort));
    }

    if (pathStart) {
        m_path = pathStart;
        if (*m_path == 0 && m_protocol != kHttp && m_protocol != kRtsp) result = RES_INVALID_PATH;
    }
    SetPathProperties();
    return result;
}

void CParsedUrl::SetPathProperties() {
    if (m_path && *m_path) {
        AddTextProperty(m_properties, "resource", m_path);
        char* copy = DuplicateText(m_path);
        if (!copy) {
            m_outOfMemory = true;
            return;
        }
        if (char* question = FindChar(copy, '?')) *question = 0;
        AddRootedTextProperty(m_properties, "fullpath", copy);
        if (char* last = FindLastChar(copy, '/')) {
            *last = 0;
            AddRootedTextProperty(m_properties, "path", copy);
        } else {
            AddTextProperty(m_properties, "path", "/");
        }
        delete[] copy;
    } else if (m_protocol == kRtsp) {
        AddTextProperty(m_properties, "resource", "");
        AddTextProperty(m_properties, "fullpath", "");
        AddTextProperty(m_properties, "path", "");
    }
}

int32_t CParsedUrl::ParseOptions(char* query) {
    if (m_result != S_OK) return m_result;
    char* const end = query + std::strlen(query);
    char* position = query;
    while (position < end) {
        char* name = position;
        char* equals = FindChar(position, '=');
        if (!equals) return E_FAIL;
        *equals = 0;
        char* value = equals + 1;
        while (*value == ' ') ++value;

        bool quoted = false;
        char* rest = value;
        if (*value == '"') {
            quoted = true;
            ++value;
            char* close = FindChar(value, '"');
            if (!close) return RES_INCOMPLETE;
            *close = 0;
            rest = close + 1;
        }
        // Everything between a closing quote and the next '&' is ignored.
        if (char* amp = FindChar(rest, '&')) {
            *amp = 0;
            position = amp + 1;
        } else {
            position = end;
        }

        TrimSpaces(name);
        TrimSpaces(value);

        bool isTime = false;
        for (const char* timeName : kTimeOptions) isTime = isTime || CompareNoCase(name, timeName) == 0;
        int32_t stored;
        if (isTime) {
            stored = AddNumberProperty(m_options, name, static_cast<uint32_t>(ParseTimeOffset(value)) * 100u);
        } else if (!quoted && IsAllDigits(value)) {
            stored = AddNumberProperty(m_options, name, static_cast<uint32_t>(ReadLong(value)));
        } else {
            stored = AddTextProperty(m_options, name, value);
        }
        if (QLX_FAILED(stored)) return E_OUTOFMEMORY;
    }
    return S_OK;
}

int32_t CParsedUrl::AddTextProperty(IQLXValues* set, const char* key, const char* text) {
    if (!set) return E_POINTER;
    ByteBuffer* buffer = ByteBuffer::CreateText(text);
    int32_t result = E_OUTOFMEMORY;
    if (buffer) {
        result = set->SetBufferProperty(key, buffer);
        buffer->Release();
    }
    if (result == E_OUTOFMEMORY) m_outOfMemory = true;
    return result;
}

int32_t CParsedUrl::AddNumberProperty(IQLXValues* set, const char* key, uint32_t value) {
    int32_t result = set->SetNumberProperty(key, value);
    if (result == E_OUTOFMEMORY) m_outOfMemory = true;
    return result;
}

int32_t CParsedUrl::AddRootedTextProperty(IQLXValues* set, const char* key, const char* text) {
    char* rooted = Prefixed("/", text);
    if (!rooted) {
        m_outOfMemory = true;
        return E_OUTOFMEMORY;
    }
    int32_t result = AddTextProperty(set, key, rooted);
    delete[] rooted;
    return result;
}
