#include "buffer/fragmented_buffer.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "buffer/byte_buffer.h"

namespace {

constexpr uint32_t kToTheEnd = 0xFFFFFFFFu;
constexpr uint64_t kMaxContent = 0xFFFFFFFFu;

// A buffer showing [offset, offset + length) of buffer, with one reference
// for the caller: buffer itself when that covers all of it, else a new
// CBufferFragment. A part of a CBufferFragment is taken straight from the
// buffer it holds, so edits never stack fragments on fragments.
int32_t MakeFragment(IQLXBuffer* buffer, uint32_t offset, uint32_t length, IQLXBuffer** out) {
    *out = nullptr;
    const uint32_t size = buffer->GetSize();
    if (offset == 0 && length >= size) {
        buffer->AddRef();
        *out = buffer;
        return S_OK;
    }
    IQLXBuffer* source = buffer;
    uint32_t shown = CBufferFragment::Covered(size, offset, length);
    uint32_t at = std::min(offset, size);
    if (auto* inner = dynamic_cast<CBufferFragment*>(buffer); inner && inner->HeldBuffer()) {
        // at <= inner's visible size <= held size - inner offset: no overflow.
        source = inner->HeldBuffer();
        at += inner->Offset();
    }
    CBufferFragment* fragment = nullptr;
    int32_t result = CreateUnknownObject(&fragment, source, at, shown);
    if (QLX_FAILED(result)) return result;
    return fragment->QueryInterface(IID_IQLXBuffer, reinterpret_cast<void**>(out));
}

// Copies bytes [from, to) of buffer to dst (cut to what the buffer has).
// Parts of other chains are gathered fragment by fragment rather than
// through their GetBuffer, which would flatten them.
void CopySpan(uint8_t* dst, IQLXBuffer* buffer, uint32_t from, uint32_t to) {
    to = std::min(to, buffer->GetSize());
    if (from >= to) return;
    if (auto* fragment = dynamic_cast<CBufferFragment*>(buffer); fragment && fragment->HeldBuffer()) {
        const uint32_t offset = fragment->Offset();  // offset + to <= held size
        CopySpan(dst, fragment->HeldBuffer(), offset + from, offset + to);
        return;
    }
    IQLXFragmentedBuffer* chain = nullptr;
    if (QLX_SUCCEEDED(buffer->QueryInterface(IID_IQLXFragmentedBuffer, reinterpret_cast<void**>(&chain))) && chain) {
        IQLXEnumFragmentedBuffer* items = nullptr;
        if (QLX_SUCCEEDED(chain->GetEnumerator(&items)) && items) {
            uint64_t start = 0;
            IQLXBuffer* item = nullptr;
            uint32_t fetched = 0;
            while (start < to && items->Next(1, &item, &fetched) == S_OK && fetched == 1) {
                const uint64_t size = item->GetSize();
                const uint64_t end = start + size;
                if (end > from) {
                    const uint64_t first = std::max<uint64_t>(from, start);
                    const uint64_t last = std::min<uint64_t>(to, end);
                    CopySpan(dst + (first - from), item, static_cast<uint32_t>(first - start),
                             static_cast<uint32_t>(last - start));
                }
                item->Release();
                start = end;
            }
            items->Release();
        }
        chain->Release();
        return;
    }
    const uint8_t* bytes = buffer->GetBuffer();
    if (bytes) std::memcpy(dst, bytes + from, to - from);
}

}  // namespace

CQLXFragmentedBuffer::~CQLXFragmentedBuffer() { RemoveFrom(m_head, nullptr); }

int32_t CQLXFragmentedBuffer::InnerQueryInterface(const QLXGUID& iid, void** out) {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown) return AnswerUnknown(out);
    if (iid == IID_IQLXFragmentedBuffer) return AnswerInterface(static_cast<IQLXFragmentedBuffer*>(this), out);
    if (iid == IID_IQLXBuffer) return AnswerInterface(static_cast<IQLXBuffer*>(this), out);
    return NoInterface(out);
}

