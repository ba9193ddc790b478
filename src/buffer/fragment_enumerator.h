// CIQLXEnumFragmentedBufferIMP: the enumerator a fragmented buffer hands
// out over its fragments.
#ifndef CONTFS_BUFFER_FRAGMENT_ENUMERATOR_H
#define CONTFS_BUFFER_FRAGMENT_ENUMERATOR_H

#include <qlx/interfaces.h>

#include <cstdint>

#include "frame/unknown.h"

// An enumerator over a snapshot of a chain's fragment buffers, one
// reference held on each.
class CIQLXEnumFragmentedBufferIMP : public IQLXEnumFragmentedBuffer, public CUnknownIMP {
public:
    CIQLXEnumFragmentedBufferIMP() = default;
    ~CIQLXEnumFragmentedBufferIMP() override;

    QLX_FORWARD_UNKNOWN()
    int32_t InnerQueryInterface(const QLXGUID& iid, void** out) override;

    int32_t Reset() override;
    // Hands out up to count items, each with a reference for the caller.
    // fetched may be null only when count is 1.
    int32_t Next(uint32_t count, IQLXBuffer** items, uint32_t* fetched) override;
    int32_t Skip(uint32_t count) override;
    int32_t Clone(IQLXEnumFragmentedBuffer** out) override;

    // Room for capacity items; false when memory runs out.
    bool Reserve(uint32_t capacity);
    // Adds an item (one reference taken) after the last; needs room.
    void Add(IQLXBuffer* item);
    void SetIndex(uint32_t index) { m_index = index; }

private:
    void ReleaseItems();

    IQLXBuffer** m_items = nullptr;
    uint32_t m_index = 0;
    uint32_t m_count = 0;
    uint32_t m_capacity = 0;
};

#endif
