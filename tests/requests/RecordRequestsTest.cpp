// Adding, deleting, enabling, disabling and rescheduling records.

#include "RequestsFixture.h"

#include "hostapi/Group.h"
#include "hostapi/HostControl.h"

#include <Poco/File.h>
#include <Poco/UUID.h>
#include <Poco/UUIDGenerator.h>

#include <unistd.h>

namespace {

using Orvana::Data::Group;
using Orvana::Data::PeerID;

typedef RequestsTest RecordRequestsTest;

const char* const kNoGroup =
    " is not a member of any group. Invite the peer to a group first and try again";

TEST_F(RecordRequestsTest, AddRefusalsComeInTheirOrderAndStoreNothing) {
    const std::string src = profile.scratch("src");
    const std::string store = profile.scratch("store");
    const std::string add = "addbackuprecord";
    struct Case {
        Fields fields;
        std::string reply;
    } cases[] = {
        // Remote peer: group membership is checked before any other field.
        {{{"remotepeer", "friend@otherhost"}},
         result(add, false, std::string("Peer friend@otherhost") + kNoGroup)},
        // Local: the store location before the source.
        {{{"frequency", "1"}},
         result(add, false, "Local store location is required for localbackup")},
        {{{"remotepath", store}}, result(add, false)},                      // "localpath" missing
        {{{"remotepath", store}, {"localpath", src}}, result(add, false)},  // "frequency" missing
        // Bad integers win over a source that does not exist.
        {{{"remotepath", store}, {"localpath", "/no/such"}, {"frequency", "x"}},
         result(add, false)},
        {{{"remotepath", store}, {"localpath", "/no/such"}, {"frequency", "1"}, {"timeoffset", ""}},
         result(add, false)},
        {{{"remotepath", store},
          {"localpath", "/no/such"},
          {"frequency", "1"},
          {"dayoffset", "2.5"}},
         result(add, false)},
        // Path checks run before the existence test.
        {{{"remotepath", store}, {"localpath", "rel/src"}, {"frequency", "1"}},
         result(add, false, "Backup source must be an absolute path")},
        {{{"remotepath", store}, {"localpath", ""}, {"frequency", "1"}},
         result(add, false, "Backup source must be an absolute path")},
        {{{"remotepath", "store"}, {"localpath", "/no/such"}, {"frequency", "1"}},
         result(add, false, "Store location must be an absolute path")},
        {{{"remotepath", "/no/such/./"}, {"localpath", "/no/such"}, {"frequency", "1"}},
         result(add, false, "Store location must not overlap the backup source")},
        {{{"remotepath", src + "//inner"}, {"localpath", src}, {"frequency", "1"}},
         result(add, false, "Store location must not overlap the backup source")},
        {{{"remotepath", src + "/x/../.."}, {"localpath", src + "/"}, {"frequency", "1"}},
         result(add, false, "Store location must not overlap the backup source")},
        {{{"remotepath", store}, {"localpath", "/no/such"}, {"frequency", "1"}},
         result(add, false, "[/no/such] does not exist!")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(query(c.fields));
        EXPECT_EQ(c.reply, request(add, c.fields));
    }
    EXPECT_TRUE(records().empty());
}

TEST_F(RecordRequestsTest, AddRefusesALinkedSource) {
    const std::string src = profile.scratch("src");
    const std::string link = profile.scratch("links") + "/src";
    ASSERT_EQ(0, ::symlink(src.c_str(), link.c_str()));
    EXPECT_EQ(result("addbackuprecord", false),
              request("addbackuprecord", {{"remotepath", profile.scratch("store")},
                                          {"localpath", link},
                                          {"frequency", "1"}}));
    EXPECT_TRUE(log.contains("Orvana::Backup::BackupPlugin::onAddBackupRecordFile " + link +
                             " is a link! ignoring"));
    EXPECT_TRUE(records().empty());
}

TEST_F(RecordRequestsTest, AddStoresLocalRecords) {
    const std::string src = profile.scratch("a&b src");
    TestSupport::writeFile(src + "/f.txt", "x");
    const std::string store = profile.scratch("store");
    const std::string ok = result("addbackuprecord", true);
    // A store location further up than the source's own folder is allowed.
    EXPECT_EQ(ok, request("addbackuprecord", {{"remotepath", profile.root()},
                                              {"localpath", src},
                                              {"frequency", "2"},
                                              {"timeoffset", "14"},
                                              {"dayoffset", "0"}}));
    EXPECT_EQ(ok,
              request("addbackuprecord",
                      {{"remotepath", store}, {"localpath", src + "/f.txt"}, {"frequency", "1"}}));
    EXPECT_EQ(ok,
              request("addbackuprecord",
                      {{"remotepath", store}, {"localpath", src + "/f.txt"}, {"frequency", "1"}}));

    auto all = records();  // newest first
    ASSERT_EQ(3u, all.size());
    EXPECT_EQ(all[1]->localPath, all[0]->localPath);  // no duplicate check
    const auto& file = *all[1];
    EXPECT_EQ("me@myhost", file.targetPeerId);
    EXPECT_TRUE(file.isFile);
    EXPECT_TRUE(file.enabled);
    EXPECT_EQ(store, file.remotePath);
    EXPECT_EQ("", file.groupId);
    EXPECT_EQ(1, file.frequency);
    EXPECT_EQ(-1, file.backupTime);
    EXPECT_EQ(-1, file.backupDay);
    const auto& folder = *all[2];
    EXPECT_FALSE(folder.isFile);
    EXPECT_EQ(src, folder.localPath);
    EXPECT_EQ(2, folder.frequency);
    EXPECT_EQ(14, folder.backupTime);
    EXPECT_EQ(0, folder.backupDay);
    EXPECT_TRUE(log.contains(" Adding record peer[me@myhost] isfile[0] path[" + src +
                             "] targetpath [" + profile.root() + "]grp[] Freq[2] Time[14]"));
}

TEST_F(RecordRequestsTest, AddRemoteRecordUsesTheFirstGroupAndNoStorePath) {
    const PeerID peer("friend@otherhost");
    const Poco::UUID first = Poco::UUIDGenerator::defaultGenerator().createRandom();
    const Poco::UUID second = Poco::UUIDGenerator::defaultGenerator().createRandom();
    Orvana::HostKit::HostControl::setGroups(
        {boost::shared_ptr<Group>(new Group(first, "Family", {peer})),
         boost::shared_ptr<Group>(new Group(second, "Work", {peer}))});
    const std::string src = profile.scratch("src");
    EXPECT_EQ(result("addbackuprecord", true),
              request("addbackuprecord", {{"remotepeer", "friend@otherhost"},
                                          {"remotepath", "/ignored"},
                                          {"localpath", src},
                                          {"frequency", "0"}}));
    auto all = records();
    ASSERT_EQ(1u, all.size());
    EXPECT_EQ("friend@otherhost", all[0]->targetPeerId);
    EXPECT_EQ(first.toString(), all[0]->groupId);
    EXPECT_EQ("", all[0]->remotePath);
    EXPECT_TRUE(log.contains(" : Using group [Family] to backup with peer friend@otherhost"));
}

TEST_F(RecordRequestsTest, EnableDisableAndRescheduleChangeOnlyTheirFields) {
    const int id = addLocal(profile.scratch("src"), profile.scratch("store"));
    const std::string rec = std::to_string(id);

    EXPECT_EQ(result("disablerecord", true), request("disablerecord", {{"recid", rec}}));
    {
        Orvana::Backup::BackupDB::BACKUP_RECORD r;
        ASSERT_TRUE(db->getBackupRecord(id, r));
        EXPECT_FALSE(r.enabled);
    }
    EXPECT_EQ(result("enablerecord", true), request("enablerecord", {{"recid", rec}}));
    EXPECT_EQ(
        result("setmodevalue", true),
        request("setmodevalue",
                {{"recid", rec}, {"frequency", "2"}, {"timeoffset", "9"}, {"dayoffset", "3"}}));
    Orvana::Backup::BackupDB::BACKUP_RECORD r;
    ASSERT_TRUE(db->getBackupRecord(id, r));
    EXPECT_TRUE(r.enabled);
    EXPECT_EQ(2, r.frequency);
    EXPECT_EQ(9, r.backupTime);
    EXPECT_EQ(3, r.backupDay);
    EXPECT_TRUE(log.contains(" Rec ID[" + rec + "] modified with mode["));

    // Left-out offsets overwrite the old values with -1.
    EXPECT_EQ(result("setmodevalue", true),
              request("setmodevalue", {{"recid", rec}, {"frequency", "1"}}));
    ASSERT_TRUE(db->getBackupRecord(id, r));
    EXPECT_EQ(1, r.frequency);
    EXPECT_EQ(-1, r.backupTime);
    EXPECT_EQ(-1, r.backupDay);

    // Ids that name no record are not detected.
    EXPECT_EQ(result("enablerecord", true), request("enablerecord", {{"recid", "999"}}));
    EXPECT_EQ(result("setmodevalue", false), request("setmodevalue", {{"recid", rec}}));
}

TEST_F(RecordRequestsTest, DeleteRemovesTheRecordAndItsIndex) {
    const int id = addLocal(profile.scratch("src"), profile.scratch("store"));
    int fileId = 0;
    ASSERT_TRUE(db->updateSourceFile(id, "/x/f", Poco::Timestamp(), "abc", fileId));
    ASSERT_TRUE(db->updateSourceFile(42, "/x/g", Poco::Timestamp(), "abc", fileId));

    EXPECT_EQ(result("deletebackuprecord", true),
              request("deletebackuprecord", {{"recid", std::to_string(id)}}));
    EXPECT_TRUE(records().empty());
    Orvana::Backup::BackupDB::SourceRecordMap index;
    db->getSourceRecords(id, index);
    EXPECT_TRUE(index.empty());
    EXPECT_TRUE(log.contains(" Rec[" + std::to_string(id) + "] deleted"));

    // An unknown id still answers success and clears index rows under it.
    EXPECT_EQ(result("deletebackuprecord", true), request("deletebackuprecord", {{"recid", "42"}}));
    db->getSourceRecords(42, index);
    EXPECT_TRUE(index.empty());
}

}  // namespace
