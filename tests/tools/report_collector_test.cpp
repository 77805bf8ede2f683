// The report collector over loopback sockets, read back from its store.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "raw_http.h"
#include "report_collector/report_collector.h"
#include "report_collector/sqlite_store.h"
#include "test_stores.h"

namespace fs = std::filesystem;
using namespace tev::tools;

namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Sends bytes and expects exactly count acknowledgements back.
void ExpectAcks(TcpConnection& connection, const std::string& bytes, size_t count) {
    ASSERT_TRUE(connection.Send(bytes));
    std::string expected;
    for (size_t i = 0; i < count; ++i) {
        expected += BuildReportAck();
    }
    EXPECT_EQ(connection.ReceiveExactly(expected.size()), expected);
}

// A collector over the store of the test's kind.
class ReportCollectorTest : public ::testing::TestWithParam<StoreKind>, public TestStoreLocation {
  protected:
    void SetUp() override {
        PrepareStore(GetParam());
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        Start();
    }

    void Start() {
        ReportCollector::Options options{.port = 0};
        if (GetParam() == StoreKind::Sqlite) {
            options.database = location_;
        } else {
            options.store = location_;
        }
        collector_ = std::make_unique<ReportCollector>(options);
        ASSERT_TRUE(collector_->Ok()) << collector_->Error();
    }

    std::unique_ptr<ReportCollector> collector_;
};

