// Whole passes through a real worker: what reaches the destination, what the
// index, the registry and the activity log say, and what a pass must never do.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>

#include <sys/resource.h>

#include "EngineFixture.h"
#include "engine/VersionName.h"
#include "hostapi/HostControl.h"
#include "service/BackupMain.h"

namespace EngineTest {
namespace {

using BackupPassTest = EngineTestBase;
using PassSafetyTest = EngineTestBase;

TEST_F(BackupPassTest, FolderAndFileRecordsBackUpAndOnlyChangesAreCopiedAgain) {
    const std::string work = src + "/Work";
    writeFiles(work, {{"a.txt", "alpha"}, {"sub/deep/b.bin", bytes(100000, 1)},
                      {"it's \"quoted\" & blank.txt", "q"}, {"new\nline", "n"},
                      {"odd-\xff\xfe", "o"}, {"empty", ""}});
    ::chmod((work + "/a.txt").c_str(), 0640);
    ::chmod((work + "/sub/deep/b.bin").c_str(), 0755);
    const int id = addRecord(false, work, dst + "/folder");

    runPass(id);
    EXPECT_EQ(snapshot(work), snapshot(dst + "/folder/Work"));
    const std::string dir = "Backup of directory [" + work + "]";
    EXPECT_EQ((std::vector<std::string>{"0:Scanning for changes",
                                        "0:6 file(s) needs to be backed up",
                                        "0:" + dir + " initiated.", "1:" + dir + " completed."}),
              activities(id));
    EXPECT_NE("0", lastSuccess(id));
    EXPECT_EQ(6, syncedRows(id));
    BackupProgressRegistry& reg = BackupProgressRegistry::instance();
    EXPECT_EQ("Idle", reg.getCurrentAction(id));
    EXPECT_EQ("", reg.getCurrentFile(id));
    EXPECT_FALSE(reg.isActive(id));
    EXPECT_EQ(0, reg.getToSendCount(id));
    EXPECT_EQ(0, reg.getRemainingSendSize(id));
    EXPECT_EQ(6, reg.getCheckedFileCount(id));
    EXPECT_TRUE(temporaries(dst).empty());

    // Unchanged: nothing is copied again.
    runPass(id);
    EXPECT_EQ("0:No change detected, Nothing to backup", activities(id).back());

    // A file record lands under its bare name.
    writeFile(src + "/single.dat", bytes(3000, 3));
    const int fileId = addRecord(true, src + "/single.dat", dst + "/file");
    runPass(fileId);
    EXPECT_EQ(bytes(3000, 3), readFile(dst + "/file/single.dat"));
    EXPECT_TRUE(hasActivity(fileId, "1:Backup of file [" + src + "/single.dat] completed."));
}

TEST_F(BackupPassTest, FullDiskKeepsThePreviousCopyAndTheOtherFilesGoOn) {
    const int id = backedUpDocs({{"big.bin", bytes(2 << 20, 1)}, {"a.txt", "a1"}});
    changeFile(docs("big.bin"), bytes(3 << 20, 2));
    changeFile(docs("a.txt"), "a2");
    struct rlimit old;
    ::getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit small = old;
    small.rlim_cur = 1 << 20;
    sighandler_t oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &small);
    runPass(id);
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, oldHandler);

    EXPECT_TRUE(readFile(dst + "/Docs/big.bin") == bytes(2 << 20, 1));
    EXPECT_EQ("a2", readFile(dst + "/Docs/a.txt"));
    EXPECT_TRUE(temporaries(dst).empty());
    EXPECT_EQ(failed(src + "/Docs"), activities(id).back());
}

// One flush per batch, not per file.
TEST_F(BackupPassTest, CopiesAreFlushedBeforeTheIndexMarksThem) {
    for (int i = 0; i < 20; ++i) writeFile(src + "/Work/f" + std::to_string(i), bytes(100, i));
    const int id = addRecord(false, src + "/Work", dst);
    std::vector<int> syncedAtFlush;
    EngineHooks::setAfterSync([&](int recId, const std::atomic<bool>&) {
        syncedAtFlush.push_back(syncedRows(recId));
    });
    runPass(id);
    ASSERT_GE(syncedAtFlush.size(), 2u);
    EXPECT_EQ(0, syncedAtFlush.front());
    EXPECT_LT(syncedAtFlush.size(), 20u);
    EXPECT_EQ(20, syncedRows(id));
}

