// The source file index: load, flush, failed flush.

#include "DbFixture.h"

using namespace DbTest;
using Orvana::Backup::BackupDB;

namespace {
BackupDB::SourceRecordPtr entry(int recId, const std::string& file, const std::string& sum,
                                Poco::Int64 micros) {
    BackupDB::SourceRecordPtr r(new BackupDB::SOURCE_RECORD);
    r->recId = recId;
    r->file = file;
    r->checksum = sum;
    r->lastModifiedTime = Poco::Timestamp(micros);
    r->isNew = true;
    return r;
}

void put(BackupDB::SourceRecordMap& map, const BackupDB::SourceRecordPtr& r) { map[r->file] = r; }
}  // namespace

class BackupDBSourceIndex : public DbTestBase {};

TEST_F(BackupDBSourceIndex, FlushInsertsNewUpdatesLoadedAndSparesOtherRecords) {
    BackupDB::SourceRecordMap map;
    put(map, entry(1, "/same/path", "aaa", 1000));
    put(map, entry(1, "/gone", "ggg", 2000));
    db->flushSourceRecords(1, map);
    map.clear();
    put(map, entry(2, "/same/path", "other", 3000));
    db->flushSourceRecords(2, map);
    map.clear();

    db->getSourceRecords(1, map);
    ASSERT_EQ(2u, map.size());
    const int sameId = map["/same/path"]->id;
    EXPECT_FALSE(map["/same/path"]->isNew);
    EXPECT_EQ(1000, map["/same/path"]->lastModifiedTime.epochMicroseconds());

    // Change one loaded entry, leave one untouched, add one.
    map["/same/path"]->checksum = "bbb";
    map["/same/path"]->lastModifiedTime = Poco::Timestamp(1500);
    map["/same/path"]->synced = 1;
    put(map, entry(1, oddText(), "odd", 4000));
    db->flushSourceRecords(1, map);
    map.clear();

    db->getSourceRecords(1, map);
    ASSERT_EQ(3u, map.size());
    EXPECT_EQ(sameId, map["/same/path"]->id);
    EXPECT_EQ("bbb", map["/same/path"]->checksum);
    EXPECT_EQ(1500, map["/same/path"]->lastModifiedTime.epochMicroseconds());
    EXPECT_EQ(1, map["/same/path"]->synced);
    EXPECT_EQ("ggg", map["/gone"]->checksum);
    EXPECT_EQ("odd", map.at(oddText())->checksum);
    for (const auto& kv : map) EXPECT_FALSE(kv.second->isNew);
    EXPECT_EQ(4, db->scalar("select count(*) from BACKUP_SOURCE_FILES;"));

    EXPECT_EQ("other", db->text("select CHECKSUM from BACKUP_SOURCE_FILES where RECID=2;"));
}

TEST_F(BackupDBSourceIndex, FailedFlushRollsBackWholeBatch) {
    BackupDB::SourceRecordMap map;
    put(map, entry(1, "/z-loaded", "old", 1000));
    db->flushSourceRecords(1, map);
    map.clear();
    db->getSourceRecords(1, map);
    db->conn().ExecuteUpdate(
        "CREATE TRIGGER fail_flush BEFORE UPDATE ON BACKUP_SOURCE_FILES "
        "WHEN NEW.CHECKSUM='boom' BEGIN SELECT RAISE(ABORT, 'refused'); END;");

    // "/a-new" is inserted before the update of "/z-loaded" fails.
    put(map, entry(1, "/a-new", "new", 2000));
    map["/z-loaded"]->checksum = "boom";
    db->flushSourceRecords(1, map);

    EXPECT_TRUE(db->conn().GetAutoCommit());
    EXPECT_EQ(1, db->scalar("PRAGMA synchronous;"));
    EXPECT_EQ(0, db->scalar("select count(*) from BACKUP_SOURCE_FILES where FILE='/a-new';"));
    EXPECT_EQ("old", db->text("select CHECKSUM from BACKUP_SOURCE_FILES where FILE='/z-loaded';"));

    // The connection is usable afterwards.
    db->conn().ExecuteUpdate("DROP TRIGGER fail_flush;");
    db->flushSourceRecords(1, map);
    EXPECT_EQ(2, db->scalar("select count(*) from BACKUP_SOURCE_FILES;"));
}

// Without a write-ahead log a connection runs at FULL; a flush turns syncing
// off for its batch and must give FULL back, not NORMAL, which can leave a
// corrupt file after a power cut with the rollback journal.
TEST_F(BackupDBSourceIndex, FlushWithoutTheLogKeepsFullSyncs) {
    struct NoLog : BackupDB {
        NoLog() : BackupDB("backup", "") {}  // a private temporary file: no log
        int pragma(const char* sql) { return m_db->ExecuteScalar(sql); }
    } db;
    ASSERT_TRUE(db.isValid());
    ASSERT_EQ(2, db.pragma("PRAGMA synchronous;"));
    BackupDB::SourceRecordMap map;
    put(map, entry(1, "/a", "sum", 1000));
    ASSERT_TRUE(db.flushSourceRecords(1, map));
    EXPECT_EQ(2, db.pragma("PRAGMA synchronous;"));
    EXPECT_EQ(1, db.pragma("select count(*) from BACKUP_SOURCE_FILES;"));
}
