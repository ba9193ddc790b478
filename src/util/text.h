// Helpers on zero-terminated byte texts, aware of double-byte characters
// when the code page has them (see platform/code_page.h): searches step
// over whole characters and never match a lead or trail byte.
#ifndef CONTFS_UTIL_TEXT_H
#define CONTFS_UTIL_TEXT_H

#include <cstddef>

// Multi-byte mode as the code page reports it, asked once and kept. Tests
// switch it with SetMultiByteMode.
bool MultiByteMode();
void SetMultiByteMode(bool on);

// Next character; null for null. Always advances by at least one byte.
const char* NextChar(const char* p);
// First / last position of a single-byte character, or null.
const char* FindChar(const char* s, char c);
const char* FindLastChar(const char* s, char c);
// First occurrence of pattern starting and ending on character boundaries.
const char* FindText(const char* s, const char* pattern);

inline char* FindChar(char* s, char c) { return const_cast<char*>(FindChar(static_cast<const char*>(s), c)); }
inline char* FindLastChar(char* s, char c) { return const_cast<char*>(FindLastChar(static_cast<const char*>(s), c)); }
inline char* FindText(char* s, const char* p) { return const_cast<char*>(FindText(static_cast<const char*>(s), p)); }

// Bounded copy: at most capacity - 1 characters, zero padded, always
// terminated. Nothing happens when an argument is null or capacity is 0.
char* CopyText(char* dst, const char* src, size_t capacity);
// Bounded append: the whole text never exceeds capacity - 1 characters.
char* AppendText(char* dst, const char* src, size_t capacity);
// Frees *text (array delete) and replaces it by a duplicate of src, or null.
// A null address does nothing and gives null.
char* ReplaceText(char** text, const char* src);
// New heap copy (array new; free with delete[]); null for a null text or
// when memory runs out.
char* DuplicateText(const char* text);

// ASCII case-insensitive comparison (letters A-Z folded to a-z).
int CompareNoCase(const char* a, const char* b);
int CompareNoCaseN(const char* a, const char* b, size_t n);

#endif
