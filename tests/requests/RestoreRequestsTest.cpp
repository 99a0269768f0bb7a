// Browsing a record's copy and restoring from it through the real service,
// from a local copy and from one on another device (the connector hands each
// exchange to this same service's storing side).

#include <Poco/DateTime.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/File.h>
#include <Poco/LocalDateTime.h>
#include <Poco/Timezone.h>
#include <unistd.h>

#include <regex>

#include "RequestsFixture.h"
#include "hostapi/HostControl.h"
#include "hostapi/PoManager.h"

namespace {

using namespace Orvana::Backup;
using namespace TestSupport;
using Orvana::API::PeerFrame;
using Orvana::Data::PeerID;
using Orvana::HostKit::HostControl;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class RestoreRequestsTest : public RequestsTest {
protected:
    // "type path state" of each entry, in document order.
    static std::vector<std::string> entries(const std::string& doc) {
        std::vector<std::string> out;
        for (auto pos = doc.find("<entry>"); pos != std::string::npos;
             pos = doc.find("<entry>", pos + 1)) {
            const XmlDocument e(doc.substr(pos, doc.find("</entry>", pos) + 8 - pos));
            out.push_back(e.text("type") + " " + e.text("path") + " " + e.text("state"));
        }
        return out;
    }
    std::string browse(int id, const std::string& rawPathQuery = "") {
        return harness.request("getbackupfiles", "recid=" + std::to_string(id) + rawPathQuery);
    }
    std::string summary(int id, const Fields& fields) {
        return restore(id, fields, " left as they were");
    }
    static ino_t inode(const std::string& path) {
        struct stat st = {};
        EXPECT_EQ(0, ::lstat(path.c_str(), &st)) << path;
        return st.st_ino;
    }
    // The file changed, then another pass of its record.
    void change(int id, const std::string& path, const std::string& content, time_t mtime) {
        writeFile(path, content);
        setTime(path, mtime);
        pass(id);
    }
    XmlDocument versions(int id, const std::string& path) {
        return XmlDocument(ask("getfileversions", id, {{"path", path}}));
    }
};

TEST_F(RestoreRequestsTest, BrowseListsTheCopyInOrderWithItsStatesAndLosslessPaths) {
    writeFile(src + "/b.txt", "bee");
    writeFile(src + "/a&<b>.txt", "markup");
    writeFile(src + "/gone.txt", "soon deleted");
    writeFile(src + "/edited.txt", "first");
    writeFile(src + "/touched.txt", "same size");
    writeFile(src + "/d\xe9j\xe0/inner.txt", "latin-1 folder");
    writeFile(src + "/Z/deep.txt", "z");
    writeFile(src + "/Vanished/x.txt", "x");
    const int id = backedUp(src, store);

    Poco::File(src + "/gone.txt").remove();
    Poco::File(src + "/Vanished").remove(true);
    writeFile(src + "/edited.txt", "second version");
    setTime(src + "/touched.txt", 1000000000);  // same size, other time
    writeFile(src + "/new.txt", "not in the copy");

    const std::string doc = browse(id);
    const std::string recid = "<recid>" + std::to_string(id) + "</recid>";
    ASSERT_THAT(doc, StartsWith("<getbackupfiles>" + recid + "<path></path>"));
    EXPECT_THAT(doc, EndsWith("</getbackupfiles>"));
    EXPECT_EQ(std::string::npos, doc.find("<more>"));
    // Folders first, then files, each in byte order of the name.
    const std::vector<std::string> expected = {
        "folder Vanished missing",   "folder Z same",           "folder d%E9j%E0 same",
        "file a%26%3Cb%3E.txt same", "file b.txt same",         "file edited.txt changed",
        "file gone.txt missing",     "file touched.txt changed"};
    EXPECT_EQ(expected, entries(doc));
    EXPECT_THAT(doc, HasSubstr("<name>a&amp;&lt;b&gt;.txt</name>"));

    // The encoded path goes back into a query as it stands and finds the same bytes.
    const std::string sub = browse(id, "&path=d%E9j%E0");
    EXPECT_THAT(sub, StartsWith("<getbackupfiles>" + recid + "<path>d%E9j%E0</path><entry>"));
    EXPECT_EQ(std::vector<std::string>{"file d%E9j%E0%2Finner.txt same"}, entries(sub));
    // "." and doubled separators name the same folder.
    EXPECT_EQ(sub, browse(id, "&path=.%2Fd%E9j%E0%2F%2F"));

    // The time shown is the copy's, in local time.
    setTime(store + "/Docs/b.txt", 1700000000);
    Poco::DateTime t{Poco::Timestamp::fromEpochTime(1700000000)};
    t.makeLocal(Poco::Timezone::tzd());
    const std::string when = Poco::DateTimeFormatter::format(t, "%e-%b-%y %h:%M:%S %A");
    EXPECT_THAT(browse(id),
                HasSubstr("<name>b.txt</name><path>b.txt</path><type>file</type><size>3</size>"
                          "<readablesize>3 B</readablesize><modified>" +
                          when + "</modified><state>changed</state>"));
}

TEST_F(RestoreRequestsTest, BrowseStopsAtTenThousandEntriesAndCountsTheRest) {
    const int id = addLocal(profile.scratch("Many"), store);
    const std::string copy = store + "/Many";
    Poco::File(copy).createDirectories();
    for (int i = 0; i < 10003; ++i) writeFile(copy + "/f" + std::to_string(100000 + i), "");
    const std::string doc = browse(id);
    const std::vector<std::string> listed = entries(doc);
    EXPECT_EQ(10000u, listed.size());
    EXPECT_EQ("file f100000 missing", listed.front());
    EXPECT_EQ("file f109999 missing", listed.back());
    EXPECT_THAT(doc, EndsWith("<more>3</more></getbackupfiles>"));
}

// Every refusal says why; the table holds each reason the browse, version
// and restore requests give.
TEST_F(RestoreRequestsTest, RefusalsSayWhyInTheUsersLanguage) {
    const std::string outside = profile.scratch("outside");
    writeFile(src + "/a.txt", "a");
    writeFile(src + "/sub/b.txt", "b");
    writeFile(outside + "/secret.txt", "not part of the copy");
    writeFile(there + "/file", "");
    const int id = backedUp(src, store);
    // A link planted in the copy is neither listed nor followed.
    ASSERT_EQ(0, ::symlink(outside.c_str(), (store + "/Docs/out").c_str()));
    ASSERT_EQ(0, ::symlink((outside + "/secret.txt").c_str(), (store + "/Docs/s.txt").c_str()));
    ASSERT_EQ(0, ::symlink((store + "/Docs").c_str(), (there + "/tocopy").c_str()));
    EXPECT_EQ((std::vector<std::string>{"folder sub same", "file a.txt same"}),
              entries(browse(id)));
    // A copy folder that is itself a link leads out of the copy as well.
    const int linked = addLocal(profile.scratch("Linked"), store);
    ASSERT_EQ(0, ::symlink(outside.c_str(), (store + "/Linked").c_str()));
    const std::string never = std::to_string(addLocal(profile.scratch("Never"), store));
    // A file record: its one file, and no path below it.
    const std::string file = profile.scratch("single") + "/report.txt";
    writeFile(file, "report");
    setTime(file, 1300000000);
    const int single = backedUp(file, store, true);
    EXPECT_EQ(std::vector<std::string>{"file report.txt same"}, entries(browse(single)));

    const char* const OUTSIDE = "The path is not inside the backup";
    const char* const NO_FOLDER = "No such folder in the backup";
    const char* const NO_ITEM = "No such file or folder in the backup";
    const char* const UNREADABLE = "The backup of this record cannot be read";
    const char* const OVERWRITE = "Overwrite must be never, changed or always";
    const char* const TARGET = "Restore target must be an existing absolute folder";
    const char* const IN_COPY = "Restore target must not lie in the backup";
    const char* const NO_RECORD = "No such backup record";
    const char* const NOTHING_YET = "Nothing has been backed up yet";
    const char* const ONE_FILE = "A version can be restored for one file only";
    const char* const MOMENT = "The moment must be given as YYYYMMDD-HHMMSS";
    const std::string version = "&version=20010101-000000";
    struct Case {
        const char* op;
        std::string recid;
        std::string query;
        const char* reason;
    };
    const std::string rec = std::to_string(id), one = std::to_string(single),
                      link = std::to_string(linked);
    const std::vector<Case> cases = {
        {"getbackupfiles", "42", "", NO_RECORD},
        {"restorefiles", "x", "&path=", NO_RECORD},
        {"getbackupfiles", never, "", NOTHING_YET},
        {"restorefiles", never, "&path=", NOTHING_YET},
        {"getbackupfiles", rec, "&path=..", OUTSIDE},
        {"getbackupfiles", rec, "&path=%2E%2E%2FDocs", OUTSIDE},
        {"getbackupfiles", rec, "&path=a%2F..%2F..", OUTSIDE},
        {"getbackupfiles", rec, "&path=%2Fetc", OUTSIDE},
        {"getbackupfiles", rec, "&path=a%00b", OUTSIDE},
        {"getbackupfiles", rec, "&path=out", NO_FOLDER},
        {"getbackupfiles", rec, "&path=out%2F.", NO_FOLDER},
        {"getbackupfiles", rec, "&path=a.txt", NO_FOLDER},
        {"getbackupfiles", rec, "&path=nothere", NO_FOLDER},
        {"getbackupfiles", one, "&path=report.txt", NO_FOLDER},
        {"getbackupfiles", link, "", UNREADABLE},
        {"restorefiles", rec, "", "Nothing was chosen to restore"},
        {"restorefiles", rec, "&overwrite=always", "Nothing was chosen to restore"},
        {"restorefiles", rec, "&path=..", OUTSIDE},
        {"restorefiles", rec, "&path=a.txt&path=%2Fetc", OUTSIDE},
        {"restorefiles", rec, "&path=out", NO_ITEM},
        {"restorefiles", rec, "&path=out%2Fsecret.txt", NO_ITEM},
        {"restorefiles", rec, "&path=nothere", NO_ITEM},
        {"restorefiles", one, "&path=other.txt", NO_ITEM},
        {"restorefiles", link, "&path=", UNREADABLE},
        {"restorefiles", rec, "&path=a.txt&overwrite=sometimes", OVERWRITE},
        {"restorefiles", rec, "&path=a.txt&overwrite=Always", OVERWRITE},
        {"restorefiles", rec, "&path=a.txt&target=", TARGET},
        {"restorefiles", rec, "&path=a.txt&target=relative%2Fdir", TARGET},
        {"restorefiles", rec, "&path=a.txt&target=%2Fno%2Fsuch%2Ffolder", TARGET},
        {"restorefiles", rec, "&path=a.txt&target=" + there + "/file", TARGET},
        {"restorefiles", rec, "&path=a.txt&target=" + there + "%00x", TARGET},
        // Into the copy, or the folder holding it, it would overwrite the
        // backup with itself: refused at once, however the target is named.
        {"restorefiles", rec, "&path=&target=" + store, IN_COPY},
        {"restorefiles", rec, "&path=a.txt&target=" + store + "/Docs/sub", IN_COPY},
        {"restorefiles", rec, "&path=a.txt&target=" + there + "/tocopy", IN_COPY},
        {"restorefiles", one, "&path=&target=" + store + "/", IN_COPY},
        {"getfileversions", rec, "&path=sub", NO_ITEM},
        {"getfileversions", rec, "&path=..%2Fx", OUTSIDE},
        {"getbackupfiles", rec, "&at=x", MOMENT},
        {"restorefiles", rec, "&path=a.txt&path=sub%2Fb.txt" + version, ONE_FILE},
        {"restorefiles", rec, "&path=sub" + version, ONE_FILE},
        {"restorefiles", rec, "&path=sub%2Fb.txt" + version, "No such version of this file"},
        {"restorefiles", rec, "&path=a.txt&at=20260101-000000" + version,
         "Give either a version or a moment, not both"},
        {"restorefiles", rec, "&path=sub&at=20261301-000000", MOMENT},
        {"restorefiles", rec, "&path=sub&at=20260101-000000-2", MOMENT},
    };
    auto ask = [&](const Case& c) { return harness.request(c.op, "recid=" + c.recid + c.query); };
    for (const Case& c : cases) EXPECT_EQ(result(c.op, false, c.reason), ask(c)) << c.query;
    EXPECT_TRUE(activityTexts("Restore of [").empty());  // nothing was queued
    // The file record's one file comes back where it was.
    const auto before = snapshotTree(profile.scratch("single"));
    Poco::File(file).remove();
    EXPECT_EQ("1 file(s) restored, 0 left as they were", summary(single, {{"path", ""}}));
    EXPECT_EQ(before, snapshotTree(profile.scratch("single")));

    // The same reasons in German, each of them translated.
    const std::string archive = std::string(BACKUP_BUILD_DIR) + "/translations.zip";
    HostControl::setLanguage("de");
    ASSERT_TRUE(Orvana::PoManager().addPoVfs(archive, "backup"));
    for (const Case& c : cases) {
        const std::string german = Orvana::PoManager().getTranslation(c.reason);
        EXPECT_NE(c.reason, german);
        EXPECT_EQ(result(c.op, false, german), ask(c)) << c.query;
    }
    EXPECT_TRUE(Orvana::PoManager().removePoVfs(archive));
    HostControl::setLanguage("en");
}

// What a restore replaces is kept as a version; what cannot be kept is not
// replaced.
TEST_F(RestoreRequestsTest, OriginalPlaceUnderEachOverwriteMode) {
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
    const auto copy = snapshotTree(store + "/Docs");
    ASSERT_EQ(snapshotTree(src), copy);

    Poco::File(src + "/gone.txt").remove();
    Poco::File(src + "/sub").remove(true);
    writeFile(src + "/edited.txt", "second version, longer");
    writeFile(src + "/new.txt", "not in the backup");
    const ino_t keepIno = inode(src + "/keep.txt");

    EXPECT_EQ("2 file(s) restored, 2 left as they were",
              summary(id, {{"path", ""}, {"overwrite", "never"}}));
    EXPECT_EQ(completed, newest("Restore of ["));
    auto now = snapshotTree(src);
    for (const char* made : {"gone.txt", "sub", "sub/deep.txt"})  // the folder with mode and time
        EXPECT_EQ(copy.at(made), now.at(made)) << made;
    EXPECT_EQ("second version, longer", readFile(src + "/edited.txt"));

    EXPECT_EQ("1 file(s) restored, 3 left as they were",
              summary(id, {{"path", ""}, {"overwrite", "changed"}}));
    EXPECT_EQ(copy.at("edited.txt"), snapshotTree(src).at("edited.txt"));
    EXPECT_EQ(keepIno, inode(src + "/keep.txt"));  // a same file is not rewritten
    EXPECT_EQ("not in the backup", readFile(src + "/new.txt"));
    const auto kept = snapshotTree(store + "/.backup-versions/Docs");
    ASSERT_EQ(1u, kept.size());
    EXPECT_EQ(0u, kept.begin()->first.find("edited~"));
    EXPECT_EQ("second version, longer", kept.begin()->second.content);

    EXPECT_EQ("4 file(s) restored, 0 left as they were",
              summary(id, {{"path", ""}, {"overwrite", "always"}}));
    EXPECT_NE(keepIno, inode(src + "/keep.txt"));
    now = snapshotTree(src);
    now.erase("new.txt");
    EXPECT_EQ(copy, now);                            // no staging folder or temporary left either
    EXPECT_EQ(copy, snapshotTree(store + "/Docs"));  // the copy itself is never replaced

    writeFile(src + "/edited.txt", "only copy of the edit");
    Poco::File(store + "/.backup-versions").remove(true);
    writeFile(store + "/.backup-versions", "a file where the versions folder belongs");
    EXPECT_EQ(failed, restore(id, {{"path", ""}, {"overwrite", "always"}}));
    EXPECT_EQ("only copy of the edit", readFile(src + "/edited.txt"));
}

TEST_F(RestoreRequestsTest, AnotherFolderTakesTheItemsByTheirNamesAndEmptyFoldersComeBack) {
    writeFile(src + "/keep.txt", "from the backup");
    writeFile(src + "/sub/inner/deep.txt", "deep");
    setTime(src + "/sub/inner", 1200000000);
    const int id = backedUp(src, store);
    const auto copy = snapshotTree(store + "/Docs");
    writeFile(there + "/keep.txt", "mine");

    Fields both = {{"path", "keep.txt"}, {"path", "sub/inner"}, {"target", there}};
    EXPECT_EQ("1 file(s) restored, 1 left as they were", summary(id, both));
    EXPECT_EQ("mine", readFile(there + "/keep.txt"));
    EXPECT_EQ(copy.at("sub/inner"), snapshotTree(there).at("inner"));
    EXPECT_EQ(copy.at("sub/inner/deep.txt"), snapshotTree(there).at("inner/deep.txt"));
    both.push_back({"overwrite", "always"});
    EXPECT_EQ("2 file(s) restored, 0 left as they were", summary(id, both));
    EXPECT_EQ(copy.at("keep.txt"), snapshotTree(there).at("keep.txt"));
    EXPECT_TRUE(holds(store + "/.backup-versions", "mine"));  // kept as a version

    // Empty folders made in the copy directly, as a backup of empty folders
    // would, come back with mode and time.
    const std::string copyRoot = store + "/Docs";
    Poco::File(copyRoot + "/empty/inner").createDirectories();
    ::chmod((copyRoot + "/empty").c_str(), 0711);
    ::chmod((copyRoot + "/empty/inner").c_str(), 0700);
    setTime(copyRoot + "/empty/inner", 1100000000, 7);
    setTime(copyRoot + "/empty", 1200000000, 8);
    setTime(copyRoot, 1300000000, 9);
    const auto withEmpty = snapshotTree(copyRoot);
    EXPECT_EQ("0 file(s) restored, 0 left as they were",
              summary(id, {{"path", "empty"}, {"target", there}}));
    EXPECT_EQ(withEmpty.at("empty"), snapshotTree(there).at("empty"));
    EXPECT_EQ(withEmpty.at("empty/inner"), snapshotTree(there).at("empty/inner"));
    // At the original place the folder holding them gets its time back too.
    setTime(src, 1400000000);
    EXPECT_EQ("0 file(s) restored, 2 left as they were", summary(id, {{"path", ""}}));
    EXPECT_EQ(withEmpty, snapshotTree(src));
    EXPECT_EQ(snapshotTree(store)["Docs"].mtimeNs,
              snapshotTree(profile.scratch(""))["Docs"].mtimeNs);
}

// A stop keeps the files as they were and leaves no temporaries; of the
// folders the restore made it keeps, finished, only those the user saved into.
TEST_F(RestoreRequestsTest, AStopKeepsTheOldFilesAndTakesAwayTheFoldersItMade) {
    const std::string home = profile.scratch("Home");
    const std::string docs = home + "/Docs";
    writeFile(docs + "/big.bin", std::string(24 * 1024 * 1024, 'x'));
    writeFile(docs + "/small.txt", "small");
    writeFile(docs + "/sub/a.txt", "a");
    writeFile(docs + "/gone/deep/b.txt", "b");
    ::chmod((docs + "/sub").c_str(), 0750);
    ::chmod((docs + "/gone").c_str(), 0755);
    setTime(docs + "/sub", 1200000000);
    const int id = backedUp(docs, store);
    const auto copy = snapshotTree(store + "/Docs");
    writeFile(docs + "/big.bin", "user's own big");
    writeFile(docs + "/small.txt", "user's own small");
    Poco::File(docs + "/sub").remove(true);
    Poco::File(docs + "/gone").remove(true);
    const auto before = snapshotTree(docs);

    // The user saves a file into one of the folders the restore has made.
    const std::string bigCopy = store + "/Docs/big.bin";
    std::atomic<bool> holding(false), userSaves(true);
    EngineHooks::setAfterCopyChunk([&](const std::string& source, const std::atomic<bool>& stop) {
        if (source != bigCopy) return;
        if (userSaves.exchange(false)) writeFile(docs + "/sub/mine.txt", "mine");
        holding = true;
        while (!stop) Poco::Thread::sleep(5);
    });
    auto stoppedRestore = [&] {
        holding = false;
        EXPECT_EQ(result("restorefiles", true),
                  ask("restorefiles", id, {{"path", ""}, {"overwrite", "always"}}));
        ASSERT_TRUE(waitFor(holding));
        EXPECT_EQ(result("stopbackup", true), ask("stopbackup", id));
    };
    stoppedRestore();
    auto now = snapshotTree(docs);
    EXPECT_EQ("mine", now.at("sub/mine.txt").content);
    EXPECT_EQ(copy.at("sub"), now.at("sub"));
    now.erase("sub");
    now.erase("sub/mine.txt");
    EXPECT_EQ(before, now);  // "gone" taken away; no staging folder or temporary left
    EXPECT_EQ(1u, activityTexts("] completed.").size());  // only the backup's
    EXPECT_TRUE(activityTexts(" left as they were").empty());

    // A record whose whole source is gone: nothing of it is made again.
    Poco::File(home).remove(true);
    stoppedRestore();
    EXPECT_FALSE(Poco::File(home).exists());

    // The record works on: the next restore goes through.
    EngineHooks::clear();
    EXPECT_EQ("4 file(s) restored, 0 left as they were",
              summary(id, {{"path", ""}, {"target", there}}));
    EXPECT_EQ(copy, snapshotTree(there + "/Docs"));
}

// A restore asked for during a backup of its record runs after it, from the
// copy that backup made; a backup asked for during the restore waits behind
// it and leaves the restore's state and progress alone.
TEST_F(RestoreRequestsTest, RestoreAndBackupOfARecordTakeTurns) {
    writeFile(src + "/a.txt", "old");
    writeFile(src + "/big", std::string(24 * 1024 * 1024, 'x'));
    const int id = backedUp(src, store);
    writeFile(src + "/a.txt", "new and longer");

    // Holds the backup's copy of a.txt, then the restore's of big.
    std::atomic<int> holds(0), allowed(0);
    EngineHooks::setAfterCopyChunk([&](const std::string& source, const std::atomic<bool>& stop) {
        if (source != src + "/a.txt" && source != store + "/Docs/big") return;
        ++holds;
        while (!stop && holds.load() > allowed.load()) Poco::Thread::sleep(5);
    });
    EXPECT_EQ(result("synconerecord", true), ask("synconerecord", id));
    ASSERT_TRUE(waitUntil([&] { return holds.load() == 1; }));
    EXPECT_EQ(result("restorefiles", true),
              ask("restorefiles", id, {{"path", ""}, {"target", there}}));
    Poco::Thread::sleep(300);
    EXPECT_TRUE(activityTexts("Restore of [").empty());
    EXPECT_TRUE(snapshotTree(there).empty());

    allowed = 1;
    ASSERT_TRUE(waitUntil([&] { return holds.load() == 2; }));
    EXPECT_EQ(result("synconerecord", true), ask("synconerecord", id));
    const std::string listing = request("getallbackuprecs");
    EXPECT_EQ("Restoring", element(listing, "currentaction"));
    EXPECT_EQ("1", element(listing, "active"));
    const std::string status = ask("getbackupstatus", id);
    EXPECT_EQ("restore", element(status, "runkind"));
    EXPECT_EQ("1", element(status, "queued"));
    EXPECT_GT(std::stoll(element(status, "bytesdone")), 0);

    allowed = 1000;
    std::vector<BackupDB::RUN_RECORD> runs;
    ASSERT_TRUE(waitUntil([&] { return db->getRuns(id, 10, runs) && runs.size() == 4; }));
    EXPECT_EQ("backup", runs[0].kind);
    EXPECT_EQ("restore", runs[1].kind);
    EXPECT_EQ("completed", runs[1].result);
    EXPECT_EQ(2, runs[1].filesCopied);
    EXPECT_EQ(24 * 1024 * 1024 + 14, runs[1].bytesCopied);
    EXPECT_THAT(
        ask("getbackupstatus", id, {{"history", "1"}}),
        HasSubstr("</record><runs><run><id>" + std::to_string(runs[0].id) + "</id><kind>backup"));
    EXPECT_EQ("new and longer", readFile(there + "/Docs/a.txt"));  // the copy the backup made
}

// A restore that shares its target with a user at work: names that appear
// while it copies are the user's.
TEST_F(RestoreRequestsTest, NamesThatAppearWhileItCopiesStayTheUsers) {
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
        for (std::size_t i = 0; i < names.size(); ++i)
            writeFile(src + "/" + names[i], "saved by the user " + std::to_string(i));
    });
    EXPECT_EQ("0 file(s) restored, 50 left as they were", summary(id, {{"path", ""}}));
    EXPECT_EQ(completed, newest("Restore of ["));
    EXPECT_EQ(1, commits.load());
    for (std::size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ("saved by the user " + std::to_string(i), readFile(src + "/" + names[i]));

    // "changed" looks again at the commit: a file that became the same as
    // the copy meanwhile is left, one that differs is replaced.
    std::atomic<ino_t> saved(0);
    EngineHooks::setBeforeRestoreCommit([&](int, const std::atomic<bool>&) {
        const long long copyTime = snapshotTree(store + "/Docs").at("f2.txt").mtimeNs;
        writeFile(src + "/f2.txt", readFile(store + "/Docs/f2.txt"));
        setTime(src + "/f2.txt", copyTime / 1000000000, copyTime % 1000000000);
        saved = inode(src + "/f2.txt");
    });
    EXPECT_EQ("1 file(s) restored, 1 left as they were",
              summary(id, {{"path", "f2.txt"}, {"path", "f4.txt"}, {"overwrite", "changed"}}));
    EXPECT_EQ(saved.load(), inode(src + "/f2.txt"));
    EXPECT_EQ("from the backup 4", readFile(src + "/f4.txt"));
}

