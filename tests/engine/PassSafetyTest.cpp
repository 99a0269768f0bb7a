// What a pass must never do: write outside its destination, overwrite the
// plug-in's own files, call a pass with unread files or a torn copy a
// success, re-create a vanished backup silently, or leave temporaries.

#include <cerrno>
#include <fstream>

#include "EngineFixture.h"
#include "hostapi/HostControl.h"
#include "service/BackupMain.h"

namespace EngineTest {
namespace {

using PassSafetyTest = EngineTestBase;

TEST_F(PassSafetyTest, CopiesStayInsideTheDestination) {
    // A ".." source backs up the folder it names, under that folder's name.
    writeFile(src + "/outer/inner/x", "x");
    writeFile(src + "/outer/top", "t");
    const int up = addRecord(false, src + "/outer/inner/..", dst + "/up");
    runPass(up);
    EXPECT_EQ("t", readFile(dst + "/up/outer/top"));
    EXPECT_EQ("x", readFile(dst + "/up/outer/inner/x"));
    EXPECT_FALSE(Poco::File(dst + "/top").exists());
    EXPECT_FALSE(Poco::File(dst + "/inner").exists());

    // A backslash is an ordinary character of a name.
    writeFile(src + "/my\\docs/a\\b.txt", "ab");
    const int slash = addRecord(false, src + "/my\\docs", dst + "/bs");
    runPass(slash);
    EXPECT_EQ("ab", readFile(dst + "/bs/my\\docs/a\\b.txt"));
    EXPECT_EQ(completed(src + "/my\\docs"), activities(slash).back());
    EXPECT_EQ(2, syncedRows(up));
    EXPECT_EQ(1, syncedRows(slash));
}

TEST_F(PassSafetyTest, VanishedDestinationIsNotRecreatedAndAnEmptyOneGetsEverything) {
    writeFile(src + "/Docs/a", "a");
    writeFile(src + "/Docs/sub/b", "b");
    const std::string store = dst + "/disk";
    const int id = addRecord(false, src + "/Docs", store);
    runPass(id);
    ASSERT_EQ("b", readFile(store + "/Docs/sub/b"));

    Poco::File(store).remove(true);
    runPass(id);
    EXPECT_FALSE(Poco::File(store).exists());
    EXPECT_EQ(failed(src + "/Docs"), activities(id).back());
    EXPECT_EQ(2, syncedRows(id));

    // Back, but empty: every file is copied again.
    Poco::File(store).createDirectories();
    runPass(id);
    EXPECT_EQ(snapshot(src + "/Docs"), snapshot(store + "/Docs"));
    EXPECT_EQ(completed(src + "/Docs"), activities(id).back());
}

TEST_F(PassSafetyTest, FileChangedDuringItsCopyKeepsTheOldCopy) {
    const int id = backedUpDocs({{"big", std::string(100000, 'a')}});
    changeFile(src + "/Docs/big", std::string(100000, 'b'));
    bool appended = false;
    EngineHooks::setAfterCopyChunk([&](const std::string& source, const std::atomic<bool>&) {
        if (appended) return;
        appended = true;
        std::ofstream(source, std::ios::app) << "more";
    });
    runPass(id);
    EXPECT_EQ(std::string(100000, 'a'), readFile(dst + "/Docs/big"));
    EXPECT_EQ(failed(src + "/Docs"), activities(id).back());
    EXPECT_EQ(0, syncedRows(id));
    // The discarded copy counts as not sent.
    EXPECT_EQ(1, BackupProgressRegistry::instance().getToSendCount(id));
    EXPECT_EQ(100000, BackupProgressRegistry::instance().getRemainingSendSize(id));

    EngineHooks::clear();
    runPass(id);
    EXPECT_EQ(std::string(100000, 'b') + "more", readFile(dst + "/Docs/big"));
    EXPECT_EQ(completed(src + "/Docs"), activities(id).back());
    EXPECT_TRUE(temporaries(dst).empty());
}

// Unread parts of the source fail the pass, with one entry saying why.
TEST_F(PassSafetyTest, ScanFailuresFailThePassWithOneReason) {
    writeFile(src + "/Docs/a", "a");
    writeFile(src + "/Docs/sub/b", "b");
    writeFile(src + "/Docs/sub/c", "c");
    const int id = addRecord(false, src + "/Docs", dst);
    struct Case {
        EngineHooks::ScanStep step;
        std::string path;
        std::string reason;
    } cases[] = {{EngineHooks::LIST_FOLDER, src + "/Docs/sub", "Input/output error"},
                 {EngineHooks::STAT_ENTRY, src + "/Docs/a", "Permission denied"}};
    for (const Case& c : cases) {
        EngineHooks::setScanFault([&](EngineHooks::ScanStep step, const std::string& path) {
            if (step != c.step || path != c.path) return 0;
            return c.step == EngineHooks::LIST_FOLDER ? EIO : EACCES;
        });
        const size_t before = activities(id).size();
        runPass(id);
        std::vector<std::string> acts = activities(id);
        acts.erase(acts.begin(), acts.begin() + before);
        EXPECT_EQ(failed(src + "/Docs"), acts.back()) << c.path;
        int reasons = 0;
        for (const std::string& a : acts)
            reasons += a.compare(0, 2, "2:") == 0 && a.find(c.reason) != std::string::npos;
        EXPECT_EQ(1, reasons) << c.path;
        EXPECT_EQ("0", lastSuccess(id));
    }
    EngineHooks::clear();
    runPass(id);
    EXPECT_EQ(snapshot(src + "/Docs"), snapshot(dst + "/Docs"));
}

TEST_F(PassSafetyTest, ThePluginsDatabaseIsNeverATarget) {
    const std::string store = profile.userDataDir() + "/backup";
    writeFile(src + "/backup.db", "not a database");
    struct stat before;
    ASSERT_EQ(0, ::stat(profile.databasePath().c_str(), &before));
    const int id = addRecord(true, src + "/backup.db", store);
    runPass(id);
    struct stat after;
    ASSERT_EQ(0, ::stat(profile.databasePath().c_str(), &after));
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ("2:Backup of file [" + src + "/backup.db] failed.", activities(id).back());
    EXPECT_EQ(0, syncedRows(id));
}

TEST_F(PassSafetyTest, TwoRecordsNeverShareACopyFolder) {
    writeFile(src + "/one/Documents/f", "one");
    writeFile(src + "/two/Documents/f", "two");
    const int one = addRecord(false, src + "/one/Documents", dst);
    const int two = addRecord(false, src + "/two/Documents", dst + "/.");
    const int again = addRecord(false, src + "/one/Documents", dst);  // a duplicate is fine
    runPass(two);
    runPass(one);
    runPass(again);
    EXPECT_EQ("one", readFile(dst + "/Documents/f"));
    EXPECT_EQ(failed(src + "/two/Documents"), activities(two).back());
    EXPECT_EQ(completed(src + "/one/Documents"), activities(again).back());
}

// Temporaries live in the staging folder only; an interrupted pass's debris
// is swept, files of the user's that merely look alike are kept.
TEST_F(PassSafetyTest, NoTemporaryOutlivesAPass) {
    writeFile(src + "/Docs/a", "a");
    const int id = addRecord(false, src + "/Docs", dst);
    writeFile(dst + "/.backup-partial/" + std::to_string(id) + "/.backup-1-1.tmp", "debris");
    writeFile(dst + "/.backup-77-3.tmp", "the user's");
    runPass(id);
    EXPECT_FALSE(Poco::File(dst + "/.backup-partial").exists());
    EXPECT_EQ("the user's", readFile(dst + "/.backup-77-3.tmp"));
    EXPECT_EQ("a", readFile(dst + "/Docs/a"));

    // A restore killed in the source left its staging folder there: the next
    // pass must not back its temporaries up; a user's folder of that name is
    // an ordinary folder.
    writeFile(src + "/Docs/.backup-partial/restore-9/.backup-1-2.tmp", "half a restore");
    writeFile(src + "/Docs/sub/.backup-partial/notes", "the user's");
    runPass(id);
    EXPECT_FALSE(Poco::File(dst + "/Docs/.backup-partial").exists());
    EXPECT_EQ("the user's", readFile(dst + "/Docs/sub/.backup-partial/notes"));
    EXPECT_EQ(2, syncedRows(id));
}

// The workers use the database the service opened, not the one a moved user
// data directory would give.
TEST_F(PassSafetyTest, OneDatabaseAfterTheUserDataDirectoryMoved) {
    writeFile(src + "/Docs/a", "a");
    const int id = addRecord(false, src + "/Docs", dst);
    Orvana::Backup::BackupPlugin plugin;
    const std::string moved = profile.scratch("moved");
    Orvana::HostKit::HostControl::setProfileUserDataDir(moved);
    plugin.backupRecord(record(id));
    EXPECT_TRUE(waitUntil([&] { return syncedRows(id) == 1; }));
    EXPECT_TRUE(waitUntil([&] { return hasActivity(id, completed(src + "/Docs")); }));
    EXPECT_FALSE(Poco::File(moved + "/backup/backup.db").exists());
}

}  // namespace
}  // namespace EngineTest
