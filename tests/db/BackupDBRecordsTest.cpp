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

TEST_F(BackupDBRecords, NewRecordDefaultsAndIdsNotReused) {
    EXPECT_EQ(1, add("a@h", "/one"));
    BackupDB::BACKUP_RECORD rec;
    ASSERT_TRUE(db->getBackupRecord(1, rec));
    EXPECT_EQ(0, rec.size);
    EXPECT_EQ(0, rec.lastSuccessTime.epochMicroseconds());
    EXPECT_EQ(0, rec.lastAttemptTime.epochMicroseconds());
    EXPECT_EQ(1, db->scalar("select count(*) from BACKUP_RECORDS where SIZE is NULL;"));

    EXPECT_EQ(2, add("a@h", "/two"));
    ASSERT_TRUE(db->deleteBackupRecord(2));
    EXPECT_EQ(3, add("a@h", "/three"));
}

TEST_F(BackupDBRecords, UpdatesReadBackAndUnmatchedIdsSucceed) {
    const int id = add("a@h", "/src");
    const Poco::Timestamp now;
    ASSERT_TRUE(db->setLastSuccessTime(id, now.utcTime()));
    ASSERT_TRUE(db->setLastAttemptTime(id, now.utcTime() + 10));
    ASSERT_TRUE(db->setRecordSize(id, 5000000000LL));
    ASSERT_TRUE(db->setSchedule(id, 7, 8, 9));
    ASSERT_TRUE(db->disableBackupRecord(id));
    BackupDB::BACKUP_RECORD rec;
    ASSERT_TRUE(db->getBackupRecord(id, rec));
    EXPECT_EQ(now, rec.lastSuccessTime);
    EXPECT_EQ(now.epochMicroseconds() + 1, rec.lastAttemptTime.epochMicroseconds());
    EXPECT_EQ(5000000000LL, rec.size);
    EXPECT_EQ(7, rec.frequency);
    EXPECT_EQ(8, rec.backupTime);
    EXPECT_EQ(9, rec.backupDay);
    EXPECT_FALSE(rec.enabled);

    // An id with no row: success, and outputs untouched.
    BackupDB::BACKUP_RECORD untouched;
    untouched.localPath = "keep";
    untouched.frequency = 42;
    std::string path = "keep";
    EXPECT_TRUE(db->getBackupRecord(999, untouched));
    EXPECT_EQ("keep", untouched.localPath);
    EXPECT_EQ(42, untouched.frequency);
    EXPECT_TRUE(db->getRemotePath(999, path));
    EXPECT_EQ("keep", path);
    EXPECT_TRUE(db->setSchedule(999, 1, 1, 1));
    EXPECT_TRUE(db->deleteBackupRecord(999));
    EXPECT_EQ(1, db->scalar("select count(*) from BACKUP_RECORDS;"));
}

TEST_F(BackupDBRecords, ListingsNewestFirstAndEnabledFilter) {
    add("a@h", "/1");
    add("b@h", "/2");
    add("a@h", "/3", 0);
    add("a@h", "/4");
    std::vector<BackupDB::BackupRecordPtr> all;
    ASSERT_TRUE(db->getAllBackupRecords(all));
    ASSERT_EQ(4u, all.size());
    for (int i = 0; i < 4; ++i) EXPECT_EQ(4 - i, all[i]->id);

    std::vector<std::string> peers;
    ASSERT_TRUE(db->getTargetPeers(peers));
    EXPECT_EQ(2u, peers.size());

    TestSupport::LogCapture log;
    std::vector<BackupDB::BackupRecordPtr> recs;
    ASSERT_TRUE(db->getRecordsForPeer("a@h", recs, true));
    ASSERT_EQ(2u, recs.size());
    for (const auto& r : recs) EXPECT_TRUE(r->enabled);
    auto lines = log.find("Target Peer [a@h]: Adding Resource [", "Backup");
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(Poco::Message::PRIO_TRACE, lines[0].priority);
    EXPECT_EQ("Target Peer [a@h]: Adding Resource [/1]", lines[0].text);

    log.clear();
    ASSERT_TRUE(db->getRecordsForPeer("a@h", recs, false));
    EXPECT_EQ(3u, recs.size());
    EXPECT_EQ(3u, log.find("Adding Resource", "Backup").size());
}

TEST_F(BackupDBRecords, OddTextsRoundTrip) {
    int id = 0;
    ASSERT_TRUE(
        db->addBackupRecord("a@h", 1, 1, oddText(), oddText() + "2", oddText() + "3", 0, 0, 0, id));
    BackupDB::BACKUP_RECORD rec;
    ASSERT_TRUE(db->getBackupRecord(id, rec));
    EXPECT_EQ(oddText(), rec.localPath);
    EXPECT_EQ(oddText() + "2", rec.remotePath);
    EXPECT_EQ(oddText() + "3", rec.groupId);
    EXPECT_TRUE(rec.isFile);
    ASSERT_TRUE(db->setRemotePath(id, "%s%n'"));
    std::string remote;
    ASSERT_TRUE(db->getRemotePath(id, remote));
    EXPECT_EQ("%s%n'", remote);
}
