// QoS actions without sockets: the factory, Own quotas and their exact accounting, and the
// receive buffer. Moving bytes under quotas is tested on real connections in context_test.cpp.
#include <gtest/gtest.h>

#include <cstring>

#include "stack/qos_action.h"

namespace {

TEST(QoSActionFactory, MakesTheSevenTypesAndNothingElse) {
    for (uint32_t type = 1; type <= 7; ++type) {
        auto action = cpCreateQoSContextAction(type);
        ASSERT_NE(action, nullptr) << type;
        EXPECT_EQ(action->GetType(), type);
        EXPECT_FALSE(action->TakeReceiveBlocked());
        EXPECT_FALSE(action->TakeSendBlocked());
    }
    for (uint32_t type : {0u, 8u, 0xFFFFFFFFu}) {
        EXPECT_EQ(cpCreateQoSContextAction(type), nullptr) << type;
    }
}

TEST(OwnQuota, StartsEmptyAndIsExactAcrossGrantsAndReturns) {
    cpCQoSOwnContextAction own;
    EXPECT_EQ(own.AcquireReceive(1024), 0u) << "a new action moves nothing";
    own.SetLimit(kQoSDirectionReceive, 10000);
    own.SetLimit(2, 777);  // no such direction
    EXPECT_EQ(own.AcquireReceive(1024), 0u) << "the limit applies from the next tick";

    cpQoSCounters counters;
    own.Tick(&counters);
    EXPECT_EQ(own.AcquireReceive(4096), 4096u);
    EXPECT_EQ(own.AcquireReceive(4096), 4096u);
    EXPECT_EQ(own.AcquireReceive(4096), 1808u);
    EXPECT_EQ(own.AcquireReceive(1), 0u);
    own.ReturnReceive(808);  // granted but not received
    EXPECT_EQ(own.AcquireReceive(4096), 808u);
    own.ReturnReceive(8);
    EXPECT_EQ(own.AcquireSend(1), 0u) << "no send limit set";

    own.Tick(&counters);
    EXPECT_EQ(counters.received, 9992u);
    EXPECT_EQ(counters.sent, 0u);
    EXPECT_EQ(own.ReceiveQuota(), 10000u) << "refilled, not added up";
    EXPECT_EQ(own.SendQuota(), 0u);
}

TEST(OwnQuota, OneWayActionsLeaveTheOtherDirectionFree) {
    struct Case {
        uint32_t type;
        bool receiveFree;
        bool sendFree;
    };
    for (const Case c :
         {Case{kQoSActionOwn, false, false}, Case{kQoSActionOwnReceiveOnly, false, true},
          Case{kQoSActionOwnSendOnly, true, false},
          Case{kQoSActionLowServerReceiveOnly, false, true},
          Case{kQoSActionLowServerSendOnly, true, false}}) {
        auto action = cpCreateQoSContextAction(c.type);
        auto* low = dynamic_cast<cpCQoSLowContextAction*>(action.get());
        ASSERT_NE(low, nullptr);
        // Nothing to spend: no tick for Own, no pool for LowServer.
        EXPECT_EQ(low->AcquireReceive(5000), c.receiveFree ? 5000u : 0u) << c.type;
        EXPECT_EQ(low->AcquireSend(5000), c.sendFree ? 5000u : 0u) << c.type;
    }
}

TEST(ReceiveBuffer, GrowsByDoublingAndDropsFromTheFront) {
    cpReceiveBuffer buffer;
    uint8_t* room = buffer.Reserve(10);
    ASSERT_NE(room, nullptr);
    EXPECT_EQ(buffer.capacity, 1024u);
    std::memcpy(room, "0123456789", 10);
    buffer.Commit(10);
    room = buffer.Reserve(2000);  // 2010 fit in 2048
    EXPECT_EQ(buffer.capacity, 2048u);
    EXPECT_EQ(room, buffer.data.get() + 10);
    EXPECT_EQ(std::memcmp(buffer.data.get(), "0123456789", 10), 0) << "kept across the move";

    buffer.Consume(4);
    EXPECT_EQ(buffer.length, 6u);
    EXPECT_EQ(std::memcmp(buffer.data.get(), "456789", 6), 0);
    buffer.Consume(6);
    EXPECT_EQ(buffer.data, nullptr) << "freed when all is consumed";
    EXPECT_EQ(buffer.capacity, 0u);
}

}  // namespace
