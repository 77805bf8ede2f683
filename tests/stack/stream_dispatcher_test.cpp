// The stream dispatcher and the layer base without a connection: bytes in, consumed counts out,
// with the stream cut at every position the way a socket may cut it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "stack/agent_layer.h"
#include "stack/net_stack.h"
#include "stack/stream_dispatcher.h"
#include "stream_bytes.h"

namespace {

std::string Answer(char code) {
    return StreamMessageBytes(kAgentCategory, kAgentAnswerType, std::string(1, code));
}

class CodeListener : public nwIAgentListener {
  public:
    void OnAgentConnected(uint32_t) override {}
    void OnAgentReceived(uint32_t, uint32_t code) override { codes.push_back(code); }
    void OnAgentClosed(uint32_t) override { closed = true; }
    void OnAgentConnectTimeout(uint32_t) override {}
    void OnAgentIdleTimeout(uint32_t) override {}

    std::vector<uint32_t> codes;
    bool closed = false;
};

struct FeedResult {
    int32_t error = 0;  // the first negative answer, 0 when none
    size_t leftover = 0;
};

// Offers the stream in pieces cut at the given positions, the way a context does: each call
// gets everything buffered so far and the consumed bytes leave the front.
FeedResult Feed(nwIQoSNetStack* layer, const std::string& stream, std::vector<size_t> cuts) {
    cuts.push_back(stream.size());
    std::string buffered;
    size_t from = 0;
    for (size_t cut : cuts) {
        buffered += stream.substr(from, cut - from);
        from = cut;
        if (buffered.empty()) {
            continue;
        }
        const int32_t consumed = layer->OnData(reinterpret_cast<const uint8_t*>(buffered.data()),
                                               static_cast<uint32_t>(buffered.size()));
        if (consumed < 0) {
            return {consumed, buffered.size()};
        }
        EXPECT_LE(static_cast<size_t>(consumed), buffered.size());
        buffered.erase(0, static_cast<size_t>(consumed));
    }
    return {0, buffered.size()};
}

struct AgentFixture {
    AgentFixture() {
        agent = vmMakeObject<nwCAgentLayer>();
        agent->SetListener(&listener, 1);
    }
    nwIQoSNetStack* Layer() { return agent.Get(); }

    vmSmartPtr<nwCAgentLayer> agent;
    CodeListener listener;
};

TEST(StreamHeader, IsLittleEndianWithZeroGaps) {
    uint8_t bytes[kStreamHeaderSize];
    std::memset(bytes, 0xEE, sizeof bytes);
    nwWriteStreamHeader(bytes, {0x0300, 0x009A, 0x01020304});
    const uint8_t expected[kStreamHeaderSize] = {0x00, 0x03, 0x9A, 0x00, 0,    0,    0,
                                                 0,    0,    0,    0x04, 0x03, 0x02, 0x01};
    EXPECT_EQ(std::memcmp(bytes, expected, sizeof bytes), 0);
    const nwStreamHeader header = nwReadStreamHeader(expected);
    EXPECT_EQ(header.category, 0x0300);
    EXPECT_EQ(header.type, 0x009A);
    EXPECT_EQ(header.length, 0x01020304u);
}

TEST(StreamMessage, IsPaddedToEightBytesAndCountsThePadding) {
    struct Case {
        uint32_t payload;
        uint32_t size;
    };
    for (const Case c : {Case{0, 16}, Case{2, 16}, Case{3, 24}, Case{10, 24}, Case{302, 320}}) {
        nwCStreamMessage message = nwCApplicationStack::AllocMessage(c.payload);
        ASSERT_TRUE(message.Valid());
        EXPECT_EQ(message.Size(), c.size) << c.payload;
        std::memset(message.Payload(), 0xAB, c.payload);
        message.SetHeader(0x0300, 0x9A);
        EXPECT_EQ(nwReadStreamHeader(message.Data()).length, c.size - kStreamHeaderSize);
        for (uint32_t i = kStreamHeaderSize + c.payload; i < c.size; ++i) {
            EXPECT_EQ(message.Data()[i], 0) << "padding byte " << i;
        }
    }
    EXPECT_FALSE(nwCApplicationStack::AllocMessage(kStreamMaxLength + 1).Valid());

    AgentFixture f;
    EXPECT_EQ(f.agent->SendMessage(0x9A, nwCApplicationStack::AllocMessage(4), 0x0300), NW_FAIL)
        << "a layer without a connection sends nothing";
}

TEST(StreamDispatcher, OneAndAHalfMessagesAtEverySplit) {
    const std::string stream = Answer(7) + Answer(9).substr(0, 10);
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        AgentFixture f;
        const FeedResult r = Feed(f.Layer(), stream, {cut});
        EXPECT_EQ(r.error, 0) << cut;
        EXPECT_EQ(r.leftover, 10u) << "the half stays buffered; cut " << cut;
        EXPECT_EQ(f.listener.codes, std::vector<uint32_t>{7}) << cut;
    }
    AgentFixture f;
    EXPECT_EQ(f.Layer()->OnData(reinterpret_cast<const uint8_t*>(stream.data()),
                                static_cast<uint32_t>(stream.size())),
              16)
        << "14 + length";
}

