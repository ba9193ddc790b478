// A host written in C99 against the SDK headers alone: it loads the module
// with dlopen, writes two entries at once through its own buffers, lists the
// container, reads each listed entry back, seeks and stats, and lets the
// module go. Every call crosses the C view of an interface in one direction
// or the other, so a slot that C and the module's C++ place differently
// fails here.
//
//     c_host MODULE_PATH SCRATCH_DIR
#define _XOPEN_SOURCE 700

#include <dlfcn.h>
#include <qlx/interfaces.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define REQUIRE(condition)                                                          \
    do {                                                                            \
        if (!(condition)) {                                                         \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
            exit(1);                                                                \
        }                                                                           \
    } while (0)

// ---- host objects ----------------------------------------------------------
// Each starts with its interface, so the interface pointer is the object.
// They live in this program's memory: the count is kept to check that the
// module gives back every reference it takes, never to free.

static int32_t AnswerQuery(void* self, const QLXGUID* own, const QLXGUID* iid, void** out, int* refs) {
    if (!out) return E_POINTER;
    if (QLXIsEqualGUID(iid, &IID_IUnknown) || QLXIsEqualGUID(iid, own)) {
        ++*refs;
        *out = self;
        return S_OK;
    }
    *out = NULL;
    return E_NOINTERFACE;
}

// IQLXRequest: the module asks only for the URL.
typedef struct {
    IQLXRequest face;
    int refs;
    const char* url;
} HostRequest;

static int32_t RequestQuery(IQLXRequest* self, const QLXGUID* iid, void** out) {
    return AnswerQuery(self, &IID_IQLXRequest, iid, out, &((HostRequest*)self)->refs);
}
static uint32_t RequestAddRef(IQLXRequest* self) { return (uint32_t)++((HostRequest*)self)->refs; }
static uint32_t RequestRelease(IQLXRequest* self) { return (uint32_t)--((HostRequest*)self)->refs; }
static int32_t NoHeaders(IQLXRequest* self, IQLXValues* headers) {
    (void)self;
    (void)headers;
    return E_NOTIMPL;
}
static int32_t NoHeadersOut(IQLXRequest* self, IQLXValues** headers) {
    (void)self;
    if (headers) *headers = NULL;
    return E_NOTIMPL;
}
static int32_t SetUrl(IQLXRequest* self, const char* url) {
    ((HostRequest*)self)->url = url;
    return S_OK;
}
static int32_t GetUrl(IQLXRequest* self, const char** url) {
    *url = ((HostRequest*)self)->url;
    return S_OK;
}
static const IQLXRequestVtbl kRequestVtbl = {RequestQuery, RequestAddRef, RequestRelease, NoHeaders,
                                             NoHeadersOut,  NoHeaders,     NoHeadersOut,   SetUrl,
                                             GetUrl};

// IQLXFileResponse: records each callback; keeps a copy of the bytes read.
typedef struct {
    IQLXFileResponse face;
    int refs;
    int opens, closes, reads, writes, seeks;
    int32_t last;
    char bytes[256];
    size_t length;
} HostResponse;

static HostResponse* AsResponse(IQLXFileResponse* self) { return (HostResponse*)self; }
static int32_t ResponseQuery(IQLXFileResponse* self, const QLXGUID* iid, void** out) {
    return AnswerQuery(self, &IID_IQLXFileResponse, iid, out, &AsResponse(self)->refs);
}
static uint32_t ResponseAddRef(IQLXFileResponse* self) { return (uint32_t)++AsResponse(self)->refs; }
static uint32_t ResponseRelease(IQLXFileResponse* self) { return (uint32_t)--AsResponse(self)->refs; }
static int32_t OpenFinished(IQLXFileResponse* self, int32_t status) {
    ++AsResponse(self)->opens;
    AsResponse(self)->last = status;
    return S_OK;
}
static int32_t CloseFinished(IQLXFileResponse* self, int32_t status) {
    ++AsResponse(self)->closes;
    AsResponse(self)->last = status;
    return S_OK;
}
// The buffer is the module's and is released right after this call: copy.
static int32_t ReadFinished(IQLXFileResponse* self, int32_t status, IQLXBuffer* data) {
    HostResponse* response = AsResponse(self);
    ++response->reads;
    response->last = status;
    REQUIRE(status != RES_END_OF_DATA || data == NULL);
    if (data) {
        uint8_t* bytes = NULL;
        uint32_t length = 0;
        REQUIRE(data->lpVtbl->Get(data, &bytes, &length) == S_OK);
        REQUIRE(length == data->lpVtbl->GetSize(data) && bytes == data->lpVtbl->GetBuffer(data));
        REQUIRE(response->length + length <= sizeof response->bytes);
        memcpy(response->bytes + response->length, bytes, length);
        response->length += length;
    }
    return S_OK;
}
static int32_t WriteFinished(IQLXFileResponse* self, int32_t status) {
    ++AsResponse(self)->writes;
    AsResponse(self)->last = status;
    return S_OK;
}
static int32_t SeekFinished(IQLXFileResponse* self, int32_t status) {
    ++AsResponse(self)->seeks;
    AsResponse(self)->last = status;
    return S_OK;
}
static const IQLXFileResponseVtbl kResponseVtbl = {ResponseQuery, ResponseAddRef, ResponseRelease, OpenFinished,
                                                   CloseFinished, ReadFinished,   WriteFinished,   SeekFinished};

