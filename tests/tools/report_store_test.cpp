// The report stores, SQLite and PostgreSQL, through their one interface: what is written is what
// any other reader of the store reads back.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "report_collector/report_collector.h"
#include "report_collector/report_store.h"
#include "test_stores.h"

using namespace tev::tools;

namespace {

class ReportStoreTest : public ::testing::TestWithParam<StoreKind>, public TestStoreLocation {
  protected:
    void SetUp() override { PrepareStore(GetParam()); }

    std::unique_ptr<ReportStore> Open() {
        std::string error;
        std::unique_ptr<ReportStore> store = OpenReportStore(location_, &error);
        EXPECT_NE(store, nullptr) << error;
        return store;
    }
};

ReportMessage Message(std::vector<ReportRecord> records, uint16_t port = 40000,
                      int64_t receivedAtMs = 1700000000123) {
    return {std::move(records), "127.0.0.1", port, receivedAtMs};
}

TEST_P(ReportStoreTest, StoresAGroupOfMessagesInOrderUnderNumbersOfTheirOwn) {
    std::unique_ptr<ReportStore> store = Open();
    ASSERT_NE(store, nullptr);
    // Texts that a row format could trip over: separators, escapes, quotes, non-ASCII, the
    // longest fields a record carries.
    const std::vector<ReportMessage> group = {
        Message({{std::string(32, 'S'), std::string(255, 'u'), (int64_t{1} << 40) + 5, 1},
                 {"tab\there", "line\nbreak\r\\N \\. 'quoted' \"too\"", 0, 1}},
                40001, 1700000000123),
        Message({}, 40002),  // an empty report stores nothing and takes no number
        Message({{"svc-2", "http://h/\xED\x95\x9C\xEA\xB8\x80.bin", -1, 7}}, 40003, 1700000001000),
    };
    std::string error;
    ASSERT_TRUE(store->Insert(group, &error)) << error;

    const std::vector<StoredReport> rows = ReadReports(location_);
    ASSERT_EQ(rows.size(), 3u);
    struct Expected {
        const ReportRecord* record;
        int64_t message;
        int64_t index;
        uint16_t port;
        int64_t ms;
    };
    const Expected expected[] = {
        {&group[0].records[0], 1, 0, 40001, 1700000000123},
        {&group[0].records[1], 1, 1, 40001, 1700000000123},
        {&group[2].records[0], 2, 0, 40003, 1700000001000},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(rows[i].serviceId, expected[i].record->serviceId);
        EXPECT_EQ(rows[i].url, expected[i].record->url);
        EXPECT_EQ(rows[i].bytes, expected[i].record->bytes);
        EXPECT_EQ(rows[i].marker, expected[i].record->marker);
        EXPECT_EQ(rows[i].messageId, expected[i].message);
        EXPECT_EQ(rows[i].recordIndex, expected[i].index);
        EXPECT_EQ(rows[i].peerAddress, "127.0.0.1");
        EXPECT_EQ(rows[i].peerPort, expected[i].port);
        EXPECT_EQ(rows[i].receivedAtMs, expected[i].ms);
        EXPECT_EQ(rows[i].receivedAt, FormatUtcMilliseconds(expected[i].ms));
    }
    EXPECT_EQ(store->Count(), 3);
    EXPECT_EQ(store->ReadAll().size(), 3u);
    EXPECT_EQ(FormatUtcMilliseconds(1700000000123), "2023-11-14T22:13:20.123Z");
}

TEST_P(ReportStoreTest, ReopenedStoreGoesOnNumbering) {
    std::string error;
    {
        std::unique_ptr<ReportStore> store = Open();
        ASSERT_NE(store, nullptr);
        ASSERT_TRUE(store->Insert(Message({{"s", "http://h/1", 1, 1}}), &error)) << error;
    }
    std::unique_ptr<ReportStore> store = Open();
    ASSERT_NE(store, nullptr);
    ASSERT_TRUE(store->Insert(Message({{"s", "http://h/2", 2, 1}}), &error)) << error;
    const std::vector<StoredReport> rows = store->ReadAll();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].url, "http://h/2");
    EXPECT_EQ(rows[1].messageId, 2);
}

