// CQLXFragmentedBuffer: one logical run of bytes stored as a chain of other
// buffers, edited by linking and flattened only on demand.
//
//   head                                                    tail
//    [node]------------->[node]------------------>[node]
//      |                   |                        |
//    ByteBuffer 10     CBufferFragment          view buffer
//    (linked whole)   [2, 7) of a ByteBuffer     (linked whole)
//
//   content = fragment 0 bytes | fragment 1 bytes | fragment 2 bytes
//
// A node holds one reference on its buffer. A buffer linked whole stands in
// the chain itself; a part of a buffer is shown through a CBufferFragment.
// Linking, inserting and replacing move no bytes. GetSpan of a range that
// crosses fragments copies it once into a new buffer, which then replaces
// those fragments, so the range stays contiguous afterwards.
//
// Linked buffers are shared, not copied: their bytes must be treated as
// read-only by whoever else holds them. Nothing here ever writes into the
// bytes of a linked buffer (a memory-mapped view may be linked, and its pages
// are read-only).
//
// Offsets, lengths and positions are unsigned 32-bit; a length of 0xFFFFFFFF
// means "to the end". Internally every sum is taken in 64 bits, and an
// operation that would make the content longer than a 32-bit size can say is
// refused with E_INVALIDARG, the chain unchanged.
//
// One thread at a time; only reference counts are atomic.
#ifndef CONTFS_BUFFER_FRAGMENTED_BUFFER_H
#define CONTFS_BUFFER_FRAGMENTED_BUFFER_H

#include <qlx/interfaces.h>

#include <cstdint>

#include "buffer/buffer_fragment.h"
#include "buffer/fragment_enumerator.h"
#include "frame/unknown.h"

struct FragmentNode {
    IQLXBuffer* buffer = nullptr;  // one reference
    FragmentNode* previous = nullptr;
    FragmentNode* next = nullptr;
};

class CQLXFragmentedBuffer : public IQLXFragmentedBuffer, public IQLXBuffer, public CUnknownIMP {
public:
    CQLXFragmentedBuffer() = default;
    ~CQLXFragmentedBuffer() override;

    QLX_FORWARD_UNKNOWN()
    int32_t InnerQueryInterface(const QLXGUID& iid, void** out) override;

    // IQLXFragmentedBuffer. The linking operations return RES_UNEXPECTED for
    // a null buffer and E_INVALIDARG for a buffer that contains this chain
    // (it would hold itself) or when the content would outgrow 32 bits.
    int32_t GetEnumerator(IQLXEnumFragmentedBuffer** out) override;
    int32_t PrependFragment(IQLXBuffer* buffer, uint32_t offset, uint32_t length) override;
    int32_t AppendFragment(IQLXBuffer* buffer, uint32_t offset, uint32_t length) override;
    // Splits the fragment holding position and links the new one between
    // the halves; past the end, pads the gap with zero bytes first.
    int32_t InsertFragment(IQLXBuffer* buffer, uint32_t offset, uint32_t length, uint32_t position) override;
    // Removes content bytes [position, position + length) (up to the end)
    // and links the new fragment in their place.
    int32_t ReplaceSpan(IQLXBuffer* buffer, uint32_t offset, uint32_t length, uint32_t position) override;
    // A contiguous view of [start, start + length). Inside one fragment it
    // points into that fragment's bytes; across fragments the range is copied
    // once into a new fragment that replaces it (a range running past the end
    // grows the content, with zero bytes). Null and 0 when start is at or
    // past the end. The pointer stays valid until the chain is next changed.
    int32_t GetSpan(uint32_t start, uint32_t length, uint8_t** data, uint32_t* outLength) override;
    uint8_t* GetSpanPointer(uint32_t start, uint32_t length) override;

    // IQLXBuffer: the whole content.
    int32_t Get(uint8_t** data, uint32_t* length) override;
    // Replaces the first length bytes; the content beyond them stays.
    int32_t Set(const uint8_t* data, uint32_t length) override;
    int32_t SetSize(uint32_t length) override;
    uint32_t GetSize() override;
    uint8_t* GetBuffer() override;

    // The fragment holding byte position (zero-sized fragments hold none),
    // with its size and start; null node and start = total size when none.
    virtual void FindFragment(uint32_t position, FragmentNode** node, uint32_t* size, uint32_t* start);

    int32_t NodeCount() const { return m_nodeCount; }

private:
    // Measures the content (and remembers it in m_sizeHint).
    uint64_t Total();
    int32_t LinkAtEnd(IQLXBuffer* buffer, uint32_t offset, uint32_t length, bool atHead);
    FragmentNode* Locate(uint64_t position, uint64_t* start);
    int32_t CheckLinkable(IQLXBuffer* buffer);
    FragmentNode* NewNode(IQLXBuffer* buffer, uint32_t offset, uint32_t length);
    int32_t NewPadNode(uint64_t count, FragmentNode** out);
    int32_t Split(FragmentNode* node, uint32_t at);
    int32_t Replace(FragmentNode* node, uint32_t position, uint32_t length);
    void LinkAfter(FragmentNode* node, FragmentNode* after);    // null: at the head
    void LinkBefore(FragmentNode* node, FragmentNode* before);  // null: at the tail
    void Unlink(FragmentNode* node);
    void RemoveFrom(FragmentNode* node, FragmentNode* stop);
    static bool Reaches(IQLXBuffer* buffer, const CQLXFragmentedBuffer* target);

    FragmentNode* m_head = nullptr;
    FragmentNode* m_tail = nullptr;
    int32_t m_nodeCount = 0;
    // The content size as last measured or changed here; linked buffers may
    // have changed size since, so it only ever spares a measurement.
    uint64_t m_sizeHint = 0;
};

// A new, empty fragmented buffer: *out gets its IUnknown with one reference.
// Query it for IQLXFragmentedBuffer or IQLXBuffer.
int32_t CreateFragmentedBuffer(IUnknown** out);

#endif
