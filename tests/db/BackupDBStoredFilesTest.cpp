// The rows of a commit's stored files, written in one transaction.

#include "DbFixture.h"

using namespace DbTest;
using Orvana::Backup::BackupDB;

class BackupDBStoredFiles : public DbTestBase {};

TEST_F(BackupDBStoredFiles, ACommitsRowsAreWrittenTogether) {
    ASSERT_TRUE(db->updateStoredFile(10, "p1@h", 1, 77, "/s/old", "c0"));
    ASSERT_TRUE(db->updateStoredFile(10, "p2@h", 2, 77, "/s/p2", "x"));
    // An existing row updated, a new one added, a file repeated: last wins.
    const std::vector<BackupDB::StoredFile> files = {
        {77, "/s/new", "c1"}, {78, oddText(), "c2"}, {78, "/s/again", "c3"}};
    ASSERT_TRUE(db->updateStoredFiles(10, "p1@h", 1, files));
    EXPECT_EQ(3, db->scalar("select count(*) from BACKUP_STORED_FILES;"));
    std::string sum, where;
    ASSERT_TRUE(db->getStoredFileChecksum("p1@h", 10, 77, sum));
    EXPECT_EQ("c1", sum);
    ASSERT_TRUE(db->getStoredFileLocation("p1@h", 78, where));
    EXPECT_EQ("/s/again", where);
    ASSERT_TRUE(db->getStoredFileChecksum("p2@h", 10, 77, sum));
    EXPECT_EQ("x", sum);
    // The new rows keep the local record id they are deleted by.
    EXPECT_EQ(2, db->scalar("select count(*) from BACKUP_STORED_FILES where LOCALRECID=1;"));

    // A row that cannot be written leaves none of the batch written.
    db->conn().ExecuteUpdate(
        "CREATE TRIGGER refuse BEFORE INSERT ON BACKUP_STORED_FILES WHEN NEW.CHECKSUM='bad' "
        "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    EXPECT_FALSE(
        db->updateStoredFiles(10, "p1@h", 1, {{77, "/s/third", "c4"}, {79, "/s/b", "bad"}}));
    ASSERT_TRUE(db->getStoredFileChecksum("p1@h", 10, 77, sum));
    EXPECT_EQ("c1", sum);
    EXPECT_TRUE(db->updateStoredFiles(10, "p1@h", 1, {}));
}
