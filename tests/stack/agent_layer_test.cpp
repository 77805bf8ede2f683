// The agent layer on a connection context, against a loopback peer playing the report server.
#include <algorithm>
#include <string>
#include <vector>

#include "stack/agent_layer.h"
#include "stack/qos_action.h"
#include "stack/stream_dispatcher.h"
#include "stack_fixture.h"
#include "stream_bytes.h"

namespace {

using Events = std::vector<std::string>;

class RecordingAgentListener : public nwIAgentListener {
  public:
    void OnAgentConnected(uint32_t cookie) override { Note("connected", cookie); }
    void OnAgentReceived(uint32_t cookie, uint32_t code) override {
        Note("received " + std::to_string(code), cookie);
    }
    void OnAgentClosed(uint32_t cookie) override { Note("closed", cookie); }
    void OnAgentConnectTimeout(uint32_t cookie) override { Note("connect-timeout", cookie); }
    void OnAgentIdleTimeout(uint32_t cookie) override { Note("idle", cookie); }

    Events events;
    bool wrongCookie = false;

  private:
    void Note(const std::string& event, uint32_t cookie) {
        wrongCookie = wrongCookie || cookie != kCookie;
        events.push_back(event);
    }

  public:
    static constexpr uint32_t kCookie = 0xC00C1E;
};

std::string LittleEndian32(uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<char>(value >> (8 * i));
    }
    return bytes;
}

class AgentLayerTest : public ::testing::Test {
  protected:
    // A context with the agent layer on top, connecting to the port.
    void Start(uint16_t port, uint32_t flags = kQoSFlagConnectFailure | kQoSFlagIdle) {
        loop_.Run([&] {
            ASSERT_TRUE(context_.CreateInstance(CLSID_cpCQoSContext));
            ASSERT_EQ(context_->Open(kQoSActionHigh, flags, nullptr), CP_OK);
            ASSERT_EQ(context_->AddLayer(CLSID_nwCAgentLayer, false), CP_OK);
            vmIUnknown* layer = nullptr;
            ASSERT_EQ(context_->GetLayer(CLSID_nwCAgentLayer, &layer), CP_OK);
            agent_ = dynamic_cast<vmIAgentLayer*>(layer);
            ASSERT_NE(agent_, nullptr);
            agent_->SetListener(&listener_, RecordingAgentListener::kCookie);
            const cpAddress address{LoopbackAddress(), port, 0};
            context_->Connect(&address);
        });
    }
    bool WaitFor(const std::string& event) {
        return loop_.WaitFor([&] {
            return std::find(listener_.events.begin(), listener_.events.end(), event) !=
                   listener_.events.end();
        });
    }
    Events ListenerEvents() {
        return loop_.Call([&] { return listener_.events; });
    }
    void TearDown() override {
        loop_.Run([&] {
            if (context_) {
                context_->Close();
                context_.Reset();
            }
        });
        EXPECT_FALSE(listener_.wrongCookie);
    }

    LoopThread loop_;
    RecordingAgentListener listener_;
    vmSmartPtr<vmIQoSContext> context_;
    vmIAgentLayer* agent_ = nullptr;
};

class ReportFramingTest : public AgentLayerTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(ReportFramingTest, OneMessageOfTheReportCategoryPaddedToEightBytes) {
    const uint32_t count = GetParam();
    TcpListener server;
    Start(server.Port());
    TcpConnection peer = server.Accept();
    ASSERT_TRUE(WaitFor("connected"));

