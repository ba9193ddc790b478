// The plug-in seen from a host: loaded with dlopen and driven only through
// the exports and the SDK interfaces.
#include <gtest/gtest.h>

#include <cstring>

#include "support/module_loader.h"

namespace {

class PluginTest : public ::testing::Test {
protected:
    host::LoadedModule module;
};

TEST_F(PluginTest, CreateInstanceHandsOutThePluginWithOneReference) {
    IUnknown* plugin = nullptr;
    ASSERT_EQ(S_OK, module.createInstance(&plugin));
    ASSERT_NE(nullptr, plugin);
    // The handed-out pointer is the primary interface, IQLXPlugin.
    IQLXPlugin* asPlugin = host::Query<IQLXPlugin>(plugin, IID_IQLXPlugin);
    EXPECT_EQ(static_cast<void*>(plugin), static_cast<void*>(asPlugin));
    EXPECT_EQ(1u, asPlugin->Release());
    EXPECT_EQ(0u, plugin->Release());
}

TEST_F(PluginTest, DescribesItselfWithStableTexts) {
    IUnknown* plugin = nullptr;
    ASSERT_EQ(S_OK, module.createInstance(&plugin));
    auto* p = host::Query<IQLXPlugin>(plugin, IID_IQLXPlugin);
    int32_t loadMultiple = 0;
    const char *description = nullptr, *copyright = nullptr, *moreInfo = nullptr;
    uint32_t version = 0;
    ASSERT_EQ(S_OK, p->DescribePlugin(&loadMultiple, &description, &copyright, &moreInfo, &version));
    EXPECT_EQ(1, loadMultiple);
    EXPECT_STREQ("Norvale Container File System", description);
    EXPECT_NE(nullptr, copyright);
    EXPECT_NE(nullptr, moreInfo);
    EXPECT_EQ(0x600012AEu, version);
    const char* again = nullptr;
    p->DescribePlugin(nullptr, &again, nullptr, nullptr, nullptr);
    EXPECT_EQ(description, again);

    auto* fs = host::Query<IQLXFileSystemObject>(plugin, IID_IQLXFileSystemObject);
    ASSERT_NE(nullptr, fs);
    const char *protocol = nullptr, *shortName = nullptr;
    ASSERT_EQ(S_OK, fs->DescribeFileSystem(&protocol, &shortName));
    EXPECT_STREQ("kt-container", protocol);
    EXPECT_STREQ("cont", shortName);
    EXPECT_EQ(S_OK, p->AttachContext(nullptr));
    EXPECT_EQ(S_OK, fs->PrepareFileSystem(nullptr));
    EXPECT_EQ(E_NOTIMPL, fs->CreateSubObject(nullptr));
    IUnknown* sub = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(E_NOTIMPL, fs->CreateSubObject(&sub));
    EXPECT_EQ(reinterpret_cast<IUnknown*>(0x1), sub);
    fs->Release();
    p->Release();
    EXPECT_EQ(0u, plugin->Release());
}

TEST_F(PluginTest, InterfaceLookupFollowsTheRules) {
    IUnknown* plugin = nullptr;
    ASSERT_EQ(S_OK, module.createInstance(&plugin));
    EXPECT_EQ(E_POINTER, plugin->QueryInterface(IID_IQLXPlugin, nullptr));

    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(E_NOINTERFACE, plugin->QueryInterface(IID_IQLXFileObject, &out));
    EXPECT_EQ(nullptr, out);
    // Neither failure added a reference.
    EXPECT_EQ(2u, plugin->AddRef());
    EXPECT_EQ(1u, plugin->Release());

    // IUnknown is the same pointer from either interface, and is not the
    // primary interface pointer.
    auto* fs = host::Query<IQLXFileSystemObject>(plugin, IID_IQLXFileSystemObject);
    IUnknown* identityFromPlugin = host::Query<IUnknown>(plugin, IID_IUnknown);
    IUnknown* identityFromFs = host::Query<IUnknown>(fs, IID_IUnknown);
    EXPECT_EQ(identityFromPlugin, identityFromFs);
    EXPECT_NE(static_cast<void*>(plugin), static_cast<void*>(identityFromPlugin));
    EXPECT_EQ(5u, plugin->AddRef());  // plugin, fs, two identities and this one
    plugin->Release();
    identityFromPlugin->Release();
    identityFromFs->Release();
    fs->Release();
    EXPECT_EQ(0u, plugin->Release());
}

TEST_F(PluginTest, CanUnloadFollowsLiveObjects) {
    EXPECT_EQ(S_OK, module.canUnload());
    IUnknown* first = nullptr;
    IUnknown* second = nullptr;
    ASSERT_EQ(S_OK, module.createInstance(&first));
    ASSERT_EQ(S_OK, module.createInstance(&second));
    EXPECT_NE(first, second);
    EXPECT_EQ(E_FAIL, module.canUnload());
    first->Release();
    EXPECT_EQ(E_FAIL, module.canUnload());
    EXPECT_EQ(S_OK, module.shutdown());
    second->Release();
    EXPECT_EQ(S_OK, module.canUnload());
    EXPECT_EQ(S_OK, module.shutdown());
}

TEST_F(PluginTest, CreateInstanceWithoutOutPointerFails) { EXPECT_EQ(E_POINTER, module.createInstance(nullptr)); }

}  // namespace
