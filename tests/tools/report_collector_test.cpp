// The report collector over loopback sockets, read back from its SQLite file.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "raw_http.h"
#include "report_collector/report_collector.h"

namespace fs = std::filesystem;
using namespace tev::tools;

namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

class ReportCollectorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        database_ = fs::path(std::getenv("TEV_TEST_ROOT")) / "reports.db";
        Start();
    }

    void Start() {
        collector_ = std::make_unique<ReportCollector>(
            ReportCollector::Options{.port = 0, .database = database_});
        ASSERT_TRUE(collector_->Ok()) << collector_->Error();
    }

    // Sends bytes and expects exactly count acknowledgements back.
    static void ExpectAcks(TcpConnection& connection, const std::string& bytes, size_t count) {
        ASSERT_TRUE(connection.Send(bytes));
        std::string expected;
        for (size_t i = 0; i < count; ++i) {
            expected += BuildReportAck();
        }
        EXPECT_EQ(connection.ReceiveExactly(expected.size()), expected);
    }

    fs::path database_;
    std::unique_ptr<ReportCollector> collector_;
};

TEST_F(ReportCollectorTest, StoresEveryRecordAndAcknowledgesEachMessage) {
    const std::vector<ReportRecord> first = {
        {std::string(32, 'S'), std::string(255, 'u'), (int64_t{1} << 40) + 5, 1},
        {"service-1", "http://127.0.0.1:8080/a.bin|http://mirror/a.bin", 0, 1},
    };
    const std::vector<ReportRecord> second = {{"service-2", "http://h/b.bin", 1234, 1}};
    TcpConnection connection = ConnectLoopback(collector_->Port());
    const uint16_t clientPort = LocalPort(connection);
    const int64_t before = NowMs();
    ExpectAcks(connection, BuildReportMessage(first), 1);
    ExpectAcks(connection, BuildReportMessage(second), 1);
    const int64_t after = NowMs();

    // Acknowledged means committed: another reader of the file sees the rows at once.
    const std::vector<StoredReport> rows = ReadReportsFile(collector_->DatabasePath());
    ASSERT_EQ(rows.size(), 3u);
    const ReportRecord* expected[] = {&first[0], &first[1], &second[0]};
    const int64_t messages[] = {1, 1, 2};
    const int64_t indexes[] = {0, 1, 0};
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(rows[i].serviceId, expected[i]->serviceId);
        EXPECT_EQ(rows[i].url, expected[i]->url);
        EXPECT_EQ(rows[i].bytes, expected[i]->bytes);
        EXPECT_EQ(rows[i].marker, 1);
        EXPECT_EQ(rows[i].messageId, messages[i]);
        EXPECT_EQ(rows[i].recordIndex, indexes[i]);
        EXPECT_EQ(rows[i].peerAddress, "127.0.0.1");
        EXPECT_EQ(rows[i].peerPort, clientPort);
        EXPECT_GE(rows[i].receivedAtMs, before);
        EXPECT_LE(rows[i].receivedAtMs, after);
        EXPECT_EQ(rows[i].receivedAt, FormatUtcMilliseconds(rows[i].receivedAtMs));
    }
    EXPECT_EQ(collector_->RecordCount(), 3);
    EXPECT_EQ(collector_->Records().size(), 3u);
    EXPECT_EQ(collector_->StoredMessages(), 2u);
    EXPECT_EQ(FormatUtcMilliseconds(1700000000123), "2023-11-14T22:13:20.123Z");
}

TEST_F(ReportCollectorTest, ReassemblesMessagesAcrossAndWithinWrites) {
    const std::string one = BuildReportMessage({{"s", "http://h/1", 1, 1}});
    const std::string two =
        BuildReportMessage({{"s", "http://h/2", 2, 1}, {"s", "http://h/3", 3, 1}});
    const std::string empty = BuildReportMessage({});
    TcpConnection connection = ConnectLoopback(collector_->Port());
    ASSERT_TRUE(connection.Send(one.substr(0, 7)));
    ASSERT_TRUE(connection.Send(one.substr(7, 200)));
    EXPECT_TRUE(StaysSilent(connection, 50));
    ExpectAcks(connection, one.substr(207) + two + empty, 3);
    EXPECT_EQ(collector_->RecordCount(), 3);
}

