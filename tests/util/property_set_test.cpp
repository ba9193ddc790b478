#include "util/property_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "buffer/byte_buffer.h"
#include "support/host_doubles.h"

namespace {

class PropertySetTest : public ::testing::Test {
protected:
    void SetUp() override {
        set = PropertySet::Create();
        ASSERT_NE(set, nullptr);
    }
    void TearDown() override {
        if (set) set->Release();
    }

    // Keys handed out by the numbers' enumeration, in order.
    std::vector<std::string> NumberKeys() {
        std::vector<std::string> keys;
        const char* key = nullptr;
        uint32_t value = 0;
        for (int32_t r = set->FirstNumberProperty(&key, &value); r == S_OK; r = set->NextNumberProperty(&key, &value)) {
            keys.push_back(key);
        }
        return keys;
    }

    // Members, so they outlive the set released in TearDown.
    host::HostBuffer x{"x"}, y{"y"};
    IQLXValues* set = nullptr;
};

TEST_F(PropertySetTest, KeysIgnoreCaseAndKeepTheirFirstSpelling) {
    EXPECT_EQ(set->SetNumberProperty("Port", 80), S_OK);
    uint32_t value = 0;
    ASSERT_EQ(set->GetNumberProperty("PORT", &value), S_OK);
    EXPECT_EQ(value, 80u);
    EXPECT_EQ(set->SetNumberProperty("pOrT", 81), S_OK);
    EXPECT_EQ(NumberKeys(), std::vector<std::string>{"Port"});
    ASSERT_EQ(set->GetNumberProperty("port", &value), S_OK);
    EXPECT_EQ(value, 81u);
}

TEST_F(PropertySetTest, KindsAreSeparateUnderOneKey) {
    host::HostBuffer& buffer = x;
    ASSERT_EQ(set->SetBufferProperty("host", &buffer), S_OK);
    uint32_t value = 7;
    EXPECT_EQ(set->GetNumberProperty("host", &value), E_FAIL);
    EXPECT_EQ(value, 7u);
    IQLXBuffer* out = nullptr;
    EXPECT_EQ(set->GetTextProperty("HOST", &out), E_FAIL);
    EXPECT_EQ(out, nullptr);

    ASSERT_EQ(set->SetNumberProperty("HOST", 1), S_OK);
    EXPECT_EQ(NumberKeys(), std::vector<std::string>{"host"});
    ASSERT_EQ(set->GetBufferProperty("Host", &out), S_OK);
    EXPECT_EQ(out, &buffer);
    out->Release();
}

TEST_F(PropertySetTest, NullObjectIsRefusedAndCreatesNoEntry) {
    EXPECT_EQ(set->SetBufferProperty("Key", nullptr), E_FAIL);
    EXPECT_EQ(set->SetTextProperty("Key", nullptr), E_FAIL);
    // The entry made now is the first: it takes this call's spelling.
    ASSERT_EQ(set->SetNumberProperty("KEY", 2), S_OK);
    EXPECT_EQ(NumberKeys(), std::vector<std::string>{"KEY"});
    IQLXBuffer* out = nullptr;
    const char* key = nullptr;
    EXPECT_EQ(set->FirstBufferProperty(&key, &out), E_FAIL);
    EXPECT_EQ(set->FirstTextProperty(&key, &out), E_FAIL);
}

TEST_F(PropertySetTest, EmptySetHasNothingToEnumerate) {
    const char* key = nullptr;
    uint32_t number = 0;
    IQLXBuffer* object = nullptr;
    EXPECT_EQ(set->FirstNumberProperty(&key, &number), E_FAIL);
    EXPECT_EQ(set->FirstBufferProperty(&key, &object), E_FAIL);
    EXPECT_EQ(set->FirstTextProperty(&key, &object), E_FAIL);
    EXPECT_EQ(set->GetNumberProperty("x", &number), E_FAIL);
}

TEST_F(PropertySetTest, EnumerationFollowsKeyOrderNotInsertionOrder) {
    set->SetNumberProperty("b", 2);
    set->SetNumberProperty("A", 1);
    set->SetNumberProperty("c", 3);
    EXPECT_EQ(NumberKeys(), (std::vector<std::string>{"A", "b", "c"}));
}

TEST_F(PropertySetTest, NextPastTheEndKeepsFailing) {
    set->SetNumberProperty("a", 1);
    const char* key = nullptr;
    uint32_t value = 0;
    ASSERT_EQ(set->FirstNumberProperty(&key, &value), S_OK);
    EXPECT_EQ(set->NextNumberProperty(&key, &value), E_FAIL);
    EXPECT_EQ(set->NextNumberProperty(&key, &value), E_FAIL);
}

TEST_F(PropertySetTest, EachKindEnumeratesOnlyItsOwnEntriesWithItsOwnCursor) {
    set->SetNumberProperty("a", 1);
    set->SetBufferProperty("b", &x);
    set->SetNumberProperty("c", 3);
    set->SetTextProperty("d", &y);
    set->SetBufferProperty("e", &y);

    const char* numberKey = nullptr;
    const char* bufferKey = nullptr;
    uint32_t number = 0;
    IQLXBuffer* object = nullptr;
    ASSERT_EQ(set->FirstNumberProperty(&numberKey, &number), S_OK);
    EXPECT_STREQ(numberKey, "a");
    ASSERT_EQ(set->FirstBufferProperty(&bufferKey, &object), S_OK);
    EXPECT_STREQ(bufferKey, "b");
    EXPECT_EQ(object, &x);
    object->Release();
    // Moving the buffers' cursor leaves the numbers' where it was.
    ASSERT_EQ(set->NextBufferProperty(&bufferKey, &object), S_OK);
    EXPECT_STREQ(bufferKey, "e");
    object->Release();
    ASSERT_EQ(set->NextNumberProperty(&numberKey, &number), S_OK);
    EXPECT_STREQ(numberKey, "c");
    EXPECT_EQ(number, 3u);
    EXPECT_EQ(set->NextNumberProperty(&numberKey, &number), E_FAIL);

    ASSERT_EQ(set->FirstTextProperty(&bufferKey, &object), S_OK);
    EXPECT_STREQ(bufferKey, "d");
    object->Release();
    EXPECT_EQ(set->NextTextProperty(&bufferKey, &object), E_FAIL);
}

TEST_F(PropertySetTest, ManyKeysStaySortedAndFindable) {
    std::vector<std::string> keys;
    for (int i = 0; i < 200; ++i) keys.push_back("k" + std::to_string((i * 7919) % 200));
    for (size_t i = 0; i < keys.size(); ++i) set->SetNumberProperty(keys[i].c_str(), static_cast<uint32_t>(i));
    for (size_t i = 0; i < keys.size(); ++i) {
        uint32_t value = 0;
        ASSERT_EQ(set->GetNumberProperty(keys[i].c_str(), &value), S_OK) << keys[i];
        EXPECT_EQ(value, i);
    }
    std::vector<std::string> listed = NumberKeys();
    std::vector<std::string> sorted = keys;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(listed, sorted);
}

TEST_F(PropertySetTest, KeyOrderComparesFoldedBytesAsUnsigned) {
    // '_' (0x5F) lies between 'Z' and 'a': folded, "_" sorts before "a".
    set->SetNumberProperty("b", 1);
    set->SetNumberProperty("_", 2);
    set->SetNumberProperty("\xE9", 3);  // a high byte sorts last
    set->SetNumberProperty("A", 4);
    EXPECT_EQ(NumberKeys(), (std::vector<std::string>{"_", "A", "b", "\xE9"}));
}

TEST_F(PropertySetTest, QueryInterfaceAnswersOnlyItsOwnInterfaces) {
    void* out = nullptr;
    ASSERT_EQ(set->QueryInterface(IID_IQLXValues, &out), S_OK);
    EXPECT_EQ(out, set);
    EXPECT_EQ(set->Release(), 1u);
    ASSERT_EQ(set->QueryInterface(IID_IUnknown, &out), S_OK);
    EXPECT_EQ(set->Release(), 1u);
    out = &out;
    EXPECT_EQ(set->QueryInterface(IID_IQLXBuffer, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
}

// ---- references held on stored objects ----

TEST_F(PropertySetTest, ReplacingAnObjectReleasesTheOldOneOnce) {
    host::HostBuffer& first = x;
    host::HostBuffer& second = y;
    set->SetBufferProperty("k", &first);
    EXPECT_EQ(first.refs, 1);
    set->SetBufferProperty("K", &second);
    EXPECT_EQ(first.refs, 0);
    EXPECT_EQ(second.refs, 1);
    IQLXBuffer* out = nullptr;
    ASSERT_EQ(set->GetBufferProperty("k", &out), S_OK);
    EXPECT_EQ(out, &second);
    EXPECT_EQ(second.refs, 2);
    out->Release();
}

TEST_F(PropertySetTest, StoringTheHeldObjectAgainKeepsItAlive) {
    ByteBuffer* buffer = ByteBuffer::CreateText("same");
    ASSERT_NE(buffer, nullptr);
    set->SetTextProperty("k", buffer);
    buffer->Release();  // the set holds the only reference now
    IQLXBuffer* out = nullptr;
    ASSERT_EQ(set->GetTextProperty("k", &out), S_OK);
    out->Release();
    ASSERT_EQ(set->SetTextProperty("k", out), S_OK);  // must not free it in between
    ASSERT_EQ(set->GetTextProperty("k", &out), S_OK);
    EXPECT_EQ(host::BytesOf(out), std::string("same", 5));
    out->Release();
}

TEST_F(PropertySetTest, EnumerationHandsOutAReference) {
    host::HostBuffer& buffer = x;
    set->SetTextProperty("t", &buffer);
    const char* key = nullptr;
    IQLXBuffer* out = nullptr;
    ASSERT_EQ(set->FirstTextProperty(&key, &out), S_OK);
    EXPECT_EQ(buffer.refs, 2);
    out->Release();
}

TEST(PropertySetLifetime, LastReleaseReleasesEveryStoredObjectOnce) {
    host::HostBuffer a("a"), b("b"), c("c");
    PropertySet* set = PropertySet::Create();
    ASSERT_NE(set, nullptr);
    set->SetBufferProperty("one", &a);
    set->SetTextProperty("one", &b);
    set->SetTextProperty("two", &a);
    set->SetBufferProperty("three", &c);
    set->SetNumberProperty("four", 4);
    EXPECT_EQ(a.refs, 2);
    EXPECT_EQ(set->AddRef(), 2u);
    EXPECT_EQ(set->Release(), 1u);
    EXPECT_EQ(a.refs, 2);
    EXPECT_EQ(set->Release(), 0u);
    EXPECT_EQ(a.refs, 0);
    EXPECT_EQ(b.refs, 0);
    EXPECT_EQ(c.refs, 0);
}

TEST(PropertySetLifetime, NewSetStartsAtZeroForItsCreator) {
    PropertySet* set = new PropertySet;
    EXPECT_EQ(set->AddRef(), 1u);
    EXPECT_EQ(set->Release(), 0u);
}

}  // namespace
