// PropertySet: the property set behind IQLXValues. Keys are texts compared
// without regard to ASCII case; each key keeps the spelling of the set call
// that created it. One entry can carry a number, a buffer and a text at once,
// and each of the three kinds has its own enumeration cursor.
//
// Buffers and texts are held by reference, never copied. A new set has
// count 0; its creator takes the first reference. Only the count is thread
// safe: a set is filled by one thread and then read.
#ifndef CONTFS_UTIL_PROPERTY_SET_H
#define CONTFS_UTIL_PROPERTY_SET_H

#include <qlx/interfaces.h>

#include <cstddef>

#include "platform/atomic.h"

class PropertySet final : public IQLXValues {
public:
    PropertySet() = default;
    PropertySet(const PropertySet&) = delete;
    PropertySet& operator=(const PropertySet&) = delete;

    int32_t QueryInterface(const QLXGUID& iid, void** out) override;
    uint32_t AddRef() override;
    uint32_t Release() override;

    int32_t SetNumberProperty(const char* key, uint32_t value) override;
    int32_t GetNumberProperty(const char* key, uint32_t* value) override;
    int32_t FirstNumberProperty(const char** key, uint32_t* value) override;
    int32_t NextNumberProperty(const char** key, uint32_t* value) override;
    int32_t SetBufferProperty(const char* key, IQLXBuffer* value) override;
    int32_t GetBufferProperty(const char* key, IQLXBuffer** value) override;
    int32_t FirstBufferProperty(const char** key, IQLXBuffer** value) override;
    int32_t NextBufferProperty(const char** key, IQLXBuffer** value) override;
    int32_t SetTextProperty(const char* key, IQLXBuffer* value) override;
    int32_t GetTextProperty(const char* key, IQLXBuffer** value) override;
    int32_t FirstTextProperty(const char** key, IQLXBuffer** value) override;
    int32_t NextTextProperty(const char** key, IQLXBuffer** value) override;

    // New set holding one reference for the caller; null when memory runs out.
    static PropertySet* Create();

private:
    struct Entry {
        char* key;  // own copy, array-allocated
        uint32_t number;
        bool hasNumber;
        IQLXBuffer* buffer;
        IQLXBuffer* text;
    };
    enum Kind { kNumber, kBuffer, kText, kKinds };

    ~PropertySet();

    // First entry whose key is not less than the searched one.
    size_t LowerBound(const char* key) const;
    Entry* Find(const char* key);
    // Finds or inserts the entry for key; null when memory runs out.
    Entry* Obtain(const char* key);
    static bool Has(const Entry& entry, Kind kind);

    int32_t SetObject(Kind kind, const char* key, IQLXBuffer* value);
    int32_t GetObject(Kind kind, const char* key, IQLXBuffer** value);
    // Hands out the entry at the kind's cursor or the first one after it
    // that carries the kind.
    int32_t Enumerate(Kind kind, const char** key, uint32_t* number, IQLXBuffer** value);

    platform::AtomicCount m_refCount{0};
    Entry* m_entries = nullptr;
    size_t m_count = 0;
    size_t m_capacity = 0;
    size_t m_cursor[kKinds] = {0, 0, 0};
};

#endif