// Links in the copy are not restored; a link in the target, there before or
// swapped in for a folder the restore made or found, takes nothing through it.
TEST_F(RestoreRequestsTest, LinksInTheCopyOrTheTargetLeadNowhere) {
    const std::string outside = profile.scratch("outside");
    const std::string victim = profile.scratch("victim");
    writeFile(src + "/a.txt", "a");
    for (int i = 0; i < 20; ++i) writeFile(src + "/sub/f" + std::to_string(i), "secret");
    writeFile(src + "/sub/deeper/g", "deeper");
    writeFile(outside + "/secret", "secret");
    ::chmod((src + "/sub").c_str(), 0755);
    const int id = backedUp(src, store);
    const auto copy = snapshotTree(store + "/Docs");
    ASSERT_EQ(0, ::symlink(outside.c_str(), (store + "/Docs/out").c_str()));
    ASSERT_EQ(0, ::symlink((outside + "/secret").c_str(), (store + "/Docs/s.txt").c_str()));
    // The whole copy lands in a folder of the source's name.
    EXPECT_EQ("22 file(s) restored, 0 left as they were",
              summary(id, {{"path", ""}, {"target", there + "/"}}));
    EXPECT_EQ(copy, snapshotTree(there + "/Docs"));

    ::chmod(victim.c_str(), 0700);
    setTime(victim, 1000000000);
    const auto victimBefore = snapshotTree(profile.scratch(""))["victim"];
    auto victimUntouched = [&] {
        EXPECT_TRUE(snapshotTree(victim).empty());
        EXPECT_EQ(victimBefore, snapshotTree(profile.scratch(""))["victim"]);
    };
    // A link in the target where a folder goes.
    Poco::File(there + "/Docs/sub").remove(true);
    ASSERT_EQ(0, ::symlink(victim.c_str(), (there + "/Docs/sub").c_str()));
    EXPECT_EQ(failed, restore(id, {{"path", ""}, {"target", there}, {"overwrite", "always"}}));
    victimUntouched();

    // The folder the restore has just made becomes a link to another one.
    auto swap = [&](const std::string& folder) {
        EngineHooks::setBeforeRestoreCommit([=](int, const std::atomic<bool>&) {
            Poco::File(folder).remove(true);
            ASSERT_EQ(0, ::symlink(victim.c_str(), folder.c_str()));
        });
    };
    const std::string elsewhere = profile.scratch("elsewhere");
    swap(elsewhere + "/Docs/sub");
    EXPECT_EQ(failed, restore(id, {{"path", ""}, {"target", elsewhere}}));
    victimUntouched();
    EXPECT_EQ("a", readFile(elsewhere + "/Docs/a.txt"));

    // The same for a folder that was there before, at the original place.
    for (int i = 0; i < 20; ++i) Poco::File(src + "/sub/f" + std::to_string(i)).remove();
    swap(src + "/sub");
    EXPECT_EQ(failed, restore(id, {{"path", "sub"}, {"overwrite", "always"}}));
    victimUntouched();
}

