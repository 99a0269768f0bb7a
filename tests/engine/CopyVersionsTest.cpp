// What a pass keeps of what it replaces in the copy: earlier versions (a
// cut-off pass loses nothing, space is freed), entries whose type changed in
// the source and links found in the copy, moved aside instead of blocking the
// record or being written through; and the copy's folders.
#include <Poco/Exception.h>

#include <algorithm>
#include <regex>

#include "EngineFixture.h"
#include "engine/EngineClock.h"
#include "engine/VersionName.h"

namespace EngineTest {
namespace {

void setTime(const std::string& path, time_t seconds) {
    const struct timespec times[2] = {{seconds, 0}, {seconds, 500}};
    ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

class CopyVersionsTest : public EngineTestBase {
protected:
    // The contents of the versions in a folder of the versions, oldest first.
    std::vector<std::string> keptContents(const std::string& folder = "Docs") {
        const std::string path = dst + "/.backup-versions/" + folder;
        std::vector<std::pair<std::pair<Poco::Timestamp, unsigned>, std::string>> order;
        for (const std::string& name : entries(path)) {
            std::string original;
            Poco::Timestamp when;
            unsigned attempt = 0;
            EXPECT_TRUE(VersionName::parse(name, original, when, attempt)) << name;
            order.push_back({{when, attempt}, readFile(path + "/" + name)});
        }
        std::sort(order.begin(), order.end());
        std::vector<std::string> out;
        for (const auto& v : order) out.push_back(v.second);
        return out;
    }
    // The copy holds exactly the source, folder times included.
    void expectCopyEqualsSource() {
        EXPECT_EQ(snapshotTree(src + "/Docs"), snapshotTree(dst + "/Docs"));
    }
    // A pass that completes and leaves such a copy.
    void passMatchesSource(int id) {
        runPass(id);
        EXPECT_EQ(completed(src + "/Docs"), activities(id).back());
        expectCopyEqualsSource();
    }
};

using FolderCopyTest = CopyVersionsTest;

TEST_F(CopyVersionsTest, APassCutOffBetweenKeepingAndReplacingLosesNothing) {
    const int id = backedUpDocs({{"sub/notes.txt", "good"}});
    changeFile(src + "/Docs/sub/notes.txt", "one line", 10);

    EngineHooks::setAfterVersionKept(
        [](const std::string&, const std::atomic<bool>&) { throw Poco::IOException("cut off"); });
    runPass(id);
    EngineHooks::clear();
    // The old content is reachable in both places.
    EXPECT_EQ("good", readFile(dst + "/Docs/sub/notes.txt"));
    EXPECT_EQ((std::vector<std::string>{"good"}), keptContents("Docs/sub"));

    runPass(id);
    EXPECT_EQ("one line", readFile(dst + "/Docs/sub/notes.txt"));
    EXPECT_EQ((std::vector<std::string>{"good"}), keptContents("Docs/sub"));
    EXPECT_EQ(snapshot(src + "/Docs").at("sub/notes.txt"),
              snapshot(dst + "/Docs").at("sub/notes.txt"));

    // Cut off after the rename, before the index marks the file: the next
    // pass copies it again but finds nothing earlier to keep.
    changeFile(src + "/Docs/sub/notes.txt", "third", 20);
    int flushes = 0;
    EngineHooks::setAfterSync([&flushes](int, const std::atomic<bool>&) {
        if (++flushes == 2) throw Poco::IOException("cut off");
    });
    runPass(id);
    EngineHooks::clear();
    EXPECT_EQ(2, flushes);
    EXPECT_EQ("third", readFile(dst + "/Docs/sub/notes.txt"));
    runPass(id);
    EXPECT_EQ((std::vector<std::string>{"good", "one line"}), keptContents("Docs/sub"));
    EXPECT_EQ(snapshot(src + "/Docs"), snapshot(dst + "/Docs"));
}

TEST_F(CopyVersionsTest, ShortOfSpaceOldVersionsGoAndThePassSaysSo) {
    const int id = backedUpDocs({{"a.txt", "a1"}, {"b.txt", "b1"}});
    changeFile(src + "/Docs/a.txt", "a2", 10);
    changeFile(src + "/Docs/b.txt", "b2", 10);
    runPass(id);

    // Short of space until at most one version is left.
    const std::string folder = dst + "/.backup-versions/Docs";
    EngineHooks::setFreeSpace(
        [folder](unsigned long long& freeBytes, unsigned long long& totalBytes) {
            std::vector<std::string> names;
            Poco::File(folder).list(names);
            totalBytes = 100ULL << 30;
            freeBytes = names.size() <= 1 ? 10ULL << 30 : 0;
            return true;
        });
    changeFile(src + "/Docs/a.txt", "a3", 20);
    runPass(id);
    // Three versions, the two oldest removed: the one just made stays.
    EXPECT_EQ((std::vector<std::string>{"a2"}), keptContents());
    EXPECT_EQ("a3", readFile(dst + "/Docs/a.txt"));
    EXPECT_EQ("b2", readFile(dst + "/Docs/b.txt"));
    EXPECT_TRUE(hasActivity(id, "0:2 old version(s) removed to keep free space"));
}

TEST_F(CopyVersionsTest, ANameTakenDuringTheCopyIsReplacedAndKept) {
    const int id = backedUpDocs({{"old.txt", "x"}});
    writeFile(src + "/Docs/late.txt", "from the source");
    bool once = true;
    EngineHooks::setAfterCopyChunk([&](const std::string& source, const std::atomic<bool>&) {
        if (source == src + "/Docs/late.txt" && once) {
            once = false;
            writeFile(dst + "/Docs/late.txt", "put there meanwhile");
        }
    });
    runPass(id);
    EXPECT_EQ("from the source", readFile(dst + "/Docs/late.txt"));
    EXPECT_EQ((std::vector<std::string>{"put there meanwhile"}), keptContents());
    EXPECT_TRUE(temporaries(dst).empty());
}

// Each replaced copy becomes one version; versions off keeps none; "keep the
// last N" thins its own record's versions and no other record's at the same
// destination.
TEST_F(CopyVersionsTest, EachRecordsSettingsDecideWhatItKeeps) {
    // One second for every version: only their attempt tells them apart.
    EngineClock::pin(EngineClock::localNow());
    const std::vector<std::string> names{"Other", "Off", "Docs"};
    std::vector<int> ids;
    for (const std::string& name : names) {
        writeFile(src + "/" + name + "/f.txt", "0");
        ids.push_back(addRecord(false, src + "/" + name, dst));
        runPass(ids.back());
    }
    EXPECT_FALSE(Poco::File(dst + "/.backup-versions").exists());  // nothing replaced yet
    BackupDB::RECORD_SETTINGS off, lastTwo;
    off.versions = false;
    lastTwo.keepLastOnly = true;
    lastTwo.keepLast = 2;
    ASSERT_TRUE(db->setRecordSettings(ids[1], off));
    ASSERT_TRUE(db->setRecordSettings(ids[2], lastTwo));
    for (int round = 1; round <= 3; ++round) {
        for (std::size_t i = 0; i < names.size(); ++i) {
            changeFile(src + "/" + names[i] + "/f.txt", std::to_string(round), 10 * round);
            runPass(ids[i]);
        }
    }
    EXPECT_EQ((std::vector<std::string>{"1", "2"}), keptContents("Docs"));
    EXPECT_EQ((std::vector<std::string>{"0", "1", "2"}), keptContents("Other"));
    EXPECT_FALSE(Poco::File(dst + "/.backup-versions/Off").exists());
    EXPECT_EQ("3", readFile(dst + "/Off/f.txt"));
    // Nothing changed: no version.
    runPass(ids[0]);
    EXPECT_EQ(3u, keptContents("Other").size());
}

TEST_F(FolderCopyTest, FileBecomingAFolderAndBackTwiceNeverBlocksThePass) {
    writeFile(docs("x.txt"), "x as a file 0");
    writeFile(docs("y/1"), "y as a folder 0");
    const int id = addRecord(false, src + "/Docs", dst);
    passMatchesSource(id);

    for (int round = 1; round <= 2; ++round) {
        const std::string n = std::to_string(round);
        remove(docs("x.txt"));
        writeFile(docs("x.txt/inner"), "x as a folder " + n);
        remove(docs("y"));
        writeFile(docs("y"), "y as a file " + n);
        passMatchesSource(id);
        // The file's row goes with its listed folder, the rows under the
        // folder that is a file now go too.
        EXPECT_FALSE(hasRow(id, docs("x.txt")));
        EXPECT_TRUE(hasRow(id, docs("x.txt/inner")));
        EXPECT_FALSE(hasRow(id, docs("y/1")));
        EXPECT_EQ(2, rows(id));

        remove(docs("x.txt"));
        writeFile(docs("x.txt"), "x as a file " + n);
        remove(docs("y"));
        writeFile(docs("y/1"), "y as a folder " + n);
        passMatchesSource(id);
    }

    // Everything the copy held is kept, under stamped names beside the
    // copy's layout.
    const std::regex kept("(x~\\d{8}-\\d{6}(-\\d+)?\\.txt|y~\\d{8}-\\d{6}(-\\d+)?)(/.*)?");
    std::multiset<std::string> contents;
    for (const auto& entry : snapshotTree(dst + "/" + VersionName::FOLDER + "/Docs")) {
        EXPECT_TRUE(std::regex_match(entry.first, kept)) << entry.first;
        if (entry.second.kind == 'f') contents.insert(entry.second.content);
    }
    EXPECT_EQ((std::multiset<std::string>{"x as a file 0", "x as a file 1", "x as a folder 1",
                                          "x as a folder 2", "y as a folder 0", "y as a folder 1",
                                          "y as a file 1", "y as a file 2"}),
              contents);
}

TEST_F(FolderCopyTest, LinkInTheCopyIsMovedAsideNotWrittenThrough) {
    const int id = backedUpDocs({{"sub/a", "one"}});

    const std::string outside = profile.scratch("outside");
    writeFile(outside + "/mine", "not the backup's");
    ::chmod(outside.c_str(), 0700);
    setTime(outside, 1000000000);
    const auto before = snapshotTree(outside);
    remove(dst + "/Docs/sub");
    ASSERT_EQ(0, ::symlink(outside.c_str(), (dst + "/Docs/sub").c_str()));

    changeFile(docs("sub/a"), "two");
    passMatchesSource(id);
    struct stat st;
    ASSERT_EQ(0, ::stat(outside.c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 07777);
    EXPECT_EQ(1000000000, st.st_mtim.tv_sec);
    EXPECT_EQ(before, snapshotTree(outside));
    // The link itself is kept with the earlier copies.
    const auto kept = snapshotTree(dst + "/" + VersionName::FOLDER + "/Docs");
    ASSERT_EQ(1u, kept.size());
    EXPECT_EQ(outside, kept.begin()->second.content);
}

TEST_F(FolderCopyTest, EmptyFoldersReachTheCopyWithTheirModesAndTimes) {
    writeFile(docs("file"), "f");
    for (const char* folder : {"empty", "a", "a/b", "a/b/c"})
        ASSERT_EQ(0, ::mkdir(docs(folder).c_str(), 0755));
    ::chmod(docs("empty").c_str(), 0750);
    ::chmod(docs("a/b/c").c_str(), 0701);
    for (const char* folder : {"a/b/c", "a/b", "a", "empty", ""}) setTime(docs(folder), 1500000000);
    const int id = addRecord(false, src + "/Docs", dst);
    passMatchesSource(id);

    // Also when no file changed.
    ASSERT_EQ(0, ::mkdir(docs("later").c_str(), 0700));
    setTime(docs("later"), 1600000000);
    setTime(docs(""), 1600000000);
    runPass(id);
    EXPECT_EQ("0:No change detected, Nothing to backup", activities(id).back());
    expectCopyEqualsSource();
}

TEST_F(FolderCopyTest, VersionsFolderAtADestinationsRootIsNotBackedUp) {
    backedUpDocs({{"x", "x"}, {std::string(VersionName::FOLDER) + "/own", "a user's folder"}});
    expectCopyEqualsSource();
    writeFile(dst + "/" + VersionName::FOLDER + "/Docs/x~20261207-093005", "kept");

    // A record that backs up the first one's destination.
    const std::string other = profile.scratch("other");
    const int second = addRecord(false, dst, other);
    runPass(second);
    const std::string copy = other + "/dst";
    EXPECT_EQ("x", readFile(copy + "/Docs/x"));
    EXPECT_FALSE(Poco::File(copy + "/" + VersionName::FOLDER).exists());
}

}  // namespace
}  // namespace EngineTest