// IQLXBuffer: a view of the host's bytes handed to Write, which only reads it.
typedef struct {
    IQLXBuffer face;
    int refs;
    const char* bytes;
} HostBuffer;

static int32_t BufferQuery(IQLXBuffer* self, const QLXGUID* iid, void** out) {
    return AnswerQuery(self, &IID_IQLXBuffer, iid, out, &((HostBuffer*)self)->refs);
}
static uint32_t BufferAddRef(IQLXBuffer* self) { return (uint32_t)++((HostBuffer*)self)->refs; }
static uint32_t BufferRelease(IQLXBuffer* self) { return (uint32_t)--((HostBuffer*)self)->refs; }
static uint8_t* BufferBytes(IQLXBuffer* self) { return (uint8_t*)((HostBuffer*)self)->bytes; }
static uint32_t BufferSize(IQLXBuffer* self) { return (uint32_t)strlen(((HostBuffer*)self)->bytes); }
static int32_t BufferGet(IQLXBuffer* self, uint8_t** data, uint32_t* length) {
    if (data) *data = BufferBytes(self);
    if (length) *length = BufferSize(self);
    return S_OK;
}
static int32_t BufferSet(IQLXBuffer* self, const uint8_t* data, uint32_t length) {
    (void)self;
    (void)data;
    (void)length;
    return E_NOTIMPL;
}
static int32_t BufferSetSize(IQLXBuffer* self, uint32_t length) {
    (void)self;
    (void)length;
    return E_NOTIMPL;
}
static const IQLXBufferVtbl kBufferVtbl = {BufferQuery,   BufferAddRef, BufferRelease, BufferGet,
                                           BufferSet,     BufferSetSize, BufferSize,   BufferBytes};

// IQLXFileStatResponse: the size reported.
typedef struct {
    IQLXFileStatResponse face;
    int refs;
    int32_t status;
    uint32_t size;
} HostStat;

static int32_t StatQuery(IQLXFileStatResponse* self, const QLXGUID* iid, void** out) {
    return AnswerQuery(self, &IID_IQLXFileStatResponse, iid, out, &((HostStat*)self)->refs);
}
static uint32_t StatAddRef(IQLXFileStatResponse* self) { return (uint32_t)++((HostStat*)self)->refs; }
static uint32_t StatRelease(IQLXFileStatResponse* self) { return (uint32_t)--((HostStat*)self)->refs; }
static int32_t StatFinished(IQLXFileStatResponse* self, int32_t status, uint32_t size, uint32_t creationTime,
                            uint32_t accessTime, uint32_t modificationTime, uint32_t mode) {
    (void)creationTime;
    (void)accessTime;
    (void)modificationTime;
    (void)mode;
    ((HostStat*)self)->status = status;
    ((HostStat*)self)->size = size;
    return S_OK;
}
static const IQLXFileStatResponseVtbl kStatVtbl = {StatQuery, StatAddRef, StatRelease, StatFinished};

// dlsym hands out a function as a data pointer; ISO C has no cast between the
// two, so its bytes are copied into the function pointer, as POSIX allows.
static void LoadExport(void* module, const char* name, void* function, size_t size) {
    void* symbol = dlsym(module, name);
    REQUIRE(symbol != NULL && size == sizeof symbol);
    memcpy(function, &symbol, size);
}

// ---- one file object of the module with the host's request and response ----

typedef struct {
    IUnknown* object;
    IQLXFileObject* file;
    HostRequest request;
    HostResponse response;
} HostFile;

static void* Query(IUnknown* object, const QLXGUID* iid) {
    void* out = NULL;
    REQUIRE(object->lpVtbl->QueryInterface(object, iid, &out) == S_OK && out);
    return out;
}