TEST_F(RestoreRequestsTest, VersionsAreListedMarkedAndOneCanBeRestored) {
    writeFile(src + "/notes.txt", "one");
    const int id = backedUp(src, store);
    change(id, src + "/notes.txt", "two, longer", 1700000000);
    change(id, src + "/notes.txt", "three", 1700000100);

    const std::string reply = ask("getfileversions", id, {{"path", "notes.txt"}});
    EXPECT_THAT(reply, StartsWith("<getfileversions><recid>" + std::to_string(id) +
                                  "</recid><path>notes.txt</path><current><size>5</size>"));
    const XmlDocument doc(reply);
    EXPECT_EQ("<missing>", doc.text("version", 2));
    EXPECT_EQ("11", doc.text("size", 1));  // newest first
    EXPECT_EQ("3", doc.text("size", 2));
    const std::string newest = doc.text("stamp", 0), oldest = doc.text("stamp", 1);
    const std::string listing = ask("getbackupfiles", id);
    EXPECT_THAT(listing, HasSubstr("<state>same</state><versions>2</versions></entry>"));
    EXPECT_EQ(listing.find("<versions>"), listing.rfind("<versions>")) << listing;

    EXPECT_EQ(completed,
              restore(id, {{"path", "notes.txt"}, {"version", oldest}, {"target", there}}));
    EXPECT_EQ("one", readFile(there + "/notes.txt"));
    // A file gone from the copy keeps its versions (and the restore kept the
    // one it replaced as a third).
    Poco::File(store + "/Docs/notes.txt").remove();
    EXPECT_EQ("<missing>", versions(id, "notes.txt").text("current"));
    const Fields newer = {
        {"path", "notes.txt"}, {"version", newest}, {"target", there}, {"overwrite", "changed"}};
    EXPECT_EQ(completed, restore(id, newer));
    EXPECT_EQ("two, longer", readFile(there + "/notes.txt"));
    EXPECT_EQ(oldest, versions(id, "notes.txt").text("stamp", 2));
}

