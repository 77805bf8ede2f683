// Winsock's notification rules, as the loop emulates them over epoll, on real loopback sockets.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "foundation/platform/async_select.h"
#include "foundation/platform/message_loop.h"
#include "foundation/platform/socket.h"
#include "foundation/platform/window.h"
#include "support/loop_thread.h"
#include "support/tcp_peer.h"

namespace {

constexpr uint32_t kMessage = WM_USER + 77;
constexpr uint32_t kAll = FD_READ | FD_WRITE | FD_OOB | FD_CONNECT | FD_CLOSE;

struct Note {
    uint32_t event;
    uint32_t error;
    bool operator==(const Note&) const = default;
};

std::string Name(const Note& n) {
    switch (n.event) {
        case FD_READ:
            return "READ";
        case FD_WRITE:
            return "WRITE";
        case FD_CONNECT:
            return "CONNECT(" + std::to_string(n.error) + ")";
        case FD_CLOSE:
            return "CLOSE(" + std::to_string(n.error) + ")";
        default:
            return "?";
    }
}

// A selected socket on the loop, and the notifications its window received.
class SelectedSocket {
  public:
    explicit SelectedSocket(LoopThread& loop) : loop_(loop) {
        loop_.Run([&] {
            window_ = cpCreateWindow("capture", [this](uint32_t message, uintptr_t, intptr_t l) {
                if (message == kMessage) {
                    notes_.push_back({cpSelectEvent(l), cpSelectError(l)});
                }
                return intptr_t{0};
            });
            ASSERT_EQ(cpSocketCreate(&record_, 0), CP_OK);
            cpSocketSetBlocking(record_.get(), 0);
            cpAsyncSelect(record_->handle, window_, kMessage, kAll);
        });
    }
    ~SelectedSocket() {
        loop_.Run([&] {
            record_.reset();
            cpDestroyWindow(window_);
        });
    }

    vmResult Connect(uint16_t port) {
        return loop_.Call([&] {
            cpAddress address{LoopbackAddress(), port, 0};
            return cpSocketConnect(record_.get(), &address);
        });
    }
    std::vector<std::string> Notes() {
        return loop_.Call([&] {
            std::vector<std::string> names;
            for (const Note& n : notes_) {
                names.push_back(Name(n));
            }
            return names;
        });
    }
    bool WaitForNotes(size_t count) {
        return loop_.WaitFor([&] { return notes_.size() >= count; });
    }
    // What arrives within a short real-time window (used to show that nothing more comes).
    std::vector<std::string> SettledNotes() {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return Notes();
    }
    // Receives up to n bytes; "" with the failure in *result.
    std::string Receive(uint32_t n, vmResult* result = nullptr) {
        return loop_.Call([&] {
            std::string buffer(n, '\0');
            uint32_t got = 0;
            const vmResult r = cpSocketReceive(record_.get(), buffer.data(), n, &got);
            if (result != nullptr) {
                *result = r;
            }
            buffer.resize(vmSucceeded(r) ? got : 0);
            return buffer;
        });
    }
    void Rearm() {
        loop_.Run([&] { cpAsyncSelect(record_->handle, window_, kMessage, kAll & ~FD_CONNECT); });
    }
    cpSocketRecord* Record() { return record_.get(); }

  private:
    LoopThread& loop_;
    uint32_t window_ = 0;
    cpSocketRecordPtr record_;
    std::vector<Note> notes_;
};

using Notes = std::vector<std::string>;

}  // namespace

TEST(AsyncSelect, ConnectPostsConnectThenWrite) {
    LoopThread loop({.runtime = false});
    TcpListener listener;
    SelectedSocket socket(loop);
    EXPECT_EQ(socket.Connect(listener.Port()), CP_E_WOULDBLOCK);
    ASSERT_TRUE(socket.WaitForNotes(2));
    EXPECT_EQ(socket.SettledNotes(), (Notes{"CONNECT(0)", "WRITE"}));
}

TEST(AsyncSelect, RefusedConnectCarriesItsErrorWordAndNothingElse) {
    LoopThread loop({.runtime = false});
    SelectedSocket socket(loop);
    socket.Connect(UnusedPort());
    ASSERT_TRUE(socket.WaitForNotes(1));
    EXPECT_EQ(socket.SettledNotes(), (Notes{"CONNECT(10061)"}));
}

TEST(AsyncSelect, OneReadUntilTheSocketIsReadAgain) {
    LoopThread loop({.runtime = false});
    TcpListener listener;
    SelectedSocket socket(loop);
    socket.Connect(listener.Port());
    TcpConnection peer = listener.Accept();
    ASSERT_TRUE(socket.WaitForNotes(2));

    peer.Send("0123456789");
    ASSERT_TRUE(socket.WaitForNotes(3));
    peer.Send("more");
    EXPECT_EQ(socket.SettledNotes(), (Notes{"CONNECT(0)", "WRITE", "READ"}))
        << "no second READ before a read";

    EXPECT_EQ(socket.Receive(4), "0123");  // a partial read: data remains, so READ again
    ASSERT_TRUE(socket.WaitForNotes(4));
    EXPECT_EQ(socket.Receive(100), "456789more");
    EXPECT_EQ(socket.SettledNotes().size(), 4u) << "nothing left to read: no READ";

    peer.Send("x");
    ASSERT_TRUE(socket.WaitForNotes(5));
    EXPECT_EQ(socket.Notes().back(), "READ");
}

