// What lets every SDK header declare each thing once for C99 and C++11 alike.
//
// An interface is written once, between QLX_BEGIN_INTERFACE and
// QLX_END_INTERFACE, with QLX_INTERFACE naming it:
//
//     #define QLX_INTERFACE IQLXFileRemove
//     QLX_BEGIN_INTERFACE
//         QLX_METHOD(int32_t, Remove)(QLX_THIS) QLX_PURE;
//     QLX_END_INTERFACE
//     #undef QLX_INTERFACE
//
// C++ sees a class of pure virtual functions derived from IUnknown:
//
//     class IQLXFileRemove : public IUnknown {
//     public:
//         virtual int32_t Remove() = 0;
//     };
//
// C sees the same slots as a table of function pointers, IUnknown's three
// first, each taking the interface pointer as its first argument, and the
// interface as a struct whose only member points at that table:
//
//     struct IQLXFileRemoveVtbl {
//         int32_t (*QueryInterface)(IQLXFileRemove* self, const QLXGUID* iid, void** out);
//         uint32_t (*AddRef)(IQLXFileRemove* self);
//         uint32_t (*Release)(IQLXFileRemove* self);
//         int32_t (*Remove)(IQLXFileRemove* self);
//     };
//     struct IQLXFileRemove { const IQLXFileRemoveVtbl* lpVtbl; };
//
// so a C host calls  file->lpVtbl->Remove(file)  and implements an interface
// by pointing lpVtbl at a table of its own functions. Both are the same
// object in memory: a C++ class without data members or virtual destructor
// starts with a pointer to its table of virtual functions, slot n at index n,
// and a member function takes the object pointer as a hidden first argument.
#ifndef QLX_LANGUAGE_H
#define QLX_LANGUAGE_H

#define QLX_PASTE_(a, b) a##b
#define QLX_PASTE(a, b) QLX_PASTE_(a, b)

// A compile-time check at file scope, in either language; at most one per
// line, as C99 names it after its line.
#if defined(__cplusplus)
#define QLX_STATIC_ASSERT(condition, message) static_assert(condition, message)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define QLX_STATIC_ASSERT(condition, message) _Static_assert(condition, message)
#else
// C99: an array of negative size stops the compiler.
#define QLX_STATIC_ASSERT(condition, message) \
    typedef char QLX_PASTE(qlx_static_assert_, __LINE__)[(condition) ? 1 : -1]
#endif

// A function defined in a header: one definition for the whole program in
// C++, a private copy per translation unit in C (where a plain inline would
// need an external definition somewhere).
#ifdef __cplusplus
#define QLX_INLINE inline
#define QLX_EXTERN_C_BEGIN extern "C" {
#define QLX_EXTERN_C_END }
#else
#define QLX_INLINE static inline
#define QLX_EXTERN_C_BEGIN
#define QLX_EXTERN_C_END
#endif

#ifdef __cplusplus

#define QLX_FORWARD_INTERFACE(name) class name
#define QLX_BEGIN_INTERFACE       \
    class QLX_INTERFACE : public IUnknown { \
    public:
#define QLX_END_INTERFACE };
#define QLX_METHOD(type, name) virtual type name
#define QLX_THIS
#define QLX_THIS_
#define QLX_PURE = 0
#define QLX_REFGUID const QLXGUID&

#else

#define QLX_FORWARD_INTERFACE(name) typedef struct name name
#define QLX_BEGIN_INTERFACE                                                        \
    typedef struct QLX_PASTE(QLX_INTERFACE, Vtbl) QLX_PASTE(QLX_INTERFACE, Vtbl); \
    struct QLX_PASTE(QLX_INTERFACE, Vtbl) {                                        \
        QLX_UNKNOWN_SLOTS
#define QLX_END_INTERFACE \
    };                    \
    struct QLX_INTERFACE { const QLX_PASTE(QLX_INTERFACE, Vtbl) * lpVtbl; };
#define QLX_METHOD(type, name) type (*name)
#define QLX_THIS QLX_INTERFACE* self
#define QLX_THIS_ QLX_INTERFACE* self,
#define QLX_PURE
#define QLX_REFGUID const QLXGUID*

#endif

// Slots 0-2 of every interface.
#define QLX_UNKNOWN_SLOTS                                                          \
    QLX_METHOD(int32_t, QueryInterface)(QLX_THIS_ QLX_REFGUID iid, void** out) QLX_PURE; \
    QLX_METHOD(uint32_t, AddRef)(QLX_THIS) QLX_PURE;                               \
    QLX_METHOD(uint32_t, Release)(QLX_THIS) QLX_PURE;

#endif
