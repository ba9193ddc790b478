#include "util/compact_string.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/text.h"

namespace {

constexpr unsigned kPointerBytes = sizeof(char*);
constexpr unsigned kLengthIndex = kPointerBytes;    // 3 bytes
constexpr unsigned kRoomIndex = kPointerBytes + 3;  // 3 bytes
static_assert(kRoomIndex + 3 < 15, "pointer, length and room fit before the tag byte");

// Formatting gives up growing past this many characters and keeps the text
// of the last attempt, truncated.
constexpr uint32_t kFormatFirstAttempt = 512;
constexpr uint32_t kFormatLastAttempt = 131072;

std::atomic<int> g_failAllocations{0};

bool TakeInjectedFailure() {
    int pending = g_failAllocations.load(std::memory_order_relaxed);
    while (pending > 0) {
        if (g_failAllocations.compare_exchange_weak(pending, pending - 1, std::memory_order_relaxed)) return true;
    }
    return false;
}

// A block is [share count][room characters][terminator].
unsigned char* AllocateBlock(uint32_t room) {
    if (TakeInjectedFailure()) return nullptr;
    return static_cast<unsigned char*>(std::malloc(static_cast<size_t>(room) + 2));
}

unsigned char* ResizeBlock(unsigned char* block, uint32_t room) {
    if (TakeInjectedFailure()) return nullptr;
    return static_cast<unsigned char*>(std::realloc(block, static_cast<size_t>(room) + 2));
}

uint32_t Get24(const unsigned char* p) { return p[0] | (p[1] << 8) | (static_cast<uint32_t>(p[2]) << 16); }

void Put24(unsigned char* p, uint32_t value) {
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
    p[2] = static_cast<unsigned char>(value >> 16);
}

unsigned HexDigitValue(unsigned char c) {
    if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 32);
    static const char kDigits[] = "0123456789ABCDEF";
    for (unsigned i = 0; i < 16; ++i) {
        if (static_cast<unsigned char>(kDigits[i]) == c) return i;
    }
    return 0;  // not a hex digit: counts as zero, as the decoder always has
}

}  // namespace

void CompactString::FailNextAllocations(int count) { g_failAllocations.store(count, std::memory_order_relaxed); }

CompactString::CompactString() { SetEmpty(); }

CompactString::CompactString(const char* chars, uint32_t length) { ConstructFrom(chars, length); }

CompactString::CompactString(const char* text) { ConstructFrom(text, static_cast<uint32_t>(-1)); }

CompactString::CompactString(const CompactString& other) {
    if (other.IsHeap() && other.ShareCount() != kSaturated) {
        std::memcpy(m_bytes, other.m_bytes, sizeof m_bytes);
        ++*reinterpret_cast<unsigned char*>(HeapChars() - 1);
    } else {
        // Inline, or the block already has 255 sharers: own storage.
        ConstructFrom(other.GetChars(), other.GetLength());
    }
}

CompactString::~CompactString() { ReleaseStorage(); }

CompactString& CompactString::operator=(const CompactString& other) {
    // The copy takes its share before ours is dropped, so self-assignment
    // and assignment between sharers are safe.
    CompactString copy(other);
    Swap(copy);
    return *this;
}

CompactString& CompactString::operator=(const char* text) {
    CompactString copy(text);  // text may lie inside this string
    Swap(copy);
    return *this;
}

void CompactString::Swap(CompactString& other) {
    unsigned char aside[sizeof m_bytes];
    std::memcpy(aside, m_bytes, sizeof aside);
    std::memcpy(m_bytes, other.m_bytes, sizeof m_bytes);
    std::memcpy(other.m_bytes, aside, sizeof aside);
}

void CompactString::ConstructFrom(const char* chars, uint32_t length) {
    size_t n = length;
    if (length == static_cast<uint32_t>(-1)) n = chars ? std::strlen(chars) : 0;
    if (!chars || n > kMaxLength) n = 0;  // refused: see the header
    if (n <= kInlineCapacity) {
        std::memset(m_bytes, 0, sizeof m_bytes);
        if (n) std::memcpy(m_bytes, chars, n);
        m_bytes[kTagIndex] = static_cast<unsigned char>(kInlineCapacity - n);
        return;
    }
    unsigned char* block = AllocateBlock(static_cast<uint32_t>(n));
    if (!block) {
        SetEmpty();
        return;
    }
    block[0] = 1;
    std::memcpy(block + 1, chars, n);
    block[1 + n] = 0;
    SetHeap(reinterpret_cast<char*>(block + 1), static_cast<uint32_t>(n), static_cast<uint32_t>(n));
}

void CompactString::SetEmpty() {
    std::memset(m_bytes, 0, sizeof m_bytes);
    m_bytes[kTagIndex] = kInlineCapacity;
}

void CompactString::ReleaseStorage() {
    if (!IsHeap()) return;
    unsigned char* block = reinterpret_cast<unsigned char*>(HeapChars()) - 1;
    if (--block[0] == 0) std::free(block);
}

