// Record requests: add, delete, enable, reschedule, start and stop, the
// listing and activity documents byte for byte; honest status (failed passes
// count and are told to the host, a running or stopped pass is no failure);
// a record's settings and the default store location.

#include <Poco/File.h>
#include <Poco/LocalDateTime.h>
#include <Poco/Timezone.h>
#include <Poco/UUIDGenerator.h>
#include <sqlite3.h>
#include <unistd.h>

#include "RequestsFixture.h"
#include "hostapi/Group.h"
#include "hostapi/HostControl.h"
#include "hostapi/MessageUtil.h"
#include "support/ProbeDB.h"

namespace {

using namespace Orvana::Backup;
using namespace TestSupport;
using ::testing::HasSubstr;

typedef RequestsTest RecordRequestsTest;
typedef boost::shared_ptr<Orvana::Data::Group> GroupPtr;

// A group of the host's under a new id.
GroupPtr group(const std::string& name, const std::vector<Orvana::Data::PeerID>& members) {
    return GroupPtr(new Orvana::Data::Group(Poco::UUIDGenerator::defaultGenerator().createRandom(),
                                            name, members));
}

Poco::Int64 localMoment(int month, int day, int hour, int minute) {
    // Built with today's offset, as the listing shifts by today's offset.
    Poco::LocalDateTime t(Poco::Timezone::tzd(), 2026, month, day, hour, minute, 0, 0, 0);
    return t.timestamp().utcTime();
}

// Refusals come in their order and store nothing. The checks that look at
// the file system: a store that is no folder, the overlap rule through links,
// the same backup twice and one copy folder per record. A store that is not
// there yet is made by the first pass, not now. What is added is kept as given.
TEST_F(RecordRequestsTest, AddStoresRecordsAndRefusesBadFieldsOverlapsAndTakenStores) {
    const std::string stores = profile.scratch("stores");
    const std::string data = profile.scratch("data");
    writeFile(stores + "/file", "x");
    writeFile(data + "/one/Documents/f", "1");
    writeFile(data + "/two/Documents/f", "2");
    const std::string fileLink = stores + "/file-link", folderLink = stores + "/folder-link";
    const std::string intoSource = profile.scratch("links") + "/into";
    const std::string storeLink = profile.scratch("links") + "/store";
    const std::string srcLink = profile.scratch("links") + "/src";
    ASSERT_EQ(0, ::symlink(src.c_str(), srcLink.c_str()));
    ASSERT_EQ(0, ::symlink((stores + "/file").c_str(), fileLink.c_str()));
    ASSERT_EQ(0, ::symlink(stores.c_str(), folderLink.c_str()));
    ASSERT_EQ(0, ::symlink((data + "/one").c_str(), intoSource.c_str()));
    ASSERT_EQ(0, ::symlink(store.c_str(), storeLink.c_str()));
    writeFile(src + "/f.txt", "x");
    const Orvana::Data::PeerID pal("pal@far"), kin("kin@near");
    const GroupPtr family = group("Family", {pal, kin});
    Orvana::HostKit::HostControl::setGroups({family, group("Work", {pal})});

    const std::string ok = result("addbackuprecord", true);
    auto refused = [](const std::string& text) { return result("addbackuprecord", false, text); };
    const std::string noFolder = refused("Store location exists and is not a folder");
    const std::string twice = refused("A backup of this source to this destination already exists");
    const std::string overlap = refused("Store location must not overlap the backup source");
    const std::string shared =
        refused("Another backup already uses this store location for a folder of that name");
    const std::string invalid = refused("Path contains an invalid character");
    const std::string nul(1, '\0');
    auto add = [&](const Fields& fields) { return request("addbackuprecord", fields); };
    auto local = [&](const std::string& source, const std::string& where) {
        return add({{"remotepath", where}, {"localpath", source}, {"frequency", "0"}});
    };
    auto remote = [&](const std::string& source, const std::string& peer) {
        return add({{"remotepeer", peer}, {"localpath", source}, {"frequency", "0"}});
    };
    const struct {
        std::string reply, got;
    } cases[] = {
        // A remote peer's groups are checked before any other field.
        {refused("Peer out@far is not a member of any group. Invite the peer to a group first "
                 "and try again"),
         add({{"remotepeer", "out@far"}})},
        // Local: the store location before the source.
        {refused("Local store location is required for localbackup"), add({{"frequency", "1"}})},
        {refused(""), add({{"remotepath", store}})},  // no "localpath"
        // Bad integers win over a source that does not exist.
        {refused(""), add({{"remotepath", store}, {"localpath", "/no/such"}, {"frequency", "x"}})},
        // Path checks run before the existence test.
        {refused("Backup source must be an absolute path"),
         add({{"remotepath", store}, {"localpath", "rel"}, {"frequency", "1"}})},
        {refused("Store location must be an absolute path"),
         add({{"remotepath", "st"}, {"localpath", "/no/such"}, {"frequency", "1"}})},
        {overlap, add({{"remotepath", src + "/in"}, {"localpath", src}, {"frequency", "1"}})},
        {overlap,
         add({{"remotepath", src + "/x/../.."}, {"localpath", src + "/"}, {"frequency", "1"}})},
        {refused("[/no/such] does not exist!"),
         add({{"remotepath", store}, {"localpath", "/no/such"}, {"frequency", "1"}})},
        {refused(""), add({{"remotepath", store}, {"localpath", srcLink}, {"frequency", "1"}})},
        // NUL bytes: the file system would see src for the first, so its
        // store inside the source would pass a check that reads the whole text.
        {invalid,
         add({{"localpath", src + nul + "x"}, {"remotepath", src + "/sub"}, {"frequency", "3"}})},
        {invalid,
         add({{"localpath", src}, {"remotepath", store + nul + "/x"}, {"frequency", "3"}})},
        {invalid,
         add({{"remotepeer", "pal" + nul + "@far"}, {"localpath", src}, {"frequency", "3"}})},

        {noFolder, local(src, stores + "/file")},
        {noFolder, local(src, fileLink)},
        {noFolder, local(src, stores + "/file/sub")},  // could never be made
        {ok, local(src, stores + "/new/deeper")},
        {ok, local(src, folderLink)},
        {twice, local(src + "/", stores + "//new/deeper/")},
        {twice, local(src + "/.", stores + "/new/./deeper")},
        {twice, local(src, stores)},  // the link's folder
        {ok, local(src, stores + "/other")},
        {ok, remote(src, "pal@far")},
        {twice, remote(src + "/", "PAL@far")},  // peers compare without case
        {ok, remote(src, "kin@near")},
        {overlap, local(data + "/one", intoSource + "/backups")},
        {overlap, local(data + "/one", intoSource)},
        {ok, local(data + "/one/Documents", store)},
        {shared, local(data + "/two/Documents", store)},
        {shared, local(data + "/two/Documents", storeLink + "/.")},
        {ok, local(data + "/two/Documents", store + "/two")},
        // A store location above the source's own folder is allowed.
        {ok, add({{"remotepath", profile.root()},
                  {"localpath", src},
                  {"frequency", "2"},
                  {"timeoffset", "14"},
                  {"dayoffset", "0"}})},
        {ok, add({{"remotepeer", "pal@far"},
                  {"remotepath", "/x"},
                  {"localpath", src + "/f.txt"},
                  {"frequency", "1"}})},
    };
    for (const auto& c : cases) EXPECT_EQ(c.reply, c.got);
    EXPECT_FALSE(Poco::File(stores + "/new").exists());
    auto all = records();       // newest first
    ASSERT_EQ(9u, all.size());  // none of the refused
    // A remote record keeps no remote path, its first group, and no offsets left out.
    EXPECT_EQ("pal@far", all[0]->targetPeerId);
    EXPECT_TRUE(all[0]->isFile);
    EXPECT_EQ("", all[0]->remotePath);
    EXPECT_EQ(family->getGroupID().toString(), all[0]->groupId);
    EXPECT_EQ(-1, all[0]->backupTime);
    EXPECT_EQ(profile.root(), all[1]->remotePath);
    EXPECT_EQ(14, all[1]->backupTime);
    EXPECT_EQ(0, all[1]->backupDay);
}

TEST_F(RecordRequestsTest, ListingOfALocalRecordIsWrittenExactlyAndFollowsItsSchedule) {
    const int id = addLocal("/data/a&b", "/store/<x>");
    ASSERT_TRUE(db->setRecordSize(id, 1536));
    const std::string expected =
        "<getallbackuprecs><backuprec><recid>1</recid><active>0</active>"
        "<foldersize>1.50 KB</foldersize><tosendcount>0</tosendcount>"
        "<remainingsendsize>0 B</remainingsendsize><totalsendsize>0 B</totalsendsize>"
        "<checkedfilecount>0</checkedfilecount><progress>0</progress>"
        "<fileprogress>0</fileprogress><currentaction></currentaction><currentfile></currentfile>"
        "<targetpeerid>me@myhost</targetpeerid><localbackup>1</localbackup>"
        "<targetpeeronline>1</targetpeeronline><targetpeername>me</targetpeername>"
        "<isfile>0</isfile><localpath>/data/a&amp;b</localpath>"
        "<launchpath>/data/a&amp;b</launchpath><remotepath>/store/&lt;x&gt;</remotepath>"
        "<enabled>1</enabled><backupmode>3</backupmode><timeoffset>-1</timeoffset>"
        "<dayoffset>-1</dayoffset><groupid></groupid><groupname>Local</groupname>"
        "<lastattemptdate>N/A</lastattemptdate><lastattempttime></lastattempttime>"
        "<lastsuccessdate>N/A</lastsuccessdate><lastsuccesstime></lastsuccesstime>"
        "<lastsyncsuccess>1</lastsyncsuccess><remoteui>1</remoteui></backuprec>"
        "</getallbackuprecs>";
    EXPECT_EQ(expected, request("getallbackuprecs"));

    // A failed last attempt: local dates, and no success.
    ASSERT_TRUE(db->setLastSuccessTime(id, localMoment(3, 6, 23, 59)));
    ASSERT_TRUE(db->setLastAttemptTime(id, localMoment(3, 7, 14, 5)));
    const std::string doc = request("getallbackuprecs");
    EXPECT_THAT(doc, HasSubstr("<lastattemptdate>7-Mar</lastattemptdate><lastattempttime>02:05 PM"
                               "</lastattempttime><lastsuccessdate>6-Mar</lastsuccessdate>"
                               "<lastsuccesstime>11:59 PM</lastsuccesstime><lastsyncsuccess>0"));

    // A reschedule overwrites the offsets it leaves out and keeps the record disabled.
    EXPECT_EQ(result("disablerecord", true), ask("disablerecord", id));
    const Fields weekly = {{"frequency", "2"}, {"timeoffset", "9"}, {"dayoffset", "3"}};
    EXPECT_EQ(result("setmodevalue", true), ask("setmodevalue", id, weekly));
    EXPECT_EQ(result("setmodevalue", true), ask("setmodevalue", id, {{"frequency", "1"}}));
    EXPECT_THAT(
        request("getallbackuprecs"),
        HasSubstr("<enabled>0</enabled><backupmode>1</backupmode><timeoffset>-1</timeoffset>"
                  "<dayoffset>-1</dayoffset>"));
    EXPECT_EQ(result("enablerecord", true), ask("enablerecord", 999));  // unknown ids pass
}

TEST_F(RecordRequestsTest, ListingRecordsShowTheirGroupOrItsAbsence) {
    const GroupPtr tom = group("Tom & <Jerry>", {});
    const Poco::UUID kept = tom->getGroupID();
    const Poco::UUID gone = Poco::UUIDGenerator::defaultGenerator().createRandom();
    Orvana::HostKit::HostControl::setGroups({tom});
    int id = 0;
    ASSERT_TRUE(
        db->addBackupRecord("pal~laptop@far:999", 0, 1, "/s", "", kept.toString(), 1, 2, 3, id));
    ASSERT_TRUE(db->addBackupRecord("ME@MYHOST", 1, 0, "/dir/file.txt", "/t", "", 1, 2, 3, id));
    ASSERT_TRUE(db->addBackupRecord("pal@far", 0, 1, "/s", "", gone.toString(), 1, 2, 3, id));
    // A local record of an earlier peer id of this device: empty group id.
    ASSERT_TRUE(db->addBackupRecord("me@oldname", 0, 1, "/a", "/t", "", 1, 2, 3, id));
    ASSERT_TRUE(db->addBackupRecord("pal@far", 0, 1, "/s", "", "not-a-uuid <&>", 1, 2, 3, id));
    const std::string doc = request("getallbackuprecs", {}, 100);
    ASSERT_TRUE(XmlDocument(doc).ok()) << doc;

    // Newest first.
    EXPECT_EQ("not-a-uuid <&>", element(doc, "groupid", 0));
    EXPECT_EQ("", element(doc, "groupid", 1));
    EXPECT_EQ("/a", element(doc, "localpath", 1));
    EXPECT_EQ(gone.toString(), element(doc, "groupid", 2));
    for (int i = 0; i < 3; ++i) EXPECT_EQ("Non existent group", element(doc, "groupname", i));

    // Only the record of this device, whose peer matches ignoring case, is local.
    EXPECT_EQ("1", element(doc, "localbackup", 0));
    EXPECT_EQ("<missing>", element(doc, "localbackup", 1));
    EXPECT_EQ("Local", element(doc, "groupname", 3));
    EXPECT_EQ("/dir/file.txt", element(doc, "localpath", 3));
    EXPECT_EQ("/dir", element(doc, "launchpath", 3));
    EXPECT_EQ("0", element(doc, "enabled", 3));

    EXPECT_EQ("pal~laptop@far:999", element(doc, "targetpeerid", 4));  // as stored
    EXPECT_EQ("pal", element(doc, "targetpeername", 4));
    EXPECT_EQ(kept.toString(), element(doc, "groupid", 4));
    EXPECT_EQ("Tom & <Jerry>", element(doc, "groupname", 4));

    for (int i = 0; i < 5; ++i) EXPECT_EQ("0", element(doc, "remoteui", i));
    EXPECT_EQ("1", element(request("getallbackuprecs", {}, 99), "remoteui", 4));
}

TEST_F(RecordRequestsTest, ListingLiveProgressComesFromTheRegistry) {
    const int a = addLocal("/a", "/s");
    const int b = addLocal("/b", "/s");
    const int c = addLocal("/c", "/s");
    auto& registry = BackupProgressRegistry::instance();
    registry.setTotalSendSize(a, 4);
    registry.setRemainingSendSize(a, 1);
    registry.setToSendCount(a, 12);
    registry.setCheckedFileCount(a, 34);
    registry.setCurrentAction(a, "Backing up");
    registry.setCurrentFile(a, "/a/x&y.txt");
    registry.markActive(a);
    registry.setTotalSendSize(b, 3);
    registry.setRemainingSendSize(b, 1);
    registry.setTotalSendSize(c, 0);
    registry.setRemainingSendSize(c, 5);
    const std::string doc = request("getallbackuprecs");  // c, b, a

    EXPECT_EQ("0", element(doc, "progress", 0));
    EXPECT_EQ("66", element(doc, "progress", 1));
    EXPECT_EQ(
        "<active>1</active><foldersize>0 B</foldersize><tosendcount>12</tosendcount>"
        "<remainingsendsize>1 B</remainingsendsize><totalsendsize>4 B</totalsendsize>"
        "<checkedfilecount>34</checkedfilecount><progress>75</progress>"
        "<fileprogress>0</fileprogress><currentaction>Backing up</currentaction>"
        "<currentfile>/a/x&amp;y.txt</currentfile>",
        doc.substr(doc.rfind("<active>"), doc.rfind("<targetpeerid>") - doc.rfind("<active>")));
}

// The activity document lists the entries newest first, their texts escaped.
TEST_F(RecordRequestsTest, UnknownSyncStartsNothingAndEachStopIsListedInTheActivity) {
    const int id = addLocal(src, store);
    for (const char* recid : {"99", "0", "-1"})
        EXPECT_EQ(result("synconerecord", false), request("synconerecord", {{"recid", recid}}));
    EXPECT_EQ("<getactivity></getactivity>", request("getactivity"));  // no pass began
    // The entry's time is the engine's clock, as for every other entry.
    EngineClock::pin(Poco::LocalDateTime(2024, 6, 3, 21, 5, 7));
    EXPECT_EQ(result("stopbackup", true), ask("stopbackup", id));
    EXPECT_EQ(result("stopbackup", true), ask("stopbackup", id));
    ASSERT_TRUE(db->addActivity(-3, 1, "<a & b>\n"));
    const std::string stopped = "<activity><recid>" + std::to_string(id) +
                                "</recid><severity>2</severity><text>3-Jun-24 09:05:07 PM : "
                                "Action stopped on user request</text></activity>";
    EXPECT_EQ(
        "<getactivity><activity><recid>-3</recid><severity>1</severity>"
        "<text>&lt;a &amp; b&gt;&#x0A;</text></activity>" +
            stopped + stopped + "</getactivity>",
        request("getactivity"));
    EXPECT_EQ(result("syncallrecord", true), request("syncallrecords"));  // its own result name
}

// A delete goes through the engine's stop: the running pass ends, and writes
// no index row or activity entry for the deleted record afterwards.
TEST_F(RecordRequestsTest, DeleteEndsTheRunningPassAndRemovesTheRecordWithItsIndex) {
    writeFile(src + "/a", "a");
    const int id = addLocal(src, store);
    std::atomic<bool> held(false);
    EngineHooks::setAfterScan([&](int, const std::atomic<bool>& stop) {
        held = true;
        waitUntil([&] { return stop.load(); }, 10000);
    });
    // A disabled record is still backed up on request.
    EXPECT_EQ(result("disablerecord", true), ask("disablerecord", id));
    EXPECT_EQ(result("synconerecord", true), ask("synconerecord", id));
    ASSERT_TRUE(waitFor(held));
    int fileId = 0;  // an unknown id still clears index rows under it
    ASSERT_TRUE(db->updateSourceFile(42, "/x/g", Poco::Timestamp(), "abc", fileId));
    for (int recid : {id, 42})
        EXPECT_EQ(result("deletebackuprecord", true), ask("deletebackuprecord", recid));
    Poco::Thread::sleep(200);
    EXPECT_TRUE(activityTexts("Backup of").empty());
    for (int recid : {id, 42}) {
        BackupDB::SourceRecordMap index;
        EXPECT_TRUE(db->getSourceRecords(recid, index));
        EXPECT_TRUE(index.empty());
    }
    EXPECT_TRUE(records().empty());
}

// The encoder's cases are its own test's; here one name carrying every kind
// of hazard after valid non-ASCII text that must come through unchanged.
const std::string kFFFD = "\xEF\xBF\xBD";
const std::string kName =
    "Gr\xC3\xBC\xC3\x9F"
    "e caf\xE9 c\x01tl\x1F\x7F <b>a&b&#x41;&#xZZ; \"q\" 'q' new\nline";
const std::string kShown =
    "Gr\xC3\xBC\xC3\x9F"
    "e caf" +
    kFFFD + " c" + kFFFD + "tl" + kFFFD + "\x7F <b>a&b&#x41;&#xZZ; \"q\" 'q' new\nline";

// Names with bytes that are awkward for XML, through every document a web
// operation answers: each must parse with a strict parser and show the name
// (with U+FFFD for what cannot be shown), while the stored value is kept.
TEST_F(RecordRequestsTest, AwkwardNamesParseAndShowInEveryDocument) {
    // The listing, with the name in every path and the current file.
    const int id = addLocal("/src/" + kName, "/store/" + kName);
    BackupProgressRegistry::instance().setCurrentFile(id, "/src/" + kName);
    const std::string listing = request("getallbackuprecs");
    for (const char* tag : {"localpath", "launchpath", "currentfile"})
        EXPECT_EQ("/src/" + kShown, element(listing, tag)) << tag;
    EXPECT_EQ("/store/" + kShown, element(listing, "remotepath"));
    BackupDB::BACKUP_RECORD stored;
    ASSERT_TRUE(db->getBackupRecord(id, stored));
    EXPECT_EQ("/src/" + kName, stored.localPath);
    ASSERT_TRUE(db->deleteBackupRecord(id));

    // A peer's record with the name in its group id and in its peer id
    // (which the database stores without markup and control bytes).
    int remote = 0;
    ASSERT_TRUE(
        db->addBackupRecord("pal" + kName + "@far", 0, 1, "/s", "", kName, 1, 2, 3, remote));
    const std::string peers = request("getallbackuprecs");
    EXPECT_EQ(kShown, element(peers, "groupid"));

    ASSERT_TRUE(db->addActivity(id, 1, "done " + kName));
    EXPECT_EQ("done " + kShown, element(request("getactivity"), "text"));

    // A result reply that quotes the request's path.
    const std::string refused =
        request("addbackuprecord",
                {{"localpath", "/none/" + kName}, {"remotepath", "/store"}, {"frequency", "3"}});
    EXPECT_EQ("false", element(refused, "success"));
    EXPECT_EQ("[/none/" + kShown + "] does not exist!", element(refused, "text"));

    // The store location document; the configuration keeps the raw path.
    const std::string store = profile.scratch(kName);
    ASSERT_EQ(result("setdefaultstorelocation", true),
              request("setdefaultstorelocation", {{"storepath", store}}));
    EXPECT_EQ(store.substr(0, store.size() - kName.size()) + kShown,
              element(request("getdefaultstorelocation"), "defaultstorelocation"));
    EXPECT_EQ(store, db->getConfigValue("backup", "BACKUP_DEF_STORE_KEY", ""));
}

class BackupStatusTest : public RequestsTest {
protected:
    std::string status(int id) { return ask("getbackupstatus", id); }
    std::vector<BackupDB::RUN_RECORD> runs(int id) {
        std::vector<BackupDB::RUN_RECORD> out;
        EXPECT_TRUE(db->getRuns(id, 1000, out));
        return out;
    }
    bool waitForRuns(int id, size_t n) {
        return waitUntil([&] { return runs(id).size() >= n; });
    }
    std::string sync(int id) { return ask("synconerecord", id); }
    // The failure notices the host got, as "id result reason".
    std::vector<std::string> notices() {
        std::vector<std::string> out;
        for (const auto& m : harness.recorder().messages()) {
            if (m->getService() != Orvana::Misc::MessageUtil::FAILURE_NOTICE_SERVICE) continue;
            auto& row = (*m)["FailureNotice"];
            out.push_back(std::to_string(row["RecordId"].getInt()) + " " +
                          row["Result"].getString() + " " + row["Reason"].getString());
        }
        return out;
    }
};

// A pass that fails before it copies is an attempt: it leaves one failed run
// with its reason and one notice; the next good pass is a success again.
TEST_F(BackupStatusTest, EarlyFailuresCountAsAttemptsAndAreNoticed) {
    // Made before anything is broken: opening a connection recreates a
    // missing table.
    ProbeDB probe;
    typedef std::function<void(int id)> Step;
    auto move = [](const std::string& from, const std::string& to) -> Step {
        return [=](int) { Poco::File(from).renameTo(to); };
    };
    // A statement ending in "ID=" gets the record's id.
    auto sql = [&probe](const std::string& statement) -> Step {
        return [&probe, statement](int id) {
            const bool withId = statement.back() == '=';
            probe.conn().ExecuteUpdate(statement + (withId ? std::to_string(id) : "") + ";");
        };
    };
    struct Case {
        const char* name;
        Step breakIt, mend;
        std::string reason;
    } cases[] = {
        {"source gone", move(src, src + ".away"), move(src + ".away", src),
         src + ": No such file or directory"},
        {"destination emptied, another disk in its place",
         [&](int id) {
             move(store + "/Docs", store + "/Docs.away")(id);
             db->setConfigValue("backup", "STORE_DEVICE_" + std::to_string(id), "12345");
         },
         move(store + "/Docs.away", store + "/Docs"), "Store location is not available: " + store},
        {"unreadable index",
         [&](int id) {
             EngineHooks::setScanFault([&, id](EngineHooks::ScanStep step, const std::string&) {
                 if (step == EngineHooks::INDEX_LOAD)
                     sql("ALTER TABLE BACKUP_SOURCE_FILES RENAME TO HIDDEN")(id);
                 return 0;
             });
         },
         [&](int id) {
             EngineHooks::clear();
             sql("ALTER TABLE HIDDEN RENAME TO BACKUP_SOURCE_FILES")(id);
         },
         "The backup index could not be read or written"},
        {"another device", sql("update BACKUP_RECORDS set TARGETPEERID='you@elsewhere' where ID="),
         sql("update BACKUP_RECORDS set TARGETPEERID='me@myhost' where ID="),
         "The device [you@elsewhere] cannot be reached"},
    };
    writeFile(src + "/a", "a");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int id = backedUp(src, store);
        ASSERT_TRUE(waitForRuns(id, 1));  // its row comes after its times
        harness.recorder().clear();
        c.breakIt(id);
        EXPECT_EQ(result("synconerecord", true), sync(id));
        ASSERT_TRUE(waitForRuns(id, 2));
        EXPECT_EQ("0", element(request("getallbackuprecs"), "lastsyncsuccess"));
        const BackupDB::RUN_RECORD failed = runs(id).front();
        EXPECT_EQ("failed", failed.result);
        EXPECT_EQ("backup", failed.kind);
        EXPECT_EQ(c.reason, failed.reason);
        ASSERT_TRUE(waitUntil([&] { return !notices().empty(); }));
        EXPECT_EQ((std::vector<std::string>{std::to_string(id) + " failed " + failed.reason}),
                  notices());
        const std::string doc = status(id);
        EXPECT_EQ("failed", element(doc, "lastresult"));
        EXPECT_EQ(failed.reason, element(doc, "lastreason"));

        // Nothing changed since: a pass with nothing to copy is a success too.
        c.mend(id);
        EXPECT_EQ(result("synconerecord", true), sync(id));
        ASSERT_TRUE(waitForRuns(id, 3));
        EXPECT_EQ("completed", runs(id).front().result) << runs(id).front().reason;
        EXPECT_EQ("1", element(request("getallbackuprecs"), "lastsyncsuccess"));
        EXPECT_EQ(1u, notices().size());
        EXPECT_EQ(result("deletebackuprecord", true), ask("deletebackuprecord", id));
        EXPECT_TRUE(runs(id).empty());
    }
}

