// The index read as a stream in path order, a chunk at a time.
#include <cstdio>
#include <string>
#include <vector>

#include "EngineFixture.h"
#include "engine/SourceIndexCursor.h"

namespace EngineTest {
namespace {

using Orvana::Backup::SourceIndexCursor;

class SourceIndexCursorTest : public EngineTestBase {
protected:
    int insert(int recId, const std::string& file) {
        wxSQLite3Statement add = db->conn().PrepareStatement(
            "insert into BACKUP_SOURCE_FILES (RECID, FILE, LASTMODIFIEDTIME, CHECKSUM, SYNCED) "
            "values (?, ?, 1, '', 1);");
        add.Bind(1, recId);
        add.Bind(2, file);
        add.ExecuteUpdate();
        return static_cast<int>(db->conn().GetLastRowId());
    }
    static std::string name(int n) {
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "/r/f%05d", n);
        return buffer;
    }
};

TEST_F(SourceIndexCursorTest, ReadsItsRangeInOrderAcrossChunks) {
    const int rows = SourceIndexCursor::CHUNK_ROWS + 100;
    db->conn().ExecuteUpdate("BEGIN;");
    std::vector<int> ids;
    for (int n = 0; n < rows; ++n) ids.push_back(insert(1, name(n)));
    // A second row of the path that ends the first chunk: its newer row is
    // the first of the next one.
    const int last = SourceIndexCursor::CHUNK_ROWS - 1;
    const int newer = insert(1, name(last));
    // Outside the range or of another record: never read.
    for (const char* file : {"/r", "/r.x", "/r0", "/q/f00001"}) insert(1, file);
    insert(2, name(5));
    insert(1, "/r/sub/x");
    db->conn().ExecuteUpdate("COMMIT;");

    SourceIndexCursor cursor = SourceIndexCursor::forSource(*db, 1, "/r", false);
    ASSERT_TRUE(cursor.start());
    SourceIndexCursor::Passed passed;
    std::vector<int>& missing = passed.files;
    // Rows passed on the way count as missing only when they are the
    // folder's own files.
    const Orvana::Backup::BackupDB::SOURCE_RECORD* row = cursor.find(name(3), "/r/", &passed);
    ASSERT_TRUE(row != nullptr);
    EXPECT_EQ(ids[3], row->id);
    EXPECT_EQ(std::vector<int>({ids[0], ids[1], ids[2]}), missing);
    EXPECT_TRUE(cursor.find("/r/f00003", "/r/", &passed) == nullptr);  // taken already

    missing.clear();
    row = cursor.find(name(last), "/r/", &passed);
    ASSERT_TRUE(row != nullptr);
    EXPECT_EQ(newer, row->id);
    EXPECT_EQ(size_t(last - 4), missing.size());

    missing.clear();
    cursor.skipTo("/r0", "/r/", &passed);
    EXPECT_EQ(size_t(rows - last - 1), missing.size());  // not "/r/sub/x"
    // ... whose subfolder is named instead, once.
    EXPECT_EQ(std::vector<std::string>({"/r/sub/"}), passed.folders);
    EXPECT_EQ(ids[last + 1], missing.front());
    EXPECT_EQ(ids.back(), missing.back());
    EXPECT_FALSE(cursor.failed());

    // A file record reads its own row only.
    SourceIndexCursor file = SourceIndexCursor::forSource(*db, 1, "/r", true);
    ASSERT_TRUE(file.start());
    row = file.find("/r", std::string(), nullptr);
    ASSERT_TRUE(row != nullptr);
    EXPECT_EQ("/r", row->file);
    missing.clear();
    file.skipTo("/s", "/", &passed);
    EXPECT_TRUE(missing.empty());
}

TEST_F(SourceIndexCursorTest, AChunkThatFailsToLoadIsReported) {
    SourceIndexCursor cursor = SourceIndexCursor::forSource(*db, 1, "/r", false);
    db->conn().ExecuteUpdate("ALTER TABLE BACKUP_SOURCE_FILES RENAME TO HIDDEN;");
    EXPECT_FALSE(cursor.start());
    EXPECT_TRUE(cursor.failed());
    EXPECT_TRUE(cursor.find("/r/a", "/r/", nullptr) == nullptr);
    db->conn().ExecuteUpdate("ALTER TABLE HIDDEN RENAME TO BACKUP_SOURCE_FILES;");
}

}  // namespace
}  // namespace EngineTest
