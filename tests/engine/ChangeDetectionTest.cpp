// A file is changed when its modification time, its size or its status-change
// time differs from what the index holds: a rewrite that puts the old time
// back must still be copied, and an index written before sizes and
// status-change times were kept must not make the next pass copy anything.
#include <fcntl.h>
#include <sys/stat.h>

#include "EngineFixture.h"
#include "support/TempDir.h"

namespace EngineTest {
namespace {

using TestSupport::readFile;
using TestSupport::writeFile;

struct timespec modified(const std::string& path) {
    struct stat st;
    ::stat(path.c_str(), &st);
    return st.st_mtim;
}

// Rewrites a file and puts its modification time back, as archive tools do.
void rewriteKeepingTime(const std::string& path, const std::string& content) {
    const struct timespec old = modified(path);
    writeFile(path, content);
    const struct timespec times[2] = {old, old};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

class ChangeDetectionTest : public EngineTestBase {
protected:
    std::string copy(const std::string& name) const { return dst + "/Docs/" + name; }
    std::string last(int id) { return activities(id).back(); }
    int unfilledRows(int id) {
        return db->scalar("select count(*) from BACKUP_SOURCE_FILES where RECID=" +
                          std::to_string(id) + " and (FILESIZE is null or CHANGETIME is null)");
    }
    const std::string nothing = "0:No change detected, Nothing to backup";
};

TEST_F(ChangeDetectionTest, RewriteWithTheOldTimePutBackIsCopied) {
    writeFile(docs("a.txt"), "first");
    writeFile(docs("b.txt"), "untouched");
    touch(docs("a.txt"), -3600);
    const int id = addRecord(false, src + "/Docs", dst);
    runPass(id);
    ASSERT_EQ("first", readFile(copy("a.txt")));

    // A new length: the size tells.
    rewriteKeepingTime(docs("a.txt"), "second, longer");
    runPass(id);
    EXPECT_TRUE(hasActivity(id, "0:1 file(s) needs to be backed up"));
    EXPECT_EQ("second, longer", readFile(copy("a.txt")));

    // The same length: only the status-change time tells.
    rewriteKeepingTime(docs("a.txt"), "SECOND, LONGER");
    runPass(id);
    EXPECT_EQ("SECOND, LONGER", readFile(copy("a.txt")));
    EXPECT_EQ(snapshot(src + "/Docs"), snapshot(dst + "/Docs"));

    // And nothing is copied once the index knows it.
    runPass(id);
    EXPECT_EQ(nothing, last(id));
    EXPECT_EQ(2, syncedRows(id));
}

TEST_F(ChangeDetectionTest, UpgradedIndexCopiesNothingAgainAndIsFilledIn) {
    writeFile(docs("a.txt"), "alpha");
    writeFile(docs("sub/b.txt"), "beta");
    const int id = addRecord(false, src + "/Docs", dst);
    runPass(id);

    // The table as an older version made it: the two columns are gone.
    db->conn().ExecuteUpdate("ALTER TABLE BACKUP_SOURCE_FILES DROP COLUMN FILESIZE;");
    db->conn().ExecuteUpdate("ALTER TABLE BACKUP_SOURCE_FILES DROP COLUMN CHANGETIME;");
    // Marks the copies: a pass that copied them again would replace these.
    writeFile(copy("a.txt"), "kept copy");
    writeFile(copy("sub/b.txt"), "kept copy");

    // The pass's own connection adds the columns when it opens the file.
    runPass(id);
    EXPECT_EQ(nothing, last(id));
    EXPECT_EQ("kept copy", readFile(copy("a.txt")));
    EXPECT_EQ("kept copy", readFile(copy("sub/b.txt")));
    EXPECT_EQ(2, syncedRows(id));
    EXPECT_EQ(0, unfilledRows(id));
    EXPECT_EQ(5, db->scalar("select FILESIZE from BACKUP_SOURCE_FILES where FILE='" +
                            docs("a.txt") + "'"));

    // What it filled in is what the next pass compares.
    rewriteKeepingTime(docs("a.txt"), "alpha, longer");
    runPass(id);
    EXPECT_EQ("alpha, longer", readFile(copy("a.txt")));
    EXPECT_EQ("kept copy", readFile(copy("sub/b.txt")));
}

}  // namespace
}  // namespace EngineTest