// With writes to the database refused, the pass fails where it can be seen,
// and a new request says why until the database takes writes again.
TEST_F(BackupStatusTest, UnwritableDatabaseFailsThePassVisibly) {
    writeFile(src + "/a", "a");
    const int id = backedUp(src, store);
    ASSERT_TRUE(waitForRuns(id, 1));
    writeFile(src + "/b", "b");
    ProbeDB probe;
    const char* tables[] = {"BACKUP_RECORDS", "BACKUP_SOURCE_FILES", "BACKUP_ACTIVITY",
                            "BACKUP_RUNS", "PLUGIN_CONFIG"};
    for (const char* table : tables)
        for (const char* op : {"INSERT", "UPDATE", "DELETE"})
            probe.conn().ExecuteUpdate(std::string("CREATE TRIGGER ro_") + op + "_" + table +
                                       " BEFORE " + op + " ON " + table +
                                       " BEGIN SELECT RAISE(ABORT, 'readonly database'); END;");
    const std::string reason = "The backup index could not be read or written";
    EXPECT_EQ(result("synconerecord", true), sync(id));
    ASSERT_TRUE(waitUntil([&] { return element(status(id), "lastresult") == "failed"; }));
    EXPECT_EQ(reason, element(status(id), "lastreason"));
    EXPECT_EQ("0", element(request("getallbackuprecs"), "lastsyncsuccess"));
    EXPECT_FALSE(Poco::File(store + "/Docs/b").exists());
    EXPECT_EQ(result("synconerecord", false, reason), sync(id));

    for (const char* table : tables)
        for (const char* op : {"INSERT", "UPDATE", "DELETE"})
            probe.conn().ExecuteUpdate(std::string("DROP TRIGGER ro_") + op + "_" + table + ";");
    EXPECT_EQ(result("synconerecord", true), sync(id));
    ASSERT_TRUE(waitForRuns(id, 2));  // the failed run could not be stored
    EXPECT_EQ("b", readFile(store + "/Docs/b"));
    EXPECT_EQ("completed", element(status(id), "lastresult"));
}

