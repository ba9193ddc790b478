#include "buffer/buffer_fragment.h"

#include <algorithm>
#include <new>

#include "buffer/byte_buffer.h"

CBufferFragment::CBufferFragment(IQLXBuffer* buffer, uint32_t offset, uint32_t length) : m_held(buffer) {
    const uint32_t size = buffer->GetSize();
    m_held->AddRef();
    m_offset = std::min(offset, size);
    m_length = Covered(size, offset, length);
}

CBufferFragment::~CBufferFragment() {
    if (m_held) m_held->Release();
}

int32_t CBufferFragment::InnerQueryInterface(const QLXGUID& iid, void** out) {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown) return AnswerUnknown(out);
    if (iid == IID_IQLXBuffer) return AnswerInterface(static_cast<IQLXBuffer*>(this), out);
    return NoInterface(out);
}

int32_t CBufferFragment::Get(uint8_t** data, uint32_t* length) {
    if (!m_held) return RES_UNEXPECTED;
    if (!data || !length) return E_POINTER;
    if (*length > m_length) return E_INVALIDARG;
    *data = GetBuffer();
    *length = GetSize();
    return S_OK;
}

int32_t CBufferFragment::Set(const uint8_t* data, uint32_t length) {
    if (!m_held) return RES_UNEXPECTED;
    if (!data && length) return E_POINTER;
    if (RefCount() > 1) return RES_UNEXPECTED;
    // Copied before the old buffer goes: data may point into it.
    ByteBuffer* copy = ByteBuffer::CreateWith(data, length);
    if (!copy) return E_OUTOFMEMORY;
    m_held->Release();
    m_held = copy;
    m_offset = 0;
    m_length = length;
    return S_OK;
}

int32_t CBufferFragment::SetSize(uint32_t length) {
    if (!m_held) {
        ByteBuffer* fresh = new (std::nothrow) ByteBuffer;
        if (!fresh) return E_OUTOFMEMORY;
        fresh->AddRef();
        m_held = fresh;
        m_offset = 0;
    }
    if (length > UINT32_MAX - m_offset) return E_INVALIDARG;
    int32_t result = m_held->SetSize(m_offset + length);
    // The window follows the request even when the held buffer refused to
    // resize (it may be shared); GetSize still never reaches past its end.
    m_length = length;
    return result;
}

uint32_t CBufferFragment::GetSize() {
    return m_held ? Covered(m_held->GetSize(), m_offset, m_length) : 0;
}

uint8_t* CBufferFragment::GetBuffer() {
    if (!m_held) return nullptr;
    uint8_t* bytes = m_held->GetBuffer();
    if (!bytes) return nullptr;
    return bytes + std::min(m_offset, m_held->GetSize());
}