TEST(StreamDispatcher, MessagesCutAtEveryPairOfPositions) {
    const std::string stream =
        Answer(1) + StreamMessageBytes(kAgentCategory, kAgentAnswerType, std::string(302, '\x02')) +
        Answer(3);
    for (size_t first = 0; first <= stream.size(); first += 7) {
        for (size_t second = first; second <= stream.size(); ++second) {
            AgentFixture f;
            const FeedResult r = Feed(f.Layer(), stream, {first, second});
            ASSERT_EQ(r.error, 0);
            ASSERT_EQ(r.leftover, 0u);
            ASSERT_EQ(f.listener.codes, (std::vector<uint32_t>{1, 2, 3})) << first << " " << second;
        }
    }
}

TEST(StreamDispatcher, UnknownMessageIsAnErrorAtEverySplit) {
    const std::string stream = Answer(7) + StreamMessageBytes(kAgentCategory, 0x84, "\x05");
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        AgentFixture f;
        const FeedResult r = Feed(f.Layer(), stream, {cut});
        EXPECT_LT(r.error, 0) << cut;
        EXPECT_EQ(f.listener.codes, std::vector<uint32_t>{7}) << "delivered once; cut " << cut;
    }
}

TEST(StreamDispatcher, LengthBeyondTheBoundFailsAtTheHeader) {
    for (const uint32_t length : {kStreamMaxLength, kStreamMaxLength + 8}) {
        std::string header(kStreamHeaderSize, '\0');
        nwWriteStreamHeader(reinterpret_cast<uint8_t*>(header.data()),
                            {kAgentCategory, kAgentAnswerType, length});
        AgentFixture f;
        const int32_t consumed =
            f.Layer()->OnData(reinterpret_cast<const uint8_t*>(header.data()), kStreamHeaderSize);
        EXPECT_EQ(consumed, length > kStreamMaxLength ? -1 : 0) << length;
    }
}

TEST(StreamDispatcher, NothingIsConsumedAfterOnClose) {
    AgentFixture f;
    f.Layer()->OnClose();
    EXPECT_TRUE(f.listener.closed);
    const std::string stream = Answer(7) + StreamMessageBytes(kAgentCategory, 0x84, "\x05");
    EXPECT_EQ(f.Layer()->OnData(reinterpret_cast<const uint8_t*>(stream.data()),
                                static_cast<uint32_t>(stream.size())),
              0);
    EXPECT_TRUE(f.listener.codes.empty());
}

TEST(StreamDispatcher, EmptyAnswerCarriesNoCode) {
    AgentFixture f;
    std::string bytes(16, '\0');  // a header announcing only padding
    nwWriteStreamHeader(reinterpret_cast<uint8_t*>(bytes.data()),
                        {kAgentCategory, kAgentAnswerType, 0});
    EXPECT_EQ(Feed(f.Layer(), bytes.substr(0, 14), {}).leftover, 0u);
    EXPECT_TRUE(f.listener.codes.empty());
}

TEST(StreamDispatcher, RawHandlerGetsTheStreamUntilItWaits) {
    vmSmartPtr<nwCStreamDispatcher> dispatcher;
    ASSERT_TRUE(dispatcher.CreateInstance(CLSID_nwCStreamDispatcher));
    struct Calls {
        std::vector<uint32_t> offered;
        int32_t answer = 3;  // consume 3 when 3 are there
    } calls;
    dispatcher->RegisterHandler(
        kAgentCategory, kAgentAnswerType,
        [](const uint8_t*, uint32_t, void*) { FAIL() << "raw mode"; }, nullptr);
    dispatcher->RegisterRawHandler(
        [](const uint8_t*, uint32_t length, void* user) -> int32_t {
            auto* c = static_cast<Calls*>(user);
            c->offered.push_back(length);
            if (c->answer != 3) {
                return c->answer;
            }
            return length >= 3 ? 3 : 0;
        },
        &calls);
    EXPECT_TRUE(dispatcher->RawMode());
    const std::string stream = Answer(7);  // headers mean nothing any more
    int32_t consumed = 0;
    EXPECT_EQ(dispatcher->Dispatch(reinterpret_cast<const uint8_t*>(stream.data()), 8, &consumed),
              NW_OK);
    EXPECT_EQ(consumed, 6);
    EXPECT_EQ(calls.offered, (std::vector<uint32_t>{8, 5, 2}));

    for (const int32_t bad : {9, -4}) {
        calls.answer = bad;
        EXPECT_EQ(dispatcher->Run(reinterpret_cast<const uint8_t*>(stream.data()), 8), -1)
            << "answer " << bad;
    }
}

}  // namespace
