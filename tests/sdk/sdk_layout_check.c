// Compiled, never run: as C it checks that each vtable struct has exactly the
// slots of the host contract, the last one where the contract puts it; as
// C++ that each interface is one vtable pointer and nothing else, so the
// module's classes and a C host's structs describe the same memory.
// compile_headers.sh builds it as C99, C11, C++11 and C++17.
#include <qlx/interfaces.h>

#ifdef __cplusplus

#include <type_traits>

// A data member or virtual base would move the object's fields; a virtual
// destructor would insert two slots before the ones appended after it.
#define CHECK_INTERFACE(face, last, slots)                                                         \
    static_assert(sizeof(face) == sizeof(void*) && std::is_polymorphic<face>::value &&             \
                      !std::has_virtual_destructor<face>::value && std::is_base_of<IUnknown, face>::value, \
                  #face " is a vtable pointer only")

#else

#include <stddef.h>

#define CHECK_INTERFACE(face, last, slots)                                                            \
    QLX_STATIC_ASSERT(sizeof(face) == sizeof(void*) && offsetof(face, lpVtbl) == 0 &&                  \
                          sizeof(face##Vtbl) == (slots) * sizeof(void (*)(void)) &&                    \
                          offsetof(face##Vtbl, last) == ((slots)-1) * sizeof(void (*)(void)),          \
                      #face " is a pointer to " #slots " slots, the last " #last)

#endif

// Slot counts, IUnknown's three included, as the host contract lists them.
CHECK_INTERFACE(IUnknown, Release, 3);
CHECK_INTERFACE(IQLXPlugin, AttachContext, 5);
CHECK_INTERFACE(IQLXFileSystemObject, CreateSubObject, 7);
CHECK_INTERFACE(IQLXFileObject, Notify, 10);
CHECK_INTERFACE(IQLXFileObject64, Seek64, 4);
CHECK_INTERFACE(IQLXRequestHandler, RetrieveRequest, 5);
CHECK_INTERFACE(IQLXFileStat, Stat, 4);
CHECK_INTERFACE(IQLXFileExists, CheckExistence, 4);
CHECK_INTERFACE(IQLXGetFileFromSamePool, CreatePooledFile, 4);
CHECK_INTERFACE(IQLXFileRemove, Remove, 4);
CHECK_INTERFACE(IQLXEnumeratorIUnknown, GetCount, 6);
CHECK_INTERFACE(IQLXBuffer, GetBuffer, 8);
CHECK_INTERFACE(IQLXValues, NextTextProperty, 15);
CHECK_INTERFACE(IQLXFragmentedBuffer, GetSpanPointer, 10);
CHECK_INTERFACE(IQLXEnumFragmentedBuffer, Clone, 7);
CHECK_INTERFACE(IQLXContainerInspector, GetLastFailure, 8);
CHECK_INTERFACE(IQLXFileSync, Sync, 4);
CHECK_INTERFACE(IQLXFileResponse, SeekFinished, 8);
CHECK_INTERFACE(IQLXFileStatResponse, StatFinished, 4);
CHECK_INTERFACE(IQLXFileExistsResponse, ExistsFinished, 4);
CHECK_INTERFACE(IQLXFilePoolResponse, PooledFileReady, 4);
CHECK_INTERFACE(IQLXRequest, GetRequestURL, 9);

// Result codes are 32-bit signed values usable in constant expressions.
QLX_STATIC_ASSERT(sizeof(S_OK) == 4 && E_FAIL < 0 && RES_END_OF_DATA > 0 && QLX_FAILED(RES_IO_ERROR) &&
                      QLX_SUCCEEDED(RES_END_OF_DATA),
                  "result codes");
QLX_STATIC_ASSERT(ReadAccess == 1 && WriteAccess == 2 && AppendAccess == 4, "access flags");
QLX_STATIC_ASSERT(ContainerPartIndexRecord == 0 && ContainerPartEntryRecord == 1 && ContainerPartDataRecord == 2 &&
                      ContainerPartHeader == 0x100,
                  "parts of a container file");
QLX_STATIC_ASSERT(ContainerMagicW7K == 0x2E57374B && ContainerMagicCFS == 0x2E434653, "container magics");
