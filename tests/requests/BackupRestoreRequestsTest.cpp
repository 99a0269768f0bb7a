// Browsing a record's copy and asking for a restore, through the real service.

#include <Poco/DateTime.h>
#include <Poco/DateTimeFormatter.h>
#include <Poco/File.h>
#include <Poco/Timezone.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "RequestsFixture.h"
#include "hostapi/HostControl.h"
#include "hostapi/PoManager.h"

namespace {

using TestSupport::writeFile;

class BackupRestoreRequestsTest : public RequestsTest {
protected:
    // "type path state" of each entry, in document order.
    static std::vector<std::string> entries(const std::string& doc) {
        std::vector<std::string> out;
        for (auto pos = doc.find("<entry>"); pos != std::string::npos;
             pos = doc.find("<entry>", pos + 1)) {
            const std::string e = doc.substr(pos, doc.find("</entry>", pos) - pos);
            out.push_back(tag(e, "type") + " " + tag(e, "path") + " " + tag(e, "state"));
        }
        return out;
    }
    static std::string tag(const std::string& doc, const std::string& name) {
        const auto start = doc.find("<" + name + ">");
        if (start == std::string::npos) return "<missing>";
        const auto from = start + name.size() + 2;
        return doc.substr(from, doc.find("</" + name + ">", from) - from);
    }
    std::string browse(int id, const std::string& rawPathQuery = "") {
        return harness.request("getbackupfiles", "recid=" + std::to_string(id) + rawPathQuery);
    }
};

TEST_F(BackupRestoreRequestsTest, BrowseListsTheCopyInOrderWithItsStatesAndLosslessPaths) {
    const std::string src = profile.scratch("Docs");
    const std::string store = profile.scratch("store");
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
    ASSERT_EQ(0u,
              doc.find("<getbackupfiles><recid>" + std::to_string(id) + "</recid><path></path>"))
        << doc;
    EXPECT_EQ(doc.size() - 17, doc.rfind("</getbackupfiles>"));
    EXPECT_EQ(std::string::npos, doc.find("<more>"));
    // Folders first, then files, each in byte order of the name.
    const std::vector<std::string> expected = {
        "folder Vanished missing",   "folder Z same",           "folder d%E9j%E0 same",
        "file a%26%3Cb%3E.txt same", "file b.txt same",         "file edited.txt changed",
        "file gone.txt missing",     "file touched.txt changed"};
    EXPECT_EQ(expected, entries(doc));
    EXPECT_NE(std::string::npos, doc.find("<name>a&amp;&lt;b&gt;.txt</name>")) << doc;
    EXPECT_NE(std::string::npos,
              doc.find("<name>b.txt</name><path>b.txt</path><type>file</type><size>3</size>"
                       "<readablesize>3 B</readablesize>"));

    // The encoded path goes back into a query as it stands and finds the same bytes.
    const std::string sub = browse(id, "&path=d%E9j%E0");
    EXPECT_EQ(0u, sub.find("<getbackupfiles><recid>" + std::to_string(id) +
                           "</recid><path>d%E9j%E0</path><entry>"))
        << sub;
    EXPECT_EQ(std::vector<std::string>{"file d%E9j%E0%2Finner.txt same"}, entries(sub));
    // "." and doubled separators name the same folder.
    EXPECT_EQ(sub, browse(id, "&path=.%2Fd%E9j%E0%2F%2F"));

    // The time shown is the copy's, in local time.
    setTime(store + "/Docs/b.txt", 1700000000);
    Poco::DateTime t{Poco::Timestamp::fromEpochTime(1700000000)};
    t.makeLocal(Poco::Timezone::tzd());
    const std::string when = Poco::DateTimeFormatter::format(t, "%e-%b-%y %h:%M:%S %A");
    EXPECT_NE(std::string::npos, browse(id).find("<path>b.txt</path><type>file</type><size>3</size>"
                                                 "<readablesize>3 B</readablesize><modified>" +
                                                 when + "</modified><state>changed</state>"));
}

TEST_F(BackupRestoreRequestsTest, BrowseStopsAtTenThousandEntriesAndCountsTheRest) {
    const std::string store = profile.scratch("store");
    const int id = addLocal(profile.scratch("Many"), store);
    const std::string copy = store + "/Many";
    Poco::File(copy).createDirectories();
    for (int i = 0; i < 10003; ++i) writeFile(copy + "/f" + std::to_string(100000 + i), "");
    const std::string doc = browse(id);
    EXPECT_EQ(10000u, entries(doc).size());
    EXPECT_EQ("file f100000 missing", entries(doc).front());
    EXPECT_EQ("file f109999 missing", entries(doc).back());
    EXPECT_EQ(doc.size() - 17 - 14, doc.rfind("<more>3</more>"));
}

TEST_F(BackupRestoreRequestsTest, BothRefuseUnknownRemoteAndUncopiedRecords) {
    const std::string store = profile.scratch("store");
    int remote = 0;
    ASSERT_TRUE(db->addBackupRecord("pal@far", 0, 1, "/s/Docs", store, "", 3, -1, -1, remote));
    const int never = addLocal(profile.scratch("Never"), store);
    for (const std::string op : {"getbackupfiles", "restorefiles"}) {
        auto ask = [&](const std::string& recid) {
            return harness.request(op, "recid=" + recid + "&path=");
        };
        EXPECT_EQ(result(op, false, "No such backup record"), ask("42"));
        EXPECT_EQ(result(op, false, "No such backup record"), ask("x"));
        EXPECT_EQ(result(op, false, "The device [pal@far] cannot be reached"),
                  ask(std::to_string(remote)));
        EXPECT_EQ(result(op, false, "Nothing has been backed up yet"), ask(std::to_string(never)));
    }
}

// Every refusal says why; the table holds each reason the two requests give.
TEST_F(BackupRestoreRequestsTest, RefusalsOfBrowseAndRestoreSayWhyInTheUsersLanguage) {
    const std::string src = profile.scratch("Docs");
    const std::string store = profile.scratch("store");
    const std::string outside = profile.scratch("outside");
    const std::string elsewhere = profile.scratch("elsewhere");
    writeFile(src + "/a.txt", "a");
    writeFile(src + "/sub/b.txt", "b");
    writeFile(outside + "/secret.txt", "not part of the copy");
    writeFile(elsewhere + "/file", "");
    const int id = backedUp(src, store);
    // A link planted in the copy is neither listed nor followed.
    ASSERT_EQ(0, ::symlink(outside.c_str(), (store + "/Docs/out").c_str()));
    ASSERT_EQ(0, ::symlink((outside + "/secret.txt").c_str(), (store + "/Docs/s.txt").c_str()));
    ASSERT_EQ(0, ::symlink((store + "/Docs").c_str(), (elsewhere + "/tocopy").c_str()));
    EXPECT_EQ((std::vector<std::string>{"folder sub same", "file a.txt same"}),
              entries(browse(id)));
    // A copy folder that is itself a link leads out of the copy as well.
    const int linked = addLocal(profile.scratch("Linked"), store);
    ASSERT_EQ(0, ::symlink(outside.c_str(), (store + "/Linked").c_str()));
    // A file record: its one file, and no path below it.
    const std::string file = profile.scratch("single") + "/report.txt";
    writeFile(file, "report");
    const int single = backedUp(file, store, true);
    EXPECT_EQ(std::vector<std::string>{"file report.txt same"}, entries(browse(single)));

    const char* const OUTSIDE = "The path is not inside the backup";
    const char* const NO_FOLDER = "No such folder in the backup";
    const char* const NO_ITEM = "No such file or folder in the backup";
    const char* const UNREADABLE = "The backup of this record cannot be read";
    const char* const OVERWRITE = "Overwrite must be never, changed or always";
    const char* const TARGET = "Restore target must be an existing absolute folder";
    const char* const IN_COPY = "Restore target must not lie in the backup";
    struct Case {
        const char* op;
        int recid;
        std::string query;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"getbackupfiles", id, "&path=..", OUTSIDE},
        {"getbackupfiles", id, "&path=%2E%2E%2FDocs", OUTSIDE},
        {"getbackupfiles", id, "&path=a%2F..%2F..", OUTSIDE},
        {"getbackupfiles", id, "&path=%2Fetc", OUTSIDE},
        {"getbackupfiles", id, "&path=a%00b", OUTSIDE},
        {"getbackupfiles", id, "&path=out", NO_FOLDER},
        {"getbackupfiles", id, "&path=out%2F.", NO_FOLDER},
        {"getbackupfiles", id, "&path=a.txt", NO_FOLDER},
        {"getbackupfiles", id, "&path=nothere", NO_FOLDER},
        {"getbackupfiles", single, "&path=report.txt", NO_FOLDER},
        {"getbackupfiles", linked, "", UNREADABLE},
        {"restorefiles", id, "", "Nothing was chosen to restore"},
        {"restorefiles", id, "&overwrite=always", "Nothing was chosen to restore"},
        {"restorefiles", id, "&path=..", OUTSIDE},
        {"restorefiles", id, "&path=a.txt&path=%2Fetc", OUTSIDE},
        {"restorefiles", id, "&path=out", NO_ITEM},
        {"restorefiles", id, "&path=out%2Fsecret.txt", NO_ITEM},
        {"restorefiles", id, "&path=nothere", NO_ITEM},
        {"restorefiles", single, "&path=other.txt", NO_ITEM},
        {"restorefiles", linked, "&path=", UNREADABLE},
        {"restorefiles", id, "&path=a.txt&overwrite=sometimes", OVERWRITE},
        {"restorefiles", id, "&path=a.txt&overwrite=Always", OVERWRITE},
        {"restorefiles", id, "&path=a.txt&target=", TARGET},
        {"restorefiles", id, "&path=a.txt&target=relative%2Fdir", TARGET},
        {"restorefiles", id, "&path=a.txt&target=%2Fno%2Fsuch%2Ffolder", TARGET},
        {"restorefiles", id, "&path=a.txt&target=" + elsewhere + "/file", TARGET},
        {"restorefiles", id, "&path=a.txt&target=" + elsewhere + "%00x", TARGET},
        // Into the copy, or the folder holding it, it would overwrite the
        // backup with itself: refused at once, however the target is named.
        {"restorefiles", id, "&path=&target=" + store, IN_COPY},
        {"restorefiles", id, "&path=a.txt&target=" + store + "/Docs/sub", IN_COPY},
        {"restorefiles", id, "&path=a.txt&target=" + elsewhere + "/tocopy", IN_COPY},
        {"restorefiles", single, "&path=&target=" + store + "/", IN_COPY},
    };
    auto ask = [&](const Case& c) {
        return harness.request(c.op, "recid=" + std::to_string(c.recid) + c.query);
    };
    for (const Case& c : cases) EXPECT_EQ(result(c.op, false, c.reason), ask(c)) << c.query;
    EXPECT_TRUE(activityTexts("Restore of [").empty());  // nothing was queued

