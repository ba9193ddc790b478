// Every interface of the host contract, in slot order, for C and C++ hosts.
//
// Each interface is declared once (language.h tells how): C++ sees a class of
// pure virtual functions only, without data members or virtual destructor,
// derived from IUnknown; C sees a struct whose lpVtbl points at a table of
// function pointers, IUnknown's three slots first, each taking the interface
// pointer as its first argument. Slot n is the n-th pointer of the table in
// both. Slots are never reordered; new operations are appended.
//
// In C an identifier is passed by address where C++ passes it by reference:
//     file->lpVtbl->QueryInterface(file, &IID_IQLXFileStat, (void**)&stat);
#ifndef QLX_INTERFACES_H
#define QLX_INTERFACES_H

#include <stdint.h>

#include "guid.h"
#include "language.h"
#include "result.h"

// Access flags for IQLXFileObject::Open. AppendAccess means something only
// together with WriteAccess: the container file is kept as it is and the
// entry is added to it, rather than the file being created or emptied.
// GatherAccess, with WriteAccess, gathers the entry's written bytes in
// memory and writes them to the file in large records (the URL option
// gather=1 asks for the same).
enum { ReadAccess = 1, WriteAccess = 2, AppendAccess = 4, GatherAccess = 8 };

QLX_FORWARD_INTERFACE(IUnknown);
QLX_FORWARD_INTERFACE(IQLXPlugin);
QLX_FORWARD_INTERFACE(IQLXFileSystemObject);
QLX_FORWARD_INTERFACE(IQLXFileObject);
QLX_FORWARD_INTERFACE(IQLXFileObject64);
QLX_FORWARD_INTERFACE(IQLXRequestHandler);
QLX_FORWARD_INTERFACE(IQLXFileStat);
QLX_FORWARD_INTERFACE(IQLXFileExists);
QLX_FORWARD_INTERFACE(IQLXGetFileFromSamePool);
QLX_FORWARD_INTERFACE(IQLXFileRemove);
QLX_FORWARD_INTERFACE(IQLXEnumeratorIUnknown);
QLX_FORWARD_INTERFACE(IQLXBuffer);
QLX_FORWARD_INTERFACE(IQLXValues);
QLX_FORWARD_INTERFACE(IQLXFragmentedBuffer);
QLX_FORWARD_INTERFACE(IQLXEnumFragmentedBuffer);
QLX_FORWARD_INTERFACE(IQLXContainerInspector);
QLX_FORWARD_INTERFACE(IQLXFileSync);
QLX_FORWARD_INTERFACE(IQLXFileResponse);
QLX_FORWARD_INTERFACE(IQLXFileStatResponse);
QLX_FORWARD_INTERFACE(IQLXFileExistsResponse);
QLX_FORWARD_INTERFACE(IQLXFilePoolResponse);
QLX_FORWARD_INTERFACE(IQLXRequest);

#define QLX_INTERFACE IUnknown
#ifdef __cplusplus
class IUnknown {
public:
    QLX_UNKNOWN_SLOTS  // 0 QueryInterface, 1 AddRef, 2 Release
};
#else
QLX_BEGIN_INTERFACE
QLX_END_INTERFACE
#endif
#undef QLX_INTERFACE

// ---- implemented by the module -------------------------------------------

#define QLX_INTERFACE IQLXPlugin
QLX_BEGIN_INTERFACE
    QLX_METHOD(int32_t, DescribePlugin)(QLX_THIS_ int32_t* loadMultiple, const char** description,
                                        const char** copyright, const char** moreInfoUrl,
                                        uint32_t* version) QLX_PURE;  // 3
    QLX_METHOD(int32_t, AttachContext)(QLX_THIS_ IUnknown* context) QLX_PURE;  // 4
QLX_END_INTERFACE
#undef QLX_INTERFACE

#define QLX_INTERFACE IQLXFileSystemObject
QLX_BEGIN_INTERFACE
    QLX_METHOD(int32_t, DescribeFileSystem)(QLX_THIS_ const char** protocol, const char** shortName) QLX_PURE;  // 3
    QLX_METHOD(int32_t, PrepareFileSystem)(QLX_THIS_ IUnknown* options) QLX_PURE;                              // 4
    QLX_METHOD(int32_t, CreateFileObject)(QLX_THIS_ IUnknown** out) QLX_PURE;                                  // 5
    QLX_METHOD(int32_t, CreateSubObject)(QLX_THIS_ IUnknown** out) QLX_PURE;                                   // 6
QLX_END_INTERFACE
#undef QLX_INTERFACE

