// The recursive lock, seen from its owner and from a second thread.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "datafile/recursive_mutex.h"

namespace {

class MutexThreadsTest : public ::testing::Test {
protected:
    void SetUp() override {
        QLXMutex* made = nullptr;
        ASSERT_EQ(S_OK, NewMutex(&made));
        ASSERT_NE(nullptr, made);
        mutex.reset(made);
    }

    // TryLock from another thread; a success is undone on that thread.
    int32_t TryLockElsewhere() {
        int32_t result = S_OK;
        std::thread other([&] {
            result = mutex->TryLock();
            if (result == S_OK) mutex->Unlock();
        });
        other.join();
        return result;
    }

    std::unique_ptr<QLXMutex> mutex;
};

TEST_F(MutexThreadsTest, TryLockFromAnotherThreadFailsWhileHeld) {
    ASSERT_EQ(S_OK, mutex->Lock());
    EXPECT_EQ(E_FAIL, TryLockElsewhere());
    EXPECT_EQ(S_OK, mutex->Unlock());
    EXPECT_EQ(S_OK, TryLockElsewhere());
}

TEST_F(MutexThreadsTest, NestedLocksNeedAsManyUnlocks) {
    ASSERT_EQ(S_OK, mutex->Lock());
    ASSERT_EQ(S_OK, mutex->Lock());
    EXPECT_EQ(S_OK, mutex->TryLock());  // the owner may always enter again
    EXPECT_EQ(S_OK, mutex->Unlock());
    EXPECT_EQ(S_OK, mutex->Unlock());
    EXPECT_EQ(E_FAIL, TryLockElsewhere());
    EXPECT_EQ(S_OK, mutex->Unlock());
    EXPECT_EQ(S_OK, TryLockElsewhere());
}

TEST_F(MutexThreadsTest, HoldSerialisesUpdatesFromSeveralThreads) {
    int counter = 0;
    auto work = [&] {
        for (int i = 0; i < 2000; ++i) {
            MutexHold hold(mutex.get());
            MutexHold again(mutex.get());
            ++counter;
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(4000, counter);
    EXPECT_EQ(S_OK, TryLockElsewhere());
}

TEST(NewMutexTest, RejectsANullOut) { EXPECT_EQ(E_POINTER, NewMutex(nullptr)); }

}  // namespace
