/* read_entry: writes one entry of a container to standard output, through
 * the module's interfaces seen from plain C.
 *
 *     read_entry CONTAINER ENTRY
 *
 * The module is the file the environment variable CONT_MODULE names, as
 * for every host of contfs, else the one CONTFS_MODULE names when this is
 * compiled; the CMake package gives it as contfs_MODULE_PATH, pkg-config
 * as `pkg-config --variable=module contfs` (examples/CMakeLists.txt and
 * README.md show both).
 *
 * What a host does, in order: load the module and make the plug-in object;
 * ask it for a file object; hand the file object a request that carries the
 * entry's URL; open it for reading with a response object of the host's
 * own, which receives every result and the bytes read; read until the
 * module says the entry has ended; release everything; unload the module
 * once it says it can go. docs/host-guide.md tells each step in full. */
#define _XOPEN_SOURCE 700

#include <dlfcn.h>
#include <limits.h>
#include <qlx/interfaces.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifndef CONTFS_MODULE
#error "compile with -DCONTFS_MODULE='\"/path/to/contfs.so\"'"
#endif

/* Bytes asked for per read. */
#define READ_SIZE 65536u

/* ---- the host's objects ----------------------------------------------------
 * Each starts with its interface, so a pointer to the interface is a pointer
 * to the object. They live in main's frame and outlast every object of the
 * module, so their reference counts need not free anything. */

static int32_t Answer(void* self, const QLXGUID* own, const QLXGUID* iid, void** out) {
    if (!out) return E_POINTER;
    if (!QLXIsEqualGUID(iid, &IID_IUnknown) && !QLXIsEqualGUID(iid, own)) {
        *out = NULL;
        return E_NOINTERFACE;
    }
    *out = self;
    return S_OK;
}

/* The request: the module asks it for the URL of the entry to open. */
typedef struct {
    IQLXRequest face;
    const char* url;
} Request;

static int32_t RequestQuery(IQLXRequest* self, const QLXGUID* iid, void** out) {
    return Answer(self, &IID_IQLXRequest, iid, out);
}
static uint32_t RequestAddRef(IQLXRequest* self) { (void)self; return 2; }
static uint32_t RequestRelease(IQLXRequest* self) { (void)self; return 1; }
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
    ((Request*)self)->url = url;
    return S_OK;
}
static int32_t GetUrl(IQLXRequest* self, const char** url) {
    if (!url) return E_POINTER;
    *url = ((Request*)self)->url;
    return S_OK;
}
static const IQLXRequestVtbl kRequestSlots = {RequestQuery, RequestAddRef, RequestRelease, NoHeaders, NoHeadersOut,
                                              NoHeaders,    NoHeadersOut,  SetUrl,         GetUrl};

/* The response: the module calls it inside Open, Read and the rest, before
 * they return. A read's bytes are in the module's buffer only during the
 * call, so they are written out here. */
typedef struct {
    IQLXFileResponse face;
    int writeFailed;
} Response;

static int32_t ResponseQuery(IQLXFileResponse* self, const QLXGUID* iid, void** out) {
    return Answer(self, &IID_IQLXFileResponse, iid, out);
}
static uint32_t ResponseAddRef(IQLXFileResponse* self) { (void)self; return 2; }
static uint32_t ResponseRelease(IQLXFileResponse* self) { (void)self; return 1; }
static int32_t Finished(IQLXFileResponse* self, int32_t status) {
    (void)self;
    (void)status;
    return S_OK;
}
static int32_t ReadFinished(IQLXFileResponse* self, int32_t status, IQLXBuffer* data) {
    uint8_t* bytes = NULL;
    uint32_t length = 0;
    /* At the end of the entry the status is RES_END_OF_DATA and there is no
     * buffer. */
    if (status != S_OK || !data || QLX_FAILED(data->lpVtbl->Get(data, &bytes, &length))) return S_OK;
    if (length && fwrite(bytes, 1, length, stdout) != length) ((Response*)self)->writeFailed = 1;
    return S_OK;
}
static const IQLXFileResponseVtbl kResponseSlots = {ResponseQuery, ResponseAddRef, ResponseRelease, Finished,
                                                    Finished,      ReadFinished,   Finished,        Finished};

