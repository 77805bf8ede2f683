// The socket registry behind the hidden window: socket events and posted events reach the
// handler in the socket's slot, on the loop thread, inside the library mutex.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "foundation/network_runtime.h"
#include "foundation/platform/async_select.h"
#include "foundation/platform/socket.h"
#include "foundation/platform/window.h"
#include "support/loop_thread.h"
#include "support/tcp_peer.h"

namespace {

class RecordingHandler : public vmTObject<cpIQoSHandler> {
  public:
    explicit RecordingHandler(LoopThread* loop) : loop_(loop) {}

    void OnReadable() override {
        Note("readable");
        if (readOnEvent) {
            char buffer[256];
            uint32_t got = 0;
            while (vmSucceeded(cpSocketReceive(record.get(), buffer, sizeof buffer, &got))) {
                received.append(buffer, got);
            }
        }
    }
    void OnWritable() override { Note("writable"); }
    void OnConnected() override { Note("connected"); }
    void OnRemoteClosed() override { Note("closed"); }
    void OnConnectRefused() override { Note("refused"); }
    void OnHostUnreachable() override { Note("unreachable"); }
    void OnPostedEvent(cpSocketRecord* posted) override {
        Note(posted == record.get() ? "posted" : "posted-foreign");
    }
    void OnTick() override { ++ticks; }

    std::vector<std::string> events;
    std::string received;
    cpSocketRecordPtr record;
    bool readOnEvent = true;
    int ticks = 0;
    bool offThreadOrUnlocked = false;

  private:
    void Note(const char* event) {
        // Every entry from the loop runs on its thread, inside the library mutex.
        if (std::this_thread::get_id() != loop_->ThreadId() ||
            !cpCQoS::Instance()->Mutex()->IsHeldByCurrentThread()) {
            offThreadOrUnlocked = true;
        }
        events.emplace_back(event);
    }

    LoopThread* loop_;
};

using Events = std::vector<std::string>;

class RegistryTest : public ::testing::Test {
  protected:
    vmSmartPtr<RecordingHandler> Register() {
        vmSmartPtr<RecordingHandler> handler = vmMakeObject<RecordingHandler>(&loop_);
        loop_.Run(
            [&] { handler->record = cpCQoS::Instance()->RegisterContext(handler.Get(), nullptr); });
        return handler;
    }
    void Connect(RecordingHandler* handler, uint16_t port) {
        loop_.Run([&] {
            cpAddress address{LoopbackAddress(), port, 0};
            cpSocketConnect(handler->record.get(), &address);
        });
    }
    void Unregister(RecordingHandler* handler) {
        loop_.Run(
            [&] { cpCQoS::Instance()->UnregisterContext(handler, std::move(handler->record)); });
    }
    Events EventsOf(RecordingHandler* handler) {
        return loop_.Call([&] { return handler->events; });
    }
    bool WaitForEvent(RecordingHandler* handler, const std::string& event) {
        return loop_.WaitFor([&] {
            for (const auto& e : handler->events) {
                if (e == event) {
                    return true;
                }
            }
            return false;
        });
    }

    LoopThread loop_;
};

}  // namespace

TEST_F(RegistryTest, HiddenWindowExistsOnTheLoop) {
    loop_.Run([] {
        ASSERT_NE(cpCQoS::Instance(), nullptr);
        EXPECT_NE(cpCQoS::Instance()->Window(), 0u);
        EXPECT_TRUE(cpIsWindow(cpCQoS::Instance()->Window()));
    });
}

TEST_F(RegistryTest, ConnectReadWriteAndCloseInWinsockOrder) {
    TcpListener listener;
    vmSmartPtr<RecordingHandler> handler = Register();
    ASSERT_TRUE(handler->record);
    Connect(handler.Get(), listener.Port());
    TcpConnection peer = listener.Accept();
    ASSERT_TRUE(WaitForEvent(handler.Get(), "writable"));
    peer.Send("hello");
    peer.Close();
    ASSERT_TRUE(WaitForEvent(handler.Get(), "closed"));
    EXPECT_EQ(EventsOf(handler.Get()), (Events{"connected", "writable", "readable", "closed"}));
    EXPECT_EQ(loop_.Call([&] { return handler->received; }), "hello");
    EXPECT_FALSE(loop_.Call([&] { return handler->offThreadOrUnlocked; }));
    Unregister(handler.Get());
}

