#include "util/parsed_url.h"

#include <cstring>
#include <new>

#include "buffer/kt_buffer.h"
#include "util/kt_header.h"
#include "util/kt_simple_list.h"
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

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The white space atol skips in the C locale.
bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

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

// ParseTimeOffset of the text after each '$' in turn, from left to right.
// Reading every candidate from scratch would make a text of many '$'
// quadratic, so the parts the candidates share are worked out once: the
// fields after the text's last three colons (a time has at most three) and
// the first '.' after a given place. Gives exactly what ParseTimeOffset
// gives for the same text.
class StartTimeScan {
public:
    explicit StartTimeScan(const char* text) {
        for (const char* p = text; *p; ++p) {
            if (*p != ':') continue;
            ++m_totalColons;
            m_lastColons[0] = m_lastColons[1];
            m_lastColons[1] = m_lastColons[2];
            m_lastColons[2] = p;
        }
        for (int i = 0; i < 3; ++i) {
            if (m_lastColons[i]) m_colonFields[i] = static_cast<uint32_t>(CParsedUrl::ReadLong(m_lastColons[i] + 1));
        }
        if (m_lastColons[2]) m_dotAfterLastColon = std::strchr(m_lastColons[2] + 1, '.');
        m_scanned = text;
    }

    // Candidates must come in increasing order.
    int32_t TimeAfter(const char* dollar) {
        const char* time = dollar + 1;
        for (; m_scanned < time; ++m_scanned) m_colonsBefore += *m_scanned == ':';
        const size_t colons = m_totalColons - m_colonsBefore;
        if (colons > 3) return 0;

        // parts[0] is the seconds field, then minutes, hours, days.
        uint32_t parts[4] = {0, 0, 0, 0};
        parts[colons] = static_cast<uint32_t>(CParsedUrl::ReadLong(time));
        for (size_t k = 1; k <= colons; ++k) parts[colons - k] = m_colonFields[3 - colons + k - 1];
        uint32_t total = (((parts[3] * 24u + parts[2]) * 60u + parts[1]) * 60u + parts[0]) * 10u;

        const char* dot;
        if (colons > 0) {
            dot = m_dotAfterLastColon;
        } else {
            if (!m_nextDotKnown || (m_nextDot && m_nextDot < time)) {
                m_nextDot = std::strchr(time, '.');
                m_nextDotKnown = true;
            }
            dot = m_nextDot;
        }
        if (dot && dot[1] >= '0' && dot[1] <= '9') total += static_cast<uint32_t>(dot[1] - '0');
        return static_cast<int32_t>(total);
    }

private:
    size_t m_totalColons = 0;
    size_t m_colonsBefore = 0;
    const char* m_scanned = nullptr;
    const char* m_lastColons[3] = {nullptr, nullptr, nullptr};
    uint32_t m_colonFields[3] = {0, 0, 0};
    const char* m_dotAfterLastColon = nullptr;
    const char* m_nextDot = nullptr;
    bool m_nextDotKnown = false;
};

}  // namespace

CParsedUrl::CParsedUrl(const char* url) {
    if (!url) {
        m_result = RES_INVALID_URL;
        return;
    }
    m_text = CollapseDotSegments(url);
    if (!m_text) m_text = DuplicateText(url);
    m_properties = CKTHeader::Create();
    m_options = CKTHeader::Create();
    if (!m_text || !m_properties || !m_options) {
        m_result = E_OUTOFMEMORY;
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

const char* CParsedUrl::FindStartTimeMark(const char* text) {
    if (!text) return nullptr;
    StartTimeScan scan(text);
    for (const char* dollar = FindChar(text, '$'); dollar; dollar = FindChar(dollar + 1, '$')) {
        if (scan.TimeAfter(dollar) != 0) return dollar;
    }
    return nullptr;
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
    if (!rewritten) return;
    std::memcpy(rewritten, m_text, headLength);
    std::memcpy(rewritten + headLength, kStart, sizeof kStart - 1);
    std::memcpy(rewritten + headLength + sizeof kStart - 1, time, timeLength + 1);
    delete[] m_text;
    m_text = rewritten;
}

char* CParsedUrl::FindSchemeColon(char* text) {
    for (char* p = text; *p; ++p) {
        switch (*p) {
            case ':': return p;
            case '#': case '$': case '/': case '?': case '\\': return nullptr;
            default: break;
        }
    }
    return nullptr;
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
    m_properties->SetNumberProperty("protocol", m_protocol);

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
        m_properties->SetNumberProperty("port", static_cast<uint32_t>(ReadLong(m_port)));
    } else if (defaultPort > 0) {
        m_properties->SetNumberProperty("port", static_cast<uint32_t>(defaultPort));
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
        if (!copy) return;
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
            stored = m_options->SetNumberProperty(name, static_cast<uint32_t>(ParseTimeOffset(value)) * 100u);
        } else if (!quoted && IsAllDigits(value)) {
            stored = m_options->SetNumberProperty(name, static_cast<uint32_t>(ReadLong(value)));
        } else {
            stored = AddTextProperty(m_options, name, value);
        }
        if (QLX_FAILED(stored)) return E_OUTOFMEMORY;
    }
    return S_OK;
}