    const std::string records = TestBytes(count * kAgentReportRecordSize);
    loop_.Run([&] {
        const vmAgentReportBlock report{count, records.data()};
        EXPECT_EQ(agent_->SendReport(&report), NW_OK);
    });
    const std::string expected = StreamMessageBytes(0x0300, 0x9A, LittleEndian32(count) + records);
    ASSERT_EQ(expected.size() % 8, 0u);
    EXPECT_EQ(peer.ReceiveExactly(expected.size()), expected);
    if (count == 1) {
        // 4 + 298 payload bytes go out as 320: length 306 counts the 4 padding bytes.
        EXPECT_EQ(expected.size(), 320u);
        EXPECT_EQ(nwReadStreamHeader(reinterpret_cast<const uint8_t*>(expected.data())).length,
                  306u);
        EXPECT_EQ(expected.substr(316), std::string(4, '\0'));
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, ReportFramingTest, ::testing::Values(0u, 1u, 3u));

TEST_F(AgentLayerTest, BadReportsAreRefusedAndSendNothing) {
    TcpListener server;
    Start(server.Port());
    TcpConnection peer = server.Accept();
    ASSERT_TRUE(WaitFor("connected"));
    loop_.Run([&] {
        EXPECT_EQ(agent_->SendReport(nullptr), NW_FAIL);
        const vmAgentReportBlock noRecords{2, nullptr};
        EXPECT_EQ(agent_->SendReport(&noRecords), NW_FAIL);
        const vmAgentReportBlock huge{0x01000000, "x"};  // beyond the largest message
        EXPECT_EQ(agent_->SendReport(&huge), NW_FAIL);
        const vmAgentReportBlock empty{0, nullptr};
        EXPECT_EQ(agent_->SendReport(&empty), NW_OK);
    });
    const std::string expected = StreamMessageBytes(0x0300, 0x9A, LittleEndian32(0));
    EXPECT_EQ(peer.ReceiveExactly(expected.size()), expected);
}

TEST_F(AgentLayerTest, AnswersReachTheListenerAndThePeerCloseEndsIt) {
    TcpListener server;
    Start(server.Port());
    TcpConnection peer = server.Accept();
    ASSERT_TRUE(WaitFor("connected"));
    const std::string answers =
        StreamMessageBytes(0x0300, 0x83, "\x07") + StreamMessageBytes(0x0300, 0x83, "\x09\x01");
    // Cut inside the second header: it waits in the context for the rest.
    ASSERT_TRUE(peer.Send(answers.substr(0, 20)));
    ASSERT_TRUE(WaitFor("received 7"));
    ASSERT_TRUE(peer.Send(answers.substr(20)));
    ASSERT_TRUE(WaitFor("received 9"));
    peer.Close();
    ASSERT_TRUE(WaitFor("closed"));
    EXPECT_EQ(ListenerEvents(), (Events{"connected", "received 7", "received 9", "closed"}));
}

struct BrokenStreamCase {
    const char* name;
    std::string bytes;
};

void PrintTo(const BrokenStreamCase& c, std::ostream* os) {
    *os << c.name;
}

class BrokenStreamTest : public AgentLayerTest,
                         public ::testing::WithParamInterface<BrokenStreamCase> {};

TEST_P(BrokenStreamTest, ClosesTheConnection) {
    TcpListener server;
    Start(server.Port());
    TcpConnection peer = server.Accept();
    ASSERT_TRUE(WaitFor("connected"));
    ASSERT_TRUE(peer.Send(GetParam().bytes));
    ASSERT_TRUE(WaitFor("closed"));
    EXPECT_EQ(ListenerEvents(), (Events{"connected", "closed"}));
    EXPECT_EQ(peer.Receive(16), "") << "the peer sees the connection end";
}

std::string OversizedHeader() {
    std::string bytes(kStreamHeaderSize, '\0');
    nwStreamHeader header;
    header.category = 0x0300;
    header.type = 0x83;
    header.length = kStreamMaxLength + 8;
    nwWriteStreamHeader(reinterpret_cast<uint8_t*>(bytes.data()), header);
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Streams, BrokenStreamTest,
    ::testing::Values(BrokenStreamCase{"UnknownType", StreamMessageBytes(0x0300, 0x84, "\x07")},
                      BrokenStreamCase{"UnknownCategory", StreamMessageBytes(0x0100, 0x83, "\x07")},
                      // Closed at the header: nothing waits for 16 MiB that will never come.
                      BrokenStreamCase{"LengthBeyondBound", OversizedHeader()}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AgentLayerTest, RefusedConnectReachesTheListener) {
    Start(UnusedPort());
    ASSERT_TRUE(WaitFor("closed"));
    EXPECT_EQ(ListenerEvents(), (Events{"connect-timeout", "closed"}));
}

TEST_F(AgentLayerTest, IdleServerReachesTheListener) {
    TcpListener server;
    Start(server.Port());
    TcpConnection peer = server.Accept();
    ASSERT_TRUE(WaitFor("connected"));
    loop_.StepClock(61000);
    ASSERT_TRUE(WaitFor("idle"));
    EXPECT_EQ(ListenerEvents(), (Events{"connected", "idle"}));
}

}  // namespace