// Several collectors on one store: every message keeps a number of its own and no row is lost.
TEST_P(ReportStoreTest, WritersSharingAStoreNeverShareAMessageNumber) {
    constexpr int kWriters = 3;
    constexpr int kGroups = 20;
    std::vector<std::thread> writers;
    std::vector<std::string> errors(kWriters);
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            std::unique_ptr<ReportStore> store = OpenReportStore(location_, &errors[w]);
            for (int g = 0; store != nullptr && g < kGroups; ++g) {
                const std::string id = std::to_string(w) + "-" + std::to_string(g);
                if (!store->Insert(
                        {Message({{id, "a", 1, 1}, {id, "b", 2, 1}}), Message({{id, "c", 3, 1}})},
                        &errors[w])) {
                    return;
                }
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    for (const std::string& error : errors) {
        EXPECT_EQ(error, "");
    }
    const std::vector<StoredReport> rows = ReadReports(location_);
    ASSERT_EQ(rows.size(), size_t{kWriters * kGroups * 3});
    std::map<int64_t, std::set<std::string>> senders;  // message number -> service ids in it
    for (const StoredReport& row : rows) {
        senders[row.messageId].insert(row.serviceId);
    }
    EXPECT_EQ(senders.size(), size_t{kWriters * kGroups * 2});
    for (const auto& [message, ids] : senders) {
        EXPECT_EQ(ids.size(), 1u) << "message " << message << " mixes writers";
    }
}

// Bytes that are not UTF-8 (an ANSI code page's URL) are kept the same way in every store: the
// group is stored whole and reads back the same from SQLite and PostgreSQL.
TEST_P(ReportStoreTest, TextThatIsNotUtf8IsStoredTheSameInEveryStore) {
    std::unique_ptr<ReportStore> store = Open();
    ASSERT_NE(store, nullptr);
    std::string error;
    ASSERT_TRUE(store->Insert({Message({{"good", "http://h/ok", 1, 1}}),
                               Message({{"sv\xFF", "http://h/caf\xE9.bin", 2, 1}})},
                              &error))
        << error;
    std::vector<std::pair<std::string, std::string>> rows;
    for (const StoredReport& row : ReadReports(location_)) {
        rows.emplace_back(row.serviceId, row.url);
    }
    EXPECT_EQ(rows, (std::vector<std::pair<std::string, std::string>>{
                        {"good", "http://h/ok"}, {"sv%FF", "http://h/caf%E9.bin"}}));
}

// A file with 20 pages overwritten: opening refuses it with the check's first finding (it would
// otherwise take reports and acknowledge them), and a read says it failed instead of finding 0.
TEST(SqliteStoreTest, RefusesADamagedFileAndReadsReportTheDamage) {
    const std::string path = std::string(std::getenv("TEV_TEST_ROOT")) + "/damaged.db";
    {
        std::string error;
        std::unique_ptr<ReportStore> store = OpenReportStore(path, &error);
        ASSERT_NE(store, nullptr) << error;
        std::vector<ReportRecord> records(3000, ReportRecord{"svc", std::string(200, 'u'), 1, 1});
        ASSERT_TRUE(store->Insert(Message(records), &error)) << error;
        EXPECT_EQ(store->Count(&error), 3000);
    }
    {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        ASSERT_TRUE(file.is_open());
        file.seekp(10 * 4096);
        const std::string garbage(20 * 4096, '\xAB');
        file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
        ASSERT_TRUE(file.good());
    }
    std::string error;
    EXPECT_EQ(OpenReportStore(path, &error), nullptr);
    EXPECT_NE(error.find("refusing " + path + ": the database is damaged: "), std::string::npos)
        << error;
    EXPECT_EQ(error.find("***"), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;

    ReportCollector collector({.port = 0, .database = path});
    EXPECT_FALSE(collector.Ok());
    EXPECT_NE(collector.Error().find("the database is damaged"), std::string::npos)
        << collector.Error();

    error.clear();
    EXPECT_TRUE(ReadReportsFile(path, &error).empty());
    EXPECT_NE(error.find("malformed"), std::string::npos) << error;
}

TEST(StoredTextTest, KeepsValidUtf8AndWritesEveryOtherByteAsHex) {
    const std::pair<std::string, std::string> cases[] = {
        {"http://h/a%20b", "http://h/a%20b"},  // percent signs of the sender stay as they are
        {"\xED\x95\x9C\xEA\xB8\x80 \xC3\xA9 \xF0\x9F\x98\x80",
         "\xED\x95\x9C\xEA\xB8\x80 \xC3\xA9 \xF0\x9F\x98\x80"},
        {"caf\xE9", "caf%E9"},                 // Latin-1
        {"\x80x", "%80x"},                     // a lone continuation byte
        {"\xC0\x80", "%C0%80"},                // an overlong NUL
        {"\xE0\x80\xAF", "%E0%80%AF"},         // an overlong slash
        {"\xED\xA0\x80", "%ED%A0%80"},         // a surrogate
        {"\xF4\x90\x80\x80", "%F4%90%80%80"},  // beyond U+10FFFF
        {"\xF5\xFF", "%F5%FF"},
        {"ab\xE2\x82", "ab%E2%82"},  // cut short at the end
        {"\xE2\x82"
         "A",
         "%E2%82A"},  // cut short before ASCII
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(StoredText(in), out) << in;
    }
}

TEST_P(ReportStoreTest, UnreachableStoreIsAClearError) {
    std::string error;
    const std::string location = GetParam() == StoreKind::Sqlite
                                     ? location_ + "/no/such/folder/reports.db"
                                     : "postgresql://tev@127.0.0.1:1/postgres?connect_timeout=2";
    EXPECT_EQ(OpenReportStore(location, &error), nullptr);
    EXPECT_NE(error.find(GetParam() == StoreKind::Sqlite ? "cannot open" : "cannot reach"),
              std::string::npos)
        << error;
}

INSTANTIATE_TEST_SUITE_P(Stores, ReportStoreTest,
                         ::testing::Values(StoreKind::Sqlite, StoreKind::Postgres), StoreKindName);

}  // namespace
