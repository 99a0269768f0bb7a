// Record requests: add, delete, enable, reschedule, start and stop, and the
// listing and activity documents byte for byte.

#include <Poco/File.h>
#include <Poco/LocalDateTime.h>
#include <Poco/Timezone.h>
#include <Poco/UUIDGenerator.h>
#include <unistd.h>

#include <atomic>

#include "RequestsFixture.h"
#include "hostapi/Group.h"
#include "hostapi/HostControl.h"

namespace {

using namespace Orvana::Backup;
using namespace TestSupport;

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
    EXPECT_NE(std::string::npos,
              doc.find("<lastattemptdate>7-Mar</lastattemptdate><lastattempttime>02:05 PM"
                       "</lastattempttime><lastsuccessdate>6-Mar</lastsuccessdate>"
                       "<lastsuccesstime>11:59 PM</lastsuccesstime><lastsyncsuccess>0"))
        << doc;

    // A reschedule overwrites the offsets it leaves out and keeps the record disabled.
    EXPECT_EQ(result("disablerecord", true), ask("disablerecord", id));
    const Fields weekly = {{"frequency", "2"}, {"timeoffset", "9"}, {"dayoffset", "3"}};
    EXPECT_EQ(result("setmodevalue", true), ask("setmodevalue", id, weekly));
    EXPECT_EQ(result("setmodevalue", true), ask("setmodevalue", id, {{"frequency", "1"}}));
    EXPECT_NE(std::string::npos,
              request("getallbackuprecs")
                  .find("<enabled>0</enabled><backupmode>1</backupmode><timeoffset>-1</timeoffset>"
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

}  // namespace
