// Incoming backups and stored files.

#include "DbFixture.h"

using namespace DbTest;
using Orvana::Backup::BackupDB;

class BackupDBIncoming : public DbTestBase {};

TEST_F(BackupDBIncoming, OneRowPerRecordAndPeerAndLocationOwnership) {
    // What the local copy does on each run.
    for (const char* peer : {"me@myhost", "me@myhost", "other@host"}) {
        if (!db->incomingRecordExists(5, peer)) {
            ASSERT_TRUE(db->addIncomingRecord(5, "", peer, oddText(), "/store/me", 1234));
        }
    }
    EXPECT_EQ(2, db->scalar("select count(*) from BACKUP_INCOMING_RECORDS;"));
    BackupDB::INC_RECORD rec;
    ASSERT_TRUE(db->getIncomingRecord(5, "me@myhost", rec));
    EXPECT_EQ(oddText(), rec.sourceLocation);
    EXPECT_EQ(Poco::Timestamp::fromUtcTime(1234), rec.createTime);

    EXPECT_TRUE(db->canUseStoredLocation("/src", "/free", "me@myhost"));
    EXPECT_TRUE(db->canUseStoredLocation(oddText(), "/store/me", "me@myhost"));
    EXPECT_FALSE(db->canUseStoredLocation("/other", "/store/me", "me@myhost"));
    EXPECT_FALSE(db->canUseStoredLocation(oddText(), "/store/me", "you@host"));
}

TEST_F(BackupDBIncoming, StoredFilesPerPeerRecordAndFile) {
    ASSERT_TRUE(db->updateStoredFile(10, "p1@h", 1, 77, "/s/first", "c1"));
    ASSERT_TRUE(db->updateStoredFile(10, "p1@h", 1, 77, "/s/second'", "c2"));
    ASSERT_TRUE(db->updateStoredFile(10, "p2@h", 2, 77, "/s/p2", "x"));
    EXPECT_EQ(2, db->scalar("select count(*) from BACKUP_STORED_FILES;"));

    std::string sum, where = "unchanged";
    ASSERT_TRUE(db->getStoredFileChecksum("p1@h", 10, 77, sum));
    EXPECT_EQ("c2", sum);
    ASSERT_TRUE(db->getStoredFileLocation("p1@h", 77, where));
    EXPECT_EQ("/s/second'", where);
    where = "unchanged";
    EXPECT_FALSE(db->getStoredFileLocation("p1@h", 78, where));
    EXPECT_EQ("unchanged", where);

    // Deleted by the local record id they were stored under.
    ASSERT_TRUE(db->deleteStoredFiles(1));
    EXPECT_FALSE(db->getStoredFileChecksum("p1@h", 10, 77, sum));
    EXPECT_TRUE(db->getStoredFileChecksum("p2@h", 10, 77, sum));
}
