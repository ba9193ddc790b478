// The byte-level steps of CParsedUrl: reading numbers and times, the
// start-time shorthand, the scheme's colon, percent-decoding and folding
// "." and ".." segments. Each works on plain texts, alone.
#include <cstring>
#include <new>

#include "util/simple_list.h"
#include "util/parsed_url.h"
#include "util/text.h"

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The white space atol skips in the C locale.
bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

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

const char* CParsedUrl::FindStartTimeMark(const char* text) {
    if (!text) return nullptr;
    StartTimeScan scan(text);
    for (const char* dollar = FindChar(text, '$'); dollar; dollar = FindChar(dollar + 1, '$')) {
        if (scan.TimeAfter(dollar) != 0) return dollar;
    }
    return nullptr;
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

    SimpleList segments;
    SimpleList kept;
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
            for (SimpleListNode* node = kept.Tail(); node; node = node->previous) {
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

