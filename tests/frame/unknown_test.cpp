#include "frame/unknown.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

QLX_DEFINE_GUID(IID_ITestFirst, 0x1F2E3D4C, 0x0001, 0x4000, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01);
QLX_DEFINE_GUID(IID_ITestSecond, 0x1F2E3D4C, 0x0002, 0x4000, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02);
QLX_DEFINE_GUID(IID_ITestUnknownToAll, 0x1F2E3D4C, 0x0003, 0x4000, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03);

class ITestFirst : public IUnknown {
public:
    virtual int32_t First() = 0;
};

class ITestSecond : public IUnknown {
public:
    virtual int32_t Second() = 0;
};

// What happened to the test objects, in order.
struct Journal {
    std::string events;
    int32_t countInAfterCreate = -1;
    int afterCreateCalls = 0;
};

// Two interfaces on CUnknownIMP, the way every class of the module is made.
class CTwoFaces : public ITestFirst, public ITestSecond, public CUnknownIMP {
public:
    QLX_FORWARD_UNKNOWN()

    explicit CTwoFaces(Journal* journal, int32_t afterCreateResult = S_OK)
        : m_journal(journal), m_afterCreateResult(afterCreateResult) {}
    ~CTwoFaces() override { m_journal->events += "destroyed;"; }

    int32_t First() override { return 1; }
    int32_t Second() override { return 2; }

    int32_t InnerQueryInterface(const QLXGUID& iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown) return AnswerUnknown(out);
        if (iid == IID_ITestFirst) return AnswerInterface(static_cast<ITestFirst*>(this), out);
        if (iid == IID_ITestSecond) return AnswerInterface(static_cast<ITestSecond*>(this), out);
        return NoInterface(out);
    }
    int32_t AfterCreate() override {
        ++m_journal->afterCreateCalls;
        m_journal->countInAfterCreate = RefCount();
        return m_afterCreateResult;
    }
    void BeforeDestroy() override { m_journal->events += "before-destroy;"; }

    IUnknown* Identity() { return static_cast<CUnknownIMP*>(this); }

private:
    Journal* m_journal;
    int32_t m_afterCreateResult;
};

// An outer object as an aggregating host would write it: answers IUnknown
// itself, passes every other lookup to the inner unknown it holds, and
// releases that inner unknown when it goes.
class COuter : public IUnknown {
public:
    int32_t QueryInterface(const QLXGUID& iid, void** out) override {
        ++queries;
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown) {
            AddRef();
            *out = static_cast<IUnknown*>(this);
            return S_OK;
        }
        if (!inner) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        return inner->QueryInterface(iid, out);
    }
    uint32_t AddRef() override { return static_cast<uint32_t>(++count); }
    uint32_t Release() override {
        if (--count > 0) return static_cast<uint32_t>(count);
        if (inner) inner->Release();
        inner = nullptr;
        return 0;
    }

    int32_t count = 1;  // the test's own reference
    int queries = 0;
    IUnknown* inner = nullptr;
};

class UnknownTest : public ::testing::Test {
protected:
    Journal journal;
};

// ---- standing alone ----

TEST_F(UnknownTest, IUnknownIsTheSameIdentityFromEveryInterface) {
    CTwoFaces* object = new CTwoFaces(&journal);
    ITestFirst* first = object;
    first->AddRef();
    void* fromFirst = nullptr;
    void* fromSecond = nullptr;
    ASSERT_EQ(S_OK, first->QueryInterface(IID_IUnknown, &fromFirst));
    ITestSecond* second = nullptr;
    ASSERT_EQ(S_OK, first->QueryInterface(IID_ITestSecond, reinterpret_cast<void**>(&second)));
    ASSERT_EQ(S_OK, second->QueryInterface(IID_IUnknown, &fromSecond));
    EXPECT_EQ(fromFirst, fromSecond);
    EXPECT_EQ(fromFirst, static_cast<void*>(object->Identity()));
    EXPECT_NE(fromFirst, static_cast<void*>(first));
    EXPECT_EQ(2, second->Second());
    EXPECT_EQ(4, object->RefCount());
    static_cast<IUnknown*>(fromFirst)->Release();
    static_cast<IUnknown*>(fromSecond)->Release();
    second->Release();
    EXPECT_EQ(0u, first->Release());
    EXPECT_EQ("before-destroy;destroyed;", journal.events);
}