void CompactString::Empty() {
    ReleaseStorage();
    SetEmpty();
}

char* CompactString::HeapChars() const {
    char* chars;
    std::memcpy(&chars, m_bytes, sizeof chars);
    return chars;
}

void CompactString::SetHeap(char* chars, uint32_t length, uint32_t room) {
    std::memcpy(m_bytes, &chars, sizeof chars);
    Put24(m_bytes + kLengthIndex, length);
    Put24(m_bytes + kRoomIndex, room);
    m_bytes[kRoomIndex + 3] = 0;
    m_bytes[kTagIndex] = kHeapTag;
}

uint32_t CompactString::Room() const { return IsHeap() ? Get24(m_bytes + kRoomIndex) : kInlineCapacity; }

uint8_t CompactString::ShareCount() const {
    return IsHeap() ? reinterpret_cast<const unsigned char*>(HeapChars())[-1] : 0;
}

uint32_t CompactString::GetLength() const {
    return IsHeap() ? Get24(m_bytes + kLengthIndex) : kInlineCapacity - m_bytes[kTagIndex];
}

bool CompactString::IsEmpty() const { return GetLength() == 0; }

const char* CompactString::GetChars() const {
    return IsHeap() ? HeapChars() : reinterpret_cast<const char*>(m_bytes);
}

void CompactString::SetLength(uint32_t length) {
    if (IsHeap()) {
        Put24(m_bytes + kLengthIndex, length);
        HeapChars()[length] = 0;
    } else {
        if (length < kInlineCapacity) m_bytes[length] = 0;
        m_bytes[kTagIndex] = static_cast<unsigned char>(kInlineCapacity - length);
    }
}

bool CompactString::GrowBy(uint32_t extra, bool setLength) {
    const uint32_t n = GetLength();
    if (extra > kMaxLength - n) return false;
    const uint32_t m = n + extra;
    if (!IsHeap() && m <= kInlineCapacity) {
        if (setLength) SetLength(m);
        return true;
    }
    if (IsHeap() && ShareCount() == 1) {
        uint32_t room = Room();
        if (m > room) {
            unsigned char* block = ResizeBlock(reinterpret_cast<unsigned char*>(HeapChars()) - 1, m);
            if (!block) return false;  // the old block is untouched
            block[1 + m] = 0;
            room = m;
            SetHeap(reinterpret_cast<char*>(block + 1), n, room);
        }
    } else {
        // Inline growing past its bytes, or a block others share: copy.
        unsigned char* block = AllocateBlock(m);
        if (!block) return false;
        block[0] = 1;
        std::memcpy(block + 1, GetChars(), n);
        block[1 + n] = 0;
        block[1 + m] = 0;
        ReleaseStorage();
        SetHeap(reinterpret_cast<char*>(block + 1), n, m);
    }
    if (setLength) SetLength(m);
    return true;
}

bool CompactString::MakeSoleHolder() {
    if (!IsHeap() || ShareCount() == 1) return true;
    CompactString fresh;
    fresh.ConstructFrom(GetChars(), GetLength());
    if (fresh.GetLength() != GetLength()) return false;  // no block: stay shared
    Swap(fresh);
    return true;
}

void CompactString::MakeUnique() { MakeSoleHolder(); }

int32_t CompactString::Find(const char* text) const {
    if (!text) return -1;
    const char* chars = GetChars();
    const char* hit = FindText(chars, text);
    return hit ? static_cast<int32_t>(hit - chars) : -1;
}

int32_t CompactString::ReverseFind(char c) const {
    const char* chars = GetChars();
    const char* hit = FindLastChar(chars, c);
    return hit ? static_cast<int32_t>(hit - chars) : -1;
}

bool CompactString::AppendBytes(const char* chars, uint32_t count) {
    if (!chars || count == 0) return true;
    const uint32_t n = GetLength();
    // Characters of this very string must be found again after the block
    // moves, and cannot reach past its current end.
    const uintptr_t own = reinterpret_cast<uintptr_t>(GetChars());
    const uintptr_t from = reinterpret_cast<uintptr_t>(chars);
    const bool inside = from >= own && from <= own + n;
    const uint32_t offset = inside ? static_cast<uint32_t>(from - own) : 0;
    if (inside && count > n - offset) count = n - offset;
    if (count == 0) return true;
    if (!GrowBy(count, true)) return false;
    char* dst = IsHeap() ? HeapChars() : reinterpret_cast<char*>(m_bytes);
    std::memmove(dst + n, inside ? dst + offset : chars, count);
    return true;
}

void CompactString::Append(const char* chars, uint32_t count) { AppendBytes(chars, count); }

void CompactString::Append(const char* text) {
    if (!text) return;
    size_t length = std::strlen(text);
    if (length > kMaxLength) return;
    AppendBytes(text, static_cast<uint32_t>(length));
}

void CompactString::Append(const CompactString& other) { AppendBytes(other.GetChars(), other.GetLength()); }

void CompactString::AppendChar(char c) { AppendBytes(&c, 1); }

