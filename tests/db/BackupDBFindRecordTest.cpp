// Looking a backup record up by id: a missing row must not read as a record.

#include "DbFixture.h"
#include "support/LogCapture.h"

using namespace DbTest;
using Orvana::Backup::BackupDB;

TEST_F(DbTestBase, FindBackupRecordNullWhenAbsentOrUnreadable) {
    int id = -1;
    ASSERT_TRUE(db->addBackupRecord("a@h", 0, 1, "/one", "/dst", "g1", 1, 2, 3, id));
    const BackupDB::BackupRecordPtr found = db->findBackupRecord(id);
    ASSERT_TRUE(found);
    EXPECT_EQ(id, found->id);
    EXPECT_EQ("/one", found->localPath);

    // Ids callers once preset as "not found" must not come back as records.
    EXPECT_FALSE(db->findBackupRecord(0));
    EXPECT_FALSE(db->findBackupRecord(-1));
    ASSERT_TRUE(db->deleteBackupRecord(id));
    EXPECT_FALSE(db->findBackupRecord(id));

    TestSupport::LogCapture log;
    db->conn().ExecuteUpdate("DROP TABLE BACKUP_RECORDS;");
    EXPECT_FALSE(db->findBackupRecord(id));
}
