// The two stores the collector's tests run against: an SQLite file in the test's folder and a
// database on a private PostgreSQL server.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>

#include "private_postgres.h"

enum class StoreKind { Sqlite, Postgres };

inline void PrintTo(StoreKind kind, std::ostream* out) {
    *out << (kind == StoreKind::Sqlite ? "Sqlite" : "Postgres");
}

inline std::string StoreKindName(const ::testing::TestParamInfo<StoreKind>& info) {
    return info.param == StoreKind::Sqlite ? "Sqlite" : "Postgres";
}

// A fixture piece that provides a fresh store location of the test's kind. Call from SetUp:
//   PrepareStore(GetParam()); if (IsSkipped() || HasFatalFailure()) return;
class TestStoreLocation {
  protected:
    void PrepareStore(StoreKind kind, const std::string& fileName = "reports.db") {
        if (kind == StoreKind::Sqlite) {
            location_ = std::string(std::getenv("TEV_TEST_ROOT")) + "/" + fileName;
            return;
        }
        const std::string missing = PrivatePostgres::MissingReason();
        if (!missing.empty()) {
            GTEST_SKIP() << "skipping the PostgreSQL store test: " << missing;
        }
        postgres_ = std::make_unique<PrivatePostgres>();
        ASSERT_TRUE(postgres_->Running()) << postgres_->Error();
        location_ = postgres_->Location();
    }

    std::unique_ptr<PrivatePostgres> postgres_;
    std::string location_;
};
