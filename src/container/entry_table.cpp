#include "container/entry_table.h"

#include <new>

namespace {

constexpr uint32_t kNameMapBlockSize = 10;

}  // namespace

EntryTable::EntryTable() : m_names(kNameMapBlockSize) {}

EntryTable::~EntryTable() {
    for (uint32_t i = 0; i < Count(); ++i) delete At(i);
}

StoredEntry* EntryTable::At(uint64_t index) const {
    if (index >= Count()) return nullptr;
    return static_cast<StoredEntry*>(m_entries.GetAt(static_cast<int32_t>(index)));
}

StoredEntry* EntryTable::Find(const CompactString& name) const {
    if (!name.IsEmpty()) {
        void* value = nullptr;
        return m_names.Lookup(name.GetChars(), &value) ? static_cast<StoredEntry*>(value) : nullptr;
    }
    for (uint32_t i = 0; i < Count(); ++i) {
        StoredEntry* entry = At(i);
        if (entry && entry->size != 0 && !entry->name.IsEmpty()) return entry;
    }
    return nullptr;
}

StoredEntry* EntryTable::AddNew(const CompactString& name) {
    if (name.IsEmpty() || Count() >= record_format::kMaxEntryNumbers) return nullptr;
    StoredEntry* entry = new (std::nothrow) StoredEntry;
    if (!entry) return nullptr;
    const uint32_t number = Count();
    entry->name = name;
    entry->index = static_cast<uint16_t>(number);
    if (QLX_FAILED(m_entries.SetAtGrow(static_cast<int32_t>(number), entry))) {
        delete entry;
        return nullptr;
    }
    if (QLX_FAILED(m_names.SetAt(entry->name.GetChars(), entry))) {
        m_entries.RemoveAt(static_cast<int32_t>(number), 1);
        delete entry;
        return nullptr;
    }
    return entry;
}

void EntryTable::TakeBackLast() {
    if (Count() == 0) return;
    const int32_t last = static_cast<int32_t>(Count() - 1);
    StoredEntry* entry = At(static_cast<uint64_t>(last));
    if (entry) m_names.RemoveKey(entry->name.GetChars());
    m_entries.RemoveAt(last, 1);
    delete entry;
}

void EntryTable::Forget(StoredEntry* entry) {
    m_names.RemoveKey(entry->name.GetChars());
    entry->name.Empty();
}

int32_t EntryTable::Load(StoredEntry* entry) {
    const int32_t number = static_cast<int32_t>(Count());
    if (!entry) return QLX_FAILED(m_entries.SetAtGrow(number, nullptr)) ? E_OUTOFMEMORY : S_OK;
    entry->index = static_cast<uint16_t>(number);
    StoredEntry* earlier = Find(entry->name);
    int32_t added = m_entries.SetAtGrow(number, entry);
    if (QLX_FAILED(added)) {
        delete entry;
        return added;
    }
    added = m_names.SetAt(entry->name.GetChars(), entry);
    if (QLX_FAILED(added)) {
        m_entries.RemoveAt(number, 1);
        delete entry;
        return added;
    }
    if (earlier) {
        m_entries[earlier->index] = nullptr;
        delete earlier;
    }
    return S_OK;
}