    // The same reasons in German, each of them translated.
    const std::string archive = std::string(BACKUP_BUILD_DIR) + "/translations.zip";
    Orvana::HostKit::HostControl::setLanguage("de");
    ASSERT_TRUE(Orvana::PoManager().addPoVfs(archive, "backup"));
    for (const Case& c : cases) {
        const std::string german = Orvana::PoManager().getTranslation(c.reason);
        EXPECT_NE(c.reason, german);
        EXPECT_EQ(result(c.op, false, german), ask(c)) << c.query;
    }
    EXPECT_TRUE(Orvana::PoManager().removePoVfs(archive));
    Orvana::HostKit::HostControl::setLanguage("en");
}

TEST_F(BackupRestoreRequestsTest, RestoreAcceptsWhatItCanDo) {
    const std::string src = profile.scratch("Docs");
    const std::string store = profile.scratch("store");
    const std::string elsewhere = profile.scratch("elsewhere");
    writeFile(src + "/a.txt", "a");
    writeFile(src + "/sub/b.txt", "b");
    const int id = backedUp(src, store);
    auto restore = [&](const std::string& rest) {
        return harness.request("restorefiles", "recid=" + std::to_string(id) + rest);
    };
    const std::string ok = result("restorefiles", true);
    EXPECT_EQ(ok, restore("&path=a.txt&path=sub&overwrite=changed"));
    EXPECT_EQ(ok, restore("&path=&target=" + elsewhere));
    EXPECT_EQ(ok, restore("&path=sub%2Fb.txt&overwrite=never&target=" + elsewhere + "%2F"));
    EXPECT_EQ(ok, restore("&path=a.txt&overwrite=always"));
}

}  // namespace
