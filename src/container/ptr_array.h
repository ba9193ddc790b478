// PtrArray: a growable array of untyped pointers, indexed from 0. It owns
// its slot array, never what the slots point at.
//
// Growth: the first allocation is exact; later ones add the grow-by setting,
// or with grow-by 0 an eighth of the count held within 4 to 1024 slots,
// or more when the new count needs more. Slots brought into use read null.
//
// Operations that can fail return a result and leave the array as it was:
// E_INVALIDARG for a negative size or index or a range outside the count,
// E_OUTOFMEMORY when no storage can be had. One thread at a time.
#ifndef CONTFS_CONTAINER_PTR_ARRAY_H
#define CONTFS_CONTAINER_PTR_ARRAY_H

#include <qlx/result.h>

#include <cstdint>

class PtrArray {
public:
    static constexpr int32_t kKeepGrowBy = -1;

    PtrArray() = default;
    ~PtrArray();
    PtrArray(const PtrArray&) = delete;
    PtrArray& operator=(const PtrArray&) = delete;

    // Resizes to n slots; growBy other than -1 becomes the growth setting.
    int32_t SetSize(int32_t n, int32_t growBy = kKeepGrowBy);
    // Stores value in slot index, growing the array to index + 1 first when needed.
    int32_t SetAtGrow(int32_t index, void* value);
    // Removes count slots from index on; later slots move down.
    int32_t RemoveAt(int32_t index, int32_t count = 1);

    int32_t GetSize() const { return m_count; }
    int32_t GetCapacity() const { return m_capacity; }
    int32_t GetGrowBy() const { return m_growBy; }
    // Slots 0 to GetSize() - 1; no bounds check.
    void* GetAt(int32_t index) const { return m_data[index]; }
    void*& operator[](int32_t index) { return m_data[index]; }
    void** GetData() const { return m_data; }

private:
    void** m_data = nullptr;
    int32_t m_count = 0;
    int32_t m_capacity = 0;
    int32_t m_growBy = 0;
};

#endif
