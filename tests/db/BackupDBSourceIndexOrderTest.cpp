// The source index at scale: its SQL index on older files, loading in path
// order, and rows deleted by a flush.

#include "DbFixture.h"

using namespace DbTest;
using Orvana::Backup::BackupDB;

namespace {
const char* kIndexCount =
    "select count(*) from sqlite_master where type='index' and "
    "name='BACKUP_SOURCE_FILES_RECID_FILE';";
}

class BackupDBSourceIndexOrder : public DbTestBase {
protected:
    void insert(int recId, const std::string& file, const std::string& sum) {
        wxSQLite3Statement st = db->conn().PrepareStatement(
            "insert into BACKUP_SOURCE_FILES (RECID, FILE, LASTMODIFIEDTIME, CHECKSUM, SYNCED) "
            "values (?, ?, 5000, ?, 1);");
        st.Bind(1, recId);
        st.Bind(2, file);
        st.Bind(3, sum);
        st.ExecuteUpdate();
        st.Finalize();
    }
};

TEST_F(BackupDBSourceIndexOrder, FileWithoutTheIndexGetsItAndKeepsItsVersion) {
    EXPECT_EQ(1, db->scalar(kIndexCount));
    insert(1, "/a", "x");
    db->conn().ExecuteUpdate("DROP INDEX BACKUP_SOURCE_FILES_RECID_FILE;");
    reopen();
    EXPECT_EQ(1, db->scalar(kIndexCount));
    std::string status, notes;
    EXPECT_EQ(3, db->getVersion(status, notes));
    EXPECT_EQ(1, db->scalar("select count(*) from BACKUP_SOURCE_FILES;"));
    reopen();  // a second open finds it there
    EXPECT_EQ(1, db->scalar(kIndexCount));
}

TEST_F(BackupDBSourceIndexOrder, LoadMatchesEveryRowWhateverItsBytes) {
    // Bytes above 0x7f sort after ASCII byte-wise, as std::string does; a
    // signed or locale order would put them first. '.' and '0' sit on
    // either side of '/'.
    const std::vector<std::string> files = {"/d/\xc3\xa9", "/d/z",     "/d.x",  "/d/sub/a",
                                            "/d0",         "/d/sub.b", "/D/up", "/d/\x7f"};
    for (const std::string& f : files) insert(1, f, "sum of " + f);
    // An older file may hold two rows of a path: the newer one counts.
    insert(1, "/d/z", "newer");
    insert(2, "/d/z", "other record");

    BackupDB::SourceRecordMap map;
    ASSERT_TRUE(db->getSourceRecords(1, map));
    ASSERT_EQ(files.size(), map.size());
    for (const std::string& f : files) {
        ASSERT_EQ(1u, map.count(f)) << f;
        EXPECT_EQ(f, map.at(f)->file);
        EXPECT_EQ(1, map.at(f)->recId);
        EXPECT_FALSE(map.at(f)->isNew);
        EXPECT_EQ(1, map.at(f)->synced);
        EXPECT_EQ(5000, map.at(f)->lastModifiedTime.utcTime());
        if (f != "/d/z") {
            EXPECT_EQ("sum of " + f, map.at(f)->checksum);
        }
    }
    EXPECT_EQ("newer", map.at("/d/z")->checksum);
}

TEST_F(BackupDBSourceIndexOrder, FlushDeletesGivenRowsOfItsRecordOnly) {
    insert(1, "/keep", "k");
    insert(1, "/gone", "g");
    insert(2, "/theirs", "t");
    const int gone = db->scalar("select ID from BACKUP_SOURCE_FILES where FILE='/gone';");
    const int theirs = db->scalar("select ID from BACKUP_SOURCE_FILES where FILE='/theirs';");
    BackupDB::SourceRecordMap none;
    ASSERT_TRUE(db->flushSourceRecords(1, none, {gone, theirs}));
    EXPECT_EQ(0, db->scalar("select count(*) from BACKUP_SOURCE_FILES where FILE='/gone';"));
    EXPECT_EQ(1, db->scalar("select count(*) from BACKUP_SOURCE_FILES where FILE='/keep';"));
    EXPECT_EQ(1, db->scalar("select count(*) from BACKUP_SOURCE_FILES where FILE='/theirs';"));
}
