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

// One row per peer, record and file; a commit's rows are written in one
// transaction; all go with the local record id they were stored under.
TEST_F(BackupDBIncoming, StoredFilesPerPeerRecordAndFileAndACommitsRowsTogether) {
    ASSERT_TRUE(db->updateStoredFile(10, "p1@h", 1, 77, "/s/first", "c0"));
    ASSERT_TRUE(db->updateStoredFile(10, "p1@h", 1, 77, "/s/second'", "c1"));
    ASSERT_TRUE(db->updateStoredFile(10, "p2@h", 2, 77, "/s/p2", "x"));
    std::string sum, where;
    ASSERT_TRUE(db->getStoredFileLocation("p1@h", 77, where));
    EXPECT_EQ("/s/second'", where);
    EXPECT_FALSE(db->getStoredFileLocation("p1@h", 79, where));
    EXPECT_EQ("/s/second'", where);  // untouched

    // An existing row updated, a new one added, a file repeated: last wins.
    const std::vector<BackupDB::StoredFile> files = {
        {77, "/s/new", "c2"}, {78, oddText(), "c3"}, {78, "/s/again", "c4"}};
    ASSERT_TRUE(db->updateStoredFiles(10, "p1@h", 1, files));
    EXPECT_EQ(3, db->scalar("select count(*) from BACKUP_STORED_FILES;"));
    ASSERT_TRUE(db->getStoredFileChecksum("p1@h", 10, 77, sum));
    EXPECT_EQ("c2", sum);
    ASSERT_TRUE(db->getStoredFileLocation("p1@h", 78, where));
    EXPECT_EQ("/s/again", where);
    ASSERT_TRUE(db->getStoredFileChecksum("p2@h", 10, 77, sum));
    EXPECT_EQ("x", sum);
    EXPECT_EQ(2, db->scalar("select count(*) from BACKUP_STORED_FILES where LOCALRECID=1;"));

    // A row that cannot be written leaves none of the batch written.
    db->conn().ExecuteUpdate(
        "CREATE TRIGGER refuse BEFORE INSERT ON BACKUP_STORED_FILES WHEN NEW.CHECKSUM='bad' "
        "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    EXPECT_FALSE(
        db->updateStoredFiles(10, "p1@h", 1, {{77, "/s/third", "c5"}, {79, "/s/b", "bad"}}));
    ASSERT_TRUE(db->getStoredFileChecksum("p1@h", 10, 77, sum));
    EXPECT_EQ("c2", sum);
    EXPECT_TRUE(db->updateStoredFiles(10, "p1@h", 1, {}));

    ASSERT_TRUE(db->deleteStoredFiles(1));
    EXPECT_FALSE(db->getStoredFileChecksum("p1@h", 10, 77, sum));
    EXPECT_TRUE(db->getStoredFileChecksum("p2@h", 10, 77, sum));
}