// One large file held between its chunks: the status shows the bytes grow
// inside it, a second request leaves the pass alone, and a stop is neither
// a failure nor a notice.
TEST_F(BackupStatusTest, RunningPassShowsProgressInsideAFileAndStopIsNotAFailure) {
    writeFile(src + "/a", "a");
    const int id = backedUp(src, store);
    ASSERT_TRUE(waitForRuns(id, 1));
    const Poco::Int64 size = 40 * 1024 * 1024;
    writeFile(src + "/big", std::string(size, 'x'));

    std::atomic<int> chunks(0), allowed(1);
    EngineHooks::setAfterCopyChunk([&](const std::string&, const std::atomic<bool>& stop) {
        ++chunks;
        while (!stop && chunks.load() >= allowed.load()) Poco::Thread::sleep(5);
    });
    harness.recorder().clear();
    EXPECT_EQ(result("synconerecord", true), sync(id));
    ASSERT_TRUE(waitUntil([&] { return chunks.load() == 1; }));
    std::string doc = status(id);
    EXPECT_EQ("1", element(doc, "running"));
    EXPECT_EQ("backup", element(doc, "runkind"));
    EXPECT_EQ("0", element(doc, "queued"));
    EXPECT_EQ("1", element(doc, "filestogo"));
    const Poco::Int64 first = std::stoll(element(doc, "bytesdone"));
    EXPECT_GT(first, 0);
    EXPECT_EQ(size, first + std::stoll(element(doc, "bytestogo")));

    // Asked for again while it runs: nothing changes.
    EXPECT_EQ(result("synconerecord", true), sync(id));
    std::string listing = request("getallbackuprecs");
    EXPECT_EQ("Backing up", element(listing, "currentaction"));
    EXPECT_EQ("1", element(listing, "active"));
    EXPECT_EQ("1", element(listing, "lastsyncsuccess"));  // running is not failing
    EXPECT_EQ("0", element(status(id), "queued"));

    allowed = 3;
    ASSERT_TRUE(waitUntil([&] { return chunks.load() == 3; }));
    Poco::Thread::sleep(600);  // a rate needs some time behind it
    doc = status(id);
    EXPECT_GT(std::stoll(element(doc, "bytesdone")), first);
    EXPECT_GT(std::stoll(element(doc, "rate")), 0);
    EXPECT_NE("", element(doc, "timeleft"));

    EXPECT_EQ(result("stopbackup", true), ask("stopbackup", id));
    ASSERT_TRUE(waitForRuns(id, 2));
    EXPECT_EQ("stopped", runs(id).front().result);
    listing = request("getallbackuprecs");
    EXPECT_EQ("1", element(listing, "lastsyncsuccess"));
    EXPECT_EQ("0", element(listing, "tosendcount"));
    doc = status(id);
    EXPECT_EQ("0", element(doc, "running"));
    EXPECT_EQ("stopped", element(doc, "lastresult"));
    EXPECT_EQ("0", element(doc, "bytesdone"));
    harness.drain();
    EXPECT_TRUE(notices().empty());
}