// A pass writes nowhere but its destination. None (a record made for another
// peer), a relative one, one inside the source (also through a link) and a
// missing source each fail the pass and leave the record idle.
TEST_F(BackupPassTest, PassesThatCannotRunWriteNothingAndFail) {
    const std::string name = "EngineRelSrc" + std::to_string(::getpid());
    const std::string work = src + "/" + name;
    writeFiles(work, {{"a.txt", "a"}, {"inside/keep", "k"}});
    ::symlink((work + "/inside").c_str(), (dst + "/viaLink").c_str());
    const std::pair<std::string, std::string> cases[] = {
        {work, ""}, {work, name + "-dest"}, {work, work + "/backup"}, {work, dst + "/viaLink"},
        {src + "/missing", dst}};
    BackupProgressRegistry& reg = BackupProgressRegistry::instance();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.second);
        const int id = addRecord(false, c.first, c.second);
        runPass(id);
        EXPECT_EQ(failed(c.first), activities(id).back());
        EXPECT_EQ("0", lastSuccess(id));
        EXPECT_EQ("Idle", reg.getCurrentAction(id));
        EXPECT_FALSE(reg.isActive(id));
        EXPECT_EQ("", reg.getCurrentFile(id));
    }
    for (const std::string& path :
         {name, name + "-dest", work + "/backup", work + "/inside/" + name})
        EXPECT_FALSE(Poco::File(path).exists()) << path;
}

// Also a fifo or a link swapped in after the scan: the one would hang the
// copy, the other lead out of the source.
TEST_F(BackupPassTest, UnreadableEntriesVanishedFilesAndLinksAreSkipped) {
    const std::string work = src + "/Work";
    writeFiles(work,
               {{"good.txt", "g"}, {"gone.txt", "soon gone"}, {"pipe", "p"}, {"swapped", "l"}});
    writeFile(src + "/secret", "s");
    ::symlink((work + "/nowhere").c_str(), (work + "/dangling").c_str());
    ::symlink(work.c_str(), (work + "/loop").c_str());
    ::symlink((work + "/good.txt").c_str(), (work + "/link.txt").c_str());
    ::mkfifo((work + "/fifo").c_str(), 0600);
    const int id = addRecord(false, work, dst);
    EngineHooks::setAfterScan([&](int, const std::atomic<bool>&) {
        Poco::File(work + "/gone.txt").remove();
        ::unlink((work + "/pipe").c_str());
        ::mkfifo((work + "/pipe").c_str(), 0600);
        ::unlink((work + "/swapped").c_str());
        ::symlink((src + "/secret").c_str(), (work + "/swapped").c_str());
    });
    runPass(id);

    bool entry = false;
    for (const std::string& a : activities(id)) {
        entry = entry || (a.compare(0, 12, "2:Exception ") == 0 &&
                          a.find("] accessing [" + work + "/dangling]. Not backing up.") !=
                              std::string::npos);
    }
    EXPECT_TRUE(entry);
    EXPECT_EQ("g", readFile(dst + "/Work/good.txt"));
    for (const char* skipped : {"link.txt", "loop", "fifo", "pipe", "swapped"})
        EXPECT_FALSE(Poco::File(dst + "/Work/" + skipped).exists()) << skipped;
    EXPECT_EQ(completed(work), activities(id).back());
}

