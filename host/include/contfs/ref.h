// One counted reference to an object of the module or of the host, released
// when the holder goes away.
#ifndef CONTFS_REF_H
#define CONTFS_REF_H

#include <qlx/interfaces.h>

namespace contfs {

template <class T>
class Ref {
public:
    Ref() = default;
    // Takes over a reference the caller already owns.
    explicit Ref(T* owned) : p_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Reset();
            p_ = other.p_;
            other.p_ = nullptr;
        }
        return *this;
    }
    ~Ref() { Reset(); }

    void Reset() {
        if (p_) p_->Release();
        p_ = nullptr;
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // For out parameters: releases what is held and hands out the slot.
    T** Receive() {
        Reset();
        return &p_;
    }

private:
    T* p_ = nullptr;
};

// QueryInterface into a Ref; empty when the object does not answer.
template <class T>
Ref<T> Query(IUnknown* object, const QLXGUID& iid) {
    void* out = nullptr;
    if (!object || QLX_FAILED(object->QueryInterface(iid, &out))) return Ref<T>();
    return Ref<T>(static_cast<T*>(out));
}

}  // namespace contfs

#endif
