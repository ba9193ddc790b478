#include "module/container_file_system.h"

#include "frame/module_count.h"
#include "vfile/virtual_file_object.h"

CContainerFileSystem::CContainerFileSystem() { platform::AtomicIncrement(ModuleObjectCount); }

CContainerFileSystem::~CContainerFileSystem() { platform::AtomicDecrement(ModuleObjectCount); }

int32_t CContainerFileSystem::InnerQueryInterface(const QLXGUID& iid, void** out) {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown) return AnswerUnknown(out);
    if (iid == IID_IQLXPlugin) return AnswerInterface(static_cast<IQLXPlugin*>(this), out);
    if (iid == IID_IQLXFileSystemObject) return AnswerInterface(static_cast<IQLXFileSystemObject*>(this), out);
    return NoInterface(out);
}

// Out pointers that a caller leaves null are skipped rather than written.
template <class T>
static void Store(T* out, T value) {
    if (out) *out = value;
}

int32_t CContainerFileSystem::DescribePlugin(int32_t* loadMultiple, const char** description, const char** copyright,
                                             const char** moreInfoUrl, uint32_t* version) {
    Store(loadMultiple, int32_t{1});
    Store(description, kDescription);
    Store(copyright, kCopyright);
    Store(moreInfoUrl, kMoreInfoUrl);
    Store(version, kVersion);
    return S_OK;
}

int32_t CContainerFileSystem::AttachContext(IUnknown*) { return S_OK; }

int32_t CContainerFileSystem::DescribeFileSystem(const char** protocol, const char** shortName) {
    Store(protocol, kProtocolName);
    Store(shortName, kShortName);
    return S_OK;
}

int32_t CContainerFileSystem::PrepareFileSystem(IUnknown*) { return S_OK; }

int32_t CContainerFileSystem::CreateFileObject(IUnknown** out) { return CVirtualFileObject::Create(out); }

int32_t CContainerFileSystem::CreateSubObject(IUnknown**) { return E_NOTIMPL; }
