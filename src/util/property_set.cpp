#include "util/property_set.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "util/text.h"

PropertySet* PropertySet::Create() {
    PropertySet* set = new (std::nothrow) PropertySet;
    if (set) set->AddRef();
    return set;
}

PropertySet::~PropertySet() {
    for (size_t i = 0; i < m_count; ++i) {
        delete[] m_entries[i].key;
        if (m_entries[i].buffer) m_entries[i].buffer->Release();
        if (m_entries[i].text) m_entries[i].text->Release();
    }
    std::free(m_entries);
}

int32_t PropertySet::QueryInterface(const QLXGUID& iid, void** out) {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IQLXValues) {
        AddRef();
        *out = static_cast<IQLXValues*>(this);
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

uint32_t PropertySet::AddRef() { return static_cast<uint32_t>(platform::AtomicIncrement(m_refCount)); }

uint32_t PropertySet::Release() {
    int32_t now = platform::AtomicDecrement(m_refCount);
    if (now > 0) return static_cast<uint32_t>(now);
    delete this;
    return 0;
}

size_t PropertySet::LowerBound(const char* key) const {
    size_t low = 0;
    size_t high = m_count;
    while (low < high) {
        size_t middle = low + (high - low) / 2;
        if (CompareNoCase(m_entries[middle].key, key) < 0) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low;
}

PropertySet::Entry* PropertySet::Find(const char* key) {
    size_t at = LowerBound(key);
    if (at < m_count && CompareNoCase(key, m_entries[at].key) == 0) return &m_entries[at];
    return nullptr;
}

PropertySet::Entry* PropertySet::Obtain(const char* key) {
    size_t at = LowerBound(key);
    if (at < m_count && CompareNoCase(key, m_entries[at].key) == 0) return &m_entries[at];

    if (m_count == m_capacity) {
        size_t capacity = m_capacity ? m_capacity * 2 : 8;
        void* grown = std::realloc(m_entries, capacity * sizeof(Entry));
        if (!grown) return nullptr;
        m_entries = static_cast<Entry*>(grown);
        m_capacity = capacity;
    }
    char* copy = DuplicateText(key);
    if (!copy) return nullptr;
    std::memmove(&m_entries[at + 1], &m_entries[at], (m_count - at) * sizeof(Entry));
    m_entries[at] = Entry{copy, 0, false, nullptr, nullptr};
    ++m_count;
    return &m_entries[at];
}

bool PropertySet::Has(const Entry& entry, Kind kind) {
    switch (kind) {
        case kNumber: return entry.hasNumber;
        case kBuffer: return entry.buffer != nullptr;
        default: return entry.text != nullptr;
    }
}

int32_t PropertySet::SetNumberProperty(const char* key, uint32_t value) {
    if (!key) return E_POINTER;
    Entry* entry = Obtain(key);
    if (!entry) return E_OUTOFMEMORY;
    entry->number = value;
    entry->hasNumber = true;
    return S_OK;
}

int32_t PropertySet::GetNumberProperty(const char* key, uint32_t* value) {
    if (!key || !value) return E_POINTER;
    Entry* entry = Find(key);
    if (!entry || !entry->hasNumber) return E_FAIL;
    *value = entry->number;
    return S_OK;
}

int32_t PropertySet::SetObject(Kind kind, const char* key, IQLXBuffer* value) {
    if (!value) return E_FAIL;
    if (!key) return E_POINTER;
    Entry* entry = Obtain(key);
    if (!entry) return E_OUTOFMEMORY;
    IQLXBuffer*& slot = kind == kBuffer ? entry->buffer : entry->text;
    // Take the new reference first: storing the object already held must
    // not let it die in between.
    value->AddRef();
    if (slot) slot->Release();
    slot = value;
    return S_OK;
}

int32_t PropertySet::GetObject(Kind kind, const char* key, IQLXBuffer** value) {
    if (!key || !value) return E_POINTER;
    Entry* entry = Find(key);
    if (!entry || !Has(*entry, kind)) return E_FAIL;
    IQLXBuffer* object = kind == kBuffer ? entry->buffer : entry->text;
    object->AddRef();
    *value = object;
    return S_OK;
}

int32_t PropertySet::Enumerate(Kind kind, const char** key, uint32_t* number, IQLXBuffer** value) {
    size_t& cursor = m_cursor[kind];
    while (cursor < m_count && !Has(m_entries[cursor], kind)) ++cursor;
    if (cursor >= m_count) return E_FAIL;
    const Entry& entry = m_entries[cursor];
    *key = entry.key;
    if (kind == kNumber) {
        *number = entry.number;
    } else {
        IQLXBuffer* object = kind == kBuffer ? entry.buffer : entry.text;
        object->AddRef();
        *value = object;
    }
    return S_OK;
}

int32_t PropertySet::FirstNumberProperty(const char** key, uint32_t* value) {
    if (!key || !value) return E_POINTER;
    m_cursor[kNumber] = 0;
    return Enumerate(kNumber, key, value, nullptr);
}

int32_t PropertySet::NextNumberProperty(const char** key, uint32_t* value) {
    if (!key || !value) return E_POINTER;
    if (m_cursor[kNumber] >= m_count) return E_FAIL;
    ++m_cursor[kNumber];
    return Enumerate(kNumber, key, value, nullptr);
}

int32_t PropertySet::SetBufferProperty(const char* key, IQLXBuffer* value) { return SetObject(kBuffer, key, value); }

int32_t PropertySet::GetBufferProperty(const char* key, IQLXBuffer** value) { return GetObject(kBuffer, key, value); }

int32_t PropertySet::FirstBufferProperty(const char** key, IQLXBuffer** value) {
    if (!key || !value) return E_POINTER;
    m_cursor[kBuffer] = 0;
    return Enumerate(kBuffer, key, nullptr, value);
}

int32_t PropertySet::NextBufferProperty(const char** key, IQLXBuffer** value) {
    if (!key || !value) return E_POINTER;
    if (m_cursor[kBuffer] >= m_count) return E_FAIL;
    ++m_cursor[kBuffer];
    return Enumerate(kBuffer, key, nullptr, value);
}

int32_t PropertySet::SetTextProperty(const char* key, IQLXBuffer* value) { return SetObject(kText, key, value); }

int32_t PropertySet::GetTextProperty(const char* key, IQLXBuffer** value) { return GetObject(kText, key, value); }

int32_t PropertySet::FirstTextProperty(const char** key, IQLXBuffer** value) {
    if (!key || !value) return E_POINTER;
    m_cursor[kText] = 0;
    return Enumerate(kText, key, nullptr, value);
}

int32_t PropertySet::NextTextProperty(const char** key, IQLXBuffer** value) {
    if (!key || !value) return E_POINTER;
    if (m_cursor[kText] >= m_count) return E_FAIL;
    ++m_cursor[kText];
    return Enumerate(kText, key, nullptr, value);
}