uint64_t CQLXFragmentedBuffer::Total() {
    uint64_t total = 0;
    for (FragmentNode* node = m_head; node; node = node->next) total += node->buffer->GetSize();
    m_sizeHint = total;
    return total;
}

FragmentNode* CQLXFragmentedBuffer::Locate(uint64_t position, uint64_t* start) {
    uint64_t at = 0;
    for (FragmentNode* node = m_head; node; node = node->next) {
        const uint64_t size = node->buffer->GetSize();
        if (position < at + size) {
            *start = at;
            return node;
        }
        at += size;
    }
    *start = at;
    return nullptr;
}

void CQLXFragmentedBuffer::FindFragment(uint32_t position, FragmentNode** node, uint32_t* size, uint32_t* start) {
    uint64_t at = 0;
    FragmentNode* found = Locate(position, &at);
    if (node) *node = found;
    if (size) *size = found ? found->buffer->GetSize() : 0;
    if (start) *start = static_cast<uint32_t>(std::min(at, kMaxContent));
}

bool CQLXFragmentedBuffer::Reaches(IQLXBuffer* buffer, const CQLXFragmentedBuffer* target) {
    if (auto* fragment = dynamic_cast<CBufferFragment*>(buffer))
        return fragment->HeldBuffer() && Reaches(fragment->HeldBuffer(), target);
    if (auto* chain = dynamic_cast<CQLXFragmentedBuffer*>(buffer)) {
        if (chain == target) return true;
        for (FragmentNode* node = chain->m_head; node; node = node->next)
            if (Reaches(node->buffer, target)) return true;
    }
    return false;
}

int32_t CQLXFragmentedBuffer::CheckLinkable(IQLXBuffer* buffer) {
    if (!buffer) return RES_UNEXPECTED;
    // A chain that held itself, directly or through others, would never be
    // freed and would recurse without end when measured.
    if (Reaches(buffer, this)) return E_INVALIDARG;
    return S_OK;
}

FragmentNode* CQLXFragmentedBuffer::NewNode(IQLXBuffer* buffer, uint32_t offset, uint32_t length) {
    FragmentNode* node = new (std::nothrow) FragmentNode;
    if (!node) return nullptr;
    if (QLX_FAILED(MakeFragment(buffer, offset, length, &node->buffer))) {
        delete node;
        return nullptr;
    }
    return node;
}

static void FreeNode(FragmentNode* node) {
    if (node->buffer) node->buffer->Release();
    delete node;
}

int32_t CQLXFragmentedBuffer::NewPadNode(uint64_t count, FragmentNode** out) {
    *out = nullptr;
    if (count > kMaxContent) return E_INVALIDARG;
    ByteBuffer* pad = new (std::nothrow) ByteBuffer;
    if (!pad) return E_OUTOFMEMORY;
    pad->AddRef();
    int32_t result = pad->SetSize(static_cast<uint32_t>(count));
    if (QLX_SUCCEEDED(result)) {
        // The gap reads as zeros rather than as whatever the heap held.
        if (count) std::memset(pad->GetBuffer(), 0, static_cast<size_t>(count));
        *out = NewNode(pad, 0, kToTheEnd);
        if (!*out) result = E_OUTOFMEMORY;
    }
    pad->Release();
    return result;
}

void CQLXFragmentedBuffer::LinkAfter(FragmentNode* node, FragmentNode* after) {
    node->previous = after;
    node->next = after ? after->next : m_head;
    if (node->next) {
        node->next->previous = node;
    } else {
        m_tail = node;
    }
    if (after) {
        after->next = node;
    } else {
        m_head = node;
    }
    ++m_nodeCount;
}

void CQLXFragmentedBuffer::LinkBefore(FragmentNode* node, FragmentNode* before) {
    LinkAfter(node, before ? before->previous : m_tail);
}

