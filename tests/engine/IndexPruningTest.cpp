// The index follows the source: rows of files and folders gone from a folder
// that was listed whole are deleted, every other row stays. The scan reads the rows
// in byte order of their paths while it walks, so names that sort around
// '/' must still meet their own rows.
#include <Poco/File.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <set>
#include <string>
#include <vector>

#include "EngineFixture.h"
#include "engine/SourceIndexCursor.h"
#include "support/TempDir.h"
#include "support/TreeSnapshot.h"

namespace EngineTest {
namespace {

using Orvana::Backup::EngineHooks;
using TestSupport::readFile;
using TestSupport::writeFile;

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

TEST_F(IndexPruningTest, DeletedFileLosesItsRowAndComesBackAsNew) {
    const int id = backedUp({"a", "sub/b", "sub/c", "gone/d"});

    // A file missing from a listed folder loses its row, and so does
    // everything under a folder missing from it.
    remove(src + "/Docs/sub/b");
    remove(src + "/Docs/gone");
    runPass(id);
    EXPECT_FALSE(hasRow(id, src + "/Docs/sub/b"));
    EXPECT_TRUE(hasRow(id, src + "/Docs/sub/c"));
    EXPECT_TRUE(hasRow(id, src + "/Docs/a"));
    EXPECT_FALSE(hasRow(id, src + "/Docs/gone/d"));
    EXPECT_EQ(2, rows(id));
    EXPECT_EQ(2, syncedRows(id));

    // Back with other content and the old time: new, so copied again.
    writeFile(src + "/Docs/sub/b", "b again");
    touch(src + "/Docs/sub/b", -3600);
    runPass(id);
    EXPECT_TRUE(hasRow(id, src + "/Docs/sub/b"));
    EXPECT_EQ(3, rows(id));
    EXPECT_EQ(3, syncedRows(id));
    EXPECT_EQ("b again", readFile(dst + "/Docs/sub/b"));
}

TEST_F(IndexPruningTest, FolderThatFailedToListKeepsItsRows) {
    const int id = backedUp({"sub/b", "sub/c", "other/d", "other/e"});

    remove(src + "/Docs/sub/b");
    remove(src + "/Docs/other/d");
    EngineHooks::setScanFault([&](EngineHooks::ScanStep step, const std::string& path) {
        return step == EngineHooks::LIST_FOLDER && path == src + "/Docs/sub" ? EIO : 0;
    });
    runPass(id);
    EngineHooks::clear();
    EXPECT_TRUE(hasRow(id, src + "/Docs/sub/b"));
    EXPECT_FALSE(hasRow(id, src + "/Docs/other/d"));
    EXPECT_EQ(3, rows(id));

    // Listed again, the folder loses the row too.
    runPass(id);
    EXPECT_FALSE(hasRow(id, src + "/Docs/sub/b"));
    EXPECT_EQ(2, rows(id));
}

TEST_F(IndexPruningTest, StoppedPassKeepsRowsOfFoldersItDidNotFinish) {
    // Only folders at the top: the first file looked at is in one of them,
    // and the walk stops there, before the other one is reached.
    const int id = backedUp({"x/1", "x/2", "x/3", "y/1", "y/2", "y/3"});

    remove(src + "/Docs/x/2");
    remove(src + "/Docs/y/2");
    std::atomic<bool> inScan(false), stopping(false);
    EngineHooks::setScanFault([&](EngineHooks::ScanStep step, const std::string&) {
        if (step == EngineHooks::STAT_ENTRY && !inScan.exchange(true)) {
            waitUntil([&] { return stopping.load(); }, 20000);
            // stop() sets the worker's flag first; give it that moment.
            ::usleep(200 * 1000);
        }
        return 0;
    });
    {
        BackupActivity worker(std::vector<BackupDB::BackupRecordPtr>(1, record(id)), "backup");
        worker.start();
        ASSERT_TRUE(waitUntil([&] { return inScan.load(); }));
        stopping = true;
        worker.stop();
    }
    EngineHooks::clear();
    EXPECT_TRUE(hasRow(id, src + "/Docs/x/2"));
    EXPECT_TRUE(hasRow(id, src + "/Docs/y/2"));
    EXPECT_EQ(6, rows(id));

    runPass(id);
    EXPECT_EQ(4, rows(id));
    EXPECT_EQ(4, syncedRows(id));
}

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

TEST_F(IndexPruningTest, FileThatBecameAFolderAndFolderThatBecameAFile) {
    const int id = backedUp({"x", "y/1", "y/2"});
    remove(docs("x"));
    writeFile(docs("x/1"), "now a folder");
    remove(docs("y"));
    writeFile(docs("y"), "now a file");
    runPass(id);
    // The file's row goes with its listed folder, and the rows under the
    // folder that is a file now go too.
    EXPECT_FALSE(hasRow(id, docs("x")));
    EXPECT_TRUE(hasRow(id, docs("x/1")));
    EXPECT_TRUE(hasRow(id, docs("y")));
    EXPECT_FALSE(hasRow(id, docs("y/1")));
    EXPECT_FALSE(hasRow(id, docs("y/2")));
    EXPECT_EQ(2, rows(id));
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

TEST_F(IndexPruningTest, RowsOutsideTheSourceAndOlderDuplicatesAreLeftAlone) {
    const int id = backedUp({"a", "b"});
    const std::string recId = std::to_string(id);
    // Paths next to the source's range on both sides, and an older row of
    // "b" (a lower ID) that says it was never copied.
    for (const std::string& file : {src + "/Docs", src + "/Docs-old/a", src + "/Docs.txt",
                                    src + "/Docs0/a", src + "/Doc", src + "/Docs//"}) {
        db->conn().ExecuteUpdate(
            "insert into BACKUP_SOURCE_FILES (RECID, FILE, "
            "LASTMODIFIEDTIME, CHECKSUM, SYNCED) values (" +
            recId + ", '" + file + "', 5, 'k', 1);");
    }
    db->conn().ExecuteUpdate(
        "insert into BACKUP_SOURCE_FILES (ID, RECID, FILE, LASTMODIFIEDTIME, "
        "CHECKSUM, SYNCED) values (-7, " +
        recId + ", '" + docs("b") + "', 5, '', 0);");
    auto others = [&] {
        return db->scalar("select count(*) from BACKUP_SOURCE_FILES where RECID=" + recId +
                          " and LASTMODIFIEDTIME=5");
    };
    ASSERT_EQ(7, others());

    // The newest row of "b" says it is backed up: nothing to copy.
    runPass(id);
    EXPECT_EQ("0:No change detected, Nothing to backup", activities(id).back());
    remove(docs("a"));
    remove(docs("b"));
    runPass(id);
    EXPECT_FALSE(hasRow(id, docs("a")));
    EXPECT_EQ(7, others());
    EXPECT_EQ(7, rows(id));
}

TEST_F(IndexPruningTest, IndexThatFailsInMidWalkWritesAndCopiesNothing) {
    const int id = backedUp({"z"});
    // Rows that fill the first chunk of the index read, then "z" in the next.
    db->conn().ExecuteUpdate("BEGIN;");
    for (int n = 0; n < Orvana::Backup::SourceIndexCursor::CHUNK_ROWS + 4; ++n) {
        db->conn().ExecuteUpdate(
            "insert into BACKUP_SOURCE_FILES (RECID, FILE, LASTMODIFIEDTIME, "
            "CHECKSUM, SYNCED) values (" +
            std::to_string(id) + ", '" + docs("a" + std::to_string(n)) + "', 5, '', 1);");
    }
    db->conn().ExecuteUpdate("COMMIT;");
    const int before = rows(id);
    writeFile(docs("z"), "changed");
    touch(docs("z"), 60);
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
    EXPECT_EQ("2:Backup of directory [" + src + "/Docs] failed.", activities(id).back());
}

}  // namespace
}  // namespace EngineTest
