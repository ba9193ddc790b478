// CParsedUrl: splits one URL, at construction, into two property sets: the
// URL's parts ("scheme", "protocol", "username", "password", "host", "port",
// "resource", "fullpath", "path", "fragment", "url") and the options of its
// query string, typed (numbers for digits and times, texts otherwise).
//
// All cutting happens in the object's own copy of the URL: separators are
// overwritten with zero bytes and the parts are pointers into that copy until
// they are stored. The sets hold whatever the parse reached before a failure.
#ifndef CONTFS_UTIL_PARSED_URL_H
#define CONTFS_UTIL_PARSED_URL_H

#include <qlx/interfaces.h>

#include <cstdint>

#include "util/compact_string.h"

class PropertySet;

class CParsedUrl {
public:
    // Protocol codes of the recognised schemes; everything else is a path-only
    // scheme ("file:", "cont:", ...).
    enum : uint16_t { kHttp = 0, kKtm = 1, kRtsp = 2, kPathOnly = 3, kHttps = 5 };

    explicit CParsedUrl(const char* url);
    ~CParsedUrl();
    CParsedUrl(const CParsedUrl&) = delete;
    CParsedUrl& operator=(const CParsedUrl&) = delete;

    // The sets with one reference added for the caller; null when the URL
    // was null (or the set could not be made).
    IQLXValues* GetProperties();
    IQLXValues* GetOptions();

    // The text stored under key among the URL's parts or among its options,
    // up to its first zero byte; false (out untouched) when there is none,
    // as for an option of digits only, which is stored as a number. A text
    // that cannot be copied for want of memory gives false and sets
    // OutOfMemory.
    bool PropertyText(const char* key, CompactString* out) const;
    bool OptionText(const char* key, CompactString* out) const;
    // The number stored under key among the options (an option of digits
    // only); false (out untouched) when there is none.
    bool OptionNumber(const char* key, uint32_t* out) const;

    int32_t Result() const { return m_result; }
    // Some part could not be stored or handed out for want of memory: the
    // sets miss it, and a missing option must not be taken for one the URL
    // lacks.
    bool OutOfMemory() const { return m_outOfMemory; }
    uint16_t Protocol() const { return m_protocol; }

    // The byte-level steps, public for their own tests.

    // Tenths of a second from "[[[d:]h:]m:]s[.f]"; 0 for anything else.
    // Fields read like atol and the sum wraps as unsigned 32-bit arithmetic.
    static int32_t ParseTimeOffset(const char* text);
    // atol's reading rule (spaces, sign, digits up to the first non-digit),
    // wrapping instead of overflowing.
    static int32_t ReadLong(const char* text);
    static bool IsAllDigits(const char* text);
    // The first '$' followed by a time that is not 0 (the "$" shorthand for
    // "?start="), or null. Linear in the text however many '$' it holds.
    static const char* FindStartTimeMark(const char* text);
    // Percent-decodes in place; *query (which may be null or point anywhere
    // in text) is moved so that it keeps pointing at the same query text.
    static void UnescapeInPlace(char* text, char** query);
    // New array-allocated text with "." and ".." segments folded, or null
    // when there is nothing to fold or too many ".." segments.
    static char* CollapseDotSegments(const char* text);
    // The scheme's ':' or null when a '#', '$', '/', '?' or '\' comes first.
    static char* FindSchemeColon(char* text);

private:
    int32_t Parse(char* text);
    void SetPathProperties();
    int32_t ParseOptions(char* query);
    void RewriteStartTime();
    // The stores and TextOf note a failure for want of memory in m_outOfMemory.
    int32_t AddTextProperty(IQLXValues* set, const char* key, const char* text);
    int32_t AddNumberProperty(IQLXValues* set, const char* key, uint32_t value);
    bool TextOf(IQLXValues* set, const char* key, CompactString* out) const;
    // Stores "/" followed by text.
    int32_t AddRootedTextProperty(IQLXValues* set, const char* key, const char* text);

    int32_t m_result = S_OK;
    mutable bool m_outOfMemory = false;
    char* m_text = nullptr;
    char* m_query = nullptr;
    char* m_host = nullptr;
    char* m_port = nullptr;
    char* m_userName = nullptr;
    char* m_password = nullptr;
    uint16_t m_protocol = kPathOnly;
    char* m_path = nullptr;
    PropertySet* m_properties = nullptr;
    PropertySet* m_options = nullptr;
};

#endif
