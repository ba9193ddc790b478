// Growth and removal of the pointer array.
#include <gtest/gtest.h>

#include <cstdint>

#include "container/ptr_array.h"

namespace {

void* P(intptr_t n) { return reinterpret_cast<void*>(n); }

class PtrArrayTest : public ::testing::Test {
protected:
    // Slots 0 to n - 1 hold 1 to n.
    void Fill(int32_t n) {
        for (int32_t i = 0; i < n; ++i) ASSERT_EQ(S_OK, array.SetAtGrow(i, P(i + 1)));
    }
    void ExpectSlots(std::initializer_list<intptr_t> values) {
        ASSERT_EQ(static_cast<int32_t>(values.size()), array.GetSize());
        int32_t i = 0;
        for (intptr_t v : values) EXPECT_EQ(P(v), array.GetAt(i++)) << "slot " << (i - 1);
    }

    PtrArray array;
};

TEST_F(PtrArrayTest, FirstAllocationIsExact) {
    EXPECT_EQ(nullptr, array.GetData());
    ASSERT_EQ(S_OK, array.SetAtGrow(0, P(7)));
    EXPECT_EQ(1, array.GetCapacity());
    ExpectSlots({7});

    PtrArray other;
    ASSERT_EQ(S_OK, other.SetAtGrow(4, P(9)));
    EXPECT_EQ(5, other.GetCapacity());
    EXPECT_EQ(nullptr, other.GetAt(0));
    EXPECT_EQ(P(9), other.GetAt(4));
}

TEST_F(PtrArrayTest, AutomaticStepIsAnEighthHeldWithinFourAnd1024) {
    ASSERT_EQ(S_OK, array.SetSize(8));
    ASSERT_EQ(8, array.GetCapacity());
    ASSERT_EQ(S_OK, array.SetSize(9));
    EXPECT_EQ(12, array.GetCapacity());  // 8 / 8 = 1, raised to 4

    ASSERT_EQ(S_OK, array.SetSize(0));
    ASSERT_EQ(S_OK, array.SetSize(80));
    ASSERT_EQ(S_OK, array.SetSize(81));
    EXPECT_EQ(90, array.GetCapacity());  // 80 / 8 = 10

    ASSERT_EQ(S_OK, array.SetSize(0));
    ASSERT_EQ(S_OK, array.SetSize(16000));
    ASSERT_EQ(S_OK, array.SetSize(16001));
    EXPECT_EQ(17024, array.GetCapacity());  // 2000, held to 1024
}

TEST_F(PtrArrayTest, GrowthTakesTheNewCountWhenTheStepIsTooSmall) {
    Fill(8);
    ASSERT_EQ(S_OK, array.SetAtGrow(29, P(30)));
    EXPECT_EQ(30, array.GetCapacity());
    EXPECT_EQ(30, array.GetSize());
    EXPECT_EQ(P(8), array.GetAt(7));
    for (int32_t i = 8; i < 29; ++i) EXPECT_EQ(nullptr, array.GetAt(i));
}

TEST_F(PtrArrayTest, FixedGrowBySettingIsUsedAndKept) {
    ASSERT_EQ(S_OK, array.SetSize(2, 100));
    ASSERT_EQ(S_OK, array.SetSize(3));
    EXPECT_EQ(102, array.GetCapacity());
    EXPECT_EQ(100, array.GetGrowBy());
    EXPECT_EQ(E_INVALIDARG, array.SetSize(3, -2));
    EXPECT_EQ(100, array.GetGrowBy());
}

TEST_F(PtrArrayTest, AppendingOneByOneGrowsInStepsOfFourAtFirst) {
    int32_t seen[10];
    for (int32_t i = 0; i < 10; ++i) {
        ASSERT_EQ(S_OK, array.SetAtGrow(i, P(i + 1)));
        seen[i] = array.GetCapacity();
    }
    const int32_t expected[10] = {1, 5, 5, 5, 5, 9, 9, 9, 9, 13};
    for (int32_t i = 0; i < 10; ++i) EXPECT_EQ(expected[i], seen[i]) << "after slot " << i;
    ExpectSlots({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
}

TEST_F(PtrArrayTest, GrowingKeepsSlotsAndClearsReusedOnes) {
    ASSERT_EQ(S_OK, array.SetSize(8));
    Fill(8);
    ASSERT_EQ(S_OK, array.SetAtGrow(8, P(9)));
    ASSERT_EQ(12, array.GetCapacity());
    ExpectSlots({1, 2, 3, 4, 5, 6, 7, 8, 9});
    // Shrinking within the capacity and coming back reads null, not old values.
    ASSERT_EQ(S_OK, array.SetSize(3));
    ASSERT_EQ(S_OK, array.SetSize(5));
    EXPECT_EQ(12, array.GetCapacity());
    ExpectSlots({1, 2, 3, 0, 0});
}

TEST_F(PtrArrayTest, RemoveAtMovesLaterSlotsDown) {
    Fill(6);
    ASSERT_EQ(S_OK, array.RemoveAt(1, 2));
    ExpectSlots({1, 4, 5, 6});
    ASSERT_EQ(S_OK, array.RemoveAt(3, 1));
    ExpectSlots({1, 4, 5});
    ASSERT_EQ(S_OK, array.RemoveAt(0));
    ExpectSlots({4, 5});
}

TEST_F(PtrArrayTest, RangesOutsideTheCountAreRefused) {
    Fill(3);
    EXPECT_EQ(E_INVALIDARG, array.RemoveAt(2, 2));
    EXPECT_EQ(E_INVALIDARG, array.RemoveAt(-1, 1));
    EXPECT_EQ(E_INVALIDARG, array.RemoveAt(0, -1));
    EXPECT_EQ(E_INVALIDARG, array.SetAtGrow(-1, P(1)));
    EXPECT_EQ(E_INVALIDARG, array.SetSize(-1));
    ExpectSlots({1, 2, 3});
}

TEST_F(PtrArrayTest, SetSizeZeroFreesAndStartsOverExactly) {
    Fill(20);
    ASSERT_EQ(S_OK, array.SetSize(0));
    EXPECT_EQ(nullptr, array.GetData());
    EXPECT_EQ(0, array.GetCapacity());
    ASSERT_EQ(S_OK, array.SetAtGrow(1, P(2)));
    EXPECT_EQ(2, array.GetCapacity());
    ExpectSlots({0, 2});
}

}  // namespace
