#include "util/text.h"

#include <atomic>
#include <cstring>
#include <new>

#include "platform/code_page.h"

// -1 until first asked, then 0 or 1.
static std::atomic<int> g_multiByte{-1};

bool MultiByteMode() {
    int mode = g_multiByte.load(std::memory_order_relaxed);
    if (mode < 0) {
        mode = platform::DoubleByteCharsetEnabled() ? 1 : 0;
        g_multiByte.store(mode, std::memory_order_relaxed);
    }
    return mode != 0;
}

void SetMultiByteMode(bool on) {
    platform::SetDoubleByteCharsetEnabled(on);
    g_multiByte.store(on ? 1 : 0, std::memory_order_relaxed);
}

const char* NextChar(const char* p) {
    if (!p) return nullptr;
    if (!MultiByteMode()) return p + 1;
    const char* next = platform::CharNext(p);
    return next == p ? p + 1 : next;
}

// In multi-byte mode a position holds a single-byte character when stepping
// from it advances by exactly one byte.
static bool IsSingleByteAt(const char* p) { return NextChar(p) == p + 1; }

const char* FindChar(const char* s, char c) {
    if (!s) return nullptr;
    if (!MultiByteMode()) return std::strchr(s, c);
    for (const char* p = s; *p; p = NextChar(p)) {
        if (*p == c && IsSingleByteAt(p)) return p;
    }
    return nullptr;
}

const char* FindLastChar(const char* s, char c) {
    if (!s) return nullptr;
    if (!MultiByteMode()) return std::strrchr(s, c);
    const char* found = nullptr;
    for (const char* p = s; *p; p = NextChar(p)) {
        if (*p == c && IsSingleByteAt(p)) found = p;
    }
    return found;
}

const char* FindText(const char* s, const char* pattern) {
    if (!s || !pattern) return nullptr;
    if (!MultiByteMode()) return std::strstr(s, pattern);
    if (*s == 0) return nullptr;
    const size_t patternLength = std::strlen(pattern);
    const size_t total = std::strlen(s);
    for (const char* q = s; static_cast<size_t>(q - s) + patternLength <= total; q = NextChar(q)) {
        if (std::memcmp(q, pattern, patternLength) == 0) {
            // The match must end on a character boundary.
            const char* end = q;
            while (end < q + patternLength) end = NextChar(end);
            if (end == q + patternLength) return q;
        }
        if (*q == 0) break;
    }
    return nullptr;
}

char* CopyText(char* dst, const char* src, size_t capacity) {
    if (!dst || !src || capacity == 0) return dst;
    std::strncpy(dst, src, capacity);
    dst[capacity - 1] = 0;
    return dst;
}

char* AppendText(char* dst, const char* src, size_t capacity) {
    if (!dst || !src || capacity == 0) return dst;
    size_t k = strnlen(dst, capacity);
    if (k < capacity) CopyText(dst + k, src, capacity - k);
    return dst;
}

char* ReplaceText(char** text, const char* src) {
    if (!text) return nullptr;
    if (*text) {
        delete[] *text;
        *text = nullptr;
    }
    if (src) *text = DuplicateText(src);
    return *text;
}

char* DuplicateText(const char* text) {
    if (!text) return nullptr;
    size_t length = std::strlen(text);
    char* copy = new (std::nothrow) char[length + 1];
    if (copy) std::memcpy(copy, text, length + 1);
    return copy;
}

static unsigned char FoldCase(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; }

int CompareNoCase(const char* a, const char* b) {
    const unsigned char* x = reinterpret_cast<const unsigned char*>(a);
    const unsigned char* y = reinterpret_cast<const unsigned char*>(b);
    for (;; ++x, ++y) {
        int d = FoldCase(*x) - FoldCase(*y);
        if (d != 0 || *x == 0) return d;
    }
}

int CompareNoCaseN(const char* a, const char* b, size_t n) {
    const unsigned char* x = reinterpret_cast<const unsigned char*>(a);
    const unsigned char* y = reinterpret_cast<const unsigned char*>(b);
    for (; n > 0; --n, ++x, ++y) {
        int d = FoldCase(*x) - FoldCase(*y);
        if (d != 0 || *x == 0) return d;
    }
    return 0;
}