const std::string kDefaultVersions =
    "<versions>on</versions><retention>staggered</retention><maxagedays>365</maxagedays>"
    "<keeplast>10</keeplast>";

class BackupSettingsRequestsTest : public RequestsTest {
protected:
    std::string settings(int id) { return ask("getbackupsettings", id); }
    static std::string doc(int id, const std::vector<std::string>& exclude, int ignoreCase,
                           int cacheDirTag, const std::string& versions = kDefaultVersions) {
        std::string d = "<getbackupsettings><recid>" + std::to_string(id) + "</recid>" + versions;
        for (const std::string& p : exclude) d += "<exclude>" + p + "</exclude>";
        return d + "<ignorecase>" + std::to_string(ignoreCase) + "</ignorecase><cachedirtag>" +
               std::to_string(cacheDirTag) + "</cachedirtag></getbackupsettings>";
    }
    static std::string storeDoc(const std::string& path) {
        return "<backup><defaultstorelocation>" + path + "</defaultstorelocation></backup>";
    }
    std::string set(const std::string& path) {
        return request("setdefaultstorelocation", {{"storepath", path}});
    }
    static std::string refused(const std::string& text) {
        return result("setdefaultstorelocation", false, text);
    }
};

TEST_F(BackupSettingsRequestsTest, SetChangesTheFieldsGivenAndRefusesBadOnesWhole) {
    const int id = addLocal("/src", "/store");
    auto set = [&](const Fields& fields) { return ask("setbackupsettings", id, fields); };
    const std::string ok = result("setbackupsettings", true);
    EXPECT_EQ(doc(id, {}, 0, 1), settings(id));
    EXPECT_EQ(ok, set({{"exclude", "*.tmp"},
                       {"exclude", "# a comment"},
                       {"exclude", "!keep.tmp"},
                       {"ignorecase", "1"},
                       {"versions", "off"},
                       {"retention", "last"},
                       {"maxagedays", "36500"},
                       {"keeplast", "1000"}}));
    const std::vector<std::string> patterns = {"*.tmp", "# a comment", "!keep.tmp"};
    const std::string versions =
        "<versions>off</versions><retention>last</retention><maxagedays>0</maxagedays>"
        "<keeplast>1000</keeplast>";
    // Fields left out keep their values.
    EXPECT_EQ(ok, set({{"cachedirtag", "0"}, {"maxagedays", "0"}}));
    EXPECT_EQ(doc(id, patterns, 1, 0, versions), settings(id));

    // A refusal says why and stores nothing of the request, good fields beside it neither.
    const std::string ageWord = "The maximum age must be a whole number of days from 0 to 36500";
    const std::string keepWord = "The number of versions to keep must be from 1 to 1000";
    const std::vector<std::pair<Fields, std::string>> refused = {
        {{{"exclude", "ok"}, {"exclude", "[abc"}, {"ignorecase", "0"}},
         "Exclusion pattern \"[abc\" has a [ without its closing ]"},
        {{{"exclude", "x"}, {"ignorecase", "yes"}}, "Ignore case must be 0 or 1"},
        {{{"cachedirtag", ""}}, "The CACHEDIR.TAG switch must be 0 or 1"},
        {{{"versions", "ON"}}, "Versions must be on or off"},
        {{{"retention", "weekly"}}, "Retention must be staggered or last"},
        {{{"maxagedays", "36501"}}, ageWord},
        {{{"maxagedays", "1.5"}}, ageWord},
        {{{"maxagedays", "+7"}}, ageWord},
        {{{"maxagedays", "99999999999999999999"}}, ageWord},
        {{{"keeplast", "0"}}, keepWord},
        {{{"keeplast", ""}}, keepWord},
        {{{"versions", "on"}, {"exclude", "new"}, {"keeplast", "1001"}}, keepWord},
    };
    for (const auto& row : refused) {
        SCOPED_TRACE(query(row.first));
        EXPECT_EQ(result("setbackupsettings", false, row.second), set(row.first));
    }
    EXPECT_EQ(doc(id, patterns, 1, 0, versions), settings(id));

    // One empty field clears the list.
    EXPECT_EQ(ok, set({{"exclude", ""}}));
    EXPECT_EQ(doc(id, {}, 1, 0, versions), settings(id));

    // No such record: the default failure, nothing stored.
    EXPECT_EQ(result("setbackupsettings", false),
              ask("setbackupsettings", 999, {{"exclude", "x"}}));
    EXPECT_EQ(result("getbackupsettings", false), settings(999));
    EXPECT_EQ(result("setbackupsettings", false), request("setbackupsettings", {{"recid", "x"}}));
}

