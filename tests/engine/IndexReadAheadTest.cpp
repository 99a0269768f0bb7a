// The index read ahead on its own thread and connection: the same rows as
// reading it chunk by chunk on the scan's thread, a failed read there that
// leaves the pass concluding nothing, and an owner that goes while the
// reader waits for room.
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "EngineFixture.h"
#include "engine/SourceIndexCursor.h"
#include "support/TempDir.h"
#include "support/TreeSnapshot.h"

namespace EngineTest {
namespace {

using Orvana::Backup::EngineHooks;
using Orvana::Backup::IndexReadAhead;
using Orvana::Backup::SourceIndexCursor;

const int CHUNK = SourceIndexCursor::CHUNK_ROWS;

class IndexReadAheadTest : public EngineTestBase {
protected:
    void TearDown() override {
        SourceIndexCursor::setReadAheadEnabled(true);
        EngineTestBase::TearDown();
    }
    static std::string name(const std::string& folder, int n) {
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
            const auto* row = cursor.find(name("/r", n), "/r/", &passed);
            found.push_back(row ? row->id : 0);
        }
        cursor.skipTo("/r0", "/r/", &passed);
        if (cursor.failed()) return {};
        found.insert(found.end(), passed.files.begin(), passed.files.end());
        return {found, passed.folders};
    }
};

TEST_F(IndexReadAheadTest, GivesTheRowsOfThePlainReadAcrossChunksAndSeveralRowsPerPath) {
    const int files = CHUNK * 6 + 37;
    db->conn().ExecuteUpdate("BEGIN;");
    std::vector<int> newest;
    for (int n = 0; n < files; ++n) newest.push_back(insertIndexRow(1, name("/r", n)));
    // Newer rows of paths that end chunks read on either side of the hand
    // over, and of paths inside chunks: the newest one counts.
    for (int n : {CHUNK - 1, 2 * CHUNK - 1, 3 * CHUNK - 2, 4 * CHUNK, 5 * CHUNK - 3, 17, 9001})
        for (int copy = 0; copy < 2; ++copy) newest[n] = insertIndexRow(1, name("/r", n));
    insertIndexRow(1, name("/r", 4 * CHUNK + 7) + "/deeper");  // a subfolder's row
    insertIndexRow(2, name("/r", 5));                          // another record's
    db->conn().ExecuteUpdate("COMMIT;");

    SourceIndexCursor::setReadAheadEnabled(false);
    const auto plain = walk(files);
    SourceIndexCursor::setReadAheadEnabled(true);
    const auto ahead = walk(files);
    ASSERT_EQ(size_t(files), plain.first.size());
    EXPECT_EQ(plain, ahead);
    for (int n = 0; n < files; n += 3) ASSERT_EQ(newest[n], ahead.first[n / 3]) << n;
}

TEST_F(IndexReadAheadTest, AFailedReadAheadLeavesThePassConcludingNothing) {
    const int id = addRecord(false, src + "/Docs", dst);
    TestSupport::writeFile(docs("z"), "z");
    runPass(id);
    ASSERT_EQ(1, rows(id));
    // Rows of files gone from the source, enough to be read ahead; the
    // pass would delete them all, and "z" comes after them.
    db->conn().ExecuteUpdate("BEGIN;");
    for (int n = 0; n < CHUNK * 4; ++n) insertIndexRow(id, name(src + "/Docs", n));
    db->conn().ExecuteUpdate("COMMIT;");
    const int before = rows(id);
    TestSupport::writeFile(docs("z"), "changed");
    touch(docs("z"), 60);

    std::atomic<int> reads(0);
    EngineHooks::setScanFault([&](EngineHooks::ScanStep step, const std::string&) {
        return step == EngineHooks::INDEX_READ_AHEAD && ++reads == 2 ? EIO : 0;
    });
    runPass(id);
    EngineHooks::clear();
    EXPECT_EQ(2, reads.load());
    // Unread rows are no proof that files are gone, nor "z" new.
    EXPECT_EQ(before, rows(id));
    EXPECT_EQ("z", TestSupport::readFile(dst + "/Docs/z"));
    EXPECT_EQ(failed(src + "/Docs"), activities(id).back());

    // Read whole, the same rows are gone and "z" copied.
    runPass(id);
    EXPECT_EQ(1, rows(id));
    EXPECT_EQ("changed", TestSupport::readFile(dst + "/Docs/z"));
}

TEST_F(IndexReadAheadTest, ReadsABoundedWayAheadAndEndsWhileWaitingForRoom) {
    db->conn().ExecuteUpdate("BEGIN;");
    for (int n = 0; n < CHUNK * 12; ++n) insertIndexRow(1, name("/r", n));
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
    ASSERT_TRUE(cursor->find(name("/r", CHUNK + 1), "", nullptr) != nullptr);
    ASSERT_TRUE(waitUntil([&] { return reads.load() >= int(IndexReadAhead::MAX_CHUNKS_AHEAD); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(int(IndexReadAhead::MAX_CHUNKS_AHEAD), reads.load());
    // Each chunk taken (the third and the fourth) makes room for one more.
    ASSERT_TRUE(cursor->find(name("/r", 3 * CHUNK + 1), "", nullptr) != nullptr);
    ASSERT_TRUE(waitUntil([&] { return reads.load() > int(IndexReadAhead::MAX_CHUNKS_AHEAD); }));
    const auto start = std::chrono::steady_clock::now();
    cursor.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_LE(reads.load(), int(IndexReadAhead::MAX_CHUNKS_AHEAD) + 2);
    EngineHooks::clear();
}

}  // namespace
}  // namespace EngineTest
