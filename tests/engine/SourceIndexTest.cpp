// The source index: its rows follow the source through passes, the scan reads
// them a chunk at a time (also ahead, on a thread of its own), and the change
// list of a large pass is kept on disk a chunk at a time.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <set>
#include <thread>

#include "EngineFixture.h"
#include "engine/ChangeSpool.h"
#include "engine/SourceIndexCursor.h"

namespace EngineTest {
namespace {

// Rows of files and folders gone from a folder that was listed whole are
// deleted, every other row stays; names that sort around '/' must still meet
// their own rows.
class IndexPruningTest : public EngineTestBase {
protected:
    // The files (paths under the "Docs" folder, each holding its own name),
    // backed up once.
    int backedUp(const std::vector<std::string>& files) {
        std::map<std::string, std::string> named;
        for (const std::string& file : files) named[file] = file;
        return backedUpDocs(named);
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
    for (const char* file : {"big-x/a", "big.txt", "big0", "keep/a"})
        EXPECT_TRUE(hasRow(id, docs(file))) << file;
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

// Deletions leave the index's pages part empty, and a read in path order
// then touches that many more: a pass that removes rows compacts a
// fragmented index, whoever's rows left it so.
TEST_F(IndexPruningTest, APassThatRemovesRowsCompactsAFragmentedIndex) {
    const int id = backedUp({"a", "b"});
    const int other = addRecord(false, src + "/Other", dst + "/Other");
    db->conn().ExecuteUpdate("BEGIN;");
    for (int n = 0; n < 20000; ++n) insertIndexRow(other, src + "/Other/f" + std::to_string(n));
    db->conn().ExecuteUpdate("COMMIT;");
    db->conn().ExecuteUpdate("delete from BACKUP_SOURCE_FILES where ID % 2 = 0;");
    long pages = 0;
    double unused = 0;
    ASSERT_TRUE(db->sourceIndexFill(pages, unused));
    ASSERT_GE(pages, BackupDB::COMPACT_MIN_PAGES);
    ASSERT_GT(unused, BackupDB::COMPACT_SLACK);

    remove(docs("a"));
    runPass(id);
    ASSERT_TRUE(db->sourceIndexFill(pages, unused));
    EXPECT_LT(unused, BackupDB::COMPACT_SLACK);
    EXPECT_EQ(10000, rows(other));
    EXPECT_EQ(1, rows(id));
}

class SourceIndexCursorTest : public EngineTestBase {
protected:
    static constexpr int CHUNK = SourceIndexCursor::CHUNK_ROWS;

    void TearDown() override {
        SourceIndexCursor::setReadAheadEnabled(true);
        EngineTestBase::TearDown();
    }
    static std::string name(int n, const std::string& folder = "/r") {
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "/f%05d", n);
        return folder + buffer;
    }
    // Rows of the files 0..count-1 under folder, written in one transaction; their ids.
    std::vector<int> indexed(int recId, int count, const std::string& folder = "/r") {
        db->conn().ExecuteUpdate("BEGIN;");
        std::vector<int> ids;
        for (int n = 0; n < count; ++n) ids.push_back(insertIndexRow(recId, name(n, folder)));
        db->conn().ExecuteUpdate("COMMIT;");
        return ids;
    }

    // What a walk learns from a cursor: the ids found, then the ids and
    // folders passed; empty when the read failed.
    std::pair<std::vector<int>, std::vector<std::string>> walk(int files) {
        SourceIndexCursor cursor = SourceIndexCursor::forSource(*db, 1, "/r", false);
        cursor.readAhead();
        cursor.start();
        std::vector<int> found;
        SourceIndexCursor::Passed passed;
        for (int n = 0; n < files; n += 3) {
            const auto* row = cursor.find(name(n), "/r/", &passed);
            found.push_back(row ? row->id : 0);
        }
        cursor.skipTo("/r0", "/r/", &passed);
        if (cursor.failed()) return {};
        found.insert(found.end(), passed.files.begin(), passed.files.end());
        return {found, passed.folders};
    }
};

TEST_F(SourceIndexCursorTest, ReadsItsRangeInOrderAcrossChunks) {
    const int rows = CHUNK + 100;
    const std::vector<int> ids = indexed(1, rows);
    // A second row of the path that ends the first chunk ("/r//x" below
    // comes first): its newer row is the first of the next one.
    const int last = CHUNK - 2;
    const int newer = insertIndexRow(1, name(last));
    // Outside the range or of another record: never read.
    for (const char* file : {"/r", "/r.x", "/r0", "/q/f00001"}) insertIndexRow(1, file);
    insertIndexRow(2, name(5));
    insertIndexRow(1, "/r/sub/x");
    insertIndexRow(1, "/r//x");  // names no entry a listing could hold

    SourceIndexCursor cursor = SourceIndexCursor::forSource(*db, 1, "/r", false);
    ASSERT_TRUE(cursor.start());
    SourceIndexCursor::Passed passed;
    std::vector<int>& missing = passed.files;
    // Rows passed on the way count as missing only when they are the
    // folder's own files.
    const BackupDB::SOURCE_RECORD* row = cursor.find(name(3), "/r/", &passed);
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

TEST_F(SourceIndexCursorTest, GivesTheRowsOfThePlainReadAcrossChunksAndSeveralRowsPerPath) {
    const int files = CHUNK * 6 + 37;
    std::vector<int> newest = indexed(1, files);
    // Newer rows of paths that end chunks read on either side of the hand
    // over, and of paths inside chunks: the newest one counts.
    for (int n : {CHUNK - 1, 2 * CHUNK - 1, 3 * CHUNK - 2, 4 * CHUNK, 5 * CHUNK - 3, 17, 9001})
        for (int copy = 0; copy < 2; ++copy) newest[n] = insertIndexRow(1, name(n));
    insertIndexRow(1, name(4 * CHUNK + 7) + "/deeper");  // a subfolder's row
    insertIndexRow(2, name(5));                          // another record's

    SourceIndexCursor::setReadAheadEnabled(false);
    const auto plain = walk(files);
    SourceIndexCursor::setReadAheadEnabled(true);
    const auto ahead = walk(files);
    ASSERT_EQ(size_t(files), plain.first.size());
    EXPECT_EQ(plain, ahead);
    for (int n = 0; n < files; n += 3) ASSERT_EQ(newest[n], ahead.first[n / 3]) << n;
}

// The index read fails in mid-walk, on the scan's thread (its table gone
// until the index is written) or ahead of it: the pass writes and copies
// nothing. Read whole, the same rows go and "z" is copied.
TEST_F(SourceIndexCursorTest, AFailedReadLeavesThePassConcludingNothing) {
    for (const bool ahead : {false, true}) {
        SCOPED_TRACE(ahead ? "read ahead" : "read on the scan's thread");
        const std::string folder = ahead ? "/Ahead" : "/Plain";
        writeFile(src + folder + "/z", "z");
        const int id = addRecord(false, src + folder, dst);
        runPass(id);
        // Rows of files gone from the source, enough to be read ahead; the
        // pass would delete them all, and "z" comes after them.
        indexed(id, CHUNK * 4, src + folder);
        const int before = rows(id);
        changeFile(src + folder + "/z", "changed", 60);

        std::atomic<int> reads(0);
        EngineHooks::setScanFault([&](EngineHooks::ScanStep step, const std::string& path) {
            if (ahead) return step == EngineHooks::INDEX_READ_AHEAD && ++reads == 2 ? EIO : 0;
            if (step == EngineHooks::STAT_ENTRY && path == src + folder + "/z")
                db->conn().ExecuteUpdate("ALTER TABLE BACKUP_SOURCE_FILES RENAME TO HIDDEN;");
            if (step == EngineHooks::INDEX_FLUSH)
                db->conn().ExecuteUpdate("ALTER TABLE HIDDEN RENAME TO BACKUP_SOURCE_FILES;");
            return 0;
        });
        runPass(id);
        EngineHooks::clear();
        EXPECT_EQ(ahead ? 2 : 0, reads.load());
        // Unread rows are no proof that files are gone, nor "z" new.
        EXPECT_EQ(before, rows(id));
        EXPECT_EQ("z", readFile(dst + folder + "/z"));
        EXPECT_EQ(failed(src + folder), activities(id).back());

        runPass(id);
        EXPECT_EQ(1, rows(id));
        EXPECT_EQ("changed", readFile(dst + folder + "/z"));
    }
}

TEST_F(SourceIndexCursorTest, ReadsABoundedWayAheadAndEndsWhileWaitingForRoom) {
    indexed(1, CHUNK * 12);
    std::atomic<int> reads(0);
    EngineHooks::setScanFault([&](EngineHooks::ScanStep step, const std::string&) {
        if (step == EngineHooks::INDEX_READ_AHEAD) ++reads;
        return 0;
    });
    std::unique_ptr<SourceIndexCursor> cursor(
        new SourceIndexCursor(SourceIndexCursor::forSource(*db, 1, "/r", false)));
    cursor->readAhead();
    ASSERT_TRUE(cursor->start());
    // The second chunk read on this thread starts the reader.
    ASSERT_TRUE(cursor->find(name(CHUNK + 1), "", nullptr) != nullptr);
    ASSERT_TRUE(waitUntil([&] { return reads.load() >= int(IndexReadAhead::MAX_CHUNKS_AHEAD); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(int(IndexReadAhead::MAX_CHUNKS_AHEAD), reads.load());
    // Each chunk taken (the third and the fourth) makes room for one more.
    ASSERT_TRUE(cursor->find(name(3 * CHUNK + 1), "", nullptr) != nullptr);
    ASSERT_TRUE(waitUntil([&] { return reads.load() > int(IndexReadAhead::MAX_CHUNKS_AHEAD); }));
    const auto start = std::chrono::steady_clock::now();
    cursor.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_LE(reads.load(), int(IndexReadAhead::MAX_CHUNKS_AHEAD) + 2);
}

TEST(ChangeSpoolTest, RowsComeBackInOrderWhileTheKeptOnesStay) {
    TempDir dir;
    const std::size_t CHUNK = ChangeSpool::CHUNK_ROWS;
    ChangeSpool spool(dir.path());
    const std::size_t total = 2 * CHUNK + 7;
    std::vector<BackupDB::FILERECORD> rows;
    for (std::size_t n = 0; n < total; ++n) {
        BackupDB::FILERECORD row;
        row.fileId = int(n) + 1;
        row.fileName = "f" + std::to_string(n);
        row.dirName = "/base";
        row.checksum = n % 2 ? std::string("crc\0x", 5) : std::string();
        row.fileSize = Poco::Int64(n) << 33;
        rows.push_back(row);
        if (rows.size() == 1000 || n + 1 == total) {
            spool.append(rows);
            rows.clear();
        }
    }
    EXPECT_EQ(total, spool.size());
    // The reader keeps the rows from the last released one on, across the
    // chunks it reads meanwhile.
    const std::size_t held = CHUNK - 3;
    for (std::size_t n = 0; n < total; ++n) {
        spool.release(held < n ? held : n);
        ASSERT_TRUE(spool.has(n));
        EXPECT_EQ(int(n) + 1, spool.at(n).fileId);
        EXPECT_EQ("f" + std::to_string(n), spool.at(n).fileName);
        EXPECT_EQ(Poco::Int64(n) << 33, spool.at(n).fileSize);
        EXPECT_EQ(n % 2 ? 5u : 0u, spool.at(n).checksum.size());
        if (n >= held) {
            EXPECT_EQ("f" + std::to_string(held), spool.at(held).fileName);
        }
    }
    EXPECT_FALSE(spool.has(total));
    // Nothing of it is left in the folder.
    EXPECT_TRUE(snapshot(dir.path()).empty());
}

class StreamedPassTest : public EngineTestBase {
protected:
    // Chunks of a few rows, so that a small tree spans several.
    static constexpr std::size_t CHUNK = 16;
    static constexpr int FOLDERS = 16;

    void SetUp() override {
        EngineTestBase::SetUp();
        ChangeSpool::setChunkRowsForTests(CHUNK);
    }
    void TearDown() override {
        ChangeSpool::setChunkRowsForTests(0);
        EngineTestBase::TearDown();
    }
    std::string file(std::size_t n) {
        char name[32];
        std::snprintf(name, sizeof name, "/Docs/d%02d/f%06zu", int(n % FOLDERS), n);
        return name;
    }
    // Files 0..count-1 with their own contents.
    void makeFiles(std::size_t from, std::size_t count, const std::string& content) {
        for (std::size_t n = from; n < from + count; ++n)
            writeFile(src + file(n), content + std::to_string(n));
    }
    void expectComplete(int id, std::size_t files) {
        EXPECT_EQ(int(files), rows(id));
        EXPECT_EQ(int(files), syncedRows(id));
        EXPECT_EQ(snapshot(src + "/Docs"), snapshot(dst + "/Docs"));
        EXPECT_TRUE(temporaries(dst).empty());
    }
};

TEST_F(StreamedPassTest, PassesOverManyChunksKeepRowsCopyAndCounts) {
    const std::size_t files = 2 * CHUNK + 100;
    makeFiles(0, files, "v1 ");
    const int id = addRecord(false, src + "/Docs", dst);
    runPass(id);
    expectComplete(id, files);
    const BackupDB::RUN_RECORD first = lastRun(id);
    EXPECT_EQ(Poco::Int64(files), first.filesChecked);
    EXPECT_EQ(Poco::Int64(files), first.filesCopied);
    EXPECT_EQ(0, first.filesFailed);
    EXPECT_TRUE(hasActivity(id, "0:" + std::to_string(files) + " file(s) needs to be backed up"));
    // Every row once, each with its own id.
    EXPECT_EQ(int(files), db->scalar("select count(distinct FILE) from BACKUP_SOURCE_FILES"));

    // Churn across every chunk: a third changed, a tenth gone, a chunk new.
    std::size_t changed = 0;
    for (std::size_t n = 0; n < files; n += 3) {
        if (n % 10 == 1) continue;  // gone below
        ++changed;
        changeFile(src + file(n), "v2 " + std::to_string(n));
    }
    std::size_t gone = 0;
    for (std::size_t n = 1; n < files; n += 10, ++gone) ::unlink((src + file(n)).c_str());
    makeFiles(files, CHUNK + 1, "new ");
    for (std::size_t n = 1; n < files; n += 10) ::unlink((dst + file(n)).c_str());
    runPass(id);
    expectComplete(id, files - gone + CHUNK + 1);
    const BackupDB::RUN_RECORD second = lastRun(id);
    EXPECT_EQ(Poco::Int64(files - gone + CHUNK + 1), second.filesChecked);
    EXPECT_EQ(Poco::Int64(changed + CHUNK + 1), second.filesCopied);
}

TEST_F(StreamedPassTest, AFailedFlushBetweenChunksMarksNothingUncopied) {
    const std::size_t files = 2 * CHUNK + 10;
    makeFiles(0, files, "v1 ");
    const int id = addRecord(false, src + "/Docs", dst);

    // The index's second chunk cannot be written: the first one's rows
    // stay, none marked, and nothing is copied.
    int flushes = 0;
    EngineHooks::setScanFault([&](EngineHooks::ScanStep step, const std::string&) {
        if (step != EngineHooks::INDEX_FLUSH) return 0;
        if (++flushes == 2)
            db->conn().ExecuteUpdate("ALTER TABLE BACKUP_SOURCE_FILES RENAME TO HIDDEN;");
        else if (flushes == 3)
            db->conn().ExecuteUpdate("ALTER TABLE HIDDEN RENAME TO BACKUP_SOURCE_FILES;");
        return 0;
    });
    runPass(id);
    EngineHooks::clear();
    EXPECT_EQ(3, flushes);  // the chunk's, the failed one's and the scan's end
    EXPECT_EQ(int(CHUNK), rows(id));
    EXPECT_EQ(0, syncedRows(id));
    EXPECT_FALSE(Poco::File(dst + "/Docs").exists());
    EXPECT_EQ(failed(src + "/Docs"), activities(id).back());

    runPass(id);
    expectComplete(id, files);
}

}  // namespace
}  // namespace EngineTest