void CQLXFragmentedBuffer::Unlink(FragmentNode* node) {
    if (node->previous) {
        node->previous->next = node->next;
    } else {
        m_head = node->next;
    }
    if (node->next) {
        node->next->previous = node->previous;
    } else {
        m_tail = node->previous;
    }
    node->previous = node->next = nullptr;
    --m_nodeCount;
}

void CQLXFragmentedBuffer::RemoveFrom(FragmentNode* node, FragmentNode* stop) {
    while (node && node != stop) {
        FragmentNode* next = node->next;
        Unlink(node);
        FreeNode(node);
        node = next;
    }
}

// The node keeps bytes [0, at) of its fragment; a new node after it shows
// the rest. The content is the same afterwards, and also after a failure.
int32_t CQLXFragmentedBuffer::Split(FragmentNode* node, uint32_t at) {
    IQLXBuffer* front = nullptr;
    int32_t result = MakeFragment(node->buffer, 0, at, &front);
    if (QLX_FAILED(result)) return result;
    FragmentNode* back = NewNode(node->buffer, at, kToTheEnd);
    if (!back) {
        front->Release();
        return E_OUTOFMEMORY;
    }
    node->buffer->Release();
    node->buffer = front;
    LinkAfter(back, node);
    return S_OK;
}

int32_t CQLXFragmentedBuffer::GetEnumerator(IQLXEnumFragmentedBuffer** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    CIQLXEnumFragmentedBufferIMP* items = nullptr;
    int32_t result = CreateUnknownObject(&items);
    if (QLX_FAILED(result)) return result;
    if (!items->Reserve(static_cast<uint32_t>(m_nodeCount))) {
        delete static_cast<CUnknownIMP*>(items);
        return E_OUTOFMEMORY;
    }
    for (FragmentNode* node = m_head; node; node = node->next) items->Add(node->buffer);
    return items->QueryInterface(IID_IQLXEnumFragmentedBuffer, reinterpret_cast<void**>(out));
}

int32_t CQLXFragmentedBuffer::PrependFragment(IQLXBuffer* buffer, uint32_t offset, uint32_t length) {
    return LinkAtEnd(buffer, offset, length, true);
}

int32_t CQLXFragmentedBuffer::AppendFragment(IQLXBuffer* buffer, uint32_t offset, uint32_t length) {
    return LinkAtEnd(buffer, offset, length, false);
}

int32_t CQLXFragmentedBuffer::LinkAtEnd(IQLXBuffer* buffer, uint32_t offset, uint32_t length, bool atHead) {
    int32_t result = CheckLinkable(buffer);
    if (QLX_FAILED(result)) return result;
    FragmentNode* node = NewNode(buffer, offset, length);
    if (!node) return E_OUTOFMEMORY;
    // The remembered size saves a walk of the whole chain per link; it is
    // measured afresh only when it says the limit is near.
    const uint64_t added = node->buffer->GetSize();
    if (m_sizeHint + added > kMaxContent && Total() + added > kMaxContent) {
        FreeNode(node);
        return E_INVALIDARG;
    }
    m_sizeHint += added;
    if (atHead) {
        LinkAfter(node, nullptr);
    } else {
        LinkBefore(node, nullptr);
    }
    return S_OK;
}

int32_t CQLXFragmentedBuffer::InsertFragment(IQLXBuffer* buffer, uint32_t offset, uint32_t length,
                                             uint32_t position) {
    int32_t result = CheckLinkable(buffer);
    if (QLX_FAILED(result)) return result;
    FragmentNode* node = NewNode(buffer, offset, length);
    if (!node) return E_OUTOFMEMORY;
    const uint64_t total = Total();
    if (std::max<uint64_t>(total, position) + node->buffer->GetSize() > kMaxContent) {
        FreeNode(node);
        return E_INVALIDARG;
    }
    uint64_t start = 0;
    if (FragmentNode* holder = Locate(position, &start)) {
        // Also at the holder's first byte: an empty fragment stays in front.
        result = Split(holder, static_cast<uint32_t>(position - start));
        if (QLX_FAILED(result)) {
            FreeNode(node);
            return result;
        }
        LinkAfter(node, holder);
        m_sizeHint = total + node->buffer->GetSize();
        return S_OK;
    }
    if (position > total) {
        FragmentNode* pad = nullptr;
        result = NewPadNode(position - total, &pad);
        if (QLX_FAILED(result)) {
            FreeNode(node);
            return result;
        }
        LinkBefore(pad, nullptr);
    }
    LinkBefore(node, nullptr);
    m_sizeHint = std::max<uint64_t>(total, position) + node->buffer->GetSize();
    return S_OK;
}