TEST_F(RestoreRequestsTest, AFolderComesBackAsItWasAtAMoment) {
    // Passes at midnight UTC of 1, 2 and 3 January stamp the versions.
    auto onDay = [](int day) {
        EngineClock::pin(Poco::LocalDateTime(Poco::DateTime(2026, 1, day)));
    };
    writeFile(src + "/a.txt", "a1");
    writeFile(src + "/sub/b.txt", "b1");
    ::chmod((src + "/sub/b.txt").c_str(), 0640);
    onDay(1);
    const int id = backedUp(src, store);
    const auto day1 = snapshotTree(src, false);
    onDay(2);
    writeFile(src + "/sub/b.txt", "b2, longer");
    writeFile(src + "/new.txt", "new");
    change(id, src + "/a.txt", "a2", 1700000000);
    const auto day2 = snapshotTree(src, false);
    onDay(3);
    change(id, src + "/a.txt", "a3, longer", 1700000100);

    for (const auto& moment :
         {std::make_pair("20260101-120000", day1), std::make_pair("20260102-120000", day2)}) {
        const std::string target = profile.scratch(std::string("at-") + moment.first);
        EXPECT_EQ(completed, restore(id, {{"path", ""}, {"at", moment.first}, {"target", target}}));
        const auto restored = snapshotTree(target + "/Docs", false);
        for (const std::string file : {"a.txt", "sub/b.txt"})
            EXPECT_TRUE(moment.second.at(file) == restored.at(file)) << moment.first << " " << file;
        // Made after the moment: as it is now.
        EXPECT_EQ("new", readFile(target + "/Docs/new.txt"));
    }

    const std::string listing = ask("getbackupfiles", id, {{"at", "20260101-120000"}});
    EXPECT_THAT(listing, HasSubstr("</path><at>20260101-120000</at><entry>"));
    EXPECT_THAT(listing, HasSubstr("<path>a.txt</path><type>file</type><size>2</size>"));
    EXPECT_THAT(listing, HasSubstr("<state>changed</state><versions>2</versions>"));
}

