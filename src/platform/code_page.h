// The active code page's double-byte rule. This platform has no double-byte
// code page by default; a process-wide switch turns on a Shift-JIS style
// lead-byte rule so that the multi-byte code paths run and can be tested.
#ifndef CONTFS_PLATFORM_CODE_PAGE_H
#define CONTFS_PLATFORM_CODE_PAGE_H

namespace platform {

// Whether a double-byte character set is in use (the switch; off by default).
bool DoubleByteCharsetEnabled();
void SetDoubleByteCharsetEnabled(bool enabled);

// Shift-JIS lead bytes: 0x81-0x9F and 0xE0-0xFC.
inline bool IsLeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// The next character after p: p + 2 for a lead byte followed by a non-zero
// byte, else p + 1; p itself at the terminator.
const char* CharNext(const char* p);

}  // namespace platform

#endif