TEST_F(RegistryTest, RefusedConnectReachesTheHandler) {
    vmSmartPtr<RecordingHandler> handler = Register();
    Connect(handler.Get(), UnusedPort());
    ASSERT_TRUE(WaitForEvent(handler.Get(), "refused"));
    EXPECT_EQ(EventsOf(handler.Get()), (Events{"refused"}));
    Unregister(handler.Get());
}

TEST_F(RegistryTest, PostedEventsAndTicksRunOnTheLoopInsideTheMutex) {
    vmSmartPtr<RecordingHandler> first = Register();
    vmSmartPtr<RecordingHandler> second = Register();
    loop_.Run([&] { cpSocketPostEvent(first->record.get()); });
    ASSERT_TRUE(WaitForEvent(first.Get(), "posted"));
    loop_.StepClock(2000);
    EXPECT_EQ(loop_.Call([&] { return first->ticks; }), 2);
    EXPECT_EQ(loop_.Call([&] { return second->ticks; }), 2);
    EXPECT_FALSE(loop_.Call([&] { return first->offThreadOrUnlocked; }));
    Unregister(first.Get());
    Unregister(second.Get());
    loop_.StepClock(1000);
    EXPECT_EQ(loop_.Call([&] { return first->ticks; }), 2) << "no ticks after leaving the slot";
}

TEST_F(RegistryTest, ReadForASlotWhoseHandlerLeftIsDropped) {
    vmSmartPtr<RecordingHandler> handler = Register();
    const int slot = handler->record->slot;
    const uint32_t window = loop_.Call([] { return cpCQoS::Instance()->Window(); });
    Unregister(handler.Get());
    cpPostMessage(window, kFirstSlotMessage + slot, 5, FD_READ);
    cpPostMessage(window, kFirstSlotMessage + 200, 5, FD_READ);  // beyond the 64 slots
    loop_.Run([] {});
    EXPECT_TRUE(EventsOf(handler.Get()).empty());
    EXPECT_EQ(handler->RefCount(), 1u) << "the registry dropped its reference";
}

TEST_F(RegistryTest, SixtyFifthRegistrationIsRefusedAndQueuedEventsDoNotReachTheNextOwner) {
    std::vector<vmSmartPtr<RecordingHandler>> handlers;
    for (int i = 0; i < kSlotCount; ++i) {
        handlers.push_back(Register());
        ASSERT_TRUE(handlers.back()->record) << i;
    }
    EXPECT_EQ(loop_.Call([] { return cpCQoS::Instance()->RegisteredCount(); }), kSlotCount);

    vmSmartPtr<RecordingHandler> extra = Register();
    EXPECT_FALSE(extra->record) << "no slot left: refused";
    EXPECT_EQ(extra->RefCount(), 1u) << "a refused handler is not held";

    // A notification is queued for slot 5, then its handler leaves and a new one takes the slot.
    RecordingHandler* leaving = handlers[5].Get();
    const int slot = leaving->record->slot;
    vmSmartPtr<RecordingHandler> next = vmMakeObject<RecordingHandler>(&loop_);
    loop_.Run([&] {
        cpCQoS* qos = cpCQoS::Instance();
        cpPostMessage(qos->Window(), kFirstSlotMessage + slot,
                      static_cast<uintptr_t>(leaving->record->handle), FD_READ);
        cpSocketPostEvent(leaving->record.get());
        qos->UnregisterContext(leaving, std::move(leaving->record));
        next->record = qos->RegisterContext(next.Get(), nullptr);
    });
    ASSERT_TRUE(next->record);
    EXPECT_EQ(next->record->slot, slot);
    loop_.Run([] {});
    EXPECT_TRUE(EventsOf(next.Get()).empty());
    EXPECT_TRUE(EventsOf(leaving).empty());

    for (auto& handler : handlers) {
        if (handler->record) {
            Unregister(handler.Get());
        }
    }
    Unregister(next.Get());
}
