// CompactString: the 16-byte string value used for paths, names, titles and keys.
//
//   inline (tag 0..15): [ chars 0..14, zero byte after the last   | tag = 15 - length ]
//   heap   (tag 255):   [ char pointer (8) | length, 24-bit LE (3) | room, 24-bit LE (3) | . | 255 ]
//
// "room" is how many characters the block can take before its terminator.
// It lets ReleaseBuffer bound the length a caller reports, so a wrong length
// never reads or writes past the block.
//
// A 15-character string has tag 0, which is then also its terminator. Longer
// texts live in one heap block laid out as [share count][chars][0]; the value
// points at the first character. Copies share the block (copy-on-write) until
// the count saturates at 255, after which copies get their own storage. Every
// changing operation first makes the string the sole holder of its storage.
// The share count is a plain byte: a string and its sharers belong to one
// thread at a time. Lengths are limited to 16,777,215 (24 bits).
//
// Failures are never reported by exception and never crash:
// - a text longer than kMaxLength is refused, treated like a heap block that
//   cannot be obtained;
// - constructions and assignments that cannot get a block give the empty
//   string;
// - changing operations that cannot get a block (Append, AppendChar,
//   MakeUnique, GetWritableBuffer, Format, Replace, PercentDecode) leave the
//   string exactly as it was: GetWritableBuffer then returns null, Format a
//   negative count and Replace false. A string that stays shared because
//   MakeUnique failed is never written through.
#ifndef CONTFS_UTIL_COMPACT_STRING_H
#define CONTFS_UTIL_COMPACT_STRING_H

#include <cstdint>

class CompactString {
public:
    static constexpr uint32_t kInlineCapacity = 15;
    static constexpr uint8_t kHeapTag = 255;
    static constexpr uint8_t kSaturated = 255;
    static constexpr uint32_t kMaxLength = 0xFFFFFF;

    CompactString();
    // Copies length characters; length -1 measures up to the zero byte (a
    // null pointer with -1 gives the empty string).
    CompactString(const char* chars, uint32_t length);
    CompactString(const char* text);  // NOLINT: implicit from text, as callers expect
    CompactString(const CompactString& other);
    ~CompactString();

    CompactString& operator=(const CompactString& other);
    CompactString& operator=(const char* text);

    void Empty();
    uint32_t GetLength() const;
    bool IsEmpty() const;
    const char* GetChars() const;
    char CharAt(int32_t index) const { return GetChars()[index]; }

    int32_t Find(const char* text) const;  // index or -1 (also for a null text)
    int32_t ReverseFind(char c) const;     // index or -1

    void Append(const char* chars, uint32_t count);
    void Append(const char* text);
    void Append(const CompactString& other);
    void AppendChar(char c);

    CompactString Substring(uint32_t start, uint32_t count) const;
    CompactString SubstringFrom(uint32_t start) const;

    void MakeUnique();
    // Room for minimumLength characters and a zero byte; the length stays
    // until ReleaseBuffer. Null when the room cannot be had (the caller must
    // check); the string is then unchanged.
    char* GetWritableBuffer(uint32_t minimumLength);
    // Sets the length written through GetWritableBuffer (-1: up to the first
    // zero byte), never beyond the room the string has; a string still
    // shared is first given its own copy (and left alone if it cannot be).
    void ReleaseBuffer(int32_t newLength = -1);

    int Format(const char* format, ...) __attribute__((format(printf, 2, 3)));
    bool Replace(const char* pattern, const char* replacement, bool all);
    void PercentDecode();

    // Byte-exact equality of the characters and length.
    bool operator==(const CompactString& other) const;
    bool operator!=(const CompactString& other) const { return !(*this == other); }

    // For tests: the storage state.
    bool IsHeap() const { return m_bytes[kTagIndex] == kHeapTag; }
    uint8_t ShareCount() const;  // 0 for an inline string
    // For tests: the next `count` heap block requests fail.
    static void FailNextAllocations(int count);

private:
    static constexpr unsigned kTagIndex = 15;
    void ConstructFrom(const char* chars, uint32_t length);
    void SetEmpty();
    void ReleaseStorage();
    bool GrowBy(uint32_t extra, bool setLength);
    bool MakeSoleHolder();
    bool AppendBytes(const char* chars, uint32_t count);
    void Swap(CompactString& other);
    void SetLength(uint32_t length);
    uint32_t Room() const;
    char* HeapChars() const;
    void SetHeap(char* chars, uint32_t length, uint32_t room);

    alignas(8) unsigned char m_bytes[16];
};

static_assert(sizeof(CompactString) == 16, "CompactString is 16 bytes on this platform");

#endif
