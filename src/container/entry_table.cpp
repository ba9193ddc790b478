#include "container/entry_table.h"

#include <new>

uint64_t StoredEntry::SeekTableOffset() const {
    return recordOffset + record_format::kEntryNameOffset + recordNameLength + record_format::kTailSeekTableOffset;
}

EntryTable::EntryTable() = default;

EntryTable::~EntryTable() {
    for (uint32_t i = 0; i < Count(); ++i) delete At(i);
}

StoredEntry* EntryTable::At(uint64_t index) const {
    if (index >= Count()) return nullptr;
    return static_cast<StoredEntry*>(m_entries.GetAt(static_cast<int32_t>(index)));
}

StoredEntry* EntryTable::FindNamed(const char* name) const {
    const int64_t number = m_names.Find(name);
    return number < 0 ? nullptr : At(static_cast<uint64_t>(number));
}

StoredEntry* EntryTable::Find(const CompactString& name) const {
    if (!name.IsEmpty()) return FindNamed(name.GetChars());
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
    entry->addedHere = true;
    if (QLX_FAILED(m_entries.SetAtGrow(static_cast<int32_t>(number), entry))) {
        delete entry;
        return nullptr;
    }
    if (QLX_FAILED(m_names.Add(number))) {
        m_entries.RemoveAt(static_cast<int32_t>(number), 1);
        delete entry;
        return nullptr;
    }
    return entry;
}

StoredEntry* EntryTable::AddRemoved() {
    if (Count() >= record_format::kMaxEntryNumbers) return nullptr;
    StoredEntry* entry = new (std::nothrow) StoredEntry;
    if (!entry) return nullptr;
    const uint32_t number = Count();
    entry->index = static_cast<uint16_t>(number);
    entry->addedHere = true;
    if (QLX_FAILED(m_entries.SetAtGrow(static_cast<int32_t>(number), entry))) {
        delete entry;
        return nullptr;
    }
    return entry;
}

void EntryTable::TakeBackLast() {
    if (Count() == 0) return;
    const int32_t last = static_cast<int32_t>(Count() - 1);
    StoredEntry* entry = At(static_cast<uint64_t>(last));
    if (entry) m_names.Remove(entry->index);
    m_entries.RemoveAt(last, 1);
    delete entry;
}

void EntryTable::Forget(StoredEntry* entry) {
    m_names.Remove(entry->index);
    entry->removedName = entry->name;
    entry->name.Empty();
}

void EntryTable::Restore(const CompactString& name) {
    if (name.IsEmpty() || Find(name)) return;
    for (uint32_t i = Count(); i-- > 0;) {
        StoredEntry* entry = At(i);
        if (!entry || !entry->name.IsEmpty() || entry->removedName != name) continue;
        entry->name = name;
        if (QLX_FAILED(m_names.Add(i))) {
            entry->name.Empty();
            return;
        }
        entry->removedName.Empty();
        return;
    }
}

int32_t EntryTable::Load(StoredEntry* entry) {
    const int32_t number = static_cast<int32_t>(Count());
    if (!entry) return QLX_FAILED(m_entries.SetAtGrow(number, nullptr)) ? E_OUTOFMEMORY : S_OK;
    entry->index = static_cast<uint16_t>(number);
    StoredEntry* earlier = Find(entry->name);
    int32_t added = m_entries.SetAtGrow(number, entry);
    if (QLX_SUCCEEDED(added) && earlier) {
        try {
            m_shadows.push_back(Shadow{earlier->recordOffset, earlier->shadows});
        } catch (const std::bad_alloc&) {
            m_entries.RemoveAt(number, 1);
            added = E_OUTOFMEMORY;
        }
    }
    if (QLX_FAILED(added)) {
        delete entry;
        return added;
    }
    // The earlier entry leaves the names first: its name is the new one's.
    if (earlier) m_names.Remove(earlier->index);
    added = m_names.Add(static_cast<uint32_t>(number));
    if (QLX_FAILED(added)) {
        if (earlier) {
            m_names.Add(earlier->index);  // it fits: the slot just freed is there
            m_shadows.pop_back();
        }
        m_entries.RemoveAt(number, 1);
        delete entry;
        return added;
    }
    if (earlier) {
        entry->shadows = ShadowCount();
        m_entries[earlier->index] = nullptr;
        delete earlier;
    }
    return S_OK;
}