TEST_P(ReportCollectorTest, StoresEveryRecordAndAcknowledgesEachMessage) {
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

    // Acknowledged means committed: another reader of the store sees the rows at once.
    const std::vector<StoredReport> rows = ReadReports(location_);
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

TEST_P(ReportCollectorTest, ReassemblesMessagesAcrossAndWithinWrites) {
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

TEST_P(ReportCollectorTest, KeepsItsRecordsAcrossRestarts) {
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

INSTANTIATE_TEST_SUITE_P(Stores, ReportCollectorTest,
                         ::testing::Values(StoreKind::Sqlite, StoreKind::Postgres), StoreKindName);

// The database goes away and comes back: meanwhile reports are not answered (their connections
// close, the log says why), afterwards the collector writes again without a restart.
class DatabaseOutageTest : public ReportCollectorTest {};

TEST_P(DatabaseOutageTest, GoesOnAfterTheDatabaseComesBack) {
    TcpConnection connection = ConnectLoopback(collector_->Port());
    ExpectAcks(connection, BuildReportMessage({{"s", "http://h/1", 1, 1}}), 1);
    ASSERT_TRUE(postgres_->Stop()) << postgres_->Error();
    ASSERT_TRUE(connection.Send(BuildReportMessage({{"s", "http://h/2", 2, 1}})));
    EXPECT_EQ(connection.ReceiveExactly(BuildReportAck().size(), 15000), "");
    EXPECT_TRUE(PeerCloses(connection, 5000));
    ASSERT_TRUE(postgres_->Start()) << postgres_->Error();
    connection = ConnectLoopback(collector_->Port());
    ExpectAcks(connection, BuildReportMessage({{"s", "http://h/3", 3, 1}}), 1);
    std::vector<std::string> urls;
    for (const StoredReport& row : ReadReports(location_)) {
        urls.push_back(row.url);
    }
    EXPECT_EQ(urls, (std::vector<std::string>{"http://h/1", "http://h/3"}));
}

INSTANTIATE_TEST_SUITE_P(Stores, DatabaseOutageTest, ::testing::Values(StoreKind::Postgres),
                         StoreKindName);

// The collector's own behaviour, over an SQLite file.
class CollectorTest : public ::testing::Test {
  protected:
    void SetUp() override { database_ = fs::path(std::getenv("TEV_TEST_ROOT")) / "reports.db"; }

    ReportCollector::Options Options() {
        ReportCollector::Options options{.port = 0, .database = database_};
        options.logSink = [this](const std::string& line) {
            std::lock_guard lock(logMutex_);
            log_ += line + "\n";
        };
        return options;
    }

    std::string Log() {
        std::lock_guard lock(logMutex_);
        return log_;
    }

    fs::path database_;
    std::mutex logMutex_;
    std::string log_;
    std::unique_ptr<ReportCollector> collector_;
};

// An SQLite store that holds every commit until the test lets it go, and refuses any group
// holding a record of the service "poison" (as a database refuses a row it cannot take).
class GateStore final : public ReportStore {
  public:
    explicit GateStore(const fs::path& file) {
        std::string error;
        inner_ = SqliteReportStore::Open(file.string(), &error);
        EXPECT_NE(inner_, nullptr) << error;
    }

    void Open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

    // Commits begun (waiting at the gate or through it).
    int Entered() const { return entered_.load(); }

    bool Insert(const std::vector<ReportMessage>& messages, std::string* error) override {
        ++entered_;
        {
            std::unique_lock lock(mutex_);
            if (!changed_.wait_for(lock, std::chrono::seconds(10), [&] { return open_; })) {
                *error = "gate never opened";
                return false;
            }
        }
        for (const ReportMessage& message : messages) {
            for (const ReportRecord& record : message.records) {
                if (record.serviceId == "poison") {
                    *error = "poisoned row";
                    return false;
                }
            }
        }
        return inner_->Insert(messages, error);
    }
    using ReportStore::Insert;
    int64_t Count(std::string* error) const override { return inner_->Count(error); }
    std::vector<StoredReport> ReadAll(std::string* error) const override {
        return inner_->ReadAll(error);
    }
    std::string Describe() const override { return "gate"; }

  private:
    std::unique_ptr<SqliteReportStore> inner_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    std::atomic<int> entered_{0};
};

class ManualClock final : public CollectorClock {
  public:
    int64_t NowMs() const override { return now_.load(); }
    void Advance(int64_t ms) { now_ += ms; }

  private:
    std::atomic<int64_t> now_{1000000};
};

// Waits (bounded) until condition holds.
template <typename Condition>
bool Eventually(Condition condition, int timeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

TEST_F(CollectorTest, ClientsBeyondTheCapWaitInTheBacklogAndAreServed) {
    ReportCollector::Options options = Options();
    options.maxConnections = 4;
    collector_ = std::make_unique<ReportCollector>(options);
    ASSERT_TRUE(collector_->Ok()) << collector_->Error();
    constexpr int kClients = 40;
    std::vector<TcpConnection> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(ConnectLoopback(collector_->Port()));
        ASSERT_TRUE(clients.back().Valid());
        ASSERT_TRUE(clients.back().Send(
            BuildReportMessage({{"s" + std::to_string(i), "http://h/f", i, 1}})));
    }
    // In order of arrival: each answered client leaves and makes room for the next.
    const std::string ack = BuildReportAck();
    for (int i = 0; i < kClients; ++i) {
        ASSERT_EQ(clients[i].ReceiveExactly(ack.size()), ack) << "client " << i;
        clients[i].Close();
    }
    EXPECT_EQ(collector_->RecordCount(), kClients);
    EXPECT_LE(collector_->PeakConnections(), 4u);
}

// At the cap a newcomer takes the place of the connection silent longest (silent clients from
// one address share it with honest ones, so a per-address cap cannot help), but never of one
// whose report waits for its commit.
TEST_F(CollectorTest, ANewcomerAtTheCapReplacesTheConnectionSilentLongest) {
    ManualClock clock;
    auto store = std::make_unique<GateStore>(database_);
    GateStore* gate = store.get();
    ReportCollector::Options options = Options();
    options.clock = &clock;
    options.maxConnections = 4;
    auto collector = std::make_unique<ReportCollector>(options, std::move(store));
    ASSERT_TRUE(collector->Ok()) << collector->Error();

    // The oldest sends a report that waits at the gate; three silent ones follow.
    TcpConnection busy = ConnectLoopback(collector->Port());
    ASSERT_TRUE(busy.Send(BuildReportMessage({{"busy", "http://h/b", 1, 1}})));
    ASSERT_TRUE(Eventually([&] { return gate->Entered() == 1; }));
    std::vector<TcpConnection> silent;
    for (int i = 0; i < 3; ++i) {
        clock.Advance(100);
        silent.push_back(ConnectLoopback(collector->Port()));
        ASSERT_TRUE(Eventually([&] { return collector->ActiveConnections() == size_t(2 + i); }));
    }
    const uint16_t firstSilentPort = LocalPort(silent[0]);
    clock.Advance(5000);
    TcpConnection newcomer = ConnectLoopback(collector->Port());
    ASSERT_TRUE(newcomer.Send(BuildReportMessage({{"new", "http://h/n", 2, 1}})));
    EXPECT_TRUE(PeerCloses(silent[0], 5000));
    gate->Open();
    const std::string ack = BuildReportAck();
    EXPECT_EQ(busy.ReceiveExactly(ack.size()), ack);
    EXPECT_EQ(newcomer.ReceiveExactly(ack.size()), ack);
    EXPECT_TRUE(StaysSilent(silent[1], 50));
    EXPECT_EQ(collector->ActiveConnections(), 4u);
    EXPECT_NE(Log().find("closing 127.0.0.1:" + std::to_string(firstSilentPort) +
                         ": idle for 5200 ms while all 4 connections are in use"),
              std::string::npos)
        << Log();
}

TEST_F(CollectorTest, HoldsAThousandConnectionsAtOnce) {
    collector_ = std::make_unique<ReportCollector>(Options());
    ASSERT_TRUE(collector_->Ok()) << collector_->Error();
    constexpr size_t kClients = 1000;
    std::vector<TcpConnection> clients(kClients);
    for (TcpConnection& client : clients) {
        client = ConnectLoopback(collector_->Port());
        ASSERT_TRUE(client.Valid());
    }
    ASSERT_TRUE(Eventually([&] { return collector_->ActiveConnections() == kClients; }))
        << collector_->ActiveConnections();
    const std::string message = BuildReportMessage({{"s", "http://h/f", 1, 1}});
    for (TcpConnection& client : clients) {
        ASSERT_TRUE(client.Send(message));
    }
    const std::string ack = BuildReportAck();
    for (TcpConnection& client : clients) {
        ASSERT_EQ(client.ReceiveExactly(ack.size()), ack);
    }
    EXPECT_EQ(collector_->RecordCount(), int64_t{kClients});
    EXPECT_EQ(collector_->PeakConnections(), kClients);
}

// Nothing is answered before its commit, and what waits during a commit goes into the next one
// together.
TEST_F(CollectorTest, AnswersOnlyAfterTheCommitAndCommitsWaitingReportsTogether) {
    auto store = std::make_unique<GateStore>(database_);
    GateStore* gate = store.get();
    collector_ = std::make_unique<ReportCollector>(Options(), std::move(store));
    ASSERT_TRUE(collector_->Ok()) << collector_->Error();

    TcpConnection first = ConnectLoopback(collector_->Port());
    ASSERT_TRUE(first.Send(BuildReportMessage({{"first", "http://h/0", 1, 1}})));
    ASSERT_TRUE(Eventually([&] { return gate->Entered() == 1; }));
    constexpr int kOthers = 10;
    std::vector<TcpConnection> others;
    for (int i = 0; i < kOthers; ++i) {
        others.push_back(ConnectLoopback(collector_->Port()));
        ASSERT_TRUE(others.back().Send(BuildReportMessage(
            {{"other", "http://h/" + std::to_string(i), i, 1}, {"other", "http://h/x", 0, 1}})));
    }
    ASSERT_TRUE(Eventually([&] { return collector_->PendingMessages() == kOthers; }));
    EXPECT_TRUE(StaysSilent(first, 100)) << "answered before the commit";
    EXPECT_EQ(ReadReportsFile(database_.string()).size(), 0u);

    gate->Open();
    const std::string ack = BuildReportAck();
    EXPECT_EQ(first.ReceiveExactly(ack.size()), ack);
    for (TcpConnection& other : others) {
        EXPECT_EQ(other.ReceiveExactly(ack.size()), ack);
    }
    EXPECT_EQ(ReadReportsFile(database_.string()).size(), size_t{1 + 2 * kOthers});
    EXPECT_EQ(collector_->StoredMessages(), uint64_t{1 + kOthers});
    EXPECT_EQ(collector_->Commits(), 2u);
}

TEST_F(CollectorTest, AReportTheStoreRefusesCostsOnlyItsOwnConnection) {
    auto store = std::make_unique<GateStore>(database_);
    GateStore* gate = store.get();
    collector_ = std::make_unique<ReportCollector>(Options(), std::move(store));
    ASSERT_TRUE(collector_->Ok()) << collector_->Error();

    TcpConnection before = ConnectLoopback(collector_->Port());
    TcpConnection poisoned = ConnectLoopback(collector_->Port());
    TcpConnection after = ConnectLoopback(collector_->Port());
    const uint16_t poisonedPort = LocalPort(poisoned);
    ASSERT_TRUE(before.Send(BuildReportMessage({{"good", "http://h/1", 1, 1}})));
    ASSERT_TRUE(Eventually([&] { return gate->Entered() == 1; }));
    // These two wait for the next commit together, which the poisoned row fails as a whole.
    ASSERT_TRUE(poisoned.Send(BuildReportMessage({{"poison", "http://h/2", 2, 1}})));
    ASSERT_TRUE(after.Send(BuildReportMessage({{"good", "http://h/3", 3, 1}})));
    ASSERT_TRUE(Eventually([&] { return collector_->PendingMessages() == 2; }));
    gate->Open();

    const std::string ack = BuildReportAck();
    EXPECT_EQ(before.ReceiveExactly(ack.size()), ack);
    EXPECT_EQ(after.ReceiveExactly(ack.size()), ack);
    EXPECT_EQ(poisoned.ReceiveExactly(ack.size(), 2000), "") << "a report that was not stored";
    EXPECT_TRUE(PeerCloses(poisoned, 5000));
    ExpectAcks(before, BuildReportMessage({{"good", "http://h/4", 4, 1}}), 1);
    EXPECT_EQ(collector_->RecordCount(), 3);
    EXPECT_NE(Log().find("closing 127.0.0.1:" + std::to_string(poisonedPort) +
                         ": cannot store a report: poisoned row"),
              std::string::npos)
        << Log();
}

// One budget for all connections: a parsed message counts until its answer is out, a connection
// whose next message does not fit is not read (holding only the bytes it has), and a message that
// could never fit is refused from its header.
TEST_F(CollectorTest, KeepsEveryConnectionWithinOneMemoryBudget) {
    auto store = std::make_unique<GateStore>(database_);
    GateStore* gate = store.get();
    ReportCollector::Options options = Options();
    options.memoryBudget = 120000;
    collector_ = std::make_unique<ReportCollector>(options, std::move(store));
    ASSERT_TRUE(collector_->Ok()) << collector_->Error();

    std::vector<ReportRecord> records(100, ReportRecord{"svc", "http://h/file.bin", 1, 1});
    const std::string message = BuildReportMessage(records);
    const size_t parsed = ParsedReportBytes(100) + BuildReportAck().size();
    // Two parsed messages and a third one's whole size cannot be counted together.
    ASSERT_GT(3 * parsed + message.size(), options.memoryBudget);

    TcpConnection first = ConnectLoopback(collector_->Port());
    ASSERT_TRUE(first.Send(message));
    ASSERT_TRUE(Eventually([&] { return gate->Entered() == 1; }));
    EXPECT_TRUE(Eventually([&] { return collector_->BufferedBytes() == parsed; }))
        << collector_->BufferedBytes();
    TcpConnection second = ConnectLoopback(collector_->Port());
    ASSERT_TRUE(second.Send(message));
    ASSERT_TRUE(Eventually([&] { return collector_->PendingMessages() == 1; }));
    EXPECT_TRUE(Eventually([&] { return collector_->BufferedBytes() == 2 * parsed; }))
        << collector_->BufferedBytes();
    // The third is read as far as its header (a first small buffer) and then waits.
    TcpConnection third = ConnectLoopback(collector_->Port());
    ASSERT_TRUE(third.Send(message));
    ASSERT_TRUE(Eventually([&] { return collector_->WaitingForMemory() == 1; }));
    EXPECT_TRUE(Eventually([&] { return collector_->BufferedBytes() == 2 * parsed + 4096; }))
        << collector_->BufferedBytes();
    EXPECT_EQ(collector_->PendingMessages(), 1u);

    // A report larger than the whole budget is refused at its header.
    TcpConnection huge = ConnectLoopback(collector_->Port());
    ASSERT_TRUE(huge.Send(BuildReportMessage(std::vector<ReportRecord>(1000)).substr(0, 18)));
    EXPECT_TRUE(PeerCloses(huge, 5000));
    EXPECT_NE(Log().find("needs more than the memory budget of 120000 bytes"), std::string::npos)
        << Log();

    // A client that leaves in the middle of a message gives back what it held.
    {
        TcpConnection leaving = ConnectLoopback(collector_->Port());
        ASSERT_TRUE(leaving.Send(message.substr(0, 1000)));
        ASSERT_TRUE(Eventually([&] { return collector_->ActiveConnections() == 4; }));
    }

    gate->Open();
    const std::string ack = BuildReportAck();
    for (TcpConnection* client : {&first, &second, &third}) {
        EXPECT_EQ(client->ReceiveExactly(ack.size()), ack);
    }
    EXPECT_EQ(collector_->RecordCount(), 300);
    EXPECT_TRUE(Eventually([&] { return collector_->BufferedBytes() == 0; }))
        << collector_->BufferedBytes();
    EXPECT_EQ(collector_->WaitingForMemory(), 0u);
    EXPECT_GE(collector_->PeakBufferedBytes(), 2 * parsed + 4096);
    EXPECT_LE(collector_->PeakBufferedBytes(), options.memoryBudget);
}

// Three reports in one write, the middle one refused: the first is answered, then the connection
// ends, and the third is not stored (an answer to it could not be told apart from the refused
// one's).
TEST_F(CollectorTest, AnswersTheReportsBeforeARefusedOneAndStoresNoneAfterIt) {
    auto store = std::make_unique<GateStore>(database_);
    GateStore* gate = store.get();
    collector_ = std::make_unique<ReportCollector>(Options(), std::move(store));
    ASSERT_TRUE(collector_->Ok()) << collector_->Error();

    TcpConnection other = ConnectLoopback(collector_->Port());
    ASSERT_TRUE(other.Send(BuildReportMessage({{"good", "http://h/0", 0, 1}})));
    ASSERT_TRUE(Eventually([&] { return gate->Entered() == 1; }));
    TcpConnection client = ConnectLoopback(collector_->Port());
    ASSERT_TRUE(client.Send(BuildReportMessage({{"good", "http://h/1", 1, 1}}) +
                            BuildReportMessage({{"poison", "http://h/2", 2, 1}}) +
                            BuildReportMessage({{"good", "http://h/3", 3, 1}})));
    ASSERT_TRUE(Eventually([&] { return collector_->PendingMessages() == 3; }));
    gate->Open();

    const std::string ack = BuildReportAck();
    EXPECT_EQ(other.ReceiveExactly(ack.size()), ack);
    EXPECT_EQ(client.ReceiveExactly(ack.size()), ack) << "the answer earned before the refusal";
    EXPECT_TRUE(PeerCloses(client, 5000));
    std::vector<std::string> urls;
    for (const StoredReport& row : ReadReportsFile(database_.string())) {
        urls.push_back(row.url);
    }
    EXPECT_EQ(urls, (std::vector<std::string>{"http://h/0", "http://h/1"}));
    EXPECT_NE(Log().find(": cannot store a report: poisoned row"), std::string::npos) << Log();
    // The connection's number is forgotten once nothing of it is left to commit; others go on.
    ExpectAcks(other, BuildReportMessage({{"good", "http://h/4", 4, 1}}), 1);
    EXPECT_TRUE(Eventually([&] { return collector_->BufferedBytes() == 0; }))
        << collector_->BufferedBytes();
}

// While a commit is stuck (a locked table), the queued report of a client that has gone gives its
// memory back; the report was never answered, so nobody is told it is stored.
TEST_F(CollectorTest, DropsQueuedReportsOfClosedClientsWhileTheStoreIsStuck) {
    ManualClock clock;
    auto store = std::make_unique<GateStore>(database_);
    GateStore* gate = store.get();
    ReportCollector::Options options = Options();
    options.clock = &clock;
    auto collector = std::make_unique<ReportCollector>(options, std::move(store));
    ASSERT_TRUE(collector->Ok()) << collector->Error();

    TcpConnection first = ConnectLoopback(collector->Port());
    ASSERT_TRUE(first.Send(BuildReportMessage({{"first", "http://h/1", 1, 1}})));
    ASSERT_TRUE(Eventually([&] { return gate->Entered() == 1; }));
    const size_t held = collector->BufferedBytes();
    {
        // One report more than a connection may have waiting: it is not read when the client
        // goes, and its end is noticed all the same.
        TcpConnection gone = ConnectLoopback(collector->Port());
        std::string reports;
        for (int i = 0; i < 17; ++i) {
            reports += BuildReportMessage({{"gone", "http://h/2", 2, 1}});
        }
        ASSERT_TRUE(gone.Send(reports));
        ASSERT_TRUE(Eventually([&] { return collector->PendingMessages() == 16; }));
    }
    clock.Advance(1500);
    // Each look at the clock drops what has gone by then (its end may still be on its way).
    ASSERT_TRUE(Eventually([&] {
        collector->Wake();
        return collector->PendingMessages() == 0 && collector->ActiveConnections() == 1;
    }));
    EXPECT_TRUE(Eventually([&] { return collector->BufferedBytes() == held; }))
        << collector->BufferedBytes();
    EXPECT_NE(Log().find("dropping 16 unanswered report(s) of clients that have gone"),
              std::string::npos)
        << Log();

    gate->Open();
    const std::string ack = BuildReportAck();
    EXPECT_EQ(first.ReceiveExactly(ack.size()), ack);
    ExpectAcks(first, BuildReportMessage({{"first", "http://h/3", 3, 1}}), 1);
    std::vector<std::string> urls;
    for (const StoredReport& row : ReadReportsFile(database_.string())) {
        urls.push_back(row.url);
    }
    EXPECT_EQ(urls, (std::vector<std::string>{"http://h/1", "http://h/3"}));
    EXPECT_TRUE(Eventually([&] { return collector->BufferedBytes() == 0; }));
}

// A silent connection ends after the idle time; one that sends a byte a second is never idle,
// but its message must be whole within the message time; an active one stays.
TEST_F(CollectorTest, ClosesIdleAndTooSlowConnectionsByTheClock) {
    ManualClock clock;
    ReportCollector::Options options = Options();
    options.clock = &clock;
    options.idleTimeoutMs = 3000;
    options.frameTimeoutMs = 5000;
    // Declared after the clock, so it stops before the clock goes.
    auto collector = std::make_unique<ReportCollector>(options);
    ASSERT_TRUE(collector->Ok()) << collector->Error();

    TcpConnection idle = ConnectLoopback(collector->Port());
    TcpConnection slow = ConnectLoopback(collector->Port());
    TcpConnection active = ConnectLoopback(collector->Port());
    const uint16_t idlePort = LocalPort(idle);
    const uint16_t slowPort = LocalPort(slow);
    ASSERT_TRUE(Eventually([&] { return collector->ActiveConnections() == 3; }));
    const std::string trickle = BuildReportMessage({{"slow", "http://h/slow", 1, 1}});
    // Connections still open after each simulated second.
    const size_t open[] = {3, 3, 2, 2, 2, 1, 1};
    for (size_t second = 1; second <= std::size(open); ++second) {
        SCOPED_TRACE(second);
        clock.Advance(1000);
        if (open[second - 1] > 1) {
            ASSERT_TRUE(slow.Send(trickle.substr(second - 1, 1)));
        }
        collector->Wake();
        // Its answer comes from a later round of the loop than the one that read the clock.
        ExpectAcks(active, BuildReportMessage({{"active", "http://h/a", 1, 1}}), 1);
        EXPECT_EQ(collector->ActiveConnections(), open[second - 1]);
    }
    EXPECT_TRUE(PeerCloses(idle, 1000));
    EXPECT_TRUE(PeerCloses(slow, 1000));
    EXPECT_EQ(collector->RefusedConnections(), 1u);
    const std::string log = Log();
    EXPECT_NE(log.find("closing 127.0.0.1:" + std::to_string(idlePort) + ": idle for 3000 ms"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("closing 127.0.0.1:" + std::to_string(slowPort) +
                       ": message still incomplete after 5000 ms"),
              std::string::npos)
        << log;
}

TEST_F(CollectorTest, RefusesToStartWithoutAUsableDatabase) {
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

class MalformedReportTest : public CollectorTest,
                            public ::testing::WithParamInterface<BadStream> {};

TEST_P(MalformedReportTest, ClosesOnlyTheOffendingConnection) {
    collector_ = std::make_unique<ReportCollector>(Options());
    ASSERT_TRUE(collector_->Ok()) << collector_->Error();
    const std::string good = BuildReportMessage({{"good", "http://h/ok", 7, 1}});
    TcpConnection healthy = ConnectLoopback(collector_->Port());
    ExpectAcks(healthy, good, 1);

    TcpConnection offender = ConnectLoopback(collector_->Port());
    const uint16_t offenderPort = LocalPort(offender);
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
    // The log names the offender and why.
    const std::string offenderName = "127.0.0.1:" + std::to_string(offenderPort);
    EXPECT_NE(Log().find("closing " + offenderName + ": "), std::string::npos) << Log();
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
        // Refused from the header alone: the collector does not wait for a megabyte to arrive.
        {"oversized", Header(0x0300, 0x9A, 1024 * 1024 + 2)},
        {"count_mismatch", count},
        {"reserved_bytes", reserved},
        {"unpadded", Header(0x0300, 0x9A, 303) + std::string(303, '\0')},
    };
}

INSTANTIATE_TEST_SUITE_P(Streams, MalformedReportTest, ::testing::ValuesIn(BadStreams()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
