// Every interface of the host contract, in slot order.
//
// An interface is a class of pure virtual functions only: no data members and
// no virtual destructor, so slot n is the n-th pointer of the vtable and a C
// host sees a struct of function pointers whose first argument is the
// interface pointer. Slots are never reordered; new operations are appended.
#ifndef QLX_INTERFACES_H
#define QLX_INTERFACES_H

#include <stdint.h>

#include "guid.h"
#include "result.h"

/* Access flags for IQLXFileObject::Open. */
enum : uint32_t { ReadAccess = 1, WriteAccess = 2 };

class IUnknown {
public:
    virtual int32_t QueryInterface(const QLXGUID& iid, void** out) = 0;  // 0
    virtual uint32_t AddRef() = 0;                                     // 1
    virtual uint32_t Release() = 0;                                    // 2
};

class IQLXBuffer;
class IQLXValues;
class IQLXFileResponse;
class IQLXFileStatResponse;
class IQLXFileExistsResponse;
class IQLXFilePoolResponse;
class IQLXRequest;
class IQLXEnumFragmentedBuffer;

// ---- implemented by the module -------------------------------------------

class IQLXPlugin : public IUnknown {
public:
    virtual int32_t DescribePlugin(int32_t* loadMultiple, const char** description, const char** copyright,
                                   const char** moreInfoUrl, uint32_t* version) = 0;  // 3
    virtual int32_t AttachContext(IUnknown* context) = 0;                            // 4
};

class IQLXFileSystemObject : public IUnknown {
public:
    virtual int32_t DescribeFileSystem(const char** protocol, const char** shortName) = 0;  // 3
    virtual int32_t PrepareFileSystem(IUnknown* options) = 0;                              // 4
    virtual int32_t CreateFileObject(IUnknown** out) = 0;                                  // 5
    virtual int32_t CreateSubObject(IUnknown** out) = 0;                                   // 6
};

class IQLXFileObject : public IUnknown {
public:
    virtual int32_t Open(uint32_t access, IQLXFileResponse* response) = 0;  // 3
    virtual int32_t GetName(const char** name) = 0;                         // 4
    virtual int32_t Close() = 0;                                            // 5
    virtual int32_t Read(uint32_t count) = 0;                               // 6
    virtual int32_t Write(IQLXBuffer* data) = 0;                            // 7
    virtual int32_t Seek(uint32_t offset, int32_t relative) = 0;            // 8
    virtual int32_t Notify(uint32_t value) = 0;                             // 9
};

class IQLXFileObject64 : public IUnknown {
public:
    virtual int32_t Seek64(uint32_t offsetLow, uint32_t offsetHigh, int32_t relative) = 0;  // 3
};

class IQLXRequestHandler : public IUnknown {
public:
    virtual int32_t AssignRequest(IQLXRequest* request) = 0;    // 3
    virtual int32_t RetrieveRequest(IQLXRequest** out) = 0;     // 4
};

class IQLXFileStat : public IUnknown {
public:
    virtual int32_t Stat(IQLXFileStatResponse* response) = 0;  // 3
};

class IQLXFileExists : public IUnknown {
public:
    virtual int32_t CheckExistence(const char* url, IQLXFileExistsResponse* response) = 0;  // 3
};

class IQLXGetFileFromSamePool : public IUnknown {
public:
    virtual int32_t CreatePooledFile(IQLXFilePoolResponse* response) = 0;  // 3
};

class IQLXFileRemove : public IUnknown {
public:
    virtual int32_t Remove() = 0;  // 3
};

class IQLXEnumeratorIUnknown : public IUnknown {
public:
    virtual int32_t First(IUnknown** out) = 0;      // 3
    virtual int32_t Next(IUnknown** out) = 0;       // 4
    virtual int32_t GetCount(uint32_t* count) = 0;  // 5
};

class IQLXBuffer : public IUnknown {
public:
    virtual int32_t Get(uint8_t** data, uint32_t* length) = 0;      // 3
    virtual int32_t Set(const uint8_t* data, uint32_t length) = 0;  // 4
    virtual int32_t SetSize(uint32_t length) = 0;                   // 5
    virtual uint32_t GetSize() = 0;                                 // 6
    virtual uint8_t* GetBuffer() = 0;                               // 7
};

