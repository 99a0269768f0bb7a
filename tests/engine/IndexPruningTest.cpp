// The index follows the source: rows of files and folders gone from a folder
// that was listed whole are deleted, every other row stays. The scan reads the rows
// in byte order of their paths while it walks, so names that sort around
// '/' must still meet their own rows.

#include <cerrno>
#include <set>

#include "EngineFixture.h"

namespace EngineTest {
namespace {

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

}  // namespace
}  // namespace EngineTest