int32_t CQLXFragmentedBuffer::ReplaceSpan(IQLXBuffer* buffer, uint32_t offset, uint32_t length, uint32_t position) {
    int32_t result = CheckLinkable(buffer);
    if (QLX_FAILED(result)) return result;
    FragmentNode* node = NewNode(buffer, offset, length);
    if (!node) return E_OUTOFMEMORY;
    result = Replace(node, position, length);
    if (QLX_FAILED(result)) FreeNode(node);
    return result;
}

// Links node in place of content bytes [position, position + length); the
// chain takes node only on success.
int32_t CQLXFragmentedBuffer::Replace(FragmentNode* node, uint32_t position, uint32_t length) {
    const uint64_t total = Total();
    const uint64_t added = node->buffer->GetSize();
    if (position >= total) {
        if (position + added > kMaxContent) return E_INVALIDARG;
        if (position > total) {
            FragmentNode* pad = nullptr;
            int32_t result = NewPadNode(position - total, &pad);
            if (QLX_FAILED(result)) return result;
            LinkBefore(pad, nullptr);
        }
        LinkBefore(node, nullptr);
        m_sizeHint = position + added;
        return S_OK;
    }
    const uint64_t end = std::min<uint64_t>(static_cast<uint64_t>(position) + length, total);
    if (total - (end - position) + added > kMaxContent) return E_INVALIDARG;

    // Cut the chain at position, so that first starts exactly there.
    uint64_t start = 0;
    FragmentNode* first = Locate(position, &start);
    if (!first) return E_FAIL;  // a linked buffer shrank while being measured
    if (position > start) {
        int32_t result = Split(first, static_cast<uint32_t>(position - start));
        if (QLX_FAILED(result)) return result;
        first = first->next;
    }
    if (end == position) {
        LinkBefore(node, first);
        m_sizeHint = total + added;
        return S_OK;
    }
    // The fragment holding the last replaced byte, cut after that byte.
    FragmentNode* last = first;
    uint64_t lastStart = position;
    for (;;) {
        const uint64_t size = last->buffer->GetSize();
        if (end <= lastStart + size || !last->next) {
            if (end < lastStart + size) {
                int32_t result = Split(last, static_cast<uint32_t>(end - lastStart));
                if (QLX_FAILED(result)) return result;
            }
            break;
        }
        lastStart += size;
        last = last->next;
    }
    FragmentNode* after = last->next;
    RemoveFrom(first, after);
    LinkBefore(node, after);
    m_sizeHint = total - (end - position) + added;
    return S_OK;
}

