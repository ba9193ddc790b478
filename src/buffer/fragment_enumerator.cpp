#include "buffer/fragment_enumerator.h"

#include <algorithm>
#include <new>

CIQLXEnumFragmentedBufferIMP::~CIQLXEnumFragmentedBufferIMP() { ReleaseItems(); }

void CIQLXEnumFragmentedBufferIMP::ReleaseItems() {
    for (uint32_t i = 0; i < m_count; ++i) m_items[i]->Release();
    delete[] m_items;
    m_items = nullptr;
    m_count = m_capacity = m_index = 0;
}

bool CIQLXEnumFragmentedBufferIMP::Reserve(uint32_t capacity) {
    ReleaseItems();
    if (capacity == 0) return true;
    m_items = new (std::nothrow) IQLXBuffer*[capacity];
    if (!m_items) return false;
    m_capacity = capacity;
    return true;
}

void CIQLXEnumFragmentedBufferIMP::Add(IQLXBuffer* item) {
    if (m_count >= m_capacity) return;
    item->AddRef();
    m_items[m_count++] = item;
}

int32_t CIQLXEnumFragmentedBufferIMP::InnerQueryInterface(const QLXGUID& iid, void** out) {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown) return AnswerUnknown(out);
    if (iid == IID_IQLXEnumFragmentedBuffer) return AnswerInterface(static_cast<IQLXEnumFragmentedBuffer*>(this), out);
    return NoInterface(out);
}

int32_t CIQLXEnumFragmentedBufferIMP::Reset() {
    m_index = 0;
    return S_OK;
}

int32_t CIQLXEnumFragmentedBufferIMP::Next(uint32_t count, IQLXBuffer** items, uint32_t* fetched) {
    if (!items || (count != 1 && !fetched)) return E_POINTER;
    if (fetched) *fetched = 0;
    if (!m_items || m_count == 0) return E_FAIL;
    const uint32_t remaining = m_count - m_index;
    const uint32_t n = std::min(count, remaining);
    for (uint32_t i = 0; i < n; ++i) {
        items[i] = m_items[m_index + i];
        items[i]->AddRef();
    }
    m_index += n;
    if (fetched) *fetched = n;
    return count > remaining ? RES_INCOMPLETE : S_OK;
}

int32_t CIQLXEnumFragmentedBufferIMP::Skip(uint32_t count) {
    const uint64_t index = static_cast<uint64_t>(m_index) + count;
    if (index < m_count) {
        m_index = static_cast<uint32_t>(index);
        return S_OK;
    }
    m_index = m_count;
    return E_FAIL;
}

int32_t CIQLXEnumFragmentedBufferIMP::Clone(IQLXEnumFragmentedBuffer** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    CIQLXEnumFragmentedBufferIMP* copy = nullptr;
    int32_t result = CreateUnknownObject(&copy);
    if (QLX_FAILED(result)) return result;
    if (!copy->Reserve(m_count)) {
        delete static_cast<CUnknownIMP*>(copy);
        return E_OUTOFMEMORY;
    }
    for (uint32_t i = 0; i < m_count; ++i) copy->Add(m_items[i]);
    copy->SetIndex(m_index);
    return copy->QueryInterface(IID_IQLXEnumFragmentedBuffer, reinterpret_cast<void**>(out));
}
