// The run history: created for older files too, newest first, trimmed per
// record, gone with its record.

#include "DbFixture.h"

using namespace DbTest;
using Orvana::Backup::BackupDB;

namespace {

class BackupDBRunsTest : public DbTestBase {
protected:
    BackupDB::RUN_RECORD run(int recId, const std::string& result, Poco::Int64 start) {
        BackupDB::RUN_RECORD r;
        r.recId = recId;
        r.kind = "backup";
        r.startTime = start;
        r.endTime = start + 10;
        r.result = result;
        r.reason = oddText();
        r.filesChecked = 5;
        r.filesCopied = 4;
        r.bytesCopied = 5000000000LL;  // beyond 32 bits
        r.filesFailed = 1;
        return r;
    }
};

TEST_F(BackupDBRunsTest, AnOlderFileGetsTheTableAndKeepsItsVersion) {
    db->conn().ExecuteUpdate("DROP TABLE BACKUP_RUNS;");
    reopen();
    EXPECT_TRUE(db->conn().TableExists("BACKUP_RUNS"));
    std::string status, notes;
    EXPECT_EQ(3, db->getVersion(status, notes));
}

TEST_F(BackupDBRunsTest, NewestFirstTrimmedPerRecordAndDeletedWithIt) {
    for (int i = 0; i < BackupDB::MAX_RUNS + 5; ++i) {
        BackupDB::RUN_RECORD r = run(1, i % 2 ? "failed" : "completed", 1000 + i);
        ASSERT_TRUE(db->addRun(r));
        EXPECT_GT(r.id, 0);
    }
    BackupDB::RUN_RECORD other = run(2, "stopped", 7);
    ASSERT_TRUE(db->addRun(other));

    std::vector<BackupDB::RUN_RECORD> runs;
    ASSERT_TRUE(db->getRuns(1, 1000, runs));
    ASSERT_EQ(static_cast<size_t>(BackupDB::MAX_RUNS), runs.size());
    EXPECT_EQ(1000 + BackupDB::MAX_RUNS + 4, runs.front().startTime);
    EXPECT_EQ(1005, runs.back().startTime);  // the five oldest went
    const BackupDB::RUN_RECORD& r = runs.front();
    EXPECT_EQ("backup", r.kind);
    EXPECT_EQ(oddText(), r.reason);
    EXPECT_EQ(5000000000LL, r.bytesCopied);
    EXPECT_EQ(1, r.filesFailed);
    ASSERT_TRUE(db->getRuns(1, 3, runs));
    EXPECT_EQ(3u, runs.size());

    ASSERT_TRUE(db->deleteRuns(1));
    ASSERT_TRUE(db->getRuns(1, 1000, runs));
    EXPECT_TRUE(runs.empty());
    ASSERT_TRUE(db->getRuns(2, 1000, runs));
    EXPECT_EQ(1u, runs.size());
}

}  // namespace
