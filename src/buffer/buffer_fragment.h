// CBufferFragment: an IQLXBuffer that shows part of another buffer, the way
// a fragmented buffer links a part without copying it.
#ifndef CONTFS_BUFFER_BUFFER_FRAGMENT_H
#define CONTFS_BUFFER_BUFFER_FRAGMENT_H

#include <qlx/interfaces.h>

#include <cstdint>

#include "frame/unknown.h"

// An IQLXBuffer showing bytes [offset, offset + length) of another buffer.
// The range is cut to what the held buffer has at each call, so a fragment
// never shows bytes beyond its buffer's current size.
//
// Set does not write into the held buffer: that buffer is normally shared
// (with the chain it came from, with its creator, with other fragments), and
// may be read-only memory. Instead, like Set on a ByteBuffer, it is allowed
// only while a single reference holds the fragment (RES_UNEXPECTED
// otherwise), and makes the fragment show a private copy of the new bytes:
// it then holds a new ByteBuffer with exactly those bytes, at offset 0. The
// buffer it showed before is released, never changed.
class CBufferFragment : public IQLXBuffer, public CUnknownIMP {
public:
    CBufferFragment() = default;
    // Takes one reference on buffer; the range is cut to what it has.
    CBufferFragment(IQLXBuffer* buffer, uint32_t offset, uint32_t length);
    ~CBufferFragment() override;

    QLX_FORWARD_UNKNOWN()
    int32_t InnerQueryInterface(const QLXGUID& iid, void** out) override;

    // *length on entry must not exceed the fragment's length (E_INVALIDARG).
    int32_t Get(uint8_t** data, uint32_t* length) override;
    int32_t Set(const uint8_t* data, uint32_t length) override;
    // Resizes the held buffer to offset + length (creating a ByteBuffer to
    // hold when there is none) and takes length as the fragment's length.
    int32_t SetSize(uint32_t length) override;
    uint32_t GetSize() override;
    uint8_t* GetBuffer() override;

    // Bytes of a buffer of size bytes that [offset, offset + length) covers.
    static uint32_t Covered(uint32_t size, uint32_t offset, uint32_t length) {
        return offset >= size ? 0 : (length < size - offset ? length : size - offset);
    }

    IQLXBuffer* HeldBuffer() const { return m_held; }
    uint32_t Offset() const { return m_offset; }
    uint32_t Length() const { return m_length; }

private:
    IQLXBuffer* m_held = nullptr;  // one reference
    uint32_t m_offset = 0;
    uint32_t m_length = 0;
};

#endif