TEST(AsyncSelect, CloseComesOnceAfterTheDataAndReadingAfterItFails) {
    LoopThread loop({.runtime = false});
    TcpListener listener;
    SelectedSocket socket(loop);
    socket.Connect(listener.Port());
    TcpConnection peer = listener.Accept();
    ASSERT_TRUE(socket.WaitForNotes(2));
    peer.Send("last words");
    peer.Close();
    ASSERT_TRUE(socket.WaitForNotes(3));
    EXPECT_EQ(socket.SettledNotes(), (Notes{"CONNECT(0)", "WRITE", "READ"}))
        << "the close waits until the data is read";
    EXPECT_EQ(socket.Receive(100), "last words");
    ASSERT_TRUE(socket.WaitForNotes(4));
    EXPECT_EQ(socket.Notes().back(), "CLOSE(0)");
    vmResult result = CP_OK;
    EXPECT_EQ(socket.Receive(100, &result), "");
    EXPECT_EQ(result, CP_FAIL) << "a read after the peer closed fails instead of giving 0 bytes";
    socket.Rearm();
    EXPECT_EQ(socket.SettledNotes().size(), 4u) << "one CLOSE only";
}

TEST(AsyncSelect, ResetByThePeerIsAClose) {
    LoopThread loop({.runtime = false});
    TcpListener listener;
    SelectedSocket socket(loop);
    socket.Connect(listener.Port());
    TcpConnection peer = listener.Accept();
    ASSERT_TRUE(socket.WaitForNotes(2));
    peer.Reset();
    ASSERT_TRUE(socket.WaitForNotes(3));
    EXPECT_EQ(socket.Notes().back(), "CLOSE(10054)");
}

TEST(AsyncSelect, RearmPostsEveryConditionThatStillHolds) {
    LoopThread loop({.runtime = false});
    TcpListener listener;
    SelectedSocket socket(loop);
    socket.Connect(listener.Port());
    TcpConnection peer = listener.Accept();
    ASSERT_TRUE(socket.WaitForNotes(2));
    peer.Send("unread");
    ASSERT_TRUE(socket.WaitForNotes(3));
    socket.Rearm();  // data unread and room to write: both are posted again
    ASSERT_TRUE(socket.WaitForNotes(5));
    EXPECT_EQ(socket.SettledNotes(), (Notes{"CONNECT(0)", "WRITE", "READ", "READ", "WRITE"}));
}

TEST(AsyncSelect, WriteAfterASendMetWouldBlock) {
    LoopThread loop({.runtime = false});
    TcpListener listener;
    SelectedSocket socket(loop);
    socket.Connect(listener.Port());
    TcpConnection peer = listener.Accept();
    ASSERT_TRUE(socket.WaitForNotes(2));
    const std::string chunk(65536, 'z');
    const size_t queued = loop.Call([&] {
        size_t total = 0;
        for (;;) {
            uint32_t sent = 0;
            const vmResult r = cpSocketSend(socket.Record(), chunk.data(), chunk.size(), &sent);
            if (r == CP_E_WOULDBLOCK) {
                return total;
            }
            EXPECT_EQ(r, CP_OK);
            total += sent;
        }
    });
    EXPECT_EQ(socket.SettledNotes().size(), 2u) << "no WRITE while the socket is full";
    EXPECT_EQ(peer.ReceiveExactly(queued).size(), queued);
    ASSERT_TRUE(socket.WaitForNotes(3));
    EXPECT_EQ(socket.Notes().back(), "WRITE");
}

// The host's thread opens connections too: a socket selected and connected from a thread without
// a loop is watched by the loop of its window.
TEST(AsyncSelect, ASocketSelectedFromAnotherThreadIsWatchedByItsWindowsLoop) {
    LoopThread loop({.runtime = false});
    TcpListener listener;
    std::vector<Note> notes;
    const uint32_t window = loop.Call([&] {
        return cpCreateWindow("capture", [&](uint32_t message, uintptr_t, intptr_t l) {
            if (message == kMessage) {
                notes.push_back({cpSelectEvent(l), cpSelectError(l)});
            }
            return intptr_t{0};
        });
    });
    cpSocketRecordPtr record;
    ASSERT_EQ(cpSocketCreate(&record, 0), CP_OK);
    cpSocketSetBlocking(record.get(), 0);
    cpAsyncSelect(record->handle, window, kMessage, kAll);
    const cpAddress address{LoopbackAddress(), listener.Port(), 0};
    cpSocketConnect(record.get(), &address);
    EXPECT_TRUE(loop.WaitFor([&] { return notes.size() >= 2; }));
    EXPECT_EQ(loop.Call([&] { return notes; }),
              (std::vector<Note>{{FD_CONNECT, 0}, {FD_WRITE, 0}}));
    loop.Run([&] {
        record.reset();
        cpDestroyWindow(window);
    });
}
