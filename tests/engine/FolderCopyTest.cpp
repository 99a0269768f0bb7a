// The copy's folders: an entry whose type changed in the source is moved
// aside into the versions folder instead of blocking the record, nothing is
// written through a link found in the copy, empty folders are copied with
// their modes and times, and the versions folder at a destination's root is
// not backed up by another record.

#include <regex>

#include "EngineFixture.h"
#include "engine/VersionName.h"

namespace EngineTest {
namespace {

using Orvana::Backup::VersionName;
using TestSupport::snapshotTree;

void setTime(const std::string& path, time_t seconds) {
    const struct timespec times[2] = {{seconds, 0}, {seconds, 500}};
    ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

class FolderCopyTest : public EngineTestBase {
protected:
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
