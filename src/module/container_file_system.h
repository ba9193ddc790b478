// CContainerFileSystem: the plug-in object a host gets from QLXCreateInstance.
// It describes the plug-in and the "cont" scheme and hands out one new file
// object per URL. It keeps no state of its own.
#ifndef CONTFS_MODULE_CONTAINER_FILE_SYSTEM_H
#define CONTFS_MODULE_CONTAINER_FILE_SYSTEM_H

#include "frame/unknown.h"

class CContainerFileSystem : public IQLXPlugin, public IQLXFileSystemObject, public CUnknownIMP {
public:
    static constexpr const char* kDescription = "Norvale Container File System";
    static constexpr const char* kCopyright = "Copyright (c) 2026 the contfs authors";
    static constexpr const char* kMoreInfoUrl = "https://contfs.invalid/";
    static constexpr uint32_t kVersion = 0x600012AE;
    static constexpr const char* kProtocolName = "kt-container";
    static constexpr const char* kShortName = "cont";

    CContainerFileSystem();
    ~CContainerFileSystem() override;

    QLX_FORWARD_UNKNOWN()

    // IQLXPlugin
    int32_t DescribePlugin(int32_t* loadMultiple, const char** description, const char** copyright,
                           const char** moreInfoUrl, uint32_t* version) override;
    int32_t AttachContext(IUnknown* context) override;

    // IQLXFileSystemObject
    int32_t DescribeFileSystem(const char** protocol, const char** shortName) override;
    int32_t PrepareFileSystem(IUnknown* options) override;
    int32_t CreateFileObject(IUnknown** out) override;
    int32_t CreateSubObject(IUnknown** out) override;

    int32_t InnerQueryInterface(const QLXGUID& iid, void** out) override;
};

#endif