int32_t CParsedUrl::ReadLong(const char* text) {
    const char* p = text;
    while (IsSpace(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    uint32_t value = 0;
    for (; IsDigit(*p); ++p) value = value * 10u + static_cast<uint32_t>(*p - '0');
    if (negative) value = 0u - value;
    return static_cast<int32_t>(value);
}

int32_t CParsedUrl::ParseTimeOffset(const char* text) {
    const char* fields[4];
    size_t colons = 0;
    fields[0] = text;
    for (const char* p = text; *p; ++p) {
        if (*p != ':') continue;
        if (++colons > 3) return 0;
        fields[colons] = p + 1;
    }
    // From the right: seconds, minutes, hours, days.
    uint32_t parts[4] = {0, 0, 0, 0};
    for (size_t i = 0; i <= colons; ++i) parts[colons - i] = static_cast<uint32_t>(ReadLong(fields[i]));
    const uint32_t seconds = parts[0], minutes = parts[1], hours = parts[2], days = parts[3];
    uint32_t total = (((days * 24u + hours) * 60u + minutes) * 60u + seconds) * 10u;

    const char* secondsField = fields[colons];
    if (const char* dot = std::strchr(secondsField, '.')) {
        if (IsDigit(dot[1])) total += static_cast<uint32_t>(dot[1] - '0');
    }
    return static_cast<int32_t>(total);
}

bool CParsedUrl::IsAllDigits(const char* text) {
    for (const char* p = text; *p; ++p) {
        if (!IsDigit(*p)) return false;
    }
    return true;
}

static unsigned HexValue(char c) {
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
    // Lower-case letters land on 10..15; any other byte gives whatever its
    // code minus 87 is, kept to one byte by the caller.
    return static_cast<unsigned>(static_cast<unsigned char>(c)) - 87u;
}

void CParsedUrl::UnescapeInPlace(char* text, char** query) {
    if (!text) return;
    // Compare against where the query was in the original text: every pair
    // of consumed digits in front of it shifts it back by their count.
    const char* const queryAt = query ? *query : nullptr;
    size_t shift = 0;
    const char* read = text;
    char* write = text;
    while (*read) {
        if (*read != '%') {
            *write++ = *read++;
            continue;
        }
        if (read[1] == 0 || read[2] == 0) break;  // incomplete escape: dropped
        unsigned byte = HexValue(read[1]) * 16u + HexValue(read[2]);
        if (queryAt) {
            if (read + 1 < queryAt) ++shift;
            if (read + 2 < queryAt) ++shift;
        }
        *write++ = static_cast<char>(byte & 0xFFu);
        read += 3;
    }
    *write = 0;
    if (queryAt) *query = const_cast<char*>(queryAt) - shift;
}

char* CParsedUrl::CollapseDotSegments(const char* text) {
    if (!text) return nullptr;
    const char* queryMark = std::strchr(text, '?');
    const char* scanEnd = queryMark ? queryMark : text + std::strlen(text);

    bool foldable = false;
    for (const char* p = text; p < scanEnd && !foldable; ++p) {
        if (!IsSeparator(p[0]) || p + 1 >= scanEnd || p[1] != '.') continue;
        if (p + 2 < scanEnd && IsSeparator(p[2])) foldable = true;
        if (p + 3 < scanEnd && p[2] == '.' && IsSeparator(p[3])) foldable = true;
    }
    if (!foldable) return nullptr;

    const size_t size = std::strlen(text) + 1;
    char* copy = DuplicateText(text);
    if (!copy) return nullptr;
    const char* rest = nullptr;
    if (char* question = std::strchr(copy, '?')) {
        *question = 0;
        rest = question + 1;
    }

    CKTSimpleList segments;
    CKTSimpleList kept;
    bool complete = true;
    char* segment = copy;
    for (char* p = copy;; ++p) {
        if (*p == 0 || IsSeparator(*p)) {
            const bool last = *p == 0;
            *p = 0;
            if (!segments.AddTail(segment)) {
                complete = false;
                break;
            }
            if (last) break;
            segment = p + 1;
        }
    }

    // Walked from the end, a ".." hides the next segment to its left. The
    // counter is wide enough for any text, so it cannot wrap back to zero.
    size_t skip = 0;
    while (complete && segments.GetNodeCount() > 0) {
        const char* piece = static_cast<const char*>(segments.RemoveTail());
        if (std::strcmp(piece, ".") == 0) continue;
        if (std::strcmp(piece, "..") == 0) {
            ++skip;
        } else if (skip > 0) {
            --skip;
        } else if (!kept.AddTail(const_cast<char*>(piece))) {
            complete = false;
        }
    }

    char* result = nullptr;
    if (complete && skip == 0 && kept.GetNodeCount() > 0) {
        result = new (std::nothrow) char[size];
        if (result) {
            result[0] = 0;
            // Copied at the end reached so far, bounded like AppendText but
            // without its zero padding of the rest of the buffer on every
            // call, which would make the join quadratic in the segments.
            size_t used = 0;
            auto append = [&](const char* piece) {
                size_t length = std::strlen(piece);
                if (length > size - 1 - used) length = size - 1 - used;
                std::memcpy(result + used, piece, length);
                used += length;
                result[used] = 0;
            };
            // kept holds the segments from last to first.
            for (KTSimpleListNode* node = kept.Tail(); node; node = node->previous) {
                append(static_cast<const char*>(node->data));
                if (node->previous) append("/");
            }
            if (rest) {
                append("?");
                append(rest);
            }
        }
    }
    delete[] copy;
    return result;
}

int32_t CParsedUrl::AddTextProperty(IQLXValues* set, const char* key, const char* text) {
    if (!set) return E_POINTER;
    CKTBuffer* buffer = CKTBuffer::CreateText(text);
    if (!buffer) return E_OUTOFMEMORY;
    int32_t result = set->SetBufferProperty(key, buffer);
    buffer->Release();
    return result;
}

int32_t CParsedUrl::AddRootedTextProperty(IQLXValues* set, const char* key, const char* text) {
    char* rooted = Prefixed("/", text);
    if (!rooted) return E_OUTOFMEMORY;
    int32_t result = AddTextProperty(set, key, rooted);
    delete[] rooted;
    return result;
}
