// The source index after many files came and went: its pages compacted
// without losing a row, an id or the order a scan reads them in.

#include <Poco/File.h>

#include <cstdio>
#include <tuple>
#include <vector>

#include "DbFixture.h"

using namespace DbTest;
using Orvana::Backup::BackupDB;

namespace {

typedef std::tuple<int, std::string, std::string, int, Poco::Int64> Row;

std::string pathOf(int i) {
    char buf[80];
    std::snprintf(buf, sizeof buf, "/home/user/folder%02d/a file with a longer name %06d", i % 37,
                  i);
    return buf;
}

}  // namespace

class BackupDBSourceIndexCompact : public DbTestBase {
protected:
    // Rows of both records, every other one in record 2, flushed as a pass would.
    void fill(int count) {
        BackupDB::SourceRecordMap one, two;
        for (int i = 0; i < count; ++i) {
            BackupDB::SourceRecordPtr r(new BackupDB::SOURCE_RECORD);
            r->recId = i % 2 ? 2 : 1;
            r->file = pathOf(i);
            r->checksum = "sum " + std::to_string(i);
            r->fileSize = i;
            r->isNew = true;
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

TEST_F(BackupDBSourceIndexCompact, FlushThatLeavesPagesHalfEmptyCompactsKeepingEveryRow) {
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

TEST_F(BackupDBSourceIndexCompact, LeavesSmallTablesAndOpenTransactionsAlone) {
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
