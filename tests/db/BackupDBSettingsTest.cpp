// Per-record settings: stored per record, defaults without rows, gone with
// the record, and a table that older files gain on their first open.
#include "DbFixture.h"

namespace DbTest {
namespace {

typedef Orvana::Backup::BackupDB::RECORD_SETTINGS Settings;

class BackupDBSettingsTest : public DbTestBase {};

TEST_F(BackupDBSettingsTest, SettingsRoundTripPerRecordAndGoWithTheRecord) {
    int a = 0, b = 0;
    ASSERT_TRUE(db->addBackupRecord("me@h", 0, 1, "/a", "/s", "", 0, -1, -1, a));
    ASSERT_TRUE(db->addBackupRecord("me@h", 0, 1, "/b", "/s", "", 0, -1, -1, b));

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

TEST_F(BackupDBSettingsTest, AnOlderFileGainsTheTable) {
    db->conn().ExecuteUpdate("DROP TABLE BACKUP_RECORD_SETTINGS;");
    reopen();
    Settings written;
    written.exclude = {"*.tmp"};
    ASSERT_TRUE(db->setRecordSettings(1, written));
    Settings read;
    ASSERT_TRUE(db->getRecordSettings(1, read));
    EXPECT_EQ(written.exclude, read.exclude);
}

}  // namespace
}  // namespace DbTest
