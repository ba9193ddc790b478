#include "buffer/byte_buffer.h"

#include <cstdlib>
#include <cstring>
#include <new>

ByteBuffer::ByteBuffer() { std::memset(m_storage, 0, sizeof m_storage); }

ByteBuffer::~ByteBuffer() {
    if (IsHeap()) std::free(HeapData());
}

ByteBuffer* ByteBuffer::CreateWith(const void* data, uint32_t length) {
    ByteBuffer* buffer = new (std::nothrow) ByteBuffer;
    if (!buffer) return nullptr;
    buffer->AddRef();
    if (QLX_FAILED(buffer->Set(static_cast<const uint8_t*>(data), length))) {
        buffer->Release();
        return nullptr;
    }
    return buffer;
}

ByteBuffer* ByteBuffer::CreateText(const char* text) {
    if (!text) return nullptr;
    return CreateWith(text, static_cast<uint32_t>(std::strlen(text) + 1));
}

uint8_t* ByteBuffer::HeapData() const {
    uint8_t* data;
    std::memcpy(&data, m_storage, sizeof data);
    return data;
}

uint32_t ByteBuffer::HeapLength() const {
    uint32_t length;
    std::memcpy(&length, m_storage + sizeof(uint8_t*), sizeof length);
    return length;
}

void ByteBuffer::SetHeap(uint8_t* data, uint32_t length) {
    std::memcpy(m_storage, &data, sizeof data);
    std::memcpy(m_storage + sizeof(uint8_t*), &length, sizeof length);
    m_storage[kTagIndex] = kHeapTag;
}

int32_t ByteBuffer::QueryInterface(const QLXGUID& iid, void** out) {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IQLXBuffer) {
        AddRef();
        *out = static_cast<IQLXBuffer*>(this);
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

uint32_t ByteBuffer::AddRef() { return static_cast<uint32_t>(platform::AtomicIncrement(m_refCount)); }

uint32_t ByteBuffer::Release() {
    int32_t now = platform::AtomicDecrement(m_refCount);
    if (now > 0) return static_cast<uint32_t>(now);
    delete this;
    return 0;
}

int32_t ByteBuffer::Get(uint8_t** data, uint32_t* length) {
    if (data) *data = GetBuffer();
    if (length) *length = GetSize();
    return S_OK;
}

uint32_t ByteBuffer::GetSize() { return IsHeap() ? HeapLength() : m_storage[kTagIndex]; }

uint8_t* ByteBuffer::GetBuffer() { return IsHeap() ? HeapData() : m_storage; }

int32_t ByteBuffer::Set(const uint8_t* data, uint32_t length) {
    if (!data && length) return E_POINTER;
    int32_t result = Resize(length, false);
    if (QLX_FAILED(result)) return result;
    if (length) std::memmove(GetBuffer(), data, length);
    return S_OK;
}

int32_t ByteBuffer::SetSize(uint32_t length) { return Resize(length, true); }

int32_t ByteBuffer::Resize(uint32_t length, bool keep) {
    if (m_refCount.load() > 1) return RES_UNEXPECTED;
    const bool heap = IsHeap();
    if (length <= GetSize()) {
        if (heap) {
            SetHeap(HeapData(), length);
        } else {
            m_storage[kTagIndex] = static_cast<uint8_t>(length);
        }
        return S_OK;
    }
    if (length <= kInlineCapacity) {
        if (heap) {
            uint8_t* block = HeapData();
            uint8_t aside[kInlineCapacity];
            std::memcpy(aside, block, length);
            std::free(block);
            std::memcpy(m_storage, aside, length);
        }
        m_storage[kTagIndex] = static_cast<uint8_t>(length);
        return S_OK;
    }
    uint8_t* block;
    if (!heap) {
        block = static_cast<uint8_t*>(std::malloc(length));
        if (!block) return E_OUTOFMEMORY;
        if (keep) std::memcpy(block, m_storage, m_storage[kTagIndex]);
    } else if (keep) {
        block = static_cast<uint8_t*>(std::realloc(HeapData(), length));
        if (!block) return E_OUTOFMEMORY;
    } else {
        block = static_cast<uint8_t*>(std::malloc(length));
        if (!block) return E_OUTOFMEMORY;
        std::free(HeapData());
    }
    SetHeap(block, length);
    return S_OK;
}
