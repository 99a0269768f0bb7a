// The index follows the source: rows of files gone from a folder that was
// listed whole are deleted, every other row stays.
#include <Poco/File.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "EngineFixture.h"
#include "support/TempDir.h"

namespace EngineTest {
namespace {

using Orvana::Backup::EngineHooks;
using TestSupport::readFile;
using TestSupport::writeFile;

class IndexPruningTest : public EngineTestBase {
protected:
    int rows(int id) {
        return db->scalar("select count(*) from BACKUP_SOURCE_FILES where RECID=" +
                          std::to_string(id));
    }
    bool hasRow(int id, const std::string& file) {
        return db->scalar("select count(*) from BACKUP_SOURCE_FILES where RECID=" +
                          std::to_string(id) + " and FILE='" + file + "'") == 1;
    }
    void remove(const std::string& path) { Poco::File(path).remove(true); }
};

TEST_F(IndexPruningTest, DeletedFileLosesItsRowAndComesBackAsNew) {
    writeFile(src + "/Docs/a", "a");
    writeFile(src + "/Docs/sub/b", "b");
    writeFile(src + "/Docs/sub/c", "c");
    writeFile(src + "/Docs/gone/d", "d");
    const int id = addRecord(false, src + "/Docs", dst);
    runPass(id);
    ASSERT_EQ(4, rows(id));

    // A file missing from a listed folder loses its row; a folder missing
    // as a whole keeps the rows under it.
    remove(src + "/Docs/sub/b");
    remove(src + "/Docs/gone");
    runPass(id);
    EXPECT_FALSE(hasRow(id, src + "/Docs/sub/b"));
    EXPECT_TRUE(hasRow(id, src + "/Docs/sub/c"));
    EXPECT_TRUE(hasRow(id, src + "/Docs/a"));
    EXPECT_TRUE(hasRow(id, src + "/Docs/gone/d"));
    EXPECT_EQ(3, rows(id));
    EXPECT_EQ(3, syncedRows(id));

    // Back with other content and the old time: new, so copied again.
    writeFile(src + "/Docs/sub/b", "b again");
    touch(src + "/Docs/sub/b", -3600);
    runPass(id);
    EXPECT_TRUE(hasRow(id, src + "/Docs/sub/b"));
    EXPECT_EQ(4, rows(id));
    EXPECT_EQ(4, syncedRows(id));
    EXPECT_EQ("b again", readFile(dst + "/Docs/sub/b"));
}

TEST_F(IndexPruningTest, FolderThatFailedToListKeepsItsRows) {
    writeFile(src + "/Docs/sub/b", "b");
    writeFile(src + "/Docs/sub/c", "c");
    writeFile(src + "/Docs/other/d", "d");
    writeFile(src + "/Docs/other/e", "e");
    const int id = addRecord(false, src + "/Docs", dst);
    runPass(id);
    ASSERT_EQ(4, rows(id));

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
    for (const char* folder : {"/Docs/x/", "/Docs/y/"}) {
        for (const char* name : {"1", "2", "3"}) writeFile(src + folder + name, name);
    }
    const int id = addRecord(false, src + "/Docs", dst);
    runPass(id);
    ASSERT_EQ(6, rows(id));

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

}  // namespace
}  // namespace EngineTest
