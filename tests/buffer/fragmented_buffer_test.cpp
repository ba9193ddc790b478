// Fragmented buffer: linking without copying, flattening on demand, editing,
// and the enumerator over a snapshot of the fragments.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "buffer/fragmented_buffer.h"
#include "buffer/byte_buffer.h"
#include "support/host_doubles.h"
#include "support/module_loader.h"

namespace {

constexpr uint32_t kAll = 0xFFFFFFFFu;

std::string Bytes(IQLXBuffer* buffer) {
    const uint8_t* data = buffer->GetBuffer();
    return data ? std::string(reinterpret_cast<const char*>(data), buffer->GetSize()) : std::string();
}

// A buffer that claims to be huge; its bytes are never read.
class HugeBuffer : public host::HostBuffer {
public:
    explicit HugeBuffer(uint32_t size) : claimed(size) {}
    uint32_t GetSize() override { return claimed; }
    uint32_t claimed;
};

class FragmentedBufferTest : public ::testing::Test {
protected:
    void SetUp() override {
        IUnknown* unknown = nullptr;
        ASSERT_EQ(S_OK, CreateFragmentedBuffer(&unknown));
        chain = host::Query<IQLXFragmentedBuffer>(unknown, IID_IQLXFragmentedBuffer);
        flat = host::Query<IQLXBuffer>(unknown, IID_IQLXBuffer);
        object = dynamic_cast<CQLXFragmentedBuffer*>(chain);
        unknown->Release();
    }
    void TearDown() override {
        flat->Release();
        EXPECT_EQ(0u, chain->Release());
        for (ByteBuffer* buffer : owned) buffer->Release();
    }

    // A ByteBuffer of the given text that the fixture releases at the end.
    ByteBuffer* Buffer(const std::string& text) {
        ByteBuffer* buffer = ByteBuffer::CreateWith(text.data(), static_cast<uint32_t>(text.size()));
        owned.push_back(buffer);
        return buffer;
    }
    // The fragments as they stand, read through the enumerator so that
    // looking does not flatten anything.
    std::vector<std::string> Fragments() {
        std::vector<std::string> out;
        IQLXEnumFragmentedBuffer* items = nullptr;
        EXPECT_EQ(S_OK, chain->GetEnumerator(&items));
        IQLXBuffer* item = nullptr;
        while (items->Next(1, &item, nullptr) == S_OK) {
            out.push_back(Bytes(item));
            item->Release();
        }
        items->Release();
        return out;
    }
    std::string Content() {
        std::string all;
        for (const std::string& part : Fragments()) all += part;
        return all;
    }
    IQLXBuffer* FragmentAt(int index) {
        IQLXEnumFragmentedBuffer* items = nullptr;
        chain->GetEnumerator(&items);
        IQLXBuffer* item = nullptr;
        if (index) items->Skip(index);
        items->Next(1, &item, nullptr);
        items->Release();
        item->Release();  // the chain still holds it
        return item;
    }
    // Fragments "ABCDEFGHIJ", "abcdefghij", "0123456789".
    void LinkThreeTens() {
        for (const char* text : {"ABCDEFGHIJ", "abcdefghij", "0123456789"})
            ASSERT_EQ(S_OK, chain->AppendFragment(Buffer(text), 0, kAll));
    }