static int32_t OpenFile(HostFile* f, IQLXFileSystemObject* fs, const char* url, uint32_t access) {
    IQLXRequestHandler* handler;
    memset(f, 0, sizeof *f);
    f->request.face.lpVtbl = &kRequestVtbl;
    f->response.face.lpVtbl = &kResponseVtbl;
    REQUIRE(fs->lpVtbl->CreateFileObject(fs, &f->object) == S_OK);
    f->file = (IQLXFileObject*)Query(f->object, &IID_IQLXFileObject);
    handler = (IQLXRequestHandler*)Query(f->object, &IID_IQLXRequestHandler);
    REQUIRE(f->request.face.lpVtbl->SetRequestURL(&f->request.face, url) == S_OK);
    REQUIRE(handler->lpVtbl->AssignRequest(handler, &f->request.face) == S_OK);
    handler->lpVtbl->Release(handler);
    return f->file->lpVtbl->Open(f->file, access, &f->response.face);
}

static void WritePiece(HostFile* f, const char* bytes) {
    HostBuffer buffer;
    int writes = f->response.writes;
    buffer.face.lpVtbl = &kBufferVtbl;
    buffer.refs = 1;
    buffer.bytes = bytes;
    REQUIRE(f->file->lpVtbl->Write(f->file, &buffer.face) == S_OK);
    REQUIRE(f->response.writes == writes + 1 && f->response.last == S_OK);
    REQUIRE(buffer.refs == 1);
}

// Reads to the end in pieces of 3 bytes; the end is ReadFinished with
// RES_END_OF_DATA and no buffer.
static void ReadToEnd(HostFile* f) {
    int32_t result;
    do {
        result = f->file->lpVtbl->Read(f->file, 3);
        REQUIRE(f->response.last == result);
    } while (result == S_OK);
    REQUIRE(result == RES_END_OF_DATA);
}

static void CloseFile(HostFile* f) {
    REQUIRE(f->file->lpVtbl->Close(f->file) == S_OK);
    REQUIRE(f->response.closes == 1 && f->response.refs == 0 && f->request.refs == 0);
    f->file->lpVtbl->Release(f->file);
    f->object->lpVtbl->Release(f->object);
}

