// Passes over more changes than one chunk: the index is written and the
// change list kept on disk a chunk at a time, and a failure between chunks
// must still leave no row marked without its copy.
#include <cstdio>

#include "EngineFixture.h"
#include "engine/ChangeSpool.h"

namespace EngineTest {
namespace {

using Orvana::Backup::ChangeSpool;

// Chunks of a few rows, so that a small tree spans several.
const std::size_t CHUNK = 16;
const int FOLDERS = 16;

class StreamedPassTest : public EngineTestBase {
protected:
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

TEST(ChangeSpoolTest, RowsComeBackInOrderWhileTheKeptOnesStay) {
    TestSupport::TempDir dir;
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
