// Opening the database: first start, version repair, legacy file, missing
// tables, unusable files and folders, and the configuration store.

#include <Poco/File.h>

#include "DbFixture.h"
#include "hostapi/HostControl.h"
#include "support/LogCapture.h"

using namespace DbTest;
using Orvana::Backup::BackupDB;
using TestSupport::LogCapture;

namespace {
const char* kTables[] = {
    "BACKUP_RECORDS",  "BACKUP_SOURCE_FILES",     "ENABLED_GROUPS",      "DISABLED_GROUPS",
    "BACKUP_ACTIVITY", "BACKUP_INCOMING_RECORDS", "BACKUP_STORED_FILES", "VERSION",
    "PLUGIN_CONFIG"};
}

class BackupDBReopen : public DbTestBase {};

// The first start makes the folder, the tables and the version; at the next
// start a wrong or missing version is written anew.
TEST_F(BackupDBReopen, FirstStartMakesTheSchemaAndAWrongOrMissingVersionIsRewritten) {
    EXPECT_EQ(profile.databasePath(), BackupDB::databasePath());
    for (const char* table : kTables) EXPECT_TRUE(db->conn().TableExists(table)) << table;
    EXPECT_EQ(1, db->scalar("select count(*) from VERSION;"));
    std::string status = "x", notes = "x";
    EXPECT_EQ(3, db->getVersion(status, notes));
    EXPECT_EQ("OK", status);
    for (const char* change : {"update VERSION set VERSIONID=2;", "update VERSION set VERSIONID=4;",
                               "delete from VERSION;"}) {
        db->conn().ExecuteUpdate(change);
        db->conn().ExecuteUpdate("update VERSION set NOTES='old';");
        reopen();
        EXPECT_EQ(3, db->getVersion(status, notes)) << change;
        EXPECT_EQ("", notes) << change;
        EXPECT_EQ(1, db->scalar("select count(*) from VERSION;")) << change;
    }
}

TEST_F(BackupDBReopen, KeepsRowsAndConfigDeletesLegacyFileRecreatesMissingTable) {
    int id = 0;
    ASSERT_TRUE(db->addBackupRecord("peer@host", 0, 1, "/src", "/dst", "", 0, 0, 0, id));
    ASSERT_TRUE(db->addActivity(id, 0, "kept"));
    db->conn().ExecuteUpdate("DROP TABLE BACKUP_SOURCE_FILES;");
    const std::string legacy = profile.root() + "/plugindata/backup/backup.db";
    TestSupport::writeFile(legacy, "old contents");
    EXPECT_EQ("NONE", db->getConfigValue("backup", "CUSTOM_DIR_SET", "NONE"));
    db->setConfigValue("backup", "CUSTOM_DIR_SET", "TRUE");
    db->setConfigValue("backup", "CUSTOM_DIR_SET", "FALSE");
    // A folder path is stored as given: stripping characters would move the backups.
    const std::string folder = "/home/o'brien/Tom & Jerry's 100% backups";
    db->setConfigValue("backup", "BACKUP_DEF_STORE_KEY", folder);
    reopen();
    EXPECT_FALSE(Poco::File(legacy).exists());
    EXPECT_TRUE(db->conn().TableExists("BACKUP_SOURCE_FILES"));
    EXPECT_EQ("/src", db->text("select LOCALPATH from BACKUP_RECORDS;"));
    EXPECT_EQ(1, db->scalar("select count(*) from BACKUP_ACTIVITY;"));
    EXPECT_EQ("FALSE", db->getConfigValue("backup", "CUSTOM_DIR_SET", "NONE"));
    EXPECT_EQ(2, db->scalar("select count(*) from PLUGIN_CONFIG;"));
    EXPECT_EQ(folder, db->getConfigValue("backup", "BACKUP_DEF_STORE_KEY", "NONE"));
}

// What an older file lacks is added on opening; its version stays.
TEST_F(BackupDBReopen, OlderFileGainsTheTablesAndIndexItLacks) {
    for (const std::string name :
         {"BACKUP_RUNS", "BACKUP_RECORD_SETTINGS", "BACKUP_SOURCE_FILES_RECID_FILE"}) {
        const std::string where = " from sqlite_master where name='" + name + "';";
        db->conn().ExecuteUpdate("DROP " + db->text("select type" + where) + " " + name + ";");
        reopen();
        EXPECT_EQ(1, db->scalar("select count(*)" + where)) << name;
        std::string status, notes;
        EXPECT_EQ(3, db->getVersion(status, notes)) << name;
    }
}

// A file that is no database, or a folder that cannot be made: the object is
// invalid, every operation fails quietly, and what was there stays.
TEST(BackupDBOpen, UnusableFileOrFolderLeavesObjectInvalidAndItUntouched) {
    std::string garbage;
    for (int i = 0; i < 4096; ++i) garbage += static_cast<char>((i * 7919 + 13) % 251);
    for (bool folder : {false, true}) {
        TestSupport::TestProfile profile;
        LogCapture log;
        std::string path = profile.databasePath();
        if (folder) {
            path = profile.scratch("x") + "/plain-file";
            Orvana::HostKit::HostControl::setProfileUserDataDir(path);
        }
        TestSupport::writeFile(path, garbage);
        std::unique_ptr<BackupDB> db;
        ASSERT_NO_THROW(db.reset(new BackupDB("backup")));
        EXPECT_FALSE(db->isValid());
        EXPECT_EQ("d", db->getConfigValue("backup", "CUSTOM_DIR_SET", "d"));
        db->setConfigValue("backup", "CUSTOM_DIR_SET", "TRUE");
        EXPECT_FALSE(db->addActivity(1, 0, "x"));
        BackupDB::SourceRecordMap map;
        db->flushSourceRecords(1, map);
        EXPECT_FALSE(db->setSourceFilesSynced({1, 2}));
        db.reset();
        EXPECT_EQ(garbage, TestSupport::readFile(path)) << folder;
    }
}