#define QLX_INTERFACE IQLXFileObject
QLX_BEGIN_INTERFACE
    QLX_METHOD(int32_t, Open)(QLX_THIS_ uint32_t access, IQLXFileResponse* response) QLX_PURE;  // 3
    QLX_METHOD(int32_t, GetName)(QLX_THIS_ const char** name) QLX_PURE;                         // 4
    QLX_METHOD(int32_t, Close)(QLX_THIS) QLX_PURE;                                              // 5
    QLX_METHOD(int32_t, Read)(QLX_THIS_ uint32_t count) QLX_PURE;                               // 6
    QLX_METHOD(int32_t, Write)(QLX_THIS_ IQLXBuffer* data) QLX_PURE;                            // 7
    QLX_METHOD(int32_t, Seek)(QLX_THIS_ uint32_t offset, int32_t relative) QLX_PURE;            // 8
    QLX_METHOD(int32_t, Notify)(QLX_THIS_ uint32_t value) QLX_PURE;                             // 9
QLX_END_INTERFACE
#undef QLX_INTERFACE

#define QLX_INTERFACE IQLXFileObject64
QLX_BEGIN_INTERFACE
    QLX_METHOD(int32_t, Seek64)(QLX_THIS_ uint32_t offsetLow, uint32_t offsetHigh, int32_t relative) QLX_PURE;  // 3
QLX_END_INTERFACE
#undef QLX_INTERFACE

#define QLX_INTERFACE IQLXRequestHandler
QLX_BEGIN_INTERFACE
    QLX_METHOD(int32_t, AssignRequest)(QLX_THIS_ IQLXRequest* request) QLX_PURE;  // 3
    QLX_METHOD(int32_t, RetrieveRequest)(QLX_THIS_ IQLXRequest** out) QLX_PURE;   // 4
QLX_END_INTERFACE
#undef QLX_INTERFACE

#define QLX_INTERFACE IQLXFileStat
QLX_BEGIN_INTERFACE
    QLX_METHOD(int32_t, Stat)(QLX_THIS_ IQLXFileStatResponse* response) QLX_PURE;  // 3
QLX_END_INTERFACE
#undef QLX_INTERFACE

#define QLX_INTERFACE IQLXFileExists
QLX_BEGIN_INTERFACE
    QLX_METHOD(int32_t, CheckExistence)(QLX_THIS_ const char* url, IQLXFileExistsResponse* response) QLX_PURE;  // 3
QLX_END_INTERFACE
#undef QLX_INTERFACE

#define QLX_INTERFACE IQLXGetFileFromSamePool
QLX_BEGIN_INTERFACE
    QLX_METHOD(int32_t, CreatePooledFile)(QLX_THIS_ IQLXFilePoolResponse* response) QLX_PURE;  // 3
QLX_END_INTERFACE
#undef QLX_INTERFACE

#define QLX_INTERFACE IQLXFileRemove
QLX_BEGIN_INTERFACE
    QLX_METHOD(int32_t, Remove)(QLX_THIS) QLX_PURE;  // 3
QLX_END_INTERFACE
#undef QLX_INTERFACE

#define QLX_INTERFACE IQLXEnumeratorIUnknown
QLX_BEGIN_INTERFACE
    QLX_METHOD(int32_t, First)(QLX_THIS_ IUnknown** out) QLX_PURE;      // 3
    QLX_METHOD(int32_t, Next)(QLX_THIS_ IUnknown** out) QLX_PURE;       // 4
    QLX_METHOD(int32_t, GetCount)(QLX_THIS_ uint32_t* count) QLX_PURE;  // 5
QLX_END_INTERFACE
#undef QLX_INTERFACE

#define QLX_INTERFACE IQLXBuffer
QLX_BEGIN_INTERFACE
    QLX_METHOD(int32_t, Get)(QLX_THIS_ uint8_t** data, uint32_t* length) QLX_PURE;      // 3
    QLX_METHOD(int32_t, Set)(QLX_THIS_ const uint8_t* data, uint32_t length) QLX_PURE;  // 4
    QLX_METHOD(int32_t, SetSize)(QLX_THIS_ uint32_t length) QLX_PURE;                   // 5
    QLX_METHOD(uint32_t, GetSize)(QLX_THIS) QLX_PURE;                                   // 6
    QLX_METHOD(uint8_t*, GetBuffer)(QLX_THIS) QLX_PURE;                                 // 7
QLX_END_INTERFACE
#undef QLX_INTERFACE

