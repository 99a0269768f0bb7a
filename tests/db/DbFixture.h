#pragma once
// Shared fixture for the database tests: a logged-in profile in a temp folder
// and a BackupDB on it, with access to its connection for checks.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "db/BackupDB.h"
#include "support/TestProfile.h"

namespace DbTest {

// Exposes the connection so tests can inspect transaction state and rows.
class ProbeDB : public Orvana::Backup::BackupDB {
public:
    ProbeDB() : BackupDB("backup") {}
    wxSQLite3Database& conn() { return *m_db; }
    int scalar(const std::string& sql) { return m_db->ExecuteScalar(sql); }
    std::string text(const std::string& sql) {
        wxSQLite3ResultSet rs = m_db->ExecuteQuery(sql);
        std::string out = rs.NextRow() ? rs.GetStdString(0) : "<none>";
        rs.Finalize();
        return out;
    }
};

class DbTestBase : public ::testing::Test {
protected:
    void SetUp() override { reopen(); }
    void reopen() {
        db.reset();
        db.reset(new ProbeDB);
        ASSERT_TRUE(db->isValid());
    }

    TestSupport::TestProfile profile;
    std::unique_ptr<ProbeDB> db;
};

// Texts that break naive SQL quoting or text handling.
inline std::string oddText() { return "it's 100% \"odd\" & <x>\nsecond line\t\xff\xfe end"; }

}  // namespace DbTest
