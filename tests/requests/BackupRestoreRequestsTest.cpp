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
            const TestSupport::XmlDocument e(doc.substr(pos, doc.find("</entry>", pos) + 8 - pos));
            out.push_back(e.text("type") + " " + e.text("path") + " " + e.text("state"));
        }
        return out;
    }
    std::string browse(int id, const std::string& rawPathQuery = "") {
        return harness.request("getbackupfiles", "recid=" + std::to_string(id) + rawPathQuery);
    }
};

TEST_F(BackupRestoreRequestsTest, BrowseListsTheCopyInOrderWithItsStatesAndLosslessPaths) {
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
    const int id = addLocal(profile.scratch("Many"), store);
    const std::string copy = store + "/Many";
    Poco::File(copy).createDirectories();
    for (int i = 0; i < 10003; ++i) writeFile(copy + "/f" + std::to_string(100000 + i), "");
    const std::string doc = browse(id);
    const std::vector<std::string> listed = entries(doc);
    EXPECT_EQ(10000u, listed.size());
    EXPECT_EQ("file f100000 missing", listed.front());
    EXPECT_EQ("file f109999 missing", listed.back());
    EXPECT_EQ(doc.size() - 17 - 14, doc.rfind("<more>3</more>"));
}

// Every refusal says why; the table holds each reason the browse, version
// and restore requests give.
TEST_F(BackupRestoreRequestsTest, RefusalsSayWhyInTheUsersLanguage) {
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

}  // namespace
