// The source file index: load in path order, flush (rows deleted by it too),
// failed flush, and its pages compacted after many files came and went
// without losing a row, an id or the order a scan reads them in.

#include <Poco/File.h>

#include <cstdio>
#include <tuple>
#include <vector>

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

typedef std::tuple<int, std::string, std::string, int, Poco::Int64> Row;

std::string pathOf(int i) {
    char buf[80];
    std::snprintf(buf, sizeof buf, "/home/user/folder%02d/a file with a longer name %06d", i % 37,
                  i);
    return buf;
}

}  // namespace

class BackupDBSourceIndex : public DbTestBase {
protected:
    // Rows of both records, every other one in record 2, flushed as a pass would.
    void fill(int count) {
        BackupDB::SourceRecordMap one, two;
        for (int i = 0; i < count; ++i) {
            const int recId = i % 2 ? 2 : 1;
            BackupDB::SourceRecordPtr r = entry(recId, pathOf(i), "sum " + std::to_string(i), 0);
            r->fileSize = i;
            (i % 2 ? two : one)[r->file] = r;
        }
        ASSERT_TRUE(db->flushSourceRecords(1, one));
        ASSERT_TRUE(db->flushSourceRecords(2, two));
    }
    // A record's rows as the scan's cursor reads them: small chunks in path order.
    std::vector<Row> read(int recId) {
        std::vector<Row> out;
        std::vector<BackupDB::SOURCE_RECORD> chunk;
        std::string after = "/";
        int afterId = 0;
        do {
            EXPECT_TRUE(db->getSourceRecordsAfter(recId, after, afterId, "0", 500, chunk));
            for (const BackupDB::SOURCE_RECORD& r : chunk) {
                out.emplace_back(r.id, r.file, r.checksum, r.synced, r.fileSize);
                after = r.file;
                afterId = r.id;
            }
        } while (!chunk.empty());
        return out;
    }
    double slack() {
        long pages = 0;
        double unused = 0;
        EXPECT_TRUE(db->sourceIndexFill(pages, unused));
        return unused;
    }
};

TEST_F(BackupDBSourceIndex, FlushInsertsNewUpdatesLoadedDeletesGivenAndSparesOtherRecords) {
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

    // Rows given to delete go, those of the flushed record only.
    const int gone = map["/gone"]->id;
    const int theirs = db->scalar("select ID from BACKUP_SOURCE_FILES where RECID=2;");
    map.clear();
    ASSERT_TRUE(db->flushSourceRecords(1, map, {gone, theirs}));
    EXPECT_EQ(0, db->scalar("select count(*) from BACKUP_SOURCE_FILES where FILE='/gone';"));
    EXPECT_EQ(3, db->scalar("select count(*) from BACKUP_SOURCE_FILES;"));
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

TEST_F(BackupDBSourceIndex, FlushThatLeavesPagesHalfEmptyCompactsKeepingEveryRow) {
    fill(20000);
    long pages = 0;
    double unused = 0;
    ASSERT_TRUE(db->sourceIndexFill(pages, unused));
    ASSERT_GE(pages, BackupDB::COMPACT_MIN_PAGES);
    EXPECT_LT(unused, BackupDB::COMPACT_SLACK);

    // Every other row gone, spread over every page, as churn leaves them.
    db->conn().ExecuteUpdate("delete from BACKUP_SOURCE_FILES where ID % 2 = 0;");
    ASSERT_GT(slack(), BackupDB::COMPACT_SLACK);
    const std::vector<Row> before1 = read(1), before2 = read(2);
    ASSERT_EQ(10000u, before1.size() + before2.size());

    // A pass that removes one more file finds the table fragmented.
    const int gone = std::get<0>(before1.front());
    BackupDB::SourceRecordMap none;
    ASSERT_TRUE(db->flushSourceRecords(1, none, {gone}));
    EXPECT_LT(slack(), BackupDB::COMPACT_SLACK);
    long after = 0;
    ASSERT_TRUE(db->sourceIndexFill(after, unused));
    EXPECT_LT(after, pages * 3 / 4);
    // The rewrite went through the log: it must not stay at the file's size.
    Poco::File log(db->filePath() + "-wal");
    EXPECT_LT(log.exists() ? log.getSize() : 0, 64u * 1024);

    // The same rows with the same ids (other tables point at them), in the same order.
    std::vector<Row> expected1(before1.begin() + 1, before1.end());
    EXPECT_EQ(expected1, read(1));
    EXPECT_EQ(before2, read(2));
    BackupDB::SourceRecordMap map;
    ASSERT_TRUE(db->getSourceRecords(2, map));
    EXPECT_EQ(before2.size(), map.size());
}

TEST_F(BackupDBSourceIndex, LeavesSmallTablesAndOpenTransactionsAlone) {
    fill(600);
    db->conn().ExecuteUpdate("delete from BACKUP_SOURCE_FILES where ID % 2 = 0;");
    EXPECT_FALSE(db->compactSourceIndexIfFragmented());  // a few pages: not worth a rewrite

    fill(20000);
    db->conn().ExecuteUpdate("delete from BACKUP_SOURCE_FILES where ID % 2 = 0;");
    const double fragmented = slack();
    ASSERT_GT(fragmented, BackupDB::COMPACT_SLACK);
    // VACUUM would fail in a transaction, and must not end a caller's.
    db->conn().ExecuteUpdate("BEGIN;");
    EXPECT_FALSE(db->compactSourceIndexIfFragmented());
    EXPECT_FALSE(db->conn().GetAutoCommit());
    db->conn().ExecuteUpdate("COMMIT;");
    EXPECT_DOUBLE_EQ(fragmented, slack());

    EXPECT_TRUE(db->compactSourceIndexIfFragmented());
    EXPECT_LT(slack(), BackupDB::COMPACT_SLACK);
    EXPECT_FALSE(db->compactSourceIndexIfFragmented());  // nothing left to gain
}
