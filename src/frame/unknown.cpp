#include "frame/unknown.h"

CUnknownIMP::CUnknownIMP() : m_inner(this) {}

CUnknownIMP::~CUnknownIMP() = default;

int32_t CUnknownIMP::QueryInterface(const QLXGUID& iid, void** out) {
    return m_outer ? m_outer->QueryInterface(iid, out) : InnerQueryInterface(iid, out);
}

uint32_t CUnknownIMP::AddRef() { return m_outer ? m_outer->AddRef() : InnerAddRef(); }

uint32_t CUnknownIMP::Release() { return m_outer ? m_outer->Release() : InnerRelease(); }

uint32_t CUnknownIMP::InnerAddRef() { return static_cast<uint32_t>(platform::AtomicIncrement(m_refCount)); }

uint32_t CUnknownIMP::InnerRelease() {
    int32_t now = platform::AtomicDecrement(m_refCount);
    if (now > 0) return static_cast<uint32_t>(now);
    BeforeDestroy();
    delete this;
    return 0;
}

bool CUnknownIMP::TryAddRef() {
    int32_t count = m_refCount.load(std::memory_order_relaxed);
    while (count > 0) {
        if (m_refCount.compare_exchange_weak(count, count + 1, std::memory_order_relaxed)) return true;
    }
    return false;
}

int32_t CUnknownIMP::AfterCreate() { return S_OK; }

void CUnknownIMP::BeforeDestroy() {}

int32_t CUnknownIMP::RunAfterCreate() {
    platform::AtomicIncrement(m_refCount);
    int32_t result = AfterCreate();
    platform::AtomicDecrement(m_refCount);
    return result;
}

int32_t CUnknownIMP::SetupAggregation(IUnknown* outer, IUnknown** inner) {
    if (!inner) return E_POINTER;
    *inner = nullptr;
    // Once aggregated, references go to the outer object and our own count
    // stays 0, so the outer pointer also tells that the object is taken: a
    // second aggregate would own (and delete) the object twice.
    if (m_refCount.load() != 0 || m_outer) return E_FAIL;
    if (outer) {
        CAggregateImpl* aggregate = new (std::nothrow) CAggregateImpl(this);
        if (!aggregate) return E_OUTOFMEMORY;  // the object stays unaggregated
        m_outer = outer;
        m_inner = aggregate;
        aggregate->AddRef();
        *inner = aggregate;
        return S_OK;
    }
    int32_t result = QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&m_inner));
    if (QLX_SUCCEEDED(result)) *inner = m_inner;
    return result;
}

int32_t CUnknownIMP::AnswerInterface(void* face, void** out) {
    // The primary interface's AddRef is the object's AddRef: it reaches the
    // outer object when aggregated.
    AddRef();
    *out = face;
    return S_OK;
}

int32_t CUnknownIMP::AnswerUnknown(void** out) {
    // The identity: this part when standing alone. Aggregated, only the
    // CAggregateImpl ever asks, and it counts the reference itself.
    m_inner->AddRef();
    *out = m_inner;
    return S_OK;
}

int32_t CUnknownIMP::NoInterface(void** out) {
    *out = nullptr;
    return E_NOINTERFACE;
}

CAggregateImpl::~CAggregateImpl() { delete m_owner; }

int32_t CAggregateImpl::QueryInterface(const QLXGUID& iid, void** out) { return m_owner->InnerQueryInterface(iid, out); }

uint32_t CAggregateImpl::AddRef() { return static_cast<uint32_t>(platform::AtomicIncrement(m_refCount)); }

uint32_t CAggregateImpl::Release() {
    int32_t now = platform::AtomicDecrement(m_refCount);
    if (now > 0) return static_cast<uint32_t>(now);
    // The object goes the same way as one released on its own: its
    // BeforeDestroy runs first.
    m_owner->BeforeDestroy();
    delete this;
    return 0;
}
