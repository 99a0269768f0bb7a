// The index as a stream in path order, a chunk at a time; then read ahead on
// its own thread and connection: the same rows as reading it chunk by chunk
// on the scan's thread, a failed read on either thread that leaves the pass
// concluding nothing, and an owner that goes while the reader waits for room.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "EngineFixture.h"
#include "engine/SourceIndexCursor.h"

namespace EngineTest {
namespace {

using Orvana::Backup::IndexReadAhead;
using Orvana::Backup::SourceIndexCursor;

const int CHUNK = SourceIndexCursor::CHUNK_ROWS;

class SourceIndexCursorTest : public EngineTestBase {
protected:
    void TearDown() override {
        SourceIndexCursor::setReadAheadEnabled(true);
        EngineTestBase::TearDown();
    }
    static std::string name(int n, const std::string& folder = "/r") {
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "/f%05d", n);
        return folder + buffer;
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
    db->conn().ExecuteUpdate("BEGIN;");
    std::vector<int> ids;
    for (int n = 0; n < rows; ++n) ids.push_back(insertIndexRow(1, name(n)));
    // A second row of the path that ends the first chunk: its newer row is
    // the first of the next one.
    const int last = CHUNK - 1;
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
    db->conn().ExecuteUpdate("BEGIN;");
    std::vector<int> newest;
    for (int n = 0; n < files; ++n) newest.push_back(insertIndexRow(1, name(n)));
    // Newer rows of paths that end chunks read on either side of the hand
    // over, and of paths inside chunks: the newest one counts.
    for (int n : {CHUNK - 1, 2 * CHUNK - 1, 3 * CHUNK - 2, 4 * CHUNK, 5 * CHUNK - 3, 17, 9001})
        for (int copy = 0; copy < 2; ++copy) newest[n] = insertIndexRow(1, name(n));
    insertIndexRow(1, name(4 * CHUNK + 7) + "/deeper");  // a subfolder's row
    insertIndexRow(2, name(5));                          // another record's
    db->conn().ExecuteUpdate("COMMIT;");

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
        db->conn().ExecuteUpdate("BEGIN;");
        for (int n = 0; n < CHUNK * 4; ++n) insertIndexRow(id, name(n, src + folder));
        db->conn().ExecuteUpdate("COMMIT;");
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
    db->conn().ExecuteUpdate("BEGIN;");
    for (int n = 0; n < CHUNK * 12; ++n) insertIndexRow(1, name(n));
    db->conn().ExecuteUpdate("COMMIT;");
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

}  // namespace
}  // namespace EngineTest
