// Reference-counted, aggregatable objects and interface lookup.
//
// A class with several interfaces derives first from its interfaces (the
// first is its primary interface, the pointer its creator hands out) and
// last from CUnknownIMP. QLX_FORWARD_UNKNOWN() in the class body routes the
// IUnknown slots of every interface to the CUnknownIMP part, which delegates
// to the outer object once the object is aggregated.
//
//   not aggregated:  face -> CUnknownIMP::QueryInterface -> InnerQueryInterface
//   aggregated:      face -> outer IUnknown;  outer -> CAggregateImpl -> InnerQueryInterface
#ifndef CONTFS_FRAME_UNKNOWN_H
#define CONTFS_FRAME_UNKNOWN_H

#include <qlx/interfaces.h>

#include <new>
#include <utility>

#include "platform/atomic.h"

class CUnknownIMP : public IUnknown {
public:
    CUnknownIMP();
    CUnknownIMP(const CUnknownIMP&) = delete;
    CUnknownIMP& operator=(const CUnknownIMP&) = delete;

    int32_t QueryInterface(const QLXGUID& iid, void** out) override;
    uint32_t AddRef() override;
    uint32_t Release() override;

    virtual ~CUnknownIMP();
    // Hands out the object's inner unknown: a new CAggregateImpl when an
    // outer object is given, else the object's own IUnknown. Only allowed
    // before anyone holds a reference.
    virtual int32_t SetupAggregation(IUnknown* outer, IUnknown** inner);
    virtual int32_t InnerQueryInterface(const QLXGUID& iid, void** out) = 0;
    virtual uint32_t InnerAddRef();
    virtual uint32_t InnerRelease();
    virtual int32_t AfterCreate();
    virtual void BeforeDestroy();

    int32_t RefCount() const { return m_refCount.load(); }
    // AddRef only while the count is above 0; false once the last Release
    // has begun. For a map that holds objects without a reference (the
    // registry of open containers): it must never revive an object that
    // another thread is destroying. Objects that are never aggregated only.
    bool TryAddRef();
    // AfterCreate with the count raised to 1 around the call; the count is
    // lowered again without destroying the object.
    int32_t RunAfterCreate();

protected:
    // Lookup helpers for InnerQueryInterface: take a reference through the
    // primary interface (so an outer object counts it) and store the face.
    int32_t AnswerInterface(void* face, void** out);
    int32_t AnswerUnknown(void** out);
    static int32_t NoInterface(void** out);

private:
    friend class CAggregateImpl;
    platform::AtomicCount m_refCount{0};
    IUnknown* m_outer = nullptr;  // no reference held
    IUnknown* m_inner;            // own IUnknown part, or the CAggregateImpl
};

// The non-delegating unknown that an aggregating outer object talks to. It
// owns the aggregated object: its last Release deletes both.
class CAggregateImpl : public IUnknown {
public:
    explicit CAggregateImpl(CUnknownIMP* owner) : m_owner(owner) {}
    virtual ~CAggregateImpl();

    int32_t QueryInterface(const QLXGUID& iid, void** out) override;
    uint32_t AddRef() override;
    uint32_t Release() override;

private:
    platform::AtomicCount m_refCount{0};
    CUnknownIMP* m_owner;
};

#define QLX_FORWARD_UNKNOWN()                                                                              \
    int32_t QueryInterface(const QLXGUID& iid, void** out) override { return CUnknownIMP::QueryInterface(iid, out); } \
    uint32_t AddRef() override { return CUnknownIMP::AddRef(); }                                           \
    uint32_t Release() override { return CUnknownIMP::Release(); }

// The creation sequence of objects made on demand (buffers and the like):
// construct with count 0, hold a temporary reference around AfterCreate and
// destroy the object when that fails (deleted directly: BeforeDestroy is for
// objects that were fully made). The object comes back at count 0; the
// creator takes its references by querying it.
template <class T, class... Args>
int32_t CreateUnknownObject(T** out, Args&&... args) {
    if (!out) return E_POINTER;
    *out = nullptr;
    T* object = new (std::nothrow) T(std::forward<Args>(args)...);
    if (!object) return E_OUTOFMEMORY;
    CUnknownIMP* base = object;
    int32_t result = base->RunAfterCreate();
    if (QLX_FAILED(result)) {
        delete base;
        return result;
    }
    *out = object;
    return S_OK;
}

#endif
