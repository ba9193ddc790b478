// TryAddRef: a reference only for an object that is still alive.
#include <gtest/gtest.h>

#include "frame/unknown.h"

namespace {

class Counted : public CUnknownIMP {
public:
    explicit Counted(int* destroyed) : m_destroyed(destroyed) {}
    ~Counted() override { ++*m_destroyed; }
    int32_t InnerQueryInterface(const QLXGUID& iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown) return AnswerUnknown(out);
        return NoInterface(out);
    }

private:
    int* m_destroyed;
};

TEST(TryAddRefTest, RefusesAnObjectNobodyHolds) {
    int destroyed = 0;
    Counted* object = new Counted(&destroyed);
    // Count 0: not yet taken, or already on its way out.
    EXPECT_FALSE(object->TryAddRef());
    EXPECT_EQ(0, object->RefCount());
    object->AddRef();
    EXPECT_TRUE(object->TryAddRef());
    EXPECT_EQ(2, object->RefCount());
    EXPECT_EQ(1u, object->Release());
    EXPECT_EQ(0u, object->Release());
    EXPECT_EQ(1, destroyed);
}

}  // namespace