// The preview's counts against a walk of the tree that the test makes itself.
TEST_F(BackupSettingsRequestsTest, PreviewCountsWhatAWalkLeavesOut) {
    std::string big(70000, 'b');
    writeFile(src + "/a.tmp", "12345");
    writeFile(src + "/keep.tmp", "kept");
    writeFile(src + "/doc/report.txt", "report");
    writeFile(src + "/doc/scratch.tmp", big);
    writeFile(src + "/web/node_modules/lib/index.js", big + big);
    writeFile(src + "/web/node_modules/x.tmp", "x");
    writeFile(src + "/web/app.js", "app");
    writeFile(src + "/cache/CACHEDIR.TAG", "Signature: 8a477f597d28d172789f06886806bc55\n# tag");
    writeFile(src + "/cache/blob", big);
    writeFile(src + "/fake/CACHEDIR.TAG", "Signature: not the one");
    writeFile(src + "/fake/data", "d");
    writeFile(src + "/odd-\xff.tmp", "o");
    ::symlink("a.tmp", (src + "/link.tmp").c_str());
    const int id = addLocal(src, store);

    // Left out: a ".tmp" name other than keep.tmp, anything in a node_modules
    // folder or in a folder with a genuine tag: 7 files, the tag's 49 bytes among them.
    const long long files = 7, bytes = 5 + 70000 + 2 * 70000 + 1 + 49 + 70000 + 1;

    auto preview = [&](Fields more) {
        Fields fields{{"exclude", "*.tmp"}, {"exclude", "node_modules/"}, {"exclude", "!keep.tmp"}};
        fields.insert(fields.end(), more.begin(), more.end());
        return ask("previewexcludes", id, fields);
    };
    const std::string reply = preview({});
    EXPECT_EQ(std::to_string(files), element(reply, "files")) << reply;
    EXPECT_EQ(std::to_string(bytes), element(reply, "bytes")) << reply;
    EXPECT_EQ("1", element(reply, "complete"));
    // The outermost entries left out, in byte order.
    EXPECT_THAT(reply, HasSubstr("<example>a.tmp</example><example>cache/</example>"
                                 "<example>doc/scratch.tmp</example>"));
    EXPECT_THAT(reply, HasSubstr("<example>web/node_modules/</example>"));
    EXPECT_EQ(std::string::npos, reply.find("index.js")) << reply;

    // With the tag switch off, the cache folder and its tag are kept; nothing is stored.
    const std::string off = preview({{"cachedirtag", "0"}});
    EXPECT_EQ(std::to_string(files - 2), element(off, "files")) << off;
    EXPECT_EQ(doc(id, {}, 0, 1), settings(id));
    EXPECT_EQ(
        result("previewexcludes", false, "Exclusion pattern \"a\\\" ends in a lone backslash"),
        ask("previewexcludes", id, {{"exclude", "a\\"}}));
}

