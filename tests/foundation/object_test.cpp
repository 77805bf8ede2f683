#include <gtest/gtest.h>

#include "foundation/collector.h"
#include "foundation/mutex.h"
#include "foundation/object.h"
#include "foundation/timer.h"

namespace {

class Probe : public vmTObject<vmIUnknown> {
  public:
    explicit Probe(bool* destroyed) : destroyed_(destroyed) {}
    ~Probe() override { *destroyed_ = true; }

  private:
    bool* destroyed_;
};

}  // namespace

TEST(vmSmartPtr, CountsReferencesAndReleasesTheLast) {
    bool destroyed = false;
    {
        vmSmartPtr<Probe> first = vmMakeObject<Probe>(&destroyed);
        EXPECT_EQ(first->RefCount(), 1u);
        vmSmartPtr<Probe> second = first;
        EXPECT_EQ(first->RefCount(), 2u);
        second = first.Get();  // same pointer: nothing changes
        EXPECT_EQ(first->RefCount(), 2u);
        second.Reset();
        EXPECT_FALSE(destroyed);
    }
    EXPECT_TRUE(destroyed);
}

TEST(vmSmartPtr, CreateInstanceByClassId) {
    vmSmartPtr<> object;
    EXPECT_FALSE(object.CreateInstance(0x5009));  // nobody registered it
    EXPECT_FALSE(object);
    vmSmartPtr<cpCMutex> mutex;
    ASSERT_TRUE(mutex.CreateInstance(CLSID_cpCMutex));
    EXPECT_EQ(mutex->RefCount(), 1u);
    vmSmartPtr<cpCTimer> wrongType;
    EXPECT_FALSE(wrongType.CreateInstance(CLSID_cpCMutex));
    void* out = &out;
    EXPECT_FALSE(mutex.QueryInterface(0x1234, &out));
    EXPECT_EQ(out, &out);  // untouched
}

class CollectorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        cpTestClock::Install(1'000'000'000'000);  // on a whole second
        mutex_ = vmMakeObject<cpCMutex>();
        manager_ = std::make_unique<cpCTimerManager>(mutex_);
        vmCGarbageCollector::CreateInstance();
    }
    void TearDown() override {
        vmCGarbageCollector::DestroyInstance();
        manager_.reset();
        cpTestClock::Uninstall();
    }
    // Moves the clock in 100 ms steps, ticking the manager after each, as the platform tick does.
    void Step(int64_t ms) {
        for (int64_t t = 0; t < ms; t += 100) {
            cpTestClock::Advance(100);
            manager_->Tick();
        }
    }

    vmSmartPtr<cpCMutex> mutex_;
    std::unique_ptr<cpCTimerManager> manager_;
};

TEST_F(CollectorTest, ReleasesBetweenThreeAndSevenSecondsAfterAdd) {
    bool destroyed = false;
    Step(1500);  // add in the middle of a collector period
    vmCGarbageCollector::Instance()->Add(vmMakeObject<Probe>(&destroyed));
    Step(3000);
    EXPECT_FALSE(destroyed) << "still alive 3 seconds after Add";
    Step(4000);
    EXPECT_TRUE(destroyed) << "released within 7 seconds";
    EXPECT_EQ(vmCGarbageCollector::Instance()->PendingCount(), 0u);
}

TEST_F(CollectorTest, DestroyReleasesEverythingPending) {
    bool destroyed = false;
    vmCGarbageCollector::Instance()->Add(vmMakeObject<Probe>(&destroyed));
    vmCGarbageCollector::Instance()->Add(nullptr);  // ignored
    EXPECT_EQ(vmCGarbageCollector::Instance()->PendingCount(), 1u);
    vmCGarbageCollector::DestroyInstance();
    EXPECT_TRUE(destroyed);
}
