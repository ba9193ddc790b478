// ByteBuffer: the reference-counted byte buffer passed between all parts.
//
// Storage is one 16-byte area whose last byte is a tag:
//
//   inline (tag 0..15):  [ data bytes 0..14                     | tag=len ]
//   heap   (tag 238):    [ data pointer (8) | length u32 (4) | - | 238     ]
//
// Up to 15 bytes live inside the object; longer contents live in one heap
// block sized exactly to the length asked for (no spare capacity). A shrunk
// heap buffer stays on the heap until it grows again. Only a buffer held by a
// single reference may be resized: a holder that shares it treats its bytes
// as read-only.
#ifndef CONTFS_BUFFER_BYTE_BUFFER_H
#define CONTFS_BUFFER_BYTE_BUFFER_H

#include <qlx/interfaces.h>

#include "platform/atomic.h"

class ByteBuffer : public IQLXBuffer {
public:
    static constexpr uint32_t kInlineCapacity = 15;
    static constexpr uint8_t kHeapTag = 238;

    ByteBuffer();
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    int32_t QueryInterface(const QLXGUID& iid, void** out) override;
    uint32_t AddRef() override;
    uint32_t Release() override;

    int32_t Get(uint8_t** data, uint32_t* length) override;
    int32_t Set(const uint8_t* data, uint32_t length) override;
    int32_t SetSize(uint32_t length) override;
    uint32_t GetSize() override;
    uint8_t* GetBuffer() override;

    virtual ~ByteBuffer();

    bool IsHeap() const { return m_storage[kTagIndex] == kHeapTag; }

    // New buffer holding a copy of the bytes, with one reference for the
    // caller; null when memory runs out.
    static ByteBuffer* CreateWith(const void* data, uint32_t length);
    // The same for a text, stored with its terminating zero byte; null for
    // a null text.
    static ByteBuffer* CreateText(const char* text);

private:
    static constexpr unsigned kTagIndex = 15;
    int32_t Resize(uint32_t length, bool keep);
    uint8_t* HeapData() const;
    uint32_t HeapLength() const;
    void SetHeap(uint8_t* data, uint32_t length);

    platform::AtomicCount m_refCount{0};
    alignas(8) uint8_t m_storage[16];
};

#endif