// The default store location: what is refused, or cannot be saved while
// another program writes, leaves the stored location as it was; what is
// accepted is kept as given.
TEST_F(BackupSettingsRequestsTest, StoreLocationRefusalsStoreNothingAndAcceptedOnesAreKept) {
    const std::string initial = storeDoc(profile.userDataDir() + "/backup");
    profile.scratch("rel");
    const std::string missing = "Store location does not exist. Request rejected";
    const std::string relative = "Store location must be an absolute path";
    const std::pair<std::string, std::string> cases[] = {
        {"", missing},
        {"/no/such/place", missing},
        {"rel", relative},
        {"./rel", relative},
        {"~/rel", relative},
        // The file system would see the existing folder before the NUL.
        {store + std::string(1, '\0') + "/x", "Path contains an invalid character"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(refused(c.second), set(c.first)) << c.first;
        EXPECT_EQ(initial, request("getdefaultstorelocation")) << c.first;
    }

    // Any existing path will do, a file too (kept as given and shown escaped:
    // the awkward names' test).
    const std::string file = profile.scratch("a&b") + "/target.bin";
    writeFile(file, "x");

    // Another program holds the database's write lock for the whole request.
    sqlite3* other = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(profile.databasePath().c_str(), &other));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(other, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr));
    const std::string reply = set(file);
    const std::string during = request("getdefaultstorelocation");
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(other, "ROLLBACK;", nullptr, nullptr, nullptr));
    sqlite3_close(other);
    EXPECT_EQ(refused("Store location could not be saved"), reply);
    EXPECT_EQ(initial, during);
    EXPECT_FALSE(db->doesConfigExist("backup", "BACKUP_DEF_STORE_KEY"));
    EXPECT_FALSE(db->doesConfigExist("backup", "CUSTOM_DIR_SET"));

    EXPECT_EQ(result("setdefaultstorelocation", true), set(file));
    EXPECT_EQ("TRUE", db->getConfigValue("backup", "CUSTOM_DIR_SET", "NONE"));
}

}  // namespace