TEST_F(ReportCollectorTest, KeepsItsRecordsAcrossRestarts) {
    TcpConnection connection = ConnectLoopback(collector_->Port());
    ExpectAcks(connection, BuildReportMessage({{"s", "http://h/1", 1, 1}}), 1);
    collector_->Stop();
    EXPECT_TRUE(PeerCloses(connection, 1000));
    Start();
    connection = ConnectLoopback(collector_->Port());
    ExpectAcks(connection, BuildReportMessage({{"s", "http://h/2", 2, 1}}), 1);
    const std::vector<StoredReport> rows = collector_->Records();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].url, "http://h/2");
    EXPECT_EQ(rows[1].messageId, 2);
}

TEST_F(ReportCollectorTest, RefusesToStartWithoutAUsableDatabase) {
    const fs::path folder = database_.parent_path() / "a-folder";
    fs::create_directories(folder);
    ReportCollector collector({.port = 0, .database = folder});
    EXPECT_FALSE(collector.Ok());
    EXPECT_NE(collector.Error().find("a-folder"), std::string::npos);
    ReportCollector unnamed({.port = 0});
    EXPECT_FALSE(unnamed.Ok());
}

std::string Header(uint16_t category, uint16_t type, uint32_t length) {
    std::string out;
    for (uint64_t v : {uint64_t{category}, uint64_t{type}}) {
        out.push_back(static_cast<char>(v & 0xFF));
        out.push_back(static_cast<char>(v >> 8));
    }
    out.append(6, '\0');
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<char>((length >> (8 * i)) & 0xFF));
    }
    return out;
}

struct BadStream {
    const char* name;
    std::string bytes;
};

void PrintTo(const BadStream& stream, std::ostream* out) {
    *out << stream.name;
}

class MalformedReportTest : public ReportCollectorTest,
                            public ::testing::WithParamInterface<BadStream> {};

TEST_P(MalformedReportTest, ClosesOnlyTheOffendingConnection) {
    const std::string good = BuildReportMessage({{"good", "http://h/ok", 7, 1}});
    TcpConnection healthy = ConnectLoopback(collector_->Port());
    ExpectAcks(healthy, good, 1);

    TcpConnection offender = ConnectLoopback(collector_->Port());
    // A good message first: what came before the bad bytes stays stored and acknowledged.
    ExpectAcks(offender, good, 1);
    ASSERT_TRUE(offender.Send(GetParam().bytes));
    EXPECT_TRUE(PeerCloses(offender, 5000));

    ExpectAcks(healthy, good, 1);
    EXPECT_EQ(collector_->RefusedConnections(), 1u);
    EXPECT_EQ(collector_->RecordCount(), 3);
    for (const StoredReport& row : ReadReportsFile(collector_->DatabasePath())) {
        EXPECT_EQ(row.serviceId, "good");
    }
}

std::vector<BadStream> BadStreams() {
    std::string count = BuildReportMessage({{"bad", "http://h/bad", 1, 1}});
    count[14] = 3;  // three records announced, one sent
    std::string reserved = BuildReportMessage({{"bad", "http://h/bad", 1, 1}});
    reserved[8] = 1;
    return {
        {"garbage", "GET / HTTP/1.1\r\nHost: x\r\n\r\n"},
        {"engine_category", Header(0x0100, 0x9A, 306) + std::string(306, '\0')},
        {"acknowledgement", BuildReportAck()},
        {"unknown_type", Header(0x0300, 0x84, 2) + std::string(2, '\0')},
        // Refused from the header alone: the collector does not wait for 17 MiB to arrive.
        {"oversized", Header(0x0300, 0x9A, 17 * 1024 * 1024 + 2)},
        {"count_mismatch", count},
        {"reserved_bytes", reserved},
        {"unpadded", Header(0x0300, 0x9A, 303) + std::string(303, '\0')},
    };
}

INSTANTIATE_TEST_SUITE_P(Streams, MalformedReportTest, ::testing::ValuesIn(BadStreams()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