// A record whose copy lies on another device.
const char* const DEVICE = "friend@peerhost";
const char* const SELF = "me@myhost";

class PeerRestoreRequestsTest : public RequestsTest {
protected:
    void SetUp() override {
        RequestsTest::SetUp();
        db->setConfigValue("backup", "CUSTOM_DIR_SET", "TRUE");
        db->setConfigValue("backup", "BACKUP_DEF_STORE_KEY", profile.scratch("incoming"));
        HostControl::setPeerProbe(
            [this](const PeerID& peer) { return peer == PeerID(DEVICE) && !offline.load(); });
        HostControl::setPeerConnector([this](const PeerID&, const PeerFrame& request, int) {
            if (offline) throw Orvana::API::PeerUnreachableException("connection refused");
            return HostControl::deliverPeerRequest(PeerID(SELF), request);
        });
    }

    int backedUpToDevice(const std::string& source, bool isFile = false) {
        int id = 0;
        EXPECT_TRUE(db->addBackupRecord(DEVICE, isFile ? 1 : 0, 1, source, "", "", 3, -1, -1, id));
        pass(id);
        return id;
    }
    // The document with the record's id taken out, and folders' times (the
    // device does not keep them) left out.
    static std::string shape(const std::string& doc) {
        std::string out = std::regex_replace(doc, std::regex("<recid>[0-9]+</recid>"), "");
        return std::regex_replace(
            out, std::regex("(<type>folder</type>.*?</readablesize>)<modified>[^<]*</modified>"),
            "$1");
    }

