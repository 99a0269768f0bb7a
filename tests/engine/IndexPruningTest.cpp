// The index follows the source: rows of files and folders gone from a folder
// that was listed whole are deleted, every other row stays. The scan reads the rows
// in byte order of their paths while it walks, so names that sort around
// '/' must still meet their own rows. Last, that reading itself: the index as
// a stream in path order, a chunk at a time.

#include <cerrno>
#include <cstdio>
#include <set>

#include "EngineFixture.h"
#include "engine/SourceIndexCursor.h"

namespace EngineTest {
namespace {

using Orvana::Backup::SourceIndexCursor;

class IndexPruningTest : public EngineTestBase {
protected:
    // Writes the files (paths under src + "/Docs", each holding its own
    // name), backs the folder up once and checks that each got its row.
    int backedUp(const std::vector<std::string>& files) {
        for (const std::string& file : files) writeFile(src + "/Docs/" + file, file);
        const int id = addRecord(false, src + "/Docs", dst);
        runPass(id);
        EXPECT_EQ(int(files.size()), rows(id));
        EXPECT_EQ(int(files.size()), syncedRows(id));
        return id;
    }
};

TEST_F(IndexPruningTest, NamesThatSortAroundTheSlashMeetTheirRows) {
    // "c.txt" sorts before the folder "c" ("c/"), "b" before "b-c/", and
    // bytes below '/' and above 0x7f on either side of it.
    const std::vector<std::string> files = {
        "a b",   "a-b",   "a.b", "a/x",     "a/y z", "a0",   "ab",       "b",
        "b-c/x", "c.txt", "c/d", "c/d.e/f", "c/d0",  "\x01", "\xc3\xa9", "\xc3\xa9t\xc3\xa9/x",
        "z\x7f", "z\xff"};
    const int id = backedUp(files);

    // Every row met: no file looks new, nothing is copied, no second row.
    runPass(id);
    EXPECT_EQ("0:No change detected, Nothing to backup", activities(id).back());
    EXPECT_EQ(int(files.size()), rows(id));

    std::set<std::string> gone = {"a/x", "c.txt", "c/d0", "\xc3\xa9", "b"};
    for (const std::string& file : gone) remove(docs(file));
    writeFile(docs("a-c"), "new");
    runPass(id);
    for (const std::string& file : files)
        EXPECT_EQ(!gone.count(file), hasRow(id, docs(file))) << file;
    EXPECT_TRUE(hasRow(id, docs("a-c")));
    EXPECT_EQ(int(files.size() - gone.size() + 1), rows(id));
    EXPECT_EQ(rows(id), syncedRows(id));
}

TEST_F(IndexPruningTest, RowsOfADeletedFolderGoAndTheIndexMatchesTheLiveFiles) {
    // 500 files in nested folders, beside names that sort around the
    // folder's: "big" must not take "big-x", "big.txt" or "big0" along.
    std::vector<std::string> files = {"big-x/a", "big.txt", "big0", "keep/a"};
    for (int n = 0; n < 500; ++n)
        files.push_back("big/" + std::to_string(n % 7) + "/deep/f" + std::to_string(n));
    const int id = backedUp(files);

    remove(docs("big"));
    runPass(id);
    std::set<std::string> live;
    for (const auto& entry : TestSupport::snapshotTree(src + "/Docs"))
        if (entry.second.kind == 'f') live.insert(docs(entry.first));
    std::set<std::string> indexed;
    wxSQLite3ResultSet rs = db->conn().ExecuteQuery(
        "select FILE from BACKUP_SOURCE_FILES where RECID=" + std::to_string(id));
    while (rs.NextRow()) indexed.insert(rs.GetStdString(0));
    rs.Finalize();
    EXPECT_EQ(live, indexed);
    EXPECT_EQ(4, rows(id));

    // A folder that is not listed (its parent failed) keeps what is under it.
    remove(docs("keep/a"));
    writeFile(docs("keep/sub/b"), "b");
    runPass(id);
    remove(docs("keep/sub"));
    EngineHooks::setScanFault([&](EngineHooks::ScanStep step, const std::string& path) {
        return step == EngineHooks::LIST_FOLDER && path == docs("keep") ? EIO : 0;
    });
    runPass(id);
    EngineHooks::clear();
    EXPECT_TRUE(hasRow(id, docs("keep/sub/b")));
    runPass(id);
    EXPECT_FALSE(hasRow(id, docs("keep/sub/b")));
    EXPECT_EQ(3, rows(id));
}

TEST_F(IndexPruningTest, IndexThatFailsInMidWalkWritesAndCopiesNothing) {
    const int id = backedUp({"z"});
    // Rows that fill the first chunk of the index read, then "z" in the next.
    db->conn().ExecuteUpdate("BEGIN;");
    for (int n = 0; n < SourceIndexCursor::CHUNK_ROWS + 4; ++n) {
        db->conn().ExecuteUpdate(
            "insert into BACKUP_SOURCE_FILES (RECID, FILE, LASTMODIFIEDTIME, "
            "CHECKSUM, SYNCED) values (" +
            std::to_string(id) + ", '" + docs("a" + std::to_string(n)) + "', 5, '', 1);");
    }
    db->conn().ExecuteUpdate("COMMIT;");
    const int before = rows(id);
    changeFile(docs("z"), "changed", 60);
    EngineHooks::setScanFault([&](EngineHooks::ScanStep step, const std::string& path) {
        if (step == EngineHooks::STAT_ENTRY && path == docs("z"))
            db->conn().ExecuteUpdate("ALTER TABLE BACKUP_SOURCE_FILES RENAME TO HIDDEN;");
        if (step == EngineHooks::INDEX_FLUSH)
            db->conn().ExecuteUpdate("ALTER TABLE HIDDEN RENAME TO BACKUP_SOURCE_FILES;");
        return 0;
    });
    runPass(id);
    EngineHooks::clear();
    // Unread rows are no proof that files are gone, nor "z" new.
    EXPECT_EQ(before, rows(id));
    EXPECT_EQ("z", readFile(dst + "/Docs/z"));
    EXPECT_EQ(failed(src + "/Docs"), activities(id).back());
}

class SourceIndexCursorTest : public EngineTestBase {
protected:
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
    for (int n = 0; n < rows; ++n) ids.push_back(insertIndexRow(1, name(n)));
    // A second row of the path that ends the first chunk: its newer row is
    // the first of the next one.
    const int last = SourceIndexCursor::CHUNK_ROWS - 1;
    const int newer = insertIndexRow(1, name(last));
    // Outside the range or of another record: never read.
    for (const char* file : {"/r", "/r.x", "/r0", "/q/f00001"}) insertIndexRow(1, file);
    insertIndexRow(2, name(5));
    insertIndexRow(1, "/r/sub/x");
    insertIndexRow(1, "/r//x");  // names no entry a listing could hold
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

}  // namespace
}  // namespace EngineTest