CompactString CompactString::Substring(uint32_t start, uint32_t count) const {
    const uint32_t length = GetLength();
    if (start > length) start = length;
    if (count > length - start) count = length - start;
    return CompactString(GetChars() + start, count);
}

CompactString CompactString::SubstringFrom(uint32_t start) const { return Substring(start, kMaxLength); }

char* CompactString::GetWritableBuffer(uint32_t minimumLength) {
    if (minimumLength > kMaxLength) return nullptr;
    const uint32_t n = GetLength();
    if (minimumLength > n) {
        if (!GrowBy(minimumLength - n, false)) return nullptr;
    } else if (!MakeSoleHolder()) {
        return nullptr;
    }
    return IsHeap() ? HeapChars() : reinterpret_cast<char*>(m_bytes);
}

void CompactString::ReleaseBuffer(int32_t newLength) {
    if (!MakeSoleHolder()) return;
    // Inline, the room includes the tag byte as the 16th: a caller who wrote
    // 15 characters and a zero byte left tag 0, which is exactly right.
    const uint32_t room = Room();
    const char* chars = GetChars();
    uint32_t length;
    if (newLength < 0) {
        length = static_cast<uint32_t>(strnlen(chars, room));
    } else {
        length = static_cast<uint32_t>(newLength) < room ? static_cast<uint32_t>(newLength) : room;
    }
    SetLength(length);
}

int CompactString::Format(const char* format, ...) {
    if (!format) return -1;
    va_list args;
    va_start(args, format);
    // Formatted into a string of its own, so that arguments pointing into
    // this string stay valid while it is built.
    CompactString out;
    uint32_t size = kFormatFirstAttempt;
    int result = -1;
    bool keep = false;
    for (;;) {
        char* p = out.GetWritableBuffer(size);
        if (!p) break;  // no room: this string stays as it was
        va_list attempt;
        va_copy(attempt, args);
        const int needed = std::vsnprintf(p, static_cast<size_t>(size) + 1, format, attempt);
        va_end(attempt);
        if (needed < 0) {  // the formatter itself failed: nothing to keep
            out.ReleaseBuffer(0);
            break;
        }
        keep = true;
        if (static_cast<uint32_t>(needed) <= size) {
            out.ReleaseBuffer(needed);
            result = needed;
            break;
        }
        if (size >= kFormatLastAttempt) {
            out.ReleaseBuffer(static_cast<int32_t>(size));  // kept truncated, reported as failure
            break;
        }
        out.ReleaseBuffer(0);
        keep = false;
        size = static_cast<uint32_t>(needed) < kFormatLastAttempt ? static_cast<uint32_t>(needed) : kFormatLastAttempt;
    }
    va_end(args);
    if (!keep) return result;
    // Sized exactly (and inline when short) rather than keeping the
    // attempt's room; if that copy cannot be had, the attempt's block will do.
    CompactString exact(out.GetChars(), out.GetLength());
    Swap(exact.GetLength() == out.GetLength() ? exact : out);
    return result;
}

bool CompactString::Replace(const char* pattern, const char* replacement, bool all) {
    if (!pattern || !replacement || !*pattern) return false;
    const size_t patternLength = std::strlen(pattern);
    const size_t replacementLength = std::strlen(replacement);
    if (replacementLength > kMaxLength) return false;
    const char* chars = GetChars();
    const uint32_t length = GetLength();
    CompactString out;
    uint32_t pos = 0;
    bool changed = false;
    for (;;) {
        // The rest after a match is searched on its own, so a replacement is
        // never searched again and a match never straddles one.
        const char* hit = FindText(chars + pos, pattern);
        if (!hit) break;
        const uint32_t skipped = static_cast<uint32_t>(hit - (chars + pos));
        if (!out.AppendBytes(chars + pos, skipped) ||
            !out.AppendBytes(replacement, static_cast<uint32_t>(replacementLength))) {
            return false;
        }
        pos += skipped + static_cast<uint32_t>(patternLength);
        changed = true;
        if (!all) break;
    }
    if (!changed || !out.AppendBytes(chars + pos, length - pos)) return false;
    Swap(out);
    return true;
}

void CompactString::PercentDecode() {
    if (!MakeSoleHolder()) return;
    // Decoding only ever shortens, so it runs in place.
    char* p = IsHeap() ? HeapChars() : reinterpret_cast<char*>(m_bytes);
    const uint32_t length = GetLength();
    uint32_t out = 0;
    for (uint32_t in = 0; in < length;) {
        if (p[in] == '%' && length - in > 2) {
            const unsigned high = HexDigitValue(static_cast<unsigned char>(p[in + 1]));
            const unsigned low = HexDigitValue(static_cast<unsigned char>(p[in + 2]));
            p[out++] = static_cast<char>((high * 16 + low) & 0xFF);
            in += 3;
        } else {
            p[out++] = p[in++];
        }
    }
    SetLength(out);
}

bool CompactString::operator==(const CompactString& other) const {
    const uint32_t length = GetLength();
    return length == other.GetLength() && std::memcmp(GetChars(), other.GetChars(), length) == 0;
}