TEST_F(UnknownTest, FailedLookupsAddNoReference) {
    CTwoFaces* object = new CTwoFaces(&journal);
    ITestFirst* first = object;
    EXPECT_EQ(1u, first->AddRef());
    EXPECT_EQ(E_POINTER, first->QueryInterface(IID_ITestSecond, nullptr));
    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(E_NOINTERFACE, first->QueryInterface(IID_ITestUnknownToAll, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(1, object->RefCount());
    EXPECT_EQ(0u, first->Release());
}

TEST_F(UnknownTest, AddRefAndReleaseReportTheNewCount) {
    ITestSecond* second = new CTwoFaces(&journal);
    EXPECT_EQ(1u, second->AddRef());
    EXPECT_EQ(2u, second->AddRef());
    EXPECT_EQ(1u, second->Release());
    EXPECT_EQ("", journal.events);
    EXPECT_EQ(0u, second->Release());
    EXPECT_EQ("before-destroy;destroyed;", journal.events);
}

// ---- SetupAggregation ----

TEST_F(UnknownTest, SetupWithoutOuterHandsOutTheIdentityWithOneReference) {
    CTwoFaces* object = new CTwoFaces(&journal);
    IUnknown* inner = nullptr;
    ASSERT_EQ(S_OK, object->SetupAggregation(nullptr, &inner));
    EXPECT_EQ(object->Identity(), inner);
    EXPECT_EQ(1, object->RefCount());

    IUnknown* again = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(E_FAIL, object->SetupAggregation(nullptr, &again));
    EXPECT_EQ(nullptr, again);
    COuter outer;
    EXPECT_EQ(E_FAIL, object->SetupAggregation(&outer, &again));
    EXPECT_EQ(nullptr, again);
    // The refused outer was not recorded: lookups still stay with the object.
    ITestFirst* first = nullptr;
    ASSERT_EQ(S_OK, inner->QueryInterface(IID_ITestFirst, reinterpret_cast<void**>(&first)));
    EXPECT_EQ(0, outer.queries);
    EXPECT_EQ(2, object->RefCount());
    first->Release();
    EXPECT_EQ(0u, inner->Release());
    EXPECT_EQ("before-destroy;destroyed;", journal.events);
}

TEST_F(UnknownTest, SetupNeedsAnOutPointerAndAnUnreferencedObject) {
    CTwoFaces* object = new CTwoFaces(&journal);
    COuter outer;
    EXPECT_EQ(E_POINTER, object->SetupAggregation(&outer, nullptr));
    EXPECT_EQ(E_POINTER, object->SetupAggregation(nullptr, nullptr));
    object->AddRef();
    IUnknown* inner = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(E_FAIL, object->SetupAggregation(&outer, &inner));
    EXPECT_EQ(nullptr, inner);
    object->AddRef();
    EXPECT_EQ(0, outer.queries);
    EXPECT_EQ(2, object->RefCount());  // counted on the object, not the outer
    EXPECT_EQ(1, outer.count);
    object->Release();
    object->Release();
}

// ---- aggregated ----

class AggregationTest : public UnknownTest {
protected:
    void SetUp() override {
        object = new CTwoFaces(&journal);
        ASSERT_EQ(S_OK, object->SetupAggregation(&outer, &outer.inner));
        ASSERT_NE(nullptr, outer.inner);
    }
    void TearDown() override {
        if (outer.inner) outer.Release();
    }

    COuter outer;
    CTwoFaces* object = nullptr;
};

TEST_F(AggregationTest, TheInnerUnknownIsNotTheObjectsIdentity) {
    EXPECT_NE(object->Identity(), outer.inner);
    EXPECT_EQ(0, object->RefCount());
    // Asked directly, the inner unknown answers IUnknown with itself.
    void* self = nullptr;
    ASSERT_EQ(S_OK, outer.inner->QueryInterface(IID_IUnknown, &self));
    EXPECT_EQ(static_cast<void*>(outer.inner), self);
    EXPECT_EQ(1u, outer.inner->Release());
    EXPECT_EQ(1, outer.count);
}

TEST_F(AggregationTest, ReferencesAreCountedOnTheOuterObject) {
    ITestFirst* first = nullptr;
    ASSERT_EQ(S_OK, outer.QueryInterface(IID_ITestFirst, reinterpret_cast<void**>(&first)));
    EXPECT_EQ(static_cast<ITestFirst*>(object), first);
    EXPECT_EQ(2, outer.count);
    EXPECT_EQ(0, object->RefCount());

    EXPECT_EQ(3u, first->AddRef());
    EXPECT_EQ(3, outer.count);
    EXPECT_EQ(2u, first->Release());
    EXPECT_EQ(0, object->RefCount());

    // Lookups through the object's own interfaces go to the outer object,
    // which answers IUnknown with its own identity.
    const int queriesBefore = outer.queries;
    ITestSecond* second = nullptr;
    ASSERT_EQ(S_OK, first->QueryInterface(IID_ITestSecond, reinterpret_cast<void**>(&second)));
    void* identity = nullptr;
    ASSERT_EQ(S_OK, second->QueryInterface(IID_IUnknown, &identity));
    EXPECT_EQ(static_cast<void*>(static_cast<IUnknown*>(&outer)), identity);
    EXPECT_EQ(queriesBefore + 2, outer.queries);
    EXPECT_EQ(4, outer.count);
    second->Release();
    static_cast<IUnknown*>(identity)->Release();
    first->Release();
    EXPECT_EQ(1, outer.count);
    EXPECT_EQ("", journal.events);
}

TEST_F(AggregationTest, TheObjectLivesAsLongAsTheInnerUnknown) {
    ITestFirst* first = nullptr;
    ASSERT_EQ(S_OK, outer.QueryInterface(IID_ITestFirst, reinterpret_cast<void**>(&first)));
    first->Release();
    EXPECT_EQ("", journal.events);
    EXPECT_EQ(0u, outer.Release());
    EXPECT_EQ("before-destroy;destroyed;", journal.events);
}

TEST_F(AggregationTest, AnAggregatedObjectCannotBeAggregatedAgain) {
    // Its own count stays 0 while aggregated, yet it is taken.
    COuter other;
    IUnknown* second = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(E_FAIL, object->SetupAggregation(&other, &second));
    EXPECT_EQ(nullptr, second);
    EXPECT_EQ(E_FAIL, object->SetupAggregation(nullptr, &second));
    EXPECT_EQ(nullptr, second);
    EXPECT_EQ(0, other.queries);
    EXPECT_EQ(1, outer.count);
}

// ---- the creation sequence ----

TEST_F(UnknownTest, CreationRunsAfterCreateOnceWithOneReference) {
    CTwoFaces* object = nullptr;
    ASSERT_EQ(S_OK, CreateUnknownObject(&object, &journal));
    ASSERT_NE(nullptr, object);
    EXPECT_EQ(1, journal.afterCreateCalls);
    EXPECT_EQ(1, journal.countInAfterCreate);
    EXPECT_EQ(0, object->RefCount());
    EXPECT_EQ("", journal.events);
    IUnknown* inner = nullptr;
    ASSERT_EQ(S_OK, object->SetupAggregation(nullptr, &inner));
    EXPECT_EQ(0u, inner->Release());
    EXPECT_EQ("before-destroy;destroyed;", journal.events);
}

TEST_F(UnknownTest, FailingAfterCreateDestroysTheObjectAndPassesTheResultOn) {
    CTwoFaces* object = reinterpret_cast<CTwoFaces*>(0x1);
    EXPECT_EQ(RES_BAD_FORMAT, CreateUnknownObject(&object, &journal, RES_BAD_FORMAT));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(1, journal.afterCreateCalls);
    EXPECT_EQ("destroyed;", journal.events);
}

TEST_F(UnknownTest, CreationWithoutAnOutPointerMakesNothing) {
    EXPECT_EQ(E_POINTER, CreateUnknownObject<CTwoFaces>(nullptr, &journal));
    EXPECT_EQ(0, journal.afterCreateCalls);
    EXPECT_EQ("", journal.events);
}

// ---- several threads ----

TEST(UnknownThreads, ConcurrentReferencesDestroyTheObjectOnce) {
    Journal journal;
    ITestFirst* first = new CTwoFaces(&journal);
    first->AddRef();
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([first] {
            for (int i = 0; i < kRounds; ++i) {
                ITestSecond* second = nullptr;
                if (first->QueryInterface(IID_ITestSecond, reinterpret_cast<void**>(&second)) == S_OK) second->Release();
                first->AddRef();
                first->Release();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ("", journal.events);
    EXPECT_EQ(0u, first->Release());
    EXPECT_EQ("before-destroy;destroyed;", journal.events);
}

}  // namespace
