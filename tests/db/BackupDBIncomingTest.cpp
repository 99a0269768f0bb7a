// Incoming backups and stored files.

#include "DbFixture.h"

using namespace DbTest;
using Orvana::Backup::BackupDB;

class BackupDBIncoming : public DbTestBase {};

TEST_F(BackupDBIncoming, IncomingRecordWrittenOncePerRecordAndPeer) {
    // What the local copy does on each run.
    auto localCopy = [&](int recId, const std::string& peer) {
        if (!db->incomingRecordExists(recId, peer)) {
            ASSERT_TRUE(db->addIncomingRecord(recId, "", peer, oddText(), "/store/" + peer, 1234));
        }
    };
    localCopy(5, "me@myhost");
    localCopy(5, "me@myhost");
    localCopy(5, "other@host");
    EXPECT_EQ(2, db->scalar("select count(*) from BACKUP_INCOMING_RECORDS;"));

    BackupDB::INC_RECORD rec;
    ASSERT_TRUE(db->getIncomingRecord(5, "me@myhost", rec));
    EXPECT_EQ(oddText(), rec.sourceLocation);
    EXPECT_EQ("/store/me@myhost", rec.storedLocation);
    EXPECT_EQ(Poco::Timestamp::fromUtcTime(1234), rec.createTime);
    int id = -1;
    ASSERT_TRUE(db->getIncomingRecordId(5, "other@host", id));
    std::vector<BackupDB::IncRecordPtr> list;
    ASSERT_TRUE(db->getIncomingRecords(list));
    ASSERT_EQ(2u, list.size());
    EXPECT_EQ(id, list.front()->id);
    ASSERT_TRUE(db->deleteIncomingRecord(id));
    ASSERT_TRUE(db->getIncomingRecordsForPeer("other@host", list));
    EXPECT_TRUE(list.empty());
}

TEST_F(BackupDBIncoming, StoredLocationOwnership) {
    EXPECT_TRUE(db->canUseStoredLocation("/src", "/free", "me@myhost"));
    ASSERT_TRUE(db->addIncomingRecord(1, "", "me@myhost", "/src", "/taken", 0));
    EXPECT_TRUE(db->canUseStoredLocation("/src", "/taken", "me@myhost"));
    EXPECT_FALSE(db->canUseStoredLocation("/other", "/taken", "me@myhost"));
    EXPECT_FALSE(db->canUseStoredLocation("/src", "/taken", "you@host"));
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
    ASSERT_TRUE(db->getStoredFileLocation("p2@h", 77, where));
    EXPECT_EQ("/s/p2", where);
    where = "unchanged";
    EXPECT_FALSE(db->getStoredFileLocation("p1@h", 78, where));
    EXPECT_EQ("unchanged", where);

    // Deleted by the local record id they were stored under.
    ASSERT_TRUE(db->deleteStoredFiles(1));
    EXPECT_FALSE(db->getStoredFileChecksum("p1@h", 10, 77, sum));
    EXPECT_TRUE(db->getStoredFileChecksum("p2@h", 10, 77, sum));
}
