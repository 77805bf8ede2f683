// Who owns the other end of a loopback connection, read from the kernel's socket tables: crafted
// tables with the collisions another local user can arrange, and the real tables of this process.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "socket_owner.h"

namespace {

constexpr const char* kEstablished = "01";
constexpr const char* kTimeWait = "06";
constexpr const char* kListen = "0A";

in_addr_t Ip(const char* text) {
    in_addr address{};
    inet_pton(AF_INET, text, &address);
    return address.s_addr;
}

// An address as the kernel prints it: each 32-bit word as the number its bytes make here.
std::string Word(const uint8_t* bytes) {
    uint32_t value = 0;
    std::memcpy(&value, bytes, sizeof value);
    char text[9];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

std::string V4(const char* ip, uint16_t port) {
    const in_addr_t address = Ip(ip);
    char text[6];
    std::snprintf(text, sizeof text, ":%04X", port);
    return Word(reinterpret_cast<const uint8_t*>(&address)) + text;
}

std::string V4Mapped(const char* ip, uint16_t port) {
    const cpTcpEnd end = cpTcpEnd::FromIPv4(Ip(ip), port);
    std::string text;
    for (size_t i = 0; i < 16; i += 4) {
        text += Word(end.address.data() + i);
    }
    char tail[6];
    std::snprintf(tail, sizeof tail, ":%04X", port);
    return text + tail;
}

struct Row {
    std::string local;
    std::string remote;
    const char* state;
    std::string uid;
};

std::string Table(const std::vector<Row>& rows) {
    std::string text =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode\n";
    int slot = 0;
    for (const Row& row : rows) {
        text += "   " + std::to_string(slot++) + ": " + row.local + " " + row.remote + " " +
                row.state + " 00000000:00000000 00:00000000 00000000  " + row.uid +
                "        0 12345 1 0000000000000000 20 4 30 10 -1\n";
    }
    return text;
}

constexpr uint16_t kEngine = 0x9496;
constexpr uint16_t kLibrary = 0xC350;

TEST(ConnectionOwner, OnlyTheExactEstablishedConnectionCounts) {
    // The peer asking is 127.0.0.2:kEngine (or :kLibrary) connected to the engine at
    // 127.0.0.1:kEngine; rows of the engine's user (1000) share its ports.
    const cpTcpEnd engine = cpTcpEnd::FromIPv4(Ip("127.0.0.1"), kEngine);
    const cpTcpEnd library = cpTcpEnd::FromIPv4(Ip("127.0.0.1"), kLibrary);
    const cpTcpEnd strangerOnEnginePort = cpTcpEnd::FromIPv4(Ip("127.0.0.2"), kEngine);
    const cpTcpEnd strangerOnLibraryPort = cpTcpEnd::FromIPv4(Ip("127.0.0.2"), kLibrary);
    struct Case {
        const char* name;
        std::vector<Row> rows;
        cpTcpEnd peer;
        std::optional<uid_t> owner;
    };
    const std::vector<Case> cases = {
        {"the library's own connection",
         {{V4("127.0.0.1", kEngine), V4("127.0.0.1", kLibrary), kEstablished, "1000"},
          {V4("127.0.0.1", kLibrary), V4("127.0.0.1", kEngine), kEstablished, "1000"}},
         library,
         1000},
        {"a stranger on the engine's port: the engine's accepted socket has the same ports",
         {{V4("127.0.0.1", kEngine), V4("127.0.0.2", kEngine), kEstablished, "1000"},
          {V4("127.0.0.2", kEngine), V4("127.0.0.1", kEngine), kEstablished, "2000"}},
         strangerOnEnginePort,
         2000},
        {"a stranger on the port of the library's live connection",
         {{V4("127.0.0.1", kLibrary), V4("127.0.0.1", kEngine), kEstablished, "1000"},
          {V4("127.0.0.1", kEngine), V4("127.0.0.1", kLibrary), kEstablished, "1000"},
          {V4("127.0.0.2", kLibrary), V4("127.0.0.1", kEngine), kEstablished, "2000"}},
         strangerOnLibraryPort,
         2000},
        {"a TIME_WAIT row of the same four values is no socket of anyone's",
         {{V4("127.0.0.1", kLibrary), V4("127.0.0.1", kEngine), kTimeWait, "0"}},
         library,
         std::nullopt},
        {"a listener on the port is not the connection",
         {{V4("127.0.0.1", kLibrary), V4("0.0.0.0", 0), kListen, "1000"}},
         library,
         std::nullopt},
        {"a dual-stack socket is listed IPv4-mapped in tcp6",
         {{V4Mapped("127.0.0.1", kLibrary), V4Mapped("127.0.0.1", kEngine), kEstablished, "1000"}},
         library,
         1000},
        {"the same ports on another mapped address",
         {{V4Mapped("127.0.0.2", kLibrary), V4Mapped("127.0.0.1", kEngine), kEstablished, "2000"}},
         library,
         std::nullopt},
        {"two owners for one connection: nobody",
         {{V4("127.0.0.1", kLibrary), V4("127.0.0.1", kEngine), kEstablished, "1000"},
          {V4("127.0.0.1", kLibrary), V4("127.0.0.1", kEngine), kEstablished, "2000"}},
         library,
         std::nullopt},
        {"an owner that does not read as a number",
         {{V4("127.0.0.1", kLibrary), V4("127.0.0.1", kEngine), kEstablished, "10x"}},
         library,
         std::nullopt},
        {"an address that does not read as hex",
         {{"0100007G:C350", V4("127.0.0.1", kEngine), kEstablished, "1000"}},
         library,
         std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(cpFindConnectionOwner(Table(c.rows), c.peer, engine), c.owner);
    }
}

// The real tables: both ends of a loopback connection of this process are this user's, and a
// connection that does not exist has no owner.
TEST(ConnectionOwner, RealTablesNameThisUserForBothEnds) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    sockaddr_in clientAddress{};
    length = sizeof clientAddress;
    ASSERT_EQ(getsockname(client, reinterpret_cast<sockaddr*>(&clientAddress), &length), 0);

    const cpTcpEnd server = cpTcpEnd::FromSockaddr(address);
    const cpTcpEnd peer = cpTcpEnd::FromSockaddr(clientAddress);
    // Not yet accepted: the engine's side of the connection waits in the listener's queue.
    EXPECT_EQ(cpConnectionOwner(server, peer), getuid());
    const int accepted = accept(listener, nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    EXPECT_EQ(cpConnectionOwner(peer, server), getuid());
    EXPECT_EQ(cpConnectionOwner(server, peer), getuid());
    EXPECT_EQ(cpConnectionOwner(cpTcpEnd::FromIPv4(Ip("127.0.0.2"), peer.port), server),
              std::nullopt);
    close(accepted);
    close(client);
    close(listener);
}

}  // namespace
