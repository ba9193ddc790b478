// The module linked into this binary (rather than loaded with dlopen),
// reached through its exports as a host reaches a loaded one.
#ifndef CONTFS_TESTS_SUPPORT_LINKED_MODULE_H
#define CONTFS_TESTS_SUPPORT_LINKED_MODULE_H

#include <qlx/interfaces.h>

extern "C" int32_t QLXCreateInstance(IUnknown** out);
extern "C" int32_t CanUnload(void);

namespace host {

// A file object from a fresh plug-in object (which is released), with
// `request` assigned and not yet opened; null when the module gave none.
inline IQLXFileObject* NewLinkedFileObject(IQLXRequest* request) {
    IUnknown* plugin = nullptr;
    if (QLXCreateInstance(&plugin) != S_OK || !plugin) return nullptr;
    IQLXFileSystemObject* fs = nullptr;
    IUnknown* object = nullptr;
    IQLXFileObject* file = nullptr;
    if (plugin->QueryInterface(IID_IQLXFileSystemObject, reinterpret_cast<void**>(&fs)) == S_OK) {
        if (fs->CreateFileObject(&object) == S_OK && object) {
            object->QueryInterface(IID_IQLXFileObject, reinterpret_cast<void**>(&file));
            object->Release();
        }
        fs->Release();
    }
    plugin->Release();
    IQLXRequestHandler* requests = nullptr;
    if (file && file->QueryInterface(IID_IQLXRequestHandler, reinterpret_cast<void**>(&requests)) == S_OK) {
        if (requests->AssignRequest(request) != S_OK) {
            file->Release();
            file = nullptr;
        }
        requests->Release();
    }
    return file;
}

}  // namespace host

#endif