#define QLX_INTERFACE IQLXValues
QLX_BEGIN_INTERFACE
    QLX_METHOD(int32_t, SetNumberProperty)(QLX_THIS_ const char* key, uint32_t value) QLX_PURE;          // 3
    QLX_METHOD(int32_t, GetNumberProperty)(QLX_THIS_ const char* key, uint32_t* value) QLX_PURE;         // 4
    QLX_METHOD(int32_t, FirstNumberProperty)(QLX_THIS_ const char** key, uint32_t* value) QLX_PURE;      // 5
    QLX_METHOD(int32_t, NextNumberProperty)(QLX_THIS_ const char** key, uint32_t* value) QLX_PURE;       // 6
    QLX_METHOD(int32_t, SetBufferProperty)(QLX_THIS_ const char* key, IQLXBuffer* value) QLX_PURE;       // 7
    QLX_METHOD(int32_t, GetBufferProperty)(QLX_THIS_ const char* key, IQLXBuffer** value) QLX_PURE;      // 8
    QLX_METHOD(int32_t, FirstBufferProperty)(QLX_THIS_ const char** key, IQLXBuffer** value) QLX_PURE;   // 9
    QLX_METHOD(int32_t, NextBufferProperty)(QLX_THIS_ const char** key, IQLXBuffer** value) QLX_PURE;    // 10
    QLX_METHOD(int32_t, SetTextProperty)(QLX_THIS_ const char* key, IQLXBuffer* value) QLX_PURE;         // 11
    QLX_METHOD(int32_t, GetTextProperty)(QLX_THIS_ const char* key, IQLXBuffer** value) QLX_PURE;        // 12
    QLX_METHOD(int32_t, FirstTextProperty)(QLX_THIS_ const char** key, IQLXBuffer** value) QLX_PURE;     // 13
    QLX_METHOD(int32_t, NextTextProperty)(QLX_THIS_ const char** key, IQLXBuffer** value) QLX_PURE;      // 14
QLX_END_INTERFACE
#undef QLX_INTERFACE

#define QLX_INTERFACE IQLXFragmentedBuffer
QLX_BEGIN_INTERFACE
    QLX_METHOD(int32_t, GetEnumerator)(QLX_THIS_ IQLXEnumFragmentedBuffer** out) QLX_PURE;                         // 3
    QLX_METHOD(int32_t, PrependFragment)(QLX_THIS_ IQLXBuffer* buffer, uint32_t offset, uint32_t length) QLX_PURE;  // 4
    QLX_METHOD(int32_t, AppendFragment)(QLX_THIS_ IQLXBuffer* buffer, uint32_t offset, uint32_t length) QLX_PURE;   // 5
    QLX_METHOD(int32_t, InsertFragment)(QLX_THIS_ IQLXBuffer* buffer, uint32_t offset, uint32_t length,
                                        uint32_t position) QLX_PURE;  // 6
    QLX_METHOD(int32_t, ReplaceSpan)(QLX_THIS_ IQLXBuffer* buffer, uint32_t offset, uint32_t length,
                                     uint32_t position) QLX_PURE;  // 7
    QLX_METHOD(int32_t, GetSpan)(QLX_THIS_ uint32_t start, uint32_t length, uint8_t** data,
                                 uint32_t* outLength) QLX_PURE;                                  // 8
    QLX_METHOD(uint8_t*, GetSpanPointer)(QLX_THIS_ uint32_t start, uint32_t length) QLX_PURE;  // 9
QLX_END_INTERFACE
#undef QLX_INTERFACE

#define QLX_INTERFACE IQLXEnumFragmentedBuffer
QLX_BEGIN_INTERFACE
    QLX_METHOD(int32_t, Reset)(QLX_THIS) QLX_PURE;                                                  // 3
    QLX_METHOD(int32_t, Next)(QLX_THIS_ uint32_t count, IQLXBuffer** items, uint32_t* fetched) QLX_PURE;  // 4
    QLX_METHOD(int32_t, Skip)(QLX_THIS_ uint32_t count) QLX_PURE;                                   // 5
    QLX_METHOD(int32_t, Clone)(QLX_THIS_ IQLXEnumFragmentedBuffer** out) QLX_PURE;                  // 6
QLX_END_INTERFACE
#undef QLX_INTERFACE

// What a container found damaged, what its recovery rebuilt, its header,
// the 64-bit sizes of its entries and the cause of its file's latest failure
// (docs/container-inspector.md). Answered by a container's enumerator and,
// while it holds a container (or held one whose directory could not be
// read), by a file object. Added after the first contract; later slots are
// only ever appended.
//
// The part of the file damage is in: a record type as the file holds it
// (any other value of the type byte is passed on as it is), or the header.
enum {
    ContainerPartIndexRecord = 0,
    ContainerPartEntryRecord = 1,
    ContainerPartDataRecord = 2,
    ContainerPartHeader = 0x100
};

// The first four bytes of a container file, read as a big-endian number.
enum {
    ContainerMagicW7K = 0x2E57374B,  // ".W7K", the variant this module writes
    ContainerMagicCFS = 0x2E434653   // ".CFS", read only
};