/* The stat response: the module calls it inside Stat with the entry's size
 * (modulo 2^32) and the container file's times and mode. */
typedef struct {
    IQLXFileStatResponse face;
    int32_t status;
    uint32_t size;
} StatResponse;

static int32_t StatQuery(IQLXFileStatResponse* self, const QLXGUID* iid, void** out) {
    return Answer(self, &IID_IQLXFileStatResponse, iid, out);
}
static uint32_t StatAddRef(IQLXFileStatResponse* self) { (void)self; return 2; }
static uint32_t StatRelease(IQLXFileStatResponse* self) { (void)self; return 1; }
static int32_t StatFinished(IQLXFileStatResponse* self, int32_t status, uint32_t size, uint32_t creationTime,
                            uint32_t accessTime, uint32_t modificationTime, uint32_t mode) {
    (void)creationTime;
    (void)accessTime;
    (void)modificationTime;
    (void)mode;
    ((StatResponse*)self)->status = status;
    ((StatResponse*)self)->size = size;
    return S_OK;
}
static const IQLXFileStatResponseVtbl kStatSlots = {StatQuery, StatAddRef, StatRelease, StatFinished};

/* ---- the URL ---------------------------------------------------------------
 * "cont:///" + the container's absolute path (hence four slashes) +
 * "?file=" + the entry name. The module percent-decodes the whole URL
 * before it reads it, so a '%' of the path or name is written "%25". Names
 * of digits only, or holding '&', go in double quotes, where the module
 * takes them as text (a name holding '"' cannot be quoted). Names with
 * '#', '\', or both '"' and '&', cannot be written at all
 * (docs/host-guide.md, "URL forms"). */

static int NeedsQuotes(const char* name) {
    if (strchr(name, '"')) return 0;
    return name[strspn(name, "0123456789")] == '\0' || strchr(name, '&') != NULL;
}

static void AppendEscaped(char* url, const char* text) {
    url += strlen(url);
    for (; *text; ++text) {
        if (*text == '%') {
            memcpy(url, "%25", 3);
            url += 3;
        } else {
            *url++ = *text;
        }
    }
    *url = '\0';
}

static char* MakeUrl(const char* container, const char* entry) {
    char path[PATH_MAX];
    char* url;
    if (!realpath(container, path)) return NULL;
    /* Each byte at most three; the rest is the scheme, option and quotes. */
    url = malloc(3 * (strlen(path) + strlen(entry)) + 32);
    if (!url) return NULL;
    strcpy(url, "cont:///");
    AppendEscaped(url, path);
    strcat(url, NeedsQuotes(entry) ? "?file=\"" : "?file=");
    AppendEscaped(url, entry);
    if (NeedsQuotes(entry)) strcat(url, "\"");
    return url;
}

/* ---- the module ------------------------------------------------------------- */

/* dlsym hands out a function as a data pointer; ISO C has no cast between
 * the two, so the pointer's bytes are copied, as POSIX allows. */
static int LoadExport(void* module, const char* name, void* function) {
    void* symbol = dlsym(module, name);
    if (!symbol) return 0;
    memcpy(function, &symbol, sizeof symbol);
    return 1;
}

static void* Query(IUnknown* object, const QLXGUID* iid) {
    void* out = NULL;
    return object && object->lpVtbl->QueryInterface(object, iid, &out) == S_OK ? out : NULL;
}

/* "what: E_FAIL (0x80004005)": the result by its name, when it has one. */
static int Fail(const char* what, int32_t result) {
    const char* name = QLXResultName(result);
    fprintf(stderr, "read_entry: %s: %s (0x%08X)\n", what, name ? name : "result", (unsigned)result);
    return 1;
}

/* Whether the opened entry is empty: reading an empty entry fails rather
 * than ending, so a first read that fails is asked about. */
