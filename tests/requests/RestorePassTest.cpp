// Restores carried out by the real service: what lands where under each
// overwrite mode, stops, the order against backups, and links.

#include <Poco/File.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <thread>

#include "RequestsFixture.h"
#include "engine/EngineHooks.h"
#include "support/TreeSnapshot.h"

namespace {

using Orvana::Backup::EngineHooks;
using TestSupport::readFile;
using TestSupport::writeFile;

class RestorePassTest : public RequestsTest {
protected:
    std::string summary(int id, const Fields& fields) {
        return restore(id, fields, " left as they were");
    }
    std::string lastRestoreEnd() {
        const auto all = activityTexts("Restore of [");
        return all.empty() ? "<none>" : all.back();
    }
    static struct stat info(const std::string& path) {
        struct stat st = {};
        EXPECT_EQ(0, ::lstat(path.c_str(), &st)) << path;
        return st;
    }
    static std::map<std::string, TestSupport::TreeNode> tree(const std::string& root) {
        return TestSupport::snapshotTree(root);
    }
    // Everything under root, in order.
    static std::vector<std::string> paths(const std::string& root) {
        std::vector<std::string> out;
        for (const auto& e : tree(root)) out.push_back(e.first);
        return out;
    }
};

TEST_F(RestorePassTest, OriginalPlaceUnderEachOverwriteMode) {
    const std::string src = profile.scratch("Docs");
    const std::string store = profile.scratch("store");
    writeFile(src + "/keep.txt", "kept as it is");
    writeFile(src + "/gone.txt", "deleted later");
    writeFile(src + "/edited.txt", "first version");
    writeFile(src + "/sub/deep.txt", "deep");
    ::chmod((src + "/gone.txt").c_str(), 0640);
    ::chmod((src + "/sub").c_str(), 0750);
    setTime(src + "/gone.txt", 1000000000, 123456789);
    setTime(src + "/sub/deep.txt", 1100000000);
    setTime(src + "/sub", 1200000000);
    const int id = backedUp(src, store);
    const auto copy = tree(store + "/Docs");
    ASSERT_EQ(tree(src), copy);

    Poco::File(src + "/gone.txt").remove();
    Poco::File(src + "/sub").remove(true);
    writeFile(src + "/edited.txt", "second version, longer");
    writeFile(src + "/new.txt", "not in the backup");
    const ino_t keepIno = info(src + "/keep.txt").st_ino;

    EXPECT_EQ("2 file(s) restored, 2 left as they were", summary(id, {{"path", ""}}));
    EXPECT_EQ("Restore of [" + src + "] completed.", lastRestoreEnd());
    auto now = tree(src);
    EXPECT_EQ(copy.at("gone.txt"), now.at("gone.txt"));
    EXPECT_EQ(copy.at("sub"), now.at("sub"));  // the folder made again, mode and time too
    EXPECT_EQ(copy.at("sub/deep.txt"), now.at("sub/deep.txt"));
    EXPECT_EQ("second version, longer", readFile(src + "/edited.txt"));

    EXPECT_EQ("1 file(s) restored, 3 left as they were", summary(id, {{"path", "edited.txt"},
                                                                      {"path", "gone.txt"},
                                                                      {"path", "sub"},
                                                                      {"path", "keep.txt"},
                                                                      {"overwrite", "changed"}}));
    now = tree(src);
    EXPECT_EQ(copy.at("edited.txt"), now.at("edited.txt"));
    EXPECT_EQ(keepIno, info(src + "/keep.txt").st_ino);  // a same file is not rewritten
    EXPECT_EQ("not in the backup", readFile(src + "/new.txt"));

    EXPECT_EQ("4 file(s) restored, 0 left as they were",
              summary(id, {{"path", ""}, {"overwrite", "always"}}));
    EXPECT_NE(keepIno, info(src + "/keep.txt").st_ino);
    now = tree(src);
    now.erase("new.txt");
    EXPECT_EQ(copy, now);  // no staging folder or temporary left either
    EXPECT_EQ(std::vector<std::string>(3, "Restore of [" + src + "] initiated."),
              activityTexts("Restore of [" + src + "] initiated."));
}

TEST_F(RestorePassTest, AnotherFolderTakesTheItemsByTheirNames) {
    const std::string src = profile.scratch("Docs");
    const std::string store = profile.scratch("store");
    const std::string there = profile.scratch("there");
    writeFile(src + "/keep.txt", "from the backup");
    writeFile(src + "/sub/inner/deep.txt", "deep");
    setTime(src + "/sub/inner", 1200000000);
    const int id = backedUp(src, store);
    const auto copy = tree(store + "/Docs");
    writeFile(there + "/keep.txt", "mine");

    EXPECT_EQ("1 file(s) restored, 1 left as they were",
              summary(id, {{"path", "keep.txt"}, {"path", "sub/inner"}, {"target", there}}));
    EXPECT_EQ("mine", readFile(there + "/keep.txt"));
    EXPECT_EQ(copy.at("sub/inner"), tree(there).at("inner"));
    EXPECT_EQ(copy.at("sub/inner/deep.txt"), tree(there).at("inner/deep.txt"));
    EXPECT_EQ("2 file(s) restored, 0 left as they were", summary(id, {{"path", "keep.txt"},
                                                                      {"path", "sub/inner"},
                                                                      {"target", there},
                                                                      {"overwrite", "always"}}));
    EXPECT_EQ(copy.at("keep.txt"), tree(there).at("keep.txt"));

    // The whole copy lands in a folder of the source's name.
    EXPECT_EQ("2 file(s) restored, 0 left as they were",
              summary(id, {{"path", ""}, {"target", there + "/"}}));
    EXPECT_EQ(copy, tree(there + "/Docs"));

    // A file record: its one file, back where it was.
    const std::string file = profile.scratch("single") + "/report.txt";
    writeFile(file, "report");
    setTime(file, 1300000000);
    const int single = backedUp(file, store, true);
    const auto before = tree(profile.scratch("single"));
    Poco::File(file).remove();
    EXPECT_EQ("1 file(s) restored, 0 left as they were", summary(single, {{"path", ""}}));
    EXPECT_EQ(before, tree(profile.scratch("single")));
}

TEST_F(RestorePassTest, LinksInTheCopyOrTheTargetLeadNowhere) {
    const std::string src = profile.scratch("Docs");
    const std::string store = profile.scratch("store");
    const std::string there = profile.scratch("there");
    const std::string outside = profile.scratch("outside");
    writeFile(src + "/a.txt", "a");
    writeFile(src + "/sub/b.txt", "b");
    writeFile(outside + "/secret", "secret");
    const int id = backedUp(src, store);
    ASSERT_EQ(0, ::symlink(outside.c_str(), (store + "/Docs/out").c_str()));
    ASSERT_EQ(0, ::symlink((outside + "/secret").c_str(), (store + "/Docs/s.txt").c_str()));

    EXPECT_EQ("2 file(s) restored, 0 left as they were",
              summary(id, {{"path", ""}, {"target", there}}));
    EXPECT_EQ((std::vector<std::string>{"Docs", "Docs/a.txt", "Docs/sub", "Docs/sub/b.txt"}),
              paths(there));

    // A link in the target where a folder goes: nothing is written through it.
    const std::string victim = profile.scratch("victim");
    Poco::File(there + "/Docs/sub").remove(true);
    ASSERT_EQ(0, ::symlink(victim.c_str(), (there + "/Docs/sub").c_str()));
    EXPECT_EQ("Restore of [" + src + "] failed.",
              restore(id, {{"path", ""}, {"target", there}, {"overwrite", "always"}}));
    EXPECT_TRUE(tree(victim).empty());
    EXPECT_EQ("a", readFile(there + "/Docs/a.txt"));
}

TEST_F(RestorePassTest, StopInTheMiddleKeepsTheOldFilesAndLeavesNoTemporaries) {
    const std::string src = profile.scratch("Docs");
    const std::string store = profile.scratch("store");
    writeFile(src + "/big.bin", std::string(24 * 1024 * 1024, 'x'));
    writeFile(src + "/small.txt", "small");
    const int id = backedUp(src, store);
    writeFile(src + "/big.bin", "user's own big");
    writeFile(src + "/small.txt", "user's own small");
    const auto before = tree(src);

    const std::string copy = store + "/Docs/";
    std::atomic<bool> holding(false);
    EngineHooks::setAfterCopyChunk([&](const std::string& source, const std::atomic<bool>& stop) {
        if (source.compare(0, copy.size(), copy) != 0) return;
        holding = true;
        while (!stop) Poco::Thread::sleep(5);
    });
    EXPECT_EQ(result("restorefiles", true),
              request("restorefiles",
                      {{"recid", std::to_string(id)}, {"path", ""}, {"overwrite", "always"}}));
    ASSERT_TRUE(waitFor(holding));
    const std::string listing = request("getallbackuprecs");
    EXPECT_EQ("Restoring", element(listing, "currentaction"));
    EXPECT_EQ("1", element(listing, "active"));

    EXPECT_EQ(result("stopbackup", true), request("stopbackup", {{"recid", std::to_string(id)}}));
    EXPECT_EQ(before, tree(src));                             // also: no staging folder left in it
    EXPECT_TRUE(activityTexts("] completed.").size() == 1u);  // only the backup's
    EXPECT_TRUE(activityTexts(" left as they were").empty());

    // The record works on: the next restore goes through.
    EngineHooks::clear();
    EXPECT_EQ("2 file(s) restored, 0 left as they were",
              summary(id, {{"path", ""}, {"overwrite", "always"}}));
    EXPECT_EQ(std::string(24 * 1024 * 1024, 'x'), readFile(src + "/big.bin"));
}

TEST_F(RestorePassTest, RestoreAskedForDuringABackupRunsAfterIt) {
    const std::string src = profile.scratch("Docs");
    const std::string store = profile.scratch("store");
    const std::string there = profile.scratch("there");
    writeFile(src + "/a.txt", "old");
    const int id = backedUp(src, store);
    writeFile(src + "/a.txt", "new and longer");

    std::atomic<bool> holding(false), release(false);
    EngineHooks::setAfterCopyChunk([&](const std::string& source, const std::atomic<bool>& stop) {
        if (source != src + "/a.txt") return;
        holding = true;
        while (!stop && !release) Poco::Thread::sleep(5);
    });
    const std::string rec = std::to_string(id);
    EXPECT_EQ(result("synconerecord", true), request("synconerecord", {{"recid", rec}}));
    ASSERT_TRUE(waitFor(holding));
    EXPECT_EQ(result("restorefiles", true),
              request("restorefiles", {{"recid", rec}, {"path", ""}, {"target", there}}));
    Poco::Thread::sleep(300);
    EXPECT_TRUE(activityTexts("Restore of [").empty());
    EXPECT_TRUE(tree(there).empty());
    release = true;

    TestSupport::waitUntil([&] { return activityTexts("Restore of [").size() >= 2; });
    EXPECT_EQ("Restore of [" + src + "] completed.", lastRestoreEnd());
    EXPECT_EQ("new and longer", readFile(there + "/Docs/a.txt"));  // the copy the backup made
}

// A restore that shares its target with a user at work: names that appear
// while it copies, and folders swapped for links, are the user's.
TEST_F(RestorePassTest, NamesThatAppearWhileItCopiesStayTheUsers) {
    const std::string src = profile.scratch("Docs");
    const std::string store = profile.scratch("store");
    std::vector<std::string> names;
    for (int i = 0; i < 50; ++i) {
        names.push_back((i % 2 ? "sub/f" : "f") + std::to_string(i) + ".txt");
        writeFile(src + "/" + names.back(), "from the backup " + std::to_string(i));
    }
    const int id = backedUp(src, store);
    for (const std::string& name : names) Poco::File(src + "/" + name).remove();

    // Another program saves every name between the copy and the commit.
    std::atomic<int> commits(0);
    EngineHooks::setBeforeRestoreCommit([&](int, const std::atomic<bool>&) {
        ++commits;
        std::thread user([&] {
            for (std::size_t i = 0; i < names.size(); ++i)
                writeFile(src + "/" + names[i], "saved by the user " + std::to_string(i));
        });
        user.join();
    });
    EXPECT_EQ("0 file(s) restored, 50 left as they were", summary(id, {{"path", ""}}));
    EXPECT_EQ("Restore of [" + src + "] completed.", lastRestoreEnd());
    EXPECT_EQ(1, commits.load());
    for (std::size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ("saved by the user " + std::to_string(i), readFile(src + "/" + names[i]));

    // "changed" looks again at the commit: a file that became the same as
    // the copy meanwhile is left, one that differs is replaced.
    std::atomic<ino_t> saved(0);
    EngineHooks::setBeforeRestoreCommit([&](int, const std::atomic<bool>&) {
        const struct stat copy = info(store + "/Docs/f2.txt");
        writeFile(src + "/f2.txt", readFile(store + "/Docs/f2.txt"));
        setTime(src + "/f2.txt", copy.st_mtim.tv_sec, copy.st_mtim.tv_nsec);
        saved = info(src + "/f2.txt").st_ino;
    });
    EXPECT_EQ("1 file(s) restored, 1 left as they were",
              summary(id, {{"path", "f2.txt"}, {"path", "f4.txt"}, {"overwrite", "changed"}}));
    EXPECT_EQ(saved.load(), info(src + "/f2.txt").st_ino);
    EXPECT_EQ("from the backup 4", readFile(src + "/f4.txt"));
}

TEST_F(RestorePassTest, AFolderSwappedForALinkTakesNothingThroughIt) {
    const std::string src = profile.scratch("Docs");
    const std::string store = profile.scratch("store");
    const std::string there = profile.scratch("there");
    const std::string victim = profile.scratch("victim");
    writeFile(src + "/a.txt", "a");
    for (int i = 0; i < 20; ++i) writeFile(src + "/sub/f" + std::to_string(i), "secret");
    writeFile(src + "/sub/deeper/g", "deeper");
    ::chmod((src + "/sub").c_str(), 0755);
    const int id = backedUp(src, store);
    ::chmod(victim.c_str(), 0700);
    setTime(victim, 1000000000);
    const auto victimBefore = TestSupport::snapshotTree(profile.scratch(""))["victim"];

    // The folder the restore has just made becomes a link to another one.
    auto swap = [&](const std::string& folder) {
        EngineHooks::setBeforeRestoreCommit([=](int, const std::atomic<bool>&) {
            Poco::File(folder).remove(true);
            ASSERT_EQ(0, ::symlink(victim.c_str(), folder.c_str()));
        });
    };
    swap(there + "/Docs/sub");
    EXPECT_EQ("Restore of [" + src + "] failed.", restore(id, {{"path", ""}, {"target", there}}));
    EXPECT_EQ(1u, activityTexts("Left alone, not a folder: " + there + "/Docs/sub").size());
    EXPECT_TRUE(tree(victim).empty());
    EXPECT_EQ(victimBefore, TestSupport::snapshotTree(profile.scratch(""))["victim"]);
    EXPECT_EQ("a", readFile(there + "/Docs/a.txt"));

    // The same for a folder that was there before, at the original place.
    for (int i = 0; i < 20; ++i) Poco::File(src + "/sub/f" + std::to_string(i)).remove();
    swap(src + "/sub");
    EXPECT_EQ("Restore of [" + src + "] failed.",
              restore(id, {{"path", "sub"}, {"overwrite", "always"}}));
    EXPECT_TRUE(tree(victim).empty());
    EXPECT_EQ(victimBefore, TestSupport::snapshotTree(profile.scratch(""))["victim"]);
}

TEST_F(RestorePassTest, AStopTakesAwayTheFoldersItMadeAndFinishesTheOnesItKeeps) {
    const std::string home = profile.scratch("Home");
    const std::string src = home + "/Docs";
    const std::string store = profile.scratch("store");
    writeFile(src + "/big.bin", std::string(24 * 1024 * 1024, 'x'));
    writeFile(src + "/sub/a.txt", "a");
    writeFile(src + "/gone/deep/b.txt", "b");
    ::chmod((src + "/sub").c_str(), 0750);
    ::chmod((src + "/gone").c_str(), 0755);
    setTime(src + "/sub", 1200000000);
    const int id = backedUp(src, store);
    const auto copy = tree(store + "/Docs");
    Poco::File(src + "/sub").remove(true);
    Poco::File(src + "/gone").remove(true);
    Poco::File(src + "/big.bin").remove();

    // The user saves a file into one of the folders the restore has made.
    const std::string bigCopy = store + "/Docs/big.bin";
    std::atomic<bool> holding(false), userSaves(true);
    EngineHooks::setAfterCopyChunk([&](const std::string& source, const std::atomic<bool>& stop) {
        if (source != bigCopy) return;
        if (userSaves.exchange(false)) writeFile(src + "/sub/mine.txt", "mine");
        holding = true;
        while (!stop) Poco::Thread::sleep(5);
    });
    EXPECT_EQ(result("restorefiles", true),
              request("restorefiles", {{"recid", std::to_string(id)}, {"path", ""}}));
    ASSERT_TRUE(waitFor(holding));
    EXPECT_EQ(result("stopbackup", true), request("stopbackup", {{"recid", std::to_string(id)}}));

    const auto now = tree(src);
    EXPECT_EQ((std::vector<std::string>{"sub", "sub/mine.txt"}), paths(src));
    EXPECT_EQ(copy.at("sub").mode, now.at("sub").mode);
    EXPECT_EQ(copy.at("sub").mtimeNs, now.at("sub").mtimeNs);

    // A record whose whole source is gone: nothing of it is made again.
    Poco::File(home).remove(true);
    holding = false;
    EXPECT_EQ(result("restorefiles", true),
              request("restorefiles", {{"recid", std::to_string(id)}, {"path", ""}}));
    ASSERT_TRUE(waitFor(holding));
    EXPECT_EQ(result("stopbackup", true), request("stopbackup", {{"recid", std::to_string(id)}}));
    EXPECT_FALSE(Poco::File(home).exists());
}

TEST_F(RestorePassTest, EmptyFoldersOfTheCopyComeBackWithModeAndTime) {
    const std::string src = profile.scratch("Docs");
    const std::string store = profile.scratch("store");
    const std::string there = profile.scratch("there");
    writeFile(src + "/a.txt", "a");
    const int id = backedUp(src, store);
    // Made in the copy directly, as a backup of empty folders would.
    const std::string copyRoot = store + "/Docs";
    Poco::File(copyRoot + "/empty/inner").createDirectories();
    ::chmod((copyRoot + "/empty").c_str(), 0711);
    ::chmod((copyRoot + "/empty/inner").c_str(), 0700);
    setTime(copyRoot + "/empty/inner", 1100000000, 7);
    setTime(copyRoot + "/empty", 1200000000, 8);
    setTime(copyRoot, 1300000000, 9);
    const auto copy = tree(copyRoot);

    EXPECT_EQ("0 file(s) restored, 0 left as they were",
              summary(id, {{"path", "empty"}, {"target", there}}));
    EXPECT_EQ(copy.at("empty"), tree(there).at("empty"));
    EXPECT_EQ(copy.at("empty/inner"), tree(there).at("empty/inner"));

    // At the original place the folder holding them gets its time back too.
    setTime(src, 1400000000);
    EXPECT_EQ("0 file(s) restored, 1 left as they were", summary(id, {{"path", ""}}));
    EXPECT_EQ("Restore of [" + src + "] completed.", lastRestoreEnd());
    EXPECT_EQ(copy, tree(src));
    EXPECT_EQ(TestSupport::snapshotTree(store)["Docs"].mtimeNs,
              TestSupport::snapshotTree(profile.scratch(""))["Docs"].mtimeNs);
}

}  // namespace
