// Adding, deleting, enabling, disabling and rescheduling records.

#include <Poco/File.h>
#include <Poco/UUIDGenerator.h>
#include <unistd.h>

#include "RequestsFixture.h"
#include "hostapi/Group.h"
#include "hostapi/HostControl.h"

namespace {

typedef RequestsTest RecordRequestsTest;

TEST_F(RecordRequestsTest, AddRefusalsComeInTheirOrderAndStoreNothing) {
    const std::string src = profile.scratch("src");
    const std::string store = profile.scratch("store");
    const std::string link = profile.scratch("links") + "/src";
    ASSERT_EQ(0, ::symlink(src.c_str(), link.c_str()));
    const std::string overlap = "Store location must not overlap the backup source";
    const std::string invalid = "Path contains an invalid character";
    const std::string nul(1, '\0');
    const struct {
        Fields fields;
        std::string text;  // of the failure reply
    } cases[] = {
        // A remote peer's groups are checked before any other field.
        {{{"remotepeer", "pal@far"}},
         "Peer pal@far is not a member of any group. Invite the peer to a group first and try "
         "again"},
        // Local: the store location before the source.
        {{{"frequency", "1"}}, "Local store location is required for localbackup"},
        {{{"remotepath", store}}, ""},  // no "localpath"
        // Bad integers win over a source that does not exist.
        {{{"remotepath", store}, {"localpath", "/no/such"}, {"frequency", "x"}}, ""},
        // Path checks run before the existence test.
        {{{"remotepath", store}, {"localpath", "rel"}, {"frequency", "1"}},
         "Backup source must be an absolute path"},
        {{{"remotepath", "st"}, {"localpath", "/no/such"}, {"frequency", "1"}},
         "Store location must be an absolute path"},
        {{{"remotepath", src + "/in"}, {"localpath", src}, {"frequency", "1"}}, overlap},
        {{{"remotepath", src + "/x/../.."}, {"localpath", src + "/"}, {"frequency", "1"}}, overlap},
        {{{"remotepath", store}, {"localpath", "/no/such"}, {"frequency", "1"}},
         "[/no/such] does not exist!"},
        {{{"remotepath", store}, {"localpath", link}, {"frequency", "1"}}, ""},
        // NUL bytes: the file system would see src for the first, so its
        // store inside the source would pass a check that reads the whole text.
        {{{"localpath", src + nul + "x"}, {"remotepath", src + "/sub"}, {"frequency", "3"}},
         invalid},
        {{{"localpath", src}, {"remotepath", store + nul + "/x"}, {"frequency", "3"}}, invalid},
        {{{"remotepeer", "pal" + nul + "@far"}, {"localpath", src}, {"frequency", "3"}}, invalid},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(query(c.fields));
        EXPECT_EQ(result("addbackuprecord", false, c.text), request("addbackuprecord", c.fields));
    }
    EXPECT_TRUE(records().empty());
}

TEST_F(RecordRequestsTest, AddStoresLocalAndRemoteRecords) {
    const std::string src = profile.scratch("src");
    TestSupport::writeFile(src + "/f.txt", "x");
    const Orvana::Data::PeerID pal("pal@far");
    const Poco::UUID first = Poco::UUIDGenerator::defaultGenerator().createRandom();
    Orvana::HostKit::HostControl::setGroups(
        {boost::shared_ptr<Orvana::Data::Group>(new Orvana::Data::Group(first, "Family", {pal})),
         boost::shared_ptr<Orvana::Data::Group>(new Orvana::Data::Group(
             Poco::UUIDGenerator::defaultGenerator().createRandom(), "Work", {pal}))});
    const std::string ok = result("addbackuprecord", true);
    // A store location above the source's own folder is allowed.
    EXPECT_EQ(ok, request("addbackuprecord", {{"remotepath", profile.root()},
                                              {"localpath", src},
                                              {"frequency", "2"},
                                              {"timeoffset", "14"},
                                              {"dayoffset", "0"}}));
    EXPECT_EQ(ok, request("addbackuprecord", {{"remotepeer", "pal@far"},
                                              {"remotepath", "/x"},
                                              {"localpath", src + "/f.txt"},
                                              {"frequency", "1"}}));
    auto all = records();  // newest first
    ASSERT_EQ(2u, all.size());
    // A remote record keeps no remote path, its first group, and no offsets left out.
    EXPECT_EQ("pal@far", all[0]->targetPeerId);
    EXPECT_TRUE(all[0]->isFile);
    EXPECT_EQ("", all[0]->remotePath);
    EXPECT_EQ(first.toString(), all[0]->groupId);
    EXPECT_EQ(-1, all[0]->backupTime);
    EXPECT_EQ(profile.root(), all[1]->remotePath);
    EXPECT_EQ(14, all[1]->backupTime);
    EXPECT_EQ(0, all[1]->backupDay);
}

TEST_F(RecordRequestsTest, AddRefusesAStoreThatIsNoFolderAndTheSameBackupTwice) {
    const std::string src = profile.scratch("src");
    const std::string stores = profile.scratch("stores");
    TestSupport::writeFile(stores + "/file", "x");
    const std::string fileLink = stores + "/file-link", folderLink = stores + "/folder-link";
    ASSERT_EQ(0, ::symlink((stores + "/file").c_str(), fileLink.c_str()));
    ASSERT_EQ(0, ::symlink(stores.c_str(), folderLink.c_str()));
    const Orvana::Data::PeerID pal("pal@far"), kin("kin@near");
    Orvana::HostKit::HostControl::setGroups({boost::shared_ptr<Orvana::Data::Group>(
        new Orvana::Data::Group(Poco::UUIDGenerator::defaultGenerator().createRandom(), "Family",
                                {pal, kin}))});

    const std::string ok = result("addbackuprecord", true);
    const std::string noFolder =
        result("addbackuprecord", false, "Store location exists and is not a folder");
    const std::string twice = result("addbackuprecord", false,
                                     "A backup of this source to this destination already exists");
    auto local = [&](const std::string& source, const std::string& store) {
        return request("addbackuprecord",
                       {{"remotepath", store}, {"localpath", source}, {"frequency", "0"}});
    };
    auto remote = [&](const std::string& source, const std::string& peer) {
        return request("addbackuprecord",
                       {{"remotepeer", peer}, {"localpath", source}, {"frequency", "0"}});
    };
    const struct {
        std::string reply, got;
    } cases[] = {
        {noFolder, local(src, stores + "/file")},
        {noFolder, local(src, fileLink)},
        {noFolder, local(src, stores + "/file/sub")},  // could never be made
        // Made by the first pass, not now.
        {ok, local(src, stores + "/new/deeper")},
        {ok, local(src, folderLink)},
        {twice, local(src + "/", stores + "//new/deeper/")},
        {twice, local(src + "/.", stores + "/new/./deeper")},
        {twice, local(src, stores)},  // the link's folder
        {ok, local(src, stores + "/other")},
        {ok, remote(src, "pal@far")},
        {twice, remote(src + "/", "PAL@far")},  // peers compare without case
        {ok, remote(src, "kin@near")},
    };
    for (const auto& c : cases) EXPECT_EQ(c.reply, c.got);
    EXPECT_EQ(5u, records().size());
    EXPECT_FALSE(Poco::File(stores + "/new").exists());
}

TEST_F(RecordRequestsTest, RescheduleOverwritesLeftOutOffsets) {
    const int id = addLocal("/src", "/store");
    const std::string rec = std::to_string(id);
    EXPECT_EQ(result("disablerecord", true), request("disablerecord", {{"recid", rec}}));
    EXPECT_EQ(
        result("setmodevalue", true),
        request("setmodevalue",
                {{"recid", rec}, {"frequency", "2"}, {"timeoffset", "9"}, {"dayoffset", "3"}}));
    EXPECT_EQ(result("setmodevalue", true),
              request("setmodevalue", {{"recid", rec}, {"frequency", "1"}}));
    Orvana::Backup::BackupDB::BACKUP_RECORD r;
    ASSERT_TRUE(db->getBackupRecord(id, r));
    EXPECT_FALSE(r.enabled);
    EXPECT_EQ(1, r.frequency);
    EXPECT_EQ(-1, r.backupTime);
    EXPECT_EQ(-1, r.backupDay);
    // Unknown ids are not detected.
    EXPECT_EQ(result("enablerecord", true), request("enablerecord", {{"recid", "999"}}));
}

TEST_F(RecordRequestsTest, DeleteRemovesTheRecordAndItsIndex) {
    const int id = addLocal("/src", "/store");
    int fileId = 0;
    ASSERT_TRUE(db->updateSourceFile(id, "/src/f", Poco::Timestamp(), "abc", fileId));
    ASSERT_TRUE(db->updateSourceFile(42, "/x/g", Poco::Timestamp(), "abc", fileId));
    for (int recid : {id, 42}) {  // an unknown id still clears index rows under it
        EXPECT_EQ(result("deletebackuprecord", true),
                  request("deletebackuprecord", {{"recid", std::to_string(recid)}}));
        Orvana::Backup::BackupDB::SourceRecordMap index;
        db->getSourceRecords(recid, index);
        EXPECT_TRUE(index.empty());
    }
    EXPECT_TRUE(records().empty());
}

}  // namespace