    std::atomic<bool> offline{false};
};

TEST_F(PeerRestoreRequestsTest, BrowsingTheDeviceGivesTheDocumentsOfALocalCopy) {
    writeFile(src + "/a.txt", "alpha");
    writeFile(src + "/odd & <name>\n.txt", "odd");
    writeFile(src + "/sub/deep.bin", std::string(70000, 'd'));
    setTime(src + "/a.txt", 1000000000, 123456789);
    const int onDevice = backedUpToDevice(src);
    const int local = backedUp(src, profile.scratch("localstore"));
    writeFile(src + "/a.txt", "alpha, changed");  // "changed" against both copies

    for (const std::string path : {"", "sub"}) {
        const std::string fromDevice = ask("getbackupfiles", onDevice, {{"path", path}});
        EXPECT_THAT(fromDevice, HasSubstr("<entry>"));
        EXPECT_EQ(shape(ask("getbackupfiles", local, {{"path", path}})), shape(fromDevice));
    }
    EXPECT_EQ(result("getbackupfiles", false, "No such folder in the backup"),
              ask("getbackupfiles", onDevice, {{"path", "nope"}}));
    EXPECT_EQ(result("getbackupfiles", false, "The path is not inside the backup"),
              ask("getbackupfiles", onDevice, {{"path", "../x"}}));

    // A second pass keeps the old content as a version on the device.
    pass(onDevice);
    const std::string versions = ask("getfileversions", onDevice, {{"path", "a.txt"}});
    EXPECT_EQ("14", element(versions, "size", 0));  // the current one
    EXPECT_EQ("5", element(versions, "size", 1));
    EXPECT_THAT(ask("getbackupfiles", onDevice, {{"path", ""}}),
                HasSubstr("<versions>1</versions>"));
    // As it was at a moment before that pass: the same on both.
    pass(local);
    auto then = [&](int id) {
        return ask("getbackupfiles", id, {{"path", ""}, {"at", "20010101-000000"}});
    };
    EXPECT_NE(std::string::npos, then(onDevice).find("<size>5</size>")) << then(onDevice);
    EXPECT_EQ(shape(then(local)), shape(then(onDevice)));
}