int main(int argc, char** argv) {
    static const char* const kNames[] = {"a", "b"};
    static const char* const kPieces[2][3] = {{"alpha ", "beta ", "gamma"}, {"one ", "two ", "three"}};
    char dir[4096], container[4200], url[4400];
    void* module;
    QLXCreateInstanceFn createInstance;
    QLXShutdownFn shutdown;
    CanUnloadFn canUnload;
    IUnknown* plugin = NULL;
    IQLXPlugin* describe;
    IQLXFileSystemObject* fs;
    int32_t loadMultiple = 0;
    const char *description = NULL, *copyright = NULL, *moreInfo = NULL, *protocol = NULL, *shortName = NULL;
    uint32_t version = 0, count = 0;
    HostFile writers[2], lister;
    IQLXEnumeratorIUnknown* list;
    IUnknown* item = NULL;
    int listed = 0, i, piece;

    if (argc != 3) {
        fprintf(stderr, "usage: c_host MODULE_PATH SCRATCH_DIR\n");
        return 2;
    }
    mkdir(argv[2], 0777);  // the caller's scratch directory, if not there yet
    REQUIRE(snprintf(dir, sizeof dir, "%s/c-host-XXXXXX", argv[2]) < (int)sizeof dir);
    REQUIRE(mkdtemp(dir) != NULL);
    // An absolute path keeps its own "/" after the three of "cont:///".
    REQUIRE(realpath(dir, container) != NULL);
    strcat(container, "/clips.cnt");

    module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!module) fprintf(stderr, "dlopen: %s\n", dlerror());
    REQUIRE(module != NULL);
    LoadExport(module, "QLXCreateInstance", &createInstance, sizeof createInstance);
    LoadExport(module, "QLXShutdown", &shutdown, sizeof shutdown);
    LoadExport(module, "CanUnload", &canUnload, sizeof canUnload);

    REQUIRE(createInstance(&plugin) == S_OK && plugin);
    describe = (IQLXPlugin*)Query(plugin, &IID_IQLXPlugin);
    REQUIRE(describe->lpVtbl->DescribePlugin(describe, &loadMultiple, &description, &copyright, &moreInfo,
                                             &version) == S_OK);
    REQUIRE(loadMultiple == 1 && description && copyright && moreInfo && version == 0x600012AEu);
    REQUIRE(describe->lpVtbl->AttachContext(describe, NULL) == S_OK);
    fs = (IQLXFileSystemObject*)Query(plugin, &IID_IQLXFileSystemObject);
    REQUIRE(fs->lpVtbl->DescribeFileSystem(fs, &protocol, &shortName) == S_OK);
    REQUIRE(strcmp(protocol, "kt-container") == 0 && strcmp(shortName, "cont") == 0);
    REQUIRE(fs->lpVtbl->PrepareFileSystem(fs, NULL) == S_OK);
    REQUIRE(canUnload() == E_FAIL);

    // Two entries written at once, their pieces interleaved.
    for (i = 0; i < 2; ++i) {
        snprintf(url, sizeof url, "cont:///%s?file=%s", container, kNames[i]);
        REQUIRE(OpenFile(&writers[i], fs, url, WriteAccess) == S_OK);
        REQUIRE(writers[i].response.opens == 1 && writers[i].response.last == S_OK);
    }
    for (piece = 0; piece < 3; ++piece)
        for (i = 0; i < 2; ++i) WritePiece(&writers[i], kPieces[i][piece]);
    for (i = 0; i < 2; ++i) CloseFile(&writers[i]);

    // Listed through a file object opened at the container's URL: each item
    // is a buffer holding an entry's URL with its terminating zero.
    snprintf(url, sizeof url, "cont:///%s", container);
    REQUIRE(OpenFile(&lister, fs, url, ReadAccess) == S_OK);
    list = (IQLXEnumeratorIUnknown*)Query(lister.object, &IID_IQLXEnumeratorIUnknown);
    REQUIRE(list->lpVtbl->GetCount(list, &count) == S_OK && count == 2);
    for (int32_t r = list->lpVtbl->First(list, &item); r == S_OK; r = list->lpVtbl->Next(list, &item), ++listed) {
        IQLXBuffer* text = (IQLXBuffer*)Query(item, &IID_IQLXBuffer);
        HostFile reader;
        HostStat stat;
        IQLXFileObject64* file64;
        IQLXFileStat* stats;
        char expected[64];
        item->lpVtbl->Release(item);
        REQUIRE(listed < 2);
        snprintf(url, sizeof url, "cont:///%s?file=%s", container, kNames[listed]);
        REQUIRE(strcmp((const char*)text->lpVtbl->GetBuffer(text), url) == 0);
        REQUIRE(text->lpVtbl->GetSize(text) == strlen(url) + 1);

        REQUIRE(OpenFile(&reader, fs, (const char*)text->lpVtbl->GetBuffer(text), ReadAccess) == S_OK);
        text->lpVtbl->Release(text);
        ReadToEnd(&reader);
        snprintf(expected, sizeof expected, "%s%s%s", kPieces[listed][0], kPieces[listed][1], kPieces[listed][2]);
        REQUIRE(reader.response.length == strlen(expected) && memcmp(reader.response.bytes, expected, strlen(expected)) == 0);

        // Back to the last piece, relative to the end: a two's complement offset.
        file64 = (IQLXFileObject64*)Query(reader.object, &IID_IQLXFileObject64);
        REQUIRE(file64->lpVtbl->Seek64(file64, (uint32_t)-(int32_t)strlen(kPieces[listed][2]), 0xFFFFFFFFu, 1) == S_OK);
        REQUIRE(reader.response.seeks == 1 && reader.response.last == S_OK);
        file64->lpVtbl->Release(file64);
        reader.response.length = 0;
        ReadToEnd(&reader);
        REQUIRE(reader.response.length == strlen(kPieces[listed][2]));
        REQUIRE(memcmp(reader.response.bytes, kPieces[listed][2], reader.response.length) == 0);

        stat.face.lpVtbl = &kStatVtbl;
        stat.refs = 1;
        stat.status = E_FAIL;
        stats = (IQLXFileStat*)Query(reader.object, &IID_IQLXFileStat);
        REQUIRE(stats->lpVtbl->Stat(stats, &stat.face) == S_OK);
        REQUIRE(stat.status == S_OK && stat.size == strlen(expected) && stat.refs == 1);
        stats->lpVtbl->Release(stats);
        CloseFile(&reader);
    }
    REQUIRE(listed == 2 && item == NULL);
    CloseFile(&lister);
    // The enumerator alone still holds the container, and so the module.
    REQUIRE(canUnload() == E_FAIL);
    list->lpVtbl->Release(list);

    describe->lpVtbl->Release(describe);
    fs->lpVtbl->Release(fs);
    REQUIRE(plugin->lpVtbl->Release(plugin) == 0);
    REQUIRE(canUnload() == S_OK);
    REQUIRE(shutdown() == S_OK);
    REQUIRE(dlclose(module) == 0);

    REQUIRE(unlink(container) == 0 && rmdir(dir) == 0);
    // The module's texts went with it: only the count is printed.
    printf("c_host: %d entries written at once, listed and read back from C\n", listed);
    return 0;
}
