#include "buffer/byte_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// A buffer that reports its destruction.
class CWatchedBuffer : public ByteBuffer {
public:
    explicit CWatchedBuffer(int* destroyed) : m_destroyed(destroyed) {}
    ~CWatchedBuffer() override { ++*m_destroyed; }

private:
    int* m_destroyed;
};

std::vector<uint8_t> Pattern(uint32_t length, uint8_t seed) {
    std::vector<uint8_t> bytes(length);
    for (uint32_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

class ByteBufferTest : public ::testing::Test {
protected:
    void SetUp() override { buffer->AddRef(); }
    void TearDown() override {
        if (buffer) {
            EXPECT_EQ(0u, buffer->Release());
        }
        EXPECT_EQ(1, destroyed);
    }

    bool PointsIntoObject() const {
        const uint8_t* p = buffer->GetBuffer();
        const uint8_t* self = reinterpret_cast<const uint8_t*>(buffer);
        return p >= self && p < self + sizeof(ByteBuffer);
    }

    // The first `length` bytes hold `expected`; reports the first mismatch.
    void ExpectStarts(const std::vector<uint8_t>& expected, uint32_t length) {
        const uint8_t* data = buffer->GetBuffer();
        for (uint32_t i = 0; i < length; ++i) {
            ASSERT_EQ(expected[i], data[i]) << "first mismatch at byte " << i;
        }
    }

    int destroyed = 0;
    ByteBuffer* buffer = new CWatchedBuffer(&destroyed);
};

TEST_F(ByteBufferTest, NewBufferIsEmptyAndInline) {
    EXPECT_EQ(0u, buffer->GetSize());
    EXPECT_FALSE(buffer->IsHeap());
    EXPECT_TRUE(PointsIntoObject());
    uint8_t* data = nullptr;
    uint32_t length = 99;
    EXPECT_EQ(S_OK, buffer->Get(&data, &length));
    EXPECT_EQ(buffer->GetBuffer(), data);
    EXPECT_EQ(0u, length);
    EXPECT_EQ(S_OK, buffer->Get(nullptr, nullptr));
}

TEST_F(ByteBufferTest, SetOfEveryLengthAroundTheInlineLimit) {
    for (uint32_t n = 0; n <= 40; ++n) {
        SCOPED_TRACE(n);
        const std::vector<uint8_t> bytes = Pattern(n, static_cast<uint8_t>(n));
        ASSERT_EQ(S_OK, buffer->Set(bytes.data(), n));
        EXPECT_EQ(n, buffer->GetSize());
        ExpectStarts(bytes, n);
        // Growing from inline goes to the heap past 15 bytes; a heap buffer
        // stays there while it shrinks.
        EXPECT_EQ(n > ByteBuffer::kInlineCapacity, buffer->IsHeap());
        EXPECT_EQ(!buffer->IsHeap(), PointsIntoObject());
    }
    for (uint32_t n = 40; n-- > 0;) {
        const std::vector<uint8_t> bytes = Pattern(n, 3);
        ASSERT_EQ(S_OK, buffer->Set(bytes.data(), n));
        ExpectStarts(bytes, n);
        EXPECT_TRUE(buffer->IsHeap()) << n;
    }
}

// Every resize from length a to length b keeps the first min(a, b) bytes and
// ends in the mode the rules give.
TEST_F(ByteBufferTest, SetSizeKeepsContentsAcrossEveryTransition) {
    const std::vector<uint32_t> lengths = {0, 1, 5, 14, 15, 16, 17, 20, 31, 64};
    for (uint32_t a : lengths) {
        for (uint32_t b : lengths) {
            SCOPED_TRACE(testing::Message() << a << " -> " << b);
            const std::vector<uint8_t> bytes = Pattern(a, static_cast<uint8_t>(a * 3 + 1));
            ASSERT_EQ(S_OK, buffer->Set(nullptr, 0));
            // Start from a fresh mode: inline up to 15 bytes, else heap.
            ASSERT_EQ(S_OK, buffer->SetSize(0));
            if (buffer->IsHeap()) {
                buffer->SetSize(1);  // back inline
                buffer->SetSize(0);
            }
            ASSERT_FALSE(buffer->IsHeap());
            ASSERT_EQ(S_OK, buffer->Set(bytes.data(), a));
            const bool heapBefore = buffer->IsHeap();
            ASSERT_EQ(S_OK, buffer->SetSize(b));
            EXPECT_EQ(b, buffer->GetSize());
            ExpectStarts(bytes, std::min(a, b));
            const bool heapExpected = b <= a ? heapBefore : b > ByteBuffer::kInlineCapacity;
            EXPECT_EQ(heapExpected, buffer->IsHeap());
        }
    }
}

TEST_F(ByteBufferTest, InlineToHeapToShrunkHeapAndBackInline) {
    const std::vector<uint8_t> bytes = Pattern(20, 11);
    ASSERT_EQ(S_OK, buffer->Set(bytes.data(), 10));
    ASSERT_EQ(S_OK, buffer->SetSize(20));
    EXPECT_TRUE(buffer->IsHeap());
    ExpectStarts(bytes, 10);
    std::memcpy(buffer->GetBuffer() + 10, bytes.data() + 10, 10);

    uint8_t* block = buffer->GetBuffer();
    ASSERT_EQ(S_OK, buffer->SetSize(5));
    EXPECT_TRUE(buffer->IsHeap());
    EXPECT_EQ(block, buffer->GetBuffer());  // shrinking keeps the block
    EXPECT_EQ(5u, buffer->GetSize());

    ASSERT_EQ(S_OK, buffer->SetSize(10));  // growing within 15 comes back inline
    EXPECT_FALSE(buffer->IsHeap());
    EXPECT_TRUE(PointsIntoObject());
    ExpectStarts(bytes, 10);

    ASSERT_EQ(S_OK, buffer->SetSize(40));
    ExpectStarts(bytes, 10);
    ASSERT_EQ(S_OK, buffer->SetSize(0));
    EXPECT_TRUE(buffer->IsHeap());
    EXPECT_EQ(0u, buffer->GetSize());
}

TEST_F(ByteBufferTest, SetWithinTheLengthReusesTheStorage) {
    const std::vector<uint8_t> bytes = Pattern(30, 5);
    ASSERT_EQ(S_OK, buffer->Set(bytes.data(), 30));
    uint8_t* block = buffer->GetBuffer();
    ASSERT_EQ(S_OK, buffer->Set(bytes.data() + 4, 26));
    EXPECT_EQ(block, buffer->GetBuffer());
    ASSERT_EQ(S_OK, buffer->Set(buffer->GetBuffer() + 2, 12));  // from its own bytes
    EXPECT_EQ(block, buffer->GetBuffer());
    const std::vector<uint8_t> expected(bytes.begin() + 6, bytes.begin() + 18);
    ExpectStarts(expected, 12);
}

TEST_F(ByteBufferTest, SetRefusesMissingSource) {
    const std::vector<uint8_t> bytes = Pattern(4, 1);
    ASSERT_EQ(S_OK, buffer->Set(bytes.data(), 4));
    EXPECT_EQ(E_POINTER, buffer->Set(nullptr, 3));
    EXPECT_EQ(4u, buffer->GetSize());
    ExpectStarts(bytes, 4);
    EXPECT_EQ(S_OK, buffer->Set(nullptr, 0));
    EXPECT_EQ(0u, buffer->GetSize());
}

TEST_F(ByteBufferTest, SharedBufferRefusesEveryResize) {
    const std::vector<uint8_t> bytes = Pattern(20, 9);
    ASSERT_EQ(S_OK, buffer->Set(bytes.data(), 20));
    EXPECT_EQ(2u, buffer->AddRef());
    const std::vector<uint8_t> other = Pattern(20, 100);
    EXPECT_EQ(RES_UNEXPECTED, buffer->Set(other.data(), 20));  // even at equal length
    EXPECT_EQ(RES_UNEXPECTED, buffer->Set(other.data(), 3));
    EXPECT_EQ(RES_UNEXPECTED, buffer->Set(other.data(), 0));
    EXPECT_EQ(RES_UNEXPECTED, buffer->SetSize(30));
    EXPECT_EQ(RES_UNEXPECTED, buffer->SetSize(20));
    EXPECT_EQ(RES_UNEXPECTED, buffer->SetSize(0));
    EXPECT_EQ(20u, buffer->GetSize());
    ExpectStarts(bytes, 20);
    EXPECT_EQ(1u, buffer->Release());
    EXPECT_EQ(0, destroyed);
    EXPECT_EQ(S_OK, buffer->Set(other.data(), 20));
    ExpectStarts(other, 20);
}

TEST_F(ByteBufferTest, QueryInterfaceAnswersOnlyItsTwoInterfaces) {
    void* asBuffer = nullptr;
    void* asUnknown = nullptr;
    ASSERT_EQ(S_OK, buffer->QueryInterface(IID_IQLXBuffer, &asBuffer));
    ASSERT_EQ(S_OK, buffer->QueryInterface(IID_IUnknown, &asUnknown));
    EXPECT_EQ(static_cast<void*>(static_cast<IQLXBuffer*>(buffer)), asBuffer);
    EXPECT_EQ(asBuffer, asUnknown);
    EXPECT_EQ(4u, buffer->AddRef());  // each lookup added one

    void* other = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(E_NOINTERFACE, buffer->QueryInterface(IID_IQLXValues, &other));
    EXPECT_EQ(nullptr, other);
    EXPECT_EQ(E_POINTER, buffer->QueryInterface(IID_IQLXBuffer, nullptr));
    EXPECT_EQ(3u, buffer->Release());  // the failed lookups added nothing
    EXPECT_EQ(2u, buffer->Release());
    EXPECT_EQ(1u, buffer->Release());
}

TEST_F(ByteBufferTest, LastReleaseDestroysTheBuffer) {
    const std::vector<uint8_t> bytes = Pattern(50, 2);
    ASSERT_EQ(S_OK, buffer->Set(bytes.data(), 50));  // a heap block to free too
    EXPECT_EQ(2u, buffer->AddRef());
    EXPECT_EQ(1u, buffer->Release());
    EXPECT_EQ(0, destroyed);
    EXPECT_EQ(0u, buffer->Release());
    EXPECT_EQ(1, destroyed);
    buffer = nullptr;
}

TEST(ByteBufferCreate, CreateWithAndCreateTextHandOutOneReference) {
    const char bytes[] = "0123456789abcdefghij";
    ByteBuffer* copy = ByteBuffer::CreateWith(bytes, 20);
    ASSERT_NE(nullptr, copy);
    EXPECT_TRUE(copy->IsHeap());
    EXPECT_EQ(0, std::memcmp(bytes, copy->GetBuffer(), 20));
    EXPECT_EQ(2u, copy->AddRef());
    EXPECT_EQ(1u, copy->Release());
    EXPECT_EQ(0u, copy->Release());

    ByteBuffer* text = ByteBuffer::CreateText("cont");
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(5u, text->GetSize());  // with its terminating zero byte
    EXPECT_STREQ("cont", reinterpret_cast<const char*>(text->GetBuffer()));
    EXPECT_EQ(0u, text->Release());

    EXPECT_EQ(nullptr, ByteBuffer::CreateWith(nullptr, 3));
    EXPECT_EQ(nullptr, ByteBuffer::CreateText(nullptr));
    ByteBuffer* empty = ByteBuffer::CreateWith(nullptr, 0);
    ASSERT_NE(nullptr, empty);
    EXPECT_EQ(0u, empty->GetSize());
    EXPECT_EQ(0u, empty->Release());
}

TEST(ByteBufferThreads, SharedReadersCountReferencesSafely) {
    int destroyed = 0;
    ByteBuffer* buffer = new CWatchedBuffer(&destroyed);
    buffer->AddRef();
    const std::vector<uint8_t> bytes = Pattern(64, 1);
    ASSERT_EQ(S_OK, buffer->Set(bytes.data(), 64));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([buffer] {
            for (int i = 0; i < 20000; ++i) {
                IQLXBuffer* held = nullptr;
                if (buffer->QueryInterface(IID_IQLXBuffer, reinterpret_cast<void**>(&held)) != S_OK) return;
                volatile uint8_t first = held->GetBuffer()[0];
                (void)first;
                held->Release();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(0, destroyed);
    EXPECT_EQ(0u, buffer->Release());
    EXPECT_EQ(1, destroyed);
}

}  // namespace
