// Passes of a record with exclusions: what is walked, copied, indexed and
// counted, and what comes back when a pattern goes.
#include <algorithm>
#include <mutex>
#include <set>

#include "EngineFixture.h"
#include "support/TempDir.h"

namespace EngineTest {
namespace {

using Orvana::Backup::EngineHooks;
using TestSupport::readFile;
using TestSupport::writeFile;

class ExclusionPassTest : public EngineTestBase {
protected:
    bool exists(const std::string& path) {
        struct stat st;
        return ::lstat(path.c_str(), &st) == 0;
    }
    // Runs a pass and returns every folder it listed.
    std::set<std::string> passListing(int id) {
        std::mutex mutex;
        std::set<std::string> listed;
        EngineHooks::setScanFault([&](EngineHooks::ScanStep step, const std::string& path) {
            std::lock_guard<std::mutex> lock(mutex);
            if (step == EngineHooks::LIST_FOLDER) listed.insert(path);
            return 0;
        });
        runPass(id);
        EngineHooks::clear();
        return listed;
    }
};

TEST_F(ExclusionPassTest, ExcludedEntriesAreNeitherWalkedNorIndexedAndComeBackWhenThePatternGoes) {
    const std::string work = src + "/Work";
    writeFile(work + "/a.txt", "alpha");
    writeFile(work + "/a.tmp", "temp!");
    writeFile(work + "/node_modules/lib/x.js", "library");
    writeFile(work + "/builder/keep.c", "kept");
    writeFile(work + "/build/out.o", "object");
    writeFile(work + "/sub/build/deep.o", "deeper");
    const int id = addRecord(false, work, dst);

    // First everything, then the patterns: the rows of what they match go.
    runPass(id);
    EXPECT_EQ(6, rows(id));
    setExclusions(id, {"*.tmp", "node_modules/", "/build"});
    writeFile(work + "/node_modules/new.js", "new");
    const std::set<std::string> listed = passListing(id);
    EXPECT_FALSE(listed.count(work + "/node_modules")) << "an excluded folder was opened";
    EXPECT_FALSE(listed.count(work + "/build"));
    EXPECT_TRUE(listed.count(work + "/sub/build"));  // anchored: only the top one
    EXPECT_TRUE(listed.count(work + "/builder"));
    EXPECT_EQ(3, rows(id));
    EXPECT_FALSE(hasRow(id, work + "/a.tmp"));
    EXPECT_FALSE(hasRow(id, work + "/node_modules/lib/x.js"));
    EXPECT_TRUE(hasRow(id, work + "/builder/keep.c"));

    // Copies made before stay as they were; nothing new lands there.
    EXPECT_EQ("temp!", readFile(dst + "/Work/a.tmp"));
    EXPECT_EQ("library", readFile(dst + "/Work/node_modules/lib/x.js"));
    EXPECT_FALSE(exists(dst + "/Work/node_modules/new.js"));

    // The size counts only what is included.
    EXPECT_EQ(5 + 4 + 6, record(id)->size);

    // The patterns go: the files come back at the next pass.
    setExclusions(id, {});
    runPass(id);
    EXPECT_EQ(7, rows(id));
    EXPECT_EQ("new", readFile(dst + "/Work/node_modules/new.js"));
    EXPECT_EQ(5 + 5 + 7 + 3 + 4 + 6 + 6, record(id)->size);
}

TEST_F(ExclusionPassTest, TaggedCacheFoldersAreSkippedUnlessSwitchedOff) {
    const std::string work = src + "/Work";
    writeFile(work + "/a.txt", "alpha");
    writeFile(work + "/cache/CACHEDIR.TAG", "Signature: 8a477f597d28d172789f06886806bc55\n");
    writeFile(work + "/cache/blob", "cached");
    writeFile(work + "/notes/CACHEDIR.TAG", "my own notes about caches");
    writeFile(work + "/notes/n.txt", "note");
    const int id = addRecord(false, work, dst);

    const std::set<std::string> listed = passListing(id);
    EXPECT_FALSE(listed.count(work + "/cache"));
    EXPECT_FALSE(exists(dst + "/Work/cache"));
    EXPECT_EQ("note", readFile(dst + "/Work/notes/n.txt"));  // no signature: no tag
    EXPECT_EQ(3, rows(id));

    setExclusions(id, {}, false);
    runPass(id);
    EXPECT_EQ("cached", readFile(dst + "/Work/cache/blob"));
    EXPECT_EQ(5, rows(id));
}

TEST_F(ExclusionPassTest, ExceptionsAndAFileRecordFollowThePatterns) {
    const std::string work = src + "/Work";
    writeFile(work + "/logs/a.log", "a");
    writeFile(work + "/logs/keep.log", "keep");
    writeFile(work + "/x/logs/b.log", "b");
    const int id = addRecord(false, work, dst);
    setExclusions(id, {"**/logs/*.log", "!keep.log"});
    runPass(id);
    EXPECT_EQ("keep", readFile(dst + "/Work/logs/keep.log"));
    EXPECT_FALSE(exists(dst + "/Work/logs/a.log"));
    EXPECT_FALSE(exists(dst + "/Work/x/logs/b.log"));
    EXPECT_EQ(1, rows(id));

    writeFile(src + "/single.tmp", "single");
    const int file = addRecord(true, src + "/single.tmp", dst + "/files");
    setExclusions(file, {"*.tmp"});
    runPass(file);
    EXPECT_FALSE(exists(dst + "/files/single.tmp"));
    EXPECT_EQ(0, rows(file));
}

}  // namespace
}  // namespace EngineTest