TEST_F(PeerRestoreRequestsTest, FilesFoldersAndVersionsComeBackFromTheDevice) {
    writeFile(src + "/gone.txt", "deleted later");
    writeFile(src + "/edited.txt", "first version");
    writeFile(src + "/sub/big.bin", std::string(9 * 1024 * 1024 + 5, 'b'));  // more than a chunk
    ::chmod((src + "/gone.txt").c_str(), 0640);
    ::chmod((src + "/sub").c_str(), 0750);
    setTime(src + "/gone.txt", 1000000000, 123456789);
    setTime(src + "/edited.txt", 1100000000);
    const auto before = snapshotFiles(src);
    const int id = backedUpToDevice(src);

    Poco::File(src + "/gone.txt").remove();
    Poco::File(src + "/sub").remove(true);
    writeFile(src + "/edited.txt", "second version, longer");
    EXPECT_EQ(completed, restore(id, {{"path", ""}, {"overwrite", "always"}}));
    EXPECT_EQ(before, snapshotFiles(src));
    // The edit it replaced is kept on this device; nothing fetched is left.
    const std::string holding =
        profile.userDataDir() + "/backup/.backup-peer-restore/" + std::to_string(id);
    EXPECT_TRUE(holds(holding, "second version, longer"));
    EXPECT_FALSE(Poco::File(holding + "/Docs").exists());

    // A version of the device: one file as it was before the last pass.
    writeFile(src + "/edited.txt", "third");
    pass(id);
    const std::string stamp =
        element(ask("getfileversions", id, {{"path", "edited.txt"}}), "stamp");
    EXPECT_EQ(completed,
              restore(id, {{"path", "edited.txt"}, {"version", stamp}, {"target", there}}));
    EXPECT_EQ("first version", readFile(there + "/edited.txt"));
    EXPECT_EQ(result("restorefiles", false, "No such version of this file"),
              ask("restorefiles", id, {{"path", "edited.txt"}, {"version", "20010101-000000"}}));

    // A file record: its one file, back where it was.
    const std::string file = profile.scratch("one") + "/report.txt";
    writeFile(file, "report");
    setTime(file, 1000000000, 5);
    const auto one = snapshotFiles(profile.scratch("one"));
    const int single = backedUpToDevice(file, true);
    Poco::File(file).remove();
    EXPECT_EQ("Restore of [" + file + "] completed.", restore(single, {{"path", "report.txt"}}));
    EXPECT_EQ(one, snapshotFiles(profile.scratch("one")));
}

