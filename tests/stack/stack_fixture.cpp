#include "stack_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "foundation/object.h"

void TestLayer::Register() {
    vmRegisterClass(kClassId, &vmNewObject<TestLayer, vmITestLayer>);
}

bool TestLayer::OnConnected() {
    events.emplace_back("connected");
    return true;
}

bool TestLayer::OnHostUnreachable() {
    events.emplace_back("unreachable");
    return true;
}

int32_t TestLayer::OnData(const uint8_t* data, uint32_t length) {
    ++offers;
    const int32_t taken = consume ? consume(data, length) : static_cast<int32_t>(length);
    if (taken > 0 && static_cast<uint32_t>(taken) <= length) {
        received.append(reinterpret_cast<const char*>(data), static_cast<size_t>(taken));
    }
    return taken;
}

void TestLayer::OnClosed() {
    events.emplace_back("closed");
    if (onClosed) {
        onClosed();
    }
}

bool TestLayer::OnConnectTimeout() {
    events.emplace_back("connect-timeout");
    return true;
}

bool TestLayer::OnSendQueueEmpty() {
    events.emplace_back("send-queue-empty");
    return true;
}

bool TestLayer::OnIdleTimeout() {
    events.emplace_back("idle");
    return true;
}

bool TestLayer::Saw(const std::string& event) const {
    return std::find(events.begin(), events.end(), event) != events.end();
}

vmSmartPtr<vmIQoSContext> ContextTest::NewContext(uint32_t action, uint32_t flags) {
    return loop_.Call([&] {
        vmSmartPtr<vmIQoSContext> context;
        EXPECT_TRUE(context.CreateInstance(CLSID_cpCQoSContext));
        EXPECT_EQ(context->Open(action, flags, nullptr), CP_OK);
        EXPECT_EQ(context->AddLayer(TestLayer::kClassId, false), CP_OK);
        return context;
    });
}

vmSmartPtr<vmIQoSContext> ContextTest::OpenOnSocket(uint32_t action, int fd) {
    cpSocketRecordPtr accepted(new cpSocketRecord());  // the record type closes what it holds
    accepted->handle = fd;
    return loop_.Call([&] {
        vmSmartPtr<vmIQoSContext> context;
        EXPECT_TRUE(context.CreateInstance(CLSID_cpCQoSContext));
        EXPECT_EQ(context->Open(action, 0, std::move(accepted)), CP_OK);
        return context;
    });
}

TestLayer* ContextTest::LayerOf(const vmSmartPtr<vmIQoSContext>& context) {
    return loop_.Call([&] {
        vmIUnknown* layer = nullptr;
        context->GetLayer(TestLayer::kClassId, &layer);
        return dynamic_cast<TestLayer*>(layer);
    });
}

uint32_t ContextTest::StateOf(const vmSmartPtr<vmIQoSContext>& context) {
    return loop_.Call([&] {
        uint32_t state = 0;
        context->GetState(&state);
        return state;
    });
}

void ContextTest::Connect(const vmSmartPtr<vmIQoSContext>& context, uint16_t port) {
    loop_.Run([&] {
        const cpAddress address{LoopbackAddress(), port, 0};
        context->SetRemoteAddress(&address);
        EXPECT_EQ(context->Connect(&address), CP_OK);
    });
}

bool ContextTest::WaitForEvent(const vmSmartPtr<vmIQoSContext>& context, const std::string& event) {
    TestLayer* layer = LayerOf(context);
    return loop_.WaitFor([&] { return layer->Saw(event); });
}

bool ContextTest::WaitForReceived(const vmSmartPtr<vmIQoSContext>& context, size_t bytes) {
    TestLayer* layer = LayerOf(context);
    return loop_.WaitFor([&] { return layer->received.size() >= bytes; }, 10000);
}

size_t ContextTest::ReceivedSize(const vmSmartPtr<vmIQoSContext>& context) {
    TestLayer* layer = LayerOf(context);
    return loop_.Call([&] { return layer->received.size(); });
}

std::string ContextTest::ReceivedBy(const vmSmartPtr<vmIQoSContext>& context) {
    TestLayer* layer = LayerOf(context);
    return loop_.Call([&] { return layer->received; });
}

std::vector<std::string> ContextTest::EventsOf(const vmSmartPtr<vmIQoSContext>& context) {
    TestLayer* layer = LayerOf(context);
    return loop_.Call([&] { return layer->events; });
}

void ContextTest::Settle() {
    // A readiness found while one round trip runs is queued behind it; the next one drains it.
    for (int i = 0; i < 3; ++i) {
        loop_.Run([] {});
    }
}

void ContextTest::Finish(vmSmartPtr<vmIQoSContext>& context) {
    loop_.Run([&] {
        if (context) {
            context->Close();
            context.Reset();
        }
    });
}

UnansweredListener::UnansweredListener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = LoopbackAddress();
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    // A backlog of 0 holds one connection; that one fills it, and later SYNs are dropped.
    listen(fd_, 0);
    socklen_t length = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    filler_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    connect(filler_, reinterpret_cast<sockaddr*>(&address), sizeof address);
}

UnansweredListener::~UnansweredListener() {
    close(filler_);
    close(fd_);
}