#define QLX_INTERFACE IQLXContainerInspector
QLX_BEGIN_INTERFACE
    QLX_METHOD(int32_t, GetFirstDamage)(QLX_THIS_ int32_t* found, uint64_t* offset, uint32_t* part,
                                        const char** reason) QLX_PURE;  // 3
    QLX_METHOD(int32_t, GetRecovery)(QLX_THIS_ int32_t* ran, uint32_t* dataRecords, uint32_t* entries,
                                     int32_t* writtenBack, const char** summary) QLX_PURE;  // 4
    QLX_METHOD(int32_t, GetHeader)(QLX_THIS_ uint32_t* magic, uint32_t* version, int32_t* clean,
                                   const char** title) QLX_PURE;  // 5
    QLX_METHOD(int32_t, GetEntrySize)(QLX_THIS_ const char* name, uint64_t* size) QLX_PURE;  // 6
    QLX_METHOD(int32_t, GetLastFailure)(QLX_THIS_ int32_t* systemError, const char** reason) QLX_PURE;  // 7
QLX_END_INTERFACE
#undef QLX_INTERFACE

// A durable point for a writer (docs/file-sync.md): when Sync returns S_OK,
// every byte this file object and its container have written is on the
// disk, and a power cut no longer loses it. Answered by every file object;
// without a container Sync fails with E_FAIL, as Read does. Added after the
// first contract; later slots are only ever appended.
#define QLX_INTERFACE IQLXFileSync
QLX_BEGIN_INTERFACE
    QLX_METHOD(int32_t, Sync)(QLX_THIS) QLX_PURE;  // 3
QLX_END_INTERFACE
#undef QLX_INTERFACE

// IContainerFile (IID_ITWContainerFile) is internal to the module: its
// identifier is fixed here so that lookups answer it, but hosts never call it.

// ---- implemented by the host, called by the module -------------------------

#define QLX_INTERFACE IQLXFileResponse
QLX_BEGIN_INTERFACE
    QLX_METHOD(int32_t, OpenFinished)(QLX_THIS_ int32_t status) QLX_PURE;                    // 3
    QLX_METHOD(int32_t, CloseFinished)(QLX_THIS_ int32_t status) QLX_PURE;                   // 4
    QLX_METHOD(int32_t, ReadFinished)(QLX_THIS_ int32_t status, IQLXBuffer* data) QLX_PURE;  // 5
    QLX_METHOD(int32_t, WriteFinished)(QLX_THIS_ int32_t status) QLX_PURE;                   // 6
    QLX_METHOD(int32_t, SeekFinished)(QLX_THIS_ int32_t status) QLX_PURE;                    // 7
QLX_END_INTERFACE
#undef QLX_INTERFACE

#define QLX_INTERFACE IQLXFileStatResponse
QLX_BEGIN_INTERFACE
    QLX_METHOD(int32_t, StatFinished)(QLX_THIS_ int32_t status, uint32_t size, uint32_t creationTime,
                                      uint32_t accessTime, uint32_t modificationTime, uint32_t mode) QLX_PURE;  // 3
QLX_END_INTERFACE
#undef QLX_INTERFACE

#define QLX_INTERFACE IQLXFileExistsResponse
QLX_BEGIN_INTERFACE
    QLX_METHOD(int32_t, ExistsFinished)(QLX_THIS_ int32_t exists) QLX_PURE;  // 3
QLX_END_INTERFACE
#undef QLX_INTERFACE

#define QLX_INTERFACE IQLXFilePoolResponse
QLX_BEGIN_INTERFACE
    QLX_METHOD(int32_t, PooledFileReady)(QLX_THIS_ int32_t status, IUnknown* file) QLX_PURE;  // 3
QLX_END_INTERFACE
#undef QLX_INTERFACE

#define QLX_INTERFACE IQLXRequest
QLX_BEGIN_INTERFACE
    QLX_METHOD(int32_t, SetRequestHeaders)(QLX_THIS_ IQLXValues* headers) QLX_PURE;    // 3
    QLX_METHOD(int32_t, GetRequestHeaders)(QLX_THIS_ IQLXValues** headers) QLX_PURE;   // 4
    QLX_METHOD(int32_t, SetResponseHeaders)(QLX_THIS_ IQLXValues* headers) QLX_PURE;   // 5
    QLX_METHOD(int32_t, GetResponseHeaders)(QLX_THIS_ IQLXValues** headers) QLX_PURE;  // 6
    QLX_METHOD(int32_t, SetRequestURL)(QLX_THIS_ const char* url) QLX_PURE;            // 7
    QLX_METHOD(int32_t, GetRequestURL)(QLX_THIS_ const char** url) QLX_PURE;           // 8
QLX_END_INTERFACE
#undef QLX_INTERFACE

// ---- module exports, looked up with dlsym -------------------------------------

QLX_EXTERN_C_BEGIN
typedef int32_t (*QLXCreateInstanceFn)(IUnknown** out);
typedef int32_t (*QLXShutdownFn)(void);
typedef int32_t (*CanUnloadFn)(void);
QLX_EXTERN_C_END

#endif