// Folders get their source's mode and time also in a pass that copies no
// file, whoever changed them in between; a link put where the copy has a
// folder is moved aside, never followed.
TEST_F(BackupPassTest, FolderModesAndTimesFollowTheSourceWhenNoFileChanged) {
    const int id = backedUpDocs({{"a/b/c.txt", "c"}, {"a/d.txt", "d"}, {"e/f.txt", "f"}});
    auto setFolder = [](const std::string& path, mode_t mode, time_t seconds) {
        ::chmod(path.c_str(), mode);
        const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
        ::utimensat(AT_FDCWD, path.c_str(), times, 0);
    };
    const std::string outside = src + "/outside";
    Poco::File(outside).createDirectories();
    setFolder(outside, 0700, 1000);
    setFolder(docs("a/b"), 0750, 2000);  // changed at the source
    setFolder(docs("a"), 0751, 3000);
    setFolder(dst + "/Docs/e", 0777, 4000);  // changed in the copy
    Poco::File(dst + "/Docs/a/b").remove(true);
    ::symlink(outside.c_str(), (dst + "/Docs/a/b").c_str());
    runPass(id);

    EXPECT_TRUE(hasActivity(id, "0:No change detected, Nothing to backup"));
    std::map<std::string, TreeNode> copy = snapshotTree(dst + "/Docs");
    for (auto at = copy.begin(); at != copy.end();) {
        at = at->first.compare(0, std::strlen(VersionName::FOLDER), VersionName::FOLDER) == 0
                 ? copy.erase(at)
                 : std::next(at);
    }
    // Whether the file the link's folder held comes back is not this test's
    // matter: the folder does.
    std::map<std::string, TreeNode> source = snapshotTree(src + "/Docs");
    source.erase("a/b/c.txt");
    copy.erase("a/b/c.txt");
    EXPECT_EQ(source, copy);
    struct stat st;
    ASSERT_EQ(0, ::stat(outside.c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 07777);
    EXPECT_EQ(1000, st.st_mtim.tv_sec);
}

TEST_F(PassSafetyTest, CopiesStayInsideTheDestination) {
    // A ".." source backs up the folder it names, under that folder's name.
    writeFiles(src + "/outer", {{"inner/x", "x"}, {"top", "t"}});
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
    const int id = backedUpDocs({{"a", "a"}, {"sub/b", "b"}});
    ASSERT_EQ("b", readFile(dst + "/Docs/sub/b"));

    remove(dst);
    runPass(id);
    EXPECT_FALSE(Poco::File(dst).exists());
    EXPECT_EQ(failed(src + "/Docs"), activities(id).back());
    EXPECT_EQ(2, syncedRows(id));

    // Back, but empty: every file is copied again.
    Poco::File(dst).createDirectories();
    runPass(id);
    EXPECT_EQ(snapshot(src + "/Docs"), snapshot(dst + "/Docs"));
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

TEST_F(PassSafetyTest, ScanFailuresFailThePassWithOneReason) {
    writeFiles(src + "/Docs", {{"a", "a"}, {"sub/b", "b"}, {"sub/c", "c"}});
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
    writeFiles(src, {{"one/Documents/f", "one"}, {"two/Documents/f", "two"}});
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

// An interrupted pass's debris is swept; the user's look-alikes are kept.
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

// The workers use the database the service opened.
TEST_F(PassSafetyTest, OneDatabaseAfterTheUserDataDirectoryMoved) {
    writeFile(src + "/Docs/a", "a");
    const int id = addRecord(false, src + "/Docs", dst);
    BackupPlugin plugin;
    const std::string moved = profile.scratch("moved");
    Orvana::HostKit::HostControl::setProfileUserDataDir(moved);
    plugin.backupRecord(record(id));
    EXPECT_TRUE(waitUntil([&] { return syncedRows(id) == 1; }));
    EXPECT_TRUE(waitUntil([&] { return hasActivity(id, completed(src + "/Docs")); }));
    EXPECT_FALSE(Poco::File(moved + "/backup/backup.db").exists());
}

// Rewrites a file and puts its modification time back, as archive tools do.
void rewriteKeepingTime(const std::string& path, const std::string& content) {
    struct stat st;
    ::stat(path.c_str(), &st);
    writeFile(path, content);
    const struct timespec times[2] = {st.st_mtim, st.st_mtim};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// A file is changed when its modification time, size or status-change time
// differs from what the index holds.
class ChangeDetectionTest : public EngineTestBase {
protected:
    std::string copy(const std::string& name) const { return dst + "/Docs/" + name; }
    const std::string nothing = "0:No change detected, Nothing to backup";
};

TEST_F(ChangeDetectionTest, RewriteWithTheOldTimePutBackIsCopied) {
    writeFiles(src + "/Docs", {{"a.txt", "first"}, {"b.txt", "untouched"}});
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
    EXPECT_EQ(nothing, activities(id).back());
    EXPECT_EQ(2, syncedRows(id));
}

TEST_F(ChangeDetectionTest, UpgradedIndexCopiesNothingAgainAndIsFilledIn) {
    const int id = backedUpDocs({{"a.txt", "alpha"}, {"sub/b.txt", "beta"}});

    // The table as an older version made it: the two columns are gone.
    db->conn().ExecuteUpdate("ALTER TABLE BACKUP_SOURCE_FILES DROP COLUMN FILESIZE;");
    db->conn().ExecuteUpdate("ALTER TABLE BACKUP_SOURCE_FILES DROP COLUMN CHANGETIME;");
    // Marks the copies: a pass that copied them again would replace these.
    writeFiles(dst + "/Docs", {{"a.txt", "kept copy"}, {"sub/b.txt", "kept copy"}});

    // The pass's own connection adds the columns when it opens the file.
    runPass(id);
    EXPECT_EQ(nothing, activities(id).back());
    EXPECT_EQ("kept copy", readFile(copy("a.txt")));
    EXPECT_EQ("kept copy", readFile(copy("sub/b.txt")));
    EXPECT_EQ(2, syncedRows(id));
    EXPECT_EQ(0, rows(id, " and (FILESIZE is null or CHANGETIME is null)"));
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
