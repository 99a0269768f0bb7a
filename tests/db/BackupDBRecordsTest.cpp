// The backup record store.

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

TEST_F(BackupDBRecords, DefaultsUpdatesAndIdsNotReused) {
    EXPECT_EQ(1, add("a@h", "/one"));
    BackupDB::BACKUP_RECORD rec;
    ASSERT_TRUE(db->getBackupRecord(1, rec));
    EXPECT_EQ(0, rec.size);  // SIZE is NULL until a scan
    EXPECT_EQ(0, rec.lastSuccessTime.epochMicroseconds());

    const Poco::Timestamp now;
    ASSERT_TRUE(db->setLastAttemptTime(1, now.utcTime()));
    ASSERT_TRUE(db->setRecordSize(1, 5000000000LL));
    ASSERT_TRUE(db->setSchedule(1, 7, 8, 9));
    ASSERT_TRUE(db->setRemotePath(1, oddText()));
    ASSERT_TRUE(db->getBackupRecord(1, rec));
    EXPECT_EQ(now, rec.lastAttemptTime);
    EXPECT_EQ(5000000000LL, rec.size);
    EXPECT_EQ(9, rec.backupDay);
    EXPECT_EQ(oddText(), rec.remotePath);

    EXPECT_EQ(2, add("a@h", "/two"));
    ASSERT_TRUE(db->deleteBackupRecord(2));
    EXPECT_EQ(3, add("a@h", "/three"));

    // An id with no row: success, and the output untouched.
    BackupDB::BACKUP_RECORD untouched;
    untouched.frequency = 42;
    EXPECT_TRUE(db->getBackupRecord(999, untouched));
    EXPECT_EQ(42, untouched.frequency);
    EXPECT_TRUE(db->deleteBackupRecord(999));
    EXPECT_EQ(2, db->scalar("select count(*) from BACKUP_RECORDS;"));
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

    TestSupport::LogCapture log;
    std::vector<BackupDB::BackupRecordPtr> recs;
    ASSERT_TRUE(db->getRecordsForPeer("a@h", recs, true));
    ASSERT_EQ(2u, recs.size());
    for (const auto& r : recs) EXPECT_TRUE(r->enabled);
    auto lines = log.find("Target Peer [a@h]: Adding Resource [", "Backup");
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("Target Peer [a@h]: Adding Resource [/4]", lines[1].text);

    ASSERT_TRUE(db->getRecordsForPeer("a@h", recs, false));
    EXPECT_EQ(3u, recs.size());
}