TEST_F(PeerRestoreRequestsTest, AnUnreachableDeviceIsSaidSo) {
    writeFile(src + "/a.txt", "alpha");
    const int id = backedUpToDevice(src);
    // The status says whether the device answers; a local record's has no such element.
    EXPECT_EQ("1", element(ask("getbackupstatus", id), "reachable"));
    EXPECT_EQ("<missing>", element(ask("getbackupstatus", addLocal(src, store)), "reachable"));
    offline = true;
    EXPECT_EQ("0", element(ask("getbackupstatus", id), "reachable"));
    const std::string unreachable = "The device [" + std::string(DEVICE) + "] cannot be reached";
    for (const char* op : {"getbackupfiles", "getfileversions", "restorefiles"})
        EXPECT_EQ(result(op, false, unreachable), ask(op, id, {{"path", "a.txt"}}));

    // Lost after the request was taken: the restore fails with that reason
    // and writes nothing.
    offline = false;
    Poco::File(src + "/a.txt").remove();
    HostControl::setPeerConnector([this](const PeerID&, const PeerFrame& request, int) {
        if (request.field("op") == "read")
            throw Orvana::API::PeerUnreachableException("connection reset");
        return HostControl::deliverPeerRequest(PeerID(SELF), request);
    });
    EXPECT_EQ(failed, restore(id, {{"path", ""}}));
    EXPECT_FALSE(activityTexts(unreachable).empty());
    EXPECT_FALSE(Poco::File(src + "/a.txt").exists());
}

}  // namespace