static int IsEmpty(IUnknown* object) {
    StatResponse response = {{&kStatSlots}, E_FAIL, 1};
    IQLXFileStat* stat = Query(object, &IID_IQLXFileStat);
    if (!stat) return 0;
    stat->lpVtbl->Stat(stat, &response.face);
    stat->lpVtbl->Release(stat);
    return response.status == S_OK && response.size == 0;
}

/* Opens the entry in `object` and writes it out. */
static int ReadEntry(IUnknown* object, const char* url) {
    Request request = {{&kRequestSlots}, NULL};
    Response response = {{&kResponseSlots}, 0};
    IQLXRequestHandler* handler = Query(object, &IID_IQLXRequestHandler);
    IQLXFileObject* file = Query(object, &IID_IQLXFileObject);
    int32_t result = E_NOINTERFACE;
    int status = 1;
    request.url = url;
    if (handler && file) result = handler->lpVtbl->AssignRequest(handler, &request.face);
    if (QLX_SUCCEEDED(result)) result = file->lpVtbl->Open(file, ReadAccess, &response.face);
    if (QLX_FAILED(result)) {
        Fail("cannot open the entry", result);
        /* The file object keeps the request and response (this frame's)
         * until Close, also after a failed Open. */
        if (file) file->lpVtbl->Close(file);
    } else {
        /* S_OK while bytes come, RES_END_OF_DATA (a success) at the end. */
        result = file->lpVtbl->Read(file, READ_SIZE);
        if (QLX_FAILED(result) && IsEmpty(object)) result = RES_END_OF_DATA;
        while (result == S_OK && !response.writeFailed) result = file->lpVtbl->Read(file, READ_SIZE);
        if (QLX_FAILED(result))
            Fail("read failed", result);
        else if (response.writeFailed || fflush(stdout) != 0)
            fprintf(stderr, "read_entry: cannot write to standard output\n");
        else
            status = 0;
        file->lpVtbl->Close(file);
    }
    if (file) file->lpVtbl->Release(file);
    if (handler) handler->lpVtbl->Release(handler);
    return status;
}

int main(int argc, char** argv) {
    QLXCreateInstanceFn createInstance;
    CanUnloadFn canUnload;
    IUnknown* plugin = NULL;
    IQLXFileSystemObject* fileSystem;
    IUnknown* object = NULL;
    char* url;
    void* module;
    const char* path = getenv("CONT_MODULE");
    int status = 1;
    int32_t result;

    if (argc != 3) {
        fprintf(stderr, "usage: read_entry CONTAINER ENTRY\n");
        return 2;
    }
    url = MakeUrl(argv[1], argv[2]);
    if (!url) {
        perror(argv[1]);
        return 1;
    }
    if (!path || !*path) path = CONTFS_MODULE;
    module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        fprintf(stderr, "read_entry: %s\n", dlerror());
        free(url);
        return 1;
    }
    if (!LoadExport(module, "QLXCreateInstance", &createInstance) || !LoadExport(module, "CanUnload", &canUnload)) {
        fprintf(stderr, "read_entry: %s is not a plug-in module\n", path);
        dlclose(module);
        free(url);
        return 1;
    }

    result = createInstance(&plugin);
    fileSystem = Query(plugin, &IID_IQLXFileSystemObject);
    if (fileSystem) {
        /* Options are optional: NULL takes the defaults. */
        result = fileSystem->lpVtbl->PrepareFileSystem(fileSystem, NULL);
        if (QLX_SUCCEEDED(result)) result = fileSystem->lpVtbl->CreateFileObject(fileSystem, &object);
        fileSystem->lpVtbl->Release(fileSystem);
    }
    if (plugin) plugin->lpVtbl->Release(plugin);
    if (object) {
        status = ReadEntry(object, url);
        object->lpVtbl->Release(object);
    } else {
        Fail("the module made no file object", QLX_FAILED(result) ? result : E_FAIL);
    }

    /* Every object of the module is released: it may be unloaded now. */
    if (canUnload() == S_OK) dlclose(module);
    free(url);
    return status;
}
