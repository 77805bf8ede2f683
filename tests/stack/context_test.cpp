// Connection contexts over real loopback sockets, on a worker loop whose clock the tests move.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "foundation/host_cache.h"
#include "foundation/socket_registry.h"
#include "stack/qos_action.h"
#include "stack/qos_context_impl.h"
#include "stack_fixture.h"

namespace {

using Events = std::vector<std::string>;

uint32_t QueuedSendBytes(LoopThread& loop, const vmSmartPtr<vmIQoSContext>& context) {
    return loop.Call([&] {
        uint32_t queued = 0;
        context->GetQueuedSendBytes(&queued);
        return queued;
    });
}

}  // namespace

TEST_F(ContextTest, OpenAndConnectOnlyInTheirOrder) {
    loop_.Run([&] {
        vmSmartPtr<vmIQoSContext> context;
        ASSERT_TRUE(context.CreateInstance(CLSID_cpCQoSContext));
        const cpAddress address{LoopbackAddress(), UnusedPort(), 0};
        uint32_t state = 99;
        EXPECT_EQ(context->Connect(&address), CP_FAIL) << "before Open";
        EXPECT_EQ(context->Open(0, 0, nullptr), CP_FAIL) << "no action type 0";
        EXPECT_EQ(context->Open(8, 0, nullptr), CP_FAIL) << "no action type 8";
        context->GetState(&state);
        EXPECT_EQ(state, kQoSStateCreated);

        EXPECT_EQ(context->Open(kQoSActionHigh, 0, nullptr), CP_OK);
        context->GetState(&state);
        EXPECT_EQ(state, kQoSStateReady);
        EXPECT_EQ(context->Open(kQoSActionHigh, 0, nullptr), CP_FAIL) << "twice";
        EXPECT_EQ(context->GetLayer(TestLayer::kClassId, nullptr), CP_FAIL);
        EXPECT_EQ(context->AddLayer(0x7F7F, false), CP_FAIL) << "nobody registered that id";
        EXPECT_EQ(context->GetTopLayer(), nullptr);

        context->Close();
        context->GetState(&state);
        EXPECT_EQ(state, kQoSStateClosed);
        EXPECT_EQ(context->Connect(&address), CP_FAIL) << "after Close";
        EXPECT_EQ(context->SendRaw("x", 1), CP_FAIL) << "bytes after a close are dropped";
    });
}

TEST_F(ContextTest, OpenRefusedWhenEverySlotIsTakenLeavesTheContextUntouched) {
    loop_.Run([&] {
        std::vector<vmSmartPtr<vmIQoSContext>> open(kSlotCount);
        for (auto& context : open) {
            ASSERT_TRUE(context.CreateInstance(CLSID_cpCQoSContext));
            ASSERT_EQ(context->Open(kQoSActionHigh, 0, nullptr), CP_OK);
        }
        vmSmartPtr<vmIQoSContext> extra;
        ASSERT_TRUE(extra.CreateInstance(CLSID_cpCQoSContext));
        EXPECT_EQ(extra->Open(kQoSActionHigh, kQoSFlagIdle, nullptr), CP_FAIL);
        uint32_t state = 99;
        extra->GetState(&state);
        EXPECT_EQ(state, kQoSStateCreated);
        EXPECT_EQ(static_cast<cpCQoSContext*>(extra.Get())->RefCount(), 1u) << "not registered";
        EXPECT_EQ(extra->RearmNotifications(), CP_FAIL) << "no socket record";

        open.front()->Close();
        EXPECT_EQ(extra->Open(kQoSActionHigh, 0, nullptr), CP_OK) << "a freed slot is taken";
        extra->Close();
        for (auto& context : open) {
            context->Close();
        }
    });
}

TEST_F(ContextTest, BytesQueuedBeforeTheConnectGoOutRightAfterIt) {
    TcpListener listener;
    vmSmartPtr<vmIQoSContext> context = NewContext(kQoSActionHigh, kQoSFlagSendQueueEmpty);
    TestLayer* layer = LayerOf(context);
    loop_.Run([&] {
        EXPECT_EQ(context->SendRaw("before ", 7), CP_OK);
        const cpAddress address{LoopbackAddress(), listener.Port(), 0};
        EXPECT_EQ(context->Connect(&address), CP_OK);
        // Sent down by the layer while the connect is in progress.
        EXPECT_EQ(layer->SendDown("connect", 7), CP_OK);
        uint32_t state = 0;
        uint32_t queued = 0;
        context->GetState(&state);
        context->GetQueuedSendBytes(&queued);
        if (state == kQoSStateConnecting) {
            EXPECT_EQ(queued, 7u) << "waits behind the block that waits for the connect";
        }
    });
    TcpConnection peer = listener.Accept();
    EXPECT_EQ(peer.ReceiveExactly(14), "before connect");
    ASSERT_TRUE(WaitForEvent(context, "send-queue-empty"));
    const Events events = loop_.Call([&] { return layer->events; });
    EXPECT_EQ(events.front(), "connected") << "the queue ran empty only after the connect";
    Finish(context);
}

