// Earlier versions through the requests: listed, marked in the browse,
// restored one by one or as a folder was at a moment; and a restore never
// destroys: what it replaces is kept as an earlier version.

#include <Poco/DateTime.h>
#include <Poco/File.h>
#include <Poco/LocalDateTime.h>

#include <algorithm>
#include <vector>

#include "RequestsFixture.h"
#include "support/TempDir.h"
#include "support/TreeSnapshot.h"
#include "support/XmlDocument.h"

namespace {

using Orvana::Backup::EngineClock;
using TestSupport::readFile;
using TestSupport::writeFile;
using TestSupport::XmlDocument;

class RestoreVersionsTest : public RequestsTest {
protected:
    // The file changed, then another pass of its record.
    void change(int id, const std::string& path, const std::string& content, time_t mtime) {
        writeFile(path, content);
        setTime(path, mtime);
        Orvana::Backup::BackupDB::BACKUP_RECORD before;
        ASSERT_TRUE(db->getBackupRecord(id, before));
        ASSERT_EQ(result("synconerecord", true),
                  request("synconerecord", {{"recid", std::to_string(id)}}));
        ASSERT_TRUE(waitForPass(id, before.lastSuccessTime.utcTime()));
    }
    XmlDocument versions(int id, const std::string& path) {
        return XmlDocument(
            request("getfileversions", {{"recid", std::to_string(id)}, {"path", path}}));
    }
    // Contents of the files in a folder, by name.
    static std::vector<std::string> contents(const std::string& folder) {
        std::vector<std::string> names, out;
        if (Poco::File(folder).exists()) Poco::File(folder).list(names);
        std::sort(names.begin(), names.end());
        for (const std::string& name : names)
            out.push_back(name + "=" + readFile(folder + "/" + name));
        return out;
    }
};

TEST_F(RestoreVersionsTest, VersionsAreListedMarkedAndOneCanBeRestored) {
    const std::string src = profile.scratch("Docs");
    const std::string store = profile.scratch("store");
    const std::string there = profile.scratch("there");
    writeFile(src + "/notes.txt", "one");
    writeFile(src + "/sub/x.txt", "x");
    const int id = backedUp(src, store);
    const std::string rec = std::to_string(id);
    change(id, src + "/notes.txt", "two, longer", 1700000000);
    change(id, src + "/notes.txt", "three", 1700000100);

    const std::string reply = request("getfileversions", {{"recid", rec}, {"path", "notes.txt"}});
    EXPECT_EQ(0u, reply.find("<getfileversions><recid>" + rec +
                             "</recid><path>notes.txt</path><current><size>5</size>"))
        << reply;
    const XmlDocument doc(reply);
    EXPECT_EQ("<missing>", doc.text("version", 2));
    EXPECT_EQ("11", doc.text("size", 1));  // newest first
    EXPECT_EQ("3", doc.text("size", 2));
    const std::string newest = doc.text("stamp", 0), oldest = doc.text("stamp", 1);
    const std::string listing = request("getbackupfiles", {{"recid", rec}});
    EXPECT_NE(std::string::npos, listing.find("<state>same</state><versions>2</versions></entry>"))
        << listing;
    EXPECT_EQ(listing.find("<versions>"), listing.rfind("<versions>")) << listing;

    EXPECT_EQ("Restore of [" + src + "] completed.",
              restore(id, {{"path", "notes.txt"}, {"version", oldest}, {"target", there}}));
    EXPECT_EQ("one", readFile(there + "/notes.txt"));
    // A file gone from the copy keeps its versions (and the restore kept the
    // one it replaced as a third).
    Poco::File(store + "/Docs/notes.txt").remove();
    EXPECT_EQ("<missing>", versions(id, "notes.txt").text("current"));
    EXPECT_EQ("Restore of [" + src + "] completed.", restore(id, {{"path", "notes.txt"},
                                                                  {"version", newest},
                                                                  {"target", there},
                                                                  {"overwrite", "changed"}}));
    EXPECT_EQ("two, longer", readFile(there + "/notes.txt"));
    EXPECT_EQ(oldest, versions(id, "notes.txt").text("stamp", 2));

    const std::string oneFile = "A version can be restored for one file only";
    const std::string badMoment = "The moment must be given as YYYYMMDD-HHMMSS";
    const std::vector<std::pair<std::string, Fields>> refused = {
        {"No such file or folder in the backup", {{"op", "getfileversions"}, {"path", "sub"}}},
        {"The path is not inside the backup", {{"op", "getfileversions"}, {"path", "../x"}}},
        {badMoment, {{"op", "getbackupfiles"}, {"at", "x"}}},
        {oneFile, {{"path", "notes.txt"}, {"path", "sub/x.txt"}, {"version", oldest}}},
        {oneFile, {{"path", "sub"}, {"version", oldest}}},
        {"No such version of this file", {{"path", "sub/x.txt"}, {"version", oldest}}},
        {"Give either a version or a moment, not both",
         {{"path", "notes.txt"}, {"version", oldest}, {"at", "20260101-000000"}}},
        {badMoment, {{"path", "sub"}, {"at", "20261301-000000"}}},
        {badMoment, {{"path", "sub"}, {"at", "20260101-000000-2"}}},
    };
    for (const auto& row : refused) {
        std::string op = "restorefiles";
        Fields fields{{"recid", rec}};
        for (const auto& field : row.second)
            field.first == "op" ? void(op = field.second) : fields.push_back(field);
        EXPECT_EQ(result(op, false, row.first), request(op, fields)) << query(row.second);
    }
}

TEST_F(RestoreVersionsTest, AFolderComesBackAsItWasAtAMoment) {
    const std::string src = profile.scratch("Docs");
    const std::string store = profile.scratch("store");
    // Passes at midnight UTC of 1, 2 and 3 January stamp the versions.
    auto onDay = [](int day) {
        EngineClock::pin(Poco::LocalDateTime(Poco::DateTime(2026, 1, day)));
    };
    writeFile(src + "/a.txt", "a1");
    writeFile(src + "/sub/b.txt", "b1");
    ::chmod((src + "/sub/b.txt").c_str(), 0640);
    onDay(1);
    const int id = backedUp(src, store);
    const auto day1 = TestSupport::snapshotTree(src, false);
    onDay(2);
    writeFile(src + "/sub/b.txt", "b2, longer");
    writeFile(src + "/new.txt", "new");
    change(id, src + "/a.txt", "a2", 1700000000);
    const auto day2 = TestSupport::snapshotTree(src, false);
    onDay(3);
    change(id, src + "/a.txt", "a3, longer", 1700000100);

    for (const auto& moment :
         {std::make_pair("20260101-120000", day1), std::make_pair("20260102-120000", day2)}) {
        const std::string there = profile.scratch(std::string("at-") + moment.first);
        EXPECT_EQ("Restore of [" + src + "] completed.",
                  restore(id, {{"path", ""}, {"at", moment.first}, {"target", there}}));
        const auto restored = TestSupport::snapshotTree(there + "/Docs", false);
        for (const std::string file : {"a.txt", "sub/b.txt"})
            EXPECT_TRUE(moment.second.at(file) == restored.at(file)) << moment.first << " " << file;
        // Made after the moment: as it is now.
        EXPECT_EQ("new", readFile(there + "/Docs/new.txt"));
    }

    const std::string listing =
        request("getbackupfiles", {{"recid", std::to_string(id)}, {"at", "20260101-120000"}});
    EXPECT_NE(std::string::npos, listing.find("</path><at>20260101-120000</at><entry>")) << listing;
    EXPECT_NE(std::string::npos, listing.find("<path>a.txt</path><type>file</type><size>2</size>"))
        << listing;
    EXPECT_NE(std::string::npos, listing.find("<state>changed</state><versions>2</versions>"))
        << listing;
}

TEST_F(RestoreVersionsTest, ARestoreOverAnEditIsUndoneThroughTheVersionItKept) {
    const std::string src = profile.scratch("Docs");
    writeFile(src + "/notes.txt", "good");
    const int id = backedUp(src, profile.scratch("store"));
    writeFile(src + "/notes.txt", "my edit, longer");

    EXPECT_EQ("Restore of [" + src + "] completed.",
              restore(id, {{"path", "notes.txt"}, {"overwrite", "changed"}}));
    EXPECT_EQ("good", readFile(src + "/notes.txt"));
    const XmlDocument listed = versions(id, "notes.txt");
    ASSERT_EQ("15", listed.text("size", 1));
    EXPECT_EQ("Restore of [" + src + "] completed.",
              restore(id, {{"path", "notes.txt"},
                           {"version", listed.text("stamp", 0)},
                           {"overwrite", "always"}}));
    EXPECT_EQ("my edit, longer", readFile(src + "/notes.txt"));
    EXPECT_EQ("4", versions(id, "notes.txt").text("size", 1));  // the undo kept what it replaced
}

TEST_F(RestoreVersionsTest, ReplacedFilesAreKeptAsVersions) {
    const std::string src = profile.scratch("Docs");
    const std::string store = profile.scratch("store");
    const std::string there = profile.scratch("there");
    writeFile(src + "/sub/notes.txt", "good");
    writeFile(src + "/same.txt", "same");
    const int id = backedUp(src, store);
    writeFile(src + "/sub/notes.txt", "edited after the backup");

    // "changed": the edit goes back to the backup's, and is kept.
    EXPECT_EQ("Restore of [" + src + "] completed.",
              restore(id, {{"path", ""}, {"overwrite", "changed"}}));
    EXPECT_EQ("good", readFile(src + "/sub/notes.txt"));
    const std::string versions = store + "/.backup-versions/Docs/sub";
    const std::vector<std::string> kept = contents(versions);
    ASSERT_EQ(1u, kept.size());
    EXPECT_EQ(0u, kept[0].find("notes~"));
    EXPECT_NE(std::string::npos, kept[0].find(".txt=edited after the backup"));
    EXPECT_EQ(1u, activityTexts("1 file(s) kept as earlier versions").size());
    EXPECT_FALSE(Poco::File(store + "/.backup-versions/Docs/same.txt").exists());

    // "always" into another folder keeps what it replaces there too; a file
    // it only adds is no version.
    writeFile(there + "/sub/notes.txt", "someone else's");
    EXPECT_EQ("Restore of [" + src + "] completed.", restore(id, {{"path", "sub"},
                                                                  {"path", "same.txt"},
                                                                  {"target", there},
                                                                  {"overwrite", "always"}}));
    EXPECT_EQ("good", readFile(there + "/sub/notes.txt"));
    EXPECT_EQ(2u, contents(versions).size());
    EXPECT_EQ(2u, activityTexts("1 file(s) kept as earlier versions").size());
    // The restore never replaces the current copy of the backup.
    EXPECT_EQ("good", readFile(store + "/Docs/sub/notes.txt"));
}

TEST_F(RestoreVersionsTest, AFileThatCannotBeKeptIsNotReplaced) {
    const std::string src = profile.scratch("Docs");
    const std::string store = profile.scratch("store");
    writeFile(src + "/notes.txt", "good");
    const int id = backedUp(src, store);
    writeFile(src + "/notes.txt", "only copy of the edit");
    writeFile(store + "/.backup-versions", "a file where the versions folder belongs");

    EXPECT_EQ("Restore of [" + src + "] failed.",
              restore(id, {{"path", ""}, {"overwrite", "always"}}));
    EXPECT_EQ("only copy of the edit", readFile(src + "/notes.txt"));
}

}  // namespace