int32_t CQLXFragmentedBuffer::GetSpan(uint32_t start, uint32_t length, uint8_t** data, uint32_t* outLength) {
    if (data) *data = nullptr;
    if (outLength) *outLength = 0;
    const uint64_t total = Total();
    if (start >= total) return S_OK;
    if (length == kToTheEnd) length = static_cast<uint32_t>(std::min(total - start, kMaxContent));

    uint64_t fragmentStart = 0;
    FragmentNode* holder = Locate(start, &fragmentStart);
    if (!holder) return S_OK;  // a linked buffer shrank while being measured
    const uint32_t skip = static_cast<uint32_t>(start - fragmentStart);
    const uint64_t size = holder->buffer->GetSize();
    if (size >= static_cast<uint64_t>(skip) + length) {
        uint8_t* bytes = holder->buffer->GetBuffer();
        if (data) *data = bytes ? bytes + skip : nullptr;
        if (outLength) *outLength = length;
        return S_OK;
    }

    // Across fragments: gather the range once into a buffer of its own.
    if (static_cast<uint64_t>(start) + length > kMaxContent) return E_INVALIDARG;
    ByteBuffer* copy = new (std::nothrow) ByteBuffer;
    if (!copy) return E_OUTOFMEMORY;
    copy->AddRef();
    int32_t result = copy->SetSize(length);
    if (QLX_FAILED(result)) {
        copy->Release();
        return result;
    }
    uint8_t* bytes = copy->GetBuffer();
    std::memset(bytes, 0, length);  // a range past the end grows the content with zeros
    CopySpan(bytes, holder->buffer, skip, static_cast<uint32_t>(size));
    uint64_t copied = size - skip;
    for (FragmentNode* node = holder->next; node && copied < length; node = node->next) {
        const uint64_t take = std::min<uint64_t>(node->buffer->GetSize(), length - copied);
        CopySpan(bytes + copied, node->buffer, 0, static_cast<uint32_t>(take));
        copied += take;
    }
    FragmentNode* node = NewNode(copy, 0, kToTheEnd);
    copy->Release();
    if (!node) return E_OUTOFMEMORY;
    result = Replace(node, start, length);
    if (QLX_FAILED(result)) {
        FreeNode(node);
        return result;
    }
    if (data) *data = node->buffer->GetBuffer();
    if (outLength) *outLength = length;
    return S_OK;
}

uint8_t* CQLXFragmentedBuffer::GetSpanPointer(uint32_t start, uint32_t length) {
    uint8_t* data = nullptr;
    uint32_t got = 0;
    GetSpan(start, length, &data, &got);
    return data;
}

int32_t CQLXFragmentedBuffer::Get(uint8_t** data, uint32_t* length) { return GetSpan(0, kToTheEnd, data, length); }

int32_t CQLXFragmentedBuffer::Set(const uint8_t* data, uint32_t length) {
    if (!data && length) return E_POINTER;
    ByteBuffer* copy = ByteBuffer::CreateWith(data, length);
    if (!copy) return E_OUTOFMEMORY;
    FragmentNode* node = NewNode(copy, 0, kToTheEnd);
    copy->Release();
    if (!node) return E_OUTOFMEMORY;
    int32_t result = Replace(node, 0, length);
    if (QLX_FAILED(result)) FreeNode(node);
    return result;
}

int32_t CQLXFragmentedBuffer::SetSize(uint32_t length) {
    const uint64_t total = Total();
    if (length > total) {
        FragmentNode* pad = nullptr;
        int32_t result = NewPadNode(length - total, &pad);
        if (QLX_FAILED(result)) return result;
        LinkBefore(pad, nullptr);
        m_sizeHint = length;
        return S_OK;
    }
    if (length == total) return S_OK;
    uint64_t start = 0;
    FragmentNode* holder = Locate(length, &start);
    if (length == start) {
        RemoveFrom(holder, nullptr);
    } else {
        IQLXBuffer* front = nullptr;
        int32_t result = MakeFragment(holder->buffer, 0, static_cast<uint32_t>(length - start), &front);
        if (QLX_FAILED(result)) return result;
        holder->buffer->Release();
        holder->buffer = front;
        RemoveFrom(holder->next, nullptr);
    }
    m_sizeHint = length;
    return S_OK;
}

uint32_t CQLXFragmentedBuffer::GetSize() { return static_cast<uint32_t>(std::min(Total(), kMaxContent)); }

uint8_t* CQLXFragmentedBuffer::GetBuffer() { return GetSpanPointer(0, kToTheEnd); }

int32_t CreateFragmentedBuffer(IUnknown** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    CQLXFragmentedBuffer* chain = nullptr;
    int32_t result = CreateUnknownObject(&chain);
    if (QLX_FAILED(result)) return result;
    result = chain->SetupAggregation(nullptr, out);
    if (QLX_FAILED(result)) delete static_cast<CUnknownIMP*>(chain);
    return result;
}