class IQLXValues : public IUnknown {
public:
    virtual int32_t SetNumberProperty(const char* key, uint32_t value) = 0;            // 3
    virtual int32_t GetNumberProperty(const char* key, uint32_t* value) = 0;           // 4
    virtual int32_t FirstNumberProperty(const char** key, uint32_t* value) = 0;        // 5
    virtual int32_t NextNumberProperty(const char** key, uint32_t* value) = 0;         // 6
    virtual int32_t SetBufferProperty(const char* key, IQLXBuffer* value) = 0;         // 7
    virtual int32_t GetBufferProperty(const char* key, IQLXBuffer** value) = 0;        // 8
    virtual int32_t FirstBufferProperty(const char** key, IQLXBuffer** value) = 0;     // 9
    virtual int32_t NextBufferProperty(const char** key, IQLXBuffer** value) = 0;      // 10
    virtual int32_t SetTextProperty(const char* key, IQLXBuffer* value) = 0;           // 11
    virtual int32_t GetTextProperty(const char* key, IQLXBuffer** value) = 0;          // 12
    virtual int32_t FirstTextProperty(const char** key, IQLXBuffer** value) = 0;       // 13
    virtual int32_t NextTextProperty(const char** key, IQLXBuffer** value) = 0;        // 14
};

class IQLXFragmentedBuffer : public IUnknown {
public:
    virtual int32_t GetEnumerator(IQLXEnumFragmentedBuffer** out) = 0;                                   // 3
    virtual int32_t PrependFragment(IQLXBuffer* buffer, uint32_t offset, uint32_t length) = 0;           // 4
    virtual int32_t AppendFragment(IQLXBuffer* buffer, uint32_t offset, uint32_t length) = 0;            // 5
    virtual int32_t InsertFragment(IQLXBuffer* buffer, uint32_t offset, uint32_t length,
                                   uint32_t position) = 0;                                               // 6
    virtual int32_t ReplaceSpan(IQLXBuffer* buffer, uint32_t offset, uint32_t length,
                                uint32_t position) = 0;                                                  // 7
    virtual int32_t GetSpan(uint32_t start, uint32_t length, uint8_t** data, uint32_t* outLength) = 0;   // 8
    virtual uint8_t* GetSpanPointer(uint32_t start, uint32_t length) = 0;                                // 9
};

class IQLXEnumFragmentedBuffer : public IUnknown {
public:
    virtual int32_t Reset() = 0;                                                         // 3
    virtual int32_t Next(uint32_t count, IQLXBuffer** items, uint32_t* fetched) = 0;     // 4
    virtual int32_t Skip(uint32_t count) = 0;                                            // 5
    virtual int32_t Clone(IQLXEnumFragmentedBuffer** out) = 0;                           // 6
};

// ITWContainerFile (IID_ITWContainerFile) is internal to the module: its
// identifier is fixed here so that lookups answer it, but hosts never call it.

// ---- implemented by the host, called by the module -------------------------

class IQLXFileResponse : public IUnknown {
public:
    virtual int32_t OpenFinished(int32_t status) = 0;                    // 3
    virtual int32_t CloseFinished(int32_t status) = 0;                   // 4
    virtual int32_t ReadFinished(int32_t status, IQLXBuffer* data) = 0;  // 5
    virtual int32_t WriteFinished(int32_t status) = 0;                   // 6
    virtual int32_t SeekFinished(int32_t status) = 0;                    // 7
};

class IQLXFileStatResponse : public IUnknown {
public:
    virtual int32_t StatFinished(int32_t status, uint32_t size, uint32_t creationTime, uint32_t accessTime,
                                 uint32_t modificationTime, uint32_t mode) = 0;  // 3
};

class IQLXFileExistsResponse : public IUnknown {
public:
    virtual int32_t ExistsFinished(int32_t exists) = 0;  // 3
};

class IQLXFilePoolResponse : public IUnknown {
public:
    virtual int32_t PooledFileReady(int32_t status, IUnknown* file) = 0;  // 3
};

class IQLXRequest : public IUnknown {
public:
    virtual int32_t SetRequestHeaders(IQLXValues* headers) = 0;    // 3
    virtual int32_t GetRequestHeaders(IQLXValues** headers) = 0;   // 4
    virtual int32_t SetResponseHeaders(IQLXValues* headers) = 0;   // 5
    virtual int32_t GetResponseHeaders(IQLXValues** headers) = 0;  // 6
    virtual int32_t SetRequestURL(const char* url) = 0;            // 7
    virtual int32_t GetRequestURL(const char** url) = 0;           // 8
};

// ---- module exports -----------------------------------------------------------

extern "C" {
typedef int32_t (*QLXCreateInstanceFn)(IUnknown** out);
typedef int32_t (*QLXShutdownFn)(void);
typedef int32_t (*CanUnloadFn)(void);
}

#endif
