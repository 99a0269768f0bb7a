// The backup record store, and what is kept per record: the run history
// (newest first, trimmed per record) and the settings (defaults without rows);
// both go with their record, and older files gain their tables on opening.

#include "DbFixture.h"
#include "support/LogCapture.h"

using namespace DbTest;
using Orvana::Backup::BackupDB;

class BackupDBRecords : public DbTestBase {
protected:
    int add(const std::string& peer, const std::string& path, int enabled = 1) {
        int id = -1;
        EXPECT_TRUE(db->addBackupRecord(peer, 0, enabled, path, "/dst", "g1", 1, 2, 3, id));
        return id;
    }
};

// A missing row must not read as a record.
TEST_F(BackupDBRecords, DefaultsUpdatesFindAndIdsNotReused) {
    EXPECT_EQ(1, add("a@h", "/one"));
    BackupDB::BACKUP_RECORD rec;
    ASSERT_TRUE(db->getBackupRecord(1, rec));
    EXPECT_EQ(0, rec.size);  // SIZE is NULL until a scan
    EXPECT_EQ(0, rec.lastSuccessTime.epochMicroseconds());

    // Beyond 32 bits, and a text that breaks naive quoting.
    ASSERT_TRUE(db->setRecordSize(1, 5000000000LL));
    ASSERT_TRUE(db->setRemotePath(1, oddText()));
    ASSERT_TRUE(db->getBackupRecord(1, rec));
    EXPECT_EQ(5000000000LL, rec.size);
    EXPECT_EQ(oddText(), rec.remotePath);

    EXPECT_EQ(2, add("a@h", "/two"));
    ASSERT_TRUE(db->deleteBackupRecord(2));
    EXPECT_EQ(3, add("a@h", "/three"));
    const BackupDB::BackupRecordPtr found = db->findBackupRecord(3);
    ASSERT_TRUE(found);
    EXPECT_EQ(3, found->id);
    EXPECT_EQ("/three", found->localPath);
    // Ids callers once preset as "not found" must not come back as records.
    for (int gone : {0, -1, 2}) EXPECT_FALSE(db->findBackupRecord(gone)) << gone;

    // An id with no row: success, and the output untouched.
    BackupDB::BACKUP_RECORD untouched;
    untouched.frequency = 42;
    EXPECT_TRUE(db->getBackupRecord(999, untouched));
    EXPECT_EQ(42, untouched.frequency);
    EXPECT_TRUE(db->deleteBackupRecord(999));
    EXPECT_EQ(2, db->scalar("select count(*) from BACKUP_RECORDS;"));

    TestSupport::LogCapture log;
    db->conn().ExecuteUpdate("DROP TABLE BACKUP_RECORDS;");
    EXPECT_FALSE(db->findBackupRecord(3));
}

TEST_F(BackupDBRecords, ListingsNewestFirstAndEnabledFilter) {
    int id = 0;  // local path and group id are stored unchanged
    ASSERT_TRUE(db->addBackupRecord("a@h", 1, 1, oddText(), "/dst", oddText(), 0, 0, 0, id));
    add("b@h", "/2");
    add("a@h", "/3", 0);
    add("a@h", "/4");
    std::vector<BackupDB::BackupRecordPtr> all;
    ASSERT_TRUE(db->getAllBackupRecords(all));
    ASSERT_EQ(4u, all.size());
    for (int i = 0; i < 4; ++i) EXPECT_EQ(4 - i, all[i]->id);
    EXPECT_EQ(oddText(), all[3]->localPath);
    EXPECT_EQ(oddText(), all[3]->groupId);

    std::vector<BackupDB::BackupRecordPtr> recs;
    ASSERT_TRUE(db->getRecordsForPeer("a@h", recs, true));
    ASSERT_EQ(2u, recs.size());
    for (const auto& r : recs) EXPECT_TRUE(r->enabled);

    ASSERT_TRUE(db->getRecordsForPeer("a@h", recs, false));
    EXPECT_EQ(3u, recs.size());
}

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

typedef Orvana::Backup::BackupDB::RECORD_SETTINGS Settings;

TEST_F(BackupDBRecords, SettingsRoundTripPerRecordAndGoWithTheRecord) {
    const int a = add("me@h", "/a"), b = add("me@h", "/b");

    Settings read;
    read.exclude = {"stale"};
    ASSERT_TRUE(db->getRecordSettings(a, read));
    EXPECT_TRUE(read.exclude.empty());
    EXPECT_FALSE(read.ignoreCase);
    EXPECT_TRUE(read.cacheDirTag);

    Settings written;
    // More than ten, so that an order by text would put "10" before "2".
    for (int i = 0; i < 12; ++i) written.exclude.push_back("p" + std::to_string(i));
    written.exclude.push_back(oddText());
    written.ignoreCase = true;
    written.cacheDirTag = false;
    ASSERT_TRUE(db->setRecordSettings(a, written));
    ASSERT_TRUE(db->getRecordSettings(a, read));
    EXPECT_EQ(written.exclude, read.exclude);
    EXPECT_TRUE(read.ignoreCase);
    EXPECT_FALSE(read.cacheDirTag);
    ASSERT_TRUE(db->getRecordSettings(b, read));
    EXPECT_TRUE(read.exclude.empty());

    // A shorter list replaces the longer one as a whole.
    written.exclude = {"only"};
    ASSERT_TRUE(db->setRecordSettings(a, written));
    ASSERT_TRUE(db->getRecordSettings(a, read));
    EXPECT_EQ(written.exclude, read.exclude);

    ASSERT_TRUE(db->setRecordSettings(b, written));
    ASSERT_TRUE(db->deleteBackupRecord(a));
    EXPECT_EQ(0, db->scalar("select count(*) from BACKUP_RECORD_SETTINGS where RECID = " +
                            std::to_string(a)));
    EXPECT_LT(0, db->scalar("select count(*) from BACKUP_RECORD_SETTINGS where RECID = " +
                            std::to_string(b)));
}

}  // namespace