struct RefusedCase {
    const char* name;
    uint32_t flags;
    bool closes;
};

void PrintTo(const RefusedCase& c, std::ostream* os) {
    *os << c.name;
}

class RefusedConnectTest : public ContextTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedConnectTest, ReportsAndClosesOnlyWithFlagOne) {
    const uint32_t second = htonl(0x7F000002);
    cpSetResolver([second](const char* name, std::vector<uint32_t>* addresses) {
        if (std::strcmp(name, "refused.test") != 0) {
            return false;
        }
        *addresses = {LoopbackAddress(), second};
        return true;
    });
    const uint16_t port = UnusedPort();
    const auto resolve = [&] {
        return loop_.Call([&] {
            uint32_t address = 0;
            cpCHostCache::Instance().Resolve("refused.test", port, &address);
            return address;
        });
    };
    ASSERT_EQ(resolve(), LoopbackAddress());

    vmSmartPtr<vmIQoSContext> context = NewContext(kQoSActionHigh, GetParam().flags);
    loop_.Run([&] { context->SetHostName("refused.test"); });
    Connect(context, port);
    if (GetParam().closes) {
        ASSERT_TRUE(WaitForEvent(context, "closed"));
        EXPECT_EQ(StateOf(context), kQoSStateClosed);
        EXPECT_EQ(EventsOf(context), (Events{"connect-timeout", "closed"}));
        EXPECT_EQ(resolve(), second) << "the refused address went to the back";
    } else {
        ASSERT_TRUE(loop_.WaitFor([&] {
            uint32_t state = 0;
            context->GetState(&state);
            return state == kQoSStateConnectFailed;
        }));
        Settle();  // the posted connect-failure event runs and is ignored
        EXPECT_EQ(StateOf(context), kQoSStateConnectFailed);
        EXPECT_TRUE(EventsOf(context).empty());
        EXPECT_EQ(resolve(), LoopbackAddress());
        loop_.Run([&] { EXPECT_EQ(context->SendRaw("x", 1), CP_FAIL); });
    }
    Finish(context);
    cpSetResolver({});
}