    IQLXFragmentedBuffer* chain = nullptr;
    IQLXBuffer* flat = nullptr;
    CQLXFragmentedBuffer* object = nullptr;
    std::vector<ByteBuffer*> owned;
    host::HostBuffer hostBytes{"0123456789"};  // outlives the chain
};

TEST_F(FragmentedBufferTest, EmptyChainHasNoBytesAndAnEmptyEnumerator) {
    EXPECT_EQ(0u, flat->GetSize());
    EXPECT_EQ(nullptr, flat->GetBuffer());
    uint8_t* data = reinterpret_cast<uint8_t*>(1);
    uint32_t length = 7;
    EXPECT_EQ(S_OK, chain->GetSpan(0, kAll, &data, &length));
    EXPECT_EQ(nullptr, data);
    EXPECT_EQ(0u, length);

    IQLXEnumFragmentedBuffer* items = nullptr;
    ASSERT_EQ(S_OK, chain->GetEnumerator(&items));
    IQLXBuffer* item = nullptr;
    uint32_t fetched = 9;
    EXPECT_EQ(E_FAIL, items->Next(1, &item, &fetched));
    EXPECT_EQ(0u, fetched);
    EXPECT_EQ(0u, items->Release());
    EXPECT_EQ(E_POINTER, chain->GetEnumerator(nullptr));
}

TEST_F(FragmentedBufferTest, LinkingShowsTheAskedRangeCutToTheBuffer) {
    ByteBuffer* b = Buffer("0123456789");
    ASSERT_EQ(S_OK, chain->AppendFragment(b, 0, kAll));
    EXPECT_EQ(static_cast<IQLXBuffer*>(b), FragmentAt(0));  // linked whole, no wrapper
    ASSERT_EQ(S_OK, chain->AppendFragment(b, 2, 3));
    ASSERT_EQ(S_OK, chain->AppendFragment(b, 8, 5));
    ASSERT_EQ(S_OK, chain->AppendFragment(b, 12, 5));  // starts past the end: nothing
    ASSERT_EQ(S_OK, chain->PrependFragment(b, 9, kAll));
    EXPECT_EQ((std::vector<std::string>{"9", "0123456789", "234", "89", ""}), Fragments());
    EXPECT_EQ(16u, flat->GetSize());
    EXPECT_EQ(RES_UNEXPECTED, chain->AppendFragment(nullptr, 0, kAll));
    EXPECT_EQ(RES_UNEXPECTED, chain->PrependFragment(nullptr, 0, kAll));
    EXPECT_EQ(RES_UNEXPECTED, chain->InsertFragment(nullptr, 0, kAll, 0));
    EXPECT_EQ(RES_UNEXPECTED, chain->ReplaceSpan(nullptr, 0, kAll, 0));
    EXPECT_EQ(5, object->NodeCount());
}

TEST_F(FragmentedBufferTest, SpanInsideOneFragmentPointsIntoIt) {
    LinkThreeTens();
    uint8_t* data = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(S_OK, chain->GetSpan(12, 5, &data, &length));
    EXPECT_EQ(owned[1]->GetBuffer() + 2, data);
    EXPECT_EQ(5u, length);
    EXPECT_EQ(3, object->NodeCount());
    EXPECT_EQ(owned[2]->GetBuffer() + 9, chain->GetSpanPointer(29, 1));
    EXPECT_EQ(nullptr, chain->GetSpanPointer(30, 1));
}

TEST_F(FragmentedBufferTest, SpanAcrossFragmentsIsCopiedOnceThenStaysContiguous) {
    LinkThreeTens();
    uint8_t* data = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(S_OK, chain->GetSpan(5, 10, &data, &length));
    EXPECT_EQ(10u, length);
    EXPECT_EQ("FGHIJabcde", std::string(reinterpret_cast<char*>(data), length));
    EXPECT_EQ((std::vector<std::string>{"ABCDE", "FGHIJabcde", "fghij", "0123456789"}), Fragments());
    EXPECT_EQ("ABCDEFGHIJabcdefghij0123456789", Content());

    uint8_t* again = nullptr;
    ASSERT_EQ(S_OK, chain->GetSpan(5, 10, &again, &length));
    EXPECT_EQ(data, again);
    ASSERT_EQ(S_OK, chain->GetSpan(7, 3, &again, &length));
    EXPECT_EQ(data + 2, again);
    EXPECT_EQ(4, object->NodeCount());
    // The linked buffers themselves were only read.
    EXPECT_EQ("ABCDEFGHIJ", Bytes(owned[0]));
    EXPECT_EQ("abcdefghij", Bytes(owned[1]));
}

TEST_F(FragmentedBufferTest, WholeContentFlattensIntoOneFragment) {
    LinkThreeTens();
    uint8_t* data = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(S_OK, flat->Get(&data, &length));
    EXPECT_EQ("ABCDEFGHIJabcdefghij0123456789", std::string(reinterpret_cast<char*>(data), length));
    EXPECT_EQ(1, object->NodeCount());
    EXPECT_EQ(data, flat->GetBuffer());
}

TEST_F(FragmentedBufferTest, SpanRunningPastTheEndGrowsTheContentWithZeros) {
    chain->AppendFragment(Buffer("0123456789"), 0, kAll);
    uint8_t* data = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(S_OK, chain->GetSpan(5, 10, &data, &length));
    EXPECT_EQ(10u, length);
    EXPECT_EQ(std::string("56789\0\0\0\0\0", 10), std::string(reinterpret_cast<char*>(data), length));
    EXPECT_EQ(15u, flat->GetSize());
    // A range whose end does not fit in 32 bits is refused, not wrapped.
    EXPECT_EQ(E_INVALIDARG, chain->GetSpan(5, 0xFFFFFFFEu, &data, &length));
    EXPECT_EQ(nullptr, data);
    EXPECT_EQ(15u, flat->GetSize());
}

TEST_F(FragmentedBufferTest, InsertSplitsTheFragmentAroundTheNewOne) {
    chain->AppendFragment(Buffer("0123456789"), 0, kAll);
    ASSERT_EQ(S_OK, chain->InsertFragment(Buffer("xy"), 0, kAll, 5));
    EXPECT_EQ((std::vector<std::string>{"01234", "xy", "56789"}), Fragments());
    // At a fragment's first byte an empty fragment stays in front.
    ASSERT_EQ(S_OK, chain->InsertFragment(Buffer("<"), 0, kAll, 0));
    EXPECT_EQ((std::vector<std::string>{"", "<", "01234", "xy", "56789"}), Fragments());
    // Splitting a part again takes its bytes from the original buffer.
    ASSERT_EQ(S_OK, chain->InsertFragment(Buffer("|"), 0, kAll, 3));
    EXPECT_EQ("<01|234xy56789", Content());
    auto* part = dynamic_cast<CBufferFragment*>(FragmentAt(4));
    ASSERT_NE(nullptr, part);
    EXPECT_EQ(static_cast<IQLXBuffer*>(owned[0]), part->HeldBuffer());
    EXPECT_EQ(2u, part->Offset());
}

TEST_F(FragmentedBufferTest, InsertPastTheEndPadsTheGapWithZeros) {
    chain->AppendFragment(Buffer("0123456789"), 0, kAll);
    ASSERT_EQ(S_OK, chain->InsertFragment(Buffer("xy"), 0, kAll, 15));
    EXPECT_EQ(std::string("0123456789\0\0\0\0\0xy", 17), Content());
    ASSERT_EQ(S_OK, chain->InsertFragment(Buffer("z"), 0, kAll, 17));  // exactly at the end
    EXPECT_EQ(18u, flat->GetSize());
}

TEST_F(FragmentedBufferTest, ReplaceInsideOneFragmentKeepsBothSides) {
    chain->AppendFragment(Buffer("0123456789"), 0, kAll);
    ASSERT_EQ(S_OK, chain->ReplaceSpan(Buffer("abcd"), 0, 4, 3));
    EXPECT_EQ((std::vector<std::string>{"012", "abcd", "789"}), Fragments());
    EXPECT_EQ(10u, flat->GetSize());
}

TEST_F(FragmentedBufferTest, ReplaceAcrossFragmentsReleasesTheOnesCovered) {
    host::HostBuffer first("ABCDEFGHIJ"), middle("abcdefghij"), last("0123456789");
    for (host::HostBuffer* b : {&first, &middle, &last}) chain->AppendFragment(b, 0, kAll);
    ASSERT_EQ(1, middle.refs.load());
    ByteBuffer* b = Buffer("==============================");
    ASSERT_EQ(S_OK, chain->ReplaceSpan(b, 0, 17, 5));
    EXPECT_EQ((std::vector<std::string>{"ABCDE", "=================", "23456789"}), Fragments());
    EXPECT_EQ(0, middle.refs.load());
    // Replacing from a fragment's first byte to another's last removes both.
    ASSERT_EQ(S_OK, chain->ReplaceSpan(Buffer("#"), 0, kAll, 0));
    EXPECT_EQ((std::vector<std::string>{"#"}), Fragments());
    EXPECT_EQ(0, first.refs.load());
    EXPECT_EQ(0, last.refs.load());
}

TEST_F(FragmentedBufferTest, ReplaceToTheEndAndPastTheEnd) {
    chain->AppendFragment(Buffer("0123456789"), 0, kAll);
    ASSERT_EQ(S_OK, chain->ReplaceSpan(Buffer("ab"), 0, kAll, 3));
    EXPECT_EQ("012ab", Content());
    ASSERT_EQ(S_OK, chain->ReplaceSpan(Buffer("xy"), 0, kAll, 8));
    EXPECT_EQ(std::string("012ab\0\0\0xy", 10), Content());
    // The length both cuts the new fragment and the bytes it replaces.
    ASSERT_EQ(S_OK, chain->ReplaceSpan(Buffer("^^^"), 0, 1, 1));
    EXPECT_EQ(std::string("0^2ab\0\0\0xy", 10), Content());
}

TEST_F(FragmentedBufferTest, SetReplacesTheFirstBytesAndKeepsTheRest) {
    chain->AppendFragment(Buffer("0123456789"), 0, kAll);
    ASSERT_EQ(S_OK, flat->Set(reinterpret_cast<const uint8_t*>("abcd"), 4));
    EXPECT_EQ("abcd456789", Content());
    EXPECT_EQ("0123456789", Bytes(owned[0]));
    ASSERT_EQ(S_OK, flat->Set(reinterpret_cast<const uint8_t*>("0123456789ABCDEF"), 16));
    EXPECT_EQ("0123456789ABCDEF", Content());
    EXPECT_EQ(E_POINTER, flat->Set(nullptr, 3));
}

TEST_F(FragmentedBufferTest, SetSizeGrowsWithAFragmentAndCutsFragments) {
    host::HostBuffer first("0123456789"), second("abcdefghij");
    chain->AppendFragment(&first, 0, kAll);
    ASSERT_EQ(S_OK, flat->SetSize(15));
    EXPECT_EQ(std::string("0123456789\0\0\0\0\0", 15), Content());
    EXPECT_EQ(2, object->NodeCount());
    ASSERT_EQ(S_OK, flat->SetSize(10));
    EXPECT_EQ(1, object->NodeCount());

    chain->AppendFragment(&second, 0, kAll);
    ASSERT_EQ(S_OK, flat->SetSize(13));
    EXPECT_EQ((std::vector<std::string>{"0123456789", "abc"}), Fragments());
    EXPECT_EQ(1, second.refs.load());  // held through the part that shows it
    ASSERT_EQ(S_OK, flat->SetSize(10));
    EXPECT_EQ(0, second.refs.load());
    ASSERT_EQ(S_OK, flat->SetSize(0));
    EXPECT_EQ(0, object->NodeCount());
    EXPECT_EQ(0, first.refs.load());
}

TEST_F(FragmentedBufferTest, AChainCannotHoldItself) {
    EXPECT_EQ(E_INVALIDARG, chain->AppendFragment(flat, 0, kAll));

    IUnknown* unknown = nullptr;
    ASSERT_EQ(S_OK, CreateFragmentedBuffer(&unknown));
    auto* other = host::Query<IQLXFragmentedBuffer>(unknown, IID_IQLXFragmentedBuffer);
    auto* otherFlat = host::Query<IQLXBuffer>(unknown, IID_IQLXBuffer);
    unknown->Release();
    chain->AppendFragment(Buffer("0123456789"), 0, kAll);
    ASSERT_EQ(S_OK, other->AppendFragment(flat, 2, 3));  // a part of this chain
    EXPECT_EQ(E_INVALIDARG, chain->AppendFragment(otherFlat, 0, kAll));
    EXPECT_EQ(E_INVALIDARG, chain->InsertFragment(otherFlat, 0, kAll, 4));
    EXPECT_EQ(E_INVALIDARG, chain->ReplaceSpan(otherFlat, 0, kAll, 0));
    EXPECT_EQ("0123456789", Content());
    otherFlat->Release();
    EXPECT_EQ(0u, other->Release());
}

TEST_F(FragmentedBufferTest, ContentNeverOutgrowsThirtyTwoBits) {
    HugeBuffer huge(0xC0000000u);
    ASSERT_EQ(S_OK, chain->AppendFragment(&huge, 0, kAll));
    EXPECT_EQ(E_INVALIDARG, chain->AppendFragment(&huge, 0, kAll));
    EXPECT_EQ(E_INVALIDARG, chain->PrependFragment(&huge, 0, kAll));
    EXPECT_EQ(E_INVALIDARG, chain->InsertFragment(&huge, 0, kAll, 5));
    EXPECT_EQ(S_OK, chain->AppendFragment(&huge, 0, 0x100));
    EXPECT_EQ(0xC0000100u, flat->GetSize());
    // Far past the end: refused before anything is padded.
    EXPECT_EQ(E_INVALIDARG, chain->InsertFragment(Buffer("0123456789"), 0, kAll, 0xFFFFFFFAu));
    EXPECT_EQ(E_INVALIDARG, chain->ReplaceSpan(Buffer("0123456789"), 0, kAll, 0xFFFFFFFAu));
    EXPECT_EQ(2, object->NodeCount());
    // Replacing shrinks as much as it adds, so it fits.
    EXPECT_EQ(S_OK, chain->ReplaceSpan(&huge, 0, 0x100, 0x100));
    EXPECT_EQ(0xC0000100u, flat->GetSize());
    ASSERT_EQ(S_OK, flat->SetSize(0));
    EXPECT_EQ(0, huge.refs.load());

    // A linked buffer that shrank leaves room that a later link can use.
    HugeBuffer shrinking(0xC0000000u);
    ASSERT_EQ(S_OK, chain->AppendFragment(&shrinking, 0, kAll));
    shrinking.claimed = 10;
    EXPECT_EQ(S_OK, chain->AppendFragment(&huge, 0, kAll));
    EXPECT_EQ(0xC000000Au, flat->GetSize());
    ASSERT_EQ(S_OK, flat->SetSize(0));
}

TEST_F(FragmentedBufferTest, ANestedChainIsCopiedFromWithoutBeingFlattened) {
    IUnknown* unknown = nullptr;
    ASSERT_EQ(S_OK, CreateFragmentedBuffer(&unknown));
    auto* inner = host::Query<IQLXFragmentedBuffer>(unknown, IID_IQLXFragmentedBuffer);
    auto* innerFlat = host::Query<IQLXBuffer>(unknown, IID_IQLXBuffer);
    unknown->Release();
    inner->AppendFragment(Buffer("abc"), 0, kAll);
    inner->AppendFragment(Buffer("defg"), 1, kAll);

    chain->AppendFragment(Buffer("01"), 0, kAll);
    chain->AppendFragment(innerFlat, 1, 3);  // "bce"
    chain->AppendFragment(Buffer("89"), 0, kAll);
    uint8_t* data = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(S_OK, flat->Get(&data, &length));
    EXPECT_EQ("01bce89", std::string(reinterpret_cast<char*>(data), length));
    EXPECT_EQ(2, dynamic_cast<CQLXFragmentedBuffer*>(inner)->NodeCount());
    innerFlat->Release();
    inner->Release();
}

TEST_F(FragmentedBufferTest, FragmentNeverShowsBytesPastItsBuffersEnd) {
    host::HostBuffer& source = hostBytes;
    chain->AppendFragment(&source, 6, 3);
    IQLXBuffer* part = FragmentAt(0);
    EXPECT_EQ("678", Bytes(part));
    source.bytes.resize(7);
    EXPECT_EQ("6", Bytes(part));
    source.bytes.resize(4);
    EXPECT_EQ(0u, part->GetSize());
    EXPECT_EQ(0u, flat->GetSize());
    EXPECT_EQ(reinterpret_cast<uint8_t*>(&source.bytes[0]) + 4, part->GetBuffer());
}

// ---- the fragment helper --------------------------------------------------

TEST_F(FragmentedBufferTest, FragmentGetChecksTheLengthAskedFor) {
    chain->AppendFragment(Buffer("0123456789"), 2, 4);
    IQLXBuffer* part = FragmentAt(0);
    uint8_t* data = nullptr;
    uint32_t length = 5;
    EXPECT_EQ(E_INVALIDARG, part->Get(&data, &length));
    length = 4;
    ASSERT_EQ(S_OK, part->Get(&data, &length));
    EXPECT_EQ(owned[0]->GetBuffer() + 2, data);
    EXPECT_EQ(4u, length);
}

TEST_F(FragmentedBufferTest, FragmentSetMakesAPrivateCopyOnlyWhenHeldOnce) {
    chain->AppendFragment(Buffer("0123456789"), 2, 4);
    IQLXBuffer* part = FragmentAt(0);
    part->AddRef();
    EXPECT_EQ(RES_UNEXPECTED, part->Set(reinterpret_cast<const uint8_t*>("xyz"), 3));
    EXPECT_EQ("2345", Content());

    ASSERT_EQ(S_OK, flat->SetSize(0));  // the chain lets go: the caller holds it alone
    ASSERT_EQ(S_OK, part->Set(part->GetBuffer() + 1, 2));  // from its own bytes
    EXPECT_EQ("34", Bytes(part));
    EXPECT_EQ("0123456789", Bytes(owned[0]));  // the shown buffer was never written
    EXPECT_EQ(0u, part->Release());
}

TEST_F(FragmentedBufferTest, FragmentWithoutABufferRefusesUntilSized) {
    CBufferFragment* bare = nullptr;
    ASSERT_EQ(S_OK, CreateUnknownObject(&bare));
    IQLXBuffer* part = host::Query<IQLXBuffer>(static_cast<IQLXBuffer*>(bare), IID_IQLXBuffer);
    uint8_t* data = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(RES_UNEXPECTED, part->Get(&data, &length));
    EXPECT_EQ(RES_UNEXPECTED, part->Set(reinterpret_cast<const uint8_t*>("a"), 1));
    EXPECT_EQ(0u, part->GetSize());
    EXPECT_EQ(nullptr, part->GetBuffer());
    ASSERT_EQ(S_OK, part->SetSize(20));
    EXPECT_EQ(20u, part->GetSize());
    EXPECT_NE(nullptr, part->GetBuffer());
    EXPECT_EQ(0u, part->Release());
}

// ---- the enumerator ---------------------------------------------------------

class FragmentEnumeratorTest : public FragmentedBufferTest {
protected:
    void SetUp() override {
        FragmentedBufferTest::SetUp();
        for (host::HostBuffer* b : {&a, &b, &c}) chain->AppendFragment(b, 0, kAll);
        ASSERT_EQ(S_OK, chain->GetEnumerator(&items));
    }
    void TearDown() override {
        if (items) {
            EXPECT_EQ(0u, items->Release());
        }
        FragmentedBufferTest::TearDown();
        // Every reference handed out was given back.
        for (host::HostBuffer* b : {&a, &b, &c}) EXPECT_EQ(0, b->refs.load());
    }
    host::HostBuffer a{"a"}, b{"bb"}, c{"ccc"};
    IQLXEnumFragmentedBuffer* items = nullptr;
    IQLXBuffer* got[4] = {};
};

TEST_F(FragmentEnumeratorTest, NextHandsOutWhatRemainsAndSaysWhenShort) {
    uint32_t fetched = 0;
    ASSERT_EQ(S_OK, items->Next(2, got, &fetched));
    EXPECT_EQ(2u, fetched);
    EXPECT_EQ(&a, got[0]);
    EXPECT_EQ(&b, got[1]);
    EXPECT_EQ(3, a.refs.load());  // chain, snapshot, caller
    got[0]->Release();
    got[1]->Release();
    ASSERT_EQ(RES_INCOMPLETE, items->Next(2, got, &fetched));
    EXPECT_EQ(1u, fetched);
    EXPECT_EQ(&c, got[0]);
    got[0]->Release();
    EXPECT_EQ(RES_INCOMPLETE, items->Next(1, got, &fetched));
    EXPECT_EQ(0u, fetched);
}

TEST_F(FragmentEnumeratorTest, FetchedMayBeLeftOutOnlyForOneItem) {
    EXPECT_EQ(E_POINTER, items->Next(2, got, nullptr));
    EXPECT_EQ(E_POINTER, items->Next(1, nullptr, nullptr));
    ASSERT_EQ(S_OK, items->Next(1, got, nullptr));
    EXPECT_EQ(&a, got[0]);
    got[0]->Release();
}

TEST_F(FragmentEnumeratorTest, SkipFailsOnReachingTheEnd) {
    EXPECT_EQ(S_OK, items->Skip(2));
    EXPECT_EQ(E_FAIL, items->Skip(1));  // lands exactly on the end
    uint32_t fetched = 0;
    EXPECT_EQ(RES_INCOMPLETE, items->Next(1, got, &fetched));
    EXPECT_EQ(0u, fetched);
    EXPECT_EQ(S_OK, items->Reset());
    EXPECT_EQ(E_FAIL, items->Skip(3));
    EXPECT_EQ(S_OK, items->Reset());
    EXPECT_EQ(E_FAIL, items->Skip(0xFFFFFFFFu));  // no wrap back into range
    EXPECT_EQ(RES_INCOMPLETE, items->Next(1, got, &fetched));
}

TEST_F(FragmentEnumeratorTest, CloneKeepsThePlaceAndItsOwnReferences) {
    items->Skip(1);
    IQLXEnumFragmentedBuffer* copy = nullptr;
    ASSERT_EQ(S_OK, items->Clone(&copy));
    EXPECT_EQ(E_POINTER, items->Clone(nullptr));
    EXPECT_EQ(0u, items->Release());
    items = nullptr;
    ASSERT_EQ(S_OK, copy->Next(1, got, nullptr));
    EXPECT_EQ(&b, got[0]);
    got[0]->Release();
    EXPECT_EQ(0u, copy->Release());
}

TEST_F(FragmentEnumeratorTest, SnapshotIgnoresLaterChanges) {
    ASSERT_EQ(S_OK, flat->SetSize(0));
    EXPECT_EQ(1, c.refs.load());  // only the snapshot holds it now
    uint32_t fetched = 0;
    ASSERT_EQ(RES_INCOMPLETE, items->Next(4, got, &fetched));
    ASSERT_EQ(3u, fetched);
    EXPECT_EQ("ccc", Bytes(got[2]));
    for (uint32_t i = 0; i < fetched; ++i) got[i]->Release();
}

TEST_F(FragmentedBufferTest, IdentityIsTheSameFromBothFaces) {
    IUnknown* fromChain = host::Query<IUnknown>(chain, IID_IUnknown);
    IUnknown* fromFlat = host::Query<IUnknown>(flat, IID_IUnknown);
    EXPECT_EQ(fromChain, fromFlat);
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, flat->QueryInterface(IID_IQLXValues, &none));
    EXPECT_EQ(nullptr, none);
    EXPECT_EQ(E_POINTER, flat->QueryInterface(IID_IQLXBuffer, nullptr));
    fromChain->Release();
    EXPECT_EQ(2u, fromFlat->Release());  // the fixture's two faces
    EXPECT_EQ(E_POINTER, CreateFragmentedBuffer(nullptr));
}

}  // namespace