INSTANTIATE_TEST_SUITE_P(Flags, RefusedConnectTest,
                         ::testing::Values(RefusedCase{"FlagOne", kQoSFlagConnectFailure, true},
                                           RefusedCase{"FlagOneClear", kQoSFlagIdle, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ContextTest, ConnectTimeoutRunsOnTheClock) {
    UnansweredListener listener;
    vmSmartPtr<vmIQoSContext> context = NewContext(kQoSActionHigh, kQoSFlagConnectFailure);
    loop_.Run([&] {
        const uint32_t seconds = 2;
        context->SetOption(kQoSOptionConnectTimeout, &seconds);
    });
    Connect(context, listener.Port());
    loop_.StepClock(1900);
    Settle();
    EXPECT_EQ(StateOf(context), kQoSStateConnecting);
    loop_.StepClock(100);
    ASSERT_TRUE(WaitForEvent(context, "closed"));
    EXPECT_EQ(EventsOf(context), (Events{"connect-timeout", "closed"}));
    Finish(context);
}

TEST_F(ContextTest, IdleEventComesOnTheTickAfterTheLimitOnce) {
    TcpListener listener;
    vmSmartPtr<vmIQoSContext> context =
        NewContext(kQoSActionHigh, kQoSFlagConnectFailure | kQoSFlagIdle);
    loop_.Run([&] {
        const uint32_t limit = 3;
        context->SetOption(kQoSOptionIdleLimit, &limit);
    });
    Connect(context, listener.Port());
    TcpConnection peer = listener.Accept();
    ASSERT_TRUE(WaitForEvent(context, "connected"));
    TestLayer* layer = LayerOf(context);
    const auto idleEvents = [&] {
        return loop_.Call([&] {
            return std::count(layer->events.begin(), layer->events.end(), std::string("idle"));
        });
    };

    loop_.StepClock(2000);
    ASSERT_TRUE(peer.Send("x"));  // data restarts the count
    ASSERT_TRUE(WaitForReceived(context, 1));
    for (int tick = 1; tick <= 3; ++tick) {
        loop_.StepClock(1000);
        Settle();
        EXPECT_EQ(idleEvents(), 0) << "tick " << tick;
    }
    loop_.StepClock(1000);
    ASSERT_TRUE(WaitForEvent(context, "idle"));
    EXPECT_EQ(StateOf(context), kQoSStateIdle) << "an idle connection stays open";
    loop_.StepClock(3000);
    Settle();
    EXPECT_EQ(idleEvents(), 1);
    Finish(context);
}

TEST_F(ContextTest, HighActionSendsABlockInChunksOf4096) {
    // A SEQPACKET pair keeps every send() a record of its own, so the peer sees the chunks.
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    vmSmartPtr<vmIQoSContext> context = OpenOnSocket(kQoSActionHigh, fds[0]);
    EXPECT_EQ(StateOf(context), kQoSStateConnected);

    const std::string block = TestBytes(10000);
    loop_.Run([&] { EXPECT_EQ(context->SendRaw(block.data(), 10000), CP_OK); });
    std::vector<size_t> chunks;
    std::string all;
    while (all.size() < block.size()) {
        pollfd p{fds[1], POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 5000), 1);
        char buffer[65536];
        const ssize_t n = recv(fds[1], buffer, sizeof buffer, 0);
        ASSERT_GT(n, 0);
        chunks.push_back(static_cast<size_t>(n));
        all.append(buffer, static_cast<size_t>(n));
    }
    EXPECT_EQ(chunks, (std::vector<size_t>{4096, 4096, 1808}));
    EXPECT_EQ(all, block);
    Finish(context);
    close(fds[1]);
}

// A new connection starts at once with the cap prorated to what is left of this second, then
// gets the cap at every tick.
TEST_F(ContextTest, OwnReceiveOnlyActionIsHeldToItsLimitPerTick) {
    TcpListener listener;
    vmSmartPtr<vmIQoSContext> context = NewContext(kQoSActionOwnReceiveOnly, 0);
    loop_.StepClock(600);  // no tick is due before 1000 ms
    const auto [left, first] = loop_.Call([&] {
        context->SetActionLimit(kQoSDirectionReceive, 10000);
        uint32_t quota = 0;
        EXPECT_EQ(context->GetActionQuota(kQoSDirectionReceive, &quota), CP_OK);
        return std::make_pair(cpCQoS::Instance()->MsLeftInSecond(), quota);
    });
    EXPECT_GT(left, 0u);
    EXPECT_LT(left, 1000u);
    EXPECT_EQ(first, 10000u * left / 1000);
    Connect(context, listener.Port());
    TcpConnection peer = listener.Accept();
    ASSERT_TRUE(WaitForEvent(context, "connected"));
    const std::string incoming = TestBytes(25000);
    ASSERT_TRUE(peer.Send(incoming));

    // The send direction is free, ticks or not.
    const std::string outgoing = TestBytes(300000, 2);
    loop_.Run([&] { context->SendRaw(outgoing.data(), static_cast<uint32_t>(outgoing.size())); });
    EXPECT_EQ(peer.ReceiveExactly(outgoing.size()), outgoing);

    ASSERT_TRUE(WaitForReceived(context, first));
    Settle();
    EXPECT_EQ(ReceivedSize(context), first) << "the prorated quota before the first tick";
    int64_t step = left;  // to the first tick, then a second
    for (size_t expected : {first + 10000u, first + 20000u}) {
        loop_.StepClock(std::exchange(step, 1000));
        ASSERT_TRUE(WaitForReceived(context, expected));
        Settle();
        EXPECT_EQ(ReceivedSize(context), expected);
    }
    loop_.StepClock(1000);
    ASSERT_TRUE(WaitForReceived(context, incoming.size()));
    EXPECT_EQ(ReceivedBy(context), incoming);
    const cpQoSCounters counters =
        loop_.Call([&] { return static_cast<cpCQoSContext*>(context.Get())->Counters(); });
    EXPECT_EQ(counters.received, first + 20000u) << "three ticks closed";
    Finish(context);
}

TEST_F(ContextTest, QuotaBlockedSendContinuesAfterTheTick) {
    TcpListener listener;
    vmSmartPtr<vmIQoSContext> context = NewContext(kQoSActionOwnSendOnly, 0);
    loop_.Run([&] {
        context->SetActionLimit(kQoSDirectionSend, 4000);
        context->SetActionQuota(kQoSDirectionSend, 0);  // as if this second's were spent
    });
    Connect(context, listener.Port());
    TcpConnection peer = listener.Accept();
    ASSERT_TRUE(WaitForEvent(context, "connected"));

    // Ten blocks of 1000 bytes: the queue shows exactly how far sending got.
    const std::string data = TestBytes(10000);
    loop_.Run([&] {
        for (int i = 0; i < 10; ++i) {
            context->SendRaw(data.data() + i * 1000, 1000);
        }
    });
    EXPECT_EQ(QueuedSendBytes(loop_, context), 9000u) << "nothing moves with the quota spent";
    size_t delivered = 0;
    for (uint32_t queuedAfter : {5000u, 1000u, 0u}) {
        loop_.StepClock(1000);
        ASSERT_TRUE(loop_.WaitFor([&] {
            uint32_t queued = 0;
            context->GetQueuedSendBytes(&queued);
            return queued == queuedAfter;
        }));
        Settle();
        EXPECT_EQ(QueuedSendBytes(loop_, context), queuedAfter);
        const size_t now = std::min<size_t>(delivered + 4000, data.size());
        EXPECT_EQ(peer.ReceiveExactly(now - delivered), data.substr(delivered, now - delivered));
        delivered = now;
    }
    Finish(context);
}

TEST_F(ContextTest, ActionReplacedWhileBlockedIsWokenByTheTick) {
    TcpListener listener;
    vmSmartPtr<vmIQoSContext> context = NewContext(kQoSActionOwn, 0);
    Connect(context, listener.Port());
    TcpConnection peer = listener.Accept();
    ASSERT_TRUE(WaitForEvent(context, "connected"));
    const std::string incoming = TestBytes(3000);
    ASSERT_TRUE(peer.Send(incoming));
    // The Own action without limits stops at the first byte and waits for the tick...
    ASSERT_TRUE(loop_.WaitFor([&] {
        auto* own = dynamic_cast<const cpCQoSOwnContextAction*>(
            static_cast<cpCQoSContext*>(context.Get())->Action());
        return own != nullptr && own->ReceiveBlocked();
    }));
    // ...and is replaced before the tick comes: the tick must still wake the socket.
    loop_.Run([&] {
        EXPECT_EQ(context->SetAction(kQoSActionOwnReceiveOnly), CP_OK);
        EXPECT_EQ(context->SetActionLimit(kQoSDirectionReceive, 10000), CP_OK);
    });
    loop_.StepClock(1000);
    ASSERT_TRUE(WaitForReceived(context, incoming.size()));
    EXPECT_EQ(ReceivedBy(context), incoming);
    Finish(context);
}

TEST_F(ContextTest, TickWakesBothDirectionsWhenBothAreBlocked) {
    TcpListener listener;
    vmSmartPtr<vmIQoSContext> context = NewContext(kQoSActionOwn, 0);
    loop_.Run([&] {
        context->SetActionLimit(kQoSDirectionReceive, 4000);
        context->SetActionLimit(kQoSDirectionSend, 4000);
        // As if this second's quotas were spent: each direction moves from the ticks on.
        context->SetActionQuota(kQoSDirectionReceive, 0);
        context->SetActionQuota(kQoSDirectionSend, 0);
    });
    Connect(context, listener.Port());
    TcpConnection peer = listener.Accept();
    ASSERT_TRUE(WaitForEvent(context, "connected"));
    const std::string incoming = TestBytes(20000);
    ASSERT_TRUE(peer.Send(incoming));
    const std::string outgoing = TestBytes(20000, 3);
    loop_.Run([&] {
        for (int i = 0; i < 20; ++i) {
            context->SendRaw(outgoing.data() + i * 1000, 1000);
        }
    });
    // A receive that blocks every second must not starve the send side.
    for (uint32_t tick = 1; tick <= 3; ++tick) {
        loop_.StepClock(1000);
        ASSERT_TRUE(WaitForReceived(context, 4000 * tick));
        ASSERT_TRUE(loop_.WaitFor([&] {
            uint32_t queued = 0;
            context->GetQueuedSendBytes(&queued);
            return queued == 19000 - 4000 * tick;
        })) << "tick "
            << tick;
        EXPECT_EQ(peer.ReceiveExactly(4000), outgoing.substr(4000 * (tick - 1), 4000));
    }
    Finish(context);
}

TEST_F(ContextTest, QuotaCountsOnlyWhatTheSocketTook) {
    // A connection made here with a small send buffer: sends often stop part-way through a chunk.
    TcpListener listener;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int sendBuffer = 4096;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = LoopbackAddress();
    address.sin_port = htons(listener.Port());
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    TcpConnection peer = listener.Accept();
    vmSmartPtr<vmIQoSContext> context = OpenOnSocket(kQoSActionOwnSendOnly, fd);
    loop_.Run([&] { context->SetActionLimit(kQoSDirectionSend, 10'000'000); });
    const std::string outgoing = TestBytes(300'000);
    loop_.Run([&] { context->SendRaw(outgoing.data(), static_cast<uint32_t>(outgoing.size())); });
    loop_.StepClock(1000);
    EXPECT_EQ(peer.ReceiveExactly(outgoing.size()), outgoing);
    loop_.StepClock(1000);
    const cpQoSCounters counters =
        loop_.Call([&] { return static_cast<cpCQoSContext*>(context.Get())->Counters(); });
    EXPECT_EQ(counters.sent, outgoing.size()) << "grants not sent were handed back";
    Finish(context);
}

TEST_F(ContextTest, SharedPoolMovesNothingBeforeTheFirstTick) {
    TcpListener listener;
    vmSmartPtr<vmIQoSContext> context = NewContext(kQoSActionLowServerReceiveOnly, 0);
    Connect(context, listener.Port());
    TcpConnection peer = listener.Accept();
    ASSERT_TRUE(WaitForEvent(context, "connected"));
    const std::string incoming = TestBytes(200000);
    ASSERT_TRUE(peer.Send(incoming));
    Settle();
    EXPECT_EQ(ReceivedSize(context), 0u);
    loop_.StepClock(1000);
    ASSERT_TRUE(WaitForReceived(context, incoming.size()));
    EXPECT_EQ(ReceivedBy(context), incoming);
    Finish(context);
}

TEST_F(ContextTest, EveryByteIsDeliveredOnceAndInOrder) {
    TcpListener listener;
    vmSmartPtr<vmIQoSContext> context = NewContext(kQoSActionHigh, 0);
    TestLayer* layer = LayerOf(context);
    // Takes whole records of 1000 bytes only: the tail waits in the context for the rest.
    loop_.Run([&] {
        layer->consume = [](const uint8_t*, uint32_t length) {
            return static_cast<int32_t>(length - length % 1000);
        };
    });
    Connect(context, listener.Port());
    TcpConnection peer = listener.Accept();
    ASSERT_TRUE(WaitForEvent(context, "connected"));
    const std::string incoming = TestBytes(3'000'000);
    ASSERT_TRUE(peer.Send(incoming));
    ASSERT_TRUE(WaitForReceived(context, incoming.size()));
    Settle();
    EXPECT_TRUE(loop_.Call([&] { return layer->received == incoming; }));
    EXPECT_GE(loop_.Call([&] { return layer->offers; }), 3u)
        << "one notification reads at most 1 MiB";
    Finish(context);
}

TEST_F(ContextTest, AClosedContextKeepsNoReceivedBytes) {
    // Closed contexts wait seconds in the collector; a head-only exchange (the size checks)
    // must not leave a megabyte behind each time.
    TcpListener listener;
    vmSmartPtr<vmIQoSContext> closedInDelivery = NewContext(kQoSActionHigh, 0);
    vmSmartPtr<vmIQoSContext> closedLater = NewContext(kQoSActionHigh, 0);
    TestLayer* first = LayerOf(closedInDelivery);
    TestLayer* second = LayerOf(closedLater);
    loop_.Run([&] {
        first->consume = [&](const uint8_t*, uint32_t) {
            closedInDelivery->Close();
            return 0;
        };
        second->consume = [](const uint8_t*, uint32_t) { return 0; };  // waits for more
    });
    Connect(closedInDelivery, listener.Port());
    TcpConnection peer1 = listener.Accept();
    Connect(closedLater, listener.Port());
    TcpConnection peer2 = listener.Accept();
    const std::string bulk = TestBytes(500'000);
    peer1.Send(bulk);
    peer2.Send(bulk);
    ASSERT_TRUE(WaitForEvent(closedInDelivery, "closed"));
    ASSERT_TRUE(loop_.WaitFor([&] { return second->offers > 0; }));
    loop_.Run([&] {
        auto* impl = static_cast<cpCQoSContext*>(closedLater.Get());
        EXPECT_GT(impl->ReceiveCapacity(), 0u);
        closedLater->Close();
        EXPECT_EQ(impl->ReceiveCapacity(), 0u);
        EXPECT_EQ(static_cast<cpCQoSContext*>(closedInDelivery.Get())->ReceiveCapacity(), 0u);
    });
    Finish(closedInDelivery);
    Finish(closedLater);
}

class BadConsumedCountTest : public ContextTest, public ::testing::WithParamInterface<int> {};

TEST_P(BadConsumedCountTest, ClosesTheConnection) {
    TcpListener listener;
    vmSmartPtr<vmIQoSContext> context = NewContext(kQoSActionHigh, 0);
    TestLayer* layer = LayerOf(context);
    const int answer = GetParam();
    loop_.Run([&] {
        layer->consume = [answer](const uint8_t*, uint32_t length) {
            return answer < 0 ? answer : static_cast<int32_t>(length) + answer;
        };
    });
    Connect(context, listener.Port());
    TcpConnection peer = listener.Accept();
    ASSERT_TRUE(peer.Send("hello"));
    ASSERT_TRUE(WaitForEvent(context, "closed"));
    EXPECT_EQ(StateOf(context), kQoSStateClosed);
    EXPECT_EQ(peer.Receive(16), "") << "the peer sees the connection end";
    Finish(context);
}

INSTANTIATE_TEST_SUITE_P(Answers, BadConsumedCountTest, ::testing::Values(-1, -100, 1, 50));

TEST_F(ContextTest, PeerCloseComesAfterItsLastBytes) {
    TcpListener listener;
    vmSmartPtr<vmIQoSContext> context = NewContext(kQoSActionHigh, 0);
    Connect(context, listener.Port());
    TcpConnection peer = listener.Accept();
    ASSERT_TRUE(peer.Send("last words"));
    peer.Close();
    ASSERT_TRUE(WaitForEvent(context, "closed"));
    EXPECT_EQ(ReceivedBy(context), "last words");
    EXPECT_EQ(EventsOf(context), (Events{"connected", "closed"}));
    Finish(context);
}

TEST_F(ContextTest, OwnerMayDropTheLastReferenceWhileTheContextCloses) {
    TcpListener listener;
    vmSmartPtr<vmIQoSContext> context = NewContext(kQoSActionHigh, 0);
    TestLayer* layer = LayerOf(context);
    Connect(context, listener.Port());
    TcpConnection peer = listener.Accept();
    ASSERT_TRUE(WaitForEvent(context, "connected"));
    loop_.Run([&] {
        layer->onClosed = [&] { context.Reset(); };
        // Called by the owner, not by the loop: nobody else holds the context across the call.
        vmIQoSContext* raw = context.Get();
        raw->Close();
    });
    EXPECT_FALSE(context);
    EXPECT_EQ(peer.Receive(16), "");
}

TEST_F(ContextTest, RatesCountFromTheFirstByteAndRestart) {
    TcpListener listener;
    vmSmartPtr<vmIQoSContext> context = NewContext(kQoSActionHigh, kQoSFlagReceiveRate);
    Connect(context, listener.Port());
    TcpConnection peer = listener.Accept();
    ASSERT_TRUE(WaitForEvent(context, "connected"));
    ASSERT_TRUE(peer.Send(TestBytes(5000)));
    ASSERT_TRUE(WaitForReceived(context, 5000));
    loop_.StepClock(500);
    loop_.Run([&] {
        uint32_t rate = 0;
        EXPECT_EQ(context->GetReceiveRate(&rate), CP_OK);
        EXPECT_EQ(rate, 10000u);
        EXPECT_EQ(context->GetReceiveRate(&rate), CP_OK);
        EXPECT_EQ(rate, 0u) << "the next measurement starts with the next byte";
        EXPECT_EQ(context->GetSendRate(&rate), CP_FAIL) << "flag 16 is clear";
    });
    Finish(context);
}
